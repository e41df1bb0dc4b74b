"""The gates a CI job passes or fails on: the policies (an overflow, a reserved range, a budget)
and the growth limits of `--fail-on-growth`. Each gate is evaluated once, here, and every output
shows the same verdict the exit code gives; a gate that cannot be evaluated fails, with a line
that says why, since a job that passes unchecked is worse than one that stops."""

from __future__ import annotations

from tarnwick.domain import IssueCategory
from tarnwick.support.names import closest_name
from tarnwick.support.patterns import LazyPattern
from tarnwick.support.records import named_tuple

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

# policy -> the finding category that breaks it
POLICY_CATEGORIES = {
    "fail_on_overflow": IssueCategory.OVERFLOW.value,
    "fail_on_reserved_region_violation": IssueCategory.RESERVED_REGION.value,
    "fail_on_budget": IssueCategory.POLICY.value,
    "fail_on_stack_overflow": IssueCategory.STACK.value,
}
# the policies computed from the regions' used bytes: they cannot pass on figures the map disputes
_FROM_FIGURES = ("fail_on_overflow", "fail_on_budget")
_LIMIT = LazyPattern(r"^(?:(?P<region>.+)=)?(?P<amount>0[xX][0-9a-fA-F]+|[0-9]+(?:\.[0-9]+)?%?)$")


class LimitError(ValueError):
    """A growth limit that is not one (the message names it)."""


# Tuples, not dataclasses: every run makes its verdict, and a dataclass costs a compile per
# method when its module loads.
@named_tuple
class GrowthLimit:
    """`--fail-on-growth [REGION=]BYTES` or `REGION=PERCENT%` (of the region's size)."""

    given: str
    region: Optional[str]
    amount: float
    percent: bool


def parse_growth_limit(text: str) -> GrowthLimit:
    found = _LIMIT.match(text.strip())
    if found is None or found["region"] == "":
        raise LimitError(f"{text!r} is not BYTES, REGION=BYTES or REGION=PERCENT%")
    amount, region = found["amount"], found["region"]
    percent = amount.endswith("%")
    if percent and region is None:
        raise LimitError(f"{text!r}: a percentage is of a region's size; give it as REGION={amount}")
    if not percent and "." in amount:
        raise LimitError(f"{text!r} is not a whole number of bytes")
    value = float(amount[:-1]) if percent else int(amount, 0)
    return GrowthLimit(text, region, value, percent)


@named_tuple
class GrowthGate:
    region: Optional[str]  # None: flash and RAM together
    given: str  # the limit as the user wrote it
    limit: Optional[int]  # in bytes; None where a percentage had no region size to take it of
    growth: Optional[int]  # None where the comparison cannot tell
    failed: bool
    reason: str  # one line: what was found
    accepted: Optional[str] = None  # a reviewer's reason for a growth past the limit (history.waivers)

    def as_json(self) -> dict:
        return {"region": self.region, "limit": self.limit, "given": self.given, "growth": self.growth,
                "failed": self.failed, "reason": self.reason, "accepted": self.accepted}


def evaluate_growth(comparison, limits: list, disputed: tuple = ()) -> list:
    """The gates of `limits` against a comparison. A region that neither build has is bad
    input (LimitError); a growth the comparison cannot measure fails the gate, and so does one
    measured with a figure either build's map disputes (`disputed`: their findings)."""
    gates = []
    for limit in limits:
        where = limit.region or "flash and RAM"
        doubted = [f.id for f in disputed if limit.region is None or limit.region in f.affected_entities]
        if doubted:
            gates.append(GrowthGate(limit.region, limit.given, None, None, True,
                                    f"{where}: the growth is measured with figures the map's own totals contradict "
                                    f"({', '.join(doubted)}); the gate fails"))
            continue
        if limit.region is None:
            deltas = (comparison.flash_delta, comparison.ram_delta)
            growth = None if None in deltas else deltas[0] + deltas[1]
            unknown = "the baseline holds no flash or RAM total"
        else:
            if limit.region not in comparison.region_sizes and comparison.region(limit.region) is None:
                raise LimitError(f"--fail-on-growth {limit.given}: no region named {limit.region!r} in "
                                 f"either build{_closest(limit.region, comparison.region_sizes)}")
            change = comparison.region(limit.region)
            growth = change.delta if change is not None else None
            unknown = "the baseline holds no used bytes per region"
        size = comparison.region_sizes.get(limit.region) if limit.percent else None
        bytes_ = (int(size * limit.amount / 100) if size is not None else None) if limit.percent else int(limit.amount)
        shown = f"{bytes_:,} B" if bytes_ is not None else "?"
        if limit.percent and size is not None:
            shown += f" ({limit.amount:g}% of {size:,} B)"
        if bytes_ is None:
            gates.append(GrowthGate(limit.region, limit.given, None, growth, True,
                                    f"{where}: no region size to take {limit.amount:g}% of; the gate fails"))
        elif growth is None:
            gates.append(GrowthGate(limit.region, limit.given, bytes_, None, True,
                                    f"{where}: the growth cannot be measured ({unknown}); the gate fails"))
        else:
            failed = growth > bytes_
            verb = "more than" if failed else "within"
            gates.append(GrowthGate(limit.region, limit.given, bytes_, growth, failed,
                                    f"{where} grew by {growth:,} B, {verb} --fail-on-growth {shown}"
                                    if growth > 0 else f"{where} did not grow ({growth:+,} B), "
                                    f"within --fail-on-growth {shown}"))
    return gates


def _closest(name: str, names) -> str:
    closest = closest_name(name, names)
    return f" (closest: {closest})" if closest else ""


@named_tuple
class PolicyGate:
    name: str
    failed: bool
    findings: tuple  # ids of the findings that break it
    reason: str = ""  # why it fails where no finding of its own breaks it

    def as_json(self) -> dict:
        document = {"policy": self.name, "failed": self.failed, "findings": list(self.findings)}
        if self.reason:
            document["reason"] = self.reason
        return document


@named_tuple
class Verdict:
    """Every gate of a run, as the exit code and every output show it."""

    policies: tuple = ()  # PolicyGate of each policy turned on
    growth: tuple = ()  # GrowthGate of each --fail-on-growth

    @property
    def failed(self) -> bool:
        return any(gate.failed for gate in (*self.policies, *self.growth))

    def failures(self) -> list:
        """One line per failed gate."""
        lines = [gate.reason or f"{gate.name} ({', '.join(gate.findings)})" for gate in self.policies if gate.failed]
        return lines + [gate.reason for gate in self.growth if gate.failed]

    def as_json(self) -> dict:
        return {"status": "failed" if self.failed else "passed", "failures": self.failures(),
                "policies": [gate.as_json() for gate in self.policies],
                "growth_gates": [gate.as_json() for gate in self.growth]}


def policy_gates(report, policies) -> list:
    """The gates of the policies turned on, each with the findings that break it; one computed
    from the regions' figures fails while the map's own totals contradict one of them."""
    from tarnwick.analysis.stated_totals import disputes

    doubted = tuple(issue.id for issue in disputes(report))
    gates = []
    for name, category in POLICY_CATEGORIES.items():
        if not getattr(policies, name, False):
            continue
        ids = tuple(issue.id for issue in report.issues
                    if getattr(issue.category, "value", issue.category) == category)
        if not ids and doubted and name in _FROM_FIGURES:
            gates.append(PolicyGate(name, True, doubted, f"{name}: computed from figures the map's own totals "
                                                         f"contradict ({', '.join(doubted)}); the gate fails"))
            continue
        gates.append(PolicyGate(name, bool(ids), ids))
    return gates
