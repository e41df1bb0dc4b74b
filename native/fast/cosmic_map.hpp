// Maps of COSMIC's linker clnk (CXSTM8), read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_cosmic_map(data, InputSection, RawSymbol, origin) -> (segments, symbols, missing, stack,
// part) from a clnk map's UTF-8 bytes: each segment of its Segments table as (name, start, length,
// inputs, covered), inputs the InputSection records of its modules' sections with the linker's
// fill between them (None for a segment of no target memory: .debug*, names ending in '.', empty),
// covered the bytes from its start to the end of its last input; the RawSymbol records of its
// Symbols (the command file's left out); the functions its Stack usage names that no symbol does
// (local L<n>_ labels left out); the digits of "Stack size:" or None; the last part heading seen.
// `origin(module)` names each module's sections. ValueError((reason, line)) for a row whose start,
// end and length do not agree.
PyObject* read_cosmic_map(PyObject* module, PyObject* args);

}  // namespace tarnwick
