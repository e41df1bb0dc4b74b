"""Arm's armlink maps (Keil MDK, Arm Compiler 5 and 6, Arm Compiler for Embedded; `--map
--symbols --list=FILE`). The image's load regions hold execution regions; a region that runs
where it is loaded (code and constants in flash) is part of its load region, one that runs
elsewhere (RW and ZI data in RAM) is a region of its own. Rows state each input section's
kind, so sections are runs of one kind ("ER_IROM1 Code", "RW_IRAM1 ZI Data"), and the symbol
table states every symbol's size, statics included.
"""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Iterable, Optional

from tarnwick.toolchains.base import InputSection, MemoryRegion, Section, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.map_text import reads_lines
from tarnwick.toolchains.raw import RawSymbol
from tarnwick.toolchains.region_kinds import region_category
from tarnwick.toolchains.vendor_maps import Stated, assemble, number

_HEADINGS = re.compile(r"^(?:Memory Map of the image|Image component sizes|Image Symbol Table|"
                       r"Section Cross References|Removing Unused input sections from the image)\s*$",
                       re.MULTILINE)
_PARTS = frozenset({"Section Cross References", "Removing Unused input sections from the image",
                    "Adding Veneers to the image", "Image Symbol Table", "Memory Map of the image",
                    "Image component sizes"})
_REGION = re.compile(r"^\s*(Load|Execution) Region (\S+) \((.*)\)\s*$")
_NO_MAX = 0xFFFFFFFF
_ROW_SHAPE = "'Exec Addr  Load Addr  Size  Type  Attr  Idx  E  Section Name  Object'"
# The kinds of rows, as the image component sizes count them.
_KINDS = {("Code", "RO"): "Code", ("Ven", "RO"): "Code", ("Code", "XO"): "Code",
          ("Data", "RO"): "RO Data", ("Data", "RW"): "RW Data", ("Zero", "RW"): "ZI Data",
          ("Code", "RW"): "Code"}
_SYMBOL_TYPES = {"Data", "Code"}  # "Thumb Code", "ARM Code", "Data"; not "Section", "Number"
_TOTALS = re.compile(r"^\s*Total (RO|RW|ROM)\s+Size \(([^)]*)\)\s+(\d+)")


def looks_like(head: str) -> bool:
    first = next((line for line in head.splitlines() if line.strip()), "")
    return (first.startswith("Component:") and "armlink" in first) or bool(_HEADINGS.search(head))


ELF_NOT_READ = "armlink maps state their symbols' sizes themselves"  # why an ELF file named with the map is not used


@dataclass
class _Row:
    exec_address: int
    load_address: Optional[int]
    size: int
    kind: Optional[str]  # None for padding
    name: str = ""
    origin: Optional[str] = None


@dataclass
class _ExecutionRegion:
    name: str
    exec_base: int
    load_base: Optional[int]
    size: int
    max: int
    load_region: "_LoadRegion"
    compressed: Optional[int] = None
    empty: bool = False
    rows: list = field(default_factory=list)
    line: int = 0

    @property
    def in_place(self) -> bool:
        """Runs where it is loaded: part of its load region, not a region of its own."""
        lr = self.load_region
        end = lr.base + (lr.max if lr.max != _NO_MAX else 1 << 64)
        return self.load_base == self.exec_base and lr.base <= self.exec_base < end and not self.empty


@dataclass
class _LoadRegion:
    name: str
    base: int
    size: int
    max: int
    compressed: Optional[int] = None  # its size with RW data compressed, where it is


def _properties(text: str) -> dict:
    """"Exec base: 0x0, Load base: 0x0, Size: 0x338, Max: 0x80000, ABSOLUTE, COMPRESSED[0x20]"
    -> {"exec base": "0x0", ..., "absolute": "", "compressed": "0x20"}."""
    found = {}
    for item in text.split(","):
        key, colon, value = item.partition(":")
        if colon:
            found[key.strip().lower()] = value.strip()
        else:
            flag, _, argument = item.strip().partition("[")
            found[flag.lower()] = argument.rstrip("]")
    return found


def _symbol(line: str, binding: Optional[str] = None) -> Optional[RawSymbol]:
    """A row of the image symbol table, read from the right (names may hold spaces:
    "Inline ARM to Thumb Veneer to __rt_exit"); None for what holds no bytes of its own."""
    tokens = line.split()
    if len(tokens) < 5 or tokens[-1] == "ABSOLUTE" or "Undefined" in tokens:
        return None
    size, kind = tokens[-2], tokens[-3]
    if not size.isdigit() or kind not in _SYMBOL_TYPES:
        return None
    at = len(tokens) - (5 if kind == "Code" else 4)  # the value, or the overlay column before it
    if at >= 1 and not tokens[at].startswith("0x"):
        at -= 1
    if at < 1 or not tokens[at].startswith("0x"):
        return None
    return RawSymbol(" ".join(tokens[:at]), int(tokens[at], 16), int(size), binding)


