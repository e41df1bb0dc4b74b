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
from dataclasses import dataclass, field
from typing import Iterable, Optional

from tarnwick.toolchains.base import InputSection, MemoryCategory, MemoryRegion, Section, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.map_text import reads_lines
from tarnwick.toolchains.raw import RawSymbol
from tarnwick.toolchains.vendor_maps import Stated, assemble, number

_BANNER = re.compile(r"IAR ELF Linker V\S+ for (\S+)")
_PART = re.compile(r"^\*\*\* ([A-Z][A-Z ]+?)\s*$")
_BLOCK = re.compile(r'^"([^"]+)"(?:, part \d+ of \d+)?:')
_DIRECTIVE = re.compile(r'^"([^"]+)":\s*(place .*)$', re.S)
_RANGE = re.compile(r"\[from\s+(0x[0-9a-fA-F']+)\s+(to|size)\s+(0x[0-9a-fA-F']+)\s*\]")
_TOTAL = re.compile(r"^\s*([\d' ]+?)\s+bytes of (readonly|readwrite)\s+(code|data)\s+memory")
_LIBRARY = re.compile(r"^\[(\d+)\] = (.*?)\s*$")
_FAILED = re.compile(r"minimum\s+size\s+of\s+(0x[0-9a-fA-F']+)\s+bytes.*?in\s+<\[(0x[0-9a-fA-F']+)-(0x[0-9a-fA-F']+)\]>"
                     r".*?uncommitted\s+space\s+(0x[0-9a-fA-F']+)", re.S)
_CONTAINER = re.compile(r"^<(?:\w+ )?block>$", re.IGNORECASE)  # "<Block>", "<Init block>"; not "<Block tail>"
_TWO_WORD_KINDS = {"ro code", "rw code", "ro data", "rw data"}
_ONE_WORD_KINDS = {"const", "zero", "uninit", "inited", "data", "noinit", "code"}
_ARCHIVE_SUFFIXES = (".a", ".lib")
_PATH_SEPARATORS = re.compile(r"[/\\]")  # the maps keep Windows paths


def looks_like(head: str) -> bool:
    return "IAR ELF Linker" in head or bool(re.search(r"^\*\*\* (PLACEMENT SUMMARY|ENTRY LIST)\s*$", head, re.M))


ELF_NOT_READ = "IAR ILINK maps state their symbols' sizes themselves"  # why an ELF file named with the map is not used


@dataclass
class _Row:
    name: str
    kind: str
    address: int
    size: int
    module: str
    block: str


@dataclass
class _Range:
    name: str
    start: int
    end: int  # past the last byte
    contents: str
    others: list = field(default_factory=list)  # other directives placing into the same range


def _hex_pair(tokens: list) -> int:
    """The index of the address in a row: the first of two hex numbers in a row; -1 if none."""
    for index in range(len(tokens) - 1):
        if tokens[index].startswith("0x") and tokens[index + 1].startswith("0x"):
            return index
    return -1


def _section_row(tokens: list, block: str) -> Optional[_Row]:
    at = _hex_pair(tokens)
    if at < 1:
        return None
    before = tokens[:at]
    if len(before) >= 3 and " ".join(before[-2:]) in _TWO_WORD_KINDS:
        kind, name = " ".join(before[-2:]), before[:-2]
    elif len(before) >= 2 and before[-1] in _ONE_WORD_KINDS:
        kind, name = before[-1], before[:-1]
    else:
        kind, name = "", before
    return _Row(" ".join(name), kind, number(tokens[at]), number(tokens[at + 1]), " ".join(tokens[at + 2:]), block)


def _entry(tokens: list) -> Optional[RawSymbol]:
    """ENTRY LIST: name (may hold spaces: C++), address, size (may be blank), type, scope,
    module. None for labels without a size and what the linker created."""
    at = next((i for i in range(1, len(tokens)) if tokens[i].startswith("0x")), -1)
    if at < 1 or at + 2 >= len(tokens) or not tokens[at + 1].startswith("0x"):
        return None
    if tokens[at + 2] not in ("Code", "Data"):
        return None
    scope = {"Gb": "global", "Lc": "local", "Wk": "weak"}.get(tokens[at + 3]) if at + 3 < len(tokens) else None
    return RawSymbol(" ".join(tokens[:at]), number(tokens[at]), number(tokens[at + 1]), scope)


