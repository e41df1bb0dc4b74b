"""The worst-case stack of a build, from the compiler's own stack files: each function's frame,
the call graph of the whole program, each function's deepest chain of calls, the entry points
(the reset handler, the interrupt handlers, the threads the configuration names) and the
stack the link reserves, with a verdict on whether the program fits in it.

A worst case is only a number when it is one: recursion, a call through a pointer, a frame the
compiler calls dynamic and a callee without stack information make a function unbounded, and
what is shown is then a lower bound with the reason."""

from __future__ import annotations

import os
import re
import struct
from dataclasses import dataclass, field
from typing import Optional

from tarnwick.support.origins import contributor_name
from tarnwick.toolchains.stack_files import INDIRECT, StackFileError, index_folders, read_unit, stem_of

EXCEPTION_FRAME = 32  # Cortex-M stacks eight words on an exception (104 B with the FP context)
_STACK_SECTION = re.compile(r"^(?:\.stack(?:_dummy)?|\.co_stack|CSTACK|STACK|ARM_LIB_STACK(?:HEAP)?)(?:\s|$|\.)",
                            re.IGNORECASE)
_STACK_SIZE_SYMBOL = re.compile(r"^(_Min_Stack_Size|__stack_size__|_stack_size|__STACK_SIZE|STACK_SIZE) = 0x([0-9a-f]+)$")
_VECTOR_NAMES = ("g_pfnVectors", "__isr_vector", "__Vectors", "g_vectors", "vector_table", "__vector_table",
                 "_vectors", "isr_vector")
_HANDLER = re.compile(r"(?:_IRQHandler|_Handler|_IRQ|_isr|_ISR)$")


@dataclass
class FunctionStack:
    name: str  # as the symbol table names it
    shown: str  # as the compiler prints it
    object_file: str
    frame: Optional[int]
    worst_case: int  # exact when bounded, else a lower bound
    bounded: bool
    path: list  # the names of the deepest chain, itself first
    reason: Optional[str] = None  # why it is unbounded
    callees: list = field(default_factory=list)  # places in the functions' list, or what is not one (a text)

    def as_json(self) -> dict:
        return {"name": self.name, "object_file": self.object_file, "frame": self.frame,
                "worst_case": self.worst_case, "bounded": self.bounded, "path": list(self.path),
                "reason": self.reason}


@dataclass
class EntryPoint:
    name: str
    kind: str  # "reset", "interrupt", "thread"
    worst_case: int
    bounded: bool
    path: list
    reason: Optional[str] = None
    function: Optional[int] = None  # its place in the functions' list

    def as_json(self) -> dict:
        return {"name": self.name, "kind": self.kind, "worst_case": self.worst_case, "bounded": self.bounded,
                "path": list(self.path), "reason": self.reason}


@dataclass
class StackResult:
    functions: list  # FunctionStack, the largest worst case first
    entries: list  # EntryPoint
    reservation: Optional[int]  # bytes the link reserves for the stack
    reservation_source: str  # where that figure comes from
    exception_frame: int
    nesting: int
    worst_case: Optional[int]  # the program's: reset path plus the interrupts on top
    bounded: bool
    path: list  # the reset entry's deepest chain, then each interrupt's
    verdict: str  # "fits", "does not fit", "may not fit", "unknown"
    detail: str  # one line: why
    units: int  # object files whose stack files were read
    notes: list = field(default_factory=list)
    changes: list = field(default_factory=list)  # since the baseline: (what, detail)

    def as_json(self) -> dict:
        return {"functions": [f.as_json() for f in self.functions],
                "entry_points": [e.as_json() for e in self.entries],
                "reservation": {"bytes": self.reservation, "source": self.reservation_source},
                "exception_frame": self.exception_frame, "interrupt_nesting": self.nesting,
                "worst_case": self.worst_case, "bounded": self.bounded, "path": list(self.path),
                "verdict": {"status": self.verdict, "detail": self.detail}, "units": self.units,
                "notes": list(self.notes), "changes": [{"change": what, "detail": detail} for what, detail in self.changes]}


