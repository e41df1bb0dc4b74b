"""The data of the HTML page's explorer: the bytes as a tree (region, output section, archive,
object file, symbol) to drill into, and every symbol as a table row to search and sort, with
its change since the baseline where there is one."""

from __future__ import annotations

import enum
import posixpath
from tarnwick._native import explorer_rows, write_json
from tarnwick.support.origins import contributor_name, source_file
from tarnwick.render.breakdown import NO_REGION, section_regions
from tarnwick.render.ledger import GAPS, LOAD_IMAGE, NO_ARCHIVE, UNNAMED, ledgers, section_lines
from tarnwick.render.names import display_name


class _Strings:
    """A table of the texts rows repeat (objects, sections, regions), referred to by number."""

    def __init__(self):
        self.index: dict = {}
        self.texts: list = []

    def number(self, text: str) -> int:
        found = self.index.get(text)
        if found is None:
            found = self.index[text] = len(self.texts)
            self.texts.append(text)
        return found


def explorer_data(report, comparison=None, model=None, by_sources: bool = False) -> dict:
    """{"strings": [...], "symbols": [[name, raw name, object, section, region, size, delta,
    mark: "~" taken from addresses, "≤" an upper bound, "" as stated], ...], "tree": [name, bytes, delta, kind, [children]]}: texts of objects,
    sections and regions as numbers into "strings"; the raw name is null where it is the name
    shown; a removed symbol has size 0."""
    strings = _Strings()
    regions = section_regions(report)

    def place_of(section):
        region = regions.get(section, NO_REGION)
        return strings.number(section or "(no section)"), strings.number(region), region

    def origin_of(object_file, archive):
        contributor = contributor_name(object_file, archive)
        return strings.number(contributor), contributor

    deltas = {(c.name, c.object_file): c for c in comparison.symbols} if comparison is not None else {}
    listed = _listed_symbols(report.symbols, deltas)
    rows, members = explorer_rows(listed, place_of, origin_of, deltas, 0 if comparison is not None else None)
    groups = {}
    for (section, object_file, archive), numbers in members.items():
        key = (regions.get(section, NO_REGION), section, posixpath.basename(archive) if archive else NO_ARCHIVE,
               object_file or contributor_name(object_file, archive))
        groups.setdefault(key, []).extend(numbers)
    for change in deltas.values():  # symbols only the baseline has
        shown = display_name(change.name)
        rows.append([shown, None if shown == change.name else change.name,
                     strings.number(change.object_file or "(unknown)"),
                     strings.number("(removed)"), strings.number(NO_REGION), 0, change.delta,
                     "~" if change.estimated else ""])
    figures = _Figures(rows)
    tree = _tree(groups, figures)
    _account_for_every_byte(tree, report, len(listed) < len(report.symbols), ledgers(report, model.symbols if model is not None else None, model))
    _prune(tree, figures)
    data = {"strings": strings.texts, "symbols": rows, "tree": tree, "unlisted": len(report.symbols) - len(listed)}
    if by_sources:
        view = by_sources if hasattr(by_sources, "shown_path") else None
        _source_column(listed, rows, strings, view)
        data["sourced"] = True
        data["sources"] = _source_tree(listed, figures, view)
        _rest_of_memory(data["sources"], tree)
        _prune(data["sources"], figures)
    return data


def _source_column(listed, rows: list, strings, view=None) -> None:
    """Each row's source file (as the source view names it: a library's files by the library) as
    its last item, a number into the strings; None for bytes no compile unit claims and for
    symbols only the baseline has."""
    number = 0
    for symbol in listed:  # the rows are the listed symbols that hold bytes, in order
        if symbol.alias_of is not None or symbol.size <= 0:
            continue
        source = symbol.source
        shown = (view.shown_path(source) if view is not None else source_file(source)) if source else None
        rows[number].append(strings.number(shown) if shown else None)
        number += 1
    for row in rows[number:]:
        row.append(None)


