"""The stack check of the 20,000-function build (bench/large_firmware.py, built with its stack
files): reading its .su and .ci files and solving the whole program's call graph, beside the
time to read its map in the same run; best of five.

Run: python bench/bench_stack.py
"""

from __future__ import annotations

import time

from large_firmware import build

from tarnwick.analysis.stack_depth import analyse_stack
from tarnwick.config import StackConfig
from tarnwick.toolchains import load_map


def best(function, rounds: int = 5):
    fastest, result = float("inf"), None
    for _ in range(rounds):
        start = time.perf_counter()
        result = function()
        fastest = min(fastest, time.perf_counter() - start)
    return fastest, result


def main() -> None:
    folder = build()
    map_seconds, model = best(lambda: load_map(folder / "firmware.map", None))
    stack_seconds, stack = best(lambda: analyse_stack(model, StackConfig(), [str(folder)]))
    calls = sum(len(f.callees) for f in stack.functions)
    print(f"map read: {map_seconds:.3f} s ({len(model.symbols):,} symbols)")
    print(f"stack files read and solved: {stack_seconds:.3f} s ({stack.units} units, {len(stack.functions):,} "
          f"functions, {calls:,} calls); {stack.verdict}: {stack.detail}")


if __name__ == "__main__":
    main()
