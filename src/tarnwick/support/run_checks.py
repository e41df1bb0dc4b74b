"""Bad input that only a run can see: an output that would overwrite a file the run reads,
budgets that name no region of the build, a stack-file folder that is not a folder. Each is
`RunError`, exit 2 for the command, found before anything is written."""

from __future__ import annotations

import os

from tarnwick.support.files import identity
from tarnwick.support.names import closest_name

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Iterable


class RunError(ValueError):
    """Bad input found by the run; `str()` is one line saying which and why."""


def refuse_to_overwrite_inputs(output, inputs: dict) -> None:
    """An output that is one of the inputs, by identity (device and inode), not spelling;
    `output`: one path, or a list of every file the run writes (two of which may not be one)."""
    outputs = [] if output is None else list(output) if isinstance(output, (list, tuple)) else [output]
    seen = {}
    for path in outputs:
        name = os.fspath(path)
        same = identity(name) or os.path.realpath(name)  # a file not yet made: by its full name
        if same in seen:
            raise RunError(f"{name} is written twice (also as {seen[same]}): give each output its own file")
        seen[same] = name
        target = identity(name)
        if target is None:
            continue
        for role, given in inputs.items():
            if given is not None and identity(given) == target:
                raise RunError(f"--output {name} is the {role} {given}: refusing to overwrite an input")


def refuse_to_overwrite_reads(output, noted: dict) -> None:
    """An output (one path, or a list) that is any file the run read (a stack file, an ELF found
    through the map): `noted` as `support.files.reads_noted` gives it."""
    for path in [] if output is None else list(output) if isinstance(output, (list, tuple)) else [output]:
        target = identity(os.fspath(path))
        if target is not None and target in noted:
            raise RunError(f"--output {os.fspath(path)} is {noted[target]}, which this run reads: "
                           "refusing to overwrite an input")


def unchecked_budget_names(config, model) -> list:
    """Budgets and partition caps that name no region of the map: their checks would be off
    without anyone knowing. One phrase each, naming the closest region."""
    names = [r.name for r in model.memory_regions]
    lines = []
    keyed = [(f"budgets.flash.{n}", n) for n in config.budgets.flash]
    keyed += [(f"budgets.ram.{n}", n) for n in config.budgets.ram]
    keyed += [(f"policies.partition_max_bytes.{n}", n) for n in config.policies.partition_max_bytes]
    for key, name in keyed:
        if name in names:
            continue
        closest = closest_name(name, names)
        hint = f" (closest: {closest})" if closest else " (the map has no regions)"
        lines.append(f"{key} names no region of this map{hint}")
    return lines


def check_budgets_name_regions(config, model) -> None:
    unchecked = unchecked_budget_names(config, model)
    if unchecked:
        raise RunError("; ".join(unchecked) + " (budgets for one target of several go under "
                       "[targets.NAME] in the configuration)")


def checked_folders(folders: Iterable) -> list:
    """The folders named to hold stack files; one that is not a folder is bad input."""
    named = [os.fspath(folder) for folder in folders]
    for folder in named:
        if not os.path.isdir(folder):
            raise RunError(f"--stack-usage {folder}: not a folder")
    return named
