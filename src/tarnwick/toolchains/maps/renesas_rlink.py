"""Maps of Renesas' optimizing linker, rlink (CC-RH for RH850, CC-RX, CC-RL; `-list=FILE`). The
map repeats the link's options, then gives the Mapping List: each section's START, END and SIZE
(hex). Initialised data is linked twice: its initial values in ROM and the RAM it is copied to at
start-up, paired by the `-rom=ROM=RAM` option (`-rom=.data=.data.R`, CC-RX's `-rom=D=R,D_1=R_1`);
the RAM section is the model's section, the ROM one its load image. Zero-initialised data and
stacks (.bss, .stack.bss, CC-RX's B and SU/SI) hold no contents; everything else is ROM. The map
states no memory sizes (they are the device's), so there are no regions unless configured; where
it has its "Total Section Size" part, the ROMDATA and PROGRAM sections are flash and the RAMDATA
ones RAM, checked against the model.
"""

from __future__ import annotations

import re

from tarnwick._native import read_rlink_map
from tarnwick.toolchains.base import InputSection, Section, StatedTotals, Toolchain
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import native_rows, reads_bytes
from tarnwick.toolchains.maps.vendor_maps import assemble
from tarnwick.toolchains.maps.heads import renesas_rlink as looks_like  # noqa: F401

_NO_CONTENTS = re.compile(r"bss|stack|^B(?:_\d+)?$|^S[UI]$", re.IGNORECASE)
_STACK = re.compile(r"stack|^S[UI]$", re.IGNORECASE)
_CODE = re.compile(r"^(?:\.text|P(?:_\w+)?$|RESET$|\.reset)", re.IGNORECASE)


ELF_NOT_READ = "an ELF file is joined to GNU and LLVM maps only"  # why an ELF file named with the map is not used


def parse(data, path: str, config=None):
    """The model of an rlink map from its UTF-8 bytes."""
    _banner, options, rows, totals, parts = native_rows(read_rlink_map, path, data)
    if "Mapping List" not in parts or not rows:
        raise MapParseError(path, "a Renesas linker map without its Mapping List (link with -list and -show)")
    if "Total Section Size" in parts and not {"RAMDATA", "ROMDATA", "PROGRAM"} <= set(totals):
        raise MapParseError(path, "a Renesas linker map cut short: its Total Section Size lacks "
                            + ", ".join(sorted({"RAMDATA", "ROMDATA", "PROGRAM"} - set(totals))))
    copies = _copies(options)
    by_name = {name: (start, size) for name, start, _end, size, _line in rows}
    notes, sections, images = [], [], {}
    for rom, ram in copies.items():
        if rom in by_name and ram in by_name:
            if by_name[rom][1] == by_name[ram][1]:
                images[ram] = by_name[rom][0]
            else:
                notes.append(f"-rom={rom}={ram}: the sections differ in size ({by_name[rom][1]:#x} and "
                             f"{by_name[ram][1]:#x}); each counts as placed")
    paired = {rom for rom, ram in copies.items() if ram in images}
    for name, start, _end, size, _line in rows:
        if name in paired or not size:
            continue
        copied = name in images
        contents = copied or not _NO_CONTENTS.search(name)
        stack = bool(_STACK.search(name))  # what the stack reserves
        sections.append(Section(name, start, size, None, load_address=images.get(name),
                                has_contents=contents, is_code=bool(_CODE.match(name)),
                                inputs=(InputSection(name, start, size, None, is_fill=stack, is_reservation=stack),),
                                is_writable=copied or not contents))
    if images:
        notes.append("initialised data copied from ROM at start-up, as -rom pairs them: "
                     + ", ".join(f"{ram} from {rom}" for rom, ram in copies.items() if ram in images))
    missing = [name for name in _placed(options) if name not in by_name]
    ended = parts[-1] != "Mapping List"
    model = assemble(Toolchain.RENESAS, path, [], sections, [], config, sizes_given=False, thumb=False,
                     notes=notes + ["the map's symbol list is not read: each section's bytes are one entry"],
                     stated=_stated(totals))
    if missing and not ended:
        model.unresolved_ambiguities.append(
            f"the Mapping List ends without section(s) {', '.join(missing)} that -start places: the map may be cut "
            "short (or they are empty)")
    return model


def _copies(options: list) -> dict:
    """ROM section -> the RAM section it is copied to, from every -rom option."""
    pairs = {}
    for option in options:
        if option.startswith("-rom="):
            for pair in option[5:].split(","):
                rom, _, ram = pair.partition("=")
                if rom and ram:
                    pairs[rom.strip()] = ram.strip()
    return pairs


def _placed(options: list) -> list:
    """The sections -start names one by one (patterns with '*' left out)."""
    names = []
    for option in options:
        if not option.startswith("-start="):
            continue
        for index, group in enumerate(option[7:].split("/")):
            items = group.split(",")[1 if index else 0:]  # after each '/', the address the next sections start at
            names.extend(n.strip("()") for n in items if n.strip("()") and "*" not in n)
    return names


def _stated(totals: dict) -> StatedTotals:
    stated = StatedTotals()
    if "ROMDATA" in totals or "PROGRAM" in totals:
        stated.flash = totals.get("ROMDATA", 0) + totals.get("PROGRAM", 0)
        stated.flash_words = "Total Section Size: ROMDATA + PROGRAM"
    if "RAMDATA" in totals:
        stated.ram, stated.ram_words = totals["RAMDATA"], "Total Section Size: RAMDATA"
    return stated


read = reads_bytes(parse)