def _source_tree(listed, figures: _Figures, view=None) -> list:
    """The symbols' bytes by folder and source file: [name, bytes, delta, kind, children], a
    file's children the row numbers of its symbols; a library's files one node (`view` says
    which), the bytes no compile unit claims and the fill no symbol names nodes of their own."""
    from tarnwick.analysis.sources import FILL, UNCLAIMED

    root: dict = {}
    number = 0
    for symbol in listed:  # the rows are the listed symbols that hold bytes, in order
        if symbol.alias_of is not None or symbol.size <= 0:
            continue
        source = symbol.source
        if symbol.binding == "unnamed":
            parts = [FILL]
        elif not source:
            parts = [UNCLAIMED]
        else:
            shown = view.shown_path(source) if view is not None else source_file(source)
            parts = [shown] if view is not None and shown in view.groups.values() else shown.split("/")
        if parts[0] == "" and len(parts) > 1:  # an absolute path: its root is a folder
            parts[0] = "/"
        node = root
        for folder in parts[:-1]:
            node = node.setdefault(folder + "/", {})
        node.setdefault(parts[-1], []).append(number)
        number += 1
    return _source_node("all sources", root, figures, "all")


def _rest_of_memory(sources: list, tree: list) -> None:
    """The bytes of memory no source file holds (reservations, load images, fill, gaps), as the
    region view shows them, added to the source view's root: both add up to all memory."""
    rest: dict = {}

    def collect(node: list) -> None:
        if node[3] == "rest":
            rest[node[0]] = rest.get(node[0], 0) + node[1]
        elif node[3] not in ("symbol",):
            for child in node[4]:
                if isinstance(child, list):
                    collect(child)

    collect(tree)
    for label, size in sorted(rest.items(), key=lambda item: (-item[1], item[0])):
        if size > 0:
            sources[4].append(_rest(label, size))
    _finish(sources)


def _source_node(name: str, children: dict, figures: _Figures, kind: str) -> list:
    nodes = [_source_node(key.rstrip("/") or "/", value, figures, "folder") if isinstance(value, dict)
             else _object(key, value, figures, "file") for key, value in children.items()]
    return _finish([name, 0, None, kind, nodes])


# A page stays quick to load and to search with this many symbols; a larger build lists its
# largest (and every one that changed), and its blocks count the others' bytes.
MAX_SYMBOLS = 100_000
# Children kept per block: more are never shown, and the rest are one block of their bytes.
MAX_CHILDREN = 250


class _Figures:
    """Each row's size and change (None: no change known), by row number. The tree sums and
    sorts row numbers by them: a list's own `__getitem__` as the key costs a C call a row,
    a lambda a Python one (a large build has hundreds of thousands of rows)."""

    __slots__ = ("sizes", "changes")

    def __init__(self, rows: list):
        self.sizes = [row[5] for row in rows]
        changes = [row[6] for row in rows]
        self.changes = None if changes.count(None) == len(changes) else changes


def _listed_symbols(symbols, deltas: dict) -> list:
    """The largest symbols (the report lists them largest first) and those that changed."""
    if len(symbols) <= MAX_SYMBOLS:
        return symbols
    listed = list(symbols[:MAX_SYMBOLS])
    if deltas:
        changed = {name for name, _object in deltas}
        listed += [s for s in symbols[MAX_SYMBOLS:] if s.name in changed]
    return listed


def _prune(node: list, figures: _Figures) -> None:
    children = node[4]
    if node[3] in ("symbol", "rest"):
        return
    files = node[3] in ("object", "file")
    if files:  # its symbols (row numbers) largest first, sorted only for the blocks kept
        children.sort(key=figures.sizes.__getitem__, reverse=True)  # stable: ties keep row order
    if len(children) > MAX_CHILDREN:
        kept, rest = children[:MAX_CHILDREN - 1], children[MAX_CHILDREN - 1:]
        if files:  # row numbers
            node[4] = kept + [_rest(f"({len(rest):,} smaller symbols)", sum(map(figures.sizes.__getitem__, rest)))]
        else:
            node[4] = kept + [_rest(f"({len(rest):,} more)", sum(child[1] for child in rest))]
    if not files:
        for child in node[4]:
            _prune(child, figures)


