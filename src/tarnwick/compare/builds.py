"""One build read as every command reads it: a map or an ELF file loaded into its model, checked,
reported by the report module (with the findings of the totals the map states and of the stack),
its source view and byte tables made; or a stored JSON report read back. The API, the system
and the history read builds here."""

from __future__ import annotations

import os

from tarnwick.config import TarnwickConfig
from tarnwick.support.records import record
from tarnwick.support.run_checks import check_budgets_name_regions, checked_folders
from tarnwick.toolchains.errors import ReportFileError
from tarnwick.toolchains.loader import AUTO

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Iterable, Optional, Union

PathLike = str | os.PathLike


@record(frozen=True)
class Build:
    """One build as a comparison takes it: its report, its byte tables, its model (None when read
    back from a stored report), and the summary another build is compared with it by."""

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


def _elf(elf) -> Union[str, None]:
    return elf if elf is None or elf is AUTO else os.fspath(elf)


def model_of(path: str, config: TarnwickConfig, elf, warnings: list, check_budgets: bool):
    """The model of a map or an ELF file, with the notes the passes that every model read from
    a file needs have made. Budgets that name no region of it are bad input: their checks would
    silently not be made."""
    from tarnwick.analysis.load_images import note_load_images
    from tarnwick.toolchains import load_map

    model = load_map(path, config, elf=_elf(elf))
    note_load_images(model)
    # what the read warns of (for the user to be told) is among its ambiguities too, so every
    # report of it says so
    model.unresolved_ambiguities.extend(model.warnings)
    if check_budgets:
        check_budgets_name_regions(config, model)
    warnings.extend(model.warnings)
    return model


def report_of(model, config: TarnwickConfig, target, baseline, folders: list, before_stack) -> tuple:
    """(report, stack, sources) of a model: the report module's report with the findings of the
    totals the map states and of the stack,
    the worst-case stack (what changed since `before_stack`, a stored report's `stack`), and the
    source view. `baseline`: what the report module compares the totals with."""
    from tarnwick.analysis.no_sources import without_elf
    from tarnwick.analysis.stack_units import asked_for, stack_files_beside
    from tarnwick.analysis.stated_totals import with_stated_totals
    from tarnwick.analysis.summary import build_analysis_report

    sources = without_elf(model)
    if sources is None:  # the ELF's debug information is read for them
        from tarnwick.analysis.sources import source_view

        sources = source_view(model)
    report = with_stated_totals(build_analysis_report(model, config, target_name=target, baseline_json_path=baseline),
                                model)
    folders = [*config.stack.folders, *checked_folders(folders)]
    if not (folders or asked_for(config.stack) or stack_files_beside(model)):
        return report, None, sources  # no stack files and none asked for: the check would find none
    from tarnwick.analysis.stack_depth import analyse_stack, stack_changes, with_stack

    stack = analyse_stack(model, config.stack, folders)
    if stack is not None and before_stack:
        stack.changes = stack_changes(stack, before_stack)
    return with_stack(report, stack), stack, sources


def read_build(path: PathLike, config: TarnwickConfig, *, elf=AUTO, target: Optional[str] = None,
               baseline=None, stack_folders: Iterable[PathLike] = (), before_stack: Optional[dict] = None,
               warnings: Optional[list] = None, check_budgets: bool = True, whole: bool = True) -> Build:
    """A build as `diff` reads either side: a stored JSON report read back, or a map or an ELF
    file analysed (compared by the report module with `baseline`, an earlier build's
    `baseline_handle`). `warnings` collects what the read warns of. `whole=False`: a stored
    report's `report` holds its metadata, totals and findings only (the earlier side of a
    comparison needs no more than those besides its byte tables)."""
    from tarnwick.compare.baseline_file import looks_like_json_report, read_baseline
    from tarnwick.compare.footprint import document_footprint, report_footprint

    text = os.fspath(path)
    if looks_like_json_report(text):
        from tarnwick.compare.stored_report import report_from_document, totals_from_document, with_regressions

        stored, handed = read_baseline(text, whole=whole)
        if stored is None:
            try:
                handed.read_text()
            except ValueError as exc:
                raise ReportFileError(f"{text}: {exc}") from None
        kept, verdict = stored.document.get("stack"), stored.document.get("verdict")
        report = (report_from_document if whole else totals_from_document)(stored.document)
        if baseline is not None:
            report = with_regressions(report, baseline)
        return Build(report, document_footprint(stored.document, stored.parts), stored_stack=kept if isinstance(kept, dict) else None,
                     stored_verdict=verdict if isinstance(verdict, dict) else None)
    model = model_of(text, config, elf, warnings if warnings is not None else [], check_budgets)
    report, stack, sources = report_of(model, config, target, baseline, list(stack_folders), before_stack)
    return Build(report, report_footprint(report, sources), model, stack, sources=sources)


def baseline_handle(build: Build, path: str):
    """An earlier build as the report module reads a baseline (`exists()`, `read_text()` and
    its path): its totals and ratios, served from memory."""
    from tarnwick.compare.baseline_file import BaselineText, totals_text

    summary = build.report.summary
    return BaselineText(path, totals_text(summary.total_flash, summary.total_ram, summary.utilization_by_region))
