"""GNU ld map files (`-Wl,-Map=FILE`), and ld.gold's, which share their layout.

ld translates its headings ("Configuration mémoire", "address de chargement"), so the parts of
the map are recognised by the shape of their rows, never by their words: the memory table by
its rows of name, origin and length ending in `*default*`, the map by its section rows.
"""

from __future__ import annotations

import re
from typing import Iterator, Optional

from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.raw import (
    DATA_STATEMENTS, SCRIPT_DATA, RawInput, RawMap, RawOutput, RawRegion, RawSymbol,
    origin_as_named,
)

# Every pattern runs on a line without trailing blanks and has no two adjacent parts that can
# match the same characters, so a match costs time linear in the line.
_HEX = r"0x([0-9a-fA-F]+)"
_ROW = re.compile(rf"^(\S+)\s+{_HEX}\s+{_HEX}(?:\s+(.*))?$")  # region or output section
_ADDRESS_SIZE = re.compile(rf"^\s+{_HEX}\s+{_HEX}(?:\s+(.*))?$")  # the rest of a wrapped row
_INPUT = re.compile(rf"^ (\S+)\s+{_HEX}\s+{_HEX}(?:\s+(.*))?$")
_SYMBOL = re.compile(rf"^\s+{_HEX}\s+(\S.*)$")
_DATA_ROW = re.compile(rf"^{_HEX}\s+(BYTE|SHORT|LONG|QUAD|SQUAD)\b")
_ASSIGNMENT = re.compile(r"^(?:PROVIDE(?:_HIDDEN)?\s*\(\s*)?([A-Za-z_.$][\w.$]*)\s*(\+?=)\s*(.*?)\)?$")
_TOP_LEVEL_KEYWORDS = ("LOAD ", "START GROUP", "END GROUP", "OUTPUT(", "TARGET(", "INCLUDE ",
                       "OUTPUT_FORMAT", "SEARCH_DIR", "INSERT ")
_SYMBOL_INDENT = " " * 16 + "0x"
_GOLD_INPUT = " ** "  # gold's linker-made input sections: "** fill", "** common", "** file header"
_GOLD_ROW = re.compile(rf"^ \*\* (\w+(?: \w+)?)(?:\s+{_HEX}\s+{_HEX})?$")
_FILL = {"*fill*", "** fill", "** zero fill"}
_CROSS_REFERENCES = "Cross Reference Table"

# What only a GNU ld or gold map has, to tell one from other text by content.
_SIGNATURES = re.compile(
    rf"^(?:\*default\*\s+{_HEX}\s+{_HEX}"          # the last row of the memory table
    rf"|\.\S+\s+{_HEX}\s+{_HEX}"                    # an output section
    rf"| \.\S+\s+{_HEX}\s+{_HEX} \S"                # an input section with its file
    r"|LOAD \S|OUTPUT\(\S| \*\* \S)",
    re.MULTILINE)
_NON_ALLOC_NAMES = re.compile(r"^\.(?:debug|zdebug|comment|stab|gnu_debug|GCC\.command\.line|line$)")


# The English headings a GNU ld map may start with.
_FIRST_HEADINGS = ("Archive member included", "Allocating common symbols", "Discarded input sections",
                   "There are no discarded input sections", "Memory Configuration",
                   "Linker script and memory map", "Merging program properties", "Memory map")


def looks_like(head: str) -> bool:
    """Whether the start of a file reads as a GNU ld or gold map (headings may be translated)."""
    return head.lstrip().startswith(_FIRST_HEADINGS) or bool(_SIGNATURES.search(head))


