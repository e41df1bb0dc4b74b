"""The kinds of map file met in the field: encodings, line endings, translations, preambles,
lld's odd rows, aliases, region naming, and input made to be slow."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.config import RegionSpec, TarnwickConfig
from tarnwick.toolchains import MapParseError, load_map
from tarnwick.toolchains.base import MemoryCategory, Toolchain
from tarnwick.toolchains.building.region_kinds import region_category

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps" / "gnu_ld.map"
CONFORMANCE = Path(__file__).resolve().parent / "conformance" / "maps"


def shape(model):
    return ([(r.name, r.origin, r.length) for r in model.memory_regions],
            [(s.name, s.address, s.size, s.load_address) for s in model.sections],
            [(s.name, s.size) for s in model.symbols])


@pytest.mark.parametrize("encode", [
    lambda text: text.encode("utf-8-sig"),
    lambda text: text.encode("utf-16"),          # with its byte-order mark
    lambda text: text.encode("utf-16-le"),       # without one
    lambda text: text.replace("\n", "\r\n").encode(),
    lambda text: text.replace("\n", "\r").encode(),
    lambda text: text.replace(" " * 16 + "0x", "\t\t0x").encode(),  # tab-indented symbols
], ids=["utf8-bom", "utf16", "utf16le", "crlf", "cr", "tabs"])
def test_encodings_and_line_endings_read_as_the_plain_map(tmp_path, encode):
    path = tmp_path / "odd.map"
    path.write_bytes(encode(EXAMPLE.read_text()))
    assert shape(load_map(path)) == shape(load_map(EXAMPLE))


@pytest.mark.parametrize("preamble", [
    "Merging program properties\n\nRemoved property 0xc0000002 to merge a.o (0x3) and b.o (not found)\n\n",
    "Fusion des propriétés du programme\n\nPropriété supprimée 0xc0000002 à fusionner a.o (0x3)\n\n",
    "Some heading a future ld may print\n\n",
])
def test_any_preamble_before_the_memory_table(tmp_path, preamble):
    text = EXAMPLE.read_text()
    path = tmp_path / "preamble.map"
    path.write_text(preamble + text[text.index("Memory Configuration"):])
    assert shape(load_map(path))[:2] == shape(load_map(EXAMPLE))[:2]


def test_native_reader_errors_name_file_and_line(tmp_path):
    path = tmp_path / "cut.map"
    text = EXAMPLE.read_text()
    path.write_text(text[:text.index("OUTPUT(")])
    with pytest.raises(MapParseError) as caught:
        load_map(path)
    assert caught.value.line == text[:text.index("OUTPUT(")].count("\n")
    assert str(caught.value) == f"{path}:{caught.value.line}: truncated GNU ld map: no OUTPUT(...) line"


def test_translated_headings_and_load_address(tmp_path):
    text = (EXAMPLE.read_text().replace("Memory Configuration", "Configuration mémoire")
            .replace("Name             Origin", "Nom              Origine")
            .replace("Linker script and memory map", "Script de l'éditeurs de liens and table de projection mémoire")
            .replace("load address", "address de chargement"))
    path = tmp_path / "fr.map"
    path.write_text(text)
    data = next(s for s in load_map(path).sections if s.name == ".data")
    assert (data.load_region, data.load_address) == ("FLASH", 0x0800_0500)
    assert shape(load_map(path)) == shape(load_map(EXAMPLE))


LLD_MAP = """\
     VMA      LMA     Size Align Out     In      Symbol
       0        0        0     1 
 8000000  8000000       40     4 .text
 8000000  8000000       40     4         main.o:(.text.main)
 8000000  8000000        0     1                 $t
 8000001  8000001       3c     1                 main
 8000020  8000020        0     1                 .LBB0_1
 8000040  8000040        7     1 .rodata
 8000040  8000040        7     1         main.o:(.rodata.str)
 8000041  8000041        6     1                 greeting
