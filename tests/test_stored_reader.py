"""The native reader of stored JSON reports against decoding them whole: on the reports of every
example, test and shared map, and on hostile texts, the checks' verdict, the message, the byte
tables, the totals and findings read back, the stack and the verdict kept must all be what the
whole decoding gives; and the texts the reader must not take (anything json.loads refuses, or
holds in a way the reader does not decode) must fall back to it."""

import json
import math
from pathlib import Path

import pytest

from tarnwick._native import read_stored_report
from tarnwick.app.cli import main
from tarnwick.compare.baseline_file import read_baseline
from tarnwick.compare.footprint import document_footprint, origin_of
from tarnwick.compare.stored_report import totals_from_document

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
BASELINE = ROOT / "examples" / "firmware" / "baseline.json"
TABLES = ("regions", "sections", "components", "archives", "objects", "symbols", "files", "folders", "flash", "ram",
          "region_sizes", "exact", "placed")


def maps() -> list:
    found = {*ROOT.glob("examples/**/*.map"), *ROOT.glob("tests/**/*.map"), *SHARED.glob("realmaps/*.map"),
             *SHARED.glob("vendormaps/*.map")}
    return sorted(path for path in found if "corpus" not in path.parts)


@pytest.fixture(scope="module")
def stored_reports(tmp_path_factory) -> list:
    """The JSON report of each map (with its ELF where it has one, and without), and the example's."""
    folder = tmp_path_factory.mktemp("stored")
    written = [BASELINE]
    for index, path in enumerate(maps()):
        for extra in ((), ("--no-elf",)) if path.with_suffix(".elf").exists() else ((),):
            out = folder / f"{index}{'-no-elf' if extra else ''}.json"
            if main(["analyze", str(path), "--format", "json", "--output", str(out), *extra]) in (0, 1):
                written.append(out)
    return written


def _outcome(call):
    try:
        return "value", call()
    except Exception as exc:  # what the reading does with a value it cannot use is part of what it gives
        return "raises", type(exc).__name__, str(exc)


def reading(path: Path, whole: bool) -> tuple:
    """All that a run takes of a stored report, read natively (where it is taken) or decoded whole."""
    stored, handed = read_baseline(str(path), whole=whole)
    served = _outcome(handed.read_text)
    if stored is None:
        return served, None
    made = _outcome(lambda: document_footprint(stored.document, stored.parts))
    if made[0] == "raises":
        return served, made
    footprint = made[1]
    return (served, {name: getattr(footprint, name) for name in TABLES}, _outcome(footprint.input_bounds),
            _outcome(lambda: footprint.map_view(True)), _outcome(lambda: footprint.map_view(False)),
            totals_from_document(stored.document), stored.document.get("stack"), stored.document.get("verdict"))


def taken(path: Path) -> bool:
    return read_stored_report(path.read_bytes(), origin_of) is not None


def test_every_stored_report_reads_natively_as_decoded_whole(stored_reports):
    assert len(stored_reports) > 40
    for path in stored_reports:
        assert taken(path), path
        native, whole = reading(path, False), reading(path, True)
        assert native == whole, path
        stored, _ = read_baseline(str(path))
        document = json.loads(path.read_text(encoding="utf-8-sig"))
        # what the document holds besides the parts taken natively is the decoded document's
        inputs = [section.pop("inputs", None) for section in document.get("sections", [])]
        document.pop("symbols", None)
        assert stored.document == document and stored.parts.section_inputs() == inputs, path


def test_the_bytes_of_symbols_add_up_to_what_the_report_states(stored_reports):
    # the tables natively made keep every byte the report's symbols hold (not a restatement:
    # summed from the decoded symbols here)
    for path in stored_reports:
        document = json.loads(path.read_text(encoding="utf-8-sig"))
        held = sum(symbol["size"] for symbol in document.get("symbols", [])
                   if isinstance(symbol.get("size"), int) and symbol["size"] > 0 and symbol.get("alias_of") is None)
        stored, _ = read_baseline(str(path))
        assert sum(entry[0] for entry in stored.parts.symbol_tables[0].values()) == held, path


def _report(**changes) -> dict:
    document = json.loads(BASELINE.read_text())
    document.update(changes)
    return document


def _symbols_text(symbols: str) -> bytes:
    """The example report with its symbols list written as given."""
    text = json.dumps(_report(symbols=[]))
    return text.replace('"symbols": []', f'"symbols": {symbols}').encode()


SYMBOL = '{"name": "%s", "size": %s, "section": ".text", "object_file": "a.o", "archive": null, "size_source": "elf", "address": 8}'
EXAMPLE = BASELINE.read_bytes()
NESTED = json.dumps(_report()).replace('"regressions": {}', '"regressions": ' + "[" * 60 + "]" * 60)


