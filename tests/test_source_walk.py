"""The native walk of the source view (attribute_sources) gives what the Python loops it
replaced gave: each symbol's source and the bytes per (file, archive, section) and per inlined
function, on the -g firmware built here (DWARF 4, 5, 5 compressed), on every test and shared map
whose ELF holds debug information, and on made-up records that take each of its turns; and it
refuses records of the wrong shape with one clear error."""

import bisect
from pathlib import Path
from types import SimpleNamespace

import pytest

from firmware_builds import build_with_script
from tarnwick._native import attribute_sources, read_dwarf
from tarnwick.analysis import sources
from tarnwick.support.origins import source_file
from tarnwick.toolchains import AUTO, load_map
from tarnwick.toolchains.elf.dwarf import has_debug_info, read_debug_info

HERE = Path(__file__).resolve().parent
FIRMWARE = HERE / "source_firmware"
MAPS = sorted({*HERE.glob("conformance/maps/*.map"), *HERE.glob("vendor_maps/*.map"),
               *(HERE.parents[1] / "shared").glob("realmaps/*.map"), *(HERE.parents[1] / "shared").glob("vendormaps/*.map")})
UNNAMED = object()


def walk_by_loops(entities, units, unit_path, unit_file, symbols, shown):
    """The two loops the source view ran in Python before, as they were."""
    shown_of, at_address, inlined = {}, {}, {}
    for kind, name, linkage, unit, path, line, low, size in entities:
        if path >= 0:
            if (path, unit) not in shown_of:
                shown_of[(path, unit)] = shown(path, unit)
            source = f"{shown_of[(path, unit)]}:{line}"
            file = shown_of[(path, unit)] if line >= 0 else source_file(source)
        else:
            source, file = unit_path[unit], unit_file[unit]
        if kind == 2:
            entry = inlined.setdefault((name, source), [0, 0])
            entry[0] += size
            entry[1] += 1
            continue
        at_address.setdefault(low, []).append((name, linkage, source, file))
    spans = sorted((low, high, unit) for unit, (_n, _f, ranges) in enumerate(units) for low, high in ranges if high > low)
    starts = [low for low, _high, _unit in spans]

    def unit_at(address):
        index = bisect.bisect_right(starts, address) - 1
        for at in range(index, max(index - 4, -1), -1):
            low, high, unit = spans[at]
            if low <= address < high:
                return unit
        return None

    def matching(name, candidates):
        for candidate in candidates:
            if name == candidate[0] or name == candidate[1]:
                return candidate
        for candidate in candidates:
            entity, linkage = candidate[0], candidate[1]
            if name.startswith((f"{entity}.", f"{linkage}." if linkage else "\0")):
                return candidate
        return None

    sums, placed = {}, []
    for symbol in symbols:
        source = file = None
        unnamed = symbol.binding == "unnamed"
        if not unnamed:
            candidates = at_address.get(symbol.address) or at_address.get(symbol.address & ~1)
            if candidates:
                found = candidates[0] if len(candidates) == 1 else matching(symbol.name, candidates)
                if found is not None:
                    source, file = found[2], found[3]
            if source is None:
                unit = unit_at(symbol.address)
                if unit is not None:
                    source, file = unit_path[unit], unit_file[unit]
        placed.append(source)
        if symbol.alias_of is not None or symbol.size <= 0:
            continue
        key = (UNNAMED if unnamed else file, symbol.archive, symbol.section)
        sums[key] = sums.get(key, 0) + symbol.size
    groups = [(file is UNNAMED, None if file is UNNAMED else file, archive, section, size)
              for (file, archive, section), size in sums.items()]
    return placed, groups, [(name, source, size, sites) for (name, source), (size, sites) in inlined.items()]


def both_walks(model, debug):
    project = sources._Project(debug, model)
    unit_path = [project.shown(name if "/" in name or not folder else f"{folder}/{name}", unit) or None
                 if name else None for unit, (name, folder, _ranges) in enumerate(debug.units)]
    unit_file = [source_file(path) if path else None for path in unit_path]
    shown = lambda path, unit: project.shown(debug.paths[path], unit)
    expected = walk_by_loops(debug.entities, debug.units, unit_path, unit_file, model.symbols, shown)
    groups, inlined = attribute_sources(debug.entities, debug.units, unit_path, unit_file, model.symbols, shown)
    return expected, ([symbol.source for symbol in model.symbols], groups, inlined)


@pytest.fixture(scope="module")
def builds(tmp_path_factory):
    return build_with_script(FIRMWARE / "build.sh", tmp_path_factory.mktemp("source-walk"))


