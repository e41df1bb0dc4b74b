"""The baseline report the command compares with: read once, with a size limit, and checked to
be a tarnwick report of this schema with usable figures before anything compares with it.

A baseline that cannot serve is never an error of the run: the comparison is left out and the
reason is given. The report module keeps its own documented answers for any file it is handed;
the command hands it only what passed these checks, through `BaselineText`, which serves the
text already read so the file is read once.

A report is read natively where it can be (`read_stored_report`: one scan of its text, its
symbols straight into their byte tables, its input sections decoded only when asked for); a text
that reader does not take is decoded whole as before, so every answer and message is the same.
"""

from __future__ import annotations

import json
import math

from tarnwick._native import json_values, read_stored_report
from tarnwick.compare.footprint import origin_of
from tarnwick.domain.schema import SCHEMA_VERSION
from tarnwick.support.figures import decoding_error
from tarnwick.support.files import FileProblem, open_regular, read_limited
from tarnwick.support.records import record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Any, Optional

# A report of the largest map this tool is measured on (113 MB) is well below this.
BASELINE_LIMIT = 256 * 1024 * 1024
_TOTAL_LIMIT = 1 << 64


@record(frozen=True)
class StoredParts:
    """What the native reader took of a stored report without decoding it: its symbols' byte
    tables (as `symbol_tables` makes them), and where each section's inputs are in its text."""

    symbol_tables: tuple
    data: bytes
    input_spans: list  # per section: (start, end) in `data`, or None where it has no inputs

    def section_inputs(self) -> list:
        """Each section's `inputs` as the whole document would hold them (None where absent)."""
        return json_values(self.data, self.input_spans)


@record(frozen=True)
class Baseline:
    """A baseline report that passed the checks, with its decoded document: whole, or, where
    `parts` holds them, without its symbols and its sections' inputs."""

    path: str
    document: dict
    parts: Optional[StoredParts] = None


class BaselineText:
    """What the report module reads a baseline through: `exists()`, `read_text()` and the
    path's text, serving the text the command has already read and checked. For a baseline
    that failed the checks, reading raises the reason, so the report says it could not be
    read and why."""

    def __init__(self, path: str, text: Optional[str], problem: Optional[str] = None):
        self._path, self._text, self._problem = path, text, problem

    def exists(self) -> bool:
        return self._problem != "no such file"

    def read_text(self, encoding: str = "utf-8") -> str:
        if self._problem is not None:
            raise ValueError(self._problem)
        return self._text

    def __str__(self) -> str:
        return self._path


def _reject_constant(name: str):
    raise ValueError(f"{name} is not standard JSON")


def _finite_number(value: Any) -> bool:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return False
    try:
        return math.isfinite(float(value))
    except OverflowError:
        return False


def _summary_problem(document: Any) -> Optional[str]:
    """Why a decoded document is not a usable tarnwick report, or None."""
    if not isinstance(document, dict):
        return f"not a tarnwick report (a JSON {type(document).__name__}, not an object)"
    metadata = document.get("metadata")
    version = metadata.get("schema_version") if isinstance(metadata, dict) else None
    if version is None:
        return "not a tarnwick report (no metadata.schema_version)"
    if version != SCHEMA_VERSION:
        return f"a report of schema {str(version)[:40]!r}, and this tool reads schema {SCHEMA_VERSION!r}"
    summary = document.get("summary")
    if not isinstance(summary, dict):
        return "not a tarnwick report (no summary)"
    for key in ("total_flash", "total_ram"):
        value = summary.get(key)
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < _TOTAL_LIMIT:
            return f"summary.{key} is not a byte count"
    ratios = summary.get("utilization_by_region")
    if not isinstance(ratios, dict):
        return "summary.utilization_by_region is not an object"
    for name, ratio in ratios.items():
        if not _finite_number(ratio):
            return f"summary.utilization_by_region.{name[:60]} is not a finite number"
    return _shape_problem(document)


# The lists of a stored report that its readers walk (the comparison, the report read back),
# with the lists their entries hold in turn.
_LISTS = {"regions": (), "sections": ("inputs",), "symbols": (), "components": (), "issues": ()}


def _shape_problem(document: dict) -> Optional[str]:
    """Why the lists and objects a stored report's readers walk are not what they walk, or
    None. Checked once here, so that no reader of a baseline meets a number for a list."""
    for key, inner in _LISTS.items():
        value = document.get(key, [])
        if not isinstance(value, list):
            return f"{key} is not a list"
        for index, item in enumerate(value):
            if not isinstance(item, dict):
                return f"{key}[{index}] is not an object"
            for name in inner:
                if not isinstance(item.get(name, []), list):
                    return f"{key}[{index}].{name} is not a list"
    for key in ("trends", "regressions", "diagnostics", "metadata"):
        if not isinstance(document.get(key, {}), dict):
            return f"{key} is not an object"
    visualization = document.get("trends", {}).get("visualization", {})
    if not isinstance(visualization, dict):
        return "trends.visualization is not an object"
    rows = visualization.get("regions", [])
    if not isinstance(rows, list) or not all(isinstance(row, dict) for row in rows):
        return "trends.visualization.regions is not a list of objects"
    return None


def looks_like_json_report(path: str) -> bool:
    """Whether a file holds JSON rather than a map or an ELF file (its first character)."""
    try:
        with open_regular(path) as handle:
            head = handle.read(4096)
    except (FileProblem, OSError):
        return False  # the map reader says what the problem is
    return head.lstrip(b"\xef\xbb\xbf \t\r\n")[:1] == b"{"


def read_baseline(path: str, whole: bool = False) -> tuple[Optional[Baseline], BaselineText]:
    """The checked baseline (None when it cannot serve), and what to hand the report module.
    `whole`: its document decoded whole, symbols and input sections too (to be read back into
    records); else only what a comparison and the totals read."""
    try:
        data = read_limited(path, BASELINE_LIMIT)
    except FileProblem as exc:
        return None, BaselineText(path, None, str(exc))
    taken = None if whole else read_stored_report(data, origin_of)
    if taken is not None:
        document, tables, spans = taken
        return _checked(path, document, StoredParts(tables, data, spans))
    try:
        document = json.loads(data.decode("utf-8-sig"), parse_constant=_reject_constant)
    except UnicodeDecodeError:
        return None, BaselineText(path, None, "not UTF-8 text")
    except RecursionError:
        return None, BaselineText(path, None, "JSON nested too deeply")
    except ValueError as exc:
        return None, BaselineText(path, None, f"not valid JSON: {decoding_error(exc)}")
    return _checked(path, document, None)


def _checked(path: str, document: Any, parts: Optional[StoredParts]) -> tuple[Optional[Baseline], BaselineText]:
    # the native reader took the symbols and the inputs only where they were lists of objects,
    # so the checks of what is left say what they would of the whole document
    problem = _summary_problem(document)
    if problem is not None:
        return None, BaselineText(path, None, problem)
    summary = document["summary"]
    # the report module compares the totals and ratios only: served those, it does not decode
    # a large report's JSON a second time
    handed = totals_text(summary["total_flash"], summary["total_ram"], summary["utilization_by_region"])
    return Baseline(path, document, parts), BaselineText(path, handed)


def totals_text(total_flash: int, total_ram: int, ratios: dict) -> str:
    """What of a report the report module compares a build with, as the JSON it reads: the
    totals and the use of each region."""
    return json.dumps({"summary": {"total_flash": total_flash, "total_ram": total_ram,
                                   "utilization_by_region": dict(ratios)}})
