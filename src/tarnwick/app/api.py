"""tarnwick from Python: what the command does, as calls; the command is their result rendered.
Every path may be a `str` or any path-like object; a configuration may be a `TarnwickConfig` or
the path of a `tarnwick.toml`.

    from tarnwick.api import analyze, diff

    result = analyze("build/fw.map", config="tarnwick.toml", baseline="main-report.json")
    result.exit_code, result.verdict.failures(), [(r.name, r.used_bytes) for r in result.regions]
    diff("out/base/fw.map", "out/pr/fw.map", growth_limits=["RAM=1024"]).comparison.objects

Errors are the command's bad-input errors as exceptions (each a ValueError whose text names
the file): `MapParseError` for a map or ELF file that cannot be read, `ReportFileError` for a
stored report that cannot serve as a side of `diff`, `ConfigError` for a configuration, and
`RunError` for what only the run can see (an output that is one of the inputs, budgets naming
no region, a growth limit naming no region, a stack-file folder that is not one). A baseline of
`analyze` that cannot serve gives a result without a comparison; `warnings` says why.
"""

from __future__ import annotations

import functools
import os

from tarnwick.app.outcome import Outcome
from tarnwick.compare.builds import Build, baseline_handle, model_of, read_build, report_of
from tarnwick.config import ConfigError, TarnwickConfig
from tarnwick.support.files import reads_noted
from tarnwick.support.records import field, named_tuple, record, replace
from tarnwick.support.run_checks import RunError, checked_folders, refuse_to_overwrite_inputs, refuse_to_overwrite_reads
from tarnwick.toolchains.errors import MapParseError, ReportFileError
from tarnwick.toolchains.loader import AUTO

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Callable, Iterable, Optional, Union

PathLike = str | os.PathLike
EXIT_OK, EXIT_POLICY = 0, 1
__all__ = ["AUTO", "Build", "ConfigError", "MapParseError", "RegionFigures", "ReportFileError", "Result",
           "RunError", "analyze", "diff", "diff_systems", "read_build", "settings", "system"]


@named_tuple
class RegionFigures:
    """One memory region of a report as its table shows it."""

    name: str
    category: str  # "flash", "ram", ...
    origin: int
    size_bytes: int
    used_bytes: int
    free_bytes: int
    utilization: float  # used / size
    overflow_bytes: int


@record(frozen=True)
class Result:
    """What a run found and decided: the report, the comparison with the baseline (None without
    one), the verdict of every gate, and the files it read."""

    report: object  # tarnwick.domain.AnalysisReport
    comparison: object = None  # tarnwick.compare.comparison.Comparison, where there was a baseline
    model: object = None  # the NormalizedBuildModel the report was made from (None: a stored report)
    stack: object = None  # the worst-case stack (analysis.stack_depth.StackResult), where stack files were read
    sources: object = None  # where the bytes go by source file (analysis.sources.SourceView or NoSources)
    outcome: Outcome = Outcome()  # the verdict, the files read, the baseline's label, the warnings
    config: TarnwickConfig = field(default_factory=TarnwickConfig)  # the configuration the run used

    @property
    def verdict(self):
        """Every gate (policies, growth limits) and whether any failed (`compare.gates.Verdict`)."""
        return self.outcome.verdict

    @property
    def exit_code(self) -> int:
        """What the command exits with for this result: 1 when a gate failed, else 0."""
        return EXIT_POLICY if self.outcome.verdict.failed else EXIT_OK

    @property
    def warnings(self) -> tuple:
        return self.outcome.warnings

    @property
    def regions(self) -> list:
        """Each memory region's figures, as the report's region table holds them."""
        rows = (self.report.trends.get("visualization") or {}).get("regions") or ()
        return [RegionFigures(row["name"], row["category"], row["origin"], row["capacity_bytes"], row["used_bytes"],
                              row["free_bytes"], row["utilization_ratio"], row["overflow_bytes"]) for row in rows]


