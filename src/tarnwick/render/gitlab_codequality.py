"""GitLab's Code Quality report: a JSON array, one entry per finding, with a fingerprint that
stays the same from run to run (the merge-request widget tells new findings from fixed ones by
it), GitLab's severities, and the file it is about; a finding that fails a gate is critical."""

from __future__ import annotations

import json

from tarnwick.render.host_findings import HostRun, build_run

_SEVERITIES = {"error": "major", "warning": "minor", "info": "info"}


def render_gitlab_codequality(report, comparison=None, outcome=None, model=None) -> str:
    return codequality_text(build_run(report, comparison, outcome, model))


def codequality_text(run: HostRun) -> str:
    entries = []
    for finding in run.findings():
        entries.append({
            "description": finding.message,
            "check_name": f"tarnwick.{finding.rule}",
            "fingerprint": finding.fingerprint,
            "severity": "critical" if finding.fails_gate else _SEVERITIES.get(finding.level, "info"),
            "location": {"path": finding.path or "", "lines": {"begin": 1}},
        })
    return json.dumps(entries, indent=2, ensure_ascii=False) + "\n"
