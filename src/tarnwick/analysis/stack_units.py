"""The compiler's stack files of the objects a build names, found where builds put them: beside
each object (its path taken from the folder the link ran in); an archive member's beside its
object in the build tree, not beside the archive (`out/middleware/ring/ring.su` for
`out/middleware/libring.a(ring.o)`, CMake's `CMakeFiles/x.dir/ring.c.su` for member
`ring.c.o`), found in one bounded index of the stack files below the build root, by the
member's name, then the functions the map places in it, then the path the archive shares."""

from __future__ import annotations

import heapq
import os
from operator import itemgetter

from tarnwick.support.origins import contributor_name

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

_PROBES = 50  # objects tried beside in every folder before a build is taken to have no stack files


def _objects(model) -> dict:
    """Object file -> the archive it came out of (or None), of every object holding symbols."""
    from tarnwick.support.symbol_list import origin_totals

    return dict.fromkeys(origin for origin, _bytes, _count, _sections in origin_totals(model.symbols) if origin[0])


def _beside(object_file: str, link_folders: list) -> list:
    """The stack files beside an object file, its path taken from each folder the link may have
    run in, nearest first."""
    stem = os.path.splitext(object_file.replace("\\", "/"))[0]
    for folder in link_folders:
        base = stem if os.path.isabs(stem) else os.path.join(folder, stem)
        found = [base + suffix for suffix in (".ci", ".su") if os.path.isfile(base + suffix)]
        if found:
            return found
    return []


def _folder_of(stack_file: str, object_file: str) -> str:
    """The folder the link ran in, from a stack file found beside an object named relative to it."""
    stem = os.path.splitext(object_file.replace("\\", "/"))[0]
    if os.path.isabs(stem):
        return os.path.dirname(stack_file)
    base = os.path.splitext(stack_file)[0]
    return base[:len(base) - len(stem)].rstrip("/\\") or "/"


def _link_folders(map_path: Optional[str]) -> list:
    if not map_path:
        return [os.getcwd()]
    folder = os.path.dirname(os.path.abspath(map_path))
    folders = []
    while True:
        folders.append(folder)
        parent = os.path.dirname(folder)
        if parent == folder:
            return folders
        folder = parent


def _build_root(link_folder: str, paths: list) -> str:
    """The folder below the link's folder that holds every object and archive the map names."""
    resolved = [os.path.normpath(p if os.path.isabs(p) else os.path.join(link_folder, p)) for p in paths]
    inside = [os.path.dirname(p) for p in resolved if p.startswith(link_folder.rstrip(os.sep) + os.sep)]
    return os.path.commonpath(inside) if inside else link_folder


def asked_for(config) -> bool:
    """Whether the configuration asks for the stack, stack files or not."""
    return bool(config.size is not None or config.entry_point or config.interrupts or config.threads
                or config.thread_stacks or config.frames or config.calls or config.recursion or config.folders)


def stack_files_beside(model) -> bool:
    """Whether a stack file lies beside an object file the model names: without one, and with
    no folder of stack files named, a build has no stack files to read (and the stack check,
    none asked for, loads nothing)."""
    return bool(_found_beside(model, _first_objects(model), first_only=True)[0])


def _first_objects(model) -> list:
    """The first _PROBES objects not out of archives, in the order _found_beside tries them:
    all it may try when it stops at the first found (a large build names 100,000 objects)."""
    from tarnwick.support.symbol_list import origin_totals

    alone = [row[0] for row in origin_totals(model.symbols) if row[0][0] and not row[0][1]]
    return heapq.nsmallest(_PROBES, alone, key=itemgetter(0))


def _found_beside(model, objects: dict, first_only: bool = False) -> tuple:
    """(object -> its stack files found beside it, the folder the link ran in, the folders still
    worth trying) for the objects not out of archives, by name; a build without a stack file
    beside its first _PROBES objects is taken to have none."""
    link_folders: Optional[list] = _link_folders(model.source_path)
    found: dict = {}  # (object, archive) -> paths
    tried = 0
    link_folder = None
    for object_file, archive in sorted(objects, key=lambda k: (k[0], k[1] or "")):
        if link_folders is None or (first_only and found):
            break  # nothing beside the objects: the rest are not tried
        if archive:
            continue
        paths = _beside(object_file, link_folders)
        if paths:
            found[(object_file, archive)] = paths
            folder = _folder_of(paths[0], object_file)
            if link_folder is None:
                link_folder = folder
            if folder in link_folders:
                link_folders = [folder]  # the folder the link ran in: the others need not be tried again
        else:
            tried += 1
            if tried >= _PROBES and not found:
                link_folders = None  # a build without stack files beside its objects: stop looking
    return found, link_folder, link_folders


