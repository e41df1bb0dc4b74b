"""Recording builds into a store and reading them back.

A build is recorded in one transaction: its commit (and the first-parent ancestors git named
that the store did not know), its row, its regions' figures, and its byte tables as changes
against the build of its first parent (`tables`). Recording a commit and target that the store
has replaces that build (or keeps both, asked to): the builds whose tables were kept as changes
against the one replaced are given tables of their own first, so nothing that was recorded is
lost. A build read back is its tables rebuilt from the last whole copy and the changes since."""

from __future__ import annotations

import json
from datetime import datetime, timezone
from contextlib import contextmanager
from typing import Iterable, NamedTuple, Optional

from tarnwick.history import tables as stored
from tarnwick.history.engines import HistoryError, open_engine, shown
from tarnwick.history.schema import prepare
from tarnwick.support.records import field, record, replace


@record
class Entry:
    """A build to record."""

    target: str
    commit: str
    parents: Optional[tuple]  # first parent first; None where nobody said
    time: Optional[int]  # the commit's, seconds since the epoch
    subject: Optional[str]
    branch: Optional[str]
    label: Optional[str]
    tables: dict  # tables.build_tables
    regions: dict  # name -> (used bytes, size or None)
    flash: Optional[int]
    ram: Optional[int]
    status: Optional[str]  # the verdict: "passed" or "failed"
    details: dict = field(default_factory=dict)  # verdict, waivers, stack, what was read
    recorded_at: str = ""


class Build(NamedTuple):
    """A recorded build, as the queries see it (a tuple: a trend reads thousands)."""

    id: int
    target: str
    commit: str
    branch: Optional[str]
    label: Optional[str]
    recorded_at: str
    flash: Optional[int]
    ram: Optional[int]
    status: Optional[str]
    waivers_text: Optional[str]
    details_text: Optional[str]
    base_id: Optional[int]

    @property
    def waivers(self) -> list:
        return _json(self.waivers_text, list) if self.waivers_text else []

    @property
    def details(self) -> dict:
        return _json(self.details_text, dict)


def _json(text: Optional[str], kind):
    """A JSON column read back; what is not of the kind (a damaged row) reads as empty."""
    try:
        value = json.loads(text) if text else kind()
    except ValueError:
        value = kind()
    return value if isinstance(value, kind) else kind()


@record(frozen=True)
class Recorded:
    id: int
    replaced: int  # builds of the same commit and target it took the place of
    parent: Optional[Build]  # the build of its first parent, where one was recorded
    parent_regions: Optional[dict] = None  # its regions' used bytes


@record(frozen=True)
class CommitInfo:
    parents: Optional[tuple]
    time: Optional[int]
    subject: Optional[str]


_REMEMBERED = 8
_BUILD_COLUMNS = "id, target, commit_sha, branch, label, recorded_at, flash, ram, status, waivers, details, base_id"


# what a trend reads of each build
_LIGHT_COLUMNS = "id, target, commit_sha, branch, label, NULL, NULL, NULL, status, waivers, NULL, base_id"
_build = Build._make


def _parents_text(parents: Optional[Iterable]) -> Optional[str]:
    return None if parents is None else " ".join(parents)


