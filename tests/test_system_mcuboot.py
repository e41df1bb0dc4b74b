"""The MCUboot slot's room as tarnwick computes it, against what imgtool (MCUboot's signing tool)
accepts: the same application linked to sizes around each limit, signed with
`imgtool sign --pad --slot-size ... --max-sectors ...`, and the system report asked whether it fits."""

from __future__ import annotations

import struct

import pytest

from system_builds import binary, built, image_end, imgtool_accepts, link_app, need_imgtool

from tarnwick.system.analysis import analyze_system
from tarnwick.system.mcuboot import KEY_TYPES, Mcuboot, tlv_bytes

SLOT, SECTOR, WRITE, MAX_SECTORS, HEADER = 0x10000, 0x1000, 4, 32, 0x200
SLOT0 = 0x8000


def _config(folder, name: str, map_path, mode: str, extra: str = "", max_sectors: int = MAX_SECTORS) -> str:
    path = folder / f"{name}.toml"
    path.write_text(f"""
[system]
partitions = [
  {{ name = "slot0_partition", start = {SLOT0}, size = {SLOT} }},
  {{ name = "slot1_partition", start = {SLOT0 + SLOT}, size = {SLOT + SECTOR} }},
  {{ name = "scratch_partition", start = {SLOT0 + 2 * SLOT + SECTOR}, size = {SECTOR} }},
]
[system.mcuboot]
mode = "{mode}"
write_size = {WRITE}
sector_size = {SECTOR}
max_sectors = {max_sectors}
{extra}
[[system.images]]
name = "app"
role = "application"
map = "{map_path}"
partition = "slot0_partition"
""")
    return str(path)


@pytest.fixture(scope="module")
def out():
    need_imgtool()
    return built()


def _signed_image(out, signed_size: int, tlv: int = 40):
    """The application linked so that its signed image (header, code, TLV area) is `signed_size` B."""
    base, end = image_end(out / "app.elf"), SLOT0 + signed_size - tlv
    name = f"app-to-{end:x}"
    if not (out / f"{name}.elf").exists():
        link_app(out, name, end - base)
    assert image_end(out / f"{name}.elf") - SLOT0 + tlv == signed_size
    return out / f"{name}.map", binary(out / f"{name}.elf")


def _fits(out, map_path, mode: str, extra: str = "", max_sectors: int = MAX_SECTORS) -> tuple:
    result = analyze_system(_config(out, f"mcuboot-{mode}", map_path, mode, extra, max_sectors))
    row = next(row for row in result.report.partitions if row.name == "slot0_partition")
    return row.free_bytes >= 0, row


def _imgtool_room(mode: str) -> int:
    """What imgtool lets a signed image take: the slot less its trailer (probed below)."""
    return SLOT - Mcuboot(mode, WRITE, SECTOR, MAX_SECTORS).trailer().total


