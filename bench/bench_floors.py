"""Every run against the floor it cannot go below, and against an earlier build, in the same run:
CPU time (user + system, from wait4) and peak memory of each command in a child process, the
commands of one case run by turns (this machine's speed drifts; by turns, all see the same
drift), medians of the rounds.

The cases and their floors:
- the 7.2 MB map of the 20,000-function build (bench/large_firmware.py; its map and ELF in a
  folder without its stack files), each format, alone and with its ELF: the same interpreter reading the map's lines and splitting each;
- its ELF alone: `nm -S --size-sort`;
- the example's 6.5 KB map and `--help`: `python -c pass`;
- the 113 MB map (bench_end_to_end.huge_map) and an 8 MB one of the same maker: reading their lines;
  beside them, the memory their model alone takes, read and held;
- the -g build (the source view) against the same build with its debug information stripped;
- the build with its stack files against the same map and ELF alone in a folder of their own;
- `diff` of a stored JSON report and a map against `diff` of the two maps, each with its ELF (the
  builds' maps and ELFs without their stack files); and `analyze` with that report as its
  `--baseline` against `analyze` alone.

Each tree is an install made with --target (see bench_compare.py); every command of a tree runs as
`python -S -m tarnwick` with PYTHONPATH=tree, and the floors run in the same interpreter with -S.
Run: python bench/bench_floors.py BEFORE_TREE AFTER_TREE [--rounds 7] [--only large,elf,...]
"""

from __future__ import annotations

import argparse
import atexit
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

from bench_end_to_end import FORMATS, huge_map
from large_firmware import build
from synth_map import gnu_ld_map

ROOT = Path(__file__).resolve().parents[1]
OUT = Path(__file__).resolve().parent / "out"
EXAMPLE = ROOT / "examples" / "firmware" / "maps" / "gnu_ld.map"
SPLIT_LINES = "import sys\nfor line in open(sys.argv[1], 'rb'): line.split()"
# what the command cannot start without: its argument parser, paths, patterns, annotations, and
# the report module's JSON and timestamps
STANDARD_MODULES = "import argparse, datetime, json, pathlib, re, typing"
# what the report module's own import table names from the standard library: no analysis can
# start below this
REPORT_MODULE_IMPORTS = "import json, datetime, pathlib"
# The model of a map as the readers hand it on, held and nothing else: the bytes its records add
# to the interpreter's allocator (its own tally, before and after the read) and the process's
# resident memory then, the least any run that holds the model can peak at.
MODEL_HELD = """import sys
from tarnwick.toolchains.loader import load_map
import tarnwick.toolchains.maps.gnu_ld
sys._debugmallocstats()
model = load_map(sys.argv[1], elf=None)
sys._debugmallocstats()
print(next(line.split()[1] for line in open('/proc/self/status') if line.startswith('VmRSS:')))
"""
COMMAND = "the tarnwick command"
CASES = ("large", "elf", "small", "huge", "sources", "stack", "diff")
# Every command runs in an empty folder: one started here would find this repository's
# pyproject.toml and parse it each run, which a firmware repository does not make it do.
NEUTRAL = tempfile.mkdtemp(prefix="tarnwick-floors-")
atexit.register(shutil.rmtree, NEUTRAL, True)


def cost(arguments: list, environment: dict | None = None) -> tuple[float, float]:
    """CPU seconds and peak resident MiB of one command."""
    with open(os.devnull, "wb") as sink:
        child = subprocess.Popen(arguments, stdout=sink, stderr=subprocess.DEVNULL, env=environment, cwd=NEUTRAL)
        _, status, usage = os.wait4(child.pid, 0)
    code = os.waitstatus_to_exitcode(status)
    if code not in (0, 1):
        raise SystemExit(f"{arguments} exited {code}")
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024


