"""Where the bytes go, for the text and markdown reports: the largest symbols and object files
of each memory region, and the largest changes since the baseline at every level."""

from __future__ import annotations

from dataclasses import dataclass

from tarnwick._native import largest_per_section, totals_by_origin
from tarnwick.origins import contributor_name
from tarnwick.render.names import display_name

DEFAULT_TOP = 10
NO_REGION = "(no region)"
LEVEL_NAMES = {"sections": "section", "components": "component", "archives": "archive",
               "objects": "object", "symbols": "symbol"}


@dataclass(frozen=True)
class Entry:
    name: str      # as shown: demangled
    size: int
    detail: str    # the object file a symbol came from
    estimated: bool


@dataclass(frozen=True)
class RegionTop:
    region: str
    symbols: list
    objects: list


def region_tops(report, limit: int = DEFAULT_TOP) -> list:
    """Per region (in the report's order, then symbols outside every region), its `limit`
    largest symbols and object files."""
    region_of = {s.name: s.execution_region or NO_REGION for s in report.sections}
    symbols: dict = {}
    for section, largest in largest_per_section(report.symbols, limit).items():
        symbols.setdefault(region_of.get(section, NO_REGION), []).extend(largest)
    objects: dict = {}
    for name, _size, _count, sections in totals_by_origin(report.symbols, contributor_name):
        for section, size in sections:
            table = objects.setdefault(region_of.get(section, NO_REGION), {})
            table[name] = table.get(name, 0) + size
    order = [r.name for r in report.regions] + [NO_REGION]
    tops = []
    for region in sorted(symbols.keys() | objects.keys(), key=lambda r: (r not in order, order.index(r) if r in order else 0, r)):
        largest = sorted(symbols.get(region, ()), key=lambda s: (-s.size, s.name))[:limit]
        biggest = sorted(objects.get(region, {}).items(), key=lambda item: (-item[1], item[0]))[:limit]
        tops.append(RegionTop(
            region,
            [Entry(display_name(s.name), s.size, s.contributor, s.size_source == "derived") for s in largest],
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
