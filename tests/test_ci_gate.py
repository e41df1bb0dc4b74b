"""tarnwick as a CI gate: the target branch and the pull request built in two folders, a side
with or without its ELF file, every gate in every output, the ELF found from any folder and
never written over, a cancelled job, and the conventions of GitHub Actions. The firmware is
the repository's example, built by the test with the cross toolchain (one global buffer and
one static buffer grown by 1,024 bytes each); the expected sizes come from `nm -S`."""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from firmware_builds import build, nm_sizes
from tarnwick.compare.build_paths import PathMatcher, normalized
from tarnwick.app.cli import main

FORMATS = ["text", "json", "markdown", "html"]
GROWN = {"DMA_RING_WORDS": 768, "FRAME_BUFFER_BYTES": 5120}  # a global and a static, +1,024 B each


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    work = tmp_path_factory.mktemp("ci")
    base = build(work, "out/base")
    pr = build(work, "out/pr", GROWN)
    return work, base, pr


def run(capsys, *args, cwd=None):
    old = os.getcwd()
    if cwd is not None:
        os.chdir(cwd)
    try:
        code = main([str(a) for a in args])
    finally:
        os.chdir(old)
    out, err = capsys.readouterr()
    return code, out, err


def side_without_elf(tmp_path, map_path: Path, name: str) -> Path:
    """A copy of a build's folder without its ELF file (an artifact not kept)."""
    copy = tmp_path / name
    shutil.copytree(map_path.parent, copy)
    (copy / "firmware.elf").unlink()
    return copy / map_path.name


def test_the_sizes_the_builds_are_checked_against(builds):
    _, base, pr = builds
    old, new = nm_sizes(base.with_suffix(".elf")), nm_sizes(pr.with_suffix(".elf"))
    assert new["dma_ring"] - old["dma_ring"] == 1024 and new["frame_buffer"] - old["frame_buffer"] == 1024


# which side lacks its ELF file -> the symbol changes expected: (name, delta, estimated)
ELF_MODES = {
    "both ELFs": [("dma_ring", 1024, False), ("frame_buffer", 1024, False)],
    "baseline without ELF": [("dma_ring", 1024, True)],  # the static is not seen by the baseline's map
    "current without ELF": [("dma_ring", 1024, True)],
    "no ELF": [(".bss.frame_buffer", 1024, True), ("dma_ring", 1024, True)],
}


@pytest.mark.parametrize("form", FORMATS)
@pytest.mark.parametrize("mode", sorted(ELF_MODES))
def test_builds_in_two_folders_show_only_the_real_changes(builds, tmp_path, capsys, mode, form):
    _, base, pr = builds
    old = side_without_elf(tmp_path, base, "old") if mode == "baseline without ELF" else base
    new = side_without_elf(tmp_path, pr, "new") if mode == "current without ELF" else pr
    extra = ["--no-elf"] if mode == "no ELF" else []
    code, out, err = run(capsys, "diff", old, new, "--format", form, *extra)
    assert code == 0 and err == ""
    expected = ELF_MODES[mode]
    if form == "json":
        comparison = json.loads(out)["comparison"]
        assert [(c["name"], c["delta"], c["estimated"]) for c in comparison["symbols"]] == expected
        assert [(Path(c["name"]).name, c["delta"], c["change"]) for c in comparison["objects"]] == [
            ("main.o", 2048, "grown")]
        for level in ("sections", "components", "archives", "objects", "symbols"):
            assert all(c["change"] not in ("added", "removed") for c in comparison[level]), level
        if "without" in mode:
            side = "baseline" if mode.startswith("baseline") else "current build"
            assert any(note.startswith(f"the {side} has no ELF file") for note in comparison["notes"])
    elif form == "html":
        data = json.loads(re.search(r'id="tarnwick-data">(.*?)</script>', out, re.S).group(1))
        changed = sorted((row[1] or row[0], row[6]) for row in data["symbols"] if row[6])
        assert changed == sorted((name, delta) for name, delta, _ in expected)
    else:
        for name, delta, estimated in expected:
            shown = re.escape(name)
            if form == "text":
                assert re.search(rf"symbol +{'~' if estimated else '[^~]'} *\+{delta:,} B +grown +{shown} ", out)
            else:
                assert re.search(rf"\| 🔺 \| \+{delta:,} B{' ~' if estimated else ''} \| `{shown}` \|", out)
        assert "added" not in out.split("Where the bytes go")[0] and "removed" not in out


