"""The native walks that replaced Python loops over every input section and symbol give what the
loops gave, on every map of the tests and ../shared (with their ELF files), and refuse records
of the wrong shape with a TypeError; and the earlier side of a diff read from a stored report
keeps everything the comparison takes from it."""

from pathlib import Path
from types import SimpleNamespace

import pytest

from tarnwick._native import input_spans, padding_bytes, reserved_bytes, unnamed_groups
from tarnwick.analysis.stated_totals import disputes
from tarnwick.compare.builds import read_build
from tarnwick.config import TarnwickConfig
from tarnwick.render.ledger import _LINKER_MADE, _holder, _symbol_bytes
from tarnwick.support.origins import split_origin
from tarnwick.toolchains import AUTO, load_map

HERE = Path(__file__).resolve().parent
MAPS = sorted({*HERE.glob("conformance/maps/*.map"), *HERE.glob("vendor_maps/*.map"),
               *(HERE.parents[1] / "shared").glob("realmaps/*.map"), *(HERE.parents[1] / "shared").glob("vendormaps/*.map")})


def _models():
    for path in MAPS:
        try:
            yield path, load_map(path, elf=AUTO)
        except ValueError:  # a map some test reads as bad input
            continue


@pytest.fixture(scope="module")
def models():
    return list(_models())


def _spans_by_loop(sections) -> dict:
    inputs: dict = {}
    for section in sections:
        parts = sorted((part.address, part.address + part.size, part.name, section.name, *split_origin(part.origin))
                       for part in section.inputs if not part.is_fill and part.size)
        if parts:
            inputs[section.name] = parts
    return inputs


def _bytes_symbol_by_symbol(symbols, sections) -> tuple:
    """What the ledger must find, from the definition: each symbol holding bytes counts in the
    section of its name (of several of one name, the one holding its address), named or not,
    and the unnamed by whether the linker made them."""
    places: dict = {}
    for index, section in enumerate(sections):
        places.setdefault(section.name, []).append(index)
    named: dict = {}
    unnamed: dict = {}
    for symbol in symbols:
        if symbol.size <= 0 or symbol.alias_of is not None or symbol.section not in places:
            continue
        candidates = places[symbol.section]
        index = candidates[0] if len(candidates) == 1 else _holder(sections, candidates, symbol.address)
        if symbol.binding != "unnamed":
            named[index] = named.get(index, 0) + symbol.size
            continue
        kinds = unnamed.setdefault(index, {})
        made = bool(symbol.object_file and _LINKER_MADE.match(symbol.object_file))
        kinds[made] = kinds.get(made, 0) + symbol.size
    return named, unnamed


def test_input_spans_equal_the_sorted_loop_on_every_map(models):
    assert len(models) > 20
    for path, model in models:
        assert input_spans(model.sections, split_origin) == _spans_by_loop(model.sections), path.name


@pytest.mark.parametrize("starts", [
    [0, 4, 8, 12], [8, 4, 0], [0, 4, 4, 8], [4, 4, 4], [2**64 - 8, 2**64, 2**64 + 8], [2**64 + 8, 2**64],
    [-8, -4, 0], [0, -4], [0, 2**63, 2**64 - 1], [16, 4, 8, 32, 0],
], ids=["rising", "falling", "two at one address", "all at one", "past 64 bits", "past 64 bits falling",
        "negative", "negative after", "64-bit edges", "shuffled"])
def test_input_spans_are_sorted_whatever_the_order_read(starts):
    parts = [SimpleNamespace(name=f".text.f{index % 2}", address=start, size=8 - index % 3, origin=f"lib{index}.a(m.o)",
                             is_fill=False) for index, start in enumerate(starts)]
    sections = [SimpleNamespace(name=".text", inputs=parts)]
    assert input_spans(sections, split_origin) == _spans_by_loop(sections)


@pytest.mark.parametrize("copies", [1, 2], ids=["as linked", "every section name shared"])
def test_the_ledgers_symbol_bytes_are_those_of_each_symbol(models, copies):
    for path, model in models:
        sections = model.sections * copies  # twice over: every name is two sections' (IAR's two .text)
        named, unnamed = _symbol_bytes(model.symbols, sections)
        expected_named, expected_unnamed = _bytes_symbol_by_symbol(model.symbols, sections)
        assert {i: b for i, b in named.items() if b} == expected_named, path.name
        assert unnamed == expected_unnamed, path.name


def _reserved_by_loop(inputs):
    return sum(part.size for part in inputs if part.is_reservation)


def _padding_by_loop(inputs):
    return sum(part.size for part in inputs if part.is_fill and not part.is_reservation)