def _tree(groups: dict, figures: _Figures) -> list:
    """[name, bytes, delta or None, kind, children], children largest first; an object file's
    children are the row numbers of its symbols. Objects linked from no archive sit directly
    under their section: a level that only says "(no archive)" would cost a click and tell nothing."""
    root: dict = {}
    for (region, section, archive, object_file), members in groups.items():
        parent = root.setdefault(region, {}).setdefault(section or "(no section)", {})
        if archive != NO_ARCHIVE:
            parent = parent.setdefault(("archive", archive), {})
        parent.setdefault(("object", object_file), []).extend(members)
    return _node("all memory", root, 0, figures)


_KINDS = ("all", "region", "section")


def _node(name: str, children: dict, depth: int, figures: _Figures, kind: str = "") -> list:
    nodes = []
    for key, value in children.items():
        if isinstance(key, tuple):  # below a section: an archive, or an object file
            nodes.append(_object(key[1], value, figures) if key[0] == "object"
                         else _node(key[1], value, depth + 1, figures, "archive"))
        else:
            nodes.append(_node(key, value, depth + 1, figures))
    return _finish([name, 0, None, kind or _KINDS[depth], nodes])


def _object(name: str, members: list, figures: _Figures, kind: str = "object") -> list:
    """An object (or source) file: its symbols as row numbers (sorted largest first when pruned)."""
    size = sum(map(figures.sizes.__getitem__, members))
    delta = None
    if figures.changes is not None:
        present = [change for change in map(figures.changes.__getitem__, members) if change is not None]
        delta = sum(present) if present else None
    return [name, size, delta, kind, members]


def _finish(node: list) -> list:
    """Sums a node's bytes and changes from its children, sorted largest first."""
    nodes = node[4]
    nodes.sort(key=lambda child: (-child[1], child[0]))
    deltas = [child[2] for child in nodes if child[2] is not None]
    node[1], node[2] = sum(child[1] for child in nodes), sum(deltas) if deltas else None
    return node


def _rest(name: str, size: int) -> list:
    return [name, size, None, "rest", []]


def _account_for_every_byte(tree: list, report, unlisted: bool, books: list) -> None:
    """Symbols do not cover a region: fill between inputs, stacks and heaps the script
    reserves, code no symbol names, the load image of initialised data, gaps between
    sections. Each becomes a leaf, so every region adds up to what the linker says it uses
    (`books`: the regions' ledgers, whose load images and gaps these are)."""
    regions = {node[0]: node for node in tree[4]}

    def region_node(name: str) -> list:
        if name not in regions:
            regions[name] = [name, 0, None, "region", []]
            tree[4].append(regions[name])
        return regions[name]

    for section in report.sections:
        if section.size <= 0 or section.execution_region is None:
            continue
        region = region_node(section.execution_region)
        node = next((child for child in region[4] if child[0] == section.name), None)
        if node is None:
            node = [section.name, 0, None, "section", []]
            region[4].append(node)
        # the symbols shown are the node's children: what no symbol row holds is a leaf
        for line in section_lines(section, sum(child[1] for child in node[4]), {}):
            label = f"({line.label})" if line.kind != UNNAMED else (
                "(symbols not listed, and bytes in none)" if unlisted else "(in no symbol)")
            node[4].append(_rest(label, line.size))
        _finish(node)
    for book in books:
        if book.name not in regions and book.name == NO_REGION:
            continue
        for line in book.lines:
            if line.kind in (LOAD_IMAGE, GAPS) and line.size > 0:
                region_node(book.name)[4].append(_rest(f"({line.label})", line.size))
    for region in regions.values():
        _finish(region)
    _finish(tree)


def data_script(data: dict) -> bytes:
    """The data as the UTF-8 text of a <script type="application/json">: every "<" written as
    an escape, so no name can end the script (in UTF-8 the byte of "<" is only ever "<")."""
    pieces: list = []
    write_json(data, pieces.append, enum.Enum, 0)
    return b"".join(pieces).replace(b"<", b"\\u003c")
