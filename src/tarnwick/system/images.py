"""Each image of a system read exactly as `analyze` reads it (`tarnwick.api.read_build`, with
its own configuration, target, budgets and stack), and what the system passes need of it: where
its bytes are stored in flash, and which RAM it uses."""

from __future__ import annotations

import os
from typing import Optional

from tarnwick.config import ConfigError, TarnwickConfig
from tarnwick.support.records import record
from tarnwick.support.run_checks import RunError
from tarnwick.system.description import ImageSpec, SystemDescription
from tarnwick.system.report import ImageRow, RegionUse


@record
class Image:
    """One image read: the row the report shows, and the address ranges the passes check."""

    wanted: ImageSpec
    row: ImageRow
    stored: list  # merged (start, end) of the bytes stored in flash
    ram: list  # (start, end, section) of the sections it has in RAM
    memory: list  # (name, category, start, end) of its map's memory regions
    sections: list  # (name, start, end) of its allocated sections with sizes, as run
    policies: object  # its PolicyConfig
    elf: object = None  # its ElfFile (headers only), where one was read

    def blank(self, start: int, size: int) -> Optional[bool]:
        """Whether the bytes it stores from `start` for `size` bytes are all zero (as objcopy
        fills the gaps between sections); None without an ELF file to read them from."""
        if self.elf is None:
            return None
        from tarnwick.support.files import FileProblem, open_regular

        try:
            with open_regular(self.elf.path) as handle:
                for section in self.elf.sections:
                    if not (section.allocated and section.has_contents and section.size):
                        continue
                    load = self.elf.load_address(section)
                    low, high = max(load, start), min(load + section.size, start + size)
                    if low < high:
                        handle.seek(section.offset + low - load)
                        if handle.read(high - low).strip(b"\0"):
                            return False
        except (FileProblem, OSError):
            return None
        return True


def merged(ranges) -> list:
    """Ranges (start, end) sorted and joined where they touch or overlap."""
    result: list = []
    for start, end in sorted(ranges):
        if end <= start:
            continue
        if result and start <= result[-1][1]:
            result[-1] = (result[-1][0], max(result[-1][1], end))
        else:
            result.append((start, end))
    return result


def _stored_from_elf(elf) -> list:
    """The bytes a programmer writes (objcopy -O binary's image): every allocated section with
    contents, at its load address from the program headers."""
    ranges = []
    for section in elf.sections:
        if section.allocated and section.has_contents and section.size:
            start = elf.load_address(section)
            ranges.append((start, start + section.size))
    return merged(ranges)


def _stored_from_map(report) -> list:
    """The map's view of the same: sections with contents at their load address, or where they
    run when that is flash."""
    categories = {region.name: _value(region.category) for region in report.regions}
    ranges = []
    for section in report.sections:
        if not section.has_contents or not section.size:
            continue
        if section.load_address is not None:
            ranges.append((section.load_address, section.load_address + section.size))
        elif categories.get(section.execution_region) == "flash":
            ranges.append((section.address, section.address + section.size))
    return merged(ranges)


def _value(member) -> str:
    return getattr(member, "value", member)


def _ram_of(report) -> list:
    regions = list(report.regions)
    by_name = {region.name: region for region in regions}
    ram = []
    for section in report.sections:
        if not section.size:
            continue
        region = by_name.get(section.execution_region) or next(
            (r for r in regions if r.origin <= section.address < r.origin + r.length), None)
        if region is None:
            continue
        category = _value(region.category)
        if category == "ram" or (getattr(region, "unified", False) and section.is_writable):
            ram.append((section.address, section.address + section.size, section.name))
    return ram


def _used_by_region(report) -> dict:
    rows = (report.trends.get("visualization", {}) or {}).get("regions", [])
    return {row["name"]: row["used_bytes"] for row in rows if isinstance(row, dict) and "name" in row}


def read_image(wanted: ImageSpec, description: SystemDescription, config: TarnwickConfig, partition: str,
               warnings: Optional[list] = None, kept: Optional[list] = None) -> Image:
    """`warnings`: collects what reading the image warns of, each line naming the image; `kept`:
    where to leave the build, for a process that ends without freeing it."""
    from tarnwick.compare.builds import read_build
    from tarnwick.compare.gates import policy_gates
    from tarnwick.toolchains import AUTO

    for part, path in (("map", wanted.map), ("elf", wanted.elf)):
        if path is not None and not os.path.exists(path):
            raise ConfigError(description.path, f"system.images ({wanted.name}).{part}: {path}: no such file",
                              description.line_of("system.images", _index(description, wanted), part))
    for folder in wanted.stack_folders:
        if not os.path.isdir(folder):
            raise ConfigError(description.path, f"system.images ({wanted.name}).stack_usage: {folder}: not a folder",
                              description.line_of("system.images", _index(description, wanted), "stack_usage"))
    elf = wanted.elf if wanted.map is not None and wanted.elf is not None else AUTO
    said: list = []
    try:
        build = read_build(wanted.input, config, elf=elf, target=wanted.target or wanted.name,
                           stack_folders=wanted.stack_folders, warnings=said)
    except RunError as exc:
        raise RunError(f"image {wanted.name}: {exc}") from None
    if warnings is not None:
        warnings.extend(f"image {wanted.name}: {line}" for line in said)
    report, model = build.report, build.model
    if kept is not None:
        kept.extend(part for part in (model, report) if part is not None)
    elf_file = getattr(model, "elf_file", None)
    stored = _stored_from_elf(elf_file) if elf_file is not None else _stored_from_map(report)
    used = _used_by_region(report)
    regions = [RegionUse(r.name, _value(r.category), r.origin, r.length, used.get(r.name, 0)) for r in report.regions]
    stack = build.stack
    row = ImageRow(
        wanted.name, wanted.role, wanted.core, partition, wanted.secondary, report.summary.total_flash,
        report.summary.total_ram, sum(end - start for start, end in stored),
        stored[0][0] if stored else None, stored[-1][1] if stored else None,
        "ELF program headers" if elf_file is not None else "map", wanted.map,
        getattr(model, "elf_path", None) or (wanted.elf if wanted.map is None else None),
        report.metadata.toolchain_detected, regions, list(report.issues),
        policy_gates(report, config.policies),
        {"verdict": stack.verdict, "detail": stack.detail, "worst_case": stack.worst_case,
         "reserved": stack.reservation} if stack is not None else None,
        warnings=list(getattr(model, "warnings", ())))
    row.stored_ranges = [list(r) for r in stored]
    ram = _ram_of(report)
    row.ram_ranges = [list(r) for r in merged((start, end) for start, end, _ in ram)]
    sections = [(s.name, s.address, s.address + s.size) for s in report.sections if s.size]
    return Image(wanted, row, stored, ram, [(r.name, _value(r.category), r.origin, r.origin + r.length)
                                          for r in report.regions], sections, config.policies, elf_file)


def _index(description: SystemDescription, wanted: ImageSpec) -> int:
    return next(index for index, image in enumerate(description.images) if image is wanted)
