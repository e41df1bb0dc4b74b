"""Seeded mutation tests of the vendor map readers (armlink, IAR ILINK, IAR XLINK, TI, SDCC, XC8,
Keil C51, COSMIC) and of the DWARF reader, beside the GNU ld, lld and ELF ones (test_map_frontend, test_elf).
Each damaged file ends in the documented outcome: a model whose bytes add up and a report made
of it, or one MapParseError whose message is one line naming the file (and a line of it where
it names one); never another exception (exit 3) or a signal. CI runs them under the sanitizer
build with thousands of mutations per reader (TARNWICK_MUTATIONS); a few hundred otherwise."""

import os
import random
import tempfile
from pathlib import Path

import pytest

from dwarf_writer import abbreviations, compile_unit, line_table, own_tables_build, sections as dwarf_sections, \
    shared_tables_build
from model_invariants import broken_invariants
from mutation import mutate, mutate_binary
from corpus_outcomes import CONFIG
from tarnwick._native import read_dwarf
from tarnwick.analysis.summary import build_analysis_report
from tarnwick.render.ledger import OVERLAP, ledgers
from tarnwick.toolchains import MapParseError, load_map
from tarnwick.toolchains.maps.map_text import lines_of

HERE = Path(__file__).resolve().parent
OURS = HERE / "vendor_maps"
CONFORMANCE = HERE / "conformance" / "maps"
COUNT = int(os.environ.get("TARNWICK_MUTATIONS", "300"))
SEEDS = {
    "armlink": [OURS / "armlink-ac5-compressed.map", OURS / "armlink-ac6-scatter.map", OURS / "armlink-no-scatter.map"],
    "iar_ilink": [OURS / "iar-arm8-init-by-copy.map", OURS / "iar-stm8-place-at-end.map"],
    "iar_xlink": [OURS / "iar-xlink-msp430.map"],
    "ti_linker": [OURS / "ti-arm-ramfunc.map", OURS / "ti-c2000-words.map", OURS / "ti-msp430fr-fram.map"],
    "sdcc": [CONFORMANCE / "sdcc-8051.map", CONFORMANCE / "sdcc-stm8.map"],
    "xc8": [OURS / "xc8-pic16f877a.map"],
    "keil_c51": [OURS / "keil-bl51-xdata-bits.map", OURS / "keil-lx51-const-xdata.map"],
    "cosmic": [OURS / "cosmic-stm8-eeprom-data.map"],
}


def map_outcome(path: Path, data: bytes):
    """None for the documented outcome, else what happened instead."""
    path.write_bytes(data)
    try:
        model = load_map(path, CONFIG, elf=None)
    except MapParseError as exc:
        message = str(exc)
        if "\n" in message or not message.startswith(f"{path}"):
            return f"an error that is not one line naming the file: {message!r}"
        if exc.line is not None and not 1 <= exc.line <= len(lines_of(data.decode("utf-8", "replace"))):
            return f"an error naming line {exc.line}, which the file does not have: {message!r}"
        return None
    except Exception as exc:  # the internal error, exit 3
        return f"{type(exc).__name__}: {exc}"
    broken = broken_invariants(model)
    if broken:
        return "; ".join(broken)
    try:
        report = build_analysis_report(model, CONFIG)
        books = ledgers(report, model=model)
    except Exception as exc:
        return f"the report of the model raised {type(exc).__name__}: {exc}"
    for book in books:
        if any(line.size < 0 and line.kind != OVERLAP for line in book.lines):
            return f"region {book.name} counts a negative line: {book.lines}"
    return None


@pytest.fixture
def scratch(tmp_path):
    """A folder for the damaged files: in memory where the machine has one (rewriting a file
    on disk costs more than reading it)."""
    if os.access("/dev/shm", os.W_OK):
        with tempfile.TemporaryDirectory(dir="/dev/shm") as folder:
            yield Path(folder)
    else:
        yield tmp_path


