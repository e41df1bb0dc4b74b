"""The GNU ld reader's records hold what the map states whatever it shares between them: every
origin split as support/origins.split_origin splits it (the reader decides ASCII origins by
their bytes itself), and sizes on both sides of the numbers it keeps one object for."""

import pytest

from tarnwick.support.origins import split_origin
from tarnwick.toolchains import load_map

# each way an origin may name, or seem to name, an archive's member
ORIGINS = [
    "main.o", "build/drv/uart.o", "libfoo.a(bar.o)", "/opt/sdk/lib/libm.A(e_sqrt.o)", "C:\\sdk\\libc.lib(x.o)",
    "deps/libcore.rlib(core-1.o)", "c_w.l(memcpy.o)", "libis0.sm8(div.o)", "drivers_msp432p401x.aem4f(gpio.obj)",
    "rts.AR12345(a.o)", "x.aex123456(a.o)", "x.ax1(a.o)", "x.am(a.o)", "lib.a.o(b.o)", "notes(1).o", "lib(x).a(y.o)",
    "a(b.a(c.o))", "()", "(x.o)", "libx.a()", "libx.a((y.o))", "libx.a(y.o)z", "libx.a(y.o) ", "weird).o",
    "bibliothèque.a(é.o)", "libK.a(k.o)", "ſ.aes(x.o)",
]

HEAD = """Memory Configuration

Name             Origin             Length             Attributes
FLASH            0x08000000         0x10000000         xr
*default*        0x00000000         0xffffffff

Linker script and memory map

"""


def _map(rows: list) -> str:
    """A map of one .text section holding an input section (with one symbol) per row of
    (origin, size), one after another."""
    body, address = [], 0x0800_0000
    for index, (origin, size) in enumerate(rows):
        body.append(f" .text.f{index}")
        body.append(f"                0x{address:08x} {size:#10x} {origin}")
        body.append(f"                0x{address:08x}                f{index}")
        body.append(f"                0x{address + 2:08x}                f{index}_tail")
        address += size
        body.append(f" *fill*         0x{address:08x}        0x2 ")
        address += 2
    header = f".text           0x08000000 {address - 0x0800_0000:#10x}"
    return HEAD + "\n".join([header, *body, "", "OUTPUT(firmware.elf elf32-littleriscv)", ""])


def _model(tmp_path, rows):
    path = tmp_path / "firmware.map"
    path.write_text(_map(rows), encoding="utf-8")
    model = load_map(path, elf=None)
    assert model.toolchain.value == "gnu_ld"
    return model


def test_every_origin_splits_as_split_origin_splits_it(tmp_path):
    model = _model(tmp_path, [(origin, 0x10) for origin in ORIGINS])
    parts = [part for part in model.sections[0].inputs if not part.is_fill]
    assert [part.origin for part in parts] == [origin.rstrip() for origin in ORIGINS]
    by_section = {}
    for symbol in model.symbols:
        by_section.setdefault(symbol.name.removesuffix("_tail"), set()).add((symbol.object_file, symbol.archive))
    for index, part in enumerate(parts):
        assert by_section[f"f{index}"] == {split_origin(part.origin)}, part.origin


@pytest.mark.parametrize("size", [0x3, 0x100, 0x101, 0xfffe, 0xffff, 0x10000, 0x10001, 0x123456])
def test_sizes_on_both_sides_of_the_shared_numbers(tmp_path, size):
    model = _model(tmp_path, [("a.o", size), ("b.o", size)])
    inputs = model.sections[0].inputs
    assert [(part.name, part.size, part.is_fill) for part in inputs] == [
        (".text.f0", size, False), ("*fill*", 2, True), (".text.f1", size, False), ("*fill*", 2, True)]
    assert [(s.name, s.size) for s in model.symbols] == [("f0", 2), ("f0_tail", size - 2), ("f1", 2),
                                                         ("f1_tail", size - 2)]
    assert sum(s.size for s in model.symbols) + sum(p.size for p in inputs if p.is_fill) == model.sections[0].size


