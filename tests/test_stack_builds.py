"""The worst-case stack of further builds made here (tests/stack_firmware/more/build.sh), each
worst case the sum of the frames along the chain its sources make by construction: the frames
from the compiler's stack files, and, for newlib's functions (which come without them), from
capstone's reading of their instructions; a Clang build; an archive built in a folder of its
own (as make and as CMake lay it out); Zephyr-style and FreeRTOS-style static threads; an
ESP8266-style image with its entry in the ELF header alone; and what only the user knows."""

import html
import json
import os
import re
import shutil
import subprocess
import sys
import time
import tracemalloc
from pathlib import Path

import pytest

from firmware_builds import build_with_script
from tarnwick.app.cli import main

MORE = Path(__file__).resolve().parent / "stack_firmware" / "more"
EXCEPTION_FRAME = 32


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    if shutil.which("clang") is None or shutil.which("xtensa-lx106-elf-gcc") is None:
        pytest.skip("clang and gcc-xtensa-lx106 are needed (.ci/run installs them)")
    return build_with_script(MORE / "build.sh", tmp_path_factory.mktemp("more"))


def su_frames(folder: Path) -> dict:
    """function -> frame, as the .su files below the folder state them (GCC's lines and Clang's)."""
    found = {}
    for su in folder.rglob("*.su"):
        for line in su.read_text().splitlines():
            where, size, _qualifier = line.split("\t")
            found[where.rsplit(":", 1)[1]] = int(size)
    return found


def stack_of(capsys, map_path: Path, *extra) -> dict:
    code = main(["analyze", str(map_path), "--format", "json", *map(str, extra)])
    out, err = capsys.readouterr()
    assert code in (0, 1), err
    return json.loads(out)


def entry(stack: dict, name: str) -> dict:
    return next(e for e in stack["entry_points"] if e["name"] == name)


def leaf_frame(elf: Path, name: str) -> int:
    """The deepest the stack gets in a leaf function, by capstone's reading of its instructions
    in address order (pushes, sub sp and vpush add; pops and add sp take away)."""
    capstone = pytest.importorskip("capstone")
    listing = subprocess.run(["arm-none-eabi-nm", "-S", str(elf)], capture_output=True, text=True, check=True).stdout
    start, size = next((int(f[0], 16) & ~1, int(f[1], 16)) for f in (line.split() for line in listing.splitlines())
                       if len(f) == 4 and f[3] == name)
    sections = subprocess.run(["arm-none-eabi-readelf", "-S", "-W", str(elf)], capture_output=True, text=True).stdout
    text = next(line.split("]", 1)[1].split() for line in sections.splitlines() if " .text " in line)
    address, offset = int(text[2], 16), int(text[3], 16)
    code = elf.read_bytes()[offset + start - address:offset + start - address + size]
    engine = capstone.Cs(capstone.CS_ARCH_ARM, capstone.CS_MODE_THUMB | capstone.CS_MODE_MCLASS)
    engine.detail = True
    depth = deepest = 0
    for instruction in engine.disasm(code, start):
        words = len(instruction.operands)
        if instruction.mnemonic in ("push", "push.w", "vpush", "stmdb"):
            depth += 4 * (words - (1 if instruction.mnemonic == "stmdb" else 0))
        elif instruction.mnemonic in ("pop", "pop.w", "vpop", "ldm.w", "ldmia.w"):
            depth -= 4 * words
        elif instruction.mnemonic.startswith(("sub", "add")) and instruction.op_str.startswith("sp, "):
            step = instruction.operands[-1].imm
            depth += step if instruction.mnemonic.startswith("sub") else -step
        elif re.search(r"\[sp, #-(0x[0-9a-f]+|\d+)\]!$", instruction.op_str):  # str, strd with writeback
            depth += int(re.search(r"#-(0x[0-9a-f]+|\d+)\]!$", instruction.op_str)[1], 0)
        elif re.search(r"\[sp\], #(0x[0-9a-f]+|\d+)$", instruction.op_str):  # ldr, ldrd post-indexed
            depth -= int(re.search(r"#(0x[0-9a-f]+|\d+)$", instruction.op_str)[1], 0)
        deepest = max(deepest, depth)
    return deepest


