"""A store's builds out and in: JSON Lines (one build a line, and a line for each commit the store
knows without a build, so that gaps stay gaps), which `import` reads back into any store, so a
history can live on a git branch when CI artifacts expire; and, for dashboards, OpenMetrics
text and the InfluxDB line protocol, each region's bytes per target with the commit.

A build's line carries its tables as changes against an earlier line's build (`base`, that
line's `id`) where its store kept them so, else whole: a file is about as compact as the store."""

from __future__ import annotations

import json
from typing import Callable, Iterable, Optional

from tarnwick.history import tables as stored
from tarnwick.history.engines import HistoryError
from tarnwick.history.store import Entry, Store

FORMAT = 1  # of the lines, as `tarnwick_history`
_REMEMBERED = 16


def export_lines(store: Store, write: Callable[[bytes], object], target: Optional[str] = None) -> int:
    """Writes every build (of a target) in the order recorded; the count of builds."""
    count = 0
    with store.reading():
        builds = store.builds(target)
        regions = store.regions(target)
        commits = store.commits()
        built = {b.commit for b in builds}
        for sha, info in sorted(commits.items(), key=lambda item: (item[1].time or 0, item[0])):
            if sha not in built:
                write(_line({"tarnwick_history": FORMAT, "kind": "commit", "commit": sha,
                             "parents": list(info.parents) if info.parents is not None else None,
                             "time": info.time, "subject": info.subject}))
        written = set()
        for build in builds:
            info = commits.get(build.commit)
            base_id, delta, _ = store.stored_blobs(build.id)
            line = {"tarnwick_history": FORMAT, "kind": "build", "id": build.id, "target": build.target,
                    "commit": build.commit, "parents": list(info.parents) if info and info.parents is not None else None,
                    "time": info.time if info else None, "subject": info.subject if info else None,
                    "branch": build.branch, "label": build.label, "recorded_at": build.recorded_at,
                    "flash": build.flash, "ram": build.ram, "status": build.status, "details": build.details,
                    "regions": {name: {"used": used, "size": size}
                                for name, (used, size) in regions.get(build.id, {}).items()}}
            if base_id is not None and base_id in written and delta is not None:
                line["base"], line["changes"] = base_id, stored.listed(stored.decode_changes(delta))
            else:
                line["tables"] = stored.listed(store.tables(build.id))
            write(_line(line))
            written.add(build.id)
            count += 1
    return count


def _line(document: dict) -> bytes:
    return (json.dumps(document, ensure_ascii=False, separators=(",", ":")) + "\n").encode("utf-8")


class _Lines:
    """Reads an export's lines; every fault is one line naming the file and line."""

    def __init__(self, name: str):
        self.name = name

    def fail(self, number: int, why: str):
        raise HistoryError(f"{self.name}:{number}: {why}")

    def text(self, number: int, line: dict, key: str, required: bool = False) -> Optional[str]:
        value = line.get(key)
        if value is None and not required:
            return None
        if not isinstance(value, str) or not value:
            self.fail(number, f"{key} must be a non-empty string")
        return value

    def count(self, number: int, value, key: str) -> Optional[int]:
        if value is None:
            return None
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            self.fail(number, f"{key} must be a whole number of bytes (or seconds)")
        return value

    def parents(self, number: int, value) -> Optional[tuple]:
        if value is None:
            return None
        if not isinstance(value, list) or not all(isinstance(p, str) and p for p in value):
            self.fail(number, "parents must be a list of commit hashes")
        return tuple(value)


def import_lines(store: Store, lines: Iterable[bytes], name: str, keep: bool = False) -> tuple:
    """Reads an export into the store, in one transaction: all of it or, on a fault, nothing.
    (builds, commits) imported."""
    reader = _Lines(name)
    builds = commits = 0
    ids: dict = {}  # the file's build id -> the store's
    remembered: dict = {}  # the file's build id -> its tables, the last few
    with store.writing():
        for number, raw in enumerate(lines, 1):
            if not raw.strip():
                continue
            try:
                line = json.loads(raw)
            except (ValueError, RecursionError) as exc:
                reader.fail(number, f"not JSON ({str(exc).splitlines()[0][:80]})")
            if not isinstance(line, dict) or line.get("tarnwick_history") != FORMAT:
                reader.fail(number, f"not a line of a tarnwick history export (format {FORMAT})")
            kind = line.get("kind")
            if kind == "commit":
                store.note_commit(reader.text(number, line, "commit", True), reader.parents(number, line.get("parents")),
                                   reader.count(number, line.get("time"), "time"), reader.text(number, line, "subject"),
                                   given=False)
                commits += 1
                continue
            if kind != "build":
                reader.fail(number, f"kind must be \"build\" or \"commit\", not {kind!r}")
            tables = _tables(store, reader, number, line, ids, remembered)
            entry = _entry(reader, number, line, tables)
            recorded = store.add(entry, keep)
            if isinstance(line.get("id"), int):
                ids[line["id"]] = recorded.id
                remembered[line["id"]] = tables
                while len(remembered) > _REMEMBERED:
                    del remembered[next(iter(remembered))]
            builds += 1
    return builds, commits


