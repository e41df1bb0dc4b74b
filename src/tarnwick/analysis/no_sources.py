"""Why a build has no source view, said without loading the source view itself: a map read
without its ELF file has none to read."""

from __future__ import annotations

from tarnwick.support.records import record

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional


@record
class NoSources:
    """Why a build has no source view: one line every output says."""

    reason: str

    def as_json(self) -> dict:
        return {"sources": None, "source_folders": None, "sources_note": self.reason}


def without_elf(model) -> Optional[NoSources]:
    """NoSources for a build read without its ELF file, else None (its ELF is read for them)."""
    if model.elf_file is None:
        return NoSources("source files: a map alone; name its ELF file (built with -g) to see them")
    return None
