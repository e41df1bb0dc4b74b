"""The report module's steps written directly in Python: the reference the native module is
held to in property tests and in the speed benchmark. Never imported by the package.

Names are looked up in this module's globals at call time, like the native module's
namespace, so the same doubles can be installed in both.
"""

import json
from datetime import UTC, datetime

from tarnwick import __version__
from tarnwick.analysis.component_grouping import group_symbols_by_component
from tarnwick.analysis.multicore import build_multicore_summary
from tarnwick.analysis.padding_waste import compute_padding_waste
from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.analysis.reserved_region_checks import (
    detect_reserved_region_violations, detect_suspicious_section_placement,
)
from tarnwick.analysis.section_usage import compute_section_usage
from tarnwick.analysis.symbol_breakdown import (
    compute_flash_ram_attribution, compute_initialized_ram_cost, top_object_archive_contributors,
    top_symbols_by_size,
)
from tarnwick.analysis.visualization_contracts import build_visualization_contract
from tarnwick.domain import (
    AnalysisReport, Issue, IssueCategory, IssueSeverity, ReportMetadata, ReportSummary,
)
from tarnwick.domain.schema import SCHEMA_VERSION

_sum = sum


def _pair(values):
    if len(values) > 2:
        raise ValueError("too many values to unpack (expected 2)")
    if len(values) < 2:
        n = len(values)
        raise ValueError(f"need more than {n} value{'' if n == 1 else 's'} to unpack")
    return values[0], values[1]


def _unpack(item):
    if type(item) in (tuple, list):
        return _pair(item)
    if not hasattr(type(item), "__iter__") and not hasattr(type(item), "__getitem__"):
        raise TypeError(f"cannot unpack non-iterable {type(item).__name__} object")
    values = []
    for value in item:
        values.append(value)
        if len(values) > 2:
            break
    return _pair(values)


def _text(value):
    return value if type(value) is str else str(value)


def build_analysis_report(model, config, *, target_name=None, baseline_json_path=None):
    region_usage = compute_region_usage(model)
    section_usage = compute_section_usage(model, region_usage)
    top_symbols = top_symbols_by_size(model.symbols, limit=25)
    top_objects = top_object_archive_contributors(model.symbols, limit=25)
    flash_ram_attribution = compute_flash_ram_attribution(model)
    initialized_ram_cost = compute_initialized_ram_cost(model)
    padding_waste = compute_padding_waste(model)
    multicore = build_multicore_summary(model)

    region_category_by_name = {}
    for region in model.memory_regions:
        region_category_by_name[region.name] = region.category.value
    section_category_by_name = {}
    for section in model.sections:
        section_name = section.name.strip()
        if not section_name:
            continue
        region_key = (section.execution_region or "").strip()
        category = region_category_by_name.get(region_key)
        if category and section_name not in section_category_by_name:
            section_category_by_name[section_name] = category

    components = group_symbols_by_component(model.symbols, config,
                                            section_category_by_name=section_category_by_name)
    issues = []
    issues.extend(_overflow_issues(region_usage))
    issues.extend(detect_reserved_region_violations(model))
    issues.extend(detect_suspicious_section_placement(model))
    issues.extend(_budget_threshold_issues(region_usage, config))

    utilization = {}
    for item in sorted(region_usage.items()):
        name, usage = _unpack(item)
        utilization[name] = usage.utilization_ratio
    counts = {}
    for key, member in (("info", "INFO"), ("warning", "WARNING"), ("error", "ERROR")):
        counts[key] = _sum(1 for issue in issues
                           if issue.severity == getattr(IssueSeverity, member))
    extra = {
        "flash_ram_attribution": {
            "flash_bytes": flash_ram_attribution.flash_bytes,
            "ram_bytes": flash_ram_attribution.ram_bytes,
            "other_bytes": flash_ram_attribution.other_bytes,
        },
        "initialized_ram_cost": {
            "initialized_ram_bytes": initialized_ram_cost.initialized_ram_bytes,
            "estimated_flash_init_payload_bytes": initialized_ram_cost.estimated_flash_init_payload_bytes,
        },
        "padding_waste": {
            "total_padding_bytes": padding_waste.total_padding_bytes,
            "by_region": dict(sorted(padding_waste.by_region.items())),
        },
    }
    if multicore is not None:
        extra["multicore"] = multicore
    summary = ReportSummary(
        total_flash=flash_ram_attribution.flash_bytes,
        total_ram=flash_ram_attribution.ram_bytes,
        utilization_by_region=utilization,
        issue_counts=counts,
        extra=extra,
    )
    regressions = _baseline_regressions(summary, baseline_json_path)
    features = {
        "sankey_enabled": config.reports.enable_sankey_view,
        "relationship_graph_enabled": config.reports.enable_relationship_graph_view,
    }
    visualization = build_visualization_contract(
        model, region_usage=region_usage, padding_waste=padding_waste, components=components,
        issues=issues, regressions=regressions, features=features)
    metadata = ReportMetadata(
        tool_version=__version__,
        schema_version=SCHEMA_VERSION,
        analysis_timestamp=datetime.now(UTC).isoformat(),
        target_name=target_name if target_name else config.project.name,
        toolchain_detected=model.toolchain.value,
        parse_assumptions=model.parse_assumptions,
    )
    regions = list(model.memory_regions)
    sections = list(model.sections)
    symbols = list(model.symbols)
    trends = {
        "top_symbols_by_size": [{"name": e.name, "size": e.size} for e in top_symbols],
        "top_objects_by_size": [{"name": e.name, "size": e.size} for e in top_objects],
        "section_usage": [{"name": r.section_name, "execution_region": r.execution_region,
                           "load_region": r.load_region, "size": r.size,
                           "utilization_ratio_in_region": r.utilization_ratio_in_region}
                          for r in section_usage],
        "visualization": visualization,
    }
    hints = {}
    for item in model.stack_heap_hints.items():
        key, value = _unpack(item)
        hints[key] = list(value)
    schema = visualization.get("schema_version", "")
    regions_value = visualization.get("regions")
    diagnostics = {
        "parse_assumptions": list(model.parse_assumptions),
        "unresolved_ambiguities": list(model.unresolved_ambiguities),
        "stack_heap_hints": hints,
        "visualization_contract": {
            "schema_version": _text(schema),
            "regions_count": len(visualization.get("regions", [])) if isinstance(regions_value, list) else 0,
        },
        "config_summary": _build_config_summary(config),
    }
    if multicore is not None:
        diagnostics["multicore"] = multicore
    report = AnalysisReport(metadata=metadata, summary=summary, regions=regions, sections=sections,
                            symbols=symbols, components=components, issues=issues, trends=trends,
                            regressions=regressions, diagnostics=diagnostics)
    return report.sorted_copy()


