#include "analysis/coercion.hpp"

namespace tarnwick::coercion {

Ref as_int(PyObject* value, PyObject* fallback) noexcept {
    if (PyBool_Check(value)) return Ref::borrow(fallback);
    if (PyLong_Check(value)) return Ref::borrow(value);  // the same object, subclass kept
    if (PyFloat_Check(value)) return Ref::steal(PyNumber_Long(value));  // truncates; inf/NaN raise
    return Ref::borrow(fallback);
}

Ref as_float(PyObject* value, PyObject* fallback) noexcept {
    if (PyBool_Check(value)) return Ref::borrow(fallback);
    if (PyLong_Check(value) || PyFloat_Check(value)) return Ref::steal(PyNumber_Float(value));
    return Ref::borrow(fallback);
}

}  // namespace tarnwick::coercion
