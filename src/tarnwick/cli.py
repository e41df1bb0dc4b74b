"""The `tarnwick` command.

Exit codes: 0 when no policy fails; 1 when one does (an overflow with
policies.fail_on_overflow, a reserved-range violation with
policies.fail_on_reserved_region_violation); 2 for bad input (map, configuration, arguments,
output file); 3 for an internal error. An unreadable baseline is a warning, not a failure.
"""

from __future__ import annotations

import argparse
import os
import sys
from pathlib import Path
from typing import Optional, Sequence

from tarnwick import __version__
from tarnwick.config import TarnwickConfig
from tarnwick.config_file import ConfigError, load_config
from tarnwick.domain import IssueCategory

EXIT_OK, EXIT_POLICY, EXIT_BAD_INPUT, EXIT_INTERNAL = 0, 1, 2, 3
DEFAULT_CONFIG = "tarnwick.toml"


class _Parser(argparse.ArgumentParser):
    def error(self, message: str):  # one line and exit 2, as for every bad input
        self.exit(EXIT_BAD_INPUT, f"tarnwick: error: {message}\n")


def _arguments() -> argparse.ArgumentParser:
    parser = _Parser(prog="tarnwick", description="Memory-footprint analysis of firmware link maps.")
    parser.add_argument("--version", action="version", version=f"tarnwick {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    analyze = commands.add_parser("analyze", help="analyse a GNU ld or LLVM lld map file")
    analyze.add_argument("map", type=Path, help="the linker map file")
    analyze.add_argument("--config", type=Path,
                         help=f"configuration file (default: ./{DEFAULT_CONFIG} when present)")
    analyze.add_argument("--baseline", type=Path, help="a JSON report of an earlier build")
    analyze.add_argument("--target", help="target name in the report (default: project.name)")
    analyze.add_argument("--format", choices=("text", "json", "markdown", "html"), default="text")
    analyze.add_argument("--output", type=Path, help="write the report here instead of stdout")
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


def _config(path: Optional[Path]) -> TarnwickConfig:
    if path is not None:
        return load_config(path)
    if Path(DEFAULT_CONFIG).is_file():
        return load_config(DEFAULT_CONFIG)
    return TarnwickConfig()


def _analyze(args) -> int:
    from tarnwick.analysis.summary import build_analysis_report
    from tarnwick.render import RENDERERS
    from tarnwick.toolchains import load_map

    config = _config(args.config)
    model = load_map(args.map, config)
    report = build_analysis_report(model, config, target_name=args.target,
                                   baseline_json_path=args.baseline)
    status = report.regressions.get("status")
    if status not in (None, "ok"):
        error = report.regressions.get("error")
        print(f"tarnwick: warning: baseline {report.regressions.get('path')}: {status}"
              + (f": {error}" if error else ""), file=sys.stderr)
    text = RENDERERS[args.format](report)
    if args.output is None:
        sys.stdout.write(text)
    else:
        try:
            args.output.write_text(text, encoding="utf-8")
        except OSError as exc:
            print(f"tarnwick: error: {args.output}: {exc.strerror or exc}", file=sys.stderr)
            return EXIT_BAD_INPUT
    failed = failed_policies(report, config)
    if failed:
        print(f"tarnwick: policy failed: {', '.join(failed)}", file=sys.stderr)
        return EXIT_POLICY
    return EXIT_OK


def main(argv: Optional[Sequence[str]] = None) -> int:
    from tarnwick.toolchains import MapParseError

    try:
        args = _arguments().parse_args(argv)
    except SystemExit as exc:  # --help, --version and argument errors (already printed)
        return exc.code if isinstance(exc.code, int) else EXIT_BAD_INPUT
    try:
        return _analyze(args)
    except (MapParseError, ConfigError) as exc:
        print(f"tarnwick: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_OK
    except Exception as exc:  # a bug of ours: one line, never a traceback
        print(f"tarnwick: internal error: {type(exc).__name__}: {exc}", file=sys.stderr)
        return EXIT_INTERNAL


def entry_point() -> None:
    sys.exit(main())
