"""A pull-request comment: a hidden marker a bot finds its own comment by, a one-line verdict
(the failed gate first), the regions with their changes, the largest growers and shrinkers,
the findings and gates, and the full lists folded away in `<details>` blocks; never longer
than GitHub's 65,536-character limit, whatever part of it is long. Names are code spans and
other text from the input is escaped, so nothing in a map can add links, images or HTML to the
comment."""

from __future__ import annotations


from tarnwick.render.breakdown import DEFAULT_TOP, LEVEL_NAMES, SIZE_LEGEND, region_tops, size_mark
from tarnwick.render.names import display_name
from tarnwick.render.escape import html_text, markdown_code, markdown_text
from tarnwick.render.ledger import by_source, shown_ledgers, source_lists
from tarnwick.render.regions import Family, family_label, folded
from tarnwick.render.view import (
    build_view, gate_lines, human_bytes, percent, region_change, removed_regions, signed_bytes,
)
from tarnwick.support.records import field, record

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
    """One line, whatever the number of failed gates: the first ones, then how many more. With a
    run's outcome it says in words what the exit code says."""
    counts = view.counts
    failures = _failures(outcome.verdict) if outcome is not None else []
    if failures:
        verdict = f"❌ Failed: {_first_of(failures)}"
    elif counts.get("error"):
        first = next(f for f in view.findings if f.severity == "error")
        said = f"{counts['error']} error(s): {markdown_text(_cut(first.description.rstrip('.')))}"
        verdict = f"⚠️ Passed, no gate fails on {said}" if outcome is not None else f"❌ {said}"
    elif outcome is not None and any(gate.accepted for gate in outcome.verdict.growth):
        verdict = "⚠️ Passed, growth accepted: " + "; ".join(
            markdown_text(_cut(gate.reason)) for gate in outcome.verdict.growth if gate.accepted)
    elif counts.get("warning"):
        verdict = f"{'✅ Passed: ' if outcome is not None else '⚠️ '}{counts['warning']} warning(s), no errors"
    else:
        verdict = "✅ Passed: no findings" if outcome is not None else "✅ No findings"
    if view.baseline_status == "ok":
        since = markdown_code(_cut(comparison.label), in_table=False) if comparison is not None else "the baseline"
        verdict += (f"; flash {signed_bytes(view.flash_delta)}, RAM {signed_bytes(view.ram_delta)} "
                    f"since {since}")
    return verdict + "."


VERDICT_ROOM = 2_000  # characters of failed gates the verdict line names before it counts the rest
NAME_ROOM = 200  # of a name in the title or the verdict line


def _cut(text: str, room: int = NAME_ROOM) -> str:
    return text if len(text) <= room else text[:room - 1] + "…"


def _failures(verdict, named: int = 5) -> list:
    """A phrase per failed gate, each naming at most `named` of the findings that break it."""
    phrases = []
    for gate in verdict.policies:
        if gate.failed:
            more = len(gate.findings) - named
            listed = ", ".join(gate.findings[:named]) + (f" and {more:,} more" if more > 0 else "")
            phrases.append(f"{gate.name} ({listed})")
    return phrases + [gate.reason for gate in verdict.growth if gate.failed]


def _first_of(failures: list) -> str:
    shown, used = [], 0
    for line in failures:
        escaped = markdown_text(_cut(line))
        if shown and used + len(escaped) > VERDICT_ROOM:
            break
        shown.append(escaped)
        used += len(escaped) + 2
    more = len(failures) - len(shown)
    return "; ".join(shown) + (f"; … and {more:,} more failed gate(s)" if more else "")


def _bytes(value) -> str:
    return "–" if value is None else f"{value:,} B"


def _unrooted(name: str, root: str) -> str:
    """An object's path without the build root the comparison took off to match it."""
    return name[len(root):] if root and name.startswith(root) and len(name) > len(root) else name


def _change_table(changes, word: str, root: str = "") -> list:
    symbols = word == "symbol"
    rows = [f"| | Change | {word.capitalize()} |" + (" Object |" if symbols else "") + " Before | After |",
            "|---|---:|---|" + ("---|" if symbols else "") + "---:|---:|"]
    for change in changes:
        estimate = " ~" if change.estimated else ""
        name = markdown_code(_unrooted(display_name(change.name), root) if word == "object" else display_name(change.name))
        if symbols:
            name += f" | {markdown_code(_unrooted(change.object_file or '', root))}"
        rows.append(f"| {_KIND.get(change.kind, '')} | {signed_bytes(change.delta)}{estimate} | {name} | "
                    f"{_bytes(change.baseline)} | {_bytes(change.current)} |")
    return rows


