"""`tarnwick history record|show|blame|compare|export|import`: the command over a store.

The command line (`tarnwick.app.cli`) adds these subcommands with `add_parser` and runs them with
`run`, handing over its own configuration loading and model inspection, so that `record` reads
a build exactly as `analyze` does. A store that cannot serve, or a question it cannot answer, is
bad input: one line, exit 2."""

from __future__ import annotations

import os
import time as clock
from collections.abc import Callable

STORE_HELP = "the store: a SQLite file or a postgresql:// URL (default: [history] store, else .tarnwick/history.sqlite)"


def add_report_options(parser, diff: bool) -> None:
    """`analyze` and `diff`: the store whose trend the reports show, and diff's waivers."""
    parser.add_argument("--store", metavar="STORE",
                        help="a build history (SQLite file or postgresql:// URL; default: [history] store): the "
                             "markdown and HTML reports show the trend of the target branch's last builds")
    if diff:
        parser.add_argument("--accept-growth", action="append", default=[], metavar="REGION: REASON",
                            help="a growth of REGION (* for every growth gate) a reviewer accepts: its failed growth "
                                 "gate becomes a warning with the reason; may be given more than once "
                                 "(the commit's Footprint-Accepted: trailers count the same)")


def add_parser(commands, top_type: Callable, config_help: str) -> None:
    """`history` and its subcommands, whose arguments are added only when `history` is parsed or
    its help is asked for."""
    commands.add_parser("history", help="record builds and answer over many: trends, blame, exports",
                        filling=lambda history: _add_subcommands(history, top_type, config_help))


def _add_subcommands(history, top_type: Callable, config_help: str) -> None:
    from pathlib import Path

    actions = history.add_subparsers(dest="history_command", required=True, parser_class=type(history))

    def command(name: str, help_text: str, formats=("text", "json"), default="text"):
        parser = actions.add_parser(name, help=help_text)
        parser.add_argument("--store", metavar="STORE", help=STORE_HELP)
        parser.add_argument("--config", type=Path, help=config_help)
        parser.add_argument("--format", choices=formats, default=default)
        parser.set_defaults(fail_on_budget=False)
        return parser

    record = command("record", "put one build into the store")
    record.add_argument("build", type=Path, metavar="REPORT|MAP|ELF",
                        help="a JSON report of tarnwick, a linker map or an ELF file, read as analyze reads it")
    record.add_argument("--commit", metavar="SHA", help="the build's commit (default: git's HEAD)")
    record.add_argument("--parent", action="append", metavar="SHA",
                        help="a parent of the commit, the first parent first (default: as git says)")
    record.add_argument("--time", metavar="WHEN", help="the commit's time: ISO 8601 or seconds since the epoch "
                        "(default: as git says, else now)")
    record.add_argument("--branch", metavar="NAME", help="the branch built (default: git's, else the CI host's)")
    record.add_argument("--target", help="target name (default: project.name)")
    record.add_argument("--label", metavar="TEXT", help="what the build is, besides its commit (a release)")
    record.add_argument("--accept-growth", action="append", default=[], metavar="REGION: REASON",
                        help="a growth of this build a reviewer accepts (as the commit's Footprint-Accepted: trailers)")
    record.add_argument("--keep", action="store_true",
                        help="keep the builds of this commit and target recorded before (default: replace them)")
    elf = record.add_mutually_exclusive_group()
    elf.add_argument("--elf", type=Path, help="the ELF file of the same link (default: the one beside the map)")
    elf.add_argument("--no-elf", action="store_true", help="read the map alone")
    record.add_argument("--stack-usage", action="append", default=[], type=Path, metavar="DIR",
                        help="a folder holding the build's .su and .ci stack files")

    def chain_options(parser) -> None:
        parser.add_argument("--target", help="the target (default: every target the store has)")
        parser.add_argument("--since", metavar="REF", help="start at this commit: a hash, a build's label, a "
                            "branch or tag git knows")
        parser.add_argument("--head", metavar="REF", help="end at this commit (default: the latest build of --branch)")
        parser.add_argument("--branch", metavar="NAME", help="whose latest build the chain ends at "
                            "(default: the branch of the latest build)")
        parser.add_argument("--output", type=Path, help="write here instead of stdout (replaced only when complete)")

    show = command("show", "the trend of each region along the first-parent chain", ("text", "json", "html"))
    show.add_argument("--region", action="append", metavar="NAME", help="only this region (may be repeated)")
    chain_options(show)

    blame = command("blame", "the commits that grew a region most, and what grew in them")
    blame.add_argument("region", metavar="REGION")
    blame.add_argument("--top", type=top_type, default=10, metavar="N", help="how many commits (default: 10)")
    blame.add_argument("--entries", type=top_type, default=10, metavar="N",
                       help="how many symbols, objects and source folders per commit and kind (default: 10)")
    chain_options(blame)

    compare = command("compare", "two recorded builds, as diff compares them")
    compare.add_argument("old", metavar="A")
    compare.add_argument("new", metavar="B")
    compare.add_argument("--target", help="the target (needed when the store has several)")
    compare.add_argument("--top", type=top_type, default=10, metavar="N",
                         help="the largest changes per level to show (default: 10)")
    compare.add_argument("--output", type=Path, help="write here instead of stdout")

    export = command("export", "the store as JSON Lines, OpenMetrics or InfluxDB lines",
                     ("json", "openmetrics", "influx"), "json")
    export.add_argument("--target", help="only this target's builds")
    export.add_argument("--output", type=Path, help="write here instead of stdout (replaced only when complete)")

    imported = command("import", "builds exported as JSON Lines into the store")
    imported.add_argument("file", type=Path, metavar="FILE", help="JSON Lines of `tarnwick history export`")
    imported.add_argument("--keep", action="store_true",
                          help="keep builds of the same commit and target already there (default: replace them)")


