import json
import math
import os
from pathlib import Path
from types import SimpleNamespace

import pytest

from tarnwick.analysis.summary import _baseline_regressions


def current(flash=1000, ram=500, ratios=None):
    return SimpleNamespace(total_flash=flash, total_ram=ram,
                           utilization_by_region={"FLASH": 0.75, "RAM": 0.5} if ratios is None else ratios)


def write(tmp_path, content, name="baseline.json"):
    path = tmp_path / name
    (path.write_bytes if isinstance(content, bytes) else path.write_text)(content)
    return path


def test_no_baseline_is_an_empty_mapping():
    result = _baseline_regressions(current(), None)
    assert result == {} and type(result) is dict


def test_missing_file(tmp_path):
    path = tmp_path / "absent.json"
    assert _baseline_regressions(current(), path) == {"status": "baseline_missing", "path": str(path)}


@pytest.mark.parametrize("content", [b"", b"{not json", b"\xff\xfe\x00garbage", b"\xef\xbb\xbf{}",
                                     b"[1, 2", b"\x00" * 64])
def test_unreadable_contents(tmp_path, content):
    path = write(tmp_path, content)
    result = _baseline_regressions(current(), path)
    assert list(result) == ["status", "path", "error"]
    assert result["status"] == "baseline_unreadable" and result["path"] == str(path)
    assert isinstance(result["error"], str) and result["error"]


def test_directory_is_unreadable_with_the_interpreters_message(tmp_path):
    result = _baseline_regressions(current(), tmp_path)
    assert result == {"status": "baseline_unreadable", "path": str(tmp_path),
                      "error": f"[Errno 21] Is a directory: '{tmp_path}'"}


