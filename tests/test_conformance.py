"""tarnwick's figures against the linkers' own, on real links made by tests/conformance/build.sh
with every cross toolchain Debian packages, and on maps of other people's builds."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from tarnwick.analysis.load_images import note_load_images
from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.analysis.summary import build_analysis_report
from tarnwick.analysis.symbol_breakdown import compute_flash_ram_attribution
from tarnwick.config import RegionSpec, TarnwickConfig
from tarnwick.toolchains import load_map

CONFORMANCE = Path(__file__).resolve().parent / "conformance"
MAPS = CONFORMANCE / "maps"
REALMAPS = Path(__file__).resolve().parents[2] / "shared" / "realmaps"
UNITS = {"B": 1, "KB": 1 << 10, "MB": 1 << 20, "GB": 1 << 30}
GNU_LD_LINKS = sorted(p.name[:-len(".memory-usage.txt")] for p in MAPS.glob("*.memory-usage.txt"))
# lld prints no region table: its links are checked against GNU ld's link of the same objects
# and script.
LLD_TWINS = {"arm-lld": "arm-gnu-ld-flat", "riscv-lld": "riscv-gnu-ld", "x86-lld": "x86-gnu-ld"}
WITHOUT_REGIONS = ["arm-lld", "riscv-lld", "x86-lld", "x86-gold", "x86-mold"]


def linker_table(text: str) -> tuple[dict, set]:
    """Region -> used bytes from `--print-memory-usage`, and the regions ld said overflowed."""
    used = {}
    for line in text.splitlines():
        match = re.match(r"^\s*(\S+):\s+(\d+) (B|KB|MB|GB)\s", line)
        if match:
            used[match[1]] = int(match[2]) * UNITS[match[3]]
    overflowed = set(re.findall(r"region `([^']+)' overflowed by", text))
    return used, overflowed


def elf_sections(name: str) -> list:
    """(vma, lma, size, flags) of every allocated section, as `objdump -h` read the ELF."""
    rows = []
    for line in (MAPS / f"{name}.sections.txt").read_text().splitlines():
        fields = line.split(None, 7)
        if len(fields) == 8 and fields[0].isdigit() and "ALLOC" in fields[7]:
            rows.append((int(fields[3], 16), int(fields[4], 16), int(fields[2], 16),
                         set(fields[7].replace(" ", "").split(","))))
    return rows


def elf_extents(name: str, regions) -> dict:
    """Each region's use as the link laid it out: from its origin to the end of the last
    section running there, or of the last image loaded there."""
    ends = {r.name: r.origin for r in regions}
    for vma, lma, size, flags in elf_sections(name):
        places = [vma] + ([lma] if lma != vma and "LOAD" in flags else [])
        for start in places:
            for r in regions:
                if r.origin <= start < r.origin + r.length and size:
                    ends[r.name] = max(ends[r.name], start + size)
    return {r.name: ends[r.name] - r.origin for r in regions}


def report_of(path, config=None):
    config = config or TarnwickConfig()
    return build_analysis_report(load_map(path, config), config)


@pytest.mark.parametrize("lld, twin", sorted(LLD_TWINS.items()))
def test_lld_region_use_equals_its_own_layout(lld, twin):
    """lld lays the same objects and script out differently from GNU ld (it relaxes less,
    and moves the load address past a NOLOAD section), so its figures are checked against
    the extents of its own ELF's sections, a measure that gives GNU ld's own table on GNU
    ld's link."""
    gnu = load_map(MAPS / f"{twin}.map")
    regions = [RegionSpec(r.name, r.origin, r.length) for r in gnu.memory_regions]
    model = load_map(MAPS / f"{lld}.map", TarnwickConfig(regions=regions))
    used, _ = linker_table((MAPS / f"{twin}.memory-usage.txt").read_text())
    assert elf_extents(twin, gnu.memory_regions) == used  # the reference agrees with ld itself
    ours = {name: u.used_bytes for name, u in compute_region_usage(model).items()}
    assert ours == elf_extents(lld, gnu.memory_regions)


