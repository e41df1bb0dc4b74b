import os
import sys

import pytest

from leak_cases import build_cases
from test_end_to_end import _blocks_kept

CALLS = 500


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
    _call(function, expected)
    counts = [sys.getrefcount(obj) for obj in tracked]
    kept = _blocks_kept(lambda: _call(function, expected), CALLS)
    assert [sys.getrefcount(obj) for obj in tracked] == counts
    if os.environ.get("PYTHONMALLOC") != "malloc":
        assert kept < CALLS // 4, f"{kept} blocks kept after {CALLS} calls"
