"""The build history's store on both engines, a SQLite file and a real PostgreSQL server: what is
recorded reads back as `diff` reads the builds themselves, re-recording replaces (or keeps),
a newer schema is refused, JSON Lines go out and back in unchanged, the dashboard formats parse
with their own parsers, several processes recording at once lose nothing, and a record killed
while it writes leaves the store as it was. The builds are the example firmware's maps and a
synthesised large map."""

from __future__ import annotations

import json
import os
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest

from history_servers import postgresql_server, store_location  # noqa: F401  (fixtures)
from tarnwick.app.cli import main

ROOT = Path(__file__).resolve().parent.parent
MAPS = ROOT / "examples" / "firmware" / "maps"
CONFIG = ROOT / "examples" / "firmware" / "tarnwick.toml"
SMALL, OVERFLOW, LLD = MAPS / "gnu_ld.map", MAPS / "gnu_ld_ram_overflow.map", MAPS / "llvm_lld.map"


def run(capsys, *args):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def record(capsys, store, build, commit, *more):
    code, out, err = run(capsys, "history", "record", build, "--store", store, "--config", CONFIG,
                         "--commit", commit, *more)
    assert code == 0, err
    return out


def as_json(capsys, *args) -> dict:
    """The JSON a command prints; its exit code may be a failed gate's (an overflowing build)."""
    code, out, err = run(capsys, *args, "--format", "json")
    assert code in (0, 1) and out, err
    return json.loads(out)


def levels(comparison: dict) -> dict:
    """A comparison at every level, as (name, object, before, after) rows."""
    rows = {"regions": sorted((n, c["baseline"], c["current"]) for n, c in comparison["regions"].items())}
    for level in ("sections", "components", "archives", "objects", "symbols", "files", "folders"):
        rows[level] = sorted((c["name"], c.get("object_file"), c["baseline"], c["current"], c["estimated"])
                             for c in comparison[level])
    return rows


@pytest.mark.parametrize("old, new", [(SMALL, OVERFLOW), (OVERFLOW, SMALL), (SMALL, LLD)])
def test_recorded_builds_compare_as_diff_compares_the_builds(capsys, store_location, old, new):
    record(capsys, store_location, old, "a" * 40)
    record(capsys, store_location, new, "b" * 40, "--parent", "a" * 40)
    stored = as_json(capsys, "history", "compare", "a" * 40, "b" * 40, "--store", store_location)
    direct = as_json(capsys, "diff", old, new, "--config", CONFIG)
    assert levels(stored["comparison"]) == levels(direct["comparison"])
    assert stored["comparison"]["ram_delta_bytes"] == direct["comparison"]["ram_delta_bytes"]
    shown = as_json(capsys, "history", "show", "--store", store_location)["builds"]
    analysed = [{r["name"]: r["used_bytes"] for r in as_json(capsys, "analyze", path, "--config", CONFIG)
                 ["trends"]["visualization"]["regions"]} for path in (old, new)]
    assert [b["regions"] for b in shown] == analysed
    assert [b["commit"] for b in shown] == ["a" * 40, "b" * 40] and shown[1]["parent"] == "a" * 40


def test_recording_a_commit_again_replaces_it_or_keeps_both(capsys, store_location):
    first, second = "1" * 40, "2" * 40
    record(capsys, store_location, SMALL, first)
    record(capsys, store_location, SMALL, second, "--parent", first)  # kept as changes against the first
    record(capsys, store_location, OVERFLOW, first)  # the first replaced: the second must still read back
    lines = _export(capsys, store_location)
    assert [line["commit"] for line in lines] == [second, first]
    compared = as_json(capsys, "history", "compare", first, second, "--store", store_location)["comparison"]
    assert levels(compared) == levels(as_json(capsys, "diff", OVERFLOW, SMALL, "--config", CONFIG)["comparison"])
    record(capsys, store_location, SMALL, first, "--keep")
    assert [line["commit"] for line in _export(capsys, store_location)] == [second, first, first]
    shown = as_json(capsys, "history", "show", "--store", store_location)["builds"]
    assert [b["commit"] for b in shown] == [first, second]  # one point per commit: its latest build
    assert shown[0]["regions"]["RAM"] == 7504 and shown[1]["deltas"]["RAM"] == 0


def _export(capsys, store, *more) -> list:
    code, out, err = run(capsys, "history", "export", "--store", store, *more)
    assert code == 0, err
    return [json.loads(line) for line in out.splitlines() if json.loads(line)["kind"] == "build"]


