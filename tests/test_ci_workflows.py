"""The CI examples in docs/ci run as written: every command of the GitHub Actions workflow and
of the GitLab CI job, in a repository of the example firmware whose change grows a global and
a static buffer. What only the CI host has is a stub on the PATH that records its calls (the
package installers, GitHub's `gh` and GitLab's API through `curl`); everything else, git, the
cross toolchain and tarnwick, is real."""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from firmware_builds import need_arm_gcc

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs" / "ci"

STUBS = {
    # the installers: recorded, nothing installed (the test machine has what they install)
    "sudo": 'echo "sudo $*" >> "$STUB_LOG"',
    "apt-get": 'echo "apt-get $*" >> "$STUB_LOG"',
    "pip": 'echo "pip $*" >> "$STUB_LOG"',
    # GitHub's API: a comment list that holds the one comment posted so far
    "gh": '''echo "gh $*" >> "$STUB_LOG"
case " $* " in
  *" --jq "*) if [ -f "$STUB_STATE/comment" ]; then echo 4711; fi ;;
  *) for arg in "$@"; do case "$arg" in body=@*) cp "${arg#body=@}" "$STUB_STATE/comment";; esac; done ;;
esac''',
    # GitLab's API, through curl: the notes of the merge request
    "curl": '''echo "curl $*" >> "$STUB_LOG"
case " $* " in
  *" -X "*) for arg in "$@"; do case "$arg" in body@*) cp "${arg#body@}" "$STUB_STATE/comment";; esac; done ;;
  *) if [ -f "$STUB_STATE/comment" ]; then python3 -c 'import json,sys; print(json.dumps([{"id": 4711, "body": open(sys.argv[1]).read()}]))' "$STUB_STATE/comment"; else echo "[]"; fi ;;
esac''',
}


@pytest.fixture
def repository(tmp_path):
    """A repository of the example firmware: the target branch, then a change that grows
    dma_ring (a global) and frame_buffer (a static) by 1,024 bytes each."""
    need_arm_gcc()
    repo = tmp_path / "repo"
    firmware = repo / "examples" / "firmware"
    shutil.copytree(ROOT / "examples" / "firmware", firmware, ignore=shutil.ignore_patterns("maps", "*.json"))
    shutil.copytree(DOCS, repo / "docs" / "ci")

    def git(*args):
        return subprocess.run(["git", *args], cwd=repo, check=True, capture_output=True, text=True).stdout.strip()

    git("init", "-q", "-b", "main")
    git("-c", "user.name=ci", "-c", "user.email=ci@localhost", "commit", "-q", "--allow-empty", "-m", "empty")
    git("add", "-A")
    git("-c", "user.name=ci", "-c", "user.email=ci@localhost", "commit", "-q", "-m", "target branch")
    base = git("rev-parse", "HEAD")
    main_c = firmware / "src" / "main.c"
    main_c.write_text(main_c.read_text().replace("#define FRAME_BUFFER_BYTES 4096", "#define FRAME_BUFFER_BYTES 5120")
                      .replace("#define DMA_RING_WORDS 512", "#define DMA_RING_WORDS 768"))
    git("-c", "user.name=ci", "-c", "user.email=ci@localhost", "commit", "-q", "-am", "bigger buffers")
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    for name, body in {**STUBS, "tarnwick": f'exec "{sys.executable}" -m tarnwick "$@"'}.items():
        (stubs / name).write_text("#!/usr/bin/env bash\n" + body + "\n")
        (stubs / name).chmod(0o755)
    state = tmp_path / "state"
    state.mkdir()
    environment = {**os.environ, "PATH": f"{stubs}{os.pathsep}{os.environ['PATH']}",
                   "STUB_LOG": str(tmp_path / "calls.log"), "STUB_STATE": str(state)}
    for name in [n for n in environment if n.startswith(("GITHUB_", "CI_"))]:
        del environment[name]
    return repo, base, environment, tmp_path


def _block(lines: list, at: int, indent: int) -> tuple:
    """A YAML block scalar's text (`|`) starting after line `at`, and the line after it."""
    body = []
    while at < len(lines) and (not lines[at].strip() or len(lines[at]) - len(lines[at].lstrip()) >= indent):
        body.append(lines[at][indent:])
        at += 1
    return "\n".join(body).rstrip() + "\n", at


def github_steps(text: str) -> list:
    """The steps of the workflow's one job: {key: value}, `env` as a mapping."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.strip() == "steps:") + 1
    steps, at = [], start
    while at < len(lines):
        line = lines[at]
        if line.startswith("      - "):
            steps.append({})
            line = "        " + line[8:]
        if not line.startswith("        ") or line.startswith("         "):
            at += 1
            continue
        key, _, value = line.strip().partition(":")
        value = value.strip()
        at += 1
        if value == "|":
            steps[-1][key], at = _block(lines, at, 10)
        elif value == "" and key in ("env", "with"):
            mapping = {}
            while at < len(lines) and lines[at].startswith("          "):
                name, _, item = lines[at].strip().partition(":")
                mapping[name] = item.strip()
                at += 1
            steps[-1][key] = mapping
        else:
            steps[-1][key] = value
    return steps


def gitlab_job(text: str) -> dict:
    """The job's variables and its before_script, script and after_script commands."""
    lines = text.splitlines()
    job: dict = {"variables": {}}
    at = 0
    while at < len(lines):
        line = lines[at]
        at += 1
        key = line.strip().rstrip(":")
        if not line.startswith("  ") or line.startswith("   ") or not line.rstrip().endswith(":"):
            continue
        if key == "variables":
            while at < len(lines) and lines[at].startswith("    "):
                name, _, value = lines[at].strip().partition(":")
                job["variables"][name] = value.strip()
                at += 1
        elif key in ("before_script", "script", "after_script"):
            commands = []
            while at < len(lines) and lines[at].startswith("    - "):
                item = lines[at][6:]
                at += 1
                if item == "|":
                    item, at = _block(lines, at, 6)
                commands.append(item)
            job[key] = commands
    return job


