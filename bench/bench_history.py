"""The build history at scale, on SQLite and on PostgreSQL (a server of the benchmark's own, from
Debian's binaries, as the tests start it).

1. 10,000 builds of a 2,000-symbol firmware: a synthesised map read as `record` reads it, then a
   history of 10,000 commits in which each commit changes a few symbols (some grow, some shrink,
   now and then one is added), a merge every 50 commits and a commit not recorded every 100.
   Recorded one by one into SQLite (timed), exported as JSON Lines and imported into PostgreSQL;
   then the store's size per build, and `show` and `blame` over the whole chain, in process
   (the answer made and rendered, medians of 5), beside the baseline of the same run: reading
   every region row of the store and nothing else.
2. 200 builds of the 20,000-function firmware (bench/large_firmware.py, with its ELF file, and
   the same with 42 changes, by turns): the CPU time `record` takes beyond the analysis (reading
   the build as `analyze` does), each record opening the store anew as the command does, medians
   over the 200 with the slowest (a build that keeps whole tables), and the store's size per build.

Run: python bench/bench_history.py [--builds 10000] [--large 200]
"""

from __future__ import annotations

import argparse
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from tarnwick.api import read_build  # noqa: E402
from tarnwick.config import TarnwickConfig  # noqa: E402
from tarnwick.history.answers import blame, trends  # noqa: E402
from tarnwick.history.interchange import export_lines, import_lines  # noqa: E402
from tarnwick.history.render import blame_text, show_text  # noqa: E402
from tarnwick.history.store import Entry, Store  # noqa: E402
from tarnwick.history.tables import build_tables, section_regions  # noqa: E402


def _entry(build, tables: dict, regions: dict, commit: str, parents: tuple, when: int) -> Entry:
    return Entry(target="bench", commit=commit, parents=parents, time=when, subject=f"commit {commit[:8]}",
                 branch="main", label=None, tables=tables, regions=regions, flash=None, ram=None, status="passed",
                 details={"verdict": {"status": "passed"}, "section_regions": section_regions(build.report)},
                 recorded_at="")


def _mutated(tables: dict, regions: dict, placed: dict, rng: random.Random) -> tuple:
    """The tables and regions of the next commit: a few symbols grown or shrunk."""
    tables = dict(tables)
    regions = dict(regions)
    symbols = tables[("symbols", None)] = dict(tables[("symbols", None)])
    objects = tables[("objects", None)] = dict(tables[("objects", None)])
    keys = list(symbols)
    for _ in range(rng.randint(1, 4)):
        key = rng.choice(keys)
        entry = symbols[key]
        change = rng.choice((-8, -4, 4, 8, 16, 64))
        if entry[0] + change <= 0:
            continue
        symbols[key] = [entry[0] + change, *entry[1:]]
        objects[key[1]] = objects.get(key[1], 0) + change
        for region in placed.get(entry[3], ()):
            used, size = regions[region]
            regions[region] = (used + change, size)
    return tables, regions


def _median_seconds(task, rounds: int = 5) -> tuple:
    """(wall, CPU) seconds, medians: on a machine others share, the CPU time is what the task
    itself cost (a server's work is in the wall time alone)."""
    walls, cpus = [], []
    for _ in range(rounds):
        started, cpu = time.perf_counter(), time.process_time()
        task()
        walls.append(time.perf_counter() - started)
        cpus.append(time.process_time() - cpu)
    return statistics.median(walls), statistics.median(cpus)


def _questions(location: str) -> dict:
    with Store(location) as store:
        def rows() -> None:
            store.engine.rows("SELECT build_id, name, used, size FROM tarnwick_regions")

        def show() -> None:
            show_text(trends(store, "bench", branch="main"), None)

        def blamed() -> None:
            blame_text(blame(store, "RAM", "bench", branch="main"))

        figures = {"baseline (the region rows read)": _median_seconds(rows), "show": _median_seconds(show),
                   "blame RAM": _median_seconds(blamed)}
        figures["size"] = store.size_bytes()
    return figures


