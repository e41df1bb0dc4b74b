"""One row per output section: where it runs, where it loads from, its share of its region."""

from __future__ import annotations

from tarnwick.support.records import record
from tarnwick.toolchains.base import NormalizedBuildModel

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional


@record(frozen=True)
class SectionUsageRow:
    section_name: str
    execution_region: Optional[str]
    load_region: Optional[str]
    size: int
    utilization_ratio_in_region: float


def compute_section_usage(model: NormalizedBuildModel, region_usage) -> list:
    rows = []
    for section in model.sections:
        region = model.region_of(section)
        region_name = region.name if region is not None else section.execution_region
        usage = region_usage.get(region_name) if region_name is not None else None
        capacity = usage.capacity if usage is not None else 0
        rows.append(SectionUsageRow(
            section_name=section.name,
            execution_region=region_name,
            load_region=section.load_region,
            size=section.size,
            utilization_ratio_in_region=section.size / capacity if capacity else 0.0,
        ))
    return rows
