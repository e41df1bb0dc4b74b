"""The native module against its plain-Python twin (oracle.py): the same calls in the same
order and equal results, errors included, over random collaborator doubles."""

import json
import math
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import oracle
import tarnwick.analysis.summary as native

SETTINGS = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])

names = st.one_of(st.text(max_size=6), st.sampled_from(["RAM", " RAM", "RAM ", "FLASH", "flash", "CCM", "", "é", "\t"]))
numbers = st.one_of(st.integers(-5, 2 ** 70), st.floats(allow_nan=False, width=64), st.just(0), st.just(0.5))
odd = st.one_of(st.none(), st.text(max_size=3), st.booleans(), st.just([1]))


def outcome(function, *args, **kwargs):
    try:
        return ("ok", function(*args, **kwargs))
    except Exception as exc:  # compared by type and message
        return ("raised", type(exc), str(exc))


def both(name, *args, **kwargs):
    return outcome(getattr(native, name), *args, **kwargs), outcome(getattr(oracle, name), *args, **kwargs)


@SETTINGS
@given(st.dictionaries(names, st.one_of(numbers, odd), max_size=8))
def test_overflow_issues(overflows):
    usage = {name: SimpleNamespace(overflow_bytes=value) for name, value in overflows.items()}
    mine, theirs = both("_overflow_issues", usage)
    assert mine == theirs


@SETTINGS
@given(st.dictionaries(names, st.one_of(numbers, st.none()), max_size=6),
       st.dictionaries(names, st.one_of(numbers, odd), max_size=6),
       st.dictionaries(names, numbers, max_size=6))
def test_budget_threshold_issues(ratios, flash, ram):
    usage = {name: (None if r is None else SimpleNamespace(utilization_ratio=r)) for name, r in ratios.items()}
    config = SimpleNamespace(budgets=SimpleNamespace(flash=flash, ram=ram))
    mine, theirs = both("_budget_threshold_issues", usage, config)
    assert mine == theirs


json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(-2 ** 70, 2 ** 70), st.floats(allow_nan=False), st.text(max_size=4)),
    lambda inner: st.one_of(st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=4), inner, max_size=3)),
    max_leaves=12)
summaries = st.fixed_dictionaries({}, optional={
    "total_flash": json_values, "total_ram": json_values,
    "utilization_by_region": st.one_of(json_values, st.dictionaries(names, json_values, max_size=4))})
documents = st.one_of(json_values, st.fixed_dictionaries({}, optional={"summary": st.one_of(summaries, json_values)}))


@SETTINGS
@given(document=documents, raw=st.one_of(st.none(), st.binary(max_size=20)),
       current=st.dictionaries(names, numbers, max_size=4), flash=numbers, ram=numbers)
def test_baseline_regressions(tmp_path, document, raw, current, flash, ram):
    path = tmp_path / "baseline.json"
    if raw is None:
        path.write_text(json.dumps(document, allow_nan=True))
    else:
        path.write_bytes(raw)
    summary = SimpleNamespace(total_flash=flash, total_ram=ram, utilization_by_region=current)
    mine, theirs = both("_baseline_regressions", summary, path)
    if mine[0] == "ok" and theirs[0] == "ok":
        assert json.dumps(mine[1], sort_keys=False, default=str) == json.dumps(theirs[1], sort_keys=False, default=str)
        assert list(mine[1]) == list(theirs[1])
    else:
        assert mine == theirs


@SETTINGS
@given(st.one_of(numbers, odd, st.just(math.inf), st.just(math.nan), st.just(10 ** 400)))
def test_coercions(value):
    for name in ("_as_int", "_as_float"):
        mine, theirs = both(name, value, default="d")
        if mine[0] == "ok" and isinstance(mine[1], float) and math.isnan(mine[1]):
            assert isinstance(theirs[1], float) and math.isnan(theirs[1])
        else:
            assert mine == theirs and (mine[0] != "ok" or type(mine[1]) is type(theirs[1]))


@SETTINGS
@given(st.dictionaries(names, numbers, max_size=4), st.dictionaries(names, numbers, max_size=4),
       st.one_of(st.dictionaries(names, st.integers(), max_size=3), st.lists(st.tuples(names, st.integers()), max_size=3),
                 st.none(), st.just([1, 2])))
def test_config_summary(flash, ram, partitions):
    config = SimpleNamespace(budgets=SimpleNamespace(flash=flash, ram=ram), policies=SimpleNamespace(
        warn_on_near_capacity_ratio=0.9, partition_max_bytes=partitions, fail_on_overflow=True,
        fail_on_reserved_region_violation=False))
    mine, theirs = both("_build_config_summary", config)
    assert mine == theirs


PASSES = ["compute_region_usage", "compute_section_usage", "top_symbols_by_size",
          "top_object_archive_contributors", "compute_flash_ram_attribution",
          "compute_initialized_ram_cost", "compute_padding_waste", "build_multicore_summary",
          "group_symbols_by_component", "detect_reserved_region_violations",
          "detect_suspicious_section_placement", "build_visualization_contract"]


