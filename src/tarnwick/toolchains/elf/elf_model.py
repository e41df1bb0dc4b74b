"""The model from an ELF file: alone (regions from the configuration, objects unknown), or
joined to the model of the map of the same link, where the ELF gives every symbol's exact
size (statics included) and every section's kind, and the map gives the regions and which
object file each symbol came from."""

from __future__ import annotations

import bisect
import operator

from tarnwick._native import input_spans, join_symbols
from tarnwick.toolchains.base import (
    MemoryCategory, MemoryRegion, NormalizedBuildModel, ReservedRange, Section, Symbol, SymbolList,
    Toolchain, region_containing, split_origin,
)
from tarnwick.toolchains.building.builder import RegionPlacer, by_address_note, left_behind, mark_unified, thread_local_note
from tarnwick.toolchains.building.region_kinds import region_category
from tarnwick.toolchains.building.section_kinds import never_allocated
from tarnwick.toolchains.elf.elf_file import SHF_EXECINSTR, SHF_WRITE, ElfFile, ElfSection

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional



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


def _laid_out(elf: ElfFile, regions: list, notes: list) -> list:
    """The sections that take memory, in the section table's order (the link's, for GNU ld):
    the allocated ones but thread-local bss, and those the linker laid out in a region without
    the alloc flag ((COPY)) and moved its location counter past."""
    sections = [s for s in elf.sections if s.allocated or (s.placed and not never_allocated(s.name, s.address)
                                                          and region_containing(regions, s.address) is not None)]
    tls = [s for s in sections if s.thread_local_bss]
    if tls:
        notes.append(thread_local_note(s.name for s in tls))
    sections = [s for s in sections if not s.thread_local_bss]
    by_address = sorted(sections, key=lambda s: s.address)
    around = neighbours(by_address, regions)
    copies = [s for i, s in enumerate(by_address)
              if not s.allocated and advanced_over(by_address, i, around, bool(s.flags & SHF_WRITE))]
    counted = {id(s) for s in copies}
    left_out = [s for s in sections if not s.allocated and id(s) not in counted]
    if copies:
        notes.append(copy_note((s.name for s in copies), counted=True))
    if left_out:
        notes.append(copy_note((s.name for s in left_out), counted=False))
    return [s for s in sections if s.allocated or id(s) in counted]


def _copy_images(elf: ElfFile, model: NormalizedBuildModel, laid_out: list) -> None:
    """Where ld stored the images of the (COPY) sections it laid out: the ELF places none, and ld
    puts each where the script puts the previous section of its region's image (no `AT` of its
    own: the same load region), at that region's load counter, the end of what it stores so far."""
    copies = {(s.name, s.address): s for s in laid_out if not s.allocated and s.has_contents}
    if not copies or not model.memory_regions:
        return
    headers = {(s.name, s.address): s for s in laid_out}
    regions = model.memory_regions
    stored_to: dict = {}  # load region name -> where its load counter is
    previous: dict = {}  # execution region name -> the region holding the last image placed from it
    for section in model.sections:
        header = copies.get((section.name, section.address))
        run_in = region_containing(regions, section.address)
        if header is not None and run_in is not None:
            load_region = previous.get(run_in.name)
            if load_region is not None and load_region is not run_in:
                start = stored_to.get(load_region.name, load_region.origin)
                section.load_address, section.load_region = start, load_region.name
                stored_to[load_region.name] = start + section.size
            continue
        physical = elf.physical_address(headers[(section.name, section.address)])
        stored_in = region_containing(regions, physical)
        if run_in is not None and stored_in is not None:
            previous[run_in.name] = stored_in
        if stored_in is not None and section.has_contents:
            stored_to[stored_in.name] = max(stored_to.get(stored_in.name, stored_in.origin), physical + section.size)


def model_from_elf(elf: ElfFile, config=None) -> NormalizedBuildModel:
    """A model from the ELF alone: regions from the configuration, sections from the section
    headers, symbols from the symbol table; which object each symbol came from is unknown."""
    regions = [MemoryRegion(r.name, r.origin, r.length,
                            MemoryCategory(r.category) if r.category else region_category(r.name), "")
               for r in getattr(config, "regions", ()) or ()]
    model = NormalizedBuildModel(toolchain=Toolchain.ELF, memory_regions=regions, source_path=elf.path)
    placer = RegionPlacer(regions, model.parse_assumptions)
    laid_out = _laid_out(elf, regions, model.parse_assumptions)
    by_address = {(laid_out[i].name, laid_out[i].address) for i in left_behind(laid_out, regions)} if regions else set()
    if by_address:
        model.placed_by_address = by_address
        model.parse_assumptions.append(by_address_note(s for s in laid_out if (s.name, s.address) in by_address))
    model.sections = [_section_record(elf, s, regions, None if (s.name, s.address) in by_address
                                      else placer.place(s.name, s.address, s.size))
                      for s in sorted(laid_out, key=lambda s: s.address)]
    _copy_images(elf, model, laid_out)
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


