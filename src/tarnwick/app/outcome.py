"""What a run decided and read, beside the report itself: the verdict of its gates (which the
exit code follows), the files it read, and what the baseline is called. Every output shows
these, so no report reads "no errors" under a job that failed."""

from __future__ import annotations

from tarnwick.compare.gates import Verdict
from tarnwick.support.records import named_tuple

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional


@named_tuple
class Outcome:
    verdict: Verdict = Verdict()
    inputs: dict = {}  # role ("map", "ELF file", ...) -> path, as given or found; never changed
    baseline_label: Optional[str] = None  # how the comment names the baseline (a commit, a branch)
    stack: object = None  # the worst-case stack (analysis.stack_depth.StackResult), where stack files were read
    sources: object = None  # the source view (analysis.sources.SourceView or NoSources), where it was asked for
    warnings: tuple = ()  # what the run warns of, one line each (the command says them on stderr)
    stack_compared: bool = False  # the baseline held a worst-case stack to compare `stack` with
    defaults: bool = False  # no configuration was given or found: the run used the defaults
    trend: object = None  # the target branch's recorded builds (history.hooks.ReportTrend), where a store was given

    def as_json(self) -> dict:
        inputs = dict(self.inputs)
        if self.defaults:
            inputs["configuration"] = None  # said, not left out: the run used none
        document = {"verdict": self.verdict.as_json(), "inputs": inputs}
        if self.stack is not None:
            document["stack"] = self.stack.as_json()
        if self.sources is not None:
            document.update(self.sources.as_json())
        return document

    def configuration(self) -> Optional[str]:
        """"Configuration: FILE", or that there was none; None where the caller handed one over."""
        if "configuration" in self.inputs:
            return f"Configuration: {self.inputs['configuration']}"
        return "Configuration: none (the defaults)" if self.defaults else None