class Record:
    def __init__(self, **fields):
        self.fields = fields

    def sorted_copy(self):
        return ("sorted", self.fields)

    def __repr__(self):
        return f"Record({self.fields!r})"


class FixedClock:
    @staticmethod
    def now(zone):
        return SimpleNamespace(isoformat=lambda: f"2026-01-01T00:00:00+00:00/{zone}")


def install(namespace, monkeypatch, results, log):
    for name in PASSES:
        def record(*args, _name=name, **kwargs):
            log.append((_name, args, tuple(kwargs)))
            return results[_name]
        monkeypatch.setattr(namespace, name, record)
    for name in ("ReportSummary", "ReportMetadata", "AnalysisReport", "Issue"):
        monkeypatch.setattr(namespace, name, Record)
    monkeypatch.setattr(namespace, "datetime", FixedClock)
    monkeypatch.setattr(namespace, "IssueSeverity", SimpleNamespace(INFO="info", WARNING="warning", ERROR="error"))
    monkeypatch.setattr(namespace, "IssueCategory", SimpleNamespace(OVERFLOW="overflow", POLICY="policy"))


region_records = st.builds(lambda o, r: SimpleNamespace(overflow_bytes=o, utilization_ratio=r),
                           st.integers(-2, 3), st.floats(0, 2))
severities = st.sampled_from(["info", "warning", "error", "other"])
issues_lists = st.lists(st.builds(lambda s, i: SimpleNamespace(severity=s, id=i), severities, st.text(max_size=3)), max_size=4)


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(usage=st.dictionaries(names, region_records, max_size=5),
       regions=st.lists(st.tuples(names, st.one_of(st.text(max_size=3), st.none(), st.just(0))), max_size=5),
       sections=st.lists(st.tuples(names, st.one_of(names, st.none())), max_size=6),
       padding=st.dictionaries(names, st.integers(0, 9), max_size=4),
       multicore=st.one_of(st.none(), st.just({}), st.just({"CM4": 1})),
       vis=st.one_of(st.just({}), st.fixed_dictionaries({"schema_version": st.one_of(st.text(max_size=3), st.integers(), st.none()),
                                                          "regions": st.one_of(st.lists(st.integers(), max_size=3), st.tuples(st.integers()))})),
       detected=st.tuples(issues_lists, issues_lists),
       hints=st.one_of(st.dictionaries(names, st.lists(st.integers(), max_size=2), max_size=3), st.none()),
       target=st.one_of(st.none(), st.just(""), st.text(max_size=3)),
       budgets=st.dictionaries(names, st.floats(0, 1), max_size=3))
def test_build_analysis_report(monkeypatch, usage, regions, sections, padding, multicore, vis, detected, hints,
                               target, budgets):
    results = {
        "compute_region_usage": usage,
        "compute_section_usage": [SimpleNamespace(section_name="s", execution_region="r", load_region=None,
                                                  size=1, utilization_ratio_in_region=0.1)],
        "top_symbols_by_size": [SimpleNamespace(name="a", size=3)],
        "top_object_archive_contributors": [],
        "compute_flash_ram_attribution": SimpleNamespace(flash_bytes=10, ram_bytes=5, other_bytes=0),
        "compute_initialized_ram_cost": SimpleNamespace(initialized_ram_bytes=1, estimated_flash_init_payload_bytes=1),
        "compute_padding_waste": SimpleNamespace(total_padding_bytes=sum(padding.values()), by_region=padding),
        "build_multicore_summary": multicore,
        "group_symbols_by_component": ["components"],
        "detect_reserved_region_violations": detected[0],
        "detect_suspicious_section_placement": detected[1],
        "build_visualization_contract": vis,
    }
    model = SimpleNamespace(
        memory_regions=[SimpleNamespace(name=n, category=SimpleNamespace(value=v)) for n, v in regions],
        sections=[SimpleNamespace(name=n, execution_region=r) for n, r in sections],
        symbols=[1, 2], toolchain=SimpleNamespace(value="gnu_ld"), parse_assumptions=["p"],
        unresolved_ambiguities=[], stack_heap_hints=hints)
    config = SimpleNamespace(
        budgets=SimpleNamespace(flash=budgets, ram={}),
        policies=SimpleNamespace(warn_on_near_capacity_ratio=0.9, partition_max_bytes={}, fail_on_overflow=True,
                                 fail_on_reserved_region_violation=True),
        reports=SimpleNamespace(enable_sankey_view=True, enable_relationship_graph_view=False),
        project=SimpleNamespace(name="proj"))
    logs = {}
    outcomes = {}
    for label, namespace in (("native", native), ("oracle", oracle)):
        logs[label] = []
        with monkeypatch.context() as patch:
            install(namespace, patch, results, logs[label])
            outcomes[label] = outcome(namespace.build_analysis_report, model, config, target_name=target)
    assert logs["native"] == logs["oracle"]
    assert repr(outcomes["native"]) == repr(outcomes["oracle"])
