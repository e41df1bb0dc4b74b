"""IAR XLINK maps, of IAR's toolchains for MSP430, AVR, 8051 and older Arm (`-l FILE -xms`).
The header repeats the linker's command line, whose segment options say what memory each
segment is in and where (`-Z(CODE)CSTART,ISR_CODE=4400-FF7F`, `-Z(DATA)CSTACK+_STACK_SIZE`);
the MODULE MAP gives each module's segment parts with their addresses and entries; SEGMENTS
IN ADDRESS ORDER every segment with its address range and size (hex); the last lines the totals
by memory type ("8 340 bytes of CODE memory", "615 bytes of DATA memory (+ 61 absolute )").

Each range of the segment options is a region, flash (CODE, CONST) or RAM (DATA, IDATA,
XDATA, BIT), its use the sum of its segments, as XLINK counts them. Absolute segments (`*_AN`:
the part's registers) hold no memory of the program and are left out, as XLINK's totals leave
them out.
"""

from __future__ import annotations

import re
from typing import NamedTuple, Optional

from tarnwick._native import padding_bytes, read_iar_xlink_map
from tarnwick.support.figures import figure
from tarnwick.toolchains.base import InputSection, MemoryCategory, MemoryRegion, Section, StatedTotals, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import line_of, native_rows, reads_bytes
from tarnwick.toolchains.maps.vendor_maps import assemble
from tarnwick.toolchains.maps.heads import iar_xlink as looks_like  # noqa: F401

_OPTION = re.compile(r"-([ZP])\((\w+)\)([^\s=()]+)(?:=([0-9A-Fa-f,\- ]+?))?(?=\s|\)|$)")
_SPAN = re.compile(r"([0-9A-Fa-f]+)-([0-9A-Fa-f]+)")
_RAM_TYPES = {"DATA", "IDATA", "XDATA", "BIT", "BDATA", "PDATA", "NEAR", "FAR", "HUGE", "EEPROM"}


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


class _Segment(NamedTuple):
    name: str
    start: int
    size: int


def parse(data, path: str, config=None):
    """The model of an XLINK map from its UTF-8 bytes."""
    header, segments, parts, symbols, totals, ended = native_rows(read_iar_xlink_map, path, data)
    if not segments:
        raise MapParseError(path, "an IAR XLINK map without its SEGMENTS IN ADDRESS ORDER (link with -xms)")
    if not ended or not totals:
        raise MapParseError(path, "an IAR XLINK map cut short: it does not end with its totals ('N bytes of CODE "
                            "memory', 'Errors: ...')")
    types, ranges = _options(_command_line(header), path, data)
    return _model(path, config, types, ranges, [_Segment(*row) for row in segments], parts, symbols, totals)


def _command_line(lines: list) -> list:
    """The pieces of the command line in the header box: the text after "Command line  =",
    then each line's up to the box's next empty line, at whatever column the box wraps it."""
    pieces, started = [], False
    for text in lines:
        body = text[1:].rstrip().rstrip("#").strip()
        if not started and "Command line" in body and "=" in body:
            started = True
            body = body.split("=", 1)[1].strip()
        elif started and not body:
            break
        if started and body:
            pieces.append(body)
    return pieces


def _options(header: list, path: str, data) -> tuple[dict, list]:
    """The segment options of the command line: (segment -> memory type, [(type, the segment when
    the option names one, [(start, end), ...])]). The header box wraps the line anywhere: a piece that does not start
    an option continues the one before. A range that does not read as START-END in hex (a box
    wrapped where this reading does not join it) is bad input at the option's line."""
    text = ""
    for piece in header:
        starts = piece[:1] in ("-", '"', "(") or not text
        text += (" " if starts else "") + piece
    types: dict = {}
    ranges: list = []
    for _kind, memory, names, spans in _OPTION.findall(text):
        segments = [name.split("+")[0] for name in names.split(",") if name]
        for name in segments:
            types.setdefault(name, memory.upper())
        if spans:
            found = []
            for span in spans.replace(" ", "").split(","):
                bounds = _SPAN.fullmatch(span)
                if bounds:
                    found.append((figure(bounds[1], 16), figure(bounds[2], 16) + 1))
                elif span:
                    raise MapParseError(path, f"the command line's option -Z({memory}){names} names the range "
                                        f"{span!r}, not START-END in hex", line_of(data, f"({memory}){names}"))
            if found:
                ranges.append((memory.upper(), segments[0] if len(segments) == 1 else None, found))
    return types, ranges


