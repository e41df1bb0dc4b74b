"""Every byte of every region accounted in every output, map-only sizes that say when they may
take in statics, and regions as the linker lists them; checked on every map the tests have
(and the shared ones when they are there) and against the ELF files of the conformance links."""

import json
import re
from pathlib import Path

import pytest

from test_conformance import elf_sections, linker_table
from tarnwick.app.cli import main

HERE = Path(__file__).resolve().parent
CONFORMANCE = HERE / "conformance" / "maps"
SHARED = HERE.parents[1] / "shared"
MAPS = sorted([*CONFORMANCE.glob("*.map"), *(HERE / "vendor_maps").glob("*.map"),
               *(HERE.parent / "examples" / "firmware" / "maps").glob("*.map"),
               *(SHARED / "realmaps").glob("*.map"), *(SHARED / "vendormaps").glob("*.map")])
GNU_LD_LINKS = sorted(p.name[:-len(".memory-usage.txt")] for p in CONFORMANCE.glob("*.memory-usage.txt"))


def run(capsys, *arguments) -> str:
    code = main(["analyze", *map(str, arguments)])
    out, _ = capsys.readouterr()
    assert code in (0, 1), out  # 1: a finding (the overflow links)
    return out


@pytest.mark.parametrize("path", MAPS, ids=lambda p: p.name)
def test_every_region_adds_up_in_every_output(path, capsys):
    document = json.loads(run(capsys, path, "--format", "json"))
    used = {row["name"]: row["used_bytes"] for row in document["trends"]["visualization"]["regions"]}
    books = {book["name"]: book for book in document["accounting"]["regions"]}
    for name, book in books.items():
        assert sum(line["bytes"] for line in book["lines"]) == book["accounted_bytes"] == book["used_bytes"], name
        if name in used:
            assert book["used_bytes"] == used[name], name
    assert {name for name, size in used.items() if size} <= set(books)
    # a negative line only where sections really share addresses (an OVERLAY, the counter set back)
    for book in books.values():
        assert all(line["bytes"] > 0 or line["kind"] == "overlap" for line in book["lines"])

    text = run(capsys, path, "--top", "3")
    accounted = re.findall(r"^(.+): accounted ([\d,]+) of ([\d,]+) B$", text, re.M)
    assert accounted and all(a == b for _name, a, b in accounted)
    for name, a, _ in accounted:
        if name in used:
            assert int(a.replace(",", "")) == used[name]

    comment = run(capsys, path, "--format", "markdown", "--top", "3")
    summaries = re.findall(r"<summary>Where the bytes go in .+ \(([\d,]+) of ([\d,]+) B accounted\)</summary>", comment)
    assert summaries and all(a == b for a, b in summaries)


def _region_of(address: int, regions: dict):
    return next((name for name, (origin, length) in regions.items() if origin <= address < origin + length), None)


@pytest.mark.parametrize("name", GNU_LD_LINKS)
def test_the_gaps_are_what_the_elf_leaves_between_sections(name, capsys):
    """Against objdump's section table of the link's ELF: each region's sections and load
    images add up to what the lines other than the gaps hold, and the gaps to the region's use
    (ld's figure, and on the CMSIS link the image ld's table leaves out) less that."""
    document = json.loads(run(capsys, CONFORMANCE / f"{name}.map", "--format", "json"))
    regions = {r["name"]: (r["origin"], r["length"]) for r in document["regions"]}
    placed = {region: 0 for region in regions}
    for vma, lma, size, flags in elf_sections(name):
        runs = _region_of(vma, regions)
        if runs is not None:
            placed[runs] += size
        loads = _region_of(lma, regions)
        if lma != vma and "LOAD" in flags and loads not in (None, runs):
            placed[loads] += size
    ld_used, _ = linker_table((CONFORMANCE / f"{name}.memory-usage.txt").read_text())
    for book in document["accounting"]["regions"]:
        if book["name"] not in ld_used:
            continue
        lines = {line["kind"]: 0 for line in book["lines"]}
        for line in book["lines"]:
            lines[line["kind"]] += line["bytes"]
        held = sum(size for kind, size in lines.items() if kind not in ("gaps", "overlap"))
        assert held == placed[book["name"]], book["name"]
        assert lines.get("gaps", 0) + lines.get("overlap", 0) == book["used_bytes"] - held, book["name"]
        assert book["used_bytes"] - ld_used[book["name"]] in (0, 9), book["name"]  # 9: see test_conformance


