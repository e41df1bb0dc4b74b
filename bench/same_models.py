"""The models two builds of tarnwick read from the same maps, compared field by field: every
record's every field, in order, down to the last symbol (the outputs compare what the renderers
show of a model; a reader's change can alter a field no output shows today).

Run with two install trees (see same_outputs.py):
    python bench/same_models.py /tmp/before-build /tmp/after-build MAP ...
Exit status 1 and the differing maps listed when any model differs.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import subprocess
import sys

# In a tree: each map's model as one line of repr per top-level field, hashed, with the error a
# map is refused with in place of its model.
DUMPER = r"""
import enum, hashlib, sys
from tarnwick.support.records import fields_of, is_record
from tarnwick.toolchains import load_map

def flat(value, out):
    if is_record(value):
        out.append(type(value).__name__ + "(")
        for name in fields_of(value):
            out.append(name + "=")
            flat(getattr(value, name), out)
        out.append(")")
    elif isinstance(value, enum.Enum):
        out.append(repr(value))
    elif isinstance(value, dict):
        out.append("{")
        for key, item in value.items():
            flat(key, out)
            out.append(":")
            flat(item, out)
        out.append("}")
    elif isinstance(value, (set, frozenset)):
        out.append(type(value).__name__ + repr(sorted(map(repr, value))))
    elif isinstance(value, (list, tuple)):
        out.append(type(value).__name__ + "[")
        for item in value:
            flat(item, out)
        out.append("]")
    else:
        out.append(type(value).__name__ + ":" + repr(value))
    out.append(",")

for path in sys.argv[1:]:
    try:
        model = load_map(path, None)
    except Exception as error:
        print(path, "refused", type(error).__name__, str(error))
        continue
    out = []
    flat(model, out)
    print(path, len(model.sections), len(model.symbols), hashlib.sha256("".join(out).encode()).hexdigest())
"""


def dump(tree: str, maps: list) -> list:
    env = dict(os.environ, PYTHONPATH=tree)
    done = subprocess.run([sys.executable, "-S", "-c", DUMPER, *maps], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"the dump failed in {tree}: {done.stderr.strip().splitlines()[-1:]}")
    return done.stdout.splitlines()


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("maps", nargs="+")
    args = parser.parse_args()
    before, after = dump(args.before, args.maps), dump(args.after, args.maps)
    differing = [(b, a) for b, a in zip(before, after) if b != a]
    for line in after:
        print(("DIFFERS " if any(line == a for _, a in differing) else "same    ") + line)
    for b, a in differing:
        print(f"before: {b}\nafter:  {a}")
    return 1 if differing or len(before) != len(after) else 0


if __name__ == "__main__":
    sys.exit(main())
