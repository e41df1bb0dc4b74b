"""The ELF file: every symbol's size as `nm -S` says it, statics included; region figures from
the ELF alone equal the linker's; the ELF joined to the map of its own link only; hostile files
are one clear error."""

import json
import re
import struct
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from elf_writer import ALLOC, EXEC, SHT_NOBITS, SHT_PROGBITS, WRITE, elf
from model_invariants import broken_invariants
from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.app.cli import main
from tarnwick.config import RegionSpec, TarnwickConfig
from tarnwick.toolchains import AUTO, MapParseError, load_map
from tarnwick.toolchains.elf.elf_file import ElfError, read_elf

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "firmware" / "maps"
CONFORMANCE = Path(__file__).resolve().parent / "conformance" / "maps"
LINKS = sorted([*EXAMPLE.glob("*.elf"), *CONFORMANCE.glob("*.elf")], key=lambda p: p.name)
UNITS = {"B": 1, "KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30}


def nm_sizes(elf_path: Path) -> set:
    """(address, size, name) of every symbol `nm -S` lists with a size, in memory."""
    rows = set()
    for line in elf_path.with_suffix(".nm.txt").read_text().splitlines():
        fields = line.split()
        if len(fields) == 4 and fields[2] not in "aAUuNn":
            rows.add((int(fields[0], 16), int(fields[1], 16), fields[3]))
    return rows


def ours(model) -> set:
    return {(s.address, s.size, s.name) for s in model.symbols if s.size_source == "elf" and s.size}


@pytest.mark.parametrize("path", LINKS, ids=lambda p: p.stem)
def test_every_symbol_has_the_size_nm_gives(path):
    assert ours(load_map(path)) == nm_sizes(path)
    beside = path.with_suffix(".map")
    if beside.exists():  # joined to the map of its link: the same sizes, with their objects
        joined = load_map(beside, elf=AUTO)
        assert not joined.warnings
        assert ours(joined) == nm_sizes(path)


def test_statics_the_map_never_names_get_their_own_names():
    joined = load_map(EXAMPLE / "gnu_ld.map", elf=AUTO)
    symbols = {s.name: s for s in joined.symbols}
    # static uint8_t frame_buffer[4096] and static int32_t calibration[64]
    assert (symbols["frame_buffer"].size, symbols["frame_buffer"].object_file) == (4096, "main.o")
    assert (symbols["calibration"].size, symbols["calibration"].archive) == (256, "libsensor.a")
    assert ".bss.frame_buffer" not in symbols  # no longer a pseudo-symbol named after its section
    map_only = {s.name for s in load_map(EXAMPLE / "gnu_ld.map").symbols}
    assert "frame_buffer" not in map_only and ".bss.frame_buffer" in map_only
    # every byte of every input section is still attributed once
    assert sum(s.size for s in joined.symbols if s.alias_of is None) == sum(
        p.size for s in joined.sections for p in s.inputs if not p.is_fill)


def ld_table(path: Path) -> dict:
    used = {}
    for line in path.read_text().splitlines():
        match = re.match(r"^\s*(\S+):\s+(\d+) (B|KB|MB|GB)\s", line)
        if match:
            used[match[1]] = int(match[2]) * UNITS[match[3]]
    return used


# the conformance links are read alone in tests/test_conformance.py, with the map and without
GNU_LINKS = sorted(EXAMPLE.glob("*.memory-usage.txt"))


@pytest.mark.parametrize("table", GNU_LINKS, ids=lambda p: p.name.split(".")[0])
def test_regions_from_the_elf_alone_equal_the_linkers(table):
    stem = table.name[:-len(".memory-usage.txt")]
    regions = load_map(table.with_name(stem + ".map")).memory_regions
    config = TarnwickConfig(regions=[RegionSpec(r.name, r.origin, r.length) for r in regions])
    model = load_map(table.with_name(stem + ".elf"), config)
    assert {n: u.used_bytes for n, u in compute_region_usage(model).items()} == ld_table(table)


def test_a_map_and_the_elf_of_another_link(capsys):
    code = main(["analyze", str(EXAMPLE / "gnu_ld.map"), "--elf", str(EXAMPLE / "gnu_ld_ram_overflow.elf")])
    _, err = capsys.readouterr()
    assert code == 0 and "is not the output of the link the map describes" in err
    assert "section .bss" in err and err.count("\n") == 1


def test_no_elf_and_a_named_elf(tmp_path, capsys):
    code = main(["analyze", str(EXAMPLE / "gnu_ld.map"), "--no-elf", "--format", "json"])
    sources = {s["size_source"] for s in json.loads(capsys.readouterr()[0])["symbols"]}
    assert code == 0 and sources == {"derived", "bound"}  # from the map's addresses, some at most that
    code = main(["analyze", str(EXAMPLE / "gnu_ld.map"), "--format", "json"])
    sources = {s["size_source"] for s in json.loads(capsys.readouterr()[0])["symbols"]}
    assert code == 0 and "elf" in sources
    bad = tmp_path / "bad.elf"
    bad.write_bytes(b"\x7fELF\x01\x01\x01")
    code = main(["analyze", str(EXAMPLE / "gnu_ld.map"), "--elf", str(bad)])
    assert code == 2 and "not a usable ELF file: shorter than an ELF header" in capsys.readouterr()[1]


def test_an_unusable_elf_beside_the_map_is_a_warning(tmp_path, capsys):
    (tmp_path / "fw.map").write_bytes((EXAMPLE / "gnu_ld.map").read_bytes())
    (tmp_path / "fw.elf").write_bytes(b"\x7fELF" + bytes(60))
    code = main(["analyze", str(tmp_path / "fw.map")])
    assert code == 0 and "not a usable ELF file" in capsys.readouterr()[1]


def test_the_elf_named_by_the_output_line(tmp_path):
    (tmp_path / "build.map").write_bytes((EXAMPLE / "gnu_ld.map").read_bytes())  # OUTPUT(gnu_ld.elf ...)
    (tmp_path / "gnu_ld.elf").write_bytes((EXAMPLE / "gnu_ld.elf").read_bytes())
    model = load_map(tmp_path / "build.map", elf=AUTO)
    assert any(s.size_source == "elf" for s in model.symbols)


@pytest.mark.parametrize("bits", [32, 64])
@pytest.mark.parametrize("little", [True, False], ids=["little", "big"])
def test_every_class_and_byte_order(tmp_path, bits, little):
    sections = [(".text", SHT_PROGBITS, ALLOC | EXEC, 0x1000, 0x40),
                (".data", SHT_PROGBITS, ALLOC | WRITE, 0x8000, 0x10),
                (".bss", SHT_NOBITS, ALLOC | WRITE, 0x8010, 0x20)]
    symbols = [("main", 0x1000, 0x30, 2, 1, ".text"), ("helper", 0x1030, 0x10, 2, 0, ".text"),
               ("counter", 0x8000, 4, 1, 1, ".data"), ("buffer", 0x8010, 0x20, 1, 0, ".bss"),
               ("$t", 0x1000, 0, 0, 0, ".text"), (".LBB0_1", 0x1004, 0, 0, 0, ".text"),
               ("absolute", 0x10, 4, 1, 1, "none")]
    path = tmp_path / "fw.elf"
    path.write_bytes(elf(sections, symbols, bits=bits, little=little, machine=8,
                         segments=[(0x8000, 0x1040, ".data")]))
    model = load_map(path, TarnwickConfig(regions=[RegionSpec("FLASH", 0x1000, 0x1000), RegionSpec("RAM", 0x8000, 0x1000)]))
    assert {(s.name, s.size) for s in model.symbols if s.size_source == "elf"} == {
        ("main", 0x30), ("helper", 0x10), ("counter", 4), ("buffer", 0x20)}
    data = next(s for s in model.sections if s.name == ".data")
    assert (data.load_address, data.load_region, data.is_writable) == (0x1040, "FLASH", True)
    usage = compute_region_usage(model)
    assert (usage["FLASH"].used_bytes, usage["RAM"].used_bytes) == (0x50, 0x30)


GOOD = elf([(".text", SHT_PROGBITS, ALLOC | EXEC, 0x1000, 0x40)], [("main", 0x1000, 0x40, 2, 1, ".text")])


def patched(offset: int, layout: str, *values) -> bytes:
    data = bytearray(GOOD)
    struct.pack_into(layout, data, offset, *values)
    return bytes(data)


HOSTILE = {
    "empty": b"",
    "magic only": b"\x7fELF",
    "truncated header": GOOD[:40],
    "truncated tables": GOOD[:len(GOOD) // 2],
    "unknown class": GOOD[:4] + b"\x07" + GOOD[5:],
    "section table past the end": patched(32, "<I", 0x7FFFFFF0),
    "huge section count": patched(48, "<H", 0xFFFE),
    "section entries too small": patched(46, "<H", 8),
    "name table index out of range": patched(50, "<H", 0xFFF0),
    "section table inside the header": patched(32, "<I", 4),
    "no section table": patched(32, "<I", 0),
}


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_hostile_elf_files_are_one_clear_error(tmp_path, capsys, name):
    path = tmp_path / "fw.elf"
    path.write_bytes(HOSTILE[name])
    code = main(["analyze", str(path)])
    err = capsys.readouterr()[1]
    assert code == 2 and err.count("\n") == 1 and "Traceback" not in err
    assert "not a usable ELF file" in err or "empty file" in err


def test_symbol_table_pointing_past_the_end(tmp_path):
    data = bytearray(GOOD)
    shoff = struct.unpack_from("<I", data, 32)[0]
    symtab = shoff + 40 * 2  # section 2 is .symtab
    struct.pack_into("<I", data, symtab + 20, 0x7FFFFFF0)  # its size
    path = tmp_path / "fw.elf"
    path.write_bytes(bytes(data))
    with pytest.raises(ElfError, match="reach"):
        read_elf(str(path))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_mutated_elf_files_give_a_model_or_a_clear_error(tmp_path, data):
    original = bytearray((EXAMPLE / "gnu_ld.elf").read_bytes())
    for _ in range(data.draw(st.integers(1, 12))):
        where = data.draw(st.integers(0, len(original) - 1))
        original[where] = data.draw(st.integers(0, 255))
    cut = data.draw(st.integers(0, len(original)))
    path = tmp_path / "fw.elf"
    path.write_bytes(bytes(original[:cut] if data.draw(st.booleans()) else original))
    try:
        model = load_map(path)
    except MapParseError:  # one clear error: a broken ELF, or no longer an ELF at all
        return
    assert broken_invariants(model) == []


@pytest.mark.parametrize("raw", [b"caf\xc3\xa9", b"bad\xff", b"cut\xc3", b"overlong\xc0\xaf", b"surrogate\xed\xa0\x80",
                                 b"\xe2\x82\xacuro", b"x" * 300], ids=lambda raw: repr(raw)[2:12])
def test_symbol_names_read_as_the_bytes_decode(tmp_path, raw):
    """A name that is not UTF-8 reads with replacement characters, as the map's text does; each
    row keeps its figures."""
    from tarnwick.toolchains.elf.machine_code import _code_symbols

    placeholder = "N" * len(raw)
    sections = [(".text", SHT_PROGBITS, ALLOC | EXEC, 0x1000, 0x40), (".bss", SHT_NOBITS, ALLOC | WRITE, 0x8000, 0x20)]
    data = elf(sections, [(placeholder, 0x1000, 0x30, 2, 1, ".text"), ("buffer", 0x8000, 0x20, 1, 0, ".bss")])
    assert data.count(placeholder.encode() + b"\0") == 1
    data = data.replace(placeholder.encode() + b"\0", raw + b"\0")
    path = tmp_path / "fw.elf"
    path.write_bytes(data)
    read = read_elf(path)
    name = raw.decode("utf-8", "replace")
    assert [row[:3] for row in read.symbols] == [(name, 0x1000, 0x30), ("buffer", 0x8000, 0x20)]
    assert [row[4] for row in read.symbols] == [1, 0]
    table = next(s for s in read.sections if s.name == ".symtab")
    code = [row for row in _code_symbols(data, read, table) if row[0] == name]
    assert [(row[1], row[2], row[4], row[5]) for row in code] == [(0x1000, 0x30, 1, "f")]