def read_units(model, folders: list) -> tuple:
    """(units, notes) of the objects the model names: their stack files beside them, archive
    members' below the build root, else found by name in `folders`; and every stack file of
    `folders` besides. A build without a stack file beside any object is looked at no further
    unless `folders` names where its stack files are."""
    from tarnwick.toolchains.stack_files import StackFileError, StackIndex, index_folders, read_unit, stem_of

    notes: list = []
    objects = _objects(model)
    found, link_folder, link_folders = _found_beside(model, objects)
    roots = list(folders)
    if link_folder is not None:
        names = [archive or object_file for object_file, archive in objects]
        roots.append(_build_root(link_folder, names))
    index = index_folders(roots) if roots else StackIndex()
    if index.cut_short:
        notes.append(index.cut_short)
    members = _Members(model)
    used = {os.path.abspath(p) for paths in found.values() for p in paths}
    for key in sorted(objects, key=lambda k: (k[0], k[1] or "")) if index else ():
        if key in found:
            continue
        object_file, archive = key
        candidates = index.get(stem_of(object_file), [])
        if not candidates:
            continue
        chosen = _choose(candidates, archive, members, key, used, link_folder or (link_folders or [os.getcwd()])[0])
        if chosen:
            found[key] = chosen
            used.update(os.path.abspath(p) for p in chosen)
    units = []
    for (object_file, archive), paths in sorted(found.items(), key=lambda item: (item[0][0], item[0][1] or "")):
        try:
            unit = read_unit(paths, contributor_name(object_file, archive))
        except StackFileError as exc:
            notes.append(f"{exc}: not read")
            continue
        if unit is not None:
            units.append(unit)
    explicit = index_folders(folders) if folders else StackIndex()
    for stem, paths in sorted(explicit.items()):  # stack files of objects the map does not name
        if any(os.path.abspath(p) in used for p in paths):
            continue
        try:
            unit = read_unit(paths[:2], stem + ".o")
        except StackFileError as exc:
            notes.append(f"{exc}: not read")
            continue
        if unit is not None and unit.rows:
            units.append(unit)
    return units, notes


class _Members:
    """(object, archive) -> the names of the symbols the model places in it, gathered the first
    time two stack files of one name compete for an object."""

    def __init__(self, model):
        self.model, self.names = model, None

    def of(self, key) -> set:
        if self.names is None:
            self.names = {}
            for symbol in self.model.symbols:
                if symbol.object_file and symbol.binding != "unnamed":
                    self.names.setdefault((symbol.object_file, symbol.archive), set()).add(symbol.name)
        return self.names.get(key, set())


def _choose(candidates: list, archive: Optional[str], members: _Members, key, used: set, link_folder: str) -> list:
    """The stack files (.ci, .su of one object) of the candidates that belong to this object:
    those naming the most of its functions, then those whose folder shares most of the archive's
    path (a member's object lies in the archive's build tree), then the shortest path."""
    groups: dict = {}
    for path in candidates:
        if os.path.abspath(path) not in used:
            groups.setdefault(os.path.splitext(path)[0], []).append(path)
    if not groups:
        return []
    if len(groups) == 1:
        return next(iter(groups.values()))
    home = os.path.normpath(os.path.join(link_folder, os.path.dirname(archive))) if archive else link_folder
    library = os.path.basename(archive or "").rsplit(".", 1)[0]
    library = library[3:] if library.startswith("lib") else library
    from tarnwick.toolchains.stack_files import StackFileError, read_unit

    def score(item) -> tuple:
        base, paths = item
        try:
            unit = read_unit(sorted(paths, key=lambda p: not p.endswith(".su"))[:1], "")
            named = len({name for _title, name, *_ in unit.rows} & members.of(key)) if unit else 0
        except StackFileError:
            named = -1
        folder = os.path.dirname(os.path.abspath(base))
        shared = len(os.path.commonpath([folder, home]).split(os.sep)) if os.path.isabs(home) else 0
        parts = folder.split(os.sep)
        own = bool(library) and (library in parts or f"{library}.dir" in parts)
        return named, own, shared, -len(base)

    return sorted(max(groups.items(), key=score)[1], key=lambda p: (not p.endswith(".ci"), p))
