"""The worst-case stack of a build: each function's frame (from the compiler's stack files,
else from the image's machine code, else as the configuration states it), the call graph of the
whole program, each function's deepest chain of calls, the entry points (the reset handler, the
interrupt handlers, the threads, each with its own chain) and the stacks the link reserves, with
a verdict on whether the program, and each thread, fits in its stack.

A worst case is only a number when it is one: recursion, a call through a pointer, a frame the
compiler calls dynamic and a callee without stack information make a function unbounded, and
what is shown is then a lower bound with the reason. What only the user knows (`[stack] frames`,
`calls`, `recursion`) bounds it, and every figure that rests on such an assumption says so."""

from __future__ import annotations

import heapq
import os
import re
import struct
from collections.abc import Sequence
from itertools import compress
from operator import itemgetter, neg

from tarnwick._native import index_names, link_calls, solve_stack
from tarnwick.analysis.stack_units import asked_for, read_units
from tarnwick.support.records import field, record
from tarnwick.toolchains.stack_files import INDIRECT, stem_of

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

EXCEPTION_FRAME = 32  # Cortex-M stacks eight words on an exception (104 B with the FP context)
_STACK_SECTION = re.compile(
    r"^(?:\.stack(?:_dummy)?|\.co_stack|CSTACK|STACK|ARM_LIB_STACK(?:HEAP)?)(?:\s|$|\.)", re.IGNORECASE)
_STACK_SIZE_SYMBOL = re.compile(
    r"^(_Min_Stack_Size|__stack_size__|_stack_size|__STACK_SIZE|STACK_SIZE) = 0x([0-9a-f]+)$")
_VECTOR_NAMES = ("g_pfnVectors", "__isr_vector", "__Vectors", "g_vectors", "vector_table", "__vector_table",
                 "_vectors", "isr_vector")
_HANDLER_ENDINGS = ("_IRQHandler", "_Handler", "_IRQ", "_isr", "_ISR")
SOURCES = ("su", "ci", "machine code", "configured")
_NONE = frozenset()


@record(slots=True)
class FunctionStack:
    name: str  # as the symbol table names it
    shown: str  # as the compiler prints it
    object_file: str
    frame: Optional[int]
    worst_case: int  # exact when bounded, else a lower bound
    bounded: bool
    reason: Optional[str] = None  # why it is unbounded
    frame_source: Optional[str] = None  # "su", "ci", "machine code", "configured"
    deepest: Optional[int] = None  # the callee on its deepest chain, a place in the functions' list
    callees: Sequence = field(default_factory=list)  # places in the functions' list, or what is not one (a text)
    assumptions: tuple = ()  # what of the configuration its worst case rests on
    deepest_name: Optional[str] = None

    def as_json(self) -> dict:
        return {"name": self.name, "object_file": self.object_file, "frame": self.frame,
                "frame_source": self.frame_source, "worst_case": self.worst_case, "bounded": self.bounded,
                "deepest_callee": self.deepest_name, "reason": self.reason, "assumptions": list(self.assumptions)}


@record
class EntryPoint:
    name: str
    kind: str  # "reset", "interrupt", "thread"
    worst_case: int
    bounded: bool
    path: list
    reason: Optional[str] = None
    function: Optional[int] = None  # its place in the functions' list
    assumptions: tuple = ()

    def as_json(self) -> dict:
        return {"name": self.name, "kind": self.kind, "worst_case": self.worst_case, "bounded": self.bounded,
                "path": list(self.path), "reason": self.reason, "assumptions": list(self.assumptions)}


@record
class ThreadStack:
    """A thread on a stack of its own: its entry's worst case and the frame an interrupt stacks
    on it, against its reservation."""

    name: str
    entry: str
    worst_case: int
    reservation: Optional[int]
    bounded: bool
    reason: Optional[str]
    found: str  # where the thread was found: the configuration, Zephyr's static threads, ...
    path: list = field(default_factory=list)
    stack_symbol: Optional[str] = None
    assumptions: tuple = ()

    @property
    def headroom(self) -> Optional[int]:
        return self.reservation - self.worst_case if self.reservation is not None else None

    @property
    def fits(self) -> Optional[bool]:
        if self.reservation is None:
            return None
        if self.worst_case > self.reservation:
            return False
        return True if self.bounded else None

    def as_json(self) -> dict:
        return {"name": self.name, "entry": self.entry, "worst_case": self.worst_case,
                "reservation": self.reservation, "headroom": self.headroom, "bounded": self.bounded,
                "reason": self.reason, "found": self.found, "stack_symbol": self.stack_symbol,
                "path": list(self.path), "assumptions": list(self.assumptions)}


