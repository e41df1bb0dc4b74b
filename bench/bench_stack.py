"""The stack check of the 20,000-function build (bench/large_firmware.py), beside the time to
read its map in the same run, best of five:

- with its stack files: its .su and .ci files read and the whole program's call graph solved;
- the same with its ELF file joined, as `tarnwick analyze` joins the one beside the map (the
  machine code is then read for what the stack files do not describe: nothing here);
- with none (the map and the ELF alone, in a folder of their own): every function's frame and
  calls read from its machine code, then the same solve;
- a build without stack files whose stack nobody asked for: what the stack check costs then
  (looking for stack files beside the objects, and giving up).

Run: python bench/bench_stack.py
"""

from __future__ import annotations

import shutil
import time

from large_firmware import build

from tarnwick.analysis.stack_depth import analyse_stack
from tarnwick.config import StackConfig
from tarnwick.toolchains import load_map


def best(function, rounds: int = 5):
    """(the least processor time of `rounds` runs, the result): processor time, as the machine
    this runs on may run other work besides (the wall-clock time of a quiet machine is close to it)."""
    fastest, result = float("inf"), None
    for _ in range(rounds):
        start = time.process_time()
        result = function()
        fastest = min(fastest, time.process_time() - start)
    return fastest, result


def main() -> None:
    folder = build()
    bare = folder.with_name(folder.name + "-no-stack-files")
    bare.mkdir(exist_ok=True)
    for name in ("firmware.map", "firmware.elf"):
        shutil.copy2(folder / name, bare / name)
    map_seconds, model = best(lambda: load_map(folder / "firmware.map", None))
    stack_seconds, stack = best(lambda: analyse_stack(model, StackConfig(), [str(folder)]))
    calls = sum(len(f.callees) for f in stack.functions)
    print(f"map read: {map_seconds:.3f} s ({len(model.symbols):,} symbols)")
    print(f"stack files read and solved: {stack_seconds:.3f} s = {stack_seconds / map_seconds:.2f}x the map "
          f"({stack.units} units, {len(stack.functions):,} functions, {calls:,} calls); {stack.verdict}: {stack.detail}")
    joined = load_map(folder / "firmware.map", None, elf=folder / "firmware.elf")
    joined_seconds, with_elf = best(lambda: analyse_stack(joined, StackConfig(), [str(folder)]))
    print(f"stack files read and solved, the ELF joined: {joined_seconds:.3f} s = {joined_seconds / map_seconds:.2f}x "
          f"the map (frames from {with_elf.sources})")
    bare_model = load_map(bare / "firmware.map", None, elf=bare / "firmware.elf")
    asked = StackConfig(size=1 << 16)
    code_seconds, from_code = best(lambda: analyse_stack(bare_model, asked))
    sources = from_code.sources
    print(f"machine code read and solved: {code_seconds:.3f} s = {code_seconds / map_seconds:.2f}x the map "
          f"({len(from_code.functions):,} functions, frames from {sources}); {from_code.verdict}: {from_code.detail}")
    none_seconds, nothing = best(lambda: analyse_stack(bare_model, StackConfig()))
    assert nothing is None
    print(f"no stack files, none asked for: {none_seconds * 1000:.1f} ms = {none_seconds / map_seconds:.3f}x the map")


if __name__ == "__main__":
    main()
