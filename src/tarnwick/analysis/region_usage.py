"""Bytes placed in each memory region against its capacity, counted the way the linker counts
them for `--print-memory-usage` and its overflow check."""

from __future__ import annotations

from operator import itemgetter

from tarnwick.analysis._placement import category_of, load_region_of, placed_sections
from tarnwick.support.records import record
from tarnwick.toolchains.base import NormalizedBuildModel


@record(frozen=True)
class RegionUsageResult:
    name: str
    category: str
    origin: int
    capacity: int
    used_bytes: int
    free_bytes: int
    utilization_ratio: float
    overflow_bytes: int
    section_names: tuple = ()


class _Counter:
    """A region's location counter as the linker moves it: to the end of each section placed
    in the region, in the order of their addresses (the link's order, which an ELF file's
    section table need not keep). Sections that start where the previous one started (the
    members of an OVERLAY) leave it at the end of the largest. `furthest` is the end of the
    section reaching furthest, which decides an overflow even when the counter ends lower
    (a stack placed at the top of RAM after sections that overflowed it)."""

    __slots__ = ("placements",)

    def __init__(self):
        self.placements = []

    def total(self) -> int:
        """The bytes of the sections placed, gaps between them left out."""
        return sum(end - start for start, end, _name in self.placements)

    def finish(self) -> tuple:
        """(final counter, furthest end, section names in placement order); None for an
        empty region."""
        current = start = furthest = None
        for placed_start, end, _name in sorted(self.placements, key=itemgetter(0)):
            current = max(current, end) if placed_start == start else end
            start = placed_start
            furthest = end if furthest is None else max(furthest, end)
        return current, furthest, tuple(name for *_, name in self.placements)


def compute_region_usage(model: NormalizedBuildModel, *, load_images: bool = True) -> dict:
    """Region name to usage: the region's final location counter minus its origin (or, for a
    linker that counts so, the sum of its sections). A section counts in the region it runs
    from; a section copied at start-up also counts, at its load address, in the region holding
    its image (unless `load_images` is false: what ld's own table shows for images placed with
    `AT(address)`). The first region of a name wins."""
    regions = {}
    for region in model.memory_regions:
        regions.setdefault(region.name, region)
    counters = {name: _Counter() for name in regions}
    placements = {name: counter.placements for name, counter in counters.items()}  # appended to without a call
    for section, region in placed_sections(model):
        if region is not None:
            placed = placements.get(region.name)
            if placed is not None:
                placed.append((section.address, section.address + section.size, section.name))
        if not (load_images and section.copied_at_startup):
            continue
        load_region = load_region_of(model, section)
        if load_region is not None and load_region is not region and load_region.name in placements:
            start = section.load_address
            placements[load_region.name].append((start, start + section.size, section.name))

    result = {}
    for name, region in regions.items():
        current, furthest, names = counters[name].finish()
        capacity = region.length
        if getattr(model, "use_counts_gaps", True) and name not in getattr(model, "regions_summed", ()):
            used_bytes = max(current - region.origin, 0) if current is not None else 0
        else:
            used_bytes = counters[name].total()
        reach = max(furthest - region.origin, 0) if furthest is not None else 0
        result[name] = RegionUsageResult(
            name=name,
            category=category_of(region).value,
            origin=region.origin,
            capacity=capacity,
            used_bytes=used_bytes,
            free_bytes=max(capacity - used_bytes, 0),
            utilization_ratio=used_bytes / capacity if capacity else (1.0 if used_bytes else 0.0),
            overflow_bytes=max(used_bytes - capacity, reach - capacity, 0),
            section_names=names,
        )
    return result
