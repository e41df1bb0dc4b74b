"""Matching object files across two builds' roots never joins two objects of one build, and costs
time in proportion to the objects, however many roots they are spread over."""

from __future__ import annotations

import gc
import time

import pytest

from tarnwick.compare.build_paths import PathMatcher, normalized
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


def _seconds(count: int, roots: int) -> tuple:
    """(the matcher's CPU seconds, a linear pass's over the same paths), best of nine each."""
    old, new = _paths(count, roots)
    best = [float("inf"), float("inf")]
    collecting = gc.isenabled()
    gc.disable()  # the collector's passes grow with everything else the test process holds
    try:
        for _ in range(9):
            start = time.process_time()
            matcher = PathMatcher(old, new)
            for path in old:
                matcher.old(path)
            middle = time.process_time()
            {path: normalized(path) for path in old + new}
            best = [min(best[0], middle - start), min(best[1], time.process_time() - middle)]
    finally:
        if collecting:
            gc.enable()
    return best


def test_matching_grows_linearly_with_objects_over_many_roots():
    """Four times the objects over four times the roots: at most about four and a half times
    the time, beyond what a plain pass over the same paths grows by on this machine (its dicts
    outgrow the caches too)."""
    (small, small_pass), (large, large_pass) = _seconds(2_000, 100), _seconds(8_000, 400)
    allowance = max(1.0, large_pass / small_pass / 4)
    assert large <= 4.5 * allowance * small + 0.01, (small, large, small_pass, large_pass)
