import subprocess
import sys
import textwrap
from types import SimpleNamespace

import pytest

from tarnwick.analysis import summary as summary_module


@pytest.fixture
def summary():
    return summary_module


@pytest.fixture
def rebind(monkeypatch):
    """Rebinds a name in the module namespace for one test."""
    def apply(name, value):
        monkeypatch.setattr(summary_module, name, value, raising=False)
        return value
    return apply


def usage(overflow=0, ratio=0.0):
    return SimpleNamespace(overflow_bytes=overflow, utilization_ratio=ratio)


def make_config(flash=None, ram=None, **policies):
    policy_values = dict(warn_on_near_capacity_ratio=0.9, partition_max_bytes={},
                         fail_on_overflow=True, fail_on_reserved_region_violation=False)
    policy_values.update(policies)
    return SimpleNamespace(
        budgets=SimpleNamespace(flash={} if flash is None else flash, ram={} if ram is None else ram),
        policies=SimpleNamespace(**policy_values),
        reports=SimpleNamespace(enable_sankey_view=True, enable_relationship_graph_view=False),
        project=SimpleNamespace(name="board"),
    )


def run_python(code: str) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, for import-time behaviour."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=60)
