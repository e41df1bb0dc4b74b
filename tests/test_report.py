import datetime as real_datetime
from types import SimpleNamespace

import pytest

import tarnwick.analysis.summary as summary
from conftest import make_config

PASSES = ["compute_region_usage", "compute_section_usage", "top_symbols_by_size",
          "top_object_archive_contributors", "compute_flash_ram_attribution",
          "compute_initialized_ram_cost", "compute_padding_waste", "build_multicore_summary",
          "group_symbols_by_component", "_overflow_issues", "detect_reserved_region_violations",
          "detect_suspicious_section_placement", "_budget_threshold_issues", "_baseline_regressions",
          "build_visualization_contract", "_build_config_summary"]


class Model:
    """A model that counts reads of `symbols`."""

    def __init__(self, regions=(), sections=(), symbols=(), hints=...):
        self.memory_regions = list(regions)
        self.sections = list(sections)
        self._symbols = list(symbols)
        self.symbol_reads = 0
        self.toolchain = SimpleNamespace(value="gnu_ld")
        self.parse_assumptions = ["assumed"]
        self.unresolved_ambiguities = ("ambiguous",)
        self.stack_heap_hints = {"stack": (".stack",)} if hints is ... else hints

    @property
    def symbols(self):
        self.symbol_reads += 1
        return self._symbols


def region(name, category_value):
    return SimpleNamespace(name=name, category=SimpleNamespace(value=category_value))


def section(name, execution_region):
    return SimpleNamespace(name=name, execution_region=execution_region)


class Report:
    """Stands in for AnalysisReport: keeps its keywords, sorted_copy returns a marker."""

    def __init__(self, **fields):
        self.fields = fields
        self.keywords = list(fields)

    def sorted_copy(self):
        return ("sorted", self)


@pytest.fixture
def doubles(rebind):
    """Every collaborator replaced by a recorder; results are configurable per test."""
    calls = []
    results = {
        "compute_region_usage": {"RAM": SimpleNamespace(utilization_ratio=0.5),
                                 "FLASH": SimpleNamespace(utilization_ratio=0.25)},
        "compute_section_usage": [SimpleNamespace(section_name=".text", execution_region="FLASH",
                                                  load_region=None, size=10, utilization_ratio_in_region=0.1)],
        "top_symbols_by_size": [SimpleNamespace(name="main", size=10)],
        "top_object_archive_contributors": [SimpleNamespace(name="main.o", size=10)],
        "compute_flash_ram_attribution": SimpleNamespace(flash_bytes=100, ram_bytes=50, other_bytes=1),
        "compute_initialized_ram_cost": SimpleNamespace(initialized_ram_bytes=8,
                                                        estimated_flash_init_payload_bytes=8),
        "compute_padding_waste": SimpleNamespace(total_padding_bytes=4, by_region={"RAM": 1, "FLASH": 3}),
        "build_multicore_summary": None,
        "group_symbols_by_component": ["components"],
        "_overflow_issues": [SimpleNamespace(severity="error", id="o")],
        "detect_reserved_region_violations": (SimpleNamespace(severity="error", id="r"),),
        "detect_suspicious_section_placement": iter([SimpleNamespace(severity="warning", id="s")]),
        "_budget_threshold_issues": [SimpleNamespace(severity="odd", id="b")],
        "_baseline_regressions": {"status": "ok"},
        "build_visualization_contract": {"schema_version": "9", "regions": [1, 2, 3]},
        "_build_config_summary": {"echo": True},
    }

    def recorder(name):
        def record(*args, **kwargs):
            calls.append((name, args, kwargs))
            value = results[name]
            return value() if callable(value) else value
        return record

    for name in PASSES:
        rebind(name, recorder(name))
    rebind("IssueSeverity", SimpleNamespace(INFO="info", WARNING="warning", ERROR="error"))
    for record in ("ReportSummary", "ReportMetadata"):
        rebind(record, lambda **fields: SimpleNamespace(keywords=list(fields), **fields))
    rebind("AnalysisReport", Report)
    return SimpleNamespace(calls=calls, results=results)


def run(model=None, config=None, **kwargs):
    model = Model() if model is None else model
    config = make_config() if config is None else config
    marker, report = summary.build_analysis_report(model, config, **kwargs)
    assert marker == "sorted"
    return report


