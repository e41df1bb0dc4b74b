"""What counts as a documented outcome, shared by the fuzzer and the corpus replay. Each
function returns None for a documented outcome, else a short description of what happened."""

import contextlib
import io
import shutil
from pathlib import Path
from types import SimpleNamespace
from typing import Optional

from tarnwick.analysis.summary import _baseline_regressions, build_analysis_report
from tarnwick.config import RegionSpec, TarnwickConfig
from tarnwick.toolchains import MapParseError, load_map

CONFIG = TarnwickConfig(regions=[RegionSpec("FLASH", 0x0800_0000, 128 * 1024),
                                 RegionSpec("RAM", 0x2000_0000, 20 * 1024),
                                 RegionSpec("CCM", 0x1000_0000, 8 * 1024)])
STATUSES = {"ok", "baseline_missing", "baseline_unreadable", "baseline_invalid"}
# NaN or infinite totals, integer ratios beyond the float range, nesting too deep to decode
BASELINE_ERRORS = (ValueError, OverflowError, RecursionError)


def map_outcome(path):
    try:
        model = load_map(path, CONFIG)
    except MapParseError:
        return None
    except Exception as exc:
        return f"load_map raised {type(exc).__name__}: {exc}"
    try:
        build_analysis_report(model, CONFIG)
    except Exception as exc:
        return f"report raised {type(exc).__name__}: {exc}"
    return None


def baseline_outcome(summary, path):
    try:
        result = _baseline_regressions(summary, path)
    except BASELINE_ERRORS:
        return None
    except Exception as exc:
        return f"raised {type(exc).__name__}: {exc}"
    if result.get("status") not in STATUSES:
        return f"status {result.get('status')!r}"
    return None


DEFAULT_SUMMARY = SimpleNamespace(total_flash=100, total_ram=50,
                                  utilization_by_region={"RAM": 0.5, "FLASH": 0.25, "CCM": 1})


# --- whole commands over every other input a run reads ------------------------------------------

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "firmware"
EXAMPLE_MAP = EXAMPLE / "maps" / "gnu_ld.map"
STACK_FILES = EXAMPLE / "stack"
FORMATS = ("text", "json", "markdown", "html")
# the regions of CONFIG, as a run reads them from a file (a run started anywhere finds none else)
CONFIG_TEXT = "".join(f"[[regions]]\nname = '{r.name}'\norigin = {r.origin}\nlength = {r.length}\n\n"
                      for r in CONFIG.regions)


def command_outcome(arguments: list, folder: Path) -> Optional[str]:
    """None when `tarnwick ARGUMENTS --output FILE` ends as documented: 0 or 1, or 2 with one line
    on stderr; else what it did."""
    from tarnwick.app.cli import main

    errors = io.StringIO()
    with contextlib.redirect_stderr(errors):
        code = main([*map(str, arguments), "--output", str(folder / "report.out")])
    said = errors.getvalue()
    if code in (0, 1) or (code == 2 and said.count("\n") == 1):
        return None
    return f"exit {code}: {said.strip()[:300]}"


def _config(folder: Path) -> Path:
    path = folder / "regions.toml"
    if not path.exists():
        path.write_text(CONFIG_TEXT)
    return path


def run_outcome(path: Path, folder: Path) -> Optional[str]:
    """A map through the whole `analyze` in each format."""
    for kind in FORMATS:
        verdict = command_outcome(["analyze", path, "--no-elf", "--config", _config(folder), "--format", kind], folder)
        if verdict is not None:
            return f"{kind}: {verdict}"
    return None


def config_outcome(path: Path, folder: Path) -> Optional[str]:
    """A configuration file for the example's map."""
    return command_outcome(["analyze", EXAMPLE_MAP, "--no-elf", "--config", path, "--format", "json"], folder)


def stored_outcome(path: Path, folder: Path) -> Optional[str]:
    """A stored report as the earlier side of `diff`."""
    return command_outcome(["diff", path, EXAMPLE_MAP, "--config", _config(folder), "--format", "markdown"], folder)


def stack_outcome(path: Path, name: str, folder: Path) -> Optional[str]:
    """The example's stack files with `path` as the one called `name`, read for its map."""
    stack = folder / "stack"
    shutil.rmtree(stack, ignore_errors=True)
    shutil.copytree(STACK_FILES, stack)
    shutil.copyfile(path, stack / name)
    return command_outcome(["analyze", EXAMPLE_MAP, "--no-elf", "--config", _config(folder), "--stack-usage", stack,
                            "--format", "text"], folder)


def partitions_outcome(path: Path) -> Optional[str]:
    """A partition file (its kind told by its suffix) read as `system` reads one."""
    from tarnwick.system.partitions import PartitionFileError
    from tarnwick.system.readers.loader import read_partition_file

    try:
        layout = read_partition_file(str(path))
    except PartitionFileError as exc:
        return None if "\n" not in str(exc) and len(str(exc)) < 1000 else f"a message of {len(str(exc))} characters"
    except Exception as exc:
        return f"raised {type(exc).__name__}: {exc}"
    repr(layout)
    return None
