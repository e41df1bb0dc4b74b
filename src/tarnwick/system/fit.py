"""Fit and headroom: each image inside its partition, and in an MCUboot slot with room for the
image header, the TLV area and the trailer (in its secondary slot too); the secure image's
headroom to the next protection block; the partition table with each partition's use."""

from __future__ import annotations

from typing import NamedTuple, Optional

from tarnwick.system.mcuboot import Mcuboot, align_up
from tarnwick.system.partitions import Partition, PartitionLayout
from tarnwick.system.report import PartitionRow, SecureHeadroom

# Slots MCUboot's ports pair by name, for an image that does not name its secondary slot.
_SECONDARY = {"slot0_partition": "slot1_partition", "slot0_ns_partition": "slot1_ns_partition",
              "slot2_partition": "slot3_partition", "slot4_partition": "slot5_partition",
              "image-0": "image-1", "image-2": "image-3", "mcuboot_primary": "mcuboot_secondary"}
SCRATCH_NAMES = ("scratch_partition", "mcuboot_scratch", "image-scratch", "scratch")


class Problem(NamedTuple):
    """A finding to make: its category, what it is about, and its words."""

    category: str  # "system.overlap", "system.slot_headroom", "system.partition_overflow"
    subject: str  # what the finding's id names
    title: str
    description: str
    entities: tuple
    hint: str


def descendants(layout: PartitionLayout, partition: Partition) -> set:
    """The names of the partitions a partition is made of, at any depth."""
    found, waiting = set(), list(partition.parts)
    while waiting:
        name = waiting.pop()
        if name in found:
            continue
        found.add(name)
        part = layout.named(name)
        if part is not None:
            waiting.extend(part.parts)
    return found


def related(layout: PartitionLayout, a: Partition, b: Partition) -> bool:
    """One is the other, or made of it, or both are made of the same partitions and one holds
    the other (a partition manager's mcuboot_primary and mcuboot_primary_app, both around app)."""
    if a.name == b.name:
        return True
    of_a, of_b = descendants(layout, a), descendants(layout, b)
    if b.name in of_a or a.name in of_b:
        return True
    holds = (a.start <= b.start and b.end <= a.end) or (b.start <= a.start and a.end <= b.end)
    return bool(of_a & of_b) and holds


def secondary_of(layout: PartitionLayout, wanted, partition: Partition) -> Optional[Partition]:
    if wanted.secondary is not None:
        return layout.named(wanted.secondary)
    for name in (partition.name, *partition.aliases):
        paired = _SECONDARY.get(name)
        if paired is None and name.startswith("mcuboot_primary_"):
            paired = "mcuboot_secondary_" + name[len("mcuboot_primary_"):]
        if paired is not None and layout.named(paired) is not None:
            return layout.named(paired)
    return None


def is_signed(wanted, mcuboot: Optional[Mcuboot]) -> bool:
    if mcuboot is None:
        return False
    return wanted.signed if wanted.signed is not None else wanted.role != "bootloader"


def _hex(value: int) -> str:
    return f"0x{value:08x}"


def fit_image(image, partition: Partition, layout: PartitionLayout, mcuboot: Optional[Mcuboot],
              rows: dict, problems: list) -> None:
    """Fills the rows of the image's partition (and its secondary slot) and notes what does not fit."""
    wanted, stored = image.wanted, image.stored
    signed = is_signed(wanted, mcuboot)
    row = rows[partition.name]
    row.image = wanted.name
    if not stored:
        row.used_bytes, row.free_bytes, row.status = 0, partition.size, "empty image"
        return
    low, high = stored[0][0], stored[-1][1]
    if partition.mapped:
        outside = sum(max(0, min(end, partition.start) - start) + max(0, end - max(start, partition.end))
                      for start, end in stored)
        if outside:
            where = []
            if low < partition.start:
                where.append(f"from {_hex(low)}, {partition.start - low:,} B before its start")
            if high > partition.end:
                where.append(f"to {_hex(high)}, {high - partition.end:,} B past its end")
            problems.append(Problem(
                "system.partition_overflow", wanted.name, "Image outside its partition",
                f"{wanted.name} stores {outside:,} B outside {partition.name} ({_hex(partition.start)}-"
                f"{_hex(partition.end)}): {' and '.join(where)}.", (wanted.name, partition.name),
                "Make the image smaller, or the partition larger (and link the image for it)."))
        code_end = high - partition.start
        if signed:
            inside = partition.start < low < partition.start + mcuboot.header_size
            if inside or (low == partition.start and image.blank(low, mcuboot.header_size) is False):
                where = (f"starts at {_hex(low)}, {low - partition.start:,} B into {partition.name}" if inside else
                         f"stores code or data in the first {mcuboot.header_size:,} B of {partition.name}")
                problems.append(Problem(
                    "system.slot_headroom", f"{partition.name}.header", "No room for the image header",
                    f"{wanted.name} {where}: the {mcuboot.header_size:,} B MCUboot header there would overwrite "
                    "its first bytes.", (wanted.name, partition.name),
                    f"Link the image at {_hex(partition.start + mcuboot.header_size)} (the slot's start plus "
                    "the header), or at the slot's start with the header's room blank inside it (Zephyr's "
                    "CONFIG_ROM_START_OFFSET)."))
            used = max(code_end, mcuboot.header_size) + mcuboot.tlv_bytes
        else:
            used = code_end
    else:
        used = image.row.stored_bytes + (mcuboot.header_size + mcuboot.tlv_bytes if signed else 0)
        if used > partition.size:
            problems.append(Problem(
                "system.partition_overflow", wanted.name, "Image larger than its partition",
                f"{wanted.name} stores {image.row.stored_bytes:,} B, {used - partition.size:,} B more than "
                f"{partition.name} holds ({partition.size:,} B).", (wanted.name, partition.name),
                "Make the image smaller, or the partition larger."))
    row.used_bytes = used
    if not signed:
        row.free_bytes = partition.size - used
        row.status = "ok" if row.free_bytes >= 0 else f"over by {-row.free_bytes:,} B"
        return
    image.row.signed_bytes = used
    _slot(row, partition, wanted, used, mcuboot, "primary", problems)
    secondary = secondary_of(layout, wanted, partition)
    if secondary is not None and secondary.name != partition.name:
        image.row.secondary = secondary.name
        other = rows[secondary.name]
        other.image = wanted.name
        other.used_bytes = used
        _slot(other, secondary, wanted, used, mcuboot, "secondary", problems)


