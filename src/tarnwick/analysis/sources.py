"""Where the bytes go by source file and folder: each symbol placed in the compile unit, file
and line the ELF's debug information names for it, the files and every level of their folders
added up (with their flash and RAM), the bytes no compile unit claims on a line of their own,
and the inlined functions that weigh most where they were inlined."""

from __future__ import annotations

import bisect
import posixpath
from dataclasses import dataclass, field
from typing import Optional

from tarnwick.analysis._placement import category_of, load_region_of
from tarnwick.support.origins import source_file
from tarnwick.toolchains.base import MemoryCategory

UNCLAIMED = "(no compile unit: libraries built without -g, linker fill)"


@dataclass
class SourceTotal:
    path: str
    size: int = 0
    flash: int = 0
    ram: int = 0

    def as_json(self) -> dict:
        return {"path": self.path, "size": self.size, "flash": self.flash, "ram": self.ram}


@dataclass
class Inlined:
    name: str
    source: Optional[str]
    bytes: int
    sites: int

    def as_json(self) -> dict:
        return {"name": self.name, "source": self.source, "bytes": self.bytes, "sites": self.sites}


@dataclass
class SourceView:
    files: list  # SourceTotal, largest first
    folders: list  # SourceTotal of every folder level, largest first
    unclaimed: SourceTotal
    inlined: list  # Inlined, the heaviest first
    by_region: dict  # region -> {"files": {path: bytes}, "folders": {path: bytes}}
    units: int
    notes: list = field(default_factory=list)

    def as_json(self) -> dict:
        return {"sources": [f.as_json() for f in self.files] + [{**self.unclaimed.as_json(), "path": None,
                                                                   "unclaimed": True}],
                "source_folders": [f.as_json() for f in self.folders],
                "inlined": [i.as_json() for i in self.inlined[:100]]}


def _relative(path: str, folder: str) -> str:
    """A source path relative to its compilation folder when inside it, with '/' throughout."""
    path = path.replace("\\", "/")
    folder = folder.replace("\\", "/").rstrip("/")
    if folder and path.startswith(folder + "/"):
        path = path[len(folder) + 1:]
    return posixpath.normpath(path) if path else path


def folders_of(path: str) -> list:
    """"drivers/uart/uart.c" -> ["drivers/uart", "drivers"]; an absolute path keeps its root."""
    parts, found = path.split("/")[:-1], []
    while parts and parts != [""]:
        found.append("/".join(parts) or "/")
        parts = parts[:-1]
    return found