@record
class StackResult:
    functions: FunctionList  # FunctionStack, the largest worst case first
    entries: list  # EntryPoint
    reservation: Optional[int]  # bytes the link reserves for the stack
    reservation_source: str  # where that figure comes from
    exception_frame: int
    nesting: int
    worst_case: Optional[int]  # the program's: reset path plus the interrupts on top
    bounded: bool
    path: list  # the chains that add up to it: the reset entry's, then each interrupt's on top
    verdict: str  # "fits", "does not fit", "may not fit", "unknown"
    detail: str  # one line: why
    units: int  # object files whose stack files were read
    notes: list = field(default_factory=list)
    changes: list = field(default_factory=list)  # since the baseline: (what, detail)
    threads: list = field(default_factory=list)  # ThreadStack
    assumptions: tuple = ()  # what of the configuration the program's worst case rests on
    sources: dict = field(default_factory=dict)  # frame source -> functions whose frames come from it

    def largest_frames(self, count: int) -> list:
        """The functions of the `count` largest frames, the largest first (by name where equal)."""
        return self.functions.largest_frames(count)

    def as_json(self) -> dict:
        return {"functions": [f.as_json() for f in self.functions],
                "entry_points": [e.as_json() for e in self.entries],
                "threads": [t.as_json() for t in self.threads],
                "reservation": {"bytes": self.reservation, "source": self.reservation_source},
                "exception_frame": self.exception_frame, "interrupt_nesting": self.nesting,
                "worst_case": self.worst_case, "bounded": self.bounded,
                "path": [{"entry": entry, "kind": kind, "path": list(chain)} for entry, kind, chain in self.path],
                "verdict": {"status": self.verdict, "detail": self.detail}, "units": self.units,
                "frame_sources": dict(self.sources), "assumptions": list(self.assumptions),
                "notes": list(self.notes), "changes": [{"change": what, "detail": detail} for what, detail in self.changes]}


class FunctionList(Sequence):
    """The solved functions, the largest worst case first (then by name and object file): each
    one's record made when it is first looked at, as an output shows tens of a build's tens of
    thousands (the JSON report, all of them)."""

    def __init__(self, graph, worst: list, bounded: list, cause: list, best: list, assumed: list):
        self.graph, self.worst, self.bounded, self.cause, self.best, self.assumed = graph, worst, bounded, cause, best, assumed
        names = graph.names
        self.order = [i for *_, i in sorted(zip(map(neg, worst), names, graph.objects, range(len(names))))]
        place = [0] * len(names)  # a function's place in the list, by its place in the graph
        for new, old in enumerate(self.order):
            place[old] = new
        self.place = place
        self.made: list = [None] * len(names)

    def __len__(self) -> int:
        return len(self.order)

    def __getitem__(self, at):
        if isinstance(at, slice):
            return [self[i] for i in range(*at.indices(len(self)))]
        made = self.made[at]
        if made is None:
            made = self.made[at] = self._record(self.order[at])
        return made

    def __iter__(self):
        return (self[i] for i in range(len(self)))

    def _record(self, i: int) -> FunctionStack:
        graph, place, best, cause, assumed = self.graph, self.place, self.best[i], self.cause[i], self.assumed[i]
        calls = graph.calls[i]
        return FunctionStack(graph.names[i], graph.shown[i], graph.objects[i], graph.frames[i], self.worst[i],
                             self.bounded[i], _reason(cause, graph) if cause else None, graph.sources[i],
                             place[best] if best is not None else None,
                             _Callees(calls, place) if calls else [],
                             tuple(sorted(assumed)) if assumed else (), graph.names[best] if best is not None else None)

    def largest_frames(self, count: int) -> list:
        """The `count` functions of the largest frames (then by name, then by place in the list), of
        those with a frame; a negative `count` as a slice counts."""
        frames = self.graph.frames
        framed = [frame is not None for frame in frames]
        keys = zip(map(neg, compress(frames, framed)), compress(self.graph.names, framed), compress(self.place, framed))
        chosen = sorted(keys)[:count] if count < 0 else heapq.nsmallest(count, keys)
        return [self[at] for _frame, _name, at in chosen]


