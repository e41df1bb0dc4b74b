"""Maps of Arm's armlink, IAR's ILINK and TI's linker: the figures equal what each file states
about itself. The expectations are read from the files with this test's own patterns, never
from the readers: ../shared/vendormaps holds maps of other people's builds (skipped when
absent), tests/vendor_maps small maps written here for what those do not show."""

import json
import re
from pathlib import Path

import pytest

from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.api import analyze
from tarnwick.app.cli import main
from tarnwick.config import TarnwickConfig
from tarnwick.toolchains import MapParseError, load_map

HERE = Path(__file__).resolve().parent
SHARED = HERE.parents[1] / "shared" / "vendormaps"
OURS = HERE / "vendor_maps"
SHARED_MAPS = sorted(SHARED.glob("*.map")) if SHARED.is_dir() else []
OUR_MAPS = sorted(OURS.glob("*.map"))


def digits(text: str) -> int:
    text = text.replace("'", "").replace(" ", "")
    return int(text, 16) if text.startswith("0x") else int(text)


def stated(text: str, path: Path = None) -> dict:
    """{"toolchain", "flash", "ram", "regions": {name: used}} as the file states them (for SDCC,
    its .mem file beside it)."""
    if text.lstrip().startswith("ASxxxx Linker") and not path.with_suffix(".mem").exists():
        # a single address space (STM8) without its .mem: the flash areas, each area once, however
        # many pages its heading is repeated on
        areas = set(re.findall(r"^(HOME|GSINIT\d?|GSFINAL|CONST|INITIALIZER|CODE)\s+([0-9A-F]{8})\s+[0-9A-F]{8} =\s+(\d+)\. "
                               r"bytes", text, re.M))
        return {"toolchain": "sdcc", "flash": sum(int(size) for *_, size in areas), "ram": None, "regions": {}}
    if text.lstrip().startswith("ASxxxx Linker"):
        mem = path.with_suffix(".mem").read_text()
        rom = int(re.search(r"ROM/EPROM/FLASH\s+0x\S+\s+0x\S+\s+(\d+)", mem).group(1))
        external = sum(int(size) for size in re.findall(r"(?:EXTERNAL RAM|PAGED EXT\. RAM)\s+(?:0x\S+\s+0x\S+\s+)?(\d+)", mem))
        cells = "".join(re.findall(r"^0x[0-9a-f]{2}:\|(.*)\|$", mem, re.M)).replace("|", "")
        internal = sum(1 for cell in cells if cell != " ")
        return {"toolchain": "sdcc", "flash": rom, "ram": internal + external,
                "regions": {"ROM": rom, "IRAM": internal, "XRAM": external}}
    if re.match(r"\s*(?:BL51 BANKED|LX51) LINKER/LOCATER", text):
        # "Program Size: data=80.1 xdata=0 code=4218": bytes, and bits after the point
        size = {name: int(value) for name, value in re.findall(r"(\w+)=(\d+)(?:\.\d)?", text.split("Program Size:")[1].splitlines()[0])}
        flash = size["code"] + size.get("const", 0)
        return {"toolchain": "keil_c51", "flash": flash, "ram": size["data"] + size["xdata"],
                "regions": {"ROM": flash, "IRAM": size["data"], "XRAM": size["xdata"]}}
    if re.search(r"^Map of .+ from link file ", text[:500], re.M):
        # COSMIC clnk: the Segments table's lengths, by the segments' names
        segments = re.findall(r"^start [0-9a-f]{8} end [0-9a-f]{8} length\s+(\d+) segment (\S+)", text, re.M)
        flash = sum(int(n) for n, name in segments if name in (".text", ".const", ".init", ".vector"))
        ram = sum(int(n) for n, name in segments if name in (".bsct", ".ubsct", ".data", ".bss", ".bit", ".share"))
        return {"toolchain": "cosmic", "flash": flash, "ram": ram, "regions": {}}
    if text.startswith("Renesas Optimizing Linker"):
        totals = dict(re.findall(r"^(ROMDATA|RAMDATA|PROGRAM) SECTION:\s+([0-9a-fA-F]+) Byte", text, re.M))
        if totals:
            return {"toolchain": "renesas_rlink", "flash": int(totals["ROMDATA"], 16) + int(totals["PROGRAM"], 16),
                    "ram": int(totals["RAMDATA"], 16), "regions": {}}
        # no totals (RH850): its RAM is at 0xFE000000 and above, the rest is ROM
        rows = [(int(a, 16), int(n, 16)) for a, n in re.findall(r"^\S+\s*\n\s+([0-9a-f]{8})\s+[0-9a-f]{8}\s+([0-9a-f]+)",
                                                               text, re.M)]
        copies = len(re.findall(r"-rom=", text))
        assert copies == 1  # .data copied to .data.R: its image is the ROM section
        return {"toolchain": "renesas_rlink", "flash": sum(n for a, n in rows if a < 0xFE000000),
                "ram": sum(n for a, n in rows if a >= 0xFE000000), "regions": {}}
    if text.startswith("Component:"):
        total = {kind: int(value) for kind, value in re.findall(r"Total (ROM|RW)\s+Size \([^)]*\)\s+(\d+)", text)}
        regions = {}
        load_base = load_size = 0
        for kind, name, props in re.findall(r"(Load|Execution) Region (\S+) \((.*)\)", text):
            fields = dict(re.findall(r"(?:^|, )([A-Za-z][A-Za-z ]*): (0x[0-9a-fA-F]+)", props))
            compressed = re.search(r"COMPRESSED\[(0x[0-9a-fA-F]+)\]", props)
            if kind == "Load":
                load_base, load_size = int(fields["Base"], 16), int(fields["Size"], 16)
            if "Base" in fields and kind == "Execution":  # Arm Compiler 5 before update 6: no Exec/Load base
                runs_elsewhere = not load_base <= int(fields["Base"], 16) < load_base + load_size
            else:
                runs_elsewhere = kind == "Execution" and fields.get("Exec base") != fields.get("Load base")
            capacity_known = fields.get("Max") != "0xffffffff"
            if (kind == "Load" or runs_elsewhere) and capacity_known or "EMPTY" in props:
                # a load region's bytes stored: its compressed size where its RW data is compressed
                regions[name] = int(compressed.group(1), 16) if compressed and kind == "Load" else int(fields["Size"], 16)
        empty = sum(int(size, 16) for size in re.findall(r"Size: (0x[0-9a-f]+), Max: [^)]*EMPTY", text))
        # the load regions state their size with the alignment fill that Total ROM Size leaves out
        loads = sum(size for name, size in regions.items() if re.search(rf"Load Region {name} ", text))
        return {"toolchain": "armlink", "flash": total["ROM"], "ram": total["RW"] + empty, "regions": regions,
                "left out": {"flash": max(loads - total["ROM"], 0)}}
    if text.startswith("Microchip Technology Inc") and "xc16-ld" in text:
        totals = {name: int(value) for name, value in  # v1.25 writes the region's name without quotes
                  re.findall(r'Total "?(\w+?)"? memory used \(bytes\):\s+\S+\s+\((\d+)\)', text)}
        return {"toolchain": "xc16", "flash": totals["program"], "ram": totals["data"], "regions": totals}
    if text.startswith("Microchip MPLAB XC8"):
        # words of program memory and configuration are 2 bytes in the HEX file (PIC10/12/16);
        # configuration words and ID locations are memories of their own, not program flash
        used = {kind: int(n) * (2 if unit.startswith("word") else 1) for kind, n, unit in re.findall(
            r"^\s+(Program space|Data space|EEPROM space|Configuration bits|ID Location space)\s+used\s+\S+\s+"
            r"\(\s*(\d+)\)\s+of\s+\S+\s+(\w+)", text, re.M)}
        if used:
            return {"toolchain": "xc8", "flash": used["Program space"], "ram": used["Data space"],
                    "regions": {"CONFIG": used["Configuration bits"], "EEDATA": used["EEPROM space"]}}
        # no memory summary: the SEGMENTS table (lengths in the class's units, DELTA bytes each)
        delta = {klass: int(n) for klass, n in re.findall(r"-D(\w+)=(\d+)", text)}
        segments = re.findall(r"^\s+\w+\s+[0-9A-F]{6}\s+([0-9A-F]{6})\s+[0-9A-F]{6}\s+[0-9A-F]+\s+(\d+)\s+(\w+)",
                              text.split("SEGMENTS", 1)[1].split("UNUSED ADDRESS RANGES")[0], re.M)
        length = {}
        for size, space, klass in segments:
            key = "data" if space == "1" else klass
            length[key] = length.get(key, 0) + int(size, 16) * delta.get(klass, 1)
        return {"toolchain": "xc8", "flash": length.get("CODE", 0), "ram": length.get("data", 0),
                "regions": {klass: length[klass] for klass in ("CONFIG", "IDLOC") if klass in length}}
    if "IAR Universal Linker" in text:
        totals = {kind: int(value.replace(" ", "")) for value, kind in
                  re.findall(r"^\s*([\d ]+?) bytes of (\w+)\s+memory", text, re.M)}
        ram = sum(value for kind, value in totals.items() if kind in ("DATA", "IDATA", "XDATA"))
        return {"toolchain": "iar_xlink", "flash": sum(totals.values()) - ram, "ram": ram, "regions": {}}
    if "Microchip PIC32 Memory-Usage Report" in text:
        regions = {name: int(value) for name, value in re.findall(r"Total (\w+_mem) used\s*:\s+\S+\s+(\d+)", text)}
        kinds = {kind: int(value) for kind, value in re.findall(r"Total (\w+) Memory used\s*:\s+\S+\s+(\d+)", text)}
        return {"toolchain": "xc32", "flash": kinds["Program"] + kinds.get("Boot", 0), "ram": kinds["Data"],
                "regions": regions}
    if "IAR ELF Linker" in text:
        totals = {(a, b): digits(n) for n, a, b in
                  re.findall(r"^\s*([\d' ]+?) bytes of (readonly|readwrite)\s+(code|data) memory", text, re.M)}
        flash = totals[("readonly", "code")] + totals.get(("readonly", "data"), 0)
        # each part of the placement summary states its size in its heading: what these add up to
        # beyond both totals is alignment of read-write parts that the readwrite total leaves out
        parts = sum(digits(size) for size in re.findall(r'^"[^"]+"(?:, part \d+ of \d+)?:\s+(0x[0-9a-f\']+)\s*$', text, re.M))
        return {"toolchain": "iar_ilink", "flash": flash, "ram": totals[("readwrite", "data")], "regions": {},
                "left out": {"ram": parts - flash - totals[("readwrite", "data")]}}
    rows = re.findall(r"^  (\S+)\s+([0-9a-f]{8})\s+([0-9a-f]{8})\s+([0-9a-f]{8})\s+[0-9a-f]{8}\s+(R[ W][ I]?[ X]?)",
                      text, re.M)
    words = 2 if "C2000" in text[:400] else 1  # C2000 counts 16-bit words
    used = {name: int(value, 16) * words for name, _origin, _length, value, _attr in rows}
    sections = [(int(a, 16), int(n, 16)) for a, n in re.findall(r"^\S+\s+\d+\s+([0-9a-f]{8})\s+([0-9a-f]{8})", text, re.M)]
    # one memory seen at two addresses states its use twice: count it where the sections are
    flash = ram = 0
    for name, origin, length, value, attr in rows:
        start = int(origin, 16)
        holds = any(start <= address < start + int(length, 16) for address, size in sections if size)
        twin = any(other != name and (l, v) == (length, value) for other, _o, l, v, _a in rows)
        if twin and not holds and int(value, 16):
            continue  # shown as the map states it, counted once
        # RAM by its name where every region is RWIX (an MSP430 FRAM part: FRAM is no RAM)
        if ("RAM" in name.upper() and "FRAM" not in name.upper()) or ("W" in attr and "X" not in attr):
            ram += int(value, 16) * words
        else:
            flash += int(value, 16) * words
    return {"toolchain": "ti_linker", "flash": flash, "ram": ram, "regions": used}


