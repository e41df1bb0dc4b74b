"""The worst-case stack as every output shows it: the verdict against the reservation, the
chains that add up to it (where each interrupt's chain starts marked), each entry point's worst
case and deepest chain, each thread against its own stack, what is not bounded and why, what of
the configuration a figure rests on, the largest frames with where each comes from, and what
changed since the baseline; in HTML, the call tree of each entry point."""

from __future__ import annotations

from tarnwick.render.escape import html_text as escape
from tarnwick.render.names import display_name

_ICON = {"fits": "✅", "does not fit": "❌", "may not fit": "⚠️", "unknown": "ℹ️"}
_TREE_NODES = 1500  # an entry point's tree in the page: its deepest chain always, the rest up to this


def worst(value: int, bounded: bool) -> str:
    return f"{value:,} B" if bounded else f"≥ {value:,} B"


def chain(names: list) -> str:
    return " → ".join(display_name(name) for name in names)


def program_chain(stack) -> str:
    """The chains the program's worst case adds up: the reset entry's, then each interrupt's
    that stacks on top of it, each named where it starts."""
    parts = []
    for entry, kind, names in stack.path:
        parts.append(("" if kind == "reset" else f"[{kind} {display_name(entry)} on top] ") + chain(names))
    return " | ".join(parts)


def unbounded(stack) -> list:
    """(function, reason) of the entry points' causes, one line per cause."""
    seen, lines = set(), []
    for entry in stack.entries:
        if not entry.bounded and entry.reason and entry.reason not in seen:
            seen.add(entry.reason)
            lines.append((entry.name, entry.reason))
    return lines


def _headroom(thread) -> str:
    if thread.headroom is None:
        return "?"
    return f"{thread.headroom:,} B" if thread.bounded or thread.headroom < 0 else f"≤ {thread.headroom:,} B"


def _reservation(thread) -> str:
    return f"{thread.reservation:,} B" if thread.reservation is not None else "unknown"


def text_lines(stack, top: int) -> list:
    lines = ["", f"Stack: {stack.verdict} ({stack.units:,} object file(s) with stack files)", f"  {stack.detail}"]
    if stack.path:
        lines.append(f"  deepest: {program_chain(stack)}")
    if stack.entries:
        width = max(24, *(len(display_name(e.name)) for e in stack.entries))
        lines.append(f"  {'entry point':<{width}}  {'kind':<9}  {'worst case':>12}  deepest chain")
        for entry in stack.entries[:max(top, 1)]:
            lines.append(f"  {display_name(entry.name):<{width}}  {entry.kind:<9}  "
                         f"{worst(entry.worst_case, entry.bounded):>12}  {chain(entry.path)}")
        if len(stack.entries) > max(top, 1):
            lines.append(f"  … and {len(stack.entries) - max(top, 1):,} more entry points (all in the JSON report)")
    if stack.threads:
        width = max(24, *(len(display_name(t.name)) for t in stack.threads))
        lines.append(f"  {'thread':<{width}}  {'worst case':>12}  {'stack':>10}  {'headroom':>10}  entry (found in)")
        for thread in stack.threads[:max(top, 1)]:
            lines.append(f"  {display_name(thread.name):<{width}}  {worst(thread.worst_case, thread.bounded):>12}  "
                         f"{_reservation(thread):>10}  {_headroom(thread):>10}  {display_name(thread.entry)} "
                         f"({thread.found})")
    for name, reason in unbounded(stack):
        lines.append(f"  not bounded ({display_name(name)}): {reason}")
    for assumption in stack.assumptions:
        lines.append(f"  assumed: {assumption}")
    frames = stack.largest_frames(top)
    if frames:
        width = max(24, *(len(display_name(f.name)) for f in frames))
        lines.append(f"  {'largest frames':<{width}}  {'frame':>9}  {'from':<12}  object")
        lines += [f"  {display_name(f.name):<{width}}  {f.frame:>7,} B  {f.frame_source or '':<12}  {f.object_file}"
                  for f in frames]
    for what, detail in stack.changes:
        lines.append(f"  since the baseline, {display_name(what)}: {detail}")
    for note in stack.notes:
        lines.append(f"  note: {note}")
    return lines


def markdown_lines(stack, top: int, code, text) -> list:
    """The stack section of the comment; `code` and `text` escape names and running text."""
    lines = ["", f"**Stack**: {_ICON.get(stack.verdict, '')} {text(stack.verdict)}: {text(stack.detail)}.", ""]
    if stack.path:
        lines += [f"Deepest: {text(program_chain(stack))}", ""]
    if stack.entries:
        lines += ["| Entry point | Kind | Worst case | Deepest chain |", "|---|---|---:|---|"]
        lines += [f"| {code(display_name(e.name))} | {e.kind} | {worst(e.worst_case, e.bounded)} | "
                  f"{text(chain(e.path))} |" for e in stack.entries[:max(top, 1)]]
    if stack.threads:
        lines += ["", "| Thread | Worst case | Stack | Headroom | Entry |", "|---|---:|---:|---:|---|"]
        lines += [f"| {code(display_name(t.name))} | {worst(t.worst_case, t.bounded)} | {_reservation(t)} | "
                  f"{_headroom(t)} | {code(display_name(t.entry))} |" for t in stack.threads[:max(top, 1)]]
    causes = unbounded(stack)
    if causes:
        lines += [""] + [f"- not bounded ({code(display_name(name), in_table=False)}): {text(reason)}"
                         for name, reason in causes]
    if stack.assumptions:
        lines += [""] + [f"- assumed: {text(assumption)}" for assumption in stack.assumptions]
    if stack.changes:
        lines += [""] + [f"- since the baseline, {code(display_name(what), in_table=False)}: {text(detail)}"
                         for what, detail in stack.changes]
    return lines


