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
import sys
from collections.abc import Sequence

from tarnwick import __version__
from tarnwick.app.signals import Terminated, catch_terminating_signals, interrupted_status, restore
from tarnwick.render import FORMATS
from tarnwick.render.escape import plain
from tarnwick.system.render import SYSTEM_FORMATS

EXIT_OK, EXIT_POLICY, EXIT_BAD_INPUT, EXIT_INTERNAL = 0, 1, 2, 3
CONFIG_HELP = ("configuration file (default: tarnwick.toml, or pyproject.toml with [tool.tarnwick], in this folder "
               "or the nearest parent up to the repository's root)")
MAX_TOP = 100_000


def say(kind: str, message: str) -> None:
    """One line on stderr: "tarnwick: error: ...", "tarnwick: warning: ..."; never a CI host's command."""
    from tarnwick.app.ci_hosts import neutral

    print(neutral(f"tarnwick: {kind}: {plain(message)}" if kind else f"tarnwick: {plain(message)}"),
          file=sys.stderr)


def terminal_columns() -> int:
    """`shutil.get_terminal_size().columns`, without importing `shutil` (and the compression
    modules it loads) at every start: argparse sizes a formatter with it for every option."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns > 0:
        return columns
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80
    except (AttributeError, ValueError, OSError):
        return 80


class _HelpFormatter(argparse.HelpFormatter):
    def __init__(self, prog, indent_increment=2, max_help_position=24, width=None):
        super().__init__(prog, indent_increment, max_help_position,
                         terminal_columns() - 2 if width is None else width)


class _Parser(argparse.ArgumentParser):
    """`filling(parser)` adds a command's arguments when it is parsed or its help is asked for:
    a run builds its own command's only (building every command's took a tenth of a small
    map's run, and most of `--help`)."""

    def __init__(self, *args, formatter_class=_HelpFormatter, filling=None, **kwargs):
        super().__init__(*args, formatter_class=formatter_class, **kwargs)
        self._filling = filling

    def _filled(self) -> None:
        filling, self._filling = self._filling, None
        if filling is not None:
            filling(self)

    def parse_known_args(self, args=None, namespace=None):
        self._filled()
        return super().parse_known_args(args, namespace)

    def format_usage(self):
        self._filled()
        return super().format_usage()

    def format_help(self):
        self._filled()
        return super().format_help()

    def error(self, message: str):  # one line and exit 2, as for every bad input
        self.exit(EXIT_BAD_INPUT, f"tarnwick: error: {plain(message)}\n")


def _common(parser, builds: int) -> None:
    """The options `analyze` and `diff` share. One `--elf` cannot serve two builds: `diff`
    finds each map's ELF file beside it."""
    from pathlib import Path

    elf = parser.add_mutually_exclusive_group()
    if builds == 1:
        elf.add_argument("--elf", type=Path, help="the ELF file of the same link (default: the one "
                         "beside the map, same name with .elf or as its OUTPUT line names it)")
    else:
        parser.set_defaults(elf=None)
    elf.add_argument("--no-elf", action="store_true", help="read the map alone" if builds == 1 else
                     "read the maps alone (by default each map's ELF file is read when it is beside it)")
    parser.add_argument("--config", type=Path, help=CONFIG_HELP)
    parser.add_argument("--target", help="target name in the report (default: project.name)")
    parser.add_argument("--format", choices=FORMATS, default="text")
    parser.add_argument("--top", type=_top, metavar="N",
                        help="the largest symbols, objects and changes to show, 0 to 100,000 "
                        "(default: reports.top_entries, 10)")
    parser.add_argument("--output", type=Path,
                        help="write the report here instead of stdout (replaced only when complete)")
    parser.add_argument("--also", action="append", default=[], type=_also, metavar="FORMAT=PATH",
                        help="write the report in FORMAT to PATH as well (repeatable), so one run writes "
                        "the comment and the host's reports together")
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
    commands.add_parser("analyze", help="analyse a linker map file or an ELF file", filling=_analyze_arguments)
    commands.add_parser("diff", help="what changed between two builds", filling=_diff_arguments)
    commands.add_parser("system", help="analyse every image of a product together ([system] in the configuration)",
                        filling=_system_arguments)
    from tarnwick.history.commands import add_parser

    add_parser(commands, _top, CONFIG_HELP)
    return parser


def _analyze_arguments(analyze) -> None:
    from pathlib import Path

    analyze.add_argument("map", type=Path, help="the linker map file, or the ELF file alone")
    analyze.add_argument("--baseline", type=Path, help="a JSON report of an earlier build")
    _common(analyze, builds=1)


