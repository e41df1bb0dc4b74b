"""Turns what a parser read into a `NormalizedBuildModel`: regions and their kinds, where each
section runs and loads, what each section holds, symbol sizes, and the notes a reader of the
report should see."""

from __future__ import annotations

import re

from tarnwick._native import size_symbols
from tarnwick.toolchains.base import (
    MemoryCategory, MemoryRegion, NormalizedBuildModel, ReservedRange, Section, Symbol, Toolchain,
    region_containing, split_origin,
)
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.building.raw import RawInput, RawMap
from tarnwick.toolchains.building.region_kinds import region_category
from tarnwick.toolchains.building.section_kinds import (
    any_named_code, named_code, named_read_only, named_thread_local_bss, named_without_contents, named_writable, never_allocated,
)

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

_HINT = re.compile(r"(stack|heap)", re.IGNORECASE)
# A section that starts at most this far past the fill of an overflowing region still belongs
# to it (the linker kept placing the region's sections after its end).
_OVERFLOW_SLACK = 256
# How many later sections to read for the load-address evidence; the next one in the same
# region is nearly always among the first few.
_EVIDENCE_WINDOW = 32


class RegionPlacer:
    """Which region each section runs from, by address, following a region past its end when
    it overflows: the linker keeps placing the region's sections after its end, so a section
    starting just past the fill of an overflowing region still belongs to it. Sections are
    placed in address order."""

    def __init__(self, regions: list, notes: list):
        self.regions, self.notes = regions, notes
        self.filled_to = {r.name: r.origin for r in regions}

    def place(self, name: str, address: int, size: int) -> Optional[MemoryRegion]:
        if not size:
            return None
        region = region_containing(self.regions, address)
        if region is None:
            filled = self.filled_to
            candidates = [r for r in self.regions if r.origin <= address and filled[r.name] >= r.end
                          and address <= filled[r.name] + _OVERFLOW_SLACK]
            region = max(candidates, key=lambda r: r.origin, default=None)
            if region is not None:
                self.notes.append(f"section {name} at 0x{address:x} placed in {region.name} past "
                                  "its end: the region overflows")
        if region is not None:
            self.filled_to[region.name] = max(self.filled_to[region.name], address + size)
        return region


def regions_with_config(found: list, config, notes: list) -> tuple[list, Optional[str]]:
    """The regions a map gives, with the categories the configuration names for them; the
    configuration's regions when the map gives none; and, when there are none at all, the
    sentence that says what cannot be checked."""
    configured = {r.name: r for r in getattr(config, "regions", ()) or ()}
    if found:
        for region in found:
            given = configured.pop(region.name, None)
            if given is not None and given.category:
                region.category = MemoryCategory(given.category)
        if configured:
            notes.append(f"configured region(s) {', '.join(sorted(configured))} not in the map: "
                         "left out")
        return found, None
    if configured:
        notes.append("memory regions taken from the configuration (the map lists none)")
        return [MemoryRegion(r.name, r.origin, r.length,
                             MemoryCategory(r.category) if r.category else region_category(r.name),
                             "") for r in configured.values()], None
    return [], ("the map lists no memory regions and the configuration gives none: region "
                "usage, overflow and budget checks cannot be made; flash and RAM totals come "
                "from what the sections hold")


def _mostly(raw_output, named) -> bool:
    """Whether the named input sections hold more than half of a section's bytes."""
    parts = [part for part in raw_output.inputs if not part.is_fill and part.size]
    return sum(part.size for part in parts if named(part.name)) * 2 > sum(p.size for p in parts) > 0


def _kinds(raw_output, region: Optional[MemoryRegion], has_contents: bool) -> tuple[bool, bool]:
    """(holds code, holds writable data). By the section's name, else by what most of its
    input sections are named, else by where it runs: data in RAM, or copied there from an
    image elsewhere, is writable."""
    name = raw_output.name
    is_code = named_code(name) or (not named_writable(name) and not named_read_only(name)
                                   and _mostly(raw_output, named_code))
    if is_code:
        return True, False
    if not has_contents or named_writable(name) or _mostly(raw_output, named_writable):
        return False, True
    if named_read_only(name) or _mostly(raw_output, named_read_only):
        return False, False
    in_ram = region is not None and region.category is MemoryCategory.RAM
    return False, in_ram or raw_output.load_address is not None


