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
