"""The history's answers as text, JSON and (for the trend) one self-contained HTML page."""

from __future__ import annotations

import json
import time
from datetime import datetime, timezone
from typing import Optional

from tarnwick.history.pictures import TREND_CSS, dots_of, trend_svg
from tarnwick.render.escape import html_text, plain
from tarnwick.render.names import display_name
from tarnwick.render.view import human_bytes, signed_bytes


def iso_time(seconds: Optional[int]) -> Optional[str]:
    return None if seconds is None else datetime.fromtimestamp(seconds, timezone.utc).isoformat()


def _local_time(seconds: Optional[int]) -> str:
    return "" if seconds is None else time.strftime("%Y-%m-%d %H:%M", time.localtime(seconds))


def _dumps(document) -> str:
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"


# --- show --------------------------------------------------------------------------------------

def _point_json(trend, point) -> dict:
    build = point.build
    return {"commit": point.commit, "parent": point.parent, "time": iso_time(point.time),
            "branch": build.branch if build else None, "target": trend.target,
            "regions": dict(point.regions) if point.regions is not None else None,
            "subject": point.subject, "measured": point.measured, "deltas": point.deltas,
            "label": build.label if build else None, "status": build.status if build else None,
            "waivers": build.waivers if build else []}


def show_json(trends: list, regions: Optional[list]) -> str:
    """`builds`, one a line: a chain may be 10,000 builds long, which the indenting encoder
    (written in Python) takes a second over."""
    builds = []
    for trend in trends:
        for point in trend.points:
            row = _point_json(trend, point)
            if regions and row["regions"] is not None:
                row["regions"] = {n: v for n, v in row["regions"].items() if n in regions}
                row["deltas"] = {n: v for n, v in (row["deltas"] or {}).items() if n in regions} if row["deltas"] is not None else None
            builds.append(row)
    if not builds:
        return '{"builds": []}\n'
    return '{"builds": [\n' + ",\n".join(json.dumps(row, ensure_ascii=False) for row in builds) + "\n]}\n"


def _heading(trend) -> str:
    measured = sum(1 for p in trend.points if p.measured)
    if not trend.points:
        return f"{plain(trend.target)}: no commits"
    branch = f" on {plain(trend.branch)}" if trend.branch else ""
    return (f"{plain(trend.target)}{branch}: {_commits(len(trend.points))} of the first-parent chain from "
            f"{trend.points[0].commit[:12]} to {trend.points[-1].commit[:12]}, {measured:,} measured")


def show_text(trends: list, regions: Optional[list]) -> str:
    lines = []
    for trend in trends:
        names = [n for n in trend.regions if not regions or n in regions]
        lines += [_heading(trend), ""]
        table = [["commit", "date", *names, "subject"]]
        gap = ["not measured"] + [""] * (len(names) - 1) if names else []
        first = trend.points[0] if trend.points else None
        for point in trend.points:
            if point.regions is None:
                cells = gap
            else:
                used, deltas = point.regions, point.deltas or {}
                cells = [(f"{used[name]:,} B {signed_bytes(deltas[name])}" if deltas.get(name) else f"{used[name]:,} B")
                         if name in used else "" for name in names]
            remarks = _remarks(point, point is first) if point.build is not None else ""
            subject = plain(point.subject or "")
            table.append([point.commit[:12], _local_time(point.time), *cells,
                          f"{subject}  [{remarks}]" if remarks else subject])
        # every column but the subject padded to its widest cell (str.format pads as ljust does)
        widths = [max(map(len, column)) for column in zip(*table)][:-1]
        row_format = "".join(f"{{:<{width}}}  " for width in widths) + "{}"
        lines += [row_format.format(*row) for row in table]
        lines.append("")
    return "\n".join(lines)


def _remarks(point, first: bool = False) -> str:
    """What else a row says; `first`: the row the range starts at (whose parent is outside it)."""
    build = point.build
    if build is None:
        return ""
    said = []
    if build.label:
        said.append(plain(build.label))
    if build.status == "failed":
        said.append("gates failed")
    said += [f"accepted {plain(w.get('region'))}: {plain(w.get('reason'))}" for w in build.waivers if isinstance(w, dict)]
    if point.deltas is None and point.parent and not first:
        said.append("first parent not measured")
    return "; ".join(said)


