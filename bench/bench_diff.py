"""What `tarnwick diff` costs against analysing its two builds, and whether it names only the
real changes. The pair: the 20,000-function firmware (bench/large_firmware.py) and the same
firmware with 21 tables and 21 statics doubled (42 real changes), each with its ELF file.

Each command runs in a child process, timed by its CPU time (user + system, from wait4) with
its peak resident memory; the two analyses and the diff run by turns, so all see the same
drift of the machine. Prints the medians and the ratios diff / (both analyses) for CPU and
diff / the larger analysis for memory, then the symbol changes the diff lists with both ELF
files, with one, and with none.

Run: python bench/bench_diff.py [--rounds 5]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile

from large_firmware import build

GROWN = 21


def cost(arguments: list) -> tuple[float, float]:
    """CPU seconds and peak resident MB of one command."""
    with open(os.devnull, "wb") as sink:
        child = subprocess.Popen(arguments, stdout=sink, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
    if os.waitstatus_to_exitcode(status) not in (0, 1):
        raise SystemExit(f"{arguments} failed")
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


def changes(old: str, new: str, *extra: str) -> list:
    out = subprocess.run([sys.executable, "-m", "tarnwick", "diff", old, new, "--format", "json", *extra],
                         capture_output=True, text=True, check=False).stdout
    return json.loads(out)["comparison"]["symbols"]


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    old, new = str(build() / "firmware.map"), str(build(grown=GROWN) / "firmware.map")
    tarnwick = [sys.executable, "-m", "tarnwick"]
    commands = {"analyze old": [*tarnwick, "analyze", old], "analyze new": [*tarnwick, "analyze", new],
                "diff": [*tarnwick, "diff", old, new]}
    samples: dict = {name: [] for name in commands}
    for _ in range(rounds):
        for name, command in commands.items():
            samples[name].append(cost(command))
    cpu = {name: statistics.median(s[0] for s in runs) for name, runs in samples.items()}
    peak = {name: max(s[1] for s in runs) for name, runs in samples.items()}
    print(f"{'command':>12}  {'CPU s':>6}  {'peak MB':>8}   (medians of {rounds}, by turns)")
    for name in commands:
        print(f"{name:>12}  {cpu[name]:6.3f}  {peak[name]:8.0f}")
    both = cpu["analyze old"] + cpu["analyze new"]
    print(f"diff CPU / both analyses: {cpu['diff'] / both:.2f}; "
          f"diff memory / the larger analysis: {peak['diff'] / max(peak['analyze old'], peak['analyze new']):.2f}")

    with tempfile.TemporaryDirectory() as folder:  # a side without its ELF file: the map alone, copied
        alone = os.path.join(folder, "firmware.map")
        with open(old, "rb") as source, open(alone, "wb") as copy:
            copy.write(source.read())
        for label, arguments in (("both ELF files", (old, new)), ("baseline without its ELF", (alone, new)),
                                 ("no ELF files", (old, new, "--no-elf"))):
            listed = changes(*arguments)
            kinds = sorted({c["change"] for c in listed})
            print(f"{label:>26}: {len(listed)} symbol changes ({', '.join(kinds)})")


if __name__ == "__main__":
    main()
