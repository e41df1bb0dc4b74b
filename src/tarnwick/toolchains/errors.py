"""The errors of reading a build: a map or ELF file, or a stored report read as a build."""

from __future__ import annotations

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional



# digits a message quotes of a figure it names; of a longer one (a broken file's thousands) it
# gives the first and how many there are, and stays a line to read
_LONGEST_FIGURE = 64


def _shortened(reason: str) -> str:
    if len(reason) <= 2 * _LONGEST_FIGURE:
        return reason
    import re

    return re.sub(f"[0-9A-Fa-f]{{{_LONGEST_FIGURE + 1},}}",
                  lambda found: f"{found.group()[:16]}...({len(found.group()):,} digits)", reason)


class MapParseError(ValueError):
    """A map file that cannot be turned into a model. `str()` names the file and, where known,
    the line: "path:line: reason"."""

    def __init__(self, path: str, reason: str, line: Optional[int] = None):
        reason = _shortened(reason)
        self.path, self.reason, self.line = str(path), reason, line
        where = f"{self.path}:{line}" if line is not None else self.path
        super().__init__(f"{where}: {reason}")


class ReportFileError(ValueError):
    """A stored JSON report that cannot serve as a build; `str()` names the file."""
