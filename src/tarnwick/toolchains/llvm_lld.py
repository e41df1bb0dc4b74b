"""LLVM lld map files (`-Wl,-Map=FILE` with `-fuse-ld=lld`): one table of
VMA, LMA, Size, Align, then Out, In and Symbol columns told apart by indentation."""

from __future__ import annotations

import re
from typing import Iterator, Optional

from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.raw import RawInput, RawMap, RawOutput, RawSymbol

_HEADER = re.compile(r"^\s*VMA\s+LMA\s+Size\s+Align\s+Out\s+In\s+Symbol\s*$")
_ROW = re.compile(r"^\s*([0-9a-fA-F]+)\s+([0-9a-fA-F]+)\s+([0-9a-fA-F]+)\s+(\d+) (.*)$")
_ASSIGNMENT = re.compile(r"^([A-Za-z_.$][\w.$]*)\s*(\+?=)\s*(.*)$")
_MAPPING_SYMBOL = re.compile(r"^\$[atdx](?:\..*)?$")
_INDENT = 8  # In is indented by one step from Out, Symbol by two


def looks_like(first_line: str) -> bool:
    return bool(_HEADER.match(first_line))


def parse(lines: Iterator[str], path: str) -> RawMap:
    raw = RawMap(toolchain="llvm_lld", path=path, symbol_sizes_given=True)
    output: Optional[RawOutput] = None
    current: Optional[RawInput] = None
    header_seen = False
    for lineno, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if not line.strip():
            continue
        if not header_seen:
            if not _HEADER.match(line):
                raise MapParseError(path, "not an LLVM lld map: the table header is missing", lineno)
            header_seen = True
            continue
        match = _ROW.match(line)
        if not match:
            raise MapParseError(path, f"unreadable map row {line.strip()[:80]!r}", lineno)
        vma, lma, size = int(match[1], 16), int(match[2], 16), int(match[3], 16)
        rest = match[5]
        text = rest.lstrip(" ")
        level = (len(rest) - len(text)) // _INDENT
        if level == 0:
            assignment = _ASSIGNMENT.match(text)
            if assignment:
                raw.assignments.append((assignment[1], None, assignment[3].strip()))
                output = current = None
                continue
            output = RawOutput(text, vma, size, lma if lma != vma else None, lineno)
            raw.outputs.append(output)
            current = None
        elif level == 1:
            if output is None:
                continue  # a row under a top-level assignment
            assignment = _ASSIGNMENT.match(text)
            if assignment:
                # `. = ALIGN(n)` rows carry the alignment gap; `. = . + n` reserves space
                if assignment[1] == "." and size:
                    reserved = "ALIGN" not in assignment[3]
                    output.inputs.append(RawInput("*fill*", vma, size, None, is_fill=True,
                                                  is_reservation=reserved))
                current = None
                continue
            origin, section = _split_input(text)
            current = RawInput(section, vma, size, origin)
            output.inputs.append(current)
        else:
            if current is None or _MAPPING_SYMBOL.match(text) or "=" in text:
                continue
            current.symbols.append(RawSymbol(text, vma, size))
    if not header_seen:
        raise MapParseError(path, "empty map file")
    _add_alignment_gaps(raw)
    return raw


def _split_input(text: str) -> tuple[Optional[str], str]:
    """'main.o:(.text.main)' -> ('main.o', '.text.main'); '<internal>' for linker-made input."""
    cut = text.rfind(":(")
    if cut < 0 or not text.endswith(")"):
        return None, text
    origin = text[:cut]
    if origin.startswith("./"):
        origin = origin[2:]
    return origin or None, text[cut + 2:-1]


def _add_alignment_gaps(raw: RawMap) -> None:
    """lld does not print the padding between input sections; it is the gap between one input
    section's end and the next one's start."""
    for output in raw.outputs:
        inputs = sorted(output.inputs, key=lambda part: part.address)
        gaps = []
        for before, after in zip(inputs, inputs[1:]):
            end = before.address + before.size
            if after.address > end:
                gaps.append(RawInput("*fill*", end, after.address - end, None, is_fill=True))
        if gaps:
            output.inputs.extend(gaps)
            output.inputs.sort(key=lambda part: part.address)
