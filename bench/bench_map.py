"""Time a large map file from disk to finished report, through the real passes.

Run: python bench/bench_map.py [--megabytes 10]
"""

from __future__ import annotations

import argparse
import cProfile
import os
import pstats
import tempfile
import time

from synth_map import REGIONS, gnu_ld_map, lld_map

from tarnwick.analysis.summary import build_analysis_report
from tarnwick.config import RegionSpec, TarnwickConfig
from tarnwick.toolchains import load_map


def write_map(kind: str, megabytes: float, folder: str) -> str:
    maker = gnu_ld_map if kind == "gnu_ld" else lld_map
    functions = 20_000
    text = maker(functions)
    functions = int(functions * megabytes * 1e6 / len(text)) + 1
    text = maker(functions)
    path = os.path.join(folder, f"{kind}.map")
    with open(path, "w") as handle:
        handle.write(text)
    return path


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--megabytes", type=float, default=10.0)
    parser.add_argument("--profile", action="store_true")
    args = parser.parse_args()
    config = TarnwickConfig(regions=[RegionSpec(n, o, l) for n, o, l, _ in REGIONS])
    with tempfile.TemporaryDirectory() as folder:
        for kind in ("gnu_ld", "llvm_lld"):
            path = write_map(kind, args.megabytes, folder)
            size = os.path.getsize(path) / 1e6
            best_parse = best_total = float("inf")
            for _ in range(3):
                start = time.perf_counter()
                model = load_map(path, config)
                parsed = time.perf_counter()
                build_analysis_report(model, config)
                done = time.perf_counter()
                best_parse, best_total = min(best_parse, parsed - start), min(best_total, done - start)
            print(f"{kind:>9}: {size:5.1f} MB, {len(model.sections)} sections, "
                  f"{len(model.symbols)} symbols: parse {best_parse:.3f} s, "
                  f"map to report {best_total:.3f} s")
            if args.profile:
                cProfile.runctx("build_analysis_report(load_map(path, config), config)", globals(),
                                {"path": path, "config": config, "load_map": load_map,
                                 "build_analysis_report": build_analysis_report}, "/tmp/map.prof")
                pstats.Stats("/tmp/map.prof").sort_stats("cumulative").print_stats(18)


if __name__ == "__main__":
    main()
