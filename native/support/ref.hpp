// Owning reference to a Python object.
//
// Ownership rules, once for the whole core:
//  * A `Ref` owns exactly one strong reference, or nothing. Its destructor releases it.
//  * `Ref::steal(p)` takes over a new reference (the result of any API call that returns one);
//    a null `p` yields an empty Ref, so the caller tests it and returns with the exception set.
//  * `Ref::borrow(p)` adds a reference to a borrowed pointer.
//  * `get()` lends the pointer without giving up ownership; `release()` hands the reference to
//    a callee that steals it (PyList_SET_ITEM, PyTuple_SET_ITEM) or to the interpreter as a result.
//  * No implicit conversion to PyObject*: every hand-over is visible at the call site.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarnwick {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    [[nodiscard]] static Ref steal(PyObject* obj) noexcept { return Ref(obj); }
    [[nodiscard]] static Ref borrow(PyObject* obj) noexcept {
        Py_XINCREF(obj);
        return Ref(obj);
    }

    [[nodiscard]] PyObject* get() const noexcept { return obj_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

}  // namespace tarnwick
