"""The per-origin and per-symbol loops made native for large builds (origin_groups, the sort of
the report's symbols, the stack-file probe, the builder's input-name tests) give what the Python
loops they replaced gave, on every map of the tests and ../shared and on made-up rows covering
each way an origin is named, and refuse rows of another shape with a TypeError."""

import heapq
import posixpath
import random
import sys
from pathlib import Path
from types import SimpleNamespace

import pytest

from test_native_walks import models  # noqa: F401 (the module's fixture: every map read once)

from tarnwick._native import origin_groups, origin_names, sorted_by_size, totals_by_origin
from tarnwick.analysis import stack_units
from tarnwick.analysis.component_grouping import UNATTRIBUTED, component_of, group_symbols_by_component
from tarnwick.analysis.symbol_breakdown import top_object_archive_contributors
from tarnwick.config import TarnwickConfig
from tarnwick.render.breakdown import NO_REGION, region_tops, section_regions
from tarnwick.render.ledger import NO_ARCHIVE, RegionLedger, _archives
from tarnwick.support.origins import UNKNOWN_ORIGIN, contributor_name
from tarnwick.support.symbol_list import SymbolList, named_origin_totals, origin_totals
from tarnwick.toolchains import load_map
from tarnwick.toolchains.building import builder


def _named(totals, name_of, group_of=None, fallback=None) -> tuple:
    """What origin_groups must give with no limit, by the loops it replaced: ({group: {name:
    bytes}}, {name: symbols})."""
    groups: dict = {}
    counts: dict = {}
    for (object_file, archive), _size, count, sections in totals:
        name = name_of(object_file, archive)
        counts[name] = counts.get(name, 0) + count
        for section, size in sections:
            group = section if group_of is None else group_of.get(section, fallback)
            table = groups.setdefault(group, {})
            table[name] = table.get(name, 0) + size
    return groups, counts


def _archive_name(_object_file, archive):  # the ledger's archives, as its loop named them
    return posixpath.basename(archive.replace("\\", "/")) if archive else NO_ARCHIVE


NAMINGS = {"contributor": (contributor_name, UNKNOWN_ORIGIN), "archive": (_archive_name, NO_ARCHIVE),
           "component": (lambda o, a: component_of(o, a, []), UNATTRIBUTED)}


def _check(totals, naming, group_of=None, fallback=None, limit=3) -> None:
    name_of, absent = NAMINGS[naming]
    groups, counts = _named(totals, name_of, group_of, fallback)
    every, found = origin_groups(totals, naming, absent, group_of, fallback, -1, True)
    assert found == counts and list(found) == list(counts)
    assert {group: dict(rows) for group, rows in every.items()} == groups and list(every) == list(groups)
    assert [list(dict(rows)) for rows in every.values()] == [list(table) for table in groups.values()]  # as first met
    largest = origin_groups(totals, naming, absent, group_of, fallback, limit, False)
    assert largest == {group: heapq.nsmallest(limit, table.items(), key=lambda item: (-item[1], item[0]))
                       for group, table in groups.items()}
    # the rows named once ahead, as a pass asking twice names them: the same groups, and with a
    # limit the counts of the names shown
    names = origin_names(totals, naming, absent)
    assert names == [name_of(object_file, archive) for (object_file, archive), *_ in totals]
    assert origin_groups(totals, names, absent, group_of, fallback, -1, True) == (every, found)
    shown, shown_counts = origin_groups(totals, names, absent, group_of, fallback, limit, True)
    assert shown == largest
    assert shown_counts == {name: counts[name] for rows in largest.values() for name, _ in rows}


@pytest.mark.parametrize("naming", sorted(NAMINGS))
def test_the_groups_are_those_of_the_loops_on_every_map(models, naming):  # noqa: F811
    for path, model in models:
        totals = origin_totals(model.symbols)
        regions = {section.name: section.execution_region or NO_REGION for section in model.sections}
        _check(totals, naming)
        _check(totals, naming, regions, NO_REGION, limit=10)
        _check(totals, naming, {}, None, limit=25)


