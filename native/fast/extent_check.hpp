// The first figure of a finished model that no build has (toolchains/extent_check.py).
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// extent_fault(regions, sections, symbols) -> None, or (what, index, part) of the first figure
// no build has: "region", "section", "load image", "input" (part: its place in the section's
// inputs) past the 64-bit address space or of 2^63 bytes or more; "input outside" its section;
// "symbol" past the address space, or "symbol outside" every section of its section's name.
PyObject* extent_fault(PyObject* module, PyObject* args);

}  // namespace tarnwick