class Bench:
    def __init__(self, trees: dict, rounds: int):
        self.trees, self.rounds = trees, rounds

    def tarnwick(self, tree: str, *arguments) -> tuple:
        """`python -S -m tarnwick ARGUMENTS`; with COMMAND first, the `tarnwick` command a user
        runs, which starts without `runpy` and the `importlib` parts it loads."""
        if arguments[:1] == (COMMAND,):
            start, arguments = [os.path.join(self.trees[tree], "bin", "tarnwick")], arguments[1:]
        else:
            start = ["-m", "tarnwick"]
        return ([sys.executable, "-S", *start, *map(str, arguments)], dict(os.environ, PYTHONPATH=self.trees[tree]))

    def by_turns(self, commands: dict) -> dict:
        """name -> (median CPU s, largest peak MiB, spread of CPU: (max - min) / median)."""
        samples: dict = {name: [] for name in commands}
        for _ in range(self.rounds):
            for name, (arguments, environment) in commands.items():
                samples[name].append(cost(arguments, environment))
        result = {}
        for name, runs in samples.items():
            cpu = [run[0] for run in runs]
            middle = statistics.median(cpu)
            result[name] = (middle, max(run[1] for run in runs), (max(cpu) - min(cpu)) / middle if middle else 0.0)
        return result

    def case(self, title: str, runs: dict, floor: tuple, floor_name: str, references: dict = None) -> dict:
        """Each run of both trees by turns with the floor (and `references`: name -> command,
        other commands worth seeing beside it); prints before, after, the floor and the ratios."""
        commands = {"floor": floor, **{("reference", name): command for name, command in (references or {}).items()}}
        for name, arguments in runs.items():
            for tree in self.trees:
                commands[(tree, name)] = self.tarnwick(tree, *arguments)
        measured = self.by_turns(commands)
        base = measured["floor"][0]
        print(f"\n{title}: floor {floor_name} {base:.4f} s (spread {measured['floor'][2]:.0%})")
        for name in references or {}:
            print(f"  {name}: {measured[('reference', name)][0]:.4f} s = {measured[('reference', name)][0] / base:.2f}x "
                  "the floor")
        print(f"{'run':>28}  {'before s':>8}  {'after s':>8}  {'after/before':>12}  {'x floor':>7}  "
              f"{'peak MiB':>8}  {'spread':>6}")
        for name in runs:
            old, new = measured[("before", name)], measured[("after", name)]
            print(f"{name:>28}  {old[0]:8.4f}  {new[0]:8.4f}  {new[0] / old[0]:12.2f}  {new[0] / base:7.2f}  "
                  f"{new[1]:8.0f}  {max(old[2], new[2]):6.0%}")
        return measured


def with_floor(arguments: list) -> tuple:
    return [sys.executable, "-S", *arguments], None


def without_stack_files(folder: Path = None) -> Path:
    """The map and ELF of the 20,000-function build (or of the build in `folder`) alone in a
    folder of their own: the stack view has its own case."""
    folder = folder or build()
    bare = folder.with_name(folder.name + "-no-stack-files")
    bare.mkdir(exist_ok=True)
    for name in ("firmware.map", "firmware.elf"):
        if not (bare / name).exists():
            shutil.copy2(folder / name, bare / name)
    return bare


def large(bench: Bench, with_elf: bool) -> None:
    path = without_stack_files() / "firmware.map"
    extra = [] if with_elf else ["--no-elf"]
    runs = {kind: ["analyze", path, "--format", kind, *extra] for kind in FORMATS}
    bench.case(f"{path.name} ({path.stat().st_size / 1e6:.2f} MB){' with its ELF' if with_elf else ''}", runs,
               with_floor(["-c", SPLIT_LINES, str(path)]), "reading and splitting its lines",
               {"the report module's standard library imports alone": with_floor(["-c", REPORT_MODULE_IMPORTS])})


def elf_alone(bench: Bench) -> None:
    path = without_stack_files() / "firmware.elf"
    bench.case(f"{path.name} alone", {"text": ["analyze", path]},
               (["nm", "-S", "--size-sort", str(path)], None), "nm -S --size-sort")


def small(bench: Bench) -> None:
    bench.case(f"{EXAMPLE.name} ({EXAMPLE.stat().st_size / 1e3:.1f} KB) and --help",
               {"text": ["analyze", EXAMPLE, "--no-elf"], "json": ["analyze", EXAMPLE, "--format", "json"],
                "--help": ["--help"], "tarnwick --help": [COMMAND, "--help"]},
               with_floor(["-c", "pass"]), "python -c pass",
               {"the standard library modules every run imports, alone": with_floor(["-c", STANDARD_MODULES]),
                "the report module's standard library imports alone": with_floor(["-c", REPORT_MODULE_IMPORTS]),
                # the parser --help prints from, with the re, gettext and locale it loads
                "argparse alone": with_floor(["-c", "import argparse"]),
                # and what printing any parser's help adds (textwrap, the messages' translation)
                "argparse printing an empty parser's help":
                    with_floor(["-c", "import argparse; argparse.ArgumentParser(prog='tarnwick').print_help()"])})


def eight_megabytes() -> Path:
    path = OUT / "eight.map"
    if not path.exists():
        OUT.mkdir(exist_ok=True)
        path.write_text(gnu_ld_map(26_000))
    return path


def huge(bench: Bench) -> None:
    for path in (eight_megabytes(), huge_map()):
        megabytes = path.stat().st_size / 1e6
        measured = bench.case(f"{path.name} ({megabytes:.1f} MB)", {"text": ["analyze", path, "--no-elf"]},
                              with_floor(["-c", SPLIT_LINES, str(path)]), "reading and splitting its lines")
        print(f"{'':>28}  after: {measured[('after', 'text')][0] / megabytes * 1000:.2f} ms per MB")
        for tree in bench.trees:
            held, resident = model_held(bench.trees[tree], path)
            print(f"{tree:>8}: the model alone, held: {held / 2**20:.0f} MiB of records in the interpreter's "
                  f"allocator, {resident / 2**10:.0f} MiB resident")


