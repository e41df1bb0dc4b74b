"""What changed between two builds, in bytes, at every level: memory regions, output sections,
components, archives, object files and symbols, each as added, removed, grown or shrunk.

Each side is given by its byte tables (`footprint`), made from a report of this run or from a
stored JSON report alike. Object files are matched by their path relative to each
build's root (`build_paths`), so two builds made in two folders compare file by file; archives
by their file name. A symbol is matched by its name and the object file it came from (two
statics of one name in two files are two symbols).

What a symbol is never depends on where its size came from. Where both sides' symbol sizes
were read alike (both from an ELF file, or both from their maps), symbols compare as they are;
a size derived from a map makes the change an estimate. Where one side had its ELF file and
the other only its map, the side with the ELF is seen as its map would show it: a global symbol
runs to the next global one or to the end of its input section, and statics and bytes no
symbol names, which the map cannot show, are left out of the symbol changes (the totals of
objects, archives and sections are exact either way).
"""

from __future__ import annotations

import re

from tarnwick._native import demangle, differing_keys
from tarnwick.compare.build_paths import PathMatcher
from tarnwick.compare.footprint import Footprint, document_footprint, report_footprint
from tarnwick.support.records import field, record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Iterable, Optional

LEVELS = ("regions", "sections", "components", "archives", "objects", "symbols", "files", "folders")
# How C++ (Itanium, also with a leading underscore on Mach-O) and Rust (v0) names begin.
_MANGLED = ("_Z", "__Z", "_R")
_RUST_HASH = re.compile(r"::h[0-9a-f]{16}$")
# Symbols a map that lists globals only cannot show: statics, and the bytes no symbol names.
_UNSEEN_BY_A_MAP = ("local", "unnamed")


@record(frozen=True)
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


@record(frozen=True)
class Comparison:
    baseline_path: str
    regions: list = field(default_factory=list)  # a Change of every region, by name
    notes: list = field(default_factory=list)
    # the other levels: lists of the entities that changed, the largest change first
    sections: list = field(default_factory=list)
    components: list = field(default_factory=list)
    archives: list = field(default_factory=list)
    objects: list = field(default_factory=list)
    symbols: list = field(default_factory=list)
    files: list = field(default_factory=list)  # source files, where both builds have debug information
    folders: list = field(default_factory=list)  # their folders, every level
    flash_delta: Optional[int] = None
    ram_delta: Optional[int] = None
    baseline_label: Optional[str] = None  # what the baseline is, as the user names it (a commit)
    region_sizes: dict = field(default_factory=dict)  # region name -> capacity, either build's
    growth_gates: list = field(default_factory=list)  # gates.GrowthGate, evaluated by the command
    current_root: str = ""  # the build root taken off this build's object paths to match them ("" for none)

    def level(self, name: str) -> list:
        return getattr(self, name)

    def region(self, name: str) -> Optional[Change]:
        """The change of the region of that name, or None where neither build has it."""
        return next((change for change in self.regions if change.name == name), None)

    @property
    def estimated(self) -> bool:
        return any(change.estimated for change in self.symbols)

    @property
    def label(self) -> str:
        return self.baseline_label or self.baseline_path


def _changed(before: dict, after: dict, shown=None, estimated_all: bool = False) -> list:
    """The entries that differ, the largest change first (then by name). Both tables are keyed
    alike; `shown(key)` gives a key the name shown. Symbols' entries are [bytes, estimated,
    ...] under (name, object) keys; the other levels' are bytes."""
    changes = []

    def add(key, old, new) -> None:
        old_bytes = old[0] if isinstance(old, list) else old
        new_bytes = new[0] if isinstance(new, list) else new
        estimated = estimated_all or any(isinstance(side, list) and side[1] for side in (old, new))
        name = shown(key) if shown is not None else key
        name, object_file = name if isinstance(name, tuple) else (name, None)
        changes.append(Change(name, old_bytes, new_bytes, estimated, object_file))

    for key in differing_keys(before, after):
        add(key, before.get(key), after.get(key))
    changes.sort(key=lambda c: (-abs(c.delta), c.name, c.object_file or ""))
    return changes


def _merged(table: dict, key_of) -> dict:
    """The table under other keys; entries that come to share a key are added up."""
    result: dict = {}
    for key, value in table.items():
        matched = key_of(key)
        merged = result.get(matched)
        if merged is None:
            result[matched] = value
        elif isinstance(value, list):
            result[matched] = [merged[0] + value[0], merged[1] or value[1], *value[2:]]
        else:
            result[matched] = merged + value
    return result


