"""What changed since the baseline report, in bytes, from the figures each report holds."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Optional


@dataclass(frozen=True)
class Change:
    """One entity compared: its bytes in the baseline and now (None where a side lacks it)."""

    name: str
    baseline: Optional[int]
    current: Optional[int]

    @property
    def delta(self) -> Optional[int]:
        if self.baseline is None and self.current is None:
            return None
        return (self.current or 0) - (self.baseline or 0)

    @property
    def kind(self) -> str:
        """"added", "removed", "grown", "shrunk" or "unchanged"."""
        if self.baseline is None:
            return "added"
        if self.current is None:
            return "removed"
        delta = self.current - self.baseline
        return "grown" if delta > 0 else "shrunk" if delta < 0 else "unchanged"


@dataclass(frozen=True)
class Comparison:
    baseline_path: str
    regions: dict = field(default_factory=dict)  # region name -> Change
    notes: list = field(default_factory=list)


def _byte_count(value) -> Optional[int]:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else None


def _used_bytes_by_region(document: dict) -> Optional[dict]:
    """Region -> used bytes as a report holds them, or None when it holds none."""
    trends = document.get("trends")
    visualization = trends.get("visualization") if isinstance(trends, dict) else None
    rows = visualization.get("regions") if isinstance(visualization, dict) else None
    if not isinstance(rows, list):
        return None
    used = {}
    for row in rows:
        if isinstance(row, dict) and isinstance(row.get("name"), str):
            count = _byte_count(row.get("used_bytes"))
            if count is not None:
                used[row["name"]] = count
    return used if used or not rows else None


def compare(report, baseline) -> Comparison:
    """The current report against a checked baseline (`baseline_file.Baseline`)."""
    notes = []
    current = {row["name"]: row["used_bytes"]
               for row in (report.trends.get("visualization") or {}).get("regions", [])}
    before = _used_bytes_by_region(baseline.document)
    regions = {}
    if before is None:
        notes.append("the baseline holds no used bytes per region: region changes are shown "
                     "in points of utilisation only")
    else:
        for name in sorted(set(current) | set(before)):
            regions[name] = Change(name, before.get(name), current.get(name))
    return Comparison(baseline.path, regions, notes)