def report_of(path):
    """(the model, its report) as `analyze` makes them: the map's stated totals checked."""
    result = analyze(path, config=TarnwickConfig())
    return result.model, result.report


READ_MAPS = SHARED_MAPS + OUR_MAPS


@pytest.mark.parametrize("path", READ_MAPS, ids=lambda p: p.name)
def test_figures_equal_what_the_map_states(path):
    expected = stated(path.read_text(encoding="utf-8", errors="replace"), path)
    model, report = report_of(path)
    assert report.metadata.toolchain_detected == expected["toolchain"]
    notes = report.diagnostics["unresolved_ambiguities"]
    for kind, figure in (("flash", report.summary.total_flash), ("RAM", report.summary.total_ram)):
        theirs = expected[kind.lower()]
        if theirs is None:  # the file states none
            continue
        # fill that the file's total leaves out: shown with both figures, the file's first
        left_out = expected.get("left out", {}).get(kind.lower(), 0)
        assert figure == theirs + left_out, kind
        assert not left_out or any(note.startswith(f"the map states {kind} {theirs:,} B") and f"{figure:,} B" in note
                                   for note in notes)
    usage = {name: u.used_bytes for name, u in compute_region_usage(model).items()}
    assert {name: usage.get(name) for name in expected["regions"]} == expected["regions"]
    explained = [f"the map states {kind} " for kind, share in (("flash", "flash"), ("RAM", "ram"))
                 if expected.get("left out", {}).get(share)]
    assert [note for note in notes if not note.startswith(tuple(explained))] == [] or not model.memory_regions
    assert report.issues == []  # a clean, ordinary build gives no findings
    assert any(symbol.size for symbol in model.symbols)


