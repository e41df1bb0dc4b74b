"""The two databases a store lives in, behind one interface: a SQLite file (the interpreter's own
sqlite3, in WAL mode, so readers never wait for a writer) and a PostgreSQL database (psycopg 3).
Every statement is written once, with `?` for its parameters; the engine says it its way.

Writers take turns: SQLite's `BEGIN IMMEDIATE` and, on PostgreSQL, a lock held until the
transaction ends. A store's write is a few small statements after the build was read, so
taking turns costs little, and it is what lets a record choose its parent's tables as the base
of its own without another job changing them in between. A transaction that does not commit
(an error, Ctrl-C, SIGTERM, a killed process) leaves nothing behind: both databases see to it."""

from __future__ import annotations

import os
from contextlib import contextmanager
from typing import Iterable, Iterator, Optional

DEFAULT_STORE = ".tarnwick/history.sqlite"
# How long a writer waits for another one before it gives up: longer than any record takes.
WAIT_SECONDS = 120
_WRITE_LOCK = 0x74617277_69636B  # PostgreSQL's advisory lock of tarnwick's writers


class HistoryError(ValueError):
    """A store that cannot serve, or a question it cannot answer; `str()` is one line."""


def is_server(location: str) -> bool:
    return location.startswith(("postgresql://", "postgres://"))


def shown(location: str) -> str:
    """A store's location as messages name it: a server's URL without its password."""
    if not is_server(location):
        return location
    scheme, _, rest = location.partition("://")
    credentials, at, host = rest.rpartition("@")
    if not at:
        return location
    user = credentials.split(":", 1)[0]
    return f"{scheme}://{user}@{host}" if user else f"{scheme}://{host}"


class Engine:
    """An open store. `run` and `rows` take statements with `?` parameters."""

    name = ""
    blob = "BLOB"
    identity = "INTEGER PRIMARY KEY"
    placeholder = "?"

    def __init__(self, connection, location: str):
        self.connection, self.location = connection, location

    def rows(self, sql: str, parameters: Iterable = ()) -> list:
        cursor = self._cursor()
        self._execute(cursor, sql, tuple(parameters))
        return cursor.fetchall()

    def one(self, sql: str, parameters: Iterable = ()) -> Optional[tuple]:
        found = self.rows(sql, parameters)
        return found[0] if found else None

    def run(self, sql: str, parameters: Iterable = ()) -> None:
        self._execute(self._cursor(), sql, tuple(parameters))

    def run_many(self, sql: str, rows: list) -> None:
        if rows:
            try:
                self._cursor().executemany(self._spelled(sql), rows)
            except Exception as exc:
                raise self._problem(exc) from None

    def _execute(self, cursor, sql: str, parameters: tuple) -> None:
        try:
            cursor.execute(self._spelled(sql), parameters)
        except Exception as exc:
            raise self._problem(exc) from None

    def _spelled(self, sql: str) -> str:
        return sql if self.placeholder == "?" else sql.replace("?", self.placeholder)

    @contextmanager
    def transaction(self, write: bool) -> Iterator["Engine"]:
        """One transaction: everything in it or nothing. A writing one waits its turn."""
        self._begin(write)
        try:
            yield self
        except BaseException:
            self._end(commit=False)
            raise
        self._end(commit=True)

    def _cursor(self):
        return self.connection.cursor()

    def _end(self, commit: bool) -> None:
        """Commits or rolls back; a rollback that fails (the connection is gone) leaves nothing
        behind either: the database drops what it was not told to commit."""
        try:
            self.connection.execute("COMMIT" if commit else "ROLLBACK")
        except Exception as exc:
            if commit:
                raise self._problem(exc) from None

    def close(self) -> None:
        try:
            self.connection.close()
        except Exception:
            pass

    def _problem(self, exc: Exception) -> HistoryError:
        first = str(exc).strip().splitlines()
        return HistoryError(f"{shown(self.location)}: {first[0] if first else type(exc).__name__}")


class SQLiteEngine(Engine):
    name = "SQLite"
    identity = "INTEGER PRIMARY KEY AUTOINCREMENT"  # an id is never given twice, even after a deletion

    def _begin(self, write: bool) -> None:
        # a reader's BEGIN gives it one snapshot for all its queries
        self.run("BEGIN IMMEDIATE" if write else "BEGIN")

    def table_exists(self, name: str) -> bool:
        return self.one("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (name,)) is not None

    def _problem(self, exc: Exception) -> HistoryError:
        text = str(exc)
        if "locked" in text or "busy" in text:
            return HistoryError(f"{self.location}: another process kept the store locked for {WAIT_SECONDS} s")
        if "not a database" in text:
            return HistoryError(f"{self.location}: not a SQLite database")
        return super()._problem(exc)


class PostgreSQLEngine(Engine):
    name = "PostgreSQL"
    blob = "BYTEA"
    identity = "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"
    placeholder = "%s"

    def _begin(self, write: bool) -> None:
        self.run("BEGIN")
        if write:
            self.run("SELECT pg_advisory_xact_lock(?)", (_WRITE_LOCK,))
        else:
            self.run("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ READ ONLY")

    def table_exists(self, name: str) -> bool:
        return self.one("SELECT to_regclass(?) IS NOT NULL", (name,))[0]


def open_engine(location: str, create: bool) -> Engine:
    """The store at `location`: a path of a SQLite file, or a `postgresql://` URL. A file that is
    not there is made when `create`, else it is bad input."""
    if is_server(location):
        return _open_server(location)
    return _open_file(location, create)


def _open_file(path: str, create: bool) -> SQLiteEngine:
    import sqlite3

    from tarnwick.support.files import kind_of, reason

    try:
        info = os.stat(path)
    except FileNotFoundError:
        info = None
    except OSError as exc:
        raise HistoryError(f"{path}: {reason(exc)}") from None
    if info is None and not create:
        raise HistoryError(f"{path}: no such store (`tarnwick history record` makes it)")
    if info is not None and kind_of(info.st_mode) is not None:
        raise HistoryError(f"{path}: not a store ({kind_of(info.st_mode)})")
    if info is None:
        try:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        except OSError as exc:
            raise HistoryError(f"{path}: {reason(exc)}") from None
    try:
        connection = sqlite3.connect(path, timeout=WAIT_SECONDS, isolation_level=None, check_same_thread=False)
    except sqlite3.Error as exc:
        raise HistoryError(f"{path}: {exc}") from None
    engine = SQLiteEngine(connection, path)
    try:
        mode = engine.one("PRAGMA journal_mode")[0]
        if mode.lower() != "wal":
            engine.run("PRAGMA journal_mode = WAL")
    except BaseException:
        engine.close()
        raise
    return engine


def _open_server(url: str) -> PostgreSQLEngine:
    try:
        import psycopg
    except ImportError:
        raise HistoryError(f"{shown(url)}: a PostgreSQL store needs psycopg 3 "
                           "(pip install 'tarnwick[postgresql]')") from None
    try:
        connection = psycopg.connect(url, autocommit=True, connect_timeout=20)
    except Exception as exc:
        first = str(exc).strip().splitlines()
        raise HistoryError(f"{shown(url)}: {first[0] if first else type(exc).__name__}") from None
    return PostgreSQLEngine(connection, url)
