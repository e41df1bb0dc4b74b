"""An ELF file's debug information (DWARF 2 to 5), as far as it says where the bytes came from:
the compile units with their folders and address ranges, and each function's and variable's
declaration file and line. The tables are read in native code (native/fast/dwarf.cpp); the
sections are taken here from the file, decompressed where the build compressed them (`-gz`:
SHF_COMPRESSED with zlib, or the older `.zdebug_` sections)."""

from __future__ import annotations

import os
import struct
import zlib

from tarnwick._native import read_dwarf
from tarnwick.support.files import FileProblem, open_regular
from tarnwick.support.records import record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

SHF_COMPRESSED = 0x800
ELFCOMPRESS_ZLIB = 1
SECTIONS = ("info", "abbrev", "str", "line", "line_str", "str_offsets", "addr", "rnglists", "ranges")
_MOST_BYTES = 1 << 30  # debug information larger than this is not read


class DebugInfoError(ValueError):
    """Debug information that cannot be read; `str()` says why."""


@record
class DebugInfo:
    paths: list  # source files, joined with their folders
    units: list  # (name, folder, ((low, high), ...))
    # a DebugEntities: held natively for attribute_sources, and a sequence of (kind 0 function /
    # 1 variable / 2 inlined call, name, linkage, unit, path or -1, line, address, size) made when asked for
    entities: object


def has_debug_info(elf) -> bool:
    return any(s.name in (".debug_info", ".zdebug_info") for s in elf.sections)


def read_debug_info(elf) -> Optional[DebugInfo]:
    """The debug information of an ElfFile, or None without any. Raises DebugInfoError."""
    if not has_debug_info(elf):
        return None
    try:
        paths, units, entities = read_dwarf(*debug_sections(elf), elf.little_endian)
    except ValueError as exc:
        raise DebugInfoError(str(exc)) from None
    return DebugInfo(paths, units, entities)


def debug_sections(elf) -> list:
    """The contents of the debug sections read_dwarf takes, in its order, decompressed; an
    absent section empty. Raises DebugInfoError."""
    by_name = {s.name: s for s in elf.sections}
    contents = []
    try:
        handle = open_regular(elf.path)
    except FileProblem as exc:
        raise DebugInfoError(str(exc)) from None
    with handle:
        stored = os.fstat(handle.fileno()).st_size
        for name in SECTIONS:
            section = by_name.get(f".debug_{name}") or by_name.get(f".zdebug_{name}")
            contents.append(_contents(handle, stored, elf, section) if section is not None else b"")
    return contents


def _contents(handle, stored: int, elf, section) -> bytes:
    if section.type == 8 or section.size > _MOST_BYTES:  # SHT_NOBITS: stripped
        return b""
    if section.offset + section.size > stored:  # checked before seeking: an offset may pass 2^63
        raise DebugInfoError(f"{section.name} ({section.size:,} bytes at offset {section.offset:#x}) runs past "
                             "the end of the file")
    handle.seek(section.offset)
    data = handle.read(section.size)
    if len(data) != section.size:
        raise DebugInfoError(f"{section.name} runs past the end of the file")
    if section.flags & SHF_COMPRESSED:
        layout = struct.Struct(("<" if elf.little_endian else ">") + ("IIQQ" if elf.bits == 64 else "III"))
        if len(data) < layout.size:
            raise DebugInfoError(f"{section.name} is too short for its compression header")
        kind, _reserved_or_size, *rest = layout.unpack_from(data)
        size = rest[0] if elf.bits == 64 else _reserved_or_size
        if kind != ELFCOMPRESS_ZLIB:
            raise DebugInfoError(f"{section.name} is compressed with a method other than zlib ({kind})")
        return _inflate(data[layout.size:], size, section.name)
    if section.name.startswith(".zdebug_") and data[:4] == b"ZLIB":
        return _inflate(data[12:], int.from_bytes(data[4:12], "big"), section.name)
    return data


def _inflate(data: bytes, size: int, name: str) -> bytes:
    if size > _MOST_BYTES:
        raise DebugInfoError(f"{name} claims {size:,} bytes uncompressed")
    try:
        inflater = zlib.decompressobj()
        out = inflater.decompress(data, size + 1)
    except zlib.error as exc:
        raise DebugInfoError(f"{name} cannot be decompressed: {exc}") from None
    if len(out) != size:
        raise DebugInfoError(f"{name} decompresses to {len(out):,} bytes, not the {size:,} its header states")
    return out
