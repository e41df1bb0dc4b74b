"""The report as JSON under its field names: the file the next run reads as its baseline.
Always standard JSON: a figure that is not a finite number is written as null."""

from __future__ import annotations

import json
import math

from tarnwick.domain import to_jsonable


def _finite(value):
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_finite(item) for item in value]
    return value


def comparison_jsonable(comparison) -> dict:
    return {
        "baseline_path": comparison.baseline_path,
        "regions": {name: {"baseline": c.baseline, "current": c.current, "delta": c.delta,
                           "change": c.kind} for name, c in comparison.regions.items()},
        "notes": list(comparison.notes),
    }


def render_json(report, comparison=None) -> str:
    document = to_jsonable(report)
    if comparison is not None:
        document["comparison"] = comparison_jsonable(comparison)
    try:
        return json.dumps(document, indent=2, allow_nan=False) + "\n"
    except ValueError:  # a NaN or an infinity somewhere in the figures
        return json.dumps(_finite(document), indent=2, allow_nan=False) + "\n"
