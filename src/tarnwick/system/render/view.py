"""What every system renderer shows, as tables of plain strings and sentences: each renderer
only lays them out (and escapes them for where they go)."""

from __future__ import annotations

from typing import NamedTuple, Optional

from tarnwick.render.view import human_bytes, signed_bytes


class Table(NamedTuple):
    title: str
    headers: tuple
    rows: list  # tuples of strings
    numeric: tuple = ()  # the columns aligned right


def hex_address(value: Optional[int]) -> str:
    return "-" if value is None else f"0x{value:08x}"


def size(value: Optional[int]) -> str:
    return "-" if value is None else f"{value:,} B"


def image_table(report) -> Table:
    rows = [(image.name, image.role, image.core or "-", image.partition, size(image.flash_bytes),
             size(image.ram_bytes), size(image.stored_bytes),
             f"{hex_address(image.load_start)}-{hex_address(image.load_end)}" if image.load_start is not None else "-",
             "FAILED" if image.failed else "passed") for image in report.images]
    return Table("Images", ("image", "role", "core", "partition", "flash", "RAM", "stored", "load range", "gates"),
                 rows, (4, 5, 6))


def partition_tables(report) -> list:
    """One table per device: partition, image, start, end, size, used, trailer, free, status;
    the gaps between partitions as rows of their own."""
    tables = []
    devices = list(dict.fromkeys(row.device for row in report.partitions))
    for device in devices:
        entries = [(row.start, 0, row) for row in report.partitions if row.device == device]
        entries += [(gap.start, 1, gap) for gap in report.gaps if gap.device == device]
        rows = []
        for _, is_gap, row in sorted(entries, key=lambda entry: (entry[0], entry[1])):
            if is_gap:
                rows.append(("(gap)", "-", hex_address(row.start), hex_address(row.start + row.size),
                             human_bytes(row.size), "-", "-", size(row.size), "unused"))
                continue
            image = row.image or "-"
            if row.slot == "secondary":
                image += " (update)"
            rows.append((row.name, image, hex_address(row.start), hex_address(row.end), human_bytes(row.size),
                         size(row.used_bytes), size(row.trailer_bytes), size(row.free_bytes), row.status))
        mapped = all(row.mapped for row in report.partitions if row.device == device)
        title = f"Partitions in {device}" + ("" if mapped else " (offsets: images fitted by their size)")
        tables.append(Table(title, ("partition", "image", "start", "end", "size", "used", "trailer", "free", "status"),
                            rows, (4, 5, 6, 7)))
    return tables


def mcuboot_line(report) -> Optional[str]:
    mcuboot = report.mcuboot
    if not mcuboot:
        return None
    trailer = mcuboot["trailer"]
    signed = f", signed with {mcuboot['key']}" if mcuboot.get("key") else ""
    return (f"MCUboot {mcuboot['mode']}: write size {mcuboot['write_size']} B, sector {mcuboot['sector_size']:,} B, "
            f"max {mcuboot['max_sectors']} sectors; trailer {trailer['total_bytes']:,} B (swap status "
            f"{trailer['status_bytes']:,} B, flags {trailer['flag_bytes']} B, magic {trailer['magic_bytes']} B, "
            f"padded to {mcuboot['max_align']} B); header {mcuboot['header_size']:,} B, TLV area "
            f"{mcuboot['tlv_bytes']} B{signed}")


def ram_table(report) -> Table:
    rows = [(core.core, ", ".join(core.images), size(core.ram_bytes), size(core.bootloader_bytes))
            for core in report.ram]
    return Table("RAM per core", ("core", "images at once", "RAM", "bootloader before them"), rows, (2, 3))


def region_lines(report) -> list:
    lines = []
    for region in report.regions:
        parts = "; ".join(f"{part.image} {hex_address(part.start)}+{part.size:,} B ({part.used_bytes:,} B used)"
                          for part in region.parts) or "no image uses it"
        lines.append(f"{region.name}{' (shared)' if region.shared else ''} {hex_address(region.start)}-"
                     f"{hex_address(region.start + region.size)}: {parts}")
    return lines


