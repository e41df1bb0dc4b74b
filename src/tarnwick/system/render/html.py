"""The system report as one self-contained HTML page: the flash and RAM address maps (each
partition a block, each image a band, overlaps in red), then the tables, findings and gates."""

from __future__ import annotations

from tarnwick.render.escape import html_text as escape
from tarnwick.render.view import human_bytes
from tarnwick.system.render.view import (
    comparison_lines, finding_rows, gate_rows, headline, hex_address, image_table, mcuboot_line, overlap_lines,
    partition_tables, ram_table, read_lines, region_lines, secure_lines, totals_line,
)

_CSS = """
body { font: 14px/1.45 system-ui, sans-serif; margin: 24px; color: #1d2330; background: #fff; }
h1 { font-size: 20px; margin: 0 0 4px; } h2 { font-size: 16px; margin: 28px 0 8px; }
.meta { color: #5b6475; } table { border-collapse: collapse; margin: 6px 0; }
td, th { padding: 3px 10px; text-align: left; border-bottom: 1px solid #e3e6ec; }
td.num, th.num { text-align: right; } caption { text-align: left; font-weight: 600; padding: 6px 0; }
.error { color: #b3261e; } .warning { color: #9a6700; } .info { color: #3f5f8f; } .passed { color: #1a7f37; }
.sev { font-weight: 600; } .hint { color: #5b6475; margin-left: 1.5em; }
.gate.failed { color: #b3261e; } .gate.passed { color: #1a7f37; }
svg.map { display: block; margin: 6px 0 14px; } svg.map text { font: 11px system-ui, sans-serif; fill: #1d2330; }
.partition { fill: #e9ecf2; stroke: #8a93a6; } .container { fill: none; stroke: #3d5f91; stroke-dasharray: 4 2; }
.gap { fill: #fff; stroke: #c3c8d2; stroke-dasharray: 2 2; } .trailer { fill: #e0a100; opacity: 0.8; }
.overlap { fill: #d0342c; opacity: 0.85; } .shared { fill: #9ad0b5; } .region-claim { fill: none; stroke-width: 1.5; }
.axis { fill: #5b6475; }
"""
_PALETTE = ("#3f7fd9", "#6746b8", "#1d8f6e", "#b85c1d", "#8a3f9a", "#2f8fa8", "#a8872f", "#565d69")
_WIDTH, _LABEL, _ROW = 980, 130, 22


class _Scale:
    def __init__(self, start: int, end: int):
        self.start, self.span = start, max(end - start, 1)

    def x(self, address: int) -> float:
        return _LABEL + (address - self.start) / self.span * (_WIDTH - _LABEL - 10)

    def width(self, start: int, end: int) -> float:
        return max(self.x(end) - self.x(start), 2.0)


def _rect(scale: _Scale, start: int, end: int, y: float, height: float, css: str, title: str,
          fill: str = None) -> str:
    style = f' style="fill:{fill}"' if fill else ""
    return (f'<rect class="{css}" x="{scale.x(start):.1f}" y="{y:.1f}" width="{scale.width(start, end):.1f}" '
            f'height="{height}"{style}><title>{escape(title)}</title></rect>')


def _colour(report) -> dict:
    return {image.name: _PALETTE[index % len(_PALETTE)] for index, image in enumerate(report.images)}


