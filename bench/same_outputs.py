"""Every output of two builds of tarnwick compared byte for byte, with its exit code and messages: each map and ELF file of the
examples, the tests and ../shared, in every format, alone and with its ELF, and `diff`s of
pairs of builds; with --bench, the benchmarks' builds and the stack tests' firmware too (with
its stack files named, and with a configuration of frames, calls, recursion bounds and
threads). The report's timestamp is fixed, so only what the change did can differ.

Make the two builds first (see bench_compare.py), then:
    python bench/same_outputs.py /tmp/before-build /tmp/after-build [--keep FOLDER]
Exit status 1 and the differing runs listed when any output differs.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
FORMATS = ("text", "json", "markdown", "html")
HOST_FORMATS = ("sarif", "junit", "gitlab-codequality", "gitlab-metrics")  # with --hosts (trees that write them)

# Runs the command in a tree with the report's clock fixed: the report module looks `datetime`
# up in its own namespace on every call, so a stand-in there fixes every timestamp.
DRIVER = """
import datetime, io, json, sys
import tarnwick.analysis.summary as summary

class Fixed(datetime.datetime):
    @classmethod
    def now(cls, tz=None):
        return cls(2026, 1, 2, 3, 4, 5, tzinfo=tz)

summary.datetime = Fixed
from tarnwick.%s import main
runs = json.loads(sys.stdin.read())  # the plan outgrows an argument list
results = []
for arguments in runs:
    sys.stderr = io.StringIO()
    code = main(arguments)
    results.append((code, sys.stderr.getvalue()))
sys.stderr = sys.__stderr__
print(json.dumps(results), file=sys.stderr)
"""


def inputs() -> list:
    found = sorted({*ROOT.glob("examples/**/*.map"), *ROOT.glob("examples/**/*.elf"),
                    *ROOT.glob("tests/**/*.map"), *ROOT.glob("tests/conformance/maps/*.elf"),
                    *SHARED.glob("realmaps/*.map"), *SHARED.glob("vendormaps/*.map")})
    return [path for path in found if "corpus" not in path.parts]


def bench_inputs() -> list:
    """The benchmarks' builds (bench/out, made by their scripts), where they are there."""
    out = ROOT / "bench" / "out"
    return [path for path in (out / "large" / "firmware.map", out / "large-no-stack-files" / "firmware.map",
                              out / "large-no-stack-files" / "firmware.elf", out / "large-g" / "firmware.map",
                              out / "large-grown-21" / "firmware.map", out / "eight.map") if path.exists()]


STACK_CONFIG = """[stack]
threads = ["worker_thread"]
calls = { worker_thread = ["tick_update", "scratch"] }
recursion = { walk_tree = 9 }
frames = { lib_checksum = 100, nowhere = 12 }
"""


def stack_firmware() -> list:
    """The stack tests' firmware (tests/stack_firmware: its recursion, calls through pointers,
    threads, archives laid out as make and CMake lay them out, Clang's .su files, newlib's
    functions from the machine code), built once into bench/out where the Arm toolchain is: its
    maps, and a configuration bounding what only the user knows."""
    import shutil

    out = ROOT / "bench" / "out" / "stack-firmware"
    firmware = ROOT / "tests" / "stack_firmware"
    if not (out / "tarnwick.toml").exists():
        if shutil.which("arm-none-eabi-gcc") is None:
            return []
        for script, into in ((firmware / "build.sh", out / "stack"), (firmware / "more" / "build.sh", out / "more")):
            subprocess.run(["bash", str(script), str(into)], check=True, capture_output=True)
        (out / "tarnwick.toml").write_text(STACK_CONFIG)
    return sorted(out.rglob("*.map"))


