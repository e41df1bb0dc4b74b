"""A whole system against an earlier one (`tarnwick system --baseline`, `tarnwick diff` of two
systems): which image grew and by how much, which partition's headroom shrank, and whether the
secure image now covers another protection block."""

from __future__ import annotations

import json
import re

from tarnwick.support.figures import decoding_error
from tarnwick.support.files import FileProblem, open_regular, read_limited
from tarnwick.support.records import field, record
from tarnwick.system.report import StoredSystemError, SystemReport, report_from_json

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

STORED_LIMIT = 64 * 1024 * 1024
_SYSTEM_HEAD = re.compile(rb'^\s*\{\s*"system"\s*:')


@record(frozen=True)
class ImageChange:
    name: str
    flash_before: Optional[int]
    flash_after: Optional[int]
    ram_before: Optional[int]
    ram_after: Optional[int]

    @property
    def flash_delta(self) -> Optional[int]:
        return None if self.flash_before is None or self.flash_after is None else self.flash_after - self.flash_before

    @property
    def ram_delta(self) -> Optional[int]:
        return None if self.ram_before is None or self.ram_after is None else self.ram_after - self.ram_before

    @property
    def kind(self) -> str:
        if self.flash_before is None:
            return "added"
        if self.flash_after is None:
            return "removed"
        total = (self.flash_delta or 0) + (self.ram_delta or 0)
        return "grown" if total > 0 else "shrunk" if total < 0 else "unchanged"


@record(frozen=True)
class PartitionChange:
    name: str
    image: Optional[str]
    free_before: Optional[int]
    free_after: Optional[int]

    @property
    def delta(self) -> Optional[int]:
        return None if self.free_before is None or self.free_after is None else self.free_after - self.free_before


@record(frozen=True)
class SecureChange:
    image: str
    memory: str
    headroom_before: int
    headroom_after: int
    blocks_before: int
    blocks_after: int


@record
class SystemComparison:
    baseline_path: str
    label: str
    images: list = field(default_factory=list)  # ImageChange, every image of either side
    partitions: list = field(default_factory=list)  # PartitionChange, those whose headroom changed
    secure: list = field(default_factory=list)  # SecureChange
    notes: list = field(default_factory=list)
    growth_gates: tuple = ()
    partition_sizes: dict = field(default_factory=dict)  # image -> its partition's size, for N% limits

    @property
    def flash_delta(self) -> int:
        return sum(change.flash_delta or 0 for change in self.images)

    @property
    def ram_delta(self) -> int:
        return sum(change.ram_delta or 0 for change in self.images)

    def as_json(self) -> dict:
        return {
            "baseline_path": self.baseline_path, "baseline_label": self.label,
            "flash_delta_bytes": self.flash_delta, "ram_delta_bytes": self.ram_delta,
            "images": [{"name": c.name, "change": c.kind, "flash_before": c.flash_before, "flash_after": c.flash_after,
                        "flash_delta": c.flash_delta, "ram_before": c.ram_before, "ram_after": c.ram_after,
                        "ram_delta": c.ram_delta} for c in self.images],
            "partitions": [{"name": c.name, "image": c.image, "free_before": c.free_before,
                            "free_after": c.free_after, "free_delta": c.delta} for c in self.partitions],
            "secure": [{"image": c.image, "memory": c.memory, "headroom_before": c.headroom_before,
                        "headroom_after": c.headroom_after, "blocks_before": c.blocks_before,
                        "blocks_after": c.blocks_after} for c in self.secure],
            "growth_gates": [gate.as_json() for gate in self.growth_gates],
            "notes": list(self.notes),
        }


def looks_like_stored_system(path: str) -> bool:
    """A JSON file whose first key is `system`: what `tarnwick system --format json` writes."""
    try:
        with open_regular(path) as handle:
            head = handle.read(4096)
    except (FileProblem, OSError):
        return False
    return _SYSTEM_HEAD.match(head.lstrip(b"\xef\xbb\xbf")) is not None


