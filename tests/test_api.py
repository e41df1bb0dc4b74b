"""The Python API as a script author uses it: the result carries what the command prints (the
verdict and every gate, each region's figures, the comparison), and the command is that result
rendered, so a script never re-implements a gate."""

from __future__ import annotations

import json
import re
from pathlib import Path

import pytest

from firmware_builds import build
from tarnwick.api import RunError, analyze, diff
from tarnwick.app.cli import main

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "firmware"
MAPS = EXAMPLE / "maps"
GROWN = {"DMA_RING_WORDS": 768, "FRAME_BUFFER_BYTES": 5120}  # +1,024 B of RAM each


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    work = tmp_path_factory.mktemp("api")
    return build(work, "out/base"), build(work, "out/pr", GROWN)


def ld_table(path: Path) -> dict:
    """Region -> used bytes, as ld's --print-memory-usage printed them."""
    units = {"B": 1, "KB": 1024, "MB": 1024 * 1024}
    rows = re.findall(r"^\s*(\w+):\s+(\d+) (B|KB|MB)\s", path.read_text(), re.M)
    return {name: int(count) * units[unit] for name, count, unit in rows}


def command(capsys, *arguments) -> tuple:
    code = main([str(a) for a in arguments])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.mark.parametrize("name, exit_code", [("gnu_ld", 0), ("gnu_ld_ram_overflow", 1)])
def test_a_result_holds_the_regions_as_ld_counts_them_and_the_commands_verdict(capsys, name, exit_code):
    result = analyze(MAPS / f"{name}.map", config=EXAMPLE / "tarnwick.toml")
    assert {r.name: r.used_bytes for r in result.regions} == ld_table(MAPS / f"{name}.memory-usage.txt")
    assert all(r.used_bytes + r.free_bytes == r.size_bytes or r.overflow_bytes for r in result.regions)
    assert result.exit_code == exit_code and result.verdict.failed == bool(exit_code)
    code, out, _ = command(capsys, "analyze", MAPS / f"{name}.map", "--config", EXAMPLE / "tarnwick.toml",
                           "--format", "json")
    assert code == result.exit_code
    assert json.loads(out)["verdict"] == result.verdict.as_json()


def test_a_growth_limit_is_a_gate_of_the_diff_itself(builds, capsys):
    base, pr = builds
    result = diff(base, pr, growth_limits=["RAM=512"])
    assert result.exit_code == 1
    (gate,) = result.verdict.growth
    # one buffer grew in RAM, the other in CCM: 2,048 B of RAM in all
    assert (gate.region, gate.limit, gate.growth, gate.failed) == ("RAM", 512, 1024, True)
    assert result.comparison.region("RAM").delta == 1024 and result.comparison.ram_delta == 2048
    assert [c.name for c in result.comparison.regions] == sorted(c.name for c in result.comparison.regions)
    code, _, err = command(capsys, "diff", base, pr, "--fail-on-growth", "RAM=512")
    assert code == 1 and gate.reason in err
    assert diff(base, pr, growth_limits=["RAM=4096"]).exit_code == 0


@pytest.mark.parametrize("call, message", [
    (lambda base, pr: diff(base, pr, growth_limits=["SRAM9=1"]), "no region named 'SRAM9'"),
    (lambda base, pr: analyze(pr, output=pr), "refusing to overwrite an input"),
    (lambda base, pr: analyze(pr, output=pr.with_suffix(".elf")), "is the ELF file"),
    (lambda base, pr: diff(base, pr, stack_folders=[pr]), "not a folder"),
])
def test_what_only_a_run_can_see_is_one_error(builds, call, message):
    base, pr = builds
    with pytest.raises(RunError, match=message):
        call(base, pr)


def test_a_diff_and_an_analysis_against_the_stored_report_agree(builds, tmp_path):
    """Either road to the same two builds gives the same comparison and regressions."""
    base, pr = builds
    stored = tmp_path / "base.json"
    assert main(["analyze", str(base), "--format", "json", "--output", str(stored)]) == 0
    by_diff, by_analysis = diff(stored, pr), analyze(pr, baseline=stored)
    assert by_diff.report.regressions == by_analysis.report.regressions
    for level in ("regions", "sections", "objects", "symbols"):
        assert by_diff.comparison.level(level) == by_analysis.comparison.level(level)
    regions = by_diff.report.trends["visualization"]["regions"]
    assert {r["name"]: r["utilization_delta"] for r in regions} == {
        name: row["delta"] for name, row in by_analysis.report.regressions["regions"].items()}


def test_warnings_reach_the_caller_and_the_report(tmp_path):
    copy = tmp_path / "firmware.map"
    copy.write_bytes((MAPS / "gnu_ld.map").read_bytes())
    (tmp_path / "firmware.elf").write_bytes(b"\x7fELF broken")
    heard = []
    result = analyze(copy, on_warning=heard.append)
    assert len(result.warnings) == 1 and "not a usable ELF file" in result.warnings[0]
    assert heard == list(result.warnings)
    assert result.warnings[0] in result.report.diagnostics["unresolved_ambiguities"]