def test_iar_placement_ranges_use_what_the_unused_ranges_leave():
    """IAR 9 lists the free ranges: each region's use is its range less them."""
    path = OURS / "iar-arm8-init-by-copy.map"
    model, _ = report_of(path)
    usage = compute_region_usage(model)
    text = path.read_text()
    for name, low, high in re.findall(r'^"(P\d)":\s+place in \[from (\S+) to (\S+?)\]', text, re.M):
        start, end = digits(low), digits(high) + 1
        free = sum(digits(b) + 1 - digits(a) for a, b, _ in re.findall(r"^\s+(0x\S+)\s+(0x\S+)\s+(0x\S+)\s*$", text, re.M)
                   if start <= digits(a) < end)
        assert usage[name].used_bytes == end - start - free


@pytest.mark.parametrize("name, symbol, size, origin", [
    ("armlink-ac6-scatter.map", "s_counter", 4, "main.o"),  # a static, from the local symbols
    ("armlink-ac6-scatter.map", "memcpy", 56, "c_w.l(memcpy.o)"),  # armlink's own library
    ("iar-arm8-init-by-copy.map", "Sensor::read(int) const", 0x70, "main.o"),  # a name with spaces, wrapped
    ("iar-arm8-init-by-copy.map", "calibrate_sensor_channel_with_a_really_long_name", 0xb8, "sensor.a(calibration.o)"),
    ("iar-arm8-init-by-copy.map", "memcpy", 0x36, "rt7M_tl.a(ABImemcpy.o)"),
    ("ti-arm-ramfunc.map", "fast_isr", 0x40, "main.obj"),
    ("xc8-pic16f877a.map", "_delay", 2 * 0x19, "blink.X.production.o"),  # 25 words of program memory
    ("xc8-pic16f877a.map", "_period", 4, "blink.X.production.o"),  # data: bytes  # found where it runs, not where it loads
    ("ti-arm-ramfunc.map", "_c_int00_noargs", 0x30, "rtsv7M4_T_le_v4SPD16_eabi.lib(boot_cortex_m.c.obj)"),
])
def test_symbols_have_their_sizes_and_origins(name, symbol, size, origin):
    model, _ = report_of(OURS / name)
    found = [s for s in model.symbols if s.name == symbol]
    assert [(s.size, s.contributor) for s in found] == [(size, origin)]


def test_symbols_account_for_every_byte_once():
    for path in READ_MAPS:
        model, _ = report_of(path)
        counted = sum(s.size for s in model.symbols if s.alias_of is None)
        placed = sum(part.size for section in model.sections for part in section.inputs if not part.is_fill)
        assert counted == placed, path.name


def _variant(tmp_path, name, *replacements):
    text = (OURS / name).read_text()
    for old, new in replacements:
        assert old in text
        text = text.replace(old, new)
    path = tmp_path / name
    path.write_text(text)
    return path


def test_armlink_overflow_is_a_finding_and_fails_the_policy(tmp_path, capsys):
    path = _variant(tmp_path, "armlink-ac6-scatter.map", ("Size: 0x00000118, Max: 0x00004000", "Size: 0x00000118, Max: 0x00000100"))
    code = main(["analyze", str(path)])
    out, err = capsys.readouterr()
    assert code == 1 and "overflow.RW_IRAM1: Region RW_IRAM1 exceeds capacity by 24 bytes." in out


def test_armlink_compressed_rw_data_counts_its_image_once(tmp_path):
    path = _variant(tmp_path, "armlink-ac6-scatter.map",
                    ("Size: 0x00000210, Max: 0x00020000", "Size: 0x0000020c, Max: 0x00020000"),
                    ("Size: 0x00000118, Max: 0x00004000, ABSOLUTE)", "Size: 0x00000118, Max: 0x00004000, ABSOLUTE, COMPRESSED[0x0000000c])"),
                    ("0x20000000   0x08000200", "0x20000000   COMPRESSED"),
                    ("0x20000004   0x08000204", "0x20000004   COMPRESSED"),
                    ("(Code + RO Data + RW Data)        528", "(Code + RO Data + RW Data)        524"))
    model, report = report_of(path)
    assert (report.summary.total_flash, report.summary.total_ram) == (524, 4376)
    assert compute_region_usage(model)["LR_IROM1"].used_bytes == 0x20C
    assert report.issues == [] and model.unresolved_ambiguities == []


def test_iar_failed_placement_is_the_overflow_the_linker_reports(tmp_path, capsys):
    message = ("Error[Lp011]: section placement failed\n"
               "            unable to allocate space for sections/blocks with a total estimated\n"
               "                      minimum size of 0x5200 bytes (max align 0x8) in\n"
               "                      <[0x2000'0000-0x2000'4fff]> (total uncommitted space 0x4ae8).\n\n")
    path = _variant(tmp_path, "iar-arm8-init-by-copy.map", ("Errors: none", message + "Errors: 1"))
    code = main(["analyze", str(path)])
    out, _ = capsys.readouterr()
    assert code == 1 and f"Region P2 exceeds capacity by {0x5200 - 0x4ae8} bytes." in out


