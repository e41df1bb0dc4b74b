"""The command used carelessly or with hostile files: nothing the user had is lost, every exit
code tells the truth, figures compare what the reports hold, and no name from the input can
break a line, reach the terminal as an escape sequence, or add markup to a comment."""

import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tarnwick.app.cli import main
from tarnwick.app.signals import Terminated, interrupted_status

FIRMWARE = Path(__file__).resolve().parent.parent / "examples" / "firmware"
MAP = FIRMWARE / "maps" / "gnu_ld.map"
OVERFLOW_MAP = FIRMWARE / "maps" / "gnu_ld_ram_overflow.map"
CONFIG = FIRMWARE / "tarnwick.toml"
FORMATS = ["text", "json", "markdown", "html"]


def run(capsys, *args):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def command(*args, **options):
    return subprocess.run([sys.executable, "-m", "tarnwick", *map(str, args)], capture_output=True,
                          text=True, timeout=120, **options)


def one_line(err: str) -> str:
    assert err.endswith("\n") and err.count("\n") == 1 and "Traceback" not in err, err
    return err


def standard_json(text: str):
    def refuse(name):
        raise ValueError(f"{name} in the output")
    return json.loads(text, parse_constant=refuse)


@pytest.fixture
def baseline(tmp_path, capsys):
    path = tmp_path / "baseline.json"
    assert run(capsys, "analyze", MAP, "--config", CONFIG, "--format", "json", "--output", path)[0] == 0
    return path


# --- nothing lost ----------------------------------------------------------------------------

