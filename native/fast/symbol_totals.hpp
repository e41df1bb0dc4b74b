// One loop over a build's symbols, for the passes that add them up.
#pragma once

#include "fast/records.hpp"
#include "support/ref.hpp"

namespace tarnwick {

// The bytes a symbol holds itself: its size, or 0 for an alias or an empty symbol (a record
// without `alias_of` is no alias). -1 with an exception set on failure.
long long own_bytes(PyObject* symbol, FieldReader& size, FieldReader& alias_of) noexcept;

// totals_by_origin(symbols, key_of) -> [(key, bytes, count, ((section, bytes), ...)), ...]: the
// symbols that hold their bytes (size above 0, no alias), added up per key, where the key of a
// symbol is key_of(object_file, archive), asked once per origin (the pair itself when key_of is
// None). In the order the keys first appear; a key's sections may name equal texts twice (held
// in different objects).
PyObject* totals_by_origin(PyObject* module, PyObject* args) noexcept;

// largest_symbols(symbols, limit) -> [symbol, ...]: the `limit` largest symbols that hold their
// bytes, largest first, then by name.
PyObject* largest_symbols(PyObject* module, PyObject* args) noexcept;

// largest_per_section(symbols, limit[, group_of, fallback]) -> {section: [symbol, ...]}: in each
// section (or each group_of[section], fallback when it has none), the `limit` largest symbols
// that hold their bytes, largest first, then by name.
PyObject* largest_per_section(PyObject* module, PyObject* args) noexcept;

// sorted_by_size(items) -> list: largest size first, then by name, then by address; items with
// equal keys keep their order. TypeError when a size or address is not an int or a name not a
// str (the caller then sorts another way).
PyObject* sorted_by_size(PyObject* module, PyObject* items) noexcept;

}  // namespace tarnwick
