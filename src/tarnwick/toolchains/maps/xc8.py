"""Maps of Microchip's XC8 for the 8-bit PICs (PIC10/12/16/18; the HI-TECH linker's format).
The command line the map repeats names each class of memory and its ranges (`-ABANK0=020h-06Fh`,
`-ACODE=00h-07FFhx4`: four pages); a first table lists each object's psects with their link
and load addresses, length and address space; a second groups the psects by class (CODE,
STRING, CONST, COMMON, BANKn, CONFIG, IDLOC, EEDATA...); SEGMENTS, UNUSED ADDRESS RANGES and
the symbol table (name, psect, address) follow, and the compiler's memory summary where it is
written into the map.

The PIC's program and data memories are separate spaces whose addresses overlap: data (space
1) is held at 2^32 plus its address. Program memory is addressed in words (the class's Delta:
2 bytes per address on the PIC10/12/16, 1 on the PIC18), so its addresses and lengths are
counted in bytes, as the HEX file stores them. The regions are the classes that own memory
(CODE, COMMON or COMRAM, the RAM banks, CONFIG, IDLOC, EEDATA); the others (STRING, RAM,
ABS1, SFRn...) are views over the same memory.
"""

from __future__ import annotations

import re

from tarnwick._native import place_xc8_psects, read_xc8_map
from tarnwick.support.figures import figure, written
from tarnwick.toolchains.base import (
    InputSection, MemoryCategory, MemoryRegion, RegionFinder, Section, StatedTotals, Toolchain,
)
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import line_of, native_rows, reads_bytes
from tarnwick.toolchains.maps.vendor_maps import assemble
from tarnwick.toolchains.maps.heads import xc8 as looks_like  # noqa: F401

DATA_SPACE, EEPROM_SPACE = 1 << 32, 3 << 32
_CLASS_OPTION = re.compile(r"-A(\w+)=((?:[0-9A-Fa-f]+h-[0-9A-Fa-f]+h(?:x\d+)?(?:/[0-9A-Fa-f]+h)?,?)+)")
_CLASS_RANGE = re.compile(r"([0-9A-Fa-f]+)h-([0-9A-Fa-f]+)h(?:x(\d+))?(?:/([0-9A-Fa-f]+)h)?")
_DELTA_OPTION = re.compile(r"-D(\w+)=(\d+)")
_SUMMARY = re.compile(r"^\s*(Program space|Data space|EEPROM space|Configuration bits|ID Location space)\s+used\s+"
                      r"[0-9A-Fa-f]+h\s+\(\s*(\d+)\)\s+of\s+[0-9A-Fa-f]+h\s+(words?|bytes?)", re.M)
_TOTAL_RAM = re.compile(r"^\s*Total ram usage\s*:?\s*(\d+)", re.M | re.I)
_LAST_SUMMARY_LINE = re.compile(r"^\s*ID Location space\s+used\s", re.M)
_ESTIMATED = re.compile(r"^(\S.*?) estimated size: \d+\s*$", re.M)  # "main.c estimated size: 5"
_DEFINED_IN = re.compile(r'^\s*line \d+ in file "([^"]+)"', re.M)  # a function's place in FUNCTION INFORMATION
_RAM_CLASS = re.compile(r"^(?:COMMON|COMRAM|BANK\d+|BIGRAM)$")
_NON_VOLATILE = ("CODE", "CONFIG", "IDLOC", "EEDATA")


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


def parse(data, path: str, config=None):
    """The model of an XC8 map from its UTF-8 bytes."""
    command, rows, psects, deltas, unused, tail, seen = native_rows(read_xc8_map, path, data)
    if "classes" not in seen or not psects:
        raise MapParseError(path, "an XC8 map without its psects by class")
    if not {"unused", "symbols"} <= seen:
        raise MapParseError(path, "an XC8 map cut short: it does not reach its unused address ranges and "
                            "symbol table")
    cut = _cut_short(tail)
    if cut:
        raise MapParseError(path, f"an XC8 map cut short: {cut}")
    return _model(path, config, command, rows, deltas, unused, tail, data)


def _cut_short(tail: str) -> str:
    """Why the part after the symbol table is not whole ("" when it is): the function and module
    information (XC8 2) ends with the estimated size of each source file that defines a function.
    A memory summary that stops short is a note (see _model)."""
    if "Memory Summary:" in tail:
        return ""  # the summary's own lines say how far it goes (see _model)
    if "FUNCTION INFORMATION" not in tail and "MODULE INFORMATION" not in tail:
        return ""
    sized = set(_ESTIMATED.findall(tail))
    defined = set(_DEFINED_IN.findall(tail))
    last = tail.rstrip().rsplit("\n", 1)[-1]
    if "MODULE INFORMATION" not in tail or not _ESTIMATED.search(last) or not defined <= sized:
        return "its module information does not reach the estimated size of every file it defines functions in"
    return ""


def _class_options(command: list, path: str, data) -> tuple[dict, dict, dict]:
    """(class -> [(low, high), ...] in the class's own units, each range repeated as its 'xN'
    says: its pages one after another, one range), (class -> its load address less its link
    address, where a '/' gives one), (class -> bytes per address) from the -A and -D options of
    the command line. A range past 64 bits is no memory: MapParseError."""
    text = " ".join(command)
    ranges: dict = {}
    loaded: dict = {}  # class -> how far above its link addresses it loads (where it says: EEPROM)
    for klass, spans in _CLASS_OPTION.findall(text):
        found = []
        # each LOW-HIGH[xPAGES][/LOAD]: EEPROM is held in a space of its own, at its link address
        for low_text, high_text, repeat, load in _CLASS_RANGE.findall(spans):
            low, high = figure(low_text, 16), figure(high_text, 16) + 1
            pages = int(repeat) if repeat and len(repeat) <= 20 else 1 if not repeat else 1 << 64
            if pages == 0:
                continue
            end = high + (pages - 1) * (high - low) if high > low else high
            if max(low, end) > 1 << 64:
                raise MapParseError(path, f"class {klass}'s range {low_text}h-{high_text}h"
                                    f"{'x' + repeat if repeat else ''} lies beyond the 64-bit address space",
                                    line_of(data, f"-A{klass}="))
            if load:
                loaded[klass] = figure(load, 16) - low
            found.append((low, end))
        ranges[klass] = found
    deltas = {klass: figure(delta) for klass, delta in _DELTA_OPTION.findall(text)}
    return ranges, loaded, deltas