def read_stored_system(path: str) -> SystemReport:
    """A stored system report; StoredSystemError (a ValueError naming the file) when it cannot serve."""
    try:
        document = json.loads(read_limited(path, STORED_LIMIT).decode("utf-8-sig"))
    except FileProblem as exc:
        raise StoredSystemError(f"{path}: {exc}") from None
    except UnicodeDecodeError:
        raise StoredSystemError(f"{path}: not UTF-8 text") from None
    except RecursionError:
        raise StoredSystemError(f"{path}: JSON nested too deeply") from None
    except ValueError as exc:
        raise StoredSystemError(f"{path}: not valid JSON: {decoding_error(exc)}") from None
    if not isinstance(document, dict):
        raise StoredSystemError(f"{path}: not a system report (not a JSON object)")
    return report_from_json(document, path)


def compare_systems(before: SystemReport, after: SystemReport, baseline_path: str,
                    label: Optional[str] = None) -> SystemComparison:
    import os

    comparison = SystemComparison(baseline_path, label or os.path.basename(baseline_path))
    earlier = {image.name: image for image in before.images}
    later = {image.name: image for image in after.images}
    for name in [*later, *(n for n in earlier if n not in later)]:
        old, new = earlier.get(name), later.get(name)
        comparison.images.append(ImageChange(
            name, old.flash_bytes if old else None, new.flash_bytes if new else None,
            old.ram_bytes if old else None, new.ram_bytes if new else None))
        if old is not None and new is not None and old.partition != new.partition:
            comparison.notes.append(f"{name} moved from {old.partition} to {new.partition}")
    old_rows = {row.name: row for row in before.partitions}
    for row in after.partitions:
        old = old_rows.get(row.name)
        if old is None:
            comparison.notes.append(f"partition {row.name} is new")
        elif (old.start, old.size) != (row.start, row.size):
            comparison.notes.append(f"partition {row.name} moved or was resized: 0x{old.start:08x}+{old.size:,} B "
                                    f"-> 0x{row.start:08x}+{row.size:,} B")
        if old is not None and old.free_bytes != row.free_bytes and (old.free_bytes is not None or
                                                                     row.free_bytes is not None):
            comparison.partitions.append(PartitionChange(row.name, row.image, old.free_bytes, row.free_bytes))
    kept = {row.name for row in after.partitions}
    comparison.notes += [f"partition {name} is gone" for name in old_rows if name not in kept]
    old_secure = {(room.image, room.memory): room for room in before.secure}
    for room in after.secure:
        old = old_secure.get((room.image, room.memory))
        if old is not None and (old.headroom_bytes, old.blocks) != (room.headroom_bytes, room.blocks):
            comparison.secure.append(SecureChange(room.image, room.memory, old.headroom_bytes, room.headroom_bytes,
                                                  old.blocks, room.blocks))
    comparison.partitions.sort(key=lambda change: (change.delta or 0, change.name))
    rows = {row.name: row for row in after.partitions}
    comparison.partition_sizes = {image.name: rows[image.partition].size for image in after.images
                                  if image.partition in rows}
    return comparison


class _GrowthView:
    """A system comparison as the growth gates read one: each image a "region" (its flash and
    RAM together), sized by its partition."""

    def __init__(self, comparison: SystemComparison):
        from tarnwick.compare.comparison import Change

        self.flash_delta, self.ram_delta = comparison.flash_delta, comparison.ram_delta
        self.regions = [Change(c.name, _total(c.flash_before, c.ram_before), _total(c.flash_after, c.ram_after))
                        for c in comparison.images]
        self.region_sizes = comparison.partition_sizes

    def region(self, name: str):
        return next((change for change in self.regions if change.name == name), None)


def _total(flash: Optional[int], ram: Optional[int]) -> Optional[int]:
    return None if flash is None else flash + (ram or 0)


def growth_gates(comparison: SystemComparison, limits) -> tuple:
    """`--fail-on-growth` over a system: BYTES for all images together, IMAGE=BYTES or IMAGE=N%
    (of its partition) for one."""
    from tarnwick.compare.gates import evaluate_growth

    return tuple(evaluate_growth(_GrowthView(comparison), list(limits)))
