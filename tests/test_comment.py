"""The pull-request comment leads with what changed and says the verdict in words: within the
host's limit in every part (3,000 overflowing regions linked by the real ld), a budget column
that marks the regions above it, the size legend only where a marked size is shown, the stack
in one line when it did not change, object paths without the build roots taken off, and no
path of the runner's workspace."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from firmware_builds import build, need_arm_gcc
from tarnwick.render.markdown import LIMIT
from test_ci_gate import run

ROOT = Path(__file__).resolve().parent.parent
FIRMWARE = ROOT / "examples" / "firmware"
MAPS = FIRMWARE / "maps"
CONFIG = FIRMWARE / "tarnwick.toml"
REGIONS = 3_000


@pytest.fixture(scope="module")
def many_regions(tmp_path_factory):
    """A link of 3,000 regions of 16 bytes, each given a 32-byte section: ld says each overflows."""
    need_arm_gcc()
    work = tmp_path_factory.mktemp("regions")
    memory = [f"  R{i:04} (rw) : ORIGIN = 0x{0x2000_0000 + i * 0x100:08x}, LENGTH = 16" for i in range(REGIONS)]
    sections = [f"  .d{i:04} : {{ *(.d{i:04}) }} > R{i:04}" for i in range(REGIONS)]
    (work / "many.ld").write_text("MEMORY\n{\n" + "\n".join(memory) + "\n}\nSECTIONS\n{\n" + "\n".join(sections) + "\n}\n")
    (work / "many.s").write_text("".join(f'.section .d{i:04},"aw"\n.global v{i:04}\nv{i:04}: .space 32\n'
                                         for i in range(REGIONS)))
    subprocess.run(["arm-none-eabi-as", "many.s", "-o", "many.o"], cwd=work, check=True, timeout=120)
    linked = subprocess.run(["arm-none-eabi-ld", "-T", "many.ld", "--noinhibit-exec", "-Map", "many.map", "many.o",
                             "-o", "many.elf"], cwd=work, capture_output=True, text=True, timeout=120)
    overflowed = re.findall(r"region `(R\d+)' overflowed by 16 bytes", linked.stderr)
    assert len(overflowed) == REGIONS
    return work / "many.map"


def test_thousands_of_overflowing_regions_stay_within_the_limit_in_every_part(many_regions, capsys):
    code, out, _ = run(capsys, "analyze", many_regions, "--format", "markdown", "--also",
                       f"json={many_regions.with_suffix('.json')}")
    assert code == 1
    assert len(out) <= LIMIT
    verdict = out.splitlines()[3]
    assert len(verdict) < 1_000
    assert verdict.startswith("❌ Failed: fail\\_on\\_overflow \\(overflow.R0000") and "and 2,995 more" in verdict
    assert "| R0000 … R2999 \\(3000 regions\\) | 96,000 B | 46.9 KiB | 200.0% **overflow** |" in out
    fails = r" \\\(fails fail\\_on\\_overflow\\\)"
    listed = re.findall(rf"^- ❌ error `overflow\.R\d{{4}}`{fails}: Region R\d{{4}} exceeds capacity by 16 bytes\.$", out, re.M)
    cut = re.search(r"\): Region R\d{4} exceeds capacity by 16 bytes\.\n\n… and ([\d,]+) more\n", out)
    report = json.loads(many_regions.with_suffix(".json").read_text())
    assert len(report["regions"]) == REGIONS
    assert len(listed) + int(cut[1].replace(",", "")) == REGIONS  # every finding shown or counted
    assert out.count("<details>") == out.count("</details>")


def test_the_region_table_shows_each_budget_and_marks_those_passed(capsys):
    code, out, _ = run(capsys, "analyze", MAPS / "gnu_ld_ram_overflow.map", "--config", CONFIG, "--format", "markdown")
    assert code == 1
    rows = {m[1]: m[2] for m in re.finditer(r"\| `(\w+)` \| [\d,]+ B \| [^|]+ \| [^|]+ \| ([^|]+) \|", out)}
    # the example's budgets: FLASH 80%, RAM 30%, CCM 90%; uses 1.0%, 136.6%, 25.0%
    assert rows == {"FLASH": "80.0%", "RAM": "**above** 30.0%", "CCM": "90.0%"}
    assert "| `CCM` | 2,048 B | 8.0 KiB | 25.0% |" in out
    code, out, _ = run(capsys, "analyze", MAPS / "gnu_ld.map", "--format", "markdown")
    assert "| Region | Used | Size | Use |\n" in out  # no budgets, no column


@pytest.mark.parametrize("elf, legend", [([], False), (["--no-elf"], True)])
def test_the_size_legend_only_where_a_marked_size_is_shown(capsys, elf, legend):
    _, out, _ = run(capsys, "analyze", MAPS / "gnu_ld_ram_overflow.map", "--config", CONFIG, "--baseline",
                    FIRMWARE / "baseline.json", "--format", "markdown", *elf)
    marked = bool(re.search(r"\| (~|≤)[\d,]+ B \||B ~ \|", out))
    assert marked == legend
    assert ("a size taken from the map's addresses" in out) == legend


@pytest.mark.parametrize("failed", [True, False])
def test_pass_and_fail_are_told_in_words(capsys, failed):
    path = MAPS / ("gnu_ld_ram_overflow.map" if failed else "gnu_ld.map")
    code, out, _ = run(capsys, "analyze", path, "--config", CONFIG, "--format", "markdown", "--also",
                       f"json={os.devnull}")
    gates = re.findall(r"^- (❌|✅) (failed|passed): ", out, re.M)
    assert gates and all((icon == "❌") == (word == "failed") for icon, word in gates)
    verdict = out.splitlines()[3]
    assert verdict.startswith("❌ Failed" if failed else "✅ Passed") and code == (1 if failed else 0)
    assert all(re.match(r"- \S+ (error|warning|info) `", line) for line in out.splitlines()
               if line.startswith("- ") and "`" in line.split(":")[0])


def _stack_copy(tmp_path: Path, grow: int) -> Path:
    """The example's stack files, with main's frame `grow` bytes larger (in its .su and .ci)."""
    folder = tmp_path / f"stack{grow}"
    shutil.copytree(FIRMWARE / "stack", folder)
    su, ci = folder / "main.su", folder / "main.ci"
    su.write_text(re.sub(r"(:main\t)(\d+)", lambda m: f"{m[1]}{int(m[2]) + grow}", su.read_text()))
    ci.write_text(re.sub(r'(label: "main\\n[^"]*\\n)(\d+)', lambda m: f"{m[1]}{int(m[2]) + grow}", ci.read_text()))
    return folder


@pytest.mark.parametrize("grow", [0, 64])
def test_the_stack_is_one_line_unless_it_changed_and_then_its_change_comes_first(capsys, tmp_path, grow):
    baseline = tmp_path / "base.json"
    run(capsys, "analyze", MAPS / "gnu_ld.map", "--stack-usage", FIRMWARE / "stack", "--format", "json",
        "--output", baseline)
    _, out, _ = run(capsys, "analyze", MAPS / "gnu_ld.map", "--stack-usage", _stack_copy(tmp_path, grow),
                    "--baseline", baseline, "--format", "markdown")
    section = out.split("**Stack**", 1)[1].split("\n\n_Configuration:", 1)[0]
    if not grow:
        assert section.startswith(": fits, unchanged since the baseline (worst case 84 B of the 2,048 B")
        assert section.count("\n") == 0 and "| Entry point |" not in section
    else:
        lines = [line for line in section.splitlines() if line]
        assert lines[1].startswith("- since the baseline, ") and "| Entry point |" in section
        assert section.index("since the baseline") < section.index("| Entry point |")
        assert "84 B \\-\\> 148 B" in lines[1]  # the program's worst case: Reset_Handler's chain runs through main


def test_a_stack_the_baseline_did_not_have_is_shown_whole(capsys, tmp_path):
    tight = tmp_path / "tight.toml"  # a reservation the worst case passes: the stack has a finding
    tight.write_text("[stack]\nsize = 64\n")
    _, out, _ = run(capsys, "analyze", MAPS / "gnu_ld.map", "--stack-usage", FIRMWARE / "stack", "--baseline",
                    FIRMWARE / "baseline.json", "--config", tight, "--format", "markdown")
    assert "unchanged since the baseline" not in out and "| Entry point |" in out
    finding = re.search(r"^- ❌ error `stack.overflow`: (.+)$", out, re.M)[1]
    section = out.split("**Stack**", 1)[1].split("| Entry point |", 1)[0]
    assert finding.rstrip(".") not in section  # the stack section names the finding, not its words again
    assert "(why: `stack.overflow` above)" in section


@pytest.fixture(scope="module")
def two_folders(tmp_path_factory):
    work = tmp_path_factory.mktemp("roots")
    return work, build(work, "out/base"), build(work, "out/pr", {"DMA_RING_WORDS": 768})


def test_objects_are_named_without_the_roots_taken_off_and_without_the_workspace(two_folders, capsys):
    work, base, pr = two_folders
    code, out, _ = run(capsys, "diff", work / base.relative_to(work), work / pr.relative_to(work), "--format",
                       "markdown", "--baseline-label", "main", "--also", f"json={work / 'r.json'}", cwd=work)
    assert code == 0
    assert "`main.o`" in out and not re.search(r"`out/(pr|base)/", out)
    assert str(work) not in out and str(work).replace("_", "\\_").replace("-", "\\-") not in out
    document = json.loads((work / "r.json").read_text())
    assert any(c["name"].endswith("out/pr/main.o") for c in document["comparison"]["objects"])  # JSON keeps them
