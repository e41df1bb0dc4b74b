"""An open map file as every reader takes it: its path, its start as text (to tell the format
by), and its whole content as UTF-8 bytes for the reader's native line loop. Windows tools
write UTF-16 and UTF-8 with a byte-order mark; both are read."""

from __future__ import annotations

import codecs
import contextlib
import mmap
import os
import re

from tarnwick.toolchains.errors import MapParseError

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Callable, Optional

PROBE_BYTES = 64 * 1024
_LINE_END = re.compile("\r\n|\r|\n")


def text_encoding(head: bytes) -> str:
    """The encoding of a text file from its first bytes. Windows tools write UTF-16 (a
    PowerShell redirect) and UTF-8 with a byte-order mark; the codecs named here skip the mark."""
    if head.startswith(codecs.BOM_UTF8):
        return "utf-8-sig"
    if head.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return "utf-16"
    sample = head[:4096]
    if len(sample) >= 8:
        odd_nuls, even_nuls = sample[1::2].count(0), sample[0::2].count(0)
        half = len(sample) // 2
        if odd_nuls > 0.9 * half and even_nuls == 0:
            return "utf-16-le"
        if even_nuls > 0.9 * half and odd_nuls == 0:
            return "utf-16-be"
    return "utf-8"


def lines_of(text: str) -> list:
    """The lines of a text as the readers number them: "\n", "\r\n" or a lone "\r" ends one
    (str.splitlines also ends lines at form feeds and other separators that maps hold)."""
    return _LINE_END.split(text)


def first_line(text: str) -> tuple[int, str]:
    """The first line with a word in it, and its number: banners of '#' or '*' say nothing
    of the file."""
    start = 0
    number = 1
    # line by line, not split whole: the first such line is nearly always the first of 64 KB
    for end in _LINE_END.finditer(text):
        line = text[start:end.start()]
        if any(character.isalnum() for character in line):
            return number, line
        start, number = end.end(), number + 1
    line = text[start:]
    return (number, line) if any(character.isalnum() for character in line) else (1, "")


class MapText:
    """A map file open for reading. `head` is its start as text; `utf8()` gives all of it, as
    often as asked."""

    def __init__(self, path: str, binary, head: bytes):
        self.path = path
        self._binary = binary
        self.encoding = text_encoding(head)
        if self.encoding.startswith("utf-8") and b"\0" in head:
            raise MapParseError(path, "binary file, not a linker map")
        self.head = codecs.getincrementaldecoder(self.encoding)(errors="replace").decode(head)
        if not self.head.strip():
            raise MapParseError(path, "empty file, not a linker map")

    @contextlib.contextmanager
    def utf8(self):
        """The whole file as UTF-8 bytes: mapped into memory as it is, or re-encoded from
        UTF-16; a byte-order mark is left out."""
        binary = self._binary
        if self.encoding.startswith("utf-16"):
            binary.seek(0)
            yield binary.read().decode(self.encoding, errors="replace").encode("utf-8")
            return
        if os.fstat(binary.fileno()).st_size == 0:
            yield b""
            return
        with mmap.mmap(binary.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
            view = memoryview(mapped)
            text = view[3:] if self.encoding == "utf-8-sig" else view
            try:
                yield text
            finally:
                text.release()
                view.release()


def reads_bytes(parse: Callable) -> Callable:
    """The `read` of a reader whose `parse(data, path, config)` takes the map as UTF-8 bytes."""
    def read(source: MapText, config=None):
        with source.utf8() as data:
            return parse(data, source.path, config)
    read.__doc__ = parse.__doc__
    return read


def line_of(data, text: str) -> Optional[int]:
    """The number of the first line of a map's UTF-8 bytes that holds `text`, or None."""
    whole = bytes(data)
    at = whole.find(text.encode("utf-8"))
    return len(lines_of(whole[:at].decode("utf-8", "replace"))) if at >= 0 else None


def native_rows(reader: Callable, path: str, data, *args):
    """What a native reader gives for a map's bytes; its ValueError((reason, line)) becomes the
    MapParseError naming that line."""
    try:
        return reader(data, *args)
    except ValueError as exc:
        reason, line = exc.args if len(exc.args) == 2 else (str(exc), 0)
        raise MapParseError(path, reason, line or None) from None
