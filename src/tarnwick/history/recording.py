"""What `record` puts into a store: the build as `analyze` reads it (a stored JSON report too),
its commit as given or as git says, its verdict with the waivers given to it, and its stack
figures where its stack files were read."""

from __future__ import annotations

from datetime import datetime, timezone
from typing import NamedTuple, Optional

from tarnwick import __version__
from tarnwick.history import git
from tarnwick.history.engines import HistoryError


class CommitOf(NamedTuple):
    sha: str
    parents: Optional[tuple]
    time: Optional[int]
    subject: Optional[str]
    branch: Optional[str]
    from_git: Optional[git.Commit]  # what git said of it, where it knew it


def _seconds(text: str) -> int:
    try:
        return int(text)
    except ValueError:
        pass
    try:
        moment = datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise HistoryError(f"--time {text!r} is neither ISO 8601 nor seconds since the epoch") from None
    if moment.tzinfo is None:
        moment = moment.astimezone()
    return int(moment.timestamp())


def commit_of(args) -> CommitOf:
    """The build's commit: as given (--commit, --parent, --time, --branch), the rest from git."""
    known = git.commit(args.commit or "HEAD")
    if args.commit is None and known is None:
        raise HistoryError("not inside a git work tree (or git is missing): give --commit, and --parent for its parents")
    sha = known.sha if known is not None else args.commit
    parents = tuple(args.parent) if args.parent else known.parents if known is not None else None
    when = _seconds(args.time) if args.time else known.time if known is not None else None
    branch = args.branch or (git.branch() if known is not None else None)
    return CommitOf(sha, parents, when, known.subject if known is not None else None, branch, known)


ANCESTORS = 10_000  # the most a record notes: a gap longer than that is not worth telling


def ancestors(commit: CommitOf, store) -> list:
    """The first-parent ancestors git names that the store does not know yet (the commits
    between the last recorded build and this one), so that a gap shows as one. A store with
    no build yet needs none: its history starts here."""
    if commit.from_git is None or not commit.parents or not store.targets():
        return []
    return git.first_parent_ancestors(commit.parents[0], store.knows_parents, ANCESTORS)


def entry(build, commit: CommitOf, args, config, path: str) -> tuple:
    """(the store's Entry of a build read by `api.read_build`, warnings)."""
    from tarnwick.compare.gates import Verdict, policy_gates
    from tarnwick.history.store import Entry
    from tarnwick.history.tables import build_tables, section_regions
    from tarnwick.history.waivers import from_commit, parse, unknown_regions

    whole = build.footprint
    used = whole.regions or {}
    order = [r.name for r in build.report.regions if r.name in used] + sorted(set(used) - {r.name for r in build.report.regions})
    regions = {name: (used[name], whole.region_sizes.get(name)) for name in dict.fromkeys(order)}
    waivers = [parse(text, "--accept-growth") for text in args.accept_growth]
    problems = unknown_regions(waivers, regions)
    if problems:
        raise HistoryError("; ".join(problems))
    warnings = []
    if commit.from_git is not None:
        from_trailers, warnings = from_commit(commit.from_git)
        warnings += [f"{line}; the trailer is left out" for line in unknown_regions(from_trailers, regions)]
        waivers += from_trailers
    verdict = build.stored_verdict if build.stored_verdict is not None else \
        Verdict(policy_gates(build.report, config.policies)).as_json()
    verdict = _accepted(verdict, waivers)
    details = {"verdict": verdict, "waivers": [w.as_json() for w in waivers],
               "toolchain": build.report.metadata.toolchain_detected, "tool_version": __version__, "read": path,
               "section_regions": section_regions(build.report)}
    stack = build.stack_document()
    if stack:
        details["stack"] = {key: stack.get(key) for key in ("worst_case", "bounded", "reservation", "verdict", "units")}
        details["stack"]["entry_points"] = [{k: e.get(k) for k in ("name", "kind", "worst_case")}
                                            for e in stack.get("entry_points", []) if isinstance(e, dict)]
    target = build.report.metadata.target_name
    return Entry(target=target, commit=commit.sha, parents=commit.parents, time=commit.time, subject=commit.subject,
                 branch=commit.branch, label=args.label, tables=build_tables(build), regions=regions,
                 flash=whole.flash, ram=whole.ram, status=verdict.get("status"), details=details,
                 recorded_at=datetime.now(timezone.utc).isoformat()), warnings


def _accepted(verdict: dict, waivers: list) -> dict:
    """A verdict (as the JSON report holds it) with the waivers applied to its growth gates."""
    from tarnwick.compare.gates import GrowthGate
    from tarnwick.history.waivers import accept

    listed = verdict.get("growth_gates")
    if not waivers or not isinstance(listed, list):
        return verdict
    gates = [GrowthGate(g.get("region"), g.get("given"), g.get("limit"), g.get("growth"), bool(g.get("failed")),
                        g.get("reason", ""), g.get("accepted")) for g in listed if isinstance(g, dict)]
    gates = accept(gates, waivers)
    policies = verdict.get("policies") if isinstance(verdict.get("policies"), list) else []
    failed = any(isinstance(p, dict) and p.get("failed") for p in policies) or any(g.failed for g in gates)
    growth_reasons = {g.get("reason") for g in listed if isinstance(g, dict)}
    failures = [line for line in verdict.get("failures", []) if line not in growth_reasons]
    failures += [g.reason for g in gates if g.failed]
    return {**verdict, "status": "failed" if failed else "passed", "failures": failures,
            "growth_gates": [g.as_json() for g in gates]}
