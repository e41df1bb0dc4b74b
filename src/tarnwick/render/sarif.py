"""SARIF 2.1.0, for code scanning: each finding a result under a stable rule id with a
fingerprint that stays the same from run to run, so a host tells new findings from old ones;
a finding that fails a gate is an error. The run's verdict is in the invocation."""

from __future__ import annotations

import json

from tarnwick import __version__
from tarnwick.render.host_findings import RULE_TITLES, HostRun, build_run

SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
_LEVELS = {"error": "error", "warning": "warning", "info": "note"}


def render_sarif(report, comparison=None, outcome=None, model=None) -> str:
    return sarif_text(build_run(report, comparison, outcome, model))


def sarif_text(run: HostRun) -> str:
    findings = run.findings()
    rules = sorted({finding.rule for finding in findings})
    index = {rule: at for at, rule in enumerate(rules)}
    results = []
    for finding in findings:
        result = {"ruleId": finding.rule, "ruleIndex": index[finding.rule], "level": _LEVELS.get(finding.level, "note"),
                  "message": {"text": finding.message},
                  "partialFingerprints": {"tarnwickFinding/v1": finding.fingerprint},
                  "properties": {"finding": finding.key, "target": run.target}}
        if finding.path:
            result["locations"] = [{"physicalLocation": {"artifactLocation": {"uri": finding.path},
                                                         "region": {"startLine": 1}}}]
        results.append(result)
    document = {
        "tool": {"driver": {"name": "tarnwick", "version": __version__, "rules": [
            {"id": rule, "name": rule.title().replace("-", ""),
             "shortDescription": {"text": RULE_TITLES.get(rule, rule)}} for rule in rules]}},
        "automationDetails": {"id": f"tarnwick/{run.target}/"},
        "invocations": [{"executionSuccessful": True, "exitCode": 1 if run.failed else 0,
                         "properties": {"verdict": "failed" if run.failed else "passed",
                                        "failures": run.failures}}],
        "results": results,
    }
    if run.tells_configuration:
        document["properties"] = {"configuration": run.configuration}
    return json.dumps({"$schema": SCHEMA, "version": "2.1.0", "runs": [document]}, indent=2, ensure_ascii=False) + "\n"
