"""Files that a CI job can hand the analyser by accident or malice: each gives its status, a
clear error or the documented exception, within a bounded time."""

import os
import re
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from tarnwick.analysis.summary import _baseline_regressions
from tarnwick.toolchains import MapParseError, load_map

SUMMARY = SimpleNamespace(total_flash=10, total_ram=5, utilization_by_region={"RAM": 0.5})
MAPS = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps"


class VanishingPath(type(Path())):
    """Says it exists, then is gone before it is read."""

    def exists(self):
        present = super().exists()
        self.unlink()
        return present


def sparse(path: Path, size: int) -> Path:
    with open(path, "wb") as handle:
        handle.truncate(size)
    return path


def timed(function, *args):
    start = time.monotonic()
    try:
        return function(*args), time.monotonic() - start
    except Exception as exc:
        return exc, time.monotonic() - start


def test_baseline_fifo_is_not_read(tmp_path):
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    result, seconds = timed(_baseline_regressions, SUMMARY, fifo)
    assert result["status"] == "baseline_unreadable" and "FIFO" in result["error"] and seconds < 5


def test_baseline_that_vanishes_after_the_check(tmp_path):
    path = VanishingPath(tmp_path / "gone.json")
    path.write_text("{}")
    result = _baseline_regressions(SUMMARY, path)
    assert result["status"] == "baseline_unreadable" and "No such file" in result["error"]


def test_baseline_sparse_gigabyte(tmp_path):
    path = sparse(tmp_path / "huge.json", 1 << 30)
    result, seconds = timed(_baseline_regressions, SUMMARY, path)
    assert result == {"status": "baseline_unreadable", "path": str(path),
                      "error": "Expecting value: line 1 column 1 (char 0)"}
    assert seconds < 60


def test_baseline_deep_nesting_is_the_recursion_error(tmp_path):
    path = tmp_path / "deep.json"
    path.write_text('{"summary": ' + "[" * 100_000 + "]" * 100_000 + "}")
    result, seconds = timed(_baseline_regressions, SUMMARY, path)
    assert isinstance(result, RecursionError) and seconds < 10


@pytest.mark.parametrize("make, reason", [
    (lambda t: (os.mkfifo(t / "pipe.map"), t / "pipe.map")[1], "not a regular file"),
    (lambda t: t, "not a regular file"),
    (lambda t: sparse(t / "huge.map", 1 << 30), "binary file"),
    (lambda t: Path("/dev/zero"), "not a regular file"),
])
def test_map_hostile_files(tmp_path, make, reason):
    result, seconds = timed(load_map, make(tmp_path))
    assert isinstance(result, MapParseError) and reason in str(result) and seconds < 10


def test_map_with_non_utf8_bytes_still_parses(tmp_path):
    text = (MAPS / "gnu_ld.map").read_bytes().replace(b"main.o", b"m\xe4in.o")
    path = tmp_path / "latin1.map"
    path.write_bytes(text)
    model = load_map(path)
    assert any(s.object_file == "m\ufffdin.o" for s in model.symbols)


# --- figures out of range: one rule for every reader, exit 2 naming the file and the line -------

def _changed(tmp_path: Path, name: str, old: str, new: str) -> Path:
    text = (MAPS / name).read_text()
    assert old in text
    path = tmp_path / name
    path.write_text(text.replace(old, new, 1))
    return path


