"""The regions as a report shows them: in the linker's order, those holding the program first,
and families of tiny regions (vectors, fuses, signatures) folded into one line."""

from __future__ import annotations

import re

from tarnwick.support.records import record

# A region this small is one vector, fuse or signature: full is how it is meant to be.
TINY_REGION = 64


def region_order(report, model=None) -> list:
    """The regions as the linker lists them (the map's memory configuration; the report's own
    order, by address, where there is no model), those that hold the program's flash and RAM
    first."""
    regions = model.memory_regions if model is not None else report.regions
    used = {row["name"]: row["used_bytes"] for row in visual_regions(report)}

    def holds_program(region) -> bool:  # not a vector or a signature: a memory the program is in
        kind = getattr(region.category, "value", region.category)
        return kind in ("flash", "ram") and used.get(region.name, 0) > 0 and region.length > TINY_REGION

    return [r.name for r in sorted(regions, key=lambda r: not holds_program(r))]  # stable: the linker's order


def visual_regions(report) -> list:
    return (report.trends.get("visualization", {}) or {}).get("regions", [])


@record(frozen=True)
class Family:
    """Tiny regions of one kind (VECT1 to VECT15, INT00 to INT54, *SIGNATURE) shown as one line."""
    name: str
    members: list  # RegionRow

    @property
    def used(self) -> int:
        return sum(row.used for row in self.members)

    @property
    def size(self) -> int:
        return sum(row.size for row in self.members)

    @property
    def overflow(self) -> int:
        return sum(row.overflow for row in self.members)


def _family_key(name: str) -> str:
    stem = re.sub(r"\d+$", "", name)
    if stem != name:
        return stem + "*"
    found = re.search(r"(SIGNATURE|SIGNATURES|FUSES?|LOCK)$", name, re.IGNORECASE)
    return "*" + found[1].upper() if found else name


def folded(rows: list) -> list:
    """The region rows with each family of three or more tiny regions as one Family, where its
    first member stood."""
    families: dict = {}
    for row in rows:
        if row.size <= TINY_REGION:
            families.setdefault(_family_key(row.name), []).append(row)
    shown, placed = [], set()
    for row in rows:
        key = _family_key(row.name) if row.size <= TINY_REGION else None
        members = families.get(key, []) if key is not None else []
        if len(members) < 3:
            shown.append(row)
        elif key not in placed:
            placed.add(key)
            shown.append(Family(key, members))
    return shown


def family_label(family: Family) -> str:
    """"VECT1 … VECT15 (15 regions)"."""
    return f"{family.members[0].name} … {family.members[-1].name} ({len(family.members)} regions)"
