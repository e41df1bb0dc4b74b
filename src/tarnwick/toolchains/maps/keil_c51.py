"""Listings of Keil C51's linkers for the 8051 family: BL51 (`PROJECT.m51`) and LX51 (`.map`).
The memory map lists each segment under its memory ("* * * D A T A   M E M O R Y * * *"): code
(CODE and CONST), the internal RAM (register banks, DATA, IDATA, the bit-addressable BIT
segments counted in bits) and XDATA; segment names carry the module they come from
("?PR?MAIN?MAIN", "?CO?DS1302"). The symbol table lists each module's symbols with their memory
("C:09CFH PUBLIC main"; LX51 with a class column), without sizes; the listing ends with its totals,
"Program Size: data=80.1 xdata=0 code=4218" (bytes, and the bits beyond them after the point),
and "RUN COMPLETE".

As for SDCC's 8051 maps, the three memories overlap in address and are held apart: internal RAM
at 2^32 and XDATA at 2^33 plus their addresses, each a region of its own, sized by what the
listing states (LX51's active memory classes, BL51's RAMSIZE) or else by the 8051's address
spaces.
"""

from __future__ import annotations

import bisect
import re
from typing import Optional

from tarnwick._native import c51_sections, read_c51_map
from tarnwick.support.figures import figure
from tarnwick.support.origins import windows_base_name
from tarnwick.toolchains.base import InputSection, MemoryCategory, MemoryRegion, Section, StatedTotals, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import native_rows, reads_bytes
from tarnwick.toolchains.maps.sdcc import EXTERNAL, INTERNAL
from tarnwick.toolchains.maps.vendor_maps import assemble
from tarnwick.toolchains.maps.heads import keil_c51 as looks_like  # noqa: F401

_RAMSIZE = re.compile(r"\bRAMSIZE\s*\(\s*(\d+)\s*\)", re.I)
_OFFSET = {"C": 0, "D": INTERNAL, "X": EXTERNAL}
_REGIONS = {"C": "ROM", "D": "IRAM", "X": "XRAM"}
# segments the linker makes of several modules' parts: register banks, the overlaid groups of
# locals and bits
_LINKER_MADE = re.compile(r'^(?:"REG BANK \d+"|_(?:DATA|BIT|IDATA|XDATA|PDATA)_GROUP_)$')


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


def parse(data, path: str, config=None):
    """The model of a BL51 or LX51 listing from its UTF-8 bytes."""
    linker, command, modules, classes, segments, segment_count, bit_segments, symbols, sizes, complete = native_rows(
        read_c51_map, path, data, _OFFSET)
    if not segment_count:
        raise MapParseError(path, f"a {linker or 'C51'} listing without its memory map")
    if not complete or "code" not in sizes:
        raise MapParseError(path, f"a {linker} listing cut short: it does not end with its 'Program Size:' and "
                            "'RUN COMPLETE' lines")
    notes: list = []
    regions = _regions(linker, command, classes, notes)
    owners = _owners(modules)
    left_bits = [f"{row[5] or row[1]} {row[3]:,} B and {row[4]} bit(s)" for row in bit_segments]  # name, kind
    by_space: list = []  # the symbols by space, made when a segment of no listed module needs them

    def section_of(row):
        if not by_space:
            by_space.append(_symbols_by_space(symbols, owners))
        return _section(row, owners, by_space[0])

    # most segments are a module's code ("?PR?MAIN?MAIN"): made in native code, the rest by _section
    sections = c51_sections(segments, owners, _OFFSET, _REGIONS, section_of, Section, InputSection)
    if left_bits:
        notes.append(f"bit segments count their whole bytes, as the listing's data= total does: {', '.join(left_bits)}")
    notes.append(f"the internal RAM is held at {INTERNAL:#x} and XDATA at {EXTERNAL:#x} plus their addresses: the "
                 "8051's memories overlap in address")
    names, addresses, _spaces, _modules, dummies = symbols
    raw = (names, addresses)  # the columns of global symbols of no stated size
    if dummies:
        kept = [index for index, name in enumerate(names) if name != "_ICE_DUMMY_"]
        raw = ([names[index] for index in kept], [addresses[index] for index in kept])
    return assemble(Toolchain.KEIL_C51, path, regions, sections, raw, config, sizes_given=False, thumb=False,
                    notes=notes, stated=_stated(sizes), summed=frozenset(_REGIONS.values()))


def _symbols_by_space(symbols: tuple, owners: dict) -> dict:
    """Space -> its symbols' (address, module), in address order: the modules' symbols
    (`symbols`: read_c51_map's columns, addresses in the model's terms)."""
    by_space: dict = {}
    _names, addresses, spaces, modules, _dummies = symbols
    for space, address, module in zip(spaces, addresses, modules):
        if module in owners:
            by_space.setdefault(space, []).append((address - _OFFSET[space], module))
    for listed in by_space.values():
        listed.sort()
    return by_space


