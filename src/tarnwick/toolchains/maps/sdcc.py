"""Maps of SDCC's linker, sdld (the ASxxxx linker; `sdcc ... -o fw.ihx` writes fw.map), for the
8051 family and for STM8 and the other single-address-space targets. The map lists areas with
their address and size ("CSEG 0000006D 00000098 = 152. bytes (REL,CON,CODE)") and each area's
global symbols with the module defining them; the files linked and the base addresses given
("HOME = 0x0000") close it.

The 8051 has three address spaces, whose addresses overlap: code (areas marked CODE), internal
RAM (register banks, DSEG, ISEG, OSEG, the stack) and external RAM (XDATA, paged PDATA); the
model holds them apart, internal RAM at 2^32 and external at 2^33 plus their addresses, each a
region. The `.mem` file sdld writes beside the map states the truth of each: the ROM used, the
internal RAM's layout cell by cell, the external RAM used; it is read when present and the
model is checked against it. STM8 and the others have one address space: areas from HOME on
are flash, the rest RAM, and without a `.mem` there are no regions.
"""

from __future__ import annotations

import os
import re
from typing import Optional

from tarnwick._native import read_sdcc_map
from tarnwick.support.figures import figure
from tarnwick.toolchains.base import InputSection, MemoryCategory, MemoryRegion, Section, StatedTotals, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import native_rows, reads_bytes
from tarnwick.toolchains.maps.vendor_maps import assemble
from tarnwick.toolchains.maps.heads import sdcc as looks_like  # noqa: F401

_MEM_OTHER = re.compile(r"^\s+(PAGED EXT\. RAM|EXTERNAL RAM|ROM/EPROM/FLASH)\s+(?:(0x[0-9a-fA-F]+)\s+(0x[0-9a-fA-F]+)\s+)?"
                        r"(\d+)\s+(\d+)", re.M)
_MEM_LAYOUT = re.compile(r"^0x[0-9a-fA-F]{2}:\|((?:.\|){16})", re.M)
INTERNAL, EXTERNAL = 1 << 32, 2 << 32  # the 8051's data spaces, held apart from code
# Areas of the 8051's internal RAM; its code areas are marked CODE, its external RAM XDATA
_STM8_FLASH = {"HOME", "GSINIT", "GSFINAL", "CONST", "INITIALIZER", "CODE", "CABS", "GSINIT0", "GSINIT1",
               "GSINIT2", "GSINIT3", "GSINIT4", "GSINIT5", "XINIT"}


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


def parse(data, path: str, config=None):
    """The model of an sdld map from its UTF-8 bytes."""
    areas, symbols, modules, complete = native_rows(read_sdcc_map, path, data)
    if not areas:
        raise MapParseError(path, "an SDCC map without its areas")
    if not complete:
        raise MapParseError(path, "an SDCC map cut short: it does not end with its user base address definitions")
    areas, symbols, modules = _continued(areas, symbols, modules)
    areas = [(name, address, size, set(attributes.split(",")), line) for name, address, size, attributes, line in areas]
    return _model(path, config, areas, symbols, modules, _memory_summary(path))


def _continued(areas: list, symbols: list, modules: list) -> tuple[list, list, list]:
    """An area whose heading is repeated on the next page of its symbol list (same name,
    address, size and attributes) is one area: its symbols and modules joined, once each.
    Each area's symbols are the columns (names, addresses)."""
    kept: dict = {}
    joined_areas, joined_symbols, joined_modules = [], [], []
    for area, listed, named in zip(areas, symbols, modules):
        index = kept.get(area[:4])
        if index is None:
            kept[area[:4]] = len(joined_areas)
            joined_areas.append(area)
            joined_symbols.append(listed)  # the native reader's own lists, extended below when continued
            joined_modules.append(named)
            continue
        names, addresses = joined_symbols[index]
        seen = set(zip(names, addresses))
        for name, address in zip(*listed):
            if (name, address) not in seen:
                names.append(name)
                addresses.append(address)
        joined_modules[index].extend(m for m in named if m not in joined_modules[index])
    return joined_areas, joined_symbols, joined_modules


def _memory_summary(path: str) -> Optional[dict]:
    """What the `.mem` file beside the map states: {"rom", "internal", "external", "rom max",
    "external max"}; None without one."""
    mem = os.path.splitext(path)[0] + ".mem"
    try:
        with open(mem, encoding="utf-8", errors="replace") as handle:
            text = handle.read(1 << 20)
    except OSError:
        return None
    figures = {name: (figure(size), figure(largest)) for name, _start, _end, size, largest in _MEM_OTHER.findall(text)}
    cells = "".join(_MEM_LAYOUT.findall(text)).replace("|", "")
    if "ROM/EPROM/FLASH" not in figures:
        return None
    data = [index for index, cell in enumerate(cells) if cell.islower()]
    stack = re.search(r"Stack starts at: (0x[0-9a-fA-F]+).*?with (\d+) bytes available", text)
    return {"rom": figures["ROM/EPROM/FLASH"][0], "rom max": figures["ROM/EPROM/FLASH"][1],
            "data": (data[0], data[-1] + 1) if data else (0, 0),
            "internal": sum(1 for cell in cells if cell not in " ."), "internal size": len(cells) or 256,
            "external": figures.get("EXTERNAL RAM", (0, 0))[0] + figures.get("PAGED EXT. RAM", (0, 0))[0],
            "external max": figures.get("EXTERNAL RAM", (0, 0x10000))[1], "file": mem,
            "stack": (int(stack.group(1), 16), int(stack.group(2))) if stack else None}


