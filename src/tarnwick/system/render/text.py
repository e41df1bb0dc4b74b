"""The system report for a terminal: the images, the partition table of each flash, RAM per
core, shared regions, overlaps, the secure headroom, findings, changes and gates."""

from __future__ import annotations

from tarnwick.render.escape import plain
from tarnwick.system.render.view import (
    comparison_lines, finding_rows, gate_rows, headline, image_table, mcuboot_line, overlap_lines,
    partition_tables, ram_table, read_lines, region_lines, secure_lines, totals_line,
)


def table_lines(table) -> list:
    cells = [tuple(plain(cell) for cell in row) for row in table.rows]
    widths = [max([len(header)] + [len(row[i]) for row in cells]) for i, header in enumerate(table.headers)]

    def line(row) -> str:
        return "  " + "  ".join(cell.rjust(widths[i]) if i in table.numeric else cell.ljust(widths[i])
                                for i, cell in enumerate(row)).rstrip()

    return ["", table.title, line(table.headers), *(line(row) for row in cells)]


def render_text(result, top: int = 10) -> str:
    report = result.report
    lines = [plain(headline(result)), *("  " + plain(line) for line in read_lines(result))]
    lines += table_lines(image_table(report))
    for table in partition_tables(report):
        lines += table_lines(table)
    mcuboot = mcuboot_line(report)
    if mcuboot:
        lines += ["", mcuboot]
    lines += table_lines(ram_table(report))
    for title, items in (("Regions", region_lines(report)), ("Secure", secure_lines(report))):
        if items:
            lines += ["", title, *("  " + plain(item) for item in items)]
    overlaps = overlap_lines(report)
    lines += ["", "Overlaps" if overlaps else "Overlaps: none", *("  " + plain(item) for item in overlaps)]
    lines += ["", totals_line(report)]
    findings = finding_rows(report)
    counts = {severity: sum(1 for row in findings if row[0] == severity) for severity in ("error", "warning", "info")}
    lines += ["", f"Findings: {counts['error']} error(s), {counts['warning']} warning(s), {counts['info']} info"]
    for severity, identifier, description, hint in findings:
        lines.append(f"  {severity:<7} {plain(identifier)}: {plain(description)}")
        if hint:
            lines.append(f"          {plain(hint)}")
    if report.notes:
        lines += ["", "Notes", *("  " + plain(note) for note in report.notes)]
    if result.baseline_problem:
        lines += ["", f"Baseline: {plain(result.baseline_problem)}; the system is compared with nothing"]
    if result.comparison is not None:
        lines += ["", f"Changes since the baseline ({plain(result.comparison.label)})",
                  *("  " + plain(line) for line in comparison_lines(result.comparison))]
    lines += ["", f"Gates: {'FAILED' if result.verdict.failed else 'passed'}"]
    lines += [f"  {'FAILED' if failed else 'passed':<7} {plain(text)}" for failed, text in gate_rows(result.verdict)]
    return "\n".join(lines) + "\n"
