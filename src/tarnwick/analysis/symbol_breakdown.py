"""Where the bytes go: largest symbols and object files, flash against RAM, start-up copies."""

from __future__ import annotations

import heapq
from collections import defaultdict
from dataclasses import dataclass

from tarnwick.analysis._placement import category_of, load_region_of, placed_sections
from tarnwick.toolchains.base import MemoryCategory, NormalizedBuildModel


@dataclass(frozen=True)
class SizeEntry:
    name: str
    size: int
    symbol_count: int = 1


@dataclass(frozen=True)
class FlashRamAttribution:
    flash_bytes: int
    ram_bytes: int
    other_bytes: int


@dataclass(frozen=True)
class InitializedRamCost:
    initialized_ram_bytes: int
    estimated_flash_init_payload_bytes: int


def _largest_first(entries, limit):
    return heapq.nsmallest(max(limit, 0), entries, key=lambda e: (-e.size, e.name))


def top_symbols_by_size(symbols, *, limit: int) -> list:
    largest = _largest_first((s for s in symbols if s.size > 0), limit)
    return [SizeEntry(s.name, s.size) for s in largest]


def top_object_archive_contributors(symbols, *, limit: int) -> list:
    """Object files (as `libfoo.a(bar.o)` inside archives) ranked by the bytes of their symbols."""
    sizes: dict[str, int] = defaultdict(int)
    counts: dict[str, int] = defaultdict(int)
    for symbol in symbols:
        if symbol.size > 0:
            sizes[symbol.contributor] += symbol.size
            counts[symbol.contributor] += 1
    return _largest_first((SizeEntry(name, sizes[name], counts[name]) for name in sizes), limit)


def compute_flash_ram_attribution(model: NormalizedBuildModel) -> FlashRamAttribution:
    """Bytes by the kind of memory they occupy. Initialised data costs RAM where it runs and
    flash where its image is kept."""
    totals = {category: 0 for category in MemoryCategory}
    for section, region in placed_sections(model):
        totals[category_of(region)] += section.size
        load_region = load_region_of(model, section)
        if load_region is not None and load_region is not region:
            totals[category_of(load_region)] += section.size
    return FlashRamAttribution(
        flash_bytes=totals[MemoryCategory.FLASH],
        ram_bytes=totals[MemoryCategory.RAM],
        other_bytes=totals[MemoryCategory.OTHER],
    )


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
