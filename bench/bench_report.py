"""Time the native report builder's own work as its inputs grow, against a plain-Python
oracle of the same steps (tests/oracle.py) measured in the same run on the same inputs.

Every collaborator (passes, records) is replaced by a cheap stand-in that returns a
precomputed result, so what is timed is mostly the module's walking, sorting, copying and dict
building. The module's own detectors (_overflow_issues, _budget_threshold_issues,
_baseline_regressions, _build_config_summary) stay real.

The stand-ins still cost something, and the same in both builders. To time each builder's own
work, the collaborator calls one build makes (stand-in passes, record constructions, the
report's sorted_copy, the timestamp) are recorded once with their arguments and replayed in a
C-level loop; that replay time is taken off both before the "own" ratio is formed. The output's
teardown stays in both: freeing what a builder made is part of making it.

Run: python bench/bench_report.py [--quick] [--no-oracle]
"""

from __future__ import annotations

import argparse
import functools
import math
import operator
import os
import random
import sys
import time
from collections import deque
from datetime import UTC, datetime
from types import SimpleNamespace

import tarnwick.analysis.summary as summary

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import oracle  # noqa: E402  (the tests' plain-Python twin)

# (symbols, regions = sections). "sections" is the speed bar: the module's own work against
# the oracle's. "symbols" grows only the model's symbol list, whose shallow copy into the
# report is the interpreter's list copy in both, so its ratio tends to 1 by construction.
SERIES = {
    "sections": [(1_000, 10), (1_000, 100), (1_000, 1_000), (1_000, 10_000), (1_000, 100_000)],
    "both": [(1_000, 10), (10_000, 100), (100_000, 1_000), (1_000_000, 10_000)],
    "symbols": [(1_000, 10), (10_000, 10), (100_000, 10), (1_000_000, 10)],
}


class Report(SimpleNamespace):
    def sorted_copy(self):
        return self


def make_inputs(n_symbols: int, n_regions: int, seed: int = 1):
    rng = random.Random(seed)
    categories = [SimpleNamespace(value="flash"), SimpleNamespace(value="ram")]
    regions = [SimpleNamespace(name=f"R{i:05d}", category=categories[i % 2]) for i in range(n_regions)]
    rng.shuffle(regions)
    sections = [SimpleNamespace(name=f" .s{i} ", execution_region=f"R{rng.randrange(n_regions):05d}")
                for i in range(n_regions)]
    symbols = [SimpleNamespace(name=f"sym{i}", size=rng.randrange(1, 4096)) for i in range(n_symbols)]
    model = SimpleNamespace(
        memory_regions=regions, sections=sections, symbols=symbols,
        toolchain=SimpleNamespace(value="gnu_ld"), parse_assumptions=["a"],
        unresolved_ambiguities=[], stack_heap_hints={"stack": ["_estack"]},
    )
    usage = {r.name: SimpleNamespace(overflow_bytes=rng.choice([0, 0, 0, 16]),
                                     utilization_ratio=rng.random()) for r in regions}
    config = SimpleNamespace(
        budgets=SimpleNamespace(flash={name: 0.8 for name in list(usage)[::2]},
                                ram={name: 0.9 for name in list(usage)[1::2]}),
        policies=SimpleNamespace(warn_on_near_capacity_ratio=0.9, partition_max_bytes={},
                                 fail_on_overflow=True, fail_on_reserved_region_violation=True),
        reports=SimpleNamespace(enable_sankey_view=True, enable_relationship_graph_view=False),
        project=SimpleNamespace(name="bench"),
    )
    rows = [SimpleNamespace(section_name=s.name, execution_region=s.execution_region, load_region=None,
                            size=100, utilization_ratio_in_region=0.01) for s in sections]
    top = [SimpleNamespace(name=f"sym{i}", size=4096 - i) for i in range(25)]
    results = {
        "compute_region_usage": usage,
        "compute_section_usage": rows,
        "top_symbols_by_size": top,
        "top_object_archive_contributors": top,
        "compute_flash_ram_attribution": SimpleNamespace(flash_bytes=1, ram_bytes=2, other_bytes=0),
        "compute_initialized_ram_cost": SimpleNamespace(initialized_ram_bytes=1,
                                                        estimated_flash_init_payload_bytes=1),
        "compute_padding_waste": SimpleNamespace(total_padding_bytes=0,
                                                 by_region={name: 0 for name in usage}),
        "build_multicore_summary": None,
        "group_symbols_by_component": [],
        "detect_reserved_region_violations": [],
        "detect_suspicious_section_placement": [],
        "build_visualization_contract": {"schema_version": "1.0", "regions": list(usage)},
    }
    return model, config, results


def stand_ins(results) -> dict:
    found = {name: (lambda v: lambda *a, **k: v)(value) for name, value in results.items()}
    found.update(Issue=SimpleNamespace, ReportSummary=SimpleNamespace,
                 ReportMetadata=SimpleNamespace, AnalysisReport=Report)
    return found


def install_stand_ins(results, namespace=summary) -> None:
    for name, value in stand_ins(results).items():
        setattr(namespace, name, value)
    namespace.IssueSeverity = SimpleNamespace(INFO="info", WARNING="warning", ERROR="error")
    namespace.IssueCategory = SimpleNamespace(OVERFLOW="overflow", POLICY="policy")


