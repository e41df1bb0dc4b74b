"""The sides of a `diff` of two systems: a stored system report, or a configuration holding
[system] analysed; and every file a system was read from."""

from __future__ import annotations

import os

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional


def is_system_side(path) -> bool:
    """A side of `diff` that is a system: a stored system report, or a configuration with [system]."""
    from tarnwick.system.compare import looks_like_stored_system

    name = os.fspath(path)
    if looks_like_stored_system(name):
        return True
    if not name.endswith(".toml"):
        return False
    try:
        from tarnwick.support.config_file import read_toml

        return "system" in read_toml(name)[0]
    except ValueError:
        return False


def system_side(path, warnings: list, kept, policies_from: Optional[str]):
    """The SystemResult of a diff side: analysed from its configuration, or read back stored
    (judged by the policies of `policies_from`, a configuration, where one is named)."""
    from tarnwick.system.analysis import SystemResult, analyze_system
    from tarnwick.system.compare import looks_like_stored_system, read_stored_system

    name = os.fspath(path)
    if looks_like_stored_system(name):
        from tarnwick.config import TarnwickConfig
        from tarnwick.system.findings import verdict

        policies = TarnwickConfig().policies
        if policies_from is not None:
            from tarnwick.support.config_file import load_config

            policies = load_config(policies_from).policies
        report = read_stored_system(name)
        return SystemResult(report, verdict(report, policies), inputs={"system report": name})
    return analyze_system(name, warnings=warnings, kept=kept)


def every_input(result) -> dict:
    """Role -> path of every file the system was read from: its configuration, partition files,
    baseline, and each image's map and ELF file."""
    found = dict(result.inputs)
    if result.description is not None:
        found.update({f"partition file {path}": path for path, _ in result.description.partition_files})
    for image in result.report.images:
        found.update({f"{image.name} {kind}": path for kind, path in (("map", image.map), ("ELF file", image.elf))
                      if path})
    return found