@pytest.mark.parametrize("form", FORMATS)
@pytest.mark.parametrize("limit, failed", [("CCM=1023", True), ("CCM=1024", False), ("CCM=12.5%", False),
                                           ("CCM=12%", True), ("2048", False), ("2047", True)])
def test_growth_gates_show_in_every_output(builds, capsys, form, limit, failed):
    _, base, pr = builds
    code, out, err = run(capsys, "diff", base, pr, "--fail-on-growth", limit, "--format", form)
    assert code == (1 if failed else 0)
    assert ("policy failed" in err) == failed
    if form == "json":
        document = json.loads(out)
        gate, = document["comparison"]["growth_gates"]
        assert gate["failed"] == failed and gate["growth"] == (1024 if "CCM" in limit else 2048)
        assert gate["region"] == ("CCM" if "CCM" in limit else None) and gate["given"] == limit
        assert document["verdict"]["status"] == ("failed" if failed else "passed")
    elif form == "markdown":
        verdict = out.splitlines()[3]
        assert verdict.startswith("❌ Failed:" if failed else "✅") and ("more than" in verdict) == failed
        assert re.search(r"- (❌ failed|✅ passed): (CCM|flash and RAM) grew by", out).group(1) == (
            "❌ failed" if failed else "✅ passed")
    elif form == "text":
        assert f"Gates: {'FAILED' if failed else 'passed'}" in out
    else:
        assert f"Gates: <span class=\"{'error' if failed else 'passed'}\">{'failed' if failed else 'passed'}" in out


def test_a_budget_fails_the_job_only_when_asked(builds, tmp_path, capsys):
    _, base, pr = builds
    config = tmp_path / "t.toml"
    config.write_text("[budgets.ram]\nCCM = 0.30\n")
    assert run(capsys, "diff", base, pr, "--config", config)[0] == 0  # a warning alone
    code, out, err = run(capsys, "diff", base, pr, "--config", config, "--fail-on-budget", "--format", "json")
    assert code == 1 and "fail_on_budget (budget.CCM)" in err
    assert json.loads(out)["verdict"]["failures"] == ["fail_on_budget (budget.CCM)"]
    config.write_text("[budgets.ram]\nCCM = 0.30\n[policies]\nfail_on_budget = true\n")
    assert run(capsys, "analyze", pr, "--config", config)[0] == 1


def test_a_gate_that_cannot_be_measured_fails_closed(builds, tmp_path, capsys):
    _, base, pr = builds
    stored = tmp_path / "base.json"
    assert run(capsys, "analyze", base, "--format", "json", "--output", stored)[0] == 0
    document = json.loads(stored.read_text())
    del document["trends"]["visualization"]["regions"]
    stored.write_text(json.dumps(document))
    code, out, err = run(capsys, "diff", stored, pr, "--fail-on-growth", "RAM=0", "--format", "json")
    gate, = json.loads(out)["comparison"]["growth_gates"]
    assert code == 1 and gate["failed"] and gate["growth"] is None
    assert "cannot be measured (the baseline holds no used bytes per region)" in err


def test_a_stored_report_on_either_side_gives_the_same_changes(builds, tmp_path, capsys):
    _, base, pr = builds
    stored = tmp_path / "base.json"
    run(capsys, "analyze", base, "--format", "json", "--output", stored)
    outcomes = []
    for old in (base, stored):
        code, out, _ = run(capsys, "diff", old, pr, "--format", "json")
        comparison = json.loads(out)["comparison"]
        outcomes.append((code, [(c["name"], c["delta"]) for c in comparison["symbols"] + comparison["objects"]]))
    assert outcomes[0] == outcomes[1] and len(outcomes[0][1]) == 3


def test_the_elf_is_found_from_any_folder_and_never_another_builds(builds, tmp_path, capsys):
    work, base, _ = builds
    link = work / "named"  # a map named unlike its ELF: only the OUTPUT line leads to it
    mapped = build(work, "named", map_name="link.map", elf_name="image.elf")
    decoy = tmp_path / "elsewhere" / "named"  # where OUTPUT(named/image.elf) leads from another folder
    decoy.mkdir(parents=True)
    shutil.copy(base.with_suffix(".elf"), decoy / "image.elf")
    for cwd in (work, link, tmp_path / "elsewhere", Path("/")):
        code, out, err = run(capsys, "analyze", mapped, "--format", "json", cwd=cwd)
        document = json.loads(out)
        assert code == 0 and err == "" and document["inputs"]["ELF file"] == str(link / "image.elf"), cwd
        assert {s["size_source"] for s in document["symbols"]} == {"elf", "derived"}


