"""The answers over many builds, read from a store: the trend of each region along the
first-parent chain (a commit not measured is a gap, never skipped over), the commits that
grew a region most with what grew in them, and two recorded builds compared as `diff`
compares two builds.

Every commit is measured against its own first parent: a merge against the branch it was
merged into, so a branch's growth is the merge's. A commit whose first parent was not
recorded says so; its change is never guessed from an older build."""

from __future__ import annotations

from typing import Optional

from tarnwick.history import git
from tarnwick.history.engines import HistoryError
from tarnwick.history.store import Build, Store
from tarnwick.support.records import record



@record(slots=True)
class Point:
    """A commit of the chain, and its build where it was measured."""

    commit: str
    parent: Optional[str]  # the first parent; None for a root or where the store does not know
    time: Optional[int]
    subject: Optional[str]
    build: Optional[Build] = None
    regions: Optional[dict] = None  # name -> used bytes; None where not measured
    deltas: Optional[dict] = None  # name -> bytes against the first parent's build; None where it was not recorded

    @property
    def measured(self) -> bool:
        return self.build is not None


@record
class Trend:
    target: str
    branch: Optional[str]
    points: list  # Point, oldest first
    regions: list  # the region names, in the order the builds list them
    since: Optional[str] = None  # the commit the chain starts at, where one was asked for


def resolve(store: Store, ref: str, target: Optional[str] = None) -> str:
    """The commit a name stands for: a recorded commit's hash, a build's label, what git makes
    of it (a branch, a tag, `HEAD~3`), a recorded commit's unique short hash, or a branch the
    store has builds of (its latest)."""
    if store.commit_info(ref).time is not None:
        return ref
    labelled = [b for b in store.builds(target, details=False) if b.label == ref]
    if labelled:
        return labelled[-1].commit
    found = git.resolve(ref)
    if found is not None:
        return found
    if len(ref) >= 4:
        prefixed = store.matching_commits(ref.lower())
        if len(prefixed) == 1:
            return prefixed[0]
        if len(prefixed) > 1:
            raise HistoryError(f"{ref!r} is the start of several recorded commits: give more of it")
    for name in [target] if target is not None else store.targets():
        head = store.head(name, ref)
        if head is not None:
            return head
    raise HistoryError(f"{ref!r} is no recorded commit, build label or branch, and git does not know it here")


def trends(store: Store, target: Optional[str] = None, since: Optional[str] = None,
           head: Optional[str] = None, branch: Optional[str] = None, depth: Optional[int] = None) -> list:
    """A Trend per target (the one named, or every target the store has); `depth`: at most
    that many commits back."""
    with store.reading():
        known = store.targets()
        if not known:
            raise HistoryError(f"{store.name}: holds no builds (`tarnwick history record` adds them)")
        if target is not None and target not in known:
            raise HistoryError(f"{store.name}: no builds of target {target!r}" + _known(known, "targets"))
        found = []
        for name in [target] if target is not None else known:
            since_sha = resolve(store, since, name) if since is not None else None
            head_sha = resolve(store, head, name) if head is not None else store.head(name, branch)
            if head_sha is None:
                raise HistoryError(f"no builds of {name!r} on branch {branch!r}"
                                   + _known(store.branches(name), "branches"))
            found.append(_trend(store, name, head_sha, since_sha, branch, depth))
        return found


def _known(names: list, what: str) -> str:
    return f" (its {what}: {', '.join(names[:8])}{', ...' if len(names) > 8 else ''})" if names else " (it holds none)"


_FEW = 500  # a chain this short reads its own builds, not all the target's


def _trend(store: Store, target: str, head: str, since: Optional[str], branch: Optional[str],
           depth: Optional[int] = None) -> Trend:
    limit = depth if depth is not None else store.commit_count() + 1
    chain = store.chain(head, since, limit=limit)
    if len(chain) >= limit and depth is None:  # only parents given by hand that make a loop run this long
        seen: set = set()
        chain = [row for row in chain if not (row[0] in seen or seen.add(row[0]))]
    few = [row[0] for row in chain] if len(chain) <= _FEW else None
    latest: dict = {}  # commit -> its latest build
    for build in store.builds(target, details=False, commits=few):
        latest[build.commit] = build
    regions = store.regions(target, sizes=False, builds=[b.id for b in latest.values()] if few is not None else None)
    branch = branch or (latest[head].branch if head in latest else None)
    points = []
    find, figures = latest.get, regions.get
    for sha, parent, _known, time, subject in chain:
        build = find(sha)
        points.append(Point(sha, parent, time, subject, build, figures(build.id, {}) if build is not None else None))
    if since is not None and points[-1].commit != since and (depth is None or len(chain) < depth):
        raise HistoryError(f"{since[:12]} is not on the first-parent chain of {head[:12]}")
    if since is None:  # start at the first commit measured, not at the ancestors git named
        while points and not points[-1].measured:
            points.pop()
    points.reverse()
    for earlier, later in zip(points, points[1:]):
        before, after = earlier.regions, later.regions
        if before is None or after is None:
            continue
        if before.keys() == after.keys():
            later.deltas = {name: used - before[name] for name, used in after.items()}
        else:  # a region added or taken out
            later.deltas = {name: after.get(name, 0) - before.get(name, 0) for name in {**before, **after}}
    names: list = []
    for point in points:
        for name in point.regions or ():
            if name not in names:
                names.append(name)
    return Trend(target, branch, points, names, since)


@record
class Blamed:
    point: Point
    delta: int
    grew: list  # (kind, name, object file or None, bytes), the largest first
    more: int = 0  # entries that grew beyond those listed


