"""An ELF file's section headers, program headers and symbol table: 32- and 64-bit, little-
and big-endian. Every offset and count is checked against the file before it is read, so a
truncated or hostile file is one `ElfError`, never a crash, a hang or a read past the end."""

from __future__ import annotations

import mmap
import os
import struct

from tarnwick._native import elf_symbols
from tarnwick.support.files import FileProblem, open_regular
from tarnwick.support.records import field, record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

MAGIC = b"\x7fELF"

SHT_NOBITS, SHT_SYMTAB, SHT_STRTAB, SHT_DYNSYM, SHT_SYMTAB_SHNDX = 8, 2, 3, 11, 18
ET_REL, ET_EXEC, ET_DYN, ET_CORE = 1, 2, 3, 4
PT_INTERP = 3
# A table this large must be stored in the file, not claimed over a hole of a sparse one.
_STORED_CHECK = 1 << 20
SHF_WRITE, SHF_ALLOC, SHF_EXECINSTR, SHF_TLS = 0x1, 0x2, 0x4, 0x400
SHN_LORESERVE, SHN_XINDEX = 0xFF00, 0xFFFF
PT_LOAD, PT_TLS = 1, 7
EM_ARM = 40

# (header, section header, program header, symbol) layouts by class; "<" or ">" is prefixed.
_LAYOUTS = {
    1: ("HHIIIIIHHHHHH", "IIIIIIIIII", "IIIIIIII", "IIIBBH"),
    2: ("HHIQQQIHHHHHH", "IIQQQQIIQQ", "IIQQQQQQ", "IBBHQQ"),
}
_MACHINES = {2: "SPARC", 3: "x86", 8: "MIPS", 20: "PowerPC", 40: "Arm", 62: "x86-64", 83: "AVR",
             94: "Xtensa", 105: "MSP430", 183: "AArch64", 243: "RISC-V"}


class ElfError(ValueError):
    """Why a file is not a usable ELF file; `str()` is the reason alone."""


@record(slots=True)
class ElfSection:
    index: int
    name: str
    type: int
    flags: int
    address: int
    offset: int
    size: int
    link: int

    @property
    def allocated(self) -> bool:
        return bool(self.flags & SHF_ALLOC)

    @property
    def has_contents(self) -> bool:
        return self.type != SHT_NOBITS

    @property
    def placed(self) -> bool:
        """Allocated, or laid out at an address without the alloc flag: a script's `(COPY)` or
        `(INFO)` section, which ld may still count in its region (debug and notes sit at 0)."""
        return self.allocated or bool(self.address and self.size)

    @property
    def thread_local_bss(self) -> bool:
        """Zero-initialised thread-local data (.tbss): the TLS template's tail, over which the
        linker does not move its location counter; each thread's block holds it."""
        return bool(self.flags & SHF_TLS) and self.type == SHT_NOBITS


@record(slots=True)
class ElfSegment:
    type: int
    offset: int
    vaddr: int
    paddr: int
    filesz: int
    memsz: int


@record
class ElfFile:
    path: str
    bits: int
    little_endian: bool
    machine: int
    kind: int = ET_EXEC  # e_type
    sections: list = field(default_factory=list)
    segments: list = field(default_factory=list)
    # (name, start, size, section index, binding) of the functions and data placed in memory,
    # by start; Arm Thumb functions' start without the low bit, thread-local ones' in the TLS template
    symbols: list = field(default_factory=list)
    symbol_table: Optional[str] = None  # ".symtab", ".dynsym" or None
    entry: int = 0  # e_entry: where the image starts

    @property
    def machine_name(self) -> str:
        return _MACHINES.get(self.machine, f"machine {self.machine}")

    @property
    def host_program(self) -> bool:
        """A program for an operating system's loader (a shared object or position-independent
        executable, or one that names an interpreter), not a firmware image."""
        return self.kind == ET_DYN or any(segment.type == PT_INTERP for segment in self.segments)

    @property
    def tls_base(self) -> int:
        """Where the TLS template starts (0 without one): thread-local symbols' values are
        offsets from it."""
        return next((segment.vaddr for segment in self.segments if segment.type == PT_TLS), 0)

    def physical_address(self, section: ElfSection) -> int:
        """Where the LOAD segment spanning the section's addresses puts it in physical memory,
        contents or not (a .bss inside a segment whose image is elsewhere); its own address
        when no segment spans it."""
        for segment in self.segments:
            if segment.type == PT_LOAD and segment.vaddr <= section.address < segment.vaddr + segment.memsz:
                return segment.paddr + (section.address - segment.vaddr)
        return section.address

    def load_address(self, section: ElfSection) -> int:
        """Where the section's image is loaded: its place in the LOAD segment holding it
        (the segment's physical address plus the section's offset into it)."""
        for segment in self.segments:
            if (segment.type == PT_LOAD and section.has_contents and segment.filesz
                    and segment.offset <= section.offset
                    and section.offset + section.size <= segment.offset + segment.filesz
                    and segment.vaddr <= section.address < segment.vaddr + segment.memsz):
                return segment.paddr + (section.address - segment.vaddr)
        return section.address