def test_an_elf_of_another_link_with_the_same_sections_is_not_joined(builds, tmp_path, capsys):
    work, base, _ = builds
    other = build(work, "reordered", objects_first=("startup.o", "main.o"))  # same sections, symbols moved
    copy = tmp_path / "base"
    shutil.copytree(base.parent, copy)
    shutil.copy(other.with_suffix(".elf"), copy / "firmware.elf")
    code, out, err = run(capsys, "analyze", copy / "firmware.map", "--format", "json")
    assert code == 0 and "is not the output of the link the map describes (symbol" in err
    document = json.loads(out)
    assert "ELF file" not in document["inputs"] and {s["size_source"] for s in document["symbols"]} <= {"derived", "bound"}


@pytest.mark.parametrize("command, victim", [
    ("analyze", "the ELF found beside the map"), ("diff", "the old build's ELF"), ("diff", "the new build's ELF"),
    ("analyze", "the ELF named on the OUTPUT line")])
def test_output_never_overwrites_an_elf_the_run_reads(builds, tmp_path, capsys, command, victim):
    work, base, pr = builds
    if "OUTPUT" in victim:
        mapped = build(work, "output-named", map_name="link.map", elf_name="image.elf")
        args, target = ["analyze", mapped], mapped.parent / "image.elf"
    elif command == "analyze":
        args, target = ["analyze", base], base.with_suffix(".elf")
    else:
        args = ["diff", base, pr]
        target = (base if "old" in victim else pr).with_suffix(".elf")
    before = target.read_bytes()
    code, out, err = run(capsys, *args, "--output", target)
    assert code == 2 and out == "" and "refusing to overwrite an input" in err and err.count("\n") == 1
    assert target.read_bytes() == before


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_during_a_write_leaves_the_old_report_and_no_temporary_file(builds, tmp_path, number):
    """The signal arrives while the new report is written (at its sync to disk, before the
    rename), as when a CI job is cancelled."""
    _, base, pr = builds
    report = tmp_path / "report.json"
    report.write_text("the previous report\n")
    script = ("import os, signal, sys, runpy, tarnwick.support.files as files\n"
              "real = files.os.fsync\n"
              f"def interrupted(fd):\n    os.kill(os.getpid(), {int(number)})\n    real(fd)\n"
              "files.os.fsync = interrupted\n"
              "sys.argv = ['tarnwick'] + sys.argv[1:]\n"
              "runpy.run_module('tarnwick', run_name='__main__')\n")
    result = subprocess.run([sys.executable, "-c", script, "diff", str(base), str(pr), "--format", "json",
                             "--output", str(report)], capture_output=True, text=True, timeout=120)
    assert result.returncode == 128 + number and "Traceback" not in result.stderr
    assert report.read_text() == "the previous report\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["report.json"]


def test_github_actions_gets_annotations_and_the_job_summary(builds, tmp_path, capsys, monkeypatch):
    _, base, pr = builds
    summary = tmp_path / "summary.md"
    summary.write_text("earlier steps\n")
    monkeypatch.setenv("GITHUB_ACTIONS", "true")
    monkeypatch.setenv("GITHUB_STEP_SUMMARY", str(summary))
    code, out, err = run(capsys, "diff", base, pr, "--fail-on-growth", "CCM=100", "--baseline-label", "main@1a2b3c4",
                         "--target", "board 100%")
    assert code == 1
    assert "::error title=tarnwick::CCM grew by 1,024 B, more than --fail-on-growth 100 B\n" in err
    text = summary.read_text()
    assert text.startswith("earlier steps\n<!-- tarnwick target=board%20100%25 -->\n### Memory footprint")
    assert "since `main@1a2b3c4`" in text and "❌ Failed: CCM grew by 1,024 B" in text
    monkeypatch.delenv("GITHUB_ACTIONS")
    code, _, err = run(capsys, "diff", base, pr, "--fail-on-growth", "CCM=100")
    assert "::error" not in err and summary.read_text() == text


@pytest.mark.parametrize("old, new, strip, expected", [
    (["out/base/src/main.o", "out/base/lib/uart.o"], ["out/pr/src/main.o", "out/pr/lib/uart.o"], [],
     {"src/main.o", "lib/uart.o"}),
    (["/builds/ci/out/base/main.o"], ["main.o"], [], {"main.o"}),  # absolute against relative
    (["C:\\work\\base\\drivers\\can.o"], ["/home/ci/pr/drivers/can.o"], [], {"drivers/can.o"}),
    (["D:/a/src/x.o", "D:/a/src/y.o"], ["d:\\b\\src\\x.o", "d:\\b\\src\\y.o"], [], {"src/x.o", "src/y.o"}),
    (["/usr/lib/gcc/crti.o", "b1/main.o"], ["/usr/lib/gcc/crti.o", "b2/main.o"], [], {"/usr/lib/gcc/crti.o", "main.o"}),
    (["one/a.o"], ["two/b.o"], [], {"one/a.o", "two/b.o"}),  # nothing in common: names kept
    (["stage1/x/a.o"], ["stage2/y/b.o"], ["stage1/x", "stage2/y"], {"a.o", "b.o"}),
], ids=["two folders", "absolute and relative", "windows and posix", "drive letters", "toolchain files", "unrelated",
        "given prefixes"])