def settings(config: Union[TarnwickConfig, PathLike, None], target: Optional[str] = None,
             fail_on_budget: bool = False) -> TarnwickConfig:
    """The configuration: as given, read from its file, or the defaults; `fail_on_budget` turns
    that policy on whatever the configuration says."""
    if config is None:
        chosen = TarnwickConfig()
    elif isinstance(config, TarnwickConfig):
        chosen = config
    else:
        from tarnwick.support.config_file import load_config

        chosen = load_config(os.fspath(config), target)
    if fail_on_budget and not chosen.policies.fail_on_budget:
        chosen = replace(chosen, policies=replace(chosen.policies, fail_on_budget=True))
    return chosen


class _Warnings(list):
    """What a run warns of, each line also handed to `said` (the command's stderr) as it is found."""

    def __init__(self, said: Optional[Callable[[str], None]]):
        super().__init__()
        self.said = said

    def append(self, line: str) -> None:
        super().append(line)
        if self.said is not None:
            self.said(line)

    def extend(self, lines) -> None:
        for line in lines:
            self.append(line)


def _config_path(config) -> Optional[str]:
    return None if config is None or isinstance(config, TarnwickConfig) else os.fspath(config)


def _never_over_what_it_reads(run):
    """The run's `output` is refused when it is any file the run read, whatever its role."""
    @functools.wraps(run)
    def guarded(*args, output: Optional[PathLike] = None, **kwargs):
        with reads_noted() as noted:
            result = run(*args, output=output, **kwargs)
        refuse_to_overwrite_reads(output, noted)
        return result
    return guarded


@_never_over_what_it_reads
def analyze(path: PathLike, *, config: Union[TarnwickConfig, PathLike, None] = None,
            baseline: Optional[PathLike] = None, elf=AUTO, target: Optional[str] = None,
            strip_prefixes: Iterable[str] = (), baseline_label: Optional[str] = None,
            stack_folders: Iterable[PathLike] = (), fail_on_budget: bool = False,
            output: Optional[PathLike] = None, on_warning: Optional[Callable[[str], None]] = None,
            store: Optional[str] = None, kept: Optional[list] = None) -> Result:
    """The report of a map or ELF file, compared with a stored JSON report when `baseline`
    names one. `elf`: the ELF file of the link (AUTO: the one found for the map; None: none);
    `stack_folders`: where the build's .su and .ci files are, besides beside its objects;
    `output`: the file (or a list of the files) the caller will write, refused when the run reads it;
    `on_warning(line)`: called with each warning as it is found (they are in `warnings` too);
    `store`: a build history (SQLite file or postgresql:// URL; default: [history] store) whose
    trend of the target branch the outcome carries for the markdown and HTML reports;
    `kept`: a list to leave the baseline's decoded document in, for a process that ends without
    freeing it (see `tarnwick.app.cli.main`: it is held through the whole run anyway)."""
    from tarnwick.compare.gates import Verdict, policy_gates

    inputs = {"map": os.fspath(path), "baseline": os.fspath(baseline) if baseline is not None else None,
              "configuration": _config_path(config)}
    if elf is not None and elf is not AUTO:
        inputs["ELF file"] = os.fspath(elf)
    refuse_to_overwrite_inputs(output, inputs)
    chosen = settings(config, target, fail_on_budget)
    stored = handed = None
    if baseline is not None:
        from tarnwick.compare.baseline_file import read_baseline

        stored, handed = read_baseline(os.fspath(baseline))
    warnings = _Warnings(on_warning)
    model = model_of(inputs["map"], chosen, elf, warnings, check_budgets=True)
    if model.elf_path is not None:
        inputs["ELF file"] = model.elf_path
        refuse_to_overwrite_inputs(output, inputs)
    before_stack = stored.document.get("stack") if stored is not None else None
    report, stack, sources = report_of(model, chosen, target, handed, list(stack_folders), before_stack)
    status = report.regressions.get("status")
    if status not in (None, "ok"):
        error = report.regressions.get("error")
        warnings.append(f"baseline {report.regressions.get('path')}: {status}"
                        + (f": {error}" if error else "") + "; the report is compared with nothing")
    comparison = None
    if stored is not None and status == "ok":
        from tarnwick.compare.comparison import compare

        comparison = compare(report, stored, strip_prefixes, baseline_label, sources)
    if kept is not None and stored is not None:
        kept.append(stored)
    verdict = Verdict(policy_gates(report, chosen.policies), [])
    outcome = _with_trend(_outcome(verdict, inputs, baseline_label, stack, sources, warnings, bool(before_stack),
                                   config is None), store, chosen, report, warnings)
    return Result(report, comparison, model, stack, sources, outcome, chosen)


