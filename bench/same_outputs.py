"""Every output of every map the tests and ../shared hold, kept and compared: run `save DIR`
before a change that must not change what tarnwick prints, `compare DIR` after it. Each map is
analysed in the four formats (with its ELF where one is found, and alone); the time of the run
is the only part left out of the comparison.

Run: python bench/same_outputs.py save /tmp/outputs-before
     python bench/same_outputs.py compare /tmp/outputs-before [--only NAME,NAME]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import re
import shutil
import sys
import tempfile
from pathlib import Path

from tarnwick.cli import main as command

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
FOLDERS = [ROOT / "tests" / "vendor_maps", ROOT / "tests" / "conformance" / "maps",
           ROOT / "examples" / "firmware" / "maps", SHARED / "vendormaps", SHARED / "realmaps"]
FORMATS = ("text", "json", "markdown", "html")
# the moment of the run, as the JSON report and the HTML page give it
_MOMENT = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(?:\.\d+)?(?:[+-]\d\d:\d\d|Z)?"
                     r"|\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(?: [A-Z]{2,5}| [+-]\d{4})?")


def maps() -> list:
    return sorted((path for folder in FOLDERS if folder.is_dir() for path in folder.glob("*.map")),
                  key=lambda p: (p.parent.name, p.name))


def outputs(path: Path, written: Path) -> dict:
    """(the exit code, what is said on stderr, the report written) of each format, with and
    without the ELF file; `written`: where the reports go, one after the other."""
    found = {}
    for elf in ((), ("--no-elf",)):
        for kind in FORMATS:
            written.unlink(missing_ok=True)
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                code = command(["analyze", str(path), "--format", kind, "--output", str(written), *elf])
            text = _MOMENT.sub("<moment>", written.read_text(encoding="utf-8")) if written.exists() else ""
            found[f"{kind}{'-no-elf' if elf else ''}"] = f"exit {code}\n{err.getvalue()}\n{text}"
    return found


def key(path: Path) -> str:
    return f"{path.parent.name}--{path.name}"


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("action", choices=("save", "compare"))
    parser.add_argument("folder", type=Path)
    parser.add_argument("--only", default="", help="map names to compare, comma-separated")
    args = parser.parse_args()
    only = set(filter(None, args.only.split(",")))
    differ = compared = 0
    folder = tempfile.mkdtemp()
    for path in maps():
        if only and path.name not in only:
            continue
        for form, text in outputs(path, Path(folder) / "report").items():
            kept = args.folder / f"{key(path)}.{form}"
            if args.action == "save":
                kept.parent.mkdir(parents=True, exist_ok=True)
                kept.write_text(text, encoding="utf-8")
                continue
            if not kept.exists():
                print(f"new: {key(path)} {form}")
                continue
            compared += 1
            if kept.read_text(encoding="utf-8") != text:
                differ += 1
                print(f"differs: {key(path)} {form}")
    shutil.rmtree(folder, ignore_errors=True)
    if args.action == "compare":
        print(f"{compared - differ} of {compared} outputs the same")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