def _set_schema_version(location: str, version: int) -> None:
    if location.startswith("postgresql://"):
        import psycopg

        with psycopg.connect(location, autocommit=True) as connection:
            connection.execute("UPDATE tarnwick_schema SET version = %s", (version,))
    else:
        with sqlite3.connect(location) as connection:
            connection.execute("UPDATE tarnwick_schema SET version = ?", (version,))


@pytest.mark.parametrize("command", [["show"], ["blame", "RAM"], ["export"], ["record", str(SMALL), "--commit", "c" * 40]])
def test_a_store_of_a_newer_schema_is_refused_in_one_line(capsys, store_location, command):
    record(capsys, store_location, SMALL, "a" * 40)
    _set_schema_version(store_location, 7)
    code, out, err = run(capsys, "history", *command, "--store", store_location)
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and "schema (version 7) is newer than this tarnwick's (1)" in err
    _set_schema_version(store_location, 1)
    assert len(_export(capsys, store_location)) == 1  # refused, not touched


@pytest.mark.parametrize("problem, said", [
    ("missing", "no such store"), ("folder", "not a store (a directory)"), ("garbage", "not a SQLite database"),
    ("bad url", "postgresql://nobody@"), ("unknown region", "no region 'RMA'")])
def test_a_store_that_cannot_serve_is_bad_input(capsys, tmp_path, problem, said):
    store = tmp_path / "history.sqlite"
    if problem == "folder":
        store.mkdir()
    elif problem == "garbage":
        store.write_bytes(b"not a database at all" * 100)
    elif problem == "unknown region":
        record(capsys, store, SMALL, "a" * 40)
    elif problem == "bad url":
        store = f"postgresql://nobody@/none?host={tmp_path}/no-socket"
    command = ["blame", "RMA"] if problem == "unknown region" else ["show"]
    code, out, err = run(capsys, "history", *command, "--store", store)
    assert code == 2 and out == "" and err.count("\n") == 1 and said in err, err


def test_json_lines_go_out_and_back_in_unchanged(capsys, tmp_path, postgresql_server):
    source = str(tmp_path / "source.sqlite")
    commits = [f"{n:040x}" for n in range(1, 6)]
    builds = [SMALL, OVERFLOW, SMALL, LLD, SMALL]
    for index, (commit, path) in enumerate(zip(commits, builds)):
        record(capsys, source, path, commit, *(["--parent", commits[index - 1]] if index else []),
               "--branch", "main", "--label", f"build {index}")
    code, exported, _ = run(capsys, "history", "export", "--store", source)
    lines = tmp_path / "history.jsonl"
    lines.write_text(exported)
    assert sum(1 for line in exported.splitlines() if '"changes"' in line) == 4  # kept as changes, not whole
    for target in (str(tmp_path / "copy.sqlite"), postgresql_server.new_database()):
        for _ in range(2):  # importing again replaces, never doubles
            assert run(capsys, "history", "import", lines, "--store", target)[0] == 0
        for question in (["show"], ["blame", "RAM"], ["compare", commits[0], commits[3]]):
            answers = [as_json(capsys, "history", *question, "--store", store) for store in (target, source)]
            for answer in answers:  # a build's id is its store's own
                for side in ("old", "new"):
                    answer.get(side, {}).pop("id", None)
            assert answers[0] == answers[1]
        assert len(_export(capsys, target)) == 5


@pytest.mark.parametrize("damage, said", [
    ('{"kind": "build"}', "not a line of a tarnwick history export"),
    ("not json", "not JSON"),
    ('{"tarnwick_history": 1, "kind": "build", "id": 9, "base": 3, "changes": []}', "base build 3 is not on a line before it"),
])
def test_a_damaged_export_imports_nothing(capsys, tmp_path, damage, said):
    source, target = tmp_path / "a.sqlite", tmp_path / "b.sqlite"
    record(capsys, source, SMALL, "a" * 40)
    _, exported, _ = run(capsys, "history", "export", "--store", source)
    lines = tmp_path / "history.jsonl"
    lines.write_text(exported + damage + "\n")
    code, out, err = run(capsys, "history", "import", lines, "--store", target)
    assert code == 2 and f"history.jsonl:{exported.count(chr(10)) + 1}: " in err and said in err
    assert sqlite3.connect(target).execute("SELECT count(*) FROM tarnwick_builds").fetchone() == (0,)