def test_newlibs_functions_have_their_frames_from_the_machine_code(builds, capsys):
    folder = builds / "newlib"
    stack = stack_of(capsys, folder / "firmware.map")["stack"]
    su = su_frames(folder)
    library = {name: leaf_frame(folder / "firmware.elf", name) for name in ("memcpy", "memset", "strlen")}
    functions = {f["name"]: f for f in stack["functions"]}
    for name, frame in library.items():
        assert (functions[name]["frame"], functions[name]["frame_source"]) == (frame, "machine code")
        assert functions[name]["object_file"].startswith("libc_nano.a(")
    chain = su["Reset_Handler"] + su["main"] + max(su["copy_frame"] + max(library["memcpy"], library["strlen"]),
                                                   library["memset"])
    assert (entry(stack, "Reset_Handler")["worst_case"], entry(stack, "Reset_Handler")["bounded"]) == (chain, True)
    assert entry(stack, "USART1_IRQHandler")["worst_case"] == su["USART1_IRQHandler"] + library["strlen"]
    assert stack["verdict"]["status"] == "fits" and stack["frame_sources"]["machine code"] >= 3


def test_a_clang_build_gives_the_worst_case_its_stack_files_say(builds, capsys, tmp_path):
    """Clang writes .su files without a call graph: the calls come from the machine code, and
    the frames the machine code reads are Clang's own."""
    folder = builds / "clang"
    su = su_frames(folder)
    stack = stack_of(capsys, folder / "firmware.map")["stack"]
    assert {f["frame_source"] for f in stack["functions"]} == {"su"}
    reset = su["Reset_Handler"] + su["main"] + max(su["parse_command"] + su["lib_checksum"] + su["scratch"],
                                                   su["scratch"])
    assert (entry(stack, "Reset_Handler")["worst_case"], entry(stack, "Reset_Handler")["bounded"]) == (reset, True)
    systick = su["SysTick_Handler"] + su["tick_update"] + su["scratch"]
    assert entry(stack, "SysTick_Handler")["worst_case"] == systick
    bare = tmp_path / "clang"
    shutil.copytree(folder, bare)
    for stack_file in bare.glob("*.su"):
        stack_file.unlink()
    alone = stack_of(capsys, bare / "firmware.map", "--stack-usage", bare)["stack"]
    assert {f["frame_source"] for f in alone["functions"]} == {"machine code"}
    linked = {f["name"] for f in alone["functions"]}  # never_linked is left out by --gc-sections
    assert {f["name"]: f["frame"] for f in alone["functions"] if f["name"] != "scratch"} == {
        name: frame for name, frame in su.items() if name != "scratch" and name in linked}
    assert sorted(f["frame"] for f in alone["functions"] if f["name"] == "scratch") == [su["scratch"]] * 2
    assert alone["worst_case"] == stack["worst_case"] and alone["bounded"]


@pytest.mark.parametrize("layout, map_name", [("layout-make", "out/firmware.map"),
                                               ("layout-cmake", "build/firmware.map")])
def test_an_archive_built_in_its_own_folder_has_its_stack_files_found(builds, capsys, layout, map_name):
    folder = builds / layout
    su = su_frames(folder)
    stack = stack_of(capsys, folder / map_name, "--no-elf")["stack"]  # the stack files alone
    ring = next(f for f in stack["functions"] if f["name"] == "ring_push")
    assert ring["frame_source"] == "ci" and ring["object_file"].startswith("libring.a(")
    assert entry(stack, "Reset_Handler")["worst_case"] == su["Reset_Handler"] + su["main"] + su["ring_push"]
    interrupt = su["USART1_IRQHandler"] + su["ring_push"]
    assert stack["worst_case"] == su["Reset_Handler"] + su["main"] + su["ring_push"] + interrupt + EXCEPTION_FRAME
    assert [(c["entry"], c["kind"], c["path"]) for c in stack["path"]] == [
        ("Reset_Handler", "reset", ["Reset_Handler", "main", "ring_push"]),
        ("USART1_IRQHandler", "interrupt", ["USART1_IRQHandler", "ring_push"])]


