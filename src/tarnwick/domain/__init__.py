"""Domain records of a tarnwick report."""

from tarnwick.domain.schema import (
    SCHEMA_VERSION,
    AnalysisReport,
    ComponentUsage,
    Issue,
    IssueCategory,
    IssueSeverity,
    ReportMetadata,
    ReportSummary,
    to_jsonable,
)

__all__ = [
    "SCHEMA_VERSION",
    "AnalysisReport",
    "ComponentUsage",
    "Issue",
    "IssueCategory",
    "IssueSeverity",
    "ReportMetadata",
    "ReportSummary",
    "to_jsonable",
]