@pytest.mark.parametrize("reader", sorted(SEEDS))
def test_damaged_vendor_maps_end_in_a_report_or_one_clear_error(scratch, tmp_path, reader):
    seeds = [path.read_bytes() for path in SEEDS[reader]]
    for path in SEEDS[reader]:  # what the mutations start from reads as that linker's map
        assert load_map(path, CONFIG, elf=None).toolchain.value == reader
    rng = random.Random(f"{reader}-32")
    target = scratch / f"mutated-{reader}.map"
    failures = []
    for number in range(COUNT):
        data = mutate(rng.choice(seeds), rng, seeds)
        why = map_outcome(target, data)
        if why is not None:
            kept = tmp_path / f"failure-{number}.map"
            kept.write_bytes(data)
            failures.append(f"mutation {number} ({kept}): {why}")
    assert failures == [], f"{len(failures)} of {COUNT} mutations:\n" + "\n".join(failures[:10])


# --- DWARF ---------------------------------------------------------------------------------------

def _dwarf_seeds() -> list:
    """Debug sections of builds made here: units sharing their tables, a version 5 unit with a
    version 5 line table, and units of their own tables; the source-view firmware's DWARF 4 and
    5 where the Arm toolchain is installed."""
    seeds = [shared_tables_build(6, 4)]
    table5 = line_table([("main.c", 1), ("util.h", 2)], ["src", "include"], version=5)
    unit5 = compile_unit("main.c", "/work", 0, [("main", 0, 3, 0x100, 40), ("helper", 1, 9, 0x128, 8)],
                         [("counter", 1, 2, 0x2000_0000)], version=5)
    seeds.append(dwarf_sections(info=unit5, abbrev=abbreviations(), line=table5))
    seeds.append(own_tables_build(3))
    return seeds


@pytest.fixture(scope="module")
def dwarf_seeds(tmp_path_factory):
    from firmware_builds import build_with_script
    from tarnwick.toolchains.elf.dwarf import debug_sections
    from tarnwick.toolchains.elf.elf_file import read_elf

    seeds = _dwarf_seeds()
    try:
        out = build_with_script(HERE / "source_firmware" / "build.sh", tmp_path_factory.mktemp("dwarf-seeds"))
    except pytest.skip.Exception:
        return seeds
    for variant in ("dwarf4", "dwarf5-gz"):
        seeds.append(debug_sections(read_elf(str(out / variant / "firmware.elf"))))
    return seeds


def dwarf_outcome(sections: list):
    """None for the documented outcome (the tables read into consistent rows, or ValueError),
    else what happened instead."""
    try:
        paths, units, entities = read_dwarf(*sections, True)
    except ValueError:
        return None
    except Exception as exc:
        return f"{type(exc).__name__}: {exc}"
    if not all(isinstance(path, str) for path in paths):
        return "a path that is not text"
    for name, folder, ranges in units:
        if not (isinstance(name, str) and isinstance(folder, str) and all(len(r) == 2 for r in ranges)):
            return f"a unit row out of shape: {(name, folder, ranges)}"
    for kind, name, linkage, unit, path, _line, _low, _size in entities:
        if kind not in (0, 1, 2) or not 0 <= unit < len(units) or not -1 <= path < len(paths):
            return f"an entity naming what is not there: {(kind, name, unit, path, len(units), len(paths))}"
        if not (name or linkage):
            return "an entity without a name"
    return None


def test_damaged_dwarf_reads_or_is_one_value_error(dwarf_seeds):
    rng = random.Random("dwarf-32")
    weights = {0: 4, 1: 3, 3: 3, 2: 1, 4: 1, 5: 1, 6: 1, 7: 1, 8: 1}  # info, abbrev and line the most
    failures = []
    for number in range(COUNT * 4):  # a read takes a tenth of a map's
        sections = list(rng.choice(dwarf_seeds))
        for _ in range(rng.randint(1, 3)):
            which = rng.choices(list(weights), list(weights.values()))[0]
            if rng.random() < 0.1:  # a table of another build
                sections[which] = rng.choice(dwarf_seeds)[which]
            else:
                sections[which] = mutate_binary(sections[which], rng)
        why = dwarf_outcome(sections)
        if why is not None:
            failures.append(f"mutation {number}: {why}")
    assert failures == [], "\n".join(failures[:10])
