"""Where sections sit: the region lookups shared by the passes."""

from __future__ import annotations

from tarnwick.toolchains.base import (
    MemoryCategory, MemoryRegion, NormalizedBuildModel, Section, region_containing,
)

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Iterable, Optional


def category_of(region: Optional[MemoryRegion]) -> MemoryCategory:
    if region is None:
        return MemoryCategory.OTHER
    try:
        return MemoryCategory(getattr(region.category, "value", region.category))
    except ValueError:
        return MemoryCategory.OTHER


def placed_sections(model: NormalizedBuildModel) -> Iterable[tuple[Section, Optional[MemoryRegion]]]:
    """Every section of non-zero size with the region it runs from (None when outside all, or
    placed by its address alone): as `model.region_of` finds it, each region name looked up once."""
    named: dict = {}
    regions = model.memory_regions
    for section in model.sections:
        if not section.size:
            continue
        name = section.execution_region
        region = named.get(name, named)
        if region is named:
            region = named[name] = model.region_named(name)
        if region is None and not model.by_address_alone(section):
            region = region_containing(regions, section.address)
        yield section, region


def load_region_of(model: NormalizedBuildModel, section: Section) -> Optional[MemoryRegion]:
    """The region holding the start-up image of a section copied at start-up, else None."""
    if not section.copied_at_startup:
        return None
    region = model.region_named(section.load_region)
    if region is None and section.load_address is not None:
        region = region_containing(model.memory_regions, section.load_address)
    return region
