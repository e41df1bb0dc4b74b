"""The SDCC and XC8 readers hand their symbols to size_placed_symbols as the columns (names,
addresses) rather than a row (name, address, None, "global") per symbol, TI's and IAR ILINK's as
(names, addresses, sizes, bindings), a size or binding that is one object for all standing for its
column: the records made from the columns must be the ones the rows make, on real maps and on
made-up edge rows."""

from __future__ import annotations

from pathlib import Path

import pytest

from tarnwick._native import size_placed_symbols
from tarnwick.toolchains import load_map
from tarnwick.toolchains.base import InputSection, Section, Symbol, split_origin
from tarnwick.toolchains.maps import vendor_maps

HERE = Path(__file__).resolve().parent
SHARED = HERE.parents[1] / "shared" / "vendormaps"
MAPS = sorted({*(HERE / "conformance" / "maps").glob("sdcc-*.map"), *(HERE / "vendor_maps").glob("xc8-*.map"),
               *(HERE / "vendor_maps").glob("ti-*.map"), *(HERE / "vendor_maps").glob("iar-arm*.map"),
               *(HERE / "vendor_maps").glob("iar-stm8*.map"),
               *SHARED.glob("sdcc-*.map"), *SHARED.glob("xc8-*.map"), *SHARED.glob("ti-*.map"),
               *SHARED.glob("iar-arm*.map"), *SHARED.glob("iar-stm8*.map")})
FIELDS = ("name", "address", "size", "section", "object_file", "archive", "size_derived", "alias_of", "size_source",
          "binding", "source")


def fields(records: list) -> list:
    return [tuple(getattr(record, field) for field in FIELDS) for record in records]


def as_rows(columns: tuple) -> list:
    """The rows the readers made before: RawSymbol's fields, (name, address, size, binding); the
    pair's symbols are global, of no stated size."""
    names, addresses, sizes, bindings = columns if len(columns) == 4 else (*columns, None, "global")
    count = len(names)
    sizes = sizes if isinstance(sizes, list) else [sizes] * count
    bindings = bindings if isinstance(bindings, list) else [bindings] * count
    return list(zip(names, addresses, sizes, bindings))


@pytest.mark.parametrize("path", MAPS, ids=lambda path: path.name)
def test_a_readers_columns_size_as_its_rows_did(path, monkeypatch):
    calls = []

    def both(sections, symbols, *rest):
        made = size_placed_symbols(sections, symbols, *rest)
        calls.append((symbols, fields(made), fields(size_placed_symbols(sections, as_rows(symbols), *rest))))
        return made

    monkeypatch.setattr(vendor_maps, "size_placed_symbols", both)
    model = load_map(path)
    (symbols, from_columns, from_rows), = calls
    assert isinstance(symbols, tuple) and len(symbols[0]) == len(symbols[1]) > 0
    assert all(len(column) == len(symbols[0]) for column in symbols[2:] if isinstance(column, list))
    assert from_columns == from_rows
    assert fields(model.symbols) == from_columns


def part(name: str, address: int, size: int, origin: str = "main.rel", code: bool = True) -> Section:
    return Section(name, address, size, None, has_contents=code, is_code=code,
                   inputs=(InputSection(name, address, size, origin),), is_writable=not code)


SECTIONS = [part("CSEG", 0x100, 0x40), part("XSEG", 0x2000_0000, 0x10, "lib.lib(io.rel)", code=False),
            part("EMPTY", 0x300, 0)]
EDGES = {
    "aliases at one address": (["_a", "_b", "_c"], [0x100, 0x100, 0x120]),
    "two parts' symbols interleaved": (["_x1", "_c1", "_x2", "_c2"], [0x2000_0000, 0x110, 0x2000_0008, 0x100]),
    "out of address order": (["_late", "_early"], [0x130, 0x104]),
    "on a part's last byte and just past it": (["_last", "_past"], [0x13F, 0x140]),
    "outside every part": (["_below", "_above"], [0x10, 0x1_0000_0000]),
    "past 64 bits": (["_far"], [1 << 70]),
    "names not ASCII": (["_gr\u00fc\u00dfe", "_\u6f22"], [0x2000_0000, 0x2000_0004]),
    "a part named after its symbol": (["CSEG"], [0x100]),
    "none": ([], []),
}


def four_columns(names: list, addresses: list, form: str) -> tuple:
    """The columns of `names` and `addresses` with sizes and bindings in one of their forms."""
    count = len(names)
    sizes = [(4 * (index + 1)) % 0x50 for index in range(count)]  # some past their part's end
    bindings = [("global", "local", "weak", None)[index % 4] for index in range(count)]
    return {"none, none": (names, addresses, None, None), "none, weak": (names, addresses, None, "weak"),
            "sized, bound": (names, addresses, sizes, bindings), "none, bound": (names, addresses, None, bindings),
            "sized, none": (names, addresses, sizes, None)}[form]


FORMS = ("pair", "none, none", "none, weak", "sized, bound", "none, bound", "sized, none")


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("names, addresses", EDGES.values(), ids=EDGES.keys())
def test_made_up_columns_size_as_rows(names, addresses, form):
    columns = (list(names), list(addresses)) if form == "pair" else four_columns(list(names), list(addresses), form)
    given = tuple(list(column) if isinstance(column, list) else column for column in columns)
    sized = form.startswith("sized")
    made = size_placed_symbols(SECTIONS, columns, sized, False, Symbol, split_origin)
    assert fields(made) == fields(size_placed_symbols(SECTIONS, as_rows(columns), sized, False, Symbol, split_origin))
    assert columns == given  # read, never changed
    # every byte of the parts holding bytes is counted once, with or without symbols
    assert sum(record.size for record in made if record.alias_of is None) == 0x40 + 0x10


@pytest.mark.parametrize("symbols, message", [
    ((["_a", "_b"], [0x100]), "two lists of one length"),
    ((("_a",), [0x100]), "two lists of one length"),
    (([b"_a"], [0x100]), "name must be str"),
    ((["_a"], ["0x100"]), "must be an int"),
    (("_a", 0x100, None), "list of rows or the columns"),
    ((["_a", "_b"], [0x100, 0x104], [4], None), "lists of one length"),
    ((["_a"], [0x100], None, ["global", "weak"]), "lists of one length"),
    ((["_a"], [0x100], 4, None), "sizes: or None"),
    ((["_a"], [0x100], ("4",), None), "sizes: or None"),
    ((["_a"], [0x100], ["4"], None), "must be an int"),
    ((["_a"], (0x100,), None, None), "lists of one length"),
])
def test_columns_that_are_not_two_lists_of_names_and_addresses_are_refused(symbols, message):
    with pytest.raises(TypeError, match=message):
        size_placed_symbols(SECTIONS, symbols, False, False, Symbol, split_origin)