class _Callees(Sequence):
    """A function's callees as places in the functions' list (or the text of a call that reaches
    none), read from its calls when looked at: main may call thousands."""

    def __init__(self, calls: list, place: list):
        self.calls, self.place = calls, place

    def __len__(self) -> int:
        return len(self.calls)

    def __getitem__(self, at):
        if isinstance(at, slice):
            return [self[i] for i in range(*at.indices(len(self)))]
        target = self.calls[at][0]
        return self.place[target] if isinstance(target, int) else target

    def __iter__(self):
        place = self.place
        return (place[t] if isinstance(t, int) else t for t, _site in self.calls)


# --- the call graph and each function's worst case ------------------------------------------------

class _Graph:
    """The functions (from the stack files, the machine code and the configuration) and their
    calls: per function its frame and [(callee index or a cause text, call site)]."""

    def __init__(self):
        self.names, self.shown, self.objects, self.frames, self.qualifiers, self.wheres = [], [], [], [], [], []
        self.sources, self.addresses, self.has_calls, self.locals, self.own_problems = [], [], [], [], []
        self.calls: list = []
        self.assumed: list = []  # per function: its own assumptions (texts)
        self.by_name: dict = {}  # global name -> [index]
        self.by_address: dict = {}
        self.ambiguous: list = []
        self.recursion: dict = {}

    def add(self, name, shown, object_file, frame, qualifier, where, source, local, has_calls,
            address=None, problem=None) -> int:
        index = len(self.names)
        self.names.append(name)
        self.shown.append(shown)
        self.objects.append(object_file)
        self.frames.append(frame)
        self.qualifiers.append(qualifier)
        self.wheres.append(where)
        self.sources.append(source)
        self.locals.append(local)
        self.has_calls.append(has_calls)
        self.addresses.append(address)
        self.own_problems.append(problem)
        self.calls.append([])
        self.assumed.append([])
        if not local:
            self.by_name.setdefault(name, []).append(index)
        if address is not None:
            self.by_address.setdefault(address, index)
        return index

    def extend(self, rows: list, objects: list, sources: list, has_calls: list, addresses: list) -> int:
        """Adds the stack files' functions (a unit's rows: title, name, shown, frame, qualifier,
        where, local) all at once (a build may have tens of thousands), as `add` would one by
        one; the place of the first."""
        start, count = len(self.names), len(rows)
        columns = list(zip(*rows)) or [()] * 7
        _titles, names, shown, frames, qualifiers, wheres, locals_ = columns
        self.names += names
        self.shown += shown
        self.objects += objects
        self.frames += frames
        self.qualifiers += qualifiers
        self.wheres += wheres
        self.sources += sources
        self.locals += locals_
        self.has_calls += has_calls
        self.addresses += addresses
        self.own_problems += [None] * count
        self.index_added(start, names, locals_, addresses)
        return start

    def index_added(self, start: int, names, locals_, addresses: list) -> None:
        """Functions whose columns were just appended from `start`: no calls yet, and found by
        name (a global one) and by address (the first function at each)."""
        count = len(names)
        self.calls += [[] for _ in range(count)]
        self.assumed += [[] for _ in range(count)]
        index_names(self.by_name, names, locals_, start)
        by_address = self.by_address
        for index, address in enumerate(addresses, start):
            if address is not None:
                by_address.setdefault(address, index)

    def global_named(self, name: str, owners) -> Optional[int]:
        candidates = self.by_name.get(name, [])
        if len(candidates) <= 1:
            return candidates[0] if candidates else None
        owner = owners.get(name)  # the object file the symbol table puts the symbol in
        chosen = [i for i in candidates if owner and stem_of(_member(self.objects[i])) == stem_of(owner)]
        if len(chosen) == 1:
            return chosen[0]
        self.ambiguous.append(name)
        return max(candidates, key=lambda i: self.frames[i] or 0)

    def solve(self) -> tuple:
        """(worst case, bounded, cause, next on the deepest chain, assumptions) of every function,
        callees before callers (Tarjan's strongly connected components, natively: the functions
        on no cycle with a plain frame are settled there, every other component by _settle).
        Each function keeps only its deepest callee: the chains are walked from it."""
        count = len(self.names)
        worst, bounded = [0] * count, [True] * count
        cause: list = [None] * count  # (function index where it arises, text)
        best: list = [None] * count
        assumed: list = [_NONE] * count
        solve_stack(self.calls, self.frames, self.qualifiers, self.own_problems, self.has_calls, self.assumed,
                    worst, bounded, cause, best, assumed, _NONE,
                    lambda component: self._settle(component, worst, bounded, cause, best, assumed))
        return worst, bounded, cause, best, assumed

    def _settle(self, component: list, worst, bounded, cause, best, assumed) -> None:
        members = set(component)
        recursive = len(component) > 1 or any(t == component[0] for t, _ in self.calls[component[0]])
        cycle = self._cycle(component) if recursive else []
        limits = [self.recursion[self.names[n]] for n in component if self.names[n] in self.recursion]
        depth_limit = max(limits) if recursive and limits else None
        shared = frozenset(text for n in component for text in self.assumed[n])
        if depth_limit is not None:
            named = sorted(self.names[n] for n in component if self.names[n] in self.recursion)
            shared |= {f"{', '.join(named)} recursing at most {depth_limit} deep (configured)"}
        cycle_frames = sum(self.frames[n] or 0 for n in component)
        for node in sorted(component, key=lambda n: self.names[n]):
            frame = self.frames[node] or 0
            deepest, chosen = 0, None
            own = None
            if self.frames[node] is None:
                own = "has no stack information"
            elif self.own_problems[node]:
                own = self.own_problems[node]
            elif self.qualifiers[node].startswith("dynamic") and "bounded" not in self.qualifiers[node]:
                own = f"has a dynamic frame (alloca or a variable-length array) at {self.wheres[node]}"
            elif recursive and depth_limit is None:
                own = "is recursive (" + " → ".join(self.names[n] for n in cycle) + ")"
            elif not self.has_calls[node]:
                own = "has no call graph (only its .su file was found)"
            sure = own is None
            rests = shared
            for target, _site in self.calls[node]:
                if isinstance(target, int):
                    if target in members:
                        continue
                    if worst[target] > deepest:
                        deepest, chosen = worst[target], target
                    if assumed[target]:
                        rests = rests | assumed[target]
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
            own_worst = depth_limit * cycle_frames if depth_limit is not None else frame
            worst[node], bounded[node], best[node], assumed[node] = own_worst + deepest, sure, chosen, rests
        if depth_limit is not None:  # the component's members share its worst case
            top = max(component, key=lambda n: worst[n])
            for node in component:
                if worst[node] < worst[top]:
                    worst[node], best[node] = worst[top], best[top]
                bounded[node] = bounded[node] and bounded[top]
                assumed[node] = assumed[node] | assumed[top]

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


