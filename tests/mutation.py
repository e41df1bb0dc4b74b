"""The ways a map or a binary file is damaged on purpose, for the seeded mutation tests and the
open-ended fuzzer (bench/fuzz.py): lines cut, repeated, spliced from another file or filled
with junk, bytes flipped, and the faults of a row that readers slip on: a field of one
character, fields in another order, a figure past 64 bits, a repeat count no memory holds, a
separator lost."""

from __future__ import annotations

import random

# what a field becomes: one character, nothing, a figure no address space holds, or too many digits
FIELDS = [b"0", b"x", b"-", b"*", b"(", b"", b"0x", b"h", b"ffffffffffffffffff", b"0x1ffffffffffffffff",
          b"99999999999999999999999", b"8000000000000000", b"0xffffffffffffffff", b"x4000000000", b"9" * 5000]


def _tokens(line: bytes) -> list:
    return line.split()


def mutate(data: bytes, rng: random.Random, others: list) -> bytes:
    """A text file damaged in 1 to 4 places."""
    lines = data.split(b"\n")
    for _ in range(rng.randint(1, 4)):
        choice = rng.randrange(12)
        if choice == 0:  # flip bytes
            buffer = bytearray(b"\n".join(lines))
            for _ in range(rng.randint(1, 8) if buffer else 0):
                buffer[rng.randrange(len(buffer))] = rng.randrange(256)
            lines = bytes(buffer).split(b"\n")
        elif choice == 1:  # truncate
            lines = lines[:rng.randrange(len(lines) + 1)]
        elif choice == 2 and lines:  # delete a line
            del lines[rng.randrange(len(lines))]
        elif choice == 3 and lines:  # repeat a line
            index = rng.randrange(len(lines))
            lines[index:index] = [lines[index]] * rng.randint(1, 50)
        elif choice == 4:  # splice from another map
            other = rng.choice(others).split(b"\n")
            start = rng.randrange(len(other))
            lines[rng.randrange(len(lines) + 1):0] = other[start:start + rng.randint(1, 40)]
        elif choice == 5 and lines:  # change a hex number
            index = rng.randrange(len(lines))
            lines[index] = lines[index].replace(b"0x", b"0x" + rng.choice([b"f", b"ff", b"0", b"fffffffff"]), 1)
        elif choice == 6 and lines:  # indentation change
            index = rng.randrange(len(lines))
            lines[index] = rng.choice([b"", b" ", b"        ", b"\t"]) + lines[index].lstrip()
        elif choice in (7, 8, 9, 10) and lines:  # a row's fields: the faults readers slip on
            index = rng.randrange(len(lines))
            lines[index] = _damaged_row(lines[index], rng, choice)
        else:  # random junk line
            lines.insert(rng.randrange(len(lines) + 1), bytes(rng.randrange(256) for _ in range(rng.randrange(30))))
    return b"\n".join(lines)


def _damaged_row(line: bytes, rng: random.Random, choice: int) -> bytes:
    indent = line[:len(line) - len(line.lstrip())]
    fields = _tokens(line)
    if not fields:
        return line
    at = rng.randrange(len(fields))
    if choice == 7:  # a field replaced
        fields[at] = rng.choice(FIELDS)
    elif choice == 8:  # two fields swapped
        other = rng.randrange(len(fields))
        fields[at], fields[other] = fields[other], fields[at]
    elif choice == 9:  # a character lost (a comma, a dash, a digit) or doubled
        field = fields[at]
        if field:
            where = rng.randrange(len(field))
            fields[at] = field[:where] + (field[where:where + 1] * 2 if rng.random() < 0.3 else b"") + field[where + 1:]
    else:  # a repeat count or a range suffix after a figure
        fields[at] = fields[at] + rng.choice([b"x4000000000", b"x0", b"x99999999999999999999999", b"-", b",", b"h"])
    return indent + b"  ".join(fields)


def mutate_binary(data: bytes, rng: random.Random) -> bytes:
    """Flipped bytes, overwritten words (offsets, counts, sizes), truncation."""
    buffer = bytearray(data)
    for _ in range(rng.randint(1, 6)):
        choice = rng.randrange(4)
        where = rng.randrange(len(buffer)) if buffer else 0
        if choice == 0 and buffer:
            buffer[where] = rng.randrange(256)
        elif choice == 1 and len(buffer) > 4:
            word = rng.choice([0, 1, 0xFFFF, 0xFFFFFFFF, 0x7FFFFFFF, rng.randrange(1 << 32), len(buffer)])
            buffer[where:where + 4] = word.to_bytes(4, "little")
        elif choice == 2:
            del buffer[rng.randrange(len(buffer) + 1):]
        elif buffer:  # a header field: the first 64 bytes hold the offsets and counts
            buffer[rng.randrange(min(64, len(buffer)))] = rng.randrange(256)
    return bytes(buffer)