def overlap_lines(report) -> list:
    return [f"{overlap.kind}: {overlap.a} and {overlap.b}, {overlap.size:,} B from {hex_address(overlap.start)}"
            for overlap in report.overlaps]


def secure_lines(report) -> list:
    lines = []
    for room in report.secure:
        memory = "RAM" if room.memory == "ram" else room.memory
        line = (f"{room.image}: its {memory} ends at {hex_address(room.end)}, {room.headroom_bytes:,} B before "
                f"the {human_bytes(room.block)} boundary at {hex_address(room.boundary)} ({room.blocks} block"
                f"{'s' if room.blocks != 1 else ''})")
        if room.veneers:
            line += f"; non-secure-callable veneers {hex_address(room.veneers[0])}-{hex_address(room.veneers[1])}"
        lines.append(line)
    return lines


def totals_line(report) -> str:
    return (f"Totals: flash {report.flash_bytes:,} B ({report.stored_bytes:,} B stored) and RAM {report.ram_bytes:,} B "
            f"over {len(report.images)} image{'s' if len(report.images) != 1 else ''}; RAM in shared regions "
            f"{report.shared_ram_bytes:,} B")


def finding_rows(report) -> list:
    """(severity, id, description, hint) of every finding, errors first."""
    order = {"error": 0, "warning": 1, "info": 2}
    rows = [(getattr(issue.severity, "value", issue.severity), issue.id, issue.description, issue.remediation_hint)
            for issue in report.issues]
    return sorted(rows, key=lambda row: order.get(row[0], 3))


def comparison_lines(comparison) -> list:
    if comparison is None:
        return []
    lines = []
    for change in comparison.images:
        if change.kind in ("added", "removed"):
            lines.append(f"image {change.name}: {change.kind}")
        elif change.kind != "unchanged":
            lines.append(f"image {change.name} {change.kind}: flash {signed_bytes(change.flash_delta)} "
                         f"({change.flash_before:,} -> {change.flash_after:,} B), RAM {signed_bytes(change.ram_delta)}")
    for change in comparison.partitions:
        lines.append(f"partition {change.name}{f' ({change.image})' if change.image else ''}: free "
                     f"{size(change.free_before)} -> {size(change.free_after)}"
                     + (f" ({signed_bytes(change.delta)})" if change.delta is not None else ""))
    for change in comparison.secure:
        moved = (f", now {change.blocks_after} blocks (was {change.blocks_before}): the partitions after it move"
                 if change.blocks_after != change.blocks_before else "")
        lines.append(f"{change.image} {change.memory} headroom {change.headroom_before:,} -> "
                     f"{change.headroom_after:,} B{moved}")
    lines += comparison.notes
    return lines or ["nothing changed"]


def gate_rows(verdict) -> list:
    """(failed, text) of every gate."""
    rows = []
    for gate in verdict.policies:
        rows.append((gate.failed, f"{gate.name}: {', '.join(gate.findings)}" if gate.findings
                     else f"{gate.name}: no finding breaks it"))
    rows += [(gate.failed, gate.reason) for gate in verdict.growth]
    return rows


def headline(result) -> str:
    report = result.report
    cores = len({image.core or "main" for image in report.images})
    return (f"tarnwick system report for {report.name}: {len(report.images)} image"
            f"{'s' if len(report.images) != 1 else ''} on {cores} core{'s' if cores != 1 else ''}")


def read_lines(result) -> list:
    lines = [f"{role}: {path}" for role, path in result.inputs.items()]
    for image in result.report.images:
        parts = [image.map, image.elf]
        lines.append(f"{image.name}: " + " with ".join(p for p in parts if p) + f" ({image.toolchain}; stored bytes "
                     f"from its {image.stored_from})")
    return lines
