"""`tarnwick system` in the CI hosts' own formats, on the MCUboot systems build.sh links: each
report validated against its published schema (SARIF's JSON schema, the JUnit XSD, GitLab's Code
Quality schema, OpenMetrics by prometheus_client's parser) and held to the JSON report of the same
run: the same findings, gates, verdict and figures; and GitHub's and Azure's conventions told."""

from __future__ import annotations

import json
import os
import shutil
from pathlib import Path

import pytest

from host_schemas import CODEQUALITY_SCHEMA, JUNIT_XSD, sarif_schema
from system_builds import FIRMWARE, boot_app_config, built

from tarnwick.app.cli import main

HOST_FORMATS = ("sarif", "junit", "gitlab-codequality", "gitlab-metrics")
# the application's own budget, so an image's finding (app/budget.FLASH) is among the system's
BUDGET = "[targets.app.budgets.flash]\nFLASH = 0.5\n[targets.app.policies]\nfail_on_budget = true\n"
RUNS = {
    "fits": ("system", "{fits}"),
    "grown past the trailer, image over budget": ("system", "{grown}"),
    "diff of two systems with a growth limit": ("diff", "{folder}/hosts-fits.json", "{grown}",
                                                "--fail-on-growth", "app=100"),
    "against a baseline": ("system", "{grown}", "--baseline", "{folder}/hosts-fits.json"),
}


def _clean_host(monkeypatch) -> None:
    for name in ("GITHUB_ACTIONS", "GITHUB_STEP_SUMMARY", "TF_BUILD"):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture(scope="module")
def folder():
    out = built()
    shutil.copy(FIRMWARE / "zephyr.dts", out / "zephyr.dts")
    return out


@pytest.fixture(scope="module")
def configs(folder) -> dict:
    return {"fits": boot_app_config(folder, "devicetree"),
            "grown": boot_app_config(folder, "devicetree", "app-grown", "\n" + BUDGET, "hosts-grown")}


@pytest.fixture(scope="module")
def outputs(folder, configs):
    """Each run once: its JSON report on --output and every host format with --also."""
    saved = {name: os.environ.pop(name) for name in ("GITHUB_ACTIONS", "TF_BUILD") if name in os.environ}
    done = {}
    try:
        assert main(["system", str(configs["fits"]), "--format", "json", "--output",
                     str(folder / "hosts-fits.json")]) == 0
        for at, (name, arguments) in enumerate(RUNS.items()):
            stem = folder / f"hosts-run{at}"
            also = [f"--also={kind}={stem}.{kind}" for kind in HOST_FORMATS]
            code = main([argument.format(folder=folder, **configs) for argument in arguments]
                        + ["--format", "json", "--output", f"{stem}.json", *also])
            done[name] = (code, stem, json.loads(Path(f"{stem}.json").read_text()))
    finally:
        os.environ.update(saved)
    return done


def _failing(report: dict) -> set:
    return {finding for gate in report["verdict"]["policies"] if gate["failed"] for finding in gate["findings"]}


def _growth(report: dict) -> list:
    return (report.get("comparison") or {}).get("growth_gates", [])


def _images(report: dict) -> dict:
    return {image["name"]: image for image in report["system"]["images"]}


def test_the_runs_differ_as_their_inputs_do(outputs):
    codes = {name: code for name, (code, _, _) in outputs.items()}
    assert codes == {"fits": 0, "grown past the trailer, image over budget": 1,
                     "diff of two systems with a growth limit": 1, "against a baseline": 1}
    grown = outputs["grown past the trailer, image over budget"][2]
    assert {"app/budget.FLASH", "system.slot_headroom.slot0_partition"} <= _failing(grown)


@pytest.mark.parametrize("run", list(RUNS))
def test_sarif_validates_with_every_finding_and_the_verdict(outputs, folder, run):
    import jsonschema

    code, stem, report = outputs[run]
    document = json.loads(Path(f"{stem}.sarif").read_text())
    jsonschema.validate(document, sarif_schema(), cls=jsonschema.Draft7Validator)
    (sarif_run,) = document["runs"]
    results = sarif_run["results"]
    failing = _failing(report)
    by_finding = {result["properties"]["finding"]: result for result in results}
    growth = [gate for gate in _growth(report) if gate["failed"]]
    assert len(results) == len(report["issues"]) + len(growth)
    for issue in report["issues"]:
        result = by_finding[issue["id"]]
        assert result["level"] == ("error" if issue["id"] in failing else
                                   {"info": "note"}.get(issue["severity"], issue["severity"]))
        image = issue["id"].split("/")[0] if "/" in issue["id"] else None
        expected = Path(_images(report)[image]["map"]) if image else Path(report["inputs"]["configuration"])
        assert Path(result["locations"][0]["physicalLocation"]["artifactLocation"]["uri"]).resolve() == \
            expected.resolve()
    rules = [rule["id"] for rule in sarif_run["tool"]["driver"]["rules"]]
    assert all(rules[result["ruleIndex"]] == result["ruleId"] for result in results)
    assert "system.slot_headroom" not in rules and all("." not in rule for rule in rules)
    prints = [result["partialFingerprints"]["tarnwickFinding/v1"] for result in results]
    assert len(set(prints)) == len(prints)
    (invocation,) = sarif_run["invocations"]
    assert invocation["exitCode"] == code and invocation["properties"]["verdict"] == report["verdict"]["status"]


