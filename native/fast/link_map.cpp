#include "fast/link_map.hpp"

#include <algorithm>

namespace tarnwick::link_map {

using std::string_view;

const std::vector<Sized>& SymbolSizer::sizes(const Input& input, std::span<const RawSymbol> symbols,
                                             bool sizes_given, bool thumb, bool code, std::uint64_t& uncovered) {
    const std::uint64_t end = input.address + input.size;
    std::vector<Located>& located = located_;
    located.clear();
    for (const RawSymbol& symbol : symbols) {
        std::uint64_t address = symbol.address;
        if (input.address <= address && address < end) {
            located.push_back({thumb && code && (address & 1) ? address - 1 : address, &symbol});
        } else if (thumb && (address & 1) && input.address <= address - 1 && address - 1 < end) {
            located.push_back({address - 1, &symbol});
        } else if (input.size == 0) {
            located.push_back({input.address, &symbol});
        }
    }
    auto earlier = [](const Located& a, const Located& b) { return a.start < b.start; };
    if (located.size() <= 32) {  // the usual few, mostly in order: no buffer to allocate
        for (std::size_t i = 1; i < located.size(); ++i)
            for (std::size_t j = i; j > 0 && earlier(located[j], located[j - 1]); --j) std::swap(located[j], located[j - 1]);
    } else if (!std::is_sorted(located.begin(), located.end(), earlier)) {  // a map lists them in order, mostly
        std::stable_sort(located.begin(), located.end(), earlier);
    }
    std::vector<Sized>& result = result_;
    result.clear();
    std::uint64_t covered = 0;
    for (std::size_t index = 0; index < located.size();) {
        std::size_t group_end = index;
        while (group_end + 1 < located.size() && located[group_end + 1].start == located[index].start) ++group_end;
        std::uint64_t start = located[index].start;
        // start lies in the section (or is its start when empty)
        std::uint64_t following = group_end + 1 < located.size() ? located[group_end + 1].start : end;
        // the owner: the symbol the input section is named after (".text.main" for main), else
        // the largest (sizes given) or the first
        const RawSymbol* primary = nullptr;
        for (std::size_t i = index; i <= group_end && primary == nullptr; ++i) {
            string_view name = located[i].symbol->name;
            if (input.name.size() > name.size() && input.name.ends_with(name) &&
                input.name[input.name.size() - name.size() - 1] == '.')
                primary = located[i].symbol;
        }
        if (primary == nullptr) {
            primary = located[index].symbol;
            for (std::size_t i = index + 1; sizes_given && i <= group_end; ++i)
                if (located[i].symbol->size > primary->size) primary = located[i].symbol;
        }
        bool alone = index == 0 && group_end + 1 == located.size();  // the only address in the section
        if (sizes_given) {
            // every byte once: a stated size reaches at most the next symbol, and the bytes of
            // another symbol of this start are the owner's (an alias of it), which a damaged
            // map's sizes would otherwise count twice
            std::uint64_t reach = following - start;
            std::uint64_t primary_size = std::min(primary->size, reach);
            for (std::size_t i = index; i <= group_end; ++i) {
                const RawSymbol* symbol = located[i].symbol;
                std::uint64_t size = std::min(symbol->size, reach);
                bool alias = symbol != primary && (size == primary_size || size > 0);
                result.push_back({symbol, size, alias ? primary : nullptr, alone && named_after(input.name, symbol->name)});
            }
            covered += primary_size;
        } else {
            std::uint64_t size = following > start ? following - start : 0;
            for (std::size_t i = index; i <= group_end; ++i) {
                const RawSymbol* symbol = located[i].symbol;
                result.push_back({symbol, size, symbol == primary ? nullptr : primary,
                                  alone && named_after(input.name, symbol->name)});
            }
            covered += size;
        }
        index = group_end + 1;
    }
    uncovered = input.size > covered ? input.size - covered : 0;
    return result;
}


}  // namespace tarnwick::link_map
