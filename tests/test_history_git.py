"""The history of a real repository: the example firmware in git, 30 commits made by the test
(some growing RAM, CCM or flash by known amounts, a branch merged back, one commit never
recorded), each built from its own work tree with the Arm cross toolchain and recorded with
what git says of it, into a SQLite file and into a PostgreSQL database. The truth is what
`ld --print-memory-usage` printed for each build: the trend must be its figures (and the
analyses run one by one), and blame must name exactly the commits whose region grew against
their first parent, with the linker's amounts."""

from __future__ import annotations

import html
import json
import os
import re
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from datetime import datetime, timezone
from pathlib import Path

import pytest

from firmware_builds import need_arm_gcc
from history_servers import postgresql_server  # noqa: F401  (a fixture)
from tarnwick.app.cli import main

ROOT = Path(__file__).resolve().parent.parent
FIRMWARE = ROOT / "examples" / "firmware"
CFLAGS = ["-mcpu=cortex-m4", "-mthumb", "-Os", "-ffunction-sections", "-fdata-sections", "-g"]
IMU = """#include <stdint.h>
#include "imu.h"

uint8_t imu_fifo[IMU_FIFO_BYTES];
static const uint8_t imu_registers[64] = {0x0f, 0x10, 0x11, 0x12, 0x20, 0x21, 0x22, 0x23};

uint32_t imu_read(uint32_t channel) {
    imu_fifo[channel % IMU_FIFO_BYTES] = imu_registers[channel % 64];
    return imu_fifo[(channel + 1) % IMU_FIFO_BYTES];
}
"""
TRAILER = "Footprint-Accepted: RAM: the IMU needs its FIFO"


def _state(**changes) -> dict:
    return {"frame": 4096, "ring": 512, "imu": None, "filter_words": 0, "note": 0, **changes}


def _write_tree(tree: Path, state: dict) -> None:
    main_c = (FIRMWARE / "src" / "main.c").read_text()
    main_c = main_c.replace("#define FRAME_BUFFER_BYTES 4096", f"#define FRAME_BUFFER_BYTES {state['frame']}")
    main_c = main_c.replace("#define DMA_RING_WORDS 512", f"#define DMA_RING_WORDS {state['ring']}")
    if state["imu"]:
        main_c = main_c.replace('#include "../lib/sensor.h"', '#include "../lib/sensor.h"\n#include "../drivers/imu.h"')
        main_c = main_c.replace("    sensor_init();\n", "    sensor_init();\n    boot_count += imu_read(3);\n")
        (tree / "drivers").mkdir(exist_ok=True)
        (tree / "drivers" / "imu.h").write_text(f"#include <stdint.h>\n#define IMU_FIFO_BYTES {state['imu']}\n"
                                                "uint32_t imu_read(uint32_t channel);\n")
        (tree / "drivers" / "imu.c").write_text(IMU)
    main_c += f"/* revision {state['note']} */\n"
    (tree / "src" / "main.c").write_text(main_c)
    filter_c = (FIRMWARE / "lib" / "filter.c").read_text()
    if state["filter_words"]:
        filter_c = filter_c.replace("uint32_t filter_history[16];",
                                    f"uint32_t filter_history[16];\nuint32_t filter_state[{state['filter_words']}];")
        filter_c = filter_c.replace("filter_history[i % 16] = (uint32_t)acc;",
                                    f"filter_history[i % 16] = (uint32_t)acc;\n        "
                                    f"filter_state[i % {state['filter_words']}] = (uint32_t)acc;")
    (tree / "lib" / "filter.c").write_text(filter_c)


# (name, branch, the state's changes, designed growth {region: bytes}); in order made
PLAN = [("Initial firmware", "main", {}, {}), ("Describe the sensor node", "main", {"note": 1}, {}),
        ("A larger frame buffer", "main", {"frame": 4608}, {"RAM": 512}),
        ("Say the revision", "main", {"note": 2}, {}),
        ("A longer DMA ring", "main", {"ring": 640}, {"CCM": 512}),
        ("Tidy the loop", "main", {"note": 3}, {}),
        ("Read the IMU", "main", {"imu": 1024}, {"RAM": 1024}),
        ("A smaller frame buffer", "main", {"frame": 4352}, {"RAM": -256}),
        ("Note the release", "main", {"note": 4}, {}),
        ("Release 1", "main", {"note": 5}, {}),
        ("A frame buffer never recorded", "main", {"frame": 4608}, {"RAM": 256}),
        ("After the gap", "main", {"note": 6}, {}),
        ("Before the branch", "main", {"note": 7}, {}),
        ("Filter state", "feature", {"filter_words": 32}, {"RAM": 128}),
        ("More filter state", "feature", {"filter_words": 48}, {"RAM": 64}),
        ("Meanwhile on main", "main", {"note": 8}, {}),
        ("A shorter DMA ring", "main", {"ring": 576}, {"CCM": -256}),
        ("Merge the filter", "merge", {}, {"RAM": 192})]
