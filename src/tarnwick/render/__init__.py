"""Report renderers: text for a terminal, JSON to keep as the next baseline, markdown for a
pull-request comment, one self-contained HTML page, and the reports CI hosts read themselves
(GitLab's metrics and Code Quality reports, JUnit XML, SARIF). Each loads when it is asked for."""

from __future__ import annotations

import importlib
import re

from tarnwick.support.patterns import LazyPattern

_SURROGATE = LazyPattern("[\ud800-\udfff]")
_MODULES = {"text": "text", "json": "json_report", "markdown": "markdown", "html": "html",
            "gitlab-metrics": "gitlab_metrics", "gitlab-codequality": "gitlab_codequality", "junit": "junit",
            "sarif": "sarif"}
FORMATS = tuple(_MODULES)


def renderer(kind: str):
    """The function that renders a report as `kind` (text, json, markdown, html): it takes the
    report and the comparison with the baseline (or None) and returns the text."""
    module = _MODULES[kind]
    return getattr(importlib.import_module(f"tarnwick.render.{module}"), f"render_{module.replace('_report', '')}")


def render_to(kind: str, report, comparison, write, top: int = 10, model=None, outcome=None) -> None:
    """Writes the report in one of the formats through `write(bytes)`, as the pieces come;
    `top`: how many of the largest symbols, objects and changes the text and markdown show;
    `model`: the build's model, when there is one (its symbols in link order, with their
    totals counted, are much quicker to go over than the report's sorted copy, and its regions
    are in the order the linker lists them); `outcome`: the run's verdict and inputs
    (`tarnwick.app.outcome.Outcome`), where there was a run."""
    if kind == "json":
        from tarnwick.render.json_report import write_report_json

        write_report_json(report, comparison, write, outcome, model)
    elif kind == "html":
        from tarnwick.render.html import page_lines

        lines = page_lines(report, comparison, outcome, model)
        write(b"\n".join(line if isinstance(line, bytes) else utf8(line) for line in lines) + b"\n")
    elif kind in ("text", "markdown"):
        write(utf8(renderer(kind)(report, comparison, top, model, outcome)))
    else:
        write(utf8(renderer(kind)(report, comparison, outcome, model)))


def utf8(text: str) -> bytes:
    """The text as UTF-8. A file name that is not UTF-8 comes as lone surrogates (os.fsdecode):
    each is shown as U+FFFD, as the bytes of a map that are not UTF-8 are."""
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        return _SURROGATE.sub("\ufffd", text).encode("utf-8")


__all__ = ["FORMATS", "render_to", "renderer"]
