// Argument matching shared by every function of the module, with the interpreter's messages.
#pragma once

#include "support/ref.hpp"

#include <cstddef>

namespace tarnwick::args {

struct Parameter {
    PyObject** name;  // slot of the interned name (filled once names are initialised)
    bool keyword_only;
    bool required;
};

struct Signature {
    const char* function;
    const Parameter* params;
    Py_ssize_t count;
};

constexpr Py_ssize_t max_parameters = 4;

// Matches a vectorcall's arguments to the signature. On success `out[i]` is the borrowed
// argument for parameter i, or nullptr when an optional one was not given. -1 sets TypeError.
int match(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out) noexcept;

}  // namespace tarnwick::args
