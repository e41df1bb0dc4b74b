"""A pull-request comment: a hidden marker a bot finds its own comment by, a one-line verdict
(the failed gate first), the regions with their changes, the largest growers and shrinkers,
the findings and gates, and the full lists folded away in `<details>` blocks; never longer
than GitHub's 65,536-character limit, whatever part of it is long. Names are code spans and
other text from the input is escaped, so nothing in a map can add links, images or HTML to the
comment."""

from __future__ import annotations

from dataclasses import dataclass, field

from tarnwick.render.breakdown import DEFAULT_TOP, LEVEL_NAMES, SIZE_LEGEND, region_tops, size_mark
from tarnwick.render.names import display_name
from tarnwick.render.escape import html_text, markdown_code, markdown_text
from tarnwick.render.ledger import by_source, shown_ledgers, source_lists
from tarnwick.render.view import (
    Family, build_view, family_label, folded, gate_lines, human_bytes, percent, region_change, removed_regions,
    signed_bytes,
)

LIMIT = 65_536  # GitHub's limit for a comment
_ICON = {"error": "❌", "warning": "⚠️", "info": "ℹ️"}
_KIND = {"added": "🆕", "removed": "🗑️", "grown": "🔺", "shrunk": "🔻"}


def marker(target: str) -> str:
    """The hidden first line a bot finds this tool's comment for a target by. The name is
    written so that it cannot end the HTML comment."""
    safe, previous = [], ""
    for c in target:
        keep = c.isalnum() or c in "._/@+:" or (c == "-" and previous != "-")
        safe.append(c if keep else f"%{ord(c):02X}" if ord(c) < 0x100 else f"%u{ord(c):04X}")
        previous = c
    return f"<!-- tarnwick target={''.join(safe)} -->"


def _verdict(view, comparison, outcome) -> str:
    counts = view.counts
    failures = outcome.verdict.failures() if outcome is not None else []
    if failures:
        verdict = f"❌ Failed: {'; '.join(markdown_text(line) for line in failures)}"
    elif counts.get("error"):
        first = next(f for f in view.findings if f.severity == "error")
        verdict = f"❌ {counts['error']} error(s): {markdown_text(first.description.rstrip('.'))}"
    elif outcome is not None and any(gate.accepted for gate in outcome.verdict.growth):
        verdict = "⚠️ Growth accepted: " + "; ".join(markdown_text(gate.reason) for gate in outcome.verdict.growth
                                                   if gate.accepted)
    elif counts.get("warning"):
        verdict = f"⚠️ {counts['warning']} warning(s), no errors"
    else:
        verdict = "✅ No findings"
    if view.baseline_status == "ok":
        since = markdown_code(comparison.label, in_table=False) if comparison is not None else "the baseline"
        verdict += (f"; flash {signed_bytes(view.flash_delta)}, RAM {signed_bytes(view.ram_delta)} "
                    f"since {since}")
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
    """A folded list; its title is HTML (GitHub shows markdown escapes in it as they are)."""
    return _Part(["", f"<details><summary>{summary}</summary>", ""] + table[:2], table[2:], ["", "</details>"])


def _fit(parts: list, essential: list, optional: list) -> list:
    """Cuts rows until the whole comment is within the limit. The essential parts (regions,
    findings, gates) take the room they need first, each at most an equal share of the whole;
    each optional part then gets an equal share of what is left, and what one does not use
    passes to the next. A folded list that gets no room for any row is left out whole."""
    budget = LIMIT - 200 - sum(_size(p.opening + p.closing) + 40 for p in parts)
    for index, part in enumerate(essential + optional):
        waiting = len(essential) + len(optional) - index
        allowance = budget // waiting if index >= len(essential) else max(budget // 2, budget // waiting)
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


