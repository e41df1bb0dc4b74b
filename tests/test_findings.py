from types import SimpleNamespace

import pytest
from hypothesis import given, strategies as st

from conftest import make_config, usage
from tarnwick.analysis.summary import _budget_threshold_issues, _overflow_issues
from tarnwick.domain import Issue, IssueCategory, IssueSeverity

OVERFLOW_HINT = "Reduce section usage or increase region capacity in linker config."
BUDGET_HINT = "Rebalance footprint or update budget thresholds intentionally."


def test_overflow_findings_in_name_order_with_exact_texts():
    issues = _overflow_issues({"RAM": usage(512), "FLASH": usage(0), "CCM": usage(16), "flash": usage(-3)})
    assert [i.id for i in issues] == ["overflow.CCM", "overflow.RAM"]
    assert issues[1] == Issue(
        id="overflow.RAM", severity=IssueSeverity.ERROR, category=IssueCategory.OVERFLOW,
        title="Region overflow detected", description="Region RAM exceeds capacity by 512 bytes.",
        affected_entities=("RAM",), remediation_hint=OVERFLOW_HINT)


@pytest.mark.parametrize("overflow, text", [
    (1, "exceeds capacity by 1 bytes."), (0.5, "exceeds capacity by 0.5 bytes."),
    (10.0 ** 16, "exceeds capacity by 1e+16 bytes."), (4096, "exceeds capacity by 4096 bytes."),
])
def test_overflow_numbers_render_as_python_formats_them(overflow, text):
    (issue,) = _overflow_issues({"R": usage(overflow)})
    assert issue.description.endswith(text)


def test_overflow_keeps_key_object_and_returns_new_lists():
    key = "RAM"
    (issue,) = _overflow_issues({key: usage(1)})
    assert issue.affected_entities[0] is key and type(issue.affected_entities) is tuple
    assert _overflow_issues({}) == [] and _overflow_issues({}) is not _overflow_issues({})


def test_non_string_region_names_are_formatted():
    (issue,) = _overflow_issues({7: usage(2)})
    assert issue.id == "overflow.7" and issue.affected_entities == (7,)


class Pairs:
    def __init__(self, items):
        self._items = items

    def items(self):
        return self._items

    def get(self, key):
        return dict(self._items).get(key)