def show_html(trends: list, regions: Optional[list]) -> str:
    parts = ["<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8"><title>tarnwick: history</title>',
             "<style>body { font: 14px/1.45 system-ui, sans-serif; margin: 24px; color: #1d2330; } "
             "h1 { font-size: 20px; } h2 { font-size: 16px; margin-top: 28px; } .meta { color: #5b6475; } "
             "table { border-collapse: collapse; } td, th { padding: 3px 10px; border-bottom: 1px solid #e3e6ec; "
             "text-align: right; } td.text, th.text { text-align: left; } .gap { color: #5b6475; }"
             f"{TREND_CSS}</style></head><body><main>", "<h1>Memory footprint history</h1>"]
    for trend in trends:
        names = [n for n in trend.regions if not regions or n in regions]
        parts += [f"<h2>{html_text(trend.target)}</h2>", f'<p class="meta">{html_text(_heading(trend))}. Hover a '
                  "point for its commit and change; the red ones grew most.</p>"]
        for name in names:
            parts += [f"<h3>{html_text(name)}</h3>", trend_svg(name, dots_of(trend.points, name))]
        parts.append('<table><tr><th class="text">Commit</th><th class="text">Date</th>'
                     + "".join(f"<th>{html_text(n)}</th>" for n in names) + '<th class="text">Subject</th></tr>')
        for point in reversed(trend.points):
            if point.measured:
                cells = "".join(f"<td>{_cell(point, n)}</td>" for n in names)
            else:
                cells = f'<td class="gap" colspan="{max(len(names), 1)}">not measured</td>'
            remarks = _remarks(point, point is trend.points[0])
            parts.append(f'<tr><td class="text"><code>{point.commit[:12]}</code></td>'
                         f'<td class="text">{_local_time(point.time)}</td>{cells}<td class="text">'
                         f"{html_text(point.subject or '')}{' <span class=meta>(' + html_text(remarks) + ')</span>' if remarks else ''}"
                         "</td></tr>")
        parts.append("</table>")
    parts.append("</main></body></html>")
    return "\n".join(parts) + "\n"


def _cell(point, name: str) -> str:
    used = point.regions.get(name)
    if used is None:
        return ""
    delta = point.deltas.get(name) if point.deltas is not None else None
    return f"{used:,} B" + (f" <small>{html_text(signed_bytes(delta))}</small>" if delta else "")


# --- blame -------------------------------------------------------------------------------------

def _grew_json(row) -> dict:
    kind, name, object_file, delta = row
    document = {"kind": kind, "name": name, "delta_bytes": delta}
    if object_file is not None:
        document["object_file"] = object_file
    return document


def blame_json(blames: list) -> str:
    commits, unmeasured, targets = [], [], []
    for found in blames:
        trend = found.trend
        targets.append({"target": trend.target, "branch": trend.branch, "region": found.region,
                        "since": trend.points[0].commit if trend.points else None,
                        "head": trend.points[-1].commit if trend.points else None,
                        "total_delta_bytes": found.total, "growing_commits": found.growing})
        for blamed in found.commits:
            point = blamed.point
            commits.append({"commit": point.commit, "parent": point.parent, "delta_bytes": blamed.delta,
                            "subject": point.subject, "grew": [_grew_json(row) for row in blamed.grew],
                            "grew_not_listed": blamed.more, "target": trend.target, "region": found.region,
                            "time": iso_time(point.time), "waivers": point.build.waivers})
        unmeasured += [{"commit": point.commit, "parent": point.parent, "subject": point.subject,
                        "target": trend.target, "reason": why} for point, why in found.unmeasured]
    commits.sort(key=lambda c: -c["delta_bytes"])
    return _dumps({"region": blames[0].region, "targets": targets, "commits": commits, "unmeasured": unmeasured})


def _commits(count: int) -> str:
    return f"{count:,} commit" + ("" if count == 1 else "s")


