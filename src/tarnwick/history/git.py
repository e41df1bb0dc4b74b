"""What git says of a commit, when tarnwick runs inside a work tree: its hash, parents, time,
subject and the growth its message accepts (`Footprint-Accepted:` trailers), the branch checked
out (or the one a CI host names, since CI checks out a detached commit), and the first-parent
ancestors a store does not know yet. Outside a work tree, or without git, every answer is None."""

from __future__ import annotations

import os
import subprocess
from typing import Callable, NamedTuple, Optional

TRAILER = "Footprint-Accepted"
# The branch a CI job builds, where git shows a detached HEAD: GitHub's pull request's head or
# the pushed branch, GitLab's branch or tag.
_CI_BRANCH = ("GITHUB_HEAD_REF", "GITHUB_REF_NAME", "CI_COMMIT_BRANCH", "CI_COMMIT_REF_NAME")
_FIELDS = "%H%x00%P%x00%ct%x00%s"


class Commit(NamedTuple):
    sha: str
    parents: tuple  # first parent first
    time: int  # seconds since the epoch
    subject: str


def _git(*args: str, folder: Optional[str] = None) -> Optional[str]:
    environment = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "GIT_PAGER", "PAGER")}
    try:
        done = subprocess.run(["git", *args], cwd=folder, capture_output=True, timeout=120, env=environment,
                              stdin=subprocess.DEVNULL)
    except (OSError, subprocess.SubprocessError):
        return None
    if done.returncode != 0:
        return None
    return done.stdout.decode("utf-8", "replace")


def _parsed(line: str) -> Optional[Commit]:
    fields = line.split("\0")
    if len(fields) != 4 or not fields[0]:
        return None
    try:
        time = int(fields[2])
    except ValueError:
        return None
    return Commit(fields[0], tuple(fields[1].split()), time, fields[3])


def commit(ref: str = "HEAD") -> Optional[Commit]:
    """The commit `ref` names, or None where git cannot say."""
    shown = _git("log", "-1", f"--format={_FIELDS}", f"{ref}^{{commit}}", "--")
    return _parsed(shown.rstrip("\n")) if shown else None


def resolve(ref: str) -> Optional[str]:
    """The hash of the commit a name (branch, tag, `HEAD~3`, short hash) stands for."""
    found = _git("rev-parse", "--verify", "--quiet", f"{ref}^{{commit}}")
    return found.strip() if found else None


def branch() -> Optional[str]:
    """The branch checked out, else the one the CI host builds."""
    found = _git("symbolic-ref", "--short", "--quiet", "HEAD")
    if found and found.strip():
        return found.strip()
    return next((os.environ[name] for name in _CI_BRANCH if os.environ.get(name)), None)


def accepted_growth(commit_: Commit) -> list:
    """The `Footprint-Accepted:` trailers of the commit's message and, for a merge, of the
    commits it brings in (a pull request's merge commit carries none of its own)."""
    since = [f"^{commit_.parents[0]}"] if commit_.parents else ["-1"]
    shown = _git("log", f"--format=%(trailers:key={TRAILER},valueonly=true,unfold=true)%x00", commit_.sha,
                 *since, "--")
    if not shown:
        return []
    return [line.strip() for line in shown.replace("\0", "\n").splitlines() if line.strip()]


def first_parent_ancestors(start: str, known: Callable[[str], bool], limit: int = 100_000) -> list:
    """The commits of `start`'s first-parent chain, newest first, down to (not including) the
    first one `known` says the store has, at most `limit`."""
    environment = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    try:
        process = subprocess.Popen(["git", "log", "--first-parent", f"--format={_FIELDS}", start, "--"],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                   env=environment)
    except OSError:
        return []
    found = []
    try:
        for raw in process.stdout:
            parsed = _parsed(raw.decode("utf-8", "replace").rstrip("\n"))
            if parsed is None or known(parsed.sha) or len(found) >= limit:
                break
            found.append(parsed)
    finally:
        process.stdout.close()
        if process.poll() is None:
            process.kill()
        process.wait()
    return found
