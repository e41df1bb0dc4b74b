// The one way a C++ exception leaves tarnwick._native: each entry point of the method table is
// wrapped in guarded<>, which turns an InputFault into the reader's bad-input error
// (ValueError, which the Python side names with the file and line), bad_alloc into
// MemoryError, and anything else into an internal error (RuntimeError) with its message.
#pragma once

#include "fast/input_fault.hpp"
#include "support/ref.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <typeinfo>

namespace tarnwick::guarded_entry {

// The readable name of a C++ type ("std::out_of_range").
inline std::string type_name(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> readable(abi::__cxa_demangle(type.name(), nullptr, nullptr, &status),
                                                    std::free);
    return status == 0 && readable ? std::string(readable.get()) : std::string(type.name());
}

// Texts of a fault may quote the input, which need not be UTF-8.
inline PyObject* text(std::string_view value) noexcept {
    return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

inline void raise_fault(const InputFault& fault) noexcept {
    Ref reason = Ref::steal(text(fault.what()));
    if (!reason) return;
    if (fault.shape == InputFault::Shape::reason) {
        PyErr_SetObject(PyExc_ValueError, reason.get());
        return;
    }
    Ref line = Ref::steal(PyLong_FromLong(fault.line));
    Ref row = fault.shape == InputFault::Shape::line
                  ? Ref()
                  : fault.row.data() != nullptr
                        ? Ref::steal(text(fault.row))
                        : Ref::borrow(Py_None);
    if (!line || (fault.shape == InputFault::Shape::line_and_row && !row)) return;
    Ref detail = Ref::steal(row ? PyTuple_Pack(3, reason.get(), line.get(), row.get())
                                : PyTuple_Pack(2, reason.get(), line.get()));
    if (detail) PyErr_SetObject(PyExc_ValueError, detail.get());
}

// A fault of ours found where its context is known (a reader's line): said as it is.
struct Internal : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Sets the Python exception for the C++ exception being handled; nullptr, to return.
inline PyObject* raise_current() noexcept {
    try {
        throw;
    } catch (const InputFault& fault) {
        raise_fault(fault);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        try {
            bool known = dynamic_cast<const Internal*>(&error) != nullptr;
            Ref message = Ref::steal(text("tarnwick._native: " +
                                          (known ? std::string() : type_name(typeid(error)) + ": ") + error.what()));
            if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
        } catch (...) {
            PyErr_SetString(PyExc_RuntimeError, "tarnwick._native: an exception");
        }
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "tarnwick._native: an exception of an unknown type");
    }
    return nullptr;
}

// An entry point of the method table (METH_VARARGS or METH_O) that no C++ exception leaves.
template <PyObject* (*Entry)(PyObject*, PyObject*)>
PyObject* guarded(PyObject* module, PyObject* args) noexcept {
    try {
        return Entry(module, args);
    } catch (...) {
        return raise_current();
    }
}

}  // namespace tarnwick::guarded_entry