@pytest.mark.parametrize("name", [p.name for p in OUR_MAPS])
@pytest.mark.parametrize("form", ["text", "json", "markdown", "html"])
def test_every_output_reads_a_vendor_map(capsys, name, form):
    assert main(["analyze", str(OURS / name), "--format", form]) == 0
    out, err = capsys.readouterr()
    assert err == "" and out
    if form == "json":
        assert json.loads(out)["metadata"]["toolchain_detected"] in (
            "armlink", "iar_ilink", "ti_linker", "xc16", "xc32", "iar_xlink", "sdcc", "xc8", "keil_c51", "cosmic",
            "renesas_rlink")


def test_a_grown_buffer_shows_in_the_comparison_by_symbol(tmp_path, capsys):
    grown = _variant(tmp_path, "iar-arm8-init-by-copy.map",
                     ("  .bss               zero     0x2000'0014  0x104  main.o [1]",
                      "  .bss               zero     0x2000'0014  0x204  main.o [1]"),
                     ("s_samples              0x2000'0014  0x104", "s_samples              0x2000'0014  0x204"),
                     ("0x2000'0518  0x2000'4fff  0x4ae8", "0x2000'0618  0x2000'4fff  0x49e8"),
                     ("1'304 bytes of readwrite", "1'560 bytes of readwrite"))
    code = main(["diff", str(OURS / "iar-arm8-init-by-copy.map"), str(grown), "--format", "json"])
    comparison = json.loads(capsys.readouterr()[0])["comparison"]
    assert code == 0
    assert [(c["name"], c["delta"], c["estimated"]) for c in comparison["symbols"]] == [("s_samples", 256, False)]


@pytest.mark.parametrize("name, line, text, expected", [
    ("armlink-ac6-scatter.map", "    0x080000c0   0x080000c0   0x00000040   Code   RO            9  * .text.main          main.o",
     "    0x080000c0   0x080000c0   0x000000zz   Code", "expected a memory map row"),
    ("armlink-ac6-scatter.map", "    0x080000c0   0x080000c0   0x00000040   Code   RO            9  * .text.main          main.o",
     "    0x080000c0   0   0x00000040   Code   RO            9  * .text.main          main.o", "expected a memory map row"),
    ("keil-lx51-const-xdata.map", "000003H   000050H   00004EH   BYTE   UNIT     CODE           ?PR?READ_SENSOR?SENSOR",
     "000003H   000050H   0000zzH   BYTE   UNIT     CODE           ?PR?READ_SENSOR?SENSOR", "expected a segment row"),
    ("renesas-ccrx-rom-copies.map", "                                  00000018  00000117       100   4",
     "                                  00000018  00000117       1zz   4", "names section B without its START, END"),
    ("cosmic-stm8-eeprom-data.map", "start 00008094 end 000080a0 length    12 section .const",
     "start 00008094 end 000080a0 length    14 section .const", "they do not agree"),
    ("armlink-ac6-scatter.map", "    0x08000180   0x08000180   0x00000040   Code   RO           11    .text.Reset_Handler  main.o",
     "    0x08000180   0x08000180   0x00000040   Blob   RO           11    .text.Reset_Handler  main.o",
     "unknown section type Blob RO"),
    ("armlink-ac6-scatter.map", "  Load Region LR_IROM1 (Base: 0x08000000, Size: 0x00000210, Max: 0x00020000, ABSOLUTE)",
     "  Load Region LR_IROM1 (Base: 0x08000000, Max: 0x00020000, ABSOLUTE)", "expected 'Load Region NAME"),
    ("ti-arm-ramfunc.map", ".text      0    00000040    00000150     ", ".text      0    000000zz    00000150     ",
     "expected a row of the section allocation map"),
    ("xc8-pic16f877a.map", "                cinit                               7FC      7FC        4         0",
     "                cinit                               7FC      7FC        4zz       0", "expected a psect row"),
    ("iar-xlink-msp430.map", "DATA16_I                               0214 - 0215               2   rel    1",
     "DATA16_I                               0214 - 0215               2   rel    x", "expected a row of the segments"),
])
def test_an_unreadable_part_names_the_file_line_and_what_was_expected(tmp_path, capsys, name, line, text, expected):
    path = _variant(tmp_path, name, (line, text))
    number = path.read_text().splitlines().index(text) + 1
    assert main(["analyze", str(path)]) == 2
    err = capsys.readouterr()[1]
    assert err.startswith(f"tarnwick: error: {path}:{number}: ") and expected in err and err.count("\n") == 1


def test_an_unknown_format_names_the_formats_and_its_first_words(tmp_path):
    path = tmp_path / "other.map"
    path.write_text("#" * 70 + "\n#\n#  Some Other Linker 1.0   \n#\n" + "*" * 70 + "\nSECTIONS ...\n")
    with pytest.raises(MapParseError) as caught:
        load_map(path)
    message = str(caught.value)
    assert message.startswith(f"{path}:3: not a map tarnwick reads")
    assert all(word in message for word in ("GNU ld", "LLVM lld", "armlink", "IAR ILINK", "IAR XLINK", "TI linker",
                                            "XC8", "SDCC", "BL51", "LX51", "COSMIC", "Renesas", "ELF"))
    assert message.endswith("it begins '#  Some Other Linker 1.0'")


def test_an_elf_named_for_a_vendor_map_is_said_to_be_unused(capsys, tmp_path):
    elf = HERE.parent / "examples" / "firmware" / "maps" / "gnu_ld.elf"
    assert main(["analyze", str(OURS / "armlink-no-scatter.map"), "--elf", str(elf)]) == 0
    err = capsys.readouterr()[1]
    assert err == f"tarnwick: warning: {elf} is not read: armlink maps state their symbols' sizes themselves\n"


