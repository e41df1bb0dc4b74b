#include "analysis/namespace.hpp"

#include "support/call.hpp"

namespace tarnwick::ns {

namespace {
// Process-wide, shared by every interpreter; the surface refuses all but the first.
PyObject* module_object = nullptr;
}  // namespace

PyObject* held() noexcept { return module_object; }

void hold(PyObject* module) noexcept {
    Py_XINCREF(module);
    Py_XSETREF(module_object, module);
}

void forget() noexcept { Py_CLEAR(module_object); }

Ref lookup(PyObject* name) noexcept {
    if (module_object != nullptr) {
        PyObject* globals = PyModule_GetDict(module_object);  // borrowed
        PyObject* found = PyDict_GetItemWithError(globals, name);
        if (found != nullptr) {
            return Ref::borrow(found);  // the call that follows may rebind the name
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr) {
        PyObject* found = PyDict_GetItemWithError(builtins, name);
        if (found != nullptr) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref lookup_attr(PyObject* name, PyObject* attribute) noexcept {
    Ref owner = lookup(name);
    return owner ? getattr(owner.get(), attribute) : Ref();
}

}  // namespace tarnwick::ns
