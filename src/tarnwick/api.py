"""tarnwick from Python: what the command does, as calls. Every path may be a `str` or any
path-like object; a configuration may be a `TarnwickConfig` or the path of a `tarnwick.toml`.

    from tarnwick.api import analyze, diff

    result = analyze("build/fw.map", config="tarnwick.toml", baseline="main-report.json")
    result.report.summary.total_ram, result.comparison.symbols[:5]
    diff("out/base/fw.map", "out/pr/fw.map").comparison.objects

Errors are the command's bad-input errors as exceptions (each a ValueError whose text names
the file): `MapParseError` for a map or ELF file that cannot be read, `ReportFileError` for a
stored report that cannot serve as a side of `diff`, `ConfigError` for a configuration. A
baseline of `analyze` that cannot serve gives a result without a comparison, and the report's
`regressions` say why. The command (`tarnwick.cli`) is made of these same calls.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, replace
from typing import Callable, Iterable, Optional, Union

from tarnwick.config import TarnwickConfig
from tarnwick.toolchains.errors import ReportFileError
from tarnwick.toolchains.loader import AUTO

PathLike = Union[str, os.PathLike]
__all__ = ["Build", "ReportFileError", "Result", "analyze", "compared", "diff", "read_build", "settings",
           "summary_text"]


@dataclass(frozen=True)
class Result:
    report: object  # tarnwick.domain.AnalysisReport
    comparison: object = None  # tarnwick.comparison.Comparison, where there was a baseline
    model: object = None  # the NormalizedBuildModel the report was made from (None: a stored report)
    stack: object = None  # the worst-case stack (analysis.stack_depth.StackResult), where stack files were read
    sources: object = None  # where the bytes go by source file (analysis.sources.SourceView or NoSources)


@dataclass(frozen=True)
class Build:
    """One side of a comparison: its report, its byte tables, its model (None when read back
    from a stored report)."""

    report: object
    footprint: object
    model: object = None
    stack: object = None  # the worst-case stack, where the build's stack files were read
    stored_stack: Optional[dict] = None  # a stored report's `stack`
    stored_verdict: Optional[dict] = None  # a stored report's `verdict`: the gates of the run that wrote it
    sources: object = None  # the source view (analysis.sources), where the build was read (not a stored report)

    def stack_document(self) -> Optional[dict]:
        """The build's stack as a stored report holds it."""
        return self.stack.as_json() if self.stack is not None else self.stored_stack


def settings(config: Union[TarnwickConfig, PathLike, None], target: Optional[str] = None) -> TarnwickConfig:
    """The configuration: as given, read from its file, or the defaults."""
    if config is None:
        return TarnwickConfig()
    if isinstance(config, TarnwickConfig):
        return config
    from tarnwick.config_file import load_config

    return load_config(os.fspath(config), target)


def _elf(elf) -> Union[str, None]:
    return elf if elf is None or elf is AUTO else os.fspath(elf)


def read_build(path: PathLike, config: TarnwickConfig, *, elf=AUTO, target: Optional[str] = None,
               inspect: Optional[Callable] = None, stack_folders: Iterable[PathLike] = ()) -> Build:
    """A build as `diff` reads either side: a stored JSON report read back, or a map or an ELF
    file analysed. `inspect(model)` sees the model before its report is made."""
    from tarnwick.baseline_file import looks_like_json_report, read_baseline
    from tarnwick.comparison import footprint

    text = os.fspath(path)
    if looks_like_json_report(text):
        from tarnwick.stored_report import report_from_document

        stored, handed = read_baseline(text)
        if stored is None:
            try:
                handed.read_text()
            except ValueError as exc:
                raise ReportFileError(f"{text}: {exc}") from None
        kept, verdict = stored.document.get("stack"), stored.document.get("verdict")
        return Build(report_from_document(stored.document), footprint(stored.document),
                     stored_stack=kept if isinstance(kept, dict) else None,
                     stored_verdict=verdict if isinstance(verdict, dict) else None)
    from tarnwick.analysis.summary import build_analysis_report
    from tarnwick.toolchains import load_map

    model = load_map(text, config, elf=_elf(elf))
    if inspect is not None:
        inspect(model)
    sources = source_view(model)
    report, stack = with_stack(build_analysis_report(model, config, target_name=target), model, config, stack_folders)
    return Build(report, footprint(report, sources), model, stack, sources=sources)


def source_view(model):
    """Every symbol given its source file, and the files and folders added up (or why not)."""
    from tarnwick.analysis.sources import source_view as view

    return view(model)