def test_the_passes_over_origins_are_those_of_their_loops_on_every_map(models):  # noqa: F811
    for path, model in models:
        totals = origin_totals(model.symbols)
        sizes: dict = {}
        for (object_file, archive), size, count, sections in totals:
            assert size == sum(bytes_ for _section, bytes_ in sections), path.name  # what the passes add up
            sizes[contributor_name(object_file, archive)] = sizes.get(contributor_name(object_file, archive), 0) + size
        top = top_object_archive_contributors(model.symbols, limit=25)
        assert [(e.name, e.size) for e in top] == heapq.nsmallest(25, sizes.items(), key=lambda i: (-i[1], i[0]))
        named = {e.name: e.symbol_count for e in group_symbols_by_component(model.symbols, TarnwickConfig(),
                                                                             section_category_by_name={})}
        assert named == _named(totals, NAMINGS["component"][0])[1], path.name


ROWS = [  # ((object_file, archive), bytes, count, ((section, bytes), ...))
    (("src/a.o", "lib/libx.a"), 12, 2, ((".text", 8), (".data", 4))),
    (("b.o", "C:\\sdk\\lib/liby.a"), 8, 1, ((".text", 8),)),
    (("src\\drv\\uart.o", None), 8, 3, ((".text", 5), (None, 3))),
    (("/top.o", None), 4, 1, ((".rodata", 4),)),
    (("//twice.o", ""), 4, 1, ((".rodata", 4),)),
    (("a//b/c.o", None), 4, 1, ((".bss", 4),)),
    (("plain.o", None), 0, 1, ((".text", 0),)),  # no bytes: still named and counted
    ((None, "lib/libx.a"), 2, 1, ((".text", 2),)),
    (("", "lib/.a"), 2, 1, ((".text", 2),)),
    ((None, None), 6, 2, ((".text", 6),)),
    (("", ""), 1, 1, ((".data", 1),)),
    (("ünïcode/wörk.o", "lïb/libß.a"), 8, 1, ((".text", 8),)),
    (("ünïcode/wörk.o", "other/libß.a"), 8, 1, ((".text", 8),)),  # the same name from another folder
    (("\U0001f600/e.o", None), 8, 1, ((".text", 8),)),
    (("libx.a(src/a.o)", None), 1, 1, ((".text", 1),)),  # an object named as a member is: one name
]


@pytest.mark.parametrize("naming", sorted(NAMINGS))
@pytest.mark.parametrize("grouping", ["by section", "by region", "one group"])
def test_made_up_rows_name_and_order_as_the_loops(naming, grouping):
    group_of, fallback = {"by section": (None, None), "by region": ({".text": "FLASH", ".data": "RAM"}, NO_REGION),
                          "one group": ({}, None)}[grouping]
    for limit in (0, 1, 3, 100):  # ties of bytes (8, 4) go by name
        _check(ROWS, naming, group_of, fallback, limit)
    _check([], naming, group_of, fallback)


def test_the_passes_read_the_folded_groups():
    symbol = lambda name, size, section, object_file, archive=None: SimpleNamespace(  # noqa: E731
        name=name, size=size, section=section, object_file=object_file, archive=archive, alias_of=None,
        address=0, binding="global", size_source="map", contributor=contributor_name(object_file, archive))
    symbols = [symbol("f", 8, ".text", "a.o", "lib/libx.a"), symbol("g", 8, ".text", "b.o"),
               symbol("h", 4, ".data", "b.o"), symbol("i", 3, ".bss", "c.o", "lib/liby.a")]
    section = lambda name, region: SimpleNamespace(name=name, execution_region=region, load_region=None,  # noqa: E731
                                                   size=16, address=0, has_contents=True, inputs=[], padding_bytes=0)
    report = SimpleNamespace(symbols=symbols, sections=[section(".text", "FLASH"), section(".data", "RAM"),
                                                        section(".bss", None)],
                             regions=[SimpleNamespace(name="FLASH", length=64, origin=0, used_bytes=16),
                                      SimpleNamespace(name="RAM", length=64, origin=0x100, used_bytes=16)])
    tops = {top.region: [(e.name, e.size) for e in top.objects] for top in region_tops(report, limit=1)}
    assert tops == {"FLASH": [("b.o", 8)], "RAM": [("b.o", 4)], NO_REGION: [("liby.a(c.o)", 3)]}
    assert section_regions(report)[".bss"] == NO_REGION
    assert _ledger_archives(report, symbols) == {"FLASH": [("(no archive)", 8), ("libx.a", 8)], "RAM": [("(no archive)", 4)],
                                                 NO_REGION: [("liby.a", 3)]}


