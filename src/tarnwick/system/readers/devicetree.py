"""Zephyr's final devicetree (build/zephyr/zephyr.dts, as the build writes it after every
overlay): the `fixed-partitions` under each flash node, their labels and `reg`, the flash's
base address and write geometry, and the partition `chosen` for the code.

The source syntax is read whole (labels, references, nodes opened again and merged, `&label`
overlays, /delete-node/ and /delete-property/, cell expressions in parentheses), so a
hand-written devicetree reads too once the C preprocessor has run; a preprocessor line is
refused, since what its macros mean is not in the file."""

from __future__ import annotations

import bisect
from typing import Optional

from tarnwick.support.figures import FigureTooLong, figure
from tarnwick.system.partitions import Device, Partition, PartitionFileError, PartitionLayout

_NAME_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789,._+*#?@-")
_LABEL_CHARS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_")
_PREPROCESSOR = ("include", "define", "undef", "if", "ifdef", "ifndef", "elif", "else", "endif", "pragma", "error")
# binary operators of a cell expression, by precedence (higher binds tighter), longest first
_BINARY = [("||", 1), ("&&", 2), ("<<", 8), (">>", 8), ("<=", 7), (">=", 7), ("==", 6), ("!=", 6),
           ("|", 3), ("^", 4), ("&", 5), ("<", 7), (">", 7), ("+", 9), ("-", 9), ("*", 10), ("/", 10), ("%", 10)]
_MASK = (1 << 64) - 1
_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "0": "\0", "a": "\a", "b": "\b",
            "f": "\f", "v": "\v"}


class _Node:
    __slots__ = ("name", "labels", "properties", "children", "parent", "line")

    def __init__(self, name: str, parent: Optional["_Node"], line: int):
        self.name, self.parent, self.line = name, parent, line
        self.labels: list = []
        self.properties: dict = {}  # name -> (values, line)
        self.children: dict = {}

    def walk(self):
        yield self
        for child in self.children.values():
            yield from child.walk()

    def strings(self, name: str) -> list:
        values = self.properties.get(name, ((), 0))[0]
        return [value for kind, value in values if kind == "string"]

    def cells(self, name: str) -> Optional[list]:
        """The property's cells, all its <...> lists joined; None when it has none."""
        values = self.properties.get(name)
        if values is None:
            return None
        cells = []
        for kind, value in values[0]:
            if kind == "cells":
                cells.extend(value)
        return cells


