"""The `tarnwick` command.

Exit codes: 0 when no gate fails; 1 when one does (an overflow with policies.fail_on_overflow,
a reserved-range violation with policies.fail_on_reserved_region_violation, a region above its
budget with policies.fail_on_budget, a growth limit of `diff --fail-on-growth`); 2 for bad input
(map, configuration, arguments, output file, standard output); 3 for an internal error; 128 and
the signal's number when SIGTERM or SIGHUP ends the run (130 for Ctrl-C). A baseline that cannot
serve is a warning, and the report is compared with nothing. Every message is one line on
stderr, with control characters in names escaped.
"""

from __future__ import annotations

import argparse
import gc
import os
import signal
import sys
from pathlib import Path
from typing import Optional, Sequence

from tarnwick import __version__
from tarnwick.config import ConfigError, TarnwickConfig
from tarnwick.entry import Terminated
from tarnwick.render.escape import plain
from tarnwick.toolchains.errors import MapParseError, ReportFileError

EXIT_OK, EXIT_POLICY, EXIT_BAD_INPUT, EXIT_INTERNAL = 0, 1, 2, 3
DEFAULT_CONFIG = "tarnwick.toml"
MAX_TOP = 100_000
# What a cancelled CI job or a closed terminal sends: the run stops at once, cleanly.
_TERMINATING = (signal.SIGTERM, signal.SIGHUP)


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
    parser.add_argument("--top", type=_top, metavar="N",
                        help="the largest symbols, objects and changes to show, 0 to 100,000 "
                        "(default: reports.top_entries, 10)")
    parser.add_argument("--output", type=Path,
                        help="write the report here instead of stdout (replaced only when complete)")
    parser.add_argument("--fail-on-budget", action="store_true",
                        help="exit 1 when a region is above its budget (policies.fail_on_budget)")
    parser.add_argument("--stack-usage", action="append", default=[], type=Path, metavar="DIR",
                        help="a folder holding the build's .su and .ci stack files (searched recursively; "
                             "repeatable); files beside the object files the map names are found without it")
    parser.add_argument("--baseline-label", metavar="TEXT",
                        help="what the baseline is, as the report names it (a commit, a branch; "
                        "default: its file name)")
    from tarnwick.history.commands import add_report_options

    add_report_options(parser, diff=builds == 2)


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
    diff.add_argument("--fail-on-growth", action="append", default=[], metavar="[REGION=]BYTES|REGION=N%",
                      type=_growth_limit, help="exit 1 when flash and RAM together (or REGION) grew by more "
                      "than BYTES, or REGION by more than N%% of its size; may be given once per region")
    diff.add_argument("--strip-prefix", action="append", default=[], metavar="PREFIX",
                      help="a folder to take off object paths before the two builds' files are matched "
                      "(when the build roots found are not enough); may be given more than once")
    _common(diff, builds=2)
    from tarnwick.history.commands import add_parser

    add_parser(commands, _top)
    return parser