def test_reserved_and_padding_bytes_are_the_loops_on_every_map(models):
    for path, model in models:
        for section in model.sections:
            assert reserved_bytes(section.inputs) == _reserved_by_loop(section.inputs), (path.name, section.name)
            assert padding_bytes(section.inputs) == _padding_by_loop(section.inputs), (path.name, section.name)


def test_reserved_and_padding_bytes_take_flags_by_their_truth_and_sizes_beyond_64_bits():
    part = SimpleNamespace
    inputs = [part(is_fill=True, is_reservation=False, size=2), part(is_fill=True, is_reservation=True, size=0x100),
              part(is_fill=False, is_reservation=1, size=2**70), part(is_fill=1, is_reservation=0, size=3),
              part(is_fill=0, is_reservation=None, size=5), part(is_fill=True, is_reservation=[], size=-7)]
    assert reserved_bytes(inputs) == _reserved_by_loop(inputs) == 0x100 + 2**70
    assert padding_bytes(inputs) == _padding_by_loop(inputs) == 2 + 3 - 7
    assert reserved_bytes(iter(inputs)) == 0x100 + 2**70  # any iterable
    assert reserved_bytes([]) == padding_bytes([]) == 0
    with pytest.raises(AttributeError):  # as the loop: a part without the flag
        reserved_bytes([part(is_fill=True, size=1)])
    with pytest.raises(TypeError):
        reserved_bytes([part(is_reservation=True, size="4")])


def test_groups_are_told_apart_by_value_and_by_address_where_shared():
    text = SimpleNamespace
    symbols = [text(binding="unnamed", section=".text", size=4, alias_of=None, object_file="a.o", address=0x10),
               text(binding="unnamed", section="".join([".te", "xt"]), size=6, alias_of=None,
                    object_file="".join(["a", ".o"]), address=0x20),  # equal texts, other objects
               text(binding="global", section=".data", size=8, alias_of=None, object_file="b.o", address=0x100),
               text(binding="global", section=".data", size=2, alias_of=None, object_file="b.o", address=0x104),
               text(binding="global", section=".data", size=3, alias_of="x", object_file="b.o", address=0x104),
               text(binding="unnamed", section=".bss", size=0, alias_of=None, object_file="c.o", address=0x200),
               text(binding="unnamed", section=".nowhere", size=5, alias_of=None, object_file="c.o", address=0)]
    places = {".text": [0], ".data": [1, 2], ".bss": [3]}
    assert unnamed_groups(symbols, {".data"}, places) == [
        (".text", True, "a.o", None, 10), (".data", False, "b.o", 0x100, 8), (".data", False, "b.o", 0x104, 2)]


@pytest.mark.parametrize("bad, problem", [
    (dict(size="4"), TypeError), (dict(binding=object()), None), (dict(section=[".text"]), TypeError),
], ids=["size not a number", "binding of another type", "section unhashable"])
def test_records_of_the_wrong_shape_are_refused(bad, problem):
    fields = dict(binding="unnamed", section=".text", size=4, alias_of=None, object_file="a.o", address=0)
    symbol = SimpleNamespace(**{**fields, **bad})
    if problem is None:  # compared as the interpreter compares: not equal, so not unnamed
        assert unnamed_groups([symbol], set(), {".text": [0]}) == []
        return
    with pytest.raises(problem):
        unnamed_groups([symbol], {".data"}, {".text": [0]})
    part = SimpleNamespace(name=".text", address="0", size=4, origin="a.o", is_fill=False)
    with pytest.raises(TypeError):
        input_spans([SimpleNamespace(name=".text", inputs=[part])], split_origin)
    with pytest.raises(TypeError):  # a splitter that gives no pair
        input_spans([SimpleNamespace(name=".text", inputs=[SimpleNamespace(**{**vars(part), "address": 0})])],
                    lambda origin: (origin,))


def test_a_stored_earlier_side_keeps_what_the_comparison_takes(tmp_path):
    from tarnwick.app.cli import main

    source = HERE.parent / "examples" / "firmware" / "maps" / "gnu_ld_ram_overflow.map"
    stored = tmp_path / "earlier.json"
    assert main(["analyze", str(source), "--format", "json", "--output", str(stored)]) in (0, 1)
    whole = read_build(stored, TarnwickConfig())
    light = read_build(stored, TarnwickConfig(), whole=False)
    assert whole.report.symbols and not light.report.symbols and not light.report.sections
    tables = lambda footprint: {**vars(footprint), "input_bounds": footprint.input_bounds()}  # noqa: E731
    assert tables(light.footprint) == tables(whole.footprint)
    assert light.report.summary == whole.report.summary
    assert disputes(light.report) == disputes(whole.report)
    assert light.stack_document() == whole.stack_document()