class _Parser:
    def __init__(self, path: str, text: str):
        self.path, self.text, self.pos = path, text, 0
        self.newlines = [index for index, char in enumerate(text) if char == "\n"]
        self.root = _Node("/", None, 1)
        self.references: list = []  # those in values, resolved once the file is read

    # --- characters -----------------------------------------------------------------------------

    def line(self, pos: Optional[int] = None) -> int:
        return bisect.bisect_left(self.newlines, self.pos if pos is None else pos) + 1

    def fail(self, reason: str, pos: Optional[int] = None) -> PartitionFileError:
        return PartitionFileError(self.path, reason, self.line(pos))

    def skip(self) -> None:
        text, length = self.text, len(self.text)
        while self.pos < length:
            char = text[self.pos]
            if char in " \t\r\n":
                self.pos += 1
            elif text.startswith("//", self.pos):
                end = text.find("\n", self.pos)
                self.pos = length if end < 0 else end
            elif text.startswith("/*", self.pos):
                end = text.find("*/", self.pos + 2)
                if end < 0:
                    raise self.fail("a comment that never ends")
                self.pos = end + 2
            elif char == "#" and self._directive():
                word = text[self.pos + 1:self.pos + 40].split()[0]
                raise self.fail(f"a preprocessor line (#{word}): give the devicetree the build wrote after "
                                "the preprocessor (build/zephyr/zephyr.dts)")
            else:
                return

    def _directive(self) -> bool:
        start = self.text.rfind("\n", 0, self.pos) + 1
        if self.text[start:self.pos].strip():
            return False
        rest = self.text[self.pos + 1:self.pos + 16].lstrip(" \t")
        return any(rest.startswith(word) and rest[len(word):len(word) + 1] not in _NAME_CHARS
                   for word in _PREPROCESSOR)

    def peek(self, literal: str) -> bool:
        self.skip()
        return self.text.startswith(literal, self.pos)

    def take(self, literal: str) -> bool:
        if self.peek(literal):
            self.pos += len(literal)
            return True
        return False

    def expect(self, literal: str, what: str) -> None:
        if not self.take(literal):
            found = self.text[self.pos:self.pos + 12].split("\n", 1)[0] or "the end of the file"
            raise self.fail(f"expected {literal!r} {what}, found {found!r}")

    def word(self, allowed=_NAME_CHARS) -> str:
        self.skip()
        start = self.pos
        while self.pos < len(self.text) and self.text[self.pos] in allowed:
            self.pos += 1
        return self.text[start:self.pos]

    # --- the file ------------------------------------------------------------------------------

    def parse(self) -> _Node:
        while True:
            self.skip()
            if self.pos >= len(self.text):
                for reference in self.references:  # as dtc does: a reference to nothing is an error
                    self.resolve(reference)
                return self.root
            if self.take("/dts-v1/") or self.take("/plugin/"):
                self.expect(";", "after the version")
            elif self.take("/memreserve/"):
                self.number()
                self.number()
                self.expect(";", "after /memreserve/")
            elif self.take("/delete-node/"):
                self._delete(self.reference())
                self.expect(";", "after /delete-node/")
            elif self.take("/omit-if-no-ref/"):
                continue
            elif self.peek("/"):
                self.pos += 1
                self.body(self.root)
            elif self.peek("&"):
                self.body(self.reference())
            else:
                self.label_list()
                if self.peek("/") or self.peek("&"):
                    continue
                raise self.fail("expected a node ('/ {' or '&label {')")

    def label_list(self) -> list:
        """Labels ("name:") before a node or a property."""
        labels = []
        while True:
            self.skip()
            start = self.pos
            label = self.word(_LABEL_CHARS)
            if label and self.text.startswith(":", self.pos):
                self.pos += 1
                labels.append(label)
                continue
            self.pos = start
            return labels

    def body(self, node: _Node) -> None:
        self.expect("{", "to open a node")
        while not self.take("}"):
            if self.pos >= len(self.text):
                raise self.fail(f"node {node.name} is never closed", self._line_start(node.line))
            if self.take("/delete-node/"):
                if self.peek("&"):
                    self._delete(self.reference())
                else:
                    node.children.pop(self.word(), None)
                self.expect(";", "after /delete-node/")
                continue
            if self.take("/delete-property/"):
                node.properties.pop(self.word(), None)
                self.expect(";", "after /delete-property/")
                continue
            self.take("/omit-if-no-ref/")
            labels = self.label_list()
            line = self.line()
            name = self.word()
            if not name:
                raise self.fail(f"expected a property or a node in {node.name}")
            if self.peek("{"):
                child = node.children.get(name)
                if child is None:
                    child = node.children[name] = _Node(name, node, line)
                child.labels += [label for label in labels if label not in child.labels]
                self.body(child)
            elif self.take("="):
                node.properties[name] = (self.values(), line)
                self.expect(";", f"after property {name}")
            else:
                node.properties[name] = ((), line)
                self.expect(";", f"after property {name}")
        self.expect(";", f"after node {node.name}")

    def _line_start(self, line: int) -> int:
        return self.newlines[line - 2] + 1 if line >= 2 else 0

    def reference(self) -> _Node:
        """`&label` or `&{/path/to/node}` before a node: the node it names, defined above."""
        return self.resolve(self._reference())

    def later_reference(self) -> tuple:
        """A reference in a value, which may name a node the file defines further down: resolved
        by `resolve` once the file is read."""
        reference = self._reference()
        self.references.append(reference)
        return reference

    def _reference(self) -> tuple:
        """("path" or "label", the text after `&`, where it is)."""
        self.expect("&", "for a reference")
        start = self.pos
        if self.text.startswith("{", self.pos):
            end = self.text.find("}", self.pos)
            line_end = self.text.find("\n", self.pos)
            if end < 0 or 0 <= line_end < end:  # a path is one line: its text goes into messages
                raise self.fail("a path reference that never closes")
            self.pos = end + 1
            return ("path", self.text[start + 1:end], start)
        return ("label", self.word(_LABEL_CHARS), start)

    def resolve(self, reference: tuple) -> _Node:
        kind, name, start = reference
        node = self._by_path(name) if kind == "path" else self._by_label(name)
        if node is None:
            raise self.fail(f"&{{{name}}}: no such node" if kind == "path" else f"&{name}: no node has this label",
                            start)
        return node

    def _by_label(self, label: str) -> Optional[_Node]:
        return next((node for node in self.root.walk() if label in node.labels), None)

    def _by_path(self, path: str) -> Optional[_Node]:
        node = self.root
        for part in (piece for piece in path.split("/") if piece):
            found = node.children.get(part)
            if found is None:  # a path may leave out the unit address
                found = next((child for name, child in node.children.items() if name.split("@")[0] == part), None)
            if found is None:
                return None
            node = found
        return node

    def _delete(self, node: _Node) -> None:
        if node.parent is not None:
            node.parent.children = {name: child for name, child in node.parent.children.items() if child is not node}

    # --- values --------------------------------------------------------------------------------

    def values(self) -> tuple:
        values = []
        while True:
            self.label_list()
            if self.take("/bits/"):
                bits = self.number()
                if bits not in (8, 16, 32, 64):
                    raise self.fail(f"/bits/ {bits}: must be 8, 16, 32 or 64")
                values.append(("cells", self.cell_list(bits)))
            elif self.peek("<"):
                values.append(("cells", self.cell_list(32)))
            elif self.peek('"'):
                values.append(("string", self.string()))
            elif self.take("["):
                values.append(("bytes", self.byte_string()))
            elif self.peek("&"):
                values.append(("ref", self.later_reference()))
            else:
                raise self.fail("expected a value (<cells>, \"string\", [bytes] or &reference)")
            if not self.take(","):
                return tuple(values)

    def cell_list(self, bits: int) -> list:
        self.expect("<", "to open the cells")
        cells = []
        while not self.take(">"):
            if self.pos >= len(self.text):
                raise self.fail("cells that never close")
            self.label_list()
            if self.peek("&"):
                cells.append(self.later_reference())
            elif self.take("("):
                cells.append(self.expression() & ((1 << bits) - 1))
                self.expect(")", "to close the expression")
            else:
                cells.append(self.number() & ((1 << bits) - 1))
        return cells

    def number(self) -> int:
        self.skip()
        if self.text.startswith("'", self.pos):
            return ord(self.character())
        start = self.pos
        while self.pos < len(self.text) and (self.text[self.pos].isalnum() or self.text[self.pos] == "_"):
            self.pos += 1
        literal = self.text[start:self.pos].rstrip("uUlL")
        try:
            if literal[:2].lower() == "0x":
                return figure(literal[2:], 16)
            if literal[:2].lower() == "0b":
                return figure(literal[2:], 2)
            if len(literal) > 1 and literal.startswith("0"):
                return figure(literal[1:], 8)
            return figure(literal, 10)
        except FigureTooLong as exc:
            raise self.fail(str(exc), start) from None
        except ValueError:
            raise self.fail(f"{self.text[start:self.pos] or self.text[start:start + 1]!r} is not a number",
                            start) from None

    def character(self) -> str:
        start = self.pos
        self.pos += 1
        char = self.text[self.pos:self.pos + 1]
        if char == "\\":
            self.pos += 1
            char = _ESCAPES.get(self.text[self.pos:self.pos + 1], self.text[self.pos:self.pos + 1])
        self.pos += 1
        if not char or not self.text.startswith("'", self.pos):
            raise self.fail("a character literal that never closes", start)
        self.pos += 1
        return char

    def string(self) -> str:
        start = self.pos
        self.pos += 1
        pieces = []
        while True:
            if self.pos >= len(self.text) or self.text[self.pos] == "\n":
                raise self.fail("a string that never closes", start)
            char = self.text[self.pos]
            self.pos += 1
            if char == '"':
                return "".join(pieces)
            if char == "\\":
                escaped = self.text[self.pos:self.pos + 1]
                self.pos += 1
                if escaped == "x":
                    digits = self.text[self.pos:self.pos + 2]
                    self.pos += 2
                    try:
                        pieces.append(chr(int(digits, 16)))
                    except ValueError:
                        raise self.fail(f"\\x{digits} is not a character", start) from None
                else:
                    pieces.append(_ESCAPES.get(escaped, escaped))
            else:
                pieces.append(char)

    def byte_string(self) -> bytes:
        digits = []
        while not self.take("]"):
            pair = self.text[self.pos:self.pos + 2]
            if len(pair) < 2 or any(c not in "0123456789abcdefABCDEF" for c in pair):
                raise self.fail("expected two hex digits in a byte string")
            digits.append(pair)
            self.pos += 2
        return bytes.fromhex("".join(digits))

    def expression(self, floor: int = 0) -> int:
        """A C integer expression, as dtc evaluates the ones in parentheses."""
        value = self.unary()
        while True:
            self.skip()
            operator = next(((op, rank) for op, rank in _BINARY if self.text.startswith(op, self.pos)), None)
            if operator is None and self.text.startswith("?", self.pos) and floor == 0:
                self.pos += 1
                then = self.expression()
                self.expect(":", "in a conditional expression")
                otherwise = self.expression()
                return then if value else otherwise
            if operator is None or operator[1] <= floor:
                return value
            self.pos += len(operator[0])
            value = self._apply(operator[0], value, self.expression(operator[1]))

    def _apply(self, operator: str, left: int, right: int) -> int:
        if operator in ("/", "%") and right == 0:
            raise self.fail("division by zero in a cell expression")
        results = {
            "||": lambda: int(bool(left) or bool(right)), "&&": lambda: int(bool(left) and bool(right)),
            "<<": lambda: (left << right) & _MASK if right < 64 else 0, ">>": lambda: left >> right,
            "<=": lambda: int(left <= right), ">=": lambda: int(left >= right), "==": lambda: int(left == right),
            "!=": lambda: int(left != right), "|": lambda: left | right, "^": lambda: left ^ right,
            "&": lambda: left & right, "<": lambda: int(left < right), ">": lambda: int(left > right),
            "+": lambda: (left + right) & _MASK, "-": lambda: (left - right) & _MASK,
            "*": lambda: (left * right) & _MASK, "/": lambda: left // right, "%": lambda: left % right,
        }
        return results[operator]()

    def unary(self) -> int:
        self.skip()
        for operator, apply in (("-", lambda v: -v & _MASK), ("~", lambda v: ~v & _MASK), ("!", lambda v: int(not v)),
                                ("+", lambda v: v)):
            if self.text.startswith(operator, self.pos):
                self.pos += 1
                return apply(self.unary())
        if self.take("("):
            value = self.expression()
            self.expect(")", "to close the expression")
            return value
        return self.number()


