"""What a run tells the CI host it runs under, in the host's own conventions: GitHub Actions
(`GITHUB_ACTIONS=true`: failed gates as `::error` annotations, the markdown report in the job
summary) and Azure Pipelines (`TF_BUILD`: `##vso[task.logissue]` per finding and failed gate,
`##vso[task.complete]` where the verdict lowers the step's result, the markdown report uploaded
as the run's summary).

Both hosts read commands from the job's output, so nothing a map names may reach the start of a
line there as one: under GitHub the human-read reports on standard output are wrapped in the
runner's `stop-commands` token (the machine-read ones never start a line with `::`: names are
quoted there), and under Azure `##vso[` and a leading `##[` are broken wherever they appear in
output and messages. The job summary is appended to only when it is a regular file that is none
of the run's inputs, and is opened without waiting, so a FIFO nobody reads cannot hang the run."""

from __future__ import annotations

import errno
import os
import re
import stat
import sys

from tarnwick.support.files import identity, kind_of, reason
from tarnwick.support.patterns import LazyPattern

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Callable, Optional

GITHUB, AZURE = "github", "azure"
HUMAN_FORMATS = ("text", "markdown", "html")
_AZURE_COMMAND = LazyPattern(r"##(vso\[)|^(\s*)##\[", re.IGNORECASE | re.MULTILINE)
_WORD_JOINER = "\u2060"  # invisible, and ends the host's match of its command prefix


def current(environ=None) -> Optional[str]:
    """The CI host whose conventions apply, or None."""
    environ = os.environ if environ is None else environ
    if environ.get("GITHUB_ACTIONS") == "true":
        return GITHUB
    if environ.get("TF_BUILD", "").lower() == "true":
        return AZURE
    return None


def neutral(text: str, host: Optional[str] = None) -> str:
    """Text the host will not read a command in (Azure finds `##vso[` anywhere in a line)."""
    host = current() if host is None else host
    if host != AZURE or "##" not in text:
        return text
    return _AZURE_COMMAND.sub(lambda m: f"##{_WORD_JOINER}{m[1]}" if m[1] else f"{m[2]}##{_WORD_JOINER}[", text)


class StdoutGuard:
    """Wraps what a run writes to standard output so that no line of it is a host command:
    `opening` and `closing` go around it, `write` filters each piece. Line-by-line filtering
    keeps a command split over two pieces from slipping through."""

    def __init__(self, write: Callable[[bytes], object], kind: str, host: Optional[str]):
        host = None if _stdout_is_a_file() else host  # `> report.txt`: the host reads none of it
        self._write, self._host, self._held = write, host, b""
        self.opening = self.closing = b""
        if host == GITHUB and kind in HUMAN_FORMATS:
            token = os.urandom(16).hex()
            self.opening, self.closing = f"::stop-commands::{token}\n".encode(), f"::{token}::\n".encode()

    def write(self, piece: bytes) -> None:
        if self._host != AZURE:
            self._write(piece)
            return
        data = self._held + piece
        cut = data.rfind(b"\n") + 1
        self._held = data[cut:]
        if cut:
            self._write(self._filtered(data[:cut]))

    def finish(self) -> None:
        if self._held:
            self._write(self._filtered(self._held))
            self._held = b""

    def _filtered(self, data: bytes) -> bytes:
        if b"##" not in data:
            return data
        return neutral(data.decode("utf-8", "surrogateescape"), AZURE).encode("utf-8", "surrogateescape")


def _stdout_is_a_file() -> bool:
    try:
        return stat.S_ISREG(os.fstat(sys.stdout.fileno()).st_mode)
    except (OSError, ValueError, AttributeError):
        return False


def _github_text(text: str) -> str:
    """A message as a GitHub workflow command carries it."""
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def _azure_data(text: str) -> str:
    text = neutral(text, AZURE)
    return text.replace("%", "%AZP25").replace("\r", "%0D").replace("\n", "%0A")


def _azure_property(text: str) -> str:
    return _azure_data(text).replace(";", "%3B").replace("]", "%5D")


