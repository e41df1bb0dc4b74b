"""The native solve of the stack's call graph (solve_stack) gives what the Python walk it
replaced gave: on the graphs of the stack test firmware (its stack files alone, with its ELF's
machine code, with configured frames, calls and recursion bounds), on made-up graphs of every
turn (cycles, self-calls, calls that reach no function, dynamic frames, functions without stack
information, assumptions), and refuses graphs of the wrong shape with one error."""

from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from firmware_builds import build_with_script
from tarnwick._native import solve_stack
from tarnwick.analysis import stack_depth
from tarnwick.analysis.stack_units import read_units
from tarnwick.config import StackConfig
from tarnwick.toolchains import load_map

FIRMWARE = Path(__file__).resolve().parent / "stack_firmware"
_NONE = stack_depth._NONE


def python_solve(graph) -> tuple:
    """The Python walk solve_stack replaced: Tarjan's components without recursion, the plain
    functions settled on the spot, every other component by the graph's _settle."""
    count = len(graph.names)
    worst, bounded, cause, best, assumed = [0] * count, [True] * count, [None] * count, [None] * count, [_NONE] * count
    order, low, on_stack, stack, counter = [-1] * count, [0] * count, [False] * count, [], 0
    callees = [[t for t, _site in calls if isinstance(t, int)] for calls in graph.calls]

    def settle_one(node):
        frame, qualifier = graph.frames[node], graph.qualifiers[node]
        if frame is None or graph.own_problems[node] or not graph.has_calls[node] or (
                qualifier != "static" and not qualifier.endswith("bounded")):
            return False
        deepest, chosen, sure, rests = 0, None, True, _NONE
        for target, _site in graph.calls[node]:
            if target.__class__ is int:
                if worst[target] > deepest:
                    deepest, chosen = worst[target], target
                if assumed[target]:
                    rests = rests | assumed[target]
                if not bounded[target]:
                    if sure and cause[node] is None:
                        cause[node] = cause[target]
                    sure = False
            else:
                if sure and cause[node] is None:
                    cause[node] = (node, target)
                sure = False
        worst[node], bounded[node], best[node], assumed[node] = frame + deepest, sure, chosen, rests
        return True

    for root in range(count):
        if order[root] >= 0:
            continue
        order[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack[root] = True
        walk = [(root, iter(callees[root]))]
        while walk:
            node, following = walk[-1]
            for target in following:
                if order[target] < 0:
                    order[target] = low[target] = counter
                    counter += 1
                    stack.append(target)
                    on_stack[target] = True
                    walk.append((target, iter(callees[target])))
                    break
                if on_stack[target] and order[target] < low[node]:
                    low[node] = order[target]
            else:
                walk.pop()
                if walk and low[node] < low[walk[-1][0]]:
                    low[walk[-1][0]] = low[node]
                if low[node] != order[node]:
                    continue
                if stack[-1] == node:
                    stack.pop()
                    on_stack[node] = False
                    if graph.assumed[node] or node in callees[node] or not settle_one(node):
                        graph._settle([node], worst, bounded, cause, best, assumed)
                    continue
                component = []
                while True:
                    member = stack.pop()
                    on_stack[member] = False
                    component.append(member)
                    if member == node:
                        break
                graph._settle(component, worst, bounded, cause, best, assumed)
    return worst, bounded, cause, best, assumed


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    return build_with_script(FIRMWARE / "build.sh", tmp_path_factory.mktemp("stack-solve")) / "build"


CONFIGS = {
    "as built": StackConfig(),
    "bounded by the configuration": StackConfig(frames={"walk_tree": 40, "never_there": 8},
                                                calls={"worker_thread": ["tick_update", "scratch"]},
                                                recursion={"walk_tree": 5}),
}


@pytest.mark.parametrize("with_elf", [False, True], ids=["stack files", "with the machine code"])
@pytest.mark.parametrize("config", CONFIGS.values(), ids=CONFIGS.keys())
def test_the_firmwares_graph_solves_as_the_python_walk_solved_it(build, with_elf, config):
    model = load_map(build / "roomy.map", None, elf=build / "roomy.elf" if with_elf else None)
    units, _notes = read_units(model, [str(build)])
    elf, machine = stack_depth._machine_code(model, [])
    graph = stack_depth._build_graph(units, machine, model, config, [])
    solved = graph.solve()
    assert solved == python_solve(graph)
    worst, bounded, cause, _best, _assumed = solved
    # the firmware's recursion and call through a pointer are in it, else this compares little
    assert not all(bounded) and any(w > 0 for w in worst) and any(c is not None for c in cause)


@st.composite
def graphs(draw):
    count = draw(st.integers(1, 12))
    graph = stack_depth._Graph()
    for index in range(count):
        name = draw(st.sampled_from(["a", "b", "c", f"f{index}"]))
        graph.add(name, name, "x.o", draw(st.none() | st.integers(0, 300)),
                  draw(st.sampled_from(["static", "dynamic", "dynamic,bounded"])), "x.c:1:1", "ci", False,
                  draw(st.booleans()), problem=draw(st.none() | st.just("cannot be read")))
        if draw(st.integers(0, 5)) == 0:
            graph.assumed[index].append(f"{name} assumed")
    for index in range(count):
        targets = draw(st.lists(st.integers(0, count - 1) | st.sampled_from(["calls through a pointer at x",
                                                                              "calls q, which has no stack information"]),
                                max_size=4))
        graph.calls[index] = [(target, f"x.c:{at}") for at, target in enumerate(targets)]
    graph.recursion = draw(st.dictionaries(st.sampled_from(["a", "b", "c"]), st.integers(1, 6), max_size=2))
    return graph


@settings(max_examples=300, deadline=None)
@given(graphs())
def test_made_up_graphs_solve_as_the_python_walk_solved_them(graph):
    assert graph.solve() == python_solve(graph)


def _lists(calls, count=None):
    count = len(calls) if count is None else count
    return ([calls, [8] * count, ["static"] * count, [None] * count, [True] * count, [[] for _ in range(count)]]
            + [[0] * count, [True] * count, [None] * count, [None] * count, [_NONE] * count])


@pytest.mark.parametrize("calls, count, error", [
    ([[(5, "s")]], None, "callee 5 is not a function of the graph"),
    ([[(-1, "s")]], None, "callee -1 is not a function of the graph"),
    ([[(0,)]], None, r"a call must be \(callee, call site\)"),
    ([[[0, "s"]]], None, r"a call must be \(callee, call site\)"),
    ([((0, "s"),)], None, "a function's calls must be a list"),
    ([[], [(0, "s")]], 1, "a list is shorter than the graph"),
])
def test_graphs_of_the_wrong_shape_are_refused_with_one_error(calls, count, error):
    lists = _lists(calls, count)
    if count is not None:  # the graph's own columns shorter than its calls
        lists[1] = lists[1][:count]
    with pytest.raises(ValueError, match=error):
        solve_stack(*lists, _NONE, lambda component: None)


def test_an_error_of_the_python_settle_reaches_the_caller():
    def settle(component):
        raise KeyError(component)

    with pytest.raises(KeyError, match=r"\[1, 0\]"):  # a cycle of two, handed over as Tarjan pops it
        solve_stack(*_lists([[(1, "s")], [(0, "s")]]), _NONE, settle)
    with pytest.raises(TypeError):
        solve_stack(*_lists([[]]), _NONE, None)
