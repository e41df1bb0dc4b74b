"""`tarnwick system` against the analyses it is made of: a system of four images of the large
build (bench/large_firmware.py: 20,000 functions, a 7 MB map), each the same objects linked for a
partition and a RAM of its own (four cores of a made-up part), timed from process start to exit
beside four `tarnwick analyze` runs of the same four maps in the same run. The system must cost
no more than the four analyses plus 10 %.

Run: python bench/bench_system.py [--rounds 3]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
from pathlib import Path

from bench_end_to_end import run
from large_firmware import FLAGS, SCRIPT, build

OUT = Path(__file__).resolve().parent / "out" / "system"
IMAGES = 4
PARTITION, RAM = 0x400000, 0x200000
FORMATS = ("text", "json")


def link_images(large: Path) -> list:
    """The large build's objects linked four times, image N at its own flash and RAM; their maps
    (which name the objects by their full paths, so that their stack files are found)."""
    OUT.mkdir(parents=True, exist_ok=True)
    maps = []
    for index in range(IMAGES):
        name = OUT / f"image{index}"
        maps.append(name.with_suffix(".map"))
        if maps[-1].exists() and name.with_suffix(".elf").exists():
            continue
        script = SCRIPT.replace("ORIGIN = 0x08000000, LENGTH = 16M",
                                f"ORIGIN = {0x08000000 + index * PARTITION:#x}, LENGTH = {PARTITION:#x}")
        script = script.replace("ORIGIN = 0x20000000, LENGTH = 2M", f"ORIGIN = {0x20000000 + index * RAM:#x}, "
                                f"LENGTH = {RAM:#x}")
        name.with_suffix(".ld").write_text(script)
        archives = sorted(f"-l{path.stem[3:]}" for path in large.glob("libpart*.a"))
        subprocess.run(["arm-none-eabi-gcc", *FLAGS, "-nostartfiles", "-nostdlib", "-T", str(name.with_suffix(".ld")),
                        f"-Wl,-Map={maps[-1]}", "-Wl,--gc-sections", str(large / "main.o"), f"-L{large}",
                        "-Wl,--start-group", *archives, "-Wl,--end-group", "-o", str(name.with_suffix(".elf"))],
                       check=True, cwd=OUT)
    return maps


def system_config(maps: list) -> Path:
    lines = ["[system]", "partitions = ["]
    lines += [f'  {{ name = "part{i}", start = {0x08000000 + i * PARTITION:#x}, size = {PARTITION:#x} }},'
              for i in range(IMAGES)]
    lines.append("]")
    for index, path in enumerate(maps):
        lines += ["[[system.images]]", f'name = "image{index}"', 'role = "per-core"', f'core = "core{index}"',
                  f'map = "{path.name}"', f'partition = "part{index}"']
    config = OUT / "tarnwick.toml"
    config.write_text("\n".join(lines) + "\n")
    return config


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    rounds = parser.parse_args().rounds
    maps = link_images(build())
    config = system_config(maps)
    sink = str(OUT / "report.out")
    tarnwick = [sys.executable, "-m", "tarnwick"]
    print(f"{IMAGES} images of {maps[0].stat().st_size / 1e6:.1f} MB maps; {rounds} rounds, each timing the four "
          "analyses and the system one after the other (this machine's speed varies from one moment to the next)")
    print(f"{'format':>7}  {'4 analyses s':>12}  {'system s':>9}  {'ratio':>6}  {'peak MB analyze':>15}  "
          f"{'peak MB system':>14}")
    worst = 0.0
    for kind in FORMATS:
        ratios, separate, together, peaks = [], [], [], []
        for _ in range(rounds):
            analyses = [run([*tarnwick, "analyze", str(path), "--format", kind, "--output", sink], sink)
                        for path in maps]
            system = run([*tarnwick, "system", str(config), "--format", kind, "--output", sink], sink)
            separate.append(sum(seconds for seconds, _ in analyses))
            together.append(system[0])
            ratios.append(system[0] / separate[-1])
            peaks.append((max(peak for _, peak in analyses), system[1]))
        ratio = statistics.median(ratios)
        worst = max(worst, ratio)
        print(f"{kind:>7}  {statistics.median(separate):12.3f}  {statistics.median(together):9.3f}  {ratio:6.2f}  "
              f"{max(p[0] for p in peaks):15.0f}  {max(p[1] for p in peaks):14.0f}")
    print(f"worst median ratio {worst:.2f} (at most 1.10: {'met' if worst <= 1.10 else 'NOT met'})")


if __name__ == "__main__":
    main()