@pytest.mark.parametrize("name", WITHOUT_REGIONS)
def test_totals_without_regions_follow_the_section_kinds(name):
    """Without regions, flash is what the image holds (code, read-only data, images of
    initialised data) and RAM what runs from RAM (writable and zero-initialised data, and
    anything copied to another address), as the ELF's section flags say. ld marks a section
    that the script fills with data statements (`.tail`: LONG(...)) writable; it is image."""
    flash = ram = 0
    script_data = {vma for vma, *_ in elf_sections(name)} & {
        s.address for s in load_map(MAPS / f"{name}.map").sections
        if s.inputs and all(p.origin == "linker script data" for p in s.inputs if not p.is_fill)}
    for vma, lma, size, flags in elf_sections(name):
        if {"CONTENTS", "LOAD"} <= flags:
            flash += size
        writable = "READONLY" not in flags and vma not in script_data
        if writable or "CONTENTS" not in flags or vma != lma:
            ram += size
    model = load_map(MAPS / f"{name}.map")
    attribution = compute_flash_ram_attribution(model)
    assert (attribution.flash_bytes, attribution.ram_bytes) == (flash, ram)
    assert any("no memory regions" in note for note in model.unresolved_ambiguities)


@pytest.mark.parametrize("translated", ["x86-gnu-ld-fr", "x86-gnu-ld-de"])
def test_translated_maps_read_as_the_english_one(translated):
    english, other = load_map(MAPS / "x86-gnu-ld.map"), load_map(MAPS / f"{translated}.map")
    shape = lambda m: [(s.name, s.address, s.size, s.load_address, s.has_contents) for s in m.sections]
    assert shape(other) == shape(english)
    assert [(s.name, s.size) for s in other.symbols] == [(s.name, s.size) for s in english.symbols]


def test_french_map_is_really_translated():
    head = (MAPS / "x86-gnu-ld-fr.map").read_text(encoding="utf-8")
    assert "Configuration mémoire" in head and "address de chargement" in head


@pytest.mark.parametrize("name, region, kinds", [
    # NOLOAD after initialised data with AT> FLASH: no image in flash
    ("arm-gnu-ld", ".noinit", (False, None)),
    ("arm-gnu-ld", ".data", (True, "FLASH")),
    ("arm-gnu-ld", ".ov_b", (True, "FLASH")),
    ("riscv-gnu-ld", ".noinit", (False, None)),
    ("avr-gnu-ld", ".data", (True, "text")),
])
def test_which_sections_have_an_image(name, region, kinds):
    section = next(s for s in load_map(MAPS / f"{name}.map").sections if s.name == region)
    assert (section.has_contents, section.load_region) == kinds


def test_non_allocated_sections_take_no_memory():
    names = {s.name for s in load_map(MAPS / "avr-gnu-ld.map").sections}
    assert ".note.gnu.avr.deviceinfo" not in names and ".comment" not in names
    names = {s.name for s in load_map(MAPS / "xtensa-gnu-ld.map").sections}
    assert ".xtensa.info" not in names


TOOLS = ("arm-none-eabi-gcc", "avr-gcc", "riscv64-unknown-elf-gcc", "xtensa-lx106-elf-gcc",
         "ld.lld", "ld.gold", "mold")


@pytest.mark.skipif(not all(shutil.which(tool) for tool in TOOLS),
                    reason="the cross toolchains are not installed")
def test_a_fresh_build_still_matches(tmp_path):
    """The toolchains of this machine, not only the committed maps."""
    # the toolchains must not run under the sanitizer runtime the suite may be preloaded with
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    subprocess.run(["bash", str(CONFORMANCE / "build.sh"), str(tmp_path)], check=True,
                   capture_output=True, timeout=600, env=environment)
    for usage in tmp_path.glob("*.memory-usage.txt"):
        name = usage.name.replace(".memory-usage.txt", "")
        used, _ = expected_use(tmp_path, name)
        model = load_map(tmp_path / f"{name}.map")
        assert {n: u.used_bytes for n, u in compute_region_usage(model).items()} == used, name


# --- maps written by other people's builds ---------------------------------------------------

REAL = sorted(REALMAPS.glob("*.map")) if REALMAPS.is_dir() else []
needs_realmaps = pytest.mark.skipif(not REAL, reason="../shared/realmaps is not there")


@needs_realmaps
@pytest.mark.parametrize("path", REAL, ids=lambda p: p.stem)
def test_field_maps_read_clean(path):
    report = report_of(path)
    assert report.issues == []
    assert report.summary.total_flash + report.summary.total_ram > 0