def _ledger_archives(report, symbols) -> dict:
    books = {region: RegionLedger(region, 0) for region in [*(r.name for r in report.regions), NO_REGION]}
    _archives(books, report, symbols)
    return {region: book.archives for region, book in books.items()}


def test_the_ledgers_archives_are_those_of_their_loop_on_every_map(models):  # noqa: F811
    for path, model in models:
        report = SimpleNamespace(sections=model.sections, regions=model.memory_regions)
        regions = section_regions(report)
        by_region, _counts = _named(origin_totals(model.symbols), _archive_name, regions, NO_REGION)
        expected = {region: sorted(table.items(), key=lambda item: (-item[1], item[0]))
                    for region, table in by_region.items()}
        found = _ledger_archives(report, model.symbols)
        assert {region: archives for region, archives in found.items() if archives} == expected, path.name


@pytest.mark.parametrize("row, error, problem", [
    ([("a.o", None), 1, 1, ((".text", 1),)], TypeError, "a row must be a tuple of four"),
    ((("a.o", None), 1, 1), TypeError, "a row must be a tuple of four"),
    ((("a.o",), 1, 1, ()), TypeError, "origin must be a pair"),
    (((1, None), 1, 1, ()), TypeError, "must be str or None"),
    (((type("Text", (str,), {})("a.o"), None), 1, 1, ()), TypeError, "must be str or None"),
    ((("a.o", None), 1, "1", ()), TypeError, "count must be an int"),
    ((("a.o", None), 1, 1, [(".text", 1)]), TypeError, "sections must be a tuple"),
    ((("a.o", None), 1, 1, ((".text",),)), TypeError, "must be a pair"),
    ((("a.o", None), 1, 1, ((b".text", 1),)), TypeError, "a section must be str or None"),
    ((("a.o", None), 1, 1, ((".text", 1.0),)), TypeError, "bytes must be an int"),
    ((("a.o", None), 1, 1, ((".text", 1 << 64),)), OverflowError, None),
    ((("a.o", None), 1, 1, ((".text", sys.maxsize), (".text", sys.maxsize))), OverflowError, "beyond 64 bits"),
], ids=["row a list", "row short", "origin short", "object not text", "object a str subclass", "count text",
        "sections a list", "pair short", "section bytes", "bytes a float", "bytes beyond 64 bits", "total overflows"])
def test_rows_of_another_shape_are_refused(row, error, problem):
    with pytest.raises(error, match=problem):
        origin_groups([row], "contributor", UNKNOWN_ORIGIN, None, None, -1, False)


def test_arguments_of_another_kind_are_refused():
    row = (("a.o", None), 1, 1, ((".text", 1),))
    with pytest.raises(TypeError, match="a name for each row"):
        origin_groups([row, row], ["a.o"], UNKNOWN_ORIGIN, None, None, -1, False)
    with pytest.raises(TypeError, match="name must be a str"):
        origin_groups([row], [b"a.o"], UNKNOWN_ORIGIN, None, None, -1, False)
    with pytest.raises(TypeError, match="naming must be"):
        origin_groups([row], ("a.o",), UNKNOWN_ORIGIN, None, None, -1, False)
    with pytest.raises(TypeError, match="origin must be a pair"):
        origin_names([(("a.o",), 1, 1, ())], "contributor", UNKNOWN_ORIGIN)
    with pytest.raises(ValueError, match="no naming"):
        origin_groups([row], "object", UNKNOWN_ORIGIN, None, None, -1, False)
    with pytest.raises(TypeError, match="group_of"):
        origin_groups([row], "archive", NO_ARCHIVE, [(".text", "FLASH")], None, -1, False)
    with pytest.raises(TypeError):  # unhashable group
        origin_groups([row], "archive", NO_ARCHIVE, {".text": ["FLASH"]}, None, -1, False)
    with pytest.raises(TypeError):
        origin_groups(5, "archive", NO_ARCHIVE, None, None, -1, False)


def _sorted_by_key(symbols) -> list:
    return sorted(symbols, key=lambda s: (-s.size, s.name, s.address))


def test_the_report_order_of_symbols_is_the_sorted_one_on_every_map(models):  # noqa: F811
    for path, model in models:
        symbols = list(model.symbols)
        assert [id(s) for s in sorted_by_size(symbols)] == [id(s) for s in _sorted_by_key(symbols)], path.name