@pytest.mark.parametrize("items, error, message", [
    ([("A", usage(1), 3)], ValueError, "too many values to unpack (expected 2)"),
    ([("A",)], ValueError, "need more than 1 value to unpack"),
    ([()], ValueError, "need more than 0 values to unpack"),
    ([iter(["A"])], ValueError, "need more than 1 value to unpack"),
    ([5], TypeError, "cannot unpack non-iterable int object"),
    ([("A", usage(1)), (1, usage(1))], TypeError, "'<' not supported"),
    ([("A", usage(None))], TypeError, "'>' not supported"),
    ([("A", SimpleNamespace())], AttributeError, "overflow_bytes"),
])
def test_overflow_failures_propagate(items, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        _overflow_issues(Pairs(items))


def test_budget_findings_flash_first_each_in_name_order():
    region_usage = {"A": usage(ratio=0.95), "B": usage(ratio=0.99)}
    config = make_config(flash={"B": 0.9, "A": 0.9}, ram={"A": 0.5})
    issues = _budget_threshold_issues(region_usage, config)
    assert [i.id for i in issues] == ["budget.A", "budget.B", "budget.A"]
    assert [i.description for i in issues] == [
        "Region A utilization is 0.950, above configured threshold 0.900.",
        "Region B utilization is 0.990, above configured threshold 0.900.",
        "Region A utilization is 0.950, above configured threshold 0.500.",
    ]
    assert issues[0] == Issue(
        id="budget.A", severity=IssueSeverity.WARNING, category=IssueCategory.POLICY,
        title="Region budget threshold exceeded", description=issues[0].description,
        affected_entities=("A",), remediation_hint=BUDGET_HINT)


@pytest.mark.parametrize("ratio, threshold, expected", [
    (0.9, 0.9, None),  # strictly greater
    (0.5, 0.9, None),
    (1.2, 1, "Region R utilization is 1.200, above configured threshold 1.000."),
    (0.95, 0.9, "Region R utilization is 0.950, above configured threshold 0.900."),
])
def test_budget_comparison_and_rendering(ratio, threshold, expected):
    issues = _budget_threshold_issues({"R": usage(ratio=ratio)}, make_config(ram={"R": threshold}))
    assert [i.description for i in issues] == ([] if expected is None else [expected])


def test_budgets_for_unknown_or_none_regions_are_skipped():
    config = make_config(flash={"GONE": 0.1, "NONE": 0.1}, ram={})
    assert _budget_threshold_issues({"NONE": None}, config) == []
    assert _budget_threshold_issues({}, make_config()) == []


def test_budget_failures_propagate():
    with pytest.raises(AttributeError):
        _budget_threshold_issues({}, SimpleNamespace(budgets=SimpleNamespace(flash={})))
    with pytest.raises(AttributeError):
        _budget_threshold_issues({}, SimpleNamespace(budgets=SimpleNamespace(flash=None, ram={})))
    with pytest.raises(TypeError):
        _budget_threshold_issues({"R": usage(ratio=None)}, make_config(flash={"R": 0.5}))
    with pytest.raises(ValueError, match="Unknown format code 'f'"):
        _budget_threshold_issues({"R": usage(ratio="b")}, make_config(flash={"R": "a"}))


def test_budget_maps_are_fetched_before_any_entry():
    reads = []

    class Budgets:
        def __getattr__(self, name):
            reads.append(name)
            return {"R": 0.1}

    config = SimpleNamespace(budgets=Budgets())

    class Usage(dict):
        def get(self, key):
            reads.append(("get", key))
            return super().get(key)

    _budget_threshold_issues(Usage(R=usage(ratio=0.5)), config)
    assert reads == ["flash", "ram", ("get", "R"), ("get", "R")]


def test_issue_doubles_see_the_keywords_in_order(rebind):
    calls = []
    rebind("Issue", lambda *args, **kwargs: calls.append((args, list(kwargs))) or len(calls))
    rebind("IssueSeverity", SimpleNamespace(ERROR="E", WARNING="W"))
    rebind("IssueCategory", SimpleNamespace(OVERFLOW="O", POLICY="P"))
    assert _overflow_issues({"R": usage(1)}) == [1]
    assert _budget_threshold_issues({"R": usage(ratio=2)}, make_config(flash={"R": 1})) == [2]
    keywords = ["id", "severity", "category", "title", "description", "affected_entities",
                "remediation_hint"]
    assert calls == [((), keywords), ((), keywords)]


@given(st.dictionaries(st.text(max_size=5), st.integers(-5, 5), max_size=8))
def test_overflow_matches_a_direct_reading(overflows):
    issues = _overflow_issues({name: usage(value) for name, value in overflows.items()})
    expected = [f"overflow.{name}" for name, value in sorted(overflows.items()) if value > 0]
    assert [i.id for i in issues] == expected


@given(st.one_of(st.floats(), st.just(-0.0), st.just(1e300), st.just(float("inf")), st.just(float("nan"))))
def test_ratio_rendering_matches_float_format(ratio):
    threshold = float("-inf")  # every ratio but NaN is above it
    issues = _budget_threshold_issues({"R": usage(ratio=ratio)}, make_config(flash={"R": threshold}))
    if not ratio > threshold:  # NaN and -inf
        assert issues == []
    else:
        assert issues[0].description == f"Region R utilization is {ratio:.3f}, above configured threshold -inf."


class Shadowed:
    """Attributes the type decides: a property over an instance value, a class default."""

    overflow_bytes = property(lambda self: 5)
    utilization_ratio = 0.99

    def __init__(self):
        self.__dict__["overflow_bytes"] = 0


class Hooked:
    def __getattr__(self, name):
        values = {"overflow_bytes": 3, "utilization_ratio": 0.97}
        if name not in values:
            raise AttributeError(name)
        return values[name]


@pytest.mark.parametrize("record, overflow, ratio", [(Shadowed(), 5, 0.99), (Hooked(), 3, 0.97)])
def test_attributes_read_as_python_reads_them(record, overflow, ratio):
    (issue,) = _overflow_issues({"R": record})
    assert issue.description == f"Region R exceeds capacity by {overflow} bytes."
    (budget,) = _budget_threshold_issues({"R": record}, make_config(flash={"R": 0.5}))
    assert f"utilization is {ratio:.3f}" in budget.description


def test_missing_attribute_message_is_the_interpreters():
    with pytest.raises(AttributeError, match="^'types.SimpleNamespace' object has no attribute 'overflow_bytes'$"):
        _overflow_issues({"R": SimpleNamespace()})
