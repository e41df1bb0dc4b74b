"""Calls of every public function of the module, on success and on each kind of failure, for
the leak test and the long soak script."""

import json
from pathlib import Path
from types import SimpleNamespace

import tarnwick.analysis.summary as summary
from tarnwick.config import BudgetConfig, TarnwickConfig


def usage(overflow=0, ratio=0.5):
    return SimpleNamespace(overflow_bytes=overflow, utilization_ratio=ratio)


def _small_model():
    from tarnwick.toolchains.base import (
        MemoryCategory, MemoryRegion, NormalizedBuildModel, Section, Symbol, Toolchain,
    )
    return NormalizedBuildModel(
        Toolchain.MANUAL,
        [MemoryRegion("FLASH", 0x0800_0000, 0x1000, MemoryCategory.FLASH),
         MemoryRegion("RAM", 0x2000_0000, 0x100, MemoryCategory.RAM)],
        [Section(".text", 0x0800_0000, 0x800, "FLASH", is_code=True),
         Section(".bss", 0x2000_0000, 0x200, "RAM", has_contents=False)],
        [Symbol("main", 0x0800_0000, 0x800, ".text", "main.o")],
        stack_heap_hints={"stack": ["_estack"]})


def build_cases(folder: Path):
    """name -> (callable, expected exception type or None), and the objects whose reference
    counts must stay flat."""
    good = folder / "good.json"
    good.write_text(json.dumps({"summary": {"total_flash": 5, "total_ram": 1,
                                            "utilization_by_region": {"RAM": 0.25}}}))
    bad = folder / "bad.json"
    bad.write_bytes(b"\xff{")
    nan = folder / "nan.json"
    nan.write_text('{"summary": {"total_flash": NaN}}')
    invalid = folder / "invalid.json"
    invalid.write_text('{"summary": []}')
    region_usage = {"RAM": usage(16, 1.2), "FLASH": usage(0, 0.95)}
    config = TarnwickConfig(budgets=BudgetConfig(flash={"FLASH": 0.9}, ram={"RAM": 1}))
    current = SimpleNamespace(total_flash=10, total_ram=5, utilization_by_region={"RAM": 0.5, "CCM": 0.1})
    pairs = SimpleNamespace(items=lambda: [("A", usage(1), "extra")])
    model = _small_model()
    broken = _small_model()
    broken.stack_heap_hints = None
    f = summary
    cases = {
        "report ok": (lambda: f.build_analysis_report(model, config, target_name="t"), None),
        "report with baseline": (lambda: f.build_analysis_report(model, config, baseline_json_path=good), None),
        "report bad baseline": (lambda: f.build_analysis_report(model, config, baseline_json_path=bad), None),
        "report bad model": (lambda: f.build_analysis_report(broken, config), AttributeError),
        "report arguments": (lambda: f.build_analysis_report(model), TypeError),
        "overflow ok": (lambda: f._overflow_issues(region_usage), None),
        "overflow bad pair": (lambda: f._overflow_issues(pairs), ValueError),
        "overflow bad compare": (lambda: f._overflow_issues({"R": usage(None)}), TypeError),
        "overflow arguments": (lambda: f._overflow_issues(region_usage, 1), TypeError),
        "budget ok": (lambda: f._budget_threshold_issues(region_usage, config), None),
        "budget bad format": (lambda: f._budget_threshold_issues(
            {"R": usage(0, "b")}, SimpleNamespace(budgets=SimpleNamespace(flash={"R": "a"}, ram={}))), ValueError),
        "budget missing attribute": (lambda: f._budget_threshold_issues(region_usage, object()), AttributeError),
        "config ok": (lambda: f._build_config_summary(config), None),
        "config bad copy": (lambda: f._build_config_summary(SimpleNamespace(
            budgets=SimpleNamespace(flash={}, ram={}), policies=SimpleNamespace(
                warn_on_near_capacity_ratio=1, partition_max_bytes=None))), TypeError),
        "baseline ok": (lambda: f._baseline_regressions(current, good), None),
        "baseline missing": (lambda: f._baseline_regressions(current, folder / "absent.json"), None),
        "baseline unreadable": (lambda: f._baseline_regressions(current, bad), None),
        "baseline invalid": (lambda: f._baseline_regressions(current, invalid), None),
        "baseline directory": (lambda: f._baseline_regressions(current, folder), None),
        "baseline nan": (lambda: f._baseline_regressions(current, nan), ValueError),
        "baseline string path": (lambda: f._baseline_regressions(current, str(good)), AttributeError),
        "as_int ok": (lambda: f._as_int(5.5, default=0), None),
        "as_int inf": (lambda: f._as_int(float("inf"), default=0), OverflowError),
        "as_int arguments": (lambda: f._as_int(1), TypeError),
        "as_float ok": (lambda: f._as_float(3, default=0.0), None),
        "as_float huge": (lambda: f._as_float(10 ** 400, default=0.0), OverflowError),
        "as_float keyword": (lambda: f._as_float(1, default=0, bad=1), TypeError),
    }
    tracked = [region_usage, config, current, good, bad, region_usage["RAM"], config.budgets.flash,
               model, model.sections[0], model.symbols[0], broken]
    return cases, tracked
