"""Figures of thousands of digits, which the interpreter neither converts from decimal nor writes,
and counts of copies no device has: every file that holds one is refused in one line, with the
documented exit code, and in bounded time."""

import re
import time
from pathlib import Path

import pytest

from tarnwick.support.figures import MOST_DIGITS, FigureTooLong, figure, written
from tarnwick.toolchains import MapParseError, load_map

ROOT = Path(__file__).resolve().parent.parent
SHARED = ROOT.parent / "shared"
MAPS = sorted([*(ROOT / "examples" / "firmware" / "maps").glob("*.map"), *(ROOT / "tests" / "vendor_maps").glob("*.map"),
               *(SHARED / "realmaps").glob("*.map"), *(SHARED / "vendormaps").glob("*.map")])
LONG = 5000  # digits: past the 4,300 the interpreter converts


@pytest.mark.parametrize("text", ["0", "12", " 42 ", "-7", "+9", "0x1f", "0b101", "0o17", "1_000", "ff", "0" * 300 + "5",
                                  "-" + "0" * 300 + "9", "0" * 500, "0x" + "0" * 300 + "ff", "1" * MOST_DIGITS,
                                  "9" * 20 + "x", "", "0" * 300 + "12z", "0" * 299 + "_1", "0" * 300 + "123"])
@pytest.mark.parametrize("base", [10, 16, 8, 2, 0])
def test_a_figure_reads_as_int_reads_it(text, base):
    try:
        expected = int(text, base)
    except ValueError:
        with pytest.raises(ValueError):
            figure(text, base)
    else:
        assert figure(text, base) == expected


@pytest.mark.parametrize("text, base", [("9" * LONG, 10), ("f" * LONG, 16), ("0x" + "f" * (MOST_DIGITS + 1), 16),
                                        ("-" + "1" * (MOST_DIGITS + 1), 10), ("0b" + "1" * LONG, 0),
                                        ("0" * 10 + "7" * (MOST_DIGITS + 1), 8)])
def test_a_figure_of_too_many_digits_is_refused_quickly(text, base):
    start = time.monotonic()
    with pytest.raises(FigureTooLong, match=r"a figure of [\d,]+ digits \(.{0,16}\.\.\.\), more than any build has"):
        figure(text * 200, base)  # a million digits and more, refused before any is converted
    assert time.monotonic() - start < 0.5


@pytest.mark.parametrize("number, spec, text", [(65536, ",", "65,536"), (5000, "", "5000"), (-3, ",", "-3"),
                                               (1 << 128, ",", "340,282,366,920,938,463,463,374,607,431,768,211,456"),
                                               (1 << 20000, ",", "a number of 20,001 bits"),
                                               (-(1 << 20000), "", "a negative number of 20,001 bits")],
                         ids=["grouped", "plain", "negative", "2^128", "2^20000", "-2^20000"])
def test_written(number, spec, text):
    assert written(number, spec) == text


