"""The stack files a compiler writes beside each object file: GCC's and Clang's `-fstack-usage`
(`NAME.su`: one line per function, "file:line:col:name<TAB>bytes<TAB>static|dynamic|dynamic,bounded")
and GCC's `-fcallgraph-info=su` (`NAME.ci`: the unit's functions with their frames and its call
edges, in VCG; a call through a pointer goes to `__indirect_call`). Both are named after the
object file (`build/main.o` -> `build/main.su`, `main.c.o` -> `main.c.su`).

A `.ci` node's title is the function's assembler name, or "source:name" for one with internal
linkage (a static): that is what keeps two units' statics of one name apart."""

from __future__ import annotations

import os
import re
import time
from functools import cached_property
from operator import itemgetter

from tarnwick._native import read_call_graph
from tarnwick.support.figures import FigureTooLong, figure
from tarnwick.support.files import FileProblem, read_limited, reason
from tarnwick.support.records import field, record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Iterable, Optional

_QUALIFIER = re.compile(r"[a-z,]+")
INDIRECT = "__indirect_call"
_MOST_BYTES = 64 << 20  # a stack file larger than this is no stack file


@record(slots=True)
class Function:
    name: str  # as the symbol table names it (mangled for C++)
    shown: str  # as the compiler prints it ("int S::f(int)")
    frame: Optional[int]  # bytes; None where the unit gives none
    qualifier: str  # "static", "dynamic", "dynamic,bounded"
    where: str  # "file.c:12:5"
    local: bool  # internal linkage: callable only from its own unit


@record
class Unit:
    """One object file's stack information."""

    path: str  # the .ci or .su file read
    object_name: str  # the object file it belongs to ("main.o")
    # (.ci title or name, then Function's fields) of each function, one per title (the last
    # given), as the reader made them: the graph takes its columns from these at once
    rows: list = field(default_factory=list)
    calls: list = field(default_factory=list)  # (caller title, callee title, call site)
    has_calls: bool = False  # a .ci was read: the unit's call edges are known

    @cached_property
    def functions(self) -> dict:
        """.ci title (or name) -> Function."""
        return {title: Function(*fields) for title, *fields in self.rows}


def _one_per_title(rows: list) -> list:
    """The rows, the last of each title kept in the place of the first (as a dict keeps them)."""
    last = dict(zip(map(itemgetter(0), rows), range(len(rows))))
    return rows if len(last) == len(rows) else [rows[at] for at in last.values()]


class StackFileError(ValueError):
    """A stack file that cannot be read; `str()` names it."""


# Names and labels hold no quote (a C++ operator"" name would be written with \" : such a unit's
# node is then not read, and its calls go to a function without stack information).
def read_callgraph(path: str, object_name: str) -> Unit:
    """The unit of a .ci file: its nodes and edges are read natively (native/fast/call_graph.cpp:
    a large build's files hold hundreds of thousands of lines). A node's title, label and shape
    are those of `node: { title: "..." label: "..." shape : ellipse }` starting a line, `\\n` in
    them a line break; its label's last line says its frame ("48 bytes (static)"); an ellipse,
    or a node without a frame, is declared in the unit, not defined."""
    unit = Unit(path, object_name, has_calls=True)
    text = _read(path)
    try:
        functions, unit.calls = read_call_graph(text)
    except ValueError as exc:  # a frame of more digits than any build's
        raise StackFileError(f"{path}: {exc}") from None
    unit.rows = _one_per_title(functions)
    if "graph:" not in text[:200]:
        raise StackFileError(f"{path}: not a call graph (-fcallgraph-info) file")
    return unit


def _su_line(line: str) -> Optional[tuple]:
    """(source, line, column or "", function, bytes, qualifier) of a .su line: the last two fields
    by their tabs, the place by its first ':line:' (GCC writes 'file:line:column:function', Clang
    'file:line:function'; a source path on Windows holds a colon, a C++ function colons of its
    own); a split, never a pattern that backtracks."""
    where, tab, rest = line.rstrip().partition("\t")
    frame, tab2, qualifier = rest.partition("\t")
    if not tab or not tab2 or not _number(frame) or not _QUALIFIER.fullmatch(qualifier):
        return None
    parts = where.split(":")
    for at in range(1, len(parts) - 1):
        if _number(parts[at]):
            column = parts[at + 1] if at + 2 < len(parts) and _number(parts[at + 1]) else ""
            name = ":".join(parts[at + (2 if column else 1):])
            return ":".join(parts[:at]), parts[at], column, name, figure(frame), qualifier
    return None


