"""How each map reader knows its files by their start, apart from the readers themselves: the
loader asks every reader in turn, and only the one that answers is imported. Each reader's
`looks_like` is its function here."""

from __future__ import annotations

import re

from tarnwick.support.patterns import LazyPattern
from tarnwick.toolchains.maps.map_text import first_line

# Each banner's pattern is compiled only when a text its match needs is in the head: most runs
# read one format, and searching 64 KB for every other format's banner took 4-5 ms a run.
_ARMLINK_HEADING_TEXTS = ("Memory Map of the image", "Image component sizes", "Image Symbol Table",
                          "Section Cross References", "Removing Unused input sections from the image")
_ARMLINK_HEADINGS = LazyPattern(rf"^(?:{'|'.join(_ARMLINK_HEADING_TEXTS)})\s*$", re.MULTILINE)
_ILINK_PARTS = LazyPattern(r"^\*\*\* (PLACEMENT SUMMARY|ENTRY LIST)\s*$", re.MULTILINE)
_XLINK_BANNER = LazyPattern(r"IAR Universal Linker V\S+")
# every linker TI_BANNER names ends in one of these before " Linker"
_TI_LINKER_ENDS = ("ARM Linker", "MSP430 Linker", "C2000 Linker", "C6x Linker")
_TI_BANNER = LazyPattern(r"^\s*(TI ARM|MSP430|TMS320C2000|TMS320C6x|C2000|ARM) Linker", re.M)
_SDCC_BANNER = LazyPattern(r"^ASxxxx Linker V\S+")
_XC8_BANNER = LazyPattern(r"^Microchip MPLAB XC8 |^HI-TECH Software .*PIC", re.M)
_C51_BANNER = LazyPattern(r"^\s*(?:BL51 BANKED LINKER/LOCATER|LX51 LINKER/LOCATER) V\S+")
_COSMIC_BANNER = LazyPattern(r"^Map of .+ from link file .+$", re.M)
_RLINK_BANNER = LazyPattern(r"^\s*Renesas Optimizing Linker \(V[\d.]+ *\)")
_XC_LINKER_LINE = LazyPattern(r"^xc(?:16|32)-ld ", re.M)
_LLD_HEADER = LazyPattern(r"^\s*VMA\s+(LMA\s+)?Size\s+Align\s+Out\s+In\s+Symbol$")
_HEX = r"0x([0-9a-fA-F]+)"
# What only a GNU ld or gold map has, to tell one from other text by content.
_GNU_SIGNATURES = LazyPattern(
    rf"^(?:\*default\*\s+{_HEX}\s+{_HEX}"          # the last row of the memory table
    rf"|\.\S+\s+{_HEX}\s+{_HEX}"                    # an output section
    rf"| \.\S+\s+{_HEX}\s+{_HEX} \S"                # an input section with its file
    r"|LOAD \S|OUTPUT\(\S| \*\* \S)",
    re.MULTILINE)
# The English headings a GNU ld map may start with.
_GNU_FIRST_HEADINGS = ("Archive member included", "Allocating common symbols", "Discarded input sections",
                       "There are no discarded input sections", "Memory Configuration",
                       "Linker script and memory map", "Merging program properties", "Memory map")


def armlink(head: str) -> bool:
    first = next((line for line in head.splitlines() if line.strip()), "")
    return ((first.startswith("Component:") and "armlink" in first)
            or (any(text in head for text in _ARMLINK_HEADING_TEXTS) and bool(_ARMLINK_HEADINGS.search(head))))


def iar_ilink(head: str) -> bool:
    return "IAR ELF Linker" in head or (("*** PLACEMENT SUMMARY" in head or "*** ENTRY LIST" in head)
                                        and bool(_ILINK_PARTS.search(head)))


def iar_xlink(head: str) -> bool:
    return "IAR Universal Linker V" in head and bool(_XLINK_BANNER.search(head))


def ti_linker(head: str) -> bool:
    return ((any(end in head for end in _TI_LINKER_ENDS) and bool(_TI_BANNER.search(head)))
            or ("MEMORY CONFIGURATION" in head and "SECTION ALLOCATION MAP" in head))


def sdcc(head: str) -> bool:
    start = head.lstrip()
    return start.startswith("ASxxxx Linker V") and bool(_SDCC_BANNER.match(start))


def xc8(head: str) -> bool:
    return ("Linker command line" in head and ("Microchip MPLAB XC8 " in head or "HI-TECH Software " in head)
            and bool(_XC8_BANNER.search(head)))


def keil_c51(head: str) -> bool:
    return "LINKER/LOCATER V" in head and bool(_C51_BANNER.match(head.lstrip("\ufeff\r\n")))


def cosmic(head: str) -> bool:
    start = head[:2000]
    return "segment " in head and " from link file " in start and bool(_COSMIC_BANNER.search(start))


def renesas_rlink(head: str) -> bool:
    return "Renesas Optimizing Linker (V" in head and bool(_RLINK_BANNER.match(head.lstrip("\ufeff\r\n")))


def microchip_xc(head: str) -> bool:
    return (head.lstrip().startswith("Microchip Technology Inc")
            or "Microchip PIC32 Memory-Usage Report" in head
            or (("xc16-ld " in head or "xc32-ld " in head) and _XC_LINKER_LINE.search(head) is not None))


def llvm_lld(head: str) -> bool:
    """Whether the table's heading is the file's first line."""
    line = first_line(head)[1]
    return "VMA" in line and bool(_LLD_HEADER.match(line.rstrip()))


def gnu_ld(head: str) -> bool:
    """Whether the start of a file reads as a GNU ld or gold map (headings may be translated)."""
    return head.lstrip().startswith(_GNU_FIRST_HEADINGS) or bool(_GNU_SIGNATURES.search(head))
