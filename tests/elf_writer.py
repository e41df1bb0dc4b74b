"""Writes small ELF files for tests: any class and byte order, chosen sections, symbols and
LOAD segments, so the reader is tested on layouts no toolchain here produces (big-endian,
64-bit firmware) and on files broken on purpose."""

import struct

SHT_PROGBITS, SHT_SYMTAB, SHT_STRTAB, SHT_NOBITS = 1, 2, 3, 8
ALLOC, WRITE, EXEC = 0x2, 0x1, 0x4


def _strings(names):
    table, offsets = b"\0", {}
    for name in names:
        if name not in offsets:
            offsets[name] = len(table)
            table += name.encode() + b"\0"
    return table, offsets


def elf(sections, symbols, bits=32, little=True, machine=40, segments=()):
    """sections: (name, type, flags, address, size); symbols: (name, value, size, type,
    binding, section name); segments: (vaddr, paddr, section name) LOAD segments over one
    section each. Returns the file's bytes."""
    order = "<" if little else ">"
    header_size, section_entry, segment_entry = (52, 40, 32) if bits == 32 else (64, 64, 56)
    symbol_entry = 16 if bits == 32 else 24
    names = [s[0] for s in sections] + [".symtab", ".strtab", ".shstrtab"]
    shstrtab, name_offsets = _strings(names)
    strtab, symbol_offsets = _strings([s[0] for s in symbols])
    index = {s[0]: i + 1 for i, s in enumerate(sections)}
    symtab = b"\0" * symbol_entry
    for name, value, size, kind, binding, section in symbols:
        info = (binding << 4) | kind
        shndx = index.get(section, 0)
        if bits == 32:
            symtab += struct.pack(order + "IIIBBH", symbol_offsets[name], value, size, info, 0, shndx)
        else:
            symtab += struct.pack(order + "IBBHQQ", symbol_offsets[name], info, 0, shndx, value, size)

    body = bytearray(b"\0" * (header_size + segment_entry * len(segments)))
    placed = []
    for name, kind, flags, address, size in sections:
        offset = len(body)
        if kind != SHT_NOBITS:
            body += bytes(size)
        placed.append((name_offsets[name], kind, flags, address, offset, size, 0, 0, 4, 0))
    tables = []
    for name, kind, data, link, entry in [(".symtab", SHT_SYMTAB, symtab, len(sections) + 2, symbol_entry),
                                          (".strtab", SHT_STRTAB, strtab, 0, 0),
                                          (".shstrtab", SHT_STRTAB, shstrtab, 0, 0)]:
        tables.append((name_offsets[name], kind, 0, 0, len(body), len(data), link, 1, 4, entry))
        body += data
    section_table = len(body)
    layout = order + ("IIIIIIIIII" if bits == 32 else "IIQQQQIIQQ")
    body += bytes(section_entry)
    for row in placed + tables:
        body += struct.pack(layout, *row)
    count = len(placed) + len(tables) + 1
    ident = b"\x7fELF" + bytes([1 if bits == 32 else 2, 1 if little else 2, 1]) + bytes(9)
    fields = (2, machine, 1, 0, header_size if segments else 0, section_table, 0, header_size,
              segment_entry, len(segments), section_entry, count, count - 1)
    struct.pack_into(order + ("HHIIIIIHHHHHH" if bits == 32 else "HHIQQQIHHHHHH"), body, 16, *fields)
    body[:16] = ident
    by_name = {row[0]: row for row in placed}
    for number, (vaddr, paddr, section) in enumerate(segments):
        row = by_name[name_offsets[section]]
        at = header_size + number * segment_entry
        if bits == 32:
            struct.pack_into(order + "IIIIIIII", body, at, 1, row[4], vaddr, paddr, row[5], row[5], 5, 4)
        else:
            struct.pack_into(order + "IIQQQQQQ", body, at, 1, 5, row[4], vaddr, paddr, row[5], row[5], 4)
    return bytes(body)