PLAN += [(f"Revision {n}", "main", {"note": 10 + n}, {}) for n in range(1, 9)]
PLAN += [("The IMU's FIFO doubled", "main", {"imu": 2048}, {"RAM": 1024}),
         ("Revision 9", "main", {"note": 30}, {}), ("A last frame buffer", "main", {"frame": 5120}, {"RAM": 512}),
         ("Revision 10", "main", {"note": 31}, {})]
NOT_RECORDED = "A frame buffer never recorded"


def _git(repo: Path, *args, when: int = 0) -> str:
    stamp = f"{1_700_000_000 + when * 3600} +0000"
    environment = {**os.environ, "GIT_AUTHOR_DATE": stamp, "GIT_COMMITTER_DATE": stamp, "GIT_AUTHOR_NAME": "dev",
                   "GIT_AUTHOR_EMAIL": "dev@localhost", "GIT_COMMITTER_NAME": "dev", "GIT_COMMITTER_EMAIL": "dev@localhost"}
    environment.pop("LD_PRELOAD", None)
    return subprocess.run(["git", *args], cwd=repo, check=True, capture_output=True, text=True,
                          env=environment).stdout.strip()


def _make_repository(repo: Path) -> list:
    """The repository, commit by commit: [(sha, subject, branch, designed growth)]."""
    repo.mkdir()
    for part in ("src", "lib"):
        shutil.copytree(FIRMWARE / part, repo / part)
    shutil.copy(FIRMWARE / "firmware.ld", repo)
    shutil.copy(FIRMWARE / "tarnwick.toml", repo)
    (repo / ".gitignore").write_text("out/\n")
    _git(repo, "init", "-q", "-b", "main")
    states = {"main": _state(), "feature": None}
    made, on = [], "main"
    for when, (subject, branch, changes, growth) in enumerate(PLAN):
        if branch == "feature" and states["feature"] is None:
            _git(repo, "checkout", "-q", "-b", "feature")
            states["feature"], on = dict(states["main"]), "feature"
        if branch == "merge":
            _git(repo, "checkout", "-q", "main")
            on = "main"
            merged = {**states["main"], "filter_words": states["feature"]["filter_words"]}
            _git(repo, "merge", "-q", "--no-ff", "--no-commit", "feature", when=when)
            _write_tree(repo, merged)
            _git(repo, "add", "-A")
            _git(repo, "commit", "-q", "-m", subject, when=when)
            states["main"] = merged
            made.append((_git(repo, "rev-parse", "HEAD"), subject, "main", growth))
            continue
        if branch != on:
            _git(repo, "checkout", "-q", branch)
            on = branch
        states[branch] = {**states[branch], **changes}
        _write_tree(repo, states[branch])
        _git(repo, "add", "-A")
        message = subject + (f"\n\n{TRAILER}" if subject == "Read the IMU" else "")
        _git(repo, "commit", "-q", "-m", message, when=when)
        made.append((_git(repo, "rev-parse", "HEAD"), subject, branch, growth))
        if subject == "Release 1":
            _git(repo, "tag", "v1")
    return made


def _build(tree: Path) -> dict:
    """Builds a commit from its own work tree (`tree`); ld's figures {region: used bytes}."""
    gcc = need_arm_gcc()
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}

    def run(*args) -> str:
        return subprocess.run(args, cwd=tree, check=True, capture_output=True, text=True, env=environment,
                              timeout=120).stdout

    objects = []
    for source in sorted(p.relative_to(tree) for p in tree.rglob("*.c")):
        target = Path("..") / "objects" / source.with_suffix(".o")
        (tree / target).parent.mkdir(parents=True, exist_ok=True)
        run(gcc, *CFLAGS, "-c", str(source), "-o", str(target))
        objects.append(str(target))
    usage = run(gcc, *CFLAGS, "-nostartfiles", "-T", "firmware.ld", "-Wl,--gc-sections", "-Wl,--print-memory-usage",
                "-Wl,-Map=../firmware.map", *objects, "-o", "../firmware.elf")
    figures = {}
    for line in usage.splitlines():
        found = re.match(r"\s*(\w+):\s+(\d+)\s*(B|KB|MB|GB)\s", line)
        if found:
            figures[found[1]] = int(found[2]) * {"B": 1, "KB": 1024, "MB": 1 << 20, "GB": 1 << 30}[found[3]]
    return figures


