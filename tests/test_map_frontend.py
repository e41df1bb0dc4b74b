import re
import shutil
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from model_invariants import broken_invariants
from tarnwick._native import totals_by_origin
from tarnwick.analysis.padding_waste import compute_padding_waste
from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.analysis.symbol_breakdown import top_object_archive_contributors
from tarnwick.config import RegionSpec, ReservedRangeSpec, TarnwickConfig
from tarnwick.toolchains import MapParseError, load_map
from tarnwick.toolchains.base import MemoryCategory, Toolchain

MAPS = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps"
REGIONS = [RegionSpec("FLASH", 0x0800_0000, 128 * 1024), RegionSpec("RAM", 0x2000_0000, 20 * 1024),
           RegionSpec("CCM", 0x1000_0000, 8 * 1024)]
UNITS = {"B": 1, "KB": 1024, "MB": 1024 * 1024}


def ld_memory_usage(name):
    """Region -> used bytes, as GNU ld's --print-memory-usage printed them at link time."""
    used = {}
    for line in (MAPS / f"{name}.memory-usage.txt").read_text().splitlines():
        match = re.match(r"^\s*(\w+):\s+(\d+) (B|KB|MB)\s", line)
        if match:
            used[match[1]] = int(match[2]) * UNITS[match[3]]
    return used


def usage_of(model):
    return {name: u.used_bytes for name, u in compute_region_usage(model).items()}


@pytest.mark.parametrize("name, config", [
    ("gnu_ld", None), ("gnu_ld_ram_overflow", None),
    ("llvm_lld", TarnwickConfig(regions=REGIONS)),  # lld writes no region table
])
def test_region_usage_matches_the_linkers_own_figures(name, config):
    model = load_map(MAPS / f"{name}.map", config)
    expected = ld_memory_usage("gnu_ld_ram_overflow" if "overflow" in name else "gnu_ld")
    assert usage_of(model) == expected


def test_gnu_ld_model_details():
    model = load_map(MAPS / "gnu_ld.map")
    assert model.toolchain is Toolchain.GNU_LD
    assert [(r.name, r.origin, r.length, r.attributes, r.category) for r in model.memory_regions] == [
        ("FLASH", 0x0800_0000, 0x20000, "xr", MemoryCategory.FLASH),
        ("RAM", 0x2000_0000, 0x5000, "xrw", MemoryCategory.RAM),
        ("CCM", 0x1000_0000, 0x2000, "rw", MemoryCategory.RAM)]
    by_name = {s.name: s for s in model.sections}
    assert ".comment" not in by_name and ".debug_info" not in by_name
    data = by_name[".data"]
    assert (data.execution_region, data.load_region, data.load_address) == ("RAM", "FLASH", 0x0800_0500)
    assert by_name[".bss"].load_region is None and not by_name[".bss"].has_contents
    assert by_name["._user_heap_stack"].size == 0xC04  # its name was wrapped onto the next line
    # padding: *fill* of 2 and 4 bytes in .text, 4 before the heap; the heap and stack
    # reservations themselves are not waste
    assert compute_padding_waste(model).by_region == {"FLASH": 6, "RAM": 4, "CCM": 0}
    assert model.stack_heap_hints["stack"][:2] == ["_Min_Stack_Size = 0x800", "_estack = 0x20005000"]
    assert any("derived" in note for note in model.parse_assumptions)


def test_symbols_sizes_archives_and_aliases():
    model = load_map(MAPS / "gnu_ld.map")
    symbols = {s.name: s for s in model.symbols}
    memcpy = symbols["memcpy"]
    assert (memcpy.size, memcpy.archive.endswith("libg.a"), memcpy.object_file) == (0x134, True, "lib_a-memcpy.o")
    aliases = [symbols[n] for n in ("Default_Handler", "HardFault_Handler", "SysTick_Handler", "NMI_Handler")]
    assert [a.size for a in aliases] == [2, 2, 2, 2]  # four names for the same two bytes
    owners = [a for a in aliases if a.alias_of is None]
    assert len(owners) == 1 and {a.alias_of for a in aliases} == {None, owners[0].name}
    assert symbols[".bss.frame_buffer"].size == 0x1000  # a static: named after its section
    contributors = {e.name: e.size for e in top_object_archive_contributors(model.symbols, limit=25)}
    # libsensor.a(sensor.o): .text.sensor_init 0x20, .text.sensor_read 0x14, .data 4, .bss 0x100
    assert contributors["libsensor.a(sensor.o)"] == 0x20 + 0x14 + 4 + 0x100
    assert contributors["libsensor.a(filter.o)"] == 0x68 + 0x40 + 0x40
    assert sum(s.size for s in model.symbols if s.alias_of is None) == sum(
        p.size for s in model.sections for p in s.inputs if not p.is_fill)