def test_static_threads_are_found_and_each_has_its_own_stack(builds, capsys, tmp_path):
    folder = builds / "threads"
    su = su_frames(folder)
    config = tmp_path / "tarnwick.toml"
    config.write_text('[[stack.threads]]\nname = "worker"\nentry = "worker"\nstack_symbol = "worker_stack"\n'
                      '[[stack.threads]]\nentry = "blink"\nstack_size = 16\n')
    document = stack_of(capsys, folder / "firmware.map", "--config", config)
    threads = {t["name"]: t for t in document["stack"]["threads"]}
    expected = {  # name: (entry, chain, reservation, found in)
        "worker": ("worker", su["worker"] + su["filter"], 96 * 4, "configuration"),
        "blink": ("blink", su["blink"], 16, "configuration"),
        "blinky": ("blinky_entry", su["blinky_entry"] + su["blink"], 512, "Zephyr static thread"),
        "sensor": ("sensor_task", su["sensor_task"] + su["filter"], 128 * 4, "FreeRTOS task table"),
        "radio": ("radio_task", su["radio_task"] + su["encode"], 64 * 4, "FreeRTOS task table"),
    }
    assert {name: (t["entry"], t["worst_case"] - EXCEPTION_FRAME, t["reservation"], t["found"])
            for name, t in threads.items()} == expected
    assert all(t["headroom"] == t["reservation"] - t["worst_case"] and t["bounded"] for t in threads.values())
    overflowing = sorted(i["affected_entities"][0] for i in document["issues"] if i["id"] == "stack.thread_overflow")
    assert overflowing == ["blink", "radio_task"]  # 16 B and 256 B do not hold their chains
    assert document["stack"]["verdict"]["status"] == "fits"  # the main stack is another matter
    for form, marker in (("text", r"radio +\d+ B +256 B +-\d+ B"), ("markdown", r"\| `radio` \|"),
                         ("html", r"<td>radio</td>")):
        assert main(["analyze", str(folder / "firmware.map"), "--format", form]) == 0
        assert re.search(marker, capsys.readouterr()[0])
    before = tmp_path / "before.json"
    stored = json.loads(json.dumps(document))
    next(t for t in stored["stack"]["threads"] if t["name"] == "radio")["worst_case"] -= 40
    before.write_text(json.dumps(stored))
    changed = stack_of(capsys, folder / "firmware.map", "--config", config, "--baseline", before)["stack"]["changes"]
    radio = threads["radio"]["worst_case"]
    assert {"change": "thread radio", "detail": f"worst case {radio - 40:,} B -> {radio:,} B (+40 B), headroom "
                                                f"{256 - radio:,} B"} in changed


def test_an_image_without_a_vector_table_starts_at_the_elf_headers_entry(builds, capsys):
    folder = builds / "esp"
    su = su_frames(folder)
    stack = stack_of(capsys, folder / "firmware.map")["stack"]
    reset = entry(stack, "call_user_start")
    assert (reset["kind"], reset["worst_case"], reset["path"]) == (
        "reset", su["call_user_start"] + su["user_init"] + su["work"], ["call_user_start", "user_init", "work"])
    assert any("Xtensa machine code is not read" in note for note in stack["notes"])


def test_what_only_the_user_knows_bounds_the_stack_and_says_so_everywhere(tmp_path, capsys):
    from test_stack import FIRMWARE as STACK_FIRMWARE

    build = build_with_script(STACK_FIRMWARE / "build.sh", tmp_path / "stack") / "build"
    su = {}
    for name in ("app", "proto", "startup"):
        for line in (build / f"{name}.su").read_text().splitlines():
            where, size, _ = line.split("\t")
            su[(name, where.rsplit(":", 1)[1])] = int(size)
    config = tmp_path / "tarnwick.toml"
    calls = tmp_path / "calls.toml"
    calls.write_text('worker_thread = ["tick_update"]\n')
    config.write_text('[stack]\nthreads = ["worker_thread"]\ncalls = "calls.toml"\nrecursion = { walk_tree = 9 }\n'
                      "frames = { lib_checksum = 100 }\n")
    stack = stack_of(capsys, build / "roomy.map", "--config", config)["stack"]
    worker = entry(stack, "worker_thread")
    tick = su[("app", "tick_update")] + su[("app", "scratch")]
    assert worker["bounded"] and worker["worst_case"] == su[("app", "worker_thread")] + max(
        9 * su[("app", "walk_tree")], tick)
    assert any("walk_tree recursing at most 9 deep" in a for a in worker["assumptions"])
    assert any("worker_thread's calls through pointers reach tick_update" in a for a in worker["assumptions"])
    reset = entry(stack, "Reset_Handler")
    assert reset["worst_case"] == su[("startup", "Reset_Handler")] + su[("app", "main")] + max(
        su[("app", "parse_command")] + 100 + su[("proto", "scratch")], su[("app", "scratch")])
    assert stack["assumptions"] == ["lib_checksum's frame 100 B (configured)"]
    assert "assuming lib_checksum's frame 100 B (configured)" in stack["verdict"]["detail"]
    for form in ("text", "markdown", "html"):
        assert main(["analyze", str(build / "roomy.map"), "--config", str(config), "--format", form]) == 0
        shown = html.unescape(re.sub(r"\\(.)", r"\1", capsys.readouterr()[0]))  # markdown's and HTML's escapes
        assert "lib_checksum's frame 100 B (configured)" in shown


