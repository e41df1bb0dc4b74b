"""Every byte of every region, for every output: what the named symbols hold, and the bytes no
symbol names by kind (stack and heap reservations, alignment fill, load images of initialised
data, linker-generated tables, gaps between sections), so that a region's lines add up to the
bytes the linker says it uses. Also the region's sections and archives by size, and the order
the linker lists the regions in."""

from __future__ import annotations

import re
import sys

from tarnwick._native import origin_groups, reserved_bytes, unnamed_groups
from tarnwick.render.breakdown import NO_REGION, section_regions
from tarnwick.render.regions import Family, family_label, folded, region_order, visual_regions
from tarnwick.support.records import field, record
from tarnwick.support.symbol_list import origin_totals

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

# Sections that reserve memory for a stack or a heap: TI calls its heap .sysmem, IAR CSTACK.
_RESERVATION = re.compile(r"stack|heap|sysmem", re.IGNORECASE)
# Origins the linker makes itself: stubs and veneers, copy and handler tables.
_LINKER_MADE = re.compile(r"^(?:linker\b|anon\$\$obj\.o$|- Linker created -$|\(linker)", re.IGNORECASE)
NO_ARCHIVE = "(no archive)"

# The kinds of a region's lines, in the order they are shown.
SYMBOLS, RESERVED, FILL, LOAD_IMAGE, LINKER, UNNAMED, GAPS, OVERLAP = (
    "symbols", "reserved", "fill", "load image", "linker generated", "in no symbol", "gaps", "overlap")
KIND_ORDER = (SYMBOLS, RESERVED, LINKER, FILL, UNNAMED, LOAD_IMAGE, GAPS, OVERLAP)


@record(frozen=True)
class Line:
    kind: str
    label: str  # as a person reads it: "reserved: .stack", "load image of .data"
    size: int


@record
class RegionLedger:
    name: str
    used: int  # what the linker says the region uses
    lines: list = field(default_factory=list)  # Line, adding up to `used`
    sections: list = field(default_factory=list)  # (name, bytes) largest first: sections and load images
    archives: list = field(default_factory=list)  # (archive, bytes of its symbols here) largest first
    # per section run here: its bytes that no symbol names, as lines (the explorer's leaves)
    section_lines: dict = field(default_factory=dict)

    @property
    def accounted(self) -> int:
        return sum(line.size for line in self.lines)

    def as_json(self) -> dict:
        return {"name": self.name, "used_bytes": self.used, "accounted_bytes": self.accounted,
                "lines": [{"kind": l.kind, "label": l.label, "bytes": l.size} for l in self.lines],
                "sections": [{"name": n, "bytes": b} for n, b in self.sections],
                "archives": [{"name": n, "bytes": b} for n, b in self.archives]}


def ledgers(report, symbols=None, model=None) -> list:
    """A RegionLedger per region, in region_order, then one for sections in no region."""
    symbols = report.symbols if symbols is None else symbols
    named, unnamed = _symbol_bytes(symbols, report.sections)
    used = {row["name"]: row["used_bytes"] for row in visual_regions(report)}
    books: dict = {name: RegionLedger(name, used.get(name, 0)) for name in region_order(report, model)}

    def book(name: Optional[str]) -> RegionLedger:
        name = name or NO_REGION
        if name not in books:
            books[name] = RegionLedger(name, 0 if name != NO_REGION else -1)
        return books[name]

    counted: dict = {}  # region -> {kind or label key: Line}
    sections: dict = {}  # region -> {section: bytes}

    def add(region: str, kind: str, label: str, size: int) -> None:
        if size:
            lines = counted.setdefault(region, {})
            old = lines.get((kind, label))
            lines[(kind, label)] = Line(kind, label, size + (old.size if old else 0))

    for index, section in enumerate(report.sections):
        if section.size <= 0:
            continue
        region = book(section.execution_region).name
        size = section.size
        held = sections.setdefault(region, {})
        held[section.name] = held.get(section.name, 0) + size
        own = section_lines(section, named.get(index, 0), unnamed.get(index, {}))
        book(region).section_lines.setdefault(section.name, []).extend(own)
        add(region, SYMBOLS, "named symbols", named.get(index, 0))
        for line in own:
            add(region, line.kind, line.label, line.size)
        if section.load_region and section.has_contents and section.load_region != section.execution_region:
            label = f"load image of {section.name}"
            add(book(section.load_region).name, LOAD_IMAGE, label, size)
            image = sections.setdefault(section.load_region, {})
            image[label] = image.get(label, 0) + size
    for region, ledger in books.items():
        lines = sorted(counted.get(region, {}).values(), key=lambda l: (KIND_ORDER.index(l.kind), -l.size, l.label))
        if ledger.used < 0:  # sections in no region: they are all there is
            ledger.used = sum(line.size for line in lines)
        rest = ledger.used - sum(line.size for line in lines)
        if rest > 0:
            lines.append(Line(GAPS, "between sections (alignment and gaps)", rest))
        elif rest < 0:  # overlaid sections share addresses; a compressed image is smaller than its section
            lines.append(Line(OVERLAP, "counted once (overlaid sections, compressed images)", rest))
        ledger.lines = lines
        ledger.sections = sorted(sections.get(region, {}).items(), key=lambda item: (-item[1], item[0]))
    _archives(books, report, symbols)
    return [ledger for ledger in books.values() if ledger.used or ledger.lines]


