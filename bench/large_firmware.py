"""Builds a large firmware with the Arm cross toolchain, for the speed benchmarks: 20,000
functions in 40 files of 500, each function with an initialised array and a static
zero-initialised one, the files in 8 archives, `main` calling every function, built with
`-O1 -ffunction-sections -fdata-sections` (and `-fstack-usage -fcallgraph-info=su`: its stack files) for a
part with 16 MB of flash and 2 MB of RAM.
Writes bench/out/large/firmware.{map,elf}; rebuilds only when they are missing. `build(grown=N)`
makes the same firmware with N tables and N statics doubled (2N real changes), in
bench/out/large-grown-N, for the comparison benchmarks.

Run: python bench/large_firmware.py [--force]
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

OUT = Path(__file__).resolve().parent / "out" / "large"
FILES, PER_FILE, ARCHIVES = 40, 500, 8
FLAGS = ["-mcpu=cortex-m4", "-mthumb", "-O1", "-g0", "-ffunction-sections", "-fdata-sections"]
# the compiler's stack files beside each object, for the stack check
STACK_FLAGS = ["-fstack-usage", "-fcallgraph-info=su"]
SCRIPT = """
MEMORY
{
  FLASH (rx)  : ORIGIN = 0x08000000, LENGTH = 16M
  RAM   (xrw) : ORIGIN = 0x20000000, LENGTH = 2M
}
ENTRY(main)
SECTIONS
{
  .text : { *(.text .text.*) } > FLASH
  .rodata : { . = ALIGN(4); *(.rodata .rodata.*) } > FLASH
  .data : { . = ALIGN(4); *(.data .data.*) . = ALIGN(4); } > RAM AT> FLASH
  .bss (NOLOAD) : { . = ALIGN(4); *(.bss .bss.*) *(COMMON) . = ALIGN(4); } > RAM
}
"""


def source(file: int, grown: int = 0) -> str:
    """The file's functions; of the first `grown` of the build, each table and static doubled
    (spread over the files: every (20,000 // grown)th function)."""
    lines = ["#include <stdint.h>"]
    every = FILES * PER_FILE // grown if grown else 0
    for index in range(PER_FILE):
        n = file * PER_FILE + index
        double = 2 if every and n % every == 0 and n // every < grown else 1
        lines += [
            f"int32_t table_{n}[{4 * double}] = {{{n}, {n + 1}, {n + 2}, {n + 3}}};",
            f"static int32_t scratch_{n}[{8 * double}];",
            f"int32_t function_{n}(int32_t x) {{ scratch_{n}[x & 7] += x; "
            f"return table_{n}[x & 3] + scratch_{n}[(x + 1) & 7]; }}",
        ]
    return "\n".join(lines) + "\n"


def main_source() -> str:
    count = FILES * PER_FILE
    lines = ["#include <stdint.h>"]
    lines += [f"int32_t function_{n}(int32_t x);" for n in range(count)]
    lines.append("int main(void) {\n  volatile int32_t sum = 0;")
    lines += [f"  sum += function_{n}(sum);" for n in range(count)]
    lines.append("  return sum;\n}")
    return "\n".join(lines) + "\n"


def build(force: bool = False, grown: int = 0, debug: bool = False) -> Path:
    """The folder holding firmware.map and firmware.elf; `debug`: built with -g (in
    bench/out/large-g), for the source view."""
    out = OUT if not grown else OUT.with_name(f"large-grown-{grown}")
    out = out.with_name(out.name + "-g") if debug else out
    if not force and all((out / name).exists() for name in ("firmware.map", "firmware.elf", "main.ci")):
        return out
    return _build(out, grown, ["-g"] if debug else ["-g0"])


def _build(out: Path, grown: int, debug: list) -> Path:
    out.mkdir(parents=True, exist_ok=True)
    (out / "firmware.ld").write_text(SCRIPT)
    (out / "main.c").write_text(main_source())
    compiles = []
    for file in range(FILES):
        path = out / f"module{file}.c"
        path.write_text(source(file, grown))
        compiles.append(subprocess.Popen(["arm-none-eabi-gcc", *FLAGS, *STACK_FLAGS, *debug, "-c", path.name, "-o",
                                          f"module{file}.o"], cwd=out))
        if len(compiles) >= os.cpu_count():
            compiles.pop(0).wait()
    for process in compiles:
        process.wait()
    subprocess.run(["arm-none-eabi-gcc", *FLAGS, *STACK_FLAGS, *debug, "-c", "main.c", "-o", "main.o"], check=True,
                   cwd=out)
    per_archive = FILES // ARCHIVES
    archives = []
    for archive in range(ARCHIVES):
        (out / f"libpart{archive}.a").unlink(missing_ok=True)
        members = [f"module{f}.o" for f in range(archive * per_archive, (archive + 1) * per_archive)]
        subprocess.run(["arm-none-eabi-ar", "rcs", f"libpart{archive}.a", *members], check=True, cwd=out)
        archives.append(f"-lpart{archive}")
    subprocess.run(["arm-none-eabi-gcc", *FLAGS, "-nostartfiles", "-nostdlib", "-T", "firmware.ld",
                    "-Wl,-Map=firmware.map", "-Wl,--gc-sections", "main.o", "-L.", "-Wl,--start-group",
                    *archives, "-Wl,--end-group", "-o", "firmware.elf"], check=True, cwd=out)
    return out


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--force", action="store_true")
    folder = build(parser.parse_args().force)
    for name in ("firmware.map", "firmware.elf"):
        print(f"{folder / name}: {(folder / name).stat().st_size / 1e6:.1f} MB")
    sys.exit(0)
