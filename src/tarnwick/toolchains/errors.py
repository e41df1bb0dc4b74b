"""The errors of reading a build: a map or ELF file, or a stored report read as a build."""

from __future__ import annotations

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional



class MapParseError(ValueError):
    """A map file that cannot be turned into a model. `str()` names the file and, where known,
    the line: "path:line: reason"."""

    def __init__(self, path: str, reason: str, line: Optional[int] = None):
        self.path, self.reason, self.line = str(path), reason, line
        where = f"{self.path}:{line}" if line is not None else self.path
        super().__init__(f"{where}: {reason}")


class ReportFileError(ValueError):
    """A stored JSON report that cannot serve as a build; `str()` names the file."""
