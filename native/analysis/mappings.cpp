#include "analysis/mappings.hpp"

#include "contracts/names.hpp"
#include "support/call.hpp"

#include <algorithm>
#include <cstring>

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

SortedPairs::~SortedPairs() { release_entries(); }

void SortedPairs::release_entries() noexcept {
    for (const Entry& entry : entries_) {
        Py_DECREF(entry.key);
        Py_DECREF(entry.value);
    }
    entries_.clear();
}

namespace {

std::uint64_t latin1_prefix(PyObject* text) noexcept {
    const auto* data = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    std::uint64_t prefix = 0;
    for (Py_ssize_t i = 0; i < 8; ++i) {
        prefix = (prefix << 8) | (i < length ? data[i] : 0u);
    }
    return prefix;
}

// Code-point order, as the interpreter compares strings.
bool text_less(PyObject* a, PyObject* b) noexcept {
    const Py_ssize_t length_a = PyUnicode_GET_LENGTH(a);
    const Py_ssize_t length_b = PyUnicode_GET_LENGTH(b);
    const Py_ssize_t common = length_a < length_b ? length_a : length_b;
    const int kind_a = PyUnicode_KIND(a);
    const int kind_b = PyUnicode_KIND(b);
    const void* data_a = PyUnicode_DATA(a);
    const void* data_b = PyUnicode_DATA(b);
    if (kind_a == PyUnicode_1BYTE_KIND && kind_b == PyUnicode_1BYTE_KIND) {
        const int order = std::memcmp(data_a, data_b, static_cast<std::size_t>(common));
        return order != 0 ? order < 0 : length_a < length_b;
    }
    for (Py_ssize_t i = 0; i < common; ++i) {
        const Py_UCS4 ca = PyUnicode_READ(kind_a, data_a, i);
        const Py_UCS4 cb = PyUnicode_READ(kind_b, data_b, i);
        if (ca != cb) return ca < cb;
    }
    return length_a < length_b;
}

}  // namespace

bool SortedPairs::sort_string_keys(PyObject* dict) noexcept {
    const Py_ssize_t count = PyDict_Size(dict);
    try {
        entries_.reserve(static_cast<std::size_t>(count));
    } catch (...) {
        return false;  // the general path reports the memory error, if there is one
    }
    bool latin1 = true;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || PyUnicode_READY(key) < 0) {
            PyErr_Clear();
            release_entries();
            return false;
        }
        latin1 = latin1 && PyUnicode_KIND(key) == PyUnicode_1BYTE_KIND;
        Py_INCREF(key);
        Py_INCREF(value);
        entries_.push_back({0, key, value});  // capacity reserved above: cannot throw
    }
    if (latin1) {
        for (Entry& entry : entries_) entry.prefix = latin1_prefix(entry.key);
    }
    std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) noexcept {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return text_less(a.key, b.key);
    });
    return true;
}

int SortedPairs::init(PyObject* mapping) noexcept {
    if (PyDict_CheckExact(mapping) && sort_string_keys(mapping)) return 0;
    Ref items = call_method(mapping, names::items);
    if (!items) return -1;
    items_ = to_list(items.get());
    if (!items_ || PyList_Sort(items_.get()) < 0) return -1;
    return 0;
}

Py_ssize_t SortedPairs::size() const noexcept {
    return items_ ? PyList_GET_SIZE(items_.get()) : static_cast<Py_ssize_t>(entries_.size());
}

int SortedPairs::pair(Py_ssize_t index, Ref& key, Ref& value) const noexcept {
    if (items_) return unpack(PyList_GET_ITEM(items_.get(), index), key, value);
    const Entry& entry = entries_[static_cast<std::size_t>(index)];
    key = Ref::borrow(entry.key);
    value = Ref::borrow(entry.value);
    return 0;
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