@record
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
    parts, root = [], comparison.current_root
    if growers:
        parts.append(_table_part("**Largest growers**", _change_table(growers, "symbol", root)))
    if shrinkers:
        parts.append(_table_part("**Largest shrinkers**", _change_table(shrinkers, "symbol", root)))
    if not growers and not shrinkers:
        parts.append(_Part(["", "No symbol changed size since the baseline."]))
    return parts, any(change.estimated for change in growers + shrinkers)


def _full_lists(report, comparison, top: int, model, sources=None) -> tuple:
    """The <details> blocks: every change at each level, and per region what fills it (every
    byte), its sections and archives, and its largest symbols and object files; and whether
    any size in them is marked as an estimate."""
    blocks, estimated = [], False
    root = comparison.current_root if comparison is not None else ""
    if comparison is not None:
        for level, word in LEVEL_NAMES.items():
            changes = comparison.level(level)
            if changes:
                estimated = estimated or any(change.estimated for change in changes)
                blocks.append(_details(f"All {word} changes ({len(changes):,})", _change_table(changes, word, root)))
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
            table += [f"| {markdown_code(e.name)} | {size_mark(e)}{e.size:,} B | {markdown_code(_unrooted(e.detail, root))} |"
                      for e in region.symbols]
            estimated = estimated or any(size_mark(e) for e in region.symbols)
        if region and region.objects:
            table += ["", "| Object file | Size |", "|---|---:|"]
            table += [f"| {markdown_code(_unrooted(e.name, root))} | {e.size:,} B |" for e in region.objects]
        blocks.append(_details(f"Where the bytes go in {html_text(book.name)} ({book.accounted:,} of "
                               f"{book.used:,} B accounted)", table))
    return blocks, estimated


def _gates(outcome) -> _Part:
    lines = gate_lines(outcome)
    if not lines:
        return _Part([])
    accepted = {gate.reason for gate in outcome.verdict.growth if gate.accepted}
    return _Part(["", "**Gates**", ""], [
        f"- {'❌ failed' if failed else '⚠️ accepted' if text in accepted else '✅ passed'}: {markdown_text(text)}"
        for failed, text in lines])


def _budgets(report) -> dict:
    """Region -> the budget it is held to (a ratio of its size), as the configuration gives it."""
    budgets = report.diagnostics.get("config_summary", {}).get("budgets", {})
    limits: dict = {}
    for kind in ("flash", "ram"):
        for region, limit in (budgets.get(kind) or {}).items():
            limits[region] = min(limit, limits.get(region, limit))
    return limits


def _region_table(view, comparison, report) -> _Part:
    """The regions: their use, marked in words where it overflows or passes its budget, the
    budget where one is set, and the change since the baseline."""
    with_baseline = view.baseline_status == "ok"
    budgets = _budgets(report)
    header = "| Region | Used | Size | Use |" + (" Budget |" if budgets else "") + (" Change |" if with_baseline else "")
    rule = "|---|---:|---:|---:|" + ("---:|" if budgets else "") + ("---:|" if with_baseline else "")
    opening = ["", header, rule] if view.regions else [""]  # a table without rows reads as broken in a comment
    regions = []
    for row in folded(view.regions):
        if isinstance(row, Family):
            use = percent(row.used / row.size if row.size else 0.0) + (" **overflow**" if row.overflow else "")
            line = f"| {markdown_text(family_label(row))} | {row.used:,} B | {human_bytes(row.size)} | {use} |"
            regions.append(line + (" – |" if budgets else "") + (" |" if with_baseline else ""))
            continue
        budget = budgets.get(row.name)
        above = budget is not None and row.ratio > budget
        use = percent(row.ratio) + (" **overflow**" if row.overflow else "")
        line = f"| {markdown_code(row.name)} | {row.used:,} B | {human_bytes(row.size)} | {use} |"
        if budgets:
            line += " – |" if budget is None else f" {'**above** ' if above else ''}{percent(budget)} |"
        if with_baseline:
            added = comparison is not None and getattr(comparison.region(row.name), "kind", None) == "added"
            line += f" {region_change(row)}{' (added)' if added else ''} |"
        regions.append(line)
    for name, used in removed_regions(comparison):
        regions.append(f"| {markdown_code(name)} | – | – | – |" + (" – |" if budgets else "")
                       + (f" removed (-{used:,} B) |" if with_baseline else ""))
    after = []
    if not view.regions:
        after += [f"No memory regions; flash {view.total_flash:,} B, RAM {view.total_ram:,} B."]
    if view.baseline_status and not with_baseline:
        after += ["", f"Baseline not compared: {markdown_text(view.baseline_status)}"
                      + (f" ({markdown_text(view.baseline_error)})" if view.baseline_error else "") + "."]
    return _Part(opening, regions, after)