def _number(text: str) -> bool:
    return text.isascii() and text.isdigit()


def read_stack_usage(path: str, object_name: str) -> Unit:
    unit = Unit(path, object_name)
    rows = []
    for number, line in enumerate(_read(path).splitlines(), 1):
        if not line.strip():
            continue
        try:
            found = _su_line(line)
        except FigureTooLong as exc:
            raise StackFileError(f"{path}:{number}: {exc}") from None
        if found is None:
            raise StackFileError(f"{path}:{number}: expected 'file:line:column:function<TAB>bytes<TAB>qualifier'")
        source, row, column, shown, frame, qualifier = found
        where = f"{source}:{row}:{column}" if column else f"{source}:{row}"
        rows.append((shown, shown, shown, frame, qualifier, where, False))
    unit.rows = _one_per_title(rows)
    return unit


def _read(path: str) -> str:
    """A stack file's text, opened as every input is (a FIFO or a device is refused, not waited on)."""
    try:
        data = read_limited(path, _MOST_BYTES)
    except FileProblem as exc:
        raise StackFileError(f"{path}: {exc}") from None
    except OSError as exc:
        raise StackFileError(f"{path}: {reason(exc)}") from None
    return data.decode("utf-8", errors="replace")


def stem_of(object_path: str) -> str:
    """The name a stack file of an object takes: the object's without its last suffix."""
    base = re.split(r"[\\/]", object_path)[-1]
    return base.rsplit(".", 1)[0] if "." in base else base


MOST_ENTRIES = 400_000  # folder entries an index looks at before it stops (a build tree, not a disk)
MOST_SECONDS = 3.0


@record
class StackIndex:
    """The stack files below some folders: stem -> their paths, .ci first."""

    by_stem: dict = field(default_factory=dict)
    cut_short: Optional[str] = None  # why the walk stopped before the end, where it did

    def get(self, stem: str, default=None):
        return self.by_stem.get(stem, default)

    def items(self):
        return self.by_stem.items()

    def __bool__(self) -> bool:
        return bool(self.by_stem)


def index_folders(folders: Iterable[str], most_entries: int = MOST_ENTRIES,
                  most_seconds: float = MOST_SECONDS) -> StackIndex:
    """Every stack file below the folders, found in one walk that reads folder entries only (the
    kind of each comes with it: no stat per file), follows no symbolic link and stops after
    `most_entries` entries or `most_seconds`, saying so."""
    index = StackIndex()
    seen_folders: set = set()
    entries, deadline = 0, time.monotonic() + most_seconds
    pending = [os.fspath(folder) for folder in folders][::-1]
    while pending:
        folder = pending.pop()
        key = os.path.realpath(folder)
        if key in seen_folders:
            continue
        seen_folders.add(key)
        try:
            with os.scandir(folder) as listing:
                children = sorted(listing, key=lambda entry: entry.name)
        except OSError:
            continue
        entries += len(children)
        if entries > most_entries or time.monotonic() > deadline:
            index.cut_short = (f"the stack files were looked for in the first {entries:,} entries below "
                               f"{', '.join(os.fspath(f) for f in folders)} only")
            break
        below = []
        for child in children:
            try:
                if child.is_dir(follow_symlinks=False):
                    below.append(child.path)
                elif child.name.endswith((".ci", ".su")):
                    index.by_stem.setdefault(child.name[:-3], []).append(child.path)
            except OSError:
                continue
        pending.extend(reversed(below))
    for paths in index.by_stem.values():
        paths.sort(key=lambda p: (not p.endswith(".ci"), p))
    return index


def read_unit(paths: list, object_name: str) -> Optional[Unit]:
    """The unit of an object from its stack files: the call graph where there is one (it holds
    the frames too), else the frames alone."""
    graphs = [p for p in paths if p.endswith(".ci")]
    if graphs:
        return read_callgraph(graphs[0], object_name)
    usages = [p for p in paths if p.endswith(".su")]
    return read_stack_usage(usages[0], object_name) if usages else None