20000000 20000000       10     4 .bss
20000000 20000000       10     4         main.o:(.bss..L_MergedGlobals)
20000000 20000000       10     4                 .L_MergedGlobals
20000000 20000000        4     4                 counter
20000004 20000004        c     4                 table
       0        0       2c     1 .comment
       0        0       2c     1         <internal>:(.comment)
       0        0       e9     1 .shstrtab
       0        0       e9     1         <internal>:(.shstrtab)
20000010 20000010        0     1 
"""


def test_lld_rows_that_are_not_symbols_and_sizes_it_gives(tmp_path):
    path = tmp_path / "lld.map"
    path.write_text(LLD_MAP)
    model = load_map(path)
    sizes = {s.name: s.size for s in model.symbols}
    # the Thumb bit, an odd address in data, merged globals: lld's sizes, no local labels
    assert sizes == {"main": 0x3c, ".text.main": 4, "greeting": 6, ".rodata.str": 1,
                     "counter": 4, "table": 0xc}
    assert model.toolchain is Toolchain.LLVM_LLD


def test_truncated_lld_map_is_refused(tmp_path):
    path = tmp_path / "cut.map"
    path.write_text(LLD_MAP[:LLD_MAP.index("       0        0       2c")])
    with pytest.raises(MapParseError, match="truncated LLVM lld map"):
        load_map(path)


@pytest.mark.parametrize("encode", [
    lambda text: text.encode("utf-16"), lambda text: text.replace("\n", "\r\n").encode(),
    lambda text: text.replace("\n", "\r").encode(), lambda text: text.replace("\n", "   \n").encode(),
], ids=["utf16", "crlf", "cr", "trailing-blanks"])
def test_lld_maps_in_other_encodings_and_line_endings(tmp_path, encode):
    path = tmp_path / "odd.map"
    path.write_bytes(encode(LLD_MAP))
    plain = tmp_path / "plain.map"
    plain.write_text(LLD_MAP)
    assert shape(load_map(path)) == shape(load_map(plain))


@pytest.mark.parametrize("change, line, message", [
    (lambda t: t.replace(" 8000040  8000040        7", " 8000040  18000000000000040        7"), 8,
     "unreadable map row '8000040  18000000000000040        7     1 .rodata'"),
    (lambda t: t.replace(" 8000041  8000041", " 8000041  80x0041"), 10, "unreadable map row '8000041  80x0041"),
], ids=["beyond-64-bits", "not-hex"])
def test_lld_rows_it_cannot_read_are_one_clear_error(tmp_path, change, line, message):
    path = tmp_path / "bad.map"
    path.write_bytes(change(LLD_MAP).encode())
    with pytest.raises(MapParseError) as caught:
        load_map(path, elf=None)
    assert caught.value.line == line and message in str(caught.value)


def test_gold_and_mold_maps_are_read():
    assert load_map(CONFORMANCE / "x86-gold.map").toolchain is Toolchain.GNU_GOLD
    mold = load_map(CONFORMANCE / "x86-mold.map")
    assert mold.toolchain is Toolchain.MOLD
    assert {s.name for s in mold.sections} >= {".text", ".rodata", ".data", ".bss"}


@pytest.mark.parametrize("name", ["x86-gold", "x86-mold"])
def test_truncated_gold_and_mold_maps_are_refused(tmp_path, name):
    lines = (CONFORMANCE / f"{name}.map").read_text().splitlines(keepends=True)
    path = tmp_path / "cut.map"
    path.write_text("".join(lines[:len(lines) // 2]))
    with pytest.raises(MapParseError, match="truncated"):
        load_map(path)


def test_aliases_share_the_size_and_count_once():
    model = load_map(CONFORMANCE / "arm-gnu-ld.map")
    handlers = [s for s in model.symbols if s.name in
                ("Default_Handler", "NMI_Handler", "HardFault_Handler", "SysTick_Handler")]
    assert len(handlers) == 4 and len({s.size for s in handlers}) == 1 and handlers[0].size > 0
    assert sum(s.alias_of is None for s in handlers) == 1


@pytest.mark.parametrize("name, attributes, category", [
    ("text", "xr", "flash"), ("data", "rw!x", "ram"), ("eeprom", "rw!x", "other"),
    ("fuse", "rw!x", "other"), ("lock", "rw!x", "other"), ("signature", "rw!x", "other"),
    ("ROM", "xr", "flash"), ("RAM", "", "ram"), ("INFOA", "", "flash"), ("INFOMEM", "", "flash"),
    ("VECT12", "", "flash"), ("RESETVEC", "", "flash"), ("SFR", "", "other"),
    ("iram0_0_seg", "RX", "ram"), ("dram0_0_seg", "RW", "ram"), ("irom0_0_seg", "RX", "flash"),
    ("drom0_0_seg", "R", "flash"), ("rtc_slow_seg", "RW", "ram"), ("SCRATCH_Y", "rw", "ram"),
    ("DTCM", "rw", "ram"), ("ITCM", "rwx", "ram"), ("SRAM", "", "ram"), ("IDT_LIST", "wx", "other"),
    ("m_text", "RX", "flash"), ("m_data", "RW", "ram"), ("m_interrupts", "RX", "flash"),
    ("CCMRAM", "xrw", "ram"), ("RAM_D2", "xrw", "ram"), ("DDR0", "", "ram"), ("UICR", "r", "other"),
    ("mem", "", "other"), ("mem", "rwx", "ram"), ("region0", "rx", "flash"), ("BOOTLOADER", "rx", "flash"),
])
def test_region_families(name, attributes, category):
    assert region_category(name, attributes).value == category


def test_configured_category_overrides_the_name():
    config = TarnwickConfig(regions=[RegionSpec("CCM", 0x1000_0000, 0x2000, "other")])
    model = load_map(EXAMPLE, config)
    assert {r.name: r.category for r in model.memory_regions}["CCM"] is MemoryCategory.OTHER


def test_unified_memory_splits_image_and_writable_data(tmp_path):
    """One memory holding code and data: code and the image of .data are flash, .data and
    .bss are RAM."""
    text = textwrap.dedent("""\
        Memory Configuration

        Name             Origin             Length             Attributes
        mem              0x0000000080000000 0x0000000000010000
        *default*        0x0000000000000000 0xffffffffffffffff

        Linker script and memory map

        .text           0x0000000080000000      0x100
         .text          0x0000000080000000      0x100 main.o
                        0x0000000080000000                main
        .data           0x0000000080000100       0x20
         .data          0x0000000080000100       0x20 main.o
        .bss            0x0000000080000120       0x40
         .bss           0x0000000080000120       0x40 main.o
        OUTPUT(fw.elf elf32-littleriscv)
        """)
    path = tmp_path / "unified.map"
    path.write_text(text)
    from tarnwick.analysis.symbol_breakdown import compute_flash_ram_attribution
    model = load_map(path)
    assert model.memory_regions[0].unified
    attribution = compute_flash_ram_attribution(model)
    assert (attribution.flash_bytes, attribution.ram_bytes) == (0x120, 0x60)
    assert compute_region_usage(model)["mem"].used_bytes == 0x160


@pytest.mark.parametrize("line", [
    "                0x0000000008000000                x" + " " * 200_000 + "symbol",
    " .text" + " " * 200_000 + "0x08000000 0x10 main.o",
    ".text" + " " * 100_000 + "x" + " " * 100_000 + "y",
    "                0x08000000                a = " + " " * 200_000 + ";",
], ids=["symbol", "input", "output", "assignment"])
def test_long_runs_of_blanks_parse_in_linear_time(tmp_path, line):
    """A line made to make a backtracking pattern take quadratic time; the read runs in a
    child with a deadline, so a regression shows as a failure and not a hang."""
    text = EXAMPLE.read_text()
    cut = text.index(".text           0x")
    path = tmp_path / "blanks.map"
    path.write_text(text[:cut] + line + "\n" + text[cut:])
    code = f"from tarnwick.toolchains import load_map; load_map({str(path)!r})"
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)