def render_markdown(report, comparison=None, top: int = DEFAULT_TOP, model=None, outcome=None) -> str:
    view = build_view(report, comparison, model)
    head = _Part([marker(_cut(view.title)), f"### Memory footprint: {markdown_code(_cut(view.title), in_table=False)}",
                  "", _verdict(view, comparison, outcome)])
    regions = _region_table(view, comparison, report)
    changes, estimated = _largest_changes(comparison, top) if comparison is not None else ([], False)
    breaking = {finding: gate.name for gate in (outcome.verdict.policies if outcome is not None else ())
                if gate.failed for finding in gate.findings}
    if view.findings:
        findings = _Part(["", "**Findings**", ""], [
            f"- {'❌' if finding.id in breaking else _ICON.get(finding.severity, '-')} {finding.severity} "
            f"{markdown_code(finding.id, in_table=False)}"
            + (f" \\(fails {markdown_text(breaking[finding.id])}\\)" if finding.id in breaking else "")
            + f": {markdown_text(finding.description)}" for finding in view.findings])
    else:
        findings = _Part(["", "No findings."])
    notes = _Part([], [f"\n_Note:_ {markdown_text(note)}" for note in view.notes])
    used = outcome.configuration() if outcome is not None else None
    configured = _Part(["", f"_{markdown_text(_cut(used))}_"] if used else [])
    gates = _gates(outcome)
    stack = _stack(outcome, top, [f.id for f in view.findings if f.id.startswith("stack.")])
    sources = outcome.sources if outcome is not None else None
    lists, listed_estimates = _full_lists(report, comparison, top, model, sources) if top > 0 else ([], False)
    legend = _Part([])
    if estimated or listed_estimates:  # the marks it explains are shown
        legend.opening += ["", f"_{markdown_text(SIZE_LEGEND)}_"]
    if outcome is not None and outcome.sources is not None and not by_source(outcome.sources) and top > 0:
        legend.opening += ([] if legend.opening else [""]) + [f"_{markdown_text(outcome.sources.reason)}_"]
    if outcome is not None and outcome.stack is not None and top > 0:
        from tarnwick.render.stack_view import frames_table

        frames = frames_table(outcome.stack, top, markdown_code)
        if frames:
            lists.append(_details("Stack: the largest frames", frames))
    trend = _Part(outcome.trend.markdown_lines(markdown_code, markdown_text)
                  if outcome is not None and outcome.trend is not None else [])
    parts = [head, trend, regions, legend, *changes, findings, gates, stack, notes, configured, *lists]
    comment = "\n".join(_fit(parts, [head, regions, findings, gates, stack], [notes, *changes, *lists])) + "\n"
    return _without_workspace(comment)


def _without_workspace(comment: str) -> str:
    """The comment without the folder the run was in (a CI runner's workspace): paths under it
    are shown relative to it, as the repository names them."""
    import os

    here = os.getcwd().rstrip(os.sep)
    if here.count(os.sep) < 2:  # "/" or "/work": too short to tell from a path of the build
        return comment
    for form in (here + os.sep, markdown_text(here + os.sep)):
        comment = comment.replace(form, "")
    return comment


def _stack(outcome, top: int, findings: list) -> _Part:
    """The worst-case stack: one line where the baseline had one and nothing changed; else what
    changed since the baseline first, then the entry points. Where a finding already says why,
    the section names it instead of saying it again."""
    if outcome is None or outcome.stack is None:
        return _Part([])
    from tarnwick.render.stack_view import markdown_lines, worst

    stack = outcome.stack
    shown = worst(stack.worst_case, stack.bounded) if stack.worst_case is not None else "unknown"
    room = f" of the {stack.reservation:,} B reserved" if stack.reservation else ""
    if outcome.stack_compared and not stack.changes:
        return _Part(["", f"**Stack**: {markdown_text(stack.verdict)}, unchanged since the baseline "
                          f"(worst case {shown}{room})."])
    lines = markdown_lines(stack, top, markdown_code, markdown_text)
    if findings:
        named = ", ".join(markdown_code(f, in_table=False) for f in findings)
        lines[1] = f"**Stack**: {markdown_text(stack.verdict)}, worst case {shown}{room} (why: {named} above)."
    if stack.changes and outcome.stack_compared:
        changed = [i for i, line in enumerate(lines) if line.startswith("- since the baseline, ")]
        first, rest = lines[:3], [line for i, line in enumerate(lines[3:], 3) if i not in changed]
        lines = first + [lines[i] for i in changed] + ([""] if rest and rest[0] != "" else []) + rest
        while lines and lines[-1] == "":
            lines.pop()
    return _Part(lines[:3], lines[3:])
