import gc
import os
import sys
import tracemalloc

import pytest

from leak_cases import build_cases

CALLS = 1_000


@pytest.fixture(scope="module")
def cases(tmp_path_factory):
    return build_cases(tmp_path_factory.mktemp("leaks"))


def _names():
    import tempfile
    from pathlib import Path
    with tempfile.TemporaryDirectory() as folder:
        return list(build_cases(Path(folder))[0])


def _call(function, expected):
    if expected is None:
        function()
        return
    try:
        function()
    except expected:
        return
    raise AssertionError(f"expected {expected.__name__}")


@pytest.mark.parametrize("name", _names())
def test_flat_references_and_memory(cases, name):
    table, tracked = cases
    function, expected = table[name]
    tracemalloc.start()  # before the warm-up: blocks allocated untraced would show as new
    for _ in range(CALLS):  # warm-up window: caches and free lists fill
        _call(function, expected)
    counts = [sys.getrefcount(obj) for obj in tracked]
    gc.collect()
    before = tracemalloc.take_snapshot()
    for _ in range(CALLS):
        _call(function, expected)
    gc.collect()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in tracked] == counts
    kept = sum(stat.count_diff for stat in after.compare_to(before, "lineno"))
    if os.environ.get("PYTHONMALLOC") != "malloc":
        assert kept < CALLS // 4, f"{kept} blocks kept after {CALLS} calls"
