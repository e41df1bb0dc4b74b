"""Bytes placed in each memory region against its capacity, counted the way the linker counts
them for `--print-memory-usage` and its overflow check."""

from __future__ import annotations

from dataclasses import dataclass

from tarnwick.analysis._placement import category_of, load_region_of
from tarnwick.toolchains.base import NormalizedBuildModel


@dataclass(frozen=True)
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
    in the region, in link order. Sections that start where the previous one started (the
    members of an OVERLAY) leave it at the end of the largest. `furthest` is the end of the
    section reaching furthest, which decides an overflow even when a later section set the
    counter back (a stack placed at the top of RAM)."""

    __slots__ = ("current", "start", "furthest", "names")

    def __init__(self):
        self.current = self.start = self.furthest = None
        self.names = []

    def place(self, start: int, end: int, name: str) -> None:
        if start == self.start:
            self.current = max(self.current, end)
        else:
            self.current, self.start = end, start
        self.furthest = end if self.furthest is None else max(self.furthest, end)
        self.names.append(name)


def compute_region_usage(model: NormalizedBuildModel) -> dict:
    """Region name to usage: the region's final location counter minus its origin. A section
    counts in the region it runs from; a section copied at start-up also counts, at its load
    address, in the region holding its image. The first region of a name wins."""
    regions = {}
    for region in model.memory_regions:
        regions.setdefault(region.name, region)
    counters = {name: _Counter() for name in regions}
    for section in model.sections:
        if not section.size:
            continue
        region = model.region_of(section)
        if region is not None and region.name in counters:
            counters[region.name].place(section.address, section.end, section.name)
        load_region = load_region_of(model, section)
        if load_region is not None and load_region is not region and load_region.name in counters:
            start = section.load_address
            counters[load_region.name].place(start, start + section.size, section.name)

    result = {}
    for name, region in regions.items():
        counter = counters[name]
        capacity = region.length
        used_bytes = max(counter.current - region.origin, 0) if counter.current is not None else 0
        reach = max(counter.furthest - region.origin, 0) if counter.furthest is not None else 0
        result[name] = RegionUsageResult(
            name=name,
            category=category_of(region).value,
            origin=region.origin,
            capacity=capacity,
            used_bytes=used_bytes,
            free_bytes=max(capacity - used_bytes, 0),
            utilization_ratio=used_bytes / capacity if capacity else (1.0 if used_bytes else 0.0),
            overflow_bytes=max(used_bytes - capacity, reach - capacity, 0),
            section_names=tuple(counter.names),
        )
    return result
