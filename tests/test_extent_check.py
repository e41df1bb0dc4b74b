"""The native extent check finds a symbol's section by its name string object first and by the
name's text after: what it finds must be what a plain walk over the sections by text finds. And
figures that add up to more than an address space holds are refused (the passes add bytes up in
64 bits), those just under it added up exactly."""

from __future__ import annotations

import json
import random

import pytest

from tarnwick._native import extent_fault
from tarnwick.app.cli import main
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


def _map(*sections) -> str:
    """A GNU ld map of `sections`: (name, address, size, [(input name, address, size), ...])."""
    lines = ["Memory Configuration", "", "Name             Origin             Length             Attributes",
             "ALL              0x0000000000000000 0xffffffffffffffff xrw",
             "*default*        0x0000000000000000 0xffffffffffffffff", "", "Linker script and memory map", ""]
    for name, address, size, inputs in sections:
        lines.append(f"{name:<15} {address:#018x} {size:#x}")
        for input_name, at, length in inputs:
            lines += [f" {input_name:<14} {at:#018x} {length:#x} a.o",
                      f"                {at:#018x}                {input_name[1:]}"]
    return "\n".join(lines + ["OUTPUT(big.elf elf64-x86-64)", ""])


HALF = 1 << 62
TOGETHER = {  # kind: (map, the record at which they pass it)
    "sections": (_map((".data", 0, HALF, [(".data.a", 0, HALF)]), (".bss", 1 << 63, HALF, [(".bss.b", 1 << 63, HALF)])),
                 f".bss at 0x8000000000000000, {HALF:,} bytes"),
    "input sections": (_map((".data", 0, HALF + 16, [(".data.a", 0, HALF), (".data.b", 16, HALF)])),
                       f".data.b at 0x10, {HALF:,} bytes"),
}


@pytest.mark.parametrize("kind", TOGETHER)
def test_figures_that_add_up_past_what_an_address_space_holds_are_refused(tmp_path, capsys, kind):
    path = tmp_path / "big.map"
    text, crossing = TOGETHER[kind]
    path.write_text(text)
    code = main(["analyze", str(path), "--no-elf"])
    out, err = capsys.readouterr()
    assert code == 2 and not out
    assert err.splitlines() == [
        f"tarnwick: error: {path}: its {kind} take 2^63 bytes or more together (with {crossing}), more than an "
        "address space holds"]


def test_figures_just_under_what_an_address_space_holds_add_up_exactly(tmp_path, capsys):
    path = tmp_path / "under.map"
    path.write_text(_map((".data", 0, HALF - 1, [(".data.a", 0, HALF - 1)]),
                         (".bss", 1 << 63, HALF - 1, [(".bss.b", 1 << 63, HALF - 1)])))
    code = main(["analyze", str(path), "--no-elf", "--format", "json"])
    out, err = capsys.readouterr()
    assert code == 0, err
    report = json.loads(out)
    assert sum(s["size"] for s in report["symbols"]) == 2 * (HALF - 1) == (1 << 63) - 2


@pytest.mark.parametrize("sizes, fault", [([HALF, HALF - 1], None), ([HALF, HALF], ("symbols together", 1, -1)),
                                          ([HALF - 1, HALF - 1, 2], ("symbols together", 2, -1))])
def test_symbols_that_add_up_past_what_an_address_space_holds_are_the_fault(sizes, fault):
    sections = [Section(".data", 0, (1 << 63) - 1, "ram")]
    symbols = [Symbol(f"s{index}", 0, size, section=".data") for index, size in enumerate(sizes)]
    assert extent_fault([], sections, symbols) == fault
