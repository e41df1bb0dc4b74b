"""GNU ld map files, as written by `-Wl,-Map=FILE`."""

from __future__ import annotations

import re
from typing import Iterator, Optional

from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.raw import (
    RawInput, RawMap, RawOutput, RawRegion, RawSymbol, origin_as_named,
)

# The first line of every GNU ld map is one of these headings.
FIRST_HEADINGS = (
    "Archive member included to satisfy reference by file (symbol)",
    "Allocating common symbols",
    "Discarded input sections",
    "There are no discarded input sections",
    "Memory Configuration",
    "Linker script and memory map",
)

_HEX = r"0x([0-9a-fA-F]+)"
_OUTPUT = re.compile(rf"^(\S+)(?:\s+{_HEX}\s+{_HEX}(?:\s+load address {_HEX})?)?\s*$")
_ADDRESS_SIZE = re.compile(rf"^\s+{_HEX}\s+{_HEX}(?:\s+load address {_HEX})?(?:\s+(.*?))?\s*$")
_INPUT = re.compile(rf"^ (\S+)\s+{_HEX}\s+{_HEX}(?:\s+(.*?))?\s*$")
_SYMBOL = re.compile(rf"^\s+{_HEX}\s+(\S.*?)\s*$")
_REGION = re.compile(rf"^(\S+)\s+{_HEX}\s+{_HEX}(?:\s+(\S*))?\s*$")
_ASSIGNMENT = re.compile(r"^(?:PROVIDE(?:_HIDDEN)?\s*\(\s*)?([A-Za-z_.$][\w.$]*)\s*(\+?=)\s*(.*?)\)?$")
_TOP_LEVEL_KEYWORDS = ("LOAD ", "START GROUP", "END GROUP", "OUTPUT(", "TARGET(", "INCLUDE ",
                       "Cross Reference Table", "Symbol  ", "Linker script and memory map",
                       "OUTPUT_FORMAT", "SEARCH_DIR")
_DATA_STATEMENTS = {"BYTE", "SHORT", "LONG", "QUAD", "SQUAD"}
_SYMBOL_INDENT = " " * 16 + "0x"


def looks_like(first_line: str) -> bool:
    return first_line.strip() in FIRST_HEADINGS


def parse(lines: Iterator[str], path: str) -> RawMap:
    """Reads the whole map. Raises MapParseError for a map that is not complete."""
    raw = RawMap(toolchain="gnu_ld", path=path)
    state = "preamble"
    saw_memory_map = saw_output_line = False
    output: Optional[RawOutput] = None
    current: Optional[RawInput] = None
    reserve_next_fill = False
    pending: Optional[tuple[str, int, str]] = None  # a name wrapped onto the next line
    lineno = 0
    skipped: list[int] = []

    for lineno, line in enumerate(lines, 1):
        line = line.rstrip("\r\n")
        if pending is not None:
            kind, at, name = pending
            pending = None
            match = _ADDRESS_SIZE.match(line)
            if match:
                address, size = int(match[1], 16), int(match[2], 16)
                if kind == "output":
                    load = int(match[3], 16) if match[3] else None
                    output = RawOutput(name, address, size, load, at)
                    raw.outputs.append(output)
                    current, reserve_next_fill = None, False
                elif output is not None:
                    current = RawInput(name, address, size, origin_as_named(match[4]))
                    output.inputs.append(current)
                continue
            if kind == "output":
                output, current = None, None  # an empty output section: the map gives no address
            # otherwise the name was an input pattern; this line is read as usual
        if not line.strip():
            continue

        if state == "preamble":
            stripped = line.strip()
            if stripped == "Memory Configuration":
                state = "memory"
            elif stripped == "Linker script and memory map":
                state, saw_memory_map = "map", True
            continue
        if state == "memory":
            if line.startswith("Name ") and "Origin" in line:
                continue
            if line.strip() == "Linker script and memory map":
                state, saw_memory_map = "map", True
                continue
            match = _REGION.match(line)
            if not match:
                raise MapParseError(path, f"unreadable memory region row {line.strip()!r}", lineno)
            if match[1] != "*default*":
                raw.regions.append(RawRegion(match[1], int(match[2], 16), int(match[3], 16),
                                             match[4] or ""))
            continue

        # the memory map; the most frequent lines (symbols, input sections) are tested first
        if line.startswith(_SYMBOL_INDENT):
            match = _SYMBOL.match(line)
            if not match:
                continue  # "[!provide] PROVIDE (...)", "(size before relaxing)" and the like
            text = match[2]
            if " " not in text and "=" not in text:
                if current is not None:
                    current.symbols.append(RawSymbol(text, int(match[1], 16), None))
                continue
            assignment = _ASSIGNMENT.match(text)
            if assignment:
                name, operator, expression = assignment.groups()
                if name == ".":
                    reserve_next_fill = "ALIGN" not in expression and (
                        operator == "+=" or expression.lstrip("( ").startswith("."))
                elif output is None:
                    raw.assignments.append((name, int(match[1], 16), expression))
            continue

        first = line[0]
        if first == " " and line[1] != " ":
            match = _INPUT.match(line)
            if match:
                if output is not None:
                    name = match[1]
                    if name == "*fill*":
                        output.inputs.append(RawInput(name, int(match[2], 16), int(match[3], 16), None,
                                                      True, reserve_next_fill))
                        current = None
                    else:
                        origin = "linker script data" if name in _DATA_STATEMENTS else origin_as_named(match[4])
                        current = RawInput(name, int(match[2], 16), int(match[3], 16), origin)
                        output.inputs.append(current)
                reserve_next_fill = False
                continue
            token = line.strip()
            if " " not in token and "(" not in token and not token.startswith(("*", "KEEP", "SORT")):
                pending = ("input", lineno, token)
            continue

        if first not in " \t":
            if line.startswith(_TOP_LEVEL_KEYWORDS):
                if line.startswith("OUTPUT("):
                    saw_output_line = True
                elif line.startswith("Cross Reference Table"):
                    break
                output, current = None, None
                continue
            match = _OUTPUT.match(line)
            if not match:
                skipped.append(lineno)
                continue
            if match[2] is None:
                pending = ("output", lineno, match[1])
                continue
            load = int(match[4], 16) if match[4] else None
            output = RawOutput(match[1], int(match[2], 16), int(match[3], 16), load, lineno)
            raw.outputs.append(output)
            current, reserve_next_fill = None, False
        # anything else is a deeper-indented note of ld's; nothing to take from it

    if pending is not None and pending[0] == "output":
        raise MapParseError(path, "the map ends inside an output section header", lineno)
    if not saw_memory_map:
        raise MapParseError(path, "truncated GNU ld map: no 'Linker script and memory map' part",
                            lineno)
    if not saw_output_line:
        raise MapParseError(path, "truncated GNU ld map: no OUTPUT(...) line", lineno)
    if skipped:
        raw.notes.append(f"{len(skipped)} map line(s) not understood and skipped "
                         f"(first at line {skipped[0]})")
    return raw
