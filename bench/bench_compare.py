"""Two builds of tarnwick against each other, run by turns in the same run (this machine's speed
drifts by a third from one minute to the next; by turns, both see the same drift): each format
on the maps of bench_end_to_end.py, the median seconds of each build and their ratio.

Make the two builds first, e.g. the commit before a change and the one after:
    git worktree add /tmp/before <commit> && pip install /tmp/before --no-deps --target /tmp/before-build
    pip install . --no-deps --target /tmp/after-build
Run: python bench/bench_compare.py /tmp/before-build /tmp/after-build [--rounds 5] [--skip-huge] [--elf]
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

from bench_end_to_end import FORMATS, huge_map
from large_firmware import build


def seconds(tree: str, arguments: list, sink: str) -> float:
    """One run of the command from `tree` (an install made with --target), start to exit."""
    # -S: the interpreter's site packages (an editable install among them) stay out of the way
    command = [sys.executable, "-S", "-m", "tarnwick", *arguments, "--output", sink]
    environment = dict(os.environ, PYTHONPATH=tree)
    start = time.perf_counter()
    done = subprocess.run(command, env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if done.returncode not in (0, 1):
        raise SystemExit(f"{tree}: {command} exited {done.returncode}")
    return time.perf_counter() - start


def compare(before: str, after: str, path: Path, extra: list, rounds: int) -> None:
    print(f"\n{path.name} ({path.stat().st_size / 1e6:.1f} MB) {' '.join(extra)}")
    print(f"{'format':>9}  {'before s':>8}  {'after s':>8}  {'after/before':>12}")
    with tempfile.TemporaryDirectory() as folder:
        sink = os.path.join(folder, "out")
        for kind in FORMATS:
            arguments = ["analyze", str(path), "--format", kind, *extra]
            times: dict = {before: [], after: []}
            for _ in range(rounds):
                for tree in (before, after):
                    times[tree].append(seconds(tree, arguments, sink))
            old, new = statistics.median(times[before]), statistics.median(times[after])
            print(f"{kind:>9}  {old:8.3f}  {new:8.3f}  {new / old:12.2f}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--skip-huge", action="store_true")
    parser.add_argument("--elf", action="store_true", help="also the large firmware with its ELF joined")
    args = parser.parse_args()
    large = build() / "firmware.map"
    compare(args.before, args.after, large, ["--no-elf"], args.rounds)
    if args.elf:
        compare(args.before, args.after, large, [], args.rounds)
    if not args.skip_huge:
        compare(args.before, args.after, huge_map(), ["--no-elf"], args.rounds)


if __name__ == "__main__":
    main()
