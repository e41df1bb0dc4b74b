"""An SVG Sankey diagram of region -> section -> component links, laid out in three columns."""

from __future__ import annotations

from collections import defaultdict
from tarnwick.render.escape import html_text as escape

_COLUMNS = {"region": 0, "section": 1, "component": 2}
_COLOURS = {"region": "#3f7fd9", "section": "#7a5cc7", "component": "#2f9e77"}
WIDTH, HEIGHT, NODE_WIDTH, GAP, LABEL = 900, 420, 14, 8, 150


def sankey_svg(sankey: dict) -> str:
    nodes, links = sankey.get("nodes", []), [l for l in sankey.get("links", []) if l.get("value", 0) > 0]
    if not nodes or not links:
        return '<p class="note">Nothing to draw.</p>'
    inflow, outflow = defaultdict(int), defaultdict(int)
    for link in links:
        outflow[link["source"]] += link["value"]
        inflow[link["target"]] += link["value"]
    value = {i: max(inflow[i], outflow[i]) for i in range(len(nodes))}
    columns: dict[int, list] = defaultdict(list)
    for index, node in enumerate(nodes):
        if value[index]:
            columns[_COLUMNS.get(node.get("kind"), 1)].append(index)
    usable = HEIGHT - 20
    scale = min((usable - GAP * (len(members) - 1)) / max(sum(value[i] for i in members), 1)
                for members in columns.values())
    scale = max(scale, 1e-9)
    span = (WIDTH - 2 * LABEL - NODE_WIDTH) / 2
    position = {}
    for column, members in columns.items():
        y = 10.0
        for index in members:
            position[index] = (LABEL + column * span, y, value[index] * scale)
            y += value[index] * scale + GAP
    out_offset, in_offset = defaultdict(float), defaultdict(float)
    paths = []
    for link in links:
        source, target = link["source"], link["target"]
        if source not in position or target not in position:
            continue
        width = link["value"] * scale
        x0, y0, _ = position[source]
        x1, y1, _ = position[target]
        start = y0 + out_offset[source] + width / 2
        end = y1 + in_offset[target] + width / 2
        out_offset[source] += width
        in_offset[target] += width
        x0 += NODE_WIDTH
        middle = (x0 + x1) / 2
        paths.append(f'<path class="sankey-link" d="M{x0:.1f},{start:.1f} C{middle:.1f},{start:.1f} '
                     f'{middle:.1f},{end:.1f} {x1:.1f},{end:.1f}" stroke="#8aa0c8" stroke-opacity="0.45" '
                     f'stroke-width="{max(width, 0.5):.1f}" fill="none"><title>{escape(nodes[source]["name"])} '
                     f'→ {escape(nodes[target]["name"])}: {link["value"]:,} B</title></path>')
    boxes = []
    for index, (x, y, height) in position.items():
        node = nodes[index]
        kind = node.get("kind", "section")
        anchor, label_x = ("end", x - 4) if kind == "region" else ("start", x + NODE_WIDTH + 4)
        boxes.append(f'<rect class="sankey-node" data-kind="{escape(kind)}" x="{x:.1f}" y="{y:.1f}" '
                     f'width="{NODE_WIDTH}" height="{max(height, 1):.1f}" fill="{_COLOURS.get(kind, "#888")}"/>'
                     f'<text x="{label_x:.1f}" y="{y + max(height, 1) / 2 + 4:.1f}" text-anchor="{anchor}" '
                     f'font-size="11">{escape(node["name"])} ({value[index]:,} B)</text>')
    return (f'<svg class="sankey" width="{WIDTH}" height="{HEIGHT}" viewBox="0 0 {WIDTH} {HEIGHT}" '
            '>' + "".join(paths) + "".join(boxes) + "</svg>")


def balanced(sankey: dict, books: list) -> dict:
    """The flows with each region's own total: the analysis draws a region's sections, and a
    region also holds load images of initialised data and gaps between sections, which are
    added as flows of their own, so the picture's total for a region is the region table's."""
    from tarnwick.render.ledger import GAPS, LOAD_IMAGE

    nodes = list(sankey.get("nodes", []))
    links = list(sankey.get("links", []))
    outflow: dict = defaultdict(int)
    for link in links:
        outflow[link["source"]] += link.get("value", 0)
    index = {(node.get("kind"), node.get("name")): i for i, node in enumerate(nodes)}
    for book in books:
        source = index.get(("region", book.name))
        if source is None:
            continue
        missing = book.used - outflow[source]
        for line in book.lines:
            if line.kind not in (LOAD_IMAGE, GAPS) or line.size <= 0 or missing <= 0:
                continue
            size = min(line.size, missing)
            nodes.append({"id": f"extra:{book.name}:{line.label}", "kind": "section", "name": f"({line.label})"})
            links.append({"source": source, "target": len(nodes) - 1, "value": size})
            missing -= size
        if missing > 0:  # what the ledger cannot name, labelled rather than left out
            nodes.append({"id": f"extra:{book.name}:other", "kind": "section", "name": "(other bytes of the region)"})
            links.append({"source": source, "target": len(nodes) - 1, "value": missing})
    return {**sankey, "nodes": nodes, "links": links}