@pytest.mark.parametrize("name, line, text", [
    ("armlink-ac6-scatter.map", "    0x080000c0   0x080000c0   0x00000040   Code   RO            9  * .text.main          main.o",
     "    0x1ffffffffffffffff   0x080000c0   0x00000040   Code   RO            9  * .text.main          main.o"),
    ("xc8-pic16f877a.map", "                cinit                               7FC      7FC        4         0",
     "                cinit                   1FFFFFFFFFFFFFFFF      7FC        4         0"),
    ("iar-xlink-msp430.map", "  Relative segment, address: 0214 - 0215 (0x2 bytes), align: 1",
     "  Relative segment, address: 10000000000000214 - 0215 (0x2 bytes), align: 1"),
])
def test_an_address_beyond_64_bits_is_one_clear_error(tmp_path, capsys, name, line, text):
    path = _variant(tmp_path, name, (line, text))
    assert main(["analyze", str(path)]) == 2
    err = capsys.readouterr()[1]
    assert "lies beyond the 64-bit address space" in err and err.count("\n") == 1


def test_an_xlink_line_of_bytes_without_a_figure_is_no_total(tmp_path, capsys):
    path = _variant(tmp_path, "iar-xlink-msp430.map", ("Errors:", "   bytes of CODE memory\nErrors:"))
    summaries = []
    for read in (OURS / "iar-xlink-msp430.map", path):
        assert main(["analyze", str(read), "--format", "json"]) == 0
        summaries.append(json.loads(capsys.readouterr()[0])["summary"])
    assert summaries[0] == summaries[1] and summaries[0]["total_flash"] > 0


