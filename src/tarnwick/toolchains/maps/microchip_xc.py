"""Maps of Microchip's XC16 (PIC24, dsPIC) and XC32 (PIC32) linkers. Both are GNU ld at heart:
after their own memory-usage report comes GNU ld's memory configuration and memory map, which
the GNU ld reader reads. What differs is the memory:

- XC16 program memory is addressed in PC units, two to a 24-bit instruction word of 3 bytes;
  the map's addresses and sizes there are PC units, and its own totals are bytes. The model
  counts bytes, as the totals do: program-memory figures times 3/2. Data memory is an address
  space of its own, whose addresses overlap program memory's numerically; the model holds it
  apart, above 2^32.
- PIC32 sees one physical memory through two MIPS segments, kseg0 (cached) and kseg1
  (uncached): a section placed in kseg1 whose load address is its kseg0 twin is not copied
  anywhere, and counts once.

The report's totals ("Total "program" memory used (bytes)", "Total kseg1_data_mem used") are
checked against the model's; a difference is an unresolved ambiguity.
"""

from __future__ import annotations

import re
from tarnwick.support.figures import figure
from tarnwick.toolchains.maps import gnu_ld
from tarnwick.toolchains.base import MemoryCategory, NormalizedBuildModel, StatedTotals, Toolchain
from tarnwick.toolchains.building.builder import build_model, check_address_space, mark_unified
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.building.section_kinds import never_allocated
from tarnwick.toolchains.maps.vendor_maps import hand_on
from tarnwick.toolchains.maps.heads import microchip_xc as looks_like  # noqa: F401

# 'Total "program" memory used', 'Total program memory used' before v1.30 or so
_XC16_TOTAL = re.compile(r'Total "?(\w+?)"? memory used \(bytes\):\s+(?:0x[0-9a-fA-F]+|\d+)\s+\((\d+)\)', re.I)
_XC32_REGION_TOTAL = re.compile(r"^\s*Total (\w+) used\s*:\s+0x[0-9a-fA-F]+\s+(\d+)", re.M)
_XC32_TOTAL = re.compile(r"^\s*Total (Program|Data|Boot) Memory used\s*:\s+0x[0-9a-fA-F]+\s+(\d+)", re.M)
_XC32_ROW = re.compile(r"^\S+\s+(0x[0-9a-fA-F]+)\s+(?:0x[0-9a-fA-F]+|0)\s+\d+", re.M)  # a section the report lists
_XC32_RESERVATION = re.compile(r"^(\w+)\s+0x[0-9a-fA-F]+\s+(?:0x[0-9a-fA-F]+|0)\s+(\d+)", re.M)
_REPORT_HEADING = re.compile(r'^"?(?=\w+"? Memory\s+\[Origin)', re.M)  # each memory's part of the report
_REPORT_ROW = re.compile(r"^(\S+)\s+0x[0-9a-fA-F]+\s", re.M)  # a section and its address
_MEMORY_CONFIGURATION = re.compile(rb"\nMemory Configuration\r?\n")  # CRLF where written on Windows
# XC16's two address spaces held apart in the model
DATA_SPACE = 1 << 32
# PIC32 kseg0 and kseg1 both map the physical memory below 512 MiB
_PHYSICAL = 0x1FFFFFFF


ELF_NOT_READ = "its addresses are the Microchip linker's own units"  # why an ELF named with the map is not used


def read(source, config=None) -> NormalizedBuildModel:
    with source.utf8() as data:
        model = parse(data, source.path, config)
    return model


def _xc32(report: str) -> bool:
    return "PIC32" in report or "kseg" in report or "xc32-ld" in report


