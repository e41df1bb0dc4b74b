"""The worst-case stack as every output shows it: the verdict against the reservation, each
entry point's worst case and deepest chain, what is not bounded and why, the largest frames,
and what changed since the baseline; in HTML, the call tree of each entry point."""

from __future__ import annotations

from tarnwick.render.escape import html_text as escape
from tarnwick.render.names import display_name

_ICON = {"fits": "✅", "does not fit": "❌", "may not fit": "⚠️", "unknown": "ℹ️"}
_TREE_NODES = 1500  # an entry point's tree in the page: its deepest chain always, the rest up to this


def worst(value: int, bounded: bool) -> str:
    return f"{value:,} B" if bounded else f"≥ {value:,} B"


def chain(names: list) -> str:
    return " → ".join(display_name(name) for name in names)


def largest_frames(stack, count: int) -> list:
    framed = [f for f in stack.functions if f.frame is not None]
    return sorted(framed, key=lambda f: (-f.frame, f.name))[:count]


def unbounded(stack) -> list:
    """(function, reason) of the entry points' causes, one line per cause."""
    seen, lines = set(), []
    for entry in stack.entries:
        if not entry.bounded and entry.reason and entry.reason not in seen:
            seen.add(entry.reason)
            lines.append((entry.name, entry.reason))
    return lines


def text_lines(stack, top: int) -> list:
    lines = ["", f"Stack: {stack.verdict} ({stack.units:,} object file(s) with stack files)", f"  {stack.detail}"]
    if stack.entries:
        width = max(24, *(len(display_name(e.name)) for e in stack.entries))
        lines.append(f"  {'entry point':<{width}}  {'kind':<9}  {'worst case':>12}  deepest chain")
        for entry in stack.entries[:max(top, 1)]:
            lines.append(f"  {display_name(entry.name):<{width}}  {entry.kind:<9}  "
                         f"{worst(entry.worst_case, entry.bounded):>12}  {chain(entry.path)}")
        if len(stack.entries) > max(top, 1):
            lines.append(f"  … and {len(stack.entries) - max(top, 1):,} more entry points (all in the JSON report)")
    for name, reason in unbounded(stack):
        lines.append(f"  not bounded ({display_name(name)}): {reason}")
    frames = largest_frames(stack, top)
    if frames:
        width = max(24, *(len(display_name(f.name)) for f in frames))
        lines.append(f"  {'largest frames':<{width}}  {'frame':>9}  object")
        lines += [f"  {display_name(f.name):<{width}}  {f.frame:>7,} B  {f.object_file}" for f in frames]
    for what, detail in stack.changes:
        lines.append(f"  since the baseline, {display_name(what)}: {detail}")
    for note in stack.notes:
        lines.append(f"  note: {note}")
    return lines


def markdown_lines(stack, top: int, code, text) -> list:
    """The stack section of the comment; `code` and `text` escape names and running text."""
    lines = ["", f"**Stack**: {_ICON.get(stack.verdict, '')} {text(stack.verdict)}: {text(stack.detail)}.", ""]
    if stack.entries:
        lines += ["| Entry point | Kind | Worst case | Deepest chain |", "|---|---|---:|---|"]
        lines += [f"| {code(display_name(e.name))} | {e.kind} | {worst(e.worst_case, e.bounded)} | "
                  f"{text(chain(e.path))} |" for e in stack.entries[:max(top, 1)]]
    causes = unbounded(stack)
    if causes:
        lines += [""] + [f"- not bounded ({code(display_name(name), in_table=False)}): {text(reason)}"
                         for name, reason in causes]
    if stack.changes:
        lines += [""] + [f"- since the baseline, {code(display_name(what), in_table=False)}: {text(detail)}"
                         for what, detail in stack.changes]
    return lines


def frames_table(stack, top: int, code) -> list:
    frames = largest_frames(stack, top)
    if not frames:
        return []
    return ["| Function | Frame | Worst case | Object |", "|---|---:|---:|---|"] + [
        f"| {code(display_name(f.name))} | {f.frame:,} B | {worst(f.worst_case, f.bounded)} | {code(f.object_file)} |"
        for f in frames]


def html_section(stack) -> list:
    """The verdict, and each entry point's call tree: every call expandable, the frame and worst
    case of each function, the chain that decides the worst case marked."""
    parts = [f'<h2 id="stack">Stack: <span class="stack-{stack.verdict.replace(" ", "-")}">{escape(stack.verdict)}'
             f"</span></h2>", f"<p>{escape(stack.detail)}.</p>"]
    for name, reason in unbounded(stack):
        parts.append(f'<p class="note">Not bounded ({escape(display_name(name))}): {escape(reason)}</p>')
    for what, detail in stack.changes:
        parts.append(f'<p class="note">Since the baseline, {escape(display_name(what))}: {escape(detail)}</p>')
    for entry in stack.entries:
        if entry.function is None:
            parts.append(f'<p class="note">{escape(display_name(entry.name))}: no stack information.</p>')
            continue
        budget = [_TREE_NODES]
        parts.append(f'<div class="stack-tree" data-entry="{escape(entry.name)}">'
                     f"<h3>{escape(display_name(entry.name))} ({escape(entry.kind)}): "
                     f"{escape(worst(entry.worst_case, entry.bounded))}</h3>"
                     + _node(stack, entry.function, set(), True, budget, 0) + "</div>")
    for note in stack.notes:
        parts.append(f'<p class="note">Note: {escape(note)}</p>')
    return parts


def _node(stack, index: int, above: set, deciding: bool, budget: list, depth: int) -> str:
    function = stack.functions[index]
    budget[0] -= 1
    frame = f"{function.frame:,} B" if function.frame is not None else "?"
    label = (f'<span class="fn{" deepest" if deciding else ""}">{escape(display_name(function.name))}</span> '
             f'<span class="size">frame {frame}, worst case {escape(worst(function.worst_case, function.bounded))}</span>')
    if index in above:
        return f'<li class="call recursion">{label} <span class="note">(recursion)</span></li>' if depth else label
    following = function.path[1] if len(function.path) > 1 else None
    children = []
    for callee in function.callees:
        if isinstance(callee, str):
            children.append(f'<li class="call unknown"><span class="note">{escape(callee)}</span></li>')
            continue
        if budget[0] <= 0 and not (deciding and stack.functions[callee].name == following):
            continue
        children.append(_node(stack, callee, above | {index}, deciding and stack.functions[callee].name == following,
                              budget, depth + 1))
    body = f"<ul>{''.join(children)}</ul>" if children else ""
    inner = f"<details{' open' if deciding else ''}><summary>{label}</summary>{body}</details>" if children else label
    return f'<li class="call">{inner}</li>' if depth else f'<ul class="tree"><li class="call">{inner}</li></ul>'
