// The worst-case stack's call graph solved: each function's worst case, callees first.
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

}  // namespace tarnwick