def test_calls_in_order_with_their_arguments(doubles):
    model, config = Model(regions=[region("RAM", "ram")], sections=[section(".data", "RAM")]), make_config()
    report = run(model, config, baseline_json_path="base.json")
    calls = doubles.calls
    assert [name for name, _, _ in calls] == PASSES
    by_name = {name: (args, kwargs) for name, args, kwargs in calls}
    usage = doubles.results["compute_region_usage"]
    assert by_name["compute_region_usage"] == ((model,), {})
    assert by_name["compute_section_usage"] == ((model, usage), {})
    assert by_name["top_symbols_by_size"] == ((model._symbols,), {"limit": 25})
    assert by_name["top_object_archive_contributors"] == ((model._symbols,), {"limit": 25})
    assert type(by_name["top_symbols_by_size"][1]["limit"]) is int
    assert by_name["group_symbols_by_component"] == ((model._symbols, config),
                                                     {"section_category_by_name": {".data": "ram"}})
    assert by_name["_overflow_issues"] == ((usage,), {})
    assert by_name["_budget_threshold_issues"] == ((usage, config), {})
    assert by_name["detect_reserved_region_violations"] == ((model,), {})
    summary_record = report.fields["summary"]
    assert by_name["_baseline_regressions"] == ((summary_record, "base.json"), {})
    vis_args, vis_kwargs = by_name["build_visualization_contract"]
    assert vis_args == (model,)
    assert list(vis_kwargs) == ["region_usage", "padding_waste", "components", "issues",
                                "regressions", "features"]
    assert vis_kwargs["issues"] is report.fields["issues"]
    assert vis_kwargs["regressions"] is doubles.results["_baseline_regressions"]
    assert vis_kwargs["features"] == {"sankey_enabled": True, "relationship_graph_enabled": False}
    assert by_name["_build_config_summary"] == ((config,), {})
    assert model.symbol_reads == 4  # three for the passes, one for the report's copy


def test_report_shape_and_key_orders(doubles):
    model = Model()
    report = run(model)
    assert report.keywords == ["metadata", "summary", "regions", "sections", "symbols", "components",
                               "issues", "trends", "regressions", "diagnostics"]
    s = report.fields["summary"]
    assert s.keywords == ["total_flash", "total_ram", "utilization_by_region", "issue_counts", "extra"]
    assert (s.total_flash, s.total_ram) == (100, 50)
    assert list(s.utilization_by_region.items()) == [("FLASH", 0.25), ("RAM", 0.5)]
    assert list(s.issue_counts.items()) == [("info", 0), ("warning", 1), ("error", 2)]
    assert s.extra == {
        "flash_ram_attribution": {"flash_bytes": 100, "ram_bytes": 50, "other_bytes": 1},
        "initialized_ram_cost": {"initialized_ram_bytes": 8, "estimated_flash_init_payload_bytes": 8},
        "padding_waste": {"total_padding_bytes": 4, "by_region": {"FLASH": 3, "RAM": 1}},
    }
    assert list(s.extra["padding_waste"]["by_region"]) == ["FLASH", "RAM"]
    assert [i.id for i in report.fields["issues"]] == ["o", "r", "s", "b"]
    trends = report.fields["trends"]
    assert list(trends) == ["top_symbols_by_size", "top_objects_by_size", "section_usage", "visualization"]
    assert trends["top_symbols_by_size"] == [{"name": "main", "size": 10}]
    assert trends["section_usage"] == [{"name": ".text", "execution_region": "FLASH", "load_region": None,
                                        "size": 10, "utilization_ratio_in_region": 0.1}]
    assert trends["visualization"] is doubles.results["build_visualization_contract"]
    diagnostics = report.fields["diagnostics"]
    assert diagnostics == {
        "parse_assumptions": ["assumed"], "unresolved_ambiguities": ["ambiguous"],
        "stack_heap_hints": {"stack": [".stack"]},
        "visualization_contract": {"schema_version": "9", "regions_count": 3},
        "config_summary": {"echo": True},
    }
    assert list(diagnostics) == ["parse_assumptions", "unresolved_ambiguities", "stack_heap_hints",
                                 "visualization_contract", "config_summary"]
    assert report.fields["regions"] is not model.memory_regions
    assert report.fields["regressions"] is doubles.results["_baseline_regressions"]
    meta = report.fields["metadata"]
    assert meta.keywords == ["tool_version", "schema_version", "analysis_timestamp", "target_name",
                             "toolchain_detected", "parse_assumptions"]
    assert meta.parse_assumptions is model.parse_assumptions
    assert (meta.target_name, meta.toolchain_detected) == ("board", "gnu_ld")
    stamp = real_datetime.datetime.fromisoformat(meta.analysis_timestamp)
    assert meta.analysis_timestamp.endswith("+00:00") and stamp.utcoffset().total_seconds() == 0


@pytest.mark.parametrize("regions, sections, expected", [
    ([region("RAM", "ram")], [section("  .data ", "RAM ")], {".data": "ram"}),
    ([region(" RAM", "ram")], [section(".data", "RAM")], {}),
    ([region("RAM", "ram")], [section("   ", SimpleNamespace())], {}),  # region never read
    ([region("", "odd")], [section(".x", None), section(".y", "")], {".x": "odd", ".y": "odd"}),
    ([region("A", "X"), region("B", "Y")], [section(".bss", "A"), section(".bss", "B")], {".bss": "X"}),
    ([region("B", "X")], [section(".bss", "GONE"), section(".bss", "B")], {".bss": "X"}),
    ([region("A", ""), region("B", 0), region("C", None)],
     [section(".a", "A"), section(".b", "B"), section(".c", "C")], {}),
    ([region("A", "X"), region("A", "Z")], [section(".t", "A")], {".t": "Z"}),
])
def test_section_category_map(doubles, regions, sections, expected):
    run(Model(regions=regions, sections=sections))
    (kwargs,) = [kw for name, _, kw in doubles.calls if name == "group_symbols_by_component"]
    assert kwargs["section_category_by_name"] == expected