def summary_target(path: str, inputs: dict, outputs=()) -> tuple:
    """(open file, None) for appending the job summary, or (None, why not): the file must be
    a regular file, none of the run's inputs and none of the reports it wrote. Opened without
    waiting for a reader."""
    named = identity(path)
    if named is not None:
        for role, given in inputs.items():
            if given is not None and identity(given) == named:
                return None, f"it is the {role} {given}: refusing to append to an input"
        for written in outputs:
            if identity(os.fspath(written)) == named:
                return None, f"it is the report {os.fspath(written)} this run wrote: refusing to append to it"
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_NONBLOCK | os.O_CLOEXEC, 0o644)
    except OSError as exc:
        return None, "not a regular file (a FIFO nobody reads)" if exc.errno == errno.ENXIO else reason(exc)
    kind = kind_of(os.fstat(descriptor).st_mode)
    if kind is not None:
        os.close(descriptor)
        return None, f"not a regular file ({kind})"
    os.set_blocking(descriptor, True)
    return os.fdopen(descriptor, "w", encoding="utf-8"), None


def tell(run, inputs: dict, markdown: Callable[[], str], say: Callable[[str, str], None],
         host: Optional[str] = None, outputs=()) -> None:
    """Tells the host the run's verdict (`run`: a `tarnwick.render.host_findings.HostRun`) in
    its conventions; `inputs`: role -> path of what the run read; `markdown()`: the comment
    report; `outputs`: the files the run wrote."""
    host = current() if host is None else host
    if host == GITHUB:
        _tell_github(run, inputs, markdown, say, outputs)
    elif host == AZURE:
        _tell_azure(run, inputs, markdown, say, outputs)


def _plain(line: str) -> str:
    from tarnwick.render.escape import plain

    return plain(line)


def _tell_github(run, inputs, markdown, say, outputs) -> None:
    for line in run.failures:
        print(f"::error title=tarnwick::{_github_text(_plain(line))}", file=sys.stderr)
    summary = os.environ.get("GITHUB_STEP_SUMMARY")
    if not summary:
        return
    handle, why = summary_target(summary, inputs, outputs)
    if handle is None:
        say("warning", f"GITHUB_STEP_SUMMARY {summary}: {why}; the job summary is not written")
        return
    try:
        with handle:
            handle.write(markdown() + "\n")
    except OSError as exc:
        say("warning", f"GITHUB_STEP_SUMMARY {summary}: {reason(exc)}; the job summary is not written")


def _tell_azure(run, inputs, markdown, say, outputs) -> None:
    lines = []
    for finding in run.findings():
        if finding.level not in ("error", "warning"):
            continue
        where = f"sourcepath={_azure_property(finding.path)};" if finding.path else ""
        lines.append(f"##vso[task.logissue type={finding.level};{where}code={_azure_property(_plain(finding.key))};]"
                     f"{_azure_data(_plain(finding.message))}")
    summary = _azure_summary(run, inputs, markdown, say, outputs)
    if summary is not None:
        lines.append(f"##vso[task.uploadsummary]{_azure_data(summary)}")
    # only ever lowering the step's result: a later run of the same step (another map) that
    # passes must not mark an earlier failure as a success
    if run.failed:
        lines.append("##vso[task.complete result=Failed;]tarnwick: gates failed")
    elif any(line.startswith("##vso[task.logissue type=warning") for line in lines):
        lines.append("##vso[task.complete result=SucceededWithIssues;]tarnwick: gates passed, with warnings")
    print("\n".join(lines), file=sys.stderr)


def _azure_summary(run, inputs, markdown, say, outputs) -> Optional[str]:
    """The markdown report written where the agent keeps its temporary files, for it to upload."""
    folder = os.environ.get("AGENT_TEMPDIRECTORY") or os.environ.get("TMPDIR") or "/tmp"
    name = "".join(c if c.isalnum() or c in "-_." else "_" for c in run.target)[:100]
    path = os.path.join(os.path.abspath(folder), f"tarnwick-{name or 'report'}.md")
    from tarnwick.support.files import write_report

    handle, why = summary_target(path, inputs, outputs)
    if handle is None:
        say("warning", f"{path}: {why}; the run's summary is not uploaded")
        return None
    handle.close()
    try:
        write_report(path, lambda write: write((markdown() + "\n").encode("utf-8")))
    except OSError as exc:
        say("warning", f"{path}: {reason(exc)}; the run's summary is not uploaded")
        return None
    return path
