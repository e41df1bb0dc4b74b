import gc
import json
import os
import sys
import tracemalloc

import pytest

from tarnwick.analysis.summary import build_analysis_report
from tarnwick.config import BudgetConfig, ComponentRule, ProjectConfig, TarnwickConfig
from tarnwick.domain import AnalysisReport, IssueSeverity, to_jsonable
from tarnwick.toolchains.base import (
    InputSection, MemoryCategory, MemoryRegion, NormalizedBuildModel, ReservedRange, Section,
    Symbol, Toolchain,
)

KIB = 1024


def firmware_model():
    regions = [
        MemoryRegion("FLASH", 0x0800_0000, 64 * KIB, MemoryCategory.FLASH, "rx"),
        MemoryRegion("RAM", 0x2000_0000, 8 * KIB, MemoryCategory.RAM, "rwx"),
        MemoryRegion("CCM", 0x1000_0000, 4 * KIB, MemoryCategory.RAM, "rw"),
    ]
    sections = [
        Section(".isr_vector", 0x0800_0000, 0x188, "FLASH"),
        Section(".text", 0x0800_0188, 30_000, "FLASH", is_code=True, inputs=(
            InputSection(".text.main", 0x0800_0188, 29_990, "app/main.o"),
            InputSection("*fill*", 0x0800_7696, 10, is_fill=True),
        )),
        Section(".rodata", 0x0800_76C0, 6_000, "FLASH"),
        Section(".data", 0x2000_0000, 1_000, "RAM", load_region="FLASH", load_address=0x0800_8E30),
        Section(".bss", 0x2000_03E8, 5_000, "RAM ", has_contents=False),
        Section("  .bss", 0x2000_1770, 0, "CCM"),  # a duplicate name, empty
        Section("   ", 0x0, 0, None),              # a blank name
        Section(".ccm", 0x1000_0000, 4_500, "CCM", has_contents=False),
    ]
    symbols = [
        Symbol("main", 0x0800_0188, 20_000, ".text", "app/main.o"),
        Symbol("memcpy", 0x0800_4FA8, 9_990, ".text", "lib_a-memcpy.o", "libc.a"),
        Symbol("font", 0x0800_76C0, 6_000, ".rodata", "ui/font.o"),
        Symbol("settings", 0x2000_0000, 1_000, ".data", "app/settings.o"),
        Symbol("heap_pool", 0x2000_03E8, 5_000, ".bss", "app/heap.o"),
        Symbol("dma_ring", 0x1000_0000, 4_500, ".ccm", "drivers/dma.o"),
    ]
    return NormalizedBuildModel(
        toolchain=Toolchain.GNU_LD, memory_regions=regions, sections=sections, symbols=symbols,
        parse_assumptions=["symbol sizes derived from the next symbol"],
        unresolved_ambiguities=[], stack_heap_hints={"stack": ["_estack"]},
        reserved_ranges=[ReservedRange("bootloader", 0x0800_0000, 0x100)],
    )


def firmware_config():
    return TarnwickConfig(project=ProjectConfig(name="sensor-node"),
                          budgets=BudgetConfig(flash={"FLASH": 0.5}, ram={"RAM": 0.7}),
                          components=[ComponentRule("app/*", "application")])


def test_report_from_the_real_passes():
    model = firmware_model()
    report = build_analysis_report(model, firmware_config())
    assert isinstance(report, AnalysisReport)
    # up to the end of .data's image, with the 8 bytes of alignment before .rodata
    flash_used = 0x8E30 + 1_000
    assert flash_used == 0x188 + 30_000 + 8 + 6_000 + 1_000
    ram_used = 1_000 + 5_000
    s = report.summary
    assert (s.total_flash, s.total_ram) == (flash_used, ram_used + 4_500)
    assert s.utilization_by_region == {"CCM": 4_500 / (4 * KIB), "FLASH": flash_used / (64 * KIB),
                                       "RAM": ram_used / (8 * KIB)}
    assert [i.id for i in report.issues] == [
        "overflow.CCM", "reserved.bootloader..isr_vector", "budget.FLASH", "budget.RAM"]
    assert s.issue_counts == {"info": 0, "warning": 2, "error": 2}
    assert report.issues[0].description == "Region CCM exceeds capacity by 404 bytes."
    assert s.extra["padding_waste"] == {"total_padding_bytes": 10,
                                        "by_region": {"CCM": 0, "FLASH": 10, "RAM": 0}}
    assert s.extra["initialized_ram_cost"] == {"initialized_ram_bytes": 1_000,
                                               "estimated_flash_init_payload_bytes": 1_000}
    assert "multicore" not in s.extra
    top = report.trends["top_symbols_by_size"]
    assert top[0] == {"name": "main", "size": 20_000} and len(top) == 6
    assert report.trends["top_objects_by_size"][1] == {"name": "libc.a(lib_a-memcpy.o)", "size": 9_990}
    assert [c.name for c in report.components][:2] == ["application", "libc"]
    assert report.metadata.target_name == "sensor-node"
    assert report.metadata.toolchain_detected == "gnu_ld"
    assert report.diagnostics["visualization_contract"] == {"schema_version": "1.0", "regions_count": 3}
    assert report.diagnostics["config_summary"]["budgets"] == {"flash": {"FLASH": 0.5}, "ram": {"RAM": 0.7}}
    assert report.regressions == {}
    assert [r.name for r in report.regions] == ["FLASH", "CCM", "RAM"]  # by origin
    assert report.issues[0].severity is IssueSeverity.ERROR