def model_held(tree: str, path: Path) -> tuple[int, int]:
    """Bytes the model's records add to the interpreter's allocator, and KiB resident, with the
    model of the map at `path` (a GNU ld map) read and held."""
    child = subprocess.run([sys.executable, "-S", "-c", MODEL_HELD, str(path.resolve())], capture_output=True, text=True,
                           env=dict(os.environ, PYTHONPATH=tree), cwd=NEUTRAL, check=True)
    before, after = (int(line.split("=")[1].replace(",", "")) for line in child.stderr.splitlines()
                     if line.startswith("# bytes in allocated blocks"))
    return after - before, int(child.stdout.split()[-1])


def sources(bench: Bench) -> None:
    folder = build(debug=True)
    bare = folder.with_name(folder.name + "-stripped")
    if not (bare / "firmware.elf").exists():
        shutil.copytree(folder, bare, dirs_exist_ok=True)
        subprocess.run(["arm-none-eabi-strip", "--strip-debug", str(bare / "firmware.elf")], check=True)
    commands = {}
    for tree in bench.trees:
        commands[(tree, "with -g")] = bench.tarnwick(tree, "analyze", folder / "firmware.map")
        commands[(tree, "stripped")] = bench.tarnwick(tree, "analyze", bare / "firmware.map")
    measured = bench.by_turns(commands)
    print("\nthe source view: text report of the -g build minus the same build with its debug information stripped")
    for tree in bench.trees:
        with_g, stripped = measured[(tree, "with -g")][0], measured[(tree, "stripped")][0]
        print(f"{tree:>8}: {with_g:.4f} s - {stripped:.4f} s = {with_g - stripped:+.4f} s "
              f"(peak {measured[(tree, 'with -g')][1]:.0f} MiB)")


def stack(bench: Bench) -> None:
    folder, bare = build(), without_stack_files()
    commands = {}
    for tree in bench.trees:
        commands[(tree, "stack files")] = bench.tarnwick(tree, "analyze", folder / "firmware.map", "--no-elf")
        commands[(tree, "none")] = bench.tarnwick(tree, "analyze", bare / "firmware.map", "--no-elf")
    measured = bench.by_turns(commands)
    print("\nthe stack view: the map with its .su and .ci files beside its objects minus the same map alone")
    for tree in bench.trees:
        found, none = measured[(tree, "stack files")][0], measured[(tree, "none")][0]
        print(f"{tree:>8}: {found:.4f} s - {none:.4f} s = {found - none:+.4f} s")


def diff(bench: Bench) -> None:
    old, new = without_stack_files() / "firmware.map", without_stack_files(build(grown=21)) / "firmware.map"
    with tempfile.TemporaryDirectory() as folder:
        for tree in bench.trees:  # each tree's own report: a stored report is what that build wrote
            arguments, environment = bench.tarnwick(tree, "analyze", old, "--format", "json", "--output",
                                                    Path(folder) / f"{tree}.json")
            subprocess.run(arguments, env=environment, check=False, cwd=NEUTRAL)
        runs = {}
        for tree in bench.trees:
            runs[(tree, "maps")] = bench.tarnwick(tree, "diff", old, new)
            runs[(tree, "stored report")] = bench.tarnwick(tree, "diff", Path(folder) / f"{tree}.json", new)
            runs[(tree, "analyze")] = bench.tarnwick(tree, "analyze", new)
            runs[(tree, "analyze --baseline")] = bench.tarnwick(tree, "analyze", new, "--baseline",
                                                               Path(folder) / f"{tree}.json")
        measured = bench.by_turns(runs)
        size = (Path(folder) / "after.json").stat().st_size / 1e6
    print(f"\ndiff against a stored JSON report ({size:.1f} MB) against a diff of the two maps with their ELFs")
    for tree in bench.trees:
        maps, report = measured[(tree, "maps")], measured[(tree, "stored report")]
        print(f"{tree:>8}: maps {maps[0]:.4f} s, stored report {report[0]:.4f} s: {report[0] / maps[0]:.2f}x "
              f"(peak {maps[1]:.0f} / {report[1]:.0f} MiB)")
    print("analyze with the stored report as its --baseline (the usual CI run) against analyze alone")
    for tree in bench.trees:
        alone, compared = measured[(tree, "analyze")], measured[(tree, "analyze --baseline")]
        print(f"{tree:>8}: {compared[0]:.4f} s - {alone[0]:.4f} s = {compared[0] - alone[0]:+.4f} s "
              f"(peak {alone[1]:.0f} / {compared[1]:.0f} MiB)")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--only", default=",".join(CASES), help=f"comma-separated, of {', '.join(CASES)}")
    args = parser.parse_args()
    bench = Bench({"before": args.before, "after": args.after}, args.rounds)
    chosen = args.only.split(",")
    print(f"medians of {args.rounds} by turns; load average at the start {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    if "large" in chosen:
        large(bench, with_elf=False)
    if "elf" in chosen:
        large(bench, with_elf=True)
        elf_alone(bench)
    if "small" in chosen:
        small(bench)
    if "huge" in chosen:
        huge(bench)
    if "sources" in chosen:
        sources(bench)
    if "stack" in chosen:
        stack(bench)
    if "diff" in chosen:
        diff(bench)
    print(f"\nload average at the end {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