@pytest.fixture(scope="module")
def history(tmp_path_factory):
    need_arm_gcc()
    work = tmp_path_factory.mktemp("history-git")
    repo = work / "repo"
    made = _make_repository(repo)
    trees = []
    for index, (sha, *_) in enumerate(made):  # one at a time: git locks the repository to add one
        trees.append(work / f"build-{index}" / "tree")
        _git(repo, "worktree", "add", "-q", "--detach", str(trees[-1]), sha)
    with ThreadPoolExecutor(2) as pool:
        figures = list(pool.map(_build, trees))
    return repo, work, made, figures


@pytest.fixture(scope="module", params=["sqlite", "postgresql"])
def recorded(request, history):
    """Every commit but one recorded, in the order made, with what git says of each."""
    repo, work, made, _ = history
    store = str(work / "history.sqlite") if request.param == "sqlite" else \
        request.getfixturevalue("postgresql_server").new_database()
    here = os.getcwd()
    os.chdir(repo)
    try:
        for index, (sha, subject, branch, _) in enumerate(made):
            if subject == NOT_RECORDED:
                continue
            code = main(["history", "record", str(work / f"build-{index}" / "firmware.map"), "--commit", sha,
                         "--branch", branch, "--store", store])
            assert code == 0
    finally:
        os.chdir(here)
    return store


def ask(capsys, repo: Path, *args) -> dict:
    here = os.getcwd()
    os.chdir(repo)
    try:
        code = main(["history", *map(str, args), "--format", "json"])
    finally:
        os.chdir(here)
    out, err = capsys.readouterr()
    assert code == 0, err
    return json.loads(out)


def _chain(repo: Path, head: str) -> list:
    return _git(repo, "rev-list", "--first-parent", "--reverse", head).split()


def test_the_builds_grew_as_designed(history):
    """The plan's growth is what the linker says (else the rest would test a wrong plan)."""
    _, _, made, figures = history
    parent_of = {sha: index for index, (sha, *_) in enumerate(made)}
    repo = history[0]
    for index, (sha, _, _, growth) in enumerate(made[1:], 1):
        first_parent = _git(repo, "rev-parse", f"{sha}^1")
        before = figures[parent_of[first_parent]]
        for region in ("RAM", "CCM"):
            assert figures[index][region] - before[region] == growth.get(region, 0), (made[index][1], region)


def test_the_trend_is_the_linker_figures_and_the_analyses_one_by_one(capsys, history, recorded):
    repo, work, made, figures = history
    index_of = {sha: index for index, (sha, *_) in enumerate(made)}
    shown = ask(capsys, repo, "show", "--store", recorded, "--branch", "main")["builds"]
    assert [b["commit"] for b in shown] == _chain(repo, "main")
    for build in shown:
        index = index_of[build["commit"]]
        if made[index][1] == NOT_RECORDED:
            assert build["regions"] is None and build["measured"] is False
            continue
        assert build["regions"] == figures[index], made[index][1]
        assert build["branch"] == "main" and build["target"] == "sensor-node"
        assert build["parent"] == (_git(repo, "rev-parse", f"{build['commit']}^1") if index else None)
        assert build["time"] == datetime.fromtimestamp(1_700_000_000 + index * 3600, timezone.utc).isoformat()
    analysed = {}
    for index in (0, 6, 17, len(made) - 1):
        main(["analyze", str(work / f"build-{index}" / "firmware.map"), "--format", "json"])
        report = json.loads(capsys.readouterr()[0])
        analysed[made[index][0]] = {r["name"]: r["used_bytes"] for r in report["trends"]["visualization"]["regions"]}
    assert all(next(b for b in shown if b["commit"] == sha)["regions"] == used for sha, used in analysed.items())
    after_gap = next(b for b in shown if b["subject"] == "After the gap")
    assert after_gap["measured"] and after_gap["deltas"] is None  # its parent was never measured
    imu = next(b for b in shown if b["subject"] == "Read the IMU")
    assert imu["waivers"] == [{"region": "RAM", "reason": "the IMU needs its FIFO", "source": f"commit {imu['commit'][:12]}"}]
    feature = ask(capsys, repo, "show", "--store", recorded, "--branch", "feature")["builds"]
    assert [b["commit"] for b in feature] == _chain(repo, "feature")


