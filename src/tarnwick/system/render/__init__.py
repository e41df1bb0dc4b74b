"""The system report's renderers: text, JSON, markdown and HTML, and the CI hosts' own formats,
each showing the same verdict the exit code gives. Each loads when it is asked for."""

from __future__ import annotations

import importlib

_MODULES = {"text": "text", "json": "json_report", "markdown": "markdown", "html": "html"}
HOST_FORMATS = ("gitlab-metrics", "gitlab-codequality", "junit", "sarif")
SYSTEM_FORMATS = (*_MODULES, *HOST_FORMATS)


def render_system(kind: str, result, top: int = 10) -> str:
    """The report of a `SystemResult` as `kind` (one of SYSTEM_FORMATS)."""
    if kind in HOST_FORMATS:
        from tarnwick.system.render.hosts import render_host

        return render_host(kind, result)
    return getattr(importlib.import_module(f"tarnwick.system.render.{_MODULES[kind]}"), f"render_{kind}")(result, top)
