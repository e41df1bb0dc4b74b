// tarnwick._native: the fast paths of the front end and the renderers.
#include "fast/demangle.hpp"
#include "support/ref.hpp"

namespace tarnwick {

namespace {

// demangle(name) -> the readable name, or None when `name` is not a mangled symbol
PyObject* demangle_name(PyObject*, PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "demangle() argument must be str, not %.200s",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) return nullptr;
    try {
        auto readable = demangle::symbol({text, static_cast<std::size_t>(length)});
        if (!readable) Py_RETURN_NONE;
        return PyUnicode_DecodeUTF8(readable->data(), static_cast<Py_ssize_t>(readable->size()),
                                    "replace");
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef methods[] = {
    {"demangle", demangle_name, METH_O,
     "demangle(name) -> str | None\n\nThe readable form of a mangled C++ or Rust symbol name, "
     "or None when the name is not mangled."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "tarnwick._native", "Fast paths of tarnwick's front end and renderers.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace tarnwick

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&tarnwick::definition); }
