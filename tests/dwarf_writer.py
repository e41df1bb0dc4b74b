"""Writes the debug sections of small DWARF 4 and 5 builds for tests: compile units with
functions and variables, their abbreviation tables and line tables, laid out as a test wants
them (units that share one table, a damaged header), in the order read_dwarf takes them."""

import struct

from tarnwick.toolchains.elf.dwarf import SECTIONS

# DW_TAG, DW_AT, DW_FORM values used here
TAG_COMPILE_UNIT, TAG_SUBPROGRAM, TAG_VARIABLE = 0x11, 0x2E, 0x34
AT_NAME, AT_COMP_DIR, AT_STMT_LIST, AT_LOW_PC, AT_HIGH_PC = 0x03, 0x1B, 0x10, 0x11, 0x12
AT_DECL_FILE, AT_DECL_LINE, AT_LOCATION = 0x3A, 0x3B, 0x02
FORM_ADDR, FORM_DATA2, FORM_DATA4, FORM_STRING, FORM_DATA1, FORM_SEC_OFFSET, FORM_EXPRLOC = (
    0x01, 0x05, 0x06, 0x08, 0x0B, 0x17, 0x18)
FORM_LINE_STRP, FORM_UDATA = 0x1F, 0x0F


def uleb(value: int) -> bytes:
    out = bytearray()
    while True:
        byte, value = value & 0x7F, value >> 7
        out.append(byte | (0x80 if value else 0))
        if not value:
            return bytes(out)


def text(value: str) -> bytes:
    return value.encode() + b"\0"


def abbreviations() -> bytes:
    """One table: 1 the compile unit, 2 a function, 3 a variable."""
    def entry(code, tag, children, attributes):
        return uleb(code) + uleb(tag) + bytes([children]) + b"".join(
            uleb(a) + uleb(f) for a, f in attributes) + b"\0\0"
    return (entry(1, TAG_COMPILE_UNIT, 1, [(AT_NAME, FORM_STRING), (AT_COMP_DIR, FORM_STRING),
                                           (AT_STMT_LIST, FORM_SEC_OFFSET), (AT_LOW_PC, FORM_ADDR),
                                           (AT_HIGH_PC, FORM_DATA4)])
            + entry(2, TAG_SUBPROGRAM, 0, [(AT_NAME, FORM_STRING), (AT_DECL_FILE, FORM_DATA2),
                                           (AT_DECL_LINE, FORM_DATA2), (AT_LOW_PC, FORM_ADDR),
                                           (AT_HIGH_PC, FORM_DATA4)])
            + entry(3, TAG_VARIABLE, 0, [(AT_NAME, FORM_STRING), (AT_DECL_FILE, FORM_DATA2),
                                         (AT_DECL_LINE, FORM_DATA2), (AT_LOCATION, FORM_EXPRLOC)])
            + b"\0")


def line_table(files: list, folders: list = (), version: int = 4, address_size: int = 4) -> bytes:
    """A line table naming `files` ((name, folder index), folder 0: the unit's own), without a
    line program. Version 5 names its folders and files with strings of its own (DW_FORM_string)."""
    standard = bytes([0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1])  # opcode_base 13
    fields = bytes([2]) + (bytes([1]) if version >= 4 else b"") + bytes([1, 0xFB, 14, 13]) + standard
    if version >= 5:
        names = (bytes([1]) + uleb(1) + uleb(FORM_STRING) + uleb(len(folders) + 1)
                 + b"".join(text(f) for f in ["", *folders])
                 + bytes([2]) + uleb(1) + uleb(FORM_STRING) + uleb(2) + uleb(FORM_UDATA) + uleb(len(files))
                 + b"".join(text(name) + uleb(folder) for name, folder in files))
    else:
        names = (b"".join(text(f) for f in folders) + b"\0"
                 + b"".join(text(name) + uleb(folder) + b"\0\0" for name, folder in files) + b"\0")
    header = fields + names
    before_length = struct.pack("<H", version) + (bytes([address_size, 0]) if version >= 5 else b"")
    body = before_length + struct.pack("<I", len(header)) + header
    return struct.pack("<I", len(body)) + body


def compile_unit(name: str, folder: str, line_offset: int, functions: list, variables: list = (),
                 abbrev_offset: int = 0, version: int = 4, address_size: int = 4) -> bytes:
    """One unit: functions (name, file, line, low, size), variables (name, file, line, address)."""
    address = "<I" if address_size == 4 else "<Q"
    low = min((f[3] for f in functions), default=0)
    high = max((f[3] + f[4] for f in functions), default=0)
    dies = (uleb(1) + text(name) + text(folder) + struct.pack("<I", line_offset) + struct.pack(address, low)
            + struct.pack("<I", high - low))
    for function, file, line, start, size in functions:
        dies += uleb(2) + text(function) + struct.pack("<HH", file, line) + struct.pack(address, start) + \
            struct.pack("<I", size)
    for variable, file, line, at in variables:
        location = b"\x03" + struct.pack(address, at)  # DW_OP_addr
        dies += uleb(3) + text(variable) + struct.pack("<HH", file, line) + uleb(len(location)) + location
    dies += b"\0"
    if version >= 5:
        header = struct.pack("<HBBI", version, 1, address_size, abbrev_offset)  # DW_UT_compile
    else:
        header = struct.pack("<HIB", version, abbrev_offset, address_size)
    return struct.pack("<I", len(header) + len(dies)) + header + dies


def sections(**given) -> list:
    """The nine sections read_dwarf takes, those not given empty."""
    return [given.get(name, b"") for name in SECTIONS]


def own_tables_build(units: int) -> list:
    """`units` compile units, each with a line table of its own naming one file and one function
    declared there (the sections of read_dwarf): what a build without shared tables costs."""
    tables = [line_table([(f"file{u:06}.c", 1)], ["src"]) for u in range(units)]
    offsets, at = [], 0
    for table in tables:
        offsets.append(at)
        at += len(table)
    info = b"".join(compile_unit(f"unit{u}.c", "/build", offsets[u], [(f"f{u}", 1, 10, 0x1000 + 16 * u, 16)])
                    for u in range(units))
    return sections(info=info, abbrev=abbreviations(), line=b"".join(tables))


def shared_tables_build(units: int, files: int) -> list:
    """`units` compile units that share one abbreviation table and one line table of `files`
    files, each unit with one function declared in one of them (the sections of read_dwarf)."""
    table = line_table([(f"file{n:06}.c", 1) for n in range(files)], ["src"])
    info = b"".join(compile_unit(f"unit{u}.c", "/build", 0, [(f"f{u}", 1 + u % files, 10, 0x1000 + 16 * u, 16)])
                    for u in range(units))
    return sections(info=info, abbrev=abbreviations(), line=table)
