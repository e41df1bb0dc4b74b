from types import SimpleNamespace

import pytest

from conftest import make_config
from tarnwick.analysis.summary import _build_config_summary
from tarnwick.config import TarnwickConfig


def test_shape_order_and_shallow_copies():
    shared = [1, 2]
    config = make_config(flash={"FLASH": 0.9}, ram={"RAM": shared},
                         partition_max_bytes={"app": 4096}, fail_on_overflow="yes")
    result = _build_config_summary(config)
    assert result == {
        "budgets": {"flash": {"FLASH": 0.9}, "ram": {"RAM": [1, 2]}},
        "policies": {"warn_on_near_capacity_ratio": 0.9, "partition_max_bytes": {"app": 4096},
                     "fail_on_overflow": "yes", "fail_on_reserved_region_violation": False},
    }
    assert list(result) == ["budgets", "policies"]
    assert list(result["policies"]) == ["warn_on_near_capacity_ratio", "partition_max_bytes",
                                        "fail_on_overflow", "fail_on_reserved_region_violation"]
    for copy, original in [(result["budgets"]["flash"], config.budgets.flash),
                           (result["budgets"]["ram"], config.budgets.ram),
                           (result["policies"]["partition_max_bytes"], config.policies.partition_max_bytes)]:
        assert copy == original and copy is not original and type(copy) is dict
    result["budgets"]["flash"]["NEW"] = 1
    assert "NEW" not in config.budgets.flash
    assert result["budgets"]["ram"]["RAM"] is shared
    assert result["policies"]["fail_on_overflow"] is config.policies.fail_on_overflow


def test_pairs_sequence_and_repeated_keys():
    result = _build_config_summary(make_config(partition_max_bytes=[("b", 1), ("a", 2), ("b", 3)]))
    assert result["policies"]["partition_max_bytes"] == {"b": 3, "a": 2}
    assert list(result["policies"]["partition_max_bytes"]) == ["b", "a"]


@pytest.mark.parametrize("value, error", [(None, TypeError), ([1, 2], TypeError), (["abc"], ValueError)])
def test_bad_partition_map_raises(value, error):
    with pytest.raises(error):
        _build_config_summary(make_config(partition_max_bytes=value))


def test_reads_each_value_afresh_in_order():
    reads = []

    class Recorder:
        def __init__(self, label, values):
            self._label, self._values = label, values

        def __getattr__(self, name):
            reads.append(f"{self._label}.{name}")
            return self._values[name]

    class Config:
        @property
        def budgets(self):
            reads.append("budgets")
            return Recorder("budgets", {"flash": {}, "ram": {}})

        @property
        def policies(self):
            reads.append("policies")
            return Recorder("policies", {"warn_on_near_capacity_ratio": 1, "partition_max_bytes": {},
                                         "fail_on_overflow": 0, "fail_on_reserved_region_violation": 0})

    _build_config_summary(Config())
    assert reads == ["budgets", "budgets.flash", "budgets", "budgets.ram",
                     "policies", "policies.warn_on_near_capacity_ratio",
                     "policies", "policies.partition_max_bytes",
                     "policies", "policies.fail_on_overflow",
                     "policies", "policies.fail_on_reserved_region_violation"]


def test_missing_attribute_and_real_config():
    with pytest.raises(AttributeError):
        _build_config_summary(SimpleNamespace(budgets=SimpleNamespace(flash={}, ram={})))
    first = _build_config_summary(TarnwickConfig())
    second = _build_config_summary(TarnwickConfig())
    assert first == second and first is not second
    assert first["budgets"] == {"flash": {}, "ram": {}}
