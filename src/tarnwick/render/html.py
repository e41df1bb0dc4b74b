"""One self-contained HTML page: inline CSS and SVG, nothing fetched from anywhere."""

from __future__ import annotations


from tarnwick.render.escape import html_text as escape
from tarnwick.render.sankey import sankey_svg
from tarnwick.render.view import build_view, human_bytes, percent, region_change

_CSS = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 24px; color: #1d2330; background: #fff; }
h1 { font-size: 20px; margin: 0 0 4px; } h2 { font-size: 16px; margin: 28px 0 8px; }
.meta { color: #5b6475; } table { border-collapse: collapse; }
td, th { padding: 4px 10px; text-align: right; border-bottom: 1px solid #e3e6ec; }
td:first-child, th:first-child { text-align: left; }
.bar-bg { fill: #e9ecf2; } .bar-ok { fill: #3f7fd9; } .bar-near { fill: #e0a100; }
.bar-over { fill: #d0342c; } .finding { margin: 6px 0; } .sev { font-weight: 600; }
.error { color: #b3261e; } .warning { color: #9a6700; } .info { color: #3f5f8f; }
.hint { color: #5b6475; margin-left: 1.5em; } .note { color: #5b6475; }
"""
_BAR_WIDTH = 360


def _bar(row) -> str:
    filled = min(row.ratio, 1.0) * _BAR_WIDTH if row.ratio == row.ratio else 0.0
    kind = "bar-over" if row.overflow else ("bar-near" if row.near_capacity else "bar-ok")
    return (f'<svg class="region-bar" data-region="{escape(row.name)}" width="{_BAR_WIDTH}" height="14" '
            f'role="img" aria-label="{escape(row.name)} {percent(row.ratio)}">'
            f'<rect class="bar-bg" width="{_BAR_WIDTH}" height="14" rx="3"/>'
            f'<rect class="{kind}" width="{filled:.1f}" height="14" rx="3"/></svg>')


def render_html(report, comparison=None) -> str:
    view = build_view(report, comparison)
    with_baseline = view.baseline_status == "ok"
    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
        f"<title>tarnwick: {escape(view.title)}</title><style>{_CSS}</style></head><body>",
        f"<h1>Memory footprint: {escape(view.title)}</h1>",
        f'<div class="meta">{escape(view.toolchain)} · {escape(view.timestamp)} · flash '
        f"{view.total_flash:,} B · RAM {view.total_ram:,} B</div>",
        "<h2>Regions</h2>",
        "<table><tr><th>Region</th><th>Used</th><th>Size</th><th>Use</th><th></th>"
        + ("<th>Change</th>" if with_baseline else "") + "</tr>",
    ]
    for row in view.regions:
        change = f"<td>{escape(region_change(row))}</td>" if with_baseline else ""
        parts.append(f'<tr class="region"><td>{escape(row.name)}</td><td>{row.used:,} B</td>'
                     f"<td>{escape(human_bytes(row.size))}</td><td>{percent(row.ratio)}</td>"
                     f"<td>{_bar(row)}</td>{change}</tr>")
    parts.append("</table>")
    if not view.regions:
        parts.append('<p class="note">No memory regions: give them under [[regions]] in the configuration.</p>')
    if view.baseline_status and not with_baseline:
        parts.append(f'<p class="note">Baseline not compared: {escape(view.baseline_status)}.</p>')
    parts.append("<h2>Findings</h2>")
    if not view.findings:
        parts.append("<p>No findings.</p>")
    for finding in view.findings:
        severity = escape(finding.severity)
        parts.append(f'<div class="finding"><span class="sev {severity}">{severity.upper()}</span> '
                     f"<code>{escape(finding.id)}</code>: {escape(finding.description)}"
                     + (f'<div class="hint">{escape(finding.hint)}</div>' if finding.hint else "")
                     + "</div>")
    if view.sankey:
        parts += ["<h2>Where the bytes go</h2>", sankey_svg(view.sankey)]
    for note in view.notes:
        parts.append(f'<p class="note">Note: {escape(str(note))}</p>')
    parts.append("</body></html>")
    return "\n".join(parts) + "\n"