def _growth_limit(text: str):
    from tarnwick.gates import LimitError, parse_growth_limit

    try:
        return parse_growth_limit(text)
    except LimitError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _top(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        value = -1
    if not 0 <= value <= MAX_TOP:
        raise argparse.ArgumentTypeError(f"{text[:40]!r} is not a whole number from 0 to {MAX_TOP:,}")
    return value


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
    without anyone knowing, so the run stops. One phrase each, naming the closest region."""
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
        lines.append(f"{key} names no region of this map{hint}")
    return lines


def _load_config(args) -> TarnwickConfig:
    import dataclasses

    path = _config_path(args.config)
    if path is None:
        config = TarnwickConfig()
    else:
        from tarnwick.config_file import load_config

        config = load_config(path, args.target)
    if args.fail_on_budget:
        config.policies = dataclasses.replace(config.policies, fail_on_budget=True)
    return config


def _model(path, config: TarnwickConfig, args):
    """The model of a map or an ELF file, with its warnings said (see `_inspect`)."""
    from tarnwick.toolchains import AUTO, load_map

    model = load_map(path, config, elf=None if args.no_elf else (args.elf or AUTO))
    _inspect(model, config)
    return model


def _inspect(model, config: TarnwickConfig, check_budgets: bool = True) -> None:
    """Says a model's warnings. Budgets that name no region of it are bad input: their checks
    would silently not be made."""
    if check_budgets:
        unchecked = unchecked_budget_names(config, model)
        if unchecked:
            raise UsageError("; ".join(unchecked) + " (budgets for one target of several go under "
                             "[targets.NAME] in the configuration)")
    for line in model.warnings:
        say("warning", line)
        model.unresolved_ambiguities.append(line)


def _write(args, report, comparison, config: TarnwickConfig, model, outcome) -> Optional[int]:
    """Writes the report where the arguments say; the exit code when that fails."""
    from tarnwick.files import reason, write_report, write_stdout
    from tarnwick.render import render_to

    top = args.top if args.top is not None else config.reports.top_entries

    def produce(write) -> None:
        render_to(args.format, report, comparison, write, top, model, outcome)

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
    _ci_host(report, comparison, model, outcome, top)
    return None


def _ci_host(report, comparison, model, outcome, top: int) -> None:
    """GitHub Actions: each failed gate as an error annotation, and the markdown report in the
    job's summary page."""
    if os.environ.get("GITHUB_ACTIONS") != "true":
        return
    for line in outcome.verdict.failures():
        print(f"::error title=tarnwick::{_workflow_text(plain(line))}", file=sys.stderr)
    summary = os.environ.get("GITHUB_STEP_SUMMARY")
    if summary:
        from tarnwick.files import reason
        from tarnwick.render.markdown import render_markdown

        try:
            with open(summary, "a", encoding="utf-8") as handle:
                handle.write(render_markdown(report, comparison, top, model, outcome) + "\n")
        except OSError as exc:
            say("warning", f"GITHUB_STEP_SUMMARY {summary}: {reason(exc)}; the job summary is not written")


def _workflow_text(text: str) -> str:
    """A message as a GitHub workflow command carries it."""
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _verdict(outcome) -> int:
    failures = outcome.verdict.failures()
    if failures:
        say("", f"policy failed: {'; '.join(failures)}")
        return EXIT_POLICY
    return EXIT_OK


def _outcome(report, config: TarnwickConfig, args, inputs: dict, growth: list = (), stack=None, sources=None):
    from tarnwick.gates import Verdict, policy_gates
    from tarnwick.outcome import Outcome

    verdict = Verdict(policy_gates(report, config.policies), list(growth))
    return Outcome(verdict, {role: path for role, path in inputs.items() if path is not None},
                   args.baseline_label, stack, sources)


def _inputs(args, **files) -> dict:
    named = {role: os.fspath(path) if path is not None else None for role, path in files.items()}
    named["configuration"] = _config_path(args.config)
    if getattr(args, "elf", None) is not None:
        named["ELF file"] = os.fspath(args.elf)
    return named


def _stack_folders(args) -> list:
    """The --stack-usage folders; one that is not a folder is bad input."""
    for folder in args.stack_usage:
        if not folder.is_dir():
            raise UsageError(f"--stack-usage {os.fspath(folder)}: not a folder")
    return [os.fspath(folder) for folder in args.stack_usage]


def _analyze(args) -> int:
    from tarnwick.analysis.summary import build_analysis_report
    from tarnwick.api import source_view, with_stack
    from tarnwick.baseline_file import read_baseline

    baseline_path = os.fspath(args.baseline) if args.baseline is not None else None
    inputs = _inputs(args, map=args.map, baseline=args.baseline)
    if args.output is not None:
        _refuse_to_overwrite_inputs(args.output, inputs)
    config = _load_config(args)
    baseline = handed = None
    if baseline_path is not None:
        baseline, handed = read_baseline(baseline_path)
    model = _model(args.map, config, args)
    if model.elf_path is not None:
        inputs["ELF file"] = model.elf_path
    if args.output is not None:
        _refuse_to_overwrite_inputs(args.output, inputs)
    sources = source_view(model)
    report = build_analysis_report(model, config, target_name=args.target, baseline_json_path=handed)
    report, stack = with_stack(report, model, config, _stack_folders(args),
                               baseline.document.get("stack") if baseline is not None else None)
    args.kept.extend((model, report))
    status = report.regressions.get("status")
    if status not in (None, "ok"):
        error = report.regressions.get("error")
        say("warning", f"baseline {report.regressions.get('path')}: {status}"
            + (f": {error}" if error else "") + "; the report is compared with nothing")
    comparison = None
    if baseline is not None and status == "ok":
        from tarnwick.comparison import compare

        comparison = compare(report, baseline, baseline_label=args.baseline_label, sources=sources)
    outcome = _with_trend(args, config, report, _outcome(report, config, args, inputs, stack=stack, sources=sources))
    return _write(args, report, comparison, config, model, outcome) or _verdict(outcome)


def _diff(args) -> int:
    """NEW against OLD: NEW's report with the comparison, each side a JSON report, a map or an
    ELF file read as `analyze` reads it. The earlier build is reduced to its byte tables
    before the later one is read, so a diff holds one build at a time."""
    import dataclasses

    from tarnwick.api import changed_stack, compared, read_build, summary_text
    from tarnwick.gates import LimitError, evaluate_growth
    from tarnwick.toolchains import AUTO

    inputs = _inputs(args, old=args.old, new=args.new)
    if args.output is not None:
        _refuse_to_overwrite_inputs(args.output, inputs)
    config = _load_config(args)
    elf = None if args.no_elf else AUTO

    def inspect(role: str, later: bool):
        def seen(model) -> None:
            _inspect(model, config, check_budgets=later)
            if model.elf_path is not None:
                inputs[f"{role} ELF file"] = model.elf_path
        return seen

    folders = _stack_folders(args)
    earlier = read_build(args.old, config, elf=elf, inspect=inspect("old", False), stack_folders=folders)
    before, before_summary, before_stack = earlier.footprint, summary_text(earlier.report), earlier.stack_document()
    del earlier
    later = read_build(args.new, config, elf=elf, target=args.target, inspect=inspect("new", True),
                       stack_folders=folders)
    changed_stack(later, before_stack)
    args.kept.extend(part for part in (later.model, later.report) if part is not None)
    if args.output is not None:
        _refuse_to_overwrite_inputs(args.output, inputs)
    report, comparison = compared(before, before_summary, later, args.old, args.strip_prefix, args.baseline_label)
    try:  # a limit or a waiver naming no region stops before any output
        growth = evaluate_growth(comparison, args.fail_on_growth)
        growth = _accepted(args, growth, comparison)
    except LimitError as exc:
        raise UsageError(str(exc)) from None
    comparison = dataclasses.replace(comparison, growth_gates=growth)
    outcome = _with_trend(args, config, report,
                          _outcome(report, config, args, inputs, growth, later.stack, later.sources))
    return _write(args, report, comparison, config, later.model, outcome) or _verdict(outcome)


def _with_trend(args, config: TarnwickConfig, report, outcome):
    """With a build history given: the trend the markdown and HTML reports draw."""
    if not (args.store or config.history.store):
        return outcome
    from tarnwick.history.hooks import with_trend

    return with_trend(outcome, args.store, config, report, lambda line: say("warning", line))


def _accepted(args, growth: list, comparison) -> list:
    """The growth gates with the waivers of --accept-growth and the commit's trailers."""
    if not args.accept_growth and not any(gate.failed for gate in growth):
        return growth
    from tarnwick.history.engines import HistoryError
    from tarnwick.history.hooks import accepted_growth

    names = comparison.region_sizes.keys() | comparison.regions.keys()
    try:
        return accepted_growth(args.accept_growth, growth, names, lambda line: say("warning", line))
    except HistoryError as exc:
        raise UsageError(str(exc)) from None


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
    handlers = _catch_terminating_signals()
    try:
        return _run(argv, kept)
    finally:
        for number, handler in handlers.items():  # a Python caller gets its own back
            signal.signal(number, handler)
        if collecting:  # and its collector
            gc.enable()


def _catch_terminating_signals() -> dict:
    """SIGTERM and SIGHUP become Terminated, which ends the run once the report being written
    is cleaned up. The handlers that were there, to put back; none off the main thread."""
    def terminate(number, _frame):
        raise Terminated(number)

    previous = {}
    for number in _TERMINATING:
        try:
            previous[number] = signal.signal(number, terminate)
        except (ValueError, OSError):  # not the main thread
            break
    return previous


def _run(argv: Optional[Sequence[str]], kept: Optional[list]) -> int:
    try:
        args = _arguments().parse_args(argv)
    except SystemExit as exc:  # --help, --version and argument errors (already printed)
        return exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT
    args.kept = kept if kept is not None else []
    try:
        if args.command == "history":
            from tarnwick.history.commands import Shell, run

            return run(args, Shell(_load_config, _inspect, say))
        return _diff(args) if args.command == "diff" else _analyze(args)
    except (MapParseError, ConfigError, UsageError, ReportFileError) as exc:
        say("error", str(exc))
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        return 130
    except Terminated as exc:
        return 128 + exc.args[0]
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_OK
    except Exception as exc:  # a bug of ours: one line, never a traceback
        say("internal error", f"{type(exc).__name__}: {exc}")
        return EXIT_INTERNAL
