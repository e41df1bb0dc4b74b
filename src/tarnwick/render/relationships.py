"""The relationship view of the HTML page: components on the left, the output sections they
occupy on the right, each link as wide as its bytes, with a table of the same links for
readers who do not see the picture."""

from __future__ import annotations

from collections import defaultdict

from tarnwick.render.escape import html_text as escape

WIDTH, ROW, LABEL, MOST = 900, 22, 260, 40


def _largest(totals: dict, most: int) -> list:
    ranked = sorted(totals, key=lambda name: (-totals[name], name))
    return ranked[:most]


def relationship_svg(graph: dict) -> str:
    edges = [e for e in graph.get("edges", []) if e.get("bytes", 0) > 0]
    if not edges:
        return '<p class="note">No component occupies any section.</p>'
    by_component, by_section = defaultdict(int), defaultdict(int)
    for edge in edges:
        by_component[edge["component"]] += edge["bytes"]
        by_section[edge["section"]] += edge["bytes"]
    components = _largest(by_component, MOST)
    sections = _largest(by_section, MOST)
    height = ROW * max(len(components), len(sections)) + 20
    left = {name: 10 + i * ROW + ROW / 2 for i, name in enumerate(components)}
    right = {name: 10 + i * ROW + ROW / 2 for i, name in enumerate(sections)}
    heaviest = max(e["bytes"] for e in edges)
    lines, shown = [], 0
    for edge in edges:
        if edge["component"] not in left or edge["section"] not in right:
            continue
        shown += 1
        y0, y1 = left[edge["component"]], right[edge["section"]]
        x0, x1 = LABEL, WIDTH - LABEL
        width = 1 + 9 * edge["bytes"] / heaviest
        lines.append(f'<path class="relation" d="M{x0},{y0:.1f} C{(x0 + x1) / 2},{y0:.1f} {(x0 + x1) / 2},{y1:.1f} '
                     f'{x1},{y1:.1f}" stroke="#6d83b3" stroke-opacity="0.5" stroke-width="{width:.1f}" fill="none">'
                     f'<title>{escape(edge["component"])} in {escape(edge["section"])}: {edge["bytes"]:,} B</title></path>')
    labels = [f'<text x="{LABEL - 6}" y="{y + 4:.1f}" text-anchor="end" font-size="12">{escape(name)} '
              f"({by_component[name]:,} B)</text>" for name, y in left.items()]
    labels += [f'<text x="{WIDTH - LABEL + 6}" y="{y + 4:.1f}" font-size="12">{escape(name)} '
               f"({by_section[name]:,} B)</text>" for name, y in right.items()]
    left_out = len(by_component) - len(components), len(by_section) - len(sections)
    caption = (f"{len(components)} of {len(by_component)} components and {len(sections)} of {len(by_section)} "
               "sections, the largest" if any(left_out) else
               f"{len(by_component)} components and {len(by_section)} sections")
    svg = (f'<svg class="relationships" width="{WIDTH}" height="{height}" viewBox="0 0 {WIDTH} {height}" '
           f'role="img" aria-label="Components and the sections they occupy: {escape(caption)}">'
           + "".join(lines) + "".join(labels) + "</svg>")
    rows = "".join(f"<tr><td>{escape(e['component'])}</td><td>{escape(e['section'])}</td><td>{e['bytes']:,} B</td></tr>"
                   for e in sorted(edges, key=lambda e: (-e["bytes"], e["component"], e["section"])))
    table = ('<details><summary>The same as a table</summary><table class="relations"><tr><th>Component</th>'
             f"<th>Section</th><th>Bytes</th></tr>{rows}</table></details>")
    return f'<p class="meta">{escape(caption)}.</p>' + svg + table
