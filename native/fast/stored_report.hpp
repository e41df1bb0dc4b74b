// A stored JSON report read in one scan of its text, without decoding its largest parts into
// objects: its symbols go straight into the byte tables a comparison reads (symbol_tables'),
// its sections' input sections are only checked and located, to be decoded if asked for.
#pragma once

#include <Python.h>

namespace tarnwick {

// read_stored_report(data, origin_of) -> (document, symbol_tables, input_spans) or None.
// `data`: the file's bytes (UTF-8, a BOM allowed). `document`: the top-level object as json.loads
// gives it, without its "symbols" member and without each section's "inputs"; symbol_tables: what
// symbol_tables(symbols, origin_of) gives of its symbols; input_spans: per section, (start, end)
// of its inputs' text in `data`, or None where it has none. None when the text is anything this
// reader does not take (invalid JSON or UTF-8, NaN and the like, a lone surrogate, nesting deeper
// than any report's, a number int() refuses, a top level that is no object, symbols or sections
// that are not lists of objects, inputs that are not lists of objects, "symbols", "sections" or a
// section's "inputs" given twice): the caller then decodes the text whole, as before.
PyObject* read_stored_report(PyObject* module, PyObject* args);

// json_values(data, spans) -> [value or None, ...]: the JSON value at each (start, end) of `data`
// (spans read_stored_report gave), decoded as json.loads decodes it; None for a span of None.
PyObject* json_values(PyObject* module, PyObject* args);

}  // namespace tarnwick
