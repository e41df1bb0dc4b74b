"""PlatformIO extra script: checks the memory footprint after every link, failing the build on
a failed policy (an overflow, a reserved range, a region above its budget with
--fail-on-budget) or bad input. In platformio.ini:

    [env:board]
    extra_scripts = post:integrations/platformio/tarnwick_footprint.py
    custom_tarnwick_config = tarnwick.toml          ; optional: else the one tarnwick finds
    custom_tarnwick_args = --fail-on-budget --top 5  ; optional: more options of `tarnwick analyze`

The linker is asked to write the map beside the program (BUILD_DIR/PROGNAME.map)."""

import os
import shlex
import shutil
import subprocess

Import("env")  # noqa: F821 - SCons puts Import in the script's namespace

_ENV = env  # noqa: F821


def _option(name: str) -> str:
    return _ENV.GetProjectOption(name, "") if hasattr(_ENV, "GetProjectOption") else ""


_MAP = os.path.join(_ENV.subst("$BUILD_DIR"), _ENV.subst("${PROGNAME}.map"))
_ENV.Append(LINKFLAGS=[f"-Wl,-Map={_MAP}"])


def tarnwick_footprint(target, source, env):
    """Runs tarnwick on the linked program; its exit status is the action's (non-zero fails the build)."""
    tarnwick = shutil.which("tarnwick")
    if tarnwick is None:
        print("tarnwick: not installed (pip install it into PlatformIO's Python, or put it on the PATH)")
        return 2
    command = [tarnwick, "analyze", _MAP, "--elf", str(target[0])]
    config = _option("custom_tarnwick_config")
    if config:
        command += ["--config", os.path.join(env.subst("$PROJECT_DIR"), config)]
    command += shlex.split(_option("custom_tarnwick_args"))
    return subprocess.call(command, cwd=env.subst("$PROJECT_DIR"))


_ENV.AddPostAction(_ENV.subst("$BUILD_DIR/${PROGNAME}${PROGSUFFIX}"), tarnwick_footprint)