def test_lld_matches_gnu_ld_where_the_builds_agree():
    gnu = load_map(MAPS / "gnu_ld.map")
    lld = load_map(MAPS / "llvm_lld.map", TarnwickConfig(regions=REGIONS))
    assert lld.toolchain is Toolchain.LLVM_LLD
    sizes = lambda m: {s.name: s.size for s in m.sections if s.size}
    assert sizes(lld) == sizes(gnu)
    lld_symbols = {s.name: s.size for s in lld.symbols}
    assert lld_symbols["memset"] == 0xA2  # lld gives sizes; GNU ld's derived size covers the section
    assert lld_symbols["frame_buffer"] == 0x1000


def test_lld_without_regions_is_an_ambiguity_not_a_guess():
    model = load_map(MAPS / "llvm_lld.map")
    assert model.memory_regions == []
    assert any("no memory regions" in note for note in model.unresolved_ambiguities)
    assert compute_region_usage(model) == {}


def test_detection_is_by_content(tmp_path):
    renamed = tmp_path / "gnu.map"
    shutil.copy(MAPS / "llvm_lld.map", renamed)
    assert load_map(renamed).toolchain is Toolchain.LLVM_LLD
    other = tmp_path / "build.txt"
    shutil.copy(MAPS / "gnu_ld.map", other)
    assert load_map(other).toolchain is Toolchain.GNU_LD


def test_reserved_ranges_come_from_the_configuration():
    config = TarnwickConfig(reserved_ranges=[ReservedRangeSpec("bootloader", 0x0800_0000, 0x100)])
    model = load_map(MAPS / "gnu_ld.map", config)
    assert [(r.name, r.start, r.length) for r in model.reserved_ranges] == [("bootloader", 0x0800_0000, 0x100)]


def _truncated(name, fraction):
    lines = (MAPS / name).read_text().splitlines(keepends=True)
    return "".join(lines[:int(len(lines) * fraction)])


@pytest.mark.parametrize("content, reason", [
    (b"", "empty file"),
    (b"\n  \n\t\n", "empty file"),
    (b"\x7fELF\x01\x01\x01\x00\x00\x00", "not a usable ELF file"),
    (b"hello world\nthis is not a map\n", "not a map tarnwick reads"),
    (_truncated("gnu_ld.map", 0.3).encode(), "truncated GNU ld map"),
    (_truncated("gnu_ld.map", 0.6).encode(), "truncated GNU ld map"),
    (b"Memory Configuration\n\nName Origin Length Attributes\nFLASH 0x0 zzz\n", "truncated GNU ld map"),
    (b"     VMA      LMA     Size Align Out     In      Symbol\n 8000000 zz\n", "unreadable map row"),
    ((MAPS / "gnu_ld.map").read_bytes()[:4000] + b"\x00\x00junk", "binary"),
])
def test_bad_input_is_one_clear_error(tmp_path, content, reason):
    path = tmp_path / "bad.map"
    path.write_bytes(content)
    with pytest.raises(MapParseError) as caught:
        load_map(path)
    assert str(caught.value).startswith(f"{path}")
    assert reason in str(caught.value)


def test_errors_name_the_line(tmp_path):
    path = tmp_path / "x.map"
    path.write_text("\n\nnot a map\n")
    with pytest.raises(MapParseError, match=r"x\.map:3: not a map tarnwick reads") as caught:
        load_map(path)
    assert caught.value.line == 3


@pytest.mark.parametrize("make", [lambda p: p / "missing.map", lambda p: p])
def test_missing_file_and_directory(tmp_path, make):
    with pytest.raises(MapParseError):
        load_map(make(tmp_path))


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(name=st.sampled_from(["gnu_ld.map", "llvm_lld.map"]), data=st.data())
def test_mutated_maps_give_a_model_or_a_clear_error(tmp_path, name, data):
    original = (MAPS / name).read_bytes()
    cut = data.draw(st.integers(0, len(original)))
    start = data.draw(st.integers(0, cut))
    junk = data.draw(st.binary(max_size=40))
    path = tmp_path / "fuzz.map"
    path.write_bytes(original[:start] + junk + original[cut:])
    try:
        model = load_map(path, TarnwickConfig(regions=REGIONS))
    except MapParseError:
        return
    assert broken_invariants(model) == []
    assert model.symbols.origin_totals() == totals_by_origin(list(model.symbols), None)


CONFORMANCE = Path(__file__).resolve().parent / "conformance" / "maps"
REAL_MAPS = Path(__file__).resolve().parents[2] / "shared" / "realmaps"


@pytest.mark.parametrize("path", sorted(MAPS.glob("*.map")) + sorted(CONFORMANCE.glob("*.map"))
                         + sorted(REAL_MAPS.glob("*.map")), ids=lambda p: p.name)
def test_totals_counted_while_reading_equal_a_count_of_the_symbols(path):
    model = load_map(path, elf=None)
    assert model.symbols.origin_totals() == totals_by_origin(list(model.symbols), None)
    kept = model.symbols.origin_totals()
    model.symbols.append(model.symbols[0])  # a changed list counts again
    assert model.symbols.origin_totals() != kept or model.symbols[0].size == 0
