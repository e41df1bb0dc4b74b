import pytest

from tarnwick.analysis.component_grouping import group_symbols_by_component
from tarnwick.analysis.multicore import build_multicore_summary
from tarnwick.analysis.padding_waste import compute_padding_waste
from tarnwick.analysis.region_usage import compute_region_usage
from tarnwick.analysis.reserved_region_checks import (
    detect_reserved_region_violations, detect_suspicious_section_placement,
)
from tarnwick.analysis.section_usage import compute_section_usage
from tarnwick.analysis.symbol_breakdown import (
    FlashRamAttribution,
    compute_flash_ram_attribution, compute_initialized_ram_cost, top_symbols_by_size,
)
from tarnwick.analysis.visualization_contracts import build_visualization_contract
from tarnwick.config import ComponentRule, TarnwickConfig
from tarnwick.domain import IssueCategory, IssueSeverity
from tarnwick.toolchains.base import (
    InputSection, MemoryCategory, MemoryRegion, NormalizedBuildModel, ReservedRange, Section,
    Symbol, Toolchain,
)

FLASH = MemoryRegion("FLASH", 0x0800_0000, 0x1000, MemoryCategory.FLASH)
RAM = MemoryRegion("RAM", 0x2000_0000, 0x400, MemoryCategory.RAM)


def model(sections, symbols=(), regions=(FLASH, RAM), reserved=()):
    return NormalizedBuildModel(Toolchain.MANUAL, list(regions), list(sections), list(symbols),
                                reserved_ranges=list(reserved))


def test_usage_counts_load_images_and_overflow():
    m = model([
        Section(".text", 0x0800_0000, 0x800, "FLASH", is_code=True),
        Section(".data", 0x2000_0000, 0x100, "RAM", load_region="FLASH", load_address=0x0800_0800),
        Section(".bss", 0x2000_0100, 0x400, "RAM", has_contents=False),
    ])
    usage = compute_region_usage(m)
    assert (usage["FLASH"].used_bytes, usage["RAM"].used_bytes) == (0x900, 0x500)
    assert (usage["RAM"].overflow_bytes, usage["RAM"].utilization_ratio) == (0x100, 0x500 / 0x400)
    assert usage["FLASH"].overflow_bytes == 0 and usage["FLASH"].free_bytes == 0x700
    attribution = compute_flash_ram_attribution(m)
    assert (attribution.flash_bytes, attribution.ram_bytes, attribution.other_bytes) == (0x900, 0x500, 0)
    cost = compute_initialized_ram_cost(m)
    assert (cost.initialized_ram_bytes, cost.estimated_flash_init_payload_bytes) == (0x100, 0x100)
    rows = compute_section_usage(m, usage)
    assert [(r.section_name, r.execution_region, r.utilization_ratio_in_region) for r in rows] == [
        (".text", "FLASH", 0.5), (".data", "RAM", 0.25), (".bss", "RAM", 1.0)]


def test_zero_capacity_region_and_unplaced_section():
    empty = MemoryRegion("EMPTY", 0x3000_0000, 0, MemoryCategory.OTHER)
    m = model([Section(".odd", 0x4000_0000, 8, None)], regions=(empty,))
    usage = compute_region_usage(m)
    assert usage["EMPTY"].utilization_ratio == 0.0
    # outside every region, a section counts by what it holds: contents are image (flash)
    assert compute_flash_ram_attribution(m) == FlashRamAttribution(8, 0, 0)
    issues = detect_suspicious_section_placement(m)
    assert [i.id for i in issues] == ["placement.outside..odd"]


@pytest.mark.parametrize("section, expected", [
    (Section(".bss", 0x0800_0000, 16, "FLASH", has_contents=False), "placement.nobits_in_flash..bss"),
    (Section(".text.fast", 0x2000_0000, 16, "RAM", is_code=True), "placement.code_in_ram..text.fast"),
    (Section(".ramfunc", 0x2000_0000, 16, "RAM", is_code=True), None),
    (Section(".text", 0x0800_0000, 16, "FLASH", is_code=True), None),
])
def test_suspicious_placement(section, expected):
    issues = detect_suspicious_section_placement(model([section]))
    assert [i.id for i in issues] == ([] if expected is None else [expected])
    for issue in issues:
        assert issue.severity is IssueSeverity.WARNING and issue.category is IssueCategory.PLACEMENT


