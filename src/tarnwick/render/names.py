"""Names as a reader wants to see them: C++ and Rust symbols demangled, also where they are
the tail of an input section name (`.text._ZN7sensors6filterEv`). Reports keep the linker's
names; only the renderers show these (native/fast/demangle.cpp)."""

from tarnwick._native import display_name

__all__ = ["display_name"]
