"""Where the bytes go by source file and folder: each symbol placed in the compile unit, file
and line the ELF's debug information names for it, the files and every level of their folders
added up (with their flash and RAM), the bytes no compile unit claims on a line of their own,
and the inlined functions that weigh most where they were inlined.

The project's own files are those below its root, the folder its own compile units were built
in (and their sources lie in); a file outside it (the C library's `../../newlib/libc/...`, built
in a folder of another machine, a toolchain header) is counted in one group per library, named
by the archive its symbol came from, else "toolchain library", never as `..` folders. Bytes no
symbol covers (the fill after a function, literals no symbol names) carry no source file: they
are counted in a row of their own."""

from __future__ import annotations

import os
import posixpath

from tarnwick._native import attribute_sources
from tarnwick.analysis._placement import category_of, load_region_of
from tarnwick.analysis.no_sources import NoSources, without_elf
from tarnwick.support.origins import source_file
from tarnwick.support.records import field, record
from tarnwick.toolchains.base import MemoryCategory

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

UNCLAIMED = "(no compile unit: built without -g)"
FILL = "(fill and bytes no symbol names)"
TOOLCHAIN = "toolchain library"


@record
class SourceTotal:
    path: str
    size: int = 0
    flash: int = 0
    ram: int = 0
    library: bool = False  # a library's files, counted as one

    def as_json(self) -> dict:
        row = {"path": self.path, "size": self.size, "flash": self.flash, "ram": self.ram}
        if self.library:
            row["library"] = True
        return row


@record
class Inlined:
    name: str
    source: Optional[str]
    bytes: int
    sites: int

    def as_json(self) -> dict:
        return {"name": self.name, "source": self.source, "bytes": self.bytes, "sites": self.sites}


@record
class SourceView:
    files: list  # SourceTotal, largest first
    folders: list  # SourceTotal of every folder level, largest first
    unclaimed: SourceTotal
    inlined: list  # Inlined, the heaviest first
    by_region: dict  # region -> {"files": {path: bytes}, "folders": {path: bytes}}
    units: int
    notes: list = field(default_factory=list)
    fill: SourceTotal = field(default_factory=lambda: SourceTotal(FILL))
    groups: dict = field(default_factory=dict)  # a source path outside the project -> its library's row

    def as_json(self) -> dict:
        return {"sources": [f.as_json() for f in self.files] + [
                    {**self.unclaimed.as_json(), "path": None, "unclaimed": True},
                    {**self.fill.as_json(), "path": None, "fill": True}],
                "source_folders": [f.as_json() for f in self.folders],
                "inlined": [i.as_json() for i in self.inlined[:100]],
                **({"sources_notes": list(self.notes)} if self.notes else {})}

    def shown_path(self, source: Optional[str]) -> Optional[str]:
        """The file a symbol's source counts in: its own path, or its library's name."""
        if source is None:
            return None
        path = source_file(source)
        return self.groups.get(path, path)


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
    project = _Project(debug, model)
    unit_path = [project.shown(name if "/" in name or "\\" in name or not folder else f"{folder}/{name}", unit) or None
                 if name else None for unit, (name, folder, _ranges) in enumerate(debug.units)]
    unit_file = [source_file(path) if path else None for path in unit_path]
    paths = debug.paths
    # each symbol placed by its debug entity or unit, natively: the two walks over every entity
    # and symbol leave the few (file, archive, section) groups and inlined functions to add up here
    sums, inlined = attribute_sources(debug.entities, debug.units, unit_path, unit_file, model.symbols,
                                      lambda path, unit: project.shown(paths[path], unit))
    kinds = _section_kinds(model)
    files: dict = {}
    groups: dict = {}
    unclaimed, fill = SourceTotal(UNCLAIMED), SourceTotal(FILL)
    by_region: dict = {}
    region_of = {s.name: s.execution_region for s in model.sections}
    for unnamed, file, archive, section, size in sums:
        flash, ram = kinds.get(section, (False, False))
        if unnamed:
            total, name = fill, FILL
        elif file is None:
            total, name = unclaimed, UNCLAIMED
        else:
            name = file
            library = project.library_of(name, archive)
            if library is not None:
                groups[name] = library
                name = library
            total = files.get(name)
            if total is None:
                total = files[name] = SourceTotal(name, library=library is not None)
        total.size += size
        if flash:
            total.flash += size
        if ram:
            total.ram += size
        region = by_region.setdefault(region_of.get(section) or "(no region)", {"files": {}, "folders": {}})
        region["files"][name] = region["files"].get(name, 0) + size
    folders: dict = {}
    for total in files.values():
        for folder in [total.path] if total.library else folders_of(total.path):
            rolled = folders.setdefault(folder, SourceTotal(folder, library=total.library))
            rolled.size += total.size
            rolled.flash += total.flash
            rolled.ram += total.ram
    libraries = {total.path for total in files.values() if total.library}
    for region in by_region.values():
        for name, size in region["files"].items():
            for folder in [name] if name in libraries else folders_of(name):
                region["folders"][folder] = region["folders"].get(folder, 0) + size
    order = lambda total: (-total.size, total.path)
    heaviest = sorted((Inlined(name, source, size, sites) for name, source, size, sites in inlined),
                      key=lambda i: (-i.bytes, i.name))
    return SourceView(sorted(files.values(), key=order), sorted(folders.values(), key=order), unclaimed, heaviest,
                      by_region, len(debug.units), fill=fill, groups=groups, notes=project.notes)