def test_object_paths_match_across_build_roots(old, new, strip, expected):
    matcher = PathMatcher(old, new, strip)
    names = {matcher.old(p) for p in old} | {matcher.new(p) for p in new}
    assert names == expected


def test_paths_are_written_one_way():
    assert normalized("C:\\work\\.\\out\\\\main.o") == "/work/out/main.o"
    assert normalized("./libfoo.a(bar.o)") == "libfoo.a(bar.o)"


@pytest.mark.parametrize("spelling", [str, Path, lambda p: type("Custom", (os.PathLike,), {"__fspath__": lambda s: str(p)})()],
                         ids=["str", "Path", "PathLike"])
def test_the_python_api_takes_any_path(builds, tmp_path, capsys, spelling):
    from tarnwick.api import analyze, diff

    _, base, pr = builds
    stored = tmp_path / "base.json"
    run(capsys, "analyze", base, "--format", "json", "--output", stored)
    config = tmp_path / "t.toml"
    config.write_text('[project]\nname = "api"\n')
    result = analyze(spelling(pr), config=spelling(config), baseline=spelling(stored), elf=spelling(pr.with_suffix(".elf")))
    assert result.report.metadata.target_name == "api" and result.report.regressions["status"] == "ok"
    assert [(c.name, c.delta) for c in result.comparison.symbols] == [("dma_ring", 1024), ("frame_buffer", 1024)]
    compared = diff(spelling(base), spelling(pr))
    assert [(c.name, c.delta) for c in compared.comparison.symbols] == [("dma_ring", 1024), ("frame_buffer", 1024)]
    assert compared.report.regressions["ram_delta_bytes"] == 2048


@pytest.mark.parametrize("form", FORMATS)
def test_a_region_only_one_build_has_shows_in_every_output(tmp_path, capsys, form):
    example = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps" / "gnu_ld.map"
    renamed = tmp_path / "renamed.map"  # the core-coupled RAM renamed: CCM removed, DTCM added
    renamed.write_text(example.read_text().replace("CCM", "DTCM"))
    code, out, err = run(capsys, "diff", example, renamed, "--no-elf", "--format", form)
    assert code == 0, err
    if form == "json":
        regions = json.loads(out)["comparison"]["regions"]
        assert (regions["CCM"]["change"], regions["DTCM"]["change"]) == ("removed", "added")
        assert (regions["CCM"]["delta"], regions["DTCM"]["delta"]) == (-2048, 2048)
    elif form == "text":
        assert "  CCM: removed (it held 2,048 B)" in out and re.search(r"  DTCM: 25\.0% \(.*\) added", out)
    elif form == "markdown":
        assert "| `CCM` | – | – | – | removed (-2,048 B) |" in out and "+2,048 B (+25.0 pts) (added) |" in out
    else:
        assert '<tr class="region removed"><td>CCM</td>' in out and "removed (-2,048 B)" in out


def test_folded_list_titles_are_html_not_markdown(tmp_path, capsys):
    example = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps" / "gnu_ld.map"
    renamed = tmp_path / "renamed.map"
    renamed.write_text(example.read_text().replace("CCM", "SRAM_D<1>"))
    code, out, _ = run(capsys, "analyze", renamed, "--no-elf", "--format", "markdown")
    assert "<details><summary>Where the bytes go in SRAM_D&lt;1&gt; (" in out and "SRAM\\_D" not in out


@pytest.mark.parametrize("top, accepted", [("0", True), ("100000", True), ("100001", False), ("-1", False),
                                           ("99999999999999999999999", False), ("ten", False)])
def test_top_takes_zero_to_a_hundred_thousand(capsys, top, accepted):
    example = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps" / "gnu_ld.map"
    code, out, err = run(capsys, "analyze", example, "--top", top)
    assert (code == 0) == accepted
    if not accepted:
        assert code == 2 and out == "" and "from 0 to 100,000" in err and err.count("\n") == 1
