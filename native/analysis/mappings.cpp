#include "analysis/mappings.hpp"

#include "contracts/names.hpp"
#include "support/call.hpp"

namespace tarnwick::mappings {

namespace {

int too_many() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return -1;
}

int too_few(Py_ssize_t found) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    return -1;
}

}  // namespace

Ref sorted_items(PyObject* mapping) noexcept {
    Ref items = call_method(mapping, names::items);
    if (!items) return Ref();
    Ref list = to_list(items.get());
    if (!list || PyList_Sort(list.get()) < 0) return Ref();
    return list;
}

int unpack(PyObject* item, Ref& first, Ref& second) noexcept {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size != 2) {
            return size > 2 ? too_many() : too_few(size);
        }
        PyObject** values = PySequence_Fast_ITEMS(item);
        first = Ref::borrow(values[0]);
        second = Ref::borrow(values[1]);
        return 0;
    }
    if (Py_TYPE(item)->tp_iter == nullptr && !PySequence_Check(item)) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(item)->tp_name);
        return -1;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator) return -1;
    Ref values[3];
    for (Py_ssize_t i = 0; i < 3; ++i) {
        values[i] = Ref::steal(PyIter_Next(iterator.get()));
        if (!values[i]) {
            if (PyErr_Occurred()) return -1;
            if (i < 2) return too_few(i);
            first = std::move(values[0]);
            second = std::move(values[1]);
            return 0;
        }
    }
    return too_many();
}

Ref get(PyObject* mapping, PyObject* key, PyObject* fallback) noexcept {
    if (PyDict_CheckExact(mapping)) {
        PyObject* found = PyDict_GetItemWithError(mapping, key);
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
        return Ref::borrow(fallback != nullptr ? fallback : Py_None);
    }
    if (fallback != nullptr) return call_method(mapping, names::get, key, fallback);
    return call_method(mapping, names::get, key);
}

}  // namespace tarnwick::mappings
