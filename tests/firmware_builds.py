"""The example firmware built by a test, as a CI job builds it: in a folder of its own, linked
from a working folder that names the objects relative to it, with Debian's gcc-arm-none-eabi.
Tests that need it are skipped where the toolchain is missing; .ci/run installs it."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

FIRMWARE = Path(__file__).resolve().parent.parent / "examples" / "firmware"
CFLAGS = ["-mcpu=cortex-m4", "-mthumb", "-Os", "-ffunction-sections", "-fdata-sections", "-g0"]


def need_arm_gcc() -> str:
    gcc = shutil.which("arm-none-eabi-gcc")
    if gcc is None:
        pytest.skip("arm-none-eabi-gcc is not installed (apt-get install gcc-arm-none-eabi libnewlib-arm-none-eabi)")
    return gcc


def build(work: Path, folder: str, defines: dict = None, map_name: str = "firmware.map",
          elf_name: str = "firmware.elf", objects_first: tuple = ("main.o", "startup.o")) -> Path:
    """Builds the example into `work/folder`, linking from `work`, so the map names its files
    `folder/main.o` and its OUTPUT line `folder/ELF`. Returns the map's path."""
    gcc = need_arm_gcc()
    out = work / folder
    out.mkdir(parents=True, exist_ok=True)
    flags = CFLAGS + [f"-D{name}={value}" for name, value in (defines or {}).items()]

    def run(*args):
        subprocess.run(args, cwd=work, check=True, capture_output=True, timeout=120)

    for source, target in (("src/main.c", "main.o"), ("src/startup.c", "startup.o"),
                           ("lib/sensor.c", "sensor.o"), ("lib/filter.c", "filter.o")):
        run(gcc, *flags, "-c", str(FIRMWARE / source), "-o", f"{folder}/{target}")
    run("arm-none-eabi-ar", "rcs", f"{folder}/libsensor.a", f"{folder}/sensor.o", f"{folder}/filter.o")
    run(gcc, *CFLAGS, "-nostartfiles", "-T", str(FIRMWARE / "firmware.ld"), "-Wl,--gc-sections",
        f"-Wl,-Map={folder}/{map_name}", *(f"{folder}/{name}" for name in objects_first),
        f"{folder}/libsensor.a", "-o", f"{folder}/{elf_name}")
    return out / map_name


def nm_sizes(elf: Path) -> dict:
    """{name: size} of the ELF's sized symbols, as `nm -S` lists them."""
    listing = subprocess.run(["arm-none-eabi-nm", "-S", str(elf)], capture_output=True, text=True,
                             check=True).stdout
    sizes = {}
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) == 4:
            sizes[fields[3]] = int(fields[1], 16)
    return sizes


def build_with_script(script: Path, out: Path) -> Path:
    """Runs a test firmware's build script into `out` (skipped without the Arm toolchain, a
    failure on CI), outside the sanitizer runtime the suite may be preloaded with."""
    import os

    if shutil.which("arm-none-eabi-gcc") is None:
        if os.environ.get("CI"):
            pytest.fail("CI must install gcc-arm-none-eabi for the firmware tests", pytrace=False)
        pytest.skip("arm-none-eabi-gcc not installed")
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    subprocess.run(["bash", str(script), str(out)], check=True, capture_output=True, env=environment, timeout=300)
    return out