def attach_sources(model, debug) -> SourceView:
    """Gives every symbol of the model its `source` and adds up the files and folders."""
    unit_path = [_relative(name if "/" in name or "\\" in name or not folder else f"{folder}/{name}", folder)
                 for name, folder, _ranges in debug.units]
    paths = list(debug.paths)
    relative_cache: dict = {}

    def relative(path_index: int, unit: int) -> str:
        key = (path_index, unit)
        found = relative_cache.get(key)
        if found is None:
            found = relative_cache[key] = _relative(paths[path_index], debug.units[unit][1])
        return found

    at_address: dict = {}  # address -> [(name, linkage, source)]
    inlined: dict = {}
    for kind, name, linkage, unit, path, line, low, size in debug.entities:
        source = f"{relative(path, unit)}:{line}" if path >= 0 else unit_path[unit]
        if kind == 2:
            entry = inlined.setdefault((name, source), [0, 0])
            entry[0] += size
            entry[1] += 1
            continue
        at_address.setdefault(low, []).append((name, linkage, source))
    spans = sorted((low, high, unit) for unit, (_n, _f, ranges) in enumerate(debug.units) for low, high in ranges
                   if high > low)
    starts = [low for low, _high, _unit in spans]

    def unit_at(address: int) -> Optional[int]:
        index = bisect.bisect_right(starts, address) - 1
        for at in range(index, max(index - 4, -1), -1):  # units' ranges seldom overlap
            low, high, unit = spans[at]
            if low <= address < high:
                return unit
        return None

    kinds = _section_kinds(model)
    files: dict = {}
    unclaimed = SourceTotal(UNCLAIMED)
    by_region: dict = {}
    region_of = {s.name: s.execution_region for s in model.sections}
    for symbol in model.symbols:
        source = None
        if symbol.binding != "unnamed":  # a Thumb function's address carries the low bit in a map
            candidates = at_address.get(symbol.address) or at_address.get(symbol.address & ~1)
            if candidates:
                source = _matching(symbol.name, candidates)
        if source is None:
            unit = unit_at(symbol.address)
            source = unit_path[unit] if unit is not None else None
        symbol.source = source
        if symbol.alias_of is not None or symbol.size <= 0:
            continue
        flash, ram = kinds.get(symbol.section, (False, False))
        total = unclaimed if source is None else files.setdefault(source_file(source), SourceTotal(source_file(source)))
        total.size += symbol.size
        total.flash += symbol.size if flash else 0
        total.ram += symbol.size if ram else 0
        region = by_region.setdefault(region_of.get(symbol.section) or "(no region)", {"files": {}, "folders": {}})
        name = source_file(source) if source is not None else UNCLAIMED
        region["files"][name] = region["files"].get(name, 0) + symbol.size
    folders: dict = {}
    for total in files.values():
        for folder in folders_of(total.path):
            rolled = folders.setdefault(folder, SourceTotal(folder))
            rolled.size += total.size
            rolled.flash += total.flash
            rolled.ram += total.ram
    for region in by_region.values():
        for name, size in region["files"].items():
            for folder in folders_of(name):
                region["folders"][folder] = region["folders"].get(folder, 0) + size
    order = lambda total: (-total.size, total.path)
    heaviest = sorted((Inlined(name, source, size, sites) for (name, source), (size, sites) in inlined.items()),
                      key=lambda i: (-i.bytes, i.name))
    return SourceView(sorted(files.values(), key=order), sorted(folders.values(), key=order), unclaimed, heaviest,
                      by_region, len(debug.units))


def _matching(name: str, candidates: list) -> Optional[str]:
    """The source of the debug entity at a symbol's address that is that symbol: by its name
    or assembler name, or a compiler's copy of it (`count.0`, `f.constprop.0`)."""
    for entity, linkage, source in candidates:
        if name == entity or name == linkage:
            return source
    for entity, linkage, source in candidates:
        if name.startswith((f"{entity}.", f"{linkage}." if linkage else "\0")):
            return source
    return candidates[0][2] if len(candidates) == 1 else None


def _section_kinds(model) -> dict:
    """Section name -> (whether its bytes count in flash, in RAM)."""
    kinds: dict = {}
    for section in model.sections:
        region = model.region_of(section)
        category = category_of(region)
        load = load_region_of(model, section)
        unified = region is not None and region.unified
        flash = ((category is MemoryCategory.FLASH and not unified)
                 or (load is not None and category_of(load) is MemoryCategory.FLASH)
                 or ((region is None or unified) and section.has_contents and load is None))
        ram = ((category is MemoryCategory.RAM and not unified)
               or ((region is None or unified) and (not section.has_contents or section.is_writable)))
        kinds.setdefault(section.name, (flash, ram))
    return kinds


@dataclass
class NoSources:
    """Why a build has no source view: one line every output says."""

    reason: str

    def as_json(self) -> dict:
        return {"sources": None, "source_folders": None, "sources_note": self.reason}


def source_view(model):
    """The build's SourceView (its symbols given their sources), or NoSources saying why not."""
    from tarnwick.toolchains.elf.dwarf import DebugInfoError, read_debug_info

    elf = model.elf_file
    if elf is None:
        return NoSources("source files: a map alone; name its ELF file (built with -g) to see them")
    try:
        debug = read_debug_info(elf)
    except (DebugInfoError, OSError) as exc:
        return NoSources(f"source files: the debug information of {elf.path} cannot be read ({exc})")
    if debug is None or not debug.units:
        return NoSources(f"source files: {elf.path} holds no debug information (build with -g)")
    return attach_sources(model, debug)
