"""Where the bytes go: largest symbols and object files, flash against RAM, start-up copies."""

from __future__ import annotations

import heapq

from tarnwick.analysis._placement import category_of, load_region_of, placed_sections
from tarnwick._native import largest_symbols, origin_groups
from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.support.origins import UNKNOWN_ORIGIN
from tarnwick.support.records import record
from tarnwick.support.symbol_list import named_origin_totals
from tarnwick.toolchains.base import MemoryCategory, NormalizedBuildModel
from tarnwick.toolchains.building.section_kinds import named_code, named_read_only, named_writable


@record(frozen=True)
class SizeEntry:
    name: str
    size: int
    symbol_count: int = 1


@record(frozen=True)
class FlashRamAttribution:
    flash_bytes: int
    ram_bytes: int
    other_bytes: int


@record(frozen=True)
class InitializedRamCost:
    initialized_ram_bytes: int
    estimated_flash_init_payload_bytes: int


def _largest_first(entries, limit):
    return heapq.nsmallest(max(limit, 0), entries, key=lambda e: (-e.size, e.name))


def top_symbols_by_size(symbols, *, limit: int) -> list:
    return [SizeEntry(s.name, s.size) for s in largest_symbols(symbols, limit)]


def top_object_archive_contributors(symbols, *, limit: int) -> list:
    """Object files (as `libfoo.a(bar.o)` inside archives) ranked by the bytes of their symbols."""
    # every section in one group (None): the bytes per name over all of them
    totals, names = named_origin_totals(symbols)
    groups, counts = origin_groups(totals, names, UNKNOWN_ORIGIN, {}, None, max(limit, 0), True)
    return [SizeEntry(name, size, counts[name]) for name, size in groups.get(None, ())]


def compute_flash_ram_attribution(model: NormalizedBuildModel) -> FlashRamAttribution:
    """Bytes by the kind of memory they occupy. A region counts what the linker says it uses
    (alignment gaps included), by its kind. What runs from a unified memory, or from no region
    at all, counts by what it holds: code, read-only data and images of initialised data as
    flash; writable and zero-initialised data, and whatever is copied to where it runs, as
    RAM (initialised data both)."""
    totals = {category: 0 for category in MemoryCategory}
    usage = compute_region_usage(model)
    counted_regions = set()
    for region in model.memory_regions:
        if region.name in counted_regions or region.unified:
            continue
        counted_regions.add(region.name)
        totals[category_of(region)] += usage[region.name].used_bytes
    for section, region in placed_sections(model):
        if region is not None and not region.unified:
            continue
        load_region = load_region_of(model, section)
        image_elsewhere = load_region is not None and load_region is not region and not load_region.unified
        if section.has_contents and not image_elsewhere:
            totals[MemoryCategory.FLASH] += section.size
        copied = section.load_address is not None and section.load_address != section.address
        if not section.has_contents or copied or named_writable(section.name):
            totals[MemoryCategory.RAM] += section.size
        else:
            totals[MemoryCategory.RAM] += _writable_bytes(section)
    return FlashRamAttribution(
        flash_bytes=totals[MemoryCategory.FLASH],
        ram_bytes=totals[MemoryCategory.RAM],
        other_bytes=totals[MemoryCategory.OTHER],
    )


def _writable_bytes(section) -> int:
    """The bytes of a section holding its image that are writable data: its writable and
    zero-initialised input sections where their names tell (one section may gather a soft
    core's code, data and bss), else the whole section when it is writable."""
    parts = [part for part in section.inputs if not part.is_fill and part.size]
    named = sum(part.size for part in parts if named_writable(part.name))
    if named or any(named_code(part.name) or named_read_only(part.name) for part in parts):
        return named
    return section.size if section.is_writable else 0


def compute_initialized_ram_cost(model: NormalizedBuildModel) -> InitializedRamCost:
    """RAM that start-up code must fill with contents, and how much of it is copied from flash."""
    initialized = payload = 0
    for section, region in placed_sections(model):
        if category_of(region) is not MemoryCategory.RAM or not section.has_contents:
            continue
        initialized += section.size
        if category_of(load_region_of(model, section)) is MemoryCategory.FLASH:
            payload += section.size
    return InitializedRamCost(initialized_ram_bytes=initialized,
                              estimated_flash_init_payload_bytes=payload)
