// GNU ld (and ld.gold) map files, read line by line: the memory table, the output sections
// with their input sections, the symbols the map names, and the script's assignments. The
// parts of the map are told apart by the shape of their rows, never by their words (ld
// translates its headings). Symbol sizes are derived here too: the map gives addresses only.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::gnu_ld {

struct MapError : std::runtime_error {
    MapError(const std::string& reason, long line) : std::runtime_error(reason), line(line) {}
    long line;
};

struct RawSymbol {
    std::string_view name;
    std::uint64_t address;
};

enum class InputKind { object, fill, reservation };

struct Input {
    std::string_view name;
    std::uint64_t address = 0, size = 0;
    std::string_view origin;  // empty: none
    bool has_origin = false;
    InputKind kind = InputKind::object;
    std::size_t first_symbol = 0, symbol_count = 0;  // its symbols in Map::symbols
};

struct Output {
    std::string_view name;
    std::uint64_t address = 0, size = 0;
    std::optional<std::uint64_t> load;
    long line = 0;
    std::vector<Input> inputs;
};

struct Region {
    std::string_view name;
    std::uint64_t origin, length;
    std::string attributes;
};

struct Assignment {
    std::string_view name, expression;
    std::uint64_t value;
};

struct Map {
    std::vector<Region> regions;
    std::vector<Output> outputs;
    std::vector<RawSymbol> symbols;  // of all inputs, each input's together
    std::vector<Assignment> assignments;
    std::vector<std::string> notes;
    bool gold = false, thumb = false;
    std::optional<std::string_view> output_file;
    std::deque<std::string> owned;  // text made while reading (expanded tabs, gold's names)

    std::span<const RawSymbol> symbols_of(const Input& input) const {
        return {symbols.data() + input.first_symbol, input.symbol_count};
    }
};

// Reads a whole map held in memory as UTF-8 bytes. Throws MapError for a map that is not
// complete (the reason and the line); the views in the result point into `text` and into
// the result's own `owned` strings.
Map read(std::string_view text);

// A symbol with its size, as the map's addresses imply it.
struct Sized {
    std::string_view name;
    std::uint64_t address, size;
    const RawSymbol* primary;  // the symbol whose bytes these are when this is an alias, else null
};

// The symbols of one input section, every byte of it accounted for once: a symbol runs to the
// next one or to the end of its input section; names at one address share the bytes (the one
// named like the section, else the first, owns them); bytes before the first symbol, or in a
// section without symbols, are returned in `uncovered`. `thumb`: an Arm map, where odd
// addresses mark Thumb functions, whose bytes start one lower; `code`: the input section holds
// code.
// A sizer keeps its buffers from one input section to the next (a map has hundreds of
// thousands); the result holds until the next call.
class SymbolSizer {
public:
    const std::vector<Sized>& sizes(const Input& input, std::span<const RawSymbol> symbols, bool thumb, bool code,
                                    std::uint64_t& uncovered);

private:
    struct Located {
        std::uint64_t start;
        const RawSymbol* symbol;
    };
    std::vector<Located> located_;
    std::vector<Sized> result_;
};

}  // namespace tarnwick::gnu_ld
