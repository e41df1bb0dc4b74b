"""The HTML report rendered by a real headless browser (Debian's chromium)."""

import struct
import subprocess
import zlib
from pathlib import Path

import pytest

from browser import BROWSER, clean_environment, require
from tarnwick.app.cli import main

FIRMWARE = Path(__file__).resolve().parent.parent / "examples" / "firmware"
BAR_COLOURS = {(233, 236, 242), (63, 127, 217), (224, 161, 0), (208, 52, 44)}

require("chromium")


def decode_png(data: bytes):
    """Rows of (r, g, b) tuples of an 8-bit RGB or RGBA PNG."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, chunks, header = 8, [], None
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            chunks.append(body)
        position += 12 + length
    width, height, depth, colour, _, _, interlace = header
    assert depth == 8 and colour in (2, 6) and interlace == 0
    channels = 3 if colour == 2 else 4
    raw = zlib.decompress(b"".join(chunks))
    stride = width * channels
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up, corner = previous[i], previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return rows


def screenshot(html: Path, png: Path) -> None:
    subprocess.run([BROWSER, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
                    "--force-device-scale-factor=1", f"--screenshot={png}", "--window-size=1100,1000",
                    html.as_uri()], check=True, capture_output=True, timeout=120, env=clean_environment())


def bar_rows(rows):
    """Runs of screen rows that are region bars: wide runs of the bar colours."""
    runs, inside = 0, False
    for row in rows:
        is_bar = sum(pixel in BAR_COLOURS for pixel in row) >= 300
        runs += is_bar and not inside
        inside = is_bar
    return runs


@pytest.mark.parametrize("map_name, regions", [("gnu_ld_ram_overflow.map", 3), ("llvm_lld.map", 3)])
def test_page_renders_every_region(tmp_path, map_name, regions):
    html = tmp_path / "report.html"
    main(["analyze", str(FIRMWARE / "maps" / map_name), "--config", str(FIRMWARE / "tarnwick.toml"),
          "--format", "html", "--output", str(html)])
    png = tmp_path / "shot.png"
    screenshot(html, png)
    rows = decode_png(png.read_bytes())
    assert len({pixel for row in rows[::7] for pixel in row[::7]}) > 20, "the page is blank"
    assert bar_rows(rows) == regions
    red = sum(pixel == (208, 52, 44) for row in rows for pixel in row)
    assert (red > 1000) is ("overflow" in map_name)  # the overflowing RAM bar is red
