"""Which symbols' bytes count, shared by the passes that add symbols up."""

from __future__ import annotations


def counted(symbol) -> bool:
    """Whether a symbol's bytes are its own: aliases name bytes another symbol holds."""
    return symbol.size > 0 and getattr(symbol, "alias_of", None) is None
