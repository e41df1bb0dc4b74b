"""What an output section is, as far as a map tells: whether it takes target memory at all,
whether it holds code, writable data, or no contents (zero-initialised, no-load).

A map gives no section flags, so these go by the names compilers and linker scripts use; an
ELF file, where one is read, gives the flags themselves.
"""

from __future__ import annotations

import re

from tarnwick.support.patterns import LazyPattern

# Never target memory: debug data, comments, build attributes, symbol tables.
_NEVER_ALLOCATED = re.compile(
    r"^\.(?:debug|zdebug|comment|stab|gnu_debug|GCC\.command\.line|line$|symtab$|strtab$|"
    r"shstrtab$|ident$|mdebug|pdr$|gnu\.build\.attributes|xt\.|\w+\.attributes$)")
# Non-allocated when the linker leaves them at address 0: notes and tool information that
# some scripts place in memory on purpose (`.note.gnu.build-id` in flash).
_NON_ALLOCATED_AT_ZERO = LazyPattern(r"^\.(?:note|xtensa\.info|riscv\.|ARM\.|gnu\.)")
_NO_CONTENTS = re.compile(
    r"^(?:\.bss|\.sbss|\.tbss|\.noinit|\.no_init|COMMON|\.common|\.relro_padding|\._user_heap_stack|\.heap|\.stack|"
    r"\.uninit|\.persistent_bss|\.dram\d*\.bss|\.iram\d*\.bss|\.ext_ram\.bss|\.rtc\.bss)",
    re.IGNORECASE)
_CODE = re.compile(
    r"^\.(?:text|init$|fini$|ramfunc|ram_code|ramcode|iram\d*\.text|iram\d*\.vectors|"
    r"iram\d*\.literal|itcm|fastcode|glue_7|vfp11_veneer|vectors|isr_vector|literal|"
    r"irom\d*\.text|flash\.text|time_critical|plt$|init_array$|fini_array$)")
_READ_ONLY = re.compile(
    r"^\.(?:rodata|srodata|rdata|const|ARM\.exidx|ARM\.extab|eh_frame|gcc_except_table|"
    r"init_array|fini_array|preinit_array|ctors|dtors|binary_info|boot2|isr_vector|vectors|"
    r"flash\.rodata|drom\d*|irom\d*|note)")
_WRITABLE = re.compile(
    r"^(?:\.data|\.sdata|\.tdata|\.got|\.dram\d*\.data|\.rtc\.data|\.ext_ram\.data|\.igot)",
    re.IGNORECASE)


# mold lists the ELF file's own headers as if they were sections; Microchip's XC16 keeps the
# tool's signature in an information section.
_FILE_HEADERS = {"EHDR", "PHDR", "SHDR", "/DISCARD/", "__c30_signature", "__c30_info"}


def never_allocated(name: str, address: int) -> bool:
    """Sections that take no target memory (`.debug_info`, `.ARM.attributes`, and notes such
    as `.note.gnu.avr.deviceinfo` or `.xtensa.info` left at address 0)."""
    if name in _FILE_HEADERS or _NEVER_ALLOCATED.match(name):
        return True
    return address == 0 and bool(_NON_ALLOCATED_AT_ZERO.match(name))


def named_without_contents(name: str) -> bool:
    return bool(_NO_CONTENTS.match(name))


def named_thread_local_bss(name: str) -> bool:
    return name.startswith(".tbss")


def named_code(name: str) -> bool:
    return bool(_CODE.match(name))


def any_named_code(names) -> bool:
    """Whether one of `names` is named_code (a section of a large build has 200,000 inputs)."""
    return any(map(_CODE.match, names))


def named_writable(name: str) -> bool:
    return bool(_WRITABLE.match(name)) or named_without_contents(name)


def named_read_only(name: str) -> bool:
    return bool(_READ_ONLY.match(name))
