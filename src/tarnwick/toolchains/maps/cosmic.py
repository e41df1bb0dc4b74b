"""Maps of COSMIC's linker clnk (CXSTM8 and COSMIC's other compilers; `clnk -m FILE`). It states
no totals: its Segments table gives each output segment's start, end and length ("start 000080f9
end 00008d67 length 3182 segment .text"), the Modules part each object's sections within them, the
Stack usage part each function's stack and the deepest path's ("Stack size: 110"), and the Symbols
part each symbol's address and the module and section defining it. Segments are known by their
names: .text, .const, .init (the initialised data's images) and the vectors are flash; .bsct,
.ubsct (the zero page), .data, .bss, .bit and .share RAM; .eeprom neither; .info. and .debug no
target memory. A segment's bytes are its modules' sections, which the Segments table's lengths
check; the map gives no memory sizes, so there are no regions unless configured. The lines are
read in native code (native/fast/cosmic_map.cpp): a large build lists a section and a symbol
per function.
"""

from __future__ import annotations

from typing import Optional

from tarnwick._native import padding_bytes, read_cosmic_map
from tarnwick.support.figures import figure
from tarnwick.support.origins import windows_base_name
from tarnwick.toolchains.base import InputSection, Section, StatedTotals, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import native_rows, reads_bytes
from tarnwick.toolchains.maps.vendor_maps import assemble
from tarnwick.toolchains.maps.heads import cosmic as looks_like  # noqa: F401

_FLASH = {".text", ".const", ".init", ".vector", ".vectors", ".ftext", ".fconst", ".itext", ".iconst"}
_RAM = {".bsct", ".ubsct", ".data", ".bss", ".bit", ".share", ".fdata", ".fbss", ".idata"}
_ELSEWHERE = {".eeprom"}  # memory of its own


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


def parse(data, path: str, config=None):
    """The model of a clnk map from its UTF-8 bytes."""
    segments, symbols, missing, stack, part = native_rows(read_cosmic_map, path, data, InputSection, _origin)
    if not segments:
        raise MapParseError(path, "a COSMIC map without its Segments table")
    if part != "Symbols":
        raise MapParseError(path, "a COSMIC map cut short: it does not reach its Symbols")
    if missing:
        missing.sort()
        raise MapParseError(path, f"a COSMIC map cut short: its Symbols lack {', '.join(missing[:3])}"
                            f"{' and more' if len(missing) > 3 else ''}, which its Stack usage names")
    return _model(path, config, segments, symbols, None if stack is None else figure(stack))


def _origin(module: Optional[str]) -> Optional[str]:
    """"Debug\\main.o" -> "main.o"; "(C:\\...\\libis0.sm8)sprnt.o" -> "libis0.sm8(sprnt.o)"; None
    for a section listed before any module."""
    if module is None:
        return None
    if module.startswith("(") and ")" in module:
        library, _, member = module[1:].rpartition(")")  # the path may hold parentheses: "(x86)"
        return f"{windows_base_name(library)}({member})"
    return windows_base_name(module)


def _model(path: str, config, segments: list, symbols: list, stack):
    notes: list = []
    sections, unknown, stated = [], [], StatedTotals(flash=0, ram=0)
    for name, start, length, inputs, covered in segments:
        if inputs is None:
            continue  # debug information, no target memory
        flash, ram = name in _FLASH, name in _RAM
        if not (flash or ram or name in _ELSEWHERE):
            unknown.append(name)
        if flash:
            stated.flash += length
        elif ram:
            stated.ram += length
        sections.append(Section(name, start, covered, None, has_contents=not ram, is_code=name in (".text", ".ftext"),
                                inputs=inputs, is_writable=ram, padding_bytes=padding_bytes(inputs)))
    stated.flash_words = stated.ram_words = "the lengths of its Segments table"
    if unknown:
        notes.append(f"segment(s) {', '.join(sorted(set(unknown)))} of no name COSMIC gives: counted as read-only")
    eeprom = [s for s in sections if s.name in _ELSEWHERE]
    if eeprom and not getattr(config, "regions", None):  # without regions it would count as flash or RAM
        sections = [s for s in sections if s.name not in _ELSEWHERE]
        notes.append(f"EEPROM data ({', '.join(f'{s.name} {s.size:,} B at {s.address:#x}' for s in eeprom)}) is "
                     "neither flash nor RAM: left out, as the map states no regions to hold it (name them in "
                     "[[regions]])")
    if stack is not None:
        notes.append(f"the linker's stack usage: {stack:,} B along the deepest call path of its Stack usage "
                     "(the stack is the RAM the data leaves, not a segment)")
    return assemble(Toolchain.COSMIC, path, [], sections, symbols, config, sizes_given=False, thumb=False,
                    notes=notes, stated=stated)


read = reads_bytes(parse)
