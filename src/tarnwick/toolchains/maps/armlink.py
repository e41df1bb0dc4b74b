"""Arm's armlink maps (Keil MDK, Arm Compiler 5 and 6, Arm Compiler for Embedded; `--map
--symbols --list=FILE`). The image's load regions hold execution regions; a region that runs
where it is loaded (code and constants in flash) is part of its load region, one that runs
elsewhere (RW and ZI data in RAM) is a region of its own. Rows state each input section's
kind, so sections are runs of one kind ("ER_IROM1 Code", "RW_IRAM1 ZI Data"), and the symbol
table states every symbol's size, statics included.
"""

from __future__ import annotations

from operator import add, itemgetter
from typing import NamedTuple, Optional

from tarnwick._native import padding_bytes, read_armlink_map
from tarnwick.support.records import field, record
from tarnwick.toolchains.base import InputSection, MemoryRegion, Section, StatedTotals, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import native_rows, reads_bytes
from tarnwick.toolchains.building.region_kinds import region_category
from tarnwick.toolchains.maps.vendor_maps import assemble, number
from tarnwick.toolchains.maps.heads import armlink as looks_like  # noqa: F401

_NO_MAX = 0xFFFFFFFF
_STATED_TOTALS = {"ROM": "flash", "RW": "ram"}  # the totals the map states, as the model names them


ELF_NOT_READ = "armlink maps state their symbols' sizes themselves"  # why an ELF file named with the map is not used


class _Row(NamedTuple):
    """A memory map row, as the native reader gives it (a plain tuple)."""

    exec_address: int
    load_address: Optional[int]  # None where the map does not say
    size: int
    kind: Optional[str]  # "Code", "RO Data", "RW Data", "ZI Data"; None for padding
    part: InputSection
    load_listed: bool  # the map has a load column (not before Arm Compiler 5.06 update 6)


_EXEC, _LOAD, _SIZE, _KIND, _PART, _LISTED = range(len(_Row._fields))
# a row's fields taken from many rows at once (an execution region has a hundred thousand)
_EXECS, _SIZES, _PARTS = itemgetter(_EXEC), itemgetter(_SIZE), itemgetter(_PART)


def _reach(rows: list) -> map:
    """Where each row ends (its execution address plus its size)."""
    return map(add, map(_EXECS, rows), map(_SIZES, rows))


@record
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


@record
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


def _load_cursor(load_region: "_LoadRegion", exec_regions: list, exec_base: int) -> int:
    """Where an execution region loads when the map does not say (Arm Compiler 5 before update
    6): after the images of the earlier execution regions of its load region (their compressed
    size where compressed; zero-initialised rows have no image), in place when it starts there."""
    cursor = load_region.base
    for er in exec_regions:
        if er.load_region is load_region and not er.empty and er.load_base is not None:
            image = er.compressed if er.compressed is not None else sum(
                row[_SIZE] for row in er.rows if row[_KIND] != "ZI Data")
            cursor = er.load_base + image
    return exec_base if exec_base == cursor else cursor


def parse(data, path: str, config=None):
    """The model of an armlink map from its UTF-8 bytes. Raises MapParseError naming the line
    for a part that does not read as armlink writes it."""
    regions, rows, symbols, totals = native_rows(read_armlink_map, path, data, InputSection)
    load_regions: list = []
    exec_regions: list = []
    rows_of = iter(rows)  # one list per execution region, in the map's order
    for kind, name, text, line_number in regions:
        values = _properties(text)
        try:
            if kind == "Load":
                compressed = values.get("compressed")
                load_regions.append(_LoadRegion(name, number(values["base"]), number(values["size"]),
                                                number(values.get("max", "0xffffffff")),
                                                number(compressed) if compressed else None))
                continue
            if not load_regions:
                raise MapParseError(path, f"execution region {name} outside any load region", line_number)
            compressed = values.get("compressed") or values.get("compressed size")
            exec_base = number(values["exec base"] if "exec base" in values else values["base"])
            load_base = number(values["load base"]) if "load base" in values else _load_cursor(
                load_regions[-1], exec_regions, exec_base)
            exec_regions.append(_ExecutionRegion(
                name, exec_base, load_base, number(values["size"]), number(values.get("max", "0xffffffff")),
                load_regions[-1], number(compressed) if compressed else None, "empty" in values,
                rows=next(rows_of), line=line_number))
        except (KeyError, ValueError):
            raise MapParseError(path, f"expected '{kind} Region NAME (... Size: 0x..., Max: 0x..., ...)'",
                                line_number) from None
    if not exec_regions:
        raise MapParseError(path, "an armlink map without its 'Memory Map of the image' (link with --map)")
    stated = StatedTotals()
    for which, words, value in totals:
        if which in _STATED_TOTALS:
            setattr(stated, _STATED_TOTALS[which], value)
            setattr(stated, f"{_STATED_TOTALS[which]}_words", f"Total {which} Size ({words})")
    if stated.flash is None:
        raise MapParseError(path, "an armlink map cut short: it does not end with its image component sizes "
                            "('Total ROM Size'; link with --info totals)")
    return _model(path, config, load_regions, exec_regions, symbols, stated)  # (name, address, size, binding) each


read = reads_bytes(parse)


def _model(path, config, load_regions, exec_regions, symbols, stated: StatedTotals):
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
        extent = max(_reach(er.rows), default=er.exec_base) - er.exec_base
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
    sections, run, kind, kinded = [], [], None, False  # kinded: a row of the run has a kind
    for row in er.rows:
        row_kind = row[_KIND]
        if row_kind is not None and row_kind != kind and kinded:
            sections.append(_section(er, kind, run, runs_in, loads_in))
            run, kinded = [], False
        kind = row_kind or kind
        kinded = kinded or bool(row_kind)
        run.append(row)
    if kinded:
        sections.append(_section(er, kind, run, runs_in, loads_in))
    return sections


def _section(er: _ExecutionRegion, kind: str, rows: list, runs_in, loads_in) -> Section:
    start = rows[0][_EXEC]
    end = max(_reach(rows))
    first = _Row(*next(row for row in rows if row[_KIND] is not None))
    image = first.load_address
    if not first.load_listed and er.load_base is not None and not er.compressed:
        image = er.load_base + first.exec_address - er.exec_base  # where a map without load addresses puts it
    copied = not er.in_place and kind != "ZI Data" and image is not None
    inputs = tuple(map(_PARTS, rows))
    return Section(f"{er.name} {kind}", start, end - start, runs_in,
                   load_region=loads_in if copied else None, load_address=image if copied else None,
                   has_contents=kind != "ZI Data", is_code=kind == "Code", inputs=inputs,
                   is_writable=kind in ("RW Data", "ZI Data"), padding_bytes=padding_bytes(inputs))
