"""The figures of a finished model, checked once whatever read it: every region, section, input
section and symbol within the 64-bit address space, none of 2^63 bytes or more (more than an
address space holds), and every input section inside the section that holds it. A reader
converts units (XC16's PC units, XC8's words) and adds figures up on the way; a figure no
build has means the file is broken or read wrongly, and no report is made of it."""

from __future__ import annotations

from tarnwick.toolchains.errors import MapParseError

ADDRESS_SPACE = 1 << 64
SIZE_LIMIT = 1 << 63  # a size of this or more is more than an address space holds


def check_extents(model, path: str) -> None:
    """Raises MapParseError naming the first figure of `model` (read from `path`) that no build has."""
    for region in model.memory_regions:
        if not _within(region.origin, region.length, ADDRESS_SPACE + 1):
            _refuse(path, f"memory region {region.name}", region.origin, region.length)
    for section in model.sections:
        start, size = section.address, section.size
        if not _within(start, size, SIZE_LIMIT):
            _refuse(path, f"section {section.name}", start, size)
        if section.load_address is not None and not _within(section.load_address, size, SIZE_LIMIT):
            _refuse(path, f"the load image of section {section.name}", section.load_address, size)
        for part in section.inputs:
            if not _within(part.address, part.size, SIZE_LIMIT):
                _refuse(path, f"input section {part.name} of {section.name}", part.address, part.size)
            if part.size and not start <= part.address <= part.address + part.size <= start + size:
                raise MapParseError(path, f"input section {part.name} at {part.address:#x} ({part.size:,} bytes) "
                                          f"lies outside its section {section.name} at {start:#x} ({size:,} bytes)")
    for symbol in model.symbols:
        if not _within(symbol.address, symbol.size, SIZE_LIMIT):
            _refuse(path, f"symbol {symbol.name}", symbol.address, symbol.size)


def _within(start: int, size: int, size_limit: int) -> bool:
    return 0 <= start and 0 <= size < size_limit and start + size <= ADDRESS_SPACE


def _refuse(path: str, what: str, start: int, size: int) -> None:
    beyond = start < 0 or size < 0 or start + size > ADDRESS_SPACE
    reason = "lies beyond the 64-bit address space" if beyond else "is 2^63 bytes or more, more than an address space holds"
    raise MapParseError(path, f"{what} at {start:#x} ({size:,} bytes) {reason}")
