// IAR XLINK map files, read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_iar_xlink_map(data, RawSymbol) -> (header, segments, parts, symbols, totals, ended) from
// an XLINK map's UTF-8 bytes: the lines of the header box (starting with '#'); the segments in
// address order (name, start, size; size 0 where a row gives no end); the module map's segment
// parts (start, size, segment, module or None) and entries (RawSymbol records); {memory type:
// bytes} of the closing totals; whether the map reaches its "Errors:" line.
// ValueError((reason, line)) for a row its part cannot hold.
PyObject* read_iar_xlink_map(PyObject* module, PyObject* args);

}  // namespace tarnwick
