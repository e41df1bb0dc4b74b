"""The JSON report of the large firmware (bench/large_firmware.py): the native writer against the
standard library's encoder (over `to_jsonable`, as the command wrote it before) and against
orjson when it is installed, each writing the same report with the same indentation.

Run: python bench/bench_json.py
"""

from __future__ import annotations

import json
import time

from large_firmware import build

from tarnwick.analysis.summary import build_analysis_report
from tarnwick.config import TarnwickConfig
from tarnwick.domain import to_jsonable
from tarnwick.render.json_report import write_report_json
from tarnwick.toolchains import load_map


def best(function, rounds: int = 3) -> tuple[float, int]:
    times, size = [], 0
    for _ in range(rounds):
        start = time.perf_counter()
        size = function()
        times.append(time.perf_counter() - start)
    return min(times), size


def native(report) -> int:
    pieces: list = []
    write_report_json(report, None, pieces.append)
    return sum(map(len, pieces))


def standard(report) -> int:
    return len(json.dumps(to_jsonable(report), indent=2))


def main() -> None:
    report = build_analysis_report(load_map(build() / "firmware.map", elf=None), TarnwickConfig())
    ours, size = best(lambda: native(report))
    print(f"native writer: {ours:.3f} s, {size / 1e6:.1f} MB")
    theirs, size = best(lambda: standard(report), 1)
    print(f"json.dumps(to_jsonable(report), indent=2): {theirs:.3f} s, {size / 1e6:.1f} MB "
          f"({theirs / ours:.0f}x)")
    try:
        import orjson
    except ImportError:
        print("orjson is not installed")
        return
    option = orjson.OPT_INDENT_2 | orjson.OPT_NON_STR_KEYS
    fast, size = best(lambda: len(orjson.dumps(report, option=option, default=str)))
    print(f"orjson.dumps(report, OPT_INDENT_2): {fast:.3f} s, {size / 1e6:.1f} MB ({fast / ours:.1f}x)")


if __name__ == "__main__":
    main()
