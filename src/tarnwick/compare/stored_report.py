"""A stored JSON report read back into the report's records, so that a report kept from an
earlier run can be shown and compared like one made now (`tarnwick diff`). Members a report
of this schema may lack, or holds in another type, take their defaults; entries that cannot
be read are left out."""

from __future__ import annotations

from typing import Any, Callable, Optional

from tarnwick.domain import (
    AnalysisReport, ComponentUsage, Issue, IssueCategory, IssueSeverity, ReportMetadata, ReportSummary,
)
from tarnwick.toolchains.base import InputSection, MemoryCategory, MemoryRegion, Section, Symbol


def _text(value: Any, default: str = "") -> str:
    return value if isinstance(value, str) else default


def _optional_text(value: Any) -> Optional[str]:
    return value if isinstance(value, str) else None


def _count(value: Any, default: int = 0) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) else default


def _optional_count(value: Any) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) else None


def _flag(value: Any, default: bool = False) -> bool:
    return value if isinstance(value, bool) else default


def _dict(value: Any) -> dict:
    return value if isinstance(value, dict) else {}


def _records(values: Any, make: Callable[[dict], Any]) -> list:
    return [make(item) for item in values if isinstance(item, dict)] if isinstance(values, list) else []


def _enum(kind, value, default):
    try:
        return kind(value)
    except ValueError:
        return default


def _symbol(item: dict) -> Symbol:
    source = _optional_text(item.get("size_source"))
    derived = _flag(item.get("size_derived"), source != "elf")
    return Symbol(_text(item.get("name")), _count(item.get("address")), _count(item.get("size")),
                  _optional_text(item.get("section")), _optional_text(item.get("object_file")),
                  _optional_text(item.get("archive")), derived, _optional_text(item.get("alias_of")),
                  source or ("derived" if derived else None), _optional_text(item.get("binding")),
                  _optional_text(item.get("source")))


def _input(item: dict) -> InputSection:
    return InputSection(_text(item.get("name")), _count(item.get("address")), _count(item.get("size")),
                        _optional_text(item.get("origin")), _flag(item.get("is_fill")),
                        _flag(item.get("is_reservation")))


def _section(item: dict) -> Section:
    return Section(_text(item.get("name")), _count(item.get("address")), _count(item.get("size")),
                   _optional_text(item.get("execution_region")), _optional_text(item.get("load_region")),
                   _optional_count(item.get("load_address")), _flag(item.get("has_contents"), True),
                   _flag(item.get("is_code")), tuple(_records(item.get("inputs"), _input)),
                   _flag(item.get("is_writable")), _optional_count(item.get("padding_bytes")))


def _region(item: dict) -> MemoryRegion:
    return MemoryRegion(_text(item.get("name")), _count(item.get("origin")), _count(item.get("length")),
                        _enum(MemoryCategory, item.get("category"), MemoryCategory.OTHER),
                        _text(item.get("attributes")), _flag(item.get("unified")))


def _issue(item: dict) -> Issue:
    entities = item.get("affected_entities")
    return Issue(_text(item.get("id")), _enum(IssueSeverity, item.get("severity"), IssueSeverity.INFO),
                 _enum(IssueCategory, item.get("category"), IssueCategory.PARSING), _text(item.get("title")),
                 _text(item.get("description")),
                 tuple(e for e in entities if isinstance(e, str)) if isinstance(entities, list) else (),
                 _text(item.get("remediation_hint")))


def _component(item: dict) -> ComponentUsage:
    return ComponentUsage(_text(item.get("name")), _count(item.get("flash_bytes")), _count(item.get("ram_bytes")),
                          _count(item.get("other_bytes")), _count(item.get("total_bytes")),
                          _count(item.get("symbol_count")), _dict(item.get("by_section")))


def report_from_document(document: dict) -> AnalysisReport:
    """The records of a stored report (a document that passed `baseline_file`'s checks)."""
    return _report(document, whole=True)


def totals_from_document(document: dict) -> AnalysisReport:
    """A stored report's metadata, totals and findings only, with no region, section, symbol or
    component: what the earlier side of a comparison is asked for besides its byte tables (a
    large build's records would take longer to make than its whole comparison)."""
    return _report(document, whole=False)


def _report(document: dict, whole: bool) -> AnalysisReport:
    metadata, summary = _dict(document.get("metadata")), _dict(document.get("summary"))
    assumptions = metadata.get("parse_assumptions")

    def records(key: str, make: Callable[[dict], Any]) -> list:
        return _records(document.get(key), make) if whole else []

    return AnalysisReport(
        metadata=ReportMetadata(
            _text(metadata.get("tool_version")), _text(metadata.get("schema_version")),
            _text(metadata.get("analysis_timestamp")), _text(metadata.get("target_name"), "firmware"),
            _text(metadata.get("toolchain_detected"), "unknown"),
            [a for a in assumptions if isinstance(a, str)] if isinstance(assumptions, list) else []),
        summary=ReportSummary(_count(summary.get("total_flash")), _count(summary.get("total_ram")),
                              _dict(summary.get("utilization_by_region")), _dict(summary.get("issue_counts")),
                              _dict(summary.get("extra"))),
        regions=records("regions", _region),
        sections=records("sections", _section),
        symbols=records("symbols", _symbol),
        components=records("components", _component),
        issues=_records(document.get("issues"), _issue),
        trends=_dict(document.get("trends")),
        regressions=_dict(document.get("regressions")),
        diagnostics=_dict(document.get("diagnostics")),
    )


def with_regressions(report: AnalysisReport, baseline) -> AnalysisReport:
    """A stored report read back as the later build of a comparison, with its totals compared
    with the earlier build's (`baseline`, read as the report module reads one) by the report
    module's own comparison: a report that is not built again cannot have them made for it."""
    from tarnwick.analysis.summary import _baseline_regressions
    from tarnwick.support.records import replace

    return replace(report, regressions=_baseline_regressions(report.summary, baseline))
