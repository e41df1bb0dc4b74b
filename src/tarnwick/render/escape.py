"""Text from the input (file names, region, section and project names, and the findings that
quote them) made safe for where it is shown: a terminal or log line, markdown for a
pull-request comment, and HTML."""

from __future__ import annotations

import re

from tarnwick.support.patterns import LazyPattern

# Control characters (a newline would split a one-line message, an escape sequence would
# reach the terminal) and the invisible characters that reorder or hide text.
_INVISIBLE = [*range(0x00, 0x20), 0x7F, *range(0x80, 0xA0), 0x061C, 0x200B, 0x200E, 0x200F,
              *range(0x202A, 0x202F), *range(0x2066, 0x206A), 0xFEFF]
_NAMED = {0x09: "\\t", 0x0A: "\\n", 0x0D: "\\r"}
_PLAIN = {code: _NAMED.get(code, f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")
          for code in _INVISIBLE}
# Where a text shows escapes, its own backslashes are doubled so that no escape can be faked;
# a text without any (a Windows path) is shown as it is.
_ESCAPED = {**_PLAIN, ord("\\"): "\\\\"}
# What markdown can read as syntax anywhere in a line (a full stop or a comma never is).
_MARKDOWN_PUNCTUATION = LazyPattern(r"([\\`*_{}\[\]()#+\-!|<>~&=])")
# What GitHub turns into a link even without markdown syntax: URLs, www. and e-mail addresses.
_AUTOLINK = LazyPattern(r"(://|www\.|@)", re.IGNORECASE)
_ZERO_WIDTH_SPACE = "\u200b"


def plain(text) -> str:
    """One line of plain text: invisible and control characters written as escapes."""
    text = text if isinstance(text, str) else str(text)
    if text.isprintable():  # every character _PLAIN escapes is one isprintable() refuses
        return text
    return text.translate(_ESCAPED)


def markdown_text(text) -> str:
    """Running markdown text that shows exactly the characters given: every punctuation mark
    escaped (no emphasis, links, images or HTML), and no automatic links."""
    unlinked = _AUTOLINK.sub(lambda m: m[1][0] + _ZERO_WIDTH_SPACE + m[1][1:], plain(text))
    return _MARKDOWN_PUNCTUATION.sub(r"\\\1", unlinked)


def markdown_code(text, in_table: bool = True) -> str:
    """A name as an inline code span, where markdown interprets nothing; the fence is longer
    than any run of backticks inside. In a table a `|` must still be escaped."""
    text = plain(text)
    longest = max((len(run) for run in re.findall(r"`+", text)), default=0)
    fence = "`" * (longest + 1)
    if text.startswith(("`", " ")) or text.endswith(("`", " ")) or not text:
        text = f" {text} "
    if in_table:
        text = text.replace("|", "\\|")
    return f"{fence}{text}{fence}"


def html_text(text) -> str:
    """Text from the input as HTML: markup escaped, control characters written as escapes."""
    # html.escape's replacements, without loading its table of entities
    return (plain(text).replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;").replace("'", "&#x27;"))