def _diff_arguments(diff) -> None:
    from pathlib import Path

    diff.add_argument("old", type=Path, help="the earlier build: a JSON report, a map or an ELF file")
    diff.add_argument("new", type=Path, help="the later build: a JSON report, a map or an ELF file")
    diff.add_argument("--fail-on-growth", action="append", default=[], metavar="[REGION=]BYTES|REGION=N%",
                      type=_growth_limit, help="exit 1 when flash and RAM together (or REGION) grew by more "
                      "than BYTES, or REGION by more than N%% of its size; may be given once per region")
    diff.add_argument("--strip-prefix", action="append", default=[], metavar="PREFIX",
                      help="a folder to take off object paths before the two builds' files are matched "
                      "(when the build roots found are not enough); may be given more than once")
    _common(diff, builds=2)


def _system_arguments(system) -> None:
    from pathlib import Path

    system.add_argument("config", nargs="?", type=Path, help="the configuration with [system] (default: "
                        "tarnwick.toml or pyproject.toml with [tool.tarnwick], found as for analyze)")
    system.add_argument("--baseline", type=Path, help="a JSON system report of an earlier build")
    system.add_argument("--baseline-label", metavar="TEXT", help="what the baseline is, as the report names it")
    system.add_argument("--format", choices=SYSTEM_FORMATS, default="text")
    system.add_argument("--output", type=Path, help="write the report here instead of stdout (replaced only when "
                        "complete)")
    system.add_argument("--also", action="append", default=[], type=_also, metavar="FORMAT=PATH",
                        help="write the report in FORMAT to PATH as well (repeatable)")
    system.add_argument("--fail-on-growth", action="append", default=[], metavar="[IMAGE=]BYTES|IMAGE=N%",
                        type=_growth_limit, help="with --baseline: exit 1 when the images together (or IMAGE, "
                        "flash and RAM) grew by more than BYTES, or IMAGE by more than N%% of its partition")


def _growth_limit(text: str):
    from tarnwick.compare.gates import LimitError, parse_growth_limit

    try:
        return parse_growth_limit(text)
    except LimitError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _also(text: str) -> tuple:
    from pathlib import Path

    kind, _, path = text.partition("=")
    if kind not in FORMATS or not path:
        raise argparse.ArgumentTypeError(f"{text[:80]!r} is not FORMAT=PATH (formats: {', '.join(FORMATS)})")
    return kind, Path(path)


def _outputs(args) -> list:
    """Every file the run will write: `--output` and each `--also`."""
    return ([args.output] if args.output is not None else []) + [path for _, path in getattr(args, "also", [])]