def _model(path: str, config, areas: list, symbols: list, modules: list, summary: Optional[dict]):
    """`symbols` and `modules` hold, per area, its global symbols' columns (names, addresses)
    and the modules they name."""
    harvard = any("CODE" in attributes for *_, attributes, _ in areas)
    notes: list = []
    sections, spaces = [], {}  # area -> the offset its address space is held at
    for name, address, size, attributes, _line in areas:
        if "ABS" in attributes or not size or (harvard and name == "BSEG"):  # BSEG counts bits
            continue
        if harvard and name == "DSEG" and summary is not None:
            # sdld states DSEG as the whole direct RAM; the .mem layout shows what it holds
            address, end = summary["data"]
            size = end - address
            if not size:
                continue
        if harvard:
            space = 0 if "CODE" in attributes else EXTERNAL if attributes & {"XDATA", "PAG"} or name in (
                "XSEG", "PSEG", "XISEG") else INTERNAL
            code = space == 0
        else:
            space, code = 0, name in _STM8_FLASH or name.startswith("GSINIT")
        start = address + space
        spaces[name] = space
        # initialised data is copied from its initializer area in flash, which holds its image
        section = Section(name, start, size, None, has_contents=code,
                          is_code=code and name not in ("CONST", "INITIALIZER", "XINIT"),
                          inputs=(InputSection(name, start, size, None),), is_writable=not code)
        sections.append(section)
    # each symbol's module names the object it came from; an area's bytes are its modules'
    named: dict = {}  # area name -> the modules its symbols name, per area of the name (each once in an area)
    for (name, *_), listed in zip(areas, modules):
        named.setdefault(name, []).append(listed)
    for section in sections:
        pooled = named.get(section.name, ())
        distinct = pooled[0] if len(pooled) == 1 else set().union(*pooled)
        if len(distinct) == 1:
            module, = distinct
            section.inputs = (InputSection(section.name, section.address, section.size, f"{module}.rel"),)
    regions = _regions(harvard, summary)
    for section in sections:
        holder = next((r for r in regions if r.contains(section.address)), None)
        section.execution_region = holder.name if holder else None
    stated = StatedTotals()
    if summary is not None:
        stated.flash, stated.flash_words = summary["rom"], f"ROM/EPROM/FLASH in {os.path.basename(summary['file'])}"
        stated.ram = summary["internal"] + summary["external"]
        stated.ram_words = "the internal RAM laid out and the external RAM used"
        stated.regions = {"ROM": summary["rom"], "IRAM": summary["internal"], "XRAM": summary["external"]}
        notes.append(f"the figures of {os.path.basename(summary['file'])} beside the map are its truth")
        if summary["stack"]:
            start, left = summary["stack"]
            notes.append(f"IRAM counts the stack as used: it starts at {start:#04x} and takes the {left} B "
                         "of internal RAM left, as sdld lays it out")
    if harvard:
        notes.append(f"the 8051's internal RAM is held at {INTERNAL:#x} and its external RAM at {EXTERNAL:#x} plus "
                     "their addresses: three address spaces that overlap")
    placed = []
    for (name, *_), (names, addresses) in zip(areas, symbols):
        if name not in spaces:
            continue
        space = spaces[name]
        placed.append((names, [address + space for address in addresses] if space else addresses))
    # one area of a hundred thousand symbols (CODE) is handed on as it is
    raw = placed[0] if len(placed) == 1 else ([name for names, _ in placed for name in names],
                                              [address for _, addresses in placed for address in addresses])
    return assemble(Toolchain.SDCC, path, regions, sections, raw, config, sizes_given=False, thumb=False, notes=notes,
                    stated=stated, summed=frozenset({"XRAM"}))


def _regions(harvard: bool, summary: Optional[dict]) -> list:
    if not harvard:
        return []
    rom = summary["rom max"] if summary else 0x10000
    internal = summary["internal size"] if summary else 256
    external = summary["external max"] if summary else 0x10000
    return [MemoryRegion("ROM", 0, rom, MemoryCategory.FLASH, "rx"),
            MemoryRegion("IRAM", INTERNAL, internal, MemoryCategory.RAM, "rw"),
            MemoryRegion("XRAM", EXTERNAL, external, MemoryCategory.RAM, "rw")]


read = reads_bytes(parse)
