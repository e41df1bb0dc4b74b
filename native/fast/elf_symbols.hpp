// Symbols of an ELF symbol table that name bytes in memory.
#pragma once

#include "fast/input_fault.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace tarnwick::elf {

struct Invalid : InputFault {
    using InputFault::InputFault;
};

// Where the table is in the file's bytes, and how to read it.
struct Table {
    const unsigned char* data;
    std::size_t data_size;
    std::size_t offset, count, entry_size;
    std::size_t strings_offset, strings_size;
    bool is64, little, thumb;           // thumb: Arm, whose Thumb functions carry the low bit
    std::vector<bool> allocated;        // by section index: placed in memory
    std::vector<std::uint32_t> extended;  // SHT_SYMTAB_SHNDX, by symbol index (may be empty)
    std::uint64_t tls_base = 0;         // where the TLS template starts: a TLS symbol's value is an offset in it
};

struct Placed {
    std::string_view name;  // into the table's bytes
    std::uint64_t start, size;
    std::uint32_t section;
    unsigned binding;
};

// Functions and data (locals included) in the sections `allocated` marks, as `nm -S` lists
// them; not section or file symbols, assembler-local labels or mapping symbols. A thread-local
// symbol starts at its place in the TLS template. Sorted by start, the global before the weak
// before the local name of one start. Throws Invalid.
std::vector<Placed> placed_symbols(const Table& table);

// The functions and the mapping symbols ($t, $d, $a, $x: where code and data lie) of the
// sections `allocated` marks, their values as stored (a Thumb function's with its low bit), and
// the FILE symbols (kind 'F') whose locals follow them, in the table's order.
struct CodeSymbol {
    std::string_view name;
    std::uint64_t value, size;
    std::uint32_t section;
    unsigned binding;
    char kind;  // 'f' a function, 'F' a source file, else the mapping symbol's letter
};

std::vector<CodeSymbol> code_symbols(const Table& table);

}  // namespace tarnwick::elf