@_never_over_what_it_reads
def diff(old: PathLike, new: PathLike, *, config: Union[TarnwickConfig, PathLike, None] = None,
         elf: bool = True, target: Optional[str] = None, strip_prefixes: Iterable[str] = (),
         baseline_label: Optional[str] = None, stack_folders: Iterable[PathLike] = (),
         growth_limits: Iterable = (), fail_on_budget: bool = False,
         output: Optional[PathLike] = None, on_warning: Optional[Callable[[str], None]] = None,
         store: Optional[str] = None, accept_growth: Iterable[str] = ()) -> Result:
    """NEW's report compared with OLD; each a map (with its ELF file when `elf`), an ELF file,
    or a stored JSON report. `growth_limits`: gates on the growth, each "BYTES", "REGION=BYTES"
    or "REGION=N%" (of the region's size) or a parsed `compare.gates.GrowthLimit`. The earlier
    build is reduced to its byte tables before the later one is read, so a diff holds one build
    at a time. `accept_growth`: "REGION: REASON" waivers (with the work tree's commit's
    Footprint-Accepted: trailers) that turn a failed growth gate into an accepted one; `store` as
    for `analyze`."""
    from tarnwick.analysis.stated_totals import disputes
    from tarnwick.compare.comparison import compare_footprints
    from tarnwick.compare.gates import LimitError, Verdict, evaluate_growth, parse_growth_limit, policy_gates

    limits = [parse_growth_limit(limit) if isinstance(limit, str) else limit for limit in growth_limits]
    inputs = {"old": os.fspath(old), "new": os.fspath(new), "configuration": _config_path(config)}
    refuse_to_overwrite_inputs(output, inputs)
    chosen = settings(config, target, fail_on_budget)
    folders = checked_folders(stack_folders)
    finds = AUTO if elf else None
    warnings = _Warnings(on_warning)
    earlier = read_build(old, chosen, elf=finds, stack_folders=folders, warnings=warnings, check_budgets=False,
                         whole=False)
    if earlier.model is not None and earlier.model.elf_path is not None:
        inputs["old ELF file"] = earlier.model.elf_path
    before, handle, before_stack = earlier.footprint, baseline_handle(earlier, inputs["old"]), earlier.stack_document()
    disputed = disputes(earlier.report)
    del earlier  # one build at a time
    later = read_build(new, chosen, elf=finds, target=target, baseline=handle, stack_folders=folders,
                       before_stack=before_stack, warnings=warnings)
    if later.model is not None and later.model.elf_path is not None:
        inputs["new ELF file"] = later.model.elf_path
    refuse_to_overwrite_inputs(output, inputs)
    comparison = compare_footprints(before, later.footprint, inputs["old"], strip_prefixes, baseline_label)
    try:  # a limit naming no region stops before any output
        growth = evaluate_growth(comparison, limits, (*disputed, *disputes(later.report)))
    except LimitError as exc:
        raise RunError(str(exc)) from None
    growth = _accepted(list(accept_growth), growth, comparison, warnings)
    comparison = replace(comparison, growth_gates=growth)
    verdict = Verdict(policy_gates(later.report, chosen.policies), list(growth))
    outcome = _with_trend(_outcome(verdict, inputs, baseline_label, later.stack, later.sources, warnings,
                                   bool(before_stack), config is None), store, chosen, later.report, warnings)
    return Result(later.report, comparison, later.model, later.stack, later.sources, outcome, chosen)


def _with_trend(outcome: Outcome, store: Optional[str], config: TarnwickConfig, report, warnings) -> Outcome:
    """With a build history given: the trend the markdown and HTML reports draw."""
    if not (store or config.history.store):
        return outcome
    from tarnwick.history.hooks import with_trend

    outcome = with_trend(outcome, store, config, report, warnings.append)
    return outcome._replace(warnings=tuple(warnings))


