"""Matching object files across two builds' roots never joins two objects of one build, and costs
time in proportion to the objects, however many roots they are spread over."""

from __future__ import annotations

import sys

import pytest

from tarnwick.compare.build_paths import PathMatcher
from tarnwick.compare.comparison import compare_footprints
from tarnwick.compare.footprint import Footprint


@pytest.mark.parametrize("old, new, pairs", [
    # the same tail in one build under two roots, the other build having one of them
    ({"src/u.o": 80, "/b/src/u.o": 16}, {"src/u.o": 80, "/p/src/u.o": 32},
     {("src/u.o", "src/u.o"), ("/b/src/u.o", "/p/src/u.o")}),
    # which of the two the lone object is cannot be told from the names: it is matched with one
    ({"src/u.o": 80, "/b/src/u.o": 16}, {"/p/src/u.o": 32}, None),
    ({"/b/src/u.o": 16}, {"src/u.o": 80, "/p/src/u.o": 32}, None),
    # two roots taken off one side both leave "a.o"
    ({"x/out/a.o": 1, "y/out/a.o": 2, "x/out/b.o": 3, "y/out/b.o": 4}, {"out/a.o": 5, "out/b.o": 6}, None),
], ids=["both keep the bare path", "only the old build has it", "only the new build has it", "two roots, one tail"])
def test_two_objects_of_one_build_are_never_one(old, new, pairs):
    matcher = PathMatcher(old, new)
    for side, names in ((old, [matcher.old(p) for p in old]), (new, [matcher.new(p) for p in new])):
        assert len(set(names)) == len(side), names
    if pairs is not None:
        matched = {(o, next((n for n in new if matcher.new(n) == matcher.old(o)), None)) for o in old}
        matched |= {(next((o for o in old if matcher.old(o) == matcher.new(n)), None), n) for n in new}
        assert matched == pairs


def test_a_diff_shows_each_objects_own_bytes():
    before = Footprint(regions={}, objects={"src/u.o": 80, "/b/src/u.o": 16})
    after = Footprint(regions={}, objects={"src/u.o": 80, "/p/src/u.o": 32})
    changes = compare_footprints(before, after, "base.json").objects
    assert [(c.name, c.baseline, c.current) for c in changes] == [("/p/src/u.o", 16, 32)]
    # the bytes of every side add up to its total whatever the matching did
    for level_total, side in ((96, before), (112, after)):
        assert sum(side.objects.values()) == level_total


def _paths(count: int, roots: int) -> tuple:
    """`count` objects of each build spread over `roots` distinct build roots per side."""
    old = [f"ws{i % roots}/base/src/m{i // 64}/f{i}.o" for i in range(count)]
    new = [f"ci{i % roots}/pr/src/m{i // 64}/f{i}.o" for i in range(count)]
    return old, new


def _calls(count: int, roots: int) -> int:
    """The calls (Python's and builtins', such as each str.startswith) made matching `count`
    objects over `roots` roots: a figure the machine's load does not move."""
    old, new = _paths(count, roots)
    made = 0

    def note(_frame, event, _arg) -> None:
        nonlocal made
        if event in ("call", "c_call"):
            made += 1

    sys.setprofile(note)
    try:
        matcher = PathMatcher(old, new)
        for path in old:
            matcher.old(path)
    finally:
        sys.setprofile(None)
    return made


def test_matching_grows_linearly_with_objects_over_many_roots():
    """Four times the objects over four times the roots: at most about four and a half times
    the work (a walk over every root for each path made it about sixteen)."""
    small, large = _calls(2_000, 100), _calls(8_000, 400)
    assert large <= 4.5 * small, (small, large)
