"""The `tarnwick` command.

Exit codes: 0 when no policy fails; 1 when one does (an overflow with
policies.fail_on_overflow, a reserved-range violation with
policies.fail_on_reserved_region_violation); 2 for bad input (map, configuration, arguments,
output file, standard output); 3 for an internal error. A baseline that cannot serve is a
warning, and the report is compared with nothing. Every message is one line on stderr, with
control characters in names escaped.
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
from pathlib import Path
from typing import Optional, Sequence

from tarnwick import __version__
from tarnwick.config import ConfigError, TarnwickConfig
from tarnwick.domain import IssueCategory
from tarnwick.render.escape import plain
from tarnwick.toolchains.errors import MapParseError

EXIT_OK, EXIT_POLICY, EXIT_BAD_INPUT, EXIT_INTERNAL = 0, 1, 2, 3
DEFAULT_CONFIG = "tarnwick.toml"


class UsageError(Exception):
    """Bad input the command itself finds (an output that would overwrite an input)."""


def say(kind: str, message: str) -> None:
    """One line on stderr: "tarnwick: error: ...", "tarnwick: warning: ..."."""
    print(f"tarnwick: {kind}: {plain(message)}" if kind else f"tarnwick: {plain(message)}",
          file=sys.stderr)


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # one line and exit 2, as for every bad input
        self.exit(EXIT_BAD_INPUT, f"tarnwick: error: {plain(message)}\n")


def _arguments() -> argparse.ArgumentParser:
    parser = _Parser(prog="tarnwick", description="Memory-footprint analysis of firmware link maps.")
    parser.add_argument("--version", action="version", version=f"tarnwick {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    analyze = commands.add_parser("analyze", help="analyse a linker map file or an ELF file")
    analyze.add_argument("map", type=Path, help="the linker map file, or the ELF file alone")
    elf = analyze.add_mutually_exclusive_group()
    elf.add_argument("--elf", type=Path, help="the ELF file of the same link (default: the one "
                     "beside the map, same name with .elf or as its OUTPUT line names it)")
    elf.add_argument("--no-elf", action="store_true", help="read the map alone")
    analyze.add_argument("--config", type=Path,
                         help=f"configuration file (default: ./{DEFAULT_CONFIG} when present)")
    analyze.add_argument("--baseline", type=Path, help="a JSON report of an earlier build")
    analyze.add_argument("--target", help="target name in the report (default: project.name)")
    analyze.add_argument("--format", choices=("text", "json", "markdown", "html"), default="text")
    analyze.add_argument("--output", type=Path,
                         help="write the report here instead of stdout (replaced only when complete)")
    return parser


def failed_policies(report, config: TarnwickConfig) -> list:
    """The policies the report breaks, as words for the log."""
    categories = {getattr(i.category, "value", i.category) for i in report.issues}
    failed = []
    if config.policies.fail_on_overflow and IssueCategory.OVERFLOW.value in categories:
        failed.append("fail_on_overflow")
    if (config.policies.fail_on_reserved_region_violation
            and IssueCategory.RESERVED_REGION.value in categories):
        failed.append("fail_on_reserved_region_violation")
    return failed


def _config_path(path: Optional[Path]) -> Optional[str]:
    if path is not None:
        return os.fspath(path)
    return DEFAULT_CONFIG if Path(DEFAULT_CONFIG).is_file() else None


def _refuse_to_overwrite_inputs(output: Path, inputs: dict) -> None:
    """An output that is one of the inputs, by identity (device and inode), not spelling."""
    from tarnwick.files import identity

    target = identity(os.fspath(output))
    if target is None:
        return
    for role, path in inputs.items():
        if path is not None and identity(path) == target:
            raise UsageError(f"--output {output} is the {role} {path}: refusing to overwrite an input")


def unchecked_budget_names(config: TarnwickConfig, model) -> list:
    """Budgets and partition caps that name no region of the map: their checks would be off
    without anyone knowing. One line each, naming the closest region."""
    names = [r.name for r in model.memory_regions]
    lines = []
    keyed = [(f"budgets.flash.{n}", n) for n in config.budgets.flash]
    keyed += [(f"budgets.ram.{n}", n) for n in config.budgets.ram]
    keyed += [(f"policies.partition_max_bytes.{n}", n) for n in config.policies.partition_max_bytes]
    for key, name in keyed:
        if name in names:
            continue
        import difflib

        folded = [n for n in names if n.lower() == name.lower()]
        closest = folded or difflib.get_close_matches(name, names, n=1, cutoff=0.0)
        hint = f" (closest: {closest[0]})" if closest else " (the map has no regions)"
        lines.append(f"{key} names no region of this map{hint}: that check is not made")
    return lines


def _analyze(args) -> int:
    from tarnwick.analysis.summary import build_analysis_report
    from tarnwick.baseline_file import read_baseline
    from tarnwick.comparison import compare
    from tarnwick.files import reason, write_report, write_stdout
    from tarnwick.render import render_to
    from tarnwick.toolchains import AUTO, load_map

    config_path = _config_path(args.config)
    baseline_path = os.fspath(args.baseline) if args.baseline is not None else None
    if args.output is not None:
        _refuse_to_overwrite_inputs(args.output, {
            "map": os.fspath(args.map), "configuration": config_path, "baseline": baseline_path,
            "ELF file": os.fspath(args.elf) if args.elf is not None else None})
    if config_path is not None:
        from tarnwick.config_file import load_config

        config = load_config(config_path)
    else:
        config = TarnwickConfig()
    baseline = handed = None
    if baseline_path is not None:
        baseline, handed = read_baseline(baseline_path)
    model = load_map(args.map, config, elf=None if args.no_elf else (args.elf or AUTO))
    for line in model.warnings:
        say("warning", line)
        model.unresolved_ambiguities.append(line)
    for line in unchecked_budget_names(config, model):
        say("warning", line)
        model.unresolved_ambiguities.append(line)
    report = build_analysis_report(model, config, target_name=args.target, baseline_json_path=handed)
    status = report.regressions.get("status")
    if status not in (None, "ok"):
        error = report.regressions.get("error")
        say("warning", f"baseline {report.regressions.get('path')}: {status}"
            + (f": {error}" if error else "") + "; the report is compared with nothing")
    comparison = compare(report, baseline) if baseline is not None and status == "ok" else None
    def produce(write) -> None:
        render_to(args.format, report, comparison, write)

    try:
        if args.output is None:
            write_stdout(produce)
        else:
            write_report(os.fspath(args.output), produce)
    except BrokenPipeError:
        raise
    except OSError as exc:
        where = "standard output" if args.output is None else os.fspath(args.output)
        if args.output is None:
            _silence_stdout()
        say("error", f"{where}: {reason(exc)}" + ("" if args.output is None else "; nothing was written"))
        return EXIT_BAD_INPUT
    failed = failed_policies(report, config)
    if failed:
        say("", f"policy failed: {', '.join(failed)}")
        return EXIT_POLICY
    return EXIT_OK


def _silence_stdout() -> None:
    """What stdout still holds would fail again when the interpreter exits."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    # The report is a large tree of records without cycles, and the command ends when it is
    # written: the cyclic collector would only walk the tree again and again.
    gc.disable()
    try:
        args = _arguments().parse_args(argv)
    except SystemExit as exc:  # --help, --version and argument errors (already printed)
        return exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT
    try:
        return _analyze(args)
    except (MapParseError, ConfigError, UsageError) as exc:
        say("error", str(exc))
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_OK
    except Exception as exc:  # a bug of ours: one line, never a traceback
        say("internal error", f"{type(exc).__name__}: {exc}")
        return EXIT_INTERNAL
