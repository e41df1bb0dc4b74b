"""TI linker maps (TI ARM, MSP430 and C2000 code generation tools; `--map_file=FILE`). The
MEMORY CONFIGURATION states each region with its use in hex; the SEGMENT ALLOCATION MAP the
kind of every output section (r-x, rw-); the SECTION ALLOCATION MAP each output section with
its input sections ("library : object (section)"), holes and what the linker generated; the
GLOBAL SYMBOLS their addresses, without sizes, and their count ("[845 symbols]"), the map's
last line. TI counts a region's use as the sum of its sections, gaps between them left out.
C2000 addresses and sizes are 16-bit words; the model counts bytes. The rows are read in native
code (native/fast/ti_map.cpp); what they mean for the model is decided here.
"""

from __future__ import annotations

import re
from typing import Optional

from tarnwick._native import padding_bytes, read_ti_map
from tarnwick.support.records import record
from tarnwick.toolchains.base import (
    InputSection, MemoryCategory, MemoryRegion, Section, StatedTotals, Toolchain, region_containing,
)
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import native_rows, reads_bytes
from tarnwick.toolchains.building.region_kinds import region_category
from tarnwick.toolchains.building.section_kinds import named_code, named_writable
from tarnwick.toolchains.maps.vendor_maps import assemble
from tarnwick.toolchains.maps.heads import ti_linker as looks_like  # noqa: F401

_ATTRIBUTE = re.compile(r"\b(UNINITIALIZED|NOLOAD|DSECT|COPY|NOINIT)\b")
_RUN_ADDRESS = re.compile(r"RUN ADDR\s*=\s*([0-9a-fA-F]+)")
_NOT_IN_MEMORY = {"DSECT", "COPY"}  # sections the link describes but never places in memory
# MSP430 FRAM parts keep code, constants, vectors and signatures in FRAM: not RAM, whatever
# the RWIX attributes say
_NON_VOLATILE = re.compile(r"^(?:.*FRAM.*|INT\d+|RESET|.*SIGNATURE|BEGIN|.*VECT.*)$", re.IGNORECASE)


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


@record
class _Output:
    name: str
    address: int
    size: int
    attributes: str
    line: int
    inputs: tuple = ()  # InputSection records: a tuple, as the model holds them


class _Reader:
    """What the map's rows say, read in native code (native/fast/ti_map.cpp)."""

    def __init__(self, path: str):
        self.path = path
        self.arm = self.c2000 = False  # c2000: sizes and addresses in 16-bit words
        self.regions: list = []  # (name, origin, length, used, attributes)
        self.kinds: dict = {}  # output section -> "r-x"
        self.outputs: list = []
        # the first listing, as the columns ([name], [address], None, None): no size, no binding
        self.symbols: tuple = ([], [], None, None)
        self.summary: Optional[tuple] = None  # MODULE SUMMARY grand total: code, ro data, rw data
        self.symbol_count: Optional[int] = None  # "[N symbols]", the last line of a complete map
        self.notes: list = []

    def read(self, data) -> None:
        (self.arm, self.c2000, self.regions, self.kinds, outputs, self.summary, self.symbols,
         self.symbol_count, self.notes) = native_rows(read_ti_map, self.path, data, InputSection)
        self.outputs = [_Output(*row) for row in outputs]


def parse(data, path: str, config=None):
    """The model of a TI map from its UTF-8 bytes."""
    reader = _Reader(path)
    reader.read(data)
    if not reader.outputs:
        raise MapParseError(path, "a TI linker map without its SECTION ALLOCATION MAP")
    if reader.symbol_count is None:
        raise MapParseError(path, "a TI linker map cut short: it does not end with the count of its global "
                            "symbols ('[N symbols]')")
    if reader.c2000:
        _words_to_bytes(reader)
    return _model(reader, config)


read = reads_bytes(parse)


def _words_to_bytes(reader: _Reader) -> None:
    """C2000 addresses and sizes count 16-bit words: the model counts bytes."""
    reader.regions = [(name, origin * 2, length * 2, used * 2, attrs) for name, origin, length, used, attrs in reader.regions]
    for out in reader.outputs:
        out.address, out.size = out.address * 2, out.size * 2
        out.attributes = _RUN_ADDRESS.sub(lambda m: f"RUN ADDR = {int(m.group(1), 16) * 2:x}", out.attributes)
        out.inputs = tuple(InputSection(i.name, i.address * 2, i.size * 2, i.origin, i.is_fill) for i in out.inputs)
    names, addresses, sizes, bindings = reader.symbols
    reader.symbols = (names, [address * 2 for address in addresses], sizes, bindings)
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
    stated = StatedTotals(regions={name: used for name, _o, _l, used, _a in reader.regions})
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
        inputs = out.inputs
        if run:  # the rows give load addresses; the symbols are where the code runs
            shift = address - out.address
            inputs = tuple(InputSection(i.name, i.address + shift, i.size, i.origin, i.is_fill) for i in inputs)
        # without a segment allocation map (MSP430, C2000) a section's name says what it holds
        code = "x" in kind if reader.kinds else named_code(out.name)
        writable = "w" in kind if reader.kinds else named_writable(out.name)
        sections.append(Section(out.name, address, out.size, where.name if where else None,
                                load_region=loads_in.name if loads_in else None, load_address=load,
                                has_contents=contents, is_code=code, inputs=inputs, is_writable=writable or not contents,
                                padding_bytes=padding_bytes(inputs)))
    _aliases(reader, regions, sections, stated, notes)
    return assemble(Toolchain.TI, reader.path, regions, sections, reader.symbols, config, sizes_given=False, thumb=reader.arm,
                    notes=notes, stated=stated, use_counts_gaps=False)


def _aliases(reader: _Reader, regions: list, sections: list, stated: StatedTotals, notes: list) -> None:
    """One memory seen at two addresses (MSP432's SRAM_CODE and SRAM_DATA) is stated as used
    in both; its sections are placed in one, where they count. The other shows the same bytes,
    as sections of no contents of its own, and is neither flash nor RAM: they count once."""
    placed = {s.execution_region for s in sections if s.size}
    # a twin is a region of the same length and use that holds sections: found by that key
    holders: dict = {}
    for name, _origin, length, used, _attrs in reader.regions:
        if name in placed:
            holders.setdefault((length, used), name)
    by_name = {region.name: region for region in regions}
    for name, _origin, length, used, _attrs in reader.regions:
        twin = holders.get((length, used))
        if not (used and name not in placed and twin is not None and twin != name):
            continue
        alias, memory = by_name[name], by_name[twin]
        alias.category = MemoryCategory.OTHER
        sections.extend(Section(f"{s.name} (seen in {twin})", s.address - memory.origin + alias.origin, s.size, name,
                                has_contents=False, is_writable=s.is_writable)
                        for s in list(sections) if s.execution_region == twin and s.size)
        notes.append(f"{name} and {twin} state the same use (0x{used:x}): one memory at two addresses; "
                     f"its sections are placed in {twin}, where they count once, and shown in {name} as well")
    if reader.summary is not None:
        code, read_only, writable = reader.summary
        scale = 2 if reader.c2000 else 1
        notes.append(f"the MODULE SUMMARY states code {code * scale:,} B, ro data {read_only * scale:,} B and rw "
                     f"data {writable * scale:,} B; flash and RAM here follow the section table")