# --- building the graph from what the build shows ---------------------------------------------------

def _build_graph(units: list, machine, model, config, notes: list) -> _Graph:
    graph = _Graph()
    graph.recursion = dict(config.recursion)
    owners = _Owners(model)
    in_image = ({s.name for s in model.symbols if s.binding == "global" or s.binding == "weak"} or None
                if machine is None and units else None)
    keys: list = []  # per unit: title -> the function's place in the graph
    removed, claimed = [], set()
    kept, objects, sources, has_calls, addresses = [], [], [], [], []
    first = len(graph.names)
    for unit in units:
        rows = unit.rows
        if machine is not None:
            rows, found = [], rows
            for row in found:
                function = _machine_function(machine, row[1], row[5], row[6], claimed)
                if function is None:
                    removed.append(row[1])
                    continue
                rows.append(row)
                addresses.append(function.address)
                claimed.add(function.address)
        elif in_image is not None:
            linked = [row[6] or row[1] in in_image for row in rows]
            if not all(linked):
                removed += [row[1] for row, keep in zip(rows, linked) if not keep]
                rows = list(compress(rows, linked))
        count = len(rows)
        keys.append(dict(zip(map(itemgetter(0), rows), range(first + len(kept), first + len(kept) + count))))
        kept += rows
        objects += [unit.object_name] * count
        sources += ["ci" if unit.has_calls else "su"] * count
        has_calls += [unit.has_calls] * count
    graph.extend(kept, objects, sources, has_calls, addresses or [None] * len(kept))
    if removed:
        notes.append(f"{len(removed):,} function(s) of the stack files are not in the image (removed by "
                     f"--gc-sections or never linked), left out: " + ", ".join(sorted(set(removed))[:10]))
    if machine is not None:  # before the stack files' calls: they may call what only the machine code shows
        _add_machine_code(graph, machine, model, notes)
    global_named = lambda callee: graph.global_named(callee, owners)  # noqa: E731
    for unit, places in zip(units, keys):
        link_calls(unit.calls, places, graph.by_name, graph.calls, INDIRECT, global_named)
    _configured_frames(graph, config, notes)
    _configured_calls(graph, config, owners, notes)
    return graph