def looks_like(head: bytes) -> bool:
    return head[:4] == MAGIC


class _Reader:
    def __init__(self, data, little: bool, bits: int, descriptor: Optional[int] = None):
        self.data, self.size, self.descriptor = data, len(data), descriptor
        self.order = "<" if little else ">"
        self.header, self.section, self.segment, self.symbol = (
            struct.Struct(self.order + layout) for layout in _LAYOUTS[bits])

    def table(self, offset: int, count: int, entry_size: int, layout: struct.Struct, what: str) -> list:
        """`count` entries of `entry_size` bytes at `offset`, each read with `layout`."""
        if count == 0:
            return []
        if entry_size < layout.size:
            raise ElfError(f"{what} entries of {entry_size} bytes, less than the {layout.size} they need")
        end = offset + count * entry_size
        if offset < 0 or end > self.size:
            raise ElfError(f"the {what} ({count:,} entries at offset {offset:#x}) reach past the end "
                           f"of the file ({self.size:,} bytes)")
        self.stored(offset, end - offset, f"the {what} ({count:,} entries)")
        if entry_size == layout.size:
            return list(layout.iter_unpack(self.data[offset:end]))
        return [layout.unpack_from(self.data, offset + i * entry_size) for i in range(count)]

    def check(self, offset: int, size: int, what: str) -> None:
        """That `size` bytes at `offset` lie inside the file."""
        if offset < 0 or size < 0 or offset + size > self.size:
            raise ElfError(f"{what} ({size:,} bytes at offset {offset:#x}) reaches past the end of the file")
        self.stored(offset, size, what)

    def stored(self, offset: int, size: int, what: str) -> None:
        """That a large table is stored in the file: a sparse file can claim any size while
        holding nothing, and reading its holes would take minutes and gigabytes."""
        if size < _STORED_CHECK or self.descriptor is None:
            return
        held, at, end = 0, offset, offset + size
        try:
            while at < end:
                data = os.lseek(self.descriptor, at, os.SEEK_DATA)
                if data >= end:
                    break
                hole = min(os.lseek(self.descriptor, data, os.SEEK_HOLE), end)
                held, at = held + hole - data, hole
        except OSError:  # no data after `at`, or a file system that cannot say: what it holds is known
            pass
        if held * 2 < size:
            raise ElfError(f"{what} claims {size:,} bytes of which the file stores {held:,} (the rest are "
                           "holes of a sparse file): not a table a linker wrote")

    def bytes_of(self, offset: int, size: int, what: str) -> bytes:
        """`size` bytes at `offset`, checked against the file."""
        self.check(offset, size, what)
        return self.data[offset:offset + size]


def _name(strings: bytes, offset: int) -> str:
    if offset >= len(strings):
        return ""
    end = strings.find(b"\0", offset)
    return strings[offset:end if end >= 0 else len(strings)].decode("utf-8", "replace")


def read_elf(path: str) -> ElfFile:
    """Reads the headers and the symbols placed in memory. Raises ElfError for
    anything that is not a complete, usable ELF file."""
    try:
        with open_regular(path) as handle:
            size = os.fstat(handle.fileno()).st_size
            if size < 16:
                raise ElfError("shorter than an ELF header")
            with mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ) as data:
                return _read(path, data, handle.fileno())
    except FileProblem as exc:
        raise ElfError(str(exc)) from None
    except OSError as exc:
        raise ElfError(exc.strerror or str(exc)) from None


