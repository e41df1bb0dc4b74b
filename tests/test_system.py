"""`tarnwick system` on real systems built here with the Debian cross toolchains
(tests/system_firmware/build.sh): a bootloader and its application in an MCUboot slot, the same
grown past the trailer's room, a TrustZone secure image with its veneers and a non-secure image,
two cores sharing a mailbox (and one whose RAM runs into the other's), an ESP8266 layout. The
figures are checked against the tools' own: objcopy's binary, nm, readelf, imgtool."""

from __future__ import annotations

import json
import re
import shutil
import subprocess
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from system_builds import FIRMWARE, IMAGES, SOURCES, binary, boot_app_config, built, image_end, need_imgtool

from tarnwick.api import analyze
from tarnwick.app.cli import main

SLOT0 = 0x8000


@pytest.fixture(scope="module")
def out():
    folder = built()
    for name in ("zephyr.dts", "partitions.yml", "partitions.csv"):
        shutil.copy(FIRMWARE / name, folder / name)
    return folder


def _write(folder: Path, name: str, text: str) -> Path:
    path = folder / name
    path.write_text(text)
    return path


def _run(capsys, *arguments) -> tuple:
    code = main([*map(str, arguments)])
    captured = capsys.readouterr()
    return code, captured.out, captured.err


def _json(capsys, *arguments) -> tuple:
    code, text, err = _run(capsys, *arguments, "--format", "json")
    assert code in (0, 1), err
    return code, json.loads(text)


def _by_name(items: list) -> dict:
    return {item["name"]: item for item in items}


def _signed_length(out: Path, elf: str) -> int:
    """What imgtool makes of the image (header, code, TLV area), unpadded."""
    imgtool = need_imgtool()
    signed = out / f"{elf}-unpadded.bin"
    imgtool.main(["sign", "--header-size", "0x200", "--pad-header", "--version", "1.0.0", "--slot-size", "0x10000",
                  str(binary(out / f"{elf}.elf")), str(signed)], standalone_mode=False)
    return signed.stat().st_size


@pytest.mark.parametrize("source", list(SOURCES))
def test_bootloader_and_application(out, capsys, source):
    code, document = _json(capsys, "system", boot_app_config(out, source))
    system = document["system"]
    images = _by_name(system["images"])
    assert code == 0 and document["verdict"]["status"] == "passed"
    for name, elf in (("mcuboot", "boot"), ("app", "app")):
        # stored bytes: objcopy's binary; flash: what `analyze` says of the same map
        assert images[name]["stored_bytes"] == binary(out / f"{elf}.elf").stat().st_size
        assert images[name]["flash_bytes"] == analyze(out / f"{elf}.map").report.summary.total_flash
    assert images["app"]["load_start"] == SLOT0 + 0x200 and images["app"]["load_end"] == image_end(out / "app.elf")
    partitions = _by_name(system["partitions"])
    slot = partitions[SOURCES[source][2]]
    assert slot["image"] == "app" and slot["used_bytes"] == _signed_length(out, "app")
    assert slot["free_bytes"] == slot["size"] - slot["used_bytes"] - slot["trailer_bytes"] > 0
    assert [p["image"] for p in system["partitions"] if p["image"]].count("app") == 2  # the secondary slot too
    assert system["mcuboot"]["trailer"]["total_bytes"] == slot["trailer_bytes"] == 3 * 128 * 4 + 32 + 16
    if source == "devicetree":  # the flash's size is in the devicetree: the unused rest shows
        assert system["gaps"] == [{"device": "flash0", "start": 0x2E000, "size": 0x40000 - 0x2E000}]


def test_the_three_sources_give_one_verdict(out, capsys):
    """The same images in the same layout, from a devicetree, a partitions.yml and a table."""
    seen = []
    for source in SOURCES:
        code, document = _json(capsys, "system", boot_app_config(out, source, "app-grown"))
        slot = _by_name(document["system"]["partitions"])[SOURCES[source][2]]
        seen.append((code, document["verdict"]["failures"][0].split(" ")[0], slot["used_bytes"], slot["free_bytes"]))
    assert len(set(seen)) == 1 and seen[0][:2] == (1, "fail_on_slot_headroom")