class _Owners:
    """name -> the object file the symbol table puts it in, gathered the first time a name is
    defined in more than one unit."""

    def __init__(self, model):
        self.model, self.table = model, None

    def get(self, name: str) -> Optional[str]:
        if self.table is None:
            self.table = {s.name: s.object_file for s in self.model.symbols
                          if s.object_file and s.binding != "unnamed"}
        return self.table.get(name)


def _machine_function(machine, name: str, where: str, local: bool, claimed: set):
    """The image's function a stack file's function (its name, where it is, whether a static)
    is: by name, then by the source file a static's symbol table entry follows (two units'
    statics of one name), one function once."""
    candidates = [f for f in machine.by_name.get(name, []) if f.address not in claimed]
    if len(candidates) > 1:
        source = os.path.basename(where.split(":")[0]) if where else ""
        by_file = [f for f in candidates if f.file == source]
        candidates = by_file or [f for f in candidates if f.local == local] or candidates
    return candidates[0] if candidates else None


def _add_machine_code(graph: _Graph, machine, model, notes: list) -> None:
    from tarnwick.support.origins import contributor_name
    from tarnwick.toolchains.elf.machine_code import INDIRECT_CALL, INDIRECT_JUMP

    named = {s.name: s for s in model.symbols if s.object_file}
    read, completed, fresh = [], 0, []
    by_address, by_name = graph.by_address, graph.by_name
    for address, functions in machine.by_address.items():
        index = by_address.get(address)
        if index is None:
            first = functions[0] if len(functions) == 1 else min(functions, key=lambda f: (f.local, f.binding == 2, f.name))
            fresh.append(first)
        elif graph.has_calls[index]:
            continue
        else:
            read.append((index, functions[0]))  # a .su frame without a call graph: the calls from the machine code
            graph.has_calls[index] = True
            completed += 1
    # the functions only the machine code shows, added all at once (a build may have thousands)
    start = len(graph.names)
    owners = []
    for function in fresh:
        symbol = named.get(function.name)
        owners.append(contributor_name(symbol.object_file, symbol.archive)
                      if symbol is not None and symbol.address & ~1 == function.address else "")
    count = len(fresh)
    graph.names += [f.name for f in fresh]
    graph.shown += [f.name for f in fresh]
    graph.objects += owners
    graph.frames += [f.frame for f in fresh]
    graph.qualifiers += ["static"] * count
    graph.wheres += [""] * count
    graph.sources += ["machine code"] * count
    graph.locals += [f.local for f in fresh]
    graph.has_calls += [True] * count
    addresses = [f.address for f in fresh]
    graph.addresses += addresses
    graph.own_problems += [f.problem for f in fresh]
    graph.index_added(start, [f.name for f in fresh], [f.local for f in fresh], addresses)
    read += enumerate(fresh, start)
    for address, functions in machine.by_address.items():  # every name of an address reaches it (weak aliases)
        if len(functions) > 1:
            index = by_address.get(address)
            for function in functions:
                if index is not None and not function.local and index not in by_name.get(function.name, ()):
                    by_name.setdefault(function.name, []).append(index)
    calls = graph.calls
    for index, function in read:
        listed = calls[index]
        for kind, target, site in function.calls:
            if kind < INDIRECT_CALL:  # a call or a tail call
                callee = by_address.get(target)
                listed.append((callee, site) if callee is not None else
                              (f"calls {target:#x}, where no function starts", f"{site:#x}"))
            else:
                how = "jumps" if kind == INDIRECT_JUMP else "calls"
                listed.append((f"{how} through a pointer at {site:#x}", f"{site:#x}"))
    if len(read) > completed:
        notes.append(f"{len(read) - completed:,} function(s) without a stack file: frames and calls read from the "
                     f"{machine.architecture} machine code of the ELF file")
    if completed:
        notes.append(f"{completed:,} function(s) with a .su file only: calls read from the {machine.architecture} "
                     "machine code of the ELF file")
    notes.extend(machine.notes)


