"""A compact block for a pull-request comment. Names are code spans and other text from the
input is escaped, so nothing in a map can add links, images or HTML to the comment."""

from __future__ import annotations

from tarnwick.render.escape import markdown_code, markdown_text
from tarnwick.render.view import build_view, human_bytes, percent, region_change, signed_bytes

_ICON = {"error": "❌", "warning": "⚠️", "info": "ℹ️"}


def render_markdown(report, comparison=None) -> str:
    view = build_view(report, comparison)
    out = [f"### Memory footprint: {markdown_code(view.title, in_table=False)}", ""]
    with_baseline = view.baseline_status == "ok"
    header = "| Region | Used | Size | Use |" + (" Change |" if with_baseline else "")
    out += [header, "|---|---:|---:|---:|" + ("---:|" if with_baseline else "")]
    for row in view.regions:
        use = percent(row.ratio) + (" **overflow**" if row.overflow else "")
        line = f"| {markdown_code(row.name)} | {row.used:,} B | {human_bytes(row.size)} | {use} |"
        if with_baseline:
            line += f" {region_change(row)} |"
        out.append(line)
    if with_baseline:
        out += ["", f"Flash {signed_bytes(view.flash_delta)}, RAM {signed_bytes(view.ram_delta)} "
                    "since the baseline."]
    elif view.baseline_status:
        out += ["", f"Baseline not compared: {markdown_text(view.baseline_status)}"
                    + (f" ({markdown_text(view.baseline_error)})" if view.baseline_error else "") + "."]
    out.append("")
    if view.findings:
        out.append("**Findings**")
        out.append("")
        for finding in view.findings:
            out.append(f"- {_ICON.get(finding.severity, '-')} {markdown_code(finding.id, in_table=False)}: "
                       f"{markdown_text(finding.description)}")
    else:
        out.append("No findings.")
    for note in view.notes:
        out += ["", f"_Note:_ {markdown_text(note)}"]
    return "\n".join(out) + "\n"
