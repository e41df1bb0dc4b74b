// The items of a sequence as one array, as PySequence_Fast gives them, without the copy that
// call makes of a list of a subclass: a model's symbols are a SymbolList, and copying its
// million items (each one touched to take a reference, and again to give it back) cost each
// pass over them more than the pass itself.
#pragma once

#include "support/ref.hpp"

namespace tarnwick {

// The sequence itself when it is a list that iterates as a list (its items, in their order, are
// what iterating it gives), else PySequence_Fast's list or tuple; empty with an exception set.
// Read its items with PySequence_Fast_GET_SIZE and _GET_ITEM, the size asked again after
// anything that may run Python code: the list is the caller's own, and may change.
inline Ref fast_items(PyObject* sequence, const char* message) noexcept {
    if (PyList_Check(sequence) && Py_TYPE(sequence)->tp_iter == PyList_Type.tp_iter) return Ref::borrow(sequence);
    return Ref::steal(PySequence_Fast(sequence, message));
}

}  // namespace tarnwick
