// Microchip XC8 map files, read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_xc8_map(data) -> (command, rows, psects, deltas, unused, tail, seen) from an XC8 map's
// UTF-8 bytes: the lines of the command line; a capsule holding the psects by class (name, link,
// load, length, space, class, the object file that holds it) and the symbol table's rows (name,
// psect, address), for place_xc8_psects; how many psects it holds; {class: bytes per address} of
// the unused address ranges, and the ranges themselves (class, low, high past the last address,
// in the class's units); the text after the symbol table; the set of parts seen ("classes",
// "segments", "unused", "symbols").
// ValueError((reason, line)) for a row its part cannot hold.
PyObject* read_xc8_map(PyObject* module, PyObject* args);

// place_xc8_psects(rows, placing, bounds, names, Section, InputSection) -> (sections, the
// symbols' columns (names, addresses) size_placed_symbols takes): each psect of read_xc8_map's rows with a length as a section holding one
// input section, at base + address x bytes per address as placing(class, space) gives them
// (its load address in program memory, its link address elsewhere), in the region names[i] of
// the i bounds at or below its address; each symbol of a placed psect at its offset in it.
PyObject* place_xc8_psects(PyObject* module, PyObject* args);

}  // namespace tarnwick
