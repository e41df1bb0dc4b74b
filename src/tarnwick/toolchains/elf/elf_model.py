"""The model from an ELF file: alone (regions from the configuration, objects unknown), or
joined to the model of the map of the same link, where the ELF gives every symbol's exact
size (statics included) and every section's kind, and the map gives the regions and which
object file each symbol came from."""

from __future__ import annotations

import bisect
import operator
from typing import Optional

from tarnwick._native import join_symbols
from tarnwick.toolchains.base import (
    MemoryCategory, MemoryRegion, NormalizedBuildModel, ReservedRange, Section, Symbol, SymbolList,
    Toolchain, region_containing, split_origin,
)
from tarnwick.toolchains.building.builder import RegionPlacer, mark_unified
from tarnwick.toolchains.elf.elf_file import ElfFile, ElfSection
from tarnwick.toolchains.building.region_kinds import region_category



def _allocated(elf: ElfFile) -> list:
    return [s for s in elf.sections if s.allocated]


def _joined(elf: ElfFile, allocated, inputs: dict) -> list:
    """The ELF's symbols placed in `allocated` sections, each with the object file of the input
    section in `inputs` that holds it (see `join_symbols`)."""
    names = [""] * len(elf.sections)
    for section in elf.sections:
        names[section.index] = section.name
    return join_symbols(elf.symbols, names, allocated, inputs, Symbol)


def _section_record(elf: ElfFile, section: ElfSection, regions: list,
                    region: Optional[MemoryRegion]) -> Section:
    load = elf.load_address(section)
    load_region = region_containing(regions, load) if section.has_contents and load != section.address else None
    return Section(
        name=section.name, address=section.address, size=section.size,
        execution_region=region.name if region else None,
        load_region=load_region.name if load_region else None,
        load_address=load if section.has_contents and load != section.address else None,
        has_contents=section.has_contents, is_code=bool(section.flags & 0x4),
        is_writable=bool(section.flags & 0x1),
    )


def model_from_elf(elf: ElfFile, config=None) -> NormalizedBuildModel:
    """A model from the ELF alone: regions from the configuration, sections from the section
    headers, symbols from the symbol table; which object each symbol came from is unknown."""
    regions = [MemoryRegion(r.name, r.origin, r.length,
                            MemoryCategory(r.category) if r.category else region_category(r.name), "")
               for r in getattr(config, "regions", ()) or ()]
    model = NormalizedBuildModel(toolchain=Toolchain.ELF, memory_regions=regions, source_path=elf.path)
    placer = RegionPlacer(regions, model.parse_assumptions)
    model.sections = [_section_record(elf, s, regions, placer.place(s.name, s.address, s.size))
                      for s in sorted(_allocated(elf), key=lambda s: s.address)]
    # each section as one input section of unknown origin: its bytes no symbol covers are named after it
    whole = {s.name: [(s.address, s.end, s.name, s.name, None, None)] for s in model.sections if s.size}
    model.symbols = SymbolList(_joined(elf, {s.name for s in model.sections}, whole))
    if elf.host_program:
        model.warnings.append(f"{elf.path} is a program for an operating system's loader ({elf.machine_name}, "
                              "position-independent or dynamically linked), not a firmware image: its figures "
                              "are its sections' sizes, with no target memory to fit them in")
    notes = model.parse_assumptions
    notes.append(f"read from the ELF file alone ({elf.bits}-bit {elf.machine_name}, symbols from "
                 f"{elf.symbol_table or 'no symbol table'}): symbol sizes are exact; which object file "
                 "or archive each symbol came from is unknown (read the link's map with it for that)")
    if regions:
        notes.append("memory regions taken from the configuration (an ELF file lists none)")
    else:
        model.unresolved_ambiguities.append(
            "no memory regions: an ELF file lists none and the configuration gives none; region "
            "usage, overflow and budget checks cannot be made; flash and RAM totals come from "
            "what the sections hold")
    notes.append("bytes of a section that no symbol covers are attributed to a symbol named after the section")
    for reserved in getattr(config, "reserved_ranges", ()) or ():
        model.reserved_ranges.append(ReservedRange(reserved.name, reserved.start, reserved.length))
    mark_unified(regions, model.sections)
    return model


# The map's symbols checked against the ELF's: enough to tell another link, few enough to cost
# nothing on a map of a million symbols.
_SYMBOLS_CHECKED = 4096


