"""GNU ld map files (`-Wl,-Map=FILE`), and ld.gold's, which share their layout. The rows are
read in native code (native/fast/gnu_ld_map.cpp): ld translates its headings ("Configuration
mémoire", "address de chargement"), so the parts of the map are recognised by the shape of
their rows, never by their words, and every row is read in time linear in its length.
"""

from __future__ import annotations

import re

from tarnwick._native import read_gnu_ld_map
from tarnwick.toolchains.maps.native_maps import read_model, read_native
from tarnwick.toolchains.building.raw import RawMap

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
    return read_native(read_gnu_ld_map, data, path)


ELF_NOT_READ = None  # the ELF file of the link gives symbol sizes and section kinds


def read(source, config=None):
    return read_model(read_gnu_ld_map, source, config)
