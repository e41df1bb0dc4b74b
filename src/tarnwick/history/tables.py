"""A build's byte tables as the store keeps them, and their changes from one build to the next.

The tables are the comparison's own (`comparison.footprint`: regions, sections, components,
archives, objects, symbols, source files and folders) and, for each region, the symbols,
objects and source folders in it, so that the commits that grew RAM are told by what grew in
RAM. Two builds of one history differ in a few entries, so a build keeps only the entries
that changed against its first parent's tables, each with its value before and after (which is
what `blame` reads, without rebuilding either side); every few builds, or where there is no
parent, it keeps the whole tables as well. JSON and zlib: readable by every Python, on either
engine.

A table is keyed by (kind, region): `("symbols", None)` is the build's, `("symbols", "RAM")`
the symbols in RAM. Symbols are keyed (name, object file); the build's carry [bytes,
estimated, binding] as the comparison does, the region's their bytes."""

from __future__ import annotations

import json
import zlib
from typing import Optional

WHOLE_LEVELS = ("sections", "components", "archives", "objects", "symbols")
REGION_LEVELS = ("symbols", "objects", "folders")
# A whole copy after this many changes in a row: reading a build back applies at most this many.
MAX_DEPTH = 48
_LEVEL = 1  # zlib: the tables are mostly names, which the first level already packs well


def build_tables(build) -> dict:
    """The tables of a build as `tarnwick.api.read_build` gives it."""
    from tarnwick.comparison import footprint

    whole = build.footprint
    tables = {("summary", None): {"flash": whole.flash, "ram": whole.ram, "exact": whole.exact,
                                  "absent": [name for name in ("regions", "files", "folders")
                                             if getattr(whole, name) is None]},
              ("regions", None): dict(whole.regions or {}),
              ("region_sizes", None): dict(whole.region_sizes)}
    for level in WHOLE_LEVELS:
        tables[(level, None)] = dict(getattr(whole, level))
    for level in ("files", "folders"):
        if getattr(whole, level) is not None:
            tables[(level, None)] = dict(getattr(whole, level))
    for region, symbols in _symbols_by_region(build.report).items():
        inside = footprint({"symbols": symbols})
        tables[("symbols", region)] = {key: entry[0] for key, entry in inside.symbols.items()}
        tables[("objects", region)] = inside.objects
    by_region = getattr(build.sources, "by_region", None)
    if isinstance(by_region, dict):
        for region, held in by_region.items():
            if held.get("folders"):
                tables[("folders", region)] = dict(held["folders"])
    return tables


def _symbols_by_region(report) -> dict:
    """Region -> the report's symbols in it: in the region its section runs from and, for
    initialised data, the one its start-up image is copied from."""
    regions_of: dict = {}
    for section in report.sections:
        held = regions_of.setdefault(section.name, [])
        for region in (section.execution_region, section.load_region):
            if region and region not in held:
                held.append(region)
    lists: dict = {}
    for symbol in report.symbols:
        for region in regions_of.get(symbol.section, ()):
            lists.setdefault(region, []).append(symbol)
    return lists


def footprint_of(tables: dict):
    """The comparison's byte tables (`comparison.Footprint`) of stored tables."""
    from tarnwick.comparison import Footprint

    summary = tables.get(("summary", None), {})
    absent = set(summary.get("absent", ()))
    result = Footprint(regions=None if "regions" in absent else dict(tables.get(("regions", None), {})),
                       region_sizes=dict(tables.get(("region_sizes", None), {})),
                       flash=summary.get("flash"), ram=summary.get("ram"), exact=bool(summary.get("exact")))
    for level in WHOLE_LEVELS:
        setattr(result, level, dict(tables.get((level, None), {})))
    for level in ("files", "folders"):
        if level not in absent:
            setattr(result, level, dict(tables.get((level, None), {})))
    return result


def changes(before: Optional[dict], after: dict) -> dict:
    """(kind, region) -> {key: (value before, value after)} of the entries that differ; None
    stands for an entry a side lacks. Against no tables, every entry is a change."""
    before = before or {}
    found: dict = {}
    for level in before.keys() | after.keys():
        old, new = before.get(level, {}), after.get(level, {})
        if old == new:
            continue
        rows = {key: (old.get(key), value) for key, value in new.items() if old.get(key) != value}
        rows.update((key, (value, None)) for key, value in old.items() if key not in new)
        found[level] = rows
    return found


def applied(tables: dict, delta: dict) -> dict:
    """The tables with the changes of `delta` made (a new dict; `tables` is left as it was)."""
    result = dict(tables)
    for level, rows in delta.items():
        table = dict(result.get(level, {}))
        for key, (_, value) in rows.items():
            if value is None:
                table.pop(key, None)
            else:
                table[key] = value
        result[level] = table
    return result


def listed(levels: dict) -> list:
    """Tables or changes as stored and exported: [[kind, region, rows], ...], a row [key, value]
    of tables or [key, before, after] of changes; a symbol's key [name, object file]."""
    def row(key, value) -> list:
        key = list(key) if isinstance(key, tuple) else key
        return [key, *value] if isinstance(value, tuple) else [key, value]

    return [[kind, region, [row(key, value) for key, value in table.items()]]
            for (kind, region), table in sorted(levels.items(), key=lambda item: (item[0][0], item[0][1] or ""))]


def encode(levels: dict) -> bytes:
    """`listed` as JSON, compressed."""
    return zlib.compress(json.dumps(listed(levels), separators=(",", ":"), ensure_ascii=False).encode("utf-8"), _LEVEL)


def decode(data: bytes, delta: bool) -> dict:
    """What `encode` stored: tables, or changes when `delta`."""
    return from_json(json.loads(zlib.decompress(bytes(data))), delta)


def _key(key):
    return tuple(key) if isinstance(key, list) else key


def from_json(items, delta: bool) -> dict:
    """The tables or changes of `listed`'s form; ValueError where it is not that form."""
    if not isinstance(items, list):
        raise ValueError("tables must be a list of [kind, region, rows]")
    levels = {}
    width = 3 if delta else 2
    for item in items:
        if (not isinstance(item, list) or len(item) != 3 or not isinstance(item[0], str)
                or not (item[1] is None or isinstance(item[1], str)) or not isinstance(item[2], list)):
            raise ValueError("a table is [kind, region, rows]")
        rows = {}
        for row in item[2]:
            if not isinstance(row, list) or len(row) != width or not isinstance(row[0], (str, list)):
                raise ValueError(f"a row of {item[0]} is not [key, {'before, after' if delta else 'value'}]")
            key = _key(row[0])
            rows[key] = (row[1], row[2]) if delta else row[1]
        levels[(item[0], item[1])] = rows
    return levels
