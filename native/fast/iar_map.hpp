// IAR ILINK map files, read in native code.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_iar_map(data, InputSection) -> (target, directives, rows, row count, parts, unused, symbols,
// libraries, totals, errors, ended) from an IAR ILINK map's UTF-8 bytes: the target the banner names;
// the placement directives (name, text); the placement summary's rows, held natively for iar_runs
// and iar_holes (name, kind, address, size, module, block, the input section's record without its
// origin), blocks' own rows left out; the
// parts of the summary (block, size its heading states or None, first row, row past its last, end
// address, bytes spanned as its closing line states them); the unused ranges (start, end past the last byte); the
// entry list's symbols as the columns size_placed_symbols takes ([name], [address], [size],
// [binding or None]); {reference: library}; totals
// {(readonly|readwrite, code|data): bytes}; the error messages; whether "Errors:" closed it.
// ValueError((reason, line)) for a row its part cannot hold.
PyObject* read_iar_map(PyObject* module, PyObject* args);

// iar_runs(rows, archives) -> [(name, kind, address, inputs, end)]: the rows of read_iar_map cut
// into runs of one name, kind and block in rising address order (an output section each): its
// first row's name, kind and address, the tuple of its rows' input sections, the end of the last
// byte any of them holds. Each input section's origin is set from its module, once per module:
// "linker created" for the linker's own ("<...>", "- Linker created -"), "main.o" for "main.o [1]",
// "archive.a(main.o)" where archives {reference: archive's file name} names reference 1, else the
// module as it is (None for an empty one).
PyObject* iar_runs(PyObject* module, PyObject* args);

// iar_holes(rows, first, past, start, end) -> [(low, high)]: the bytes from start to end that rows
// [first, past) do not cover, in address order.
PyObject* iar_holes(PyObject* module, PyObject* args);

}  // namespace tarnwick