def parse(lines: Iterator[str], path: str) -> RawMap:
    """Reads the whole map. Raises MapParseError for a map that is not complete."""
    raw = RawMap(toolchain="gnu_ld", path=path)
    state = "preamble"
    saw_memory_table = saw_output_line = gold = saw_gold_tables = False
    output: Optional[RawOutput] = None
    current: Optional[RawInput] = None
    reserve_next_fill = False
    pending: Optional[tuple[str, int, str]] = None  # a name wrapped onto the next line
    lineno = 0
    skipped: list[int] = []

    for lineno, line in enumerate(lines, 1):
        line = line.rstrip()
        if "\t" in line:
            line = line.expandtabs(8)
        if pending is not None:
            kind, at, name = pending
            pending = None
            match = _ADDRESS_SIZE.match(line)
            if match:
                address, size = int(match[1], 16), int(match[2], 16)
                if kind == "output":
                    output = RawOutput(name, address, size, _load_address(match[3]), at)
                    raw.outputs.append(output)
                    current, reserve_next_fill = None, False
                elif output is not None:
                    current = _input(output, name, address, size, match[3], reserve_next_fill)
                    reserve_next_fill = False
                continue
            if kind == "output":
                output, current = None, None  # an empty output section: the map gives no address
            # otherwise the name was an input pattern; this line is read as usual
        if not line:
            continue

        if state != "map":
            row = _ROW.match(line)
            if state == "preamble":
                if row is None:
                    if not line.startswith(_GOLD_INPUT):
                        continue
                elif not row[1].startswith("."):
                    state = "memory"  # the first row of the memory table; its heading came before
                if state == "preamble":  # gold: no memory table, the map starts with this row
                    state, gold = "map", True
            if state == "memory":
                if row is None:
                    state, saw_memory_table = "map", True  # the map's heading
                    continue
                if row[1] != "*default*":
                    raw.regions.append(RawRegion(row[1], int(row[2], 16), int(row[3], 16),
                                                 (row[4] or "").replace(" ", "")))
                continue

        # the memory map; the most frequent lines (symbols, input sections) are tested first
        if line.startswith(_SYMBOL_INDENT):
            match = _SYMBOL.match(line)
            if not match:
                continue
            text = match[2]
            if " " not in text and "=" not in text:
                if current is not None:
                    current.symbols.append(RawSymbol(text, int(match[1], 16), None))
                continue
            if text[:2] == "0x":  # "0x4 LONG 0x706c75": a data statement of the script
                data = _DATA_ROW.match(text)
                if data and output is not None:
                    output.inputs.append(RawInput(data[2], int(match[1], 16), int(data[1], 16),
                                                  SCRIPT_DATA))
                    current = None
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
        if first == " " and len(line) > 1 and line[1] != " ":
            if line.startswith(_GOLD_INPUT):
                gold = True
                match = _GOLD_ROW.match(line)
                if match and match[2] is None:
                    pending = ("input", lineno, "** " + match[1])  # wrapped onto the next line
                elif match and output is not None:
                    current = _input(output, "** " + match[1], int(match[2], 16), int(match[3], 16),
                                     None, reserve_next_fill)
                reserve_next_fill = False
                continue
            match = _INPUT.match(line)
            if match:
                if output is not None:
                    current = _input(output, match[1], int(match[2], 16), int(match[3], 16),
                                     match[4], reserve_next_fill)
                reserve_next_fill = False
                continue
            token = line[1:]
            if " " not in token and "(" not in token and not token.startswith(("*", "KEEP", "SORT")):
                pending = ("input", lineno, token)
            continue

        if first != " ":
            if line.startswith(_TOP_LEVEL_KEYWORDS):
                if line.startswith("OUTPUT("):
                    saw_output_line = True
                    named = line[len("OUTPUT("):].rstrip(")").rsplit(" ", 1)
                    raw.output_file = named[0] if len(named) == 2 else None
                    raw.thumb = "arm" in named[-1]  # elf32-littlearm
                output, current = None, None
                continue
            if line.startswith(_CROSS_REFERENCES):
                break
            match = _ROW.match(line)
            if match:
                output = RawOutput(match[1], int(match[2], 16), int(match[3], 16),
                                   _load_address(match[4]), lineno)
                raw.outputs.append(output)
                current, reserve_next_fill = None, False
                continue
            if " " not in line:
                pending = ("output", lineno, line)
                continue
            if output is not None and output.name in ("/DISCARD/",):
                continue
            skipped.append(lineno)
            output, current = None, None
        # anything else is a deeper-indented note of ld's; nothing to take from it

    if pending is not None and pending[0] == "output" and not saw_output_line and not gold:
        raise MapParseError(path, "the map ends inside an output section header", lineno)
    if gold:
        raw.toolchain = "gnu_gold"
        if not any(_NON_ALLOC_NAMES.match(o.name) or o.name in (".shstrtab", ".strtab", ".symtab")
                   for o in raw.outputs):
            raise MapParseError(path, "truncated ld.gold map: it ends before the sections gold "
                                "lists last (.symtab, .strtab, .shstrtab)", lineno)
    else:
        if not saw_memory_table:
            raise MapParseError(path, "truncated GNU ld map: no memory configuration table and "
                                "no memory map after it", lineno)
        if not saw_output_line:
            raise MapParseError(path, "truncated GNU ld map: no OUTPUT(...) line", lineno)
    if skipped:
        raw.notes.append(f"{len(skipped)} map line(s) not understood and skipped "
                         f"(first at line {skipped[0]})")
    return raw


def _load_address(tail: Optional[str]) -> Optional[int]:
    """The load address at the end of an output section row, in any language:
    "load address 0x0800a000", "address de chargement 0x0800a000"."""
    last = tail.rsplit(None, 1)[-1] if tail else ""
    try:
        return int(last[2:], 16) if last[:2] == "0x" else None
    except ValueError:
        return None


def _input(output: RawOutput, name: str, address: int, size: int, origin: Optional[str],
           reserve: bool) -> Optional[RawInput]:
    """Adds one input section row; returns it when symbols may follow."""
    if name in _FILL:
        output.inputs.append(RawInput("*fill*", address, size, None, True, reserve))
        return None
    if name.startswith("** "):  # gold's "** common", "** merge strings", "** file header"
        origin = "linker generated"
        name = f"*{name[3:]}*"
    elif name in DATA_STATEMENTS:
        origin = SCRIPT_DATA
    else:
        origin = origin_as_named(origin)
    part = RawInput(name, address, size, origin)
    output.inputs.append(part)
    return part
