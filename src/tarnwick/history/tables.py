"""A build's byte tables as the store keeps them, and their changes from one build to the next.

The tables are the comparison's own (`comparison.footprint`: regions, sections, components,
archives, objects, symbols, source files and folders), each symbol's entry with the output
section it is in (so that the commits that grew RAM are told by what grew in RAM: the regions of
each section are kept with the build, `section_regions`), and the source folders of each region.
Two builds of one history differ in a few entries, so a build keeps only the entries that changed
against its first parent's tables, each with its value before and after (which is what `blame`
reads, without rebuilding either side); every few builds, or where there is no parent, it keeps
the whole tables as well, by columns (a column of names, one of bytes), which JSON reads back
several times quicker than rows. JSON and zlib: readable by every Python, on either engine.

A table is keyed by (kind, region): `("symbols", None)` is the build's, `("folders", "RAM")` the
source folders in RAM. Symbols are keyed (name, object file) and carry [bytes, estimated,
binding, section] (the comparison reads the first three)."""

from __future__ import annotations

import json
import zlib
from itertools import compress
from operator import ne
from typing import Optional

WHOLE_LEVELS = ("sections", "components", "archives", "objects", "symbols")
# A whole copy after this many changes in a row: reading a build back applies at most this many.
MAX_DEPTH = 48
_LEVEL = 1  # zlib: the tables are mostly names, which the first level already packs well


def build_tables(build) -> dict:
    """The tables of a build as `tarnwick.compare.builds.read_build` gives it."""
    whole = build.footprint
    tables = {("summary", None): {"flash": whole.flash, "ram": whole.ram, "exact": whole.exact,
                                  "absent": [name for name in ("regions", "files", "folders")
                                             if getattr(whole, name) is None]},
              ("regions", None): dict(whole.regions or {}),
              ("region_sizes", None): dict(whole.region_sizes)}
    for level in ("sections", "components", "archives", "objects"):
        tables[(level, None)] = dict(getattr(whole, level))
    section = _sections_of(build).get  # an entry is [bytes, estimated, binding]
    tables[("symbols", None)] = {key: [entry[0], entry[1], entry[2], section(key)]
                                 for key, entry in whole.symbols.items()}
    for level in ("files", "folders"):
        if getattr(whole, level) is not None:
            tables[(level, None)] = dict(getattr(whole, level))
    by_region = getattr(build.sources, "by_region", None)
    if isinstance(by_region, dict):
        for region, held in by_region.items():
            if held.get("folders"):
                tables[("folders", region)] = dict(held["folders"])
    return tables


def _sections_of(build) -> dict:
    """(name, object file) -> the output section the symbol is in: from the placements the
    comparison keeps of an exact build, else from the report's symbols."""
    found: dict = {}
    if build.footprint.exact:
        for section, _start, _size, name, contributor, _binding in build.footprint.placed:
            found.setdefault((name, contributor), section)
        return found
    from tarnwick.support.origins import contributor_name

    for symbol in build.report.symbols:
        found.setdefault((symbol.name, contributor_name(symbol.object_file, symbol.archive)), symbol.section)
    return found


def section_regions(report) -> dict:
    """Section name -> the regions it takes bytes of: the one it runs from and, for initialised
    data, the one its start-up image is copied from."""
    regions_of: dict = {}
    for section in report.sections:
        held = regions_of.setdefault(section.name, [])
        for region in (section.execution_region, section.load_region):
            if region and region not in held:
                held.append(region)
    return regions_of


def footprint_of(tables: dict):
    """The comparison's byte tables (`compare.footprint.Footprint`) of stored tables."""
    from tarnwick.compare.footprint import Footprint

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
        if old.keys() == new.keys():  # the same entries (the usual case): compared pairwise, in C
            keys = list(new)
            rows = {key: (old[key], new[key])
                    for key in compress(keys, map(ne, map(old.__getitem__, keys), new.values()))}
        else:
            get = old.get
            rows = {key: (get(key), value) for key, value in new.items() if get(key) != value}
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


def _sorted(levels: dict) -> list:
    return sorted(levels.items(), key=lambda item: (item[0][0], item[0][1] or ""))


def listed(levels: dict) -> list:
    """Tables or changes as exported: [[kind, region, rows], ...], a row [key, value] of tables or
    [key, before, after] of changes; a symbol's key [name, object file]."""
    def row(key, value) -> list:
        key = list(key) if isinstance(key, tuple) else key
        return [key, *value] if isinstance(value, tuple) else [key, value]

    return [[kind, region, [row(key, value) for key, value in table.items()]] for (kind, region), table in _sorted(levels)]


def _packed(values: list):
    """A column: strings (and None) as an index into the distinct ones, the rest as they are."""
    if all(v is None or isinstance(v, str) for v in values):
        distinct = list(dict.fromkeys(values))
        number = {v: i for i, v in enumerate(distinct)}
        return {"of": distinct, "at": [number[v] for v in values]}
    return values


def _unpacked(column) -> list:
    if isinstance(column, dict):
        return list(map(column["of"].__getitem__, column["at"]))
    return column


def encode_tables(levels: dict) -> bytes:
    """Whole tables as stored: per table its keys and values by columns, JSON, compressed."""
    stored = []
    for (kind, region), table in _sorted(levels):
        keys, values = list(table), list(table.values())
        tuples = bool(keys) and isinstance(keys[0], tuple)
        lists = bool(values) and all(isinstance(v, list) for v in values) and len({len(v) for v in values}) == 1
        stored.append([kind, region, [_packed(list(column)) for column in zip(*keys)] if tuples else keys,
                       [_packed(list(column)) for column in zip(*values)] if lists else values, tuples, lists])
    return zlib.compress(json.dumps(stored, separators=(",", ":"), ensure_ascii=False).encode("utf-8"), _LEVEL)


def decode_tables(data: bytes) -> dict:
    levels = {}
    for kind, region, keys, values, tuples, lists in json.loads(zlib.decompress(bytes(data))):
        if tuples:
            keys = list(zip(*map(_unpacked, keys)))
        if lists:
            values = list(map(list, zip(*map(_unpacked, values))))
        levels[(kind, region)] = dict(zip(keys, values))
    return levels


def encode_changes(levels: dict) -> bytes:
    """Changes as stored: `listed`, JSON, compressed."""
    return zlib.compress(json.dumps(listed(levels), separators=(",", ":"), ensure_ascii=False).encode("utf-8"), _LEVEL)


def decode_changes(data: bytes) -> dict:
    levels = {}
    for kind, region, rows in json.loads(zlib.decompress(bytes(data))):
        levels[(kind, region)] = {tuple(key) if isinstance(key, list) else key: (before, after)
                                  for key, before, after in rows}
    return levels


def from_json(items, delta: bool) -> dict:
    """The tables or changes of `listed`'s form (an export's line); ValueError where it is not."""
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
            key = tuple(row[0]) if isinstance(row[0], list) else row[0]
            rows[key] = (row[1], row[2]) if delta else row[1]
        levels[(item[0], item[1])] = rows
    return levels
