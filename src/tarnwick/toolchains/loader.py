"""Reading a map file: its text encoding, which linker wrote it, then its model."""

from __future__ import annotations

import codecs
import contextlib
import gc
import io
import mmap
import os
from typing import Iterator, Optional, Union

from tarnwick.files import FileProblem, open_regular, reason

from tarnwick.toolchains import armlink, gnu_ld, iar_ilink, iar_xlink, llvm_lld, microchip_xc, sdcc, ti_linker, xc8
from tarnwick.toolchains.base import NormalizedBuildModel
from tarnwick.toolchains.builder import build_model, mark_unified, note_load_images
from tarnwick.toolchains.errors import MapParseError

_PROBE_BYTES = 64 * 1024
# Told apart by content before GNU ld, whose signatures are looser.
_VENDOR_READERS = (armlink, iar_ilink, iar_xlink, ti_linker, sdcc, xc8)
READ_FORMATS = ("it reads maps of GNU ld, gold, LLVM lld, mold, Arm armlink (Keil MDK), IAR ILINK and IAR XLINK, "
                "the TI linker, Microchip XC8, XC16 and XC32, SDCC's sdld, and ELF files")


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


def _head_text(path: str, head: bytes, encoding: str) -> str:
    if encoding.startswith("utf-8") and b"\0" in head:
        raise MapParseError(path, "binary file, not a linker map")
    text = codecs.getincrementaldecoder(encoding)(errors="replace").decode(head)
    if not text.strip():
        raise MapParseError(path, "empty file, not a linker map")
    return text


def _first_line(text: str) -> tuple[int, str]:
    """The first line with a word in it: banners of '#' or '*' say nothing of the file."""
    for number, line in enumerate(text.splitlines(), 1):
        if any(character.isalnum() for character in line):
            return number, line
    return 1, ""


@contextlib.contextmanager
def collector_paused():
    """The model is a tree of records without cycles; the cyclic collector would only walk the
    growing tree again and again, which makes a read superlinear in the map's size."""
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


AUTO = "auto"  # use the ELF file of the link when one is found beside the map


def load_map(path: Union[str, os.PathLike], config=None,
             elf: Union[str, os.PathLike, None] = None) -> NormalizedBuildModel:
    """The model of a map file (GNU ld, gold, LLVM lld, mold, armlink, IAR ILINK, TI), or of an
    ELF file, told apart by
    content. With a GNU or LLVM map, `elf` names the ELF file of the same link to take symbol sizes and
    section kinds from (`AUTO`: the one beside the map, when there is one; None: none).
    Raises MapParseError naming the file (and the line) for anything that is not a complete
    map or a usable ELF file."""
    name = os.fspath(path)
    try:
        with open_regular(name) as binary:
            head = binary.read(_PROBE_BYTES)
            if head[:4] == b"\x7fELF":  # the ELF magic number; the ELF reader loads when needed
                return _elf_alone(name, config)
            encoding = text_encoding(head)
            head_text = _head_text(name, head, encoding)
            number, first = _first_line(head_text)
            vendor = next((reader for reader in _VENDOR_READERS if reader.looks_like(head_text)), None)
            native = llvm_lld if llvm_lld.looks_like(first) else gnu_ld if gnu_ld.looks_like(head_text) else None
            if vendor is not None:
                binary.seek(0)
                handle = io.TextIOWrapper(binary, encoding=encoding, errors="replace", newline=None)
                with collector_paused():
                    model = vendor.parse(_lines(handle, name), name, config)
                if elf is not None and elf is not AUTO:
                    model.warnings.append(f"{os.fspath(elf)} is not read: {model.toolchain.value} maps "
                                          "state their symbols' sizes themselves")
                return model
            if microchip_xc.looks_like(head_text):
                with _utf8_bytes(binary, encoding) as data, collector_paused():
                    model = microchip_xc.parse(data, name, config)
                if elf is not None and elf is not AUTO:
                    model.warnings.append(f"{os.fspath(elf)} is not read: its addresses are the Microchip "
                                          "linker's own units")
                note_load_images(model)
                return model
            if native is not None:
                with _utf8_bytes(binary, encoding) as data, collector_paused():
                    raw = native.parse(data, name)
                    model = build_model(raw, config)
            else:
                raise MapParseError(name, f"not a map tarnwick reads ({READ_FORMATS}); it begins "
                                    f"{first.strip()[:60]!r}", number)
    except FileProblem as exc:
        raise MapParseError(name, str(exc)) from None
    except OSError as exc:
        raise MapParseError(name, reason(exc)) from None
    if elf is not None:
        _join_elf_file(model, name, raw.output_file, elf)
    note_load_images(model)
    return model


