"""A stored JSON report read by the native reader against the same report decoded whole (what
`tarnwick diff` and `analyze --baseline` read of it): the byte tables, the input sections' bounds,
the map views, the totals and findings and the rest of the document must be equal; with the CPU
seconds each way (best of --rounds). For the benchmarks' large reports, which the tests do not make.

Run with the tree to check on the path (PYTHONPATH=TREE python -S bench/stored_reader_check.py ...):
    python bench/stored_reader_check.py REPORT.json|MAP ... [--rounds 5]
A map is first analysed into a JSON report (with its ELF where it has one). Exit status 1 when any
report reads differently.
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
import tempfile
import time
from pathlib import Path

from tarnwick.app.cli import main as tarnwick
from tarnwick.compare.baseline_file import read_baseline
from tarnwick.compare.footprint import document_footprint
from tarnwick.compare.stored_report import totals_from_document

TABLES = ("regions", "sections", "components", "archives", "objects", "symbols", "files", "folders", "flash", "ram",
          "region_sizes", "exact", "placed")


def read(path: Path, whole: bool) -> tuple:
    stored, _ = read_baseline(str(path), whole=whole)
    return stored, document_footprint(stored.document, stored.parts)


def best(path: Path, whole: bool, rounds: int) -> float:
    seconds = []
    for _ in range(rounds):
        start = time.process_time()
        read(path, whole)
        seconds.append(time.process_time() - start)
    return min(seconds)


def differences(path: Path) -> list:
    (native, made), (whole, decoded) = read(path, False), read(path, True)
    if native.parts is None:
        return ["not taken by the native reader"]
    found = [name for name in TABLES if getattr(made, name) != getattr(decoded, name)]
    for name, left, right in (("input bounds", made.input_bounds(), decoded.input_bounds()),
                              ("map view", made.map_view(True), decoded.map_view(True)),
                              ("map view of globals", made.map_view(False), decoded.map_view(False)),
                              ("totals", totals_from_document(native.document), totals_from_document(whole.document))):
        if left != right:
            found.append(name)
    document = json.loads(path.read_text(encoding="utf-8-sig"))
    inputs = [section.pop("inputs", None) for section in document.get("sections", [])]
    document.pop("symbols", None)
    if native.document != document or native.parts.section_inputs() != inputs:
        found.append("document")
    return found


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("inputs", nargs="+", type=Path)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    gc.disable()  # as the command runs
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for index, given in enumerate(args.inputs):
            path = given
            if given.suffix != ".json":
                path = Path(folder) / f"{index}.json"
                if tarnwick(["analyze", str(given), "--format", "json", "--output", str(path)]) not in (0, 1):
                    raise SystemExit(f"{given}: no report")
            found = differences(path)
            failed += bool(found)
            native, whole = best(path, False, args.rounds), best(path, True, args.rounds)
            print(f"{given} ({path.stat().st_size / 1e6:.1f} MB): {'differs: ' + ', '.join(found) if found else 'same'}; "
                  f"read with its byte tables natively {native:.4f} s, decoded whole {whole:.4f} s ({native / whole:.2f}x)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