def _tables(store: Store, reader: _Lines, number: int, line: dict, ids: dict, remembered: dict) -> dict:
    try:
        if "tables" in line:
            return stored.from_json(line["tables"], delta=False)
        if "changes" not in line or "base" not in line:
            reader.fail(number, "a build line needs its tables, or a base and the changes against it")
        base = line["base"]
        if base not in ids:
            reader.fail(number, f"its base build {base!r} is not on a line before it")
        before = remembered.get(base)
        if before is None:
            before = store.tables(ids[base])
        return stored.applied(before, stored.from_json(line["changes"], delta=True))
    except (ValueError, TypeError) as exc:
        reader.fail(number, str(exc))


def _entry(reader: _Lines, number: int, line: dict, tables: dict) -> Entry:
    regions = line.get("regions")
    if not isinstance(regions, dict):
        reader.fail(number, "regions must be an object of {used, size}")
    figures = {}
    for region, value in regions.items():
        if not isinstance(value, dict):
            reader.fail(number, f"region {region!r} must be {{used, size}}")
        used = reader.count(number, value.get("used"), f"regions.{region}.used")
        if used is None:
            reader.fail(number, f"regions.{region}.used is missing")
        figures[region] = (used, reader.count(number, value.get("size"), f"regions.{region}.size"))
    details = line.get("details")
    if not isinstance(details, dict):
        reader.fail(number, "details must be an object")
    status = line.get("status")
    if status not in (None, "passed", "failed"):
        reader.fail(number, "status must be \"passed\", \"failed\" or null")
    return Entry(
        target=reader.text(number, line, "target", True), commit=reader.text(number, line, "commit", True),
        parents=reader.parents(number, line.get("parents")), time=reader.count(number, line.get("time"), "time"),
        subject=reader.text(number, line, "subject"), branch=reader.text(number, line, "branch"),
        label=reader.text(number, line, "label"), tables=tables, regions=figures,
        flash=reader.count(number, line.get("flash"), "flash"), ram=reader.count(number, line.get("ram"), "ram"),
        status=status, details=details, recorded_at=reader.text(number, line, "recorded_at") or "")


# --- for dashboards ----------------------------------------------------------------------------

def _latest_builds(store: Store, target: Optional[str]) -> tuple:
    """(the latest build of each commit and target, regions by build, commits), in time order."""
    with store.reading():
        builds, regions, commits = store.builds(target), store.regions(target), store.commits()
    latest: dict = {}
    for build in builds:
        latest[(build.target, build.commit)] = build
    ordered = sorted(latest.values(), key=lambda b: ((commits.get(b.commit) and commits[b.commit].time) or 0, b.id))
    return ordered, regions, commits


def _seconds(build, commits) -> Optional[int]:
    info = commits.get(build.commit)
    return info.time if info is not None and info.time is not None else None


def _label(value: str) -> str:
    return value.replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')


def openmetrics(store: Store, write: Callable[[bytes], object], target: Optional[str] = None) -> int:
    """OpenMetrics text: the used and total bytes of every region of every build, labelled with
    its target, region, branch and commit, at the commit's time."""
    ordered, regions, commits = _latest_builds(store, target)
    samples = 0
    for metric, index, help_text in (("tarnwick_region_used_bytes", 0, "Bytes of a memory region a build uses."),
                                     ("tarnwick_region_size_bytes", 1, "Bytes a memory region holds.")):
        write(f"# TYPE {metric} gauge\n# UNIT {metric} bytes\n# HELP {metric} {help_text}\n".encode())
        for build in ordered:
            at = _seconds(build, commits)
            for region, figures in sorted(regions.get(build.id, {}).items()):
                if figures[index] is None:
                    continue
                labels = (f'target="{_label(build.target)}",region="{_label(region)}",'
                          f'branch="{_label(build.branch or "")}",commit="{_label(build.commit)}"')
                write(f"{metric}{{{labels}}} {figures[index]}{f' {at}' if at is not None else ''}\n".encode())
                samples += 1
    write(b"# EOF\n")
    return samples


def _tag(value: str) -> str:
    return value.replace("\\", "\\\\").replace(",", "\\,").replace("=", "\\=").replace(" ", "\\ ").replace("\n", "\\n")


def _field_text(value: str) -> str:
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def influx(store: Store, write: Callable[[bytes], object], target: Optional[str] = None) -> int:
    """The InfluxDB line protocol: a point per region of every build (measurement
    tarnwick_region, tags target, region and branch, fields used, size and commit), at the
    commit's time in nanoseconds."""
    ordered, regions, commits = _latest_builds(store, target)
    points = 0
    for build in ordered:
        at = _seconds(build, commits)
        for region, (used, size) in sorted(regions.get(build.id, {}).items()):
            tags = f"target={_tag(build.target)},region={_tag(region)}" + (
                f",branch={_tag(build.branch)}" if build.branch else "")
            fields = f"used={used}i" + (f",size={size}i" if size is not None else "") + f",commit={_field_text(build.commit)}"
            write(f"tarnwick_region,{tags} {fields}{f' {at * 1_000_000_000}' if at is not None else ''}\n".encode())
            points += 1
    return points