# --- reading the stack files of the objects a build names ---------------------------------------

def _objects(model) -> dict:
    """Object file -> the archive it came out of (or None), of every object holding symbols."""
    from tarnwick.support.symbol_list import origin_totals

    objects: dict = {}
    for (object_file, archive), *_ in origin_totals(model.symbols):
        if object_file:
            objects.setdefault(object_file, archive)
    return objects


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


_PROBES = 50  # objects tried beside in every folder before a build is taken to have no stack files


def _folder_of(stack_file: str, object_file: str) -> str:
    """The folder the link ran in, from a stack file found beside an object named relative to it."""
    stem = os.path.splitext(object_file.replace("\\", "/"))[0]
    if os.path.isabs(stem):
        return ""
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


def read_units(model, folders: list) -> tuple[list, list]:
    """(units, notes) of the objects the model names: their stack files beside them, else found
    by name in `folders` (archive members always so), and every stack file of `folders` besides."""
    notes: list = []
    index = index_folders(folders) if folders else {}
    link_folders = _link_folders(model.source_path)
    units, used = [], set()
    tried = 0
    for object_file, archive in sorted(_objects(model).items()):
        paths = [] if archive or link_folders is None else _beside(object_file, link_folders)
        if paths:  # the folder the link ran in: the others need not be tried again
            folder = _folder_of(paths[0], object_file)
            if folder in link_folders:
                link_folders = [folder]
        elif not archive and link_folders is not None:
            tried += 1
            if tried >= _PROBES and not units:
                link_folders = None  # a build without stack files beside its objects: stop looking
        if not paths:
            paths = index.get(stem_of(object_file), [])[:2]
        if not paths:
            continue
        try:
            unit = read_unit(paths, contributor_name(object_file, archive))
        except StackFileError as exc:
            notes.append(f"{exc}: not read")
            continue
        if unit is not None:
            units.append(unit)
            used.update(os.path.abspath(p) for p in paths)
    for stem, paths in sorted(index.items()):  # stack files of objects the map does not name
        if any(os.path.abspath(p) in used for p in paths):
            continue
        try:
            unit = read_unit(paths, stem + ".o")
        except StackFileError as exc:
            notes.append(f"{exc}: not read")
            continue
        if unit is not None and unit.functions:
            units.append(unit)
    return units, notes


# --- the call graph and each function's worst case ------------------------------------------------

