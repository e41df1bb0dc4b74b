// One loop over a build's symbols, for the passes that add them up.
#pragma once

#include "fast/flat_table.hpp"
#include "fast/records.hpp"
#include "support/ref.hpp"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tarnwick {

// The bytes a symbol holds itself: its size, or 0 for an alias or an empty symbol (a record
// without `alias_of` is no alias). -1 with an exception set on failure.
long long own_bytes(PyObject* symbol, FieldReader& size, FieldReader& alias_of) noexcept;

namespace origin_totals {

struct PointerPair {
    PyObject *a, *b;
    bool operator==(const PointerPair& other) const noexcept { return a == other.a && b == other.b; }
};

struct PointerPairHash {
    std::uint64_t operator()(PointerPair key) const noexcept {
        auto a = reinterpret_cast<std::uintptr_t>(key.a), b = reinterpret_cast<std::uintptr_t>(key.b);
        return ((a >> 4) ^ (b >> 4) * 31) * 0x9E3779B97F4A7C15ull >> 17;
    }
};

// Origin (object file, archive) -> a number, by the identity of the texts: a map's reader shares
// one text per origin, so this finds an origin with one probe of a flat table.
using OriginTable = FlatTable<PointerPair, PointerPairHash>;

// A sum that wraps instead of overflowing: the totals are counted while a map is read, before the
// model's check refuses symbols that add up to 2^63 bytes or more: only those of a model it refuses wrap.
inline long long wrapped_sum(long long a, long long b) noexcept {
    return static_cast<long long>(static_cast<unsigned long long>(a) + static_cast<unsigned long long>(b));
}

struct Total {
    Ref key;
    long long bytes = 0, count = 0;
    std::vector<std::pair<Ref, long long>> sections;  // by section, in first-seen order

    // false when the section is neither text nor None
    bool add(PyObject* section, long long size) {
        bytes = wrapped_sum(bytes, size);
        count += 1;
        for (auto& [name, total] : sections) {
            if (name.get() == section) {
                total = wrapped_sum(total, size);
                return true;
            }
        }
        if (section != Py_None && !PyUnicode_CheckExact(section)) return false;
        sections.emplace_back(Ref::borrow(section), size);
        return true;
    }
};

}  // namespace origin_totals

// Symbols' own bytes added up per key of their origin (object file, archive): the key is
// key_of(object_file, archive), asked once per origin (the pair itself when key_of is None).
// Keys keep the order they first appear in; a key's sections too.
class OriginTotals {
public:
    explicit OriginTotals(PyObject* key_of) noexcept : key_of_(key_of) {}
    // One symbol's `bytes` (above 0) held in `section`; false with an exception set.
    bool add(PyObject* object, PyObject* archive, PyObject* section, long long bytes) noexcept;
    // The same, for a caller that numbers the origins itself (densely from 0; a pair may have
    // more than one number): no table to search.
    bool add(std::size_t origin, PyObject* object, PyObject* archive, PyObject* section, long long bytes) noexcept;
    // A new list [(key, bytes, count, ((section, bytes), ...)), ...], or null with an exception set.
    PyObject* rows() const noexcept;

private:
    using PointerPair = origin_totals::PointerPair;
    std::size_t total_of(PyObject* object, PyObject* archive);
    bool add_to(std::size_t total, PyObject* section, long long bytes);

    PyObject* key_of_;
    Ref key_numbers_;  // key -> its number in totals_
    origin_totals::OriginTable origins_;
    std::vector<std::size_t> origin_total_;  // origin number -> number in totals_
    std::vector<std::size_t> numbered_;      // the caller's origin number -> number in totals_
    std::vector<origin_totals::Total> totals_;
    PointerPair last_{nullptr, nullptr};  // the symbols of one input section come together
    std::size_t last_total_ = 0;
    bool have_last_ = false;
};

// totals_by_origin(symbols, key_of) -> [(key, bytes, count, ((section, bytes), ...)), ...]: the
// symbols that hold their bytes (size above 0, no alias), added up per key, where the key of a
// symbol is key_of(object_file, archive), asked once per origin (the pair itself when key_of is
// None). In the order the keys first appear; a key's sections may name equal texts twice (held
// in different objects).
PyObject* totals_by_origin(PyObject* module, PyObject* args);

// largest_symbols(symbols, limit) -> [symbol, ...]: the `limit` largest symbols that hold their
// bytes, largest first, then by name.
PyObject* largest_symbols(PyObject* module, PyObject* args);

// largest_per_section(symbols, limit[, group_of, fallback]) -> {section: [symbol, ...]}: in each
// section (or each group_of[section], fallback when it has none), the `limit` largest symbols
// that hold their bytes, largest first, then by name.
PyObject* largest_per_section(PyObject* module, PyObject* args);

// sorted_by_size(items) -> list: largest size first, then by name, then by address; items with
// equal keys keep their order. TypeError when a size or address is not an int or a name not a
// str (the caller then sorts another way).
PyObject* sorted_by_size(PyObject* module, PyObject* items);

// unnamed_groups(symbols, shared, places) -> [(section, unnamed, object_file, address, bytes), ...]:
// the symbols whose binding is "unnamed" or whose section is in `shared` (a set), that hold bytes
// (size above 0, no alias) in a section `places` (a dict) names, their sizes added up per
// section, whether unnamed, and object file, and per address where the section is shared
// (None elsewhere); in the order each group is first met.
PyObject* unnamed_groups(PyObject* module, PyObject* args);

}  // namespace tarnwick
