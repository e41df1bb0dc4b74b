// Text the way the interpreter renders it.
#pragma once

#include "support/ref.hpp"
#include "support/compat.hpp"

#include <initializer_list>

namespace tarnwick::text {

// format(value, spec)
inline Ref format(PyObject* value, PyObject* spec) noexcept {
    return Ref::steal(PyObject_Format(value, spec));
}

// format(value, ".3f"). An exact float is rendered here the way float.__format__ renders it
// (fixed point, three digits, "nan", "inf", "-0.000"); anything else asks the value itself.
inline Ref format_fixed3(PyObject* value, PyObject* spec) noexcept {
    if (PyFloat_CheckExact(value)) {
        char* text = PyOS_double_to_string(PyFloat_AS_DOUBLE(value), 'f', 3, 0, nullptr);
        if (text == nullptr) return Ref::steal(PyErr_NoMemory());
        Ref result = Ref::steal(PyUnicode_FromString(text));
        PyMem_Free(text);
        return result;
    }
    return format(value, spec);
}

// str(value), with an exact string used unchanged.
inline Ref str_form(PyObject* value) noexcept {
    return PyUnicode_CheckExact(value) ? Ref::borrow(value) : Ref::steal(PyObject_Str(value));
}

// "".join(parts); every part must be a string.
inline Ref join(std::initializer_list<PyObject*> parts) noexcept {
    PyObject* separator = PyUnicode_FromStringAndSize(nullptr, 0);
    if (separator == nullptr) return Ref();
    Ref owned_separator = Ref::steal(separator);
    return Ref::steal(compat::join(separator, parts));
}

}  // namespace tarnwick::text