def _read(path: str, data, descriptor: Optional[int] = None) -> ElfFile:
    if data[:4] != MAGIC:
        raise ElfError("no ELF magic number")
    bits = {1: 32, 2: 64}.get(data[4])
    little = {1: True, 2: False}.get(data[5])
    if bits is None or little is None:
        raise ElfError(f"unknown class {data[4]} or byte order {data[5]}")
    reader = _Reader(data, little, data[4], descriptor)
    if len(data) < 16 + reader.header.size:
        raise ElfError("shorter than an ELF header")
    (kind, machine, _version, entry, phoff, shoff, _flags, _ehsize, phentsize, phnum, shentsize,
     shnum, shstrndx) = reader.header.unpack_from(data, 16)
    if kind == ET_REL:
        raise ElfError("a relocatable object file (its sections are not placed yet): link it, and read the "
                       "linked image or its map")
    if kind == ET_CORE:
        raise ElfError("a core dump, not a linked image")
    elf = ElfFile(path, bits, little, machine, kind, entry=entry)

    if shoff == 0:
        raise ElfError("no section header table")
    raw_sections = reader.table(shoff, 1, shentsize, reader.section, "section header table")
    if shnum == 0:  # more than 0xff00 sections: the count is in section 0
        shnum = raw_sections[0][5]
    if shstrndx == SHN_XINDEX:
        shstrndx = raw_sections[0][6]
    raw_sections = reader.table(shoff, shnum, shentsize, reader.section, "section header table")
    if not 0 < shstrndx < shnum:
        raise ElfError(f"section name table index {shstrndx} is not a section")
    names_header = raw_sections[shstrndx]
    names = reader.bytes_of(names_header[4], names_header[5], "the section name table")
    for index, (name, kind, flags, address, offset, size, link, *_rest) in enumerate(raw_sections):
        section = ElfSection(index, _name(names, name), kind, flags, address, offset, size, link)
        if section.allocated and (address + size > 1 << bits or size > 1 << (bits - 2)):
            raise ElfError(f"section {section.name or index} ({size:#x} bytes at {address:#x}) reaches past "
                           "the end of the address space")
        elf.sections.append(section)

    for kind, offset, vaddr, paddr, filesz, memsz in _segments(reader, phoff, phnum, phentsize):
        elf.segments.append(ElfSegment(kind, offset, vaddr, paddr, filesz, memsz))

    table = (next((s for s in elf.sections if s.type == SHT_SYMTAB), None)
             or next((s for s in elf.sections if s.type == SHT_DYNSYM), None))
    if table is not None:
        elf.symbol_table = table.name
        elf.symbols = _symbols(reader, elf, table)
    return elf


def _segments(reader: _Reader, phoff: int, phnum: int, phentsize: int) -> list:
    if phoff == 0 or phnum == 0:
        return []
    rows = reader.table(phoff, phnum, phentsize, reader.segment, "program header table")
    if reader.segment.size == 32:  # 32-bit: type, offset, vaddr, paddr, filesz, memsz, flags, align
        return [(r[0], r[1], r[2], r[3], r[4], r[5]) for r in rows]
    return [(r[0], r[2], r[3], r[4], r[5], r[6]) for r in rows]  # 64-bit: flags comes second


def _symbols(reader: _Reader, elf: ElfFile, table: ElfSection) -> list:
    """The functions and data the table places in memory, sorted by start (native: a large
    firmware's table has over 100,000 entries, mapping symbols included)."""
    entry = reader.symbol.size
    if table.size % entry and table.size > entry:
        raise ElfError(f"symbol table size {table.size} is not a multiple of its {entry}-byte entries")
    if not 0 < table.link < len(elf.sections):
        raise ElfError(f"the symbol table names string table {table.link}, which is not a section")
    strings = elf.sections[table.link]
    if strings.type != SHT_STRTAB:
        raise ElfError(f"the symbol table names section {table.link} ({strings.name or 'unnamed'}) as its "
                       "string table, which is not one")
    count = table.size // entry
    reader.check(table.offset, table.size, "the symbol table")
    reader.check(strings.offset, strings.size, "the symbol name table")
    extended = _extended_indexes(reader, elf, table, count)
    try:
        return elf_symbols(reader.data, table.offset, count, entry, strings.offset, strings.size,
                           elf.bits == 64, elf.little_endian, elf.machine == EM_ARM,
                           [s.placed for s in elf.sections], extended, elf.tls_base)
    except ValueError as exc:
        raise ElfError(str(exc)) from None


def _extended_indexes(reader: _Reader, elf: ElfFile, table: ElfSection, count: int) -> Optional[list]:
    """SHT_SYMTAB_SHNDX: the section indexes that do not fit in 16 bits."""
    holder = next((s for s in elf.sections if s.type == SHT_SYMTAB_SHNDX and s.link == table.index), None)
    if holder is None:
        return None
    layout = struct.Struct(reader.order + "I")
    return [value for (value,) in reader.table(holder.offset, min(count, holder.size // 4), 4, layout,
                                                "extended section index table")] + [0] * max(0, count - holder.size // 4)
