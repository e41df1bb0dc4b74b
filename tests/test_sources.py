"""Where the bytes go by source file and folder, against a firmware built here with -g from
sources in several folders (tests/source_firmware: a library archive, a static of one name in
two files, an inlined helper, one file without -g), in DWARF 4, DWARF 5 and DWARF 5 with
compressed debug sections; binutils' `nm -l` (which reads the same debug information) is the
reference for each symbol's file and line."""

import json
import os
import re
import subprocess
from pathlib import Path

import pytest

from firmware_builds import build_with_script
from tarnwick.app.cli import main

FIRMWARE = Path(__file__).resolve().parent / "source_firmware"
VARIANTS = ("dwarf4", "dwarf5", "dwarf5-gz")


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    return build_with_script(FIRMWARE / "build.sh", tmp_path_factory.mktemp("sources"))


def report(capsys, *arguments) -> dict:
    assert main(["analyze", *map(str, arguments), "--format", "json"]) in (0, 1)
    return json.loads(capsys.readouterr()[0])


def nm_sources(elf: Path) -> dict:
    """(name, address) -> "file:line" relative to the sources' folder, as `nm -l` reads them."""
    listing = subprocess.run(["arm-none-eabi-nm", "-l", "-S", str(elf)], capture_output=True, text=True, check=True)
    found = {}
    for line in listing.stdout.splitlines():
        fields = line.split("\t")
        parts = fields[0].split()
        if len(parts) == 4:
            where = fields[1] if len(fields) > 1 else None
            found[(parts[3], int(parts[0], 16) & ~1)] = (
                os.path.relpath(where.rsplit(":", 1)[0], FIRMWARE) + ":" + where.rsplit(":", 1)[1] if where else None)
    return found


@pytest.mark.parametrize("variant", VARIANTS)
def test_every_symbol_has_the_source_nm_reads(builds, capsys, variant):
    elf = builds / variant / "firmware.elf"
    document = report(capsys, builds / variant / "firmware.map")
    expected = nm_sources(elf)
    ours = {(s["name"], s["address"] & ~1): s["source"] for s in document["symbols"] if s["binding"] != "unnamed"}
    assert ours == {key: source for key, source in expected.items() if key in ours}
    assert {key for key, source in expected.items() if source} <= set(ours)
    statics = sorted(source for (name, _a), source in ours.items() if name == "util")
    assert statics == ["app/main.c:12", "drivers/uart/uart.c:6"]  # one name, two files
    assert ours[("vendor_blob", next(a for n, a in ours if n == "vendor_blob"))] is None  # built without -g


@pytest.mark.parametrize("variant", VARIANTS)
def test_files_add_up_to_their_symbols_and_folders_to_their_files(builds, capsys, variant):
    document = report(capsys, builds / variant / "firmware.map")
    rows = document["sources"]
    files = {row["path"]: row for row in rows if row["path"] is not None}
    unclaimed = next(row for row in rows if row.get("unclaimed"))
    fill = next(row for row in rows if row.get("fill"))
    held: dict = {}
    for symbol in document["symbols"]:
        if symbol["alias_of"] is None and symbol["size"] > 0:
            if symbol["binding"] == "unnamed":  # bytes no symbol covers carry no source file
                assert symbol["source"] is None
                path = "fill"
            elif symbol["source"] is None:
                path = None
            else:
                path = symbol["source"].rsplit(":", 1)[0] if re.search(r":\d+$", symbol["source"]) else symbol["source"]
            held[path] = held.get(path, 0) + symbol["size"]
    assert {**{path: row["size"] for path, row in files.items()}, None: unclaimed["size"], "fill": fill["size"]} == {
        "fill": 0, **held}
    assert unclaimed["size"] == held[None] > 0  # the vendor file built without -g
    assert all(row["flash"] + row["ram"] >= row["size"] for row in rows)
    assert files["drivers/uart/uart.c"]["ram"] == 256 + 2  # uart_tx_ring and head
    folders = {row["path"]: row["size"] for row in document["source_folders"]}
    for folder, size in folders.items():
        assert size == sum(row["size"] for path, row in files.items() if path.startswith(folder + "/"))
    assert {"drivers", "drivers/uart", "drivers/spi", "app", "lib", "lib/crc"} <= set(folders)


def test_dwarf_4_5_and_compressed_sections_read_alike(builds, capsys):
    views = []
    for variant in VARIANTS:
        document = report(capsys, builds / variant / "firmware.map")
        views.append((document["sources"], document["source_folders"], document["inlined"],
                      sorted((s["name"], s["source"]) for s in document["symbols"])))
    assert views[0] == views[1] == views[2]
    assert "C" in subprocess.run(["arm-none-eabi-readelf", "-S", str(builds / "dwarf5-gz" / "firmware.elf")],
                                 capture_output=True, text=True).stdout.split(".debug_info")[1].splitlines()[0]


