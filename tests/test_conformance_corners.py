"""tarnwick's figures against GNU ld's own on links in the shapes ld counts in its own way, built
once per session by tests/conformance/corners.sh: (COPY) sections ld lays out and stores,
sections placed by their address alone (by the command line, by the script), a region of no
length (empty, and overflowed), thread-local data. Each is read from its map, from its map with
its ELF, and from its ELF alone with the script's regions given in a configuration file."""

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from tarnwick.analysis.load_images import note_load_images
from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.analysis.summary import build_analysis_report
from tarnwick.app.cli import main
from tarnwick.config import RegionSpec, TarnwickConfig
from tarnwick.support.config_file import load_config
from tarnwick.render.ledger import ledgers
from tarnwick.toolchains import AUTO, load_map
from test_conformance import linker_table

CORNERS = Path(__file__).resolve().parent / "conformance" / "corners.sh"
pytestmark = pytest.mark.skipif(not all(shutil.which(tool) for tool in ("arm-none-eabi-gcc", "avr-gcc")),
                                reason="the Arm and AVR cross toolchains are not installed")

LINKS = ["arm-copy-laid-out", "arm-at-address", "avr-version", "arm-zero-region", "arm-zero-region-overflow",
         "arm-tls"]
MODES = ["map alone", "map with its ELF", "ELF alone"]
# the sections each link places by address alone, which ld counts in no region
BY_ADDRESS = {"arm-at-address": ".config_block", "avr-version": ".version"}


@pytest.fixture(scope="module")
def links(tmp_path_factory) -> Path:
    folder = tmp_path_factory.mktemp("corners")
    # the toolchains must not run under the sanitizer runtime the suite may be preloaded with
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    subprocess.run(["bash", str(CORNERS), str(folder)], check=True, capture_output=True, timeout=300,
                   env=environment)
    return folder


def configuration(folder: Path, name: str) -> Path:
    """A tarnwick.toml giving the regions of the link's script, as a user copies them out."""
    path = folder / f"{name}.toml"
    path.write_text("".join(f'[[regions]]\nname = "{r.name}"\norigin = {r.origin:#x}\nlength = {r.length:#x}\n'
                            f'category = "{r.category.value}"\n'
                            for r in load_map(folder / f"{name}.map").memory_regions))
    return path


def model_in(folder: Path, name: str, mode: str):
    if mode == "ELF alone":
        return load_map(folder / f"{name}.elf", load_config(configuration(folder, name)))
    model = load_map(folder / f"{name}.map", elf=AUTO if mode == "map with its ELF" else None)
    note_load_images(model)
    return model


def nm_symbols(folder: Path, name: str) -> dict:
    """name -> (address, size) of the symbols `nm -S` sizes, thread-local ones at their place in
    the TLS segment `readelf -lW` shows; with the TLS template's zero-initialised tail."""
    tls = re.search(r"^\s*TLS\s+\S+\s+(0x\S+)\s+\S+\s+(0x\S+)\s+(0x\S+)", (folder / f"{name}.segments.txt").read_text(),
                    re.M)
    base, stored, size = (int(field, 16) for field in tls.groups()) if tls else (0, 0, 0)
    symbols, tail = {}, set()
    for line in (folder / f"{name}.nm.txt").read_text().splitlines():
        fields = line.split()
        if len(fields) != 4 or not int(fields[1], 16):
            continue
        address = int(fields[0], 16)
        if tls and fields[3].startswith("tls_"):
            address += base
            if address >= base + stored:
                tail.add(fields[3])
        if fields[2] in "Tt" and name.startswith("arm"):
            address &= ~1  # Thumb
        symbols[fields[3]] = (address, int(fields[1], 16))
    assert not tls or size > stored  # the link has a zero-initialised tail to leave out
    return symbols, tail


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", LINKS)
def test_region_use_and_overflow_equal_gnu_ld(links, name, mode):
    used, overflowed = linker_table((links / f"{name}.memory-usage.txt").read_text())
    model = model_in(links, name, mode)
    assert {region: u.used_bytes for region, u in compute_region_usage(model).items()} == used
    config = TarnwickConfig(regions=[RegionSpec(r.name, r.origin, r.length) for r in model.memory_regions])
    report = build_analysis_report(model, config)
    assert {i.id.split(".", 1)[1] for i in report.issues if i.id.startswith("overflow.")} == overflowed
    if mode == "map with its ELF":  # the ELF of the link is taken, thread-local symbols and all
        assert model.elf_path is not None and not model.warnings


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", LINKS)
def test_symbols_are_where_nm_puts_them(links, name, mode):
    """Every symbol nm sizes, (COPY) heap and stack arrays included, at its address with its
    size; thread-local data at its place in the TLS segment, but for the template's
    zero-initialised tail, which takes no memory of a region."""
    expected, tail = nm_symbols(links, name)
    ours = {s.name: (s.address, s.size) for s in model_in(links, name, mode).symbols
            if s.alias_of is None and s.binding != "unnamed"}
    assert {n: ours.get(n) for n in expected if n not in tail} == {n: at for n, at in expected.items() if n not in tail}
    assert not tail & set(ours)
    if name == "arm-copy-laid-out":
        assert {"heap_area", "stack_area"} <= set(ours)
    if name == "arm-tls":
        assert {"tls_counter", "tls_buffer"} == {n for n in expected if n.startswith("tls_")} and tail == {"tls_buffer"}


