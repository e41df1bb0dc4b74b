"""Writes the README's sample outputs again from the command itself, so they never drift from
what tarnwick prints: each block between `<!-- sample: KIND -->` and `<!-- /sample -->` is
replaced by the output of the example run in that format.

Run from the repository's root: python docs/readme_samples.py
"""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
RUN = ["analyze", "examples/firmware/maps/gnu_ld_ram_overflow.map", "--config", "examples/firmware/tarnwick.toml",
       "--baseline", "examples/firmware/baseline.json", "--top", "3"]


STACK = ["--stack-usage", "examples/firmware/stack"]


def sources_output() -> str:
    """The source view: the firmware of tests/source_firmware built with -g, its text report's
    FLASH part."""
    import tempfile

    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["bash", "tests/source_firmware/build.sh", out], cwd=ROOT, check=True, capture_output=True)
        result = subprocess.run([sys.executable, "-m", "tarnwick", "analyze", f"{out}/dwarf5/firmware.map",
                                 "--top", "3"], cwd=ROOT, capture_output=True, text=True)
    flash = result.stdout.split("\nFLASH: ", 1)[1].split("\nRAM: ", 1)[0]
    return "FLASH: " + flash.rstrip("\n")


def system_output(form: str) -> str:
    """`tarnwick system` on docs/system_example.toml: tests/system_firmware built, the system with
    the application as built first stored as the baseline, then the grown one compared with it.
    The build folder is shown as `build`."""
    import shutil
    import tempfile

    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["bash", "tests/system_firmware/build.sh", out], cwd=ROOT, check=True, capture_output=True)
        shutil.copy(ROOT / "tests/system_firmware/zephyr.dts", out)
        example = (ROOT / "docs/system_example.toml").read_text()
        Path(out, "tarnwick.toml").write_text(example)
        Path(out, "base.toml").write_text(example.replace("app-grown.map", "app.map"))
        command = [sys.executable, "-m", "tarnwick", "system"]
        subprocess.run([*command, "base.toml", "--format", "json", "--output", "base.json"], cwd=out, check=True)
        result = subprocess.run([*command, "--baseline", "base.json", "--format", form], cwd=out,
                                capture_output=True, text=True)
        if result.returncode not in (0, 1):
            raise SystemExit(result.stderr)
        text = result.stdout.replace(out, "build")
    if form == "json":  # the system part, its first image and partition, the findings and verdict
        import json

        document = json.loads(text)
        system = document["system"]
        system["images"] = system["images"][1:]
        for name in ("regions", "issues", "gates", "stored_ranges", "ram_ranges", "warnings", "stack"):
            system["images"][0].pop(name)
        system["partitions"] = system["partitions"][1:2]
        for name in ("gaps", "regions", "secure", "notes"):
            system.pop(name)
        verdict = {key: document["verdict"][key] for key in ("status", "failures")}
        kept = {"system": system, "issues": document["issues"][:1], "verdict": verdict}
        return json.dumps(kept, indent=2)
    return text.rstrip("\n")


def output(kind: str) -> str:
    """The run's output in a format; "stack": the stack part of the text report of the same run
    with the example's stack files; "sources": see sources_output; "system_FORMAT": see
    system_output."""
    if kind == "sources":
        return sources_output()
    if kind.startswith("system_"):
        return system_output(kind[len("system_"):])
    extra, form = (STACK, "text") if kind == "stack" else ([], kind)
    result = subprocess.run([sys.executable, "-m", "tarnwick", *RUN, *extra, "--format", form], cwd=ROOT,
                            capture_output=True, text=True)
    if result.returncode not in (0, 1):
        raise SystemExit(result.stderr)
    if kind == "stack":
        return result.stdout.split("\n\nStack: ", 1)[1].split("\n\n", 1)[0].join(["Stack: ", ""])
    return result.stdout.rstrip("\n")


def main() -> None:
    readme = ROOT / "README.md"
    text = readme.read_text(encoding="utf-8")

    def sample(match: re.Match) -> str:
        kind = match.group(1)
        body = output(kind)
        if kind in ("text", "stack", "sources", "system_text"):
            body = f"```\n{body}\n```"
        elif kind == "system_json":
            body = f"```json\n{body}\n```"
        return f"<!-- sample: {kind} -->\n{body}\n<!-- /sample -->"

    readme.write_text(re.sub(r"<!-- sample: (\w+) -->\n.*?<!-- /sample -->", sample, text, flags=re.S),
                      encoding="utf-8")


if __name__ == "__main__":
    main()
