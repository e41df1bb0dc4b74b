import math
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

from tarnwick.analysis.summary import _as_float, _as_int

DEFAULT = object()


class Int(int):
    pass


class Float(float):
    pass


@pytest.mark.parametrize("value, expected", [
    (True, DEFAULT), (False, DEFAULT), (5, 5), (5.99, 5), (-0.5, 0), (-5.99, -5), (None, DEFAULT),
    ("42", DEFAULT), ("1.5", DEFAULT), (b"1", DEFAULT), (Decimal("3"), DEFAULT),
    (Fraction(1, 2), DEFAULT), ([1], DEFAULT), ({}, DEFAULT), (10 ** 400, 10 ** 400),
])
def test_as_int_table(value, expected):
    result = _as_int(value, default=DEFAULT)
    assert result is DEFAULT if expected is DEFAULT else (result == expected and type(result) is int)


@pytest.mark.parametrize("value, expected", [
    (True, DEFAULT), (False, DEFAULT), (5, 5.0), (5.99, 5.99), (-0.5, -0.5), (None, DEFAULT),
    ("42", DEFAULT), (Decimal("3"), DEFAULT), (Fraction(1, 2), DEFAULT), (math.inf, math.inf),
])
def test_as_float_table(value, expected):
    result = _as_float(value, default=DEFAULT)
    assert result is DEFAULT if expected is DEFAULT else (result == expected and type(result) is float)


def test_identity_and_subclasses():
    big = 10 ** 30
    assert _as_int(big, default=0) is big
    sub = Int(7)
    assert _as_int(sub, default=0) is sub
    plain = 2.5
    assert _as_float(plain, default=0) is plain
    converted = _as_float(Float(2.5), default=0)
    assert type(converted) is float and converted == 2.5
    assert type(_as_float(Int(3), default=0)) is float
    assert type(_as_int(Float(3.7), default=0)) is int and _as_int(Float(3.7), default=0) == 3


@pytest.mark.parametrize("function, value, error", [
    (_as_int, math.inf, OverflowError), (_as_int, -math.inf, OverflowError),
    (_as_int, math.nan, ValueError), (_as_float, 10 ** 400, OverflowError),
])
def test_conversion_errors_propagate(function, value, error):
    with pytest.raises(error):
        function(value, default=0)


def test_nan_float_comes_back_and_default_is_unconverted():
    assert math.isnan(_as_float(math.nan, default=0.0))
    assert _as_int("x", default=None) is None
    assert _as_float(3, default="text") == 3.0
    marker = object()
    assert _as_int(value=None, default=marker) is marker


@given(st.one_of(st.integers(), st.floats(allow_nan=False, allow_infinity=False), st.booleans(),
                 st.text(), st.none()))
def test_matches_python_rules(value):
    def expected_int(v):
        if isinstance(v, bool):
            return "d"
        if isinstance(v, int):
            return v
        if isinstance(v, float):
            return int(v)
        return "d"
    assert _as_int(value, default="d") == expected_int(value)
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        assert _as_float(value, default="d") == "d"
    elif abs(value) < 2 ** 1000:
        assert _as_float(value, default="d") == float(value)