class _Reader:
    def __init__(self, path: str):
        self.path = path
        self.target = ""
        self.directives: list = []  # (name, text)
        self.statement: list = []
        self.rows: list = []
        self.unused: list = []  # (start, end) inclusive end + 1
        self.symbols: list = []
        self.libraries: dict = {}
        self.stated = Stated()
        self.totals: dict = {}
        self.errors: list = []
        self.block = ""
        self.ended = False  # the closing "Errors: ..." line was read
        self.in_table = False
        self.in_error = False
        self.pending = ""  # a name that wrapped onto the next line

    def read(self, lines: Iterable[str]) -> None:
        part = None
        for number_, line in enumerate(lines, 1):
            stripped = line.strip()
            if not self.target and number_ < 40:  # the banner is in the box at the top
                banner = _BANNER.search(line)
                if banner:
                    self.target = banner.group(1)
            if not stripped:
                self.in_error = False
                continue
            first = stripped[0]
            if first in "*#-":
                heading = _PART.match(stripped) if first == "*" else None
                if heading:
                    part = heading.group(1)
                    self.pending = ""
                    continue
                if set(stripped) <= {"*", "#", "-", " "}:  # rules under headings
                    self.in_error = False
                    continue
            try:
                self._line(part, line, stripped, number_)
            except ValueError:
                raise MapParseError(self.path, f"expected a row of the {part.lower() if part else 'map'} "
                                    "with its figures in hex or decimal", number_) from None

    def _line(self, part, line: str, stripped: str, number_: int) -> None:
        if not line[:1].isspace() and not stripped.startswith("Error["):
            self.in_error = False
        library = _LIBRARY.match(stripped) if stripped[0] == "[" else None
        total = _TOTAL.match(line) if "bytes of" in line else None
        if stripped.startswith("Errors:") and not line[:1].isspace():
            self.ended = True
        if library:
            self.libraries[library.group(1)] = library.group(2)
        elif total:
            self.totals[(total.group(2), total.group(3))] = number(total.group(1).strip())
        elif stripped.startswith("Error[") or self.in_error and line[:1].isspace():
            self.errors.append(stripped)  # a message and its indented continuation lines
            self.in_error = True
            return
        elif part == "PLACEMENT SUMMARY":
            self._placement(line, stripped)
        elif part == "ENTRY LIST":
            if stripped.startswith("Entry") and "Address" in stripped:  # the table's heading
                return
            tokens = (self.pending + " " + stripped).split() if self.pending else stripped.split()
            if not any(t.startswith("0x") for t in tokens[1:]):  # a long name, its row on the next line
                self.pending = stripped
                return
            self.pending = ""
            found = _entry(tokens)
            if found is not None:
                self.symbols.append(found)

    def _placement(self, line: str, stripped: str) -> None:
        if not self.in_table:  # the directives, each up to its ";", then the table
            if stripped.startswith("Section") and "Kind" in stripped:
                self.in_table = True
                return
            self.statement.append(stripped)
            if stripped.endswith(";"):
                found = _DIRECTIVE.match(" ".join(self.statement))
                if found:
                    self.directives.append((found.group(1), found.group(2)))
                self.statement = []
            return
        block = _BLOCK.match(stripped)
        if block:
            self.block = block.group(1)
            self.pending = ""
            return
        if stripped.startswith(("- ", "Unused ranges", "From ")):
            return
        tokens = (self.pending + " " + stripped).split() if self.pending else stripped.split()
        if len(tokens) == 3 and all(t.startswith("0x") for t in tokens):  # an unused range
            self.unused.append((number(tokens[0]), number(tokens[1]) + 1))
            return
        row = _section_row(tokens, self.block)
        if row is None:
            self.pending = stripped if _hex_pair(tokens) < 0 else ""
            return
        self.pending = ""
        if not _CONTAINER.match(row.module):  # a block's own row repeats the size of what it holds
            self.rows.append(row)


def parse(lines: Iterable[str], path: str, config=None):
    reader = _Reader(path)
    reader.read(lines)
    if not reader.rows and not reader.directives:
        raise MapParseError(path, "an IAR map without its PLACEMENT SUMMARY (link with --map)")
    if not reader.ended or not reader.totals:
        raise MapParseError(path, "an IAR map cut short: it does not end with its totals ('N bytes of readonly "
                            "code memory', 'Errors: ...')")
    return _model(reader, config)


def _ranges(directives: list) -> list:
    ranges: dict = {}
    for name, text in directives:
        if not text.startswith("place in"):
            continue
        found = _RANGE.findall(text)
        for index, (start, how, other) in enumerate(found):
            begin = number(start)
            end = begin + number(other) if how == "size" else number(other) + 1
            key = (begin, end)
            label = name if len(found) == 1 else f"{name}:{index + 1}"
            if key in ranges:
                ranges[key].others.append(label)
            else:
                ranges[key] = _Range(label, begin, end, text)
    return sorted(ranges.values(), key=lambda r: r.start)


def _origin(module: str, libraries: dict) -> Optional[str]:
    if module in ("- Linker created -", "<Block tail>") or module.startswith("<"):
        return "linker created"
    name, _, reference = module.rpartition(" [")
    if not reference.endswith("]"):
        return module or None
    where = libraries.get(reference[:-1], "")
    if where.lower().endswith(_ARCHIVE_SUFFIXES):
        return f"{_PATH_SEPARATORS.split(where)[-1]}({name})"
    return name


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
    ranges = _ranges(reader.directives)
    starts = [r.start for r in ranges]

    def range_of(address: int) -> Optional[_Range]:
        index = bisect.bisect_right(starts, address) - 1
        return ranges[index] if index >= 0 and address < ranges[index].end else None

    sections, run = [], []
    for row in reader.rows:
        if run and (row.name, row.kind, row.block) != (run[-1].name, run[-1].kind, run[-1].block) \
                or run and row.address < run[-1].address + run[-1].size:
            sections.append(run)
            run = []
        run.append(row)
    if run:
        sections.append(run)
    notes: list = []
    model_sections = []
    for rows in sections:
        first = rows[0]
        code, writable, contents = _kind(first.kind)
        where = range_of(first.address)
        start, end = first.address, max(r.address + r.size for r in rows)
        inputs = tuple(InputSection(r.name, r.address, r.size, _origin(r.module, reader.libraries)) for r in rows)
        model_sections.append(Section(first.name, start, end - start, where.name if where else None,
                                      has_contents=contents, is_code=code, inputs=inputs, is_writable=writable))
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


read = reads_lines(parse)
