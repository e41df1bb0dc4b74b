// Reading mappings the way `sorted(m.items())`, `for k, v in ...` and `m.get(k)` do.
#pragma once

#include "support/ref.hpp"

namespace tarnwick::mappings {

// A new list of `mapping.items()`, sorted ascending with the default ordering.
Ref sorted_items(PyObject* mapping) noexcept;

// Unpacks `item` into exactly two values (new references), with the interpreter's messages.
// Returns -1 with the exception set.
int unpack(PyObject* item, Ref& first, Ref& second) noexcept;

// mapping.get(key), or mapping.get(key, fallback) when a fallback is given; exact dicts answer
// without a method call, with the same result.
Ref get(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr) noexcept;

}  // namespace tarnwick::mappings
