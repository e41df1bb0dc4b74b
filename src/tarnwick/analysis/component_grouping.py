"""Bytes by software component: configured path rules first, then the archive or directory."""

from __future__ import annotations

import fnmatch
import functools
import posixpath
from collections import defaultdict

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


def _folder(path: str) -> str:
    """posixpath.dirname, without its cost per call (a large build has 100,000 objects)."""
    head = path[:path.rfind("/") + 1]
    return head.rstrip("/") if head and head != "/" * len(head) else head


@functools.lru_cache(maxsize=4096)
def _archive_stem(archive: str) -> str:
    stem = posixpath.basename(archive.replace("\\", "/"))
    return stem[:-2] if stem.endswith(".a") else stem


def group_symbols_by_component(symbols, config, *, section_category_by_name) -> list:
    """One entry per component, largest first. A symbol's bytes count as flash or RAM by the
    category of the region its section runs from."""
    rules = list(getattr(config, "components", ()) or ())
    totals: dict[str, dict] = {}
    kinds: dict = {}  # section as a symbol names it -> (section as grouped, flash/ram/other)
    sources = _origin_sources(symbols) if rules else {}
    for (object_file, archive), _size, count, sections in origin_totals(symbols):
        name = component_of(object_file, archive, rules, sources.get((object_file, archive)))
        entry = totals.get(name)
        if entry is None:
            entry = totals[name] = {"flash": 0, "ram": 0, "other": 0, "count": 0, "by_section": defaultdict(int)}
        entry["count"] += count
        by_section = entry["by_section"]
        for section, size in sections:
            kind = kinds.get(section)
            if kind is None:
                stripped = (section or "").strip()
                category = section_category_by_name.get(stripped)
                kind = kinds[section] = (stripped, category if category in ("flash", "ram") else "other")
            entry[kind[1]] += size
            by_section[kind[0]] += size
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