def _join(cells: list) -> int:
    value = 0
    for cell in cells:
        value = (value << 32) | cell
    return value


def _size_cells(node: Optional[_Node], name: str, default: int, parser: _Parser) -> int:
    cells = node.cells(name) if node is not None else None
    if not cells:
        return default
    if len(cells) != 1 or not isinstance(cells[0], int) or cells[0] > 2:
        raise parser.fail(f"{name} of {node.name} must be one cell of 1 or 2",
                          parser._line_start(node.properties[name][1]))
    return cells[0]


def _reg(node: _Node, address_cells: int, size_cells: int, parser: _Parser, sized: bool = True):
    """(address, size) of the node's first `reg` range; size None where it has no size cells."""
    cells = node.cells("reg")
    line = node.properties.get("reg", ((), node.line))[1]
    width = address_cells + size_cells
    if cells is None:
        return None
    if any(not isinstance(cell, int) for cell in cells) or len(cells) < (width if sized else address_cells) \
            or (width and len(cells) % width and sized):
        raise parser.fail(f"reg of {node.name} must be {address_cells} address and {size_cells} size cell(s) "
                          f"a range, not {len(cells)} value(s)", parser._line_start(line))
    address = _join(cells[:address_cells])
    size = _join(cells[address_cells:width]) if size_cells and len(cells) >= width else None
    return address, size


