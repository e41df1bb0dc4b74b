"""The Keil C51 reader's rows read one token at a time: blanks of every kind between the tokens,
figures at the edges of 64 bits, the rows it passes over or refuses, and the phrases it looks for
on every line (tests/vendor_maps holds the BL51 and LX51 listings)."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from tarnwick._native import read_c51_map
from tarnwick.app.cli import main
from tarnwick.toolchains import MapParseError, load_map
from tarnwick.toolchains.maps.keil_c51 import _OFFSET

OURS = Path(__file__).parent / "vendor_maps"
BL51, LX51 = "keil-bl51-xdata-bits.map", "keil-lx51-const-xdata.map"


def _contents(model) -> tuple:
    sections = [(s.name, s.address, s.size, s.execution_region, tuple((p.name, p.address, p.size, p.origin)
                                                                      for p in s.inputs)) for s in model.sections]
    symbols = [(s.name, s.address, s.size, s.object_file) for s in model.symbols]
    return sections, symbols, model.stated.regions


@pytest.fixture(scope="module")
def originals() -> dict:
    return {name: _contents(load_map(OURS / name)) for name in (BL51, LX51)}


def _written(tmp_path, name: str, text: str) -> Path:
    path = tmp_path / name
    path.write_bytes(text.encode())
    return path


def _changed(tmp_path, name: str, old: str, new: str) -> Path:
    text = (OURS / name).read_text()
    assert old in text
    return _written(tmp_path, name, text.replace(old, new))


@pytest.mark.parametrize("name", [BL51, LX51])
@pytest.mark.parametrize("blank", ["\t", " \t ", "\v", "\f", "\x1c", "\x1f"], ids=repr)
def test_columns_apart_by_any_blank_read_the_same(tmp_path, originals, name, blank):
    # every run of three spaces or more between two tokens: the memory map's, the symbol table's
    text = re.sub(r"(?<=\S) {3,}(?=\S)", blank, (OURS / name).read_text())
    assert _contents(load_map(_written(tmp_path, name, text))) == originals[name]


_MAIN = "  C:0112H         PUBLIC        main"


@pytest.mark.parametrize("written, read", [
    ("  C:0000000000000112H PUBLIC     main", True),  # sixteen digits, the most a figure has
    ("  C:00000000000000112H PUBLIC    main", False),  # seventeen
    ("  C:0112h         PUBLIC        main", False),
    ("  C:0112HH        PUBLIC        main", False),
    ("  C:H             PUBLIC        main", False),
    ("  C:0112H         LINE#         main", False),  # a row of another kind
])
def test_a_symbol_is_read_from_a_whole_figure_only(tmp_path, originals, written, read):
    model = load_map(_changed(tmp_path, BL51, _MAIN, written))
    sections, symbols, regions = _contents(model)
    expected_sections, expected_symbols, expected_regions = originals[BL51]
    assert (sections, regions) == (expected_sections, expected_regions)
    if read:
        assert symbols == expected_symbols
    else:  # main's bytes go to a symbol named after its segment; nothing else moves
        assert "main" not in {s[0] for s in symbols}
        assert [s for s in symbols if s[0] != "?PR?MAIN?MAIN"] == [s for s in expected_symbols if s[0] != "main"]


@pytest.mark.parametrize("prefix, space, value", [
    ("C", "C", 0), ("C", "C", (1 << 64) - 1), ("I", "D", 0xFF), ("D", "D", 0x7F), ("X", "X", 0xFFFF),
    ("X", "X", (1 << 64) - 1 - _OFFSET["X"]),  # the last that fits in 64 bits with its offset
    ("X", "X", (1 << 64) - _OFFSET["X"]), ("X", "X", (1 << 64) - 1),  # past them: added exactly all the same
])
def test_a_symbols_address_is_its_spaces_offset_plus_the_listed_one(prefix, space, value):
    text = (OURS / BL51).read_text().replace(_MAIN, f"  {prefix}:{value:X}H  PUBLIC  edge")
    *_, symbols, _sizes, _complete = read_c51_map(text.encode(), _OFFSET)
    names, addresses, spaces, modules, dummies = symbols
    assert (addresses[names.index("edge")], spaces[names.index("edge")]) == (value + _OFFSET[space], space)
    assert modules[names.index("edge")] == "MAIN" and dummies == names.count("_ICE_DUMMY_") == 2


@pytest.mark.parametrize("name, old, new, expected", [
    (BL51, "CODE    0112H     0045H     UNIT", "CODE    10000000000000112H     0045H     UNIT",
     "expected a segment row 'TYPE  BASE  LENGTH  RELOCATION  NAME'"),
    (BL51, "CODE    0112H     0045H     UNIT", "CODE    0112H     0045H.8   UNIT",
     "expected a segment row 'TYPE  BASE  LENGTH  RELOCATION  NAME'"),
    (LX51, "000003H   000050H   00004EH   BYTE", "000003H   000050H   00000000000000004EH   BYTE",
     "expected a segment row 'START  STOP  LENGTH  ALIGN  RELOC  CLASS  NAME'"),
    (LX51, "000003H   000050H   00004EH   BYTE", "000003H   0000G0H   00004EH   BYTE",
     "expected a segment row 'START  STOP  LENGTH  ALIGN  RELOC  CLASS  NAME'"),
])
def test_a_segment_row_with_a_bad_figure_is_refused_at_its_line(tmp_path, capsys, name, old, new, expected):
    path = _changed(tmp_path, name, old, new)
    number = next(n for n, line in enumerate(path.read_text().splitlines(), 1) if new in line)
    assert main(["analyze", str(path)]) == 2
    err = capsys.readouterr()[1]
    assert err == f"tarnwick: error: {path}:{number}: {expected}\n"


def test_a_segment_figure_of_sixteen_digits_is_read_as_the_shorter_one(tmp_path, originals):
    path = _changed(tmp_path, LX51, "000003H   000050H   00004EH   BYTE", "000003H   000050H   000000000000004EH   BYTE")
    assert _contents(load_map(path)) == originals[LX51]


@pytest.mark.parametrize("name, old, new, complete", [
    (BL51, "LINK/LOCATE RUN COMPLETE.", "LINK/LOCATE RUN COMPLETE", False),
    (BL51, "LINK/LOCATE RUN COMPLETE.", "LINK/LOCATE RUN  COMPLETE.", False),
    (LX51, "LX51 RUN COMPLETE.", "LX51 RUN COMPLETE", False),
    (BL51, "LINK/LOCATE RUN COMPLETE.", "RUN COMPLETE:. RUN COMPLETE.", True),  # after a false start
    (BL51, "LINK/LOCATE RUN COMPLETE.", "RUN COMPLETE.", True),  # the line's start
])
def test_the_closing_line_is_found_wherever_it_stands(tmp_path, originals, name, old, new, complete):
    path = _changed(tmp_path, name, old, new)
    if complete:
        assert _contents(load_map(path)) == originals[name]
    else:
        with pytest.raises(MapParseError, match="cut short: it does not end with its 'Program Size:' and 'RUN COMPLETE'"):
            load_map(path)


@pytest.mark.parametrize("heading", ["INVOKED BY:", "BL51 BANKED LINKER/LOCATER V6.22, INVOKED BY:  "])
def test_the_command_line_follows_its_heading_wherever_the_words_stand(tmp_path, heading):
    # RAMSIZE (128) on the command line sizes the internal RAM; without it, the 8051's 256 bytes
    path = _changed(tmp_path, BL51, "BL51 BANKED LINKER/LOCATER V6.22, INVOKED BY:", heading)
    assert {r.name: r.length for r in load_map(path).memory_regions}["IRAM"] == 128
    lost = _changed(tmp_path, BL51, "BL51 BANKED LINKER/LOCATER V6.22, INVOKED BY:", "INVOKED BY")
    assert {r.name: r.length for r in load_map(lost).memory_regions}["IRAM"] == 256


def _reads(reader: str):
    """A native line reader's call, with the arguments its Python side gives it."""
    from tarnwick import _native
    from tarnwick.toolchains.base import InputSection

    extra = {"read_c51_map": (_OFFSET,), "read_iar_map": (InputSection,)}.get(reader, ())
    return lambda data: getattr(_native, reader)(data, *extra)