@record
class Blame:
    trend: Trend
    region: str
    commits: list  # Blamed, the largest growth first
    unmeasured: list  # (Point, why) of the commits whose growth cannot be told
    total: Optional[int]  # the region's change over the whole range, where both ends were measured
    growing: int  # commits that grew it, listed or not


def blame(store: Store, region: str, target: Optional[str] = None, since: Optional[str] = None,
          top: int = 10, entries: int = 10, head: Optional[str] = None, branch: Optional[str] = None) -> list:
    """A Blame per target: the `top` commits that grew `region` most, each with the `entries`
    symbols, objects and source folders of the region that grew most in it."""
    found = []
    for trend in trends(store, target, since, head, branch):
        if region not in trend.regions:
            if target is None and len(store.targets()) > 1:
                continue
            raise HistoryError(f"no region {region!r} in the builds of {trend.target!r}"
                               + _known(trend.regions, "regions"))
        with store.reading():
            found.append(_blame(store, trend, region, top, entries))
    if not found:
        raise HistoryError(f"no target's builds have a region {region!r}")
    return found


def _blame(store: Store, trend: Trend, region: str, top: int, entries: int) -> Blame:
    # the first point is where the range starts (the commit asked for, or the first build
    # recorded): the others grew from it
    points = trend.points[1:]
    by_commit = {point.commit: point for point in trend.points}
    unmeasured, grown = [], []
    for point in points:
        if not point.measured:
            continue
        if point.deltas is None:
            unmeasured.append((point, f"its first parent {point.parent[:12]} was not recorded" if point.parent
                               else "the store does not know its parent"))
            continue
        delta = point.deltas.get(region, 0)
        if delta > 0:
            grown.append((delta, point))
    grown.sort(key=lambda item: (-item[0], -(item[1].time or 0), item[1].commit))
    levels = {("symbols", None), ("folders", region)}
    listed = []
    for delta, point in grown[:top]:
        parent = by_commit[point.parent].build
        changed = store.changes_since(point.build, parent, levels)
        placed = [store.section_regions(build.id) for build in (parent, point.build)]
        grew = _grown_in(changed, region, placed)
        counted: dict = {}
        kept = []
        for row in grew:
            counted[row[0]] = counted.get(row[0], 0) + 1
            if counted[row[0]] <= entries:
                kept.append(row)
        listed.append(Blamed(point, delta, kept, len(grew) - len(kept)))
    first, last = (trend.points[0], trend.points[-1]) if trend.points else (None, None)
    total = (last.regions.get(region, 0) - first.regions.get(region, 0)
             if first is not None and first.measured and last.measured else None)
    return Blame(trend, region, listed, unmeasured, total, len(grown))


def _grown_in(changed: dict, region: str, placed: list) -> list:
    """(kind, name, object file, bytes) of what grew in a region, symbols first, then objects and
    folders, each the largest first. A symbol is in the region where its section is, by each
    build's own sections (`placed`: section -> regions, before and after); an object's change is
    its symbols'. The entries that changed are compared as `diff` compares two builds, so objects
    built in another folder are still the same objects."""
    from tarnwick.compare.comparison import compare_footprints
    from tarnwick.compare.footprint import Footprint

    sides = []
    for side in (0, 1):
        symbols: dict = {}
        objects: dict = {}
        for key, pair in changed.get(("symbols", None), {}).items():
            entry = pair[side]
            if entry is not None and region in placed[side].get(entry[3] if len(entry) > 3 else None, ()):
                symbols[key] = entry
                objects[key[1]] = objects.get(key[1], 0) + entry[0]
        folders = {key: pair[side] for key, pair in changed.get(("folders", region), {}).items() if pair[side] is not None}
        sides.append(Footprint(symbols=symbols, objects=objects, files={}, folders=folders))
    comparison = compare_footprints(sides[0], sides[1], region)
    grew = []
    for word, found in (("symbol", comparison.symbols), ("object", comparison.objects), ("folder", comparison.folders)):
        grew += [(word, c.name, c.object_file, c.delta) for c in found if c.delta > 0]
    return grew


def compared(store: Store, old: str, new: str, target: Optional[str] = None):
    """(target, old commit, new commit, the comparison) of the two builds."""
    from tarnwick.compare.comparison import compare_footprints
    from tarnwick.history.tables import footprint_of

    with store.reading():
        targets = store.targets()
        if target is None:
            if len(targets) != 1:
                raise HistoryError(f"{store.name}: give --target" + _known(targets, "targets"))
            target = targets[0]
        builds = store.builds(target)
        if not builds:
            raise HistoryError(f"{store.name}: no builds of target {target!r}" + _known(targets, "targets"))
        chosen = []
        for ref in (old, new):
            sha = resolve(store, ref, target)
            of_commit = [b for b in builds if b.commit == sha]
            if not of_commit:
                raise HistoryError(f"{ref} ({sha[:12]}) was not recorded for {target!r}")
            chosen.append(of_commit[-1])
        before, after = (footprint_of(store.tables(b.id)) for b in chosen)
    notes = []
    if before.exact != after.exact:
        # the store keeps no symbol placements to see the exact side as a map shows it
        before.symbols, after.symbols = {}, {}
        notes.append("one build's symbol sizes came from its ELF file and the other's from its map: symbols "
                     "are not compared; object, archive and section changes are exact")
    comparison = compare_footprints(before, after, f"{target}@{chosen[0].commit}", (),
                                    chosen[0].label or chosen[0].commit[:12])
    comparison.notes.extend(notes)
    return target, chosen[0], chosen[1], comparison
