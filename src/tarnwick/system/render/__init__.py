"""The system report's renderers: text, JSON, markdown and HTML, each showing the same verdict
the exit code gives. Each loads when it is asked for."""

from __future__ import annotations

import importlib

_MODULES = {"text": "text", "json": "json_report", "markdown": "markdown", "html": "html"}


def render_system(kind: str, result, top: int = 10) -> str:
    """The report of a `SystemResult` as `kind` (text, json, markdown, html)."""
    return getattr(importlib.import_module(f"tarnwick.system.render.{_MODULES[kind]}"), f"render_{kind}")(result, top)