def test_fifo_is_refused_without_reading(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    result = _baseline_regressions(current(), fifo)  # reading would block forever
    assert result["status"] == "baseline_unreadable"
    assert result["error"] == f"Not a regular file (a FIFO): '{fifo}'"


def test_character_device_is_refused():
    result = _baseline_regressions(current(), Path("/dev/zero"))
    assert result["status"] == "baseline_unreadable" and "character device" in result["error"]


@pytest.mark.parametrize("summary_value", ["null", "[]", "3", '"text"', "true"])
def test_summary_not_an_object_is_invalid(tmp_path, summary_value):
    path = write(tmp_path, '{"summary": %s}' % summary_value)
    assert _baseline_regressions(current(), path) == {"status": "baseline_invalid", "path": str(path)}


@pytest.mark.parametrize("document", ["{}", "[]", "null", "42", '"x"', '{"other": 1}', '{"summary": {}}'])
def test_documents_without_figures_compare_against_zero(tmp_path, document):
    path = write(tmp_path, document)
    result = _baseline_regressions(current(), path)
    assert result == {
        "status": "ok", "baseline_path": str(path), "flash_delta_bytes": 1000, "ram_delta_bytes": 500,
        "regions": {"FLASH": {"current": 0.75, "baseline": 0.0, "delta": 0.75},
                    "RAM": {"current": 0.5, "baseline": 0.0, "delta": 0.5}},
    }
    assert list(result) == ["status", "baseline_path", "flash_delta_bytes", "ram_delta_bytes", "regions"]
    assert list(result["regions"]["FLASH"]) == ["current", "baseline", "delta"]


@pytest.mark.parametrize("figure, expected_delta", [
    (1000.9, 0), (900, 100), ('"900"', 1000), ("true", 1000), ("false", 1000), ("null", 1000),
    ("[1]", 1000), ("-5.5", 1005),
])
def test_total_coercion(tmp_path, figure, expected_delta):
    path = write(tmp_path, '{"summary": {"total_flash": %s}}' % figure)
    assert _baseline_regressions(current(), path)["flash_delta_bytes"] == expected_delta


@pytest.mark.parametrize("ratio, expected_baseline", [
    ("0.5", 0.5), ('"0.5"', 0.0), ("1", 1.0), ("true", 0.0), ("null", 0.0), ("{}", 0.0),
])
def test_region_ratio_coercion(tmp_path, ratio, expected_baseline):
    path = write(tmp_path, '{"summary": {"utilization_by_region": {"FLASH": %s, "GONE": 0.9}}}' % ratio)
    regions = _baseline_regressions(current(), path)["regions"]
    assert list(regions) == ["FLASH", "RAM"]  # a region only in the baseline is not reported
    entry = regions["FLASH"]
    assert entry["baseline"] == expected_baseline and type(entry["baseline"]) is float
    assert entry["delta"] == pytest.approx(0.75 - expected_baseline)


def test_ratios_not_an_object_are_ignored_and_current_is_kept_as_is(tmp_path):
    path = write(tmp_path, '{"summary": {"utilization_by_region": [0.5]}}')
    ratio = 3  # an int current ratio stays an int
    regions = _baseline_regressions(current(ratios={"R": ratio}), path)["regions"]
    assert regions == {"R": {"current": 3, "baseline": 0.0, "delta": 3.0}}
    assert regions["R"]["current"] is ratio
    assert _baseline_regressions(current(ratios={}), path)["regions"] == {}


@pytest.mark.parametrize("literal, error", [("NaN", ValueError), ("Infinity", OverflowError),
                                            ("-Infinity", OverflowError)])
def test_non_finite_total_raises(tmp_path, literal, error):
    path = write(tmp_path, '{"summary": {"total_ram": %s}}' % literal)
    with pytest.raises(error, match="cannot convert float"):
        _baseline_regressions(current(), path)


def test_huge_integer_ratio_raises(tmp_path):
    path = write(tmp_path, '{"summary": {"utilization_by_region": {"RAM": 1%s}}}' % ("0" * 400))
    with pytest.raises(OverflowError):
        _baseline_regressions(current(), path)


def test_deep_nesting_raises_recursion_error(tmp_path):
    path = write(tmp_path, "[" * 200_000 + "]" * 200_000)
    with pytest.raises(RecursionError):
        _baseline_regressions(current(), path)


def test_plain_string_path_raises_attribute_error(tmp_path):
    path = write(tmp_path, "{}")
    with pytest.raises(AttributeError):
        _baseline_regressions(current(), str(path))


def test_summary_failures_propagate(tmp_path):
    path = write(tmp_path, "{}")
    with pytest.raises(AttributeError):
        _baseline_regressions(SimpleNamespace(total_flash=1, total_ram=1, utilization_by_region=None), path)
    with pytest.raises(TypeError):
        _baseline_regressions(current(flash="x"), path)


class RecordingPath:
    """Offers only the three things the comparison may use."""

    def __init__(self, text=None, exists=True, error=None):
        self.calls = []
        self._text, self._exists, self._error = text, exists, error

    def exists(self):
        self.calls.append("exists")
        return self._exists

    def read_text(self, *args, **kwargs):
        self.calls.append(("read_text", args, kwargs))
        if self._error is not None:
            raise self._error
        return self._text

    def __str__(self):
        return "recorded.json"


def test_path_protocol_and_json_lookup_at_call_time(rebind):
    decoded = []
    rebind("json", SimpleNamespace(loads=lambda text: decoded.append(text) or {"summary": {"total_flash": 1}}))
    path = RecordingPath(text="payload")
    result = _baseline_regressions(current(), path)
    assert path.calls == ["exists", ("read_text", (), {"encoding": "utf-8"})]
    assert decoded == ["payload"]
    assert result["baseline_path"] == "recorded.json" and result["flash_delta_bytes"] == 999


@pytest.mark.parametrize("error, caught", [
    (PermissionError(13, "Permission denied"), True), (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"), True),
    (FileNotFoundError(2, "gone"), True), (RuntimeError("boom"), False), (KeyError("k"), False),
])
def test_only_value_and_os_errors_are_caught(error, caught):
    path = RecordingPath(error=error)
    if caught:
        result = _baseline_regressions(current(), path)
        assert result == {"status": "baseline_unreadable", "path": "recorded.json", "error": str(error)}
    else:
        with pytest.raises(type(error)):
            _baseline_regressions(current(), path)


def test_exists_errors_propagate_and_falsy_exists_reads_nothing():
    class Broken(RecordingPath):
        def exists(self):
            raise PermissionError("denied")
    with pytest.raises(PermissionError):
        _baseline_regressions(current(), Broken())
    path = RecordingPath(exists=0)
    assert _baseline_regressions(current(), path)["status"] == "baseline_missing"
    assert path.calls == ["exists"]


def test_report_written_as_json_round_trips(tmp_path):
    path = write(tmp_path, json.dumps({"summary": {"total_flash": 1000, "total_ram": 500,
                                                   "utilization_by_region": {"FLASH": 0.75, "RAM": 0.5}}}))
    result = _baseline_regressions(current(), path)
    assert result["flash_delta_bytes"] == 0 and result["ram_delta_bytes"] == 0
    assert all(entry["delta"] == 0.0 for entry in result["regions"].values())