def _take_copy_kinds(model: NormalizedBuildModel, section: Section, header: ElfSection) -> None:
    """A (COPY) section the linker laid out takes its kind from the ELF's header, and its image
    from the load address the map states: the ELF places no image of a section it does not
    allocate."""
    section.is_code, section.is_writable = bool(header.flags & SHF_EXECINSTR), bool(header.flags & SHF_WRITE)
    section.has_contents = header.has_contents
    load = section.load_address or model.load_addresses_unused.get((section.name, section.address))
    if section.has_contents and load is not None and load != section.address:
        region = region_containing(model.memory_regions, load)
        section.load_address, section.load_region = load, region.name if region else None
    else:
        section.load_address = section.load_region = None


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


def neighbours(sections: list, regions: list) -> tuple[list, list]:
    """For each of `sections` (in the link's order), the index of the section before it and of
    the one after it in the same region (None: none), sections of no size left out."""
    before, after = [None] * len(sections), [None] * len(sections)
    last: dict = {}
    for index, section in enumerate(sections):
        if not section.size:
            continue
        key = id(region_containing(regions, section.address))
        if key in last:
            after[last[key]], before[index] = index, last[key]
        last[key] = index
    return before, after


def advanced_over(sections: list, index: int, around: tuple, writable: bool, image_stored: bool = False) -> bool:
    """Whether ld moved its location counter past the section at `index` of `sections` (in the
    link's order; `around`: their `neighbours`), which the ELF holds without the alloc flag
    (`(COPY)`): it did when the next section of its region starts at or after its end, not
    when that one starts where it starts. With none after it: when ld stored its image
    (`image_stored`: the next image starts after it), or when it is writable (its input
    sections were allocated data, which ld lays out; the CMSIS template's heap and stack,
    non-allocated input sections, leave the flag off)."""
    this = sections[index]
    before, after = around[0][index], around[1][index]
    if after is not None:
        return sections[after].address >= this.address + this.size
    if before is not None and sections[before].address == this.address:
        return False  # the last of sections laid out at one address
    return image_stored or writable


def copy_note(names, counted: bool) -> str:
    shown = ", ".join(sorted(set(names)))
    if counted:
        return (f"section(s) {shown} not allocated in the ELF file ((COPY)), but the linker moved its location "
                "counter past them (what follows starts after them): they count, as its own table counts them")
    return f"section(s) {shown} not allocated in the ELF file ((COPY)): they take no memory"


def join_elf(model: NormalizedBuildModel, elf: ElfFile) -> None:
    """Takes sizes and section kinds from the ELF of the link the map describes. Each symbol is
    attributed to the object file of the map's input section that holds it."""
    kinds = {s.name: s for s in _allocated(elf) if not s.thread_local_bss}
    # the ELF decides what the map left in doubt: sections set aside as not allocated that it
    # allocates count after all; sections it holds without the alloc flag count only where the
    # linker moved its counter past them
    restored = [section for section, _ in model.set_aside
                if section.name in kinds and kinds[section.name].address == section.address]
    if restored:
        model.sections.extend(restored)
        model.parse_assumptions.append(f"the ELF file allocates section(s) {', '.join(s.name for s in restored)}, "
                                       "which the map alone left in doubt: they count")
    model.set_aside = [pair for pair in model.set_aside if pair[0] not in restored]
    thread_local = {(s.name, s.address) for s in elf.sections if s.thread_local_bss and s.size}
    tls = [s for s in model.sections if (s.name, s.address) in thread_local]
    if tls:
        model.sections = [s for s in model.sections if s not in tls]
        model.set_aside.extend((s, None) for s in tls)
        model.parse_assumptions.append(thread_local_note(s.name for s in tls))
    unallocated = {(s.name, s.address): s for s in elf.sections if not s.allocated and s.size}
    regions = model.memory_regions
    kept, dropped = [], []
    around = neighbours(model.sections, regions)
    for index, section in enumerate(model.sections):
        header = unallocated.get((section.name, section.address))
        if header is None or section.name in kinds:
            continue
        stored = section.load_address is not None
        advanced = advanced_over(model.sections, index, around, bool(header.flags & SHF_WRITE), stored)
        (kept if advanced else dropped).append((section, header))
    if dropped:
        gone = [section for section, _ in dropped]
        model.sections = [s for s in model.sections if s not in gone]
        model.parse_assumptions.append(copy_note((s.name for s in gone), counted=False))
    for section, header in kept:
        _take_copy_kinds(model, section, header)
        kinds[section.name] = header
    if kept:
        model.parse_assumptions.append(copy_note((s.name for s, _ in kept), counted=True))
    copies = {id(section) for section, _ in kept}
    for section in model.sections:
        header = kinds.get(section.name)
        if header is None or header.address != section.address or id(section) in copies:
            continue
        record = _section_record(elf, header, regions, model.region_named(section.execution_region))
        section.has_contents, section.is_code, section.is_writable = (
            record.has_contents, record.is_code, record.is_writable)
        section.load_address, section.load_region = record.load_address, record.load_region

    # per output section, since overlays place sections at one address
    symbols = _joined(elf, kinds, input_spans(model.sections, split_origin))
    model.symbols = SymbolList(symbols)
    notes = model.parse_assumptions
    notes[:] = [n for n in notes if not n.startswith(("symbol sizes derived", "zero-initialised and no-load"))]
    notes.append(f"symbol sizes and section kinds from the ELF file {elf.path} ({elf.bits}-bit "
                 f"{elf.machine_name}), static symbols included; objects and archives from the map")
