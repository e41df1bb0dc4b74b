"""The report as JSON under its field names: the file the next run reads as its baseline."""

from __future__ import annotations

import json

from tarnwick.domain import to_jsonable


def render_json(report) -> str:
    return json.dumps(to_jsonable(report), indent=2) + "\n"