def compare_footprints(before: Footprint, after: Footprint, baseline_path: str,
                       strip_prefixes: Iterable[str] = (), baseline_label: Optional[str] = None) -> Comparison:
    notes = []
    regions = []
    if before.regions is None or after.regions is None:
        notes.append("the baseline holds no used bytes per region: region changes are shown "
                     "in points of utilisation only")
    else:
        for name in sorted(before.regions.keys() | after.regions.keys()):
            regions.append(Change(name, before.regions.get(name), after.regions.get(name)))
    matcher = PathMatcher(before.objects.keys(), after.objects.keys(), strip_prefixes)
    before_symbols, after_symbols, estimated_all = _comparable_symbols(before, after, notes)
    identity, spelled = _symbol_identities(before_symbols, after_symbols)
    # matched object name -> the name shown: the current build's, else the baseline's
    keys = ({path: matcher.old(path) for path in before.objects}, {path: matcher.new(path) for path in after.objects})
    shown = {key: path for path, key in keys[0].items()}
    shown.update({key: path for path, key in keys[1].items()})
    tables = []
    for side, symbols, key_of, objects in ((before, before_symbols, matcher.old, keys[0]),
                                           (after, after_symbols, matcher.new, keys[1])):
        same = all(path == key for path, key in objects.items())
        tables.append((
            side.objects if same else _merged(side.objects, objects.__getitem__),
            _merged(side.components, lambda name: _component_key(name, key_of)),
            symbols if same and not identity else _merged(
                symbols, lambda key: (identity.get(key[0], key[0]), objects.get(key[1], key[1]))),
        ))
    root = ""
    if matcher.roots:
        old_root, new_root = matcher.roots[0]
        if old_root != new_root:
            root = new_root
            notes.append(f"object files matched by their path within each build: the baseline's under "
                         f"{old_root or './'}, this build's under {new_root or './'}")
    flash = after.flash - before.flash if None not in (after.flash, before.flash) else None
    ram = after.ram - before.ram if None not in (after.ram, before.ram) else None
    symbols = _changed(tables[0][2], tables[1][2],
                       lambda key: (spelled.get(key[0], key[0]), shown.get(key[1], key[1])), estimated_all)
    if any(change.estimated for change in symbols) and not estimated_all:
        notes.append("symbol sizes read from a map are estimates (the distance to the next symbol); "
                     "symbol changes built on them are marked ~ (objects, archives and sections are exact)")
    component_names = {_component_key(name, key_of): name for side, key_of in ((before, matcher.old),
                                                                                (after, matcher.new))
                       for name in side.components}
    files = folders = []
    if before.files is not None and after.files is not None:
        files, folders = _changed(before.files, after.files), _changed(before.folders, after.folders)
    elif (before.files is None) != (after.files is None):
        notes.append("source file and folder changes need the debug information of both builds; "
                     f"the {'baseline' if before.files is None else 'current build'} has none")
    return Comparison(
        baseline_path, regions, notes,
        files=files, folders=folders,
        sections=_changed(before.sections, after.sections),
        components=_changed(tables[0][1], tables[1][1], lambda key: component_names.get(key, key)),
        archives=_changed(before.archives, after.archives),
        objects=_changed(tables[0][0], tables[1][0], lambda key: shown.get(key, key)),
        symbols=symbols,
        flash_delta=flash, ram_delta=ram, baseline_label=baseline_label,
        region_sizes={**before.region_sizes, **after.region_sizes}, current_root=root)


def _symbol_identities(before: dict, after: dict) -> tuple:
    """(name -> identity, identity -> the name shown) for C++ and Rust symbols: a map prints
    them demangled (lld and mold with a legacy Rust name's hash, "core::fmt::write::h0123...")
    and an ELF keeps them mangled, and a symbol is the same whichever a side spells. The
    current build's spelling is shown; other names are their own identity."""
    identity: dict = {}
    spelled: dict = {}
    for later, table in ((False, before), (True, after)):
        for name, _ in table:
            if not isinstance(name, str):
                continue
            readable = demangle(name) if name.startswith(_MANGLED) else None
            if readable is None and "::h" in name:
                readable = name
            if readable is not None:
                readable = _RUST_HASH.sub("", readable)
                if readable != name:
                    identity[name] = readable
                spelled[readable] = name
            elif later and name in spelled:  # the current build spells it readably
                spelled[name] = name
    return identity, spelled


def _component_key(name: str, key_of) -> str:
    """A component named after an object's folder is matched as the folder's path is."""
    if "/" not in name and "\\" not in name:
        return name
    return key_of(name + "/x.o")[:-len("/x.o")] or "."


def _comparable_symbols(before: Footprint, after: Footprint, notes: list) -> tuple:
    """The symbol tables to compare, and whether every change among them is an estimate.
    Sides whose sizes came from the same kind of source compare as they are. Where one side's
    sizes are exact and the other's derived from its map, the exact side is seen as a map
    shows it, and what only one side can see is left out, with a note saying so."""
    if before.exact == after.exact:
        return before.symbols, after.symbols, False
    exact, derived = (before, after) if before.exact else (after, before)
    # a map that lists statics (lld, mold) names them without saying which they are
    statics_listed = any(entry[2] is None for entry in derived.symbols.values())
    viewed = {key: [size, True, None] for key, size in exact.map_view(statics_listed).items()}
    seen = {key: [entry[0], True, entry[2]] for key, entry in derived.symbols.items()
            if entry[2] not in _UNSEEN_BY_A_MAP}
    side = "baseline" if derived is before else "current build"
    notes.append(f"the {side} has no ELF file (its symbol sizes are derived from its map): symbols are "
                 "compared as a map shows them, each global running to the next one, and statics and "
                 "bytes no symbol names, which only an ELF file shows, are left out of the symbol "
                 "changes; object, archive and section changes are exact")
    return (viewed, seen, True) if exact is before else (seen, viewed, True)


def compare(report, baseline, strip_prefixes: Iterable[str] = (), baseline_label: Optional[str] = None,
            sources=None) -> Comparison:
    """The current report (and its build's source view) against a checked baseline
    (`baseline_file.Baseline`)."""
    return compare_footprints(document_footprint(baseline.document, baseline.parts), report_footprint(report, sources),
                              baseline.path, strip_prefixes, baseline_label)