class Store:
    """An open store; `create`: make it (and its tables) where there is none."""

    def __init__(self, location: str, create: bool = False):
        self.location = location
        # the tables of the last builds read or written: a build's tables never change once it is
        # recorded, and ids are never used twice, so what is remembered stays true
        self._tables: dict = {}
        self._pending: Optional[list] = None  # what to remember once the write transaction commits
        self.engine = open_engine(location, create)
        try:
            prepare(self.engine, create)
        except BaseException:
            self.engine.close()
            raise

    def __enter__(self) -> "Store":
        return self

    def __exit__(self, *_exc) -> None:
        self.close()

    def close(self) -> None:
        self.engine.close()

    @property
    def name(self) -> str:
        return shown(self.location)

    # --- writing -------------------------------------------------------------------------------

    def record(self, entry: Entry, keep: bool = False, ancestors: Iterable = ()) -> Recorded:
        """Records a build; `ancestors`: first-parent commits git named (git.Commit), newest first."""
        with self.writing():
            recorded = self.add(entry, keep, ancestors)
            if recorded.parent is None:
                return recorded
            return replace(recorded, parent_regions={name: used for name, used in self.engine.rows(
                "SELECT name, used FROM tarnwick_regions WHERE build_id = ? ORDER BY place", (recorded.parent.id,))})

    @contextmanager
    def writing(self):
        """A write transaction; the tables it read or wrote are remembered once it commits (an id
        that a rolled-back transaction used may be given again)."""
        self._pending = []
        try:
            with self.engine.transaction(write=True):
                yield self
            pending, self._pending = self._pending, None
        except BaseException:
            self._pending = None
            raise
        for build_id, tables in pending:
            self._remember(build_id, tables)

    def add(self, entry: Entry, keep: bool = False, ancestors: Iterable = ()) -> Recorded:
        """`record` within a write transaction the caller holds (an import of many builds)."""
        engine = self.engine
        self.note_commit(entry.commit, entry.parents, entry.time, entry.subject, given=True)
        for ancestor in ancestors:
            self.note_commit(ancestor.sha, ancestor.parents, ancestor.time, ancestor.subject, given=False)
        parents = entry.parents if entry.parents is not None else self.commit_info(entry.commit).parents
        earlier = [row[0] for row in engine.rows(
            "SELECT id FROM tarnwick_builds WHERE target = ? AND commit_sha = ? ORDER BY id",
            (entry.target, entry.commit))]
        parent, depth = self._latest(entry.target, commit=parents[0]) if parents else (None, -1)
        base = parent
        if base is None:  # no first parent recorded: the changes against the latest build are still few
            base, depth = self._latest(entry.target, exclude=earlier)
        base_tables = self.tables(base.id) if base is not None else None
        delta = stored.changes(base_tables, entry.tables)
        whole = base is None or depth + 1 > stored.MAX_DEPTH
        row = engine.one(
            "INSERT INTO tarnwick_builds (target, commit_sha, branch, label, recorded_at, flash, ram, status, "
            "waivers, details, base_id, depth, changes, snapshot) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
            "RETURNING id",
            (entry.target, entry.commit, entry.branch, entry.label,
             entry.recorded_at or datetime.now(timezone.utc).isoformat(), entry.flash, entry.ram,
             entry.status, json.dumps(entry.details["waivers"], ensure_ascii=False) if entry.details.get("waivers") else None,
             json.dumps(entry.details, ensure_ascii=False), base.id if base is not None else None,
             0 if whole else depth + 1, stored.encode_changes(delta) if base is not None else None,
             stored.encode_tables(entry.tables) if whole else None))
        new_id = row[0]
        engine.run_many("INSERT INTO tarnwick_regions (build_id, name, place, used, size) VALUES (?, ?, ?, ?, ?)",
                        [(new_id, name, place, used, size)
                         for place, (name, (used, size)) in enumerate(entry.regions.items())])
        if not keep:
            for old in earlier:
                self._remove(old, successor=(new_id, entry.tables))
        self._remember(new_id, entry.tables)
        return Recorded(new_id, 0 if keep else len(earlier), parent)

    def note_commit(self, sha: str, parents, time, subject, given: bool) -> None:
        """What is said of a commit: what the build's own run says wins; what an ancestor's
        listing says fills in only what the store does not know. A commit nobody gave a time
        is taken to be of the moment it is first recorded."""
        names = ("parents", "first_parent", "time", "subject")
        if given:
            update = ", ".join(f"{name} = COALESCE(?, tarnwick_commits.{name})" for name in names)
        else:
            update = ", ".join(f"{name} = COALESCE(tarnwick_commits.{name}, ?)" for name in names)
        said = (_parents_text(parents), parents[0] if parents else None, time, subject)
        first_time = time if time is not None else int(datetime.now(timezone.utc).timestamp())
        self.engine.run("INSERT INTO tarnwick_commits (sha, parents, first_parent, time, subject) VALUES (?, ?, ?, ?, ?) "
                        f"ON CONFLICT (sha) DO UPDATE SET {update}", (sha, said[0], said[1], first_time, subject, *said))
        if parents:  # a first parent nobody said anything of is still a commit of the chain: a gap
            self.engine.run("INSERT INTO tarnwick_commits (sha) VALUES (?) ON CONFLICT (sha) DO NOTHING", (parents[0],))

    def _latest(self, target: str, commit: Optional[str] = None, exclude: Iterable = ()) -> tuple:
        """(the latest build of the target (of a commit), how many changes lead back from it to
        whole tables), or (None, -1); the builds of `exclude` left out."""
        where, parameters = ("AND commit_sha = ? ", (target, commit)) if commit is not None else ("", (target,))
        left_out = set(exclude)
        for row in self.engine.rows(f"SELECT {_BUILD_COLUMNS}, depth FROM tarnwick_builds WHERE target = ? {where}"
                                    "ORDER BY id DESC LIMIT ?", (*parameters, len(left_out) + 1)):
            if row[0] not in left_out:
                return _build(row[:-1]), row[-1]
        return None, -1

    def _remove(self, build_id: int, successor: tuple) -> None:
        """Takes a build out. Those kept as changes against it get a whole copy of their own
        tables, and their changes against `successor` (id, tables): the build of the same
        commit that takes its place."""
        engine = self.engine
        successor_id, successor_tables = successor
        for (child,) in engine.rows("SELECT id FROM tarnwick_builds WHERE base_id = ?", (build_id,)):
            tables = self.tables(child)
            engine.run("UPDATE tarnwick_builds SET base_id = ?, depth = 0, changes = ?, snapshot = ? WHERE id = ?",
                       (successor_id, stored.encode_changes(stored.changes(successor_tables, tables)), stored.encode_tables(tables),
                        child))
        engine.run("DELETE FROM tarnwick_regions WHERE build_id = ?", (build_id,))
        engine.run("DELETE FROM tarnwick_builds WHERE id = ?", (build_id,))

    # --- reading -------------------------------------------------------------------------------

    def reading(self):
        """A read transaction: every query in it sees the store as it was when it began."""
        return self.engine.transaction(write=False)

    def builds(self, target: Optional[str] = None, details: bool = True, commits: Optional[list] = None) -> list:
        """Every build (of a target, of some commits), in the order they were recorded; without
        `details` (what a trend does not show) the quicker."""
        where, parameters = ("WHERE target = ? ", [target]) if target is not None else ("", [])
        if commits is not None:
            where += ("AND " if where else "WHERE ") + f"commit_sha IN ({', '.join('?' * len(commits)) or 'NULL'}) "
            parameters += commits
        columns = _BUILD_COLUMNS if details else _LIGHT_COLUMNS
        return [_build(row) for row in self.engine.rows(
            f"SELECT {columns} FROM tarnwick_builds {where}ORDER BY id", parameters)]

    def commit_count(self) -> int:
        return self.engine.one("SELECT count(*) FROM tarnwick_commits")[0]

    def targets(self) -> list:
        return [row[0] for row in self.engine.rows("SELECT DISTINCT target FROM tarnwick_builds ORDER BY target")]

    def regions(self, target: Optional[str] = None, sizes: bool = True, builds: Optional[list] = None) -> dict:
        """Build id -> {region: (used, size)}, or {region: used} without `sizes`, of every build
        (of a target, or of the builds listed), each build's regions in the linker's order."""
        columns = "build_id, name, used, size" if sizes else "build_id, name, used"
        if builds is not None:
            rows = self.engine.rows(f"SELECT {columns} FROM tarnwick_regions WHERE build_id IN "
                                    f"({', '.join('?' * len(builds)) or 'NULL'}) ORDER BY build_id, place", builds)
        elif target is None:
            rows = self.engine.rows(f"SELECT {columns} FROM tarnwick_regions ORDER BY build_id, place")
        else:
            rows = self.engine.rows(f"SELECT {columns} FROM tarnwick_regions WHERE build_id IN "
                                    "(SELECT id FROM tarnwick_builds WHERE target = ?) ORDER BY build_id, place",
                                    (target,))
        found: dict = {}
        table: dict = {}
        last = None
        for row in rows:
            if row[0] != last:
                last, table = row[0], {}
                found[last] = table
            table[row[1]] = (row[2], row[3]) if sizes else row[2]
        return found

    def commits(self) -> dict:
        """sha -> CommitInfo of every commit the store knows."""
        return {sha: CommitInfo(tuple(parents.split()) if parents is not None else None, time, subject)
                for sha, parents, time, subject in self.engine.rows(
                    "SELECT sha, parents, time, subject FROM tarnwick_commits")}

    def chain(self, head: str, since: Optional[str] = None, limit: int = 1_000_000) -> list:
        """(sha, first parent, whether its parents are known, time, subject) of the commits of the
        first-parent chain from `head` back, newest first: to `since` (included), or to where
        the store knows no first parent. Rows as they come: a chain may be 10,000 long."""
        return self.engine.rows(
            "WITH RECURSIVE chain (sha, first_parent, known, time, subject, depth) AS ("
            "SELECT sha, first_parent, parents IS NOT NULL, time, subject, 0 FROM tarnwick_commits WHERE sha = ? "
            "UNION ALL SELECT c.sha, c.first_parent, c.parents IS NOT NULL, c.time, c.subject, chain.depth + 1 "
            "FROM chain JOIN tarnwick_commits c ON c.sha = chain.first_parent WHERE chain.sha <> ? AND chain.depth < ?) "
            "SELECT sha, first_parent, known, time, subject FROM chain ORDER BY depth",
            (head, since if since is not None else "", limit))

    def head(self, target: str, branch: Optional[str]) -> Optional[str]:
        """The commit of the target's latest build (on a branch): of the builds no other one
        has as its first parent, the one with the newest commit."""
        on_branch = "AND b.branch = ? " if branch is not None else ""
        parameters = (target, branch, target, branch) if branch is not None else (target, target)
        # commits newest first, each looked up among the builds, until one no other build follows
        row = self.engine.one(
            "SELECT b.commit_sha FROM tarnwick_commits c CROSS JOIN tarnwick_builds b WHERE b.commit_sha = c.sha "
            f"AND b.target = ? {on_branch}AND NOT EXISTS (SELECT 1 FROM tarnwick_commits d "
            "WHERE d.first_parent = b.commit_sha AND EXISTS (SELECT 1 FROM tarnwick_builds e "
            f"WHERE e.target = ? AND e.commit_sha = d.sha {on_branch.replace('b.', 'e.')})) "
            "ORDER BY c.time DESC, b.id DESC LIMIT 1", parameters)
        return row[0] if row is not None else None

    def branches(self, target: str) -> list:
        return [row[0] for row in self.engine.rows(
            "SELECT DISTINCT branch FROM tarnwick_builds WHERE target = ? AND branch IS NOT NULL ORDER BY branch",
            (target,))]

    def matching_commits(self, prefix: str) -> list:
        """The hashes of known commits starting with `prefix` (at most two: enough to tell)."""
        return [row[0] for row in self.engine.rows(
            "SELECT sha FROM tarnwick_commits WHERE substr(sha, 1, ?) = ? LIMIT 2", (len(prefix), prefix))]

    def commit_info(self, sha: str) -> CommitInfo:
        row = self.engine.one("SELECT parents, time, subject FROM tarnwick_commits WHERE sha = ?", (sha,))
        if row is None:
            return CommitInfo(None, None, None)
        return CommitInfo(tuple(row[0].split()) if row[0] is not None else None, row[1], row[2])

    def knows_parents(self, sha: str) -> bool:
        """Whether the store knows the commit and its parents (so git need not be asked)."""
        return self.engine.one("SELECT 1 FROM tarnwick_commits WHERE sha = ? AND parents IS NOT NULL",
                               (sha,)) is not None

    def _remember(self, build_id: int, tables: dict) -> None:
        if self._pending is not None:
            self._pending.append((build_id, tables))
            return
        self._tables.pop(build_id, None)
        self._tables[build_id] = tables
        while len(self._tables) > _REMEMBERED:
            del self._tables[next(iter(self._tables))]

    def tables(self, build_id: int) -> dict:
        """A build's byte tables: its last whole copy, with the changes since made."""
        known = self._tables.get(build_id)
        if known is None and self._pending:
            known = next((tables for at, tables in self._pending if at == build_id), None)
        if known is not None:
            return known
        chain = []
        at = build_id
        while True:
            known = self._tables.get(at)
            if known is not None and at != build_id:
                result = known
                break
            row = self.engine.one("SELECT base_id, changes, snapshot FROM tarnwick_builds WHERE id = ?", (at,))
            if row is None:
                raise HistoryError(f"{self.name}: build {at} is missing (the store is damaged)")
            base_id, delta, snapshot = row
            if snapshot is not None:
                result = stored.decode_tables(snapshot)
                break
            if base_id is None or delta is None or len(chain) > stored.MAX_DEPTH * 4:
                raise HistoryError(f"{self.name}: build {at} has neither tables nor a base (the store is damaged)")
            chain.append(delta)
            at = base_id
        for delta in reversed(chain):
            result = stored.applied(result, stored.decode_changes(delta))
        self._remember(build_id, result)
        return result

    def changes_since(self, build: Build, earlier: Build, levels: Optional[set] = None) -> dict:
        """(kind, region) -> {key: (before, after)}: what changed from `earlier` to `build`; the
        stored changes where `earlier` is the build's base, else the two rebuilt and compared."""
        if build.base_id == earlier.id:
            row = self.engine.one("SELECT changes FROM tarnwick_builds WHERE id = ?", (build.id,))
            delta = stored.decode_changes(row[0])
        else:
            before, after = self.tables(earlier.id), self.tables(build.id)
            if levels is not None:
                before = {k: v for k, v in before.items() if k in levels}
                after = {k: v for k, v in after.items() if k in levels}
            delta = stored.changes(before, after)
        return delta if levels is None else {k: v for k, v in delta.items() if k in levels}

    def section_regions(self, build_id: int) -> dict:
        """Section -> the regions it takes bytes of, in a build (as recorded with it)."""
        row = self.engine.one("SELECT details FROM tarnwick_builds WHERE id = ?", (build_id,))
        found = _json(row[0] if row else None, dict).get("section_regions")
        return found if isinstance(found, dict) else {}

    def stored_blobs(self, build_id: int) -> tuple:
        """(base id, changes, whole tables) as kept, for an export that keeps them compact."""
        return self.engine.one("SELECT base_id, changes, snapshot FROM tarnwick_builds WHERE id = ?", (build_id,))

    def size_bytes(self) -> Optional[int]:
        """What the store takes on disk (a SQLite file with its log) or in the database."""
        if self.engine.name == "SQLite":
            import os

            return sum(os.path.getsize(self.location + suffix) for suffix in ("", "-wal")
                       if os.path.exists(self.location + suffix))
        row = self.engine.one("SELECT sum(pg_total_relation_size(c.oid)) FROM pg_class c WHERE c.relname IN "
                              "('tarnwick_builds', 'tarnwick_regions', 'tarnwick_commits', 'tarnwick_schema')")
        return int(row[0]) if row and row[0] is not None else None
