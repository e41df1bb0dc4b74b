"""The terminal report: one row per region with a bar, then findings, then the baseline."""

from __future__ import annotations

from tarnwick.render.view import (
    build_view, human_bytes, percent, signed_bytes, signed_points,
)

BAR_WIDTH = 24


def _bar(ratio: float) -> str:
    filled = min(BAR_WIDTH, round(min(ratio, 1.0) * BAR_WIDTH))
    bar = "#" * filled + "." * (BAR_WIDTH - filled)
    return f"[{bar}]" + ("!" if ratio > 1 else "")


def render_text(report) -> str:
    view = build_view(report)
    lines = [f"tarnwick report for {view.title} ({view.toolchain})", ""]
    if view.regions:
        width = max(6, *(len(r.name) for r in view.regions))
        lines.append(f"{'Region':<{width}}  {'Used':>11}  {'Size':>11}  {'Use':>7}  Bar")
        for row in view.regions:
            mark = "  OVERFLOW" if row.overflow else ("  near capacity" if row.near_capacity else "")
            if row.over_partition_cap:
                mark += f"  {row.over_partition_cap:,} B over partition cap"
            lines.append(f"{row.name:<{width}}  {row.used:>9,} B  {human_bytes(row.size):>11}  "
                         f"{percent(row.ratio):>7}  {_bar(row.ratio)}{mark}")
    else:
        lines.append("No memory regions: give them under [[regions]] in the configuration.")
    lines.append(f"Totals: flash {view.total_flash:,} B, RAM {view.total_ram:,} B")
    lines.append("")
    counts = view.counts
    lines.append(f"Findings: {counts.get('error', 0)} error(s), {counts.get('warning', 0)} warning(s), "
                 f"{counts.get('info', 0)} info")
    for finding in view.findings:
        lines.append(f"  {finding.severity.upper():<7} {finding.id}: {finding.description}")
        if finding.hint:
            lines.append(f"          hint: {finding.hint}")
    if view.baseline_status == "ok":
        lines += ["", f"Baseline {view.baseline_path}: flash {signed_bytes(view.flash_delta)}, "
                      f"RAM {signed_bytes(view.ram_delta)}"]
        for row in view.regions:
            if row.delta_ratio is not None:
                lines.append(f"  {row.name}: {percent(row.ratio)} ({signed_points(row.delta_ratio)}, "
                             f"{signed_bytes(row.delta_bytes)})")
    elif view.baseline_status:
        detail = f": {view.baseline_error}" if view.baseline_error else ""
        lines += ["", f"Baseline {view.baseline_path}: {view.baseline_status}{detail}"]
    for note in view.notes:
        lines.append(f"Note: {note}")
    return "\n".join(lines) + "\n"
