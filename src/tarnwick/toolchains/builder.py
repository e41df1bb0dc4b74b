"""Turns what a parser read into a `NormalizedBuildModel`: regions and their kinds, where each
section runs and loads, symbol sizes, and the notes a reader of the report should see."""

from __future__ import annotations

import re
from typing import Optional

from tarnwick.toolchains.base import (
    MemoryCategory, MemoryRegion, NormalizedBuildModel, ReservedRange, Section, Symbol, Toolchain,
    split_origin,
)
from tarnwick.toolchains.raw import RawInput, RawMap, RawRegion

# Sections that take no memory on the target: debug data, comments, attributes.
_NON_ALLOCATED = re.compile(
    r"^\.(debug|zdebug|comment|ARM\.attributes|riscv\.attributes|gnu\.attributes|stab|note\.gnu\.build-id"
    r"|symtab|strtab|shstrtab|gnu_debuglink|GCC\.command\.line|line|xt\.)")
# Sections the loader zero-fills or leaves alone: they have no image to copy.
_NO_CONTENTS = re.compile(r"^(\.bss|\.sbss|\.tbss|\.noinit|\.no_init|COMMON|\._user_heap_stack|"
                          r"\.heap|\.stack|\.uninit)", re.IGNORECASE)
_CODE = re.compile(r"^\.(text|init|fini|ramfunc|ram_code|ramcode|iram|itcm|fastcode|glue_7|vfp11_veneer)")
_FLASH_NAME = re.compile(r"FLASH|ROM|QSPI|OSPI|NOR|OTP|BOOT", re.IGNORECASE)
_RAM_NAME = re.compile(r"RAM|CCM|TCM|SRAM|BKP", re.IGNORECASE)
_HINT = re.compile(r"(stack|heap)", re.IGNORECASE)
# A section that starts at most this far past the fill of an overflowing region still belongs
# to it (the linker kept placing the region's sections after its end).
_OVERFLOW_SLACK = 256


def region_category(name: str, attributes: str = "") -> MemoryCategory:
    """By the region's name first (FLASH, ROM; RAM, CCM, TCM), then by its attributes
    (writable is RAM, readable or executable only is flash)."""
    if _RAM_NAME.search(name) and not _FLASH_NAME.search(name):
        return MemoryCategory.RAM
    if _FLASH_NAME.search(name):
        return MemoryCategory.FLASH
    attributes = attributes.lower().lstrip("!")
    if "w" in attributes:
        return MemoryCategory.RAM
    if "r" in attributes or "x" in attributes:
        return MemoryCategory.FLASH
    return MemoryCategory.OTHER


def _regions(raw: RawMap, config) -> tuple[list, Optional[str]]:
    if raw.regions:
        return [MemoryRegion(r.name, r.origin, r.length, region_category(r.name, r.attributes),
                             r.attributes) for r in raw.regions], None
    configured = list(getattr(config, "regions", ()) or ())
    if configured:
        return [MemoryRegion(r.name, r.origin, r.length,
                             MemoryCategory(r.category) if r.category else region_category(r.name),
                             "") for r in configured], None
    return [], ("the map lists no memory regions and the configuration gives none: "
                "region usage, overflow and budget checks cannot be made")


def _input_symbols(part: RawInput, output_name: str, sizes_given: bool) -> list:
    """The symbols of one input section, every byte of it accounted for. Where the map gives
    no sizes, a symbol runs to the next symbol or the end of its input section. Aliases (more
    than one name at one address) take the bytes once. Bytes no symbol covers are given to a
    symbol named after the input section."""
    object_file, archive = split_origin(part.origin)
    end = part.address + part.size
    if len(part.symbols) == 1:  # the common case: one function, one section
        only = part.symbols[0]
        start = only.address & ~1
        if part.address <= start < end:
            size = min(only.size, end - start) if sizes_given else end - start
            result = [Symbol(only.name, only.address, size, output_name, object_file, archive,
                             size_derived=not sizes_given)]
            rest = part.size - size
            if rest > 0:
                result.append(Symbol(part.name, part.address, rest, output_name, object_file,
                                     archive, size_derived=True))
            return result
    located = sorted((s for s in part.symbols if part.address <= (s.address & ~1) < end or not part.size),
                     key=lambda s: s.address & ~1)
    result = []
    covered = 0
    index = 0
    while index < len(located):
        address = located[index].address & ~1
        group_end = index
        while group_end + 1 < len(located) and (located[group_end + 1].address & ~1) == address:
            group_end += 1
        group = located[index:group_end + 1]
        primary = next((s for s in group if part.name.endswith("." + s.name)), group[0])
        if sizes_given:
            size = max(0, min(primary.size or 0, end - address))
        else:
            following = located[group_end + 1].address & ~1 if group_end + 1 < len(located) else end
            size = max(0, following - address)
        for symbol in group:
            result.append(Symbol(symbol.name, symbol.address, size if symbol is primary else 0,
                                 output_name, object_file, archive, size_derived=not sizes_given))
        covered += size
        index = group_end + 1
    rest = part.size - covered
    if rest > 0:
        result.append(Symbol(part.name, part.address, rest, output_name, object_file, archive,
                             size_derived=True))
    return result


