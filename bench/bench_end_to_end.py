"""The command end to end, as a user runs it: every output format on the map of a real large
link (bench/large_firmware.py, about 7 MB) and on a synthesised 113 MB map, each timed from
process start to exit with its peak resident memory, beside the time it takes just to read the
map's lines in the same run. Also the parse throughput (map text into the model).

Run: python bench/bench_end_to_end.py [--skip-huge] [--rounds 3]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from large_firmware import build
from synth_map import gnu_ld_map

from tarnwick.toolchains import load_map

OUT = Path(__file__).resolve().parent / "out"
FORMATS = ("text", "json", "markdown", "html")
READ_LINES = "import sys\nfor line in open(sys.argv[1], 'rb'): pass"


def huge_map() -> Path:
    """A synthesised map of about 113 MB (617,000 input sections), made once."""
    path = OUT / "huge.map"
    if not path.exists():
        OUT.mkdir(exist_ok=True)
        path.write_text(gnu_ld_map(370_000))
    return path


def run(arguments: list, output: str) -> tuple[float, float]:
    """Seconds from start to exit, and peak resident memory in MB, of one command."""
    with open(output, "wb") as sink:
        start = time.perf_counter()
        child = subprocess.Popen(arguments, stdout=sink, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - start
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode not in (0, 1):
        raise SystemExit(f"{arguments} exited {child.returncode}")
    return seconds, usage.ru_maxrss / 1024


def median_run(arguments: list, output: str, rounds: int) -> tuple[float, float, float]:
    """Median and least seconds of `rounds` runs (this machine's speed varies by a third from
    one moment to the next), and the largest peak memory."""
    results = [run(arguments, output) for _ in range(rounds)]
    return (statistics.median(r[0] for r in results), min(r[0] for r in results),
            max(r[1] for r in results))


def parse_rate(path: Path) -> float:
    """MB of map text per second into the model (best of three), as a Python caller of
    load_map gets it (the collector running)."""
    best = min(_timed(lambda: load_map(path, elf=None)) for _ in range(3))
    return path.stat().st_size / 1e6 / best


def _timed(function) -> float:
    start = time.perf_counter()
    result = function()
    seconds = time.perf_counter() - start
    del result  # freeing it is not reading it
    return seconds


def measure(path: Path, rounds: int) -> None:
    megabytes = path.stat().st_size / 1e6
    with tempfile.TemporaryDirectory() as folder:
        sink = os.path.join(folder, "out")
        lines, _, _ = median_run([sys.executable, "-c", READ_LINES, str(path)], sink, rounds)
        print(f"\n{path.name}: {megabytes:.1f} MB; reading its lines alone: {lines:.3f} s; "
              f"parse into the model: {parse_rate(path):.0f} MB/s")
        print(f"{'format':>9}  {'median s':>8}  {'least s':>8}  {'x lines':>8}  {'x text':>7}  {'peak MB':>8}")
        text_seconds = None
        for kind in FORMATS:
            command = [sys.executable, "-m", "tarnwick", "analyze", str(path), "--no-elf", "--format", kind,
                       "--output", sink]
            seconds, least, peak = median_run(command, sink, rounds)
            text_seconds = text_seconds or seconds
            print(f"{kind:>9}  {seconds:8.3f}  {least:8.3f}  {seconds / lines:8.1f}  {seconds / text_seconds:7.2f}"
                  f"  {peak:8.0f}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--skip-huge", action="store_true")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    measure(build() / "firmware.map", args.rounds)
    if not args.skip_huge:
        measure(huge_map(), args.rounds)


if __name__ == "__main__":
    main()