def _figure_runs(data: bytes, most: int) -> list:
    runs = [m for m in re.finditer(rb"[0-9A-Fa-f]+", data) if re.search(rb"[0-9]", m.group())]
    step = max(1, len(runs) // most)
    return runs[::step][:most]


@pytest.mark.parametrize("path", MAPS, ids=lambda p: p.name)
def test_a_figure_of_thousands_of_digits_anywhere_in_a_map(tmp_path, path):
    """Each sampled figure of the map in turn made thousands of digits long, decimal and hex: the
    map reads, or is refused as a map; nothing else escapes."""
    data = path.read_bytes()
    changed = tmp_path / path.name
    escaped = []
    for run in _figure_runs(data, 24):
        for filler in (b"9" * LONG, b"f" * LONG):
            changed.write_bytes(data[:run.start()] + filler + data[run.end():])
            try:
                load_map(changed, elf=None)
            except MapParseError as exc:
                assert "\n" not in str(exc) and len(str(exc)) < 1000, str(exc)[:200]
            except Exception as exc:  # noqa: BLE001 - what the test looks for
                escaped.append((run.start(), filler[:1], f"{type(exc).__name__}: {str(exc)[:80]}"))
    assert escaped == []


@pytest.mark.parametrize("table, reason", [
    ("[policies]\npartition_max_bytes = { FLASH = %s }\n" % ("9" * LONG),
     "not valid TOML: Exceeds the limit (4300 digits) for integer string conversion: value has 5000 digits"),
    ("[policies]\npartition_max_bytes = { FLASH = 0x%s }\n" % ("f" * LONG),
     "policies.partition_max_bytes.FLASH: must be at most 18,446,744,073,709,551,616, not a number of 20,000 bits"),
    ("[[regions]]\nname = 'FLASH'\norigin = %d\nlength = 4096\n" % (1 << 64 | 1),
     "must be at most 18,446,744,073,709,551,616, not 18446744073709551617"),
    ("a = %s%s\n" % ("[" * 100_000, "]" * 100_000), "not valid TOML: nested too deeply"),
], ids=["decimal", "hex", "past 64 bits", "nested"])
def test_a_configuration_with_a_figure_no_build_has(tmp_path, capsys, table, reason):
    from tarnwick.app.cli import main

    config = tmp_path / "tarnwick.toml"
    config.write_text(table)
    assert main(["analyze", str(ROOT / "examples" / "firmware" / "maps" / "gnu_ld.map"), "--config", str(config),
                 "--format", "json"]) == 2
    err = capsys.readouterr()[1]
    assert err.count("\n") == 1 and reason in err, err[:300]


ILINK = ROOT / "tests" / "vendor_maps" / "iar-arm8-init-by-copy.map"
PLACED = "place in [from 0x800'0000 to 0x801'ffff]"


def _ilink(tmp_path, placed: str) -> Path:
    text = ILINK.read_text()
    assert PLACED in text
    path = tmp_path / "ilink.map"
    path.write_text(text.replace(PLACED, placed))
    return path


def test_copies_that_touch_are_one_range_however_many(tmp_path):
    start = time.monotonic()
    model = load_map(_ilink(tmp_path, "place in [from 0x800'0000 size 0x2'0000 repeat 100000000]"), elf=None)
    assert time.monotonic() - start < 5
    region = next(r for r in model.memory_regions if r.name == "P1")
    assert (region.origin, region.length) == (0x800_0000, 0x2_0000 * 100_000_000)
    # as a few: the same one range as the copies one after the other always gave
    few = load_map(_ilink(tmp_path, "place in [from 0x800'0000 size 0x1'0000 repeat 2]"), elf=None)
    assert [(r.origin, r.length) for r in few.memory_regions if r.name == "P1"] == [(0x800_0000, 0x2_0000)]


def test_copies_apart_are_memories_of_their_own_up_to_a_bound(tmp_path):
    three = load_map(_ilink(tmp_path, "place in [from 0x800'0000 size 0x1'0000 repeat 3 displacement 0x10'0000]"),
                     elf=None)
    assert [(r.name, r.origin) for r in three.memory_regions if r.name.startswith("P1")] == [
        ("P1:1", 0x800_0000), ("P1:2", 0x810_0000), ("P1:3", 0x820_0000)]
    start = time.monotonic()
    with pytest.raises(MapParseError, match=r"P1 repeats a range 100,000,000 times, 0x1000 apart: more memories "
                                            r"than one directive places into \(at most 4,096\)"):
        load_map(_ilink(tmp_path, "place in [from 0x800'0000 size 0x100 repeat 100000000 displacement 0x1000]"),
                 elf=None)
    assert time.monotonic() - start < 5


def test_a_stack_usage_line_with_a_frame_of_thousands_of_digits(tmp_path):
    from tarnwick.toolchains.stack_files import StackFileError, read_stack_usage

    path = tmp_path / "main.su"
    path.write_text("main.c:3:5:main\t16\tstatic\nmain.c:9:6:spin\t%s\tstatic\n" % ("9" * LONG))
    with pytest.raises(StackFileError, match=rf"^{re.escape(str(path))}:2: a figure of 5,000 digits"):
        read_stack_usage(str(path), "main.o")


def test_a_call_graph_node_with_a_frame_of_thousands_of_digits(tmp_path):
    from tarnwick.toolchains.stack_files import StackFileError, read_callgraph

    text = (ROOT / "examples" / "firmware" / "stack" / "main.ci").read_text()
    assert "16 bytes (static)" in text
    path = tmp_path / "main.ci"
    path.write_text(text.replace("16 bytes (static)", "000" + "9" * LONG + " bytes (static)"))
    with pytest.raises(StackFileError, match=rf"^{re.escape(str(path))}: a frame of 5,000 digits, more than any build has$"):
        read_callgraph(str(path), "main.o")
    path.write_text(text.replace("16 bytes (static)", "9" * MOST_DIGITS + " bytes (static)"))  # as many as a figure may have
    assert int("9" * MOST_DIGITS) in [row[3] for row in read_callgraph(str(path), "main.o").rows]


@pytest.mark.parametrize("path", sorted((ROOT / "examples" / "firmware" / "stack").iterdir()), ids=lambda p: p.name)
def test_a_figure_of_thousands_of_digits_anywhere_in_a_stack_file(tmp_path, path):
    from tarnwick.toolchains.stack_files import StackFileError, read_callgraph, read_stack_usage

    read = read_callgraph if path.suffix == ".ci" else read_stack_usage
    data = path.read_bytes()
    changed = tmp_path / path.name
    escaped = []
    for run in re.finditer(rb"[0-9]+", data):
        changed.write_bytes(data[:run.start()] + b"9" * LONG + data[run.end():])
        try:
            read(str(changed), "main.o")
        except StackFileError as exc:
            assert "\n" not in str(exc) and len(str(exc)) < 1000
        except Exception as exc:  # noqa: BLE001 - what the test looks for
            escaped.append((run.start(), f"{type(exc).__name__}: {str(exc)[:80]}"))
    assert escaped == []


def test_bytes_per_address_of_thousands_of_digits_in_an_xc8_map(tmp_path):
    row = "        CODE             000B-07C3            7B9           2"
    text = (ROOT / "tests" / "vendor_maps" / "xc8-pic16f877a.map").read_text()
    assert row in text
    path = tmp_path / "xc8.map"
    path.write_text(text.replace(row, row[:-1] + "0" * 10 + "9" * LONG))
    line = path.read_text().splitlines().index(row[:-1] + "0" * 10 + "9" * LONG) + 1
    with pytest.raises(MapParseError, match=rf":{line}: a figure of the map \(9{{16}}\.\.\.\(5,000 digits\)\) lies "
                                            "beyond the 64-bit address space$"):
        load_map(path, elf=None)


def test_partition_files_with_a_figure_of_thousands_of_digits():
    from tarnwick.system.readers import yaml_subset

    with pytest.raises(yaml_subset.YamlError, match="line 2: a figure of 5,000 digits"):
        yaml_subset.load("app:\n  size: %s\n" % ("9" * LONG))
    with pytest.raises(yaml_subset.YamlError, match="line 1: a figure of 5,000 digits"):
        yaml_subset.load("size: 0x%s\n" % ("f" * LONG))


@pytest.mark.parametrize("command, code", [("analyze", 0), ("diff", 2)])
def test_a_stored_report_with_a_number_of_thousands_of_digits(tmp_path, capsys, command, code):
    """Refused as any JSON that is not valid, in the decoder's words without the interpreter's
    advice to raise its limit: as a baseline, a warning; as `diff`'s earlier side, bad input."""
    from tarnwick.app.cli import main

    example = ROOT / "examples" / "firmware" / "maps" / "gnu_ld.map"
    stored = tmp_path / "stored.json"
    assert main(["analyze", str(example), "--no-elf", "--format", "json", "--output", str(stored)]) == 0
    text = stored.read_text()
    stored.write_text(re.sub(r'("total_flash": )\d+', lambda m: m.group(1) + "9" * LONG, text, count=1))
    capsys.readouterr()
    arguments = [command, str(example), "--baseline", str(stored)] if command == "analyze" else [command, str(stored), str(example)]
    assert main([*arguments, "--output", str(tmp_path / "report.txt")]) == code
    err = capsys.readouterr()[1]
    assert err.count("\n") == 1 and "not valid JSON: Exceeds the limit (4300 digits) for integer string conversion: " \
        "value has 5000 digits" in err and "set_int_max_str_digits" not in err, err


def test_a_stored_system_report_with_a_number_of_thousands_of_digits(tmp_path):
    from tarnwick.system.compare import StoredSystemError, read_stored_system

    path = tmp_path / "system.json"
    path.write_text('{"images": %s}' % ("9" * LONG))
    with pytest.raises(StoredSystemError, match=r"not valid JSON: Exceeds the limit \(4300 digits\) for integer string "
                                                r"conversion: value has 5000 digits$"):
        read_stored_system(str(path))
