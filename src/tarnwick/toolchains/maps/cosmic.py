"""Maps of COSMIC's linker clnk (CXSTM8 and COSMIC's other compilers; `clnk -m FILE`). It states
no totals: its Segments table gives each output segment's start, end and length ("start 000080f9
end 00008d67 length 3182 segment .text"), the Modules part each object's sections within them, the
Stack usage part each function's stack and the deepest path's ("Stack size: 110"), and the Symbols
part each symbol's address and the module and section defining it. Segments are known by their
names: .text, .const, .init (the initialised data's images) and the vectors are flash; .bsct,
.ubsct (the zero page), .data, .bss, .bit and .share RAM; .eeprom neither; .info. and .debug no
target memory. A segment's bytes are its modules' sections, which the Segments table's lengths
check; the map gives no memory sizes, so there are no regions unless configured.
"""

from __future__ import annotations

import ntpath
import re
from typing import Optional

from tarnwick.toolchains.base import InputSection, Section, StatedTotals, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.building.raw import RawSymbol
from tarnwick.toolchains.maps.vendor_maps import assemble
from tarnwick.toolchains.maps.heads import cosmic as looks_like  # noqa: F401

_ROW = re.compile(r"^start ([0-9a-fA-F]+|\*+) end ([0-9a-fA-F]+|\*+) length\s+(\d+) (segment|section) (\S+)"
                  r"(\s+\*\*\* removed \*\*\*)?\s*$")
_HEADINGS = {"Segments", "Modules", "Stack usage", "Call tree", "Symbols"}
_SYMBOL = re.compile(r"^(\S+)\s+([0-9a-fA-F]{4,16})\s+defined in (.+?)(?: section (\S+))?\s*$")
_STACK_ROW = re.compile(r"^(\S+)\s+>?\s*\d+\s+\(\d+\)\s*$")
_STACK_SIZE = re.compile(r"^Stack size:\s*(\d+)\s*$")
_LOCAL_LABEL = re.compile(r"^L\d+_")  # a static function: the symbol list leaves it out
_FLASH = {".text", ".const", ".init", ".vector", ".vectors", ".ftext", ".fconst", ".itext", ".iconst"}
_RAM = {".bsct", ".ubsct", ".data", ".bss", ".bit", ".share", ".fdata", ".fbss", ".idata"}
_ELSEWHERE = {".eeprom"}  # memory of its own


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


def read(source, config=None):
    """The model of a clnk map."""
    with source.utf8() as data:
        text = bytes(data).decode("utf-8", "replace")
    return parse(text, source.path, config)


def parse(text: str, path: str, config=None):
    part, module = "", None
    segments, parts, symbols, functions = [], [], [], []
    stack = None
    for number, line in enumerate(text.splitlines(), 1):
        line = line.rstrip()
        if len(line) < 48 and line.strip() in _HEADINGS:  # a part's heading, centred between rules
            part = line.strip()
            continue
        row = _ROW.match(line) if line[:6] == "start " else None
        if row:
            start, end, length, kind, name, removed = row.groups()
            if removed or "*" in start:
                continue
            figures = (int(start, 16), int(end, 16), int(length))
            if figures[0] + figures[2] != figures[1]:
                raise MapParseError(path, f"{kind} {name} states start {start}, end {end} and length {length}: "
                                    "they do not agree", number)
            (segments if kind == "segment" else parts).append((name, figures[0], figures[2], module, number))
            continue
        if part == "Modules" and line.endswith(":") and not line.startswith(" "):
            module = line[:-1]
        elif part == "Stack usage":
            found = _STACK_ROW.match(line) or _STACK_SIZE.match(line)
            if found and found.re is _STACK_SIZE:
                stack = int(found.group(1))
            elif found:
                functions.append(found.group(1))
        elif part == "Symbols":
            found = _SYMBOL.match(line)
            if found:
                symbols.append(found.groups())
    if not segments:
        raise MapParseError(path, "a COSMIC map without its Segments table")
    if part != "Symbols":
        raise MapParseError(path, "a COSMIC map cut short: it does not reach its Symbols")
    listed = {name for name, *_ in symbols}
    missing = sorted(name for name in functions if not _LOCAL_LABEL.match(name) and name not in listed)
    if missing:
        raise MapParseError(path, f"a COSMIC map cut short: its Symbols lack {', '.join(missing[:3])}"
                            f"{' and more' if len(missing) > 3 else ''}, which its Stack usage names")
    return _model(path, config, segments, parts, symbols, functions, stack)


def _origin(module: Optional[str]) -> Optional[str]:
    """"Debug\\main.o" -> "main.o"; "(C:\\...\\libis0.sm8)sprnt.o" -> "libis0.sm8(sprnt.o)"; None
    for a section listed before any module."""
    if module is None:
        return None
    if module.startswith("(") and ")" in module:
        library, _, member = module[1:].rpartition(")")  # the path may hold parentheses: "(x86)"
        return f"{ntpath.basename(library)}({member})"
    return ntpath.basename(module)


def _model(path: str, config, segments: list, parts: list, symbols: list, functions: list, stack):
    notes: list = []
    made_by_linker = {section for _n, _a, where, section in symbols if where == "linker" and section}
    sections, unknown, stated = [], [], StatedTotals(flash=0, ram=0)
    by_name: dict = {}  # segment name -> its modules' sections (address, size, module)
    for part_name, address, size, module, _ in parts:
        if size:
            by_name.setdefault(part_name, []).append((address, size, module))
    origins: dict = {}  # a module is named once per section it has
    for name, start, length, _module, _line in segments:
        if name.startswith(".debug") or name.endswith(".") or not length:
            continue  # debug information, no target memory
        inside = sorted((part for part in by_name.get(name, ()) if start <= part[0] < start + length),
                        key=lambda part: part[:2])
        inputs, at = [], start
        for address, size, module in inside:
            if address > at:
                inputs.append(InputSection(name, at, address - at, "linker", True))
            origin = origins.get(module, origins)
            if origin is origins:
                origin = origins[module] = _origin(module)
            inputs.append(InputSection(name, address, size, origin))
            at = max(at, address + size)
        if not inside and name in made_by_linker:
            inputs, at = [InputSection(name, start, length, "linker")], start + length
        flash, ram = name in _FLASH, name in _RAM
        if not (flash or ram or name in _ELSEWHERE):
            unknown.append(name)
        if flash:
            stated.flash += length
        elif ram:
            stated.ram += length
        sections.append(Section(name, start, at - start, None, has_contents=not ram, is_code=name in (".text", ".ftext"),
                                inputs=tuple(inputs), is_writable=ram))
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
    raw = [RawSymbol(name, int(address, 16), None, "global") for name, address, where, _section in symbols
           if where != "command file"]
    return assemble(Toolchain.COSMIC, path, [], sections, raw, config, sizes_given=False, thumb=False,
                    notes=notes, stated=stated)
