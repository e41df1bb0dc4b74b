"""What counts as a documented outcome, shared by the fuzzer and the corpus replay. Each
function returns None for a documented outcome, else a short description of what happened."""

from types import SimpleNamespace

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
