"""The IAR ILINK reader's rows held natively (read_iar_map, iar_runs, iar_holes): each input
section's origin as the map's module and library references name it, and the bytes of a part
of the placement summary that no row covers."""

import re

import pytest

from tarnwick._native import iar_holes, iar_runs, read_iar_map
from tarnwick.toolchains.base import InputSection
from tarnwick.toolchains.maps.iar_ilink import _archives

_LIBRARIES = {"1": "C:\\work\\fw\\Debug\\Obj", "2": "C:\\IAR\\arm\\lib\\dl7M_tlf.a", "3": "/opt/iar/lib/m7M_tls.LIB"}


def _map(rows: list) -> bytes:
    """A small map whose P2 part holds `rows` (address, size, module), with alignment between them."""
    end = max(address + size for address, size, _ in rows) + 4
    lines = ["# IAR ELF Linker V9.50.1.380/W64 for ARM", "", "*** PLACEMENT SUMMARY", "",
             '"P2":  place in [from 0x2000\'0000 to 0x2000\'ffff] { rw };', "",
             "  Section            Kind         Address    Size  Object",
             "  -------            ----         -------    ----  ------",
             f'"P2":                                      {end - 0x2000_0000:#x}']
    lines += [f"  .bss               zero     0x{address >> 16:x}'{address & 0xffff:04x}  {size:#6x}  {module}"
              for address, size, module in rows]
    lines += [f"                           - 0x{end >> 16:x}'{end & 0xffff:04x}  {end - 0x2000_0000:#x}", ""]
    lines += [f"[{reference}] = {where}" for reference, where in _LIBRARIES.items()]
    lines += ["", "  16 bytes of readwrite data memory", "", "Errors: none", ""]
    return "\n".join(lines).encode()


def _origin_as_named(module: str):
    """How the map names a module's origin (the library references of _LIBRARIES)."""
    if module.startswith("<") or module == "- Linker created -":
        return "linker created"
    name, _, reference = module.rpartition(" [")
    if not reference.endswith("]"):
        return module or None
    where = _LIBRARIES.get(reference[:-1], "")
    file_name = re.split(r"[/\\]", where)[-1]
    return f"{file_name}({name})" if where.lower().endswith((".a", ".lib")) else name


@pytest.mark.parametrize("module", ["main.o [1]", "fpinit_M.o [2]", "sqrt.o [3]", "<Block tail>",
                                    "- Linker created -", "odd]", "stray.o [9]", "caf\u00e9.o [2]", "spaced name.o [1]",
                                    "x [2] y.o [1]"])
def test_an_input_sections_origin_is_what_its_module_and_references_name(module):
    rows = [(0x2000_0000, 4, "main.o [1]"), (0x2000_0008, 4, module)]
    (_target, _directives, held, count, parts, *_rest) = read_iar_map(_map(rows), InputSection)
    assert count == 2
    runs = iar_runs(held, _archives(_LIBRARIES))
    inputs = [part for _name, _kind, _address, parts_of_run, _end in runs for part in parts_of_run]
    assert [(part.address, part.size) for part in inputs] == [(a, s) for a, s, _ in rows]
    assert inputs[1].origin == _origin_as_named(module)
    assert runs[-1][4] == 0x2000_000c  # the run's end: its last byte's


@pytest.mark.parametrize("rows, covered, expected", [
    ([(0x2000_0000, 4, "a.o [1]"), (0x2000_0008, 4, "b.o [1]")], 8,
     [(0x2000_0004, 0x2000_0008), (0x2000_000c, 0x2000_0010)]),
    ([(0x2000_0008, 4, "b.o [1]"), (0x2000_0000, 2, "a.o [1]"), (0x2000_0000, 6, "c.o [1]")], 10,
     [(0x2000_0006, 0x2000_0008), (0x2000_000c, 0x2000_0010)]),  # rows out of order, one inside another
    ([(0x2000_0002, 0x10, "a.o [1]")], 0x10, [(0x2000_0000, 0x2000_0002), (0x2000_0012, 0x2000_0016)]),
])
def test_the_holes_of_a_part_are_the_bytes_no_row_covers(rows, covered, expected):
    (_target, _directives, held, _count, parts, *_rest) = read_iar_map(_map(rows), InputSection)
    (_block, _heading, first, past, end, size), = parts
    holes = iar_holes(held, first, past, end - size, end)
    assert holes == expected
    assert sum(high - low for low, high in holes) + covered == size  # every byte of the part, once


def _summary(rows: list) -> bytes:
    """A map whose P1 part holds `rows`, each its own line as given."""
    lines = ["# IAR ELF Linker V9.50.1.380/W64 for ARM", "", "*** PLACEMENT SUMMARY", "",
             '"P1":  place in [from 0x0 to 0xffff] { ro };', "",
             "  Section            Kind         Address    Size  Object",
             "  -------            ----         -------    ----  ------", '"P1":                      0x30', *rows,
             "                           - 0x30  0x30", "", "[1] = C:\\work\\Obj", "", "  48 bytes of readonly  code memory",
             "", "Errors: none", ""]
    return "\n".join(lines).encode()


def _runs_of(rows: list) -> list:
    (_target, _directives, held, count, *_rest) = read_iar_map(_summary(rows), InputSection)
    assert count == len(rows)
    return [(name, kind, address, end, tuple((part.name, part.address, part.size, part.origin) for part in parts))
            for name, kind, address, parts, end in iar_runs(held, {})]


# (section name, kind, module): tokens a row's blanks part
ROWS = [(".text", "ro code", "main.o [1]"), ("P1 s0", "const", "lib x.o [1]"), (".data_init", "rw data", "- Linker created -")]


@pytest.mark.parametrize("blank", [" ", "  ", "\t", " \t ", "\x0c"], ids=["one space", "two", "tab", "mixed", "form feed"])
def test_a_rows_texts_are_its_tokens_one_space_apart_whatever_the_blanks(blank):
    def row(at: int, fields: tuple, between: str) -> str:
        name, kind, module = (between.join(part.split(" ")) for part in fields)
        return f"  {name}{between}{kind}   0x{at:x}  0x10{between}{module}"
    single = _runs_of([row(0x10 * index, fields, " ") for index, fields in enumerate(ROWS)])
    assert _runs_of([row(0x10 * index, fields, blank) for index, fields in enumerate(ROWS)]) == single
    assert [run[0:2] for run in single] == [(".text", "ro code"), ("P1 s0", "const"), (".data_init", "rw data")]
    assert [run[4][0][3] for run in single] == ["main.o", "lib x.o", "linker created"]
