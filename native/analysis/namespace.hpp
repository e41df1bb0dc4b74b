// The module's namespace as the functions see it at call time.
#pragma once

#include "support/ref.hpp"

namespace tarnwick::ns {

// The module object of this process, or null. The reference is owned here.
PyObject* held() noexcept;
void hold(PyObject* module) noexcept;  // adds a reference
void forget() noexcept;                // releases it

// The current binding of `name` in the module namespace, then the builtins; NameError otherwise.
Ref lookup(PyObject* name) noexcept;

// lookup(name) followed by an attribute read of the result.
Ref lookup_attr(PyObject* name, PyObject* attribute) noexcept;

}  // namespace tarnwick::ns
