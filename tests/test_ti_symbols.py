"""The TI reader keeps the first listing of the global symbols once each: a symbol listed again
at one address under one name counts where it is first listed, and they are handed on in address
order (a Thumb function's low bit aside), the listing's order among equals. The native reader
sorts them once by value; what it hands on must be what that rule says, whatever the listing."""

from __future__ import annotations

import random

import pytest

from tarnwick._native import read_ti_map
from tarnwick.toolchains.base import InputSection


def listing_map(listed: list) -> bytes:
    """A TI map of only its two symbol listings (the second, by address, is not read)."""
    rows = [f"{address:08x}  {name}" for address, name in listed]
    lines = ["TI ARM Linker Unix v20.2.7", "", "GLOBAL SYMBOLS: SORTED ALPHABETICALLY BY Name", "",
             "address   name", "-------   ----", *rows, "", "GLOBAL SYMBOLS: SORTED BY Symbol Address", "",
             "address   name", "-------   ----", *sorted(rows), "", f"[{len(rows)} symbols]", ""]
    return "\n".join(lines).encode("utf-8")


def the_rule(listed: list) -> tuple:
    """(names, addresses) as the rule states it, one symbol at a time."""
    seen, kept = set(), []
    for address, name in listed:
        if (address, name) not in seen:
            seen.add((address, name))
            kept.append((address, name))
    kept.sort(key=lambda symbol: symbol[0] & ~1)  # stable: the listing's order among equals
    return [name for _address, name in kept], [address for address, _name in kept]


def random_listing(seed: int, count: int, addresses: int) -> list:
    rng = random.Random(seed)
    names = [f"s{index % 37}" for index in range(count)]
    return [(0x1000 + rng.randrange(addresses), rng.choice(names)) for _ in range(count)]


LISTINGS = {
    "by name, addresses apart": [(0x300, "a"), (0x100, "b"), (0x200, "c")],
    "in address order already": [(0x100, "a"), (0x200, "b"), (0x300, "c")],
    "aliases at one address": [(0x200, "alias"), (0x100, "first"), (0x200, "main"), (0x200, "zeta")],
    "a Thumb function beside data at its even address": [(0x101, "func"), (0x100, "table"), (0x0ff, "byte")],
    "listed twice alike": [(0x100, "a"), (0x200, "b"), (0x100, "a"), (0x100, "a")],
    "one name at two addresses": [(0x200, "a"), (0x100, "a"), (0x200, "a")],
    "twins among aliases": [(0x100, "c"), (0x100, "a"), (0x100, "c"), (0x100, "b"), (0x100, "a"), (0x101, "a")],
    "names beyond ASCII": [(0x200, "gr\u00fc\u00dfe"), (0x100, "\u6f22"), (0x200, "gr\u00fc\u00dfe")],
    "the top of the address space": [(0xFFFF_FFFF_FFFF_FFFF, "top"), (0xFFFF_FFFF_FFFF_FFFE, "below"), (0, "zero")],
    "none": [],
    "many at one address": random_listing(1, 300, 2),
    "many, some twins": random_listing(2, 2000, 400),
}


@pytest.mark.parametrize("listed", LISTINGS.values(), ids=LISTINGS.keys())
def test_the_listing_is_kept_once_each_in_address_order(listed):
    symbols = read_ti_map(listing_map(listed), InputSection)[6]
    names, addresses, sizes, bindings = symbols
    assert (names, addresses) == the_rule(listed)
    assert sizes is None and bindings is None  # the map states neither


def as_split(line: str):
    """(address, name) of a symbol's row as Python's split() reads it, or None: two tokens, or
    three with a page (1 to 8 hex digits) between."""
    tokens = line.split()
    hex_digits = set("0123456789abcdefABCDEF")
    if len(tokens) not in (2, 3) or not 4 <= len(tokens[0]) <= 16 or not set(tokens[0]) <= hex_digits:
        return None
    if len(tokens) == 3 and not (1 <= len(tokens[1]) <= 8 and set(tokens[1]) <= hex_digits):
        return None
    return int(tokens[0], 16), tokens[-1]


# blanks of every kind str.split() splits at, characters just beside them, and UTF-8
INSERTED = [" ", "\t", "\x0b", "\x0c", "\x1c", "\x1f", "\x01", "\x19", "!", "\x7f", "\u00e9", "\u6f22"]


@pytest.mark.parametrize("inserted", INSERTED, ids=[f"U+{ord(c):04X}" for c in INSERTED])
def test_a_rows_tokens_are_as_split_reads_them(inserted):
    # the character at every place of names of 1 to 19 characters: across the reader's words of eight
    rows = []
    for length in range(1, 20):
        for place in range(length + 1):
            name = "n" * place + inserted + "m" * (length - place)
            rows.append((0x100 + len(rows) * 4, name))
    lines = [f"{address:08x}  {name}" for address, name in rows] + [f"{0x10:08x} 1f {'p' * 17}", "0100 x y z"]
    expected = [symbol for symbol in map(as_split, lines) if symbol is not None]
    text = "\n".join(["TI ARM Linker Unix v20.2.7", "", "GLOBAL SYMBOLS: SORTED ALPHABETICALLY BY Name", "",
                      *lines, "", f"[{len(lines)} symbols]", ""])
    names, addresses, _sizes, _bindings = read_ti_map(text.encode("utf-8"), InputSection)[6]
    assert (names, addresses) == the_rule(expected)
    # rows are read, not refused: at least those with the character first or last in the name
    # (or, a blank, beside the address or past the name)
    assert len(names) >= 2 * 19
