"""Each map reader's time per megabyte against the GNU ld reader's, in the same run: a
synthesised map of about 20 MB of each format (bench/synth_map.py, bench/synth_vendor_maps.py)
read into the model by `load_map`, best of three.

Each read runs as a run of the command does: in a process of its own, timed as the CPU time
of `load_map` alone, its model never freed. Read one after another in one process, a reader
was charged for freeing its model and met the heap the readers before it left behind (XC8's
figure moved by half with the readers run before it).

Run: python bench/bench_readers.py [--megabytes 20] [--only armlink,ti_linker]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

from synth_map import gnu_ld_map, lld_map
from synth_vendor_maps import MAKERS

from tarnwick.toolchains import load_map

ALL_MAKERS = {"gnu_ld": gnu_ld_map, "llvm_lld": lld_map, **MAKERS}


def write(kind: str, megabytes: float, folder: str) -> str:
    """A map of `kind` of about `megabytes`, sized from a small one of the same maker."""
    maker = ALL_MAKERS[kind]
    sample = len(maker(2000))
    text = maker(int(2000 * megabytes * 1e6 / sample) + 1)
    path = os.path.join(folder, f"{kind}.map")
    with open(path, "w") as handle:
        handle.write(text)
    return path


def read_once(path: str) -> None:
    """In the child: prints the CPU seconds of reading `path`, and ends without freeing the model."""
    start = time.process_time()
    model = load_map(path, None)
    spent = time.process_time() - start
    print(spent, flush=True)
    os._exit(0 if model is not None else 1)


def seconds_per_megabyte(path: str, rounds: int) -> float:
    best = float("inf")
    command = [sys.executable, *(["-S"] if sys.flags.no_site else []), os.path.abspath(__file__), "--read", path]
    for _ in range(rounds):
        spent = float(subprocess.run(command, check=True, capture_output=True, text=True).stdout)
        best = min(best, spent)
    return best / (os.path.getsize(path) / 1e6)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--megabytes", type=float, default=20.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", default="", help="comma-separated readers (GNU ld is always measured)")
    parser.add_argument("--read", help=argparse.SUPPRESS)  # the child that reads one map
    args = parser.parse_args()
    if args.read:
        read_once(args.read)
    kinds = [kind for kind in ALL_MAKERS if not args.only or kind == "gnu_ld" or kind in args.only.split(",")]
    with tempfile.TemporaryDirectory() as folder:
        paths = {kind: write(kind, args.megabytes, folder) for kind in kinds}
        # by turns, so a machine whose speed drifts shows it to every reader alike
        results = {kind: float("inf") for kind in kinds}
        for _ in range(args.rounds):
            for kind in kinds:
                results[kind] = min(results[kind], seconds_per_megabyte(paths[kind], 1))
        base = results["gnu_ld"]
        print(f"{'reader':<10} {'MB':>6} {'s/MB':>8} {'MB/s':>7} {'x GNU ld':>9}")
        for kind in kinds:
            size = os.path.getsize(paths[kind]) / 1e6
            print(f"{kind:<10} {size:6.1f} {results[kind]:8.4f} {1 / results[kind]:7.1f} {results[kind] / base:9.2f}")


if __name__ == "__main__":
    main()
