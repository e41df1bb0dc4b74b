"""A system analysed: its description read, its partitions read from their files, each image
read as `analyze` reads it, then the passes (fit, overlap, shares, totals) and the verdict."""

from __future__ import annotations

import os
from typing import Optional, Union

from tarnwick.config import ConfigError, TarnwickConfig
from tarnwick.support.records import field, record, replace
from tarnwick.system.description import SystemDescription, read_description, settle_mcuboot
from tarnwick.system.partitions import PartitionFileError, PartitionLayout
from tarnwick.system.readers.loader import read_partition_file
from tarnwick.system.report import SystemReport


@record
class SystemResult:
    report: SystemReport
    verdict: object  # gates.Verdict
    comparison: object = None  # compare.SystemComparison, where there was a baseline
    inputs: dict = field(default_factory=dict)  # role -> path, for the outputs to say what was read
    description: Optional[SystemDescription] = None
    baseline_problem: Optional[str] = None  # why a baseline given could not serve
    warnings: tuple = ()  # what the run warns of, one line each

    @property
    def exit_code(self) -> int:
        """What the command exits with for this result: 1 when a gate failed, else 0."""
        return 1 if self.verdict.failed else 0


@record
class SystemSetup:
    """The configuration file read: its description, and how each image's own configuration is made."""

    description: SystemDescription
    base: TarnwickConfig  # the file's configuration, no target laid over it
    data: dict
    path: str

    def config_for(self, wanted) -> TarnwickConfig:
        from tarnwick.support.config_file import load_config, parse_config

        target = wanted.target or wanted.name
        if wanted.config is not None:
            if not os.path.isfile(wanted.config):
                raise self.description.fail(f"system.images ({wanted.name}).config: {wanted.config}: no such file",
                                            "system.images", self.description.images.index(wanted), "config")
            return load_config(wanted.config, target)
        return parse_config(self.data, self.path, target)


def read_setup(path: Union[str, os.PathLike]) -> SystemSetup:
    from tarnwick.support.config_file import parse_config, read_toml

    name = os.fspath(path)
    data, text = read_toml(name)
    base = parse_config(data, name)
    return SystemSetup(read_description(data, name, text, base.project.name), base, data, name)


def read_layout(description: SystemDescription) -> PartitionLayout:
    """Every partition: the files' (each image's devicetree too) and [[system.partitions]]."""
    layout = PartitionLayout()
    files = list(description.partition_files)
    files += [(wanted.devicetree, description.line_of("system.images", index, "devicetree"))
              for index, wanted in enumerate(description.images) if wanted.devicetree is not None]
    unique: dict = {}
    for path, line in files:  # each file once, at the first line naming it
        unique.setdefault(path, line)
    read = {}
    for path, line in unique.items():
        try:
            read[path] = read_partition_file(path, description.partition_table_offset, description.partitions_base)
        except PartitionFileError as error:
            if error.line is not None:
                raise
            raise ConfigError(description.path, f"partitions {error}", line) from None
        layout.merge(read[path], path)
    for index, wanted in enumerate(description.images):
        if wanted.devicetree is not None and wanted.partition is None:  # its own chosen code partition
            chosen = read[wanted.devicetree].chosen_code
            if chosen is None:
                raise description.fail(f"system.images[{index}] ({wanted.name}) names no partition, and its "
                                       f"devicetree {wanted.devicetree} chooses none (zephyr,code-partition)",
                                       "system.images", index)
            description.images[index] = replace(wanted, partition=chosen)
        if wanted.devicetree is not None:  # its partition as its own devicetree has it
            own = read[wanted.devicetree].named(description.images[index].partition)
            merged = layout.same(own) if own is not None else None
            if merged is not None:
                description.images[index] = replace(description.images[index], partition=merged.name)
    layout.merge(PartitionLayout(list(description.partitions)), description.path)
    if not layout.partitions:
        raise description.fail("no partitions: give [system] partitions = \"PATH\" (a devicetree, partitions.yml "
                               "or partitions.csv) or [[system.partitions]] tables", "system")
    return layout


def partitions_of(description: SystemDescription, layout: PartitionLayout) -> dict:
    """Image name -> its Partition; an image naming a partition no file declares is bad input."""
    found = {}
    known = ", ".join(p.name for p in layout.partitions)
    for index, wanted in enumerate(description.images):
        partition = layout.named(wanted.partition)
        if partition is None:
            raise description.fail(f"system.images[{index}] ({wanted.name}).partition: no partition {wanted.partition!r} "
                                   f"(the partitions: {known})", "system.images", index, "partition")
        if wanted.secondary is not None and layout.named(wanted.secondary) is None:
            raise description.fail(f"system.images[{index}] ({wanted.name}).secondary: no partition "
                                   f"{wanted.secondary!r} (the partitions: {known})", "system.images", index,
                                   "secondary")
        found[wanted.name] = partition
    return found