def _accepted(given: list, growth: list, comparison, warnings) -> list:
    """The growth gates with the waivers of `given` and of the commit's trailers applied."""
    if not given and not any(gate.failed for gate in growth):
        return growth
    from tarnwick.history.engines import HistoryError
    from tarnwick.history.hooks import accepted_growth

    names = comparison.region_sizes.keys() | {change.name for change in comparison.regions}
    try:
        return accepted_growth(given, growth, names, warnings.append)
    except HistoryError as exc:
        raise RunError(str(exc)) from None


def _outcome(verdict, inputs: dict, baseline_label, stack, sources, warnings: list, stack_compared: bool,
             defaults: bool) -> Outcome:
    return Outcome(verdict, {role: path for role, path in inputs.items() if path is not None},
                   baseline_label, stack, sources, tuple(warnings), stack_compared, defaults)


@_never_over_what_it_reads
def system(config: PathLike, *, baseline: Optional[PathLike] = None, baseline_label: Optional[str] = None,
           growth_limits: Iterable = (), output: Optional[PathLike] = None,
           on_warning: Optional[Callable[[str], None]] = None, kept: Optional[list] = None):
    """Every image of the product a configuration's [system] describes, in one analysis
    (`tarnwick.system.analysis.SystemResult`), compared with a stored system report when
    `baseline` names one; `growth_limits` as for `diff`, of the images ("IMAGE=BYTES")."""
    from tarnwick.compare.gates import LimitError, parse_growth_limit
    from tarnwick.system.analysis import analyze_system
    from tarnwick.system.sides import every_input

    limits = [parse_growth_limit(limit) if isinstance(limit, str) else limit for limit in growth_limits]
    refuse_to_overwrite_inputs(output, {"configuration": os.fspath(config),
                                        "baseline": os.fspath(baseline) if baseline is not None else None})
    warnings = _Warnings(on_warning)
    try:  # a limit naming no image stops before any output
        result = analyze_system(config, baseline=baseline, baseline_label=baseline_label, warnings=warnings,
                                kept=kept, growth_limits=limits)
    except LimitError as exc:
        raise RunError(str(exc)) from None
    if result.baseline_problem:
        warnings.append(f"baseline {result.baseline_problem}; the system is compared with nothing")
    if limits and result.comparison is None:
        warnings.append("--fail-on-growth needs a --baseline to compare with; no growth gate is checked")
    refuse_to_overwrite_inputs(output, every_input(result))
    return replace(result, warnings=tuple(warnings))


@_never_over_what_it_reads
def diff_systems(old: PathLike, new: PathLike, *, config: Optional[PathLike] = None,
                 baseline_label: Optional[str] = None, growth_limits: Iterable = (),
                 output: Optional[PathLike] = None, on_warning: Optional[Callable[[str], None]] = None,
                 kept: Optional[list] = None):
    """NEW's system compared with OLD's; each a configuration holding [system] or a stored
    system report (judged by the policies of `config`, where one is named)."""
    from tarnwick.compare.gates import LimitError, Verdict, parse_growth_limit
    from tarnwick.system.compare import compare_systems, growth_gates
    from tarnwick.system.sides import every_input, is_system_side, system_side

    limits = [parse_growth_limit(limit) if isinstance(limit, str) else limit for limit in growth_limits]
    for side in (old, new):
        if not is_system_side(side):
            raise ReportFileError(f"{os.fspath(side)}: not a system (a JSON system report, or a configuration "
                                  "holding [system]), where the other side of the diff is one")
    refuse_to_overwrite_inputs(output, {"old": os.fspath(old), "new": os.fspath(new), "configuration": _config_path(config)})
    warnings = _Warnings(on_warning)
    policies_from = _config_path(config)
    earlier = system_side(old, warnings, kept, policies_from)
    later = system_side(new, warnings, kept, policies_from)
    comparison = compare_systems(earlier.report, later.report, os.fspath(old), baseline_label)
    try:
        comparison.growth_gates = growth_gates(comparison, limits) if limits else ()
    except LimitError as exc:
        raise RunError(str(exc)) from None
    result = replace(later, comparison=comparison,
                                 verdict=Verdict(later.verdict.policies, tuple(comparison.growth_gates)),
                                 inputs={"old": os.fspath(old), **later.inputs}, warnings=tuple(warnings))
    refuse_to_overwrite_inputs(output, every_input(result))
    return result
