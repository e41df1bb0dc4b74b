// SDCC's sdld map files, read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_sdcc_map(data, RawSymbol) -> (areas, symbols, modules, complete) from an sdld map's UTF-8
// bytes: the areas (name, address, size, attributes as written, line); per area, the RawSymbol
// records of its global symbols (address as listed, no size, "global"; the linker's own l_, s_
// and .__. names left out) and the modules its symbols name, in the order first named; whether
// the map reaches its user base address definitions. ValueError((reason, line)) for binary data.
PyObject* read_sdcc_map(PyObject* module, PyObject* args);

}  // namespace tarnwick
