"""Where a symbol's bytes came from, as a map names it: an object file, or an object file in an
archive ("dir/libfoo.a(bar.o)")."""

from __future__ import annotations

import functools
import ntpath
import posixpath
import re

from tarnwick.support.patterns import LazyPattern

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional


# Archive names: ar's ".a", ".lib" and Rust's ".rlib", armlink's C libraries ("c_w.l"), and
# TI's per-platform archives ("drivers_msp432p401x.aem4f"), COSMIC's for STM8 ("libis0.sm8");
# Windows tools write them in capitals.
_PLATFORM_ARCHIVE = LazyPattern(r"\.a(?:e|r|a|m)[0-9a-z]{1,5}$", re.IGNORECASE)


@functools.lru_cache(maxsize=65536)
def split_origin(origin: Optional[str]) -> tuple[Optional[str], Optional[str]]:
    """'dir/libfoo.a(bar.o)' -> ('bar.o', 'dir/libfoo.a'); 'main.o' -> ('main.o', None)."""
    if origin is None:
        return None, None
    if origin.endswith(")") and "(" in origin:
        cut = origin.rfind("(", 0, len(origin) - 1)
        archive, member = origin[:cut], origin[cut + 1:-1]
        if archive.lower().endswith((".a", ".lib", ".rlib", ".l", ".sm8")) or _PLATFORM_ARCHIVE.search(archive):
            return member, archive
    return origin, None


UNKNOWN_ORIGIN = "(unknown)"


def contributor_name(object_file: Optional[str], archive: Optional[str]) -> str:
    """An object file as a reader names it: `libfoo.a(bar.o)` when it came out of an archive
    (tarnwick._native.origin_groups names origins so too, as "contributor")."""
    if archive and object_file:
        return f"{_file_name(archive)}({object_file})"
    return object_file or archive or UNKNOWN_ORIGIN


@functools.lru_cache(maxsize=4096)  # a build has few archives and many objects in each
def _file_name(path: str) -> str:
    """The file name of a path with either separator, or both (`C:/sdk\\lib/libc.a`)."""
    return posixpath.basename(path.replace("\\", "/"))


def windows_base_name(path: str) -> str:
    """ntpath.basename(path), which a map of many thousand modules asks of each: a path with no
    drive ("C:", "\\\\server\\share") is cut at its last separator directly."""
    if path[1:2] == ":" or path[:2] in ("\\\\", "\\/", "/\\", "//"):
        return ntpath.basename(path)
    return path[max(path.rfind("\\"), path.rfind("/")) + 1:]


def source_file(source: str) -> str:
    """A symbol's source ("drivers/uart.c:42") without its line: "drivers/uart.c"."""
    head, colon, tail = source.rpartition(":")
    return head if colon and tail.isdigit() else source
