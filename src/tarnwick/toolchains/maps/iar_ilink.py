"""IAR ILINK maps (Embedded Workbench for Arm, RISC-V, STM8; `--map FILE`). The placement
directives of the linker configuration name the address ranges sections go to ("P1": place in
[from 0x0 to 0x3'ffff] { ro }); each range is a region. The PLACEMENT SUMMARY lists every
section placed, with its kind, address, size and module; the ENTRY LIST every symbol with its
size; the last lines state the readonly and readwrite totals. Figures group their digits with
spaces (7.x) or apostrophes (9.x); long names wrap onto the next line.
"""

from __future__ import annotations

import bisect
import re
from typing import Optional

from tarnwick._native import iar_holes, iar_runs, padding_bytes, read_iar_map
from tarnwick.support.figures import figure
from tarnwick.support.records import field, record
from tarnwick.toolchains.base import InputSection, MemoryCategory, MemoryRegion, Section, StatedTotals, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import native_rows, reads_bytes
from tarnwick.toolchains.maps.vendor_maps import assemble, number
from tarnwick.toolchains.maps.heads import iar_ilink as looks_like  # noqa: F401

_RANGE = re.compile(r"\[from\s+(0x[0-9a-fA-F']+)\s+(to|size)\s+(0x[0-9a-fA-F']+)"
                    r"(?:\s+repeat\s+(\d+)(?:\s+displacement\s+(0x[0-9a-fA-F']+))?)?\s*\]")
_MOST_COPIES = 4096  # of a range placed apart (`repeat N displacement D`); each is a memory of its own
_FAILED = re.compile(r"minimum\s+size\s+of\s+(0x[0-9a-fA-F']+)\s+bytes.*?in\s+<\[(0x[0-9a-fA-F']+)-(0x[0-9a-fA-F']+)\]>"
                     r".*?uncommitted\s+space\s+(0x[0-9a-fA-F']+)", re.S)
_ARCHIVE_SUFFIXES = (".a", ".lib")
_PATH_SEPARATORS = re.compile(r"[/\\]")  # the maps keep Windows paths


ELF_NOT_READ = "IAR ILINK maps state their symbols' sizes themselves"  # why an ELF file named with the map is not used


@record
class _Range:
    name: str
    start: int
    end: int  # past the last byte
    contents: str
    others: list = field(default_factory=list)  # other directives placing into the same range


@record
class _Reader:
    """What the map's rows say, read in native code (native/fast/iar_map.cpp)."""

    path: str
    target: str = ""
    directives: list = field(default_factory=list)  # (name, text)
    rows: object = None  # the placement summary's rows, held natively (iar_runs, iar_holes)
    row_count: int = 0
    parts: list = field(default_factory=list)  # (block, heading's size or None, first row, past its last, end, bytes)
    unused: list = field(default_factory=list)  # (start, end past the last byte)
    symbols: object = None  # the entry list as the columns (names, addresses, sizes, bindings) of RawSymbol fields
    libraries: dict = field(default_factory=dict)
    stated: StatedTotals = field(default_factory=StatedTotals)
    totals: dict = field(default_factory=dict)
    errors: list = field(default_factory=list)
    ended: bool = False  # the closing "Errors: ..." line was read

    def read(self, data) -> None:
        (self.target, self.directives, self.rows, self.row_count, self.parts, self.unused, self.symbols,
         self.libraries, self.totals, self.errors, self.ended) = native_rows(read_iar_map, self.path, data, InputSection)


def parse(data, path: str, config=None):
    """The model of an IAR ILINK map from its UTF-8 bytes."""
    reader = _Reader(path)
    reader.read(data)
    if not reader.row_count and not reader.directives:
        raise MapParseError(path, "an IAR map without its PLACEMENT SUMMARY (link with --map)")
    if not reader.ended or not reader.totals:
        raise MapParseError(path, "an IAR map cut short: it does not end with its totals ('N bytes of readonly "
                            "code memory', 'Errors: ...')")
    return _model(reader, config)


