"""What the images of a system must not share: flash (no two partitions overlap, no image
stores bytes in another's partition, no two images store the same bytes) and RAM (two images
that run at the same time use no address of the other's RAM unless a region is declared
shared). Also what they do share (each image's part of the regions of [[system.regions]]),
the RAM of each core, and the flash no partition holds."""

from __future__ import annotations

from itertools import combinations
from typing import Optional

from tarnwick.system.fit import Problem, related
from tarnwick.system.images import merged
from tarnwick.system.partitions import PartitionLayout
from tarnwick.system.report import CoreRam, Gap, Overlap, RegionShare, SharedPart

MAIN_CORE = "main"


def _intersections(first: list, second: list) -> list:
    """The ranges both lists of merged (start, end) ranges cover."""
    found, i, j = [], 0, 0
    while i < len(first) and j < len(second):
        start, end = max(first[i][0], second[j][0]), min(first[i][1], second[j][1])
        if start < end:
            found.append((start, end))
        if first[i][1] < second[j][1]:
            i += 1
        else:
            j += 1
    return found


def _without(ranges: list, taken: list) -> list:
    """`ranges` less every range of `taken` (both merged)."""
    result = []
    for start, end in ranges:
        cursor = start
        for cut_start, cut_end in taken:
            if cut_end <= cursor or cut_start >= end:
                continue
            if cut_start > cursor:
                result.append((cursor, cut_start))
            cursor = max(cursor, cut_end)
        if cursor < end:
            result.append((cursor, end))
    return result


def _hex(value: int) -> str:
    return f"0x{value:08x}"


def flash_overlaps(layout: PartitionLayout, images: list, partition_of: dict, problems: list) -> list:
    overlaps = []
    by_device: dict = {}
    for partition in layout.partitions:
        by_device.setdefault(partition.device, []).append(partition)
    for partitions in by_device.values():
        for a, b in combinations(sorted(partitions, key=lambda p: (p.start, p.name)), 2):
            start, end = max(a.start, b.start), min(a.end, b.end)
            if start < end and not related(layout, a, b):
                overlaps.append(Overlap("ram" if a.kind == "ram" else "flash", a.name, b.name, start, end - start))
                problems.append(Problem(
                    "system.overlap", f"{a.name}.{b.name}", "Partitions overlap",
                    f"Partitions {a.name} ({_hex(a.start)}-{_hex(a.end)}) and {b.name} ({_hex(b.start)}-{_hex(b.end)}) "
                    f"share {end - start:,} B from {_hex(start)} in {a.device}.", (a.name, b.name),
                    "Move or shrink one of them; every image in them is linked for its place."))
    in_partitions: dict = {}  # (image, partition) -> ranges, to leave out of the image pairs below
    for image in images:
        own = partition_of[image.wanted.name]
        if not own.mapped:
            continue
        for other in by_device.get(own.device, []):
            if related(layout, own, other) or not other.mapped:
                continue
            shared = _intersections(image.stored, [(other.start, other.end)])
            if not shared:
                continue
            in_partitions[(image.wanted.name, other.name)] = shared
            size = sum(end - start for start, end in shared)
            overlaps.append(Overlap("flash", image.wanted.name, other.name, shared[0][0], size))
            problems.append(Problem(
                "system.overlap", f"{image.wanted.name}.{other.name}", "Image in another partition",
                f"{image.wanted.name} (in {own.name}) stores {size:,} B in {other.name} from {_hex(shared[0][0])}: "
                f"whatever {other.name} holds overwrites it, or is overwritten.", (image.wanted.name, other.name),
                f"Make {image.wanted.name} fit {own.name}."))
    for a, b in combinations(images, 2):
        pa, pb = partition_of[a.wanted.name], partition_of[b.wanted.name]
        if not (pa.mapped and pb.mapped) or pa.device != pb.device:
            continue
        explained = merged(in_partitions.get((a.wanted.name, pb.name), [])
                           + in_partitions.get((b.wanted.name, pa.name), []))
        shared = _without(_intersections(a.stored, b.stored), explained)
        if shared:
            size = sum(end - start for start, end in shared)
            overlaps.append(Overlap("flash", a.wanted.name, b.wanted.name, shared[0][0], size))
            problems.append(Problem(
                "system.overlap", f"{a.wanted.name}.{b.wanted.name}", "Images store the same flash",
                f"{a.wanted.name} and {b.wanted.name} both store bytes in {size:,} B from {_hex(shared[0][0])}.",
                (a.wanted.name, b.wanted.name), "Link each image for a partition of its own."))
    return overlaps


def concurrent(a, b) -> bool:
    """Whether two images run at the same time: on different cores, or secure and non-secure
    on one (a bootloader runs alone, before the rest of its core)."""
    if (a.wanted.core or MAIN_CORE) != (b.wanted.core or MAIN_CORE):
        return True
    return {a.wanted.role, b.wanted.role} == {"secure", "non-secure"}


