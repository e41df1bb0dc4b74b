"""The HTML page the command writes is `render_html`'s text in UTF-8, byte for byte: the
explorer's data goes to the page as bytes, never decoded, and what the text would escape or
replace there must come out the same (a "<" that could end the script, names beyond ASCII,
a file name that is not UTF-8)."""

import os
import sys
from pathlib import Path

import pytest

from tarnwick.app import api
from tarnwick.render import render_to, utf8
from tarnwick.render.html import render_html

MAPS = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps"


@pytest.mark.parametrize("name, file_name", [
    ("memcpy", "fw.map"),
    ("mem</script><b>cpy", "fw.map"),
    ("mémcpy_≤_\u2603", "fw.map"),
    ("mem<cpy", os.fsdecode(b"fw\xff<.map")),
])
def test_the_written_page_is_the_rendered_text(tmp_path, name, file_name):
    if not file_name.isascii() and sys.getfilesystemencoding() != "utf-8":
        pytest.skip("file names are not UTF-8 here")
    path = tmp_path / file_name
    path.write_text((MAPS / "gnu_ld.map").read_text().replace("memcpy", name), encoding="utf-8")
    result = api.analyze(path, elf=None)
    assert any(symbol.name == name for symbol in result.report.symbols)
    written: list = []
    render_to("html", result.report, result.comparison, written.append, 10, result.model, result.outcome)
    page = b"".join(written)
    assert page == utf8(render_html(result.report, result.comparison, result.outcome, result.model))
    script = page.split(b'id="tarnwick-data">', 1)[1].split(b"</script>", 1)[0]
    assert b"<" not in script and name.replace("<", "\\u003c").encode() in script