def _load_cursor(load_region: "_LoadRegion", exec_regions: list, exec_base: int) -> int:
    """Where an execution region loads when the map does not say (Arm Compiler 5 before update
    6): after the images of the earlier execution regions of its load region (their compressed
    size where compressed; zero-initialised rows have no image), in place when it starts there."""
    cursor = load_region.base
    for er in exec_regions:
        if er.load_region is load_region and not er.empty and er.load_base is not None:
            image = er.compressed if er.compressed is not None else sum(
                row.size for row in er.rows if row.kind != "ZI Data")
            cursor = er.load_base + image
    return exec_base if exec_base == cursor else cursor


def _row(tokens: list, path: str, number_: int, load_column: bool = True) -> _Row:
    """A memory map row; without a load column (Arm Compiler 5 before update 6 writes 'Base Addr
    Size ...'), its load address is left to the region to tell."""
    if not load_column:
        tokens = tokens[:1] + ["-"] + tokens[1:]
    try:
        exec_address, size = int(tokens[0], 16), int(tokens[2], 16)
        load = None if tokens[1] in ("-", "COMPRESSED") else int(tokens[1], 16)
    except (ValueError, IndexError):
        raise MapParseError(path, f"expected a memory map row {_ROW_SHAPE}", number_) from None
    if len(tokens) >= 4 and tokens[3] == "PAD":
        return _Row(exec_address, load, size, None)
    if len(tokens) < 7 or not tokens[5].isdigit():
        raise MapParseError(path, f"expected a memory map row {_ROW_SHAPE}", number_)
    kind = _KINDS.get((tokens[3], tokens[4]))
    if kind is None:
        raise MapParseError(path, f"unknown section type {tokens[3]} {tokens[4]} (expected Code, Data, "
                            "Zero, Ven or PAD, RO, RW or XO)", number_)
    rest = tokens[6:]
    if rest and rest[0] == "*":  # the entry point's section
        rest = rest[1:]
    return _Row(exec_address, load, size, kind, rest[0] if rest else "", " ".join(rest[1:]) or None)


def parse(lines: Iterable[str], path: str, config=None):
    """The model of an armlink map. Raises MapParseError naming the line for a part that does
    not read as armlink writes it."""
    load_regions: list = []
    exec_regions: list = []
    symbols: list = []
    stated = Stated()
    part = None
    binding = None  # the image symbol table lists "Local Symbols", then "Global Symbols"
    load_column = True  # rows name their load address (not before Arm Compiler 5.06 update 6)
    for line_number, line in enumerate(lines, 1):
        stripped = line.strip()
        if not stripped:
            continue
        if stripped in ("Local Symbols", "Global Symbols"):
            binding = stripped.split()[0].lower()
            continue
        if stripped.startswith(("Base Addr", "Exec Addr")):
            load_column = stripped.startswith("Exec Addr")
            continue
        if stripped in _PARTS:
            part = stripped
            continue
        region = _REGION.match(line)
        if region:
            kind, name, text = region.groups()
            values = _properties(text)
            try:
                if kind == "Load":
                    compressed = values.get("compressed")
                    load_regions.append(_LoadRegion(name, number(values["base"]), number(values["size"]),
                                                    number(values.get("max", "0xffffffff")),
                                                    number(compressed) if compressed else None))
                else:
                    if not load_regions:
                        raise MapParseError(path, f"execution region {name} outside any load region", line_number)
                    compressed = values.get("compressed") or values.get("compressed size")
                    exec_base = number(values["exec base"] if "exec base" in values else values["base"])
                    load_base = number(values["load base"]) if "load base" in values else _load_cursor(
                        load_regions[-1], exec_regions, exec_base)
                    exec_regions.append(_ExecutionRegion(
                        name, exec_base, load_base, number(values["size"]), number(values.get("max", "0xffffffff")),
                        load_regions[-1], number(compressed) if compressed else None, "empty" in values,
                        line=line_number))
            except (KeyError, ValueError):
                raise MapParseError(path, f"expected '{kind} Region NAME (... Size: 0x..., Max: 0x..., ...)'",
                                    line_number) from None
            part = "Memory Map of the image"
            continue
        if part == "Memory Map of the image" and stripped.startswith("0x"):
            if not exec_regions:
                raise MapParseError(path, "memory map row before any execution region", line_number)
            row = _row(stripped.split(), path, line_number, load_column)
            region = exec_regions[-1]
            if not load_column and row.load_address is None and region.load_base is not None and not region.compressed:
                row.load_address = region.load_base + row.exec_address - region.exec_base
            region.rows.append(row)
        elif part == "Image Symbol Table" and stripped[:1] not in ("", "-"):
            try:
                found = _symbol(stripped, binding)
            except ValueError:
                raise MapParseError(path, "expected a symbol table row 'Symbol Name  Value  Ov Type  Size  "
                                    "Object(Section)'", line_number) from None
            if found is not None:
                symbols.append(found)
        totals = _TOTALS.match(line)
        if totals:
            which, words, value = totals.groups()
            if which == "ROM":
                stated.flash, stated.flash_words = int(value), f"Total ROM Size ({words})"
            elif which == "RW":
                stated.ram, stated.ram_words = int(value), f"Total RW Size ({words})"
    if not exec_regions:
        raise MapParseError(path, "an armlink map without its 'Memory Map of the image' (link with --map)")
    if stated.flash is None:
        raise MapParseError(path, "an armlink map cut short: it does not end with its image component sizes "
                            "('Total ROM Size'; link with --info totals)")
    return _model(path, config, load_regions, exec_regions, symbols, stated)


