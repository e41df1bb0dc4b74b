"""The part of YAML that partition files are written in: block mappings and sequences (also a
sequence at its key's indentation, as PyYAML writes it), flow `[...]` and `{...}` of scalars,
anchors and aliases (the partition manager shares its span lists so), plain and quoted
scalars, comments. Scalars are integers (decimal, 0x), booleans, null or strings, as YAML
reads them; a plain scalar YAML 1.1 and 1.2 read differently (0755, yes, 0b1) is refused.
Anything else (block scalars, tags, multi-line plain scalars, several documents)
is refused at its line rather than read some other way. Every value remembers its line."""

from __future__ import annotations

import re
from typing import Any

from tarnwick.support.figures import FigureTooLong, figure

_INTEGER = re.compile(r"^[-+]?(0x[0-9a-fA-F_]+|[0-9][0-9_]*)$")
_BOOLEANS = {"true": True, "True": True, "TRUE": True, "false": False, "False": False, "FALSE": False}
_NULLS = {"", "~", "null", "Null", "NULL"}
# Plain scalars YAML 1.1 (PyYAML, which writes these files) and YAML 1.2 read differently.
_AMBIGUOUS = re.compile(r"^(?:[-+]?0[0-9_]+|[-+]?0[ob][0-9_]+|yes|no|on|off|Yes|No|On|Off|YES|NO|ON|OFF)$")
_KEY = re.compile(r"^((?:\"(?:[^\"\\]|\\.)*\"|'(?:[^']|'')*'|[^\s#'\"\[\]{},&*!|>%@`][^#]*?))\s*:(?:\s+|$)")


class YamlError(ValueError):
    """`line` and `reason`: where the text leaves the subset, and how."""

    def __init__(self, line: int, reason: str):
        self.line, self.reason = line, reason
        super().__init__(f"line {line}: {reason}")


class Lines(dict):
    """A mapping that also says on which line each key is (`line_of`), and its own (`line`)."""

    line = 0

    def line_of(self, key) -> int:
        return self.__dict__.get("_lines", {}).get(key, self.line)

    def put(self, key, value, line: int) -> None:
        self.__dict__.setdefault("_lines", {})[key] = line
        self[key] = value


def _strip_comment(text: str) -> str:
    """The line without its comment (a `#` at the start or after a blank, outside quotes)."""
    quote = None
    for index, char in enumerate(text):
        if quote:
            if char == quote:
                quote = None
        elif char in "'\"" and (index == 0 or text[index - 1] in " \t[{,:"):
            quote = char
        elif char == "#" and (index == 0 or text[index - 1] in " \t"):
            return text[:index].rstrip()
    return text.rstrip()