NAMES = ["", "a", "a\0", "a\0\0", "ab", "b", "fn_text_0", "fn_text_0_tail", "fn_text_00", "abcdefghijklmnop",
         "abcdefghijklmnopq", "abcdefghijklmnoq", "abcdefghijklmnop\0", "abcdefgh", "abcdefgh\0", "abcdefgh\x7f",
         "abcdefgh\x80", "ünïcode", "unicode", "\U0001f600", "\uffff", "é" * 9, "é" * 8 + "f", "_Z3foov" * 3,
         # alike in their first 16 bytes: the bytes past them decide, then the length
         "abcdefghijklmnopqr", "abcdefghijklmnopq\0", "abcdefghijklmnopp", "_ZN4core3ptr13drop_in_place17h0a",
         "_ZN4core3ptr13drop_in_place17h0b", "_ZN4core3ptr13drop_in_place17h0", "x" * 16 + "é", "x" * 16 + "f",
         "y" * (1 << 20) + "b", "y" * (1 << 20) + "a", "y" * 17]


def test_names_sharing_their_first_bytes_sort_as_the_interpreter_sorts():
    symbols = [SimpleNamespace(name=name, size=size, address=address)
               for size in (-3, 0, 4, 65535, 65536, 2**40) for address in (8, 0) for name in NAMES * 2]  # ties kept
    ordered = sorted_by_size(symbols)
    assert [id(s) for s in ordered] == [id(s) for s in _sorted_by_key(symbols)]