@pytest.mark.parametrize("region", ["RAM", "CCM", "FLASH"])
@pytest.mark.parametrize("since", [None, "v1"])
def test_blame_names_exactly_the_commits_that_grew_with_the_linker_amounts(capsys, history, recorded, region, since):
    repo, _, made, figures = history
    index_of = {sha: index for index, (sha, *_) in enumerate(made)}
    chain = _chain(repo, "main")
    start = chain.index(_git(repo, "rev-parse", "v1^{commit}")) if since else 0
    expected, unmeasured = [], []
    for earlier, later in zip(chain[start:], chain[start + 1:]):
        if NOT_RECORDED in (made[index_of[later]][1], made[index_of[earlier]][1]):
            if made[index_of[later]][1] != NOT_RECORDED:
                unmeasured.append(later)
            continue
        delta = figures[index_of[later]][region] - figures[index_of[earlier]][region]
        if delta > 0:
            expected.append((later, delta))
    found = ask(capsys, repo, "blame", region, "--store", recorded, "--branch", "main", "--top", "100",
                *(["--since", since] if since else []))
    assert sorted((c["commit"], c["delta_bytes"]) for c in found["commits"]) == sorted(expected)
    deltas = [c["delta_bytes"] for c in found["commits"]]
    assert deltas == sorted(deltas, reverse=True)
    assert [u["commit"] for u in found["unmeasured"]] == unmeasured
    assert all("was not recorded" in u["reason"] for u in found["unmeasured"])
    assert found["targets"][0]["total_delta_bytes"] == figures[index_of[chain[-1]]][region] - figures[index_of[chain[start]]][region]
    if region == "RAM" and since is None:
        grew = {c["subject"]: {(g["kind"], g["name"]): g["delta_bytes"] for g in c["grew"]} for c in found["commits"]}
        assert grew["A larger frame buffer"][("symbol", "frame_buffer")] == 512
        assert grew["A larger frame buffer"][("folder", "src")] == 512
        assert grew["Read the IMU"][("symbol", "imu_fifo")] == 1024 and grew["Read the IMU"][("folder", "drivers")] >= 1024
        assert grew["Merge the filter"][("symbol", "filter_state")] == 192  # the branch's growth is the merge's
        objects = {name for kind, name in grew["Read the IMU"] if kind == "object"}
        assert any(name.endswith("imu.o") for name in objects)
        assert not any(kind == "symbol" and name == "imu_registers" for kind, name in grew["Read the IMU"])  # flash only


def test_two_recorded_commits_compare_as_diff_compares_their_maps(capsys, history, recorded):
    repo, work, made, _ = history
    old, new = 2, len(made) - 2
    stored = ask(capsys, repo, "compare", made[old][0][:10], made[new][0], "--store", recorded)["comparison"]
    main(["diff", str(work / f"build-{old}" / "firmware.map"), str(work / f"build-{new}" / "firmware.map"),
          "--format", "json"])
    direct = json.loads(capsys.readouterr()[0])["comparison"]
    for level in ("regions", "sections", "objects", "symbols", "archives", "folders", "files"):
        rows = [direct[level], stored[level]]
        rows = [sorted((c["name"], c.get("object_file"), c["delta"]) for c in (r.values() if isinstance(r, dict) else r))
                for r in rows]
        assert rows[0] == rows[1], level


def _in(repo: Path, capsys, *args, commit: str = "main") -> tuple:
    """The command run in the repository with `commit` checked out."""
    _git(repo, "checkout", "-q", "--detach", commit)
    here = os.getcwd()
    os.chdir(repo)
    try:
        code = main([str(a) for a in args])
    finally:
        os.chdir(here)
        _git(repo, "checkout", "-q", "main")
    out, err = capsys.readouterr()
    return code, out, err


