// The symbol table of an ELF file, read straight from the file's bytes: every read is checked
// against the buffer, so a hostile table can only end in a ValueError.
#include "fast/elf_symbols.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::elf {

namespace {

constexpr unsigned STT_NOTYPE = 0, STT_OBJECT = 1, STT_FUNC = 2, STT_FILE = 4, STT_TLS = 6, STT_COMMON = 5;
constexpr unsigned SHN_XINDEX = 0xFFFF;

struct Raw {
    std::uint32_t name;
    std::uint64_t value, size;
    unsigned kind, binding;
    std::uint32_t section;
};

std::uint64_t load(const unsigned char* at, int width, bool little) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) {
        int shift = little ? 8 * i : 8 * (width - 1 - i);
        value |= static_cast<std::uint64_t>(at[i]) << shift;
    }
    return value;
}

Raw entry(const unsigned char* at, bool is64, bool little) {
    Raw raw{};
    if (is64) {  // name, info, other, shndx, value, size
        raw.name = static_cast<std::uint32_t>(load(at, 4, little));
        raw.kind = at[4] & 0xF;
        raw.binding = at[4] >> 4;
        raw.section = static_cast<std::uint32_t>(load(at + 6, 2, little));
        raw.value = load(at + 8, 8, little);
        raw.size = load(at + 16, 8, little);
    } else {  // name, value, size, info, other, shndx
        raw.name = static_cast<std::uint32_t>(load(at, 4, little));
        raw.value = load(at + 4, 4, little);
        raw.size = load(at + 8, 4, little);
        raw.kind = at[12] & 0xF;
        raw.binding = at[12] >> 4;
        raw.section = static_cast<std::uint32_t>(load(at + 14, 2, little));
    }
    return raw;
}

// Assembler-local labels and mapping symbols (".LBB0_1", "$t", "$d.1") are not symbols.
bool local_label(std::string_view name) {
    return name.substr(0, 2) == ".L" || name.substr(0, 1) == "$";
}

int binding_rank(unsigned binding) { return binding == 1 ? 0 : binding == 2 ? 1 : binding == 0 ? 2 : 3; }

void check(const Table& table) {
    const std::size_t entry_size = table.is64 ? 24 : 16;
    if (table.entry_size < entry_size)
        throw Invalid("symbol table entries smaller than an ELF symbol");
    if (table.offset > table.data_size || table.count > (table.data_size - table.offset) / table.entry_size)
        throw Invalid("the symbol table reaches past the end of the file");
    if (table.strings_offset > table.data_size || table.strings_size > table.data_size - table.strings_offset)
        throw Invalid("the symbol name table reaches past the end of the file");
}

// The i-th entry, its section index taken from SHT_SYMTAB_SHNDX where it does not fit.
Raw entry_at(const Table& table, std::size_t i) {
    Raw raw = entry(table.data + table.offset + i * table.entry_size, table.is64, table.little);
    if (raw.section == SHN_XINDEX && i < table.extended.size()) raw.section = table.extended[i];
    return raw;
}

std::string_view name_of(const Table& table, const Raw& raw, std::size_t i) {
    if (raw.name >= table.strings_size)  // its name would be read from whatever lies beyond
        throw Invalid("symbol " + std::to_string(i) + " names offset " + std::to_string(raw.name) +
                      ", outside its string table of " + std::to_string(table.strings_size) + " bytes");
    const char* begin = reinterpret_cast<const char*>(table.data + table.strings_offset) + raw.name;
    const void* nul = std::memchr(begin, '\0', table.strings_size - raw.name);
    return {begin, nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - begin) : table.strings_size - raw.name};
}

}  // namespace

std::vector<Placed> placed_symbols(const Table& table) {
    check(table);
    std::vector<Placed> result;
    for (std::size_t i = 0; i < table.count; ++i) {
        Raw raw = entry_at(table, i);
        if (raw.section >= table.allocated.size() || !table.allocated[raw.section]) continue;
        bool placed = raw.kind == STT_OBJECT || raw.kind == STT_FUNC || raw.kind == STT_TLS ||
                      raw.kind == STT_COMMON || (raw.kind == STT_NOTYPE && raw.size != 0);
        if (!placed) continue;
        std::string_view name = name_of(table, raw, i);
        if (name.empty() || local_label(name)) continue;
        std::uint64_t start = table.thumb && raw.kind == STT_FUNC ? raw.value & ~std::uint64_t{1} : raw.value;
        // no symbol is a quarter of the address space; a size that wraps is a broken table
        const std::uint64_t limit = table.is64 ? std::uint64_t{1} << 62 : std::uint64_t{1} << 32;
        if (raw.kind == STT_TLS) {
            if (start > limit || table.tls_base > limit - start)
                throw Invalid("thread-local symbol " + std::string(name.substr(0, 80)) +
                              " lies past the end of the address space");
            start += table.tls_base;
        }
        if (raw.size > limit || start > UINT64_MAX - raw.size || (!table.is64 && start + raw.size > limit))
            throw Invalid("symbol " + std::string(name.substr(0, 80)) + " reaches past the end of the address space");
        result.push_back({name, start, raw.size, raw.section, raw.binding});
    }
    std::stable_sort(result.begin(), result.end(), [](const Placed& a, const Placed& b) {
        if (a.start != b.start) return a.start < b.start;
        return binding_rank(a.binding) < binding_rank(b.binding);
    });
    return result;
}

std::vector<CodeSymbol> code_symbols(const Table& table) {
    check(table);
    std::vector<CodeSymbol> result;
    for (std::size_t i = 0; i < table.count; ++i) {
        Raw raw = entry_at(table, i);
        if (raw.kind == STT_FILE) {  // the locals after it are that file's
            result.push_back({name_of(table, raw, i), 0, 0, raw.section, raw.binding, 'F'});
            continue;
        }
        if (raw.section >= table.allocated.size() || !table.allocated[raw.section]) continue;
        if (raw.kind != STT_FUNC && raw.kind != STT_NOTYPE) continue;
        std::string_view name = name_of(table, raw, i);
        char kind = 'f';
        if (raw.kind == STT_NOTYPE) {  // a mapping symbol: "$t", "$d.12"
            if (name.size() < 2 || name[0] != '$' || (name.size() > 2 && name[2] != '.')) continue;
            kind = name[1];
            if (kind != 't' && kind != 'd' && kind != 'a' && kind != 'x') continue;
        } else if (name.empty()) {
            continue;
        }
        result.push_back({name, raw.value, raw.size, raw.section, raw.binding, kind});
    }
    return result;
}

}  // namespace tarnwick::elf
