"""The store's tables, the same on SQLite and PostgreSQL, and the steps that bring an older store
to this version. Each step runs in the transaction that sets the new version, so a store is
at one version or the next, never between; writers take turns, so two jobs opening a new store
at once make its tables once."""

from __future__ import annotations

from tarnwick.history.engines import Engine, HistoryError, shown

SCHEMA_VERSION = 1


def _first(engine: Engine) -> list:
    return [
        "CREATE TABLE tarnwick_schema (version INTEGER NOT NULL)",
        # what the store knows of the commit graph: the commits recorded, and the first-parent
        # ancestors git named when they were, so that a commit not measured shows as a gap
        "CREATE TABLE tarnwick_commits (sha TEXT PRIMARY KEY, "
        "parents TEXT, "  # the parents' hashes, first parent first, by spaces; '' a root; NULL unknown
        "first_parent TEXT, "  # the first of them, which the chain of a branch follows
        "time BIGINT, "  # the commit's time, seconds since the epoch
        "subject TEXT)",
        "CREATE INDEX tarnwick_commits_first_parent ON tarnwick_commits (first_parent)",
        "CREATE INDEX tarnwick_commits_time ON tarnwick_commits (time)",
        f"CREATE TABLE tarnwick_builds (id {engine.identity}, "
        "target TEXT NOT NULL, commit_sha TEXT NOT NULL, branch TEXT, label TEXT, "
        "recorded_at TEXT NOT NULL, flash BIGINT, ram BIGINT, status TEXT, "
        "waivers TEXT, "  # JSON: the growth accepted, NULL for none
        "details TEXT NOT NULL, "  # JSON: the verdict and gates, waivers, stack, what was read
        "base_id BIGINT, "  # the build whose tables `changes` is against; NULL for none
        "depth INTEGER NOT NULL, "  # how many builds' changes lead back to a whole copy
        f"changes {engine.blob}, "  # the byte tables' changes against the base (tables.encode)
        f"snapshot {engine.blob})",  # the whole tables, every few builds and where there is no base
        "CREATE INDEX tarnwick_builds_commit ON tarnwick_builds (target, commit_sha)",
        "CREATE INDEX tarnwick_builds_base ON tarnwick_builds (base_id)",
        # `place`: the region's place in the linker's list of the build's regions
        "CREATE TABLE tarnwick_regions (build_id BIGINT NOT NULL, name TEXT NOT NULL, place INTEGER NOT NULL, "
        "used BIGINT NOT NULL, size BIGINT, PRIMARY KEY (build_id, place))",
    ]


# version -> the statements that make it from the one before
MIGRATIONS = {1: _first}


def schema_version(engine: Engine) -> int:
    """The store's version; 0 for a store without tables (a new file)."""
    if not engine.table_exists("tarnwick_schema"):
        return 0
    row = engine.one("SELECT version FROM tarnwick_schema")
    return row[0] if row is not None else 0


def prepare(engine: Engine, create: bool) -> None:
    """Makes the store's tables, or brings them to this version; refuses a newer store."""
    with engine.transaction(write=False):
        found = schema_version(engine)
    _refuse_newer(engine, found)
    if found == SCHEMA_VERSION:
        return
    if found == 0 and not create:
        raise HistoryError(f"{shown(engine.location)}: holds no builds (`tarnwick history record` adds them)")
    with engine.transaction(write=True):
        found = schema_version(engine)  # another job may have made them while this one waited
        _refuse_newer(engine, found)
        for version in range(found + 1, SCHEMA_VERSION + 1):
            for statement in MIGRATIONS[version](engine):
                engine.run(statement)
        if found == 0:
            engine.run("INSERT INTO tarnwick_schema (version) VALUES (?)", (SCHEMA_VERSION,))
        elif found < SCHEMA_VERSION:
            engine.run("UPDATE tarnwick_schema SET version = ?", (SCHEMA_VERSION,))


def _refuse_newer(engine: Engine, found: int) -> None:
    if found > SCHEMA_VERSION:
        raise HistoryError(f"{shown(engine.location)}: the store's schema (version {found}) is newer than this "
                           f"tarnwick's ({SCHEMA_VERSION}); use a newer tarnwick")
