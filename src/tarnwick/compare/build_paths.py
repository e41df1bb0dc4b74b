"""Object files of two builds matched across build folders. CI jobs build the target branch and
the pull request in two folders (`out/base`, `out/pr`), a link may name its inputs absolute or
relative to where it ran, and a map written on Windows names them with backslashes and a drive:
the same source file must still be the same object file on both sides.

Each path is first written one way (forward slashes, no drive letter, no `./`), less any prefix
the user names. Paths both builds name alike match as they are. For the rest, each side's build
root is found from the paths themselves: every pair of unmatched paths, one per side, with the
same file name votes for the pair of prefixes left once their common tail is taken off
(`out/base/` and `out/pr/` for `out/base/src/main.o` and `out/pr/src/main.o`); the prefix pairs
with the most votes are taken off first. What is left is the name both sides are known by.
"""

from __future__ import annotations

import re
from collections import Counter

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Iterable, Optional

_DRIVE = re.compile(r"^[A-Za-z]:(?=/|$)")
# A file name that hundreds of objects share (`main.o` of every component) gives no evidence
# worth pairing every one with every other.
_PAIRS_PER_NAME = 64


def normalized(path: str) -> str:
    """'C:\\\\work\\\\out\\\\.\\\\main.o' -> '/work/out/main.o': one separator, no drive, no
    './' and no doubled separators. An archive member's brackets are kept."""
    text = _DRIVE.sub("", path.replace("\\", "/"))
    absolute = text.startswith("/")
    parts = [part for part in text.split("/") if part not in ("", ".")]
    return ("/" if absolute else "") + "/".join(parts)


def _prefixes(prefixes: Iterable[str]) -> list:
    """The user's prefixes, normalized, each ending in a separator, longest first."""
    result = []
    for prefix in prefixes:
        text = normalized(prefix)
        if text and not text.endswith("/"):
            text += "/"
        if text:
            result.append(text)
    return sorted(set(result), key=len, reverse=True)


def _strip(path: str, prefixes: list) -> str:
    for prefix in prefixes:
        if path.startswith(prefix):
            return path[len(prefix):]
        if "/" + path.lstrip("/") == "/" + prefix.rstrip("/").lstrip("/"):
            return "."
    return path


def _split_tail(old: str, new: str) -> Optional[tuple]:
    """The prefixes two paths have before their longest common tail of whole folders and file
    name: ('out/base/', 'out/pr/') for 'out/base/src/a.o' and 'out/pr/src/a.o'."""
    old_parts, new_parts = old.split("/"), new.split("/")
    common = 0
    while (common < min(len(old_parts), len(new_parts))
           and old_parts[-1 - common] == new_parts[-1 - common]):
        common += 1
    if common == 0:
        return None
    old_head = "/".join(old_parts[:len(old_parts) - common])
    new_head = "/".join(new_parts[:len(new_parts) - common])
    return (old_head + "/" if old_head or old.startswith("/") else "",
            new_head + "/" if new_head or new.startswith("/") else "")


class PathMatcher:
    """The name each side's object paths are matched by. `old(path)` and `new(path)` give it;
    a path that matches nothing keeps its own name (relative to its build root where one was
    found). Two paths of one build never get one name: where taking a root off would make them
    alike (`src/u.o` beside `/b/src/u.o`), the paths that root was taken off are named by the
    root pair they were matched through, and any still alike keep their whole paths."""

    def __init__(self, old_paths: Iterable[str], new_paths: Iterable[str], strip: Iterable[str] = ()):
        self._strip = _prefixes(strip)
        old = {path: self._clean(path) for path in set(old_paths)}
        new = {path: self._clean(path) for path in set(new_paths)}
        self._both = set(old.values()) & set(new.values())
        self.roots = self._roots([p for p in old.values() if p not in self._both],
                                 [p for p in new.values() if p not in self._both])
        # each side's root prefixes, by the rank of the best pair that has them
        self._ranks = ({}, {})
        for rank, pair in enumerate(self.roots):
            for side in (0, 1):
                self._ranks[side].setdefault(pair[side], rank)
        found = ({path: self._relative(clean, 0) for path, clean in old.items()},
                 {path: self._relative(clean, 1) for path, clean in new.items()})
        self._alike = self._shared(found)
        self._names = tuple({path: self._distinct(*named) for path, named in found[side].items()} for side in (0, 1))
        for side, cleaned in enumerate((old, new)):
            self._names[side].update(self._whole(self._names[side], cleaned))

    def _clean(self, path: str) -> str:
        return _strip(normalized(path), self._strip) if path else path

    @staticmethod
    def _roots(old: list, new: list) -> list:
        """(old prefix, new prefix) pairs, the best supported first."""
        by_name: dict = {}
        for path in new:
            by_name.setdefault(path.rsplit("/", 1)[-1], []).append(path)
        votes: Counter = Counter()
        for path in old:
            for other in by_name.get(path.rsplit("/", 1)[-1], ())[:_PAIRS_PER_NAME]:
                pair = _split_tail(path, other)
                if pair is not None and pair != ("", ""):
                    votes[pair] += 1
        return [pair for pair, _ in sorted(votes.items(), key=lambda item: (-item[1], item[0]))]

    def _relative(self, path: str, side: int) -> tuple:
        """(the path less the best-ranked root prefix it starts with, that pair's rank or None)."""
        if path in self._both:
            return path, None
        ranks = self._ranks[side]
        best = ranks.get("")
        parts = path.split("/")
        for end in range(1, len(parts)):  # every folder prefix: "src/", "/b/", "/b/src/"
            rank = ranks.get("/".join(parts[:end]) + "/")
            if rank is not None and (best is None or rank < best):
                best = rank
        if best is None:
            return path, None
        return path[len(self.roots[best][side]):] or ".", best

    @staticmethod
    def _shared(found: tuple) -> set:
        """The names that two paths of one side were given."""
        alike = set()
        for side in found:
            seen = set()
            for name, _ in side.values():
                (alike if name in seen else seen).add(name)
        return alike

    def _distinct(self, name: str, rank: Optional[int]) -> str:
        """A name two paths of one side were given, made distinct: a path a root was taken off
        is named by that root pair's old prefix on both sides, so it still meets its match."""
        if name not in self._alike or rank is None:
            return name
        return self.roots[rank][0] + ("" if name == "." else name)  # alike on both sides of the pair

    @staticmethod
    def _whole(names: dict, cleaned: dict) -> dict:
        """The paths of one side still named alike, each by its whole path."""
        counts = Counter(names.values())
        return {path: cleaned[path] for path, name in names.items() if counts[name] > 1 and cleaned[path] != name}

    def _name(self, path: str, side: int) -> str:
        found = self._names[side].get(path)
        if found is None:  # a path the matcher was not given (a component's folder)
            clean = self._clean(path) if path else path
            found = self._names[side][path] = self._distinct(*self._relative(clean, side)) if path else path
        return found

    def old(self, path: str) -> str:
        return self._name(path, 0)

    def new(self, path: str) -> str:
        return self._name(path, 1)