def shared_ranges(description, images: list, layout: PartitionLayout) -> dict:
    """Name -> merged (start, end) of each [[system.regions]] region: its start and size where
    given, else the region of that name in every image's map (or a RAM partition of that name)."""
    from tarnwick.config import ConfigError

    ranges = {}
    for index, region in enumerate(description.regions):
        found = []
        if region.start is not None and region.size is not None:
            found.append((region.start, region.start + region.size))
        else:
            found += [(start, end) for image in images for name, _, start, end in image.memory if name == region.name]
            partition = layout.named(region.name)
            if partition is not None:
                found.append((partition.start, partition.end))
        if not found:
            raise ConfigError(description.path, f"system.regions[{index}] ({region.name}): no image's map has a region "
                              "of that name and no partition is called so: give its start and size",
                              description.line_of("system.regions", index))
        ranges[region.name] = merged(found)
    return ranges


def ram_overlaps(images: list, shared: dict, description, problems: list) -> list:
    exempt = merged([r for region in description.regions if region.shared for r in shared[region.name]])
    overlaps = []
    for a, b in combinations(images, 2):
        if not concurrent(a, b):
            continue
        clash = []
        for claimant, user in ((a, b), (b, a)):
            claimed = merged([(start, end) for _, category, start, end in claimant.memory if category == "ram"]
                             + [(start, end) for start, end, _ in claimant.ram])
            used = merged([(start, end) for start, end, _ in user.ram])
            clash += _intersections(claimed, used)
        clash = _without(merged(clash), exempt)
        for start, end in clash:
            overlaps.append(Overlap("ram", a.wanted.name, b.wanted.name, start, end - start))
            users = [image for image in (a, b) if any(s < end and start < e for s, e, _ in image.ram)]
            sections = sorted({name for image in users for s, e, name in image.ram if s < end and start < e})
            span = f"from {_hex(start)} to {_hex(end)} ({end - start:,} B: {', '.join(sections)})"
            if len(users) == 2:
                what = f"{a.wanted.name} and {b.wanted.name} run at the same time and both use RAM {span}"
            else:
                user = users[0]
                owner = b if user is a else a
                region = next(f"{name} ({_hex(rs)}-{_hex(re)})" for name, category, rs, re in owner.memory
                              if category == "ram" and rs < end and start < re)
                what = (f"{user.wanted.name} uses RAM {span} that {owner.wanted.name}, running at the same time, has "
                        f"in its region {region}")
            problems.append(Problem(
                "system.overlap", f"{a.wanted.name}.{b.wanted.name}.{_hex(start)}", "RAM of two images at once",
                f"{what}, and no shared region declares it.", (a.wanted.name, b.wanted.name),
                "Give each image RAM of its own in its linker script, or declare the region shared "
                "([[system.regions]] shared = true) if both use it on purpose."))
    return overlaps


def region_shares(description, images: list, shared: dict) -> list:
    shares = []
    for region in description.regions:
        ranges = shared[region.name]
        parts = []
        for image in images:
            inside = [(max(s, rs), min(e, re)) for s, e, _ in image.ram for rs, re in ranges if s < re and rs < e]
            if inside:
                parts.append(SharedPart(image.wanted.name, min(s for s, _ in inside), max(e for _, e in inside) -
                                        min(s for s, _ in inside), sum(e - s for s, e in merged(inside))))
        start, end = ranges[0][0], ranges[-1][1]
        shares.append(RegionShare(region.name, start, end - start, region.shared, parts))
    return shares


def ram_per_core(images: list, shared: dict, description) -> tuple:
    """(CoreRam of each core, the bytes used in shared regions by any image)."""
    exempt = merged([r for region in description.regions if region.shared for r in shared[region.name]])

    def own_bytes(image) -> int:
        inside = sum(e - s for s, e in _intersections(merged([(s, e) for s, e, _ in image.ram]), exempt))
        return image.row.ram_bytes - inside

    cores: dict = {}
    for image in images:
        cores.setdefault(image.wanted.core or MAIN_CORE, []).append(image)
    rows = []
    for core, members in cores.items():
        running = [image for image in members if image.wanted.role != "bootloader"]
        boot = [image for image in members if image.wanted.role == "bootloader"]
        rows.append(CoreRam(core, [image.wanted.name for image in running or boot],
                            sum(own_bytes(image) for image in running or boot),
                            max(own_bytes(image) for image in boot) if boot and running else None))
    used = merged([(max(s, rs), min(e, re)) for image in images for s, e, _ in image.ram for rs, re in exempt
                   if s < re and rs < e])
    return rows, sum(end - start for start, end in used)


def gaps(layout: PartitionLayout) -> list:
    """The flash no partition holds, between partitions and to the device's ends where known."""
    found = []
    contained = {name for p in layout.partitions for name in p.parts}
    by_device: dict = {}
    for partition in layout.partitions:
        if partition.name not in contained and partition.kind == "flash":
            by_device.setdefault(partition.device, []).append(partition)
    for device, partitions in by_device.items():
        known = layout.devices.get(device)
        partitions.sort(key=lambda p: p.start)
        cursor: Optional[int] = known.start if known is not None and known.size is not None else None
        cursor = partitions[0].start if cursor is None else min(cursor, partitions[0].start)
        for partition in partitions:
            if partition.start > cursor:
                found.append(Gap(device, cursor, partition.start - cursor))
            cursor = max(cursor, partition.end)
        end = known.start + known.size if known is not None and None not in (known.start, known.size) else None
        if end is not None and end > cursor:
            found.append(Gap(device, cursor, end - cursor))
    return found
