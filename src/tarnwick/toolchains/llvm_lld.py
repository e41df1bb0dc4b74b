"""LLVM lld map files (`-Wl,-Map=FILE` with `-fuse-ld=lld`): one table of VMA, LMA, Size and
Align in hex, then Out, In and Symbol columns told apart by indentation. mold writes the same
table without the LMA column, with "0x" before the address and the size in decimal."""

from __future__ import annotations

import re
from typing import Iterator, Optional

from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.raw import (
    DATA_STATEMENTS, SCRIPT_DATA, RawInput, RawMap, RawOutput, RawSymbol, origin_as_named,
)

_HEADER = re.compile(r"^\s*VMA\s+(LMA\s+)?Size\s+Align\s+Out\s+In\s+Symbol$")
_LLD_ROW = re.compile(r"^\s*([0-9a-fA-F]+)\s+([0-9a-fA-F]+)\s+([0-9a-fA-F]+)\s+(\d+)(?: (.*))?$")
_MOLD_ROW = re.compile(r"^\s*(?:0x)?([0-9a-fA-F]+)\s+(\d+)\s+(\d+)(?: (.*))?$")
_ASSIGNMENT = re.compile(r"^([A-Za-z_.$][\w.$]*)\s*(\+?=)\s*(.*)$")
_INDENT = 8  # In is indented by one step from Out, Symbol by two
_TWO_STEPS = " " * (2 * _INDENT)
# The sections a linker writes last; a map without any of them was cut short.
_LAST_SECTIONS = {".shstrtab", ".strtab", ".symtab", "SHDR"}


def looks_like(first_line: str) -> bool:
    return bool(_HEADER.match(first_line.rstrip()))


def is_local_label(name: str) -> bool:
    """Assembler-local labels and mapping symbols (".LBB0_1", ".L_MergedGlobals", "$t", "$d.1")
    mark places inside functions and data; they are not symbols of their own."""
    return name[:2] == ".L" or name[:1] == "$"


class _Columns:
    """Where the header puts each column. lld rows are sliced there, and parsed with a pattern
    when a value is wider than its column; mold rows always with the pattern."""

    def __init__(self, header: str):
        self.mold = "LMA" not in header
        self.out = header.index("Out")
        self.vma_end = header.index("VMA") + 3
        self.lma_end = header.index("LMA") + 3 if not self.mold else 0
        self.size_end = header.index("Size") + 4

    def split(self, line: str):
        """(vma, lma, size, rest of the line from the Out column), or None."""
        if self.mold:
            match = _MOLD_ROW.match(line)
            if not match:
                return None
            vma = int(match[1], 16)
            return vma, vma, int(match[2]), match[4] or ""
        out = self.out
        try:
            if line[out - 1] == " " and line[self.vma_end] == " " and line[self.lma_end] == " ":
                return (int(line[:self.vma_end], 16), int(line[self.vma_end:self.lma_end], 16),
                        int(line[self.lma_end:self.size_end], 16), line[out:])
        except (ValueError, IndexError):
            pass
        match = _LLD_ROW.match(line)
        if not match:
            return None
        return int(match[1], 16), int(match[2], 16), int(match[3], 16), match[5] or ""


def parse(lines: Iterator[str], path: str) -> RawMap:
    raw = RawMap(toolchain="llvm_lld", path=path, symbol_sizes_given=True)
    output: Optional[RawOutput] = None
    current: Optional[RawInput] = None
    columns: Optional[_Columns] = None
    complete = False
    lineno = 0
    for lineno, line in enumerate(lines, 1):
        line = line.rstrip()
        if not line:
            continue
        if columns is None:
            if not _HEADER.match(line):
                raise MapParseError(path, "not an LLVM lld map: the table header is missing", lineno)
            columns = _Columns(line)
            if columns.mold:
                raw.toolchain, raw.symbol_sizes_given = "mold", False
            continue
        row = columns.split(line)
        if row is None:
            raise MapParseError(path, f"unreadable map row {line.strip()[:80]!r}", lineno)
        vma, lma, size, rest = row
        if rest[:_INDENT * 2] == _TWO_STEPS:  # a symbol
            text = rest[_INDENT * 2:]
            if current is None or not text or "=" in text or is_local_label(text):
                raw.thumb = raw.thumb or text == "$t"
                continue
            current.symbols.append(RawSymbol(text, vma, size if raw.symbol_sizes_given else None))
            continue
        text = rest.lstrip(" ")
        if not text:
            output = current = None  # a --defsym row: lld leaves its name empty
            continue
        if rest[0] != " ":  # an output section or a top-level assignment
            assignment = _ASSIGNMENT.match(text) if "=" in text else None
            if assignment:
                raw.assignments.append((assignment[1], None, assignment[3].strip()))
                output = current = None
                continue
            complete = complete or text in _LAST_SECTIONS
            output = RawOutput(text, vma, size, lma if lma != vma else None, lineno)
            raw.outputs.append(output)
            current = None
            continue
        if output is None:
            continue  # a row under a top-level assignment
        assignment = _ASSIGNMENT.match(text) if "=" in text else None
        if assignment:
            # `. = ALIGN(n)` rows carry the alignment gap; `. = . + n` reserves space
            if assignment[1] == "." and size:
                reserved = "ALIGN" not in assignment[3]
                output.inputs.append(RawInput("*fill*", vma, size, None, is_fill=True,
                                              is_reservation=reserved))
            current = None
            continue
        keyword = text.split(" (", 1)[0]
        if keyword in DATA_STATEMENTS:  # "LONG ( 0x5aa5c33c )"
            origin, section = SCRIPT_DATA, keyword
        else:
            origin, section = _split_input(text)
        current = RawInput(section, vma, size, origin)
        output.inputs.append(current)
    if columns is None:
        raise MapParseError(path, "empty map file")
    if not complete:
        name = "mold" if columns.mold else "LLVM lld"
        raise MapParseError(path, f"truncated {name} map: it ends before the section tables "
                                  "(.symtab, .strtab, .shstrtab) the linker lists last", lineno)
    _add_alignment_gaps(raw)
    return raw


def _split_input(text: str) -> tuple[Optional[str], str]:
    """'main.o:(.text.main)' -> ('main.o', '.text.main'); '<internal>' for linker-made input."""
    cut = text.rfind(":(")
    if cut < 0 or not text.endswith(")"):
        return None, text
    return origin_as_named(text[:cut]), text[cut + 2:-1]


def _add_alignment_gaps(raw: RawMap) -> None:
    """lld does not print the padding between input sections; it is the gap between one input
    section's end and the next one's start."""
    for output in raw.outputs:
        inputs = output.inputs
        if any(a.address > b.address for a, b in zip(inputs, inputs[1:])):
            inputs.sort(key=lambda part: part.address)
        with_gaps = []
        end = None
        for part in inputs:
            if end is not None and part.address > end:
                with_gaps.append(RawInput("*fill*", end, part.address - end, None, is_fill=True))
            with_gaps.append(part)
            end = max(end or 0, part.address + part.size)
        output.inputs = with_gaps