@needs_realmaps
@pytest.mark.parametrize("name, expected", [
    ("rp2040-pico-blink", {"FLASH": 8632, "RAM": 3612, "SCRATCH_Y": 2048, "SCRATCH_X": 0}),
    ("stm32f030-spl-make", {"ROM": 2728, "RAM": 1312}),
])
def test_field_map_figures(name, expected):
    usage = compute_region_usage(load_map(REALMAPS / f"{name}.map"))
    assert {region: usage[region].used_bytes for region in expected} == expected


@needs_realmaps
def test_avr_field_map_counts_the_data_image_in_text():
    model = load_map(REALMAPS / "avr-atmega328p-blink.map")
    usage = compute_region_usage(model)
    sections = {s.name: s for s in model.sections}
    text_end = sections[".text"].end
    assert usage["text"].used_bytes == text_end + sections[".data"].size
    assert usage["data"].used_bytes == sum(sections[n].size for n in (".data", ".bss", ".noinit"))
    assert {r.name: r.category.value for r in model.memory_regions}["eeprom"] == "other"


# --- every link in the three ways it can be read ---------------------------------------------

MODES = ["map alone", "map with its ELF", "ELF alone"]
# Links whose scripts place initialised data with AT(address): ld's table leaves that image out
# of the region that stores it; tarnwick counts it and says so.
IMAGES_LD_LEAVES_OUT = {"arm-gnu-ld-cmsis": "FLASH"}


def model_in_mode(name: str, mode: str):
    from tarnwick.toolchains import AUTO

    if mode == "ELF alone":  # regions from the map's memory configuration, as a user would give them
        regions = [RegionSpec(r.name, r.origin, r.length, r.category.value)
                   for r in load_map(MAPS / f"{name}.map").memory_regions]
        return load_map(MAPS / f"{name}.elf", TarnwickConfig(regions=regions))
    model = load_map(MAPS / f"{name}.map", elf=AUTO if mode == "map with its ELF" else None)
    note_load_images(model)  # as the command runs it on every model it reads
    return model


def expected_use(folder: Path, name: str) -> tuple:
    """(region -> used bytes, the regions ld said overflowed): ld's own table, except where the
    script placed a load image with AT(address) (IMAGES_LD_LEAVES_OUT): there the region
    holds what the ELF's program headers store in it, up to the end of the last image."""
    used, overflowed = linker_table((folder / f"{name}.memory-usage.txt").read_text())
    region = IMAGES_LD_LEAVES_OUT.get(name)
    if region is not None:
        origin, length = next((r.origin, r.length) for r in load_map(folder / f"{name}.map").memory_regions
                              if r.name == region)
        ends = []
        for line in (folder / f"{name}.segments.txt").read_text().splitlines():
            fields = line.split()
            if fields[:1] == ["LOAD"] and int(fields[5], 16):  # physical address, bytes in the file
                ends.append(int(fields[3], 16) + int(fields[5], 16))
        stored = max(end for end in ends if origin < end <= origin + length) - origin
        assert stored > used[region]  # the image ld's table leaves out
        used = {**used, region: stored}
    return used, overflowed


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", GNU_LD_LINKS)
def test_region_use_equals_gnu_ld_in_every_mode(name, mode):
    expected, overflowed = expected_use(MAPS, name)
    model = model_in_mode(name, mode)
    ours = {region: u.used_bytes for region, u in compute_region_usage(model).items()}
    assert ours == expected
    region = IMAGES_LD_LEAVES_OUT.get(name)
    if region is not None and mode != "ELF alone":
        ld_says, _ = linker_table((MAPS / f"{name}.memory-usage.txt").read_text())
        note = next(n for n in model.parse_assumptions if n.startswith(f"{region} holds"))
        assert f"shows {ld_says[region]:,} B where it places them with AT(address)" in note
    config = TarnwickConfig(regions=[RegionSpec(r.name, r.origin, r.length) for r in model.memory_regions])
    report = build_analysis_report(model, config)
    assert {i.id.split(".", 1)[1] for i in report.issues if i.id.startswith("overflow.")} == overflowed


@pytest.mark.parametrize("mode", MODES)
def test_copy_sections_take_no_memory(mode):
    """The CMSIS template's (COPY) heap and stack: ld leaves them out, and so does every mode."""
    names = {s.name for s in model_in_mode("arm-gnu-ld-cmsis", mode).sections}
    assert ".heap" not in names and ".stack_dummy" not in names and ".data" in names