def _flash_maps(report) -> list:
    """One map per device: its partitions (and gaps, trailers, overlaps) and each image's band."""
    colours = _colour(report)
    parts = []
    for device in dict.fromkeys(row.device for row in report.partitions if row.kind == "flash"):
        rows = [row for row in report.partitions if row.device == device]
        gaps = [gap for gap in report.gaps if gap.device == device]
        start = min([row.start for row in rows] + [gap.start for gap in gaps])
        end = max([row.end for row in rows] + [gap.start + gap.size for gap in gaps])
        scale = _Scale(start, end)
        images = [image for image in report.images if any(row.name == image.partition for row in rows)]
        height = 40 + _ROW * (len(images) + 1) + 20
        svg = [f'<svg class="map" width="{_WIDTH}" height="{height}" role="img" '
               f'aria-label="Flash address map of {escape(device)}">',
               '<text x="0" y="26">partitions</text>']
        contained = {name for row in rows for name in row.parts}
        for row in rows:
            css = "container" if row.parts else "partition"
            y, h = (14, 18) if row.name not in contained else (18, 10)
            svg.append(_rect(scale, row.start, row.end, y, h, css,
                             f"{row.name}: {hex_address(row.start)}-{hex_address(row.end)} ({human_bytes(row.size)}), "
                             f"{row.status}"))
            if row.trailer_bytes:
                svg.append(_rect(scale, row.end - row.trailer_bytes, row.end, 14, 18, "trailer",
                                 f"{row.name}: {row.trailer_bytes:,} B MCUboot keeps ({row.reserved})"))
            if scale.width(row.start, row.end) > 6.5 * len(row.name) + 6 and row.name not in contained:
                svg.append(f'<text x="{scale.x(row.start) + 3:.1f}" y="27">{escape(row.name)}</text>')
        for gap in gaps:
            svg.append(_rect(scale, gap.start, gap.start + gap.size, 14, 18, "gap",
                             f"unused: {hex_address(gap.start)}+{gap.size:,} B"))
        for index, image in enumerate(images):
            y = 40 + _ROW * index
            svg.append(f'<text x="0" y="{y + 12}">{escape(image.name)}</text>')
            for low, high in image.stored_ranges:
                svg.append(_rect(scale, low, high, y, 14, "band",
                                 f"{image.name}: {hex_address(low)}-{hex_address(high)}", colours[image.name]))
        for overlap in report.overlaps:
            if overlap.kind == "flash" and start <= overlap.start < end:
                svg.append(_rect(scale, overlap.start, overlap.start + overlap.size, 10, 40 + _ROW * len(images),
                                 "overlap", f"overlap of {overlap.a} and {overlap.b}: {overlap.size:,} B"))
        svg.append(f'<text class="axis" x="{_LABEL}" y="{height - 4}">{hex_address(start)}</text>'
                   f'<text class="axis" x="{_WIDTH - 90}" y="{height - 4}">{hex_address(end)}</text></svg>')
        parts += [f"<h3>Flash: {escape(device)}</h3>", *svg]
    return parts


def _clusters(ranges: list, distance: int = 1 << 20) -> list:
    """(start, end) spans of address ranges, split where they lie far apart (two RAMs of two cores)."""
    spans = []
    for start, end in sorted(ranges):
        if spans and start - spans[-1][1] <= distance:
            spans[-1] = (spans[-1][0], max(spans[-1][1], end))
        else:
            spans.append((start, end))
    return spans


def _ram_maps(report) -> list:
    colours = _colour(report)
    ram = {image.name: [tuple(r) for r in image.ram_ranges] for image in report.images}
    claims = {image.name: [(r.origin, r.origin + r.length) for r in image.regions if r.category == "ram"]
              for image in report.images}
    every = [(s, e) for ranges in ram.values() for s, e in ranges] + [(s, e) for ranges in claims.values()
                                                                       for s, e in ranges]
    every += [(region.start, region.start + region.size) for region in report.regions]
    parts = []
    for start, end in _clusters(every):
        scale = _Scale(start, end)
        images = [image for image in report.images if any(start <= s < end for s, _ in ram.get(image.name, ()))]
        height = 20 + _ROW * len(images) + 20
        svg = [f'<svg class="map" width="{_WIDTH}" height="{height}" role="img" '
               f'aria-label="RAM address map {hex_address(start)} to {hex_address(end)}">']
        for region in report.regions:
            if start <= region.start < end:
                svg.append(_rect(scale, region.start, region.start + region.size, 4, height - 24,
                                 "shared" if region.shared else "partition",
                                 f"{region.name}{' (shared)' if region.shared else ''}: {hex_address(region.start)}+"
                                 f"{region.size:,} B"))
        for index, image in enumerate(images):
            y = 10 + _ROW * index
            svg.append(f'<text x="0" y="{y + 12}">{escape(image.name)}</text>')
            for low, high in claims.get(image.name, ()):
                if start <= low < end:
                    svg.append(_rect(scale, low, high, y - 2, 18, "region-claim",
                                     f"{image.name}'s RAM region {hex_address(low)}-{hex_address(high)}").replace(
                        "<rect ", f'<rect style="stroke:{colours[image.name]}" ', 1))
            for low, high in ram.get(image.name, ()):
                if start <= low < end:
                    svg.append(_rect(scale, low, high, y, 14, "band",
                                     f"{image.name}: {hex_address(low)}-{hex_address(high)}", colours[image.name]))
        for overlap in report.overlaps:
            if overlap.kind == "ram" and start <= overlap.start < end:
                svg.append(_rect(scale, overlap.start, overlap.start + overlap.size, 4, height - 24, "overlap",
                                 f"{overlap.a} and {overlap.b} both use {overlap.size:,} B"))
        svg.append(f'<text class="axis" x="{_LABEL}" y="{height - 4}">{hex_address(start)}</text>'
                   f'<text class="axis" x="{_WIDTH - 90}" y="{height - 4}">{hex_address(end)}</text></svg>')
        parts += [f"<h3>RAM {hex_address(start)}-{hex_address(end)}</h3>", *svg]
    return parts


