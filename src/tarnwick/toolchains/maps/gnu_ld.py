"""GNU ld map files (`-Wl,-Map=FILE`), and ld.gold's, which share their layout. The rows are
read in native code (native/fast/gnu_ld_map.cpp): ld translates its headings ("Configuration
mémoire", "address de chargement"), so the parts of the map are recognised by the shape of
their rows, never by their words, and every row is read in time linear in its length.
"""

from __future__ import annotations

from tarnwick._native import read_gnu_ld_map
from tarnwick.toolchains.maps.native_maps import read_model, read_native
from tarnwick.toolchains.building.raw import RawMap
from tarnwick.toolchains.maps.heads import gnu_ld as looks_like  # noqa: F401


def parse(data, path: str) -> RawMap:
    """Reads the whole map from its UTF-8 bytes (native: a large map has hundreds of thousands
    of rows). Raises MapParseError for a map that is not complete."""
    return read_native(read_gnu_ld_map, data, path)


ELF_NOT_READ = None  # the ELF file of the link gives symbol sizes and section kinds


def read(source, config=None):
    return read_model(read_gnu_ld_map, source, config)
