"""Parse time against the length of blank runs inside lines, and against the length of the map:
both must grow linearly (a backtracking pattern once made a 187 KB map take 44 s).

Run: python bench/bench_linear.py
Prints, per size, the best of three parse times and the time per unit; a linear parser keeps
the last column flat as the size doubles.
"""

from __future__ import annotations

import os
import tempfile
import time

from synth_map import gnu_ld_map

from tarnwick.toolchains import load_map

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "examples", "firmware", "maps", "gnu_ld.map")
# Lines of each kind the map reader meets, with a run of blanks where it hurts most.
HOSTILE_LINES = [
    "                0x0000000008000000                x{blanks}symbol",
    " .text{blanks}0x08000000 0x10 main.o",
    ".text{blanks}x{blanks}y",
    "                0x08000000                a = {blanks};",
]


def best_parse(path: str) -> float:
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        load_map(path)
        best = min(best, time.perf_counter() - start)
    return best


def blank_runs(folder: str) -> None:
    text = open(EXAMPLE).read()
    cut = text.index(".text           0x")
    print("blank run length   parse s   ns per blank")
    for run in (50_000, 100_000, 200_000, 400_000, 800_000):
        lines = "".join(line.format(blanks=" " * run) + "\n" for line in HOSTILE_LINES)
        path = os.path.join(folder, "blanks.map")
        with open(path, "w") as handle:
            handle.write(text[:cut] + lines + text[cut:])
        seconds = best_parse(path)
        print(f"{run:>16,}   {seconds:7.3f}   {seconds / (run * 5) * 1e9:12.2f}")


def map_length(folder: str) -> None:
    print("map MB   parse s   s per MB")
    for functions in (10_000, 20_000, 40_000, 80_000):
        path = os.path.join(folder, "long.map")
        with open(path, "w") as handle:
            handle.write(gnu_ld_map(functions))
        megabytes = os.path.getsize(path) / 1e6
        seconds = best_parse(path)
        print(f"{megabytes:6.1f}   {seconds:7.3f}   {seconds / megabytes:8.3f}")


def main() -> None:
    with tempfile.TemporaryDirectory() as folder:
        blank_runs(folder)
        map_length(folder)


if __name__ == "__main__":
    main()
