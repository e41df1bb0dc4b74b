"""GNU ld map files (`-Wl,-Map=FILE`), and ld.gold's, which share their layout. The rows are
read in native code (native/fast/gnu_ld_map.cpp): ld translates its headings ("Configuration
mémoire", "address de chargement"), so the parts of the map are recognised by the shape of
their rows, never by their words, and every row is read in time linear in its length.
"""

from __future__ import annotations

import re

from tarnwick._native import read_gnu_ld_map
from tarnwick.toolchains.base import Symbol, split_origin
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.raw import RawInput, RawMap, RawOutput, RawRegion
from tarnwick.toolchains.section_kinds import named_code, never_allocated

_HEX = r"0x([0-9a-fA-F]+)"
# What only a GNU ld or gold map has, to tell one from other text by content.
_SIGNATURES = re.compile(
    rf"^(?:\*default\*\s+{_HEX}\s+{_HEX}"          # the last row of the memory table
    rf"|\.\S+\s+{_HEX}\s+{_HEX}"                    # an output section
    rf"| \.\S+\s+{_HEX}\s+{_HEX} \S"                # an input section with its file
    r"|LOAD \S|OUTPUT\(\S| \*\* \S)",
    re.MULTILINE)


# The English headings a GNU ld map may start with.
_FIRST_HEADINGS = ("Archive member included", "Allocating common symbols", "Discarded input sections",
                   "There are no discarded input sections", "Memory Configuration",
                   "Linker script and memory map", "Merging program properties", "Memory map")


def looks_like(head: str) -> bool:
    """Whether the start of a file reads as a GNU ld or gold map (headings may be translated)."""
    return head.lstrip().startswith(_FIRST_HEADINGS) or bool(_SIGNATURES.search(head))


def parse(data, path: str) -> RawMap:
    """Reads the whole map from its UTF-8 bytes (native: a large map has hundreds of thousands
    of rows). Raises MapParseError for a map that is not complete."""
    try:
        regions, outputs, assignments, notes, gold, thumb, output_file, origin_totals = read_gnu_ld_map(
            data, RawInput, Symbol, named_code, never_allocated, split_origin)
    except ValueError as exc:  # raised with the reason and the line
        reason, line = exc.args if len(exc.args) == 2 else (str(exc), None)
        raise MapParseError(path, reason, line) from None
    raw = RawMap(toolchain="gnu_gold" if gold else "gnu_ld", path=path, thumb=thumb, output_file=output_file,
                 origin_totals=origin_totals)
    raw.regions = [RawRegion(*region) for region in regions]
    raw.outputs = [RawOutput(name, address, size, load, line, inputs or [], symbols, padding)
                   for name, address, size, load, line, inputs, symbols, padding in outputs]
    raw.assignments = assignments
    raw.notes = notes
    return raw
