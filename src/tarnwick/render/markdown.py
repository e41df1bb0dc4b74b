"""A compact block for a pull-request comment."""

from __future__ import annotations

from tarnwick.render.view import build_view, human_bytes, percent, signed_bytes, signed_points

_ICON = {"error": "❌", "warning": "⚠️", "info": "ℹ️"}


def _cell(text: str) -> str:
    return str(text).replace("|", "\\|").replace("\n", " ")


def render_markdown(report) -> str:
    view = build_view(report)
    out = [f"### Memory footprint: {_cell(view.title)}", ""]
    with_baseline = view.baseline_status == "ok"
    header = "| Region | Used | Size | Use |" + (" Change |" if with_baseline else "")
    out += [header, "|---|---:|---:|---:|" + ("---:|" if with_baseline else "")]
    for row in view.regions:
        use = percent(row.ratio) + (" **overflow**" if row.overflow else "")
        line = f"| {_cell(row.name)} | {row.used:,} B | {human_bytes(row.size)} | {use} |"
        if with_baseline:
            line += f" {signed_bytes(row.delta_bytes)} ({signed_points(row.delta_ratio)}) |"
        out.append(line)
    if with_baseline:
        out += ["", f"Flash {signed_bytes(view.flash_delta)}, RAM {signed_bytes(view.ram_delta)} "
                    "since the baseline."]
    elif view.baseline_status:
        out += ["", f"Baseline not compared: {view.baseline_status}."]
    out.append("")
    if view.findings:
        out.append("**Findings**")
        out.append("")
        for finding in view.findings:
            out.append(f"- {_ICON.get(finding.severity, '-')} `{_cell(finding.id)}`: {_cell(finding.description)}")
    else:
        out.append("No findings.")
    return "\n".join(out) + "\n"