def _model(path, config, load_regions, exec_regions, symbols, stated: Stated):
    notes: list = []
    regions: dict = {}
    for lr in load_regions:
        if lr.max == _NO_MAX:
            notes.append(f"load region {lr.name} states no Max (0xffffffff): its capacity is unknown, so "
                         "it is not in the region table; its bytes count by what they hold")
            continue
        regions[lr.name] = MemoryRegion(lr.name, lr.base, lr.max, region_category(lr.name, "rx"), "rx")
        stated.regions[lr.name] = lr.compressed if lr.compressed is not None else lr.size
    for er in exec_regions:
        if er.empty:  # a stack or heap the scatter file reserves: without a Max, exactly its size
            capacity = er.max if er.max != _NO_MAX else er.size
            regions[er.name] = MemoryRegion(er.name, er.exec_base, capacity, region_category(er.name, "rw"), "rw")
            stated.regions[er.name] = er.size
            notes.append(f"{er.name} is an EMPTY execution region: the {er.size:,} B it reserves count as used")
            continue
        if er.in_place or er.max == _NO_MAX:
            continue
        regions[er.name] = MemoryRegion(er.name, er.exec_base, er.max, region_category(er.name, "rw"), "rw")
        stated.regions[er.name] = er.size
    sections = []
    reserved = 0
    for er in exec_regions:
        runs_in = er.load_region.name if er.in_place else er.name
        runs_in = runs_in if runs_in in regions else None
        loads_in = er.load_region.name if er.load_region.name in regions else None
        if er.empty:
            sections.append(Section(f"{er.name} (EMPTY)", er.exec_base, er.size, runs_in, has_contents=False,
                                    is_writable=True, inputs=(InputSection(er.name, er.exec_base, er.size, None,
                                                                            is_fill=True, is_reservation=True),)))
            reserved += er.size
            continue
        sections.extend(_runs(er, runs_in, loads_in))
        if er.compressed is not None and er.load_base is not None:
            sections.append(Section(f"{er.name} RW Data (compressed image)", er.load_base, er.compressed,
                                    loads_in, inputs=(InputSection(f"{er.name} image", er.load_base,
                                                                   er.compressed, "linker"),)))
            notes.append(f"{er.name}'s RW data is compressed in the image: {er.compressed:,} B in flash "
                         f"for {er.size:,} B in RAM")
        extent = max((row.exec_address + row.size for row in er.rows), default=er.exec_base) - er.exec_base
        if extent != er.size:
            notes.append(f"execution region {er.name} states Size 0x{er.size:x}; its rows reach 0x{extent:x}")
    if reserved and stated.ram is not None:
        stated.ram += reserved
        stated.ram_words += f" and {reserved:,} B that EMPTY execution regions reserve"
    return assemble(Toolchain.ARMLINK, path, list(regions.values()), sections, symbols, config, sizes_given=True,
                    thumb=True, notes=notes, stated=stated)


def _runs(er: _ExecutionRegion, runs_in: Optional[str], loads_in: Optional[str]) -> list:
    """The execution region's rows as sections: each run of rows of one kind, padding
    included in the run it pads."""
    sections, run, kind = [], [], None
    for row in er.rows:
        if row.kind is not None and row.kind != kind and any(r.kind for r in run):
            sections.append(_section(er, kind, run, runs_in, loads_in))
            run = []
        kind = row.kind or kind
        run.append(row)
    if any(r.kind for r in run):
        sections.append(_section(er, kind, run, runs_in, loads_in))
    return sections


def _section(er: _ExecutionRegion, kind: str, rows: list, runs_in, loads_in) -> Section:
    start = rows[0].exec_address
    end = max(row.exec_address + row.size for row in rows)
    inputs = tuple(InputSection(row.name or "PAD", row.exec_address, row.size, row.origin, is_fill=row.kind is None)
                   for row in rows)
    image = next((row.load_address for row in rows if row.kind is not None), None)
    copied = not er.in_place and kind != "ZI Data" and image is not None
    return Section(f"{er.name} {kind}", start, end - start, runs_in,
                   load_region=loads_in if copied else None, load_address=image if copied else None,
                   has_contents=kind != "ZI Data", is_code=kind == "Code", inputs=inputs,
                   is_writable=kind in ("RW Data", "ZI Data"))


read = reads_lines(parse)