@pytest.mark.parametrize("variant", ("dwarf4", "dwarf5", "dwarf5-gz"))
def test_the_native_walk_gives_what_the_loops_gave_on_the_built_firmware(builds, variant):
    model = load_map(builds / variant / "firmware.map", elf=AUTO)
    expected, found = both_walks(model, read_debug_info(model.elf_file))
    assert found == expected
    placed, groups, inlined = found
    assert sum(s is not None for s in placed) > len(placed) // 2 and inlined  # something was attributed
    assert sum(size for *_key, size in groups) == sum(s.size for s in model.symbols if s.alias_of is None and s.size > 0)


def test_the_native_walk_gives_what_the_loops_gave_on_every_map_with_debug_information():
    compared = 0
    for path in MAPS:
        try:
            model = load_map(path, elf=AUTO)
        except ValueError:  # a map some test reads as bad input
            continue
        elf = model.elf_file
        if elf is None or not has_debug_info(elf):
            continue
        debug = read_debug_info(elf)
        if debug is None:
            continue
        expected, found = both_walks(model, debug)
        assert found == expected, path.name
        compared += 1
    if not compared:
        pytest.skip("no test or shared map has an ELF with debug information")


def _symbol(name, address, size=4, binding="global", section=".text", archive=None, alias_of=None):
    return SimpleNamespace(name=name, address=address, size=size, binding=binding, section=section, archive=archive,
                           alias_of=alias_of, source="unset")


UNITS = [("a.c", "/p", ((0x100, 0x200), (0x50, 0x60))), ("b.c", "/p", ((0x180, 0x190),)), ("c.s", "", ())]
ENTITIES = [
    (0, "f", None, 0, 0, 10, 0x100, 8),
    (0, "g", "_Z1gv", 0, 1, 20, 0x110, 4),   # two entities at one address: told apart by name
    (1, "count", None, 1, 1, 3, 0x110, 4),
    (1, "h", "", 1, 0, -1, 0x120, 4),        # a line below 0 keeps it in its file's name
    (2, "inl", None, 0, 0, 5, 0, 6),         # an inlined call, twice at one place, once elsewhere
    (2, "inl", None, 0, 0, 5, 0, 2),
    (2, "inl", None, 1, -1, 0, 0, 1),
    (0, "t", None, 1, -1, 0, 0x130, 2),      # no file: its unit's
]
SYMBOLS = [
    _symbol("f", 0x101), _symbol("_Z1gv", 0x110), _symbol("count.0", 0x110), _symbol("g.constprop.1", 0x110),
    _symbol("other", 0x110), _symbol("\0odd", 0x120), _symbol("h", 0x120, archive="/x/libh.a"),
    _symbol("inside", 0x185), _symbol("t", 0x130, size=0), _symbol("alias", 0x101, alias_of="f"),
    _symbol("gap", 0x140, binding="unnamed"), _symbol("far", 1 << 70), _symbol("below", -4), _symbol("nowhere", 0x10),
]


def test_the_native_walk_takes_each_turn_the_loops_took():
    unit_path = ["/p/a.c", "b.c", None]
    unit_file = list(unit_path)
    shown = lambda path, unit: ["src/one.c", "src/two.c"][path]
    symbols = [SimpleNamespace(**vars(s)) for s in SYMBOLS]
    expected = walk_by_loops(ENTITIES, UNITS, unit_path, unit_file, symbols, shown)
    found = attribute_sources(ENTITIES, UNITS, unit_path, unit_file, symbols, shown)
    assert ([s.source for s in symbols], *found) == expected
    assert [s.source for s in symbols][:8] == ["src/one.c:10", "src/two.c:20", "src/two.c:3", "src/two.c:20", "/p/a.c",
                                               "src/one.c:-1", "src/one.c:-1", "b.c"]


def _entity(**changed):
    fields = dict(zip(("kind", "name", "linkage", "unit", "path", "line", "low", "size"), ENTITIES[0]))
    return tuple({**fields, **changed}.values())


