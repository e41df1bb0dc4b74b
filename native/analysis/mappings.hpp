// Reading mappings the way `sorted(m.items())`, `for k, v in ...` and `m.get(k)` do.
#pragma once

#include "support/ref.hpp"

#include <cstdint>
#include <vector>

namespace tarnwick::mappings {

// The pairs of `sorted(mapping.items())`, walked by index.
//
// A plain dict whose keys are all exact strings (region names, in practice) is sorted by key
// alone in C++: its keys are distinct, so the order equals that of the sorted pairs, and no
// Python code can run while it sorts. Anything else goes through `items()` and the
// interpreter's own list sort, with its errors.
class SortedPairs {
public:
    SortedPairs() noexcept = default;
    SortedPairs(const SortedPairs&) = delete;
    SortedPairs& operator=(const SortedPairs&) = delete;
    ~SortedPairs();

    int init(PyObject* mapping) noexcept;  // -1 with the exception set
    Py_ssize_t size() const noexcept;
    // The i-th pair as new references; the interpreter's unpacking errors for odd items.
    int pair(Py_ssize_t index, Ref& key, Ref& value) const noexcept;
    // The sorted list of items when the general path was taken, else null (borrowed).
    PyObject* sorted_items() const noexcept { return items_.get(); }

private:
    struct Entry {
        std::uint64_t prefix;  // leading bytes, big-endian, for a cheap first comparison
        PyObject* key;         // owned
        PyObject* value;       // owned
    };
    bool sort_string_keys(PyObject* dict) noexcept;  // false: not applicable, nothing kept
    void release_entries() noexcept;

    std::vector<Entry> entries_;
    Ref items_;
};

// Unpacks `item` into exactly two values (new references), with the interpreter's messages.
// Returns -1 with the exception set.
int unpack(PyObject* item, Ref& first, Ref& second) noexcept;

// mapping.get(key), or mapping.get(key, fallback) when a fallback is given; exact dicts answer
// without a method call, with the same result.
Ref get(PyObject* mapping, PyObject* key, PyObject* fallback = nullptr) noexcept;

}  // namespace tarnwick::mappings
