"""Regular expressions compiled when first used rather than when their module loads: a pattern
costs 0.1-0.5 ms to compile, and a run uses only some of those its modules declare."""

from __future__ import annotations

import re


class LazyPattern:
    """Stands for `re.compile(pattern, flags)`: each attribute (`match`, `search`, `sub`, ...) is
    the compiled pattern's, kept on this object once asked for, so later uses cost what the
    compiled pattern's own would."""

    def __init__(self, pattern: str, flags: int = 0):
        self.__dict__["_source"] = (pattern, flags)

    def __getattr__(self, name: str):
        compiled = self.__dict__.get("_compiled")
        if compiled is None:
            compiled = self.__dict__["_compiled"] = re.compile(*self.__dict__["_source"])
        value = getattr(compiled, name)
        self.__dict__[name] = value
        return value
