// The few tables of an ELF's DWARF (versions 2 to 5, 32- and 64-bit DWARF, either byte order)
// that say where a build's code and data came from: each compile unit's name, folder and
// address ranges, each function's and variable's declaration file and line and address, and
// the bytes of each inlined call.
#pragma once

#include "fast/input_fault.hpp"
#include "support/ref.hpp"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::dwarf {

struct Invalid : InputFault {
    using InputFault::InputFault;
};

// The debug sections, decompressed; an absent section is empty.
struct Sections {
    std::string_view info, abbrev, str, line, line_str, str_offsets, addr, rnglists, ranges;
    bool little = true;
};

struct Range {
    std::uint64_t low, high;
};

// A range list, shared by the units that name it.
struct RangeList {
    std::vector<Range> ranges;
    std::uint64_t bytes = 0;  // the bytes its ranges hold, at most 2^64 - 1
};

struct Unit {
    std::string_view name, folder;
    std::shared_ptr<const RangeList> ranges;  // none where the unit states no address
};

enum class Kind { function, variable, inlined };

struct Entity {
    Kind kind;
    std::string_view name, linkage;  // linkage: the assembler name where it differs (C++)
    std::size_t unit;
    long file = -1;  // a place in Result::paths, -1 where not known
    std::uint64_t line = 0;
    std::uint64_t low = 0, size = 0;  // a function's or variable's address; an inlined call's bytes
};

struct Result {
    std::vector<Unit> units;
    std::vector<Entity> entities;
    std::vector<std::string> paths;  // the files of every unit's line table, resolved
};

Result read(const Sections& sections);

}  // namespace tarnwick::dwarf

namespace tarnwick {

// read_dwarf(info, abbrev, str, line, line_str, str_offsets, addr, rnglists, ranges, little)
// -> (paths, units, entities): paths the source files as the debug information names them
// (joined with their folders); units (name, folder, ((low, high), ...)); entities a
// DebugEntities, which holds what was read (and the sections it points into) for
// attribute_sources, and is a sequence of (kind 0 function, 1 variable, 2 inlined call; name;
// linkage name or None; unit; path index or -1; line; address, 0 for an inlined call; the
// bytes of a function or inlined call, 0 for a variable), each tuple made when asked for. ValueError for tables that cannot be read.
PyObject* read_dwarf(PyObject* module, PyObject* args);

// What a DebugEntities holds, or null when `object` is not one.
const dwarf::Result* debug_entities_of(PyObject* object) noexcept;

// Readies the DebugEntities type and adds it to the module (its exec slot): 0, or -1 with the
// exception set.
int add_debug_entities_type(PyObject* module) noexcept;

}  // namespace tarnwick