def _memory_type(name: str, types: dict) -> str:
    """A segment's memory type: as the options name it, else as IAR's names tell (DATA16_C
    constants, DATA16_I/_Z/_N data, CSTACK, the rest code)."""
    base = name.split(" ")[0].strip("<>")
    if name in types or base in types:
        return types.get(name, types.get(base))
    if re.search(r"_(?:C|ID|AC)$", base):
        return "CONST"
    if re.search(r"_(?:I|Z|N|HEAP|AN)$", base) or base in ("CSTACK", "RSTACK"):
        return "DATA"
    return "CODE"


def _model(path: str, config, types: dict, ranges: list, segments: list, parts: list, symbols: list, totals: dict):
    kinds: dict = {}  # (low, high) -> the memory types whose options give that range
    for memory, _first, spans in ranges:
        for span in spans:
            kinds.setdefault(span, []).append(memory)
    regions, seen = [], set()
    for memory, first, spans in ranges:
        for low, high in spans:
            if (low, high) in seen:
                continue
            seen.add((low, high))
            # a range of one segment is named after it (INFOA, INTVEC); a shared one by its kinds
            sharing = "+".join(sorted(set(kinds[(low, high)])))
            name = first if first is not None and len(spans) == 1 and len(kinds[(low, high)]) == 1 \
                else f"{sharing} {low:04X}-{high - 1:04X}"
            regions.append(MemoryRegion(name, low, high - low,
                                        MemoryCategory.RAM if memory in _RAM_TYPES else MemoryCategory.FLASH, memory))
    notes: list = []
    sections = []
    absolute = [s for s in segments if s.name.endswith("_AN")]
    parts_of: dict = {}  # segment name -> its parts in address order
    for start, size, name, module in sorted(parts, key=lambda part: (part[0], part[1], part[2], part[3] or "")):
        parts_of.setdefault(name, []).append((start, size, module))
    for segment in segments:
        if segment.name.endswith("_AN") or not segment.size:
            continue
        memory = _memory_type(segment.name, types)
        ram = memory in _RAM_TYPES
        end = segment.start + segment.size
        inputs = tuple(InputSection(segment.name, start, size, module or None)
                       for start, size, module in parts_of.get(segment.name, ()) if segment.start <= start < end)
        sections.append(Section(segment.name, segment.start, segment.size, _region_of(regions, segment, ram),
                                has_contents=not (ram and re.search(r"_(?:Z|N|HEAP)$|STACK", segment.name)),
                                is_code=memory in ("CODE", "FARCODE"), inputs=inputs, is_writable=ram,
                                padding_bytes=padding_bytes(inputs)))
    if absolute:
        notes.append(f"{sum(s.size for s in absolute):,} B of absolute segments ({', '.join(sorted({s.name for s in absolute}))}: "
                     "the part's registers) left out, as XLINK's totals leave them out")
    stated = StatedTotals()
    flash = sum(value for memory, value in totals.items() if memory not in _RAM_TYPES)
    ram = sum(value for memory, value in totals.items() if memory in _RAM_TYPES)
    stated.flash, stated.flash_words = flash, " + ".join(f"{m} memory" for m in totals if m not in _RAM_TYPES)
    stated.ram, stated.ram_words = ram, " + ".join(f"{m} memory" for m in totals if m in _RAM_TYPES)
    return assemble(Toolchain.IAR_XLINK, path, regions, sections, symbols, config, sizes_given=False, thumb=False,
                    notes=notes, stated=stated, use_counts_gaps=False)


def _region_of(regions: list, segment: _Segment, ram: bool) -> Optional[str]:
    """The smallest region of the segment's kind that holds it (ranges of CODE and DATA may
    share addresses on a part with one address space)."""
    holding = [r for r in regions if r.contains(segment.start) and (r.category is MemoryCategory.RAM) == ram]
    holding = holding or [r for r in regions if r.contains(segment.start)]
    return min(holding, key=lambda r: r.length).name if holding else None


read = reads_bytes(parse)