def runs(folder: str, bench: bool = False, formats: tuple = FORMATS) -> list:
    """(name, arguments) of every run: each input in every format of `formats`, with and
    without its ELF; with `bench`, the benchmarks' builds too, and diffs of them against a
    stored report."""
    planned = []
    for path in inputs() + (bench_inputs() if bench else []):
        for kind in formats:
            for elf in ((), ("--no-elf",)) if path.suffix == ".map" else ((),):
                name = f"{path.relative_to(ROOT.parent)} {kind} {' '.join(elf)}".strip()
                planned.append((name, ["analyze", str(path), "--format", kind, *elf]))
    maps = ROOT / "examples" / "firmware" / "maps"
    pairs = [(maps / "gnu_ld.map", maps / "gnu_ld_ram_overflow.map"), (maps / "gnu_ld.map", maps / "llvm_lld.map")]
    baseline = ROOT / "examples" / "firmware" / "baseline.json"
    for old, new in pairs + [(baseline, maps / "gnu_ld.map"), (maps / "gnu_ld.map", baseline)]:
        for kind in formats:
            planned.append((f"diff {old.name} {new.name} {kind}", ["diff", str(old), str(new), "--format", kind]))
    large, grown = ROOT / "bench" / "out" / "large" / "firmware.map", ROOT / "bench" / "out" / "large-grown-21" / "firmware.map"
    if bench and large.exists() and grown.exists():
        stored = os.path.join(folder, "stored.json")  # written by the first run, in each tree
        planned.append(("analyze large firmware.map json (the stored report)", ["analyze", str(large), "--format", "json",
                                                                              "--output", stored]))
        for kind in formats:
            planned.append((f"diff stored.json large-grown-21 {kind}", ["diff", stored, str(grown), "--format", kind]))
            planned.append((f"diff large large-grown-21 {kind}", ["diff", str(large), str(grown), "--format", kind]))
            planned.append((f"analyze large-grown-21 --baseline stored.json {kind}",
                            ["analyze", str(grown), "--baseline", stored, "--format", kind]))
    stack_config = ROOT / "bench" / "out" / "stack-firmware" / "tarnwick.toml"
    for path in stack_firmware() if bench else ():
        for kind in formats:
            for extra in (("--stack-usage", str(path.parent)), ("--config", str(stack_config)),
                          ("--no-elf", "--config", str(stack_config))):
                planned.append((f"{path.relative_to(ROOT.parent)} {kind} {' '.join(extra)}",
                                ["analyze", str(path), "--format", kind, *extra]))
    config = ROOT / "examples" / "firmware" / "tarnwick.toml"
    for kind in formats:
        planned.append((f"analyze gnu_ld.map --baseline {kind}",
                        ["analyze", str(maps / "gnu_ld.map"), "--baseline", str(baseline), "--format", kind]))
        planned.append((f"analyze gnu_ld_ram_overflow.map --config {kind}",
                        ["analyze", str(maps / "gnu_ld_ram_overflow.map"), "--config", str(config), "--format", kind]))
    return [(name, arguments if "--output" in arguments else [*arguments, "--output", os.path.join(folder, f"{index}.out")])
            for index, (name, arguments) in enumerate(planned)]


def outputs(tree: str, module: str, planned: list, folder: str) -> list:
    """(exit code, digest of the output) of every run, in one process of the tree."""
    environment = dict(os.environ, PYTHONPATH=tree)
    done = subprocess.run([sys.executable, "-S", "-c", DRIVER % module], input=json.dumps([a for _, a in planned]),
                          env=environment, capture_output=True, text=True, cwd=folder)
    said = json.loads(done.stderr.strip().splitlines()[-1])
    results = []
    for (_, arguments), (code, errors) in zip(planned, said):
        out = Path(arguments[-1])
        data = out.read_bytes() if out.exists() else b""
        results.append((code, hashlib.sha256(data).hexdigest() if out.exists() else None, data, errors))
        if out.exists():
            out.unlink()
    return results


def command_module(tree: str) -> str:
    """Where the command's `main` is in a tree: app/cli.py since the layers were folders, cli.py before."""
    return "app.cli" if (Path(tree) / "tarnwick" / "app" / "cli.py").exists() else "cli"


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--before-module", help="where `main` is in the earlier build (default: found in the tree)")
    parser.add_argument("--after-module", help="where `main` is in the later build (default: found in the tree)")
    parser.add_argument("--keep", help="a folder to write the differing outputs into")
    parser.add_argument("--bench", action="store_true", help="also the benchmarks' builds in bench/out")
    parser.add_argument("--hosts", action="store_true", help="also the CI hosts' formats (both trees must write them)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        planned = runs(folder, args.bench, FORMATS + (HOST_FORMATS if args.hosts else ()))
        before = outputs(args.before, args.before_module or command_module(args.before), planned, folder)
        after = outputs(args.after, args.after_module or command_module(args.after), planned, folder)
    differing = [(name, old, new) for (name, _), old, new in zip(planned, before, after)
                 if (old[0], old[1], old[3]) != (new[0], new[1], new[3])]
    for name, old, new in differing:
        print(f"differs: {name} (exit {old[0]} -> {new[0]})")
        if args.keep:
            stem = Path(args.keep) / name.replace("/", "_").replace(" ", "_")
            stem.parent.mkdir(parents=True, exist_ok=True)
            for side, (_, _, data, errors) in (("before", old), ("after", new)):
                Path(f"{stem}.{side}").write_bytes(data)
                Path(f"{stem}.{side}-stderr").write_text(errors)
    refused = sum(1 for code, *_ in after if code not in (0, 1))
    print(f"{len(planned) - len(differing)} of {len(planned)} runs give the same exit code, bytes and messages "
          f"({refused} of them refuse their input in the later build)")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