def _full_lists(report, comparison, top: int, model, sources=None) -> list:
    """The <details> blocks: every change at each level, and per region what fills it (every
    byte), its sections and archives, and its largest symbols and object files."""
    blocks = []
    if comparison is not None:
        for level, word in LEVEL_NAMES.items():
            changes = comparison.level(level)
            if changes:
                blocks.append(_details(f"All {word} changes ({len(changes):,})", _change_table(changes, word)))
    symbols = model.symbols if model is not None else None
    tops = {region.region: region for region in region_tops(report, top, symbols)}
    for book in shown_ledgers(report, symbols, model):
        table = ["| What fills it | Size |", "|---|---:|"]
        table += [f"| {markdown_text(line.label)} | {line.size:,} B |" for line in book.lines]
        table.append(f"| **accounted** | **{book.accounted:,} of {book.used:,} B** |")
        listed = [("Section", book.sections[:top]), ("Archive", book.archives[:top])]
        listed += [(title.capitalize(), rows) for title, rows in source_lists(sources, book.name, top)]
        for title, rows in listed:
            if rows:
                table += ["", f"| {title} | Size |", "|---|---:|"]
                table += [f"| {markdown_code(name)} | {size:,} B |" for name, size in rows]
        region = tops.get(book.name)
        if region and region.symbols:
            table += ["", "| Symbol | Size | Object |", "|---|---:|---|"]
            table += [f"| {markdown_code(e.name)} | {size_mark(e)}{e.size:,} B | {markdown_code(e.detail)} |"
                      for e in region.symbols]
        if region and region.objects:
            table += ["", "| Object file | Size |", "|---|---:|"]
            table += [f"| {markdown_code(e.name)} | {e.size:,} B |" for e in region.objects]
        blocks.append(_details(f"Where the bytes go in {html_text(book.name)} ({book.accounted:,} of "
                               f"{book.used:,} B accounted)", table))
    return blocks


def _gates(outcome) -> _Part:
    lines = gate_lines(outcome)
    if not lines:
        return _Part([])
    accepted = {gate.reason for gate in outcome.verdict.growth if gate.accepted}
    return _Part(["", "**Gates**", ""], [f"- {'❌' if failed else '⚠️' if text in accepted else '✅'} {markdown_text(text)}"
                                       for failed, text in lines])


def render_markdown(report, comparison=None, top: int = DEFAULT_TOP, model=None, outcome=None) -> str:
    view = build_view(report, comparison, model)
    head = [marker(view.title), f"### Memory footprint: {markdown_code(view.title, in_table=False)}", "",
            _verdict(view, comparison, outcome), ""]
    with_baseline = view.baseline_status == "ok"
    header = "| Region | Used | Size | Use |" + (" Change |" if with_baseline else "")
    if view.regions:  # a table without rows reads as broken in a comment
        head += [header, "|---|---:|---:|---:|" + ("---:|" if with_baseline else "")]
    regions = []
    for row in folded(view.regions):
        if isinstance(row, Family):
            use = percent(row.used / row.size if row.size else 0.0) + (" **overflow**" if row.overflow else "")
            line = f"| {markdown_text(family_label(row))} | {row.used:,} B | {human_bytes(row.size)} | {use} |"
            regions.append(line + (" |" if with_baseline else ""))
            continue
        use = percent(row.ratio) + (" **overflow**" if row.overflow else "")
        line = f"| {markdown_code(row.name)} | {row.used:,} B | {human_bytes(row.size)} | {use} |"
        if with_baseline:
            added = comparison is not None and getattr(comparison.regions.get(row.name), "kind", None) == "added"
            line += f" {region_change(row)}{' (added)' if added else ''} |"
        regions.append(line)
    for name, used in removed_regions(comparison):
        regions.append(f"| {markdown_code(name)} | – | – | – |" + (f" removed (-{used:,} B) |" if with_baseline else ""))
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
    legend = _Part(["", f"_{markdown_text(SIZE_LEGEND)}_"]) if top > 0 or comparison is not None else _Part([])
    if outcome is not None and outcome.sources is not None and not by_source(outcome.sources) and top > 0:
        legend.opening.append(f"_{markdown_text(outcome.sources.reason)}_")
    notes = _Part([], [f"\n_Note:_ {markdown_text(note)}" for note in view.notes])
    gates = _gates(outcome)
    stack = _stack(outcome, top)
    sources = outcome.sources if outcome is not None else None
    lists = _full_lists(report, comparison, top, model, sources) if top > 0 else []
    if outcome is not None and outcome.stack is not None and top > 0:
        from tarnwick.render.stack_view import frames_table

        frames = frames_table(outcome.stack, top, markdown_code)
        if frames:
            lists.append(_details("Stack: the largest frames", frames))
    trend = _Part(outcome.trend.markdown_lines(markdown_code, markdown_text)
                  if outcome is not None and outcome.trend is not None else [])
    parts = [summary, trend, legend, *changes, findings, gates, stack, notes, *lists]
    return "\n".join(_fit(parts, [summary, findings, gates, stack], [notes, *changes, *lists])) + "\n"


def _stack(outcome, top: int) -> _Part:
    if outcome is None or outcome.stack is None:
        return _Part([])
    from tarnwick.render.stack_view import markdown_lines

    lines = markdown_lines(outcome.stack, top, markdown_code, markdown_text)
    return _Part(lines[:3], lines[3:])