def with_stack(report, model, config: TarnwickConfig, folders: Iterable[PathLike] = (), before=None) -> tuple:
    """(the report with the stack's finding, the worst-case stack or None): the stack files of
    the build's objects, found beside them or in `folders` and the configuration's. `before`:
    a stored report's `stack`, to say what changed."""
    from tarnwick.analysis.stack_depth import analyse_stack, stack_changes, with_stack as add_finding

    searched = [*config.stack.folders, *(os.fspath(folder) for folder in folders)]
    stack = analyse_stack(model, config.stack, searched)
    if stack is not None and before:
        stack.changes = stack_changes(stack, before)
    return add_finding(report, stack), stack


def summary_text(report) -> str:
    """The part of a report the report module compares a baseline by: its totals and ratios."""
    import json

    summary = report.summary
    return json.dumps({"summary": {"total_flash": summary.total_flash, "total_ram": summary.total_ram,
                                   "utilization_by_region": dict(summary.utilization_by_region)}})


def compared(before, before_summary: str, after: Build, baseline_path: PathLike,
             strip_prefixes: Iterable[str] = (), baseline_label: Optional[str] = None) -> tuple:
    """(the later build's report with its regressions against the earlier one, the comparison).
    The earlier build is given by its byte tables and `summary_text`, so that a caller holding
    large builds can let the earlier one go before reading the later."""
    from tarnwick.analysis.summary import _baseline_regressions
    from tarnwick.baseline_file import BaselineText
    from tarnwick.comparison import compare_footprints

    path = os.fspath(baseline_path)
    regressions = _baseline_regressions(after.report.summary, BaselineText(path, before_summary))
    report = replace(after.report, regressions=regressions)
    return report, compare_footprints(before, after.footprint, path, strip_prefixes, baseline_label)


def analyze(path: PathLike, *, config: Union[TarnwickConfig, PathLike, None] = None,
            baseline: Optional[PathLike] = None, elf=AUTO, target: Optional[str] = None,
            strip_prefixes: Iterable[str] = (), baseline_label: Optional[str] = None,
            stack_folders: Iterable[PathLike] = ()) -> Result:
    """The report of a map or ELF file, compared with a stored JSON report when `baseline`
    names one. `elf`: the ELF file of the link (AUTO: the one found for the map; None: none);
    `stack_folders`: where the build's .su and .ci files are, besides beside its objects."""
    from tarnwick.analysis.summary import build_analysis_report
    from tarnwick.baseline_file import read_baseline
    from tarnwick.toolchains import load_map

    chosen = settings(config, target)
    stored = handed = None
    if baseline is not None:
        stored, handed = read_baseline(os.fspath(baseline))
    model = load_map(os.fspath(path), chosen, elf=_elf(elf))
    sources = source_view(model)
    report = build_analysis_report(model, chosen, target_name=target, baseline_json_path=handed)
    report, stack = with_stack(report, model, chosen, stack_folders,
                               stored.document.get("stack") if stored is not None else None)
    comparison = None
    if stored is not None and report.regressions.get("status") == "ok":
        from tarnwick.comparison import compare

        comparison = compare(report, stored, strip_prefixes, baseline_label, sources)
    return Result(report, comparison, model, stack, sources)


def diff(old: PathLike, new: PathLike, *, config: Union[TarnwickConfig, PathLike, None] = None,
         elf: bool = True, target: Optional[str] = None, strip_prefixes: Iterable[str] = (),
         baseline_label: Optional[str] = None, stack_folders: Iterable[PathLike] = ()) -> Result:
    """NEW's report compared with OLD; each a map (with its ELF file when `elf`), an ELF file,
    or a stored JSON report."""
    chosen = settings(config, target)
    earlier = read_build(old, chosen, elf=AUTO if elf else None, stack_folders=stack_folders)
    later = read_build(new, chosen, elf=AUTO if elf else None, target=target, stack_folders=stack_folders)
    report, comparison = compared(earlier.footprint, summary_text(earlier.report), later, old,
                                  strip_prefixes, baseline_label)
    changed_stack(later, earlier.stack_document())
    return Result(report, comparison, later.model, later.stack, later.sources)


def changed_stack(later: Build, before: Optional[dict]) -> None:
    """Says in the later build's stack what changed since `before` (an earlier build's)."""
    from tarnwick.analysis.stack_depth import stack_changes

    if later.stack is not None and before:
        later.stack.changes = stack_changes(later.stack, before)