def _named_nobits(raw_output) -> bool:
    """No contents by its own name, or because everything in it is zero-initialised. A name
    that says code, read-only or initialised data decides without reading the inputs."""
    name = raw_output.name
    if named_without_contents(name):
        return True
    if named_code(name) or named_read_only(name) or named_writable(name):
        return False
    return _all_named(raw_output.inputs, named_without_contents)


def _named_thread_local_bss(raw_output) -> bool:
    """.tbss by its own name or its input sections' names."""
    if named_thread_local_bss(raw_output.name):
        return True
    return _all_named(raw_output.inputs, named_thread_local_bss)


def _all_named(inputs, named) -> bool:
    """Whether there are input sections holding bytes (no fill), all of them `named` so: the
    first that is not decides (an output section of a large build has 200,000)."""
    held = False
    for part in inputs:
        if part.is_fill or not part.size:
            continue
        if not named(part.name):
            return False
        held = True
    return held


def thread_local_note(names) -> str:
    return (f"section(s) {', '.join(names)} hold(s) zero-initialised thread-local data (.tbss): the linker lays "
            "it out in the TLS template without moving the region's location counter (what follows starts where "
            "it starts), so it takes no memory of the region; each thread's TLS block holds it")


def by_address_note(sections) -> str:
    shown = ", ".join(f"{s.name} at 0x{s.address:x}" for s in sections)
    return (f"section(s) {shown} placed by address alone (the command line or the script gives the address "
            "and no `> REGION`): ld counts them in no memory region and leaves the region's location counter "
            "where it was, so they are shown apart, in no region, and the gap before them is no use")


def _load_evidence(outputs: list, index: int, regions: list) -> Optional[bool]:
    """Whether a section with a load address of its own has an image there, read from the
    next section placed in the same region: ld does not advance a region's load address past
    a section it does not load (NOLOAD), so the next one starts where this one would."""
    this = outputs[index]
    start = this.load_address
    region = region_containing(regions, start)
    for later in outputs[index + 1:index + 1 + _EVIDENCE_WINDOW]:
        position = later.load_address if later.load_address is not None else later.address
        if region is not None and region_containing(regions, position) is not region:
            continue
        if region is None and position < start:
            continue
        if position < start:
            return None
        return position >= start + this.size
    return None


def not_allocated(outputs: list, regions: list) -> set:
    """The indexes of sections the linker laid out without allocating them (`(COPY)`, `(INFO)`):
    it does not move a region's location counter past such a section, so the next section of
    the region starts where it started. A run of sections of one region that start at one
    address, none with a load address of its own (an OVERLAY's members have theirs), is such
    a run, its last member included. A map names no section types; the ELF file, where one is
    read, tells for certain."""
    found: set = set()
    run: list = []
    region = None
    for index, out in enumerate(outputs):
        if not out.size:
            continue
        own_load = out.load_address is not None and out.load_address != out.address
        here = region_containing(regions, out.address)
        if run and not own_load and here is region and out.address == outputs[run[0]].address:
            run.append(index)
            continue
        if len(run) > 1:
            found.update(run)
        run, region = ([] if own_load else [index]), here
    if len(run) > 1:
        found.update(run)
    return found


def left_behind(sections: list, regions: list, skip=frozenset()) -> set:
    """The indexes of sections (with `address` and `size`, in the link's order) that a later
    section of their region starts below: ld's location counter, which every section placed in
    a region with `> REGION` moves, did not pass them, so the script placed them by their address
    alone, and ld's table counts them in no region (its figure is where the counter ends).
    Members of an overlay start where the one before started, and leave none behind."""
    found: set = set()
    rising: dict = {}  # region name -> [(start, index)] of the sections not yet left behind, rising
    for index, section in enumerate(sections):
        if index in skip or not section.size:  # an empty section may sit anywhere (at 0)
            continue
        region = region_containing(regions, section.address)
        if region is None:
            continue
        earlier = rising.setdefault(region.name, [])
        while earlier and earlier[-1][0] > section.address:
            found.add(earlier.pop()[1])
        earlier.append((section.address, index))
    return found


def address_set_by_option(raw: RawMap) -> set:
    """(name, address) of the sections whose address the map says the command line set
    (`--section-start=.version=0x7ffe`: "Address of section .version set to 0x7ffe", in the
    language ld writes): every word of the line, paired with its address, for a section to match."""
    return {(word, address) for line, address in raw.addresses_set for word in line.split()}