def _geometry(description: SystemDescription, layout: PartitionLayout, partition_of: dict) -> tuple:
    """The erase and write block of the flash the signed images are in, where a devicetree says."""
    devices = [layout.devices.get(partition_of[wanted.name].device) for wanted in description.images
               if wanted.role != "bootloader"]
    devices += list(layout.devices.values())
    for device in devices:
        if device is not None and (device.erase_block or device.write_block):
            return device.erase_block, device.write_block
    return None, None


def analyze_system(config: Union[str, os.PathLike, SystemSetup], *, baseline=None, baseline_label: Optional[str] = None,
                   warnings: Optional[list] = None, kept: Optional[list] = None, growth_limits=()) -> SystemResult:
    """The system a configuration file describes, compared with a stored system report when
    `baseline` names one. `warnings` collects what reading the images warns of; `kept`: a list to
    leave the builds in (see `tarnwick.app.cli.main`)."""
    from tarnwick.system.fit import check_scratch, fit_image, mark_related, partition_rows, secure_headroom
    from tarnwick.system.findings import image_issues, issues_of, verdict
    from tarnwick.system.images import read_image
    from tarnwick.system.overlap import (flash_overlaps, gaps, ram_overlaps, ram_per_core, region_shares,
                                         shared_ranges)

    setup = config if isinstance(config, SystemSetup) else read_setup(config)
    description = setup.description
    layout = read_layout(description)
    partition_of = partitions_of(description, layout)
    settle_mcuboot(description, *_geometry(description, layout, partition_of))
    images = []
    for wanted in description.images:
        chosen = setup.config_for(wanted)
        images.append(read_image(wanted, description, chosen, partition_of[wanted.name].name, warnings, kept))
    rows = partition_rows(layout)
    problems, notes = [], []
    for image in images:
        fit_image(image, partition_of[image.wanted.name], layout, description.mcuboot, rows, problems)
    mark_related(layout, rows, partition_of)
    check_scratch(layout, description.mcuboot, problems, notes)
    overlaps = flash_overlaps(layout, images, partition_of, problems)
    shared = shared_ranges(description, images, layout)
    overlaps += ram_overlaps(images, shared, description, problems)
    ram, shared_bytes = ram_per_core(images, shared, description)
    secure = [room for image in images if image.wanted.role == "secure"
              for room in secure_headroom(image, description.secure_block, description.secure_ram_block)]
    if description.secure_block is None and any(image.wanted.role == "secure" for image in images):
        notes.append("a secure image without [system] secure_block: its headroom to the next protection block "
                     "is not shown")
    for image in images:
        notes += [f"{image.wanted.name}: {line}" for line in image.row.warnings]
    report = SystemReport(
        description.name, [image.row for image in images], list(rows.values()), overlaps, gaps(layout),
        region_shares(description, images, shared), ram, shared_bytes, secure, _mcuboot_json(description),
        notes=notes, timestamp=_now(), tool_version=_version())
    report.issues = issues_of(problems) + image_issues(report.images)
    inputs = {"configuration": setup.path}
    for path, _ in description.partition_files:
        inputs.setdefault("partitions", path)
    comparison = problem = None
    if baseline is not None:
        from tarnwick.system.compare import compare_systems, read_stored_system

        try:
            comparison = compare_systems(read_stored_system(os.fspath(baseline)), report, os.fspath(baseline),
                                         baseline_label)
            inputs["baseline"] = os.fspath(baseline)
        except ValueError as exc:
            problem = str(exc)
    growth = ()
    if comparison is not None and growth_limits:
        from tarnwick.system.compare import growth_gates

        growth = growth_gates(comparison, growth_limits)
    return SystemResult(report, verdict(report, setup.base.policies, growth), comparison, inputs, description, problem)


def _mcuboot_json(description: SystemDescription) -> Optional[dict]:
    mcuboot = description.mcuboot
    if mcuboot is None:
        return None
    trailer = mcuboot.trailer()
    return {"mode": mcuboot.mode, "write_size": mcuboot.write_size, "sector_size": mcuboot.sector_size,
            "max_sectors": mcuboot.max_sectors, "header_size": mcuboot.header_size, "tlv_bytes": mcuboot.tlv_bytes,
            "key": mcuboot.key, "max_align": mcuboot.alignment,
            "trailer": {"status_bytes": trailer.status_bytes, "flag_bytes": trailer.flag_bytes,
                        "magic_bytes": trailer.magic_bytes, "total_bytes": trailer.total}}


def _now() -> str:
    from datetime import datetime, timezone

    return datetime.now(timezone.utc).isoformat()


def _version() -> str:
    from tarnwick import __version__

    return __version__
