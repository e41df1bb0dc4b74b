"""Stack frames and calls read from a linked image's machine code: for the functions the
compiler wrote no stack file for (newlib's and every prebuilt library's, assembly, other
compilers' objects). Arm Thumb/Thumb-2 and RISC-V (RV32, RV64, compressed instructions) are
read; the instructions are decoded by native code (native/fast/machine_code.cpp), which follows
each function's control flow with the stack depth along every path: its frame is the deepest
point, its calls the bl/blx/jal targets and the tail calls (a branch out of the function).

What the code does not bound says why: a stack allocation by a register's amount (alloca, a
variable-length array), a change of sp it cannot follow, a call or jump through a pointer (kept
as such, for `[stack] calls` to name its targets), an instruction it cannot decode."""

from __future__ import annotations

import mmap
import re

from tarnwick._native import elf_code_symbols, machine_frames
from tarnwick.support.files import FileProblem, open_regular
from tarnwick.support.records import field, record
from tarnwick.toolchains.elf import elf_file as elf_format

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

THUMB, RV32, RV64 = 1, 2, 3
CALL, JUMP, INDIRECT_CALL, INDIRECT_JUMP = 0, 1, 2, 3
EM_RISCV = 243
SHF_EXECINSTR = 0x4
_PROBLEMS = {
    1: "allocates a variable amount of stack (alloca or a variable-length array) at {at:#x}",
    2: "sets sp in a way its machine code does not show at {at:#x}",
    3: "reaches {at:#x} with two stack depths",
    4: "holds an instruction that cannot be decoded at {at:#x}",
    5: "releases more stack than it took at {at:#x}",
    6: "has a table branch whose table cannot be read at {at:#x}",
}
_COLD = re.compile(r"^(.+)\.cold(?:\.\d+)?$")  # a part GCC split off a function (its rarely run code)
# libgcc's switch helpers for Thumb-1: the case table follows the call
_CASE_HELPERS = {"__gnu_thumb1_case_sqi": 1, "__gnu_thumb1_case_uqi": 2, "__gnu_thumb1_case_shi": 3,
                 "__gnu_thumb1_case_uhi": 4, "__gnu_thumb1_case_si": 5}
_MOST_MEMORY = 256 << 20  # of sections read for jump tables


class MachineCodeError(ValueError):
    """An image whose machine code cannot be read; `str()` says why."""


@record(slots=True)
class MachineFunction:
    name: str
    address: int
    size: int
    binding: int  # ELF: 0 local, 1 global, 2 weak
    file: Optional[str]  # a local's source file, as the symbol table's FILE entry before it names it
    frame: int
    problem: Optional[str]  # why its frame is not bounded
    calls: tuple = ()  # (kind, target address, call site)

    @property
    def local(self) -> bool:
        return self.binding == 0


@record
class MachineCode:
    architecture: str
    functions: list  # MachineFunction, by address (aliases of one address share its figures)
    by_address: dict = field(default_factory=dict)  # address -> [MachineFunction]
    by_name: dict = field(default_factory=dict)  # name -> [MachineFunction]
    notes: list = field(default_factory=list)


def architecture_of(elf) -> Optional[int]:
    if elf.machine == elf_format.EM_ARM:
        return THUMB
    if elf.machine == EM_RISCV:
        return RV64 if elf.bits == 64 else RV32
    return None


def read_machine_code(path: str, elf=None, described: frozenset = frozenset()) -> Optional[MachineCode]:
    """The frames and calls of every function of the ELF at `path`, or None for an architecture
    whose machine code is not read; a function `described` holds (the stack files give its frame
    and calls: a global's name, a static's (name, source file)) is listed without its code walked
    (frame None). Raises MachineCodeError."""
    try:
        elf = elf or elf_format.read_elf(path)
    except elf_format.ElfError as exc:
        raise MachineCodeError(str(exc)) from None
    arch = architecture_of(elf)
    if arch is None:
        return None
    table = next((s for s in elf.sections if s.name == elf.symbol_table), None)
    if table is None or not 0 < table.link < len(elf.sections):
        return MachineCode(_NAMES[arch], [], notes=[f"{path} has no symbol table: no function's machine code is read"])
    try:
        with open_regular(path) as handle, mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
            symbols = _code_symbols(data, elf, table)
            return _analyse(data, elf, arch, symbols, described)
    except FileProblem as exc:
        raise MachineCodeError(str(exc)) from None
    except (OSError, ValueError) as exc:
        raise MachineCodeError(getattr(exc, "strerror", None) or str(exc)) from None


_NAMES = {THUMB: "Arm Thumb", RV32: "RISC-V (RV32)", RV64: "RISC-V (RV64)"}