def _section(row: tuple, owners: dict, by_space: dict) -> Section:
    """The section of one segment that holds bytes."""
    space, kind, start, size, _bits, name, _line = row
    address = start + _OFFSET[space]
    shown = name.strip('"') or f"(absolute {kind.lower()} at {start:04X}H)"
    code = space == "C"
    reserved = name == "?STACK"
    made = name[:1] in ('"', "_") and _LINKER_MADE.match(name)
    origin = "linker" if made else _origin(name, owners)
    inputs = (InputSection(shown, address, size, origin, reserved, reserved),)
    if origin is None:  # the library's code of many modules: each module's part from its first symbol
        inputs = _by_module(shown, space, start, size, by_space.get(space, []), owners) or inputs
    return Section(shown, address, size, _REGIONS[space], None, None, code,
                   code and kind != "CONST" and not name.startswith("?CO?"), inputs, not code, 0)


def _regions(linker: str, command: str, classes: list, notes: list) -> list:
    """ROM, IRAM and XRAM as large as the listing says (LX51's classes CODE, IDATA and XDATA;
    BL51's RAMSIZE), else as the 8051 addresses them."""
    ends = {klass: end for klass, _space, _start, end, _used, _bits in classes}
    ramsize = _RAMSIZE.search(command)
    sizes = {"ROM": ends.get("CODE"), "IRAM": ends.get("IDATA") or (figure(ramsize.group(1)) if ramsize else None),
             "XRAM": ends.get("XDATA")}
    guessed = [name for name, size in sizes.items() if size is None]
    if guessed:
        notes.append(f"the listing states no size of {', '.join(guessed)}: taken as the 8051 addresses them "
                     "(64 KiB of code and of XDATA, 256 B of internal RAM; name the part's in [[regions]])")
    default = {"ROM": 0x10000, "IRAM": 256, "XRAM": 0x10000}
    return [MemoryRegion("ROM", 0, sizes["ROM"] or default["ROM"], MemoryCategory.FLASH, "rx"),
            MemoryRegion("IRAM", INTERNAL, sizes["IRAM"] or default["IRAM"], MemoryCategory.RAM, "rw"),
            MemoryRegion("XRAM", EXTERNAL, sizes["XRAM"] or default["XRAM"], MemoryCategory.RAM, "rw")]


def _owners(modules: list) -> dict:
    """Module name -> its origin as the model names it: "main.obj", "C51S.LIB(?C_STARTUP)"."""
    owners = {}
    for file, module in modules:
        name = windows_base_name(file)
        owners[module] = f"{name}({module})" if name.upper().endswith(".LIB") else name
    return owners


def _origin(segment: str, owners: dict) -> Optional[str]:
    """The module a segment's name ends with ("?PR?_LCD_SHOWNUM?LCD1602", "?CO?MAIN") or holds
    between question marks (LX51's "?CO??C_STARTUP?0", an interrupt vector "?STC8AX_ISR?0000B")."""
    if not segment.startswith("?"):
        return None
    last = segment.rsplit("?", 1)[-1]
    if last in owners:
        return owners[last]
    found = [module for module in owners if segment.endswith("?" + module) or f"?{module}?" in segment]
    return owners[max(found, key=len)] if found else None


def _by_module(name: str, space: str, start: int, size: int, listed: list, owners: dict) -> tuple:
    """A segment several modules share (?C?LIB_CODE), cut where the symbols' module changes
    (`listed`: the space's symbols, (address, module) in address order)."""
    inside = listed[bisect.bisect_left(listed, (start, "")):bisect.bisect_left(listed, (start + size, ""))]
    cuts: list = []
    for address, module in inside:
        if not cuts or cuts[-1][1] != module:
            cuts.append((address, module))
    if len({module for _, module in cuts}) < 2 and not (cuts and cuts[0][0] == start):
        return ()
    offset = _OFFSET[space]
    parts = [InputSection(name, start + offset, cuts[0][0] - start, None)] if cuts[0][0] > start else []
    for (address, module), (end, _) in zip(cuts, [*cuts[1:], (start + size, None)]):
        parts.append(InputSection(name, address + offset, end - address, owners[module]))
    return tuple(parts)


def _stated(sizes: dict) -> StatedTotals:
    """"Program Size: data=15.1 xdata=43 const=141 code=1338": flash is code and const, RAM the
    whole bytes of data (the bits after the point are left out) and xdata."""
    def figure(name: str) -> int:
        return sizes.get(name, (0, 0))[0]

    stated = StatedTotals()
    stated.flash = figure("code") + figure("const")
    stated.flash_words = "Program Size: code=" + (" + const=" if "const" in sizes else "")
    stated.ram = figure("data") + figure("xdata")
    stated.ram_words = "Program Size: data= + xdata="
    stated.regions = {"ROM": stated.flash, "IRAM": figure("data"), "XRAM": figure("xdata")}
    return stated


read = reads_bytes(parse)
