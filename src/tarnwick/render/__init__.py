"""Report renderers: text for a terminal, JSON to keep as the next baseline, markdown for a
pull-request comment, and one self-contained HTML page."""

from tarnwick.render.html import render_html
from tarnwick.render.json_report import render_json
from tarnwick.render.markdown import render_markdown
from tarnwick.render.text import render_text

RENDERERS = {"text": render_text, "json": render_json, "markdown": render_markdown, "html": render_html}

__all__ = ["RENDERERS", "render_html", "render_json", "render_markdown", "render_text"]
