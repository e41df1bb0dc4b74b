// GCC's -fcallgraph-info files read for the stack check.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_call_graph(text) -> ([(title, name, shown, frame, qualifier, where, local), ...],
// [(caller, callee, call site), ...]): the functions a unit defines (its nodes with a frame and
// not drawn as an ellipse, by their titles with the escapes undone; a static's name without its
// "source:" prefix) and its call edges, in the file's order.
PyObject* read_call_graph(PyObject* module, PyObject* text);

}  // namespace tarnwick
