import json
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from tarnwick.app.cli import main

FIRMWARE = Path(__file__).resolve().parent.parent / "examples" / "firmware"
MAPS = FIRMWARE / "maps"
CONFIG = FIRMWARE / "tarnwick.toml"


def run(capsys, *args):
    code = main([str(a) for a in args])
    out, err = capsys.readouterr()
    return code, out, err


def test_text_report_and_success(capsys):
    code, out, err = run(capsys, "analyze", MAPS / "gnu_ld.map", "--config", CONFIG)
    assert code == 0 and err == ""
    region_table = out.split("Totals:")[0]
    rows = {line.split()[0]: line for line in region_table.splitlines() if line[:1].isupper()}
    assert "7,504 B" in rows["RAM"] and "36.6%" in rows["RAM"] and "[#########" in rows["RAM"]
    assert "1,292 B" in rows["FLASH"] and "128.0 KiB" in rows["FLASH"]
    assert "WARNING budget.RAM: Region RAM uses 36.6%, above its budget of 30.0%." in out


def test_overflow_fails_the_policy_and_baseline_deltas_show(capsys, tmp_path):
    baseline = tmp_path / "base.json"
    assert run(capsys, "analyze", MAPS / "gnu_ld.map", "--config", CONFIG, "--format", "json",
               "--output", baseline)[0] == 0
    code, out, err = run(capsys, "analyze", MAPS / "gnu_ld_ram_overflow.map", "--config", CONFIG,
                         "--baseline", baseline)
    assert code == 1 and err == "tarnwick: policy failed: fail_on_overflow (overflow.RAM)\n"
    assert "ERROR   overflow.RAM: Region RAM exceeds capacity by 7504 bytes." in out
    assert f"Baseline {baseline}: flash ±0 B, RAM +20,480 B" in out
    assert "RAM: 136.6% (+100.0 pts, +20,480 B)" in out


def test_json_report_is_the_next_baseline(capsys, tmp_path):
    code, out, _ = run(capsys, "analyze", MAPS / "llvm_lld.map", "--config", CONFIG, "--format", "json")
    document = json.loads(out)
    assert document["metadata"]["schema_version"] == "1.0"
    assert document["metadata"]["toolchain_detected"] == "llvm_lld"
    assert document["issues"][0]["severity"] == "warning" and isinstance(document["issues"][0]["affected_entities"], list)
    path = tmp_path / "report.json"
    path.write_text(out)
    _, again, _ = run(capsys, "analyze", MAPS / "llvm_lld.map", "--config", CONFIG, "--format", "json",
                      "--baseline", path)
    regressions = json.loads(again)["regressions"]
    assert regressions["status"] == "ok"
    assert (regressions["flash_delta_bytes"], regressions["ram_delta_bytes"]) == (0, 0)
    assert {entry["delta"] for entry in regressions["regions"].values()} == {0.0}


def test_markdown_block(capsys, tmp_path):
    baseline = tmp_path / "base.json"
    run(capsys, "analyze", MAPS / "gnu_ld.map", "--config", CONFIG, "--format", "json", "--output", baseline)
    code, out, _ = run(capsys, "analyze", MAPS / "gnu_ld_ram_overflow.map", "--config", CONFIG,
                       "--baseline", baseline, "--format", "markdown")
    assert code == 1
    assert "| Region | Used | Size | Use | Budget | Change |" in out
    assert "| `RAM` | 27,984 B | 20.0 KiB | 136.6% **overflow** | **above** 30.0% | +20,480 B (+100.0 pts) |" in out
    assert "- ❌ error `overflow.RAM` \\(fails fail\\_on\\_overflow\\): Region RAM exceeds capacity by 7504 bytes." in out


def test_reserved_range_violation_fails_its_policy(capsys, tmp_path):
    config = tmp_path / "t.toml"
    config.write_text('[[reserved_ranges]]\nname = "bootloader"\nstart = 0x08000000\nlength = 0x100\n')
    code, out, err = run(capsys, "analyze", MAPS / "gnu_ld.map", "--config", config)
    assert code == 1 and "fail_on_reserved_region_violation" in err
    assert "reserved.bootloader..isr_vector" in out
    config.write_text(config.read_text() + "[policies]\nfail_on_reserved_region_violation = false\n")
    assert run(capsys, "analyze", MAPS / "gnu_ld.map", "--config", config)[0] == 0


@pytest.mark.parametrize("make_args, message", [
    (lambda t: ["analyze", t / "missing.map"], "missing.map: no such file"),
    (lambda t: ["analyze", CONFIG], "tarnwick.toml:1: not a map tarnwick reads"),
    (lambda t: ["analyze", MAPS / "gnu_ld.map", "--config", t / "absent.toml"], "absent.toml: no such file"),
    (lambda t: ["analyze", MAPS / "gnu_ld.map", "--config", t / "bad.toml"], "bad.toml: budgets.flash.FLASH: must be from 0 to 1"),
    (lambda t: ["analyze", MAPS / "gnu_ld.map", "--format", "pdf"], "invalid choice: 'pdf'"),
    (lambda t: ["analyze"], "the following arguments are required: map"),
    (lambda t: ["analyze", MAPS / "gnu_ld.map", "--output", t / "no" / "dir" / "r.txt"], "r.txt: no such file; nothing was written"),
])
def test_bad_input_exits_2_with_one_line(capsys, tmp_path, make_args, message):
    (tmp_path / "bad.toml").write_text("[budgets.flash]\nFLASH = 2\n")
    code, out, err = run(capsys, *make_args(tmp_path))
    assert code == 2
    assert err.startswith("tarnwick: error: ") and message in err
    assert len(err.strip().splitlines()) == 1 and "Traceback" not in err