def test_openmetrics_and_influx_lines_carry_every_region_of_every_build(capsys, tmp_path):
    parser = pytest.importorskip("prometheus_client.openmetrics.parser")
    store = tmp_path / "h.sqlite"
    record(capsys, store, SMALL, "a" * 40, "--branch", "main", "--time", "1700000000", "--target", 'board "rev b"')
    record(capsys, store, OVERFLOW, "b" * 40, "--parent", "a" * 40, "--branch", "main", "--time", "1700000600",
           "--target", 'board "rev b"')
    _, text, _ = run(capsys, "history", "export", "--store", store, "--format", "openmetrics")
    families = {f.name: f for f in parser.text_string_to_metric_families(text)}
    used = families["tarnwick_region_used_bytes"]
    assert used.unit == "bytes" and used.type == "gauge"
    seen = {(s.labels["commit"], s.labels["region"]): (s.value, s.timestamp.sec) for s in used.samples}
    assert seen[("b" * 40, "RAM")] == (27984, 1700000600) and seen[("a" * 40, "FLASH")] == (1292, 1700000000)
    assert {s.labels["target"] for s in used.samples} == {'board "rev b"'} and len(seen) == 6
    _, lines, _ = run(capsys, "history", "export", "--store", store, "--format", "influx")
    points = [_influx_point(line) for line in lines.splitlines()]
    assert len(points) == 6 and all(p[0] == "tarnwick_region" for p in points)
    ram = next(p for p in points if p[1]["region"] == "RAM" and p[2]["commit"] == "b" * 40)
    assert ram[1]["target"] == 'board "rev b"' and ram[2]["used"] == 27984 and ram[2]["size"] == 20480
    assert ram[3] == 1700000600 * 10**9


def _influx_point(line: str) -> tuple:
    """(measurement, tags, fields, time) of a line of the InfluxDB line protocol, read by its
    grammar: unescaped spaces split the three parts; commas the tags and fields."""
    parts, current, escaped, quoted = [], "", False, False
    for character in line:
        if escaped:
            current += character
            escaped = False
        elif character == "\\":
            escaped = True
        elif character == '"':
            quoted = not quoted
            current += character
        elif character == " " and not quoted:
            parts.append(current)
            current = ""
        else:
            current += "\0" if character == "," and not quoted else "\1" if character == "=" and not quoted else character
    parts.append(current)
    assert len(parts) == 3, line
    measurement, *tags = parts[0].split("\0")
    fields = {}
    for item in parts[1].split("\0"):
        key, value = item.split("\1")
        fields[key] = int(value[:-1]) if value.endswith("i") else json.loads(value)
    return measurement, dict(tag.split("\1") for tag in tags), fields, int(parts[2])


def _recorder(store: str, build: Path, commit: str, parent: str) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-m", "tarnwick", "history", "record", str(build), "--store", store,
                             "--commit", commit, "--parent", parent, "--config", str(CONFIG)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=ROOT)


def test_several_processes_recording_at_once_lose_nothing(capsys, store_location):
    root = "0" * 40
    record(capsys, store_location, SMALL, root)
    commits = [f"{n:040x}" for n in range(1, 7)]
    # six builds, and the same commit recorded by three jobs at once (the same build: whichever
    # comes last replaces the others)
    overflowing = {commit: n % 2 == 0 for n, commit in enumerate(commits)}
    jobs = [_recorder(store_location, OVERFLOW if overflowing[commit] else SMALL, commit, root) for commit in commits]
    jobs += [_recorder(store_location, OVERFLOW, commits[0], root) for _ in range(2)]
    for job in jobs:
        _, err = job.communicate(timeout=240)
        assert job.returncode == 0, err.decode()
    lines = _export(capsys, store_location)
    assert sorted(line["commit"] for line in lines) == sorted([root, *commits])
    for line in lines:
        expected = 27984 if overflowing.get(line["commit"]) else 7504
        assert line["regions"]["RAM"]["used"] == expected
        compared = as_json(capsys, "history", "compare", root, line["commit"], "--store", store_location)
        assert compared["comparison"]["regions"]["RAM"]["delta"] == expected - 7504


@pytest.fixture(scope="module")
def large_maps(tmp_path_factory):
    """Two synthesised maps of 20,000 functions, the second a little grown: a record of either
    writes for long enough to be killed while it does."""
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        import synth_map
    finally:
        sys.path.remove(str(ROOT / "bench"))
    folder = tmp_path_factory.mktemp("large")
    paths = []
    for seed in (7, 8):
        path = folder / f"large-{seed}.map"
        path.write_text(synth_map.gnu_ld_map(20_000, seed=seed))
        paths.append(path)
    return paths