class _Reader:
    def __init__(self, text: str):
        self.rows = []  # (line number, indentation, content)
        started = ended = False
        for number, raw in enumerate(text.splitlines(), 1):
            content = _strip_comment(raw)
            if not content.strip():
                continue
            if content.startswith("%"):
                raise YamlError(number, "a YAML directive")
            if ended or (content.rstrip() == "---" and started):
                raise YamlError(number, "a second YAML document")
            if content.rstrip() in ("---", "..."):
                ended = content.rstrip() == "..."
                continue
            started = True
            body = content.lstrip(" ")
            if body.startswith("\t") or "\t" in content[:len(content) - len(body)]:
                raise YamlError(number, "a tab in the indentation")
            self.rows.append((number, len(content) - len(body), body))
        self.index = 0
        self.anchors: dict = {}

    def document(self) -> Any:
        if not self.rows:
            return None
        value = self.block(self.rows[0][1])
        if self.index < len(self.rows):
            number, _, _ = self.rows[self.index]
            raise YamlError(number, "text at an indentation that belongs to nothing above it")
        return value

    def block(self, indent: int) -> Any:
        number, _, body = self.rows[self.index]
        if body == "-" or body.startswith("- "):
            return self.sequence(indent)
        if _KEY.match(body):
            return self.mapping(indent)
        self.index += 1
        value = self.inline(body, number)
        if self.index < len(self.rows) and self.rows[self.index][1] > indent:
            raise YamlError(self.rows[self.index][0], "a plain scalar over several lines")
        return value

    def mapping(self, indent: int) -> Lines:
        result = Lines()
        result.line = self.rows[self.index][0]
        while self.index < len(self.rows):
            number, at, body = self.rows[self.index]
            if at < indent:
                break
            if at > indent:
                raise YamlError(number, "indented deeper than the key above it")
            found = _KEY.match(body)
            if found is None:
                raise YamlError(number, "expected 'key: value'" if not body.startswith("- ") else
                                "a sequence item among a mapping's keys")
            key = self.scalar(found[1].strip(), number)
            if key in result:
                raise YamlError(number, f"key {key!r} is given twice (also on line {result.line_of(key)})")
            rest = body[found.end():].strip()
            self.index += 1
            result.put(key, self.value_after(rest, indent, number), number)
        return result

    def sequence(self, indent: int) -> list:
        result = []
        while self.index < len(self.rows):
            number, at, body = self.rows[self.index]
            if at != indent or not (body == "-" or body.startswith("- ")):
                if at > indent:
                    raise YamlError(number, "indented deeper than the sequence item above it")
                break
            rest = body[1:].strip()
            if rest and (_KEY.match(rest) or rest.startswith("- ")):
                # "- key: value": a mapping (or sequence) that starts on the item's line
                self.rows[self.index] = (number, at + (len(body) - len(body[1:].lstrip(" "))), body[1:].lstrip(" "))
                result.append(self.block(self.rows[self.index][1]))
                continue
            self.index += 1
            result.append(self.value_after(rest, indent, number, in_sequence=True))
        return result

    def value_after(self, rest: str, indent: int, number: int, in_sequence: bool = False) -> Any:
        """The value of a key (or item) whose line holds `rest` after the colon (or dash)."""
        anchor = None
        if rest.startswith("&"):
            anchor, _, rest = rest[1:].partition(" ")
            rest = rest.strip()
            if not anchor:
                raise YamlError(number, "an anchor without a name")
        if rest:
            value = self.inline(rest, number)
        elif self.index < len(self.rows) and (self.rows[self.index][1] > indent or (
                not in_sequence and self.rows[self.index][1] == indent
                and (self.rows[self.index][2] == "-" or self.rows[self.index][2].startswith("- ")))):
            value = self.block(self.rows[self.index][1])
        else:
            value = None
        if anchor is not None:
            self.anchors[anchor] = value
        return value

    def inline(self, text: str, number: int) -> Any:
        text = text.strip()
        if text.startswith("*"):
            name = text[1:]
            if name not in self.anchors:
                raise YamlError(number, f"alias *{name} names no anchor above it")
            return self.anchors[name]
        if text.startswith(("[", "{")):
            value, rest = self.flow(text, number)
            if rest.strip():
                raise YamlError(number, f"text after a flow collection: {rest.strip()!r}")
            return value
        if text.startswith(("|", ">")):
            raise YamlError(number, "a block scalar (| or >)")
        if text.startswith(("!", "?", "@", "`")):
            raise YamlError(number, f"{text[0]!r} (tags and complex keys are not read)")
        return self.scalar(text, number)

    def flow(self, text: str, number: int) -> tuple:
        """(the collection at the start of `text`, what follows it)."""
        closing = "]" if text[0] == "[" else "}"
        items: Any = [] if closing == "]" else Lines()
        if isinstance(items, Lines):
            items.line = number
        rest = text[1:].lstrip()
        while True:
            if rest.startswith(closing):
                return items, rest[1:]
            if not rest:
                raise YamlError(number, f"a flow collection without its {closing!r} on the same line")
            if rest[0] in "[{":
                value, rest = self.flow(rest, number)
                key = None
            else:
                token = re.match(r"(\"(?:[^\"\\]|\\.)*\"|'(?:[^']|'')*'|[^,\[\]{}:]*(?::(?!\s)[^,\[\]{}:]*)*)", rest)
                piece = token[0]
                rest = rest[len(piece):].lstrip()
                key = None
                if closing == "}":
                    if not rest.startswith(":"):
                        raise YamlError(number, f"expected 'key: value' in a flow mapping, found {piece!r}")
                    key = self.scalar(piece.strip(), number)
                    rest = rest[1:].lstrip()
                    if rest[:1] in ("[", "{"):
                        value, rest = self.flow(rest, number)
                    else:
                        token = re.match(r"(\"(?:[^\"\\]|\\.)*\"|'(?:[^']|'')*'|[^,\[\]{}]*)", rest)
                        value = self.inline(token[0], number) if token[0].strip() else None
                        rest = rest[len(token[0]):]
                else:
                    value = self.inline(piece, number) if piece.strip() else None
            if closing == "}":
                if key in items:
                    raise YamlError(number, f"key {key!r} is given twice")
                items.put(key, value, number)
            else:
                items.append(value)
            rest = rest.lstrip()
            if rest.startswith(","):
                rest = rest[1:].lstrip()
            elif not rest.startswith(closing):
                raise YamlError(number, f"expected ',' or {closing!r} in a flow collection")

    @staticmethod
    def scalar(text: str, number: int) -> Any:
        if text.startswith('"'):
            if len(text) < 2 or not text.endswith('"'):
                raise YamlError(number, "a double-quoted string that never closes")
            try:
                return text[1:-1].encode("latin-1", "backslashreplace").decode("unicode_escape")
            except UnicodeDecodeError:
                raise YamlError(number, "a bad escape in a double-quoted string") from None
        if text.startswith("'"):
            if len(text) < 2 or not text.endswith("'"):
                raise YamlError(number, "a single-quoted string that never closes")
            return text[1:-1].replace("''", "'")
        if text in _NULLS:
            return None
        if _AMBIGUOUS.match(text):
            raise YamlError(number, f"{text!r} means one thing to YAML 1.1 and another to YAML 1.2: quote it, "
                            "or write a number in decimal without leading zeros or in hex")
        if text in _BOOLEANS:
            return _BOOLEANS[text]
        if _INTEGER.match(text):
            digits = text.replace("_", "")
            sign = -1 if digits.startswith("-") else 1
            digits = digits.lstrip("+-")
            try:
                return sign * (figure(digits[2:], 16) if digits[:2] == "0x" else figure(digits, 10))
            except FigureTooLong as exc:
                raise YamlError(number, str(exc)) from None
        return text


def load(text: str) -> Any:
    """The document of `text`; a YamlError where it leaves the subset."""
    return _Reader(text).document()


def line_of(value: Any, default: int = 0) -> int:
    return getattr(value, "line", default) or default


__all__ = ["Lines", "YamlError", "line_of", "load"]
