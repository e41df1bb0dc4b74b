// The TI linker's map files, read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_ti_map(data, InputSection) -> (arm, c2000, regions, kinds, outputs, summary, symbols,
// symbol_count, notes) from a TI map's UTF-8 bytes: regions (name, origin, length, used,
// attributes); kinds {output section: attributes} of the segment allocation map; outputs
// (name, address, size, attributes, line, (InputSection records)); summary (code, ro data, rw
// data) of the module summary or None; symbols the columns ([name], [address], None, None) that
// size_placed_symbols takes (no size, no binding) of the first listing of the global symbols; symbol_count the N of a last line "[N symbols]", else None; notes.
// ValueError((reason, line)) for a row its part cannot hold.
PyObject* read_ti_map(PyObject* module, PyObject* args);

}  // namespace tarnwick
