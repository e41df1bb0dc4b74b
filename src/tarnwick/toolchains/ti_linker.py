"""TI linker maps (TI ARM, MSP430 and C2000 code generation tools; `--map_file=FILE`). The
MEMORY CONFIGURATION states each region with its use in hex; the SEGMENT ALLOCATION MAP the
kind of every output section (r-x, rw-); the SECTION ALLOCATION MAP each output section with
its input sections ("library : object (section)"), holes and what the linker generated; the
GLOBAL SYMBOLS their addresses, without sizes, and their count ("[845 symbols]"), the map's
last line. TI counts a region's use as the sum of its sections, gaps between them left out.
C2000 addresses and sizes are 16-bit words; the model counts bytes.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Iterable, Optional

from tarnwick.toolchains.base import (
    InputSection, MemoryCategory, MemoryRegion, Section, Toolchain, region_containing,
)
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.map_text import reads_lines
from tarnwick.toolchains.raw import RawSymbol
from tarnwick.toolchains.region_kinds import region_category
from tarnwick.toolchains.vendor_maps import Stated, assemble

_BANNER = re.compile(r"^\s*(TI ARM|MSP430|TMS320C2000|TMS320C6x|C2000|ARM) Linker", re.M)
_HEADINGS = ("MEMORY CONFIGURATION", "SEGMENT ALLOCATION MAP", "SECTION ALLOCATION MAP", "MODULE SUMMARY",
             "LINKER GENERATED COPY TABLES", "LINKER GENERATED HANDLER TABLE")
_HEX = re.compile(r"^[0-9a-fA-F]{4,16}$")
_PAGE = re.compile(r"^[0-9a-fA-F]{1,8}$")
_ATTRIBUTE = re.compile(r"\b(UNINITIALIZED|NOLOAD|DSECT|COPY|NOINIT)\b")
_RUN_ADDRESS = re.compile(r"RUN ADDR\s*=\s*([0-9a-fA-F]+)")
_NOT_IN_MEMORY = {"DSECT", "COPY"}  # sections the link describes but never places in memory
_SYMBOL_COUNT = re.compile(r"^\[(\d+) symbols\]$")
# MSP430 FRAM parts keep code, constants, vectors and signatures in FRAM: not RAM, whatever
# the RWIX attributes say
_NON_VOLATILE = re.compile(r"^(?:.*FRAM.*|INT\d+|RESET|.*SIGNATURE|BEGIN|.*VECT.*)$", re.IGNORECASE)


def looks_like(head: str) -> bool:
    return bool(_BANNER.search(head)) or ("MEMORY CONFIGURATION" in head and "SECTION ALLOCATION MAP" in head)


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


def _is_hex(text: str) -> bool:
    return bool(_HEX.match(text))


@dataclass
class _Output:
    name: str
    address: int
    size: int
    attributes: str
    line: int
    inputs: list = field(default_factory=list)


class _Reader:
    def __init__(self, path: str):
        self.path = path
        self.arm = False
        self.regions: list = []  # (name, origin, length, used, attributes)
        self.kinds: dict = {}  # output section -> "r-x"
        self.outputs: list = []
        self.symbols: dict = {}
        self.summary: Optional[list] = None  # MODULE SUMMARY grand total: code, ro data, rw data
        self.pending_name = ""
        self.library = ""
        self.c2000 = False  # sizes and addresses in 16-bit words
        self.region_lines: dict = {}  # region name -> the line that states it
        self.symbol_count: Optional[int] = None  # "[N symbols]", the last line of a complete map
        self.notes: list = []

    def read(self, lines: Iterable[str]) -> None:
        part = None
        for number, line in enumerate(lines, 1):
            stripped = line.strip()
            if not stripped:
                continue
            if "Linker" in stripped and number < 5:
                self.arm = self.arm or "ARM" in stripped
                self.c2000 = self.c2000 or "C2000" in stripped or "C28" in stripped
            self.symbol_count = None  # only the last line counts
            first = stripped[0]
            if first == "[":
                counted = _SYMBOL_COUNT.match(stripped)
                if counted:
                    self.symbol_count = int(counted.group(1))
                    continue
            if "A" <= first <= "Z":  # headings are capitals; the rows under them start otherwise
                heading = next((h for h in _HEADINGS if stripped.startswith(h)), None)
                if heading or stripped.startswith("GLOBAL SYMBOLS"):
                    # the symbols come twice (by name, by address): read the first listing
                    part = heading or ("SYMBOLS" if not self.symbols else None)
                    continue
            if first in "-*+|" and set(stripped) <= {"-", " ", "*", "+", "|"}:
                continue
            if part is None:
                continue
            try:
                self._line(part, line, stripped, number)
            except MapParseError:
                raise
            except (ValueError, IndexError):
                raise MapParseError(self.path, f"expected a row of the {(part or 'map').lower()} with its "
                                    "addresses and sizes in hex", number) from None

    def _line(self, part, line: str, stripped: str, number: int) -> None:
        tokens = stripped.split()
        if part == "MEMORY CONFIGURATION":
            if len(tokens) >= 5 and all(_is_hex(t) for t in tokens[1:5]):
                row = (tokens[0], int(tokens[1], 16), int(tokens[2], 16), int(tokens[3], 16), " ".join(tokens[5:]))
                seen = self.region_lines.get(row[0])
                if seen is None:
                    self.region_lines[row[0]] = number
                    self.regions.append(row)
                elif next(r for r in self.regions if r[0] == row[0]) == row:
                    self.notes.append(f"memory region {row[0]} is listed twice alike (lines {seen} and {number})")
                else:
                    raise MapParseError(self.path, f"memory region {row[0]} is listed again, with other figures "
                                        f"than on line {seen}", number)
        elif part == "SEGMENT ALLOCATION MAP":
            if len(tokens) >= 6 and line[:1].isspace() and _is_hex(tokens[0]):
                self.kinds[tokens[5]] = tokens[4]
        elif part == "SECTION ALLOCATION MAP":
            self._section_map(line, stripped, tokens, number)
        elif part == "MODULE SUMMARY" and stripped.startswith("Grand Total:"):
            figures = [int(t) for t in tokens[2:5]]
            if len(figures) != 3:
                raise ValueError(stripped)
            self.summary = figures
        elif part == "SYMBOLS" and len(tokens) in (2, 3) and _is_hex(tokens[0]) \
                and (len(tokens) == 2 or _PAGE.match(tokens[1])):
            # C2000 lists each symbol's data page between its address and its name
            self.symbols.setdefault((tokens[-1], int(tokens[0], 16)), None)

    def _section_map(self, line: str, stripped: str, tokens: list, number: int) -> None:
        if not line[:1].isspace():  # an output section, or its name alone with its row under it
            if tokens[0] == "*" and self.pending_name:
                tokens = [self.pending_name] + tokens[1:]
            if len(tokens) == 1 and not _is_hex(tokens[0]):
                self.pending_name = tokens[0]
                return
            self.pending_name = ""
            if len(tokens) < 4 or not (_is_hex(tokens[2]) and _is_hex(tokens[3])):
                if tokens[0] in ("output", "section"):  # the table's heading
                    return
                raise ValueError(stripped)
            self.outputs.append(_Output(tokens[0], int(tokens[2], 16), int(tokens[3], 16),
                                        " ".join(tokens[4:]), number))
            self.library = ""
            return
        if not self.outputs or len(tokens) < 3 or not (_is_hex(tokens[0]) and _is_hex(tokens[1])):
            return
        address, size, text = int(tokens[0], 16), int(tokens[1], 16), stripped.split(None, 2)[2]
        self.outputs[-1].inputs.append(self._input(address, size, text))

    def _input(self, address: int, size: int, text: str) -> InputSection:
        if text.startswith("--HOLE--"):
            return InputSection("--HOLE--", address, size, None, is_fill=True)
        if text.startswith("("):  # generated by the linker: copy tables, load images
            return InputSection(text[1:text.find(")")] if ")" in text else text, address, size, "linker generated")
        library, colon, member = text.partition(" : ")
        if text.startswith(": "):
            library, member = self.library, text[2:]
        elif not colon:
            library, member = "", text
        self.library = library
        object_file, _, section = member.partition(" (")
        origin = f"{library}({object_file})" if library else object_file
        return InputSection(section.rstrip(")") or object_file, address, size, origin)


def parse(lines: Iterable[str], path: str, config=None):
    reader = _Reader(path)
    reader.read(lines)
    if not reader.outputs:
        raise MapParseError(path, "a TI linker map without its SECTION ALLOCATION MAP")
    if reader.symbol_count is None:
        raise MapParseError(path, "a TI linker map cut short: it does not end with the count of its global "
                            "symbols ('[N symbols]')")
    if reader.c2000:
        _words_to_bytes(reader)
    return _model(reader, config)


def _words_to_bytes(reader: _Reader) -> None:
    """C2000 addresses and sizes count 16-bit words: the model counts bytes."""
    reader.regions = [(name, origin * 2, length * 2, used * 2, attrs) for name, origin, length, used, attrs in reader.regions]
    for out in reader.outputs:
        out.address, out.size = out.address * 2, out.size * 2
        out.attributes = _RUN_ADDRESS.sub(lambda m: f"RUN ADDR = {int(m.group(1), 16) * 2:x}", out.attributes)
        out.inputs = [InputSection(i.name, i.address * 2, i.size * 2, i.origin, i.is_fill) for i in out.inputs]
    reader.symbols = {(name, address * 2): None for name, address in reader.symbols}
    reader.notes.append("C2000 addresses and sizes are 16-bit words: shown here in bytes (twice the map's figures)")


def _category(name: str, attributes: str):
    """A TI region's kind: FRAM, vectors, signatures and the C2000 entry point are non-volatile
    memory; the rest by its name and attributes."""
    if _NON_VOLATILE.match(name):
        return MemoryCategory.FLASH
    return region_category(name, attributes)


def _attributes(text: str) -> str:
    """TI's "R  X", "RW X", "RWIX" as the letters GNU ld uses."""
    return "".join(letter for letter in text.lower() if letter in "rwx")