@pytest.mark.parametrize("mode", MODES)
def test_a_unified_memory_splits_its_one_section_by_what_it_holds(mode):
    """A soft core's one section holds code, constants, data and bss: its image is flash (the
    ELF's loaded bytes), its data and bss are RAM (their input sections, as the map lists them)."""
    model = model_in_mode("riscv-gnu-ld-unified", mode)
    attribution = compute_flash_ram_attribution(model)
    image = sum(size for vma, lma, size, flags in elf_sections("riscv-gnu-ld-unified") if "LOAD" in flags)
    text = (MAPS / "riscv-gnu-ld-unified.map").read_text()
    writable = sum(int(size, 16) for size in re.findall(
        r"^ (?:\.s?bss|\.s?data|COMMON)\S*\s+0x[0-9a-f]+\s+0x([0-9a-f]+) \S", text, re.M))
    if mode == "ELF alone":  # no input sections: the section as the ELF's flags say, code and writable
        assert (attribution.flash_bytes, attribution.ram_bytes) == (image, image)
    else:
        assert (attribution.flash_bytes, attribution.ram_bytes) == (image, writable) and writable > 0


@pytest.mark.parametrize("mode", ["map alone", "map with its ELF"])
def test_a_thumb_function_keeps_its_last_byte_in_an_lld_map(mode):
    """cortex-m-rt's HardFaultTrampoline: a Thumb function last in a section whose name says
    nothing of code; its odd address marks it, and lld lists the `$t` mapping symbol."""
    nm = {line.split()[3]: int(line.split()[1], 16) for line in (MAPS / "arm-lld-thumb.nm.txt").read_text().splitlines()
          if len(line.split()) == 4}
    from tarnwick.toolchains import AUTO

    model = load_map(MAPS / "arm-lld-thumb.map", elf=AUTO if mode == "map with its ELF" else None)
    sized = {s.name: s.size for s in model.symbols if s.alias_of is None and s.binding != "unnamed"}
    assert sized["HardFaultTrampoline"] == nm["HardFaultTrampoline"] == 8
    assert all(sized[name] == nm[name] for name in ("main", "Reset_Handler", "cxx_entry", "rust_style_entry"))


def intel_hex_bytes(path: Path) -> int:
    """Data bytes of an Intel HEX image: what a programmer writes to flash."""
    return sum(int(line[1:3], 16) for line in path.read_text().split() if line[7:9] == "00")


@pytest.mark.parametrize("name", ["sdcc-8051", "sdcc-stm8"])
def test_sdcc_flash_is_what_its_hex_image_holds(name):
    model = load_map(MAPS / f"{name}.map")
    assert compute_flash_ram_attribution(model).flash_bytes == intel_hex_bytes(MAPS / f"{name}.ihx")


def test_sdcc_8051_regions_are_what_its_memory_summary_lays_out():
    """sdld's .mem draws the internal RAM cell by cell (the stack takes what is left) and
    states the external RAM and the ROM used; the three address spaces overlap, so each is
    its own region."""
    mem = (MAPS / "sdcc-8051.mem").read_text()
    cells = "".join(re.findall(r"^0x[0-9a-f]{2}:\|(.*)\|$", mem, re.M)).replace("|", "")
    external = int(re.search(r"EXTERNAL RAM\s+0x\S+\s+0x\S+\s+(\d+)", mem)[1])
    stack = int(re.search(r"with (\d+) bytes available", mem)[1])
    model = load_map(MAPS / "sdcc-8051.map")
    used = {name: u.used_bytes for name, u in compute_region_usage(model).items()}
    assert used == {"ROM": intel_hex_bytes(MAPS / "sdcc-8051.ihx"),
                    "IRAM": sum(cell != " " for cell in cells), "XRAM": external}
    assert any(f"{stack} B" in note and "stack" in note for note in model.parse_assumptions)


def test_sdcc_stm8_accounts_every_area_once():
    areas = dict(re.findall(r"^(\w+)\s+[0-9A-F]{8}\s+[0-9A-F]{8} =\s+(\d+)\. bytes",
                            (MAPS / "sdcc-stm8.map").read_text(), re.M))
    attribution = compute_flash_ram_attribution(load_map(MAPS / "sdcc-stm8.map"))
    assert attribution.flash_bytes + attribution.ram_bytes == sum(map(int, areas.values()))
    assert attribution.ram_bytes == sum(int(areas[a]) for a in ("DATA", "INITIALIZED", "SSEG"))
