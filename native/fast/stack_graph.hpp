// The worst-case stack's call graph: a unit's calls linked to the functions they reach, and the
// graph solved, each function's worst case, callees first.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// solve_stack(calls, frames, qualifiers, problems, has_calls, assumed_in, worst, bounded, cause,
// best, assumed, none, settle) -> None: the strongly connected components of the graph (Tarjan's,
// callees before callers, the roots in order, each function's callees in the order of its calls);
// a function on no cycle with a plain frame and no assumption of its own settled here, as
// analysis/stack_depth.py's _settle_one does, every other component handed to `settle(component)`,
// which fills the same five result lists (worst, bounded, cause, best, assumed). `calls`: per
// function [(callee's place or a text, call site)]; `none`: the empty set of assumptions.
PyObject* solve_stack(PyObject* module, PyObject* args);

// link_calls(unit_calls, places, by_name, calls, indirect, global_named) -> None: each of a unit's
// (caller, callee, call site) whose caller has a place (`places`: the unit's titles -> places)
// appended to its caller's `calls` as analysis/stack_depth.py's _build_graph appends them: a call
// to `indirect` as the text of a call through a pointer; else the callee's place in the unit,
// else that of the one global function of its name (`by_name`: name -> [places]), else
// what global_named(callee) gives (where none or several have it), else the text of a callee
// without stack information.
PyObject* link_calls(PyObject* module, PyObject* args);

// index_names(by_name, names, locals, start) -> None: each global function (its `locals` entry
// false) found by its name, its place (`start` on) appended to by_name[name], a list made for a
// name not there yet.
PyObject* index_names(PyObject* module, PyObject* args);

}  // namespace tarnwick
