"""Reading a map file: which linker wrote it, then its model."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterator, Union

from tarnwick.toolchains import gnu_ld, llvm_lld
from tarnwick.toolchains.base import NormalizedBuildModel
from tarnwick.toolchains.builder import build_model
from tarnwick.toolchains.errors import MapParseError

_PROBE_BYTES = 64 * 1024


def _first_line(path: str, head: bytes) -> tuple[int, str]:
    if b"\0" in head:
        raise MapParseError(path, "binary file, not a linker map")
    text = head.decode("utf-8", errors="replace")
    for number, line in enumerate(text.splitlines(), 1):
        if line.strip():
            return number, line
    raise MapParseError(path, "empty file, not a linker map")


def load_map(path: Union[str, os.PathLike], config=None) -> NormalizedBuildModel:
    """The model of a GNU ld or LLVM lld map file, told apart by content. Raises
    MapParseError naming the file (and the line) for anything that is not a complete map."""
    name = os.fspath(path)
    try:
        if not Path(name).is_file():
            raise MapParseError(name, "not a regular file" if Path(name).exists() else "no such file")
        with open(name, "rb") as probe:
            number, first = _first_line(name, probe.read(_PROBE_BYTES))
        with open(name, encoding="utf-8", errors="replace", newline=None) as handle:
            if gnu_ld.looks_like(first):
                parser = gnu_ld.parse
            elif llvm_lld.looks_like(first):
                parser = llvm_lld.parse
            else:
                raise MapParseError(name, f"not a GNU ld or LLVM lld map (unexpected {first.strip()[:60]!r})",
                                    number)
            raw = parser(_lines(handle, name), name)
    except OSError as exc:
        raise MapParseError(name, exc.strerror or str(exc)) from None
    return build_model(raw, config)


def _lines(handle, path: str) -> Iterator[str]:
    """The file's lines, decoded as they are read; NUL bytes mean binary data."""
    for number, line in enumerate(handle, 1):
        if "\0" in line:
            raise MapParseError(path, "binary data inside the map", number)
        yield line