def _code_symbols(data, elf, table) -> list:
    strings = elf.sections[table.link]
    entry = 24 if elf.bits == 64 else 16
    reader = elf_format._Reader(data, elf.little_endian, 2 if elf.bits == 64 else 1)
    extended = elf_format._extended_indexes(reader, elf, table, table.size // entry)
    code = [s.flags & SHF_EXECINSTR != 0 and s.has_contents and s.allocated for s in elf.sections]
    return elf_code_symbols(data, table.offset, table.size // entry, entry, strings.offset, strings.size,
                            elf.bits == 64, elf.little_endian, False, code, extended)


def _analyse(data, elf, arch: int, symbols: list, described: frozenset = frozenset()) -> MachineCode:
    result = MachineCode(_NAMES[arch], [])
    by_section: dict = {}
    mapping: dict = {}  # section -> [(address, kind)]
    helpers: dict = {}
    file = None
    thumb = arch == THUMB
    for name, value, size, section, binding, kind in symbols:
        if kind == "f":
            entry = (value & ~1 if thumb else value, size, binding, name, file if binding == 0 else None)
            listed = by_section.get(section)
            if listed is None:
                by_section[section] = [entry]
            else:
                listed.append(entry)
            if thumb and name in _CASE_HELPERS:
                helpers[entry[0]] = _CASE_HELPERS[name]
        elif kind == "F":  # as the assembler's .file names it: the source's name, a folder before it at times
            file = name.replace("\\", "/").rsplit("/", 1)[-1]
        else:
            mapping.setdefault(section, []).append((value, kind))
    memory, held = [], 0
    for section in elf.sections:  # where jump tables lie: code and read-only data
        if section.allocated and section.has_contents and section.size and not section.flags & elf_format.SHF_WRITE:
            held += section.size
            if held > _MOST_MEMORY or section.offset + section.size > len(data):
                continue
            memory.append((section.address, bytes(data[section.offset:section.offset + section.size])))
    contents = dict(memory)
    for section_index, entries in sorted(by_section.items()):
        section = elf.sections[section_index]
        code = contents.get(section.address)
        if code is None or len(code) != section.size:
            code = bytes(data[section.offset:section.offset + section.size])
        if len(code) != section.size:
            raise MachineCodeError(f"section {section.name} runs past the end of the file")
        entries.sort()
        _analyse_section(result, code, section, arch, elf.little_endian, entries,
                         sorted(mapping.get(section_index, [])), memory, helpers, described)
    by_address, by_name = result.by_address, result.by_name
    for function in result.functions:
        listed = by_address.get(function.address)
        if listed is None:
            by_address[function.address] = [function]
        else:
            listed.append(function)
        listed = by_name.get(function.name)
        if listed is None:
            by_name[function.name] = [function]
        else:
            listed.append(function)
    return result


def _analyse_section(result: MachineCode, code: bytes, section, arch: int, little: bool, entries: list,
                     marks: list, memory: list, helpers: dict, described: frozenset = frozenset()) -> None:
    """The functions of one code section, `entries` (address, size, binding, name, file) by address."""
    low, end_of_section = section.address, section.address + section.size
    data_ranges, arm_ranges = [], []
    for index, (start, kind) in enumerate(marks):
        end = marks[index + 1][0] if index + 1 < len(marks) else end_of_section
        if kind == "d" and end > start:
            data_ranges.append((start, end))
        elif kind == "a" and end > start:
            arm_ranges.append((start, end))
    starts = sorted({entry[0] for entry in entries} | {start for start, _ in data_ranges})
    first_of = {}
    for entry in entries:
        first_of.setdefault(entry[3], entry[0])
    ranges: dict = {}  # address -> the ranges of the function there, its split-off parts after its own
    parts: list = []
    following = 0
    for address, size, _binding, name, _file in entries:
        if not low <= address < end_of_section:
            continue
        if size:
            extent = (address, min(address + size, end_of_section))
        else:  # no size (assembly without .size): to the next symbol
            while following < len(starts) and starts[following] <= address:
                following += 1
            extent = (address, starts[following] if following < len(starts) else end_of_section)
        if ".cold" in name:
            cold = _COLD.match(name)
            parent = first_of.get(cold[1]) if cold else None
            if parent is not None:
                parts.append((parent, extent))
                continue
        if address not in ranges:
            ranges[address] = [extent]
    for parent, extent in parts:
        if parent in ranges:
            ranges[parent].append(extent)
    if described:  # walk only what no stack file describes: a global by its name, a static by its file too
        undescribed = {address for address, _size, binding, name, file in entries
                       if (name if binding else (name, file)) not in described}
        ranges = {address: extents for address, extents in ranges.items() if address in undescribed}
    walked = machine_frames(code, low, little, arch, list(ranges.values()), data_ranges, memory, helpers)
    figures = dict(zip(ranges, walked))
    add = result.functions.append
    for address, size, binding, name, file in entries:
        found = figures.get(address)
        if found is None:
            if low <= address < end_of_section and (name if binding else (name, file)) in described:
                add(MachineFunction(name, address, size, binding, file, None, None, ()))
            continue
        frame, problem, problem_at, calls = found
        if arm_ranges and any(start <= address < end for start, end in arm_ranges):
            text = "is Arm (A32) code, whose machine code is not read"
        else:
            text = _PROBLEMS[problem].format(at=problem_at) if problem else None
        add(MachineFunction(name, address, size, binding, file, frame, text, calls))