def input_symbols(part: RawInput, output_name: str, sizes_given: bool, thumb: bool,
                  code: Optional[bool] = None) -> list:
    """The symbols of one input section, every byte of it accounted for once. Where the map
    gives no sizes, a symbol runs to the next symbol or the end of its input section. More than
    one name at one address (aliases) all get the size; the first is the one whose bytes count,
    the others name it in `alias_of`. Bytes no symbol covers go to a symbol named after the
    input section. `code` says whether the part holds code (else its name tells). Sized in
    native code, as the native readers size the symbols of theirs."""
    code = named_code(part.name) if code is None else code
    return size_symbols(part, output_name, sizes_given, thumb, code, Symbol, split_origin)


def stack_heap_hints(assignments: list, sections: list) -> dict:
    """Where the stacks and heaps are, from script assignments and section names."""
    hints: dict[str, list] = {"stack": [], "heap": []}
    for name, value, expression in assignments:
        found = _HINT.search(name)
        if found:
            shown = f"0x{value:x}" if value is not None else expression
            hints[found[1].lower()].append(f"{name} = {shown}")
    stacks, heaps = hints["stack"], hints["heap"]
    named = "\n".join([section.name for section in sections]).lower()
    if "stack" not in named and "heap" not in named:
        return hints  # a vendor map's sections, by the ten thousand, mostly name neither
    for section in sections:
        lowered = section.name.lower()
        if "stack" in lowered:
            stacks.append(f"section {section.name} at 0x{section.address:x}, {section.size} bytes")
        if "heap" in lowered:
            heaps.append(f"section {section.name} at 0x{section.address:x}, {section.size} bytes")
    return hints


def configured_reserved_ranges(config) -> list:
    return [ReservedRange(r.name, r.start, r.length) for r in getattr(config, "reserved_ranges", ()) or ()]


def mark_unified(regions: list, sections: list) -> None:
    """A region holding the image of code that nothing copies there from flash, and writable
    data, is one memory for both: the build runs where it is loaded. So is a region of no
    known kind that holds such code: a soft core's `mem`, whose one section may hold it all."""
    by_name = {r.name: r for r in regions}
    flash = {name for name, r in by_name.items() if r.category is MemoryCategory.FLASH}
    image, writable = set(), set()
    # flash is never one memory with RAM: its sections (a vendor map's, by the ten thousand,
    # most of them) are passed over first
    for section in [section for section in sections if section.execution_region not in flash]:
        region = section.execution_region
        if not section.size or region not in by_name:
            continue
        if section.is_writable:
            writable.add(region)
        # a section with no contents holds no code
        if region in image or not section.has_contents:
            continue
        if section.load_region is not None and section.load_region != region:
            continue
        if section.is_code or any_named_code([p.name for p in section.inputs if p.size and not p.is_fill]):
            image.add(region)
    for region in regions:
        region.unified = (region.category is not MemoryCategory.FLASH and region.name in image
                          and (region.name in writable or region.category is MemoryCategory.OTHER))


def check_address_space(raw: RawMap, outputs: list) -> None:
    """A section beyond the address space that the map's own regions span (16, 24, 32 or 64
    bits) is a figure no build has: the map is read wrongly or is broken, and is not reported."""
    ends = [r.origin + r.length for r in raw.regions]
    if not ends:
        return
    space = next((bits for bits in (16, 24, 32) if max(ends) <= 1 << bits), 64)
    for out in outputs:
        if out.size and out.address + out.size > 1 << space:
            raise MapParseError(raw.path, f"section {out.name} at {out.address:#x} ({out.size:,} bytes) lies beyond "
                                f"the {space}-bit address space of the map's memory regions", out.line or None)


