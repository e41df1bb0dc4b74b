"""Files that a CI job can hand the analyser by accident or malice: each gives its status, a
clear error or the documented exception, within a bounded time."""

import os
import time
from pathlib import Path
from types import SimpleNamespace

import pytest

from tarnwick.analysis.summary import _baseline_regressions
from tarnwick.toolchains import MapParseError, load_map

SUMMARY = SimpleNamespace(total_flash=10, total_ram=5, utilization_by_region={"RAM": 0.5})
MAPS = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps"


class VanishingPath(type(Path())):
    """Says it exists, then is gone before it is read."""

    def exists(self):
        present = super().exists()
        self.unlink()
        return present


def sparse(path: Path, size: int) -> Path:
    with open(path, "wb") as handle:
        handle.truncate(size)
    return path


def timed(function, *args):
    start = time.monotonic()
    try:
        return function(*args), time.monotonic() - start
    except Exception as exc:
        return exc, time.monotonic() - start


def test_baseline_fifo_is_not_read(tmp_path):
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    result, seconds = timed(_baseline_regressions, SUMMARY, fifo)
    assert result["status"] == "baseline_unreadable" and "FIFO" in result["error"] and seconds < 5


def test_baseline_that_vanishes_after_the_check(tmp_path):
    path = VanishingPath(tmp_path / "gone.json")
    path.write_text("{}")
    result = _baseline_regressions(SUMMARY, path)
    assert result["status"] == "baseline_unreadable" and "No such file" in result["error"]


def test_baseline_sparse_gigabyte(tmp_path):
    path = sparse(tmp_path / "huge.json", 1 << 30)
    result, seconds = timed(_baseline_regressions, SUMMARY, path)
    assert result == {"status": "baseline_unreadable", "path": str(path),
                      "error": "Expecting value: line 1 column 1 (char 0)"}
    assert seconds < 60


def test_baseline_deep_nesting_is_the_recursion_error(tmp_path):
    path = tmp_path / "deep.json"
    path.write_text('{"summary": ' + "[" * 100_000 + "]" * 100_000 + "}")
    result, seconds = timed(_baseline_regressions, SUMMARY, path)
    assert isinstance(result, RecursionError) and seconds < 10


@pytest.mark.parametrize("make, reason", [
    (lambda t: (os.mkfifo(t / "pipe.map"), t / "pipe.map")[1], "not a regular file"),
    (lambda t: t, "not a regular file"),
    (lambda t: sparse(t / "huge.map", 1 << 30), "binary file"),
    (lambda t: Path("/dev/zero"), "not a regular file"),
])
def test_map_hostile_files(tmp_path, make, reason):
    result, seconds = timed(load_map, make(tmp_path))
    assert isinstance(result, MapParseError) and reason in str(result) and seconds < 10


def test_map_with_non_utf8_bytes_still_parses(tmp_path):
    text = (MAPS / "gnu_ld.map").read_bytes().replace(b"main.o", b"m\xe4in.o")
    path = tmp_path / "latin1.map"
    path.write_bytes(text)
    model = load_map(path)
    assert any(s.object_file == "m\ufffdin.o" for s in model.symbols)
