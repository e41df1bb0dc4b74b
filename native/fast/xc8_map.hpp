// Microchip XC8 map files, read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_xc8_map(data) -> (command, psects, deltas, symbols, tail, seen) from an XC8 map's UTF-8
// bytes: the lines of the command line; the psects by class (name, link, load, length, space,
// class, line, the object file that holds it or None); {class: bytes per address} of the
// unused address ranges; the symbol table's rows (name, psect, address); the text after the
// symbol table; the set of parts seen ("classes", "segments", "unused", "symbols").
// ValueError((reason, line)) for a row its part cannot hold.
PyObject* read_xc8_map(PyObject* module, PyObject* args) noexcept;

}  // namespace tarnwick