def build_model(raw: RawMap, config=None) -> NormalizedBuildModel:
    notes: list = []
    found = [MemoryRegion(r.name, r.origin, r.length, region_category(r.name, r.attributes), r.attributes)
             for r in raw.regions]
    regions, missing_regions = regions_with_config(found, config, notes)
    model = NormalizedBuildModel(toolchain=Toolchain(raw.toolchain), memory_regions=regions,
                                 source_path=raw.path, image_placement_unstated=True)
    assumptions = model.parse_assumptions
    ambiguities = model.unresolved_ambiguities
    if missing_regions:
        ambiguities.append(missing_regions)
    assumptions.extend(notes)

    placer = RegionPlacer(regions, assumptions)
    allocated = [out for out in raw.outputs if not never_allocated(out.name, out.address)]
    check_address_space(raw, allocated)
    left_out = len(raw.outputs) - len(allocated)
    unallocated = not_allocated(allocated, regions)
    if unallocated:
        names = [allocated[i].name for i in sorted(unallocated)]
        assumptions.append(f"section(s) {', '.join(names)} taken as not allocated ((COPY)): they start at one "
                           "address of their region one after another, so the linker did not move its location "
                           "counter past them; they take no memory")
    thread_local = {index for index, out in enumerate(allocated)
                    if out.size and index not in unallocated and _named_thread_local_bss(out)}
    if thread_local:
        assumptions.append(thread_local_note(allocated[i].name for i in sorted(thread_local)))
    set_aside = unallocated | thread_local
    # what GNU ld's own counters did (Microchip's XC maps, read as GNU ld's, mix address spaces)
    gnu_ld = raw.toolchain == Toolchain.GNU_LD.value
    by_address = set()
    if gnu_ld:
        by_option = address_set_by_option(raw)
        by_address = {index for index, out in enumerate(allocated)
                      if not out.scripted and (out.name, out.address) in by_option and index not in set_aside}
        by_address |= left_behind(allocated, regions, set_aside | by_address)
    if by_address:
        assumptions.append(by_address_note(allocated[i] for i in sorted(by_address)))
    # ld moves a region's load address past a section only when it stores the section's image:
    # where it did, the section has contents whatever its name says ((COPY) heap and stack arrays)
    evidence_over_names = gnu_ld
    stored_despite_name = []
    for index, out in enumerate(allocated):
        if index in set_aside:
            region = region_containing(regions, out.address)
        elif index in by_address:
            region = None
        else:
            region = placer.place(out.name, out.address, out.size)
        evidence = (_load_evidence(allocated, index, regions)
                    if out.load_address is not None and out.size else None)
        if _named_nobits(out):
            has_contents = bool(evidence) and evidence_over_names
            if has_contents:
                stored_despite_name.append(out.name)
        else:
            has_contents = evidence is not False
        load_region = (region_containing(regions, out.load_address)
                       if out.load_address is not None and has_contents else None)
        is_code, is_writable = _kinds(out, region, has_contents)
        section = Section(
            name=out.name, address=out.address, size=out.size,
            execution_region=region.name if region else None,
            load_region=load_region.name if load_region else None,
            load_address=out.load_address if has_contents else None,
            has_contents=has_contents, is_code=is_code, inputs=tuple(out.inputs),
            is_writable=is_writable, padding_bytes=out.padding,
        )
        if index in by_address:
            model.placed_by_address.add((out.name, out.address))
        if out.load_address is not None and not has_contents:
            model.load_addresses_unused[(out.name, out.address)] = out.load_address
        if index in set_aside:
            model.set_aside.append((section, out.symbols))
            continue
        model.sections.append(section)
        if out.size and region is None and regions and index not in by_address:
            ambiguities.append(f"section {out.name} at 0x{out.address:x} ({out.size} bytes) "
                               "lies in no memory region")
        model.symbols.extend(out.symbols)
    mark_unified(regions, model.sections)
    if raw.origin_totals is not None and not set_aside:  # counted with the set-aside sections' symbols
        model.symbols.keep_origin_totals(raw.origin_totals)
    if stored_despite_name:
        assumptions.append(f"section(s) {', '.join(stored_despite_name)} hold contents whatever their names say: "
                           "the linker moved the load address past them (the next image starts after theirs), "
                           "which it does only for a section whose image it stores")

    if left_out:
        assumptions.append(f"{left_out} non-allocated output section(s) (debug, comments, "
                           "attributes) left out: they take no target memory")
    if not raw.symbol_sizes_given:
        assumptions.append("symbol sizes derived from the next symbol or the end of the input "
                           "section (the map gives addresses only)")
    assumptions.append("bytes of an input section that no symbol covers are attributed to a "
                       "symbol named after the input section")
    assumptions.append("zero-initialised and no-load sections recognised by name (.bss, .noinit, "
                       "COMMON, heap and stack) and by a load address the next section reuses")
    unified = [r.name for r in regions if r.unified]
    if unified:
        assumptions.append(f"{', '.join(unified)} hold(s) both the image and writable data: its "
                           "code and read-only data count as flash, its writable data as RAM")
    assumptions.extend(raw.notes)
    model.reserved_ranges.extend(configured_reserved_ranges(config))
    model.stack_heap_hints = stack_heap_hints(raw.assignments, model.sections)
    return model
