"""The ELF front end on the large firmware (bench/large_firmware.py): reading the ELF, the model,
the finished report, and the whole command, beside the map reader on the map of the same link
and beside a plain-Python scan of the same symbol table (the native scan's reason to exist).

Run: python bench/bench_elf.py
"""

from __future__ import annotations

import struct
import subprocess
import sys
import time

from large_firmware import build

from tarnwick.analysis.summary import build_analysis_report
from tarnwick.config import TarnwickConfig
from tarnwick.toolchains import load_map
from tarnwick.toolchains.elf.elf_file import SHT_SYMTAB, read_elf


def best(function, rounds: int = 3) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def python_scan(path: str) -> int:
    """The symbol table read with struct in plain Python, names decoded: the alternative."""
    elf = read_elf(path)
    table = next(s for s in elf.sections if s.type == SHT_SYMTAB)
    strings = elf.sections[table.link]
    with open(path, "rb") as handle:
        data = handle.read()
    names = data[strings.offset:strings.offset + strings.size]
    allocated = {s.index for s in elf.sections if s.allocated}
    kept = 0
    for name, value, size, info, _other, section in struct.iter_unpack("<IIIBBH", data[table.offset:table.offset + table.size]):
        if section in allocated and info & 0xF in (1, 2) and names[name] != 36:
            names[name:names.index(b"\0", name)].decode("utf-8", "replace")
            kept += 1
    return kept


def main() -> None:
    folder = build()
    elf_path, map_path = str(folder / "firmware.elf"), str(folder / "firmware.map")
    config = TarnwickConfig()
    count = len(read_elf(elf_path).symbols)
    read = best(lambda: read_elf(elf_path))
    scan = best(lambda: python_scan(elf_path))
    model = best(lambda: load_map(elf_path))
    report = best(lambda: build_analysis_report(load_map(elf_path), config))
    map_model = best(lambda: load_map(map_path, elf=None))
    command = best(lambda: subprocess.run([sys.executable, "-m", "tarnwick", "analyze", elf_path],
                                          stdout=subprocess.DEVNULL, check=False))
    print(f"ELF {elf_path}: {count:,} symbols")
    print(f"  read (headers, native symbol scan): {read:.3f} s, {count / read:,.0f} symbols/s")
    print(f"  plain-Python scan of the same table: {scan:.3f} s ({scan / read:.1f}x the native read)")
    print(f"  model: {model:.3f} s; model and finished report: {report:.3f} s")
    print(f"  `tarnwick analyze firmware.elf` (interpreter start included): {command:.3f} s")
    print(f"map of the same link, read alone: {map_model:.3f} s ({map_model / model:.1f}x the ELF model)")


if __name__ == "__main__":
    main()
