"""Reading a map file: its text encoding, which linker wrote it, then its model."""

from __future__ import annotations

import contextlib
import gc
import importlib
import os

from tarnwick.support.figures import FigureTooLong
from tarnwick.support.files import FileProblem, open_regular, reason

from tarnwick.toolchains.maps import heads
from tarnwick.toolchains.base import NormalizedBuildModel
from tarnwick.toolchains.errors import MapParseError
from tarnwick.toolchains.maps.map_text import PROBE_BYTES, MapText, first_line

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional, Union

# Every reader (a module of toolchains/maps) has `looks_like(head)`, `read(source, config)` and
# `ELF_NOT_READ` (why an ELF named with its maps is not used; None: it is joined). They are
# asked in this order: the vendors' formats are told apart by their own banners, Microchip's
# XC16 and XC32 maps before the GNU ld maps they contain, and GNU ld last, as its signatures are
# the loosest. Each is asked through `heads`, so that only the one that answers is imported.
READERS = ("armlink", "iar_ilink", "iar_xlink", "ti_linker", "sdcc", "xc8", "keil_c51", "cosmic", "renesas_rlink",
           "microchip_xc", "llvm_lld", "gnu_ld")
READ_FORMATS = ("it reads maps of GNU ld, gold, LLVM lld, mold, Arm armlink (Keil MDK), IAR ILINK and IAR XLINK, "
                "the TI linker, Microchip XC8, XC16 and XC32, SDCC's sdld, Keil C51's BL51 and LX51, COSMIC's clnk, "
                "the Renesas optimizing linker, and ELF files")


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


def reader_for(head: str):
    """The reader module of the first format whose reader knows a file by its head, or None."""
    name = next((name for name in READERS if getattr(heads, name)(head)), None)
    return None if name is None else importlib.import_module(f"tarnwick.toolchains.maps.{name}")


def load_map(path: Union[str, os.PathLike], config=None,
             elf: Union[str, os.PathLike, None] = None) -> NormalizedBuildModel:
    """The model of a map file of any linker READ_FORMATS names, or of an ELF file, told apart
    by content. With a GNU or LLVM map, `elf` names the ELF file of the same link to take symbol
    sizes and section kinds from (`AUTO`: the one beside the map, when there is one; None: none).
    Raises MapParseError naming the file (and the line) for anything that is not a complete
    map or a usable ELF file, or whose figures no build has."""
    from tarnwick.toolchains.building.extent_check import check_extents

    name = os.fspath(path)
    model = _loaded(name, config, elf)
    check_extents(model, name)
    return model


def _loaded(name: str, config, elf) -> NormalizedBuildModel:
    try:
        with open_regular(name) as binary:
            head = binary.read(PROBE_BYTES)
            if head[:4] == b"\x7fELF":  # the ELF magic number; the ELF reader loads when needed
                return _elf_alone(name, config)
            source = MapText(name, binary, head)
            reader = reader_for(source.head)
            if reader is None:
                number, first = first_line(source.head)
                raise MapParseError(name, f"not a map tarnwick reads ({READ_FORMATS}); it begins "
                                    f"{first.strip()[:60]!r}", number)
            with collector_paused():
                model = reader.read(source, config)
    except FileProblem as exc:
        raise MapParseError(name, str(exc)) from None
    except FigureTooLong as exc:  # from a reader that does not tell its line
        raise MapParseError(name, str(exc)) from None
    except OSError as exc:
        raise MapParseError(name, reason(exc)) from None
    if reader.ELF_NOT_READ is not None:
        if elf is not None and elf is not AUTO:
            model.warnings.append(f"{os.fspath(elf)} is not read: {reader.ELF_NOT_READ}")
        return model
    if elf is not None:
        _join_elf_file(model, name, model.output_file, elf)
    return model


def _elf_alone(name: str, config) -> NormalizedBuildModel:
    from tarnwick.toolchains.elf import elf_file as elf_format
    from tarnwick.toolchains.elf.elf_model import model_from_elf

    try:
        with collector_paused():
            elf_file = elf_format.read_elf(name)
            model = model_from_elf(elf_file, config)
        elf_file.symbols = []  # in the model now
        model.elf_file = elf_file
        return model
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
    from tarnwick.toolchains.building.builder import mark_unified
    from tarnwick.toolchains.elf import elf_file as elf_format
    from tarnwick.toolchains.elf.elf_model import different_link, join_elf

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
        elf_file.symbols = []  # in the model now
        model.elf_file = elf_file
        return
    model.warnings.extend(refused)
