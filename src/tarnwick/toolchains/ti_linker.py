"""TI linker maps (TI ARM, MSP430 and C2000 code generation tools; `--map_file=FILE`). The
MEMORY CONFIGURATION states each region with its use in hex; the SEGMENT ALLOCATION MAP the
kind of every output section (r-x, rw-); the SECTION ALLOCATION MAP each output section with
its input sections ("library : object (section)"), holes and what the linker generated; the
GLOBAL SYMBOLS their addresses, without sizes. TI counts a region's use as the sum of its
sections, gaps between them left out.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Iterable, Optional

from tarnwick.toolchains.base import InputSection, MemoryRegion, Section, Toolchain, region_containing
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.raw import RawSymbol
from tarnwick.toolchains.region_kinds import region_category
from tarnwick.toolchains.vendor_maps import Stated, assemble, place_symbols

_BANNER = re.compile(r"^\s*(TI ARM|MSP430|TMS320C2000|TMS320C6x|C2000|ARM) Linker", re.M)
_HEADINGS = ("MEMORY CONFIGURATION", "SEGMENT ALLOCATION MAP", "SECTION ALLOCATION MAP", "MODULE SUMMARY",
             "LINKER GENERATED COPY TABLES", "LINKER GENERATED HANDLER TABLE")
_HEX = re.compile(r"^[0-9a-fA-F]{4,16}$")
_ATTRIBUTE = re.compile(r"\b(UNINITIALIZED|NOLOAD|DSECT|COPY|NOINIT)\b")
_RUN_ADDRESS = re.compile(r"RUN ADDR\s*=\s*([0-9a-fA-F]+)")
_NOT_IN_MEMORY = {"DSECT", "COPY"}  # sections the link describes but never places in memory


def looks_like(head: str) -> bool:
    return bool(_BANNER.search(head)) or ("MEMORY CONFIGURATION" in head and "SECTION ALLOCATION MAP" in head)


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

    def read(self, lines: Iterable[str]) -> None:
        part = None
        for number, line in enumerate(lines, 1):
            stripped = line.strip()
            if not stripped:
                continue
            if "Linker" in stripped and number < 5:
                self.arm = self.arm or "ARM" in stripped
            heading = next((h for h in _HEADINGS if stripped.startswith(h)), None)
            if heading or stripped.startswith("GLOBAL SYMBOLS"):
                # the symbols come twice (by name, by address): read the first listing
                part = heading or ("SYMBOLS" if not self.symbols else None)
                continue
            if set(stripped) <= {"-", " ", "*", "+", "|"}:
                continue
            try:
                self._line(part, line, stripped, number)
            except (ValueError, IndexError):
                raise MapParseError(self.path, f"expected a row of the {(part or 'map').lower()} with its "
                                    "addresses and sizes in hex", number) from None

    def _line(self, part, line: str, stripped: str, number: int) -> None:
        tokens = stripped.split()
        if part == "MEMORY CONFIGURATION":
            if len(tokens) >= 5 and all(_is_hex(t) for t in tokens[1:5]):
                self.regions.append((tokens[0], int(tokens[1], 16), int(tokens[2], 16), int(tokens[3], 16),
                                     " ".join(tokens[5:])))
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
        elif part == "SYMBOLS" and len(tokens) == 2 and _is_hex(tokens[0]):
            self.symbols.setdefault((tokens[1], int(tokens[0], 16)), None)

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
    return _model(reader, config)


def _attributes(text: str) -> str:
    """TI's "R  X", "RW X", "RWIX" as the letters GNU ld uses."""
    return "".join(letter for letter in text.lower() if letter in "rwx")


def _model(reader: _Reader, config):
    regions = [MemoryRegion(name, origin, length, region_category(name, _attributes(attrs)), _attributes(attrs))
               for name, origin, length, _used, attrs in reader.regions]
    stated = Stated(regions={name: used for name, _o, _l, used, _a in reader.regions})
    notes: list = []
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
    place_symbols(sections, [RawSymbol(name, address, None) for name, address in reader.symbols])
    return assemble(Toolchain.TI, reader.path, regions, sections, config, sizes_given=False, thumb=reader.arm,
                    notes=notes, stated=stated, use_counts_gaps=False)


def _aliases(reader: _Reader, regions: list, sections: list, stated: Stated, notes: list) -> None:
    """One memory seen at two addresses (MSP432's SRAM_CODE and SRAM_DATA) is stated as used
    in both; its sections are placed in one, and the use is counted there once."""
    placed = {s.execution_region for s in sections if s.size}
    for name, _origin, length, used, _attrs in reader.regions:
        twin = next((other for other, _o, other_length, other_used, _a in reader.regions
                     if other != name and other_length == length and other_used == used and other in placed),
                    None)
        if used and name not in placed and twin is not None:
            del stated.regions[name]
            notes.append(f"{name} and {twin} state the same use (0x{used:x}): one memory at two addresses; "
                         f"its sections are placed in {twin}, where they count once")
    if reader.summary is not None:
        code, read_only, writable = reader.summary
        notes.append(f"the MODULE SUMMARY states code {code:,} B, ro data {read_only:,} B and rw data "
                     f"{writable:,} B; flash and RAM here follow the section table")
