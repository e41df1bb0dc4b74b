"""`tarnwick system [CONFIG]`, and `tarnwick diff` of two systems: what the command line asks
of the system layer. The command line (`tarnwick.cli`) hands in how it says things, writes the
output and looks at each model; the exit codes are those of `analyze`."""

from __future__ import annotations

import os
from typing import Callable, Optional

DEFAULT_CONFIG = "tarnwick.toml"


def is_system_side(path) -> bool:
    """A side of `diff` that is a system: a stored system report, or a configuration with [system]."""
    from tarnwick.system.compare import looks_like_stored_system

    name = os.fspath(path)
    if looks_like_stored_system(name):
        return True
    if not name.endswith(".toml"):
        return False
    try:
        from tarnwick.config_file import read_toml

        return "system" in read_toml(name)[0]
    except ValueError:
        return False


def _config_path(given) -> str:
    from tarnwick.config import ConfigError

    if given is not None:
        return os.fspath(given)
    if os.path.isfile(DEFAULT_CONFIG):
        return DEFAULT_CONFIG
    raise ConfigError(DEFAULT_CONFIG, "no such file: name the configuration holding [system] (tarnwick system CONFIG)")


def _side(path, inspect, kept, policies_from: Optional[str]):
    """(the SystemResult of a diff side): analysed from its configuration, or read back stored."""
    from tarnwick.system.analysis import SystemResult, analyze_system
    from tarnwick.system.compare import looks_like_stored_system, read_stored_system

    name = os.fspath(path)
    if looks_like_stored_system(name):
        from tarnwick.config import TarnwickConfig
        from tarnwick.system.findings import verdict

        policies = TarnwickConfig().policies
        if policies_from is not None:
            from tarnwick.config_file import load_config

            policies = load_config(policies_from).policies
        report = read_stored_system(name)
        return SystemResult(report, verdict(report, policies), inputs={"system report": name})
    return analyze_system(name, inspect=inspect, kept=kept)


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


def run(args, *, say: Callable, inspect: Optional[Callable], write: Callable, kept: Optional[list] = None,
        guard: Optional[Callable] = None) -> int:
    """The command: `args` as the command line parsed them (`args.command` "system" or "diff").
    `write(args, produce)` writes the output and gives the exit code when that fails;
    `guard(inputs)` stops the run before that if the output would replace one of them."""
    import dataclasses

    from tarnwick.system.render import render_system

    growth = getattr(args, "fail_on_growth", []) or []
    if args.command == "diff":
        from tarnwick.gates import Verdict
        from tarnwick.system.compare import compare_systems

        from tarnwick.toolchains.errors import ReportFileError

        for side in (args.old, args.new):
            if not is_system_side(side):
                raise ReportFileError(f"{os.fspath(side)}: not a system (a JSON system report, or a configuration "
                                      "holding [system]), where the other side of the diff is one")
        config = os.fspath(args.config) if getattr(args, "config", None) is not None else None
        earlier = _side(args.old, inspect, kept, config)
        later = _side(args.new, inspect, kept, config)
        comparison = compare_systems(earlier.report, later.report, os.fspath(args.old), args.baseline_label)
        if growth:
            from tarnwick.system.compare import growth_gates

            comparison.growth_gates = growth_gates(comparison, growth)
        gates = Verdict(later.verdict.policies, tuple(comparison.growth_gates))
        result = dataclasses.replace(later, comparison=comparison, verdict=gates,
                                     inputs={"old": os.fspath(args.old), **later.inputs})
    else:
        from tarnwick.system.analysis import analyze_system

        result = analyze_system(_config_path(args.config), baseline=args.baseline, baseline_label=args.baseline_label,
                                inspect=inspect, kept=kept, growth_limits=growth)
        if result.baseline_problem:
            say("warning", f"baseline {result.baseline_problem}; the system is compared with nothing")
        if growth and result.comparison is None:
            say("warning", "--fail-on-growth needs a --baseline to compare with; no growth gate is checked")
    if guard is not None:
        guard(every_input(result))
    failed = write(args, lambda put: put(render_system(args.format, result).encode("utf-8")))
    if failed:
        return failed
    failures = result.verdict.failures()
    if failures:
        say("", f"policy failed: {'; '.join(failures)}")
        return 1
    return 0

