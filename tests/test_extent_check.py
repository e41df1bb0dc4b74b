"""The native extent check finds a symbol's section by its name string object first and by the
name's text after: what it finds must be what a plain walk over the sections by text finds."""

from __future__ import annotations

import random

import pytest

from tarnwick._native import extent_fault
from tarnwick.toolchains.base import Section, Symbol


def _by_text(sections, symbols):
    """The first symbol outside every section of its section's name (by text), or None."""
    spans: dict = {}
    for section in sections:
        spans.setdefault(section.name, []).append((section.address, section.address + section.size))
    for index, symbol in enumerate(symbols):
        if not symbol.size or symbol.alias_of is not None or not isinstance(symbol.section, str):
            continue
        held = spans.get(symbol.section)
        if held is None:
            continue
        a, n = symbol.address, symbol.size
        if not any((low <= a and a + n <= high) or (low < a and a - 1 + n <= high) for low, high in held):
            return ("symbol outside", index, -1)
    return None


def _copy(text: str) -> str:
    """The same text in another string object."""
    return "".join(list(text))


def _made_up(seed: int):
    pick = random.Random(seed)
    names = [f".text.f{i}" for i in range(40)]
    sections = []
    for i in range(300):
        name = pick.choice(names)  # names repeat: a symbol may lie in any of its name's sections
        sections.append(Section(name if pick.random() < 0.5 else _copy(name), 0x1000 * i, pick.randrange(1, 0x800),
                                "flash"))
    symbols = []
    for _ in range(2000):
        section = pick.choice(sections)
        address = section.address + pick.randrange(0, section.size + 8)  # some run past its end
        size = pick.randrange(0, 16)
        label = pick.choice([section.name, _copy(section.name), pick.choice(names), ".unknown", None])
        symbols.append(Symbol(f"s{len(symbols)}", address, size, section=label,
                              alias_of="x" if pick.random() < 0.05 else None))
    return sections, symbols


@pytest.mark.parametrize("seed", range(6))
def test_the_symbol_outside_its_section_is_the_one_a_walk_by_name_finds(seed):
    sections, symbols = _made_up(seed)
    assert extent_fault([], sections, symbols) == _by_text(sections, symbols)
    inside = [s for s in symbols if _by_text(sections, [s]) is None]  # and with none outside: no fault
    assert len(inside) > 100 and extent_fault([], sections, inside) is None


def test_a_symbol_held_only_by_a_section_of_an_equal_name_in_another_string_is_inside():
    first, second = Section(".data", 0x100, 0x10, "ram"), Section(_copy(".data"), 0x200, 0x10, "ram")
    symbols = [Symbol("a", 0x204, 4, section=first.name), Symbol("b", 0x104, 4, section=second.name),
               Symbol("c", 0x20e, 4, section=first.name)]
    assert extent_fault([], [first, second], symbols) == ("symbol outside", 2, -1)
    assert extent_fault([], [first, second], symbols[:2]) is None


def test_a_symbol_list_that_iterates_its_own_way_is_checked_as_it_iterates():
    class Clipped(list):
        """Iterates all but its last item."""

        def __iter__(self):
            return iter(self[:-1])

    section = Section(".text", 0x100, 0x10, "flash")
    symbols = [Symbol("in", 0x100, 4, section=".text"), Symbol("out", 0x200, 4, section=".text")]
    assert extent_fault([], [section], list(symbols)) == ("symbol outside", 1, -1)
    assert extent_fault([], [section], Clipped(symbols)) is None