def test_grown_application_fails_every_output(out, capsys):
    """It links, and fits its partition, but leaves no room for the trailer: imgtool refuses it
    (test_system_mcuboot), every output shows the failed gate, the exit code is 1."""
    config = boot_app_config(out, "devicetree", "app-grown")
    code, document = _json(capsys, "system", config)
    slot = _by_name(document["system"]["partitions"])["slot0_partition"]
    assert code == 1 and slot["free_bytes"] == 0x10000 - slot["trailer_bytes"] - _signed_length(out, "app-grown") < 0
    finding = next(i for i in document["issues"] if i["id"] == "system.slot_headroom.slot0_partition")
    assert finding["severity"] == "error" and finding["category"] == "system.slot_headroom"
    shown = {"text": "Gates: FAILED", "markdown": "Gates failed", "html": "Gates failed</strong>"}
    for form, mark in shown.items():
        code, text, err = _run(capsys, "system", config, "--format", form)
        assert code == 1 and mark in text and "fail_on_slot_headroom" in text.replace("\\", "")
        assert err.strip().splitlines() == [
            "tarnwick: policy failed: fail_on_slot_headroom (system.slot_headroom.slot0_partition, "
            "system.slot_headroom.slot1_partition)"]
    relaxed = _write(out, "relaxed.toml", config.read_text().replace("[system]", "[policies]\n"
                                                                     "fail_on_slot_headroom = false\n[system]"))
    assert _run(capsys, "system", relaxed)[0] == 0


def _readelf_sections(elf: Path) -> list:
    """(name, address, size, type) of the allocated sections, as readelf lists them."""
    listing = subprocess.run(["arm-none-eabi-readelf", "-SW", str(elf)], capture_output=True, text=True,
                             check=True).stdout
    found = []
    for line in listing.splitlines():
        match = re.match(r"\s*\[\s*\d+\]\s+(\S+)\s+(\S+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+\S+\s+"
                         r"(\S*A\S*)", line)
        if match:
            found.append((match[1], int(match[3], 16), int(match[4], 16), match[2]))
    return found


def _symbols(elf: Path) -> dict:
    listing = subprocess.run(["arm-none-eabi-nm", "-S", str(elf)], capture_output=True, text=True, check=True).stdout
    return {fields[3]: (int(fields[0], 16), int(fields[1], 16)) for fields in map(str.split, listing.splitlines())
            if len(fields) == 4}


TRUSTZONE = """
[system]
secure_block = "32K"
secure_ram_block = "8K"
partitions = [
  { name = "secure", start = 0x0, size = "64K" },
  { name = "nonsecure", start = 0x10000, size = "192K" },
]

[[system.images]]
name = "tfm"
role = "secure"
map = "secure.map"
partition = "secure"

[[system.images]]
name = "app_ns"
role = "non-secure"
map = "nonsecure.map"
partition = "nonsecure"
"""


