"""What kind of memory a region is, from the names vendors give their regions and, when the
name says nothing, from its attributes."""

from __future__ import annotations

import re

from tarnwick.toolchains.base import MemoryCategory

_TOKEN = re.compile(r"[a-z]+")
# Neither flash nor RAM: EEPROM, AVR fuses and lock bits, signatures, register blocks,
# Zephyr's interrupt table list, ESP8266's DPORT.
_OTHER = {"eeprom", "fuse", "fuses", "lock", "lockbits", "signature", "signatures", "sfr",
          "sfrs", "dport", "periph", "peripheral", "peripherals", "uicr", "mmio", "regs", "idt"}
_RAM = {"ccm", "tcm", "dtcm", "itcm", "data", "bss", "heap", "stack", "ddr", "rtc", "bkp",
        "backup", "scratch", "lram", "dmem", "noinit", "ocm", "shm"}
# Flash and other read-only memory: AVR `text`, NXP `m_text`/`m_interrupts`, MSP430 INFO*,
# VECT* and RESETVEC, Espressif irom/drom, execute-in-place windows.
_FLASH = {"flash", "rom", "irom", "drom", "text", "qspi", "ospi", "xip", "nor", "otp", "boot",
          "vect", "vector", "vectors", "resetvec", "info", "infomem", "interrupts", "code",
          "prog", "program", "bsl", "app", "fram"}


def region_category(name: str, attributes: str = "") -> MemoryCategory:
    """By the words of the region's name first, then by its attributes (writable is RAM,
    readable or executable only is flash). Digits split words: `iram0_0_seg` is iram."""
    tokens = _TOKEN.findall(name.lower())
    if any(t in _OTHER for t in tokens):
        return MemoryCategory.OTHER
    if any(("ram" in t and t not in _FLASH) or t in _RAM for t in tokens):  # not "program"
        return MemoryCategory.RAM
    if any(t in _FLASH or t.startswith(("flash", "info", "vect", "bsl")) for t in tokens):
        return MemoryCategory.FLASH
    granted = set(attributes.lower().split("!", 1)[0])
    if "w" in granted:
        return MemoryCategory.RAM
    if granted & {"r", "x"}:
        return MemoryCategory.FLASH
    return MemoryCategory.OTHER