def test_the_inlined_helper_weighs_where_it_was_inlined(builds, capsys):
    document = report(capsys, builds / "dwarf5" / "firmware.map")
    mix = [row for row in document["inlined"] if row["name"] == "mix"]
    assert len(mix) == 1 and mix[0]["source"] == "app/main.c:17" and mix[0]["sites"] == 2 and mix[0]["bytes"] > 0
    main_size = next(s["size"] for s in document["symbols"] if s["name"] == "main")
    assert mix[0]["bytes"] < main_size  # its bytes are main's, counted there


def test_text_and_markdown_list_the_largest_files_and_folders_per_region(builds, capsys):
    assert main(["analyze", str(builds / "dwarf5" / "firmware.map"), "--top", "3"]) == 0
    text = capsys.readouterr()[0]
    ram = text.split("\nRAM: accounted")[1].split("\nFLASH")[0] if "\nRAM: accounted" in text else ""
    assert re.search(r"^  source file +size\n  drivers/uart/uart\.c +258 B$", ram, re.M)
    assert re.search(r"^  source folder +size\n  drivers +258 B\n  drivers/uart +258 B$", ram, re.M)
    assert main(["analyze", str(builds / "dwarf5" / "firmware.map"), "--top", "3", "--format", "markdown"]) == 0
    comment = capsys.readouterr()[0]
    assert "| Source file | Size |" in comment and "| `drivers/uart/uart.c` | 258 B |" in comment


@pytest.mark.parametrize("how, reason", [
    ("map alone", "source files: a map alone"),
    ("no -g", "holds no debug information (build with -g)"),
])
def test_without_debug_information_one_line_says_so(builds, capsys, tmp_path, how, reason):
    if how == "map alone":
        arguments = [builds / "dwarf5" / "firmware.map", "--no-elf"]
    else:
        stripped = tmp_path / "firmware.elf"
        subprocess.run(["arm-none-eabi-strip", "--strip-debug", "-o", str(stripped),
                        str(builds / "dwarf5" / "firmware.elf")], check=True)
        arguments = [stripped]
    document = report(capsys, *arguments)
    assert document["sources"] is None and reason in document["sources_note"]
    assert main(["analyze", *map(str, arguments), "--top", "3"]) == 0
    text = capsys.readouterr()[0]
    assert sum(reason in line for line in text.splitlines()) == 1
    assert not re.search(r"^  source (file|folder) +size$", text, re.M)  # no lists, and the rest as ever


def test_components_match_source_paths(builds, capsys, tmp_path):
    config = tmp_path / "tarnwick.toml"
    config.write_text('[[components]]\npattern = "drivers/*"\ncomponent = "drivers"\n')
    document = report(capsys, builds / "dwarf5" / "firmware.map", "--config", config)
    components = {c["name"]: c["total_bytes"] for c in document["components"]}
    folders = {row["path"]: row["size"] for row in document["source_folders"]}
    assert components["drivers"] == folders["drivers"]


def test_changes_per_file_and_folder_since_the_baseline(builds, capsys, tmp_path):
    before = tmp_path / "before.json"
    assert main(["analyze", str(builds / "dwarf5" / "firmware.map"), "--format", "json",
                 "--output", str(before)]) == 0
    stored = json.loads(before.read_text())
    for row in stored["sources"]:
        if row["path"] == "drivers/uart/uart.c":
            row["size"] -= 100
    for row in stored["source_folders"]:
        if row["path"] in ("drivers", "drivers/uart"):
            row["size"] -= 100
    before.write_text(json.dumps(stored))
    document = report(capsys, builds / "dwarf5" / "firmware.map", "--baseline", before)
    changes = {(c["name"], c["delta"]) for c in document["comparison"]["files"] + document["comparison"]["folders"]}
    assert changes == {("drivers/uart/uart.c", 100), ("drivers/uart", 100), ("drivers", 100)}
    assert main(["analyze", str(builds / "dwarf5" / "firmware.map"), "--baseline", str(before)]) == 0
    text = capsys.readouterr()[0]
    assert re.search(r"^  file +\+100 B +grown +drivers/uart/uart\.c", text, re.M)
    assert re.search(r"^  folder +\+100 B +grown +drivers/uart ", text, re.M)


def _debug_section(elf: Path, name: str) -> tuple:
    listing = subprocess.run(["arm-none-eabi-readelf", "-S", "-W", str(elf)], capture_output=True, text=True).stdout
    row = next(line for line in listing.splitlines() if f" {name} " in line)
    fields = row.split("]", 1)[1].split()
    return int(fields[3], 16), int(fields[4], 16)  # file offset, size


