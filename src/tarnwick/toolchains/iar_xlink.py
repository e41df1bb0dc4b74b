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
from dataclasses import dataclass, field
from typing import Iterable, Optional

from tarnwick.toolchains.base import InputSection, MemoryCategory, MemoryRegion, Section, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.map_text import reads_lines
from tarnwick.toolchains.raw import RawSymbol
from tarnwick.toolchains.vendor_maps import Stated, assemble

_BANNER = re.compile(r"IAR Universal Linker V\S+")
_OPTION = re.compile(r"-([ZP])\((\w+)\)([^\s=()]+)(?:=([0-9A-Fa-f,\- ]+?))?(?=\s|\)|$)")
_SEGMENT_ROW = re.compile(r"^(?P<name>\S(?:.*?\S)?)\s{2,}(?P<start>[0-9A-Fa-f]{2,})(?:\s+-\s+(?P<end>[0-9A-Fa-f]+))?"
                          r"(?:\s+(?P<size>[0-9A-Fa-f]+))?(?:\s+(?P<type>[a-z]{3})\s+(?P<align>\d+))?\s*$")
_MORE_ROW = re.compile(r"^\s+(?P<start>[0-9A-Fa-f]+)\s+-\s+(?P<end>[0-9A-Fa-f]+)\s+(?P<size>[0-9A-Fa-f]+)\s*$")
_PART = re.compile(r"segment, address: ([0-9A-Fa-f]+)(?: - ([0-9A-Fa-f]+))? \((0x[0-9a-fA-F]+) bytes\)")
_SEGMENT_HEAD = re.compile(r"^(\S.*?)(?: \(was .*\))?\s*$")
_ENTRY = re.compile(r"^\s{6,}(\S+)\s+([0-9A-Fa-f]{4,})\b")
_TOTAL = re.compile(r"^\s*([\d ]+?) bytes of (\w+)\s+memory(?:\s+\(\+\s*([\d ]+?)\s+absolute\s*\))?", re.M)
_FILE = re.compile(r"^\s*FILE NAME : (.*?)\s*$")
_MODULE = re.compile(r"^\s*(PROGRAM|LIBRARY) MODULE, NAME : (.*?)\s*$")
_RAM_TYPES = {"DATA", "IDATA", "XDATA", "BIT", "BDATA", "PDATA", "NEAR", "FAR", "HUGE", "EEPROM"}
_FLASH_TYPES = {"CODE", "CONST", "FARCONST", "HUGECONST", "NEARCONST", "FARCODE"}


def looks_like(head: str) -> bool:
    return bool(_BANNER.search(head))


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


@dataclass
class _Segment:
    name: str
    start: int
    size: int


@dataclass
class _Reader:
    path: str
    header: list = field(default_factory=list)  # the command line's text, as the box wraps it
    segments: list = field(default_factory=list)
    parts: list = field(default_factory=list)  # (start, size, segment, module)
    symbols: list = field(default_factory=list)
    totals: dict = field(default_factory=dict)  # memory type -> bytes
    absolute: int = 0
    ended: bool = False

    def read(self, lines: Iterable[str]) -> None:
        part, column, module, segment = None, None, None, None
        last: Optional[str] = None
        for number, line in enumerate(lines, 1):
            text = line.rstrip("\r\n")
            stripped = text.strip()
            if text.startswith("#"):
                body = text[1:].rstrip().rstrip("#").rstrip()
                if "Command line" in body and "=" in body:
                    column = body.index("=") + 1
                    column += len(body[column:]) - len(body[column:].lstrip())
                if column is not None and len(body) > column and not body[:column].strip(" =") \
                        or column is not None and "Command line" in body:
                    self.header.append(body[column:].strip())
                continue
            if stripped.startswith("*") and stripped.endswith("*") and len(stripped) > 2:
                title = stripped.strip("* ")
                if title:
                    part = title
                continue
            total = _TOTAL.match(text) if "bytes of" in text else None
            if total:
                self.totals[total.group(2).upper()] = int(total.group(1).replace(" ", ""))
                if total.group(3):
                    self.absolute += int(total.group(3).replace(" ", ""))
                continue
            if stripped.startswith("Errors:"):
                self.ended, part = True, None
                continue
            if part == "MODULE MAP":
                module, segment = self._module_line(text, stripped, module, segment)
            elif part == "SEGMENTS IN ADDRESS ORDER":
                last = self._segment_line(text, last, number)

    def _module_line(self, text: str, stripped: str, module, segment):
        if "NAME :" in stripped:
            named = _FILE.match(text)
            if named:
                return re.split(r"[\\/]", named.group(1))[-1], None
            kind = _MODULE.match(text)
            if kind:
                return (kind.group(2) if kind.group(1) == "LIBRARY" else module), None
        located = _PART.search(text) if "segment, address:" in text else None
        if located and segment is not None:
            start, size = int(located.group(1), 16), int(located.group(3), 16)
            self.parts.append((start, size, segment, module))
            return module, segment
        entry = _ENTRY.match(text)
        if entry and segment is not None and entry.group(1) not in ("ENTRY", "====="):
            self.symbols.append(RawSymbol(entry.group(1), int(entry.group(2), 16), None, "global"))
            return module, segment
        if text[:1] not in (" ", "") and not stripped.startswith(("-", "*", "=")):
            head = _SEGMENT_HEAD.match(stripped)
            return module, head.group(1) if head else stripped
        return module, segment

    def _segment_line(self, text: str, last: Optional[str], number: int) -> Optional[str]:
        if text.startswith(("SEGMENT", "=======")) or not text.strip():
            return last
        more = _MORE_ROW.match(text)
        if more and last is not None:
            self.segments.append(_Segment(last, int(more.group("start"), 16), int(more.group("size"), 16)))
            return last
        row = _SEGMENT_ROW.match(text)
        if row is None:
            raise MapParseError(self.path, "expected a row of the segments in address order 'SEGMENT  START - END  "
                                "SIZE  TYPE  ALIGN'", number)
        size = int(row.group("size"), 16) if row.group("end") and row.group("size") else 0
        self.segments.append(_Segment(row.group("name"), int(row.group("start"), 16), size))
        return row.group("name")


