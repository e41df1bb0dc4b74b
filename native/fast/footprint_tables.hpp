// The byte tables a comparison of two builds reads from each build's symbols.
#pragma once

#include "support/ref.hpp"

#include <memory>

namespace tarnwick {

// symbol_tables(symbols, origin_of) -> (by_symbol, by_object, by_archive, exact, placed): of the
// symbols that hold their bytes (an int size above 0, a str name, no alias), read from records or
// from the objects of a stored report (a missing member is None):
//   by_symbol  {(name, contributor): [bytes, estimated, binding]}, added up per key;
//   by_object  {contributor: bytes}; by_archive {archive name: bytes};
//   exact      whether any size came from an ELF file or from the map ("elf", "map");
//   placed     [(section, address, bytes, name, contributor, binding)] of those exact sizes.
// origin_of(object_file, archive) -> (contributor, archive name or None), asked once per origin.
// A symbol's size is an estimate when its size_source is "derived", or, without a size_source,
// unless its size_derived is False.
PyObject* symbol_tables(PyObject* module, PyObject* args);

// The members of one symbol as symbol_tables reads them: a new reference (None where the symbol
// lacks the member), or an empty Ref with an exception set.
class SymbolMembers {
public:
    enum class Member { name, size, alias_of, size_source, size_derived, binding, object_file, archive, section, address };
    virtual Ref read(Member member) noexcept = 0;

protected:
    ~SymbolMembers() = default;
};

// symbol_tables' tables, built one symbol at a time (by symbol_tables, and by the reader of a
// stored report, which never makes the symbols' objects).
class SymbolTables {
public:
    explicit SymbolTables(PyObject* origin_of);
    ~SymbolTables();
    SymbolTables(const SymbolTables&) = delete;
    SymbolTables& operator=(const SymbolTables&) = delete;
    bool ready() noexcept;                // false with an exception set
    bool add(SymbolMembers& item) noexcept;  // false with an exception set
    PyObject* result() noexcept;          // symbol_tables' tuple, or nullptr with an exception set

private:
    struct State;
    std::unique_ptr<State> state_;
};

// differing_keys(before, after) -> [key, ...]: the keys whose values differ (for a list value,
// its first item), then the keys only `before` has. Keys only `after` has count as differing.
PyObject* differing_keys(PyObject* module, PyObject* args);

}  // namespace tarnwick
