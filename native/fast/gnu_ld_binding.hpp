// The GNU ld map reader's entry from Python.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_gnu_ld_map(data, InputSection, Symbol, named_code, skip_output, split_origin) -> (regions, outputs,
// assignments, notes, gold, thumb, output_file); ValueError((reason, line)) for a map that is
// not complete. `outputs` rows are (name, address, size, load address or None, line, input
// section records, symbol records, alignment fill bytes), the records None for outputs
// `skip_output(name, address)` leaves out.
PyObject* read_gnu_ld_map(PyObject* module, PyObject* args) noexcept;

}  // namespace tarnwick
