"""One self-contained HTML page: inline CSS, SVG and script, nothing fetched from anywhere.
The regions and findings, an explorer to drill from a region down to its symbols, a table of
every symbol to search and sort (with the change since the baseline, coloured by its sign),
and the Sankey view of where the bytes go."""

from __future__ import annotations

from pathlib import Path

from tarnwick.render.explorer import data_script, explorer_data

from tarnwick.render.breakdown import SIZE_LEGEND
from tarnwick.render.escape import html_text as escape
from tarnwick.render.ledger import by_source, ledgers
from tarnwick.render.relationships import relationship_svg
from tarnwick.render.sankey import balanced, sankey_svg
from tarnwick.render.view import build_view, gate_lines, human_bytes, percent, region_change, removed_regions

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
.gate.failed, .gate.failed::marker { color: #b3261e; } .gate.passed, .passed { color: #1a7f37; }
.crumb, .child, .sort { font: inherit; border: 0; background: none; color: #2456a6; cursor: pointer; padding: 0; }
.crumb:hover, .child:hover { text-decoration: underline; }
:focus-visible { outline: 3px solid #1d4ed8; outline-offset: 2px; }
#drill-heading { font-size: 14px; margin: 6px 0; }
#blocks { display: flex; height: 58px; margin: 8px 0; gap: 2px; max-width: 1100px; }
.block { flex-basis: 0; min-width: 3px; overflow: hidden; white-space: nowrap; cursor: pointer; border: 0;
  font: inherit; color: #fff; font-size: 12px; padding: 4px; box-sizing: border-box; border-radius: 3px;
  text-align: left; }
.block.region { background: #3d5f91; } .block.section { background: #6746b8; }
.block.archive { background: #1d6e52; } .block.object { background: #8a5208; }
.block.folder { background: #1d6e52; } .block.file { background: #8a5208; }
.view { font: inherit; padding: 3px 10px; border: 1px solid #b8bec9; background: #fff; border-radius: 4px; cursor: pointer; }
.view[aria-pressed=true] { background: #3d5f91; color: #fff; border-color: #3d5f91; }
.block.symbol { background: #565d69; } .block.rest { background: #b8bec9; color: #1d2330; cursor: default; }
.block.more { background: #dde1e8; color: #1d2330; cursor: default; }
.block.grown { box-shadow: inset 0 -5px 0 #d0342c; } .block.shrunk { box-shadow: inset 0 -5px 0 #1a8f3c; }
#children { columns: 2; max-width: 1100px; padding-left: 18px; } .size { color: #5b6475; }
.delta.grown { color: #b3261e; } .delta.shrunk { color: #1a7f37; }
#search { font: inherit; padding: 4px 8px; width: 320px; } #count { color: #5b6475; margin-left: 10px; }
.symbols { table-layout: fixed; } .symbols td, .symbols th { overflow: hidden;
  white-space: nowrap; text-overflow: ellipsis; height: 21px; padding: 0 8px; text-align: left; }
.symbols .num { text-align: right; } .symbols th { user-select: none; }
.symbols th .sort { color: inherit; font-weight: 600; width: 100%; text-align: inherit; }
.sr { position: absolute; width: 1px; height: 1px; overflow: hidden; clip: rect(0 0 0 0); }
.symbols th[data-order=down] .sort::after { content: " \\2193"; } .symbols th[data-order=up] .sort::after { content: " \\2191"; }
.stack-fits { color: #1a7f37; } .stack-does-not-fit { color: #b3261e; } .stack-may-not-fit { color: #9a6700; }
.tree, .tree ul { list-style: none; padding-left: 18px; margin: 2px 0; } .fn.deepest { font-weight: 600; }
.stack-tree h3 { font-size: 14px; margin: 12px 0 4px; }
#viewport { height: 440px; overflow-y: auto; position: relative; border: 1px solid #e3e6ec; }
#rows-table { position: absolute; top: 0; left: 0; }
"""
_SCRIPT = (Path(__file__).with_name("explorer.js")).read_text(encoding="utf-8")
_COLUMNS = (("name", "Symbol", 300), ("object", "Object file", 230), ("section", "Section", 140),
            ("region", "Region", 90), ("size", "Size", 100))
_BAR_WIDTH = 360


def _bar(row) -> str:
    filled = min(row.ratio, 1.0) * _BAR_WIDTH if row.ratio == row.ratio else 0.0
    kind = "bar-over" if row.overflow else ("bar-near" if row.near_capacity else "bar-ok")
    return (f'<svg class="region-bar" data-region="{escape(row.name)}" width="{_BAR_WIDTH}" height="14" '
            f'role="img" aria-label="{escape(row.name)} {percent(row.ratio)}">'
            f'<rect class="bar-bg" width="{_BAR_WIDTH}" height="14" rx="3"/>'
            f'<rect class="{kind}" width="{filled:.1f}" height="14" rx="3"/></svg>')


def _explorer(report, comparison, model, by_sources: bool = False) -> list:
    columns = list(_COLUMNS) + ([("change", "Change", 100)] if comparison is not None else [])
    if by_sources:  # where the build's debug information names each symbol's file and line
        columns.append(("source", "Source", 220))
    width = sum(w for *_, w in columns)
    colgroup = "<colgroup>" + "".join(f'<col style="width:{width}px">' for *_, width in columns) + "</colgroup>"
    head = "".join(f'<th data-key="{key}" aria-sort="{"descending" if key == "size" else "none"}"'
                   f'{" data-order=down" if key == "size" else ""}{" class=num" if key in ("size", "change") else ""}>'
                   f'<button type="button" class="sort">{title}</button></th>' for key, title, _ in columns)
    changes = ['<section id="changes" aria-labelledby="changes-title">',
               '<h2 id="changes-title">What changed</h2><ol id="changed"></ol></section>'] if comparison is not None else []
    only = ('<label class="meta"><input type="checkbox" id="changes-only"> Only what changed</label>'
            if comparison is not None else "")
    return changes + [
        '<section id="explorer" aria-labelledby="explorer-title">',
        '<h2 id="explorer-title">Explorer</h2>',
        '<p class="meta">Tab to the blocks, arrow keys between them, Enter opens one, Escape goes back up.</p>',
        only,
        ('<div id="views" role="group" aria-label="Explore by">'
         '<button type="button" class="view" data-view="tree" aria-pressed="true">By memory region</button> '
         '<button type="button" class="view" data-view="sources" aria-pressed="false">By source folder</button>'
         "</div>" if by_sources else ""),
        '<nav id="crumbs" aria-label="Where you are"></nav>',
        '<h3 id="drill-heading" tabindex="-1"></h3>',
        '<div id="blocks"></div><ul id="children"></ul>',
        "</section>",
        "<h2>Symbols</h2>",
        '<label for="search">Search </label>'
        '<input id="search" type="search" placeholder="symbols and object files" spellcheck="false">'
        '<span id="count" role="status"></span>',
        f'<table class="symbols" id="symbol-table" style="width:{width}px">{colgroup}<thead><tr>{head}</tr></thead></table>',
        f'<div id="viewport" tabindex="0" aria-label="Symbols: arrow keys move between rows" '
        f'style="width:{width + 18}px"><div id="spacer"></div>'
        f'<table class="symbols" id="rows-table" style="width:{width}px" aria-label="Symbols">{colgroup}'
        '<tbody id="rows"></tbody></table></div>',
        # bytes: the largest part of the page, never decoded to be encoded again
        b'<script type="application/json" id="tarnwick-data">'
        + data_script(explorer_data(report, comparison, model, by_sources)) + b"</script>",
        f"<script>{_SCRIPT}</script>",
    ]


def _gates(outcome) -> list:
    lines = gate_lines(outcome)
    if not lines:
        return []
    verdict = "failed" if outcome.verdict.failed else "passed"
    parts = [f'<h2>Gates: <span class="{"error" if outcome.verdict.failed else "passed"}">{verdict}</span></h2>',
             '<ul class="gates">']
    parts += [f'<li class="gate {"failed" if failed else "passed"}">{"FAILED" if failed else "passed"}: '
              f"{escape(text)}</li>" for failed, text in lines]
    return parts + ["</ul>"]


def _read_from(outcome) -> str:
    if outcome is None or not outcome.inputs:
        return ""
    rows = "".join(f"<li>{escape(role)}: <code>{escape(path)}</code></li>" for role, path in outcome.inputs.items())
    if outcome.defaults:
        rows += "<li>configuration: none (the defaults)</li>"
    return f'<ul class="meta inputs">{rows}</ul>'


def render_html(report, comparison=None, outcome=None, model=None) -> str:
    return "\n".join(part.decode("utf-8") if isinstance(part, bytes) else part
                     for part in page_lines(report, comparison, outcome, model)) + "\n"


def page_lines(report, comparison=None, outcome=None, model=None) -> list:
    """The page's lines: texts, and the explorer's data as the UTF-8 bytes it is written in
    (the largest part of the page, which a writer of bytes need not decode and encode again)."""
    view = build_view(report, comparison, model)
    with_baseline = view.baseline_status == "ok"
    stamp = report.metadata.analysis_timestamp
    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
        f"<title>tarnwick: {escape(view.title)}</title><style>{_CSS}</style></head><body><main>",
        f"<h1>Memory footprint: {escape(view.title)}</h1>",
        f'<div class="meta">{escape(view.toolchain)} · <time datetime="{escape(stamp)}">{escape(view.timestamp)}'
        f"</time> · flash {view.total_flash:,} B · RAM {view.total_ram:,} B</div>",
        f'<p class="meta legend">{escape(SIZE_LEGEND)}</p>',
        _read_from(outcome),
        "<h2>Regions</h2>",
        '<table><tr><th>Region</th><th>Used</th><th>Size</th><th>Use</th><th><span class="sr">Bar</span></th>'
        + ("<th>Change</th>" if with_baseline else "") + "</tr>",
    ]
    for row in view.regions:
        change = f"<td>{escape(region_change(row))}</td>" if with_baseline else ""
        parts.append(f'<tr class="region"><td>{escape(row.name)}</td><td>{row.used:,} B</td>'
                     f"<td>{escape(human_bytes(row.size))}</td><td>{percent(row.ratio)}</td>"
                     f"<td>{_bar(row)}</td>{change}</tr>")
    for name, used in removed_regions(comparison):
        change = f"<td>removed (-{used:,} B)</td>" if with_baseline else ""
        parts.append(f'<tr class="region removed"><td>{escape(name)}</td><td>–</td><td>–</td><td>–</td>'
                     f"<td></td>{change}</tr>")
    parts.append("</table>")
    if with_baseline and comparison is not None:
        parts.append(f'<p class="meta">Compared with {escape(comparison.label)}.</p>')
    if outcome is not None and outcome.trend is not None:
        parts += outcome.trend.html_parts()
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
    parts += _gates(outcome)
    if outcome is not None and outcome.stack is not None:
        from tarnwick.render.stack_view import html_section

        parts += html_section(outcome.stack)
    for note in view.notes:
        parts.append(f'<p class="note">Note: {escape(str(note))}</p>')
    if view.sankey:
        books = ledgers(report, model.symbols if model is not None else None, model)
        parts += ["<h2>Where the bytes go</h2>", sankey_svg(balanced(view.sankey, books))]
    graph = (report.trends.get("visualization", {}) or {}).get("relationship_graph")
    if graph:
        parts += ["<h2>Components and the sections they occupy</h2>", relationship_svg(graph)]
    sources = outcome.sources if outcome is not None else None
    if sources is not None and not by_source(sources):
        parts.append(f'<p class="note">{escape(sources.reason)}</p>')
    parts += _explorer(report, comparison, model, sources if by_source(sources) else False)
    parts.append("</main></body></html>")
    return parts