def test_functions_removed_by_gc_sections_are_not_listed(tmp_path, capsys):
    from test_stack import FIRMWARE as STACK_FIRMWARE

    build = build_with_script(STACK_FIRMWARE / "build.sh", tmp_path / "stack") / "build"
    assert "never_linked" in (build / "app.su").read_text()  # the compiler wrote its frame
    stack = stack_of(capsys, build / "roomy.map", "--stack-usage", build)["stack"]
    assert "never_linked" not in {f["name"] for f in stack["functions"]}
    assert any("not in the image" in note and "never_linked" in note for note in stack["notes"])


# --- bounded cost ------------------------------------------------------------------------------

def _chain_callgraph(folder: Path, length: int) -> Path:
    """A unit whose functions call one another in one chain `length` long, and a map naming it."""
    folder.mkdir(parents=True, exist_ok=True)
    nodes = "".join(f'node: {{ title: "f{i}" label: "f{i}\\\\nchain.c:{i}:1\\\\n8 bytes (static)" }}\n' for i in range(length))
    edges = "".join(f'edge: {{ sourcename: "f{i}" targetname: "f{i + 1}" label: "chain.c:{i}:2" }}\n'
                    for i in range(length - 1))
    (folder / "chain.ci").write_text('graph: { title: "chain.c"\n' + nodes + edges + "}\n")
    return folder


def _measure(function) -> tuple:
    """(the calls a run makes, the memory it holds at most): the calls stand for its time, as
    they do not depend on what else the machine runs (a quadratic walk shows in them as much)."""
    import cProfile
    import pstats

    profile = cProfile.Profile()
    profile.runcall(function)
    calls = pstats.Stats(profile).total_calls
    tracemalloc.start()
    function()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return calls, peak


def test_a_long_call_chain_costs_time_and_memory_in_proportion(tmp_path):
    from tarnwick.analysis.stack_depth import analyse_stack
    from tarnwick.config import StackConfig
    from tarnwick.render.stack_view import html_section, text_lines
    from tarnwick.toolchains.base import NormalizedBuildModel, Toolchain

    model = NormalizedBuildModel(Toolchain.GNU_LD)  # no symbols: every function of the stack files counts
    config = StackConfig(entry_point="f0")
    figures = []
    for length in (2_000, 8_000):
        folder = _chain_callgraph(tmp_path / str(length), length)
        result = analyse_stack(model, config, [str(folder)])
        assert result.entries[0].worst_case == 8 * length and len(result.entries[0].path) == length

        def everything():
            stack = analyse_stack(model, config, [str(folder)])
            json.dumps(stack.as_json())
            text_lines(stack, 10)
            html_section(stack)  # the call tree as deep as the chain

        figures.append(_measure(everything))
    (small_calls, small_memory), (large_calls, large_memory) = figures
    assert large_memory <= 4.5 * small_memory and large_calls <= 4.5 * small_calls, figures


def test_a_long_stack_usage_line_costs_time_in_proportion(tmp_path):
    from tarnwick.toolchains.stack_files import StackFileError, read_stack_usage

    times = []
    for length in (40_000, 160_000):
        path = tmp_path / f"long{length}.su"
        path.write_text("a.c:" + "1:" * (length // 2) + "\t" + "9" * 10 + "x\n")  # no line of the form
        tries = []
        for _ in range(3):  # the best of three: an allocator growing its room once is no cost of the line's
            start = time.process_time()
            with pytest.raises(StackFileError):
                read_stack_usage(str(path), "a.o")
            tries.append(time.process_time() - start)
        times.append(min(tries))
    assert times[1] <= 4.5 * max(times[0], 0.005), times


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no FIFOs here")
def test_a_fifo_where_a_stack_file_is_looked_for_is_a_note_not_a_hang(tmp_path):
    from test_stack import FIRMWARE as STACK_FIRMWARE

    build = build_with_script(STACK_FIRMWARE / "build.sh", tmp_path / "stack") / "build"
    (build / "proto.ci").unlink()
    (build / "proto.su").unlink()
    os.mkfifo(build / "proto.su")
    done = subprocess.run([sys.executable, "-m", "tarnwick", "analyze", str(build / "roomy.map"), "--stack-usage",
                           str(build), "--format", "json"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    notes = json.loads(done.stdout)["stack"]["notes"]
    assert any("proto.su" in note and "not a regular file (a FIFO)" in note for note in notes)
