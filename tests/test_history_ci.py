"""The build history's CI examples run as written: the GitHub Actions workflow that records every
push to main onto a branch of JSON Lines (pushed to a bare repository standing in for the
host, which turns the first push away as if another job had pushed first), the GitLab CI job
that records into a real PostgreSQL server, and then each host's pull-request job, whose
comment shows the trend. Stubs stand in for the package installers and the hosts' APIs only."""

from __future__ import annotations

import json
import subprocess

import yaml

from history_servers import postgresql_server  # noqa: F401  (a fixture)
from test_ci_workflows import DOCS, _github_context, repository, run_github_steps  # noqa: F401

_REJECT_ONCE = """#!/usr/bin/env bash
# turns the first push of the history branch away, as a push another job made first would
if [ ! -f "$GIT_DIR/rejected-once" ]; then touch "$GIT_DIR/rejected-once"; echo "rejected" >&2; exit 1; fi
"""


def _git(repo, *args) -> str:
    return subprocess.run(["git", *args], cwd=repo, check=True, capture_output=True, text=True).stdout.strip()


def _run(repo, environment: dict, script: str) -> subprocess.CompletedProcess:
    return subprocess.run(["bash", "--noprofile", "--norc", "-eo", "pipefail", "-c", script], cwd=repo,
                          env=environment, capture_output=True, text=True, timeout=300)


def _gitlab_job(name: str) -> dict:
    (job,) = yaml.safe_load((DOCS / name).read_text()).values()
    return job


def _workflow(name: str) -> dict:
    return yaml.safe_load((DOCS / name).read_text())


def test_the_github_history_workflow_keeps_a_branch_the_pull_request_comment_reads(repository):
    repo, base, environment, tmp_path = repository
    origin = tmp_path / "origin.git"
    subprocess.run(["git", "init", "-q", "--bare", str(origin)], check=True)
    _git(repo, "remote", "set-url", "origin", str(origin))  # the host: it has the branches, and takes pushes
    _git(repo, "push", "-q", "origin", "main", "change")
    (origin / "hooks" / "pre-receive").write_text(_REJECT_ONCE)
    (origin / "hooks" / "pre-receive").chmod(0o755)
    change = _git(repo, "rev-parse", "HEAD")
    host = {**environment, "GITHUB_ACTIONS": "true", "GITHUB_REF_NAME": "main", "GITHUB_REPOSITORY": "team/firmware"}
    context = _github_context(base, environment)
    for commit in (base, change):  # two pushes to main, each recorded by its own job
        _git(repo, "checkout", "-q", "--detach", commit)
        statuses = run_github_steps(_workflow("github-history.yml"), repo, host, tmp_path, context)
        assert [code for _, code, _ in statuses] == [0, 0], statuses
    _git(repo, "checkout", "-q", "change")
    assert (origin / "rejected-once").exists()  # the first push was turned away, and tried again
    lines = [json.loads(line) for line in _git(origin, "show", "footprint-history:history.jsonl").splitlines()]
    builds = [line for line in lines if line["kind"] == "build"]
    assert [(b["commit"], b["parents"], b["branch"]) for b in builds] == [
        (base, [_git(repo, "rev-parse", f"{base}^")], "main"), (change, [base], "main")]
    assert builds[1]["regions"]["RAM"]["used"] - builds[0]["regions"]["RAM"]["used"] == 1024
    assert len(_git(origin, "rev-list", "footprint-history").split()) == 2
    statuses = run_github_steps(_workflow("github-actions.yml"), repo, environment, tmp_path, context)
    assert [code for _, code, _ in statuses] == [0, 1, 0]  # the gate fails on RAM's growth, as before
    posted = run_github_steps(_workflow("github-comment.yml"), tmp_path / "runner", environment, tmp_path, context)
    assert [code for _, code, _ in posted] == [0, 0], posted
    (comment,) = [path.read_text() for path in (tmp_path / "state" / "comments").iterdir()]
    assert "**Trend** over the last 2 builds of `main`, then this build:" in comment
    ram = next(line for line in comment.splitlines() if line.startswith("- `RAM` "))
    assert ram.endswith(f"{builds[1]['regions']['RAM']['used']:,} B (±0 B since the last)")


def test_the_gitlab_history_job_records_into_postgresql_and_the_note_shows_the_trend(repository, postgresql_server):
    repo, base, environment, tmp_path = repository
    store = postgresql_server.new_database()
    change = _git(repo, "rev-parse", "HEAD")
    history = _gitlab_job("gitlab-history.yml")
    host = {**environment, "CI_COMMIT_BRANCH": "main", "CI_DEFAULT_BRANCH": "main", "FOOTPRINT_STORE": store,
            **{k: str(v) for k, v in history["variables"].items()}}
    for commit in (base, change):
        _git(repo, "checkout", "-q", "--detach", commit)
        done = _run(repo, host, "\n".join(history["before_script"] + history["script"]))
        assert done.returncode == 0, done.stderr
    _git(repo, "checkout", "-q", "change")
    listed = subprocess.run(["tarnwick", "history", "show", "--store", store, "--format", "json"],
                            cwd=repo, env=environment, capture_output=True, text=True)
    shown = json.loads(listed.stdout)["builds"]
    assert [(b["commit"], b["branch"]) for b in shown] == [(base, "main"), (change, "main")]
    request = _gitlab_job("gitlab-ci.yml")
    host = {**environment, "CI_MERGE_REQUEST_DIFF_BASE_SHA": base, "CI_MERGE_REQUEST_TARGET_BRANCH_NAME": "main",
            "CI_API_V4_URL": "https://gitlab.invalid/api/v4", "CI_PROJECT_ID": "7", "CI_MERGE_REQUEST_IID": "42",
            "FOOTPRINT_TOKEN": "t0ken", "FOOTPRINT_STORE": store, **{k: str(v) for k, v in request["variables"].items()}}
    gate = _run(repo, host, "\n".join(request["before_script"] + request["script"]))
    assert gate.returncode == 1, gate.stderr
    after = _run(repo, host, "\n".join(request["after_script"]))
    assert after.returncode == 0, after.stderr
    (comment,) = [path.read_text() for path in (tmp_path / "state" / "comments").iterdir()]
    assert "**Trend** over the last 2 builds of `main`, then this build:" in comment
