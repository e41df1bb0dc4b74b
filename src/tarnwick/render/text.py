"""The terminal report: one row per region with a bar, then findings, then the baseline.
Everything taken from the input is shown with control characters escaped."""

from __future__ import annotations

from tarnwick.render.breakdown import DEFAULT_TOP, SIZE_LEGEND, change_rows, region_tops, shown_name, size_mark
from tarnwick.render.escape import plain
from tarnwick.render.ledger import by_source, shown_ledgers, source_lists
from tarnwick.render.regions import Family, family_label, folded
from tarnwick.render.view import (
    build_view, gate_lines, human_bytes, percent, removed_regions, signed_bytes, signed_points,
)

BAR_WIDTH = 24


def _bar(ratio: float) -> str:
    filled = min(BAR_WIDTH, round(min(ratio, 1.0) * BAR_WIDTH)) if ratio == ratio else 0
    bar = "#" * filled + "." * (BAR_WIDTH - filled)
    return f"[{bar}]" + ("!" if ratio > 1 else "")


def _size(entry) -> str:
    return f"{size_mark(entry)}{entry.size:,} B"


def _tops(report, top: int, model, sources=None) -> list:
    symbols = model.symbols if model is not None else None
    tops = {region.region: region for region in region_tops(report, top, symbols)}
    lines = ["", f"Where the bytes go (per region: what fills it, its sections and archives, the {top} largest "
                 "symbols and object files" + (", source files and folders)" if by_source(sources) else ")"),
             f"  {SIZE_LEGEND}"]
    if sources is not None and not by_source(sources):
        lines.append(f"  {plain(sources.reason)}")
    lines += [f"  {plain(note)}" for note in getattr(sources, "notes", None) or []]
    for book in shown_ledgers(report, symbols, model):
        region = tops.get(book.name)
        entries = list(book.lines) + (region.symbols + region.objects if region else [])
        width = max([24] + [len(plain(getattr(e, "label", None) or e.name)) for e in entries]
                    + [len(plain(name)) for name, _ in book.sections[:top] + book.archives[:top]])
        lines.append(f"{plain(book.name)}: accounted {book.accounted:,} of {book.used:,} B")
        for line in book.lines:
            lines.append(f"  {plain(line.label):<{width}}  {line.size:>11,} B")
        listed = [("section", book.sections[:top]), ("archive", book.archives[:top])]
        listed += source_lists(sources, book.name, top)
        for title, rows in listed:
            if rows:
                lines.append(f"  {title:<{width}}  {'size':>13}")
                lines += [f"  {plain(name):<{width}}  {size:>11,} B" for name, size in rows]
        if region and region.symbols:
            lines.append(f"  {'symbol':<{width}}  {'size':>13}  object")
            for entry in region.symbols:
                lines.append(f"  {plain(entry.name):<{width}}  {_size(entry):>13}  {plain(entry.detail)}")
        if region and region.objects:
            lines.append(f"  {'object file':<{width}}  {'size':>13}")
            for entry in region.objects:
                lines.append(f"  {plain(entry.name):<{width}}  {entry.size:>11,} B")
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
    used = outcome.configuration()
    return lines + ([plain(used)] if used else [])


def _gates(outcome) -> list:
    gates = gate_lines(outcome)
    if not gates:
        return []
    verdict = "FAILED" if outcome.verdict.failed else "passed"
    lines = ["", f"Gates: {verdict}"]
    lines += [f"  {'FAILED' if failed else 'passed':<7} {plain(text)}" for failed, text in gates]
    return lines


def render_text(report, comparison=None, top: int = DEFAULT_TOP, model=None, outcome=None) -> str:
    view = build_view(report, comparison, model)
    lines = [f"tarnwick report for {plain(view.title)} ({plain(view.toolchain)})", *_read_from(outcome), ""]
    if view.regions:
        shown = folded(view.regions)
        names = [plain(family_label(item) if isinstance(item, Family) else item.name) for item in shown]
        width = max(6, *(len(n) for n in names))
        lines.append(f"{'Region':<{width}}  {'Used':>11}  {'Size':>11}  {'Use':>7}  Bar")
        for name, row in zip(names, shown):
            if isinstance(row, Family):
                ratio = row.used / row.size if row.size else 0.0
                mark = f"  OVERFLOW by {row.overflow:,} B" if row.overflow else ""
            else:
                ratio = row.ratio
                mark = "  OVERFLOW" if row.overflow else ("  near capacity" if row.near_capacity else "")
                if row.over_partition_cap:
                    mark += f"  {row.over_partition_cap:,} B over partition cap"
            lines.append(f"{name:<{width}}  {row.used:>9,} B  {human_bytes(row.size):>11}  "
                         f"{percent(ratio):>7}  {_bar(ratio)}{mark}")
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
    if outcome is not None and outcome.stack is not None:
        from tarnwick.render.stack_view import text_lines

        lines += text_lines(outcome.stack, top)
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
                    comparison.region(row.name), "kind", None) == "added" else ""
                lines.append(f"  {plain(row.name)}: {percent(row.ratio)} ({change}){added}")
        for name, used in removed_regions(comparison):
            lines.append(f"  {plain(name)}: removed (it held {used:,} B)")
    elif view.baseline_status:
        detail = f": {view.baseline_error}" if view.baseline_error else ""
        lines += ["", f"Baseline {plain(view.baseline_path)}: {view.baseline_status}{plain(detail)}"]
    if comparison is not None:
        lines += _changes(comparison, top)
    if top > 0:
        lines += _tops(report, top, model, outcome.sources if outcome is not None else None)
    lines.append("")
    for note in view.notes:
        lines.append(f"Note: {plain(note)}")
    return "\n".join(lines) + "\n"