def _first_nul_line(data: bytes) -> int:
    """The number of the line holding the first NUL byte: "\\n", "\\r\\n" or a lone "\\r" ends a line."""
    before = data[:data.index(b"\0")].replace(b"\r\n", b"\n").replace(b"\r", b"\n")
    return before.count(b"\n") + 1


@pytest.mark.parametrize("reader, name", [("read_c51_map", BL51), ("read_c51_map", LX51),
                                          ("read_xc8_map", "xc8-pic16f877a.map"),
                                          ("read_iar_map", "iar-arm8-init-by-copy.map")])
@pytest.mark.parametrize("where", ["first", "middle", "last", "after_cr", "twice"])
def test_a_nul_byte_is_refused_at_the_line_that_holds_the_first(reader, name, where):
    data = (OURS / name).read_bytes()
    lines = data.split(b"\n")
    middle = len(lines) // 2
    if where == "first":
        data = b"\0" + data
    elif where == "middle":
        lines[middle] = lines[middle][:4] + b"\0" + lines[middle][4:]
        data = b"\n".join(lines)
    elif where == "last":  # on a last line that no newline ends
        data = data.rstrip(b"\n") + b"\nend\0"
    elif where == "after_cr":  # the lines before end in a lone carriage return
        lines[middle] = lines[middle] + b"\r\0"
        data = b"\n".join(lines)
    else:
        lines[middle] = b"\0" + lines[middle]
        lines[middle + 2] = b"\0" + lines[middle + 2]
        data = b"\n".join(lines)
    with pytest.raises(ValueError) as caught:
        _reads(reader)(data)
    assert caught.value.args == ("binary data inside the map", _first_nul_line(data))
