"""A run loads only what it uses: `--help` none of the readers, the passes or the renderers; a
map only the reader its head names; a map read alone no ELF, DWARF or source view; a build
without stack files no stack check; and the renderer asked for only; and no run the standard
modules that only its slower past needed. Each run is a fresh interpreter that prints the
modules it imported."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
MAPS = ROOT / "examples" / "firmware" / "maps"
READERS = {"armlink", "iar_ilink", "iar_xlink", "ti_linker", "sdcc", "xc8", "keil_c51", "cosmic", "renesas_rlink",
           "microchip_xc", "llvm_lld", "gnu_ld"}
RUN = """
import json, sys
from tarnwick.app.cli import main
code = main(json.loads(sys.argv[1]))
print(json.dumps([code, sorted(sys.modules)]), file=sys.stderr)
"""


def loaded(*arguments, cwd, host: dict = None) -> tuple:
    """`host`: the CI host's variables the run sees (none by default, whatever runs the tests)."""
    environment = {k: v for k, v in os.environ.items() if k not in ("GITHUB_ACTIONS", "TF_BUILD")} | (host or {})
    done = subprocess.run([sys.executable, "-c", RUN, json.dumps(list(arguments))], capture_output=True, text=True,
                          cwd=cwd, env=environment, check=False)
    code, modules = json.loads(done.stderr.strip().splitlines()[-1])
    return code, set(modules)


def readers_in(modules: set) -> set:
    return {m.rsplit(".", 1)[1] for m in modules if m.startswith("tarnwick.toolchains.maps.")} & READERS


@pytest.fixture(scope="module")
def bare(tmp_path_factory) -> Path:
    """The example's maps and ELF files in a folder of their own: no stack files beside them."""
    folder = tmp_path_factory.mktemp("bare")
    for path in MAPS.iterdir():
        (folder / path.name).write_bytes(path.read_bytes())
    return folder


@pytest.mark.parametrize("arguments", [("--help",), ("--version",), ("bogus",)])
def test_help_loads_no_reader_pass_or_renderer(bare, at_start, arguments):
    code, modules = loaded(*arguments, cwd=bare)
    assert code == (2 if arguments == ("bogus",) else 0)
    # nor the commands' own arguments, whose paths and annotations would load these
    assert not (modules - at_start) & {"pathlib", "typing"}
    assert not {m for m in modules if m.startswith(("tarnwick.toolchains", "tarnwick.analysis", "tarnwick.config"))}
    assert not {m for m in modules if m.startswith("tarnwick.render.") and m != "tarnwick.render.escape"}


@pytest.mark.parametrize("name, reader", [("gnu_ld.map", "gnu_ld"), ("llvm_lld.map", "llvm_lld")])
def test_a_map_loads_the_reader_its_head_names_only(bare, name, reader):
    code, modules = loaded("analyze", str(bare / name), "--no-elf", "--output", str(bare / "out.txt"), cwd=bare)
    assert code == 0
    assert readers_in(modules) == {reader}
    assert not {m for m in modules if m.startswith("tarnwick.toolchains.elf")}
    assert "tarnwick.analysis.sources" not in modules
    assert not {m for m in modules if "stack" in m.rsplit(".", 1)[-1] and m != "tarnwick.analysis.stack_units"}
    assert {m for m in modules if m.startswith("tarnwick.render.")} >= {"tarnwick.render.text"}
    assert "tarnwick.render.html" not in modules and "tarnwick.render.json_report" not in modules


def test_what_a_run_does_use_is_loaded(bare):
    """The checks above would pass for a run that did nothing: the same run with its ELF, as JSON,
    loads the ELF reader, the source view and the JSON renderer."""
    code, modules = loaded("analyze", str(bare / "gnu_ld.map"), "--format", "json", "--output", str(bare / "out.json"),
                           cwd=bare)
    assert code == 0
    assert {"tarnwick.toolchains.elf.elf_file", "tarnwick.analysis.sources", "tarnwick.render.json_report"} <= modules
    assert readers_in(modules) == {"gnu_ld"}


@pytest.mark.parametrize("host, told", [({}, False), ({"GITHUB_ACTIONS": "true"}, True), ({"TF_BUILD": "True"}, True)])
def test_the_host_findings_are_made_only_for_a_ci_host(bare, host, told):
    code, modules = loaded("analyze", str(bare / "gnu_ld.map"), "--no-elf", "--output", str(bare / "out.txt"),
                           cwd=bare, host=host)
    assert code == 0
    assert ("tarnwick.render.host_findings" in modules) is told


# what making records with `dataclass`, sizing help with `shutil` and annotations and tuples with
# `typing` cost every start
UNNEEDED_STANDARD_MODULES = {"dataclasses", "inspect", "shutil", "bz2", "lzma", "typing"}


@pytest.fixture(scope="module")
def at_start() -> set:
    """What the interpreter loads before any run (a site's .pth files may load some of those)."""
    done = subprocess.run([sys.executable, "-c", "import sys; print(' '.join(sys.modules), file=sys.stderr)"],
                          capture_output=True, text=True, check=True)
    return set(done.stderr.split())


@pytest.mark.parametrize("arguments", [("--help",), ("analyze", "gnu_ld.map", "--format", "json"),
                                       ("analyze", "gnu_ld.map", "--no-elf", "--format", "markdown"),
                                       ("analyze", "gnu_ld.map", "--format", "html"),
                                       ("analyze", "llvm_lld.map", "--no-elf"),
                                       ("diff", "gnu_ld.map", "llvm_lld.map")])
def test_a_run_loads_no_standard_module_it_does_not_use(bare, at_start, arguments):
    arguments = [str(bare / a) if a.endswith(".map") else a for a in arguments]
    code, modules = loaded(*arguments, "--output", str(bare / "out"), cwd=bare) if arguments[0] != "--help" \
        else loaded(*arguments, cwd=bare)
    assert code in (0, 1)
    assert not (modules - at_start) & UNNEEDED_STANDARD_MODULES
