// JSON of the report's records, written in pieces.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// write_json(value, write, enum_type, indent=2): `value` as JSON, handed to `write` in pieces
// of about a megabyte (bytes). Dataclass records by their fields, `enum_type` members by their
// values, tuples as lists, other mappings as objects, sets as sorted lists, non-finite floats
// as null, anything else as its str().
PyObject* write_json(PyObject* module, PyObject* args);

}  // namespace tarnwick