def _configured_frames(graph: _Graph, config, notes: list) -> None:
    for name, frame in sorted(config.frames.items()):
        indexes = graph.by_name.get(name) or [i for i, n in enumerate(graph.names) if n == name]
        if not indexes:
            index = graph.add(name, name, "", frame, "static", "", "configured", False, True)
            graph.assumed[index].append(f"{name}'s frame {frame:,} B, calling nothing (configured)")
            continue
        for index in indexes:
            graph.frames[index] = frame
            graph.sources[index] = "configured"
            graph.own_problems[index] = None
            graph.qualifiers[index] = "static"
            graph.assumed[index].append(f"{name}'s frame {frame:,} B (configured)")
        for caller in range(len(graph.names)):  # calls to it that found no stack information
            calls = graph.calls[caller]
            for at, (target, site) in enumerate(calls):
                if target == f"calls {name}, which has no stack information":
                    calls[at] = (indexes[0], site)


def _configured_calls(graph: _Graph, config, owners, notes: list) -> None:
    for caller, targets in sorted(config.calls.items()):
        indexes = graph.by_name.get(caller) or [i for i, n in enumerate(graph.names) if n == caller]
        if not indexes:
            notes.append(f"[stack] calls names {caller}, which is not in the build")
            continue
        for index in indexes:
            calls = graph.calls[index]
            through = [c for c in calls if isinstance(c[0], str) and " through a pointer at " in c[0]]
            if not through:
                notes.append(f"[stack] calls names {caller}, which makes no call through a pointer")
                continue
            kept = [c for c in calls if c not in through]
            site = through[0][1]
            for name in targets:
                target = graph.global_named(name, owners)
                if target is None:  # a static of that name, where there is one only
                    statics = [i for i, n in enumerate(graph.names) if n == name]
                    target = statics[0] if len(statics) == 1 else None
                kept.append((target if target is not None else f"calls {name}, which has no stack information",
                             site))
            graph.calls[index] = kept
            graph.assumed[index].append(f"{caller}'s calls through pointers reach {', '.join(targets)} (configured)")


# --- entry points -----------------------------------------------------------------------------

def _vector_table(elf, known, functions: Optional[dict] = None) -> Optional[list]:
    """(reset handler, [interrupt handlers]) by name from the ELF's Cortex-M vector table, or None;
    of the names at one address (weak aliases of a default handler) the one `known` holds.
    `functions`: address -> [MachineFunction], where the machine code was read (else the symbols are)."""
    if elf is None:
        return None
    from tarnwick.support.files import FileProblem, open_regular
    from tarnwick.toolchains.elf import elf_file as elf_format

    if elf.machine != elf_format.EM_ARM:
        return None

    class _At(dict):  # address -> the name there, looked up only for the table's words
        def get(self, start, default=None):
            listed = functions.get(start)
            if not listed:
                return default
            names = [f.name for f in listed]
            return next((n for n in names if n in known), names[0])

    if functions is not None:
        at: dict = _At()
    else:
        at = {}
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
        with open_regular(elf.path) as handle:
            handle.seek(table.offset + offset)
            words = struct.unpack(("<" if elf.little_endian else ">") + f"{count}I", handle.read(count * 4))
    except (OSError, FileProblem, struct.error):
        return None
    names = [at.get(word & ~1) if word & 1 else None for word in words[1:]]
    if not names or names[0] is None:
        return None
    interrupts = []
    for name in names[1:]:
        if name and name != names[0] and name not in interrupts:
            interrupts.append(name)
    return names[0], interrupts


def _handlers(names) -> list:
    """The names that say their function handles an interrupt (ending as a pattern's `$` would:
    at the end, or before a last line break)."""
    endings = _HANDLER_ENDINGS
    return [n for n in names if n.endswith(endings) or n.endswith("\n") and n[:-1].endswith(endings)]


