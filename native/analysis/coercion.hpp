// Reading numbers out of loosely typed data (`_as_int`, `_as_float`).
#pragma once

#include "support/ref.hpp"

namespace tarnwick::coercion {

// Both return a new reference, or empty with the conversion's exception set.
Ref as_int(PyObject* value, PyObject* fallback) noexcept;
Ref as_float(PyObject* value, PyObject* fallback) noexcept;

}  // namespace tarnwick::coercion