def parse(data, path: str, config=None) -> NormalizedBuildModel:
    """The model of an XC16 or XC32 map from its bytes (UTF-8)."""
    raw_bytes = bytes(data)
    found = _MEMORY_CONFIGURATION.search(raw_bytes)
    start = found.start() if found else -1
    if start < 0:
        raise MapParseError(path, "a Microchip XC map without its memory configuration (link with -Map)")
    nul = raw_bytes.find(b"\0", 0, start)
    if nul >= 0:  # the report before the memory configuration is read as text, not by the line reader
        before = raw_bytes[:nul]
        line = before.count(b"\n") + before.count(b"\r") - before.count(b"\r\n") + 1
        raise MapParseError(path, "binary data inside the map", line)
    report = raw_bytes[:start].decode("utf-8", "replace")
    lines_before = raw_bytes.count(b"\n", 0, start + 1)
    try:
        raw = gnu_ld.parse(memoryview(raw_bytes)[start + 1:], path)
        xc32 = _xc32(report)
        raw.toolchain = Toolchain.XC32.value if xc32 else Toolchain.XC16.value
        # in the map's own units, before XC16's two address spaces are held apart
        check_address_space(raw, [out for out in raw.outputs if not never_allocated(out.name, out.address)])
        if xc32:
            stated = _xc32_totals(report)
            notes = _unlisted(raw, report, set(stated.regions))
        else:
            stated, notes = _xc16_totals(report), _to_bytes(raw, report)
        model = build_model(raw, config)
    except MapParseError as exc:  # lines counted from the memory configuration: from the file's start
        raise MapParseError(path, exc.reason, exc.line + lines_before if exc.line else None) from None
    _categories(model, xc32, config)
    if xc32:
        notes += _one_copy_of_aliased_memory(model)
        if stated.regions:  # the report counts each region as the sum of the sections it lists there
            model.regions_summed = frozenset(stated.regions)
    model.parse_assumptions.extend(notes)
    hand_on(model, stated)
    return model


def _xc16_totals(report: str) -> StatedTotals:
    totals = {name: figure(value) for name, value in _XC16_TOTAL.findall(report)}
    stated = StatedTotals(regions=dict(totals))
    if "program" in totals:
        stated.flash, stated.flash_words = totals["program"], 'Total "program" memory used'
    if "data" in totals:
        stated.ram, stated.ram_words = totals["data"], 'Total "data" memory used'
    return stated


def _xc32_totals(report: str) -> StatedTotals:
    regions = {name: figure(value) for name, value in _XC32_REGION_TOTAL.findall(report)
               if not name.endswith(("Program", "Data", "Boot"))}
    kinds = {kind: figure(value) for kind, value in _XC32_TOTAL.findall(report)}
    stated = StatedTotals(regions=regions)
    if "Program" in kinds:
        stated.flash = kinds["Program"] + kinds.get("Boot", 0)
        stated.flash_words = "Total Program Memory used" + (" + Total Boot Memory used" if "Boot" in kinds else "")
    if "Data" in kinds:
        stated.ram, stated.ram_words = kinds["Data"], "Total Data Memory used"
    return stated


def _unlisted(raw, report: str, totalled: set) -> list:
    """PIC32: the sections of the memory map that the memory-usage report lists in none of its
    regions are left out, as its totals leave them out: the minimum stack that its dynamic
    reservation grows from, a debug exception vector placed by address, the register
    information MIPS keeps at address 0."""
    counted, _, reserved = report.partition("Dynamic Data-Memory Reservation")
    listed = {figure(address, 16) for address in _XC32_ROW.findall(counted)}
    if not listed:
        return []
    kept, left = [], []
    for out in raw.outputs:
        if out.size and out.address not in listed and not never_allocated(out.name, out.address) and (
                out.name == ".reginfo" or any(r.origin <= out.address < r.origin + r.length for r in raw.regions
                                              if r.name in totalled)):
            left.append(f"{out.name} ({out.size:,} B at {out.address:#x})")
            continue
        kept.append(out)
    raw.outputs = kept
    if not left:
        return []
    dynamic = ", ".join(f"{name} {figure(size):,} B" for name, size in _XC32_RESERVATION.findall(reserved))
    return [f"the memory-usage report lists {', '.join(left)} in none of its regions: left out, as its totals "
            "leave them out" + (f" (its dynamic reservations: {dynamic})" if dynamic else "")]