@pytest.mark.parametrize("entities, units, symbols, error, words", [
    ([("f", 1)], UNITS, [], ValueError, "a debug entity must be"),
    ([list(ENTITIES[0])], UNITS, [], ValueError, "a debug entity must be"),
    ([_entity(name=None)], UNITS, [], TypeError, "its name str"),
    ([_entity(linkage=3)], UNITS, [], TypeError, "linkage name str or None"),
    ([_entity(line="10")], UNITS, [], TypeError, "must be int"),
    ([_entity(unit=3)], UNITS, [], ValueError, "names unit 3 of 3"),
    ([_entity(unit=-1)], UNITS, [], ValueError, "names unit -1 of 3"),
    ([_entity(unit=1 << 80)], UNITS, [], ValueError, "out of range"),
    ([_entity(low=-1)], UNITS, [], ValueError, "not an address of 64 bits"),
    ([_entity(low=None)], UNITS, [], TypeError, "address must be an int"),
    ([], [("a.c", "/p")], [], ValueError, "a unit must be"),
    ([], [("a.c", "/p", ((1, 2, 3),))], [], ValueError, "a unit's range must be"),
    ([], [("a.c", "/p", ((1 << 64, 2),))], [], ValueError, "not an address of 64 bits"),
    (ENTITIES, UNITS, [_symbol("f", "0x100")], TypeError, "a symbol's address must be an int"),
    (ENTITIES, UNITS, [_symbol(None, 0x110)], TypeError, "a symbol's name must be str"),
    (ENTITIES, UNITS, [_symbol("f", 0x100, size=None)], TypeError, "'<=' not supported"),
])
def test_records_of_the_wrong_shape_are_refused_with_one_clear_error(entities, units, symbols, error, words):
    unit_path = [None] * len(units)
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
        attribute_sources(entities, units, unit_path, list(unit_path), symbols, lambda path, unit: "x.c")


@pytest.mark.parametrize("shown, error, words", [
    (lambda path, unit: 7, TypeError, "shown\\(\\) must give a str"),
    (lambda path, unit: [][path], IndexError, "list index out of range"),
])
def test_a_failing_or_wrong_shown_is_its_own_error(shown, error, words):
    with pytest.raises(error, match=words):
        attribute_sources(ENTITIES, UNITS, [None] * 3, [None] * 3, [], shown)


def test_a_source_and_a_file_are_needed_for_every_unit():
    with pytest.raises(ValueError, match="for every unit"):
        attribute_sources([], UNITS, [None], [None], [], lambda path, unit: "x.c")


# --- the entities read_dwarf holds natively ------------------------------------------------------

@pytest.mark.parametrize("variant", ("dwarf4", "dwarf5", "dwarf5-gz"))
def test_the_entities_read_dwarf_holds_give_what_their_tuples_give(builds, variant):
    model = load_map(builds / variant / "firmware.map", elf=AUTO)
    debug = read_debug_info(model.elf_file)
    project = sources._Project(debug, model)
    unit_path = [project.shown(name if "/" in name or not folder else f"{folder}/{name}", unit) or None
                 if name else None for unit, (name, folder, _ranges) in enumerate(debug.units)]
    unit_file = [source_file(path) if path else None for path in unit_path]
    shown = lambda path, unit: project.shown(debug.paths[path], unit)
    rows = list(debug.entities)
    assert len(rows) == len(debug.entities) > 10 and rows[-1] == debug.entities[-1]
    runs = []
    for entities in (debug.entities, rows):
        found = attribute_sources(entities, debug.units, unit_path, unit_file, model.symbols, shown)
        runs.append(([symbol.source for symbol in model.symbols], *found))
    assert runs[0] == runs[1]


def _strp_build(names: bytes, functions: list):
    """A unit whose functions (offset of the name in .debug_str, low, size) are named by
    DW_FORM_strp; `functions` sharing an address are told apart by name."""
    import struct
    from dwarf_writer import abbreviations, line_table, sections, text, uleb
    strp_entry = uleb(4) + uleb(0x2E) + b"\0" + uleb(0x03) + uleb(0x0E) + uleb(0x3A) + uleb(0x0B) + uleb(0x3B) + \
        uleb(0x0B) + uleb(0x11) + uleb(0x01) + uleb(0x12) + uleb(0x06) + b"\0\0"
    abbrev = abbreviations()[:-1] + strp_entry + b"\0"
    low = min(f[1] for f in functions)
    high = max(f[1] + f[2] for f in functions)
    dies = uleb(1) + text("a.c") + text("/p") + struct.pack("<III", 0, low, high - low)
    for (offset, start, size), line in zip(functions, range(10, 100)):
        dies += uleb(4) + struct.pack("<IBBII", offset, 1, line, start, size)
    dies += b"\0"
    header = struct.pack("<HIB", 4, 0, 4)
    info = struct.pack("<I", len(header) + len(dies)) + header + dies
    return sections(info=info, abbrev=abbrev, str=names, line=line_table([("a.c", 0)]))


