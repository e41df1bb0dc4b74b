"""What the CI hosts' own report formats (SARIF, GitLab Code Quality, JUnit) are made of, read
once from a run: each finding with a stable rule and fingerprint, its level raised to an error
when it breaks a gate that failed (so every artifact tells the verdict the exit code gives), the
file it is about, and every gate with the budget it checks."""

from __future__ import annotations

import hashlib
import os
from typing import NamedTuple, Optional

from tarnwick.render.view import build_view

# a finding's category -> the rule it is reported under; policy findings by their id's head
_RULES = {"overflow": "overflow", "reserved_region": "reserved-range", "placement": "placement",
          "parsing": "parsing", "stack": "stack-overflow", "stack_unbounded": "stack-unbounded"}
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


def _failing(outcome) -> set:
    """Ids of the findings that break a gate that failed."""
    if outcome is None:
        return set()
    return {finding for gate in outcome.verdict.policies if gate.failed for finding in gate.findings}


def host_findings(report, comparison, outcome, model=None) -> list:
    """Every finding of the report and every failed growth limit, as the hosts list them."""
    view = build_view(report, comparison, model)
    failing = _failing(outcome)
    path = where(outcome)
    found = []
    for issue in report.issues:
        category = getattr(issue.category, "value", issue.category)
        severity = getattr(issue.severity, "value", issue.severity)
        rule = rule_of(issue.id, category)
        readable = next((f.description for f in view.findings if f.id == issue.id), issue.description)
        level = "error" if issue.id in failing else severity
        found.append(HostFinding(rule, level, issue.id, readable, path, fingerprint(view.title, rule, issue.id),
                                 issue.id in failing))
    for gate in (outcome.verdict.growth if outcome is not None else ()):
        if gate.failed:
            found.append(HostFinding("growth", "error", gate.given, gate.reason, path,
                                     fingerprint(view.title, "growth", gate.region or "", gate.given), True))
    return found


def gate_cases(report, outcome) -> list:
    """Each policy turned on, each growth limit, and each region's budget: a budget fails only
    where the run fails on it (policies.fail_on_budget); one that is passed without that policy
    passes, with the warning as its message."""
    cases = []
    for gate in (outcome.verdict.policies if outcome is not None else ()):
        message = ", ".join(gate.findings) if gate.findings else "no finding breaks it"
        cases.append(GateCase(gate.name, gate.failed, message))
    for gate in (outcome.verdict.growth if outcome is not None else ()):
        cases.append(GateCase(f"growth {gate.given}", gate.failed, gate.reason))
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
