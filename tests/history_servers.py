"""A real PostgreSQL server for the history tests: a cluster of its own in a temporary folder,
made with Debian's server binaries (`apt-get install postgresql`; .ci/run installs it), listening
on a socket in that folder only, and stopped at the end of the session. initdb and postgres
refuse to run as root, so where the tests run as root (CI does) the server runs as `nobody`,
in a folder given to it. Tests that need it are skipped, saying why, where the binaries or
psycopg are missing."""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

import pytest

SERVER_USER = "nobody"  # an account every Debian system has, owning no files of its own


def server_binaries():
    """The folder of the newest PostgreSQL server binaries installed, or None."""
    for folder in sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda f: int(Path(f).parent.name)
                         if Path(f).parent.name.isdigit() else 0, reverse=True):
        if os.access(os.path.join(folder, "initdb"), os.X_OK) and os.access(os.path.join(folder, "pg_ctl"), os.X_OK):
            return Path(folder)
    return None


def _as_server(command: list) -> list:
    if os.geteuid() != 0:
        return command
    return ["runuser", "-u", SERVER_USER, "--", *command]


def _environment() -> dict:
    # the sanitizer run preloads its runtime: not for the server
    keep = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC", "ASAN_OPTIONS",
                                                             "UBSAN_OPTIONS", "PGDATA", "PGHOST", "PGPORT")}
    return {**keep, "LC_ALL": "C"}


class Server:
    def __init__(self):
        # as root, in /tmp: the server's own user must reach the folder, which a TMPDIR under
        # root's home would not let it
        self.folder = Path(tempfile.mkdtemp(prefix="tarnwick-pg-", dir="/tmp" if os.geteuid() == 0 else None))
        self.data, self.socket = self.folder / "data", self.folder / "socket"
        self.bin = server_binaries()
        self.databases = 0

    def start(self) -> None:
        os.chmod(self.folder, 0o755)  # the server's own user must reach it
        for folder in (self.data, self.socket):
            folder.mkdir()
            if os.geteuid() == 0:
                shutil.chown(folder, SERVER_USER)
        run = dict(check=True, capture_output=True, env=_environment(), timeout=180, cwd=self.folder)
        subprocess.run(_as_server([str(self.bin / "initdb"), "-D", str(self.data), "-U", "tarnwick", "--auth=trust",
                                   "--no-locale", "-E", "UTF8", "--no-sync"]), **run)
        options = f"-k {self.socket} -c listen_addresses= -c fsync=off -c max_connections=60"
        subprocess.run(_as_server([str(self.bin / "pg_ctl"), "-D", str(self.data), "-o", options, "-l",
                                   str(self.data / "server.log"), "-w", "-t", "60", "start"]), **run)

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://tarnwick@/{database}?host={self.socket}"

    def new_database(self) -> str:
        """The URL of a database made for one test."""
        import psycopg

        self.databases += 1
        name = f"history_{self.databases}"
        with psycopg.connect(self.url(), autocommit=True) as connection:
            connection.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def stop(self) -> None:
        subprocess.run(_as_server([str(self.bin / "pg_ctl"), "-D", str(self.data), "-m", "immediate", "stop"]),
                       capture_output=True, env=_environment(), timeout=60, cwd=self.folder)
        shutil.rmtree(self.folder, ignore_errors=True)


def need_postgresql():
    """Skips the test where no server can be made here, saying why."""
    try:
        import psycopg  # noqa: F401
    except ImportError as exc:
        pytest.skip(f"psycopg 3 cannot be imported ({exc}): pip install 'tarnwick[postgresql]'")
    if server_binaries() is None:
        pytest.skip("the PostgreSQL server binaries (initdb, pg_ctl) are not installed: apt-get install postgresql")
    if os.geteuid() == 0 and shutil.which("runuser") is None:
        pytest.skip("running as root without runuser: the server cannot be started as another user")


@pytest.fixture(scope="session")
def postgresql_server():
    need_postgresql()
    server = Server()
    try:
        server.start()
    except subprocess.CalledProcessError as exc:
        log = server.data / "server.log"
        detail = (exc.stderr or b"").decode(errors="replace").strip().splitlines()[-1:] or [""]
        said = log.read_text(errors="replace")[-300:] if log.exists() else ""
        server.stop()
        pytest.fail(f"the PostgreSQL server did not start: {detail[0]} {said}", pytrace=False)
    yield server
    server.stop()


@pytest.fixture(params=["sqlite", "postgresql"])
def store_location(request, tmp_path):
    """A store on each engine: a new SQLite file, a new PostgreSQL database."""
    if request.param == "sqlite":
        return str(tmp_path / "history.sqlite")
    return request.getfixturevalue("postgresql_server").new_database()