@pytest.mark.parametrize("seed", range(24))
def test_damaged_debug_information_is_a_note_never_a_crash(builds, capsys, tmp_path, seed):
    """Bytes of .debug_info, .debug_abbrev or .debug_line overwritten: the report is made, and
    the debug information is read or its one line says why not."""
    import random

    rng = random.Random(seed)
    elf = tmp_path / "firmware.elf"
    data = bytearray((builds / "dwarf5" / "firmware.elf").read_bytes())
    offset, size = _debug_section(builds / "dwarf5" / "firmware.elf",
                                  (".debug_info", ".debug_abbrev", ".debug_line")[seed % 3])
    for _ in range(1 + seed % 4):
        at = offset + rng.randrange(size)
        data[at:at + 4] = rng.choice([b"\xff\xff\xff\xff", b"\x00\x00\x00\x00", bytes(rng.randrange(256) for _ in range(4))])
    elf.write_bytes(bytes(data))
    code = main(["analyze", str(elf), "--format", "json"])
    out, err = capsys.readouterr()
    assert code == 0 and "internal error" not in err
    document = json.loads(out)
    assert (document["sources"] is None) == ("sources_note" in document)
    if document["sources"] is None:
        assert "cannot be read" in document["sources_note"]


def test_an_lto_build_takes_each_symbols_file_from_its_declaration(builds, capsys):
    """With -flto every function is in the link-time unit "<artificial>": the file and line come
    from the unit that declares it, as `nm -l` finds them."""
    elf = builds / "lto" / "firmware.elf"
    document = report(capsys, builds / "lto" / "firmware.map")
    ours = {(s["name"], s["address"] & ~1): s["source"] for s in document["symbols"] if s["binding"] != "unnamed"}
    expected = {key: source for key, source in nm_sources(elf).items() if source and key in ours}
    assert expected and {key: ours[key] for key in expected} == expected
    assert not any("<artificial>" in (row["path"] or "") for row in document["sources"] + document["source_folders"])
    assert {"app/main.c", "drivers/uart/uart.c", "startup.c"} <= {row["path"] for row in document["sources"]}


def test_the_c_librarys_files_are_one_row_not_folders_of_another_machine(builds, capsys):
    document = report(capsys, builds / "newlib" / "firmware.map")
    rows = [row for row in document["sources"] if row["path"] is not None]
    library = [row for row in rows if row.get("library")]
    assert [row["path"] for row in library] == ["libc_nano.a"]
    held = sum(s["size"] for s in document["symbols"] if s["alias_of"] is None and s["size"] > 0
               and s["binding"] != "unnamed" and s["source"] and (s["archive"] or "").endswith("/libc_nano.a"))
    assert library[0]["size"] == held > 0
    for row in rows + document["source_folders"]:
        assert not row["path"].startswith(("/", "..")), row
    assert {row["path"] for row in document["source_folders"]} >= {"drivers", "app", "extra", "libc_nano.a"}
    strlen = next(s for s in document["symbols"] if s["name"] == "strlen")  # the symbol keeps its own file
    assert strlen["source"].startswith("/") and strlen["source"].endswith("/newlib/libc/machine/arm/strlen-armv7.S")


def test_stabs_debug_information_is_one_line_never_a_file_without_a_name(builds, capsys):
    document = report(capsys, builds / "stabs" / "firmware.map")
    said = document.get("sources_note") or " ".join(document.get("sources_notes", []))
    assert "STABS" in said
    assert all(row["path"] != "" for row in document["sources"] or [])
    assert main(["analyze", str(builds / "stabs" / "firmware.map")]) == 0
    assert sum("STABS" in line for line in capsys.readouterr()[0].splitlines()) == 1


def test_the_pages_source_view_adds_up_to_all_memory(builds, capsys):
    assert main(["analyze", str(builds / "newlib" / "firmware.map"), "--format", "html"]) == 0
    page = capsys.readouterr()[0]
    data = json.loads(re.search(r'<script type="application/json" id="tarnwick-data">(.*?)</script>', page, re.S)[1]
                      .replace("\\u003c", "<"))
    regions, sources = data["tree"], data["sources"]
    assert sources[1] == regions[1] > 0
    rest = {node[0] for node in sources[4] if node[3] == "rest"}
    assert any("reserved" in label for label in rest)  # the stack the script reserves is named, not hidden
    assert not any(node[0] in ("/", "..") for node in sources[4])


def test_the_pages_symbol_table_names_each_symbols_file_as_nm_does(builds, capsys):
    variant = VARIANTS[0]
    assert main(["analyze", str(builds / variant / "firmware.map"), "--format", "html"]) == 0
    page = capsys.readouterr()[0]
    data = json.loads(re.search(r'<script type="application/json" id="tarnwick-data">(.*?)</script>', page, re.S)[1]
                      .replace("\\u003c", "<"))
    assert data["sourced"] and '<th data-key="source"' in page
    strings = data["strings"]
    shown = {(row[1] or row[0]): strings[row[8]] for row in data["symbols"] if row[8] is not None}
    expected = {name: where.rsplit(":", 1)[0] for (name, _), where in nm_sources(builds / variant / "firmware.elf").items()
                if where}
    assert shown and all(shown[name] == expected[name] for name in shown if name in expected and name != "util")
    assert shown.get("main") == "app/main.c"
