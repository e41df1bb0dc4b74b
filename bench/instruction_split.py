"""Where a report build's instructions go: the module's own machine code against the
interpreter's (object construction, dict inserts, attribute reads, teardown, the stand-ins).

Runs bench_report's inputs under callgrind, for the module and for tests/oracle.py, at two
repeat counts, and takes the difference, so start-up and imports drop out and what is left is
the cost of one build plus the teardown of its result. Instruction counts, not seconds: the
same figures on a loaded machine.

The last column bounds the speed ratio from below: if the module's own code and every C
library call (some of which the module makes itself) cost nothing, a build would still run
every interpreter routine it calls now, and the oracle calls the same routines to make the
same objects.

Run: python bench/instruction_split.py [--sections 10 1000] [--repeats 200 800]
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

WORKER = """
import sys
sys.path[:0] = [{bench!r}, {tests!r}]
import bench_report, oracle
import tarnwick.analysis.summary as summary
which, sections, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
model, config, results = bench_report.make_inputs(1000, sections)
target = summary if which == "module" else oracle
bench_report.install_stand_ins(results, target)
for _ in range(repeats):
    target.build_analysis_report(model, config)
"""

LINE = re.compile(r"\s*([\d,]+) \([ \d.]+%\)\s+(\S.*?)(?: \[(.*)\])?$")


def costs_by_object(profile: str) -> dict[str, int]:
    """Self instructions per shared object (or PROGRAM TOTALS)."""
    listing = subprocess.run(["callgrind_annotate", "--threshold=100", "--auto=no", profile],
                             capture_output=True, text=True, check=True).stdout
    totals: dict[str, int] = {}
    for line in listing.splitlines():
        match = LINE.match(line)
        if not match:
            continue
        count = int(match.group(1).replace(",", ""))
        if match.group(2) == "PROGRAM TOTALS":
            totals["total"] = count
            continue
        owner = match.group(3) or match.group(2)
        key = ("module" if "summary.cpython" in owner else
               "libpython" if "libpython" in owner else
               "libc" if "libc.so" in owner else "other")
        totals[key] = totals.get(key, 0) + count
    return totals


def per_build(script: str, which: str, sections: int, repeats: tuple[int, int],
              workdir: str) -> dict[str, float]:
    profiles = []
    for count in repeats:
        out = os.path.join(workdir, f"{which}.{sections}.{count}.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, script, which, str(sections), str(count)],
                       capture_output=True, check=True)
        profiles.append(costs_by_object(out))
    low, high = profiles
    return {key: (high.get(key, 0) - low.get(key, 0)) / (repeats[1] - repeats[0]) for key in high}


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--sections", type=int, nargs="+", default=[10, 1000])
    parser.add_argument("--repeats", type=int, nargs=2, default=[200, 800])
    args = parser.parse_args()
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        sys.exit("valgrind (with callgrind_annotate) is needed")
    print(f"{'sections':>8} {'module':>10} {'own code':>9} {'libc':>6} {'oracle':>11} "
          f"{'ratio':>6} {'bound':>6}   (instructions per build)")
    with tempfile.TemporaryDirectory() as workdir:
        script = os.path.join(workdir, "worker.py")
        with open(script, "w") as handle:
            handle.write(WORKER.format(bench=HERE, tests=os.path.join(HERE, "..", "tests")))
        for sections in args.sections:
            module = per_build(script, "module", sections, tuple(args.repeats), workdir)
            python = per_build(script, "oracle", sections, tuple(args.repeats), workdir)
            own, libc = module.get("module", 0.0), module.get("libc", 0.0)
            print(f"{sections:>8} {module['total']:>10.0f} {own / module['total']:>8.1%} "
                  f"{libc / module['total']:>6.1%} {python['total']:>11.0f} "
                  f"{module['total'] / python['total']:>6.2f} "
                  f"{(module['total'] - own - libc) / python['total']:>6.2f}")


if __name__ == "__main__":
    main()
