"""The system report as JSON: `system` first (so a reader knows a system report by its first
key), then the findings among `issues`, the verdict, the inputs and the comparison."""

from __future__ import annotations

import json

from tarnwick.domain import to_jsonable
from tarnwick.system.findings import issue_counts
from tarnwick.system.report import SYSTEM_SCHEMA, system_json


def document(result) -> dict:
    report = result.report
    doc = {
        "system": system_json(report),
        "metadata": {"tool_version": report.tool_version, "schema_version": SYSTEM_SCHEMA,
                     "analysis_timestamp": report.timestamp, "target_name": report.name, "kind": "system"},
        "summary": {"total_flash": report.flash_bytes, "total_ram": report.ram_bytes,
                    "issue_counts": issue_counts(report.issues)},
        "issues": to_jsonable(report.issues),
        "verdict": result.verdict.as_json(),
        "inputs": dict(result.inputs),
    }
    if result.comparison is not None:
        doc["comparison"] = result.comparison.as_json()
    if result.baseline_problem:
        doc["baseline_problem"] = result.baseline_problem
    return doc


def render_json(result, top: int = 10) -> str:
    return json.dumps(document(result), indent=2, allow_nan=False) + "\n"
