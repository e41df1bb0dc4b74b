"""Bytes placed in each memory region against its capacity."""

from __future__ import annotations

from dataclasses import dataclass

from tarnwick.analysis._placement import category_of, load_region_of, placed_sections
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


def compute_region_usage(model: NormalizedBuildModel) -> dict:
    """Region name to usage. A section counts in the region it runs from; a section copied at
    start-up also counts in the region holding its image. The first region of a name wins."""
    regions = {}
    for region in model.memory_regions:
        regions.setdefault(region.name, region)
    used = dict.fromkeys(regions, 0)
    placed: dict[str, list] = {name: [] for name in regions}

    def count(region, section):
        if region is not None and region.name in used:
            used[region.name] += section.size
            placed[region.name].append(section.name)

    for section, region in placed_sections(model):
        count(region, section)
        load_region = load_region_of(model, section)
        if load_region is not None and load_region is not region:
            count(load_region, section)

    result = {}
    for name, region in regions.items():
        capacity = region.length
        used_bytes = used[name]
        result[name] = RegionUsageResult(
            name=name,
            category=category_of(region).value,
            origin=region.origin,
            capacity=capacity,
            used_bytes=used_bytes,
            free_bytes=max(capacity - used_bytes, 0),
            utilization_ratio=used_bytes / capacity if capacity else (1.0 if used_bytes else 0.0),
            overflow_bytes=max(used_bytes - capacity, 0),
            section_names=tuple(placed[name]),
        )
    return result