def _holds_the_write_lock(location: str) -> bool:
    if location.startswith("postgresql://"):
        import psycopg

        with psycopg.connect(location, autocommit=True) as connection:
            return connection.execute("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted "
                                      "AND pid <> pg_backend_pid()").fetchone()[0] > 0
    connection = sqlite3.connect(location, timeout=0, isolation_level=None)
    try:
        connection.execute("BEGIN IMMEDIATE")
        connection.execute("ROLLBACK")
        return False
    except sqlite3.OperationalError:
        return True
    finally:
        connection.close()


def _store_contents(capsys, location: str) -> str:
    code, out, err = run(capsys, "history", "export", "--store", location)
    assert code == 0, err
    return out


@pytest.mark.parametrize("how", [signal.SIGKILL, signal.SIGTERM])
def test_a_record_killed_while_it_writes_leaves_the_store_as_it_was(capsys, store_location, large_maps, how):
    record(capsys, store_location, large_maps[0], "a" * 40, "--no-elf")
    before = _store_contents(capsys, store_location)
    job = subprocess.Popen([sys.executable, "-m", "tarnwick", "history", "record", str(large_maps[1]), "--store",
                            store_location, "--commit", "b" * 40, "--parent", "a" * 40, "--no-elf"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while job.poll() is None and not _holds_the_write_lock(store_location) and time.monotonic() < deadline:
        time.sleep(0.002)
    assert job.poll() is None, "the record ended before it was seen writing"
    os.kill(job.pid, how)
    _, err = job.communicate(timeout=60)
    assert job.returncode in (-signal.SIGKILL, 128 + signal.SIGTERM), err.decode()
    assert _store_contents(capsys, store_location) == before
    if not store_location.startswith("postgresql://"):
        assert sqlite3.connect(store_location).execute("PRAGMA integrity_check").fetchone() == ("ok",)
    record(capsys, store_location, large_maps[1], "b" * 40, "--parent", "a" * 40, "--no-elf")  # and it still serves
    assert [line["commit"] for line in _export(capsys, store_location)] == ["a" * 40, "b" * 40]


@pytest.mark.parametrize("arguments, said", [
    ([], "not inside a git work tree (or git is missing): give --commit"),
    (["--commit", "a" * 40, "--time", "yesterday"], "--time 'yesterday' is neither ISO 8601 nor seconds"),
    (["--commit", "a" * 40, "--accept-growth", "RMA: a typo"], "--accept-growth RMA: names no region of the build (closest: RAM)"),
    (["--commit", "a" * 40, "--stack-usage", "no-such-folder"], "--stack-usage no-such-folder: not a folder"),
])
def test_a_record_that_cannot_be_made_writes_nothing(capsys, tmp_path, monkeypatch, arguments, said):
    monkeypatch.chdir(tmp_path)  # no git work tree here
    monkeypatch.setenv("GIT_CEILING_DIRECTORIES", str(tmp_path.parent))
    code, out, err = run(capsys, "history", "record", SMALL, "--config", CONFIG, "--store", tmp_path / "h.sqlite",
                         *arguments)
    assert code == 2 and out == "" and err.count("\n") == 1 and said in err, err
    assert not (tmp_path / "h.sqlite").exists()


def test_a_stored_report_is_recorded_with_its_verdict_and_the_growth_accepted(capsys, tmp_path):
    store, report = tmp_path / "h.sqlite", tmp_path / "diff.json"
    code, _, _ = run(capsys, "diff", SMALL, OVERFLOW, "--config", CONFIG, "--fail-on-growth", "RAM=1024",
                     "--format", "json", "--output", report)
    assert code == 1  # RAM overflows, and grew past the limit
    record(capsys, store, SMALL, "a" * 40)
    record(capsys, store, report, "b" * 40, "--parent", "a" * 40)
    record(capsys, store, report, "c" * 40, "--parent", "b" * 40, "--accept-growth", "RAM: the frame buffer is sized")
    shown = {b["commit"][0]: b for b in as_json(capsys, "history", "show", "--store", store)["builds"]}
    assert shown["b"]["status"] == "failed" and shown["b"]["waivers"] == []
    assert shown["c"]["waivers"] == [{"region": "RAM", "reason": "the frame buffer is sized", "source": "--accept-growth"}]
    assert shown["c"]["status"] == "failed"  # the overflow still fails; only the growth is accepted
    lines = {line["commit"][0]: line for line in _export(capsys, store)}
    gate, = lines["c"]["details"]["verdict"]["growth_gates"]
    assert not gate["failed"] and gate["accepted"] == "the frame buffer is sized" and gate["growth"] == 20480
    assert lines["c"]["details"]["verdict"]["failures"] == ["fail_on_overflow (overflow.RAM)"]
    assert lines["b"]["regions"] == lines["c"]["regions"] and lines["b"]["regions"]["RAM"]["used"] == 27984
