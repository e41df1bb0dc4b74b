// The native map readers' entries from Python.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// read_gnu_ld_map(data, InputSection, Symbol, named_code, skip_output, split_origin[, mapped]) and
// read_lld_map(...) -> (toolchain, regions, outputs, assignments, notes, thumb, sizes_given,
// output_file, origin_totals): a GNU ld or gold map, or an LLVM lld or mold map, from its UTF-8
// bytes; `mapped`: the bytes are a file mapped read-only, whose pages are given back once read. `outputs` rows are (name, address, size, load address or None, line, input section
// records, symbol records, alignment fill bytes), the records None for outputs
// `skip_output(name, address)` leaves out; `origin_totals` are the symbols' totals as
// totals_by_origin(symbols, None) counts them, or None. ValueError((reason, line, row)) for a
// map that is not complete: line 0 when there is none, row the text that could not be read or None.
PyObject* read_gnu_ld_map(PyObject* module, PyObject* args);
PyObject* read_lld_map(PyObject* module, PyObject* args);

// size_symbols(part, section, sizes_given, thumb, code, Symbol, split_origin) -> [Symbol, ...]: the
// symbols of an input section record a Python reader made (its `symbols` with name, address and
// size or None), sized as the native readers size theirs, every byte accounted for once.
PyObject* size_symbols(PyObject* module, PyObject* args);

// size_placed_symbols(sections, raw_symbols, sizes_given, thumb, Symbol, split_origin) -> [Symbol, ...]:
// each raw symbol placed in the input section of `sections` that holds its address (or, for a
// Thumb address, the one below), then every input section's symbols sized as size_symbols sizes
// them, in the order of the sections and their inputs. Symbols no input section holds are left out.
// `raw_symbols` is a list of rows, or the columns (names, addresses) of global symbols whose
// size the map does not state (SDCC's: a row per symbol costs more than the line it is read from).
PyObject* size_placed_symbols(PyObject* module, PyObject* args);

// padding_bytes(inputs) -> int: the bytes of the input sections that are padding (fill, not a
// reservation), what Section counts when it is not told them; a section of a large vendor map
// holds a hundred thousand inputs.
PyObject* padding_bytes(PyObject* module, PyObject* inputs);

// reserved_bytes(inputs) -> int: the bytes of the input sections that are reservations (". = . + N").
PyObject* reserved_bytes(PyObject* module, PyObject* inputs);

}  // namespace tarnwick