def test_a_finding_keeps_its_fingerprint_across_runs(outputs):
    prints = [{r["properties"]["finding"]: r["partialFingerprints"]["tarnwickFinding/v1"]
               for r in json.loads(Path(f"{outputs[run][1]}.sarif").read_text())["runs"][0]["results"]}
              for run in ("grown past the trailer, image over budget", "against a baseline")]
    assert prints[0] == {key: value for key, value in prints[1].items() if key in prints[0]}
    assert "system.slot_headroom.slot0_partition" in prints[0]


@pytest.mark.parametrize("run", list(RUNS))
def test_junit_has_a_case_per_gate_and_per_partition_with_an_image(outputs, run):
    import xmlschema

    code, stem, report = outputs[run]
    schema = xmlschema.XMLSchema(JUNIT_XSD)
    schema.validate(f"{stem}.junit")
    (suite,) = schema.to_dict(f"{stem}.junit")["testsuite"]
    cases = {case["@name"]: case for case in suite.get("testcase", [])}
    verdict = report["verdict"]
    partitions = [row for row in report["system"]["partitions"] if row["image"]]
    assert len(cases) == len(verdict["policies"]) + len(verdict["growth_gates"]) + len(partitions) \
        == int(suite["@tests"])
    failing_about = {entity for issue in report["issues"] if issue["id"] in _failing(report)
                     for entity in issue["affected_entities"]}
    expected = sorted([gate["policy"] for gate in verdict["policies"] if gate["failed"]]
                      + [f"growth {gate['given']}" for gate in verdict["growth_gates"] if gate["failed"]]
                      + [f"partition {row['name']}" for row in partitions if row["name"] in failing_about])
    assert sorted(name for name, case in cases.items() if "failure" in case) == expected
    assert int(suite["@failures"]) == len(expected) and bool(expected) == (code == 1)
    for row in partitions:
        text = str(cases[f"partition {row['name']}"])  # the failure's message, or the case's output
        assert f"{row['used_bytes']:,} B of {row['size']:,} B used" in text
        assert (f"{row['free_bytes']:,} B free" if row["free_bytes"] >= 0 else f"short by {-row['free_bytes']:,} B") \
            in text


@pytest.mark.parametrize("run", list(RUNS))
def test_codequality_follows_gitlab_s_schema(outputs, run):
    import jsonschema

    _, stem, report = outputs[run]
    entries = json.loads(Path(f"{stem}.gitlab-codequality").read_text())
    jsonschema.validate(entries, json.loads(CODEQUALITY_SCHEMA.read_text()))
    failing = _failing(report)
    expected = sorted("critical" if issue["id"] in failing else {"error": "major", "warning": "minor"}.get(
        issue["severity"], "info") for issue in report["issues"])
    expected += ["critical"] * sum(gate["failed"] for gate in _growth(report))
    assert sorted(entry["severity"] for entry in entries) == sorted(expected)
    assert len({entry["fingerprint"] for entry in entries}) == len(entries)


@pytest.mark.parametrize("run", list(RUNS))
def test_metrics_parse_with_the_report_s_figures(outputs, run):
    from prometheus_client.openmetrics.parser import text_string_to_metric_families

    _, stem, report = outputs[run]
    families = {f.name: f for f in text_string_to_metric_families(Path(f"{stem}.gitlab-metrics").read_text())}
    system = report["system"]
    used = {(s.labels["image"], s.labels["region"]): s.value for s in families["tarnwick_region_used_bytes"].samples}
    assert used == {(image["name"], region["name"]): region["used_bytes"]
                    for image in system["images"] for region in image["regions"]}
    free = {s.labels["partition"]: s.value for s in families["tarnwick_partition_free_bytes"].samples}
    assert free == {row["name"]: row["free_bytes"] for row in system["partitions"] if row["free_bytes"] is not None}
    totals = {s.labels["kind"]: s.value for s in families["tarnwick_total_bytes"].samples}
    assert totals == {"flash": system["totals"]["flash_bytes"], "ram": system["totals"]["ram_bytes"],
                      "stored": system["totals"]["stored_bytes"]}
    assert {s.labels["target"] for family in families.values() for s in family.samples} == {system["name"]}


