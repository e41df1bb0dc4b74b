"""The long leak run: every public function of the module called 100,000 times per case
(success and each kind of failure); prints reference-count and traced-memory change per case.

Run: python bench/leak_soak.py [--calls 100000]
"""

from __future__ import annotations

import argparse
import gc
import os
import sys
import tempfile
import tracemalloc
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from leak_cases import build_cases  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=100_000)
    args = parser.parse_args()
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        cases, tracked = build_cases(Path(folder))
        print(f"{'case':<26} {'refcount change':>15} {'traced bytes':>13} {'kept blocks':>12}")
        for name, (function, expected) in cases.items():
            def call():
                try:
                    function()
                except Exception as exc:
                    if expected is None or not isinstance(exc, expected):
                        raise
            tracemalloc.start()
            for _ in range(1_000):
                call()
            gc.collect()
            counts = [sys.getrefcount(obj) for obj in tracked]
            before_bytes = tracemalloc.get_traced_memory()[0]
            before = tracemalloc.take_snapshot()
            for _ in range(args.calls):
                call()
            gc.collect()
            after = tracemalloc.take_snapshot()
            grown = tracemalloc.get_traced_memory()[0] - before_bytes
            tracemalloc.stop()
            kept = sum(s.count_diff for s in after.compare_to(before, "lineno"))
            after_counts = [sys.getrefcount(obj) for obj in tracked]
            change = sum(a - c for a, c in zip(after_counts, counts))
            leaking = change != 0 or kept > args.calls // 10
            failures += leaking
            print(f"{name:<26} {change:>15} {grown:>13} {kept:>12}{'  LEAK' if leaking else ''}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