def printed_load_addresses(text: str) -> dict:
    return {name: int(load, 16) for name, load in
            re.findall(r"^(\.\S+)\s+0x[0-9a-f]+\s+0x[0-9a-f]+ load address (0x[0-9a-f]+)", text, re.M)}


@pytest.mark.parametrize("mode", MODES)
def test_copy_sections_keep_the_images_ld_stores(links, mode):
    """The heap and stack arrays' (COPY) sections hold their images where ld's map prints them,
    in flash: ld counts them there, though no LOAD segment of the ELF holds them."""
    loads = printed_load_addresses((links / "arm-copy-laid-out.map").read_text())
    sections = {s.name: s for s in model_in(links, "arm-copy-laid-out", mode).sections}
    for name in (".heap", ".stack_dummy"):
        assert (sections[name].execution_region, sections[name].load_region) == ("RAM", "FLASH")
        assert sections[name].load_address == loads[name] and sections[name].has_contents
    assert not sections[".noinit"].has_contents


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("name", sorted(BY_ADDRESS))
def test_a_section_placed_by_address_alone_is_shown_apart(links, name, mode):
    model = model_in(links, name, mode)
    section = next(s for s in model.sections if s.name == BY_ADDRESS[name])
    assert section.execution_region is None and section.size
    assert any(n.startswith("section(s)") and f"{section.name} at 0x{section.address:x} placed by address alone" in n
               for n in model.parse_assumptions)
    report = build_analysis_report(model, TarnwickConfig())
    apart = next(book for book in ledgers(report, model=model) if book.name == "(no region)")
    assert apart.sections == [(section.name, section.size)] and apart.used == section.size
    assert not [i for i in report.issues if "outside" in i.id]


@pytest.mark.parametrize("name", ["arm-zero-region", "arm-zero-region-overflow"])
def test_a_region_of_no_length_is_configured(links, name, capsys):
    """The command reads the ELF alone with a configuration giving the script's region of LENGTH
    = 0, and fails its overflow gate exactly when ld says the region overflowed."""
    _, overflowed = linker_table((links / f"{name}.memory-usage.txt").read_text())
    assert 'name = "CCMRAM"' in configuration(links, name).read_text() and "length = 0x0" in configuration(
        links, name).read_text()
    code = main(["analyze", str(links / f"{name}.elf"), "--config", str(configuration(links, name))])
    assert code == (1 if overflowed else 0) and overflowed <= {"CCMRAM"}
    assert ("CCMRAM" in capsys.readouterr().out)


def test_an_address_set_in_another_language_reads_the_same(links, tmp_path):
    """ld writes "Address of section .version set to 0x7ffe" in the user's language."""
    text = (links / "avr-version.map").read_text()
    french = re.sub(r"^Address of section (\S+) set to (0x\S+)$", r"Adresse de la section \1 initialisé à \2", text,
                    flags=re.M)
    assert french != text
    (tmp_path / "avr-version.map").write_text(french)
    shape = lambda m: [(s.name, s.address, s.size, s.execution_region) for s in m.sections]
    english, other = load_map(links / "avr-version.map"), load_map(tmp_path / "avr-version.map")
    assert shape(other) == shape(english) and other.placed_by_address == {(".version", 0x7ffe)}
    assert not any("not understood" in note for note in other.parse_assumptions)
