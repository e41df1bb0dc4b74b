from types import SimpleNamespace

from tarnwick.domain import (
    AnalysisReport, Issue, IssueCategory, IssueSeverity, ReportMetadata, ReportSummary, to_jsonable,
)
from tarnwick.toolchains.base import MemoryCategory, MemoryRegion, Section, Symbol


def issue(id, severity):
    return Issue(id=id, severity=severity, category=IssueCategory.POLICY, title="t", description="d",
                 affected_entities=("R",), remediation_hint="h")


def report(**overrides):
    fields = dict(
        metadata=ReportMetadata("0", "1.0", "now", "t", "gnu_ld", []),
        summary=ReportSummary(1, 2, {"RAM": 0.5}, {"info": 0, "warning": 1, "error": 1}, {}),
        regions=[MemoryRegion("RAM", 0x2000_0000, 10, MemoryCategory.RAM),
                 MemoryRegion("FLASH", 0x0800_0000, 10, MemoryCategory.FLASH)],
        sections=[Section(".data", 0x2000_0000, 4, "RAM"), Section(".text", 0x0800_0000, 8, "FLASH")],
        symbols=[Symbol("b", 0, 4), Symbol("a", 8, 4), Symbol("big", 4, 40)],
        components=[SimpleNamespace(name="x", total_bytes=1), SimpleNamespace(name="y", total_bytes=9)],
        issues=[issue("budget.RAM", IssueSeverity.WARNING), issue("overflow.RAM", IssueSeverity.ERROR),
                issue("note", IssueSeverity.INFO), issue("budget.FLASH", IssueSeverity.WARNING)],
        trends={}, regressions={}, diagnostics={})
    fields.update(overrides)
    return AnalysisReport(**fields)


def test_sorted_copy_orders_every_list_and_leaves_the_original():
    original = report()
    copy = original.sorted_copy()
    assert copy is not original and copy.regions is not original.regions
    assert [r.name for r in copy.regions] == ["FLASH", "RAM"]
    assert [s.name for s in copy.sections] == [".text", ".data"]
    assert [s.name for s in copy.symbols] == ["big", "a", "b"]
    assert [c.name for c in copy.components] == ["y", "x"]
    assert [i.id for i in copy.issues] == ["overflow.RAM", "budget.FLASH", "budget.RAM", "note"]
    assert [r.name for r in original.regions] == ["RAM", "FLASH"]
    assert copy.summary is original.summary and copy.sorted_copy() == copy


def test_sorted_copy_copes_with_foreign_elements():
    odd = report(symbols=[SimpleNamespace(name="n"), 3], issues=[SimpleNamespace(severity="weird", id=1)],
                 components={"not": "a list"})
    copy = odd.sorted_copy()
    assert len(copy.symbols) == 2 and copy.components == {"not": "a list"}


def test_json_form_uses_field_names_values_and_lists():
    data = to_jsonable(report())
    assert data["issues"][0]["severity"] == "warning" and data["issues"][0]["affected_entities"] == ["R"]
    assert data["regions"][0]["category"] == "ram"
    assert data["summary"]["utilization_by_region"] == {"RAM": 0.5}
    assert to_jsonable({IssueSeverity.ERROR: (1, 2), 3: None}) == {"error": [1, 2], "3": None}
