"""The system report as markdown, for a pull-request comment: the verdict first, then the
images, the partition tables, RAM, overlaps, findings, changes and gates."""

from __future__ import annotations

from tarnwick.render.escape import markdown_code, markdown_text
from tarnwick.system.render.view import (
    comparison_lines, finding_rows, gate_rows, image_table, mcuboot_line, overlap_lines, partition_tables,
    ram_table, region_lines, secure_lines, totals_line,
)

_NAME_COLUMNS = {"image", "partition", "core", "images at once"}


def _table(table) -> list:
    names = [i for i, header in enumerate(table.headers) if header in _NAME_COLUMNS]
    lines = ["", f"**{markdown_text(table.title)}**", "",
             "| " + " | ".join(markdown_text(h) for h in table.headers) + " |",
             "|" + "|".join("---:" if i in table.numeric else "---" for i in range(len(table.headers))) + "|"]
    for row in table.rows:
        cells = [markdown_code(cell) if i in names and cell not in ("-", "(gap)") else markdown_text(cell)
                 for i, cell in enumerate(row)]
        lines.append("| " + " | ".join(cells) + " |")
    return lines


def _list(title: str, items: list) -> list:
    return ["", f"**{title}**", "", *(f"- {markdown_text(item)}" for item in items)] if items else []


def render_markdown(result, top: int = 10) -> str:
    report = result.report
    verdict = result.verdict
    status = "❌ **Gates failed**: " + markdown_text("; ".join(verdict.failures())) if verdict.failed \
        else "✅ All gates passed."
    lines = [f"<!-- tarnwick system={markdown_text(report.name)} -->",
             f"### System footprint: {markdown_code(report.name, in_table=False)}", "", status]
    lines += _table(image_table(report))
    for table in partition_tables(report):
        lines += _table(table)
    mcuboot = mcuboot_line(report)
    if mcuboot:
        lines += ["", markdown_text(mcuboot)]
    lines += _table(ram_table(report))
    lines += _list("Regions", region_lines(report))
    lines += _list("Secure headroom", secure_lines(report))
    lines += _list("Overlaps", overlap_lines(report)) or ["", "No overlaps."]
    lines += ["", markdown_text(totals_line(report))]
    findings = finding_rows(report)
    if findings:
        lines += ["", "**Findings**", ""]
        for severity, identifier, description, hint in findings:
            mark = {"error": "🛑", "warning": "⚠️"}.get(severity, "ℹ️")
            lines.append(f"- {mark} {markdown_code(identifier, in_table=False)}: {markdown_text(description)}"
                         + (f" _{markdown_text(hint)}_" if hint else ""))
    else:
        lines += ["", "No findings."]
    lines += _list("Notes", report.notes)
    if result.baseline_problem:
        lines += ["", markdown_text(f"Baseline {result.baseline_problem}: the system is compared with nothing.")]
    if result.comparison is not None:
        lines += _list(f"Changes since the baseline ({result.comparison.label})", comparison_lines(result.comparison))
    lines += ["", "**Gates**", ""]
    lines += [f"- {'❌' if failed else '✅'} {markdown_text(text)}" for failed, text in gate_rows(verdict)]
    return "\n".join(lines) + "\n"