class _Graph:
    def __init__(self, units: list, owners: dict):
        self.names, self.shown, self.objects, self.frames, self.qualifiers, self.wheres = [], [], [], [], [], []
        self.calls: list = []  # per function: [(callee index or a cause text, call site)]
        keys: dict = {}
        by_name: dict = {}
        for number, unit in enumerate(units):
            for title, function in unit.functions.items():
                keys[(number, title)] = len(self.names)
                if not function.local:
                    by_name.setdefault(function.name, []).append(len(self.names))
                self.names.append(function.name)
                self.shown.append(function.shown)
                self.objects.append(unit.object_name)
                self.frames.append(function.frame)
                self.qualifiers.append(function.qualifier)
                self.wheres.append(function.where)
                self.calls.append([])
        self.has_calls = [unit.has_calls for unit in units for _ in unit.functions]
        self.ambiguous: list = []
        for number, unit in enumerate(units):
            for caller, callee, site in unit.calls:
                source = keys.get((number, caller))
                if source is None:
                    continue
                if callee == INDIRECT:
                    self.calls[source].append((f"calls through a pointer at {site}", site))
                    continue
                target = keys.get((number, callee))
                if target is None:
                    target = self._global(callee, by_name, owners)
                self.calls[source].append((target if target is not None else f"calls {callee}, which has no "
                                           "stack information", site))
        self.by_name = by_name

    def _global(self, name: str, by_name: dict, owners: dict) -> Optional[int]:
        candidates = by_name.get(name, [])
        if len(candidates) <= 1:
            return candidates[0] if candidates else None
        owner = owners.get(name)  # the object file the symbol table puts the symbol in
        chosen = [i for i in candidates if owner and stem_of(_member(self.objects[i])) == stem_of(owner)]
        if len(chosen) == 1:
            return chosen[0]
        largest = max(candidates, key=lambda i: self.frames[i] or 0)
        self.ambiguous.append(name)
        return largest

    def solve(self) -> tuple:
        """(worst case, bounded, cause, next on the deepest chain) of every function, callees
        before callers (Tarjan's strongly connected components, without recursion in Python)."""
        count = len(self.names)
        worst, bounded = [0] * count, [True] * count
        cause: list = [None] * count  # (function index where it arises, text)
        best: list = [None] * count
        order, low, on_stack, stack = [-1] * count, [0] * count, [False] * count, []
        counter = 0
        callees = [[t for t, _site in calls if isinstance(t, int)] for calls in self.calls]
        for root in range(count):
            if order[root] >= 0:
                continue
            order[root] = low[root] = counter
            counter += 1
            stack.append(root)
            on_stack[root] = True
            walk = [(root, iter(callees[root]))]
            while walk:
                node, following = walk[-1]
                for target in following:
                    if order[target] < 0:
                        order[target] = low[target] = counter
                        counter += 1
                        stack.append(target)
                        on_stack[target] = True
                        walk.append((target, iter(callees[target])))
                        break
                    if on_stack[target]:
                        low[node] = min(low[node], order[target])
                else:
                    walk.pop()
                    if walk:
                        parent = walk[-1][0]
                        low[parent] = min(low[parent], low[node])
                    if low[node] == order[node]:
                        component = []
                        while True:
                            member = stack.pop()
                            on_stack[member] = False
                            component.append(member)
                            if member == node:
                                break
                        self._settle(component, worst, bounded, cause, best)
        return worst, bounded, cause, best

    def _settle(self, component: list, worst, bounded, cause, best) -> None:
        members = set(component)
        recursive = len(component) > 1 or any(t == component[0] for t, _ in self.calls[component[0]])
        cycle = self._cycle(component) if recursive else []
        for node in sorted(component, key=lambda n: self.names[n]):
            frame = self.frames[node] or 0
            deepest, chosen = 0, None
            own = None
            if self.frames[node] is None:
                own = "has no stack information"
            elif self.qualifiers[node].startswith("dynamic") and "bounded" not in self.qualifiers[node]:
                own = f"has a dynamic frame (alloca or a variable-length array) at {self.wheres[node]}"
            elif recursive:
                own = "is recursive (" + " → ".join(self.names[n] for n in cycle) + ")"
            elif not self.has_calls[node]:
                own = "has no call graph (only its .su file was found)"
            sure = own is None
            for target, _site in self.calls[node]:
                if isinstance(target, int):
                    if target in members:
                        continue
                    if worst[target] > deepest:
                        deepest, chosen = worst[target], target
                    if not bounded[target]:
                        sure = False
                        if own is None and cause[node] is None:
                            cause[node] = cause[target]
                else:
                    sure = False
                    if own is None and cause[node] is None:
                        cause[node] = (node, target)
            if own is not None:
                cause[node] = (node, own)
            worst[node], bounded[node], best[node] = frame + deepest, sure, chosen

    def _cycle(self, component: list) -> list:
        """One cycle of a recursive component, as names: a -> b -> a."""
        members = set(component)
        start = min(component, key=lambda n: self.names[n])
        path, node, seen = [start], start, {start}
        while True:
            following = [t for t, _ in self.calls[node] if isinstance(t, int) and t in members]
            if not following:
                return path
            node = min(following, key=lambda n: self.names[n])
            path.append(node)
            if node in seen:
                return path
            seen.add(node)


def _member(object_name: str) -> str:
    """"libproto.a(proto.o)" -> "proto.o"; any other name as it is."""
    if object_name.endswith(")") and "(" in object_name:
        return object_name[object_name.rindex("(") + 1:-1]
    return object_name