# names in .debug_str: one not UTF-8, one not ASCII, two plain ones
NAMES = b"f\xff\xfe\0caf\xc3\xa9\0g\0h\0"


@pytest.mark.parametrize("name, expected", [
    ("f\ufffd\ufffd", "a.c:10"),    # the interpreter's reading of bytes that are not UTF-8
    ("f\xff\xfe", None),            # not those bytes read as Latin-1: none of the four, and the unit has no name
    ("café", "a.c:11"),
    ("café.constprop.0", "a.c:11"),
    ("g.part.1", "a.c:12"),
    ("h", "a.c:13"),
    ("f\udcff", None),              # a name the map reader kept undecoded is none of them
    ("h.\udcff", "a.c:13"),         # ... but may still be a copy of one
])
def test_names_are_matched_as_the_interpreter_reads_them(name, expected):
    build = _strp_build(NAMES, [(0, 0x100, 4), (4, 0x100, 4), (10, 0x100, 4), (12, 0x100, 4)])
    paths, units, entities = read_dwarf(*build, True)
    assert [e[1] for e in entities] == ["f\ufffd\ufffd", "café", "g", "h"]
    symbols = [_symbol(name, 0x100)]
    for given in (entities, list(entities)):
        symbols[0].source = "unset"
        found = attribute_sources(given, units, [None], [None], symbols, lambda path, unit: paths[path].rsplit("/")[-1])
        assert symbols[0].source == expected
        assert found[0] == [(False, expected and "a.c", None, ".text", 4)]


@pytest.mark.parametrize("names, offset, words", [
    (b"main\0", 5, "a string offset past the end of its section"),
    (b"main\0tail", 5, "a string runs past the end of its section"),
    (b"main", 0, "a string runs past the end of its section"),
])
def test_a_name_out_of_debug_str_is_refused_as_before(names, offset, words):
    with pytest.raises(ValueError, match=words):
        read_dwarf(*_strp_build(names, [(offset, 0x100, 4)]), True)


def test_the_entities_read_dwarf_holds_refuse_what_they_cannot_do():
    build = _strp_build(NAMES, [(0, 0x100, 4), (12, 0x104, 4)])
    paths, units, entities = read_dwarf(*build, True)
    with pytest.raises(IndexError, match="out of range"):
        entities[2]
    assert entities[-1] == (0, "h", None, 0, 0, 11, 0x104, 4) == tuple(entities)[1]
    with pytest.raises(TypeError):
        type(entities)()
    with pytest.raises(ValueError, match="2 units given for the 1 read with the entities"):
        attribute_sources(entities, units * 2, [None] * 2, [None] * 2, [], lambda path, unit: "a.c")


def test_the_entities_read_dwarf_holds_let_their_sections_go():
    import gc
    import sys
    build = _strp_build(NAMES, [(0, 0x100, 4), (12, 0x104, 4)])
    given = [section for section in build if section]  # the empty ones are the interpreter's one b""
    counts = [sys.getrefcount(section) for section in given]
    for _ in range(3):
        paths, units, entities = read_dwarf(*build, True)
        attribute_sources(entities, units, [None], [None], [_symbol("h", 0x104)], lambda path, unit: "a.c")
        assert [sys.getrefcount(s) - 1 for s in given] == counts  # each held once while the entities live
        del paths, units, entities
        gc.collect()
        assert [sys.getrefcount(section) for section in given] == counts


@pytest.mark.parametrize("sizes", [
    [1 << 62, 1 << 62, 1 << 62, 7],        # past 64 bits in all
    [1 << 70, 5, 1 << 64],                 # each past 64 bits
    [0.5, 1 << 53, 1, 1],                  # not only ints: in turn, 2 ** 53 (the ints first would give 2 ** 53 + 2)
    [2, True, 1 << 63],                    # an int of another type
])
def test_the_bytes_add_up_as_the_interpreter_adds_them(sizes):
    symbols = [_symbol(f"s{i}", 0x140 + 4 * i, size=size) for i, size in enumerate(sizes)]  # all of unit a.c
    shown = lambda path, unit: "src/one.c"
    expected = walk_by_loops(ENTITIES, UNITS, ["/p/a.c", "b.c", None], ["/p/a.c", "b.c", None], symbols, shown)
    found = attribute_sources(ENTITIES, UNITS, ["/p/a.c", "b.c", None], ["/p/a.c", "b.c", None], symbols, shown)
    assert len(found[0]) == 1 and found[0] == expected[1] and type(found[0][0][-1]) is type(expected[1][0][-1])