def _elf_alone(name: str, config) -> NormalizedBuildModel:
    from tarnwick.toolchains import elf as elf_format
    from tarnwick.toolchains.elf_model import model_from_elf

    try:
        with collector_paused():
            return model_from_elf(elf_format.read_elf(name), config)
    except elf_format.ElfError as exc:
        raise MapParseError(name, f"not a usable ELF file: {exc}") from None


def elf_candidates(map_path: str, output_file: Optional[str]) -> list:
    """Where the ELF file of the link a map describes may be, best first: the map's name with
    `.elf` ("fw.map" -> "fw.elf", "fw.elf.map" -> "fw.elf"), then the file its OUTPUT(...) line
    names. That path is relative to the folder the link ran in, which is the map's folder or
    one above it (never the folder tarnwick happens to run in); each is tried, nearest first."""
    stem, _ = os.path.splitext(map_path)
    candidates = [stem if stem.endswith(".elf") else stem + ".elf"]
    if output_file:
        named = output_file.replace("\\", "/") if os.sep == "/" else output_file
        if os.path.isabs(named):
            candidates.append(named)
        else:
            folder = os.path.dirname(os.path.abspath(map_path))
            while True:
                candidates.append(os.path.join(folder, named))
                parent = os.path.dirname(folder)
                if parent == folder:
                    break
                folder = parent
    seen, found = set(), []
    for candidate in candidates:
        key = os.path.normpath(os.path.abspath(candidate))
        if key in seen or key == os.path.normpath(os.path.abspath(map_path)):
            continue
        seen.add(key)
        if os.path.isfile(candidate):
            found.append(candidate)
    return found


def _join_elf_file(model: NormalizedBuildModel, map_path: str, output_file: Optional[str],
                   elf) -> None:
    """Joins the ELF of the same link to a map's model. A named ELF that cannot be read is bad
    input; one found beside the map, or one of another link, is a warning and is not used.
    Found ELF files are tried nearest first; the first of the same link is used."""
    named = elf is not AUTO
    paths = [os.fspath(elf)] if named else elf_candidates(map_path, output_file)
    from tarnwick.toolchains import elf as elf_format
    from tarnwick.toolchains.elf_model import different_link, join_elf

    refused = []
    for path in paths:
        try:
            with collector_paused():
                elf_file = elf_format.read_elf(path)
        except elf_format.ElfError as exc:
            if named:
                raise MapParseError(path, f"not a usable ELF file: {exc}") from None
            refused.append(f"{path} beside the map is not a usable ELF file ({exc}): not used")
            continue
        problem = different_link(model, elf_file)
        if problem is not None:
            refused.append(f"{path} is not the output of the link the map describes ({problem}): "
                           "the ELF is not used")
            continue
        with collector_paused():
            join_elf(model, elf_file)
        mark_unified(model.memory_regions, model.sections)
        model.elf_path = path
        return
    model.warnings.extend(refused)


@contextlib.contextmanager
def _utf8_bytes(binary, encoding: str):
    """The whole file as UTF-8 bytes: mapped into memory as it is, or re-encoded from UTF-16;
    a byte-order mark is left out."""
    if encoding.startswith("utf-16"):
        binary.seek(0)
        yield binary.read().decode(encoding, errors="replace").encode("utf-8")
        return
    size = os.fstat(binary.fileno()).st_size
    if size == 0:
        yield b""
        return
    with mmap.mmap(binary.fileno(), 0, access=mmap.ACCESS_READ) as mapped:
        view = memoryview(mapped)
        text = view[3:] if encoding == "utf-8-sig" else view
        try:
            yield text
        finally:
            text.release()
            view.release()


def _lines(handle, path: str) -> Iterator[str]:
    """The file's lines, decoded as they are read; NUL bytes mean binary data. A carriage
    return ends a line as a line feed does (maps written on Windows)."""
    for number, line in enumerate(handle, 1):
        if "\0" in line:
            raise MapParseError(path, "binary data inside the map", number)
        yield line
