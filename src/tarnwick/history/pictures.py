"""The trend as pictures: a unicode sparkline for a pull-request comment, and an SVG chart of a
region over the commits (each commit a point whose tooltip names its subject and change, the
commits that grew it most marked, a break in the line where a commit was not measured)."""

from __future__ import annotations

from typing import NamedTuple, Optional

from tarnwick.render.escape import html_text
from tarnwick.render.view import signed_bytes

_BARS = "▁▂▃▄▅▆▇█"
MARKED = 3  # the commits that grew a region most, marked in its chart
_WIDTH, _HEIGHT, _LEFT, _RIGHT, _TOP, _BOTTOM = 760, 170, 78, 16, 14, 26


class Dot(NamedTuple):
    commit: str  # as shown: a short hash, or "this build"
    subject: str
    used: Optional[int]  # None: not measured
    delta: Optional[int]  # against its first parent's build; None where that was not recorded
    current: bool = False  # the build of this run, after the recorded ones


def dots_of(points: list, region: str) -> list:
    """The Dots of a region over trend points (answers.Point)."""
    return [Dot(p.commit[:12], p.subject or "", p.regions.get(region) if p.measured else None,
                p.deltas.get(region) if p.deltas is not None else None) for p in points]


def sparkline(values: list) -> str:
    """A bar a value, scaled from the smallest to the largest; a space for a value not there."""
    known = [v for v in values if v is not None]
    if not known:
        return " " * len(values)
    low, high = min(known), max(known)
    span = high - low
    return "".join(" " if v is None else _BARS[(v - low) * (len(_BARS) - 1) // span if span else 3] for v in values)


def growers(dots: list, count: int = MARKED) -> set:
    """The places of the dots that grew most (by their change, largest first)."""
    grown = sorted((i for i, d in enumerate(dots) if d.delta is not None and d.delta > 0),
                   key=lambda i: (-dots[i].delta, i))
    return set(grown[:count])


def trend_svg(region: str, dots: list) -> str:
    """A region's chart: bytes used over the dots in their order."""
    known = [d.used for d in dots if d.used is not None]
    label = f"{region}: bytes used over {len(dots):,} commits"
    if not known:
        return (f'<svg class="trend" role="img" aria-label="{html_text(label)}" width="{_WIDTH}" height="40">'
                f'<text x="{_LEFT}" y="24">{html_text(region)}: no commit measured</text></svg>')
    low, high = min(known), max(known)
    if low == high:
        low, high = low - 1, high + 1
    plot_w, plot_h = _WIDTH - _LEFT - _RIGHT, _HEIGHT - _TOP - _BOTTOM
    step = plot_w / max(len(dots) - 1, 1)

    def x(i: int) -> float:
        return _LEFT + (i * step if len(dots) > 1 else plot_w / 2)

    def y(used: int) -> float:
        return _TOP + plot_h - (used - low) * plot_h / (high - low)

    parts = [f'<svg class="trend" data-region="{html_text(region)}" role="img" aria-label="{html_text(label)}" '
             f'width="{_WIDTH}" height="{_HEIGHT}" viewBox="0 0 {_WIDTH} {_HEIGHT}">',
             f'<line class="axis" x1="{_LEFT}" y1="{_TOP + plot_h}" x2="{_WIDTH - _RIGHT}" y2="{_TOP + plot_h}"/>',
             f'<text class="tick" x="{_LEFT - 6}" y="{_TOP + 4}" text-anchor="end">{max(known):,} B</text>',
             f'<text class="tick" x="{_LEFT - 6}" y="{_TOP + plot_h + 4}" text-anchor="end">{min(known):,} B</text>']
    run: list = []
    for i, dot in enumerate(dots + [Dot("", "", None, None)]):  # a last empty dot ends the last run
        if dot.used is not None and not dot.current:
            run.append(f"{x(i):.1f},{y(dot.used):.1f}")
            continue
        if len(run) > 1:
            parts.append(f'<polyline class="line" points="{" ".join(run)}"/>')
        run = []
    marked = growers(dots)
    for i, dot in enumerate(dots):
        if dot.used is None:
            parts.append(f'<g class="gap"><title>{html_text(_tooltip(dot))}</title>'
                         f'<line x1="{x(i):.1f}" y1="{_TOP}" x2="{x(i):.1f}" y2="{_TOP + plot_h}"/></g>')
            continue
        kind = "point current" if dot.current else "point grower" if i in marked else "point"
        radius = 5 if i in marked or dot.current else 3
        parts.append(f'<circle class="{kind}" cx="{x(i):.1f}" cy="{y(dot.used):.1f}" r="{radius}" tabindex="0">'
                     f"<title>{html_text(_tooltip(dot))}</title></circle>")
        if i in marked:
            parts.append(f'<text class="grower-label" x="{x(i):.1f}" y="{max(y(dot.used) - 8, 10):.1f}" '
                         f'text-anchor="middle">{html_text(signed_bytes(dot.delta))}</text>')
    parts.append("</svg>")
    return "".join(parts)


def _tooltip(dot: Dot) -> str:
    if dot.used is None:
        return f"{dot.commit} {dot.subject}: not measured"
    change = signed_bytes(dot.delta) if dot.delta is not None else "its first parent was not measured"
    return f"{dot.commit} {dot.subject}: {dot.used:,} B ({change})"


TREND_CSS = """
.trend .line { fill: none; stroke: #3f7fd9; stroke-width: 2; } .trend .axis { stroke: #b8bec9; }
.trend .point { fill: #3f7fd9; } .trend .point.grower { fill: #d0342c; } .trend .point.current { fill: #1a7f37; }
.trend .gap line { stroke: #b8bec9; stroke-dasharray: 3 3; } .trend .tick, .trend .grower-label { font-size: 11px; fill: #5b6475; }
.trend .grower-label { fill: #b3261e; } .trend circle:focus { stroke: #1d4ed8; stroke-width: 3; }
"""
