"""What the finished model's check (toolchains/extent_check.py) costs against the read it ends:
a synthesised map of each format (bench/synth_map.py, bench/synth_vendor_maps.py) read by
`load_map`, and the check of that model alone, best of three, in the same run.

Run: python bench/bench_extent_check.py [--megabytes 20] [--only gnu_ld,armlink]
"""

from __future__ import annotations

import argparse
import tempfile
import time

from bench_readers import ALL_MAKERS, write

from tarnwick.toolchains import load_map
from tarnwick.toolchains.building.extent_check import check_extents


def best(function, rounds: int) -> float:
    quickest = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        function()
        quickest = min(quickest, time.perf_counter() - start)
    return quickest


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--megabytes", type=float, default=20.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", default="", help="comma-separated readers")
    args = parser.parse_args()
    kinds = [kind for kind in ALL_MAKERS if not args.only or kind in args.only.split(",")]
    print(f"{'reader':<10} {'symbols':>9} {'read s':>8} {'check s':>8} {'check/read':>11}")
    with tempfile.TemporaryDirectory() as folder:
        for kind in kinds:
            path = write(kind, args.megabytes, folder)
            read = best(lambda: load_map(path, None), args.rounds)
            model = load_map(path, None)
            check = best(lambda: check_extents(model, path), args.rounds)
            print(f"{kind:<10} {len(model.symbols):>9,} {read:>8.3f} {check:>8.4f} {check / read:>10.1%}")


if __name__ == "__main__":
    main()