def test_trustzone_secure_headroom_and_veneers(out, capsys):
    code, document = _json(capsys, "system", _write(out, "trustzone.toml", TRUSTZONE))
    assert code == 0 and document["system"]["overlaps"] == []
    rooms = {room["memory"]: room for room in document["system"]["secure"]}
    end = binary(out / "secure.elf").stat().st_size  # the binary runs from 0x0 to its last stored byte
    assert rooms["flash"]["end"] == end and rooms["flash"]["headroom_bytes"] == -end % 0x8000
    assert rooms["flash"]["blocks"] == -(-end // 0x8000)
    veneers = rooms["flash"]["veneers"]
    entries = _symbols(out / "secure-veneers.o")  # --cmse-implib: the veneers' addresses
    assert all(veneers[0] <= entries[name][0] < veneers[1] for name in ("secure_counter_next", "secure_key_digest"))
    ram_end = max(address + size for name, address, size, kind in _readelf_sections(out / "secure.elf")
                  if address >= 0x20000000)
    assert rooms["ram"]["end"] == ram_end and rooms["ram"]["headroom_bytes"] == -ram_end % 0x2000
    (out / "trustzone.json").write_text(json.dumps(document))
    finer = _write(out, "trustzone-16k.toml", TRUSTZONE.replace('secure_block = "32K"', 'secure_block = "16K"'))
    code, text, _ = _run(capsys, "system", finer, "--baseline", out / "trustzone.json")
    blocks = -(-end // 0x4000)
    assert code == 0 and f"tfm flash headroom {-end % 0x8000:,} -> {-end % 0x4000:,} B, now {blocks} blocks (was " \
        f"{-(-end // 0x8000)})" in text
    cores = document["system"]["ram"]["cores"]
    assert cores == [{"core": "main", "images": ["tfm", "app_ns"],
                      "ram_bytes": sum(i["ram_bytes"] for i in document["system"]["images"]),
                      "bootloader_bytes": None}]


DUAL = """
[system]
partitions = [
  {{ name = "core0_app", start = 0x0, size = "128K" }},
  {{ name = "core1_app", start = 0x20000, size = "128K" }},
]
{regions}
[[system.images]]
name = "core0"
role = "per-core"
core = "cm4"
map = "core0.map"
partition = "core0_app"

[[system.images]]
name = "core1"
role = "per-core"
core = "cm0"
map = "{core1}.map"
partition = "core1_app"
"""


@pytest.mark.parametrize("shared", [True, False])
def test_two_cores_share_a_mailbox(out, capsys, shared):
    regions = '[[system.regions]]\nname = "MAILBOX"\nshared = true\n' if shared else ""
    code, document = _json(capsys, "system", _write(out, f"dual-{shared}.toml",
                                                    DUAL.format(regions=regions, core1="core1")))
    mailbox = [_symbols(out / f"core{n}.elf")["mailbox"] for n in (0, 1)]
    assert mailbox[0] == mailbox[1]
    start, size = mailbox[0]
    if shared:
        assert code == 0 and document["system"]["overlaps"] == []
        region = document["system"]["regions"][0]
        assert [(p["image"], p["start"], p["used_bytes"]) for p in region["parts"]] == [
            ("core0", start, size), ("core1", start, size)]
        assert document["system"]["ram"]["shared_bytes"] == size
    else:  # the mailbox is RAM both use at once, and nothing says they may
        assert code == 1
        assert document["system"]["overlaps"] == [{"kind": "ram", "a": "core0", "b": "core1", "start": start,
                                                   "size": size}]


def test_each_core_with_its_own_devicetree(out, capsys):
    """Two cores' devicetrees, each flash with its own boot_partition: each image is placed in the
    partition its own devicetree chose, the second core's as flash1/boot_partition."""
    board = (out / "zephyr.dts").read_text()
    net = board.replace("flash0: flash@0", "flash1: flash@20000").replace("reg = < 0x0 0x40000 >",
                                                                          "reg = < 0x20000 0x20000 >")
    net = net.replace("zephyr,flash = &flash0", "zephyr,flash = &flash1").replace(
        "zephyr,code-partition = &slot0_partition", "zephyr,code-partition = &boot_partition")
    _write(out, "cpunet.dts", net)
    _write(out, "cpuapp.dts", board.replace("zephyr,code-partition = &slot0_partition",
                                            "zephyr,code-partition = &boot_partition"))
    text = DUAL.format(regions='[[system.regions]]\nname = "MAILBOX"\nshared = true\n', core1="core1")
    text = text.replace('partition = "core0_app"', 'devicetree = "cpuapp.dts"').replace(
        'partition = "core1_app"', 'devicetree = "cpunet.dts"')
    text = text.replace('[system]\npartitions = [\n  { name = "core0_app", start = 0x0, size = "128K" },\n'
                        '  { name = "core1_app", start = 0x20000, size = "128K" },\n]', "[system]")
    code, document = _json(capsys, "system", _write(out, "dual-devicetrees.toml", text))
    images = _by_name(document["system"]["images"])
    assert code == 0 and images["core0"]["partition"] == "boot_partition"
    assert images["core1"]["partition"] == "flash1/boot_partition"
    rows = _by_name(document["system"]["partitions"])
    assert (rows["flash1/boot_partition"]["start"], rows["flash1/boot_partition"]["image"]) == (0x20000, "core1")


def test_second_core_bss_in_the_first_cores_ram(out, capsys):
    code, document = _json(capsys, "system", _write(out, "dual-overlap.toml", DUAL.format(
        regions='[[system.regions]]\nname = "MAILBOX"\nshared = true\n', core1="core1-overlap")))
    ram = [(address, address + size) for name, address, size, kind in _readelf_sections(out / "core1-overlap.elf")
           if 0x20000000 <= address < 0x20010000 and size]
    start, end = min(s for s, _ in ram), max(e for _, e in ram)  # core1's sections inside core0's RAM region
    assert code == 1 and document["system"]["overlaps"] == [
        {"kind": "ram", "a": "core0", "b": "core1", "start": start, "size": end - start}]
    finding = next(issue for issue in document["issues"] if issue["category"] == "system.overlap")
    assert ".bss" in finding["description"] and finding["severity"] == "error"
    assert "fail_on_system_overlap" in document["verdict"]["failures"][0]


def test_bootloader_grown_into_the_slot(out, capsys):
    """A boot partition smaller than the bootloader: its bytes outside it, inside the slot."""
    text = SOURCES["table"][0].replace('size = "32K"', "size = 0x200")
    config = _write(out, "boot-over.toml", "[system]\n" + text.split("\nsecondary")[0] + IMAGES.format(
        boot="boot", app="app", slot="slot0"))
    # the boot partition ends at 0x200; the slot starts at 0x8000: move it down to meet the bootloader
    config.write_text(config.read_text().replace("start = 0x8000", "start = 0x200").replace('size = "64K"',
                                                                                            'size = 0xFE00'))
    code, document = _json(capsys, "system", config)
    stored = binary(out / "boot.elf").stat().st_size
    categories = {issue["category"] for issue in document["issues"]}
    assert code == 1 and {"system.partition_overflow", "system.overlap"} <= categories
    overlap = next(o for o in document["system"]["overlaps"] if o["a"] == "mcuboot")
    assert (overlap["b"], overlap["start"], overlap["size"]) == ("slot0", 0x200, stored - 0x200)


def _xtensa_size(elf: Path) -> int:
    listing = subprocess.run(["xtensa-lx106-elf-size", "-A", str(elf)], capture_output=True, text=True,
                             check=True).stdout
    return sum(int(size) for name, size, address in (line.split() for line in listing.splitlines()[2:] if line.strip()
                                                      and not line.startswith("Total"))
               if int(address) and name != ".bss")


def test_esp_idf_layout_fits_by_size(out, capsys):
    if not (out / "esp.elf").exists():
        pytest.skip("xtensa-lx106-elf-gcc is not installed")
    config = _write(out, "esp.toml", """
[system]
partitions = ["partitions.csv", { name = "bootloader", start = 0x0, size = "32K", mapped = false }]
[[system.images]]
name = "factory_app"
role = "application"
map = "esp.map"
partition = "factory"
[[system.images]]
name = "update"
role = "application"
map = "esp-grown.map"
partition = "ota_0"
""")
    code, document = _json(capsys, "system", config)
    rows = _by_name(document["system"]["partitions"])
    assert (rows["factory"]["start"], rows["ota_0"]["start"]) == (0x10000, 0x20000)
    for partition, elf in (("factory", "esp"), ("ota_0", "esp-grown")):
        assert rows[partition]["used_bytes"] == _xtensa_size(out / f"{elf}.elf")
    assert rows["factory"]["free_bytes"] > 0 > rows["ota_0"]["free_bytes"]
    assert code == 1 and [i["id"] for i in document["issues"]] == ["system.partition_overflow.update"]
    # the table's bootloader and the CSV's partitions in one flash: the partition table's sector between them
    assert {"device": "flash", "start": 0x8000, "size": 0x1000} in document["system"]["gaps"]


def test_baseline_and_diff_say_which_image_grew(out, capsys):
    base, grown = boot_app_config(out, "devicetree"), boot_app_config(out, "devicetree", "app-grown")
    _, stored = _json(capsys, "system", base)
    (out / "base.json").write_text(json.dumps(stored))
    _, later = _json(capsys, "system", grown)
    (out / "grown.json").write_text(json.dumps(later))
    grew = (analyze(out / "app-grown.map").report.summary.total_flash
            - analyze(out / "app.map").report.summary.total_flash)
    code, document = _json(capsys, "system", grown, "--baseline", out / "base.json")
    comparison = document["comparison"]
    images = _by_name(comparison["images"])
    assert images["app"]["change"] == "grown" and images["app"]["flash_delta"] == grew
    assert images["mcuboot"]["change"] == "unchanged"
    shrunk = _by_name(comparison["partitions"])["slot0_partition"]
    assert shrunk["free_delta"] == -grew  # the slot's headroom shrank by what the image grew
    code2, diffed = _json(capsys, "diff", out / "base.json", out / "grown.json")
    assert diffed["comparison"]["images"] == comparison["images"] and code2 == code == 1
    code3, text, err = _run(capsys, "diff", out / "base.json", base, "--fail-on-growth", "app=1")
    assert code3 == 0, err  # the configuration side is analysed afresh: nothing grew
    code4, text, err = _run(capsys, "diff", out / "base.json", out / "grown.json", "--fail-on-growth",
                            f"app={grew - 1}")
    assert code4 == 1 and f"app grew by {grew:,} B" in text


@pytest.mark.parametrize("problem", ["not json", '{"system": {"images": [{"name": 3}]}}', '{"system": 5}'])
def test_stored_system_that_cannot_serve(out, capsys, problem):
    bad = _write(out, "bad-baseline.json", problem)
    code, text, err = _run(capsys, "system", boot_app_config(out, "devicetree"), "--baseline", bad)
    assert code == 0 and err.startswith(f"tarnwick: warning: baseline {bad}") and "compared with nothing" in err
    if problem.startswith("{"):
        code, text, err = _run(capsys, "diff", bad, boot_app_config(out, "devicetree"))
        assert code == 2 and err.count("\n") == 1 and str(bad) in err


_JSON_VALUES = st.recursive(st.none() | st.booleans() | st.integers(-2**70, 2**70) | st.text(max_size=4),
                            lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner,
                                                                                        max_size=3), max_leaves=6)


def _paths(value, path=()):
    yield path
    items = value.items() if isinstance(value, dict) else enumerate(value) if isinstance(value, list) else ()
    for key, inner in items:
        yield from _paths(inner, (*path, key))


@pytest.fixture(scope="module")
def stored_system(out):
    code = main(["system", str(boot_app_config(out, "devicetree", "app-grown")), "--format", "json", "--output",
                 str(out / "stored-system.json")])
    assert code == 1
    return json.loads((out / "stored-system.json").read_text())


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_damaged_stored_system(out, stored_system, data):
    """A stored system report with one value replaced by another of any kind: it reads back and
    renders in every format with the verdict its findings give, or it is refused as not a system
    report this version reads (never an internal error)."""
    import copy

    from tarnwick.config import PolicyConfig
    from tarnwick.system.analysis import SystemResult
    from tarnwick.system.findings import verdict
    from tarnwick.system.render import render_system
    from tarnwick.system.report import StoredSystemError, report_from_json

    document = copy.deepcopy(stored_system)
    where = data.draw(st.sampled_from(list(_paths(document))[1:]))
    parent = document
    for key in where[:-1]:
        parent = parent[key]
    parent[where[-1]] = data.draw(_JSON_VALUES)
    try:
        report = report_from_json(document, "stored.json")
    except StoredSystemError as error:
        assert str(error).startswith("stored.json: ")
        return
    result = SystemResult(report, verdict(report, PolicyConfig()))
    failed = result.verdict.failed
    assert ("Gates: FAILED" in render_system("text", result)) is failed
    assert json.loads(render_system("json", result))["verdict"]["status"] == ("failed" if failed else "passed")
    assert ("Gates failed" in render_system("markdown", result)) is failed
    assert ("Gates failed</strong>" in render_system("html", result)) is failed


BAD_INPUT = [
    ("partition file missing", '[system]\npartitions = "nowhere.dts"\n' + IMAGES, 2, "nowhere.dts: no such file"),
    ("no partition", "[system]\npartitions = \"zephyr.dts\"\n[[system.images]]\nname = \"x\"\nrole = \"application\"\n"
                     "map = \"app.map\"\n", 3, "names no partition"),
    ("unknown partition", '[system]\npartitions = "zephyr.dts"\n' + IMAGES.replace("{slot}", "slot9"), 14,
     "no partition 'slot9'"),
    ("image file missing", '[system]\npartitions = "zephyr.dts"\n' + IMAGES.replace("{app}.map", "gone.map"), 13,
     "gone.map: no such file"),
    ("unknown role", '[system]\npartitions = "zephyr.dts"\n' + IMAGES.replace('"application"', '"app"'), 12,
     "'app' is not one of"),
    ("unknown mode", '[system]\npartitions = "zephyr.dts"\n[system.mcuboot]\nmode = "swap-fast"\n' + IMAGES, 4,
     "swap-fast"),
    ("mailbox nowhere", '[system]\npartitions = "zephyr.dts"\n[[system.regions]]\nname = "MBOX"\nshared = true\n'
     + IMAGES, 3, "MBOX"),
    ("image twice", '[system]\npartitions = "zephyr.dts"\n' + IMAGES.replace('"app"', '"mcuboot"'), 11, "given twice"),
    ("write size", '[system]\npartitions = "zephyr.dts"\n[system.mcuboot]\nmode = "swap-move"\nwrite_size = 3\n'
     + IMAGES, 5, "3 is not one of 1, 2, 4, 8, 16, 32"),
    ("key type", '[system]\npartitions = "zephyr.dts"\n[system.mcuboot]\nmode = "swap-move"\nkey = "dsa"\n'
     + IMAGES, 5, "'dsa' is not one of"),
    ("block size", '[system]\npartitions = "zephyr.dts"\nsecure_block = "32Q"\n' + IMAGES, 3, "not a size"),
    ("no map", '[system]\npartitions = "zephyr.dts"\n' + IMAGES.replace('map = "{app}.map"', ""), 10,
     "give its map or its ELF file"),
    ("partitions", "[system]\npartitions = 5\n" + IMAGES, 2, "must be a path"),
    ("stack folder", '[system]\npartitions = "zephyr.dts"\n'
     + IMAGES.replace('map = "{app}.map"', 'map = "{app}.map"\nstack_usage = ["su"]'), 14, "su: not a folder"),
]


@pytest.mark.parametrize("case,text,line,words", BAD_INPUT, ids=[case[0] for case in BAD_INPUT])
def test_bad_input_is_one_line_naming_file_and_line(out, capsys, case, text, line, words):
    config = _write(out, "bad.toml", text.format(boot="mcuboot", app="app", slot="slot0_partition"))
    code, text_out, err = _run(capsys, "system", config)
    assert code == 2 and text_out == "" and err.count("\n") == 1
    assert err.startswith(f"tarnwick: error: {config}:{line}: ") and words in err


def test_an_elf_alone_with_a_configuration_of_its_own(out, capsys):
    """An image given by its ELF file alone, its regions from its own configuration file, is read
    as `analyze` reads that ELF with that configuration."""
    own = _write(out, "core1-own.toml", """
[[regions]]
name = "FLASH"
origin = 0x20000
length = 0x20000
category = "flash"
[[regions]]
name = "RAM"
origin = 0x20010000
length = 0x8000
category = "ram"
[[regions]]
name = "MAILBOX"
origin = 0x20018000
length = 0x400
category = "ram"
""")
    text = DUAL.format(regions='[[system.regions]]\nname = "MAILBOX"\nshared = true\n', core1="core1").replace(
        'map = "core1.map"', f'elf = "core1.elf"\nconfig = "{own.name}"')
    code, document = _json(capsys, "system", _write(out, "dual-elf.toml", text))
    image = _by_name(document["system"]["images"])["core1"]
    alone = analyze(out / "core1.elf", config=own).report.summary
    assert code == 0 and (image["flash_bytes"], image["ram_bytes"]) == (alone.total_flash, alone.total_ram)
    assert image["map"] is None and image["stored_bytes"] == binary(out / "core1.elf").stat().st_size
    assert [p["image"] for p in document["system"]["regions"][0]["parts"]] == ["core0", "core1"]


def test_a_partition_file_error_names_its_own_line(out, capsys):
    broken = _write(out, "broken.dts", (out / "zephyr.dts").read_text().replace("reg = < 0x8000 0x10000 >;",
                                                                                 "reg = < 0x8000 0x10000 >"))
    config = _write(out, "broken.toml", '[system]\npartitions = "broken.dts"\n' + IMAGES.format(
        boot="mcuboot", app="app", slot="slot0_partition"))
    code, _, err = _run(capsys, "system", config)
    line = next(n for n, text in enumerate(broken.read_text().splitlines(), 1) if "0x8000 0x10000 >" in text) + 1
    assert code == 2 and err.startswith(f"tarnwick: error: {broken}:{line}: expected ';'")


def test_each_image_has_its_own_budgets(out, capsys):
    """`[targets.IMAGE]` budgets and policies apply to that image's own report and gates."""
    config = boot_app_config(out, "devicetree")
    text = (config.read_text() + "\n[targets.app.budgets.flash]\nFLASH = 0.01\n"
            "[targets.app.policies]\nfail_on_budget = true\n")
    code, document = _json(capsys, "system", _write(out, "budgets.toml", text))
    images = _by_name(document["system"]["images"])
    assert code == 1 and images["app"]["verdict"] == "failed" and images["mcuboot"]["verdict"] == "passed"
    assert "app: fail_on_budget (app/budget.FLASH)" in document["verdict"]["failures"]
    assert any(issue["id"] == "app/budget.FLASH" for issue in document["issues"])


def test_html_draws_each_image_as_a_band(out, capsys):
    code, page, _ = _run(capsys, "system", _write(out, "dual-overlap-html.toml", DUAL.format(
        regions='[[system.regions]]\nname = "MAILBOX"\nshared = true\n', core1="core1-overlap")), "--format", "html")
    assert code == 1 and page.count("<svg") >= 2 and "Gates failed" in page
    for name in ("core0", "core1"):
        assert re.search(rf'<rect class="band"[^>]*><title>{name}: 0x', page)
    assert '<rect class="overlap"' in page and '<rect class="shared"' in page


@pytest.mark.parametrize("target", ["config", "app.map", "zephyr.dts", "base.json"])
def test_output_never_replaces_an_input(out, capsys, target):
    config = boot_app_config(out, "devicetree")
    base = out / "base.json"
    assert main(["system", str(config), "--format", "json", "--output", str(base)]) == 0
    path = config if target == "config" else out / target
    before = path.read_bytes()
    code, text, err = _run(capsys, "system", config, "--baseline", base, "--output", path)
    assert code == 2 and "refusing to overwrite an input" in err and path.read_bytes() == before