def _data_space(attributes: str) -> bool:
    """XC16 data memory: a region whose attributes deny execution ("a !xr")."""
    denied = attributes.split("!", 1)[1] if "!" in attributes else ""
    return "x" in denied


def _to_bytes(raw, report: str) -> list:
    """XC16: program-memory figures in bytes, data memory moved above DATA_SPACE. A section is
    data memory when the report lists it there, or when only a data region holds it."""
    data_sections = set()
    for block in _REPORT_HEADING.split(report)[1:]:
        if block.lower().startswith(("data\" memory", "data memory")):
            data_sections |= set(_REPORT_ROW.findall(block.split("Total", 1)[0]))
    data_regions = [r for r in raw.regions if _data_space(r.attributes)]
    program_regions = [r for r in raw.regions if not _data_space(r.attributes)]

    def holds(regions, address):
        return any(r.origin <= address < r.origin + r.length for r in regions)

    raw.origin_totals = None  # counted in PC units as the symbols were read: counted again in bytes
    for region in program_regions:
        region.origin, region.length = region.origin * 3 // 2, region.length * 3 // 2
    for region in data_regions:
        region.origin += DATA_SPACE
    for out in raw.outputs:
        in_data = out.name in data_sections or (holds(data_regions, out.address)
                                                and not holds(program_regions, out.address))
        if in_data:
            _move(out, lambda value: value + DATA_SPACE, lambda size: size)
        else:
            _move(out, lambda value: value * 3 // 2, lambda size: size * 3 // 2)
    return ["program memory in bytes, as the map's own totals count it: its addresses and sizes there are "
            "PC units, two to a 24-bit instruction word of 3 bytes (figures times 3/2)",
            f"data memory, an address space of its own, is held at {DATA_SPACE:#x} plus its addresses"]


def _move(out, address, size) -> None:
    """An output section's addresses and sizes, its input sections' and its symbols', changed."""
    out.address, out.size = address(out.address), size(out.size)
    if out.load_address is not None:
        out.load_address = address(out.load_address)
    if out.padding is not None:
        out.padding = size(out.padding)
    for part in out.inputs:
        part.address, part.size = address(part.address), size(part.size)
    for symbol in out.symbols or ():
        symbol.address, symbol.size = address(symbol.address), size(symbol.size)


def _categories(model: NormalizedBuildModel, xc32: bool, config) -> None:
    """Flash and RAM as the map's own totals count them: XC16's "program" and "data" regions,
    PIC32's program, boot and exception memory and its data memory; reset and interrupt
    vectors, configuration words and registers are neither. A region the configuration names a
    category for keeps it."""
    configured = {r.name for r in getattr(config, "regions", ()) or () if getattr(r, "category", None)}
    for region in model.memory_regions:
        if region.name in configured:
            continue
        name = region.name.lower()
        if xc32:
            flash = name.endswith(("program_mem", "boot_mem")) or name == "exception_mem"
            ram = name.endswith("data_mem")
        else:
            flash, ram = name == "program", _data_space(region.attributes)
        region.category = MemoryCategory.FLASH if flash else MemoryCategory.RAM if ram else MemoryCategory.OTHER
    mark_unified(model.memory_regions, model.sections)


def _one_copy_of_aliased_memory(model: NormalizedBuildModel) -> list:
    """PIC32: a load address in the other MIPS segment of the memory a section runs from is
    that same memory, not a copy."""
    aliased = []
    for section in model.sections:
        load = section.load_address
        if load is not None and load != section.address and load & _PHYSICAL == section.address & _PHYSICAL:
            section.load_address, section.load_region = None, None
            aliased.append(section.name)
    if not aliased:
        return []
    return [f"section(s) {', '.join(aliased)} load where they run, seen through the other MIPS segment "
            "(kseg0 and kseg1 map one physical memory): counted once"]