@pytest.mark.parametrize("path, region, expected", [
    # the TI map's heap (.sysmem) and stack, which no symbol names
    (SHARED / "vendormaps" / "ti-arm-20.2.6-msp432-blink-1.map", "SRAM_DATA",
     {"reserved: .sysmem": 32_752, "reserved: .stack": 4_092}),
    (SHARED / "realmaps" / "am335x-baremetal-uart.map", "DDR0", {"reserved: .stack": 134_217_720}),
    (HERE / "vendor_maps" / "ti-arm-ramfunc.map", "SRAM", {"reserved: .stack": 1_024}),
    (HERE / "vendor_maps" / "ti-arm-ramfunc.map", "FLASH", {"load image of .TI.ramfunc": 64}),
    (HERE / "vendor_maps" / "iar-stm8-place-at-end.map", "P2", {"reserved: CSTACK": 256}),
    (CONFORMANCE / "arm-gnu-ld-statics.map", "RAM", {"reserved: .stack": 2_048}),
])
def test_reservations_and_images_are_named_by_their_section(path, region, expected, capsys):
    if not path.exists():
        pytest.skip(f"{path} is not here")
    document = json.loads(run(capsys, path, "--format", "json"))
    book = next(b for b in document["accounting"]["regions"] if b["name"] == region)
    assert {line["label"]: line["bytes"] for line in book["lines"] if line["label"] in expected} == expected


def _symbols(document) -> dict:
    return {s["name"]: (s["size"], s["size_source"]) for s in document["symbols"] if s["binding"] != "unnamed"}


@pytest.mark.parametrize("path, name, nm_size, bound", [
    # a global followed by 8 KB of statics in one .bss input section: at most 8,193 B
    (CONFORMANCE / "arm-gnu-ld-statics.map", "log_level", 1, 8_193),
    (CONFORMANCE / "arm-gnu-ld-statics.map", "tx_buffer", 4_096, 4_096),
    # newlib's memset in a .text shared with its helpers: at most 164 B, nm -S says 162
    (HERE.parent / "examples" / "firmware" / "maps" / "gnu_ld.map", "memset", 162, 164),
])
def test_a_map_only_size_that_may_hold_statics_is_an_upper_bound(path, name, nm_size, bound, capsys):
    alone = _symbols(json.loads(run(capsys, path, "--no-elf", "--format", "json")))
    assert alone[name] == (bound, "bound") and nm_size <= bound
    with_elf = _symbols(json.loads(run(capsys, path, "--format", "json")))
    assert with_elf[name] == (nm_size, "elf")
    text = run(capsys, path, "--no-elf", "--top", "20")
    assert re.search(rf"^  {re.escape(name)} +≤{bound:,} B ", text, re.M)


def test_a_section_of_its_own_gives_an_exact_size(capsys):
    """-fdata-sections: `.bss.frame` holds `frame` alone, so its size is the input section's."""
    symbols = _symbols(json.loads(run(capsys, CONFORMANCE / "arm-gnu-ld-statics.map", "--no-elf", "--format", "json")))
    nm = {line.split()[3]: int(line.split()[1], 16) for line in (CONFORMANCE / "arm-gnu-ld-statics.nm.txt").read_text().splitlines()
          if len(line.split()) == 4}
    assert symbols["frame"] == (nm["frame"], "derived") and symbols["frame_counter"] == (nm["frame_counter"], "derived")


def _region_rows(text: str) -> list:
    table = text.split("\n\n")[1].splitlines()[1:]
    return [re.split(r"\s{2,}", row.strip())[0] for row in table if not row.startswith("Totals")]


