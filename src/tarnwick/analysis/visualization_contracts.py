"""Data for the report's pictures: region bars and a region -> section -> component Sankey."""

from __future__ import annotations

from collections import defaultdict

from tarnwick.analysis._placement import placed_sections
from tarnwick.toolchains.base import NormalizedBuildModel

VISUALIZATION_SCHEMA_VERSION = "1.0"


def _region_rows(region_usage, padding_waste, issues, regressions) -> list:
    issue_ids = defaultdict(list)
    for issue in issues:
        for entity in getattr(issue, "affected_entities", ()):
            issue_ids[entity].append(issue.id)
    compared = regressions.get("regions", {}) if regressions.get("status") == "ok" else {}
    padding = getattr(padding_waste, "by_region", {}) or {}
    rows = []
    for name, usage in sorted(region_usage.items()):
        delta = compared.get(name, {}).get("delta")
        rows.append({
            "name": name,
            "category": usage.category,
            "origin": usage.origin,
            "capacity_bytes": usage.capacity,
            "used_bytes": usage.used_bytes,
            "free_bytes": usage.free_bytes,
            "utilization_ratio": usage.utilization_ratio,
            "overflow_bytes": usage.overflow_bytes,
            "padding_bytes": padding.get(name, 0),
            "utilization_delta": delta,
            "issue_ids": issue_ids.get(name, []),
        })
    return rows


def _sankey(model: NormalizedBuildModel, components) -> dict:
    """Nodes are regions, sections and components; a link carries bytes. Section bytes that no
    symbol accounts for go to an "(unattributed)" component so every section's links add up."""
    nodes: list[dict] = []
    index: dict[tuple, int] = {}

    def node(kind: str, name: str) -> int:
        key = (kind, name)
        if key not in index:
            index[key] = len(nodes)
            nodes.append({"id": f"{kind}:{name}", "kind": kind, "name": name})
        return index[key]

    links = []
    section_bytes: dict[str, int] = defaultdict(int)
    for section, region in placed_sections(model):
        if region is None:
            continue
        section_bytes[section.name] += section.size
        links.append({"source": node("region", region.name), "target": node("section", section.name),
                      "value": section.size})
    attributed: dict[str, int] = defaultdict(int)
    for component in components:
        for section_name, size in getattr(component, "by_section", {}).items():
            if section_name in section_bytes and size > 0:
                attributed[section_name] += size
                links.append({"source": node("section", section_name),
                              "target": node("component", component.name), "value": size})
    for section_name, size in section_bytes.items():
        rest = size - attributed[section_name]
        if rest > 0:
            links.append({"source": node("section", section_name),
                          "target": node("component", "(unattributed)"), "value": rest})
    return {"nodes": nodes, "links": links}


def _relationship_graph(components) -> dict:
    edges = [{"component": c.name, "section": s, "bytes": size}
             for c in components for s, size in getattr(c, "by_section", {}).items()]
    return {"components": [c.name for c in components], "edges": edges}


def build_visualization_contract(model: NormalizedBuildModel, *, region_usage, padding_waste,
                                 components, issues, regressions, features) -> dict:
    return {
        "schema_version": VISUALIZATION_SCHEMA_VERSION,
        "regions": _region_rows(region_usage, padding_waste, issues, regressions),
        "sankey": _sankey(model, components) if features.get("sankey_enabled") else None,
        "relationship_graph": (_relationship_graph(components)
                               if features.get("relationship_graph_enabled") else None),
        "features": dict(features),
    }