@pytest.mark.parametrize("seed, count, alphabet, prefix", [
    (1, 129, "ab", ""),  # about as many as the sort by names' heads leaves to comparisons
    (2, 128, "ab", ""),
    (3, 3000, "0123456789", "function_"),  # heads alike for 9 bytes, then told by digits
    (4, 3000, "ab\0é\x7f\x80\U0001f600", ""),  # bytes of every kind, NUL and past 0x7f
    (5, 2000, "xy", "y" * 15),  # alike up to their 16th byte and past it
    (6, 2000, "a", "name_"),  # only their lengths tell them apart
])
def test_many_names_of_one_size_sort_as_the_interpreter_sorts(seed, count, alphabet, prefix):
    chosen = random.Random(seed)
    names = [prefix + "".join(chosen.choice(alphabet) for _ in range(chosen.randrange(0, 24))) for _ in range(count)]
    symbols = [SimpleNamespace(name=name, size=size, address=chosen.randrange(4))
               for size in (8, 65535) for name in names + names[:count // 4]]  # twins: the address, then the order
    chosen.shuffle(symbols)
    assert [id(s) for s in sorted_by_size(symbols)] == [id(s) for s in _sorted_by_key(symbols)]


class _Backwards(list):
    """A list that iterates its items last first."""

    def __iter__(self):
        return reversed(self[:])


@pytest.mark.parametrize("kind", [list, SymbolList, _Backwards])
def test_a_list_of_symbols_is_sorted_as_iterating_it_gives_them(kind):
    # equal keys keep the order iterating the list gives: a subclass's own, where it has one
    symbols = [SimpleNamespace(name=name, size=size, address=0) for size in (4, 4, 70000) for name in ("b", "a", "b")]
    items = kind(symbols)
    assert [id(s) for s in sorted_by_size(items)] == [id(s) for s in _sorted_by_key(list(items))]


def test_items_changed_while_they_are_read_are_refused_not_followed():
    class Shrinking:
        name, address = "a", 0

        @property
        def size(self):
            del items[len(items) // 2:]  # what a careless caller's record might do as it is read
            return 4

    items = [Shrinking() for _ in range(64)]
    with pytest.raises(RuntimeError):
        sorted_by_size(items)


def test_the_stack_file_probe_tries_the_objects_the_full_sort_tried(models):  # noqa: F811
    for path, model in models[:8]:
        every = stack_units._objects(model)
        first = [key for key in sorted(every, key=lambda k: (k[0], k[1] or "")) if not key[1]][:stack_units._PROBES]
        assert stack_units._first_objects(model) == first, path.name


def _all_named_by_loop(inputs, named) -> bool:
    parts = [part for part in inputs if not part.is_fill and part.size]
    return bool(parts) and all(named(part.name) for part in parts)


@pytest.mark.parametrize("names", [[], [".tbss.a"], [".tbss.a", ".tbss.b"], [".tbss.a", ".bss.b"], [".bss.b", ".tbss.a"],
                                   [".bss.a", ".bss.b"], [".bss.a", ".data.b"], [".data.b"]])
def test_the_builder_reads_input_names_as_the_loop_did(names):
    inputs = [SimpleNamespace(name=".fill", size=4, is_fill=True), SimpleNamespace(name=".text", size=0, is_fill=False)]
    inputs += [SimpleNamespace(name=name, size=4, is_fill=False) for name in names]
    output = SimpleNamespace(name=".other", inputs=inputs)
    assert builder._named_thread_local_bss(output) is _all_named_by_loop(inputs, lambda n: n.startswith(".tbss"))
    assert builder._named_nobits(output) is _all_named_by_loop(inputs, builder.named_without_contents)


@pytest.fixture(scope="module")
def large_map_text(tmp_path_factory):
    """A GNU ld map of about 10 MB: past the reader's first giving back of pages read."""
    bench = str(Path(__file__).resolve().parents[1] / "bench")
    sys.path.insert(0, bench)
    try:
        import synth_map
    finally:
        sys.path.remove(bench)
    return synth_map.gnu_ld_map(32_000).encode()


def _records(model) -> tuple:
    symbols = [(s.name, s.address, s.size, s.section, s.object_file, s.archive, s.size_source, s.binding)
               for s in model.symbols]
    inputs = [(section.name, part.name, part.address, part.size, part.origin, part.is_fill)
              for section in model.sections for part in section.inputs]
    return symbols, inputs, origin_totals(model.symbols)


@pytest.mark.parametrize("head", [b"", b"\xef\xbb\xbf"], ids=["utf-8", "with a byte-order mark"])
def test_a_mapped_map_whose_pages_are_given_back_reads_as_its_bytes(tmp_path, large_map_text, head):
    from tarnwick.toolchains.building.builder import build_model
    from tarnwick.toolchains.maps import gnu_ld
    from tarnwick.toolchains.maps.native_maps import read_native

    path = tmp_path / "large.map"
    path.write_bytes(head + large_map_text)
    assert path.stat().st_size > 9 << 20
    mapped = load_map(path, elf=None)  # through the file's mapping: its pages given back as it goes
    from_bytes = build_model(read_native(gnu_ld.read_gnu_ld_map, bytes(large_map_text), str(path)))
    assert _records(mapped) == _records(from_bytes)
    assert len(mapped.symbols) > 60_000


def test_a_symbol_lists_names_follow_its_changes():
    symbol = lambda name, object_file, archive=None: SimpleNamespace(  # noqa: E731
        name=name, size=4, section=".text", object_file=object_file, archive=archive, alias_of=None,
        address=0, binding="global", size_source="map", contributor=contributor_name(object_file, archive))
    symbols = SymbolList([symbol("f", "a.o", "lib/libx.a"), symbol("g", "b.o")])
    totals, names = named_origin_totals(symbols)
    assert names == ["libx.a(a.o)", "b.o"] and named_origin_totals(symbols) == (totals, names)
    symbols.append(symbol("h", "c.o", "liby.a"))  # a changed list counts and names its origins again
    assert named_origin_totals(symbols)[1] == ["libx.a(a.o)", "b.o", "liby.a(c.o)"]
    symbols.keep_origin_totals(totals)  # a reader's totals: named from those
    assert named_origin_totals(symbols) == (totals, names)
    assert named_origin_totals(list(symbols)[1:])[1] == ["b.o", "liby.a(c.o)"]  # any other sequence


@pytest.mark.parametrize("sizes", [[1], [65535], [65535, 1], [65536], [40000, 40000], [2**40, 1], [2**61, 2**61 - 1]],
                         ids=lambda sizes: "+".join(map(str, sizes)))
def test_origin_totals_shared_figures_are_the_sums(sizes):
    # figures below 64 KiB are shared number objects: each row's must still be its own sum
    symbol = lambda name, size, section: SimpleNamespace(  # noqa: E731
        name=name, size=size, section=section, object_file="a.o", archive=None, alias_of=None)
    symbols = [symbol(f"s{i}", size, (".text", ".data")[i % 2]) for i, size in enumerate(sizes)]
    symbols.append(symbol("t", 3, ".bss"))  # another figure, in a row of its own
    by_section: dict = {}
    for s in symbols:
        by_section[s.section] = by_section.get(s.section, 0) + s.size
    rows = totals_by_origin(symbols, None)
    assert rows == [(("a.o", None), sum(sizes) + 3, len(symbols), tuple(by_section.items()))]
