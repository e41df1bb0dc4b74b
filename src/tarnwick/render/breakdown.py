"""Where the bytes go, for the text and markdown reports: the largest symbols and object files
of each memory region, and the largest changes since the baseline at every level."""

from __future__ import annotations


from tarnwick._native import largest_per_section, origin_groups
from tarnwick.support.origins import UNKNOWN_ORIGIN
from tarnwick.render.names import display_name
from tarnwick.support.records import record
from tarnwick.support.symbol_list import named_origin_totals

DEFAULT_TOP = 10
NO_REGION = "(no region)"
LEVEL_NAMES = {"sections": "section", "components": "component", "archives": "archive",
               "objects": "object", "symbols": "symbol", "files": "file", "folders": "folder"}


SIZE_LEGEND = ("~ a size taken from the map's addresses; ≤ at most that: statics the map does not list "
               "may share those bytes")


@record(frozen=True)
class Entry:
    name: str      # as shown: demangled
    size: int
    detail: str    # the object file a symbol came from
    estimated: bool
    bound: bool = False  # an upper bound: statics the map leaves out may lie in it


def size_mark(entry) -> str:
    """"≤" before an upper bound, "~" before a size taken from addresses, else nothing."""
    return "≤" if entry.bound else "~" if entry.estimated else ""


@record(frozen=True)
class RegionTop:
    region: str
    symbols: list
    objects: list


def section_regions(report) -> dict:
    """Section name -> the region it runs from (the first section of a name decides)."""
    regions: dict = {}
    for section in report.sections:
        regions.setdefault(section.name, section.execution_region or NO_REGION)
    return regions


def region_tops(report, limit: int = DEFAULT_TOP, symbols=None) -> list:
    """Per region (in the report's order, then symbols outside every region), its `limit`
    largest symbols and object files; `symbols`: the same symbols as the report's, in the
    model's list."""
    symbols_in = report.symbols if symbols is None else symbols
    region_of = section_regions(report)
    largest_in = largest_per_section(symbols_in, limit, region_of, NO_REGION)
    # region -> its `limit` largest object files: [(name, bytes), ...]
    totals, names = named_origin_totals(symbols_in)
    objects = origin_groups(totals, names, UNKNOWN_ORIGIN, region_of, NO_REGION,
                            max(limit, 0), False)
    order = [r.name for r in report.regions] + [NO_REGION]
    tops = []
    for region in sorted(largest_in.keys() | objects.keys(), key=lambda r: (r not in order, order.index(r) if r in order else 0, r)):
        largest = largest_in.get(region, [])
        biggest = objects.get(region, ())
        tops.append(RegionTop(
            region,
            [Entry(display_name(s.name), s.size, s.contributor, s.size_source in ("derived", "bound"),
                   s.size_source == "bound") for s in largest],
            [Entry(name, size, "", False) for name, size in biggest]))
    return tops


def change_rows(comparison, limit: int = DEFAULT_TOP) -> list:
    """(level word, change) of the largest changes at each level below the regions."""
    rows = []
    for level, word in LEVEL_NAMES.items():
        rows += [(word, change) for change in comparison.level(level)[:limit]]
    return rows


def shown_name(change) -> str:
    """A changed entity as a reader names it: symbols demangled, with their object file."""
    name = display_name(change.name)
    if not change.object_file:
        return name
    # "(unknown)" and its kind already wear their brackets
    return f"{name} {change.object_file}" if change.object_file.startswith("(") else f"{name} ({change.object_file})"