def _expand(value: str, context: dict) -> str:
    return re.sub(r"\$\{\{\s*([\w.]+)\s*\}\}", lambda m: context[m.group(1)], value)


def run_github(repo: Path, environment: dict, tmp_path: Path, base: str) -> list:
    """Runs every step of the workflow as the runner would; the exit status of each run step."""
    context = {"github.event.pull_request.base.sha": base, "github.base_ref": "main", "github.token": "t0ken",
               "github.event.pull_request.number": "42"}
    host = {**environment, "GITHUB_ACTIONS": "true", "GITHUB_REPOSITORY": "team/firmware",
            "GITHUB_STEP_SUMMARY": str(tmp_path / "summary.md")}
    statuses, failed = [], False
    for step in github_steps((DOCS / "github-actions.yml").read_text()):
        if "run" not in step:
            continue
        condition = step.get("if", "")
        if failed and "always()" not in condition:
            continue
        if "hashFiles('footprint.md') != ''" in condition and not (repo / "footprint.md").exists():
            continue
        env = {**host, **{k: _expand(v, context) for k, v in step.get("env", {}).items()}}
        result = subprocess.run(["bash", "--noprofile", "--norc", "-eo", "pipefail", "-c", step["run"]],
                                cwd=repo, env=env, capture_output=True, text=True, timeout=300)
        statuses.append((step.get("name"), result.returncode, result.stderr))
        failed = failed or result.returncode != 0
    return statuses


def test_the_github_workflow_gates_comments_and_updates_its_comment(repository):
    repo, base, environment, tmp_path = repository
    first = run_github(repo, environment, tmp_path, base)
    names = [name for name, _, _ in first]
    assert names == ["Toolchain and tarnwick", "Compare with the target branch", "Post or update the comment"]
    (_, setup, _), (_, gate, gate_err), (_, post, post_err) = first
    assert setup == 0 and post == 0, post_err
    assert gate == 1, gate_err  # RAM grew by 1,024 B, more than 2% of its 20 KiB; and passed its budget
    assert "::error title=tarnwick::RAM grew by 1,024 B, more than --fail-on-growth 409 B" in gate_err
    assert "::error title=tarnwick::fail_on_budget (budget.RAM)" in gate_err
    comment = (tmp_path / "state" / "comment").read_text()
    verdict = comment.splitlines()[3]
    assert comment.startswith("<!-- tarnwick target=sensor-node -->\n") and verdict.endswith(f"since `main@{base}`.")
    assert verdict.startswith("❌ Failed: fail\\_on\\_budget \\(budget.RAM\\); RAM grew by 1,024 B, more than")
    assert "`dma_ring`" in comment and "`frame_buffer`" in comment and "🆕" not in comment and "🗑️" not in comment
    assert (tmp_path / "summary.md").read_text().startswith("<!-- tarnwick target=sensor-node -->")
    report = json.loads((repo / "footprint.json").read_text())
    assert report["verdict"]["status"] == "passed"  # the change alone: no overflow; budgets only warn there
    run_github(repo, environment, tmp_path, base)  # the next push updates the same comment
    calls = (tmp_path / "calls.log").read_text().splitlines()
    assert calls[0] == "sudo apt-get install -y gcc-arm-none-eabi libnewlib-arm-none-eabi"
    assert calls[1].startswith("pip install tools/tarnwick-")
    posts = [c for c in calls if c.startswith("gh api") and "--jq" not in c]
    assert posts == ["gh api repos/team/firmware/issues/42/comments -F body=@footprint.md",
                     "gh api -X PATCH repos/team/firmware/issues/comments/4711 -F body=@footprint.md"]


def test_the_gitlab_job_gates_and_keeps_one_note(repository):
    repo, base, environment, tmp_path = repository
    job = gitlab_job((DOCS / "gitlab-ci.yml").read_text())
    host = {**environment, "CI_MERGE_REQUEST_DIFF_BASE_SHA": base, "CI_MERGE_REQUEST_TARGET_BRANCH_NAME": "main",
            "CI_API_V4_URL": "https://gitlab.invalid/api/v4", "CI_PROJECT_ID": "7", "CI_MERGE_REQUEST_IID": "42",
            "FOOTPRINT_TOKEN": "t0ken", **job["variables"]}
    for _ in range(2):  # the second push updates the note
        script = "\n".join(job["before_script"] + job["script"])
        gate = subprocess.run(["bash", "-e", "-c", script], cwd=repo, env=host, capture_output=True, text=True,
                              timeout=300)
        assert gate.returncode == 1, gate.stderr
        after = subprocess.run(["bash", "-e", "-c", "\n".join(job["after_script"])], cwd=repo, env=host,
                               capture_output=True, text=True, timeout=60)
        assert after.returncode == 0, after.stderr
    comment = (tmp_path / "state" / "comment").read_text()
    assert comment.startswith("<!-- tarnwick target=sensor-node -->") and f"since `main@{base}`" in comment
    calls = (tmp_path / "calls.log").read_text().splitlines()
    assert calls[0].startswith("apt-get update") and calls[2].startswith("pip install --break-system-packages tools/")
    writes = [c.split(" --header")[0] for c in calls if c.startswith("curl -sf -X")]
    assert writes == ["curl -sf -X POST", "curl -sf -X PUT"]