def blame_text(blames: list) -> str:
    lines = []
    for found in blames:
        trend = found.trend
        if not trend.points:
            lines += [f"{plain(trend.target)}: no commits", ""]
            continue
        total = f"{signed_bytes(found.total)}" if found.total is not None else "a change that cannot be told"
        lines.append(f"{plain(found.region)} of {plain(trend.target)}"
                     + (f" on {plain(trend.branch)}" if trend.branch else "")
                     + f", from {trend.points[0].commit[:12]} to {trend.points[-1].commit[:12]} "
                     f"({_commits(len(trend.points) - 1)}): {total}; {_commits(found.growing)} grew it")
        if not found.commits:
            lines.append("  No commit grew it.")
        for blamed in found.commits:
            point = blamed.point
            lines.append(f"  {signed_bytes(blamed.delta):>12}  {point.commit[:12]}  {plain(point.subject or '')}")
            for waiver in point.build.waivers:
                lines.append(f"{'':16}accepted: {plain(waiver.get('reason', ''))}")
            for kind, name, object_file, delta in blamed.grew:
                shown = display_name(name) + (f" ({object_file})" if object_file else "")
                lines.append(f"{'':16}{kind:<7} {signed_bytes(delta):>11}  {plain(shown)}")
            if blamed.more:
                lines.append(f"{'':16}... and {blamed.more:,} more that grew")
        if found.unmeasured:
            lines.append("  Not measured against their first parent:")
            lines += [f"  {'':12}  {point.commit[:12]}  {plain(point.subject or '')}: {why}"
                      for point, why in found.unmeasured]
        lines.append("")
    return "\n".join(lines)


# --- compare, record, import -------------------------------------------------------------------

def _build_json(build) -> dict:
    return {"id": build.id, "commit": build.commit, "branch": build.branch, "label": build.label,
            "recorded_at": build.recorded_at, "status": build.status, "waivers": build.waivers}


def compare_json(target: str, old, new, comparison) -> str:
    from tarnwick.render.json_report import comparison_jsonable

    return _dumps({"target": target, "old": _build_json(old), "new": _build_json(new),
                   "comparison": comparison_jsonable(comparison)})


def compare_text(target: str, old, new, comparison, top: int) -> str:
    from tarnwick.render.breakdown import change_rows, shown_name

    lines = [f"{plain(target)}: {old.commit[:12]} -> {new.commit[:12]}",
             f"flash {signed_bytes(comparison.flash_delta) or '?'}, RAM {signed_bytes(comparison.ram_delta) or '?'}", ""]
    for change in comparison.regions:
        name = change.name
        before = "-" if change.baseline is None else f"{change.baseline:,} B"
        after = "-" if change.current is None else f"{change.current:,} B"
        size = comparison.region_sizes.get(name)
        lines.append(f"  {plain(name):<12} {before:>13} -> {after:>13}  {signed_bytes(change.delta):>11}"
                     + (f"  of {human_bytes(size)}" if size else ""))
    rows = change_rows(comparison, top)
    lines += ["", f"Largest changes (the {top} largest per level; ~ marks estimates)" if rows else "Nothing else changed."]
    for word, change in rows:
        mark = "~" if change.estimated else " "
        lines.append(f"  {word:<9} {mark}{signed_bytes(change.delta):>11}  {change.kind:<8}  {plain(shown_name(change))}")
    lines += [f"Note: {plain(note)}" for note in comparison.notes]
    return "\n".join(lines) + "\n"


def recorded_text(entry, recorded, location: str) -> str:
    parent = recorded.parent
    changes = []
    for name, (used, _size) in entry.regions.items():
        before = None
        if parent is not None and recorded.parent_regions is not None:
            before = recorded.parent_regions.get(name)
        changes.append(f"{plain(name)} {used:,} B" + (f" ({signed_bytes(used - before)})" if before is not None else ""))
    against = (f" against its first parent {parent.commit[:12]}" if parent is not None
               else "; its first parent was not recorded" if entry.parents else "")
    replaced = f", in place of {recorded.replaced} earlier build(s) of it" if recorded.replaced else ""
    return (f"recorded {plain(entry.target)} at {entry.commit[:12]}" + (f" on {plain(entry.branch)}" if entry.branch else "")
            + f" in {plain(location)}{replaced}: {', '.join(changes) or 'no regions'}{against}\n")


def recorded_json(entry, recorded) -> str:
    parent = recorded.parent
    deltas = None
    if parent is not None and recorded.parent_regions is not None:
        deltas = {name: used - recorded.parent_regions.get(name, 0) for name, (used, _) in entry.regions.items()}
    return _dumps({"recorded": {"id": recorded.id, "target": entry.target, "commit": entry.commit,
                                "parent": entry.parents[0] if entry.parents else None, "branch": entry.branch,
                                "label": entry.label, "time": iso_time(entry.time), "replaced": recorded.replaced,
                                "regions": {name: used for name, (used, _) in entry.regions.items()},
                                "deltas": deltas, "status": entry.status,
                                "waivers": entry.details.get("waivers", [])}})