def test_xc16_program_memory_is_counted_in_bytes_and_data_memory_apart():
    """Program memory in PC units (3 bytes to two units) against data memory, an address space
    of its own whose addresses overlap program memory's: .nbss at data 0x800 is not program
    memory at PC 0x800."""
    model, _ = report_of(OURS / "xc16-data-memory.map")
    sections = {s.name: s for s in model.sections}
    assert (sections[".nbss"].execution_region, sections[".nbss"].size) == ("data", 8)
    assert (sections[".dinit"].execution_region, sections[".dinit"].size) == ("program", 0x14 * 3 // 2)
    usage = compute_region_usage(model)
    assert usage["program"].capacity == 0xA9FE * 3 // 2 and usage["data"].capacity == 0x2000
    assert any("PC units" in note for note in model.parse_assumptions)


def test_pic32_segments_are_one_memory():
    """kseg1 data whose load address is its kseg0 twin is not copied: RAM counts it once."""
    model, report = report_of(OURS / "xc32-pic32mx-kseg-aliases.map")
    assert compute_region_usage(model)["kseg0_data_mem"].used_bytes == 0
    assert report.summary.total_ram == compute_region_usage(model)["kseg1_data_mem"].used_bytes == 1816


def test_a_section_beyond_the_regions_address_space_is_no_figure(tmp_path, capsys):
    path = _variant(tmp_path, "xc16-data-memory.map", (".dinit            0x0002ac         0x14",
                                                       ".dinit            0xfffff0         0x14"))
    number = path.read_text().splitlines().index(".dinit            0xfffff0         0x14") + 1
    assert main(["analyze", str(path)]) == 2
    err = capsys.readouterr()[1]
    assert err.startswith(f"tarnwick: error: {path}:{number}: section .dinit at 0xfffff0 (20 bytes)")
    assert "beyond the 16-bit address space of the map's memory regions" in err and err.count("\n") == 1


CUTS = 24
# a line that places no byte: blank, or a section of size 0 (XC32 ends with the empty remnants
# of the sections its allocator moved; a cut among them loses no figure and no symbol)
_NOTHING = re.compile(r"^\s*(?:\S+\s+0x0+\s+0x0\b.*)?\s*$")


@pytest.mark.parametrize("path", READ_MAPS, ids=lambda p: p.name)
def test_a_map_cut_short_is_never_read_as_complete(tmp_path, path):
    """A map cut at any line (a disk that filled up, a copy that stopped) is bad input or
    leaves a note that its figures disagree with what it states: never a clean report."""
    lines = path.read_text(encoding="utf-8", errors="replace").splitlines(keepends=True)
    silent = []
    for index in range(1, CUTS):
        at = len(lines) * index // CUTS
        cut = tmp_path / f"cut-{at}.map"
        cut.write_text("".join(lines[:at]), encoding="utf-8")
        try:
            model, report = report_of(cut)
        except MapParseError:
            continue
        quiet = not report.diagnostics["unresolved_ambiguities"] and not model.warnings and not report.issues
        if quiet and not all(_NOTHING.match(line) for line in lines[at:]):
            silent.append(at)
    assert silent == [], f"cut after these lines and read as complete: {silent}"


@pytest.mark.parametrize("repeat, problem", [
    ("  RAM                   00001c00   00000800  000000a8  00000758  RWIX", None),
    ("  RAM                   00001c00   00000800  000000b0  00000750  RWIX", "listed again, with other figures"),
])
def test_a_repeated_memory_row_is_noted_or_an_error_at_its_line(tmp_path, repeat, problem):
    row = "  FRAM                  00004400   0000bb80  0000009e  0000bae2  RWIX"
    path = _variant(tmp_path, "ti-msp430fr-fram.map", (row, row + "\n" + repeat))
    number = path.read_text().splitlines().index(row) + 2
    if problem is None:
        model = load_map(path, TarnwickConfig())
        assert compute_region_usage(model)["RAM"].used_bytes == 0xa8
        assert any(f"listed twice alike (lines {number - 2} and {number})" in n for n in model.parse_assumptions)
    else:
        with pytest.raises(MapParseError) as caught:
            load_map(path, TarnwickConfig())
        assert caught.value.line == number and problem in str(caught.value)


def test_c2000_words_are_counted_in_bytes_and_its_entry_point_is_flash():
    model, report = report_of(OURS / "ti-c2000-words.map")
    begin = next(r for r in model.memory_regions if r.name == "BEGIN")
    assert (begin.origin, begin.length, begin.category.value) == (0x80000 * 2, 4, "flash")
    assert [(s.name, s.size) for s in model.symbols if s.name in ("_speed_log", "_target")] == [
        ("_speed_log", 0x40 * 2), ("_target", 0xa * 2)]
    assert any("16-bit words" in note for note in model.parse_assumptions)


@pytest.mark.parametrize("name, code", [
    ("ti-msp430fr-fram.map", {".text", ".text:_isr"}),
    ("ti-c2000-words.map", {".text"}),
    ("ti-arm-ramfunc.map", {".text", ".TI.ramfunc"}),  # as its segment allocation map says
])
def test_ti_sections_are_code_by_the_segment_map_else_by_their_name(name, code):
    model, _ = report_of(OURS / name)
    assert {section.name for section in model.sections if section.is_code} == code


# A figure the map's own total contradicts: a warning finding in every output, both figures with
# the file's first, and every gate computed from the regions' figures fails closed.
_DISPUTED = ("512 bytes of readonly  code memory", "612 bytes of readonly  code memory")
_DISPUTE_LINE = "The map states flash 664 B (readonly code + readonly data memory); its sections add up to 564 B."


@pytest.mark.parametrize("form", ["text", "json", "markdown", "html"])
def test_a_disputed_figure_is_a_warning_in_every_output_and_fails_the_gates(tmp_path, capsys, form):
    path = _variant(tmp_path, "iar-arm8-init-by-copy.map", _DISPUTED)
    assert main(["analyze", str(path), "--format", form]) == 1
    out, err = capsys.readouterr()
    why = "fail_on_overflow: computed from figures the map's own totals contradict (stated.flash); the gate fails"
    assert err == f"tarnwick: policy failed: {why}\n"
    if form == "json":
        document = json.loads(out)
        assert [(i["id"], i["severity"], i["description"]) for i in document["issues"]] == [
            ("stated.flash", "warning", _DISPUTE_LINE)]
        assert document["summary"]["issue_counts"]["warning"] == 1
        gate = next(g for g in document["verdict"]["policies"] if g["policy"] == "fail_on_overflow")
        assert (gate["failed"], gate["findings"], gate["reason"]) == (True, ["stated.flash"], why)
    else:
        shown = out.replace("&#x27;", "'").replace("\\", "")  # as HTML and markdown escape it
        assert _DISPUTE_LINE in shown and why in shown, form


def test_a_disputed_figure_does_not_fail_a_gate_that_is_off(tmp_path, capsys):
    path = _variant(tmp_path, "iar-arm8-init-by-copy.map", _DISPUTED)
    config = tmp_path / "tarnwick.toml"
    config.write_text("[policies]\nfail_on_overflow = false\n")
    assert main(["analyze", str(path), "--config", str(config), "--format", "json"]) == 0
    document = json.loads(capsys.readouterr()[0])
    assert [i["id"] for i in document["issues"]] == ["stated.flash"] and document["verdict"]["status"] == "passed"


@pytest.mark.parametrize("limit, fails", [
    ("100000", True),  # flash and RAM together: the disputed flash is in it
    ("P2=100000", False),  # RAM's region: no disputed figure in it
    ("P1=100000", True),  # the flash region the dispute is about
])
def test_a_growth_gate_measured_with_a_disputed_figure_fails_closed(tmp_path, capsys, limit, fails):
    path = _variant(tmp_path, "iar-arm8-init-by-copy.map", _DISPUTED)
    config = tmp_path / "tarnwick.toml"
    config.write_text("[policies]\nfail_on_overflow = false\n")
    code = main(["diff", str(OURS / "iar-arm8-init-by-copy.map"), str(path), "--config", str(config),
                 "--fail-on-growth", limit, "--format", "json"])
    gate, = json.loads(capsys.readouterr()[0])["verdict"]["growth_gates"]
    assert (code, gate["failed"]) == ((1, True) if fails else (0, False))
    assert ("contradict (stated.flash); the gate fails" in gate["reason"]) == fails


@pytest.mark.parametrize("stated, note", [
    (526, True),  # 2 B fewer: no more than the load region's alignment fill
    (500, False),  # 28 B fewer: more than fill can be
])
def test_fill_a_stated_total_leaves_out_is_a_note_and_more_is_a_finding(tmp_path, capsys, stated, note):
    path = _variant(tmp_path, "armlink-ac6-scatter.map",
                    ("(Code + RO Data + RW Data)        528", f"(Code + RO Data + RW Data)        {stated}"))
    code = main(["analyze", str(path), "--format", "json"])
    document = json.loads(capsys.readouterr()[0])
    notes = [n for n in document["diagnostics"]["unresolved_ambiguities"] if n.startswith(f"the map states flash {stated} B")]
    assert document["summary"]["total_flash"] == 528
    assert (code, bool(notes), [i["id"] for i in document["issues"]]) == ((0, True, []) if note else (1, False, ["stated.flash"]))


def test_the_stated_totals_are_the_readers_data_and_the_check_is_on_the_road(tmp_path):
    """load_map hands the totals on; the pass that compares them runs where the report is made."""
    path = _variant(tmp_path, "iar-arm8-init-by-copy.map", _DISPUTED)
    model = load_map(path, TarnwickConfig())
    assert (model.stated.flash, model.stated.ram, model.unresolved_ambiguities) == (664, 1304, [])
    assert [i.id for i in analyze(path).report.issues] == ["stated.flash"]


def test_sdcc_an_area_whose_heading_repeats_on_the_next_page_is_one_area(tmp_path):
    """sdld repeats an area's heading on each page of its symbol list: one area, counted once,
    against the Intel HEX image sdcc wrote for the link."""
    base = HERE / "conformance" / "maps" / "sdcc-stm8.map"
    text = base.read_text()
    heading = re.search(r"^Area .*\n-+.*\n(CODE .*)\n", text, re.M)
    page = ("\fASxxxx Linker V03.00 + NoICE + sdld,  page 11.\nHexadecimal  [32-Bits]\n\n" + heading.group(0)
            + "\n      Value  Global                              Global Defined In Module\n"
              "      -----  --------------------------------   ------------------------\n"
              "     00008080  _main                              sdcc_stm8\n\n")
    at = text.index("\n", text.index("     00008080  _main ")) + 1
    path = tmp_path / "sdcc-stm8.map"
    path.write_text(text[:at] + page + text[at:])
    hex_image = sum(int(line[1:3], 16) for line in base.with_suffix(".ihx").read_text().split() if line[7:9] == "00")
    model, report = report_of(path)
    assert report.summary.total_flash == hex_image
    assert [s.name for s in model.symbols].count("_main") == 1


def test_iar_an_alignment_column_reads_as_the_map_without_it(tmp_path):
    """IAR 9.50 and later add an alignment column between address and size."""
    text = (OURS / "iar-arm8-init-by-copy.map").read_text()
    rows = re.compile(r"^(  \S.*?\s)(0x[0-9a-f']+)(\s+)(0x[0-9a-f']+)(\s+\S)", re.M)
    path = tmp_path / "aligned.map"
    path.write_text(rows.sub(lambda m: f"{m[1]}{m[2]}{m[3]}4   {m[4]}{m[5]}", text))
    assert path.read_text() != text
    before, after = report_of(OURS / "iar-arm8-init-by-copy.map"), report_of(path)
    assert [(s.name, s.address, s.size) for s in after[0].sections] == [(s.name, s.address, s.size) for s in before[0].sections]
    assert (after[1].summary.total_flash, after[1].summary.total_ram, after[1].issues) == (564, 1304, [])


def test_iar_a_block_placed_over_the_first_of_two_ranges_is_no_overflow(tmp_path):
    """Kinetis: [0x0-0x3ff] | [0x410-...] leave the flash configuration field out; the vectors
    placed at 0x0 run over it. The two ranges are one region, as the linker placed it all."""
    path = _variant(tmp_path, "iar-arm8-init-by-copy.map",
                    ("place in [from 0x800'0000 to 0x801'ffff] { ro };",
                     "place in [from 0x800'0000 to 0x800'001f] |\n                [from 0x800'0030 to 0x801'ffff] { ro };"))
    model, report = report_of(path)
    usage = compute_region_usage(model)
    assert [(r.name, r.origin, r.length) for r in model.memory_regions if r.category.value == "flash"] == [
        ("P1", 0x800_0000, 0x2_0000)]
    assert (usage["P1"].used_bytes, report.issues) == (564, [])
    assert any("[0x8000020-0x800002f]" in note for note in model.parse_assumptions)


def test_iar_a_gap_inside_a_read_write_part_counts_as_its_part_says(tmp_path):
    """IAR counts the alignment before a row in a read-write part (its module summary's
    'Gaps'): the part's heading and closing line state the bytes it spans."""
    path = _variant(tmp_path, "iar-arm8-init-by-copy.map",
                    ('"P2", part 3 of 3:                         0x400', '"P2", part 3 of 3:                         0x4e8'),
                    ("                            - 0x2000'0518  0x400", "                            - 0x2000'0600  0x4e8"),
                    ("0x2000'0518  0x2000'4fff  0x4ae8", "0x2000'0600  0x2000'4fff  0x4a00"),
                    ("1'304 bytes of readwrite", "1'536 bytes of readwrite"))
    text = path.read_text()
    part = text.index('"P2", part 3 of 3:')
    end = text.index("- 0x2000'0600", part)
    shifted = re.sub(r"0x2000'0([0-9a-f]{3})", lambda m: f"0x2000'0{int(m[1], 16) + 0xe8:03x}", text[part:end])
    path.write_text(text[:part] + shifted + text[end:])
    model, report = report_of(path)
    gaps = [s for s in model.sections if s.name == "(alignment)"]
    assert [(s.address, s.size) for s in gaps] == [(0x2000_0118, 0xe8)]
    assert (report.summary.total_ram, report.issues) == (1536, [])


def test_ti_the_alias_of_a_memory_shows_its_use_and_counts_it_once(tmp_path):
    text = (OURS / "ti-arm-ramfunc.map").read_text()
    line = next(l for l in text.splitlines() if l.startswith("  SRAM  "))
    alias = line.replace("SRAM     ", "SRAM_CODE", 1).replace("20000000", "01000000", 1)
    path = _variant(tmp_path, "ti-arm-ramfunc.map", (line, line + "\n" + alias))
    model, report = report_of(path)
    usage = compute_region_usage(model)
    used = int(line.split()[3], 16)
    assert usage["SRAM"].used_bytes == usage["SRAM_CODE"].used_bytes == used
    assert report.summary.total_ram == used and report.issues == []


def test_xc16_the_report_without_quotes_reads_as_with_them(tmp_path):
    """XC16 1.25 writes 'Program Memory  [Origin...' and 'Total program memory used'."""
    text = (OURS / "xc16-data-memory.map").read_text()
    path = tmp_path / "old.map"
    path.write_text(re.sub(r'"(\w+)" Memory', lambda m: f"{m[1].capitalize()} Memory", text).replace('Total "', "Total ")
                    .replace('" memory used', " memory used"))
    assert '"program"' not in path.read_text()
    model, report = report_of(path)
    assert (report.summary.total_flash, report.summary.total_ram, report.issues) == (288, 76, [])
    assert model.stated.regions == {"program": 288, "data": 76}


def test_xc32_what_the_report_lists_in_no_region_is_left_out(tmp_path):
    """A debug vector placed by address, that the memory-usage report does not count."""
    text = (OURS / "xc32-pic32mx-kseg-aliases.map").read_text()
    marker = text.index("\n.reset ", text.index("Memory Configuration"))
    vector = ("\n._debug_exception\n                0xbfc00480       0x2c\n ._debug_exception\n"
              "                0xbfc00480       0x2c debug-exception-return.o\n")
    path = tmp_path / "debug.map"
    path.write_text(text[:marker] + vector + text[marker:])
    model, report = report_of(path)
    assert "._debug_exception" not in {s.name for s in model.sections}
    assert (report.summary.total_flash, report.summary.total_ram, report.issues) == (1088, 1816, [])
    assert any("._debug_exception (44 B at 0xbfc00480)" in note for note in model.parse_assumptions)


@pytest.mark.parametrize("name, cut, expected", [
    # the symbol list stops before a function its Stack usage names
    ("cosmic-stm8-eeprom-data.map", "_meter_read ", "its Symbols lack _meter_read"),
    ("renesas-ccrx-rom-copies.map", "PROGRAM SECTION:", "its Total Section Size lacks PROGRAM"),
    ("keil-lx51-const-xdata.map", "Program Size:", "does not end with its 'Program Size:'"),
])
def test_a_new_reader_names_what_a_map_cut_short_lacks(tmp_path, name, cut, expected):
    text = (OURS / name).read_text()
    path = tmp_path / name
    path.write_text(text[:text.rindex(cut)])
    with pytest.raises(MapParseError) as caught:
        load_map(path)
    assert "cut short" in str(caught.value) and expected in str(caught.value)


def test_c51_bits_count_in_whole_bytes_and_the_memories_are_held_apart():
    model, report = report_of(OURS / "keil-bl51-xdata-bits.map")
    sections = {s.name: s for s in model.sections}
    assert (sections["?BI?MAIN"].size, sections["?XD?MAIN"].address, sections["?DT?UART"].address) == (
        1, (2 << 32) + 0, (1 << 32) + 0x10)
    assert {r.name: r.length for r in model.memory_regions} == {"ROM": 0x10000, "IRAM": 128, "XRAM": 0x10000}
    # the library's shared code, cut at its modules' symbols
    library = [(p.address, p.origin) for p in sections["?C?LIB_CODE"].inputs]
    assert library == [(0xB2, "C51L.LIB(?C?COPY)"), (0xF2, "C51L.LIB(?C?CLDPTR)")]
    assert {s.name: s.size for s in model.symbols if s.name in ("rx_buffer", "log_buffer", "main")} == {
        "rx_buffer": 0x40, "log_buffer": 0x100, "main": 0x45}
    assert any("?BI?MAIN 1 B and 2 bit(s)" in note for note in model.parse_assumptions)


def test_cosmic_eeprom_data_is_neither_flash_nor_ram_and_the_stack_size_is_said():
    model, report = report_of(OURS / "cosmic-stm8-eeprom-data.map")
    assert ".eeprom" not in {s.name for s in model.sections}
    assert any("EEPROM data (.eeprom 16 B at 0x4000)" in note for note in model.parse_assumptions)
    assert any("stack usage: 30 B" in note for note in model.parse_assumptions)
    assert {s.name: s.contributor for s in model.symbols if s.name in ("_memcpy", "_settings")} == {
        "_memcpy": "libis0.sm8(memcpy.o)", "_settings": "main.o"}


_COSMIC_ROW = "start 000083d7 end 000083ff length    40 section .text"


@pytest.mark.parametrize("change", [
    lambda text: text.replace("\n", "\r\n"),
    lambda text: text.replace("\n", "  \t\n"),  # blanks ending every line
    lambda text: text.replace(_COSMIC_ROW, _COSMIC_ROW.replace("length    ", "length\t")),
])
def test_cosmic_maps_written_with_other_blanks_read_the_same(tmp_path, change):
    path = tmp_path / "cosmic.map"
    path.write_text(change((OURS / "cosmic-stm8-eeprom-data.map").read_text()), newline="")
    model, report = report_of(path)
    original, expected = report_of(OURS / "cosmic-stm8-eeprom-data.map")
    assert (report.summary.total_flash, report.summary.total_ram, report.issues) == (
        expected.summary.total_flash, expected.summary.total_ram, expected.issues)
    assert sorted((s.name, s.address, s.size, s.contributor) for s in model.symbols) == sorted(
        (s.name, s.address, s.size, s.contributor) for s in original.symbols)


def test_cosmic_a_hole_between_sections_is_the_linkers_fill_and_a_starred_end_is_bad_input(tmp_path, capsys):
    path = _variant(tmp_path, "cosmic-stm8-eeprom-data.map", ("start 000080cb end 0000811b length    80 section .text",
                                                             "start 000080cb end 0000810b length    64 section .text"))
    model, report = report_of(path)
    text = next(s for s in model.sections if s.name == ".text")
    assert [(p.address, p.size, p.origin, p.is_fill) for p in text.inputs][:3] == [
        (0x80CB, 64, "crtsi0.sm8", False), (0x810B, 16, "linker", True), (0x811B, 300, "main.o", False)]
    original = next(s for s in report_of(OURS / "cosmic-stm8-eeprom-data.map")[0].sections if s.name == ".text")
    assert (text.size, text.padding_bytes, sum(p.size for p in text.inputs)) == (original.size, 16, original.size)
    # the stars of a removed section's figures, at the end of one that is not removed: its figures cannot agree
    path = _variant(tmp_path, "cosmic-stm8-eeprom-data.map", (_COSMIC_ROW, _COSMIC_ROW.replace("000083ff", "********")))
    number = path.read_text().splitlines().index(_COSMIC_ROW.replace("000083ff", "********")) + 1
    assert main(["analyze", str(path)]) == 2
    err = capsys.readouterr()[1]
    assert f"{path}:{number}:" in err and "they do not agree" in err and len(err.strip().splitlines()) == 1


def test_renesas_the_ram_copies_that_rom_names_load_from_their_rom_sections():
    model, report = report_of(OURS / "renesas-ccrx-rom-copies.map")
    copies = {s.name: (s.load_address, s.size) for s in model.sections if s.load_address is not None}
    assert copies == {"R": (0xFFFF8170, 0x10), "R_1": (0xFFFF8180, 4)}
    assert not {"D", "D_1"} & {s.name for s in model.sections}
    assert {s.name for s in model.sections if not s.has_contents} == {"B_1", "B", "SU", "SI"}


@pytest.mark.parametrize("in_table, in_symbols", [
    (b"t\xffx1", b"t\xffx1"),  # one name, not UTF-8
    (b"t\xffx1", b"t\xfex1"),  # other bytes, read as the same text
    ("t\u00e9xt1".encode(), "t\u00e9xt1".encode()),  # UTF-8, not ASCII
])
def test_an_xc8_symbol_of_a_psect_named_beyond_ascii_is_placed_as_in_a_plain_one(tmp_path, in_table, in_symbols):
    """A psect's name is matched as its text reads (bytes not UTF-8 read as U+FFFD): the symbols of
    the psect renamed lie where they lay."""
    data = (OURS / "xc8-pic16f877a.map").read_bytes()
    row, symbol = b"                text1                               7C8", b"_delay                   text1        07C8"
    assert row in data and symbol in data
    renamed = data.replace(row, row.replace(b"text1", in_table.ljust(5)))  # its object's row and its class's
    renamed = renamed.replace(symbol, symbol.replace(b"text1", in_symbols.ljust(5)), 1)
    path = tmp_path / "renamed.map"
    path.write_bytes(renamed)
    before = {s.name: (s.address, s.size) for s in load_map(OURS / "xc8-pic16f877a.map").symbols}
    after = load_map(path)
    assert {s.name: (s.address, s.size) for s in after.symbols} == before
    assert next(s.section for s in after.symbols if s.name == "_delay") == in_table.decode("utf-8", "replace").strip()
