"""The report as JSON under its field names: the file the next run reads as its baseline.

Written by native code, in pieces of about a megabyte: a large build's report has hundreds of
thousands of records, and one string holding all of it would take more memory than the
records themselves. Indented two spaces a level. Always standard JSON: a figure that is not a
finite number is written as null."""

from __future__ import annotations

import enum
from tarnwick._native import write_json
from tarnwick.support.records import field_names


def _change(change) -> dict:
    row = {"name": change.name}
    if change.object_file is not None:
        row["object_file"] = change.object_file
    row.update(baseline=change.baseline, current=change.current, delta=change.delta, change=change.kind,
               estimated=change.estimated)
    return row


def comparison_jsonable(comparison) -> dict:
    """The comparison at every level: regions by name (every region), and for sections,
    components, archives, objects and symbols the entries that changed, the largest first."""
    document = {
        "baseline_path": comparison.baseline_path,
        "baseline_label": comparison.label,
        "flash_delta_bytes": comparison.flash_delta,
        "ram_delta_bytes": comparison.ram_delta,
        "regions": {c.name: _change(c) for c in comparison.regions},
    }
    for level in ("sections", "components", "archives", "objects", "symbols", "files", "folders"):
        document[level] = [_change(c) for c in comparison.level(level)]
    document["growth_gates"] = [gate.as_json() for gate in comparison.growth_gates]
    document["notes"] = list(comparison.notes)
    return document


def _document(report, comparison, outcome, model=None) -> dict:
    from tarnwick.render.ledger import ledgers

    document = {name: getattr(report, name) for name in field_names(report)}
    # every region's bytes by what holds them, adding up to its use (regions as the linker lists them)
    document["accounting"] = {"regions": [book.as_json() for book in ledgers(
        report, model.symbols if model is not None else None, model)]}
    if comparison is not None:
        document["comparison"] = comparison_jsonable(comparison)
    if outcome is not None:
        document.update(outcome.as_json())
    return document


def write_report_json(report, comparison, write, outcome=None, model=None) -> None:
    """Writes the JSON through `write(bytes)`, piece by piece."""
    write_json(_document(report, comparison, outcome, model), write, enum.Enum, 2)
    write(b"\n")


def render_json(report, comparison=None, outcome=None, model=None) -> str:
    pieces: list = []
    write_report_json(report, comparison, pieces.append, outcome, model)
    return b"".join(pieces).decode("utf-8")