@pytest.mark.parametrize("name, old, new, reason", [
    ("gnu_ld.map", "                0x2000000c     0x1000 main.o", "                0xfffffffffffff000     0x1000 main.o",
     "input section runs past the end of the 64-bit address space"),
    ("gnu_ld.map", ".bss            0x2000000c     0x1140", ".bss            0xffffffffffffff00     0x1140",
     "output section runs past the end of the 64-bit address space"),
    ("llvm_lld.map", "10000000 10000000      800     1                 dma_ring",
     "10000000 10000000 8000000000000000     1                 dma_ring", "a symbol of 2^63 bytes or more"),
    ("llvm_lld.map", "10000000 10000000      800     4         main.o:(.ccmram)",
     "fffffffffffffc00 fffffffffffffc00      800     4         main.o:(.ccmram)",
     "input section runs past the end of the 64-bit address space"),
], ids=["gnu input", "gnu output", "lld symbol", "lld input"])
def test_a_figure_beyond_64_bits_is_bad_input_at_its_line(tmp_path, capsys, name, old, new, reason):
    from tarnwick.app.cli import main

    path = _changed(tmp_path, name, old, new)
    line = path.read_text().splitlines().index(new) + 1 if new in path.read_text().splitlines() else None
    assert main(["analyze", str(path), "--no-elf"]) == 2
    err = capsys.readouterr()[1]
    assert err.count("\n") == 1 and reason in err
    if line is not None:
        assert err.startswith(f"tarnwick: error: {path}:{line}: ")
    else:  # the row is the second line of a wrapped one
        assert re.match(rf"tarnwick: error: {re.escape(str(path))}:\d+: ", err)


# --- ELF files that are not what they claim ------------------------------------------------------

def _firmware_elf() -> bytearray:
    from elf_writer import ALLOC, EXEC, SHT_PROGBITS, elf

    return bytearray(elf([(".text", SHT_PROGBITS, ALLOC | EXEC, 0x1000, 64)],
                         [("main", 0x1000, 16, 2, 1, ".text"), ("helper", 0x1010, 8, 2, 0, ".text")]))


def _section_header(data: bytearray, index: int) -> tuple:
    """(offset of the header, its fields) of a 32-bit little-endian ELF's section `index`."""
    import struct

    at = struct.unpack_from("<I", data, 32)[0] + index * 40
    return at, list(struct.unpack_from("<IIIIIIIIII", data, at))


def _sparse_symbol_table(data: bytearray, path: Path) -> None:
    import struct

    at, fields = _section_header(data, 2)  # .symtab
    fields[4], fields[5] = 0x10000, (1 << 32) - 16  # 2^28 symbols, in a hole
    struct.pack_into("<IIIIIIIIII", data, at, *fields)
    path.write_bytes(data)
    with open(path, "r+b") as handle:
        handle.truncate(0x10000 + (1 << 32))


def _name_outside(data: bytearray, path: Path) -> None:
    import struct

    _, symtab = _section_header(data, 2)
    struct.pack_into("<I", data, symtab[4] + 16, 0x7fffffff)  # the first real symbol's name offset
    path.write_bytes(data)


def _not_a_string_table(data: bytearray, path: Path) -> None:
    import struct

    at, fields = _section_header(data, 2)
    fields[6] = 1  # linked to .text
    struct.pack_into("<IIIIIIIIII", data, at, *fields)
    path.write_bytes(data)


def _elf_type(kind: int):
    def write(data: bytearray, path: Path) -> None:
        data[16:18] = kind.to_bytes(2, "little")
        path.write_bytes(data)
    return write


@pytest.mark.parametrize("make, code, said", [
    (_sparse_symbol_table, 2, "of which the file stores 0 (the rest are holes of a sparse file)"),
    (_name_outside, 2, "symbol 1 names offset 2147483647, outside its string table"),
    (_not_a_string_table, 2, "names section 1 (.text) as its string table, which is not one"),
    (_elf_type(1), 2, "a relocatable object file (its sections are not placed yet)"),
    (_elf_type(4), 2, "a core dump, not a linked image"),
    (_elf_type(3), 0, "is a program for an operating system's loader"),
], ids=["sparse symbol table", "name outside", "not a string table", "relocatable", "core", "shared object"])
def test_elf_files_that_are_not_what_they_claim(tmp_path, capsys, make, code, said):
    from tarnwick.app.cli import main

    path = tmp_path / "firmware.elf"
    make(_firmware_elf(), path)
    (exit_code, seconds) = timed(main, ["analyze", str(path)])
    err = capsys.readouterr()[1]
    assert exit_code == code and said in err and err.count("\n") == 1 and seconds < 1