read = reads_bytes(parse)


def _ranges(directives: list, notes: list, path: str) -> list:
    ranges: dict = {}
    for name, text in directives:
        if not text.startswith("place in"):
            continue
        spans = _joined(_spans(text, name, path))
        for index, (begin, end, holes) in enumerate(spans):
            key = (begin, end)
            label = name if len(spans) == 1 else f"{name}:{index + 1}"
            if holes:
                shown = " and ".join(f"[0x{a:x}-0x{b - 1:x}]" for a, b in holes)
                notes.append(f"{label} places into ranges with {shown} between them: one region, as what is placed "
                             "at an address may fill those bytes")
            if key in ranges:
                ranges[key].others.append(label)
            else:
                ranges[key] = _Range(label, begin, end, text)
    return sorted(ranges.values(), key=lambda r: r.start)


def _spans(directive: str, name: str, path: str) -> list:
    """The address ranges of a `place in` directive, (start, end past the last byte), each
    `repeat N` copy one after the other (or `displacement` apart)."""
    spans = []
    for start, how, other, repeat, displacement in _RANGE.findall(directive):
        begin = number(start)
        end = begin + number(other) if how == "size" else number(other) + 1
        step = number(displacement) if displacement else end - begin
        copies = figure(repeat) if repeat else 1
        if copies > 0 and step <= end - begin:  # copies that touch or overlap: one range, however many
            spans.append((begin, end + (copies - 1) * step))
            continue
        if copies > _MOST_COPIES:
            raise MapParseError(path, f"{name} repeats a range {copies:,} times, {displacement} apart: more "
                                f"memories than one directive places into (at most {_MOST_COPIES:,})")
        spans.extend((begin + copy * step, end + copy * step) for copy in range(copies))
    return sorted(spans)


def _joined(spans: list) -> list:
    """(start, end, holes) of ranges that are one memory: ranges that touch, and ranges cut
    apart by a hole smaller than either (Kinetis' flash configuration field between the
    vectors and the code); ranges further apart are memories of their own."""
    joined: list = []
    for begin, end in spans:
        if joined:
            first, last, holes = joined[-1]
            hole = begin - last
            if hole <= 0 or (hole < end - begin and hole < last - first):
                joined[-1] = (first, max(end, last), holes + ([(last, begin)] if hole > 0 else []))
                continue
        joined.append((begin, end, []))
    return joined


def _archives(libraries: dict) -> dict:
    """{reference: file name} of the library references that point to an archive: a row's
    module "fpinit_M.o [3]" comes from that archive (its origin is set in iar_runs)."""
    return {reference: _PATH_SEPARATORS.split(where)[-1] for reference, where in libraries.items()
            if where.lower().endswith(_ARCHIVE_SUFFIXES)}


def _kind(kind: str) -> tuple[bool, bool, bool]:
    """(code, writable, has contents)."""
    if kind in ("zero", "uninit", "noinit"):
        return False, True, False
    if "code" in kind:
        return True, kind.startswith("rw"), True
    if kind in ("const", "ro data"):
        return False, False, True
    return False, True, True  # rw data, inited, data