def test_json_report_serves_as_the_next_baseline(tmp_path):
    first = build_analysis_report(firmware_model(), firmware_config())
    path = tmp_path / "report.json"
    path.write_text(json.dumps(to_jsonable(first)))
    second = build_analysis_report(firmware_model(), firmware_config(), baseline_json_path=path)
    regressions = second.regressions
    assert regressions["status"] == "ok"
    assert (regressions["flash_delta_bytes"], regressions["ram_delta_bytes"]) == (0, 0)
    assert set(regressions["regions"]) == {"CCM", "FLASH", "RAM"}
    assert all(entry["delta"] == 0.0 for entry in regressions["regions"].values())


def _blocks_kept(run, count, windows=5):
    """Memory blocks still allocated after `count` calls of `run`, the least over a few
    windows. A leak of even one object per call keeps at least `count` blocks in every
    window; caches and free lists of the interpreter fill during a first window, and the rest
    of the process adds a few blocks now and then."""
    tracemalloc.start()  # before the warm-up: blocks allocated untraced would show as new
    for _ in range(count):
        run()
    kept = []
    for _ in range(windows):
        gc.collect()
        before = tracemalloc.take_snapshot()
        for _ in range(count):
            run()
        gc.collect()
        after = tracemalloc.take_snapshot()
        kept.append(sum(stat.count_diff for stat in after.compare_to(before, "lineno")))
    tracemalloc.stop()
    return min(kept)


def _expect_raise(error, function, *args, **kwargs):
    def call():
        with pytest.raises(error):
            function(*args, **kwargs)
    return call


@pytest.mark.parametrize("case", ["success", "baseline", "missing_pass", "bad_hints", "bad_args",
                                  "unreadable"])
def test_no_reference_or_memory_leaks(tmp_path, monkeypatch, case):
    import tarnwick.analysis.summary as summary
    model, config = firmware_model(), firmware_config()
    good = tmp_path / "good.json"
    good.write_text(json.dumps(to_jsonable(build_analysis_report(model, config))))
    bad = tmp_path / "bad.json"
    bad.write_bytes(b"\xff{")
    runs = {
        "success": lambda: build_analysis_report(model, config),
        "baseline": lambda: build_analysis_report(model, config, baseline_json_path=good),
        "unreadable": lambda: build_analysis_report(model, config, baseline_json_path=bad),
        "bad_args": _expect_raise(TypeError, build_analysis_report, model, config, 3),
    }
    if case == "missing_pass":
        monkeypatch.delattr(summary, "compute_padding_waste")
        runs[case] = _expect_raise(NameError, build_analysis_report, model, config)
    if case == "bad_hints":
        model.stack_heap_hints = {"stack": 5}
        runs[case] = _expect_raise(TypeError, build_analysis_report, model, config)
    tracked = [model, config, model.memory_regions[0], model.sections[1], model.symbols[0],
               config.budgets.flash, good, bad]
    counts = [sys.getrefcount(obj) for obj in tracked]
    calls = 500
    kept = _blocks_kept(runs[case], calls)
    assert [sys.getrefcount(obj) for obj in tracked] == counts
    if os.environ.get("PYTHONMALLOC") != "malloc":  # the sanitizer run: no pymalloc free lists
        assert kept < calls // 4, f"{kept} memory blocks kept after {calls} calls"


def test_real_overflowing_map_to_report_and_back(tmp_path):
    from pathlib import Path
    from tarnwick.toolchains import load_map
    maps = Path(__file__).resolve().parent.parent / "examples" / "firmware" / "maps"
    config = TarnwickConfig(budgets=BudgetConfig(flash={"FLASH": 0.5}, ram={"CCM": 0.2}))
    report = build_analysis_report(load_map(maps / "gnu_ld_ram_overflow.map", config), config)
    assert [i.id for i in report.issues] == ["overflow.RAM", "budget.CCM"]
    assert report.issues[0].description == "Region RAM exceeds capacity by 7504 bytes."
    assert report.metadata.toolchain_detected == "gnu_ld"
    assert report.summary.issue_counts == {"info": 0, "warning": 1, "error": 1}
    path = tmp_path / "baseline.json"
    path.write_text(json.dumps(to_jsonable(report)))
    fixed = build_analysis_report(load_map(maps / "gnu_ld.map", config), config, baseline_json_path=path)
    # the fixed build frees the 20 KiB that the larger frame buffer took
    assert fixed.regressions["ram_delta_bytes"] == -(24576 - 4096)
    assert fixed.regressions["regions"]["RAM"]["delta"] == pytest.approx(-20480 / 20480)


def test_the_leak_check_sees_one_object_per_call():
    kept_objects = []
    assert _blocks_kept(lambda: kept_objects.append(object()), 500) >= 500
    assert _blocks_kept(lambda: object(), 500) < 500 // 4