def test_the_pull_request_comment_has_a_sparkline_per_region(capsys, history, recorded):
    repo, work, made, figures = history
    index_of = {sha: index for index, (sha, *_) in enumerate(made)}
    code, out, err = _in(repo, capsys, "diff", work / "build-26" / "firmware.map", work / "build-29" / "firmware.map",
                         "--format", "markdown", "--store", recorded)
    assert code == 0, err
    window = _chain(repo, "main")[-21:]  # the last 20 measured builds: the unrecorded commit among them
    assert made[index_of[window[0]]][1] != NOT_RECORDED and sum(made[index_of[c]][1] == NOT_RECORDED for c in window) == 1
    assert "**Trend** over the last 20 builds of `main`, then this build:" in out
    for region in ("FLASH", "RAM", "CCM"):
        line = next(line for line in out.splitlines() if line.startswith(f"- `{region}` "))
        values = [None if made[index_of[c]][1] == NOT_RECORDED else figures[index_of[c]][region] for c in window]
        found = re.fullmatch(rf"- `{region}` ([▁-█ ]{{{len(values)}}}) ([▁-█]) (.*)", line)
        assert found, line
        recorded_bars = found[1]
        for bar, value in zip(recorded_bars, values):
            assert (bar == " ") == (value is None)
        known = [(bar, value) for bar, value in zip(recorded_bars, values) if value is not None]
        for bar_a, value_a in known:
            for bar_b, value_b in known:
                if value_a < value_b:
                    assert bar_a <= bar_b  # the blocks are in the order of their heights
        everything = [v for v in values if v is not None] + [figures[29][region]]
        if min(everything) != max(everything):
            assert {bar for bar, value in known if value == max(everything)} <= {"█"}
            assert {bar for bar, value in known if value == min(everything)} <= {"▁"}
        assert line.endswith(f"{figures[29][region]:,} B (±0 B since the last)")


def test_the_html_report_draws_each_region_with_its_largest_growers_marked(capsys, history, recorded):
    repo, work, made, figures = history
    index_of = {sha: index for index, (sha, *_) in enumerate(made)}
    code, out, err = _in(repo, capsys, "analyze", work / "build-29" / "firmware.map", "--format", "html",
                         "--store", recorded, "--config", repo / "tarnwick.toml")
    assert code == 0, err
    window = _chain(repo, "main")[-21:]
    measured = [c for c in window if made[index_of[c]][1] != NOT_RECORDED]
    charts = dict(re.findall(r'<svg class="trend" data-region="(\w+)"(.*?)</svg>', out))
    assert set(charts) == {"FLASH", "RAM", "CCM"}
    for region, chart in charts.items():
        points = re.findall(r'<circle class="([a-z ]+)"[^>]*><title>([0-9a-f]{12}|this build) ([^<]*)</title>', chart)
        assert len(points) == len(measured) + 1 and points[-1][0] == "point current"
        assert chart.count('<g class="gap">') == 1
        deltas = {}
        for earlier, later in zip(window, window[1:]):
            if NOT_RECORDED not in (made[index_of[earlier]][1], made[index_of[later]][1]):
                deltas[later[:12]] = figures[index_of[later]][region] - figures[index_of[earlier]][region]
        growing = sorted((d for d in deltas.values() if d > 0), reverse=True)
        marked = [(commit, text) for kind, commit, text in points if kind == "point grower"]
        assert sorted((deltas[commit] for commit, _ in marked), reverse=True) == growing[:3]
        for commit, text in marked:
            subject = made[index_of[next(c for c in window if c.startswith(commit))]][1]
            assert html.unescape(text).startswith(f"{subject}: ") and f"(+{deltas[commit]:,} B)" in text


@pytest.mark.parametrize("checked_out, waiver, code, said", [
    ("Read the IMU", [], 0, "accepted (commit "),  # its Footprint-Accepted: trailer
    ("Tidy the loop", [], 1, "policy failed: RAM grew by 1,024 B"),
    ("Tidy the loop", ["--accept-growth", "RAM: reviewed in the design meeting"], 0, "accepted (--accept-growth)"),
    ("Tidy the loop", ["--accept-growth", "*: every growth"], 0, "accepted (--accept-growth): every growth"),
    ("Tidy the loop", ["--accept-growth", "CCM: not this one"], 1, "policy failed"),
    ("Tidy the loop", ["--accept-growth", "RMA: a typo"], 2, "--accept-growth RMA: names no region of the build (closest: RAM)"),
    ("Tidy the loop", ["--accept-growth", "no reason"], 2, "is not REGION: REASON"),
])
def test_a_waiver_turns_a_failed_growth_gate_into_a_warning(capsys, history, checked_out, waiver, code, said):
    repo, work, made, _ = history
    sha = next(sha for sha, subject, *_ in made if subject == checked_out)
    found, out, err = _in(repo, capsys, "diff", work / "build-5" / "firmware.map", work / "build-6" / "firmware.map",
                          "--fail-on-growth", "RAM=512", *waiver, "--format", "json", commit=sha)
    assert found == code and said in err, err
    if code == 0:
        gate, = json.loads(out)["comparison"]["growth_gates"]
        assert not gate["failed"] and gate["accepted"] and gate["growth"] == 1024
        assert json.loads(out)["verdict"]["status"] == "passed"