def _entry_points(elf, config, graph: _Graph, threads: list, machine=None) -> tuple:
    """[(name, kind)] of the program's entry points, and a note on where they come from: the
    configuration, the vector table, the names of handlers, else the ELF header's entry."""
    functions = machine.by_address if machine is not None and machine.by_address else None
    vectors = _vector_table(elf, graph.by_name, functions)
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
        interrupts = sorted(n for n in _handlers(graph.by_name) if n != reset)
        note = "entry points by name (Reset_Handler and the *_Handler and *_IRQHandler functions): no vector table was read"
        if reset is None and elf is not None:
            reset = _entry_symbol(elf, graph)
            if reset is not None:
                note = f"the entry point is the ELF header's ({reset}): no vector table or handler names were found"
    if reset:
        entries.append((reset, "reset"))
    entries += [(name, "interrupt") for name in interrupts]
    entries += [(thread.entry, "thread") for thread in threads]
    return entries, note


def _entry_symbol(elf, graph: _Graph) -> Optional[str]:
    """The function the ELF header's entry address starts (ESP8266's ENTRY(call_user_start))."""
    address = elf.entry & ~1 if elf.machine == 40 else elf.entry
    found = graph.by_address.get(address)
    if found is not None:
        return graph.names[found]
    return next((name for name, start, *_ in elf.symbols if start == address and name in graph.by_name), None)


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
    """The stack of a build, or None when no stack file of it is found and none was asked for
    (a build without stack files costs nothing more)."""
    import gc

    # hundreds of thousands of small objects and no cycles: the collector's passes over all else
    # alive (the model, the report) would cost more than the check itself
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _analyse_stack(model, config, folders)
    finally:
        if collecting:
            gc.enable()


def _analyse_stack(model, config, folders) -> Optional[StackResult]:
    units, notes = read_units(model, list(folders))
    if not units and not folders and not asked_for(config):
        return None
    # what the stack files describe, which the machine code need not: only a build with an ELF reads it
    described = frozenset((name, os.path.basename(where.split(":")[0])) if local else name
                          for unit in units if unit.has_calls
                          for _title, name, _shown, _frame, _qualifier, where, local in unit.rows) if model.elf_path else _NONE
    elf, machine = _machine_code(model, notes, described)
    if not units and machine is None:
        notes.append(f"no .su or .ci file found in {', '.join(folders) or 'the build'} or beside the object files "
                     "the map names" + ("" if model.elf_path else ", and no ELF file whose machine code tells the frames"))
    graph = _build_graph(units, machine, model, config, notes)
    worst, bounded, cause, best, assumed = graph.solve()
    functions = FunctionList(graph, worst, bounded, cause, best, assumed)
    place = functions.place
    if graph.ambiguous:
        notes.append("defined in more than one unit, the largest taken: " + ", ".join(sorted(set(graph.ambiguous))[:10]))
    threads: list = []
    if config.threads or config.thread_stacks or model.elf_path:  # else none to find: the module is not loaded
        from tarnwick.analysis.stack_threads import find_threads

        threads, thread_notes = find_threads(model, config, _NamesAt(graph), elf)
        notes += thread_notes
    entries = []
    named, entry_note = _entry_points(elf, config, graph, threads, machine)
    for name, kind in named:
        index = _pick(graph, name)
        if index is None:
            entries.append(EntryPoint(name, kind, 0, False, [name], f"{name} has no stack information"))
            continue
        entries.append(EntryPoint(name, kind, worst[index], bounded[index], _chain(index, best, graph),
                                  _reason(cause[index], graph), place[index], tuple(sorted(assumed[index]))))
    if entry_note:
        notes.append(entry_note)
    reservation, source = _reservation(model, config)
    result = _verdict(functions, entries, reservation, source, config, len(units), notes)
    result.threads = _thread_stacks(threads, entries, config)
    result.sources = {name: graph.sources.count(name) for name in SOURCES if name in graph.sources}
    return result


class _NamesAt:
    """address -> the name of the function the graph has there, without a table of them all."""

    def __init__(self, graph: _Graph):
        self.graph = graph

    def get(self, address, default=None):
        index = self.graph.by_address.get(address)
        return self.graph.names[index] if index is not None else default

    def __contains__(self, address) -> bool:
        return address in self.graph.by_address