def _chain(start: int, best: list, graph: _Graph) -> list:
    path, node, seen = [], start, set()
    while node is not None and node not in seen:
        seen.add(node)
        path.append(graph.names[node])
        node = best[node]
    return path


def _reason(cause, graph: _Graph) -> Optional[str]:
    if cause is None:
        return None
    where, text = cause
    return f"{graph.names[where]} {text}"


# --- entry points -----------------------------------------------------------------------------

def _vector_table(model, known) -> Optional[list]:
    """(reset handler, [interrupt handlers]) by name from the ELF's Cortex-M vector table, or None;
    of the names at one address (weak aliases of a default handler) the one `known` holds."""
    if not model.elf_path:
        return None
    from tarnwick.toolchains.elf import elf_file as elf_format

    try:
        elf = elf_format.read_elf(model.elf_path)
    except elf_format.ElfError:
        return None
    if elf.machine != elf_format.EM_ARM:
        return None
    at: dict = {}
    for name, start, _size, _index, _binding in elf.symbols:
        if name in known or start not in at:
            at[start] = name
    table = next((s for s in elf.sections if s.name in (".isr_vector", ".vectors", ".vector_table")
                  and s.has_contents), None)
    if table is None:
        starts = {name: start for name, start, *_ in elf.symbols}
        named = next((starts[n] for n in _VECTOR_NAMES if n in starts), None)
        table = next((s for s in elf.sections if named is not None and s.has_contents
                      and s.address <= named < s.address + s.size), None)
        offset = named - table.address if table is not None else 0
    else:
        offset = 0
    if table is None or table.size - offset < 8:
        return None
    count = min((table.size - offset) // 4, 512)
    try:
        with open(model.elf_path, "rb") as handle:
            handle.seek(table.offset + offset)
            words = struct.unpack(("<" if elf.little_endian else ">") + f"{count}I", handle.read(count * 4))
    except (OSError, struct.error):
        return None
    names = [at.get(word & ~1) if word & 1 else None for word in words[1:]]
    if not names or names[0] is None:
        return None
    interrupts = []
    for name in names[1:]:
        if name and name != names[0] and name not in interrupts:
            interrupts.append(name)
    return names[0], interrupts


def _entry_points(model, config, graph: _Graph) -> tuple:
    """[(name, kind)] of the program's entry points, and a note on where they come from."""
    vectors = _vector_table(model, graph.by_name)
    entries, note = [], ""
    if config.entry_point or config.interrupts:
        reset = config.entry_point
        interrupts = list(config.interrupts)
        note = "entry points as the configuration names them"
        if vectors is not None and reset is None:
            reset = vectors[0]
    elif vectors is not None:
        reset, interrupts = vectors
        note = "entry points from the vector table of the ELF file"
    else:
        reset = next((n for n in ("Reset_Handler", "_reset", "reset_handler", "_start", "main") if n in graph.by_name),
                     None)
        interrupts = sorted(n for n in graph.by_name if _HANDLER.search(n) and n != reset)
        note = "entry points by name (Reset_Handler and the *_Handler and *_IRQHandler functions): no vector table was read"
    if reset:
        entries.append((reset, "reset"))
    entries += [(name, "interrupt") for name in interrupts]
    entries += [(name, "thread") for name in config.threads]
    return entries, note


# --- the stack the link reserves ----------------------------------------------------------------

def _reservation(model, config) -> tuple:
    if config.size is not None:
        return config.size, "the configuration ([stack] size)"
    for hint in model.stack_heap_hints.get("stack", []):
        found = _STACK_SIZE_SYMBOL.match(hint)
        if found:
            return int(found[2], 16), f"{found[1]} in the linker script"
    sections = list(model.sections) + [section for section, _symbols in getattr(model, "set_aside", [])]
    stacks = [s for s in sections if _STACK_SECTION.match(s.name) and s.size]
    if stacks:
        largest = max(stacks, key=lambda s: s.size)
        return largest.size, f"section {largest.name}"
    shared = [s for s in sections if "stack" in s.name.lower() and s.size]
    if shared:
        largest = max(shared, key=lambda s: s.size)
        return largest.size, f"section {largest.name} (with the heap: no stack size of its own was found)"
    return None, "none found: give it as [stack] size in the configuration"


# --- the whole -------------------------------------------------------------------------------

def analyse_stack(model, config, folders: list = ()) -> Optional[StackResult]:
    """The stack of a build, or None when no stack file of it is found and none was asked for."""
    units, notes = read_units(model, list(folders))
    if not units:
        if not folders:
            return None
        notes.append(f"no .su or .ci file found in {', '.join(folders)} or beside the object files the map names")
    owners = {s.name: s.object_file for s in model.symbols if s.object_file and s.binding != "unnamed"}
    graph = _Graph(units, owners)
    worst, bounded, cause, best = graph.solve()
    functions = [FunctionStack(graph.names[i], graph.shown[i], graph.objects[i], graph.frames[i], worst[i],
                               bounded[i], _chain(i, best, graph), _reason(cause[i], graph))
                 for i in range(len(graph.names))]
    order = sorted(range(len(functions)), key=lambda i: (-functions[i].worst_case, functions[i].name,
                                                         functions[i].object_file))
    place = {old: new for new, old in enumerate(order)}
    for i, function in enumerate(functions):
        function.callees = [place[t] if isinstance(t, int) else t for t, _site in graph.calls[i]]
    functions = [functions[i] for i in order]
    if graph.ambiguous:
        notes.append("defined in more than one unit, the largest taken: " + ", ".join(sorted(set(graph.ambiguous))[:10]))
    entries = []
    named, entry_note = _entry_points(model, config, graph)
    for name, kind in named:
        index = _pick(graph, name)
        if index is None:
            entries.append(EntryPoint(name, kind, 0, False, [name], f"{name} has no stack information"))
            continue
        entries.append(EntryPoint(name, kind, worst[index], bounded[index], _chain(index, best, graph),
                                  _reason(cause[index], graph), place[index]))
    if entry_note:
        notes.append(entry_note)
    reservation, source = _reservation(model, config)
    return _verdict(functions, entries, reservation, source, config, len(units), notes)


def _pick(graph: _Graph, name: str) -> Optional[int]:
    candidates = graph.by_name.get(name, [])
    if not candidates:
        return None
    return max(candidates, key=lambda i: graph.frames[i] or 0)


def _verdict(functions, entries, reservation, source, config, units, notes) -> StackResult:
    frame = config.exception_frame_bytes
    nesting = config.interrupt_nesting
    reset = next((e for e in entries if e.kind == "reset"), None)
    interrupts = sorted((e for e in entries if e.kind == "interrupt"), key=lambda e: -e.worst_case)[:nesting]
    result = StackResult(functions, entries, reservation, source, frame, nesting, None, False, [], "unknown", "",
                         units, notes)
    if reset is None:
        result.detail = "no reset entry point was found: give it as [stack] entry_point"
        return result
    total = reset.worst_case + sum(e.worst_case + frame for e in interrupts)
    sure = reset.bounded and all(e.bounded for e in interrupts)
    result.worst_case, result.bounded = total, sure
    result.path = list(reset.path) + [name for e in interrupts for name in e.path]
    parts = [f"{reset.name} {reset.worst_case:,} B"] + [f"{e.name} {e.worst_case:,} B + {frame} B exception frame"
                                                        for e in interrupts]
    how = " + ".join(parts)
    unbounded = [e for e in [reset, *interrupts] if not e.bounded]
    why = "; ".join(f"{e.name}: {e.reason}" for e in unbounded if e.reason)
    if reservation is None:
        result.verdict = "unknown"
        result.detail = f"worst case {'' if sure else 'at least '}{total:,} B ({how}); the stack reservation is {source}"
    elif total > reservation:
        result.verdict = "does not fit"
        result.detail = (f"worst case {'' if sure else 'at least '}{total:,} B ({how}) exceeds the stack reservation "
                         f"of {reservation:,} B ({source}) by {total - reservation:,} B")
    elif not sure:
        result.verdict = "may not fit"
        result.detail = (f"worst case at least {total:,} B ({how}) of the {reservation:,} B reserved ({source}); "
                         f"not bounded: {why}")
    else:
        result.verdict = "fits"
        result.detail = (f"worst case {total:,} B ({how}) within the stack reservation of {reservation:,} B "
                         f"({source}), {reservation - total:,} B to spare")
    return result


# --- what changed since the baseline ------------------------------------------------------------

def stack_changes(now: StackResult, before: Optional[dict]) -> list:
    """(what, detail) of the changes of the worst case since a stored report's `stack`: the
    program's and each entry point's, with why (a new callee on the deepest chain, a grown frame)."""
    if not before or not isinstance(before, dict):
        return []
    changes = []
    old_total = before.get("worst_case")
    if isinstance(old_total, int) and now.worst_case is not None and old_total != now.worst_case:
        changes.append(("program", f"worst case {old_total:,} B -> {now.worst_case:,} B "
                                   f"({now.worst_case - old_total:+,} B)"))
    old_entries = {e.get("name"): e for e in before.get("entry_points", []) if isinstance(e, dict)}
    old_frames = {(f.get("name"), f.get("object_file")): f.get("frame") for f in before.get("functions", [])
                  if isinstance(f, dict)}
    new_frames = {(f.name, f.object_file): f.frame for f in now.functions}
    for entry in now.entries:
        old = old_entries.get(entry.name)
        if not old or old.get("worst_case") == entry.worst_case:
            continue
        delta = entry.worst_case - old.get("worst_case", 0) if isinstance(old.get("worst_case"), int) else None
        why = []
        old_path = old.get("path") or []
        added = [name for name in entry.path if name not in old_path]
        if added:
            why.append("new on the deepest chain: " + ", ".join(added))
        grown = [f"{name} {old_frames[key]:,} -> {new_frames[key]:,} B" for key in new_frames
                 for name in [key[0]] if name in entry.path and key in old_frames
                 and isinstance(old_frames[key], int) and new_frames[key] is not None and new_frames[key] != old_frames[key]]
        if grown:
            why.append("frames changed: " + ", ".join(grown))
        shown = f"{delta:+,} B" if delta is not None else "changed"
        changes.append((entry.name, f"{shown}" + (f" ({'; '.join(why)})" if why else "")))
    return changes


# --- the finding, beside the analysis's own ------------------------------------------------------

def stack_issues(result: StackResult) -> list:
    """The finding of a stack that does not fit, or may not."""
    from tarnwick.domain import Issue, IssueCategory, IssueSeverity

    entries = tuple(e.name for e in result.entries if e.kind in ("reset", "interrupt") and e.name in result.path)
    if result.verdict == "does not fit":
        return [Issue("stack.overflow", IssueSeverity.ERROR, IssueCategory.STACK, "Stack may overflow",
                      f"The {result.detail}.", entries,
                      "Reduce the deepest chain's frames or calls, or reserve more stack.")]
    if result.verdict == "may not fit":
        return [Issue("stack.unbounded", IssueSeverity.WARNING, IssueCategory.STACK_UNBOUNDED,
                      "Stack use not bounded", f"The {result.detail}.", entries,
                      "Bound the recursion or the calls through pointers, or name the missing stack files.")]
    return []


def with_stack(report, result: Optional[StackResult]):
    """The report with the stack's finding among its findings, counted with them."""
    import dataclasses

    issues = stack_issues(result) if result is not None else []
    if not issues:
        return report
    counts = dict(report.summary.issue_counts)
    for issue in issues:
        key = issue.severity.value
        counts[key] = counts.get(key, 0) + 1
    summary = dataclasses.replace(report.summary, issue_counts=counts)
    return dataclasses.replace(report, issues=list(report.issues) + issues, summary=summary)