def many_builds(count: int, folder: Path, server) -> None:
    import synth_map

    path = folder / "small.map"
    path.write_text(synth_map.gnu_ld_map(1_200, seed=11))
    build = read_build(path, TarnwickConfig(), elf=None)
    tables = build_tables(build)
    whole = build.footprint
    regions = {name: (used, whole.region_sizes.get(name)) for name, used in (whole.regions or {}).items()}
    print(f"1. {count:,} builds of a firmware of {len(tables[('symbols', None)]):,} symbols "
          f"({len(tables[('objects', None)]):,} objects)")
    rng = random.Random(5)
    placed = section_regions(build.report)
    assert any(placed.get(entry[3]) for entry in tables[("symbols", None)].values())
    sqlite = str(folder / "history.sqlite")
    times = []
    with Store(sqlite, create=True) as store:
        parent, side = None, None
        for n in range(count):
            commit = f"{n:040x}"
            parents = () if parent is None else (parent,) if n % 50 or side is None else (parent, side)
            tables, regions = _mutated(tables, regions, placed, rng)
            if n % 100 == 99:  # a commit not recorded: the next one says so
                store.note_commit(commit, parents, 1_600_000_000 + n * 60, "not recorded", given=True)
                parent = commit
                continue
            started = time.perf_counter()
            store.record(_entry(build, tables, regions, commit, parents, 1_600_000_000 + n * 60))
            times.append(time.perf_counter() - started)
            if n % 50 == 25:
                side = f"{n:039x}f"  # a branch commit the next merge brings in
                store.note_commit(side, (commit,), 1_600_000_000 + n * 60 + 1, "on a branch", given=True)
            parent = commit
    recorded = len(times)
    print(f"   recorded {recorded:,} into SQLite: {sum(times):.1f} s, median {statistics.median(times) * 1000:.2f} ms "
          f"a build")
    lines = folder / "history.jsonl"
    with Store(sqlite) as store, open(lines, "wb") as handle:
        export_lines(store, handle.write)
    print(f"   JSON Lines export: {lines.stat().st_size / recorded:,.0f} B a build")
    locations = {"SQLite": sqlite}
    if server is not None:
        url = server.new_database()
        started = time.perf_counter()
        with Store(url, create=True) as store, open(lines, "rb") as handle:
            import_lines(store, handle, str(lines))
        print(f"   imported into PostgreSQL in {time.perf_counter() - started:.1f} s")
        locations["PostgreSQL"] = url
    for engine, location in locations.items():
        figures = _questions(location)
        size = figures.pop("size")
        baseline = figures["baseline (the region rows read)"]
        print(f"   {engine}: {size / recorded:,.0f} B a build ({size / 1e6:.1f} MB)")
        for name, (wall, cpu) in figures.items():
            print(f"     {name:<34} {wall * 1000:8.1f} ms ({cpu * 1000:6.1f} ms CPU)  "
                  f"x{wall / baseline[0]:5.1f} the baseline")


def large_builds(count: int, folder: Path, server) -> None:
    import large_firmware

    config = TarnwickConfig()
    paths = [large_firmware.build() / "firmware.map", large_firmware.build(grown=21) / "firmware.map"]
    locations = {"SQLite": str(folder / "large.sqlite")}
    if server is not None:
        locations["PostgreSQL"] = server.new_database()
    print(f"2. {count} builds of the 20,000-function firmware, with its ELF file")
    for engine, location in locations.items():
        analysis, beyond = [], []
        for n in range(count):
            # as the command does: the store opened anew, so nothing of the last record is at hand
            started = time.process_time()
            build = read_build(paths[n % 2], config)
            read = time.process_time()
            tables = build_tables(build)
            whole = build.footprint
            regions = {name: (used, whole.region_sizes.get(name)) for name, used in (whole.regions or {}).items()}
            with Store(location, create=True) as store:
                store.record(_entry(build, tables, regions, f"{n:040x}", (f"{n - 1:040x}",) if n else (),
                                    1_600_000_000 + n))
            done = time.process_time()
            analysis.append(read - started)
            beyond.append(done - read)
            del build
        with Store(location) as store:
            size = store.size_bytes()
        symbols = len(tables[("symbols", None)])
        print(f"   {engine}: {symbols:,} symbols; the analysis {statistics.median(analysis):.3f} s CPU, record beyond it "
              f"{statistics.median(beyond):.3f} s median, {max(beyond):.3f} s the slowest "
              f"(x{statistics.median(beyond) / statistics.median(analysis):.2f} the analysis); "
              f"{size / count / 1e3:,.1f} kB a build")


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--builds", type=int, default=10_000)
    parser.add_argument("--large", type=int, default=200)
    arguments = parser.parse_args()
    server = None
    try:
        import history_servers

        if history_servers.server_binaries() is not None:
            server = history_servers.Server()
            server.start()
    except ImportError:
        server = None
    try:
        with tempfile.TemporaryDirectory() as folder:
            many_builds(arguments.builds, Path(folder), server)
            if arguments.large:
                large_builds(arguments.large, Path(folder), server)
    finally:
        if server is not None:
            server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