def _slot(row: PartitionRow, partition: Partition, wanted, used: int, mcuboot: Mcuboot, slot: str,
          problems: list) -> None:
    room = mcuboot.slot(partition.size, secondary=slot == "secondary")
    row.slot, row.trailer_bytes, row.reserved = slot, room.reserved, room.why
    row.free_bytes = partition.size - room.reserved - used
    row.status = "ok" if row.free_bytes >= 0 else f"short by {-row.free_bytes:,} B"
    what = f"{wanted.name}'s signed image" if slot == "primary" else f"{wanted.name}'s update"
    if row.free_bytes < 0:
        problems.append(Problem(
            "system.slot_headroom", partition.name, "No room for the MCUboot trailer",
            f"{what} ({used:,} B: header {mcuboot.header_size:,} B, code and TLV area "
            f"{used - mcuboot.header_size:,} B) "
            f"leaves {partition.name} ({partition.size:,} B) {-row.free_bytes:,} B short of the "
            f"{room.reserved:,} B {mcuboot.mode} keeps at its end ({room.why}): the device could not be updated.",
            (wanted.name, partition.name),
            f"Make {wanted.name} at least {-row.free_bytes:,} B smaller, or the slots larger."))
    if mcuboot.mode != "overwrite-only" and room.sectors > mcuboot.max_sectors:
        problems.append(Problem(
            "system.slot_headroom", f"{partition.name}.sectors", "More sectors than MCUboot can swap",
            f"{partition.name} has {room.sectors:,} sectors of {mcuboot.sector_size:,} B, more than max_sectors "
            f"{mcuboot.max_sectors:,}: MCUboot refuses to swap it.", (partition.name,),
            "Raise max_sectors (CONFIG_BOOT_MAX_IMG_SECTORS) and rebuild MCUboot, or use larger sectors."))


def check_scratch(layout: PartitionLayout, mcuboot: Optional[Mcuboot], problems: list, notes: list) -> None:
    if mcuboot is None or mcuboot.mode != "swap-scratch":
        return
    scratch = next((layout.named(name) for name in SCRATCH_NAMES if layout.named(name) is not None), None)
    if scratch is None:
        notes.append("swap using scratch: no scratch partition among the partitions (" + ", ".join(SCRATCH_NAMES)
                     + ")")
    elif scratch.size < mcuboot.sector_size:
        problems.append(Problem(
            "system.slot_headroom", scratch.name, "Scratch smaller than a sector",
            f"{scratch.name} holds {scratch.size:,} B, less than one {mcuboot.sector_size:,} B sector: a swap "
            "using scratch cannot move a sector through it.", (scratch.name,),
            "Make the scratch partition at least one sector."))


def secure_headroom(image, block: Optional[int], ram_block: Optional[int]) -> list:
    """The secure image's room to the next protection-block boundary, in flash and in RAM."""
    found = []
    veneers = [(start, end) for name, start, end in image.sections if "sgstubs" in name]  # .gnu.sgstubs
    for memory, unit, ranges in (("flash", block, image.stored), ("ram", ram_block,
                                                                  [(s, e) for s, e, _ in image.ram])):
        if unit is None or not ranges:
            continue
        start, end = min(s for s, _ in ranges), max(e for _, e in ranges)
        boundary = align_up(end, unit)
        found.append(SecureHeadroom(image.wanted.name, memory, unit, end, boundary, boundary - end,
                                    (boundary - (start - start % unit)) // unit,
                                    (min(s for s, _ in veneers), max(e for _, e in veneers))
                                    if veneers and memory == "flash" else None))
    return found


def partition_rows(layout: PartitionLayout) -> dict:
    return {p.name: PartitionRow(p.name, p.start, p.size, p.device, p.kind, source=p.source, detail=p.detail,
                                 parts=p.parts, mapped=p.mapped) for p in layout.partitions}


def mark_related(layout: PartitionLayout, rows: dict, partition_of: dict) -> None:
    """A partition without an image that is part of an image's partition (or holds it) says so."""
    for partition in dict.fromkeys(partition_of.values()):
        for other in layout.partitions:
            row = rows[other.name]
            if row.image is None and other.name != partition.name and related(layout, partition, other):
                inside = partition.start <= other.start and other.end <= partition.end
                row.status = f"part of {partition.name}" if inside else f"holds {partition.name}"