def _model(reader: _Reader, config):
    regions = [MemoryRegion(name, origin, length, _category(name, _attributes(attrs)), _attributes(attrs))
               for name, origin, length, _used, attrs in reader.regions]
    stated = Stated(regions={name: used for name, _o, _l, used, _a in reader.regions})
    notes: list = list(reader.notes)
    sections = []
    for out in reader.outputs:
        flags = set(_ATTRIBUTE.findall(out.attributes))
        if flags & _NOT_IN_MEMORY or not out.size:
            continue
        run = _RUN_ADDRESS.search(out.attributes)
        address = int(run.group(1), 16) if run else out.address
        load = out.address if run else None
        kind = reader.kinds.get(out.name, "")
        contents = not flags & {"UNINITIALIZED", "NOLOAD", "NOINIT"}
        where = region_containing(regions, address)
        loads_in = region_containing(regions, load) if load is not None else None
        inputs = tuple(out.inputs)
        if run:  # the rows give load addresses; the symbols are where the code runs
            shift = address - out.address
            inputs = tuple(InputSection(i.name, i.address + shift, i.size, i.origin, i.is_fill) for i in inputs)
        sections.append(Section(out.name, address, out.size, where.name if where else None,
                                load_region=loads_in.name if loads_in else None, load_address=load,
                                has_contents=contents, is_code="x" in kind,
                                inputs=inputs, is_writable="w" in kind or not contents))
    _aliases(reader, regions, sections, stated, notes)
    symbols = [(name, address, None, None) for name, address in reader.symbols]  # RawSymbol's fields
    return assemble(Toolchain.TI, reader.path, regions, sections, symbols, config, sizes_given=False, thumb=reader.arm,
                    notes=notes, stated=stated, use_counts_gaps=False)


def _aliases(reader: _Reader, regions: list, sections: list, stated: Stated, notes: list) -> None:
    """One memory seen at two addresses (MSP432's SRAM_CODE and SRAM_DATA) is stated as used
    in both; its sections are placed in one, and the use is counted there once."""
    placed = {s.execution_region for s in sections if s.size}
    # a twin is a region of the same length and use that holds sections: found by that key
    holders: dict = {}
    for name, _origin, length, used, _attrs in reader.regions:
        if name in placed:
            holders.setdefault((length, used), name)
    for name, _origin, length, used, _attrs in reader.regions:
        twin = holders.get((length, used))
        if used and name not in placed and twin is not None and twin != name:
            stated.regions.pop(name, None)
            notes.append(f"{name} and {twin} state the same use (0x{used:x}): one memory at two addresses; "
                         f"its sections are placed in {twin}, where they count once")
    if reader.summary is not None:
        code, read_only, writable = reader.summary
        scale = 2 if reader.c2000 else 1
        notes.append(f"the MODULE SUMMARY states code {code * scale:,} B, ro data {read_only * scale:,} B and rw "
                     f"data {writable * scale:,} B; flash and RAM here follow the section table")


read = reads_lines(parse)
