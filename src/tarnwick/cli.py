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


def _common(parser, builds: int) -> None:
    """The options `analyze` and `diff` share. One `--elf` cannot serve two builds: `diff`
    finds each map's ELF file beside it."""
    elf = parser.add_mutually_exclusive_group()
    if builds == 1:
        elf.add_argument("--elf", type=Path, help="the ELF file of the same link (default: the one "
                         "beside the map, same name with .elf or as its OUTPUT line names it)")
    else:
        parser.set_defaults(elf=None)
    elf.add_argument("--no-elf", action="store_true", help="read the map alone" if builds == 1 else
                     "read the maps alone (by default each map's ELF file is read when it is beside it)")
    parser.add_argument("--config", type=Path,
                        help=f"configuration file (default: ./{DEFAULT_CONFIG} when present)")
    parser.add_argument("--target", help="target name in the report (default: project.name)")
    parser.add_argument("--format", choices=("text", "json", "markdown", "html"), default="text")
    parser.add_argument("--top", type=int, metavar="N",
                        help="the largest symbols, objects and changes to show (default: reports.top_entries, 10)")
    parser.add_argument("--output", type=Path,
                        help="write the report here instead of stdout (replaced only when complete)")


def _arguments() -> argparse.ArgumentParser:
    parser = _Parser(prog="tarnwick", description="Memory-footprint analysis of firmware link maps.")
    parser.add_argument("--version", action="version", version=f"tarnwick {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    analyze = commands.add_parser("analyze", help="analyse a linker map file or an ELF file")
    analyze.add_argument("map", type=Path, help="the linker map file, or the ELF file alone")
    analyze.add_argument("--baseline", type=Path, help="a JSON report of an earlier build")
    _common(analyze, builds=1)
    diff = commands.add_parser("diff", help="what changed between two builds")
    diff.add_argument("old", type=Path, help="the earlier build: a JSON report, a map or an ELF file")
    diff.add_argument("new", type=Path, help="the later build: a JSON report, a map or an ELF file")
    diff.add_argument("--fail-on-growth", action="append", default=[], metavar="[REGION=]BYTES",
                      type=_growth_limit, help="exit 1 when flash and RAM together (or REGION) grew by more "
                      "than BYTES; may be given once per region")
    _common(diff, builds=2)
    return parser


def _growth_limit(text: str) -> tuple:
    """"2048" (the total) or "RAM=512" (a region) -> (region or None, bytes)."""
    region, _, limit = text.rpartition("=")
    try:
        value = int(limit, 0)
    except ValueError:
        value = -1
    if value < 0 or (region == "" and "=" in text):
        raise argparse.ArgumentTypeError(f"{text!r} is not BYTES or REGION=BYTES")
    return region or None, value


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


def _load_config(args) -> TarnwickConfig:
    path = _config_path(args.config)
    if path is None:
        return TarnwickConfig()
    from tarnwick.config_file import load_config

    return load_config(path)


def _model(path, config: TarnwickConfig, args):
    """The model of a map or an ELF file, with its warnings said."""
    from tarnwick.toolchains import AUTO, load_map

    model = load_map(path, config, elf=None if args.no_elf else (args.elf or AUTO))
    for line in model.warnings + unchecked_budget_names(config, model):
        say("warning", line)
        model.unresolved_ambiguities.append(line)
    return model


def _write(args, report, comparison, config: TarnwickConfig, symbols=None) -> Optional[int]:
    """Writes the report where the arguments say; the exit code when that fails."""
    from tarnwick.files import reason, write_report, write_stdout
    from tarnwick.render import render_to

    top = args.top if args.top is not None else config.reports.top_entries

    def produce(write) -> None:
        render_to(args.format, report, comparison, write, max(top, 0), symbols)

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
    return None


def _verdict(report, config: TarnwickConfig, growth: tuple = ()) -> int:
    failed = failed_policies(report, config) + list(growth)
    if failed:
        say("", f"policy failed: {', '.join(failed)}")
        return EXIT_POLICY
    return EXIT_OK


def _inputs(args, **files) -> dict:
    named = {role: os.fspath(path) if path is not None else None for role, path in files.items()}
    named["configuration"] = _config_path(args.config)
    named["ELF file"] = os.fspath(args.elf) if args.elf is not None else None
    return named


def _analyze(args) -> int:
    from tarnwick.analysis.summary import build_analysis_report
    from tarnwick.baseline_file import read_baseline

    baseline_path = os.fspath(args.baseline) if args.baseline is not None else None
    if args.output is not None:
        _refuse_to_overwrite_inputs(args.output, _inputs(args, map=args.map, baseline=args.baseline))
    config = _load_config(args)
    baseline = handed = None
    if baseline_path is not None:
        baseline, handed = read_baseline(baseline_path)
    model = _model(args.map, config, args)
    report = build_analysis_report(model, config, target_name=args.target, baseline_json_path=handed)
    args.kept.extend((model, report))
    status = report.regressions.get("status")
    if status not in (None, "ok"):
        error = report.regressions.get("error")
        say("warning", f"baseline {report.regressions.get('path')}: {status}"
            + (f": {error}" if error else "") + "; the report is compared with nothing")
    comparison = None
    if baseline is not None and status == "ok":
        from tarnwick.comparison import compare

        comparison = compare(report, baseline)
    return _write(args, report, comparison, config, model.symbols) or _verdict(report, config)


def _is_json_report(path) -> bool:
    from tarnwick.files import FileProblem, open_regular

    try:
        with open_regular(os.fspath(path)) as handle:
            head = handle.read(4096)
    except (FileProblem, OSError):
        return False  # the map reader says what the problem is
    return head.lstrip(b"\xef\xbb\xbf \t\r\n")[:1] == b"{"


def _stored(path) -> "object":
    """A stored JSON report that passes the baseline checks; bad input otherwise."""
    from tarnwick.baseline_file import read_baseline

    stored, handed = read_baseline(os.fspath(path))
    if stored is None:
        try:
            handed.read_text()
        except ValueError as exc:
            raise UsageError(f"{path}: {exc}") from None
    return stored


def _diff(args) -> int:
    """NEW against OLD: NEW's report with the comparison, each side a JSON report, a map or an
    ELF file read as `analyze` reads it."""
    import dataclasses
    import json

    from tarnwick.analysis.summary import _baseline_regressions, build_analysis_report
    from tarnwick.baseline_file import Baseline, BaselineText
    from tarnwick.comparison import compare_footprints, footprint
    from tarnwick.render.json_report import render_json
    from tarnwick.stored_report import report_from_document

    if args.output is not None:
        _refuse_to_overwrite_inputs(args.output, _inputs(args, old=args.old, new=args.new))
    config = _load_config(args)
    old_path = os.fspath(args.old)
    if _is_json_report(args.old):
        old = _stored(args.old)
    else:
        old_model = _model(args.old, config, args)
        old_report = build_analysis_report(old_model, config)
        args.kept.extend((old_model, old_report))
        text = render_json(old_report)
        old = Baseline(old_path, text, json.loads(text))
    handed = BaselineText(old_path, old.text)
    symbols = None
    if _is_json_report(args.new):
        stored = report_from_document(_stored(args.new).document)
        report = dataclasses.replace(stored, regressions=_baseline_regressions(stored.summary, handed))
    else:
        model = _model(args.new, config, args)
        report = build_analysis_report(model, config, target_name=args.target, baseline_json_path=handed)
        args.kept.extend((model, report))
        symbols = model.symbols
    comparison = compare_footprints(footprint(old.document), footprint(report), old_path)
    growth = _growth_failures(comparison, args.fail_on_growth)  # a bad limit stops before any output
    return _write(args, report, comparison, config, symbols) or _verdict(report, config, growth)


def _growth_failures(comparison, limits: list) -> list:
    """The --fail-on-growth limits the change passed, as words for the log."""
    failed = []
    for region, limit in limits:
        if region is None:
            grown = (comparison.flash_delta or 0) + (comparison.ram_delta or 0)
            where = "flash and RAM"
        else:
            change = comparison.regions.get(region)
            if change is None:
                raise UsageError(f"--fail-on-growth {region}={limit}: no region named {region!r} in either build")
            grown, where = change.delta or 0, region
        if grown > limit:
            failed.append(f"{where} grew by {grown:,} B, more than --fail-on-growth {limit:,}")
    return failed


def _silence_stdout() -> None:
    """What stdout still holds would fail again when the interpreter exits."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Optional[Sequence[str]] = None, kept: Optional[list] = None) -> int:
    """The command; `kept`: a list to leave the builds read in, for a process that ends without
    freeing them (freeing a large build's records one by one takes half a second)."""
    # The report is a large tree of records without cycles, and the command ends when it is
    # written: the cyclic collector would only walk the tree again and again.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return _run(argv, kept)
    finally:
        if collecting:  # a Python caller gets its collector back
            gc.enable()


def _run(argv: Optional[Sequence[str]], kept: Optional[list]) -> int:
    try:
        args = _arguments().parse_args(argv)
    except SystemExit as exc:  # --help, --version and argument errors (already printed)
        return exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT
    args.kept = kept if kept is not None else []
    try:
        return _diff(args) if args.command == "diff" else _analyze(args)
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
