// Thin owning wrappers over the calls the core makes. Each returns an empty Ref with the
// interpreter's exception set on failure.
#pragma once

#include "support/ref.hpp"
#include "support/compat.hpp"

#include <array>
#include <initializer_list>

namespace tarnwick {

// obj.name. For plain instances with a __dict__ and nothing of that name on the type, the
// generic lookup reduces to one dict read, made here; everything else asks the interpreter.
inline Ref getattr(PyObject* obj, PyObject* name) noexcept {
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset > 0 &&
        !(type->tp_flags & Py_TPFLAGS_MANAGED_DICT) && compat::type_lookup(type, name) == nullptr) {
        // held while looking: a key's __eq__ could replace the instance dict
        Ref dict = Ref::borrow(
            *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + type->tp_dictoffset));
        if (dict) {
            PyObject* value = PyDict_GetItemWithError(dict.get(), name);  // borrowed
            if (value != nullptr) return Ref::borrow(value);
            if (PyErr_Occurred()) return Ref();
        }
    }
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// `obj.first.second`, the intermediate object fetched afresh.
inline Ref getattr2(PyObject* obj, PyObject* first, PyObject* second) noexcept {
    Ref mid = getattr(obj, first);
    return mid ? getattr(mid.get(), second) : Ref();
}

inline Ref call_method(PyObject* obj, PyObject* name) noexcept {
    return Ref::steal(PyObject_CallMethodNoArgs(obj, name));
}

inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
    return Ref::steal(PyObject_CallMethodOneArg(obj, name, arg));
}

inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg1, PyObject* arg2) noexcept {
    PyObject* stack[] = {obj, arg1, arg2};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

// callable(*positional, **dict(zip(kwnames, keyword_values))).
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> positional,
                PyObject* kwnames = nullptr, std::initializer_list<PyObject*> keyword_values = {}) noexcept {
    constexpr std::size_t max_args = 12;
    std::array<PyObject*, max_args + 1> stack{};
    std::size_t n = 1;  // slot 0 stays free for PY_VECTORCALL_ARGUMENTS_OFFSET
    for (PyObject* arg : positional) stack[n++] = arg;
    for (PyObject* arg : keyword_values) stack[n++] = arg;
    const std::size_t nargs = positional.size();
    return Ref::steal(PyObject_Vectorcall(callable, stack.data() + 1,
                                          nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// A new list of the elements of any iterable. A list that iterates as a list (a model's
// SymbolList of a million symbols) is copied whole, not item by item through its iterator.
inline Ref to_list(PyObject* iterable) noexcept {
    if (PyList_Check(iterable) && Py_TYPE(iterable)->tp_iter == PyList_Type.tp_iter)
        return Ref::steal(PyList_GetSlice(iterable, 0, PY_SSIZE_T_MAX));
    return Ref::steal(PySequence_List(iterable));
}

// Appends, keeping the item's own reference with the caller.
inline bool append(PyObject* list, PyObject* item) noexcept {
    return PyList_Append(list, item) == 0;
}

inline bool set_item(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    return PyDict_SetItem(dict, key, value) == 0;
}

}  // namespace tarnwick
