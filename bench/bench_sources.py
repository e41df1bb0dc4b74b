"""The source view of the 20,000-function build compiled with -g (bench/large_firmware.py,
bench/out/large-g): the ELF's debug information read and joined to the symbols, in process
(best of five); and the whole text report from process start to exit with and without it (the
same build read with --no-elf, and with its ELF stripped of its debug information), with peak
memory; medians of five, by turns.

Run: python bench/bench_sources.py
"""

from __future__ import annotations

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from large_firmware import build

from tarnwick.analysis.sources import attach_sources
from tarnwick.toolchains import AUTO, load_map
from tarnwick.toolchains.elf.dwarf import read_debug_info


def run(arguments: list) -> tuple:
    """Seconds from start to exit and peak resident memory in MB of one command."""
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-m", "tarnwick", *arguments], stdout=subprocess.DEVNULL)
    _pid, _status, usage = os.wait4(child.pid, 0)
    child.returncode = 0
    return time.perf_counter() - start, usage.ru_maxrss / 1024


def main() -> None:
    folder = build(debug=True)
    elf = folder / "firmware.elf"
    model = load_map(folder / "firmware.map", None, elf=AUTO)
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        view = attach_sources(model, read_debug_info(model.elf_file))
        best = min(best, time.perf_counter() - start)
    debug_bytes = sum(s.size for s in model.elf_file.sections if s.name.startswith(".debug_"))
    print(f"debug information ({debug_bytes / 1e6:.1f} MB, {view.units} units, {len(view.files)} files) "
          f"read and joined: {best:.3f} s")
    with tempfile.TemporaryDirectory() as work:
        bare = Path(work) / "firmware"
        shutil.copytree(folder, bare, ignore=shutil.ignore_patterns("*.c", "*.o", "*.a", "*.su", "*.ci"))
        subprocess.run(["arm-none-eabi-strip", "--strip-debug", str(bare / "firmware.elf")], check=True)
        runs = {"with -g": ["analyze", str(folder / "firmware.map")],
                "debug information stripped": ["analyze", str(bare / "firmware.map")]}
        times = {name: [] for name in runs}
        peaks = {name: 0.0 for name in runs}
        for _ in range(5):
            for name, arguments in runs.items():
                seconds, peak = run(arguments)
                times[name].append(seconds)
                peaks[name] = max(peaks[name], peak)
    for name in runs:
        print(f"text report, {name}: {statistics.median(times[name]):.3f} s, peak {peaks[name]:.0f} MB")


if __name__ == "__main__":
    main()
