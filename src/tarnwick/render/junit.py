"""JUnit XML, as GitLab, Jenkins and Azure Pipelines show test results: one test case per gate
(each policy turned on, each growth limit) and per region's budget, a failure with its message
where the run fails on it, so the test tab and the job agree."""

from __future__ import annotations

from xml.sax.saxutils import escape, quoteattr

from tarnwick.render.host_findings import HostRun, build_run


def _kept(c: str) -> bool:
    return c == "\t" or (" " <= c != "\x7f" and not "\ud800" <= c <= "\udfff" and c not in "\ufffe\uffff")


def _clean(value: str) -> str:
    """One line XML 1.0 can carry: control characters from a map's names (a newline too) become escapes."""
    return "".join(c if _kept(c) else f"\\x{ord(c):02x}" for c in value)


def _text(value: str) -> str:
    return escape(_clean(value))


def _attribute(value: str) -> str:
    return quoteattr(_clean(value))


def render_junit(report, comparison=None, outcome=None, model=None) -> str:
    return junit_text(build_run(report, comparison, outcome, model))


def junit_text(run: HostRun) -> str:
    cases = run.cases()
    failures = sum(1 for case in cases if case.failed)
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             f'<testsuites name="tarnwick" tests="{len(cases)}" failures="{failures}" errors="0">',
             f'  <testsuite name={_attribute(f"tarnwick footprint: {run.target}")} tests="{len(cases)}" '
             f'failures="{failures}" errors="0" skipped="0" time="0">']
    if run.tells_configuration:
        used = run.configuration or "none (the defaults)"
        lines += ["    <properties>", f'      <property name="configuration" value={_attribute(used)}/>',
                  "    </properties>"]
    for case in cases:
        opening = f'    <testcase name={_attribute(case.name)} classname={_attribute(f"tarnwick.{run.target}")} time="0"'
        if case.failed:
            lines += [opening + ">", f'      <failure type="gate" message={_attribute(case.message)}>'
                      f"{_text(case.message)}</failure>", "    </testcase>"]
        else:
            lines += [opening + ">", f"      <system-out>{_text(case.message)}</system-out>", "    </testcase>"]
    lines += ["  </testsuite>", "</testsuites>"]
    return "\n".join(lines) + "\n"