def _top(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        value = -1
    if not 0 <= value <= MAX_TOP:
        raise argparse.ArgumentTypeError(f"{text[:40]!r} is not a whole number from 0 to {MAX_TOP:,}")
    return value


def _config_path(path: os.PathLike | None) -> str | None:
    if path is not None:
        return os.fspath(path)
    from tarnwick.support.config_file import find_config

    return find_config()


def _warn(line: str) -> None:
    say("warning", line)


def _analyze(args, kept: list | None):
    from tarnwick.app import api

    result = api.analyze(
        args.map, config=_config_path(args.config), baseline=args.baseline,
        elf=None if args.no_elf else (args.elf or api.AUTO), target=args.target,
        baseline_label=args.baseline_label, stack_folders=args.stack_usage, fail_on_budget=args.fail_on_budget,
        output=_outputs(args), on_warning=_warn, store=args.store, kept=kept)
    return result, _build_renderer(args, result)


def _diff(args, kept: list | None):
    from tarnwick.app import api
    from tarnwick.support.run_checks import RunError
    from tarnwick.system.sides import is_system_side

    if is_system_side(args.old) or is_system_side(args.new):  # two whole systems
        unwritten = [kind for kind in (args.format, *(kind for kind, _ in args.also)) if kind not in SYSTEM_FORMATS]
        if unwritten:
            raise RunError(f"a diff of two systems is written as {', '.join(SYSTEM_FORMATS)}; not {unwritten[0]}")
        result = api.diff_systems(args.old, args.new, config=args.config, baseline_label=args.baseline_label,
                                  growth_limits=args.fail_on_growth, output=_outputs(args), on_warning=_warn,
                                  kept=kept)
        return result, _system_renderer(result)
    result = api.diff(
        args.old, args.new, config=_config_path(args.config), elf=not args.no_elf, target=args.target,
        strip_prefixes=args.strip_prefix, baseline_label=args.baseline_label, stack_folders=args.stack_usage,
        growth_limits=args.fail_on_growth, fail_on_budget=args.fail_on_budget, output=_outputs(args),
        on_warning=_warn, store=args.store, accept_growth=args.accept_growth)
    return result, _build_renderer(args, result)


def _system(args, kept: list | None):
    from tarnwick.app import api
    from tarnwick.config import ConfigError

    config = _config_path(args.config)
    if config is None:
        raise ConfigError("tarnwick.toml", "no such file: name the configuration holding [system] "
                          "(tarnwick system CONFIG)")
    result = api.system(config, baseline=args.baseline, baseline_label=args.baseline_label,
                        growth_limits=args.fail_on_growth, output=_outputs(args), on_warning=_warn, kept=kept)
    return result, _system_renderer(result)


def _history(args) -> int:
    """`tarnwick history ...`: the history's own commands, with the configuration found as for analyze."""
    from tarnwick.app.api import settings
    from tarnwick.history.commands import Shell, run

    return run(args, Shell(lambda given: settings(_config_path(given.config), getattr(given, "target", None)), say))


def _build_renderer(args, result):
    """render(kind, write): a build's result in one of the formats, through `write(bytes)`."""
    from tarnwick.render import render_to

    top = args.top if args.top is not None else result.config.reports.top_entries
    return lambda kind, write: render_to(kind, result.report, result.comparison, write, top, result.model,
                                         result.outcome)


def _system_renderer(result):
    from tarnwick.render import utf8
    from tarnwick.system.render import render_system

    return lambda kind, write: write(utf8(render_system(kind, result)))


def _write(args, result, render) -> int | None:
    """Writes the report where the arguments say, and each `--also`; the exit code when that fails.
    `render(kind, write)` writes the result in one format."""
    from tarnwick.app import ci_hosts
    from tarnwick.support.files import reason, write_report, write_stdout

    host = ci_hosts.current()

    def to_stdout(write) -> None:  # what a CI host reads commands from
        guard = ci_hosts.StdoutGuard(write, args.format, host)
        write(guard.opening)
        render(args.format, guard.write)
        guard.finish()
        write(guard.closing)

    for kind, path in ([(args.format, args.output)] + getattr(args, "also", [])):
        try:
            if path is None:
                write_stdout(to_stdout)
            else:
                write_report(os.fspath(path), lambda write, kind=kind: render(kind, write))
        except BrokenPipeError:
            raise
        except OSError as exc:
            where = "standard output" if path is None else os.fspath(path)
            if path is None:
                _silence_stdout()
            say("error", f"{where}: {reason(exc)}" + ("" if path is None else "; nothing was written"))
            return EXIT_BAD_INPUT
    told = _told(result) if host is not None else None  # nothing to tell outside a CI host
    if told is not None:  # the verdict, in the host's conventions
        ci_hosts.tell(*told, lambda: _markdown(render), say, host, _outputs(args))
    return None


def _told(result) -> tuple | None:
    """(HostRun, inputs) of a build's or a system's result; None for a result of neither."""
    if getattr(result, "outcome", None) is not None:
        from tarnwick.render.host_findings import build_run

        return build_run(result.report, result.comparison, result.outcome, result.model), result.outcome.inputs
    from tarnwick.system.analysis import SystemResult

    if isinstance(result, SystemResult):
        from tarnwick.system.render.hosts import system_run

        return system_run(result), result.inputs
    return None


def _markdown(render) -> str:
    pieces: list = []
    render("markdown", pieces.append)
    return b"".join(pieces).decode("utf-8")


def _verdict(result) -> int:
    failures = result.verdict.failures()
    if failures:
        say("", f"policy failed: {'; '.join(failures)}")
    return result.exit_code


def _silence_stdout() -> None:
    """What stdout still holds would fail again when the interpreter exits."""
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None, kept: list | None = None) -> int:
    """The command; `kept`: a list to leave the builds read in, for a process that ends without
    freeing them (freeing a large build's records one by one takes half a second)."""
    # The report is a large tree of records without cycles, and the command ends when it is
    # written: the cyclic collector would only walk the tree again and again.
    collecting = gc.isenabled()
    gc.disable()
    handlers = catch_terminating_signals()
    try:
        return _run(argv, kept)
    finally:
        restore(handlers)  # a Python caller gets its own back
        if collecting:  # and its collector
            gc.enable()


def _run(argv: Sequence[str] | None, kept: list | None) -> int:
    try:
        args = _arguments().parse_args(argv)
    except SystemExit as exc:  # --help, --version and argument errors (already printed)
        return exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT
    # what a run needs loads only once there is one: --help and --version need none of it
    from tarnwick.config import ConfigError
    from tarnwick.support.run_checks import RunError
    from tarnwick.toolchains.errors import MapParseError, ReportFileError

    try:
        if args.command == "history":
            return _history(args)
        result, render = {"analyze": _analyze, "diff": _diff, "system": _system}[args.command](args, kept)
        if kept is not None:
            kept.extend(part for part in (getattr(result, "model", None), result.report, getattr(result, "stack", None))
                        if part is not None)
        return _write(args, result, render) or _verdict(result)
    except (MapParseError, ConfigError, RunError, ReportFileError) as exc:
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
        interrupted = interrupted_status(exc)  # unless it is an interrupt the interpreter wrapped
        if interrupted is not None:
            return interrupted
        say("internal error", f"{type(exc).__name__}: {exc}")
        return EXIT_INTERNAL