def test_github_is_told_the_system_s_verdict_once(configs, tmp_path, monkeypatch, capsys):
    _clean_host(monkeypatch)
    summary = tmp_path / "summary.md"
    monkeypatch.setenv("GITHUB_ACTIONS", "true")
    monkeypatch.setenv("GITHUB_STEP_SUMMARY", str(summary))
    code = main(["system", str(configs["grown"]), "--format", "sarif", "--output", str(tmp_path / "r.sarif"),
                 "--also", f"junit={tmp_path / 'r.xml'}"])
    err = capsys.readouterr().err
    written = summary.read_text()
    assert code == 1 and written.count("### System footprint") == 1 and "Gates failed" in written
    annotations = [line for line in err.splitlines() if line.startswith("::error ")]
    assert any("fail_on_slot_headroom" in line for line in annotations)
    assert any("app: fail_on_budget" in line for line in annotations)


@pytest.mark.parametrize("config, result", [("fits", None), ("grown", "Failed")])
def test_azure_is_told_each_finding_and_a_lowered_result(configs, tmp_path, monkeypatch, capsys, config, result):
    _clean_host(monkeypatch)
    monkeypatch.setenv("TF_BUILD", "True")
    monkeypatch.setenv("AGENT_TEMPDIRECTORY", str(tmp_path))
    code = main(["system", str(configs[config]), "--format", "json", "--output", str(tmp_path / "r.json")])
    err = capsys.readouterr().err
    report = json.loads((tmp_path / "r.json").read_text())
    issues = [line for line in err.splitlines() if line.startswith("##vso[task.logissue ")]
    assert len(issues) == sum(issue["severity"] in ("error", "warning") for issue in report["issues"])
    completes = [line for line in err.splitlines() if line.startswith("##vso[task.complete")]
    assert completes == ([f"##vso[task.complete result={result};]tarnwick: gates failed"] if result else []) \
        and code == (1 if result else 0)
    assert any(line.startswith("##vso[task.uploadsummary]") for line in err.splitlines())


def test_also_never_overwrites_an_input(folder, configs, capsys):
    code = main(["system", str(configs["grown"]), "--also", f"sarif={folder / 'app-grown.map'}"])
    assert code == 2 and "refusing to overwrite an input" in capsys.readouterr().err
    assert (folder / "app-grown.map").read_text().startswith(("Archive member", "Memory Configuration", "\n"))


def test_an_image_name_never_becomes_a_host_command(folder, configs, tmp_path, monkeypatch, capsys):
    """An image named like an Azure command, with a quote and a newline: every host report still
    parses, and the only commands the job sees are tarnwick's own."""
    from prometheus_client.openmetrics.parser import text_string_to_metric_families

    _clean_host(monkeypatch)
    monkeypatch.setenv("TF_BUILD", "True")
    monkeypatch.setenv("AGENT_TEMPDIRECTORY", str(tmp_path))
    real = 'ap/p"\n##vso[task.complete result=Succeeded;]x'
    quoted = '"ap/p\\"\\n##vso[task.complete result=Succeeded;]x"'  # as TOML writes it
    config = folder / "hosts-hostile.toml"
    config.write_text(configs["grown"].read_text().replace('name = "app"', f"name = {quoted}")
                      .replace("[targets.app.", f"[targets.{quoted}."))
    also = {kind: tmp_path / f"r.{kind}" for kind in HOST_FORMATS}
    code = main(["system", str(config), "--format", "json", "--output", str(tmp_path / "r.json"),
                 *(f"--also={kind}={path}" for kind, path in also.items())])
    err = capsys.readouterr().err
    assert code == 1
    commands = [line for line in err.splitlines() if "##vso[" in line]
    assert commands and all(line.startswith(("##vso[task.logissue type=", "##vso[task.uploadsummary]",
                                             "##vso[task.complete result=Failed;]")) for line in commands)
    assert all(line.count("##vso[") == 1 for line in commands)
    images = {s.labels.get("image") for f in text_string_to_metric_families(also["gitlab-metrics"].read_text())
              for s in f.samples}
    assert real in images
    sarif = json.loads(also["sarif"].read_text())
    results = {r["properties"]["finding"]: r for r in sarif["runs"][0]["results"]}
    budget = results[f"{real}/budget.FLASH"]  # the image's own finding, though its name holds a "/"
    assert budget["ruleId"] == "budget"
    assert budget["locations"][0]["physicalLocation"]["artifactLocation"]["uri"].endswith("app-grown.map")