def test_origins_met_again_in_runs_and_apart_are_the_ones_first_met(tmp_path):
    # runs of one object's input sections (across the reader's batches of 64) and objects
    # coming back after others, as a large build's map lists them
    objects = [f"build/m{index}/f{index}.o" if index % 4 else f"lib/libx{index % 3}.a(p{index}.o)"
               for index in range(300)]
    rows = [(objects[(index * 7) % 300 if index % 5 else index % 11], 0x10) for index in range(3_000)]
    rows += [(objects[1], 0x10)] * 130 + [(objects[2], 0x10)] + [(objects[1], 0x10)] * 64
    model = _model(tmp_path, rows)
    parts = [part for part in model.sections[0].inputs if not part.is_fill]
    assert [part.origin for part in parts] == [origin for origin, _ in rows]
    assert len({id(part.origin) for part in parts}) == len({origin for origin, _ in rows})  # one text each
    for index, symbol in enumerate(model.symbols):
        assert (symbol.object_file, symbol.archive) == split_origin(rows[index // 2][0]), index


@pytest.fixture(scope="module")
def many_rows_map(tmp_path_factory):
    """A map whose rows outgrow the reader's first room many times over (150,000 input rows,
    100,000 symbols), with the records the map states, made here from its rows."""
    rows = [(f"build/m{index % 97}/f{index}.o" if index % 3 else f"lib/libx{index % 7}.a(p{index}.o)",
             0x4 + index % 0x300) for index in range(50_000)]
    path = tmp_path_factory.mktemp("many") / "firmware.map"
    path.write_text(_map(rows), encoding="utf-8")
    inputs, symbols, address = [], [], 0x0800_0000
    for index, (origin, size) in enumerate(rows):
        inputs.append((f".text.f{index}", address, size, origin, False))
        symbols += [(f"f{index}", address, 2, split_origin(origin)), (f"f{index}_tail", address + 2, size - 2,
                                                                        split_origin(origin))]
        address += size
        inputs.append(("*fill*", address, 2, None, True))
        address += 2
    return path, inputs, symbols


def test_records_of_a_map_of_many_rows_are_the_rows_it_states(many_rows_map):
    # the reader gives back the room of the rows it has made records of, while it reads the rest
    path, inputs, symbols = many_rows_map
    model = load_map(path, elf=None)
    (section,) = model.sections
    assert [(p.name, p.address, p.size, p.origin, p.is_fill) for p in section.inputs] == inputs
    assert [(s.name, s.address, s.size, (s.object_file, s.archive)) for s in model.symbols] == symbols
    assert section.padding_bytes == 2 * 50_000


def _lld_map(rows: list) -> str:
    """An LLVM lld map of one .text section holding an input section (with one symbol) per row of
    (address, size), in the order given."""
    body = []
    for index, (address, size) in enumerate(rows):
        body.append(f"{address:8x} {address:8x} {size:8x}     4         o{index}.o:(.text.f{index})")
        body.append(f"{address:8x} {address:8x} {size:8x}     1                 f{index}")
    start = min(address for address, _ in rows)
    end = max(address + size for address, size in rows)
    return "\n".join(["     VMA      LMA     Size Align Out     In      Symbol",
                      f"{start:8x} {start:8x} {end - start:8x}     4 .text", *body,
                      "       0        0       e9     1 .shstrtab",
                      "       0        0       e9     1         <internal>:(.shstrtab)", ""])


def _lld_inputs(rows: list) -> list:
    """The input sections lld's map implies: in address order (those of one address as listed),
    a fill in each gap between one's end (the furthest so far) and the next one's start."""
    placed = sorted(range(len(rows)), key=lambda index: rows[index][0])
    expected, end = [], None
    for index in placed:
        address, size = rows[index]
        if end is not None and address > end:
            expected.append(("*fill*", end, address - end, True))
        expected.append((f".text.f{index}", address, size, False))
        end = max(end or 0, address + size)
    return expected


LLD_LAYOUTS = {
    "in order, no gap": [(0x1000, 0x10), (0x1010, 0x8), (0x1018, 0x4)],
    "in order, gaps": [(0x1000, 0x10), (0x1020, 0x8), (0x1030, 0x4), (0x1034, 0x4), (0x1040, 0x2)],
    "out of order, gaps": [(0x1040, 0x2), (0x1000, 0x10), (0x1030, 0x4), (0x1020, 0x8)],
    "overlapping, gap after the furthest end": [(0x1000, 0x40), (0x1010, 0x8), (0x1050, 0x4), (0x1008, 0x2)],
    "one address twice, out of order": [(0x1020, 0x4), (0x1000, 0x8), (0x1020, 0x4), (0x1000, 0x2)],
    # more rows than the reader's first room holds, a gap before every other one, listed backwards
    "many, backwards": [(0x10_0000 + 0x20 * i + (0x8 if i % 2 else 0), 0x8) for i in range(20_000)][::-1],
}


@pytest.mark.parametrize("rows", LLD_LAYOUTS.values(), ids=LLD_LAYOUTS.keys())
def test_lld_fills_lie_in_the_gaps_between_inputs_in_address_order(tmp_path, rows):
    path = tmp_path / "firmware.map"
    path.write_text(_lld_map(rows), encoding="utf-8")
    model = load_map(path, elf=None)
    assert model.toolchain.value == "llvm_lld"
    text = next(section for section in model.sections if section.name == ".text")
    assert [(p.name, p.address, p.size, p.is_fill) for p in text.inputs] == _lld_inputs(rows)
    assert text.padding_bytes == sum(p.size for p in text.inputs if p.is_fill)
    assert sorted((s.name, s.address) for s in model.symbols) == sorted(
        (f"f{index}", address) for index, (address, _) in enumerate(rows))
