"""The vendor readers' symbols (size_placed_symbols) name the object file and archive of the
input section they lie in as support/origins.split_origin splits its origin, whether the
native code splits it by its bytes or asks split_origin."""

import pytest

from tarnwick._native import size_placed_symbols
from tarnwick.support.origins import split_origin
from tarnwick.toolchains.base import InputSection, Section, Symbol

# each way an origin may name, or seem to name, an archive's member; and those split_origin is
# asked about (not ASCII, a line break, a lone surrogate)
ORIGINS = [
    "main.o", "build/drv/uart.o", "libfoo.a(bar.o)", "/opt/sdk/lib/libm.A(e_sqrt.o)", "C:\\sdk\\libc.lib(x.o)",
    "deps/libcore.rlib(core-1.o)", "c_w.l(memcpy.o)", "libis0.sm8(div.o)", "drivers_msp432p401x.aem4f(gpio.obj)",
    "rts.AR12345(a.o)", "x.aex123456(a.o)", "x.ax1(a.o)", "x.am(a.o)", "lib.a.o(b.o)", "notes(1).o", "lib(x).a(y.o)",
    "a(b.a(c.o))", "()", "(x.o)", "libx.a()", "libx.a((y.o))", "libx.a(y.o)z", "libx.a(y.o) ", "weird).o", "",
    "dl7M_tlf.a(fpinit_M.o)", "linker generated", "bibliothèque.a(é.o)", "libK.a(k.o)", "ſ.aes(x.o)", "lib.a\n(x.o)",
    "lib\udc80.a(x.o)",
]


@pytest.mark.parametrize("sizes_given", [True, False])
def test_each_symbol_names_its_input_sections_object_file_and_archive_as_split_origin_does(sizes_given):
    parts = tuple(InputSection(f".text.f{index}", 0x1000 + 0x10 * index, 0x10, origin)
                  for index, origin in enumerate(ORIGINS))
    sections = [Section(".text", 0x1000, 0x10 * len(ORIGINS), "FLASH", is_code=True, inputs=parts)]
    raw = [(f"f{index}", 0x1000 + 0x10 * index, 0x10 if sizes_given else None, "global") for index in range(len(ORIGINS))]
    symbols = size_placed_symbols(sections, raw, sizes_given, False, Symbol, split_origin)
    by_name = {symbol.name: (symbol.object_file, symbol.archive, symbol.size) for symbol in symbols}
    assert by_name == {f"f{index}": (*split_origin(origin), 0x10) for index, origin in enumerate(ORIGINS)}
