"""`tarnwick-hook`, the command of the pre-commit hooks: pre-commit hands over the options the
hook's `args` give, then every map of the commit; each map is analysed on its own with those
options, and the exit status is the worst of them (the largest)."""

from __future__ import annotations

import sys
from typing import Optional, Sequence


def main(argv: Optional[Sequence[str]] = None) -> int:
    from tarnwick.app.cli import main as command

    arguments = list(sys.argv[1:] if argv is None else argv)
    maps = [a for a in arguments if a.endswith(".map") and not a.startswith("-")]
    options = [a for a in arguments if a not in maps]
    if not maps:
        return 0
    return max(command(["analyze", path, *options]) for path in maps)


def entry_point() -> None:
    sys.exit(main())
