"""What holds of every model a reader gives, whatever the input: the mutation tests ask it of
models read from damaged files, where a reader's slip shows as bytes that no longer add up."""

from __future__ import annotations


def _holds(spans, address: int, size: int) -> bool:
    """Whether one of `spans` holds the bytes; a Thumb function's address carries the low bit."""
    return any(low <= start and start + size <= high for low, high in spans for start in (address, address - 1))


def broken_invariants(model) -> list:
    """What does not hold of `model`: every placed byte counted once by the symbols (a map's
    input sections), and every symbol's bytes inside what holds it (an input section of its
    section, or for an ELF file's sections without inputs, the section)."""
    broken = []
    spans: dict = {}
    with_inputs = any(section.inputs for section in model.sections)
    for section in model.sections:
        held = [(p.address, p.address + p.size) for p in section.inputs] if with_inputs \
            else [(section.address, section.address + section.size)]
        spans.setdefault(section.name, []).extend(held)
    if with_inputs:
        counted = sum(s.size for s in model.symbols if s.alias_of is None)
        placed = sum(p.size for section in model.sections for p in section.inputs if not p.is_fill)
        if counted != placed:
            broken.append(f"the symbols hold {counted:,} B, the input sections {placed:,} B")
    for symbol in model.symbols:
        if symbol.alias_of is None and symbol.size > 0 and not _holds(spans.get(symbol.section, ()), symbol.address,
                                                                        symbol.size):
            broken.append(f"symbol {symbol.name} at {symbol.address:#x} ({symbol.size:,} B) lies outside "
                          f"{symbol.section}")
            break
    return broken
