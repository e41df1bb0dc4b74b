"""Names as a reader wants to see them: C++ and Rust symbols demangled, also where they are
the tail of an input section name (`.text._ZN7sensors6filterEv`). Reports keep the linker's
names; only the renderers call this."""

from __future__ import annotations

import functools

from tarnwick._native import demangle

_SECTION_PREFIXES = (".text.", ".rodata.", ".data.rel.ro.", ".data.", ".bss.", ".sdata.", ".sbss.",
                     ".tbss.", ".tdata.", ".ramfunc.", ".init_array.", ".gcc_except_table.")


@functools.lru_cache(maxsize=1 << 16)
def display_name(name: str) -> str:
    readable = demangle(name)
    if readable is not None:
        return readable
    if name.startswith(_SECTION_PREFIXES):
        prefix, _, rest = name.partition(".")[2].partition(".")
        if prefix == "data" and rest.startswith("rel.ro."):
            prefix, rest = "data.rel.ro", rest[len("rel.ro."):]
        readable = demangle(rest)
        if readable is not None:
            return f".{prefix}.{readable}"
    return name
