// Arm armlink map files, read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_armlink_map(data, InputSection) -> (regions, rows, symbols, totals) from an armlink map's
// UTF-8 bytes: the load and execution regions (kind "Load"/"Execution", name, the text between
// the parentheses, line); per execution region its rows (exec address, load address or None,
// size, kind or None for padding, the input section's record, whether the map has a load
// column); the image symbol table (name, value, size, binding or None); the stated totals
// (RO|RW|ROM, the words in parentheses, bytes). ValueError((reason, line)) for a row its part
// cannot hold.
PyObject* read_armlink_map(PyObject* module, PyObject* args);

}  // namespace tarnwick
