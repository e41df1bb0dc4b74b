"""What every renderer shows, read once from a report."""

from __future__ import annotations

import math
import re
from datetime import datetime

from tarnwick.domain import AnalysisReport
from tarnwick.render.regions import TINY_REGION, region_order
from tarnwick.support.patterns import LazyPattern
from tarnwick.support.records import record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:  # nor does the comparison module, but for runs that compare
    from typing import Optional

    from tarnwick.compare.comparison import Comparison

SEVERITY_ORDER = ("error", "warning", "info")


@record(frozen=True)
class RegionRow:
    name: str
    category: str
    used: int
    size: int
    ratio: float
    overflow: int
    delta_ratio: Optional[float]  # change since the baseline, None without one
    near_capacity: bool
    over_partition_cap: Optional[int]  # bytes above policies.partition_max_bytes
    delta_bytes: Optional[int] = None  # bytes now less bytes in the baseline, where both have them


@record(frozen=True)
class Finding:
    severity: str
    id: str
    title: str
    description: str
    hint: str


@record(frozen=True)
class ReportView:
    title: str
    toolchain: str
    timestamp: str
    regions: list
    findings: list
    counts: dict
    baseline_status: Optional[str]
    baseline_path: Optional[str]
    baseline_error: Optional[str]
    flash_delta: Optional[int]
    ram_delta: Optional[int]
    total_flash: int
    total_ram: int
    sankey: Optional[dict]
    notes: list
    comparison: Optional[Comparison] = None


def _value(member) -> str:
    return getattr(member, "value", member)


def build_view(report: AnalysisReport, comparison: Optional[Comparison] = None, model=None) -> ReportView:
    """What the renderers show; `model`: the build's model where there is one (for the order
    the linker lists its regions in)."""
    config = report.diagnostics.get("config_summary", {})
    policies = config.get("policies", {})
    near = policies.get("warn_on_near_capacity_ratio", 1.0)
    caps = policies.get("partition_max_bytes", {})
    regressions = report.regressions or {}
    compared = regressions.get("regions", {}) if regressions.get("status") == "ok" else {}
    visualization = report.trends.get("visualization", {}) or {}
    rows = []
    order = {name: index for index, name in enumerate(region_order(report, model))}
    listed = sorted(visualization.get("regions", []), key=lambda row: order.get(row["name"], len(order)))
    for row in listed:
        name = row["name"]
        cap = caps.get(name)
        delta = compared.get(name, {}).get("delta") if compared else None
        change = comparison.region(name) if comparison is not None else None
        rows.append(RegionRow(
            name=name, category=row["category"], used=row["used_bytes"], size=row["capacity_bytes"],
            ratio=row["utilization_ratio"], overflow=row["overflow_bytes"],
            delta_ratio=delta, near_capacity=(row["utilization_ratio"] >= near and not row["overflow_bytes"]
                                              and row["capacity_bytes"] > TINY_REGION),
            over_partition_cap=(row["used_bytes"] - cap) if cap is not None and row["used_bytes"] > cap else None,
            delta_bytes=change.delta if change is not None else None,
        ))
    findings = [Finding(_value(i.severity), i.id, i.title, _readable(i.id, i.description), i.remediation_hint)
                for i in report.issues]
    findings.sort(key=lambda f: SEVERITY_ORDER.index(f.severity) if f.severity in SEVERITY_ORDER else 9)
    notes = list(report.diagnostics.get("unresolved_ambiguities", []))
    if comparison is not None:
        notes += comparison.notes
    return ReportView(
        title=report.metadata.target_name, toolchain=report.metadata.toolchain_detected,
        timestamp=local_time(report.metadata.analysis_timestamp), regions=rows, findings=findings,
        counts=dict(report.summary.issue_counts),
        baseline_status=regressions.get("status"),
        baseline_path=regressions.get("baseline_path", regressions.get("path")),
        baseline_error=regressions.get("error"),
        flash_delta=regressions.get("flash_delta_bytes"), ram_delta=regressions.get("ram_delta_bytes"),
        total_flash=report.summary.total_flash, total_ram=report.summary.total_ram,
        sankey=visualization.get("sankey"), notes=notes, comparison=comparison,
    )


_BUDGET = LazyPattern(r"^Region (?P<region>.+) utilization is (?P<used>[-+0-9.e]+|nan|inf), above configured "
                     r"threshold (?P<budget>[-+0-9.e]+|nan|inf)\.$")


def _readable(finding_id: str, description: str) -> str:
    """A finding as a person reads it: budgets as percentages, as the regions' use is shown
    (the JSON report keeps the analysis's own words)."""
    found = _BUDGET.match(description) if finding_id.startswith("budget.") else None
    if found is None:
        return description
    used, budget = float(found["used"]), float(found["budget"])
    return f"Region {found['region']} uses {percent(used)}, above its budget of {percent(budget)}."


def local_time(stamp: str) -> str:
    """An ISO timestamp as the reader's local date and time to the second, with its offset;
    the text as it is when it is not one."""
    try:
        moment = datetime.fromisoformat(stamp)
    except (TypeError, ValueError):
        return stamp
    if moment.tzinfo is not None:
        moment = moment.astimezone()
    return moment.strftime("%Y-%m-%d %H:%M:%S") + (moment.strftime(" %Z") if moment.tzinfo else "")


def removed_regions(comparison) -> list:
    """The regions only the baseline had, as (name, bytes it used there)."""
    if comparison is None:
        return []
    return [(change.name, change.baseline) for change in comparison.regions if change.kind == "removed"]


def gate_lines(outcome) -> list:
    """(failed, text) of each gate of the run: the policies turned on and the growth limits."""
    if outcome is None:
        return []
    lines = []
    for gate in outcome.verdict.policies:
        findings = f": {', '.join(gate.findings)}" if gate.findings else ": no finding breaks it"
        lines.append((gate.failed, gate.reason or f"{gate.name}{findings}"))
    lines += [(gate.failed, gate.reason) for gate in outcome.verdict.growth]
    return lines


def human_bytes(count: int) -> str:
    """1292 -> '1,292 B'; 131072 -> '128.0 KiB'."""
    for unit, scale in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if abs(count) >= scale:
            return f"{count / scale:.1f} {unit}"
    return f"{count:,} B"


def signed_bytes(count: Optional[int]) -> str:
    if count is None:
        return ""
    if not count:
        return "±0 B"
    return ("+" if count > 0 else "") + f"{count:,} B"


def percent(ratio: float) -> str:
    return f"{ratio * 100:.1f}%" if math.isfinite(ratio) else "n/a"


def region_change(row: RegionRow) -> str:
    """"+2,048 B (+10.0 pts)"; the points alone where the baseline holds no bytes."""
    points = signed_points(row.delta_ratio)
    if row.delta_bytes is None:
        return f"({points})" if points else ""
    return f"{signed_bytes(row.delta_bytes)} ({points})" if points else signed_bytes(row.delta_bytes)


def signed_points(delta: Optional[float]) -> str:
    if delta is None:
        return ""
    if not math.isfinite(delta):
        return "n/a"
    points = delta * 100
    return f"{'+' if points > 0 else ''}{points:.1f} pts" if abs(points) >= 0.05 else "±0.0 pts"
