"""The system's findings, with the core's severities, and one verdict: the system's gates
(`fail_on_system_overlap`, `fail_on_slot_headroom`, and `fail_on_overflow` for an image outside
its partition) and each image's own, which the exit code and every output show alike."""

from __future__ import annotations

from tarnwick.domain import Issue, IssueCategory, IssueSeverity
from tarnwick.compare.gates import PolicyGate, Verdict

# policy -> the category of the system's findings that break it
SYSTEM_POLICIES = {
    "fail_on_system_overlap": IssueCategory.SYSTEM_OVERLAP.value,
    "fail_on_slot_headroom": IssueCategory.SLOT_HEADROOM.value,
    "fail_on_overflow": IssueCategory.PARTITION_OVERFLOW.value,
}


def issues_of(problems: list) -> list:
    """One error per problem, its id the category and its subject (`system.overlap.app.net`);
    a subject found twice keeps one finding."""
    issues, seen = [], set()
    for problem in problems:
        identifier = f"{problem.category}.{problem.subject}"
        if identifier in seen:
            continue
        seen.add(identifier)
        issues.append(Issue(identifier, IssueSeverity.ERROR, IssueCategory(problem.category), problem.title,
                            problem.description, tuple(problem.entities), problem.hint))
    return issues


def image_issues(images: list) -> list:
    """Each image's own findings, their ids as IMAGE/ID."""
    from tarnwick.support.records import replace

    return [replace(issue, id=f"{image.name}/{issue.id}",
                    affected_entities=(image.name, *issue.affected_entities))
            for image in images for issue in image.issues]


def verdict(report, policies, growth: tuple = ()) -> Verdict:
    """The system's gates (those turned on in `policies`), then each image's, as IMAGE: POLICY."""
    gates = []
    own = report.system_issues()
    for name, category in SYSTEM_POLICIES.items():
        if not getattr(policies, name, False):
            continue
        ids = tuple(issue.id for issue in own if getattr(issue.category, "value", issue.category) == category)
        gates.append(PolicyGate(name, bool(ids), ids))
    for image in report.images:
        gates += [PolicyGate(f"{image.name}: {gate.name}", gate.failed,
                             tuple(f"{image.name}/{finding}" for finding in gate.findings)) for gate in image.gates]
    return Verdict(tuple(gates), tuple(growth))


def issue_counts(issues: list) -> dict:
    counts = {"info": 0, "warning": 0, "error": 0}
    for issue in issues:
        key = getattr(issue.severity, "value", issue.severity)
        counts[key] = counts.get(key, 0) + 1
    return counts
