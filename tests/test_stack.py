"""The worst-case stack against a firmware built here with `-fstack-usage -fcallgraph-info=su`
(tests/stack_firmware), whose call chains are known by construction: the worst cases are the
sums of the frames the compiler wrote along those chains, the unbounded ones say why, and the
link with a tight stack is a finding where the roomy one is not."""

import json
import re
import shutil
from pathlib import Path

import pytest

from firmware_builds import build_with_script
from tarnwick.app.cli import main

FIRMWARE = Path(__file__).resolve().parent / "stack_firmware"
EXCEPTION_FRAME = 32


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    return build_with_script(FIRMWARE / "build.sh", tmp_path_factory.mktemp("stack")) / "build"


def frames(folder: Path) -> dict:
    """(unit, function) -> frame, as the compiler's .su files state them."""
    found = {}
    for su in folder.glob("*.su"):
        for line in su.read_text().splitlines():
            where, size, _qualifier = line.split("\t")
            found[(su.stem, where.rsplit(":", 1)[1])] = int(size)
    return found


def run(capsys, *arguments) -> tuple:
    code = main(["analyze", *map(str, arguments)])
    out, err = capsys.readouterr()
    return code, out, err


def stack_of(capsys, build, link="roomy", *extra) -> dict:
    code, out, err = run(capsys, build / f"{link}.map", "--stack-usage", build, "--format", "json", *extra)
    assert code in (0, 1), err
    return json.loads(out)


def test_worst_cases_are_the_sums_of_the_frames_along_the_chains(build, capsys):
    f = frames(build)
    proto_chain = f[("proto", "lib_checksum")] + f[("proto", "scratch")]
    reset = f[("startup", "Reset_Handler")] + f[("app", "main")] + max(
        f[("app", "parse_command")] + proto_chain, f[("app", "scratch")])
    systick = f[("app", "SysTick_Handler")] + f[("app", "tick_update")] + f[("app", "scratch")]
    uart = f[("app", "UART_IRQHandler")] + proto_chain
    stack = stack_of(capsys, build)["stack"]
    entries = {e["name"]: e for e in stack["entry_points"]}
    assert {name: (e["kind"], e["worst_case"], e["bounded"]) for name, e in entries.items()} == {
        "Reset_Handler": ("reset", reset, True), "SysTick_Handler": ("interrupt", systick, True),
        "UART_IRQHandler": ("interrupt", uart, True), "Default_Handler": ("interrupt", 0, True)}
    assert entries["Reset_Handler"]["path"] == ["Reset_Handler", "main", "parse_command", "lib_checksum", "scratch"]
    assert stack["worst_case"] == reset + max(systick, uart) + EXCEPTION_FRAME and stack["bounded"]
    assert stack["reservation"]["bytes"] == 0x800 and stack["verdict"]["status"] == "fits"


def test_statics_of_one_name_in_two_units_stay_apart_and_archive_members_are_found(build, capsys):
    f = frames(build)
    functions = {(fn["name"], fn["object_file"]): fn["frame"] for fn in stack_of(capsys, build)["stack"]["functions"]}
    assert functions[("scratch", "app.o")] == f[("app", "scratch")]
    assert functions[("scratch", "libproto.a(proto.o)")] == f[("proto", "scratch")]
    assert f[("app", "scratch")] != f[("proto", "scratch")]  # the test tells them apart


def test_what_is_not_bounded_says_why(build, capsys, tmp_path):
    config = tmp_path / "tarnwick.toml"
    config.write_text('[stack]\nthreads = ["worker_thread"]\n')
    stack = stack_of(capsys, build, "roomy", "--config", config)["stack"]
    functions = {fn["name"]: fn for fn in stack["functions"] if fn["object_file"] == "app.o"}
    assert functions["walk_tree"]["bounded"] is False
    assert functions["walk_tree"]["reason"] == "walk_tree is recursive (walk_tree → walk_tree)"
    worker = functions["worker_thread"]
    assert worker["bounded"] is False and re.fullmatch(
        r"worker_thread calls through a pointer at .*app\.c:48:\d+|walk_tree is recursive .*", worker["reason"])
    thread = next(e for e in stack["entry_points"] if e["name"] == "worker_thread")
    assert thread["kind"] == "thread" and thread["bounded"] is False
    f = frames(build)
    assert worker["worst_case"] >= f[("app", "worker_thread")] + f[("app", "walk_tree")]  # a lower bound
    assert stack["verdict"]["status"] == "fits"  # a thread runs on a stack of its own


