"""The system tests' firmware (tests/system_firmware/build.sh), built once per session with the
Debian cross toolchain, more links of the application on demand, and imgtool as MCUboot's
users run it."""

from __future__ import annotations

import functools
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

from firmware_builds import build_with_script

FIRMWARE = Path(__file__).resolve().parent / "system_firmware"
M4 = ["-mcpu=cortex-m4", "-mthumb", "-Os", "-ffunction-sections", "-fdata-sections", "-g"]


@functools.lru_cache(maxsize=None)
def _built() -> Path:
    return build_with_script(FIRMWARE / "build.sh", Path(tempfile.mkdtemp(prefix="tarnwick-system-")))


def built() -> Path:
    """The folder build.sh wrote (skipped without the Arm toolchain, a failure on CI)."""
    return _built()


def image_end(elf: Path) -> int:
    """Where the image's stored bytes end: the linker's own `_image_end` (nm)."""
    listing = subprocess.run(["arm-none-eabi-nm", str(elf)], capture_output=True, text=True, check=True).stdout
    return next(int(fields[0], 16) for fields in map(str.split, listing.splitlines())
                if len(fields) == 3 and fields[2] == "_image_end")


def link_app(out: Path, name: str, pad: int, script: str = "app.ld") -> Path:
    """The application linked again with `pad` more bytes at the end of its load image; its map."""
    subprocess.run(["arm-none-eabi-gcc", *M4, "-nostartfiles", "-T", script, "-Wl,--gc-sections",
                    f"-Wl,--defsym=PAD_BYTES={pad}", f"-Wl,-Map={name}.map", "objects/startup-m4.o", "objects/app.o",
                    "-o", f"{name}.elf"], cwd=out, check=True, capture_output=True, timeout=120)
    return out / f"{name}.map"


def binary(elf: Path) -> Path:
    """objcopy -O binary: the bytes imgtool signs."""
    path = elf.with_suffix(".bin")
    subprocess.run(["arm-none-eabi-objcopy", "-O", "binary", str(elf), str(path)], check=True, timeout=60)
    return path


def need_imgtool():
    try:
        from imgtool.main import imgtool
    except ImportError:
        pytest.skip("imgtool is not installed (pip install '.[test]')")
    return imgtool


def imgtool_accepts(binary_path: Path, slot_size: int, max_sectors: int, align: int, *, header: int = 0x200,
                    overwrite_only: bool = False, key: Path = None, pad_header: bool = True) -> bool:
    """Whether `imgtool sign --pad --slot-size ... --max-sectors ...` signs the image (its own
    command, run in this process)."""
    import click

    imgtool = need_imgtool()
    signed = binary_path.with_name(binary_path.stem + "-signed.bin")
    arguments = ["sign", "--header-size", str(header), "--align", str(align), "--version", "1.0.0",
                 "--slot-size", str(slot_size), "--max-sectors", str(max_sectors), "--pad"]
    arguments += ["--pad-header"] if pad_header else []
    arguments += ["--overwrite-only"] if overwrite_only else []
    arguments += ["--key", str(key)] if key is not None else []
    try:
        imgtool.main([*arguments, str(binary_path), str(signed)], standalone_mode=False)
    except click.UsageError:
        return False
    assert signed.stat().st_size == slot_size  # --pad: the image, its TLVs and the trailer fill the slot
    return True


def imgtool_command() -> str:
    found = shutil.which("imgtool")
    if found is None:
        need_imgtool()
        pytest.skip("the imgtool command is not on the PATH")
    return found


MCUBOOT = """
[system.mcuboot]
mode = "swap-scratch"
"""
IMAGES = """
[[system.images]]
name = "mcuboot"
role = "bootloader"
map = "boot.map"
partition = "{boot}"

[[system.images]]
name = "app"
role = "application"
map = "{app}.map"
partition = "{slot}"
"""
# the same layout from each kind of partition file, as (partitions, boot, primary slot) of each
SOURCES = {
    "devicetree": ('partitions = "zephyr.dts"', "mcuboot", "slot0_partition"),
    "partition manager": ('partitions = "partitions.yml"\n[system.mcuboot]\nwrite_size = 4\nsector_size = 4096\n'
                          'mode = "swap-scratch"', "mcuboot", "mcuboot_primary"),
    "table": ('partitions = [\n {name = "boot", start = 0, size = "32K"},\n {name = "slot0", start = 0x8000, '
              'size = "64K"},\n {name = "slot1", start = 0x18000, size = "64K"},\n {name = "scratch", start = '
              '0x28000, size = "8K"},\n]\n[system.mcuboot]\nwrite_size = 4\nsector_size = 4096\nmode = '
              '"swap-scratch"\nsecondary = "slot1"', "boot", "slot0"),
}


def boot_app_config(out: Path, source: str, app: str = "app", extra: str = "", name: str = "") -> Path:
    """A configuration of build.sh's bootloader and application `app` in the layout of `source`
    (one of SOURCES; its partition file copied into `out`), `extra` appended; `name`: its file's
    stem (by default from the source and the application)."""
    partitions, boot, slot = SOURCES[source]
    secondary = ""
    if "secondary =" in partitions:
        partitions, secondary = partitions.split("\nsecondary = ")
        secondary = f"secondary = {secondary}\n"
    mcuboot = "" if "[system.mcuboot]" in partitions else MCUBOOT
    text = f"[system]\n{partitions}\n{mcuboot}" + IMAGES.format(boot=boot, app=app, slot=slot) + secondary + extra
    path = out / f"{name or 'boot-' + source.replace(' ', '-') + '-' + app}.toml"
    path.write_text(text)
    return path
