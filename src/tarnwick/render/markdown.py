"""A pull-request comment: a one-line verdict, the regions with their changes, the largest
growers and shrinkers, the findings, and the full lists folded away in `<details>` blocks;
never longer than GitHub's 65,536-character limit. Names are code spans and other text from
the input is escaped, so nothing in a map can add links, images or HTML to the comment."""

from __future__ import annotations

from dataclasses import dataclass, field

from tarnwick.render.breakdown import DEFAULT_TOP, LEVEL_NAMES, region_tops
from tarnwick.render.names import display_name
from tarnwick.render.escape import markdown_code, markdown_text
from tarnwick.render.view import build_view, human_bytes, percent, region_change, signed_bytes

LIMIT = 65_536  # GitHub's limit for a comment
_ICON = {"error": "❌", "warning": "⚠️", "info": "ℹ️"}
_KIND = {"added": "🆕", "removed": "🗑️", "grown": "🔺", "shrunk": "🔻"}


def _verdict(view, comparison) -> str:
    counts = view.counts
    if counts.get("error"):
        first = next(f for f in view.findings if f.severity == "error")
        verdict = f"❌ {counts['error']} error(s): {markdown_text(first.description.rstrip('.'))}"
    elif counts.get("warning"):
        verdict = f"⚠️ {counts['warning']} warning(s), no errors"
    else:
        verdict = "✅ No findings"
    if view.baseline_status == "ok":
        verdict += (f"; flash {signed_bytes(view.flash_delta)}, RAM {signed_bytes(view.ram_delta)} "
                    "since the baseline")
    return verdict + "."


def _bytes(value) -> str:
    return "–" if value is None else f"{value:,} B"


def _change_table(changes, word: str) -> list:
    symbols = word == "symbol"
    rows = [f"| | Change | {word.capitalize()} |" + (" Object |" if symbols else "") + " Before | After |",
            "|---|---:|---|" + ("---|" if symbols else "") + "---:|---:|"]
    for change in changes:
        estimate = " ~" if change.estimated else ""
        name = markdown_code(display_name(change.name))
        if symbols:
            name += f" | {markdown_code(change.object_file or '')}"
        rows.append(f"| {_KIND.get(change.kind, '')} | {signed_bytes(change.delta)}{estimate} | {name} | "
                    f"{_bytes(change.baseline)} | {_bytes(change.current)} |")
    return rows


@dataclass
class _Part:
    """A piece of the comment: `opening` and `closing` lines stay whole, `rows` may be cut."""

    opening: list
    rows: list = field(default_factory=list)
    closing: list = field(default_factory=list)
    kept: int = -1  # rows that fit; -1 until measured

    def lines(self) -> list:
        rows = self.rows if self.kept < 0 else self.rows[:self.kept]
        cut = len(self.rows) - len(rows)
        return self.opening + rows + (["", f"… and {cut:,} more"] if cut else []) + self.closing


def _size(lines: list) -> int:
    return sum(len(line) + 1 for line in lines)


def _table_part(title: str, table: list) -> _Part:
    return _Part(["", title, ""] + table[:2], table[2:])


def _details(summary: str, table: list) -> _Part:
    return _Part(["", f"<details><summary>{summary}</summary>", ""] + table[:2], table[2:], ["", "</details>"])


def _fit(parts: list, essential: list, optional: list) -> list:
    """Cuts rows until the whole comment is within the limit. The essential parts (regions,
    findings) take the room they need first; each optional part then gets an equal share of
    what is left, and what one does not use passes to the next. A folded list that gets no
    room for any row is left out whole."""
    budget = LIMIT - 100 - sum(_size(p.opening + p.closing) + 40 for p in parts)
    for index, part in enumerate(essential + optional):
        waiting = len(essential) + len(optional) - index
        allowance = budget if index < len(essential) else budget // waiting
        kept, used = 0, 0
        for row in part.rows:
            if used + len(row) + 1 > allowance:
                break
            used += len(row) + 1
            kept += 1
        part.kept = kept
        budget -= used
    lines = []
    for part in parts:
        if part.rows and part.kept == 0 and part.closing:
            continue  # a folded list with no room for a single row
        lines += part.lines()
    dropped = sum(1 for part in parts if part.rows and part.kept == 0 and part.closing)
    if dropped:
        lines += ["", f"… {dropped} more list(s) left out to stay within the comment limit"]
    return lines


