// The symbol table of the HTML explorer.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// explorer_rows(symbols, place_of, origin_of, deltas, unchanged) -> (rows, groups): a row per
// symbol that holds its bytes, [shown name, name (None when shown as it is), origin number, section number, region
// number, size, change, size derived]; place_of(section) answers (section number, region
// number, ...) and origin_of(object_file, archive) (origin number, contributor, ...), each once
// per distinct key. The change is looked up (and taken out of) `deltas` by (name, contributor),
// else `unchanged`. groups: (section, object_file, archive) -> row numbers.
PyObject* explorer_rows(PyObject* module, PyObject* args);

// A new reference to the readable form of a str (itself when nothing changes); null with an
// exception set.
PyObject* shown_name(PyObject* name) noexcept;

}  // namespace tarnwick