def different_link(model: NormalizedBuildModel, elf: ElfFile) -> Optional[str]:
    """Why the ELF is not the output of the link the map describes, or None when it is: every
    section both list must have the same address and size, and the symbols the map lists must
    be where the ELF has them (another build of the same sources moves some)."""
    mapped = {s.name: s for s in model.sections if s.size}
    common = 0
    for section in _allocated(elf):
        ours = mapped.get(section.name)
        if ours is None or not section.size:
            continue
        if (ours.address, ours.size) != (section.address, section.size):
            return (f"section {section.name} is at {ours.address:#x} ({ours.size} bytes) in the map "
                    f"and at {section.address:#x} ({section.size} bytes) in the ELF")
        common += 1
    if not common:
        return "the map and the ELF have no section in common"
    step = max(1, len(model.symbols) // _SYMBOLS_CHECKED)
    listed = [s for s in model.symbols[::step] if s.binding != "unnamed" and s.size_source != "elf"]
    if not listed or not elf.symbols:
        return None
    symbols = elf.symbols  # (name, start, ...) by start
    starts = list(map(operator.itemgetter(1), symbols))
    elsewhere = []
    for symbol in listed:
        found = False
        for address in {symbol.address, symbol.address & ~1}:
            at = bisect.bisect_left(starts, address)
            while at < len(starts) and starts[at] == address and not found:
                found = symbols[at][0] == symbol.name
                at += 1
        if not found:
            elsewhere.append(symbol)
    if not elsewhere:
        return None
    # a name the ELF lacks is one it does not list (a label without a type); one it has at
    # another address is another link's
    wanted = {s.name: s for s in elsewhere}
    for name, start, *_ in symbols:
        symbol = wanted.get(name)
        if symbol is not None:
            return f"symbol {name} is at {symbol.address:#x} in the map and at {start:#x} in the ELF"
    if len(elsewhere) == len(listed):
        return "none of the map's symbols is in the ELF"
    return None


def join_elf(model: NormalizedBuildModel, elf: ElfFile) -> None:
    """Takes sizes and section kinds from the ELF of the link the map describes. Each symbol is
    attributed to the object file of the map's input section that holds it."""
    kinds = {s.name: s for s in _allocated(elf)}
    # the ELF decides what the map left in doubt: sections set aside as not allocated that it
    # allocates count after all; sections it holds without the alloc flag take no memory
    restored = [section for section, _ in model.set_aside
                if section.name in kinds and kinds[section.name].address == section.address]
    if restored:
        model.sections.extend(restored)
        model.parse_assumptions.append(f"the ELF file allocates section(s) {', '.join(s.name for s in restored)}, "
                                       "which the map alone left in doubt: they count")
    model.set_aside = [pair for pair in model.set_aside if pair[0] not in restored]
    unallocated = {(s.name, s.address) for s in elf.sections if not s.allocated and s.size}
    dropped = [s for s in model.sections if (s.name, s.address) in unallocated and s.name not in kinds]
    if dropped:
        gone = {s.name for s in dropped}
        model.sections = [s for s in model.sections if s not in dropped]
        model.parse_assumptions.append(f"section(s) {', '.join(sorted(gone))} not allocated in the ELF file "
                                       "((COPY)): they take no memory")
    regions = model.memory_regions
    for section in model.sections:
        header = kinds.get(section.name)
        if header is None or header.address != section.address:
            continue
        record = _section_record(elf, header, regions, model.region_named(section.execution_region))
        section.has_contents, section.is_code, section.is_writable = (
            record.has_contents, record.is_code, record.is_writable)
        section.load_address, section.load_region = record.load_address, record.load_region

    # per output section, since overlays place sections at one address
    inputs: dict = {}
    for section in model.sections:
        parts = sorted((part.address, part.address + part.size, part.name, section.name, *split_origin(part.origin))
                       for part in section.inputs if not part.is_fill and part.size)
        if parts:
            inputs[section.name] = parts
    symbols = _joined(elf, kinds, inputs)
    model.symbols = SymbolList(symbols)
    notes = model.parse_assumptions
    notes[:] = [n for n in notes if not n.startswith(("symbol sizes derived", "zero-initialised and no-load"))]
    notes.append(f"symbol sizes and section kinds from the ELF file {elf.path} ({elf.bits}-bit "
                 f"{elf.machine_name}), static symbols included; objects and archives from the map")