def test_unreadable_baseline_is_a_warning(capsys, tmp_path):
    bad = tmp_path / "broken.json"
    bad.write_bytes(b"{not json")
    code, out, err = run(capsys, "analyze", MAPS / "gnu_ld.map", "--config", CONFIG, "--baseline", bad)
    assert code == 0
    assert err.startswith(f"tarnwick: warning: baseline {bad}: baseline_unreadable: not valid JSON: Expecting property name")
    assert "baseline_unreadable" in out


def test_config_is_found_in_the_working_folder(capsys, tmp_path, monkeypatch):
    shutil.copy(CONFIG, tmp_path / "tarnwick.toml")
    monkeypatch.chdir(tmp_path)
    _, out, _ = run(capsys, "analyze", MAPS / "gnu_ld.map")
    assert "sensor-node" in out.splitlines()[0]


def test_html_is_self_contained(capsys):
    code, out, _ = run(capsys, "analyze", MAPS / "gnu_ld.map", "--config", CONFIG, "--format", "html")
    assert out.startswith("<!DOCTYPE html>") and out.rstrip().endswith("</html>")
    for forbidden in ("src=", "href=", "http://", "https://", "@import", "url(", "fetch(", "XMLHttpRequest"):
        assert forbidden not in out
    assert re.findall(r"<script[^>]*>", out) == ['<script type="application/json" id="tarnwick-data">', "<script>"]
    assert out.count('class="region-bar"') == 3 and '<svg class="sankey"' in out


def test_html_escapes_names_from_the_map(tmp_path, capsys):
    text = (MAPS / "gnu_ld.map").read_text().replace("RAM              0x20000000", "<b>RAM</b>       0x20000000")
    hostile = tmp_path / "hostile.map"
    hostile.write_text(text)
    _, out, _ = run(capsys, "analyze", hostile, "--format", "html")
    assert "<b>RAM</b>" not in out and "&lt;b&gt;RAM&lt;/b&gt;" in out


@pytest.mark.parametrize("command", [[sys.executable, "-m", "tarnwick"], ["tarnwick"]])
def test_command_entry_points(command):
    if command[0] == "tarnwick" and shutil.which("tarnwick") is None:
        pytest.skip("console script not on PATH")
    result = subprocess.run(command + ["analyze", str(MAPS / "gnu_ld_ram_overflow.map"), "--config", str(CONFIG)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 1 and "overflow.RAM" in result.stdout


def test_target_name_overrides_the_project(capsys):
    code, out, _ = run(capsys, "analyze", MAPS / "gnu_ld.map", "--config", CONFIG, "--target", "rev-b",
                       "--format", "json")
    assert json.loads(out)["metadata"]["target_name"] == "rev-b"


BUILD = ["NormalizedBuildModel", "AnalysisReport"]


@pytest.mark.parametrize("command, expected", [
    (["analyze", MAPS / "gnu_ld.map"], BUILD),
    (["diff", MAPS / "gnu_ld_ram_overflow.map", MAPS / "gnu_ld.map"], BUILD),  # the earlier build only as its tables
    (["analyze", MAPS / "gnu_ld.map", "--baseline", FIRMWARE / "baseline.json"], ["Baseline", *BUILD]),
    (["analyze", MAPS / "missing.map"], [])])
def test_a_python_caller_gets_its_collector_back_and_the_builds_it_asks_to_keep(capsys, command, expected):
    import gc
    kept: list = []
    assert gc.isenabled()
    main([str(a) for a in command], kept=kept)
    capsys.readouterr()
    assert gc.isenabled()
    assert [type(k).__name__ for k in kept] == expected


def test_markdown_of_a_map_without_regions_has_no_empty_table(capsys):
    code, out, _ = run(capsys, "analyze", Path(__file__).resolve().parent / "conformance" / "maps" / "x86-mold.map",
                       "--format", "markdown")
    assert code == 0 and "| Region |" not in out
    assert "\n\nNo memory regions; flash 511 B, RAM 6,264 B.\n\n" in out


@pytest.mark.parametrize("columns", [None, "", "40", "200", "0", "-3", "wide"])
@pytest.mark.parametrize("lines", [None, "0", "30"])
@pytest.mark.parametrize("stdout", ["pipe", "terminal", "closed"])
def test_help_width_is_what_shutil_would_give(monkeypatch, columns, lines, stdout):
    import fcntl
    import os
    import pty
    import struct
    import termios

    from tarnwick.app.cli import terminal_columns

    for name, value in (("COLUMNS", columns), ("LINES", lines)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    if stdout == "terminal":
        leader, follower = pty.openpty()
        fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 33, 117, 0, 0))
        stream = os.fdopen(follower, "w")
        os.close(leader)
    else:
        read_end, write_end = os.pipe()
        stream = os.fdopen(write_end, "w")
        os.close(read_end)
        if stdout == "closed":
            stream.close()
    monkeypatch.setattr(sys, "__stdout__", stream)
    try:
        assert terminal_columns() == shutil.get_terminal_size().columns
    finally:
        if not stream.closed:
            stream.close()