class Shell:
    """What the command line lends the history: its configuration (found as for `analyze`) and
    its messages."""

    def __init__(self, load_config: Callable, say: Callable):
        self.load_config, self.say = load_config, say


def run(args, shell: Shell) -> int:
    from tarnwick.history.engines import HistoryError

    try:
        return _COMMANDS[args.history_command](args, shell)
    except HistoryError as exc:
        shell.say("error", str(exc))
        return 2


def _location(args, config) -> str:
    from tarnwick.history.engines import DEFAULT_STORE

    return args.store or config.history.store or DEFAULT_STORE


def _emit(args, text: str) -> None:
    _write(args, lambda write: write(text.encode("utf-8")))


def _write(args, produce: Callable) -> None:
    from tarnwick.support.files import reason, write_report, write_stdout
    from tarnwick.history.engines import HistoryError

    output = getattr(args, "output", None)
    try:
        if output is None:
            write_stdout(produce)
        else:
            write_report(os.fspath(output), produce)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise HistoryError(f"{output if output is not None else 'standard output'}: {reason(exc)}"
                           + ("; nothing was written" if output is not None else "")) from None


def _record(args, shell: Shell) -> int:
    from tarnwick.compare.builds import read_build
    from tarnwick.history import recording
    from tarnwick.history.render import recorded_json, recorded_text
    from tarnwick.history.store import Store
    from tarnwick.toolchains import AUTO

    config = shell.load_config(args)
    location = _location(args, config)
    commit = recording.commit_of(args)
    for folder in args.stack_usage:
        if not folder.is_dir():
            from tarnwick.history.engines import HistoryError

            raise HistoryError(f"--stack-usage {os.fspath(folder)}: not a folder")
    said: list = []
    try:
        build = read_build(args.build, config, elf=None if args.no_elf else (args.elf or AUTO), target=args.target,
                           stack_folders=[os.fspath(f) for f in args.stack_usage], warnings=said)
    finally:
        for line in said:
            shell.say("warning", line)
    entry, warnings = recording.entry(build, commit, args, config, os.fspath(args.build))
    for line in warnings:
        shell.say("warning", line)
    with Store(location, create=True) as store:
        ancestors = recording.ancestors(commit, store)
        recorded = store.record(entry, keep=args.keep, ancestors=ancestors)
    _emit(args, recorded_json(entry, recorded) if args.format == "json" else recorded_text(entry, recorded, store.name))
    return 0


def _show(args, shell: Shell) -> int:
    from tarnwick.history.answers import trends
    from tarnwick.history.render import show_html, show_json, show_text
    from tarnwick.history.store import Store

    with Store(_location(args, shell.load_config(args))) as store:
        found = trends(store, args.target, args.since, args.head, args.branch)
    if args.region:
        known = {name for trend in found for name in trend.regions}
        missing = [name for name in args.region if name not in known]
        if missing:
            from tarnwick.history.engines import HistoryError

            raise HistoryError(f"--region {missing[0]}: no recorded build has it (regions: {', '.join(sorted(known))})")
    render = {"text": show_text, "json": show_json, "html": show_html}[args.format]
    _emit(args, render(found, args.region))
    return 0


def _blame(args, shell: Shell) -> int:
    from tarnwick.history.answers import blame
    from tarnwick.history.render import blame_json, blame_text
    from tarnwick.history.store import Store

    with Store(_location(args, shell.load_config(args))) as store:
        found = blame(store, args.region, args.target, args.since, args.top, args.entries, args.head, args.branch)
    _emit(args, blame_json(found) if args.format == "json" else blame_text(found))
    return 0


def _compare(args, shell: Shell) -> int:
    from tarnwick.history.answers import compared
    from tarnwick.history.render import compare_json, compare_text
    from tarnwick.history.store import Store

    with Store(_location(args, shell.load_config(args))) as store:
        target, old, new, comparison = compared(store, args.old, args.new, args.target)
    _emit(args, compare_json(target, old, new, comparison) if args.format == "json"
          else compare_text(target, old, new, comparison, args.top))
    return 0


def _export(args, shell: Shell) -> int:
    from tarnwick.history.interchange import export_lines, influx, openmetrics
    from tarnwick.history.store import Store

    writer = {"json": export_lines, "openmetrics": openmetrics, "influx": influx}[args.format]
    with Store(_location(args, shell.load_config(args))) as store:
        _write(args, lambda write: writer(store, write, args.target))
    return 0


def _import(args, shell: Shell) -> int:
    import json

    from tarnwick.support.files import FileProblem, open_regular
    from tarnwick.history.engines import HistoryError
    from tarnwick.history.interchange import import_lines
    from tarnwick.history.store import Store

    name = os.fspath(args.file)
    try:
        handle = open_regular(name)
    except FileProblem as exc:
        raise HistoryError(f"{name}: {exc}") from None
    started = clock.monotonic()
    with handle, Store(_location(args, shell.load_config(args)), create=True) as store:
        builds, commits = import_lines(store, handle, name, args.keep)
        where = store.name
    seconds = clock.monotonic() - started
    if args.format == "json":
        _emit(args, json.dumps({"imported": {"builds": builds, "commits": commits, "store": where}}) + "\n")
    else:
        _emit(args, f"imported {builds:,} build(s) and {commits:,} commit(s) without a build into {where} "
                    f"in {seconds:.1f} s\n")
    return 0


_COMMANDS = {"record": _record, "show": _show, "blame": _blame, "compare": _compare, "export": _export,
             "import": _import}
