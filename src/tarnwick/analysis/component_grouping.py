"""Bytes by software component: configured path rules first, then the archive or directory."""

from __future__ import annotations

import fnmatch
import posixpath
from collections import defaultdict
from dataclasses import dataclass, field

from tarnwick.analysis._symbols import counted

UNATTRIBUTED = "(unattributed)"


@dataclass(frozen=True)
class ComponentUsage:
    name: str
    flash_bytes: int
    ram_bytes: int
    other_bytes: int
    total_bytes: int
    symbol_count: int
    by_section: dict = field(default_factory=dict)


def component_of(symbol, rules) -> str:
    candidates = [c for c in (symbol.object_file, symbol.archive, symbol.contributor) if c]
    for rule in rules:
        if any(fnmatch.fnmatchcase(c, rule.pattern) for c in candidates):
            return rule.component
    if symbol.archive:
        stem = posixpath.basename(symbol.archive.replace("\\", "/"))
        return stem[:-2] if stem.endswith(".a") else stem
    if symbol.object_file:
        directory = posixpath.dirname(symbol.object_file.replace("\\", "/"))
        return directory or symbol.object_file
    return UNATTRIBUTED


def group_symbols_by_component(symbols, config, *, section_category_by_name) -> list:
    """One entry per component, largest first. A symbol's bytes count as flash or RAM by the
    category of the region its section runs from."""
    rules = list(getattr(config, "components", ()) or ())
    resolved: dict[tuple, str] = {}  # many symbols share an object file
    totals: dict[str, dict] = defaultdict(lambda: {"flash": 0, "ram": 0, "other": 0, "count": 0,
                                                   "by_section": defaultdict(int)})
    for symbol in symbols:
        if not counted(symbol):
            continue
        origin = (symbol.object_file, symbol.archive)
        component = resolved.get(origin)
        if component is None:
            component = resolved[origin] = component_of(symbol, rules)
        entry = totals[component]
        section = (symbol.section or "").strip()
        category = section_category_by_name.get(section)
        entry[category if category in ("flash", "ram") else "other"] += symbol.size
        entry["count"] += 1
        entry["by_section"][section] += symbol.size
    result = [
        ComponentUsage(
            name=name,
            flash_bytes=t["flash"],
            ram_bytes=t["ram"],
            other_bytes=t["other"],
            total_bytes=t["flash"] + t["ram"] + t["other"],
            symbol_count=t["count"],
            by_section=dict(sorted(t["by_section"].items())),
        )
        for name, t in totals.items()
    ]
    result.sort(key=lambda c: (-c.total_bytes, c.name))
    return result