class _Project:
    """Which source paths are the project's: those below the root its own units were built in.
    A unit is a library's when the map names an archive for its bytes that lies outside that
    root (a toolchain's `libc_nano.a`), or, without one, when its file lies above the folder it
    was built in, a folder this machine does not have (newlib's `../../newlib/libc/...` built
    in another machine's tree)."""

    def __init__(self, debug, model):
        self.notes: list = []
        self.units = debug.units
        foreign = []
        for name, folder, _ranges in debug.units:
            escapes = not _absolute(name) and posixpath.normpath(name.replace("\\", "/")).startswith("../")
            foreign.append(escapes and bool(folder) and not os.path.isdir(folder))
        self.foreign = foreign
        places = []
        for (name, folder, _ranges), away in zip(debug.units, foreign):
            if away or not folder or not _absolute(folder) or name == "<artificial>":  # LTO's link-time unit
                continue
            places.append(folder.replace("\\", "/").rstrip("/") or "/")
            full = name if _absolute(name) else posixpath.join(folder, name)
            places.append(posixpath.dirname(posixpath.normpath(full.replace("\\", "/"))))
        self.root = posixpath.commonpath(places) if places and len({p[:1] for p in places}) == 1 else None
        if self.root == "/":
            self.root = None  # units built all over the machine: no root to tell the project by
        self.library_of_archive: dict = {}

    def shown(self, path: str, unit: int) -> str:
        """A source path relative to its unit's folder when inside it, else relative to the
        project's root when inside that, with '/' throughout."""
        folder = self.units[unit][1]
        shown = _relative(path, folder)
        if self.root and shown.startswith(self.root + "/"):
            return shown[len(self.root) + 1:]
        if shown.startswith("../") and _absolute(folder):  # above its unit's folder: where it lies
            return posixpath.normpath(posixpath.join(folder.replace("\\", "/"), shown))
        return shown

    def library_of(self, path: str, archive: Optional[str]) -> Optional[str]:
        """The library a file counts in (its bytes named by a symbol of `archive`), or None for
        the project's own."""
        if archive and _absolute(archive) and not (self.root and archive.replace("\\", "/").startswith(self.root + "/")):
            return posixpath.basename(archive.replace("\\", "/"))
        if not (_absolute(path) or path.startswith("../") or path == ".."):
            return None
        if self.root is None and not path.startswith(".."):
            return None
        return posixpath.basename(archive.replace("\\", "/")) if archive else TOOLCHAIN


def _absolute(path: str) -> bool:
    return path.startswith(("/", "\\")) or (len(path) > 2 and path[1] == ":")


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


def source_view(model):
    """The build's SourceView (its symbols given their sources), or NoSources saying why not."""
    unread = without_elf(model)
    if unread is not None:
        return unread
    elf = model.elf_file
    from tarnwick.toolchains.elf.dwarf import DebugInfoError, read_debug_info
    from tarnwick.toolchains.loader import collector_paused

    stabs = any(s.name == ".stab" for s in elf.sections)
    stabs_only = (f"source files: {elf.path} holds STABS debug information only, which is not read "
                  "(build with -gdwarf-2 or later)")
    try:
        with collector_paused():  # a record per debug entity, and no cycles among them
            debug = read_debug_info(elf)
    except (DebugInfoError, OSError) as exc:
        return NoSources(f"source files: the debug information of {elf.path} cannot be read ({exc})")
    placed = debug is not None and any(ranges for _name, _folder, ranges in debug.units) or bool(debug and debug.entities)
    if not placed:
        return NoSources(stabs_only if stabs else f"source files: {elf.path} holds no debug information (build with -g)")
    with collector_paused():
        view = attach_sources(model, debug)
    if stabs:
        view.notes.append("source files: the objects built with STABS debug information are counted without "
                          "one (build them with -gdwarf-2 or later)")
    return view