def test_empty_issue_list_never_consults_severity(doubles, rebind):
    for name in ("_overflow_issues", "detect_reserved_region_violations",
                 "detect_suspicious_section_placement", "_budget_threshold_issues"):
        doubles.results[name] = []
    rebind("IssueSeverity", None)
    delattr(summary, "IssueSeverity")
    counts = run().fields["summary"].issue_counts
    assert list(counts.items()) == [("info", 0), ("warning", 0), ("error", 0)]


def test_severity_compared_with_double_equals_each_time(doubles, rebind):
    reads = []

    class Members:
        def __getattr__(self, name):
            reads.append(name)
            return name.lower()

    rebind("IssueSeverity", Members())
    run()
    assert reads == ["INFO"] * 4 + ["WARNING"] * 4 + ["ERROR"] * 4


@pytest.mark.parametrize("multicore, present", [(None, False), ({}, True), ([], True), (0, True)])
def test_multicore_presence(doubles, multicore, present):
    doubles.results["build_multicore_summary"] = lambda: multicore
    report = run()
    for mapping in (report.fields["summary"].extra, report.fields["diagnostics"]):
        assert ("multicore" in mapping) is present
        if present:
            assert mapping["multicore"] is multicore
            assert list(mapping)[-1] == "multicore"


class Visualization:
    def __init__(self, values):
        self.values, self.calls = values, []

    def get(self, *args):
        self.calls.append(args)
        return self.values.get(*args)


@pytest.mark.parametrize("values, expected, get_calls", [
    ({}, {"schema_version": "", "regions_count": 0}, 2),
    ({"regions": [1, 2, 3], "schema_version": 2}, {"schema_version": "2", "regions_count": 3}, 3),
    ({"regions": (1, 2, 3), "schema_version": None}, {"schema_version": "None", "regions_count": 0}, 2),
])
def test_visualization_contract_summary(doubles, values, expected, get_calls):
    vis = Visualization(values)
    doubles.results["build_visualization_contract"] = lambda: vis
    assert run().fields["diagnostics"]["visualization_contract"] == expected
    assert len(vis.calls) == get_calls
    assert vis.calls[0] == ("schema_version", "") and vis.calls[1] == ("regions",)


@pytest.mark.parametrize("target, expected, project_read", [
    (None, "board", True), ("", "board", True), ("custom", "custom", False),
])
def test_target_name_fallback(doubles, target, expected, project_read):
    config = make_config()
    if not project_read:
        del config.project
    assert run(config=config, target_name=target).fields["metadata"].target_name == expected


def test_baseline_none_still_compared(doubles):
    run()
    assert [args for name, args, _ in doubles.calls if name == "_baseline_regressions"][0][1] is None


@pytest.mark.parametrize("broken, error", [
    ("compute_padding_waste", NameError), ("detect_suspicious_section_placement", TypeError),
])
def test_failures_propagate_without_a_report(doubles, rebind, broken, error):
    if error is NameError:
        delattr(summary, broken)
    else:
        doubles.results[broken] = lambda: 42  # not iterable
    with pytest.raises(error):
        summary.build_analysis_report(Model(), make_config())


@pytest.mark.parametrize("hints, error, message", [
    (None, AttributeError, "'NoneType' object has no attribute 'items'"),
    ({"stack": 5}, TypeError, "not iterable"),
])
def test_bad_hints(doubles, hints, error, message):
    with pytest.raises(error, match=message):
        run(Model(hints=hints))


def test_bad_model_members(doubles):
    with pytest.raises(AttributeError):
        run(Model(sections=[section(None, "RAM")]))
    with pytest.raises(TypeError):
        run(Model(regions=[region(["unhashable"], "ram")]))


class _Clipped(list):
    """A list that iterates all but its last item."""

    def __iter__(self):
        return iter(self[:-1])


class _Symbols(list):
    """A list subclass that iterates as a list (as a model's SymbolList does)."""


@pytest.mark.parametrize("kind, expected", [(list, ["a", "b", "c"]), (_Symbols, ["a", "b", "c"]),
                                            (tuple, ["a", "b", "c"]), (_Clipped, ["a", "b"])])
def test_the_reports_lists_are_new_lists_of_what_iterating_the_models_gives(doubles, kind, expected):
    model = Model()
    model._symbols = kind(["a", "b", "c"])
    copied = run(model).fields["symbols"]
    assert type(copied) is list and copied == expected and copied is not model._symbols
    copied.append("d")  # a copy: the model's own list is left as it was
    assert len(model._symbols) == 3