@pytest.mark.parametrize("mode", ["swap-scratch", "overwrite-only", "swap-move", "swap-offset"])
def test_slot_room_against_imgtool(out, mode):
    room = Mcuboot(mode, WRITE, SECTOR, MAX_SECTORS).slot(SLOT).room
    imgtool_room = _imgtool_room(mode)
    sizes = sorted({room - 1, room, room + 1, imgtool_room - 1, imgtool_room, imgtool_room + 1})
    verdicts = {}
    for size in sizes:
        map_path, image = _signed_image(out, size)
        fits, row = _fits(out, map_path, mode)
        assert row.used_bytes == size
        accepted = imgtool_accepts(image, SLOT, MAX_SECTORS, WRITE, overwrite_only=mode == "overwrite-only")
        verdicts[size] = (fits, accepted)
    # imgtool's limit is where its answer turns, and the trailer it pads to is the one tarnwick lays out
    assert verdicts[imgtool_room][1] and not verdicts[imgtool_room + 1][1]
    assert verdicts[room][0] and not verdicts[room + 1][0]
    for size, (fits, accepted) in verdicts.items():
        assert not fits or accepted, f"{size} B: tarnwick says it fits, imgtool refuses it"
    disagreeing = sorted(size for size, (fits, accepted) in verdicts.items() if fits != accepted)
    if mode in ("swap-scratch", "overwrite-only"):
        assert not disagreeing and room == imgtool_room
    else:
        # imgtool only keeps the trailer's bytes; a swap that moves sectors (or writes the update a
        # sector in) needs the trailer in sectors of its own, and swap-move one sector more
        trailer = Mcuboot(mode, WRITE, SECTOR, MAX_SECTORS).trailer().total
        kept = -(-trailer // SECTOR) * SECTOR + (SECTOR if mode == "swap-move" else 0)
        assert room == SLOT - kept and disagreeing == [s for s in sizes if room < s <= imgtool_room]


def test_grown_application_refused_by_both(out):
    """build.sh's grown application: it links and fits its partition, but leaves no room for the
    swap-scratch trailer; imgtool refuses to sign it for the slot, and tarnwick fails the system."""
    grown = out / "app-grown.elf"
    size = image_end(grown) - SLOT0 + 40
    assert size <= SLOT  # the partition holds it
    fits, row = _fits(out, out / "app-grown.map", "swap-scratch", max_sectors=128)
    assert not fits and row.free_bytes == SLOT - size - row.trailer_bytes
    assert not imgtool_accepts(binary(grown), SLOT, 128, WRITE)
    assert imgtool_accepts(binary(out / "app.elf"), SLOT, 128, WRITE)


@pytest.fixture(scope="module")
def keys(out, tmp_path_factory):
    imgtool = need_imgtool()
    folder = tmp_path_factory.mktemp("keys")
    made = {}
    for key in (k for k in KEY_TYPES if k):
        made[key] = folder / f"{key}.pem"
        imgtool.main(["keygen", "-k", str(made[key]), "-t", key], standalone_mode=False)
    return made


def _signature_length(signed, start: int) -> int:
    """The length of the signature entry in the TLV area imgtool wrote at `start`."""
    data = signed.read_bytes()
    magic, total = struct.unpack_from("<HH", data, start)
    assert magic == 0x6907 and start + total == len(data)
    at, lengths = start + 4, []
    while at < start + total:
        kind, length = struct.unpack_from("<HH", data, at)
        if kind in (0x20, 0x21, 0x22, 0x23, 0x24):  # the RSA, ECDSA and Ed25519 signature entries
            lengths.append(length)
        at += 4 + length
    assert at == start + total and len(lengths) == 1
    return lengths[0]


@pytest.mark.parametrize("key", [k for k in KEY_TYPES if k])
def test_tlv_area_of_each_key_type(out, keys, key):
    """The TLV area imgtool appends (its signed output less the header and the code) is the one
    tarnwick derives from the key type, less what a DER-encoded ECDSA signature comes out short of
    its longest (its integers lose leading zero bytes, so the shortfall varies per signature)."""
    imgtool = need_imgtool()
    image = binary(out / "app.elf")
    longest = KEY_TYPES[key][1]
    for attempt in range(6 if key.startswith("ecdsa") else 1):
        signed = out / f"tlv-{key}-{attempt}.bin"
        imgtool.main(["sign", "--header-size", str(HEADER), "--pad-header", "--version", "1.0.0", "--slot-size",
                      str(SLOT), "--key", str(keys[key]), str(image), str(signed)], standalone_mode=False)
        signature = _signature_length(signed, HEADER + image.stat().st_size)
        assert signature <= longest if key.startswith("ecdsa") else signature == longest
        assert signed.stat().st_size - HEADER - image.stat().st_size == tlv_bytes(key) - (longest - signature)


def test_unsigned_tlv_area(out):
    imgtool = need_imgtool()
    image = binary(out / "app.elf")
    signed = out / "tlv-none.bin"
    imgtool.main(["sign", "--header-size", str(HEADER), "--pad-header", "--version", "1.0.0", "--slot-size",
                  str(SLOT), str(image), str(signed)], standalone_mode=False)
    assert signed.stat().st_size - HEADER - image.stat().st_size == tlv_bytes(None) == 40


def test_signed_image_at_the_limit(out, keys):
    """With `key`, the room counts the signature: the largest image tarnwick says fits is signed by
    imgtool, and one a few bytes past the limit is refused by both."""
    tlv = tlv_bytes("ed25519")
    room = Mcuboot("swap-scratch", WRITE, SECTOR, MAX_SECTORS, tlv_bytes=tlv).slot(SLOT).room
    for size, expected in ((room, True), (room + 4, False)):
        map_path, image = _signed_image(out, size, tlv)
        fits, _ = _fits(out, map_path, "swap-scratch", 'key = "ed25519"')
        assert fits is expected
        assert imgtool_accepts(image, SLOT, MAX_SECTORS, WRITE, key=keys["ed25519"]) is expected


def test_more_sectors_than_mcuboot_swaps(out):
    """A 16-sector slot under max_sectors = 8: MCUboot cannot swap it, however small the image."""
    result = analyze_system(_config(out, "sectors", out / "app.map", "swap-move", max_sectors=8))
    ids = [issue.id for issue in result.report.issues]
    assert "system.slot_headroom.slot0_partition.sectors" in ids and result.verdict.failed


@pytest.mark.parametrize("layout,header_finding,imgtool_signs", [
    ("after-header", False, True),  # linked at the slot's start plus the header: imgtool --pad-header
    ("zephyr", False, True),  # at the slot's start, the header's room blank (ROM_START_OFFSET): no --pad-header
    ("no-room", True, False),  # at the slot's start, its vector table where the header goes
    ("in-header", True, True),  # 256 B into the slot: imgtool signs it, but the header covers its first bytes
])
def test_where_the_image_is_linked_in_its_slot(out, layout, header_finding, imgtool_signs):
    script = (out / "app.ld").read_text()
    origin = {"after-header": "0x00008200", "zephyr": "0x00008000", "no-room": "0x00008000",
              "in-header": "0x00008100"}[layout]
    script = script.replace("ORIGIN = 0x00008200, LENGTH = 0x10000 - 0x200", f"ORIGIN = {origin}, LENGTH = 0xF000")
    if layout == "zephyr":
        script = script.replace(".isr_vector : { KEEP", ".isr_vector : { . = 0x200; KEEP")
    (out / f"app-{layout}.ld").write_text(script)
    map_path = link_app(out, f"app-{layout}", 0, f"app-{layout}.ld")
    result = analyze_system(_config(out, f"linked-{layout}", map_path, "swap-scratch"))
    found = [issue.id for issue in result.report.issues]
    assert ("system.slot_headroom.slot0_partition.header" in found) is header_finding
    image = binary(out / f"app-{layout}.elf")
    assert imgtool_accepts(image, SLOT, MAX_SECTORS, WRITE, pad_header=layout in ("after-header", "in-header")) \
        is imgtool_signs
    row = next(row for row in result.report.partitions if row.name == "slot0_partition")
    if layout == "zephyr":  # the header's room is the image's own: imgtool's payload is the binary and the TLVs
        assert row.used_bytes == image.stat().st_size + 40