def _largest_changes(comparison, top: int) -> list:
    changes = comparison.symbols  # the largest change first
    growers = [c for c in changes if c.delta > 0][:top]
    shrinkers = [c for c in changes if c.delta < 0][:top]
    parts = []
    if growers:
        parts.append(_table_part("**Largest growers**", _change_table(growers, "symbol")))
    if shrinkers:
        parts.append(_table_part("**Largest shrinkers**", _change_table(shrinkers, "symbol")))
    if not growers and not shrinkers:
        parts.append(_Part(["", "No symbol changed size since the baseline."]))
    return parts


def _full_lists(report, comparison, top: int, symbols) -> list:
    """The <details> blocks: every change at each level, the largest entries of each region."""
    blocks = []
    if comparison is not None:
        for level, word in LEVEL_NAMES.items():
            changes = comparison.level(level)
            if changes:
                blocks.append(_details(f"All {word} changes ({len(changes):,})", _change_table(changes, word)))
    for region in region_tops(report, top, symbols):
        table = ["| Symbol | Size | Object |", "|---|---:|---|"]
        table += [f"| {markdown_code(e.name)} | {'~' if e.estimated else ''}{e.size:,} B | {markdown_code(e.detail)} |"
                  for e in region.symbols]
        objects = ["", "| Object file | Size |", "|---|---:|"]
        objects += [f"| {markdown_code(e.name)} | {e.size:,} B |" for e in region.objects]
        blocks.append(_details(f"Largest in {markdown_text(region.region)}", table + objects))
    return blocks


def render_markdown(report, comparison=None, top: int = DEFAULT_TOP, symbols=None) -> str:
    view = build_view(report, comparison)
    head = [f"### Memory footprint: {markdown_code(view.title, in_table=False)}", "", _verdict(view, comparison), ""]
    with_baseline = view.baseline_status == "ok"
    header = "| Region | Used | Size | Use |" + (" Change |" if with_baseline else "")
    if view.regions:  # a table without rows reads as broken in a comment
        head += [header, "|---|---:|---:|---:|" + ("---:|" if with_baseline else "")]
    regions = []
    for row in view.regions:
        use = percent(row.ratio) + (" **overflow**" if row.overflow else "")
        line = f"| {markdown_code(row.name)} | {row.used:,} B | {human_bytes(row.size)} | {use} |"
        if with_baseline:
            line += f" {region_change(row)} |"
        regions.append(line)
    after = []
    if not view.regions:
        after += [f"No memory regions; flash {view.total_flash:,} B, RAM {view.total_ram:,} B."]
    if view.baseline_status and not with_baseline:
        after += ["", f"Baseline not compared: {markdown_text(view.baseline_status)}"
                      + (f" ({markdown_text(view.baseline_error)})" if view.baseline_error else "") + "."]
    summary = _Part(head, regions, after)
    changes = _largest_changes(comparison, top) if comparison is not None else []
    if view.findings:
        findings = _Part(["", "**Findings**", ""], [
            f"- {_ICON.get(finding.severity, '-')} {markdown_code(finding.id, in_table=False)}: "
            f"{markdown_text(finding.description)}" for finding in view.findings])
    else:
        findings = _Part(["", "No findings."])
    notes = _Part([line for note in view.notes for line in ("", f"_Note:_ {markdown_text(note)}")])
    lists = _full_lists(report, comparison, top, symbols) if top > 0 else []
    parts = [summary, *changes, findings, *lists, notes]
    return "\n".join(_fit(parts, [summary, findings], [*changes, *lists])) + "\n"