def _symbol_bytes(symbols, sections) -> tuple[dict, dict]:
    """Bytes of named symbols by section (its place in `sections`), and of unnamed ones (bytes
    of an input section no symbol covers) by section and whether the linker made them. A name
    several sections share (IAR's two `.text`) is told apart by address. The totals per section
    come from the symbols' totals per origin, counted once per build; only the unnamed symbols
    and those of shared names are gone through one by one."""
    places: dict = {}
    for index, section in enumerate(sections):
        places.setdefault(section.name, []).append(index)
    shared = {name for name, indexes in places.items() if len(indexes) > 1}
    held = {section: sum(size for _archive, size in archives)
            for section, archives in origin_groups(origin_totals(symbols), "archive", NO_ARCHIVE, None, None, -1,
                                                   False).items()
            if section not in shared}
    named: dict = {}
    for name, size in held.items():
        if name in places:
            named[places[name][0]] = size
    unnamed: dict = {}
    # added up natively per section, object file and (in a shared section) address: a build has
    # an unnamed symbol per input section
    for section, nameless, object_file, address, size in unnamed_groups(symbols, shared, places):
        candidates = places[section]
        index = candidates[0] if len(candidates) == 1 else _holder(sections, candidates, address)
        if nameless:
            linker = bool(object_file and _LINKER_MADE.match(object_file))
            by_kind = unnamed.setdefault(index, {})
            by_kind[linker] = by_kind.get(linker, 0) + size
            if section not in shared:
                named[index] -= size  # counted in the section's total above
        else:
            named[index] = named.get(index, 0) + size
    return named, unnamed


def _holder(sections, candidates: list, address: int) -> int:
    """Of the sections of one name, the one holding the address (a Thumb address one below)."""
    for at in (address, address & ~1):
        for index in candidates:
            if sections[index].address <= at < sections[index].address + sections[index].size:
                return index
    return candidates[0]


def section_lines(section, named: int, unnamed: dict) -> list:
    """The bytes of one section that no named symbol holds, by kind (`named`: the bytes its named
    symbols hold; `unnamed`: those of its unnamed ones, by whether the linker made them)."""
    reserved = reserved_bytes(section.inputs)  # native: a section of a large build has a million inputs
    fill = section.padding_bytes or 0
    linker = unnamed.get(True, 0)
    other = max(section.size - named - reserved - fill - linker, 0)
    if _RESERVATION.search(section.name):  # a stack or heap: all it holds beyond its symbols is reserved
        reserved, fill, linker, other = reserved + fill + linker + other, 0, 0, 0
    lines = [Line(RESERVED, f"reserved: {section.name}", reserved), Line(LINKER, f"linker generated: {section.name}", linker),
             Line(FILL, "alignment fill", fill), Line(UNNAMED, "in no symbol", other)]
    return [line for line in lines if line.size > 0]


def _archives(books: dict, report, symbols) -> None:
    """Each region's archives (libraries) by the bytes of their symbols there, largest first."""
    every = sys.maxsize
    by_region = origin_groups(origin_totals(symbols), "archive", NO_ARCHIVE, section_regions(report), NO_REGION, every,
                              False)
    for region, archives in by_region.items():
        if region in books:
            books[region].archives = archives


def shown_ledgers(report, symbols=None, model=None) -> list:
    """The ledgers as a person reads them: each family of tiny regions (vectors, signatures)
    that the region table folds into one line as one ledger, named as that line is."""
    books = ledgers(report, symbols, model)
    sizes = {r.name: r.length for r in report.regions}
    by_name = {book.name: book for book in books}
    rows = [_Sized(book.name, sizes.get(book.name, 1 << 62)) for book in books]
    shown = []
    for item in folded(rows):
        if not isinstance(item, Family):
            shown.append(by_name[item.name])
            continue
        members = [by_name[row.name] for row in item.members]
        merged = RegionLedger(family_label(item), sum(book.used for book in members))
        lines: dict = {}
        for book in members:
            for line in book.lines:
                old = lines.get((line.kind, line.label))
                lines[(line.kind, line.label)] = Line(line.kind, line.label, line.size + (old.size if old else 0))
        merged.lines = sorted(lines.values(), key=lambda l: (KIND_ORDER.index(l.kind), -l.size, l.label))
        merged.sections = sorted((pair for book in members for pair in book.sections), key=lambda p: (-p[1], p[0]))
        merged.archives = _merged_pairs(book.archives for book in members)
        shown.append(merged)
    return shown


@record(frozen=True)
class _Sized:  # what folding a region needs
    name: str
    size: int


def _merged_pairs(tables) -> list:
    total: dict = {}
    for table in tables:
        for name, size in table:
            total[name] = total.get(name, 0) + size
    return sorted(total.items(), key=lambda item: (-item[1], item[0]))


def by_source(sources) -> bool:
    """Whether a build's source view holds files (not only the reason it has none)."""
    return sources is not None and hasattr(sources, "by_region")


def source_lists(sources, region: str, top: int) -> list:
    """(title, [(name, bytes), ...]) of a region's largest source files and folders; a family of
    regions (a ledger named for several) has none of its own."""
    if not by_source(sources) or region not in sources.by_region:
        return []
    tables = sources.by_region[region]
    largest = lambda table: sorted(table.items(), key=lambda item: (-item[1], item[0]))[:top]
    return [(title, rows) for title, rows in (("source file", largest(tables["files"])),
                                               ("source folder", largest(tables["folders"]))) if rows]