def _hints(raw: RawMap, sections: list) -> dict:
    hints: dict[str, list] = {"stack": [], "heap": []}
    for name, value, expression in raw.assignments:
        found = _HINT.search(name)
        if found:
            shown = f"0x{value:x}" if value is not None else expression
            hints[found[1].lower()].append(f"{name} = {shown}")
    for section in sections:
        for kind in ("stack", "heap"):
            if kind in section.name.lower():
                hints[kind].append(f"section {section.name} at 0x{section.address:x}, {section.size} bytes")
    return hints


def build_model(raw: RawMap, config=None) -> NormalizedBuildModel:
    regions, missing_regions = _regions(raw, config)
    model = NormalizedBuildModel(toolchain=Toolchain(raw.toolchain), memory_regions=regions,
                                 source_path=raw.path)
    assumptions = model.parse_assumptions
    ambiguities = model.unresolved_ambiguities
    if missing_regions:
        ambiguities.append(missing_regions)
    elif not raw.regions:
        assumptions.append("memory regions taken from the configuration (the map lists none)")

    def region_at(address: int) -> Optional[MemoryRegion]:
        return next((r for r in regions if r.contains(address)), None)

    # How far each region is filled so far, to follow a region past its end when it overflows.
    filled_to = {r.name: r.origin for r in regions}

    def overflowed_into(address: int) -> Optional[MemoryRegion]:
        candidates = [r for r in regions if r.origin <= address and filled_to[r.name] >= r.end
                      and address <= filled_to[r.name] + _OVERFLOW_SLACK]
        return max(candidates, key=lambda r: r.origin, default=None)

    left_out = 0
    for out in raw.outputs:
        if _NON_ALLOCATED.match(out.name) or out.name == "/DISCARD/":
            left_out += 1
            continue
        region = None
        if out.size:
            region = region_at(out.address)
            if region is None:
                region = overflowed_into(out.address)
                if region is not None:
                    assumptions.append(f"section {out.name} at 0x{out.address:x} placed in "
                                       f"{region.name} past its end: the region overflows")
            if region is not None:
                filled_to[region.name] = max(filled_to[region.name], out.address + out.size)
        load_region = region_at(out.load_address) if out.load_address is not None else None
        in_ram = region is not None and region.category is MemoryCategory.RAM
        has_contents = not _NO_CONTENTS.match(out.name) and (not in_ram or out.load_address is not None)
        inputs = tuple(out.inputs)
        section = Section(
            name=out.name, address=out.address, size=out.size,
            execution_region=region.name if region else None,
            load_region=(load_region.name if load_region else None) if has_contents else None,
            load_address=out.load_address if has_contents else None,
            has_contents=has_contents, is_code=bool(_CODE.match(out.name)), inputs=inputs,
        )
        model.sections.append(section)
        if out.size and region is None and regions:
            ambiguities.append(f"section {out.name} at 0x{out.address:x} ({out.size} bytes) "
                               "lies in no memory region")
        for part in out.inputs:
            if not part.is_fill:
                model.symbols.extend(_input_symbols(part, out.name, raw.symbol_sizes_given))
            part.symbols = []  # now in model.symbols with their sizes

    if left_out:
        assumptions.append(f"{left_out} non-allocated output section(s) (debug, comments, "
                           "attributes) left out: they take no target memory")
    if not raw.symbol_sizes_given:
        assumptions.append("symbol sizes derived from the next symbol or the end of the input "
                           "section (the map gives addresses only)")
    assumptions.append("bytes of an input section that no symbol covers are attributed to a "
                       "symbol named after the input section")
    assumptions.append("zero-initialised and no-load sections recognised by name (.bss, .noinit, "
                       "COMMON, heap and stack)")
    assumptions.extend(raw.notes)
    for reserved in getattr(config, "reserved_ranges", ()) or ():
        model.reserved_ranges.append(ReservedRange(reserved.name, reserved.start, reserved.length))
    model.stack_heap_hints = _hints(raw, model.sections)
    return model