def _model(path: str, config, command: list, rows, unused_deltas: dict, unused: list, tail: str, data):
    ranges, loaded, deltas = _class_options(command, path, data)
    deltas = {**deltas, **unused_deltas}

    def scale(klass: str) -> int:  # bytes per address of a program-memory class
        return deltas.get(klass, deltas.get("CODE", 1))

    regions, left = [], {}  # left: region name -> its bytes the unused address ranges leave used
    for klass, spans in ranges.items():
        if not (_RAM_CLASS.match(klass) or klass in _NON_VOLATILE):
            continue
        ram = bool(_RAM_CLASS.match(klass))
        base, unit = _placing(klass, 1 if ram else 0, scale)
        # configuration words, ID locations and EEPROM are memories of their own, not program flash
        category = MemoryCategory.RAM if ram else MemoryCategory.FLASH if klass == "CODE" else MemoryCategory.OTHER
        for index, (low, high) in enumerate(_merged(spans)):
            name = klass if index == 0 else f"{klass}{index + 1}"
            if base + high * unit > 1 << 64:  # the regions' bounds are 64-bit figures from here on
                raise MapParseError(path, f"class {klass} counts {written(unit)} bytes per address: its range "
                                    f"{low:x}h-{high - 1:x}h lies beyond the 64-bit address space")
            regions.append(MemoryRegion(name, base + low * unit, (high - low) * unit, category, "rw" if ram else "rx"))
            shift = loaded.get(klass, 0)  # its unused ranges are given at its load addresses
            free = sum(max(min(b - shift, high) - max(a - shift, low), 0) for k, a, b in unused if k == klass)
            left[name] = (high - low - free) * unit
    finder = RegionFinder(regions)

    def placing(klass: str, space: int) -> tuple[int, int]:
        base, unit = _placing(klass, space, scale)
        if unit >= 1 << 32:
            raise MapParseError(path, f"class {klass} counts {unit:,} bytes per address: its psects lie beyond "
                                "the 64-bit address space")
        return base, unit

    sections, raw = place_xc8_psects(rows, placing, finder.bounds, finder.names, Section, InputSection)
    notes = [f"program memory counted in bytes: {scale('CODE')} per address, as the HEX file stores it"] \
        if scale("CODE") != 1 else []
    notes.append(f"data memory is held at {DATA_SPACE:#x} and EEPROM at {EEPROM_SPACE:#x} plus their "
                 "addresses: the PIC's memories overlap in address")
    stated = _stated(tail, scale)
    stated.regions = left  # what its unused address ranges leave of each region
    notes.append("each region's use checked against what the map's unused address ranges leave of it")
    model = assemble(Toolchain.XC8, path, regions, sections, raw, config, sizes_given=False, thumb=False,
                     notes=notes, stated=stated, use_counts_gaps=False)
    if "Memory Summary:" in tail and not _LAST_SUMMARY_LINE.search(tail):
        model.unresolved_ambiguities.append("the memory summary stops before its ID locations, the line XC8 writes "
                                            "last: the map may be cut short")
    if stated.flash is None and stated.ram is None and "INFORMATION" not in tail:
        model.unresolved_ambiguities.append(
            "the map holds no memory summary (XC8 writes it with --summary) nor function and module information: "
            "a map cut short in its symbol table reads as complete")
    return model


def _placing(klass: str, space: int, scale) -> tuple[int, int]:
    """Where a class's addresses are held in the model and how many bytes each counts: data
    at DATA_SPACE in bytes, EEPROM at EEPROM_SPACE in bytes (the HEX file's words are an
    encoding), program memory where it is stored, in the class's bytes per address."""
    if space == 1:
        return DATA_SPACE, 1
    if klass == "EEDATA":
        return EEPROM_SPACE, 1
    return 0, scale(klass)


def _merged(spans: list) -> list:
    """Ranges that touch (the pages of CODE) made one."""
    merged: list = []
    for low, high in sorted(spans):
        if merged and low <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(high, merged[-1][1]))
        else:
            merged.append((low, high))
    return merged


def _stated(tail: str, scale) -> StatedTotals:
    """The compiler's memory summary, where the map holds it: words of program memory and
    configuration counted in bytes as the model counts them."""
    stated = StatedTotals()
    flash = ram = None
    words = []
    for kind, used, unit in _SUMMARY.findall(tail):
        size = figure(used) * (scale("CODE") if unit.startswith("word") else 1)
        if kind == "Data space":
            ram = size
        elif kind == "Program space":
            flash = size
            words.append(kind)
    # XC8 2 states a "Total ram usage" for each function it describes: that is no total of the program
    total_ram = _TOTAL_RAM.search(tail.split("FUNCTION INFORMATION", 1)[0])
    if total_ram:
        ram = figure(total_ram.group(1))
    if flash is not None:
        stated.flash, stated.flash_words = flash, " + ".join(words) + " of the memory summary"
    if ram is not None:
        stated.ram, stated.ram_words = ram, "Total ram usage" if total_ram else "Data space of the memory summary"
    return stated


read = reads_bytes(parse)