def test_a_write_that_fails_part_way_leaves_the_old_report_whole(tmp_path, baseline):
    """A file-size limit makes the write fail after some bytes, as a full disk would."""
    old = baseline.read_bytes()
    limit = ("import resource, signal, runpy, sys; signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
             "resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096)); "
             "sys.argv = ['tarnwick'] + sys.argv[1:]; runpy.run_module('tarnwick', run_name='__main__')")
    result = subprocess.run([sys.executable, "-c", limit, "analyze", str(OVERFLOW_MAP), "--config", str(CONFIG),
                             "--format", "json", "--output", str(baseline)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 2
    assert "too large" in one_line(result.stderr) and "nothing was written" in result.stderr
    assert baseline.read_bytes() == old
    assert sorted(p.name for p in tmp_path.iterdir()) == ["baseline.json"]  # no temporary left


def test_the_report_replaces_the_file_only_when_complete(tmp_path, capsys, baseline):
    os.chmod(baseline, 0o640)
    link = tmp_path / "latest.json"
    link.symlink_to(baseline.name)
    code, _, _ = run(capsys, "analyze", OVERFLOW_MAP, "--config", CONFIG, "--format", "json", "--output", link)
    assert code == 1 and link.is_symlink()  # the link stays a link; the file it names is replaced
    assert standard_json(baseline.read_text())["summary"]["total_ram"] > 20_000
    assert baseline.stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("role", ["map", "configuration", "baseline"])
@pytest.mark.parametrize("spelling", ["same", "dot", "hard link", "symbolic link"])
def test_output_never_overwrites_an_input(tmp_path, capsys, role, spelling):
    files = {"map": tmp_path / "fw.map", "configuration": tmp_path / "t.toml",
             "baseline": tmp_path / "base.json"}
    files["map"].write_bytes(MAP.read_bytes())
    files["configuration"].write_bytes(CONFIG.read_bytes())
    assert run(capsys, "analyze", files["map"], "--format", "json", "--output", files["baseline"])[0] == 0
    victim = files[role]
    before = victim.read_bytes()
    output = {"same": victim, "dot": tmp_path / "." / victim.name}.get(spelling)
    if spelling == "hard link":
        output = tmp_path / "other-name"
        os.link(victim, output)
    elif spelling == "symbolic link":
        output = tmp_path / "pointer"
        output.symlink_to(victim)
    code, out, err = run(capsys, "analyze", files["map"], "--config", files["configuration"],
                         "--baseline", files["baseline"], "--output", output)
    assert code == 2 and f"is the {role}" in one_line(err) and "refusing" in err
    assert victim.read_bytes() == before


@pytest.mark.parametrize("to_file", [True, False], ids=["--output", "stdout"])
def test_a_full_disk_is_bad_output_not_an_internal_error(to_file):
    if not os.path.exists("/dev/full"):
        pytest.skip("no /dev/full")
    if to_file:
        result = command("analyze", MAP, "--output", "/dev/full")
    else:
        with open("/dev/full", "w") as full:
            result = subprocess.run([sys.executable, "-m", "tarnwick", "analyze", str(MAP)], stdout=full,
                                    stderr=subprocess.PIPE, text=True, timeout=120)
    assert result.returncode == 2
    assert "no space left on the device" in one_line(result.stderr)


# --- honest exit codes: baselines that cannot serve --------------------------------------------

def _report(baseline, raw_token=None, **summary):
    """The baseline with summary members replaced; `raw_token` replaces the value "@" as it
    stands in the text (NaN, 1e400), which a JSON encoder would not write."""
    document = json.loads(baseline.read_text())
    document["summary"].update(summary)
    return json.dumps(document).replace('"@"', raw_token or '"@"')


def _member(baseline, path: str, value) -> str:
    """The baseline with one member (a dotted path; a number picks a list entry) replaced."""
    document = json.loads(baseline.read_text())
    *outer, last = path.split(".")
    holder = document
    for key in outer:
        holder = holder[int(key)] if key.isdigit() else holder[key]
    holder[int(last) if last.isdigit() else last] = value
    return json.dumps(document)


def _nested(depth: int) -> str:
    return '{"summary": ' + "[" * depth + "]" * depth + "}"


BAD_BASELINES = {
    # Each interpreter decodes JSON to a depth of its own: 3.11 stops before 1,000 levels, 3.12
    # before 1,500, 3.13 before 10,000. What it decodes is then no report; nothing decodes 100,000.
    "very deep nesting": (lambda b: _nested(100_000), "nested too deeply"),    "symbols a number": (lambda b: _member(b, "symbols", 1), "symbols is not a list"),
    "sections of numbers": (lambda b: _member(b, "sections", [1, 2]), "sections[0] is not an object"),
    "inputs a string": (lambda b: _member(b, "sections.0.inputs", "x"), "sections[0].inputs is not a list"),
    "components an object": (lambda b: _member(b, "components", {}), "components is not a list"),
    "trends a list": (lambda b: _member(b, "trends", []), "trends is not an object"),
    "region rows of text": (lambda b: _member(b, "trends.visualization.regions", ["RAM"]),
                            "trends.visualization.regions is not a list of objects"),
    "deep nesting": (lambda b: _nested(1000),
                     "nested too deeply" if sys.version_info < (3, 12) else "not a tarnwick report"),
    "NaN total": (lambda b: _report(b, "NaN", total_flash="@"), "not standard JSON"),
    "Infinity total": (lambda b: _report(b, "Infinity", total_ram="@"), "not standard JSON"),
    "1e400 total": (lambda b: _report(b, "1e400", total_flash="@"), "not a byte count"),
    "400-digit ratio": (lambda b: _report(b, "9" * 400, utilization_by_region={"RAM": "@"}),
                        "not a finite number"),
    "NaN ratio": (lambda b: _report(b, "NaN", utilization_by_region={"RAM": "@"}), "not standard JSON"),
    "array": (lambda b: "[1, 2]", "not a tarnwick report"),
    "number": (lambda b: "42", "not a tarnwick report"),
    "string": (lambda b: '"report"', "not a tarnwick report"),
    "null": (lambda b: "null", "not a tarnwick report"),
    "empty object": (lambda b: "{}", "not a tarnwick report"),
    "no summary": (lambda b: json.dumps({k: v for k, v in json.loads(b.read_text()).items() if k != "summary"}),
                   "no summary"),
    "other schema": (lambda b: b.read_text().replace('"schema_version": "1.0"', '"schema_version": "7.3"'),
                     "schema '7.3'"),
    "not JSON": (lambda b: "{not json", "not valid JSON"),
    "not UTF-8": (lambda b: b'{"a": "\xff"}'.decode("latin-1"), "not UTF-8"),
}


@pytest.mark.parametrize("fmt", FORMATS)
@pytest.mark.parametrize("case", sorted(BAD_BASELINES))
def test_a_baseline_that_cannot_serve_is_a_warning(tmp_path, capsys, baseline, case, fmt):
    make, reason = BAD_BASELINES[case]
    content = make(baseline)
    bad = tmp_path / "bad.json"
    bad.write_bytes(content.encode("latin-1") if case == "not UTF-8" else content.encode())
    code, out, err = run(capsys, "analyze", MAP, "--config", CONFIG, "--baseline", bad, "--format", fmt)
    assert code == 0
    assert reason in one_line(err) and "compared with nothing" in err
    if fmt == "json":
        document = standard_json(out)
        assert document["regressions"]["status"] == "baseline_unreadable" and "comparison" not in document


@pytest.mark.parametrize("make, reason", [
    (lambda t: t / ("x" * 5000 + ".json"), "file name is too long"),
    (lambda t: (os.symlink("loop", t / "loop"), t / "loop")[1], "symbolic link loop"),
    (lambda t: (os.mkfifo(t / "fifo.json"), t / "fifo.json")[1], "not a regular file (a FIFO)"),
    (lambda t: t, "not a regular file (a directory)"),
], ids=["long name", "symlink loop", "fifo", "directory"])
def test_baseline_paths_that_cannot_serve(tmp_path, capsys, make, reason):
    code, _, err = run(capsys, "analyze", MAP, "--baseline", make(tmp_path))
    assert code == 0 and reason in one_line(err)


def test_a_huge_baseline_is_not_read(tmp_path, capsys):
    huge = tmp_path / "huge.json"
    with open(huge, "wb") as handle:
        handle.truncate(500 * 1000 * 1000)
    start = time.monotonic()
    code, _, err = run(capsys, "analyze", MAP, "--baseline", huge)
    assert code == 0 and "more than the" in one_line(err) and time.monotonic() - start < 30


def test_missing_baseline_still_says_so(tmp_path, capsys):
    code, _, err = run(capsys, "analyze", MAP, "--baseline", tmp_path / "absent.json")
    assert code == 0 and "baseline_missing" in one_line(err)


def test_json_output_is_always_standard(tmp_path, capsys, baseline):
    code, out, _ = run(capsys, "analyze", OVERFLOW_MAP, "--config", CONFIG, "--baseline", baseline,
                       "--format", "json")
    assert code == 1 and standard_json(out)["regressions"]["status"] == "ok"


# --- the configuration gets the same file checks --------------------------------------------

@pytest.mark.parametrize("make, reason", [
    (lambda t: (os.mkfifo(t / "fifo.toml"), t / "fifo.toml")[1], "not a regular file (a FIFO)"),
    (lambda t: Path("/dev/zero"), "not a regular file (a character device)"),
    (lambda t: (t / "deep.toml").write_text("x = " + "[" * 5000 + "]" * 5000) and t / "deep.toml",
     "nested too deeply"),
    (lambda t: (os.symlink("loop.toml", t / "loop.toml"), t / "loop.toml")[1], "symbolic link loop"),
], ids=["fifo", "dev-zero", "deep", "loop"])
def test_configuration_files_that_cannot_serve(tmp_path, make, reason):
    result = command("analyze", MAP, "--config", make(tmp_path))
    assert result.returncode == 2 and reason in one_line(result.stderr)


def test_configuration_with_a_byte_order_mark(tmp_path, capsys):
    config = tmp_path / "bom.toml"
    config.write_bytes(b"\xef\xbb\xbf" + CONFIG.read_bytes())
    code, out, _ = run(capsys, "analyze", MAP, "--config", config)
    assert code == 0 and "sensor-node" in out


def test_map_symlink_loop_says_what_it_is(tmp_path, capsys):
    (tmp_path / "fw.map").symlink_to("fw.map")
    code, _, err = run(capsys, "analyze", tmp_path / "fw.map")
    assert code == 2 and "symbolic link loop" in one_line(err)


# What the console script does, telling the test when the command's first instruction is next.
LAUNCHER = ("import sys; from tarnwick.app.entry import entry_point; sys.argv = ['tarnwick'] + sys.argv[1:]; "
            "sys.stdout.write('started\\n'); sys.stdout.flush(); entry_point()")


@pytest.mark.parametrize("delay", [0.0, 0.005, 0.02, 0.05, 0.1, 0.2, 0.4])
def test_ctrl_c_at_any_moment_is_a_clean_130(delay):
    """From the command's first instruction on, also while its modules load. (Before that the
    interpreter itself is starting, and what a Ctrl-C does then is the interpreter's.)"""
    child = subprocess.Popen([sys.executable, "-c", LAUNCHER, "analyze", str(MAP)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "started\n"
    time.sleep(delay)
    child.send_signal(signal.SIGINT)
    _, err = child.communicate(timeout=60)
    # -SIGINT: the signal came as the interpreter was shutting down, after the command's end
    assert child.returncode in (130, 0, -signal.SIGINT), err
    # a signal that lands in the launcher's own line, as it calls the command, is not the command's
    launcher = 'Traceback (most recent call last):\n  File "<string>", line 1, in <module>\nKeyboardInterrupt\n'
    assert err in ("", launcher), err


# --- figures compare what the reports hold ----------------------------------------------------

def test_region_change_is_in_bytes_not_ratio_times_size(tmp_path, capsys, baseline):
    bigger = tmp_path / "bigger.map"
    bigger.write_text(MAP.read_text().replace("RAM              0x20000000         0x00005000",
                                              "RAM              0x20000000         0x0000a000"))
    for fmt, expected in [("text", "RAM: 18.3% (-18.3 pts, ±0 B)"), ("markdown", "| ±0 B (-18.3 pts) |")]:
        code, out, _ = run(capsys, "analyze", bigger, "--config", CONFIG, "--baseline", baseline, "--format", fmt)
        assert expected in out
    code, out, _ = run(capsys, "analyze", bigger, "--config", CONFIG, "--baseline", baseline, "--format", "json")
    assert standard_json(out)["comparison"]["regions"]["RAM"] == {
        "name": "RAM", "baseline": 7504, "current": 7504, "delta": 0, "change": "unchanged", "estimated": False}


def test_a_baseline_without_region_bytes_is_not_given_invented_ones(tmp_path, capsys, baseline):
    document = json.loads(baseline.read_text())
    del document["trends"]["visualization"]["regions"]
    old = tmp_path / "old.json"
    old.write_text(json.dumps(document))
    code, out, _ = run(capsys, "analyze", OVERFLOW_MAP, "--config", CONFIG, "--baseline", old)
    assert "RAM: 136.6% (+100.0 pts)" in out and "no used bytes per region" in out


@pytest.mark.parametrize("command_", ["analyze", "diff"])
def test_budgets_naming_no_region_are_bad_input(tmp_path, capsys, command_):
    """A typo in a budget would leave that check unmade while the job passes: the run stops."""
    config = tmp_path / "t.toml"
    config.write_text("[budgets.ram]\nram = 0.5\n[policies]\npartition_max_bytes = { FLAHS = 100 }\n")
    builds = [MAP] if command_ == "analyze" else [MAP, MAP]
    code, out, err = run(capsys, command_, *builds, "--config", config)
    assert code == 2 and out == ""
    line = one_line(err)
    assert "budgets.ram.ram names no region of this map (closest: RAM)" in line
    assert "policies.partition_max_bytes.FLAHS names no region of this map (closest: FLASH)" in line


def test_budgets_of_another_target_are_kept_apart(tmp_path, capsys):
    """One configuration for two boards: each board's budgets under its own target name."""
    config = tmp_path / "t.toml"
    config.write_text('[project]\nname = "board-a"\n[budgets.ram]\nRAM = 0.99\n'
                      '[targets.board-b.budgets.ram]\nSRAM2 = 0.5\n'
                      '[targets.board-a.budgets.ram]\nRAM = 0.01\n[targets.board-a.policies]\nfail_on_budget = true\n')
    code, out, err = run(capsys, "analyze", MAP, "--config", config)
    assert code == 1 and "budget.RAM" in out and "fail_on_budget (budget.RAM)" in err
    code, out, err = run(capsys, "analyze", MAP, "--config", config, "--target", "board-c")
    assert code == 0 and "budget.RAM" not in out and err == ""
    code, _, err = run(capsys, "analyze", MAP, "--config", config, "--target", "board-b")
    assert code == 2 and "budgets.ram.SRAM2 names no region" in one_line(err)


# --- unsafe text --------------------------------------------------------------------------

def test_file_names_with_newlines_and_escapes_stay_on_one_line(tmp_path, capsys):
    code, _, err = run(capsys, "analyze", tmp_path / "a\nb\x1b[31m.map")
    assert code == 2 and "a\\nb\\x1b[31m.map: no such file" in one_line(err) and "\x1b" not in err


HOSTILE_NAME = "![x](http://evil.example/p.png)<img src=x>\x1b[2J"


@pytest.mark.parametrize("fmt", ["text", "markdown", "html"])
def test_hostile_names_reach_no_output_raw(tmp_path, capsys, fmt):
    text = MAP.read_text().replace("RAM              0x20000000", "RAM" + HOSTILE_NAME + " 0x20000000")
    hostile = tmp_path / "hostile.map"
    hostile.write_text(text)
    config = tmp_path / "t.toml"
    config.write_text('[project]\nname = "p![y](https://evil.example/)"\n')
    code, out, err = run(capsys, "analyze", hostile, "--config", config, "--target", "t\x1b]0;title\x07",
                         "--format", fmt)
    assert "\x1b" not in out and "\x07" not in out
    if fmt == "markdown":
        import re
        outside_code = re.sub(r"(`+).*?\1", "", out)
        assert "![" not in outside_code and "<img" not in outside_code and "](" not in outside_code
        assert "http://" not in outside_code and "https://" not in outside_code
    if fmt == "html":
        assert "<img" not in out


@pytest.mark.parametrize("wrapped, status", [
    (lambda: RuntimeError("Error calling __set_name__"), None),
    (lambda: _caused(RuntimeError("Error calling __set_name__"), KeyboardInterrupt()), 130),
    (lambda: _caused(ImportError("while importing"), _caused(ValueError("x"), Terminated(signal.SIGTERM))),
     128 + signal.SIGTERM),
])
def test_an_interrupt_the_interpreter_wrapped_is_still_an_interrupt(wrapped, status):
    assert interrupted_status(wrapped()) == status


def _caused(error: BaseException, cause: BaseException) -> BaseException:
    error.__cause__ = cause
    return error