def _model(reader: _Reader, config):
    notes: list = []
    ranges = _ranges(reader.directives, notes, reader.path)
    starts = [r.start for r in ranges]

    def range_of(address: int) -> Optional[_Range]:
        index = bisect.bisect_right(starts, address) - 1
        return ranges[index] if index >= 0 and address < ranges[index].end else None

    model_sections = []
    # a run of rows of one name, kind and block in rising address order is an output section
    for name, kind, address, inputs, end in iar_runs(reader.rows, _archives(reader.libraries)):
        code, writable, contents = _kind(kind)
        where = range_of(address)
        model_sections.append(Section(name, address, end - address, where.name if where else None,
                                      has_contents=contents, is_code=code, inputs=inputs, is_writable=writable,
                                      padding_bytes=padding_bytes(inputs)))
    for text in _failures(reader.errors):
        needed, low, high, free = text
        where = range_of(low)
        at = high + 1 - free
        model_sections.append(Section("(not placed)", at, needed, where.name if where else None,
                                      has_contents=False, is_writable=True,
                                      inputs=(InputSection("(not placed)", at, needed, "linker", is_fill=True),)))
        notes.append(f"placement failed: {needed:,} B did not fit into [0x{low:x}-0x{high:x}], which had "
                     f"{free:,} B free; they are counted after its last byte")
    regions = []
    for r in ranges:
        placed = [s for s in model_sections if s.execution_region == r.name and s.size]
        ram = _writable_range(r.contents, placed)
        regions.append(MemoryRegion(r.name, r.start, r.end - r.start,
                                    MemoryCategory.RAM if ram else MemoryCategory.FLASH, "rwx" if ram else "rx"))
        if ram:  # IAR counts a read-write range by its parts: what lies between their rows too
            model_sections.extend(_gaps(reader, r))
        if r.others:
            notes.append(f"{', '.join(r.others)} place(s) into the same range as {r.name}: one region")
        unused = [(a, b) for a, b in reader.unused if r.start <= a < r.end]
        if unused:
            reader.stated.regions[r.name] = (r.end - r.start) - sum(min(b, r.end) - a for a, b in unused)
    code = reader.totals.get(("readonly", "code"))
    data = reader.totals.get(("readonly", "data"), 0 if code is not None else None)
    if code is not None:
        reader.stated.flash = code + (data or 0)
        reader.stated.flash_words = "readonly code + readonly data memory"
    if ("readwrite", "data") in reader.totals:
        reader.stated.ram = reader.totals[("readwrite", "data")]
        reader.stated.ram_words = "readwrite data memory"
    model = assemble(Toolchain.IAR_ILINK, reader.path, regions, model_sections, reader.symbols, config, sizes_given=True,
                     thumb=reader.target.upper() == "ARM", notes=notes, stated=reader.stated,
                     summed=frozenset(r.name for r in regions if r.category is MemoryCategory.RAM))
    return model


def _gaps(reader: _Reader, where: _Range) -> list:
    """The bytes of the parts of the summary in a range that no row holds: alignment before and
    between their rows, and after the last where the part's heading states more than its rows
    span. IAR counts them in the part (its module summary's 'Gaps'), so they are fill here."""
    gaps = []
    for _block, heading, first, past, end, size in reader.parts:
        start = end - size
        if not (where.start <= start < where.end) or first == past:
            continue
        holes = iar_holes(reader.rows, first, past, start, end)
        if heading is not None and heading > size:
            holes.append((end, start + heading))
        gaps.extend(Section("(alignment)", low, high - low, where.name, has_contents=False, is_writable=True,
                            inputs=(InputSection("(alignment)", low, high - low, "linker", is_fill=True),))
                    for low, high in holes)
    return gaps


_READ_ONLY_WORDS = {"ro", "readonly"}
_READ_WRITE_WORDS = {"rw", "readwrite", "zi", "zero", "block"}


def _writable_range(directive: str, placed: list) -> bool:
    """Whether a range is RAM: as its directive says ("{ ro }", "{ readwrite, block CSTACK }"),
    and where it says both or neither, as what is placed there is."""
    words = set(re.findall(r"[a-z]+", directive.lower().split("{", 1)[-1]))
    read_only, read_write = bool(words & _READ_ONLY_WORDS), bool(words & _READ_WRITE_WORDS)
    if read_only != read_write:
        return read_write
    return any(s.is_writable for s in placed)


def _failures(errors: list) -> list:
    """(bytes needed, range start, range end, free bytes) of each placement that failed."""
    text = " ".join(errors)
    return [(number(a), number(b), number(c), number(d)) for a, b, c, d in _FAILED.findall(text)]

