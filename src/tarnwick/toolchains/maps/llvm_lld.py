"""LLVM lld map files (`-Wl,-Map=FILE` with `-fuse-ld=lld`): one table of VMA, LMA, Size and
Align in hex, then Out, In and Symbol columns told apart by indentation. mold writes the same
table without the LMA column, with "0x" before the address and the size in decimal. The rows
are read in native code (native/fast/llvm_lld_map.cpp), which also sizes the symbols: lld
states their sizes, mold does not.
"""

from __future__ import annotations

from tarnwick._native import read_lld_map
from tarnwick.toolchains.maps.native_maps import read_model, read_native
from tarnwick.toolchains.building.raw import RawMap
from tarnwick.toolchains.maps.heads import llvm_lld as looks_like  # noqa: F401


def parse(data, path: str) -> RawMap:
    """Reads the whole map from its UTF-8 bytes. Raises MapParseError for a map that is not
    complete (cut short, or a row that is not one of the table's)."""
    return read_native(read_lld_map, data, path)


ELF_NOT_READ = None  # the ELF file of the link gives symbol sizes and section kinds


def read(source, config=None):
    return read_model(read_lld_map, source, config)
