"""The list of a model's symbols, which keeps what several passes count from it."""

from __future__ import annotations


def _changes(method):
    def changed(self, *args):
        self._totals = self._names = None
        return method(self, *args)
    changed.__name__ = method.__name__
    return changed


class SymbolList(list):
    """A model's symbols. Their totals per origin (object file and archive), which several
    passes need, are counted once and kept until the list changes."""

    __slots__ = ("_totals", "_names")

    def __init__(self, *args):
        super().__init__(*args)
        self._totals = self._names = None

    def origin_totals(self) -> list:
        """[((object_file, archive), bytes, count, ((section, bytes), ...)), ...] of the
        symbols that hold their bytes (no aliases, no empty symbols)."""
        if self._totals is None:
            from tarnwick._native import totals_by_origin
            self._totals = totals_by_origin(self, None)
        return self._totals

    def keep_origin_totals(self, totals: list) -> None:
        """Totals a reader counted as it made these very symbols, as origin_totals() would."""
        self._totals, self._names = totals, None

    def contributor_names(self) -> list:
        """Each origin_totals() row's object file as a reader names it (origins.contributor_name),
        for origin_groups: two passes name the same hundred thousand origins."""
        if self._names is None:
            self._names = _contributor_names(self.origin_totals())
        return self._names

    append, extend, insert, remove, pop, clear, sort, reverse = map(_changes, (
        list.append, list.extend, list.insert, list.remove, list.pop, list.clear, list.sort, list.reverse))
    __setitem__, __delitem__, __iadd__, __imul__ = map(_changes, (
        list.__setitem__, list.__delitem__, list.__iadd__, list.__imul__))


def _contributor_names(totals: list) -> list:
    from tarnwick._native import origin_names
    from tarnwick.support.origins import UNKNOWN_ORIGIN

    return origin_names(totals, "contributor", UNKNOWN_ORIGIN)


def named_origin_totals(symbols) -> tuple:
    """origin_totals(symbols), and the contributor name of each of its rows."""
    if isinstance(symbols, SymbolList):
        return symbols.origin_totals(), symbols.contributor_names()
    totals = origin_totals(symbols)
    return totals, _contributor_names(totals)


def origin_totals(symbols) -> list:
    """Totals per origin of any sequence of symbols, kept with a model's `SymbolList`."""
    if isinstance(symbols, SymbolList):
        return symbols.origin_totals()
    from tarnwick._native import totals_by_origin
    return totals_by_origin(symbols, None)
