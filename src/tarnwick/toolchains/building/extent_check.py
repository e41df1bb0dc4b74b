"""The figures of a finished model, checked once whatever read it: every region, section, input
section and symbol within the 64-bit address space, none of 2^63 bytes or more (more than an
address space holds), nor the sections, the input sections or the symbols together, and every
input section and symbol inside the section that holds it. A
reader converts units (XC16's PC units, XC8's words) and adds figures up on the way; a figure no
build has means the file is broken or read wrongly, and no report is made of it. The pass over
the model is native (native/fast/extent_check.cpp): a large map has a million symbols."""

from __future__ import annotations

from tarnwick._native import extent_fault
from tarnwick.toolchains.errors import MapParseError

ADDRESS_SPACE = 1 << 64


def check_extents(model, path: str) -> None:
    """Raises MapParseError naming the first figure of `model` (read from `path`) that no build has."""
    fault = extent_fault(model.memory_regions, model.sections, model.symbols)
    if fault is None:
        return
    what, index, part = fault
    if what.endswith(" together"):
        kind = what.split()[0]
        record = model.symbols[index] if kind == "symbols" else model.sections[index]
        if kind == "inputs":
            record, kind = record.inputs[part], "input sections"
        raise MapParseError(path, f"its {kind} take 2^63 bytes or more together (with {record.name} at "
                                  f"{record.address:#x}, {record.size:,} bytes), more than an address space holds")
    if what == "region":
        region = model.memory_regions[index]
        _refuse(path, f"memory region {region.name}", region.origin, region.length)
    if what in ("symbol", "symbol outside"):
        symbol = model.symbols[index]
        if what == "symbol":
            _refuse(path, f"symbol {symbol.name}", symbol.address, symbol.size)
        raise MapParseError(path, f"symbol {symbol.name} at {symbol.address:#x} ({symbol.size:,} bytes) lies outside "
                                  f"its section {symbol.section}")
    section = model.sections[index]
    if what == "section":
        _refuse(path, f"section {section.name}", section.address, section.size)
    if what == "load image":
        _refuse(path, f"the load image of section {section.name}", section.load_address, section.size)
    item = section.inputs[part]
    if what == "input":
        _refuse(path, f"input section {item.name} of {section.name}", item.address, item.size)
    raise MapParseError(path, f"input section {item.name} at {item.address:#x} ({item.size:,} bytes) lies outside "
                              f"its section {section.name} at {section.address:#x} ({section.size:,} bytes)")


def _refuse(path: str, what: str, start: int, size: int) -> None:
    beyond = start < 0 or size < 0 or start + size > ADDRESS_SPACE
    reason = "lies beyond the 64-bit address space" if beyond else "is 2^63 bytes or more, more than an address space holds"
    raise MapParseError(path, f"{what} at {start:#x} ({size:,} bytes) {reason}")