@pytest.mark.parametrize("path, expected", [
    # AVR: its flash region first, as avr-gcc's script lists it (alphabetically it came sixth)
    (SHARED / "realmaps" / "avr-atmega328p-blink.map",
     ["text", "data", "eeprom", "fuse", "lock", "signature", "user_signatures"]),
    # MSP430: the memories the program is in first, then the script's order, the 15 two-byte
    # vectors one line
    (SHARED / "realmaps" / "msp430-gcc-blink.map",
     ["RAM", "ROM", "SFR", "INFOMEM", "INFOA", "INFOB", "INFOC", "INFOD", "BSLSIGNATURE",
      "VECT1 … VECT15 (15 regions)", "RESETVEC"]),
    (HERE / "vendor_maps" / "ti-msp430fr-fram.map",
     ["RAM", "FRAM", "SFR", "PERIPHERALS_8BIT", "PERIPHERALS_16BIT", "INFOA", "JTAGSIGNATURE", "BSLSIGNATURE",
      "INT44", "RESET"]),
])
def test_regions_in_the_linkers_order(path, expected, capsys):
    if not path.exists():
        pytest.skip(f"{path} is not here")
    text = run(capsys, path, "--top", "0")
    assert _region_rows(text) == expected
    assert "near capacity" not in text  # a full two-byte vector is how it is meant to be


def test_a_family_of_tiny_regions_is_one_line_in_text_and_markdown_and_every_region_in_json(capsys):
    path = SHARED / "vendormaps" / "ti-msp430-16.9.4-fr5969-1.map"
    if not path.exists():
        pytest.skip(f"{path} is not here")
    text = run(capsys, path, "--top", "0")
    assert re.search(r"^INT00 … INT54 \(55 regions\) +50 B +110 B +45\.5%", text, re.M)
    comment = run(capsys, path, "--format", "markdown", "--top", "0")
    assert "| INT00 … INT54 \\(55 regions\\) | 50 B | 110 B | 45.5% |" in comment
    document = json.loads(run(capsys, path, "--format", "json"))
    assert sum(1 for r in document["trends"]["visualization"]["regions"] if r["name"].startswith("INT")) == 55


def test_what_a_person_reads(capsys, tmp_path):
    """Budgets as percentages, the legend before the lists, the time to the second, Windows
    paths as the linker wrote them."""
    firmware = HERE.parent / "examples" / "firmware"
    config = firmware / "tarnwick.toml"
    text = run(capsys, firmware / "maps" / "gnu_ld.map", "--config", config)
    assert "Region RAM uses 36.6%, above its budget of 30.0%." in text and "0.366" not in text
    document = json.loads(run(capsys, firmware / "maps" / "gnu_ld.map", "--config", config, "--format", "json"))
    assert "utilization is 0.366, above configured threshold 0.300" in document["issues"][0]["description"]
    comment = run(capsys, firmware / "maps" / "gnu_ld.map", "--config", config, "--format", "markdown", "--no-elf")
    assert comment.index("statics the map does not list") < comment.index("<details>")
    page = run(capsys, firmware / "maps" / "gnu_ld.map", "--config", config, "--format", "html")
    shown = re.search(r'<time datetime="([^"]+)">([^<]+)</time>', page)
    assert shown and "." not in shown[2] and re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d.*", shown[2])
    iar = run(capsys, HERE / "vendor_maps" / "iar-arm8-init-by-copy.map", "--format", "json")
    assert "\\\\\\\\" not in iar  # no path doubled its backslashes on the way
    windows = tmp_path / "windows.map"
    windows.write_text((HERE / "vendor_maps" / "ti-arm-ramfunc.map").read_text().replace(
        "rtsv7M4_T_le_v4SPD16_eabi.lib : boot_cortex_m.c.obj", "C:\\ti\\lib/rtsv7M4.lib : boot_cortex_m.c.obj"))
    shown = run(capsys, windows, "--top", "20")
    assert "rtsv7M4.lib(boot_cortex_m.c.obj)" in shown and "\\\\" not in shown
