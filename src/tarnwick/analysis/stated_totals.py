"""The totals a map states about itself (its reader hands them on as `model.stated`) against
the figures the report gives. A figure the file contradicts is never shown as fact: each
disagreement is a warning finding with both figures, the file's first, and the gates computed
from the regions' figures fail while one stands (gates.py). A difference no larger than the
alignment fill and gaps of those regions (what the stated total leaves out) is a note."""

from __future__ import annotations

from tarnwick.analysis._placement import category_of, load_region_of, placed_sections
from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.domain import Issue, IssueCategory, IssueSeverity
from tarnwick.toolchains.base import MemoryCategory, NormalizedBuildModel

TYPE_CHECKING = False  # typing does not load: the annotations are only read by checkers
if TYPE_CHECKING:
    from typing import Optional

DISPUTE = "stated."  # the id of every finding of a disputed figure starts so
_KINDS = (("flash", MemoryCategory.FLASH), ("RAM", MemoryCategory.RAM))


def with_stated_totals(report, model: NormalizedBuildModel):
    """The report with a finding for each figure the map's own totals contradict, counted with
    its findings, and a note for each difference that is fill the stated total leaves out."""
    stated = getattr(model, "stated", None)
    if stated is None:
        return report
    findings, notes = check(report, model)
    return report.with_findings(findings, notes)


def check(report, model: NormalizedBuildModel) -> tuple[list, list]:
    """(findings, notes) of the map's stated totals against the report's figures."""
    stated = model.stated
    findings, notes = [], []
    regions = [r for r in model.memory_regions if not r.unified]
    totals = {"flash": report.summary.total_flash, "RAM": report.summary.total_ram}
    usage: Optional[dict] = None
    for kind, category in _KINDS:
        theirs = stated.flash if kind == "flash" else stated.ram
        words = stated.flash_words if kind == "flash" else stated.ram_words
        ours = totals[kind]
        if theirs is None or ours == theirs:
            continue
        names = sorted({r.name for r in regions if category_of(r) is category})
        usage = usage if usage is not None else compute_region_usage(model)
        fill = _fill(model, usage, names)
        if 0 < ours - theirs <= fill:
            notes.append(f"the map states {kind} {theirs:,} B ({words}); its regions hold {ours:,} B: the "
                         f"{ours - theirs:,} B more lie within the {fill:,} B of alignment fill and gaps there (see the "
                         "ledger), which the stated total leaves out")
            continue
        findings.append(_finding(kind.lower(), f"{kind} {theirs:,} B ({words})", ours, (kind.lower(), *names)))
    shown = {row["name"]: row["used_bytes"] for row in
             (report.trends.get("visualization", {}) or {}).get("regions", [])}
    for name, theirs in stated.regions.items():
        ours = shown.get(name)
        if ours is None or ours == theirs:
            continue
        findings.append(_finding(f"region.{name}", f"region {name} uses {theirs:,} B", ours, (name,)))
    return findings, notes


def _finding(what: str, stated: str, ours: int, entities: tuple) -> Issue:
    return Issue(
        id=f"{DISPUTE}{what}", severity=IssueSeverity.WARNING, category=IssueCategory.PARSING,
        title="Figure the map's own total contradicts",
        description=f"The map states {stated}; its sections add up to {ours:,} B.",
        affected_entities=entities,
        remediation_hint="The map's own figure is the linker's: gates computed from this one fail until the "
                         "reader agrees with it (report the map).")


def disputes(report) -> list:
    """The findings of figures the map's own totals contradict."""
    return [issue for issue in report.issues if str(getattr(issue, "id", "")).startswith(DISPUTE)]


def _fill(model: NormalizedBuildModel, usage: dict, names: list) -> int:
    """The bytes of these regions' use that no input section's contents hold: alignment fill,
    and the gaps between and inside the sections (and their load images)."""
    held = dict.fromkeys(names, 0)
    for section, region in placed_sections(model):
        contents = sum(part.size for part in section.inputs if not part.is_padding)
        if region is not None and region.name in held:
            held[region.name] += contents
        image = load_region_of(model, section)
        if image is not None and image is not region and image.name in held:
            held[image.name] += contents
    return sum(max(usage[name].used_bytes - held[name], 0) for name in names if name in usage)
