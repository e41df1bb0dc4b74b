"""Bytes the linker spent on alignment fill (`*fill*`) inside output sections."""

from __future__ import annotations


from tarnwick.analysis._placement import placed_sections
from tarnwick.support.records import field, record
from tarnwick.toolchains.base import NormalizedBuildModel


@record(frozen=True)
class PaddingWaste:
    total_padding_bytes: int
    by_region: dict = field(default_factory=dict)
    by_section: dict = field(default_factory=dict)


def compute_padding_waste(model: NormalizedBuildModel) -> PaddingWaste:
    """`by_region` lists every region of the model (0 where nothing is wasted); fill in sections
    outside every region counts in the total only."""
    by_region = {region.name: 0 for region in model.memory_regions}
    by_section: dict[str, int] = {}
    total = 0
    for section, region in placed_sections(model):
        fill = section.padding_bytes
        if not fill:
            continue
        total += fill
        by_section[section.name] = by_section.get(section.name, 0) + fill
        if region is not None:
            by_region[region.name] += fill
    return PaddingWaste(total_padding_bytes=total, by_region=by_region, by_section=by_section)
