"""Report records and finding enumerations.

Records are frozen records (see `tarnwick.support.records`) built by keyword. `AnalysisReport.sorted_copy()` fixes the order
in which a report lists its contents, so two runs over the same build compare equal.
"""

from __future__ import annotations

import enum
from collections.abc import Mapping

from tarnwick.support.records import field, fields_of, is_record, record, replace

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Any


SCHEMA_VERSION = "1.0"


class IssueSeverity(str, enum.Enum):
    INFO = "info"
    WARNING = "warning"
    ERROR = "error"

    @property
    def rank(self) -> int:
        """Larger is more severe."""
        return _SEVERITY_RANK[self]


_SEVERITY_RANK = {IssueSeverity.INFO: 0, IssueSeverity.WARNING: 1, IssueSeverity.ERROR: 2}


class IssueCategory(str, enum.Enum):
    OVERFLOW = "overflow"
    POLICY = "policy"
    RESERVED_REGION = "reserved_region"
    PLACEMENT = "placement"
    PARSING = "parsing"
    STACK = "stack"  # the worst-case stack exceeds the reservation
    STACK_UNBOUNDED = "stack_unbounded"  # it cannot be shown to fit
    # `tarnwick system`: between the images of a product
    SYSTEM_OVERLAP = "system.overlap"  # partitions, or images' bytes, in the same addresses
    SLOT_HEADROOM = "system.slot_headroom"  # an image that leaves its slot no room for the MCUboot trailer
    PARTITION_OVERFLOW = "system.partition_overflow"  # an image's stored bytes outside its partition


@record(frozen=True)
class Issue:
    id: str
    severity: IssueSeverity
    category: IssueCategory
    title: str
    description: str
    affected_entities: tuple = ()
    remediation_hint: str = ""


@record(frozen=True)
class ComponentUsage:
    """The bytes of one software component (a configured rule's, an archive's or a folder's)."""

    name: str
    flash_bytes: int
    ram_bytes: int
    other_bytes: int
    total_bytes: int
    symbol_count: int
    by_section: dict = field(default_factory=dict)


@record(frozen=True)
class ReportSummary:
    total_flash: int
    total_ram: int
    utilization_by_region: Mapping[str, float]
    issue_counts: Mapping[str, int]
    extra: Mapping[str, Any] = field(default_factory=dict)


@record(frozen=True)
class ReportMetadata:
    tool_version: str
    schema_version: str
    analysis_timestamp: str
    target_name: str
    toolchain_detected: str
    parse_assumptions: Any = ()


def _severity_rank(issue: Any) -> int:
    severity = getattr(issue, "severity", None)
    try:
        return IssueSeverity(severity).rank
    except ValueError:
        return -1


def _text(value: Any) -> str:
    return value if isinstance(value, str) else str(value)


def _number(value: Any) -> float:
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else 0


def _sorted_symbols(symbols) -> list:
    """By size (largest first), then name, then address (native: a large build has hundreds of
    thousands of symbols)."""
    from tarnwick._native import sorted_by_size

    return sorted_by_size(symbols)


@record(frozen=True)
class AnalysisReport:
    metadata: ReportMetadata
    summary: ReportSummary
    regions: list
    sections: list
    symbols: list
    components: Any
    issues: list
    trends: Mapping[str, Any]
    regressions: Mapping[str, Any]
    diagnostics: Mapping[str, Any]

    def sorted_copy(self) -> "AnalysisReport":
        """A new report with its lists in a stable order.

        - regions by origin address, then name;
        - sections by address, then name;
        - symbols by size (largest first), then name, then address;
        - components (when a list) by total size (largest first), then name;
        - issues by severity (errors first), then id; equal keys keep their order.
        Elements are shared with this report; only the lists are new.
        """
        def by_place(item: Any) -> tuple:
            address = getattr(item, "origin", getattr(item, "address", 0))
            return (_number(address), _text(getattr(item, "name", "")))

        def by_size(item: Any) -> tuple:
            return (-_number(getattr(item, "size", 0)), _text(getattr(item, "name", "")),
                    _number(getattr(item, "address", 0)))

        def by_total(item: Any) -> tuple:
            return (-_number(getattr(item, "total_bytes", 0)), _text(getattr(item, "name", "")))

        try:  # the usual case: real symbols; the key functions below cope with anything
            symbols = _sorted_symbols(self.symbols)
        except (AttributeError, TypeError):
            symbols = sorted(self.symbols, key=by_size)
        components = self.components
        if isinstance(components, (list, tuple)):
            components = sorted(components, key=by_total)
        return replace(
            self,
            regions=sorted(self.regions, key=by_place),
            sections=sorted(self.sections, key=by_place),
            symbols=symbols,
            components=components,
            issues=sorted(self.issues, key=lambda i: (-_severity_rank(i), _text(getattr(i, "id", "")))),
        )

    def with_findings(self, issues: list, ambiguities: list = ()) -> "AnalysisReport":
        """A new report with more findings after its own, counted with them by severity, and
        more unresolved ambiguities among its diagnostics (the passes that run after the
        report module add theirs so)."""
        if not issues and not ambiguities:
            return self
        counts = dict(self.summary.issue_counts)
        for issue in issues:
            key = getattr(issue.severity, "value", issue.severity)
            counts[key] = counts.get(key, 0) + 1
        diagnostics = self.diagnostics
        if ambiguities:
            diagnostics = dict(diagnostics)
            diagnostics["unresolved_ambiguities"] = [*diagnostics.get("unresolved_ambiguities", ()), *ambiguities]
        return replace(self, issues=[*self.issues, *issues], diagnostics=diagnostics,
                       summary=replace(self.summary, issue_counts=counts))


def to_jsonable(value: Any) -> Any:
    """Plain JSON data of a report or any part of it: records under their field names,
    enumerations as their values, tuples as lists."""
    if isinstance(value, enum.Enum):
        return to_jsonable(value.value)
    if is_record(value):
        return {name: to_jsonable(getattr(value, name)) for name in fields_of(value)}
    if isinstance(value, Mapping):
        return {_key(k): to_jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [to_jsonable(v) for v in value]
    return value


def _key(key: Any) -> str:
    if isinstance(key, enum.Enum):
        key = key.value
    return key if isinstance(key, str) else str(key)