def frames_table(stack, top: int, code) -> list:
    frames = stack.largest_frames(top)
    if not frames:
        return []
    return ["| Function | Frame | From | Worst case | Object |", "|---|---:|---|---:|---|"] + [
        f"| {code(display_name(f.name))} | {f.frame:,} B | {f.frame_source or ''} | {worst(f.worst_case, f.bounded)} | "
        f"{code(f.object_file)} |" for f in frames]


def html_section(stack) -> list:
    """The verdict, and each entry point's call tree: every call expandable, the frame and worst
    case of each function, the chain that decides the worst case marked."""
    parts = [f'<h2 id="stack">Stack: <span class="stack-{stack.verdict.replace(" ", "-")}">{escape(stack.verdict)}'
             f"</span></h2>", f"<p>{escape(stack.detail)}.</p>"]
    if stack.path:
        parts.append(f'<p class="stack-chain">Deepest: {escape(program_chain(stack))}</p>')
    for name, reason in unbounded(stack):
        parts.append(f'<p class="note">Not bounded ({escape(display_name(name))}): {escape(reason)}</p>')
    for assumption in stack.assumptions:
        parts.append(f'<p class="note">Assumed: {escape(assumption)}</p>')
    if stack.threads:
        rows = "".join(f"<tr><td>{escape(display_name(t.name))}</td><td>{escape(worst(t.worst_case, t.bounded))}</td>"
                       f"<td>{escape(_reservation(t))}</td><td>{escape(_headroom(t))}</td>"
                       f"<td>{escape(display_name(t.entry))}</td><td>{escape(t.found)}</td></tr>" for t in stack.threads)
        parts.append('<table class="stack-threads"><thead><tr><th>Thread</th><th>Worst case</th><th>Stack</th>'
                     f"<th>Headroom</th><th>Entry</th><th>Found in</th></tr></thead><tbody>{rows}</tbody></table>")
    for what, detail in stack.changes:
        parts.append(f'<p class="note">Since the baseline, {escape(display_name(what))}: {escape(detail)}</p>')
    for entry in stack.entries:
        if entry.function is None:
            parts.append(f'<p class="note">{escape(display_name(entry.name))}: no stack information.</p>')
            continue
        parts.append(f'<div class="stack-tree" data-entry="{escape(entry.name)}">'
                     f"<h3>{escape(display_name(entry.name))} ({escape(entry.kind)}): "
                     f"{escape(worst(entry.worst_case, entry.bounded))}</h3>" + _tree(stack, entry.function) + "</div>")
    for note in stack.notes:
        parts.append(f'<p class="note">Note: {escape(note)}</p>')
    return parts


def _label(function, deciding: bool) -> str:
    frame = f"{function.frame:,} B" if function.frame is not None else "?"
    source = f" from {function.frame_source}" if function.frame_source else ""
    return (f'<span class="fn{" deepest" if deciding else ""}">{escape(display_name(function.name))}</span> '
            f'<span class="size">frame {frame}{escape(source)}, worst case '
            f'{escape(worst(function.worst_case, function.bounded))}</span>')


def _tree(stack, root: int) -> str:
    """An entry point's call tree, built without recursion (a chain may be thousands deep): the
    deciding chain always, other calls while the page's budget lasts, a function already on the
    path above shown as recursion."""
    budget = _TREE_NODES
    out: list = []
    on_path: set = set()
    # the walk's frames: (function, deciding, depth, the callees still to show; None before it opens)
    walk = [(root, True, 0, None)]
    while walk:
        index, deciding, depth, pending = walk.pop()
        function = stack.functions[index]
        if pending is None:
            budget -= 1
            label = _label(function, deciding)
            if index in on_path:
                out.append(f'<li class="call recursion">{label} <span class="note">(recursion)</span></li>')
                continue
            children = [c for c in function.callees
                        if isinstance(c, str) or budget > 0 or (deciding and c == function.deepest)]
            if not children:
                out.append(f'<li class="call">{label}</li>' if depth else f'<ul class="tree"><li class="call">{label}</li></ul>')
                continue
            on_path.add(index)
            out.append(("" if depth else '<ul class="tree">') +
                       f"<li class=\"call\"><details{' open' if deciding else ''}><summary>{label}</summary><ul>")
            walk.append((index, deciding, depth, list(reversed(children))))
            continue
        if not pending:
            on_path.discard(index)
            out.append("</ul></details></li>" + ("" if depth else "</ul>"))
            continue
        callee = pending.pop()
        walk.append((index, deciding, depth, pending))
        if isinstance(callee, str):
            out.append(f'<li class="call unknown"><span class="note">{escape(callee)}</span></li>')
        elif budget > 0 or (deciding and callee == function.deepest):
            walk.append((callee, deciding and callee == function.deepest, depth + 1, None))
    return "".join(out)
