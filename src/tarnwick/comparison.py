"""What changed between two builds, in bytes, at every level: memory regions, output sections,
components, archives, object files and symbols, each as added, removed, grown or shrunk.

Either side is a report of this run (records) or a stored JSON report (its document). Names
are matched as the linker wrote them; a symbol is matched by its name and the object file it
came from (two statics of one name in two files are two symbols). Where a side's symbol sizes
were derived from a map rather than read from an ELF file, the symbol changes are marked as
estimates; the totals of objects, archives and sections are exact either way.
"""

from __future__ import annotations

import posixpath
from dataclasses import dataclass, field
from typing import Any, Optional

from tarnwick.origins import contributor_name

LEVELS = ("regions", "sections", "components", "archives", "objects", "symbols")


@dataclass(frozen=True)
class Change:
    """One entity compared: its bytes in the baseline and now (None where a side lacks it)."""

    name: str
    baseline: Optional[int]
    current: Optional[int]
    estimated: bool = False  # a side's figure rests on symbol sizes derived from a map
    object_file: Optional[str] = None  # for symbols: the object file it came from

    @property
    def delta(self) -> Optional[int]:
        if self.baseline is None and self.current is None:
            return None
        return (self.current or 0) - (self.baseline or 0)

    @property
    def kind(self) -> str:
        """"added", "removed", "grown", "shrunk" or "unchanged"."""
        if self.baseline is None:
            return "added"
        if self.current is None:
            return "removed"
        delta = self.current - self.baseline
        return "grown" if delta > 0 else "shrunk" if delta < 0 else "unchanged"


@dataclass(frozen=True)
class Comparison:
    baseline_path: str
    regions: dict = field(default_factory=dict)  # region name -> Change, every region
    notes: list = field(default_factory=list)
    # the other levels: lists of the entities that changed, the largest change first
    sections: list = field(default_factory=list)
    components: list = field(default_factory=list)
    archives: list = field(default_factory=list)
    objects: list = field(default_factory=list)
    symbols: list = field(default_factory=list)
    flash_delta: Optional[int] = None
    ram_delta: Optional[int] = None

    def level(self, name: str) -> list:
        return list(self.regions.values()) if name == "regions" else getattr(self, name)

    @property
    def estimated(self) -> bool:
        return any(change.estimated for change in self.symbols)


def _read(item: Any, key: str, default=None):
    """A member of a record (this run) or of a decoded JSON object (a stored report)."""
    if isinstance(item, dict):
        return item.get(key, default)
    return getattr(item, key, default)


def _byte_count(value) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def _text(value) -> Optional[str]:
    return value if isinstance(value, str) else None


@dataclass
class Footprint:
    """The byte tables of one build, by level."""

    regions: Optional[dict] = None  # None: the report holds no used bytes per region
    sections: dict = field(default_factory=dict)
    components: dict = field(default_factory=dict)
    archives: dict = field(default_factory=dict)
    objects: dict = field(default_factory=dict)
    symbols: dict = field(default_factory=dict)  # (name, object) -> [bytes, estimated]
    flash: Optional[int] = None
    ram: Optional[int] = None


def footprint(report: Any) -> Footprint:
    """The byte tables of a report: an `AnalysisReport`, or the document of a stored one."""
    result = Footprint()
    summary = _read(report, "summary") or {}
    result.flash, result.ram = _byte_count(_read(summary, "total_flash")), _byte_count(_read(summary, "total_ram"))
    trends = _read(report, "trends") or {}
    visualization = trends.get("visualization") if isinstance(trends, dict) else None
    rows = visualization.get("regions") if isinstance(visualization, dict) else None
    if isinstance(rows, list):
        used = {row["name"]: _byte_count(row.get("used_bytes")) for row in rows
                if isinstance(row, dict) and isinstance(row.get("name"), str)}
        if all(value is not None for value in used.values()) and (used or not rows):
            result.regions = used
    for section in _read(report, "sections") or ():
        name, size = _text(_read(section, "name")), _byte_count(_read(section, "size"))
        if name is not None and size is not None:
            result.sections[name] = result.sections.get(name, 0) + size
    for component in _read(report, "components") or ():
        name, size = _text(_read(component, "name")), _byte_count(_read(component, "total_bytes"))
        if name is not None and size is not None:
            result.components[name] = result.components.get(name, 0) + size
    for symbol in _read(report, "symbols") or ():
        size = _byte_count(_read(symbol, "size"))
        name = _text(_read(symbol, "name"))
        if not size or name is None or _read(symbol, "alias_of") is not None:
            continue
        source = _read(symbol, "size_source")
        estimated = source == "derived" if source is not None else bool(_read(symbol, "size_derived", True))
        object_file, archive = _text(_read(symbol, "object_file")), _text(_read(symbol, "archive"))
        contributor = contributor_name(object_file, archive)
        entry = result.symbols.get((name, contributor))
        if entry is None:
            result.symbols[(name, contributor)] = [size, estimated]
        else:
            entry[0] += size
            entry[1] = entry[1] or estimated
        # every byte of an object's input sections belongs to one of its symbols: the totals
        # per object and archive are exact even where the symbols' own sizes are estimates
        result.objects[contributor] = result.objects.get(contributor, 0) + size
        if archive:
            key = posixpath.basename(archive)
            result.archives[key] = result.archives.get(key, 0) + size
    return result


def _changed(before: dict, after: dict) -> list:
    """The entries that differ, the largest change first (then by name). Symbols' entries are
    [bytes, estimated]; the other levels' are bytes."""
    changes = []
    for key in before.keys() | after.keys():
        old, new = before.get(key), after.get(key)
        old_bytes = old[0] if isinstance(old, list) else old
        new_bytes = new[0] if isinstance(new, list) else new
        if old_bytes == new_bytes:
            continue
        estimated = any(isinstance(side, list) and side[1] for side in (old, new))
        name, object_file = key if isinstance(key, tuple) else (key, None)
        changes.append(Change(name, old_bytes, new_bytes, estimated, object_file))
    changes.sort(key=lambda c: (-abs(c.delta), c.name, c.object_file or ""))
    return changes


def compare_footprints(before: Footprint, after: Footprint, baseline_path: str) -> Comparison:
    notes = []
    regions = {}
    if before.regions is None or after.regions is None:
        notes.append("the baseline holds no used bytes per region: region changes are shown "
                     "in points of utilisation only")
    else:
        for name in sorted(before.regions.keys() | after.regions.keys()):
            regions[name] = Change(name, before.regions.get(name), after.regions.get(name))
    symbols = _changed(before.symbols, after.symbols)
    if any(change.estimated for change in symbols):
        notes.append("symbol sizes read from a map are estimates (the distance to the next symbol); "
                     "symbol changes built on them are marked ~ (objects, archives and sections are exact)")
    flash = after.flash - before.flash if None not in (after.flash, before.flash) else None
    ram = after.ram - before.ram if None not in (after.ram, before.ram) else None
    return Comparison(
        baseline_path, regions, notes,
        sections=_changed(before.sections, after.sections),
        components=_changed(before.components, after.components),
        archives=_changed(before.archives, after.archives),
        objects=_changed(before.objects, after.objects),
        symbols=symbols,
        flash_delta=flash, ram_delta=ram)


def compare(report, baseline) -> Comparison:
    """The current report against a checked baseline (`baseline_file.Baseline`)."""
    return compare_footprints(footprint(baseline.document), footprint(report), baseline.path)