def test_reserved_range_overlap_by_run_and_load_address():
    boot = ReservedRange("boot", 0x0800_0000, 0x100)
    sections = [Section(".isr", 0x0800_00F0, 0x20, "FLASH"),
                Section(".data", 0x2000_0000, 0x10, "RAM", load_region="FLASH", load_address=0x0800_0080),
                Section(".text", 0x0800_0100, 0x10, "FLASH")]
    issues = detect_reserved_region_violations(model(sections, reserved=[boot]))
    assert [i.id for i in issues] == ["reserved.boot..isr", "reserved.boot..data"]
    assert "by 16 bytes" in issues[0].description and "is loaded at 0x08000080" in issues[1].description
    assert issues[0].severity is IssueSeverity.ERROR


def test_padding_counts_fill_but_not_reservations():
    text = Section(".text", 0x0800_0000, 0x30, "FLASH", inputs=(
        InputSection(".text.a", 0x0800_0000, 0x1E, "a.o"), InputSection("*fill*", 0x0800_001E, 2, is_fill=True),
        InputSection(".text.b", 0x0800_0020, 0x10, "b.o")))
    heap = Section(".heap", 0x2000_0000, 0x104, "RAM", has_contents=False, inputs=(
        InputSection("*fill*", 0x2000_0000, 4, is_fill=True),
        InputSection("*fill*", 0x2000_0004, 0x100, is_fill=True, is_reservation=True)))
    waste = compute_padding_waste(model([text, heap]))
    assert (waste.total_padding_bytes, waste.by_region) == (6, {"FLASH": 2, "RAM": 4})


def test_top_symbols_and_components():
    symbols = [Symbol("big", 0, 300, ".text", "app/main.o"), Symbol("small", 0, 10, ".data", "lib.o", "drivers/libhal.a"),
               Symbol("tie_b", 0, 50, ".text", "app/x.o"), Symbol("tie_a", 0, 50, ".text", "app/y.o"),
               Symbol("zero", 0, 0, ".text", "app/z.o")]
    assert [(e.name, e.size) for e in top_symbols_by_size(symbols, limit=3)] == [("big", 300), ("tie_a", 50), ("tie_b", 50)]
    config = TarnwickConfig(components=[ComponentRule("app/*", "application")])
    components = group_symbols_by_component(symbols, config, section_category_by_name={".text": "flash", ".data": "ram"})
    assert [(c.name, c.flash_bytes, c.ram_bytes, c.symbol_count) for c in components] == [
        ("application", 400, 0, 3), ("libhal", 0, 10, 1)]


def test_multicore_only_with_two_cores():
    regions = [MemoryRegion("RAM_CM7", 0x2400_0000, 0x1000, MemoryCategory.RAM),
               MemoryRegion("RAM_CM4", 0x3000_0000, 0x800, MemoryCategory.RAM),
               MemoryRegion("FLASH", 0x0800_0000, 0x1000, MemoryCategory.FLASH)]
    summary = build_multicore_summary(model([Section(".bss", 0x2400_0000, 0x10, "RAM_CM7")], regions=regions))
    assert summary == {"CM4": {"regions": ["RAM_CM4"], "capacity_bytes": 0x800, "used_bytes": 0},
                       "CM7": {"regions": ["RAM_CM7"], "capacity_bytes": 0x1000, "used_bytes": 0x10}}
    assert build_multicore_summary(model([])) is None


def test_sankey_links_add_up_to_each_section():
    sections = [Section(".text", 0x0800_0000, 0x100, "FLASH"), Section(".bss", 0x2000_0000, 0x40, "RAM")]
    symbols = [Symbol("f", 0x0800_0000, 0xF0, ".text", "app/a.o"), Symbol("b", 0x2000_0000, 0x40, ".bss", "lib/b.o")]
    m = model(sections, symbols)
    usage = compute_region_usage(m)
    components = group_symbols_by_component(symbols, TarnwickConfig(), section_category_by_name={})
    contract = build_visualization_contract(
        m, region_usage=usage, padding_waste=compute_padding_waste(m), components=components,
        issues=[], regressions={}, features={"sankey_enabled": True, "relationship_graph_enabled": False})
    assert contract["schema_version"] == "1.0" and [r["name"] for r in contract["regions"]] == ["FLASH", "RAM"]
    nodes, links = contract["sankey"]["nodes"], contract["sankey"]["links"]
    out_of = lambda node_id: sum(l["value"] for l in links if nodes[l["source"]]["id"] == node_id)
    into = lambda node_id: sum(l["value"] for l in links if nodes[l["target"]]["id"] == node_id)
    assert out_of("region:FLASH") == into("section:.text") == out_of("section:.text") == 0x100
    assert into("component:(unattributed)") == 0x10
    assert contract["relationship_graph"] is None
    off = build_visualization_contract(
        m, region_usage=usage, padding_waste=compute_padding_waste(m), components=components,
        issues=[], regressions={}, features={"sankey_enabled": False, "relationship_graph_enabled": True})
    assert off["sankey"] is None and off["relationship_graph"]["components"] == ["app", "lib"]
