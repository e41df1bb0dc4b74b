// The calls whose spelling differs between CPython 3.11, 3.12 and 3.13. Each uses the
// interpreter's own routine where that version declares it, and otherwise does the same work
// with the public API, so that results, messages and the exceptions raised stay the same.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <initializer_list>

// A fast-call function as the method table holds it.
#ifdef _PyCFunction_CAST
#define TARNWICK_CFUNCTION(function) _PyCFunction_CAST(function)
#else
#define TARNWICK_CFUNCTION(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function))
#endif

namespace tarnwick::compat {

// A traceback entry named `function`, in `file` at `line`, added to the pending exception
// (which is kept).
inline void add_traceback(const char* function, const char* file, int line) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    _PyTraceback_Add(function, file, line);
#else
    // 3.13 keeps _PyTraceback_Add internal: an empty code object starting at the line, in a
    // frame of its own, as that routine makes it. The exception is put aside while they are
    // made, since making them may run Python code (a file-system codec).
    PyObject* pending = PyErr_GetRaisedException();
    PyObject* globals = PyDict_New();
    PyCodeObject* code = globals != nullptr ? PyCode_NewEmpty(file, function, line) : nullptr;
    PyFrameObject* frame = code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(globals);
    Py_XDECREF(code);
    if (frame == nullptr) {  // the pending exception stays the one raised, with this as its context
        PyObject* failure = PyErr_GetRaisedException();
        if (failure != nullptr && pending != nullptr) PyException_SetContext(failure, Py_NewRef(pending));
        PyErr_SetRaisedException(failure != nullptr ? failure : pending);
        if (failure != nullptr) Py_XDECREF(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
#endif
}

// The value of an int the interpreter holds in one digit (below 2^30 either way: nearly every
// size and address of a firmware), read in place; false for a larger one, which the caller
// converts with the API. `value` must be an int (PyLong_Check).
inline bool compact_value(PyObject* value, long long& out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    auto* number = reinterpret_cast<PyLongObject*>(value);
    if (!PyUnstable_Long_IsCompact(number)) return false;
    out = static_cast<long long>(PyUnstable_Long_CompactValue(number));
    return true;
#else
    Py_ssize_t digits = Py_SIZE(value);  // negative for a negative number
    if (digits < -1 || digits > 1) return false;
    out = static_cast<long long>(digits) * static_cast<long long>(reinterpret_cast<PyLongObject*>(value)->ob_digit[0]);
    return true;
#endif
}

// list.extend(iterable): 0, or -1 with the exception list.extend raises.
inline int list_extend(PyObject* list, PyObject* iterable) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyList_Extend(list, iterable);
#else
    PyObject* none = _PyList_Extend(reinterpret_cast<PyListObject*>(list), iterable);
    if (none == nullptr) return -1;
    Py_DECREF(none);
    return 0;
#endif
}

// separator.join(parts), every part a string.
inline PyObject* join(PyObject* separator, std::initializer_list<PyObject*> parts) noexcept {
#if PY_VERSION_HEX < 0x030D0000
    return _PyUnicode_JoinArray(separator, parts.begin(), static_cast<Py_ssize_t>(parts.size()));
#else
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(parts.size()));
    if (list == nullptr) return nullptr;
    Py_ssize_t index = 0;
    for (PyObject* part : parts) PyList_SET_ITEM(list, index++, Py_NewRef(part));
    PyObject* joined = PyUnicode_Join(separator, list);
    Py_DECREF(list);
    return joined;
#endif
}

// A new dict with room for `size` items (the room is only an optimisation).
inline PyObject* presized_dict(Py_ssize_t size) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

// The attribute `name` as the type's method resolution order holds it, without descriptors
// run (borrowed; null without an exception when no class of it has the name).
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    return _PyType_Lookup(type, name);
#else
    PyObject* order = type->tp_mro;
    if (order == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(order); ++i) {
        PyObject* dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(order, i))->tp_dict;
        PyObject* found = dict != nullptr ? PyDict_GetItemWithError(dict, name) : nullptr;
        if (found != nullptr) return found;
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
#endif
}

// The exception raised while handling (type, value, traceback) gets that one as its context;
// with nothing raised, it is restored. Takes over the three references.
inline void chain_exceptions(PyObject* type, PyObject* value, PyObject* traceback) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    _PyErr_ChainExceptions(type, value, traceback);
#else
    if (type == nullptr) return;
    if (!PyErr_Occurred()) {
        PyErr_Restore(type, value, traceback);
        return;
    }
    PyObject* raised = PyErr_GetRaisedException();
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyException_SetContext(raised, value);  // steals value
    Py_DECREF(type);
    Py_XDECREF(traceback);
    PyErr_SetRaisedException(raised);
#endif
}

}  // namespace tarnwick::compat
