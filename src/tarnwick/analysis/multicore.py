"""Per-core view of the memory map, for parts whose regions are named after their cores."""

from __future__ import annotations

import re

from tarnwick.analysis._placement import placed_sections
from tarnwick.toolchains.base import NormalizedBuildModel

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

# CORE0, CORE_1, CPU1, CM4, CM7, C0 as a separate token of the region name.
_CORE_TOKEN = re.compile(r"(?:^|[^A-Za-z0-9])(CORE_?\d+|CPU_?\d+|CM\d+|C\d)(?=$|[^A-Za-z0-9])",
                         re.IGNORECASE)


def core_of(region_name: str) -> Optional[str]:
    match = _CORE_TOKEN.search(region_name)
    return match.group(1).upper().replace("_", "") if match else None


def build_multicore_summary(model: NormalizedBuildModel) -> Optional[dict]:
    """Core name to its regions, capacity and used bytes; None unless two or more cores show."""
    cores: dict[str, dict] = {}
    region_core = {}
    for region in model.memory_regions:
        core = core_of(region.name)
        if core is None:
            continue
        region_core[region.name] = core
        entry = cores.setdefault(core, {"regions": [], "capacity_bytes": 0, "used_bytes": 0})
        entry["regions"].append(region.name)
        entry["capacity_bytes"] += region.length
    if len(cores) < 2:
        return None
    for section, region in placed_sections(model):
        if region is not None and region.name in region_core:
            cores[region_core[region.name]]["used_bytes"] += section.size
    return {core: cores[core] for core in sorted(cores)}