def _table(table) -> str:
    head = "".join(f'<th{" class=num" if i in table.numeric else ""}>{escape(h)}</th>'
                   for i, h in enumerate(table.headers))
    body = "".join("<tr>" + "".join(f'<td{" class=num" if i in table.numeric else ""}>{escape(cell)}</td>'
                                    for i, cell in enumerate(row)) + "</tr>" for row in table.rows)
    return f"<table><caption>{escape(table.title)}</caption><thead><tr>{head}</tr></thead><tbody>{body}</tbody></table>"


def _list(title: str, items: list) -> list:
    return [f"<h2>{escape(title)}</h2>", "<ul>", *(f"<li>{escape(item)}</li>" for item in items), "</ul>"] \
        if items else []


def render_html(result, top: int = 10) -> str:
    report = result.report
    verdict = result.verdict
    parts = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
             f"<title>tarnwick system: {escape(report.name)}</title><style>{_CSS}</style></head><body><main>",
             f"<h1>{escape(headline(result))}</h1>",
             f'<p class="meta"><time datetime="{escape(report.timestamp)}">{escape(report.timestamp)}</time> · '
             f"{escape(totals_line(report))}</p>",
             '<ul class="meta">', *(f"<li>{escape(line)}</li>" for line in read_lines(result)), "</ul>",
             f'<p class="{"error" if verdict.failed else "passed"}"><strong>Gates '
             f'{"failed" if verdict.failed else "passed"}</strong>'
             + (f": {escape('; '.join(verdict.failures()))}" if verdict.failed else "") + "</p>",
             "<h2>Address maps</h2>",
             *_flash_maps(report),
             *_ram_maps(report),
             "<h2>Images and partitions</h2>", _table(image_table(report)),
             *(_table(table) for table in partition_tables(report))]
    mcuboot = mcuboot_line(report)
    if mcuboot:
        parts.append(f'<p class="meta">{escape(mcuboot)}</p>')
    parts.append(_table(ram_table(report)))
    parts += _list("Regions", region_lines(report))
    parts += _list("Secure headroom", secure_lines(report))
    parts += _list("Overlaps", overlap_lines(report)) or ["<h2>Overlaps</h2>", "<p>None.</p>"]
    parts.append("<h2>Findings</h2>")
    findings = finding_rows(report)
    if not findings:
        parts.append("<p>No findings.</p>")
    for severity, identifier, description, hint in findings:
        parts.append(f'<div class="finding"><span class="sev {escape(severity)}">{escape(severity.upper())}</span> '
                     f"<code>{escape(identifier)}</code>: {escape(description)}"
                     + (f'<div class="hint">{escape(hint)}</div>' if hint else "") + "</div>")
    parts += _list("Notes", report.notes)
    if result.baseline_problem:
        parts.append(f'<p class="warning">Baseline {escape(result.baseline_problem)}: compared with nothing.</p>')
    if result.comparison is not None:
        parts += _list(f"Changes since the baseline ({result.comparison.label})", comparison_lines(result.comparison))
    parts += [f'<h2>Gates: <span class="{"error" if verdict.failed else "passed"}">'
              f'{"failed" if verdict.failed else "passed"}</span></h2>', "<ul>"]
    parts += [f'<li class="gate {"failed" if failed else "passed"}">{"FAILED" if failed else "passed"}: '
              f"{escape(text)}</li>" for failed, text in gate_rows(verdict)]
    parts += ["</ul>", "</main></body></html>"]
    return "\n".join(parts) + "\n"