# (name, text, whether the native reader takes it)
CASES = [
    ("indented", json.dumps(_report(), indent=4).encode(), True),
    ("compact", json.dumps(_report(), separators=(",", ":")).encode(), True),
    ("every whitespace", b" \r\n" + json.dumps(_report(), separators=(" ,\t", "\r:\n ")).encode() + b"\n\t ", True),
    ("form feed as whitespace", json.dumps(_report(), separators=(",", ":\f")).encode(), False),
    ("a BOM", b"\xef\xbb\xbf" + EXAMPLE, True),
    ("two BOMs", b"\xef\xbb\xbf\xef\xbb\xbf" + EXAMPLE, False),
    ("trailing data", EXAMPLE + b" {}", False),
    ("a trailing comma", EXAMPLE.rstrip()[:-1].rstrip() + b",}", False),
    ("a list", b"[1, 2]", False),
    ("empty", b"", False),
    ("nested as deep as a report might", NESTED.encode(), True),
    ("nested too deeply", json.dumps(_report()).replace('"regressions": {}', '"regressions": ' + "[" * 5000 + "]" * 5000).encode(), False),
    ("NaN", json.dumps(_report()).replace('"total_flash": ', '"total_flash": NaN, "x": ', 1).encode(), False),
    ("Infinity", json.dumps(_report()).replace('"total_ram": ', '"total_ram": Infinity, "x": ', 1).encode(), False),
    ("-Infinity", _symbols_text("[" + SYMBOL % ("f", "-Infinity") + "]"), False),
    ("a float too large", json.dumps(_report()).replace('"utilization_by_region": {', '"utilization_by_region": {"X": 1e400, ', 1).encode(), True),
    ("an int of 5000 digits", json.dumps(_report()).replace('"regressions": {}', '"regressions": ' + "7" * 5000).encode(), False),
    ("an int of 4000 digits", json.dumps(_report()).replace('"regressions": {}', '"regressions": ' + "7" * 4000).encode(), True),
    ("sizes beyond 64 bits, negative, floats, -0", _symbols_text("[" + ", ".join(SYMBOL % (f"f{i}", size) for i, size in enumerate(
        ("123456789012345678901234567890", "-5", "4.0", "-0", "1E2", "0.5e-3", "true", '"4"', "null", "9223372036854775807",
         "9223372036854775808"))) + "]"), True),
    ("leading zeros", _symbols_text("[" + SYMBOL % ("f", "012") + "]"), False),
    ("a bare minus", _symbols_text("[" + SYMBOL % ("f", "-") + "]"), False),
    ("escapes", _symbols_text("[" + SYMBOL % ('\\"q\\\\ \\/ \\b\\f\\n\\r\\t \\u00e9\\u20AC \\ud83d\\ude00 \\u0000', 4) + "]"), True),
    ("a bad escape", _symbols_text("[" + SYMBOL % ("f\\x", 4) + "]"), False),
    ("a short \\u", _symbols_text("[" + SYMBOL % ("f\\u12", 4) + "]"), False),
    ("a \\u not hex", _symbols_text("[" + SYMBOL % ("f\\u12G4", 4) + "]"), False),
    ("a lone high surrogate", _symbols_text("[" + SYMBOL % ("f\\ud800", 4) + "]"), False),
    ("a high surrogate before another escape", _symbols_text("[" + SYMBOL % ("f\\ud800\\u0041", 4) + "]"), False),
    ("a lone low surrogate", _symbols_text("[" + SYMBOL % ("f\\udc00", 4) + "]"), False),
    ("a control character", _symbols_text("[" + SYMBOL % ("f\tg", 4) + "]"), False),
    ("raw UTF-8", _symbols_text("[" + SYMBOL % ("f\u00e9\u20ac\U0001f600", 4) + "]"), True),
    ("an overlong UTF-8 sequence", _symbols_text("[" + SYMBOL % ("f", 4) + "]").replace(b'"f"', b'"f\xc0\x80"'), False),
    ("a surrogate in UTF-8", _symbols_text("[" + SYMBOL % ("f", 4) + "]").replace(b'"f"', b'"f\xed\xa0\x80"'), False),
    ("a byte no UTF-8 has", _symbols_text("[" + SYMBOL % ("f", 4) + "]").replace(b'"f"', b'"f\xf5\x80\x80\x80"'), False),
    ("a truncated UTF-8 sequence", _symbols_text("[" + SYMBOL % ("f", 4) + "]").replace(b'"f"', b'"f\xe2\x82"'), False),
    ("a member given twice", _symbols_text('[{"name": "f", "size": 4, "size": 12, "size_source": "map", "size_source": "elf", '
                                           '"section": ".bss", "section": ".text", "address": 4}]'), True),
    ("an escaped key", _symbols_text('[{"n\\u0061me": "f", "size": 4, "size_source": "elf", "section": ".text", "address": 4}]'), True),
    ("an object file that is a list", _symbols_text('[{"name": "g", "size": 4, "object_file": ["a.o"]}]'), False),
    ("an archive that is an object", _symbols_text('[{"name": "g", "size": 4, "archive": {}}]'), False),
    ("members of other types", _symbols_text(
        '[{"name": 7, "size": 4}, {"name": "g", "size": 4, "object_file": 2.5, "archive": 3, "binding": 1, '
        '"size_source": 5, "size_derived": 0}, {"name": "h", "size": 6, "section": {"x": 1}, "size_source": "map", '
        '"address": 1.5, "alias_of": null, "extra": [{"deep": [1, {"x": null}]}]}, {"name": "i", "size": 2, "alias_of": "g"}, {}]'), True),
    ("summary given twice", b'{"summary": {"total_flash": -1}, ' + EXAMPLE.lstrip()[1:], True),
    ("symbols given twice", b'{"symbols": [], ' + EXAMPLE.lstrip()[1:], False),
    ("sections given twice", b'{"sections": 4, ' + EXAMPLE.lstrip()[1:], False),
    ("inputs given twice", json.dumps(_report()).replace('"inputs": ', '"inputs": [], "inputs": ', 1).encode(), False),
    ("symbols not a list", json.dumps(_report(symbols={"a": 1})).encode(), False),
    ("symbols null", json.dumps(_report(symbols=None)).encode(), False),
    ("a symbol not an object", _symbols_text("[1]"), False),
    ("sections not a list", json.dumps(_report(sections="x")).encode(), False),
    ("a section not an object", json.dumps(_report(sections=[[]])).encode(), False),
    ("inputs not a list", json.dumps(_report(sections=[{"name": ".text", "inputs": None}])).encode(), False),
    ("an input not an object", json.dumps(_report(sections=[{"name": ".text", "address": 0, "size": 4, "inputs": [1]}])).encode(), False),
    ("odd inputs", json.dumps(_report(sections=[{"name": ".text", "address": 0, "size": 9, "inputs": [
        {"address": 4, "size": 4, "is_fill": 0}, {"address": None, "size": 1, "is_fill": ""}, {"size": 2, "is_fill": []},
        {"address": 1, "size": 3, "is_fill": "yes"}, {"address": 2, "size": True}]}, {"name": 4, "inputs": []}])).encode(), True),
    ("no schema version", json.dumps({"metadata": {}, "symbols": []}).encode(), True),
    ("another schema", json.dumps(_report(metadata={"schema_version": "9"})).encode(), True),
    ("a summary not an object", json.dumps(_report(summary=[])).encode(), True),
]


