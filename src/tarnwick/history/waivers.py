"""Growth a reviewer accepts: `--accept-growth "RAM: the new sensor's buffers"`, or the same text in
a `Footprint-Accepted:` trailer of the commit message. A waiver names a region (or `*` for
every growth gate, the one of flash and RAM together too) and why. It turns a growth gate that
failed into a warning that carries the reason, in every output and in the history; a gate that
could not measure the growth still fails, since there is no growth to accept."""

from __future__ import annotations

from typing import Iterable, NamedTuple, Optional

from tarnwick.history.engines import HistoryError

EVERY = "*"


class Waiver(NamedTuple):
    region: str  # a region's name, or "*"
    reason: str
    source: str  # "--accept-growth", or "commit SHA" for a trailer

    def as_json(self) -> dict:
        return {"region": self.region, "reason": self.reason, "source": self.source}

    def covers(self, gate) -> bool:
        return self.region == EVERY or (gate.region is not None and gate.region == self.region)


def parse(text: str, source: str) -> Waiver:
    """"REGION: reason" as a Waiver; HistoryError where it is not that."""
    region, colon, reason = text.partition(":")
    if not colon or not region.strip() or not reason.strip():
        raise HistoryError(f"{source} {text[:60]!r} is not REGION: REASON (or *: REASON for every growth gate)")
    return Waiver(region.strip(), " ".join(reason.split()), source)


def from_commit(commit) -> tuple:
    """(waivers, warnings) of the commit's `Footprint-Accepted:` trailers (git.Commit)."""
    from tarnwick.history import git

    waivers, warnings = [], []
    for text in git.accepted_growth(commit):
        try:
            waivers.append(parse(text, f"commit {commit.sha[:12]}"))
        except HistoryError as exc:
            warnings.append(f"{exc}; the trailer is left out")
    return waivers, warnings


def unknown_regions(waivers: Iterable[Waiver], regions: Iterable[str]) -> list:
    """The waivers naming no region of the build, each as a phrase with the closest region."""
    import difflib

    names = list(regions)
    lines = []
    for waiver in waivers:
        if waiver.region == EVERY or waiver.region in names:
            continue
        folded = [n for n in names if n.lower() == waiver.region.lower()]
        closest = folded or difflib.get_close_matches(waiver.region, names, n=1, cutoff=0.0)
        lines.append(f"{waiver.source} {waiver.region}: names no region of the build"
                     + (f" (closest: {closest[0]})" if closest else ""))
    return lines


def accept(gates: Iterable, waivers: Iterable[Waiver]) -> list:
    """The growth gates with those a waiver covers accepted: passed, their reason saying why."""
    waivers = list(waivers)
    result = []
    for gate in gates:
        waiver: Optional[Waiver] = next((w for w in waivers if w.covers(gate)), None)
        if gate.failed and gate.growth is not None and waiver is not None:
            gate = gate._replace(failed=False, accepted=waiver.reason,
                                 reason=f"{gate.reason}; accepted ({waiver.source}): {waiver.reason}")
        result.append(gate)
    return result