def _machine_code(model, notes: list, described: frozenset = frozenset()) -> tuple:
    """(the ELF read again, its functions' machine code) where the build has an ELF file."""
    if not model.elf_path:
        return None, None
    from tarnwick.toolchains.elf import elf_file as elf_format
    from tarnwick.toolchains.elf.machine_code import MachineCodeError, read_machine_code

    try:
        elf = elf_format.read_elf(model.elf_path)
    except elf_format.ElfError as exc:
        notes.append(f"{model.elf_path}: {exc}: no frame is read from its machine code")
        return None, None
    try:
        machine = read_machine_code(model.elf_path, elf, described)
    except MachineCodeError as exc:
        notes.append(f"the machine code of {model.elf_path} cannot be read ({exc})")
        return elf, None
    if machine is None:
        notes.append(f"{elf.machine_name} machine code is not read: functions without a stack file have no "
                     "stack information")
    return elf, machine


def _thread_stacks(threads: list, entries: list, config) -> list:
    by_entry = {e.name: e for e in entries if e.kind == "thread"}
    stacks = []
    for thread in threads:
        entry = by_entry.get(thread.entry)
        if entry is None:
            continue
        stacks.append(ThreadStack(thread.name, thread.entry, entry.worst_case + config.exception_frame_bytes,
                                  thread.reservation, entry.bounded, entry.reason, thread.found, list(entry.path),
                                  thread.stack_symbol, entry.assumptions))
    return stacks


def _pick(graph: _Graph, name: str) -> Optional[int]:
    candidates = graph.by_name.get(name, [])
    if not candidates:
        candidates = [i for i, n in enumerate(graph.names) if n == name]
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
    result.path = [(e.name, e.kind, list(e.path)) for e in [reset, *interrupts]]
    result.assumptions = tuple(sorted({a for e in [reset, *interrupts] for a in e.assumptions}))
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
    if result.assumptions:
        result.detail += "; assuming " + "; ".join(result.assumptions)
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
    old_threads = {t.get("name"): t for t in before.get("threads", []) if isinstance(t, dict)}
    for thread in now.threads:
        old = old_threads.get(thread.name)
        if not old or not isinstance(old.get("worst_case"), int) or old["worst_case"] == thread.worst_case:
            continue
        headroom = f", headroom {thread.headroom:,} B" if thread.headroom is not None else ""
        changes.append((f"thread {thread.name}", f"worst case {old['worst_case']:,} B -> {thread.worst_case:,} B "
                                                 f"({thread.worst_case - old['worst_case']:+,} B){headroom}"))
    return changes


# --- the finding, beside the analysis's own ------------------------------------------------------

def stack_issues(result: StackResult) -> list:
    """The findings of a stack that does not fit, or may not, and of each thread that does not fit."""
    from tarnwick.domain import Issue, IssueCategory, IssueSeverity

    entries = tuple(entry for entry, _kind, _chain in result.path)
    issues = []
    if result.verdict == "does not fit":
        issues.append(Issue("stack.overflow", IssueSeverity.ERROR, IssueCategory.STACK, "Stack may overflow",
                            f"The {result.detail}.", entries,
                            "Reduce the deepest chain's frames or calls, or reserve more stack."))
    elif result.verdict == "may not fit":
        issues.append(Issue("stack.unbounded", IssueSeverity.WARNING, IssueCategory.STACK_UNBOUNDED,
                            "Stack use not bounded", f"The {result.detail}.", entries,
                            "Bound the recursion or the calls through pointers, or name the missing stack files."))
    for thread in result.threads:
        if thread.fits is False:
            issues.append(Issue("stack.thread_overflow", IssueSeverity.ERROR, IssueCategory.STACK,
                                f"Thread {thread.name}'s stack may overflow",
                                f"Thread {thread.name}'s worst case {'' if thread.bounded else 'at least '}"
                                f"{thread.worst_case:,} B ({thread.entry} and a {result.exception_frame} B exception "
                                f"frame) exceeds its stack of {thread.reservation:,} B by "
                                f"{thread.worst_case - thread.reservation:,} B.", (thread.entry,),
                                "Reduce the thread's deepest chain, or give it a larger stack."))
    return issues


def with_stack(report, result: Optional[StackResult]):
    """The report with the stack's finding among its findings, counted with them."""
    return report.with_findings(stack_issues(result) if result is not None else [])
