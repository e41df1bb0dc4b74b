"""Bytes by software component: configured path rules first, then the archive or directory."""

from __future__ import annotations

import fnmatch
import functools
import posixpath
from collections import defaultdict

from tarnwick._native import origin_groups
from tarnwick.domain.schema import ComponentUsage
from tarnwick.support.origins import contributor_name, source_file
from tarnwick.support.symbol_list import origin_totals

UNATTRIBUTED = "(unattributed)"


def _origin_sources(symbols) -> dict:
    """(object_file, archive) -> the source file its compile unit names, where the build's
    debug information gives one (an object file is one compile unit)."""
    found: dict = {}
    for symbol in symbols:
        source = getattr(symbol, "source", None)
        if source:
            key = (symbol.object_file, symbol.archive)
            if key not in found:
                found[key] = source_file(source)
    return found


def component_of(object_file, archive, rules, source=None) -> str:
    """The component of what an object file (of an archive) holds: the first rule whose glob
    matches the object, the archive, `libfoo.a(bar.o)` or the source file the object was
    compiled from, else the archive's or the object's folder's name."""
    if rules:
        candidates = [c for c in (object_file, archive, contributor_name(object_file, archive), source) if c]
        for rule in rules:
            if any(fnmatch.fnmatchcase(c, rule.pattern) for c in candidates):
                return rule.component
    if archive:
        return _archive_stem(archive)
    if object_file:
        return _folder(object_file.replace("\\", "/")) or object_file
    return UNATTRIBUTED


def _folder(path: str) -> str:  # as origin_groups names a component ("component")
    """posixpath.dirname, without its cost per call (a large build has 100,000 objects)."""
    head = path[:path.rfind("/") + 1]
    return head.rstrip("/") if head and head != "/" * len(head) else head


@functools.lru_cache(maxsize=4096)
def _archive_stem(archive: str) -> str:
    stem = posixpath.basename(archive.replace("\\", "/"))
    return stem[:-2] if stem.endswith(".a") else stem


def _component_bytes(symbols, rules) -> tuple[dict, dict]:
    """({section: [(component, bytes), ...]}, {component: symbols}) of the symbols that hold
    their bytes. Without rules a component is named by its origin alone: natively, once per
    origin (a large build has 100,000 objects)."""
    totals = origin_totals(symbols)
    if not rules:
        return origin_groups(totals, "component", UNATTRIBUTED, None, None, -1, True)
    sources = _origin_sources(symbols)
    by_section: dict = {}
    counts: dict = {}
    for (object_file, archive), _size, count, sections in totals:
        name = component_of(object_file, archive, rules, sources.get((object_file, archive)))
        counts[name] = counts.get(name, 0) + count
        for section, size in sections:
            table = by_section.setdefault(section, {})
            table[name] = table.get(name, 0) + size
    return {section: list(table.items()) for section, table in by_section.items()}, counts


def group_symbols_by_component(symbols, config, *, section_category_by_name) -> list:
    """One entry per component, largest first. A symbol's bytes count as flash or RAM by the
    category of the region its section runs from."""
    rules = list(getattr(config, "components", ()) or ())
    by_section, counts = _component_bytes(symbols, rules)
    totals = {name: {"flash": 0, "ram": 0, "other": 0, "count": count, "by_section": defaultdict(int)}
              for name, count in counts.items()}
    for section, components in by_section.items():
        stripped = (section or "").strip()
        category = section_category_by_name.get(stripped)
        kind = category if category in ("flash", "ram") else "other"
        for name, size in components:
            entry = totals[name]
            entry[kind] += size
            entry["by_section"][stripped] += size
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
