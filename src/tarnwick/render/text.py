"""The terminal report: one row per region with a bar, then findings, then the baseline.
Everything taken from the input is shown with control characters escaped."""

from __future__ import annotations

from tarnwick.render.breakdown import DEFAULT_TOP, change_rows, region_tops, shown_name
from tarnwick.render.escape import plain
from tarnwick.render.view import (
    build_view, gate_lines, human_bytes, percent, removed_regions, signed_bytes, signed_points,
)

BAR_WIDTH = 24


def _bar(ratio: float) -> str:
    filled = min(BAR_WIDTH, round(min(ratio, 1.0) * BAR_WIDTH)) if ratio == ratio else 0
    bar = "#" * filled + "." * (BAR_WIDTH - filled)
    return f"[{bar}]" + ("!" if ratio > 1 else "")


def _tops(report, top: int, symbols) -> list:
    lines = ["", f"Where the bytes go (the {top} largest per region; ~ marks sizes derived from a map)"]
    for region in region_tops(report, top, symbols):
        width = max([24] + [len(plain(e.name)) for e in region.symbols + region.objects])
        lines.append(f"{plain(region.region)}")
        if region.symbols:
            lines.append(f"  {'symbol':<{width}}  {'size':>11}  object")
            for entry in region.symbols:
                size = f"{'~' if entry.estimated else ''}{entry.size:,} B"
                lines.append(f"  {plain(entry.name):<{width}}  {size:>11}  {plain(entry.detail)}")
        if region.objects:
            lines.append(f"  {'object file':<{width}}  {'size':>11}")
            for entry in region.objects:
                lines.append(f"  {plain(entry.name):<{width}}  {entry.size:>9,} B")
    return lines


def _changes(comparison, top: int) -> list:
    rows = change_rows(comparison, top)
    if not rows:
        return ["", "No section, component, archive, object or symbol changed since the baseline."]
    lines = ["", f"Largest changes since the baseline (the {top} largest per level; ~ marks estimates)"]
    for word, change in rows:
        before = "-" if change.baseline is None else f"{change.baseline:,} B"
        after = "-" if change.current is None else f"{change.current:,} B"
        mark = "~" if change.estimated else " "
        lines.append(f"  {word:<9} {mark}{signed_bytes(change.delta):>11}  {change.kind:<8}  "
                     f"{plain(shown_name(change))}  ({before} -> {after})")
    return lines


def _read_from(outcome) -> list:
    """Which files the figures come from: the map, and the ELF file joined to it."""
    if outcome is None:
        return []
    inputs = outcome.inputs
    lines = []
    for role, prefix in (("map", ""), ("new", ""), ("old", "baseline ")):
        if role in inputs:
            elf = inputs.get("ELF file" if role == "map" else f"{role} ELF file")
            lines.append(f"Read {prefix}{plain(inputs[role])}" + (f" with its ELF file {plain(elf)}" if elf else ""))
    return lines


def _gates(outcome) -> list:
    gates = gate_lines(outcome)
    if not gates:
        return []
    verdict = "FAILED" if outcome.verdict.failed else "passed"
    lines = ["", f"Gates: {verdict}"]
    lines += [f"  {'FAILED' if failed else 'passed':<7} {plain(text)}" for failed, text in gates]
    return lines


def render_text(report, comparison=None, top: int = DEFAULT_TOP, symbols=None, outcome=None) -> str:
    view = build_view(report, comparison)
    lines = [f"tarnwick report for {plain(view.title)} ({plain(view.toolchain)})", *_read_from(outcome), ""]
    if view.regions:
        names = {row.name: plain(row.name) for row in view.regions}
        width = max(6, *(len(n) for n in names.values()))
        lines.append(f"{'Region':<{width}}  {'Used':>11}  {'Size':>11}  {'Use':>7}  Bar")
        for row in view.regions:
            mark = "  OVERFLOW" if row.overflow else ("  near capacity" if row.near_capacity else "")
            if row.over_partition_cap:
                mark += f"  {row.over_partition_cap:,} B over partition cap"
            lines.append(f"{names[row.name]:<{width}}  {row.used:>9,} B  {human_bytes(row.size):>11}  "
                         f"{percent(row.ratio):>7}  {_bar(row.ratio)}{mark}")
    else:
        lines.append("No memory regions: give them under [[regions]] in the configuration.")
    lines.append(f"Totals: flash {view.total_flash:,} B, RAM {view.total_ram:,} B")
    lines.append("")
    counts = view.counts
    lines.append(f"Findings: {counts.get('error', 0)} error(s), {counts.get('warning', 0)} warning(s), "
                 f"{counts.get('info', 0)} info")
    for finding in view.findings:
        lines.append(f"  {finding.severity.upper():<7} {plain(finding.id)}: {plain(finding.description)}")
        if finding.hint:
            lines.append(f"          hint: {plain(finding.hint)}")
    lines += _gates(outcome)
    label = comparison.label if comparison is not None else view.baseline_path
    if view.baseline_status == "ok":
        lines += ["", f"Baseline {plain(label)}: flash {signed_bytes(view.flash_delta)}, "
                      f"RAM {signed_bytes(view.ram_delta)}"]
        for row in view.regions:
            if row.delta_ratio is not None:
                change = signed_points(row.delta_ratio)
                if row.delta_bytes is not None:
                    change += f", {signed_bytes(row.delta_bytes)}"
                added = " added" if comparison is not None and getattr(
                    comparison.regions.get(row.name), "kind", None) == "added" else ""
                lines.append(f"  {plain(row.name)}: {percent(row.ratio)} ({change}){added}")
        for name, used in removed_regions(comparison):
            lines.append(f"  {plain(name)}: removed (it held {used:,} B)")
    elif view.baseline_status:
        detail = f": {view.baseline_error}" if view.baseline_error else ""
        lines += ["", f"Baseline {plain(view.baseline_path)}: {view.baseline_status}{plain(detail)}"]
    if comparison is not None:
        lines += _changes(comparison, top)
    if top > 0:
        lines += _tops(report, top, symbols)
    lines.append("")
    for note in view.notes:
        lines.append(f"Note: {plain(note)}")
    return "\n".join(lines) + "\n"