def collaborator_replay(model, config, results):
    """The collaborator calls of one module build, as argument-bound callables."""
    calls = []

    class RecordedReport(Report):
        def sorted_copy(self):
            calls.append(functools.partial(Report.sorted_copy, self))
            return Report.sorted_copy(self)

    def recording(target, live):
        def record(*args, **kwargs):
            calls.append(functools.partial(target, *args, **kwargs))
            return live(*args, **kwargs)
        return record

    for name, target in stand_ins(results).items():
        live = RecordedReport if target is Report else target
        setattr(summary, name, recording(target, live))
    try:
        summary.build_analysis_report(model, config)
    finally:
        install_stand_ins(results)
    moment = datetime.now(UTC)
    calls += [functools.partial(datetime.now, UTC), functools.partial(datetime.isoformat, moment)]
    return calls


def replay(calls) -> None:
    deque(map(operator.call, calls), maxlen=0)


def time_call(function, min_seconds: float) -> float:
    """Best time per call over repeated batches."""
    best = float("inf")
    spent = 0.0
    repeats = 1
    while spent < min_seconds:
        start = time.perf_counter()
        for _ in range(repeats):
            function()
        elapsed = time.perf_counter() - start
        spent += elapsed
        best = min(best, elapsed / repeats)
        if elapsed < 0.05:
            repeats *= 2
    return best


def time_interleaved(functions, min_seconds: float, rounds: int = 3) -> list[float]:
    """Best time per call of each function, timed in turns, so that a slow patch of the machine
    (large sizes run a few calls only) falls on both sides rather than on one."""
    best = [float("inf")] * len(functions)
    for _ in range(rounds):
        for index, function in enumerate(functions):
            best[index] = min(best[index], time_call(function, min_seconds / rounds))
    return best


# The module's own detectors, timed one by one against the oracle's: where the work is walking,
# comparing, sorting and formatting, and where it is copying containers (the configuration echo),
# which costs the interpreter the same from C as from bytecode.
STEPS = {
    "_overflow_issues": lambda usage, config: (usage,),
    "_budget_threshold_issues": lambda usage, config: (usage, config),
    "_build_config_summary": lambda usage, config: (config,),
}


def time_steps(sizes, budget: float) -> None:
    print("\n[steps]")
    print(f"{'regions':>8} {'step':<26} {'module us':>10} {'oracle us':>10} {'ratio':>6}")
    for _, n_regions in sizes:
        model, config, results = make_inputs(1_000, n_regions)
        install_stand_ins(results)
        install_stand_ins(results, oracle)
        usage = results["compute_region_usage"]
        for name, arguments in STEPS.items():
            call_args = arguments(usage, config)
            native, python = getattr(summary, name), getattr(oracle, name)
            seconds, baseline = time_interleaved(
                [lambda: native(*call_args), lambda: python(*call_args)], budget)
            print(f"{n_regions:>8} {name:<26} {seconds * 1e6:>10.1f} {baseline * 1e6:>10.1f} "
                  f"{seconds / baseline:>6.2f}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="smaller sizes, shorter runs")
    parser.add_argument("--no-oracle", action="store_true", help="time the module alone")
    args = parser.parse_args()
    worst = worst_raw = 0.0
    for series, sizes in SERIES.items():
        counts_for_bar = series == "sections"
        sizes = sizes[:3] if args.quick else sizes
        print(f"\n[{series}]")
        print(f"{'symbols':>10} {'regions':>8} {'ms/call':>10} {'growth':>8} {'ns/item':>9} "
              f"{'ns/(n log n)':>13} {'oracle ms':>10} {'collab ms':>10} {'ratio':>6} {'own':>6}")
        previous = None
        for n_symbols, n_regions in sizes:
            model, config, results = make_inputs(n_symbols, n_regions)
            install_stand_ins(results)
            budget = 0.3 if args.quick else 1.0
            native = lambda: summary.build_analysis_report(model, config)  # noqa: E731
            oracle_text = collaborator_text = ratio_text = own_text = ""
            if args.no_oracle:
                seconds = time_call(native, budget)
            else:
                install_stand_ins(results, oracle)
                calls = collaborator_replay(model, config, results)
                seconds, baseline, collaborators = time_interleaved(
                    [native, lambda: oracle.build_analysis_report(model, config),
                     lambda: replay(calls)], 3 * budget)
                ratio = seconds / baseline
                own = (seconds - collaborators) / (baseline - collaborators)
                if counts_for_bar:
                    worst = max(worst, own)
                    worst_raw = max(worst_raw, ratio)
                oracle_text, ratio_text = f"{baseline * 1e3:.3f}", f"{ratio:.2f}"
                collaborator_text, own_text = f"{collaborators * 1e3:.3f}", f"{own:.2f}"
            items = n_symbols + 3 * n_regions  # symbols, regions, sections, usage entries
            growth = f"{seconds / previous:.1f}x" if previous else "-"
            per_item = seconds / items * 1e9
            per_nlogn = seconds / (items * math.log2(items)) * 1e9
            print(f"{n_symbols:>10} {n_regions:>8} {seconds * 1e3:>10.3f} {growth:>8} "
                  f"{per_item:>9.1f} {per_nlogn:>13.2f} {oracle_text:>10} {collaborator_text:>10} "
                  f"{ratio_text:>6} {own_text:>6}")
            previous = seconds
    if not args.no_oracle:
        steps = SERIES["sections"][::2]
        time_steps(steps[:2] if args.quick else steps, 0.3 if args.quick else 1.0)
        print(f"\nworst over 10 to 100,000 sections: own work {worst:.2f}, whole call "
              f"{worst_raw:.2f} (target 0.30, floor 0.50)")


if __name__ == "__main__":
    main()
