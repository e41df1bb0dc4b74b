"""The wheels .ci/run builds (`python -m pip wheel .` per CPython, repaired by auditwheel): each
installs into a fresh virtual environment of its own CPython with no compiler on the PATH and no
package index, and runs the example firmware's analysis. Runs when TARNWICK_WHEELS names the
folder of the repaired wheels."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
FOLDER = os.environ.get("TARNWICK_WHEELS")
WHEELS = sorted(Path(FOLDER).glob("tarnwick-*.whl")) if FOLDER else []
pytestmark = pytest.mark.skipif(not FOLDER, reason="TARNWICK_WHEELS names no folder of wheels (.ci/run builds them)")


def interpreter(version: str) -> str:
    """CPython `version` ("3.12"): on the PATH, else as pyenv installed it (a pyenv shim on the
    PATH may name a version that is not selected, and then does not run)."""
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    candidates = [shutil.which(f"python{version}")] + sorted(map(str, root.glob(f"versions/{version}.*/bin/python{version}")),
                                                           reverse=True)
    for candidate in candidates:
        if candidate and subprocess.run([candidate, "-c", "pass"], capture_output=True).returncode == 0:
            return candidate
    pytest.fail(f"CPython {version} is not on this machine")


def test_every_supported_python_has_its_wheel():
    tags = sorted(re.search(r"-cp(\d+)-", wheel.name).group(1) for wheel in WHEELS)
    assert tags == ["311", "312", "313"]
    assert all(re.search(r"-manylinux_\d+_\d+_x86_64\.whl$", wheel.name) for wheel in WHEELS), WHEELS


@pytest.mark.parametrize("wheel", WHEELS, ids=lambda wheel: wheel.name.split("-")[2])
def test_a_wheel_installs_and_runs_without_a_compiler(tmp_path, wheel):
    tag = re.search(r"-cp(\d)(\d+)-", wheel.name)
    python = interpreter(f"{tag.group(1)}.{tag.group(2)}")
    venv = tmp_path / "venv"
    subprocess.run([python, "-m", "venv", str(venv)], check=True, timeout=120)
    bin_folder = venv / "bin"
    environment = {"PATH": str(bin_folder), "HOME": str(tmp_path), "LANG": "C.UTF-8",
                   "PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1"}
    for compiler in ("gcc", "g++", "cc", "c++", "clang", "cmake", "ninja"):
        assert shutil.which(compiler, path=environment["PATH"]) is None, compiler
    install = subprocess.run([str(bin_folder / "python"), "-m", "pip", "install", "--quiet", str(wheel)],
                             env=environment, capture_output=True, text=True, timeout=300)
    assert install.returncode == 0, install.stderr
    where = subprocess.run([str(bin_folder / "python"), "-c", "import tarnwick.analysis.summary as s, "
                            "tarnwick._native as n; print(s.__file__); print(n.__file__)"],
                           env=environment, capture_output=True, text=True, cwd=tmp_path, timeout=60)
    assert all(line.startswith(str(venv)) for line in where.stdout.split()), where.stdout + where.stderr
    firmware = ROOT / "examples" / "firmware"
    result = subprocess.run([str(bin_folder / "tarnwick"), "analyze", str(firmware / "maps" / "gnu_ld_ram_overflow.map"),
                             "--config", str(firmware / "tarnwick.toml"), "--baseline", str(firmware / "baseline.json")],
                            env=environment, capture_output=True, text=True, cwd=tmp_path, timeout=120)
    assert result.returncode == 1, result.stderr  # the example's RAM overflows, which fails the policy
    assert "ERROR   overflow.RAM: Region RAM exceeds capacity by 7504 bytes." in result.stdout
    assert "frame_buffer (main.o)  (4,096 B -> 24,576 B)" in result.stdout
    assert result.stderr == "tarnwick: policy failed: fail_on_overflow (overflow.RAM)\n"
