"""What a run reads is never lost to what it writes, and a build compared with itself read another
way shows no change: every file opened is an input `--output` refuses, and a C++ or Rust symbol is
one symbol whether the map spells it demangled or the ELF mangled."""

from __future__ import annotations

import json
import shutil
from pathlib import Path

import pytest

from firmware_builds import build_with_script
from tarnwick.api import diff
from tarnwick.app.cli import main

HERE = Path(__file__).resolve().parent
CONFORMANCE = HERE / "conformance" / "maps"


@pytest.fixture(scope="module")
def stack_build(tmp_path_factory):
    return build_with_script(HERE / "stack_firmware" / "build.sh", tmp_path_factory.mktemp("stack")) / "build"


def worst_case(capsys, build: Path) -> int:
    assert main(["analyze", str(build / "roomy.map"), "--stack-usage", str(build), "--format", "json"]) in (0, 1)
    return json.loads(capsys.readouterr()[0])["stack"]["worst_case"]


@pytest.mark.parametrize("victim", ["app.ci", "proto.ci", "startup.ci"])
@pytest.mark.parametrize("command", ["analyze", "diff"])
def test_an_output_naming_a_stack_file_the_run_reads_is_refused(stack_build, tmp_path, capsys, victim, command):
    build = tmp_path / "build"
    shutil.copytree(stack_build, build)
    before = worst_case(capsys, build)
    target = build / victim
    kept = target.read_bytes()
    sides = [str(build / "roomy.map")] * (2 if command == "diff" else 1)
    code = main([command, *sides, "--stack-usage", str(build), "--format", "json", "--output", str(target)])
    err = capsys.readouterr()[1]
    assert code == 2 and "which this run reads: refusing to overwrite an input" in err and err.count("\n") == 1
    assert target.read_bytes() == kept and worst_case(capsys, build) == before


def _links_with_cxx_and_rust() -> list:
    return sorted(path for path in CONFORMANCE.glob("*.map")
                  if path.with_suffix(".nm.txt").exists() and " _Z" in path.with_suffix(".nm.txt").read_text()
                  and path.with_suffix(".elf").exists())


@pytest.mark.parametrize("link", _links_with_cxx_and_rust(), ids=lambda p: p.stem)
def test_a_build_read_from_its_map_alone_and_with_its_elf_has_the_same_symbols(tmp_path, link):
    alone = tmp_path / link.name  # the same map, its ELF not beside it
    alone.write_bytes(link.read_bytes())
    mangled = {line.split()[-1] for line in link.with_suffix(".nm.txt").read_text().splitlines()
               if line.split() and line.split()[-1].startswith(("_Z", "_R"))}
    assert mangled
    for old, new in ((alone, link), (link, alone)):
        changes = diff(old, new).comparison.symbols
        assert [(c.name, c.kind) for c in changes if c.kind in ("added", "removed")
                and (c.name in mangled or "::" in c.name)] == []
