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
from dataclasses import dataclass, field
from typing import Iterable, Optional

from tarnwick.support.files import FileProblem, read_limited, reason

# Names and labels hold no quote (a C++ operator"" name would be written with \" : such a unit's
# node is then not read, and its calls go to a function without stack information).
_NODE = re.compile(r'^node: \{ title: "([^"]*)" label: "([^"]*)"(?: shape : (\w+))? \}', re.M)
_EDGE = re.compile(r'^edge: \{ sourcename: "([^"]*)" targetname: "([^"]*)"(?: label: "([^"]*)")? \}', re.M)
_FRAME = re.compile(r"(\d+) bytes \(([a-z,]+)\)$")
_SU_LINE = re.compile(r"^(.*):(\d+):(\d+):(.*)\t(\d+)\t([a-z,]+)\s*$")
INDIRECT = "__indirect_call"
_MOST_BYTES = 64 << 20  # a stack file larger than this is no stack file


@dataclass
class Function:
    name: str  # as the symbol table names it (mangled for C++)
    shown: str  # as the compiler prints it ("int S::f(int)")
    frame: Optional[int]  # bytes; None where the unit gives none
    qualifier: str  # "static", "dynamic", "dynamic,bounded"
    where: str  # "file.c:12:5"
    local: bool  # internal linkage: callable only from its own unit


@dataclass
class Unit:
    """One object file's stack information."""

    path: str  # the .ci or .su file read
    object_name: str  # the object file it belongs to ("main.o")
    functions: dict = field(default_factory=dict)  # .ci title (or name) -> Function
    calls: list = field(default_factory=list)  # (caller title, callee title, call site)
    has_calls: bool = False  # a .ci was read: the unit's call edges are known


class StackFileError(ValueError):
    """A stack file that cannot be read; `str()` names it."""


def _unescape(text: str) -> str:
    if "\\" not in text:
        return text
    return text.replace("\\n", "\n").replace("\\\\", "\\")


def read_callgraph(path: str, object_name: str) -> Unit:
    unit = Unit(path, object_name, has_calls=True)
    text = _read(path)
    for title, label, shape in _NODE.findall(text):
        title, label = _unescape(title), _unescape(label)
        lines = label.split("\n")
        frame = _FRAME.search(lines[-1]) if len(lines) >= 3 else None
        if shape == "ellipse" or frame is None:
            continue  # declared here, defined elsewhere (or the indirect call's placeholder)
        source, _, name = title.rpartition(":") if ":" in title and not title.startswith("_Z") else ("", "", title)
        local = bool(source) and "." in source  # "util.c:helper"; a C++ name has no "file:" unless local
        unit.functions[title] = Function(name if local else title, lines[0], int(frame[1]), frame[2],
                                         lines[1] if len(lines) > 1 else "", local)
    for source, target, site in _EDGE.findall(text):
        unit.calls.append((_unescape(source), _unescape(target), _unescape(site)))
    if "graph:" not in text[:200]:
        raise StackFileError(f"{path}: not a call graph (-fcallgraph-info) file")
    return unit


def read_stack_usage(path: str, object_name: str) -> Unit:
    unit = Unit(path, object_name)
    for number, line in enumerate(_read(path).splitlines(), 1):
        if not line.strip():
            continue
        found = _SU_LINE.match(line)
        if found is None:
            raise StackFileError(f"{path}:{number}: expected 'file:line:column:function<TAB>bytes<TAB>qualifier'")
        source, row, column, shown, frame, qualifier = found.groups()
        unit.functions[shown] = Function(shown, shown, int(frame), qualifier, f"{source}:{row}:{column}", False)
    return unit


def _read(path: str) -> str:
    try:  # a FIFO or a device where a stack file is looked for is never waited on
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


def index_folders(folders: Iterable[str]) -> dict:
    """Stem -> [(.ci or .su path), ...] of every stack file below the folders, .ci first."""
    found: dict = {}
    for folder in folders:
        for root, dirs, files in os.walk(folder):
            dirs.sort()
            for name in sorted(files):
                if name.endswith((".ci", ".su")):
                    found.setdefault(name[:-3], []).append(os.path.join(root, name))
    for paths in found.values():
        paths.sort(key=lambda p: (not p.endswith(".ci"), p))
    return found


def read_unit(paths: list, object_name: str) -> Optional[Unit]:
    """The unit of an object from its stack files: the call graph where there is one (it holds
    the frames too), else the frames alone."""
    graphs = [p for p in paths if p.endswith(".ci")]
    if graphs:
        return read_callgraph(graphs[0], object_name)
    usages = [p for p in paths if p.endswith(".su")]
    return read_stack_usage(usages[0], object_name) if usages else None
