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