@pytest.mark.parametrize("name, text, takes", CASES, ids=[case[0] for case in CASES])
def test_hostile_texts_read_as_decoded_whole(tmp_path, name, text, takes):
    path = tmp_path / "stored.json"
    path.write_bytes(text)
    assert taken(path) == takes
    assert reading(path, False) == reading(path, True)


def test_a_truncated_report_falls_back_and_says_what_json_says(tmp_path):
    path = tmp_path / "stored.json"
    messages = set()
    for cut in range(1, len(EXAMPLE) - 1, max(1, len(EXAMPLE) // 97)):
        path.write_bytes(EXAMPLE[:cut])
        assert not taken(path), cut
        native, whole = reading(path, False), reading(path, True)
        assert native == whole and native[1] is None, cut
        messages.add(native[0][2].split(":")[0])
    assert messages == {"not valid JSON"}


def test_what_the_checks_take_reads_the_same_numbers(tmp_path):
    # ints and floats come out as json.loads makes them: the same types and values
    values = ["0", "-0", "-0.0", "1.5e300", "123456789012345678901234567890", "-9223372036854775809", "2.5E-3", "1e400"]
    path = tmp_path / "stored.json"
    path.write_bytes(b'{"numbers": [' + ", ".join(values).encode() + b"], " + EXAMPLE.lstrip()[1:])
    assert taken(path)
    stored, _ = read_baseline(str(path))
    read = stored.document["numbers"]
    expected = json.loads("[" + ", ".join(values) + "]")
    assert [type(value) for value in read] == [type(value) for value in expected]
    assert [repr(value) for value in read] == [repr(value) for value in expected] and math.isinf(read[-1])
