"""What the history adds to `analyze` and `diff`: with a store (`--store` or `[history] store`),
the markdown comment gains a sparkline per region and the HTML report a chart, of the target
branch's last builds and this one; and `diff`'s growth gates take the waivers of
`--accept-growth` and of the commit's `Footprint-Accepted:` trailers. A store that cannot
serve is a warning, as a baseline that cannot serve is: the report is made without a trend."""

from __future__ import annotations

import os
from typing import Callable, Optional

from tarnwick.history.engines import HistoryError
from tarnwick.history.pictures import Dot, TREND_CSS, dots_of, sparkline, trend_svg
from tarnwick.render.escape import html_text
from tarnwick.render.view import signed_bytes
from tarnwick.support.records import record

# The branch a pull (merge) request goes into, as the CI hosts name it.
_TARGET_BRANCH = ("GITHUB_BASE_REF", "CI_MERGE_REQUEST_TARGET_BRANCH_NAME", "CI_DEFAULT_BRANCH")


@record
class ReportTrend:
    target: str
    branch: Optional[str]
    dots: dict  # region -> [Dot], the recorded builds oldest first, then this build
    builds: int  # recorded builds shown

    def markdown_lines(self, code: Callable, text: Callable) -> list:
        branch = f" of {code(self.branch, in_table=False)}" if self.branch else ""
        lines = ["", f"**Trend** over the last {self.builds:,} builds{branch}, then this build:", ""]
        for region, dots in self.dots.items():
            recorded = [d for d in dots if not d.current]
            line = f"- {code(region, in_table=False)} {sparkline([d.used for d in recorded])}"
            now = dots[-1] if dots and dots[-1].current else None
            if now is not None:
                line += f" {sparkline([d.used for d in dots])[-1]} {now.used:,} B"
                if now.delta is not None:
                    line += f" ({text(signed_bytes(now.delta))} since the last)"
            lines.append(line)
        return lines

    def html_parts(self) -> list:
        branch = f" of <code>{html_text(self.branch)}</code>" if self.branch else ""
        parts = [f"<style>{TREND_CSS}</style>", '<h2 id="trend">Trend</h2>',
                 f'<p class="meta">The last {self.builds:,} recorded builds{branch}, then this build (green). '
                 "Hover a point for its commit and change; the red ones grew most.</p>"]
        for region, dots in self.dots.items():
            parts += [f"<h3>{html_text(region)}</h3>", trend_svg(region, dots)]
        return parts


def with_trend(outcome, store_location: Optional[str], config, report, warn: Callable[[str], None]):
    """The outcome with the trend of the target branch's builds, where a store is given."""
    from tarnwick.render.view import build_view

    regions = {row.name: row.used for row in build_view(report).regions}
    return outcome._replace(trend=report_trend(store_location, config, report.metadata.target_name, regions, warn))


def report_trend(store_location: Optional[str], config, target: str, regions: dict,
                 warn: Callable[[str], None]) -> Optional[ReportTrend]:
    """The trend of the target branch's last builds and then this build (`regions`: name ->
    used bytes), or None without a store or where it cannot serve (with a warning)."""
    location = store_location or config.history.store
    if not location:
        return None
    from tarnwick.history.answers import trends
    from tarnwick.history.store import Store

    branch = config.history.branch or next((os.environ[n] for n in _TARGET_BRANCH if os.environ.get(n)), None)
    try:
        with Store(location) as store:
            known = store.targets()
            if target not in known:
                raise HistoryError(f"no builds of {target!r} recorded yet")
            # the last builds are within a few times as many commits (gaps, other branches' merges)
            trend, = trends(store, target, branch=branch if branch in store.branches(target) else None,
                            depth=config.history.trend_builds * 4 + 50)
    except HistoryError as exc:
        warn(f"history {location}: {exc}; the report shows no trend")
        return None
    points = trend.points
    measured = [i for i, p in enumerate(points) if p.measured]
    points = points[measured[-config.history.trend_builds]:] if len(measured) > config.history.trend_builds else points
    last = next((p for p in reversed(points) if p.measured), None)
    dots = {}
    for region in dict.fromkeys([*regions, *trend.regions]):
        row = dots_of(points, region)
        if region in regions:
            before = last.regions.get(region) if last is not None else None
            row.append(Dot("this build", "", regions[region],
                           regions[region] - before if before is not None else None, current=True))
        dots[region] = row
    return ReportTrend(target, trend.branch, dots, sum(1 for p in points if p.measured))


def accepted_growth(given: list, gates: list, region_names, warn: Callable[[str], None]) -> list:
    """The growth gates with the waivers of `given` (--accept-growth) and of the work tree's
    commit applied; a waiver of --accept-growth naming no region is bad input (HistoryError),
    one of a trailer a warning."""
    from tarnwick.history import git
    from tarnwick.history.waivers import accept, from_commit, parse, unknown_regions

    waivers = [parse(text, "--accept-growth") for text in given]
    unknown = unknown_regions(waivers, region_names)
    if unknown:
        raise HistoryError("; ".join(unknown))
    if any(gate.failed for gate in gates):
        commit = git.commit("HEAD")
        if commit is not None:
            from_trailers, problems = from_commit(commit)
            for line in problems + [f"{line}; the trailer is left out" for line in unknown_regions(from_trailers, region_names)]:
                warn(line)
            waivers += from_trailers
    gates = accept(gates, waivers)
    for gate in gates:
        if gate.accepted:
            warn(f"growth accepted: {gate.reason}")
    return gates