def parse(lines: Iterable[str], path: str, config=None):
    reader = _Reader(path)
    reader.read(lines)
    if not reader.segments:
        raise MapParseError(path, "an IAR XLINK map without its SEGMENTS IN ADDRESS ORDER (link with -xms)")
    if not reader.ended or not reader.totals:
        raise MapParseError(path, "an IAR XLINK map cut short: it does not end with its totals ('N bytes of CODE "
                            "memory', 'Errors: ...')")
    return _model(reader, config)


def _options(header: list) -> tuple[dict, list]:
    """The segment options of the command line: (segment -> memory type, [(type, the segment when
    the option names one, [(start, end), ...])]). The header box wraps the line anywhere: a piece that does not start
    an option continues the one before."""
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
                low, _, high = span.partition("-")
                if low and high:
                    found.append((int(low, 16), int(high, 16) + 1))
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


def _model(reader: _Reader, config):
    types, ranges = _options(reader.header)
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
    absolute = [s for s in reader.segments if s.name.endswith("_AN")]
    for segment in reader.segments:
        if segment in absolute or not segment.size:
            continue
        memory = _memory_type(segment.name, types)
        ram = memory in _RAM_TYPES
        end = segment.start + segment.size
        inputs = tuple(InputSection(segment.name, start, size, module or None)
                       for start, size, name, module in sorted(reader.parts)
                       if name == segment.name and segment.start <= start < end)
        sections.append(Section(segment.name, segment.start, segment.size, _region_of(regions, segment, ram),
                                has_contents=not (ram and re.search(r"_(?:Z|N|HEAP)$|STACK", segment.name)),
                                is_code=memory in ("CODE", "FARCODE"), inputs=inputs, is_writable=ram))
    if absolute:
        notes.append(f"{sum(s.size for s in absolute):,} B of absolute segments ({', '.join(sorted({s.name for s in absolute}))}: "
                     "the part's registers) left out, as XLINK's totals leave them out")
    stated = Stated()
    flash = sum(value for memory, value in reader.totals.items() if memory not in _RAM_TYPES)
    ram = sum(value for memory, value in reader.totals.items() if memory in _RAM_TYPES)
    stated.flash, stated.flash_words = flash, " + ".join(f"{m} memory" for m in reader.totals if m not in _RAM_TYPES)
    stated.ram, stated.ram_words = ram, " + ".join(f"{m} memory" for m in reader.totals if m in _RAM_TYPES)
    return assemble(Toolchain.IAR_XLINK, reader.path, regions, sections, reader.symbols, config, sizes_given=False, thumb=False,
                    notes=notes, stated=stated, use_counts_gaps=False)


def _region_of(regions: list, segment: _Segment, ram: bool) -> Optional[str]:
    """The smallest region of the segment's kind that holds it (ranges of CODE and DATA may
    share addresses on a part with one address space)."""
    holding = [r for r in regions if r.contains(segment.start) and (r.category is MemoryCategory.RAM) == ram]
    holding = holding or [r for r in regions if r.contains(segment.start)]
    return min(holding, key=lambda r: r.length).name if holding else None


read = reads_lines(parse)
