"""Mutation fuzzing of the map and ELF front end (through to a finished report), of the
baseline comparison, and of whole commands over every other file a run reads: a map through
`analyze` in each format, the configuration, a stored report as `diff`'s earlier side, the
stack files, the partition files. Inputs that end in anything but the documented outcomes, or
take too long, are saved under tests/corpus/ where tests/test_corpus.py replays them on every run.

Run: python bench/fuzz.py [--seconds 60] [--seed N]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))
from corpus_outcomes import (  # noqa: E402
    DEFAULT_SUMMARY, EXAMPLE, STACK_FILES, baseline_outcome, config_outcome, map_outcome, partitions_outcome,
    run_outcome, stack_outcome, stored_outcome,
)
from mutation import mutate, mutate_binary  # noqa: E402

MAPS = sorted((ROOT / "examples" / "firmware" / "maps").glob("*.map")) + sorted(
    (ROOT / "tests" / "vendor_maps").glob("*.map"))
ELFS = sorted((ROOT / "examples" / "firmware" / "maps").glob("*.elf")) + sorted(
    (ROOT / "tests" / "conformance" / "maps").glob("*.elf"))
CORPUS = ROOT / "tests" / "corpus"
TIME_LIMIT = 2.0  # seconds per input


def random_json(rng: random.Random, depth: int = 0):
    kind = rng.randrange(8 if depth < 4 else 5)
    if kind == 0:
        return None
    if kind == 1:
        return rng.choice([True, False])
    if kind == 2:
        return rng.choice([0, -1, 10 ** rng.randrange(400), rng.randrange(-10 ** 6, 10 ** 6)])
    if kind == 3:
        return rng.choice([0.5, -0.0, 1e308, float("nan"), float("inf"), rng.random()])
    if kind == 4:
        return rng.choice(["", "x", "1", "RAM"])
    if kind == 5:
        return [random_json(rng, depth + 1) for _ in range(rng.randrange(3))]
    keys = ["summary", "total_flash", "total_ram", "utilization_by_region", "RAM", "FLASH", "x"]
    return {rng.choice(keys): random_json(rng, depth + 1) for _ in range(rng.randrange(4))}


PARTITION_FILES = sorted(p for p in (ROOT / "tests" / "system_firmware").iterdir()
                         if p.suffix in (".csv", ".yml", ".dts"))


def save(kind: str, data: bytes, why: str, suffix: str = ".bin") -> Path:
    """`suffix`: what the replay needs to know of the file (a partition file's kind, the name of
    the stack file it stands for)."""
    name = hashlib.sha1(data).hexdigest()[:16]
    (CORPUS / kind).mkdir(exist_ok=True)
    path = CORPUS / kind / f"{name}{suffix}"
    path.write_bytes(data)
    (CORPUS / kind / f"{name}.why").write_text(why + "\n")
    return path


def stored_report(folder: Path) -> bytes:
    """The example map's JSON report, as a CI job stores it."""
    from tarnwick.app.cli import main

    path = folder / "stored.json"
    main(["analyze", str(EXAMPLE / "maps" / "gnu_ld.map"), "--no-elf", "--format", "json", "--output", str(path)])
    return path.read_bytes()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    rng = random.Random(args.seed)
    originals = [path.read_bytes() for path in MAPS]
    elfs = [path.read_bytes() for path in ELFS]
    config = (EXAMPLE / "tarnwick.toml").read_bytes()
    stacks = {path.name: path.read_bytes() for path in sorted(STACK_FILES.iterdir())}
    partitions = [(path.suffix, path.read_bytes()) for path in PARTITION_FILES]
    counts = {"maps": 0, "elf": 0, "baselines": 0, "runs": 0, "configs": 0, "stored": 0, "stack": 0,
              "partitions": 0}
    found = 0
    deadline = time.monotonic() + args.seconds
    summary = DEFAULT_SUMMARY
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        target = folder / "input"
        stored = stored_report(folder)
        while time.monotonic() < deadline:
            roll = rng.random()
            suffix = ".bin"
            if roll < 0.2:
                kind, data = "runs", mutate(rng.choice(originals), rng, originals)
                target.write_bytes(data)
                start = time.monotonic()
                verdict = run_outcome(target, folder)
            elif roll < 0.3:
                kind, data = "configs", mutate(config, rng, [config])
                target.write_bytes(data)
                start = time.monotonic()
                verdict = config_outcome(target, folder)
            elif roll < 0.4:
                kind, data = "stored", mutate(stored, rng, [stored])
                target.write_bytes(data)
                start = time.monotonic()
                verdict = stored_outcome(target, folder)
            elif roll < 0.5:
                name = rng.choice(sorted(stacks))
                kind, data, suffix = "stack", mutate(stacks[name], rng, list(stacks.values())), f".{name}"
                target.write_bytes(data)
                start = time.monotonic()
                verdict = stack_outcome(target, name, folder)
            elif roll < 0.6:
                suffix, original = rng.choice(partitions)
                kind, data = "partitions", mutate(original, rng, [original])
                shown = folder / f"partitions{suffix}"
                shown.write_bytes(data)
                start = time.monotonic()
                verdict = partitions_outcome(shown)
            elif roll < 0.75:
                data = mutate(rng.choice(originals), rng, originals)
                target.write_bytes(data)
                start = time.monotonic()
                verdict = map_outcome(target)
                kind = "maps"
            elif roll < 0.85:
                data = mutate_binary(rng.choice(elfs), rng)
                target.write_bytes(data)
                start = time.monotonic()
                verdict = map_outcome(target)
                kind = "elf"
            else:
                if rng.random() < 0.7:
                    data = json.dumps(random_json(rng), allow_nan=True).encode()
                    if rng.random() < 0.3:
                        data = mutate(data, rng, [data])
                else:
                    data = bytes(rng.randrange(256) for _ in range(rng.randrange(64)))
                target.write_bytes(data)
                start = time.monotonic()
                verdict = baseline_outcome(summary, target)
                kind = "baselines"
            counts[kind] += 1
            elapsed = time.monotonic() - start
            if verdict is not None or elapsed > TIME_LIMIT:
                found += 1
                why = verdict or f"took {elapsed:.2f} s"
                print(f"FOUND ({kind}): {why} -> {save(kind, data, why, suffix)}", flush=True)
    print(f"seed {args.seed}: " + ", ".join(f"{count} {kind}" for kind, count in counts.items()) +
          f" in {args.seconds:.0f} s, {found} finding(s)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
