"""What the CI hosts' own report formats (SARIF, GitLab Code Quality, JUnit) are made of, read
once from a run: each finding with a stable rule and fingerprint, its level raised to an error
when it breaks a gate that failed (so every artifact tells the verdict the exit code gives), the
file it is about, and every gate with the budget it checks. A build's run is told by `build_run`;
a system's by `tarnwick.system.render.hosts`, in the same `HostRun`."""

from __future__ import annotations

import hashlib
import os
from typing import Callable, NamedTuple, Optional

from tarnwick.render.view import build_view

# a finding's category -> the rule it is reported under; policy findings by their id's head
_RULES = {"overflow": "overflow", "reserved_region": "reserved-range", "placement": "placement",
          "parsing": "parsing", "stack": "stack-overflow", "stack_unbounded": "stack-unbounded",
          "system.overlap": "system-overlap", "system.slot_headroom": "slot-headroom",
          "system.partition_overflow": "partition-overflow"}
RULE_TITLES = {
    "overflow": "A memory region overflows",
    "budget": "A memory region is above its budget",
    "partition": "A region is above its partition cap",
    "reserved-range": "A section occupies a reserved address range",
    "placement": "A section is placed in no region",
    "parsing": "The input could not be read whole",
    "stack-overflow": "The worst-case stack exceeds the reserved stack",
    "stack-unbounded": "The worst-case stack cannot be shown to fit",
    "growth": "The build grew by more than its growth limit",
    "system-overlap": "Two images or partitions claim the same addresses",
    "slot-headroom": "An image leaves its slot no room for the MCUboot trailer",
    "partition-overflow": "An image stores bytes outside its partition",
}


class HostFinding(NamedTuple):
    rule: str  # stable across runs: "overflow", "budget", "growth", ...
    level: str  # "error", "warning" or "info"
    key: str  # the finding's id ("overflow.RAM"), or the growth limit as given
    message: str
    path: Optional[str]  # the file it is about, relative to the folder the run was in where it lies below it
    fingerprint: str  # the same finding of the same target hashes alike in every run
    fails_gate: bool  # it breaks a gate that failed


class GateCase(NamedTuple):
    """A gate as a test case: a policy, a growth limit, or a region's budget."""

    name: str
    failed: bool
    message: str


class HostRun(NamedTuple):
    """A run as the host formats tell it: what it is about, its verdict, the configuration it
    used, and its findings and gates (made when a format asks for them)."""

    target: str  # the build's target, or the system's name
    failed: bool
    failures: list  # the verdict's failures, one line each
    tells_configuration: bool  # the run knows which configuration it used
    configuration: Optional[str]  # that file, None when it used none (the defaults)
    findings: Callable[[], list]  # -> [HostFinding]
    cases: Callable[[], list]  # -> [GateCase]


def build_run(report, comparison=None, outcome=None, model=None) -> HostRun:
    """A build's run (`analyze`, `diff`); `outcome` None: a report rendered outside a run."""
    tells = outcome is not None and outcome.configuration() is not None
    return HostRun(report.metadata.target_name, outcome is not None and outcome.verdict.failed,
                   outcome.verdict.failures() if outcome is not None else [], tells,
                   outcome.inputs.get("configuration") if tells else None,
                   lambda: host_findings(report, comparison, outcome, model), lambda: gate_cases(report, outcome))


def rule_of(finding_id: str, category: str) -> str:
    if category in _RULES:
        return _RULES[category]
    head = finding_id.split(".", 1)[0]
    return head if head in RULE_TITLES else category


def where(outcome) -> Optional[str]:
    """The file the findings are about: the map (or the later build) the run read."""
    if outcome is None:
        return None
    path = outcome.inputs.get("map") or outcome.inputs.get("new")
    return relative(path) if path else None


def relative(path: str) -> str:
    """A path as a repository-relative report names it, with forward slashes."""
    here = os.getcwd()
    full = os.path.abspath(path)
    if full == here or full.startswith(here.rstrip(os.sep) + os.sep):
        path = os.path.relpath(full, here)
    return path.replace(os.sep, "/")


def fingerprint(*parts: str) -> str:
    return hashlib.sha256("\0".join(parts).encode("utf-8", "surrogateescape")).hexdigest()


def failing_findings(verdict) -> set:
    """Ids of the findings that break a gate that failed."""
    return {finding for gate in verdict.policies if gate.failed for finding in gate.findings}


def _failing(outcome) -> set:
    return set() if outcome is None else failing_findings(outcome.verdict)


def host_findings(report, comparison, outcome, model=None) -> list:
    """Every finding of the report and every failed growth limit, as the hosts list them."""
    view = build_view(report, comparison, model)
    failing = _failing(outcome)
    path = where(outcome)
    readable: dict = {}
    for finding in view.findings:
        readable.setdefault(finding.id, finding.description)
    found = [issue_finding(issue, issue.id, readable.get(issue.id, issue.description), path, view.title, failing)
             for issue in report.issues]
    if outcome is not None:
        found += growth_findings(outcome.verdict, view.title, path)
    return found


def issue_finding(issue, own_id: str, message: str, path: Optional[str], target: str, failing: set) -> HostFinding:
    """A finding of the report as the hosts list it; `own_id`: its id where it was found (a
    system's image finding `app/overflow.RAM` is `overflow.RAM` in its image)."""
    rule = rule_of(own_id, getattr(issue.category, "value", issue.category))
    level = "error" if issue.id in failing else getattr(issue.severity, "value", issue.severity)
    return HostFinding(rule, level, issue.id, message, path, fingerprint(target, rule, issue.id), issue.id in failing)


def growth_findings(verdict, target: str, path: Optional[str]) -> list:
    """Each growth limit that failed, as a finding about `path`."""
    return [HostFinding("growth", "error", gate.given, gate.reason, path,
                        fingerprint(target, "growth", gate.region or "", gate.given), True)
            for gate in verdict.growth if gate.failed]


def verdict_cases(verdict) -> list:
    """Each policy turned on and each growth limit, as a test case."""
    cases = []
    for gate in verdict.policies:
        message = ", ".join(gate.findings) if gate.findings else "no finding breaks it"
        cases.append(GateCase(gate.name, gate.failed, message))
    for gate in verdict.growth:
        cases.append(GateCase(f"growth {gate.given}", gate.failed, gate.reason))
    return cases


def gate_cases(report, outcome) -> list:
    """Each policy turned on, each growth limit, and each region's budget: a budget fails only
    where the run fails on it (policies.fail_on_budget); one that is passed without that policy
    passes, with the warning as its message."""
    cases = verdict_cases(outcome.verdict) if outcome is not None else []
    budgets = report.diagnostics.get("config_summary", {}).get("budgets", {})
    failing = _failing(outcome)
    issues = {issue.id: issue for issue in report.issues}
    view = build_view(report)
    used = {row.name: row.ratio for row in view.regions}
    for kind in ("flash", "ram"):
        for region, limit in sorted((budgets.get(kind) or {}).items()):
            issue = issues.get(f"budget.{region}")
            if issue is not None:
                text = next((f.description for f in view.findings if f.id == issue.id), issue.description)
            elif region in used:
                text = f"Region {region} uses {used[region] * 100:.1f}%, within its budget of {limit * 100:.1f}%."
            else:
                text = f"Region {region} is not in this build."
            cases.append(GateCase(f"budget {region}", f"budget.{region}" in failing, text))
    return cases