def test_a_tight_stack_is_a_finding_in_every_output_and_fails_the_policy(build, capsys, tmp_path):
    document = stack_of(capsys, build, "tight")
    assert document["stack"]["verdict"]["status"] == "does not fit"
    finding = next(i for i in document["issues"] if i["id"] == "stack.overflow")
    assert finding["severity"] == "error" and "exceeds the stack reservation of 64 B" in finding["description"]
    assert document["summary"]["issue_counts"]["error"] == 1
    for form, marker in (("text", "ERROR   stack.overflow"), ("markdown", "`stack.overflow`"),
                         ("html", "<code>stack.overflow</code>")):
        code, out, _ = run(capsys, build / "tight.map", "--stack-usage", build, "--format", form)
        assert code == 0 and marker in out  # a finding; the policy is off by default
    config = tmp_path / "tarnwick.toml"
    config.write_text("[policies]\nfail_on_stack_overflow = true\n")
    code, out, _ = run(capsys, build / "tight.map", "--stack-usage", build, "--config", config)
    assert code == 1 and "FAILED  fail_on_stack_overflow: stack.overflow" in out
    code, out, _ = run(capsys, build / "roomy.map", "--stack-usage", build, "--config", config)
    assert code == 0 and "passed  fail_on_stack_overflow: no finding breaks it" in out


def test_archive_members_stack_files_are_found_in_the_build_tree_without_naming_it(build, capsys):
    with_folder = stack_of(capsys, build)["stack"]
    code, out, _ = run(capsys, build / "roomy.map", "--format", "json")  # the stack files beside the objects only
    alone = json.loads(out)["stack"]
    assert code == 0 and alone["worst_case"] == with_folder["worst_case"] and alone["bounded"]
    assert {(f["name"], f["object_file"]): f["frame_source"] for f in alone["functions"]}[
        ("lib_checksum", "libproto.a(proto.o)")] == "ci"


def test_without_the_archives_stack_files_the_machine_code_gives_the_same_frames(build, capsys, tmp_path):
    bare = tmp_path / "bare"
    shutil.copytree(build, bare)
    for stack_file in bare.glob("proto.*"):
        if stack_file.suffix in (".su", ".ci"):
            stack_file.unlink()
    f = frames(build)
    stack = json.loads(run(capsys, bare / "roomy.map", "--format", "json")[1])["stack"]
    functions = {(fn["name"], fn["object_file"]): fn for fn in stack["functions"]}
    for name in ("lib_checksum", "scratch"):
        function = functions[(name, "libproto.a(proto.o)")]
        assert function["frame_source"] == "machine code" and function["frame"] == f[("proto", name)]
    assert stack["worst_case"] == stack_of(capsys, build)["stack"]["worst_case"] and stack["bounded"]
    code, out, _ = run(capsys, bare / "roomy.map", "--no-elf", "--format", "json")  # no machine code to read
    stack = json.loads(out)["stack"]
    assert stack["verdict"]["status"] == "may not fit" and stack["bounded"] is False
    reset = next(e for e in stack["entry_points"] if e["name"] == "Reset_Handler")
    assert reset["reason"] == "parse_command calls lib_checksum, which has no stack information"


def test_what_changed_since_the_baseline(build, capsys, tmp_path):
    before = tmp_path / "before.json"
    code, out, _ = run(capsys, build / "roomy.map", "--stack-usage", build, "--format", "json")
    before.write_text(out)
    grown = tmp_path / "grown"
    shutil.copytree(build, grown)
    graph = grown / "proto.ci"
    text = graph.read_text()
    old = int(re.search(r'"scratch\\n[^"]*\\n(\d+) bytes', text)[1])
    graph.write_text(re.sub(r'("scratch\\n[^"]*\\n)\d+( bytes)', rf"\g<1>{old + 40}\g<2>", text))
    code, out, _ = run(capsys, grown / "roomy.map", "--stack-usage", grown, "--baseline", before)
    assert code == 0
    assert re.search(rf"since the baseline, Reset_Handler: \+40 B \(frames changed: scratch {old} -> {old + 40} B\)",
                     out)
    assert "since the baseline, program: worst case" in out


def test_the_page_shows_each_entry_points_call_tree(build, capsys):
    code, page, _ = run(capsys, build / "roomy.map", "--stack-usage", build, "--format", "html")
    tree = re.search(r'<div class="stack-tree" data-entry="Reset_Handler">(.*?)</div>', page, re.S)[1]
    deepest = re.findall(r'<span class="fn deepest">([^<]+)</span>', tree)
    assert deepest == ["Reset_Handler", "main", "parse_command", "lib_checksum", "scratch"]
    assert tree.count("<details open>") == 4  # the deciding chain is open, the rest folded


@pytest.mark.parametrize("name, content, expected", [
    ("bad.su", "not a stack usage line\n", "expected 'file:line:column:function<TAB>bytes<TAB>qualifier'"),
    ("bad.ci", "\x00\x01 binary", "not a call graph"),
])
def test_a_broken_stack_file_is_a_note_not_a_crash(build, capsys, tmp_path, name, content, expected):
    folder = tmp_path / "more"
    folder.mkdir()
    (folder / name).write_text(content)
    code, out, err = run(capsys, build / "roomy.map", "--stack-usage", build, "--stack-usage", folder,
                         "--format", "json")
    assert code == 0, err
    assert any(expected in note and name in note for note in json.loads(out)["stack"]["notes"])


def test_stack_usage_must_name_a_folder(capsys, tmp_path):
    example = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps" / "gnu_ld.map"
    code, _, err = run(capsys, example, "--stack-usage", tmp_path / "missing")
    assert code == 2 and err == f"tarnwick: error: --stack-usage {tmp_path / 'missing'}: not a folder\n"