def _name_of(node: _Node) -> str:
    return node.labels[0] if node.labels else node.name


def read_devicetree(path: str, text: str) -> PartitionLayout:
    parser = _Parser(path, text)
    root = parser.parse()
    layout = PartitionLayout()
    chosen = root.children.get("chosen")
    code = _chosen(chosen, "zephyr,code-partition", parser)
    cpu_flash = _chosen(chosen, "zephyr,flash", parser)
    for node in root.walk():
        if "fixed-partitions" not in node.strings("compatible"):
            continue
        flash = node.parent
        if flash is None or flash.parent is None:
            raise parser.fail("a fixed-partitions node that is not under a flash node", parser._line_start(node.line))
        bus = flash.parent
        where = _reg(flash, _size_cells(bus, "#address-cells", 2, parser), _size_cells(bus, "#size-cells", 1, parser),
                     parser, sized=False)
        base, extent = where if where is not None else (0, None)
        device_name = _name_of(flash)
        mapped = "soc-nv-flash" in flash.strings("compatible") or flash is cpu_flash
        geometry = {name: (flash.cells(name) or [None])[0] for name in ("erase-block-size", "write-block-size")}
        layout.devices[device_name] = Device(device_name, base if mapped else 0, extent,
                                             geometry["erase-block-size"], geometry["write-block-size"])
        address_cells = _size_cells(node, "#address-cells", 2, parser)
        size_cells = _size_cells(node, "#size-cells", 1, parser)
        for child in node.children.values():
            reg = _reg(child, address_cells, size_cells, parser)
            if reg is None:
                raise parser.fail(f"partition {child.name} has no reg", parser._line_start(child.line))
            offset, size = reg
            if not size:
                raise parser.fail(f"partition {child.name} has no size", parser._line_start(child.line))
            aliases = tuple(dict.fromkeys([*child.labels[1:], *child.strings("label"), child.name]))
            layout.partitions.append(Partition(
                _name_of(child), (base if mapped else 0) + offset, size, device_name, "flash", mapped,
                tuple(alias for alias in aliases if alias != _name_of(child)), (), f"{path}:{child.line}"))
            if child is code:
                layout.chosen_code = _name_of(child)
    if not layout.partitions:
        raise PartitionFileError(path, "no fixed-partitions node with partitions (the flash's layout) in this "
                                 "devicetree")
    return layout


def _chosen(chosen: Optional[_Node], name: str, parser: _Parser) -> Optional[_Node]:
    """The node a `chosen` property names, by reference or by path."""
    if chosen is None or name not in chosen.properties:
        return None
    for kind, value in chosen.properties[name][0]:
        if kind == "ref":
            return parser.resolve(value)
        if kind == "string":
            node = parser._by_path(value)
            if node is None:
                raise parser.fail(f"chosen {name} = \"{value}\": no such node",
                                  parser._line_start(chosen.properties[name][1]))
            return node
    return None
