"""The native JSON writer's strings: every text reads back as itself and is written as the
standard library writes it without escaping beyond ASCII (but for backspace and form feed,
which the reports have always written as \\u0008 and \\u000c), whichever characters need an
escape and wherever they fall in the eight-byte words the writer passes over at once; a lone
surrogate is written as the UTF-8 codec's "replace" writes it. Its numbers are int's own digits."""

import enum
import json

import pytest
from hypothesis import given, settings, strategies as st

from tarnwick._native import write_json

ESCAPED = ['"', "\\", "\n", "\r", "\t", "\x00", "\x01", "\x1f", "\x7f", "\x08", "\x0c"]
PLAIN = ["a", " ", "~", "\u00e9", "\u20ac", "\U0001f600", "\x20", "\x21", "\x5b", "\x5d", "\x80"]


def written(value) -> str:
    pieces: list = []
    write_json(value, pieces.append, enum.Enum, 0)
    return b"".join(pieces).decode("utf-8")


def standard(texts: list) -> str:
    return "[" + ",".join(_standard_text(text) for text in texts) + "]"


def _standard_text(text: str) -> str:
    # a character at a time: a backspace's short escape is then told from a backslash before a b
    pieces = [json.dumps(character, ensure_ascii=False) for character in text]
    short = {'"\\b"': '"\\u0008"', '"\\f"': '"\\u000c"'}
    return '"' + "".join(short.get(piece, piece)[1:-1] for piece in pieces) + '"'


@pytest.mark.parametrize("special", ESCAPED + PLAIN)
@pytest.mark.parametrize("length", [1, 7, 8, 9, 15, 16, 17, 40])
def test_a_character_at_every_place_of_a_text(special, length):
    texts = ["x" * at + special + "y" * (length - at - 1) for at in range(length)]
    assert json.loads(written(texts)) == texts
    assert written(texts) == standard(texts)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.text(st.characters(blacklist_categories=("Cs",)) | st.sampled_from(ESCAPED), max_size=40)))
def test_any_texts_as_the_standard_library_writes_them(texts):
    assert json.loads(written(texts)) == texts
    assert written(texts) == standard(texts)


@pytest.mark.parametrize("text", ["\ud800", "ab\udfffcdefghij", "12345678\ud83d"])
def test_a_lone_surrogate_is_written_as_the_utf8_codec_replaces_it(text):
    assert json.loads(written([text])) == [text.encode("utf-8", "replace").decode("utf-8")]


class _Count(int):
    pass


EDGES = [0, 1, -1, 2**30 - 1, 2**30, -(2**30 - 1), -(2**30), 2**31, 2**60, 2**63 - 1, -(2**63), 2**63, 2**64, -(2**64),
         10**30, -(10**30)]


@pytest.mark.parametrize("number", EDGES + [_Count(n) for n in EDGES], ids=repr)
def test_a_number_is_written_as_the_standard_library_writes_it(number):
    """Numbers held in one digit of the interpreter's are read in place, the others through the
    API: the digits either way are int's own."""
    assert written([number, {"n": number}]) == json.dumps([int(number), {"n": int(number)}], separators=(",", ":"))
