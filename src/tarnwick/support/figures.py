"""Figures as the files print them, read into ints with a bound on their digits.

The interpreter refuses to convert 4,300 decimal digits or more (a ValueError of its own, which
no reader would tell from a bad figure), takes time with the square of the digits below that,
and writes no int of that many digits either; a hexadecimal figure of 3,600 digits converts, and
then cannot be written in a message. No build has a figure of more than a few dozen digits, so a
figure of more than MOST_DIGITS significant digits, in any base, is refused as too long."""

from __future__ import annotations

MOST_DIGITS = 256  # 2^256 and more in any base of two or more: no build's

_READABLE = 10 ** 40  # a figure a message writes out; beyond, it writes how long it is
_PREFIXES = {"0x": 16, "0X": 16, "0o": 8, "0O": 8, "0b": 2, "0B": 2}


class FigureTooLong(ValueError):
    """A figure of more than MOST_DIGITS significant digits."""


def figure(text: str, base: int = 10) -> int:
    """`int(text, base)` of a figure a file prints; FigureTooLong for one of more than
    MOST_DIGITS significant digits, ValueError as `int` raises it otherwise."""
    if len(text) <= MOST_DIGITS:
        return int(text, base)
    body = text.strip()
    sign = body[:1] if body[:1] in ("+", "-") else ""
    body = body[len(sign):]
    prefix = body[:2] if body[:2] in _PREFIXES and base in (0, _PREFIXES[body[:2]]) else ""
    if prefix:
        base = _PREFIXES[prefix]
    significant = body[len(prefix):].lstrip("0")
    if significant[:1] == "_":  # "0_1" reads as 1: the zero before an underscore stays
        significant = "0" + significant
    if base == 0 and not prefix:
        if significant and len(significant) < len(body):
            raise ValueError(f"invalid literal for int() with base 0: {text[:MOST_DIGITS]!r}")
        base = 10
    if len(significant) > MOST_DIGITS:
        raise FigureTooLong(f"a figure of {len(significant):,} digits ({sign}{prefix}{significant[:12]}...), "
                            "more than any build has")
    return int(sign + (significant or "0"), base)


def written(number: int, style: str = ",") -> str:
    """`number` as messages write figures (in `style`: "65,536"); one too long to read, by its length."""
    if -_READABLE < number < _READABLE:
        return format(number, style)
    return f"a {'negative ' if number < 0 else ''}number of {number.bit_length():,} bits"


def decoding_error(error: ValueError) -> str:
    """What a decoder's ValueError says of a file, without the interpreter's advice to raise its
    limit of digits (its message for a number of thousands), which no user of the tool can take."""
    return str(error).split("; use sys.set_int_max_str_digits()", 1)[0]