def _overflow_issues(region_usage):
    result = []
    for item in sorted(region_usage.items()):
        name, usage = _unpack(item)
        overflow = usage.overflow_bytes
        if overflow > 0:
            result.append(Issue(
                id=f"overflow.{name}",
                severity=IssueSeverity.ERROR,
                category=IssueCategory.OVERFLOW,
                title="Region overflow detected",
                description=f"Region {name} exceeds capacity by {overflow} bytes.",
                affected_entities=(name,),
                remediation_hint="Reduce section usage or increase region capacity in linker config.",
            ))
    return result


def _budget_threshold_issues(region_usage, config):
    result = []
    flash = config.budgets.flash
    ram = config.budgets.ram
    for budget_map in (flash, ram):
        for item in sorted(budget_map.items()):
            name, threshold = _unpack(item)
            usage = region_usage.get(name)
            if usage is None:
                continue
            ratio = usage.utilization_ratio
            if ratio > threshold:
                result.append(Issue(
                    id=f"budget.{name}",
                    severity=IssueSeverity.WARNING,
                    category=IssueCategory.POLICY,
                    title="Region budget threshold exceeded",
                    description=(f"Region {name} utilization is {ratio:.3f}, above configured "
                                 f"threshold {threshold:.3f}."),
                    affected_entities=(name,),
                    remediation_hint="Rebalance footprint or update budget thresholds intentionally.",
                ))
    return result


def _baseline_regressions(summary, baseline_json_path):
    if baseline_json_path is None:
        return {}
    if not baseline_json_path.exists():
        return {"status": "baseline_missing", "path": _text(baseline_json_path)}
    try:
        document = json.loads(baseline_json_path.read_text(encoding="utf-8"))
    except (ValueError, OSError) as exc:
        return {"status": "baseline_unreadable", "path": _text(baseline_json_path), "error": str(exc)}
    baseline = document.get("summary", {}) if isinstance(document, dict) else {}
    if not isinstance(baseline, dict):
        return {"status": "baseline_invalid", "path": _text(baseline_json_path)}
    flash = _as_int(baseline.get("total_flash"), default=0)
    ram = _as_int(baseline.get("total_ram"), default=0)
    ratios = baseline.get("utilization_by_region", {})
    if not isinstance(ratios, dict):
        ratios = {}
    regions = {}
    for item in summary.utilization_by_region.items():
        name, current = _unpack(item)
        base = _as_float(ratios.get(name), default=0.0)
        regions[name] = {"current": current, "baseline": base, "delta": current - base}
    return {
        "status": "ok",
        "baseline_path": _text(baseline_json_path),
        "flash_delta_bytes": summary.total_flash - flash,
        "ram_delta_bytes": summary.total_ram - ram,
        "regions": regions,
    }


def _build_config_summary(config):
    return {
        "budgets": {"flash": dict(config.budgets.flash), "ram": dict(config.budgets.ram)},
        "policies": {
            "warn_on_near_capacity_ratio": config.policies.warn_on_near_capacity_ratio,
            "partition_max_bytes": dict(config.policies.partition_max_bytes),
            "fail_on_overflow": config.policies.fail_on_overflow,
            "fail_on_reserved_region_violation": config.policies.fail_on_reserved_region_violation,
        },
    }


def _as_int(value, *, default):
    if isinstance(value, bool):
        return default
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return int(value)
    return default


def _as_float(value, *, default):
    if isinstance(value, bool):
        return default
    if isinstance(value, (int, float)):
        return float(value)
    return default
