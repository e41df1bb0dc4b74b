#include "fast/gnu_ld_map.hpp"
#include "fast/map_text.hpp"

#include <algorithm>
#include <cstring>

namespace tarnwick::gnu_ld {

using namespace link_map;

namespace {

using std::string_view;

using namespace map_text;

// NAME 0xADDRESS 0xSIZE [REST]: a region row or an output section row ("Row" below), or,
// after a leading blank, an input section row. `rest` is what follows the size, if anything.
struct Row {
    string_view name, rest;
    std::uint64_t address = 0, size = 0;
};

bool row(string_view line, Row& out) {
    Cursor cursor(line);
    out.name = cursor.token();
    if (out.name.empty() || cursor.blanks() == 0) return false;
    if (!hex_token(cursor.token(), out.address) || cursor.blanks() == 0) return false;
    if (!hex_token(cursor.token(), out.size)) return false;
    bool separated = cursor.blanks() > 0;
    out.rest = cursor.rest();
    return cursor.at_end() || separated;
}

// blanks 0xADDRESS blanks 0xSIZE [blanks REST]: the second line of a wrapped row.
bool address_size(string_view line, std::uint64_t& address, std::uint64_t& size, string_view& rest) {
    Cursor cursor(line);
    if (cursor.blanks() == 0 || !hex_token(cursor.token(), address) || cursor.blanks() == 0) return false;
    if (!hex_token(cursor.token(), size)) return false;
    bool separated = cursor.blanks() > 0;
    rest = cursor.rest();
    return cursor.at_end() || separated;
}

// The load address at the end of an output section row, in any language:
// "load address 0x0800a000", "address de chargement 0x0800a000".
std::optional<std::uint64_t> load_address(string_view rest) {
    rest = strip_end(rest);
    std::size_t space = rest.find_last_of(" \t");
    string_view last = space == string_view::npos ? rest : slice(rest, space + 1);
    std::uint64_t value = 0;
    if (hex_token(last, value)) return value;
    return std::nullopt;
}

// [PROVIDE[_HIDDEN] (] NAME (=|+=) EXPRESSION [)]: a script assignment.
bool assignment(string_view text, string_view& name, bool& plus, string_view& expression) {
    std::size_t pos = 0;
    if (starts_with(text, "PROVIDE")) {
        std::size_t after = starts_with(slice(text, 7), "_HIDDEN") ? 14 : 7;
        std::size_t look = after;
        while (look < text.size() && is_space(text[look])) ++look;
        if (look < text.size() && text[look] == '(') {
            pos = look + 1;
            while (pos < text.size() && is_space(text[pos])) ++pos;
        }
    }
    if (!assignment_at(text, pos, name, plus, expression)) return false;
    if (!expression.empty() && expression.back() == ')') expression.remove_suffix(1);
    return true;
}

// A symbol ld prints demangled ("sensors::filter(sensors::Ring<unsigned long, 16u> const&,
// unsigned long)", "vtable for Foo") has blanks as the script's statements do: it is a text that
// is neither a data statement, an assignment ("operator==" is none) nor a PROVIDE or ASSERT.
bool demangled_symbol(string_view text) {
    if (starts_with(text, "0x")) return false;
    string_view name, expression;
    bool plus = false;
    if (assignment(text, name, plus, expression) && !starts_with(expression, "=")) return false;
    static constexpr string_view statements[] = {"PROVIDE", "HIDDEN", "ASSERT"};
    for (string_view word : statements) {
        if (!starts_with(text, word)) continue;
        std::size_t at = word.size();
        while (at < text.size() && (word_char(text[at]) || is_space(text[at]))) ++at;  // PROVIDE_HIDDEN (
        if (at < text.size() && text[at] == '(') return false;
    }
    return true;
}

bool top_level_keyword(string_view line) {
    static constexpr string_view keywords[] = {"LOAD ", "START GROUP", "END GROUP", "OUTPUT(", "TARGET(",
                                               "INCLUDE ", "OUTPUT_FORMAT", "SEARCH_DIR", "INSERT "};
    for (string_view keyword : keywords)
        if (starts_with(line, keyword)) return true;
    return false;
}

std::string expand_tabs(string_view line) {
    std::string out;
    for (char c : line) {
        if (c == '\t') {
            out.append(8 - out.size() % 8, ' ');
        } else {
            out += c;
        }
    }
    return out;
}

constexpr string_view symbol_indent = "                0x";  // sixteen blanks

class Reader {
public:
    explicit Reader(string_view text) : text_(text) {
        map_.toolchain = "gnu_ld";
        map_.symbols_global = true;
    }

    Map run() {
        const char* data = text_.data();
        const std::size_t size = text_.size();
        if (std::memchr(data, '\0', size) != nullptr) {  // rare: find the line for the message
            const char* nul = static_cast<const char*>(std::memchr(data, '\0', size));
            long line = 1 + static_cast<long>(std::count(data, nul, '\n'));
            throw MapError("binary data inside the map", line);
        }
        for_each_line(text_, [this](string_view line) {
            ++lineno_;
            return take(line);
        });
        finish();
        return std::move(map_);
    }

private:
    // One line; false to stop reading (the cross reference table).
    bool take(string_view line) {
        line = strip_end(line);
        if (line.find('\t') != string_view::npos) {
            map_.owned.push_back(expand_tabs(line));
            line = map_.owned.back();
        }
        row_ = line;
        if (pending_) {
            Pending wrapped = *pending_;
            pending_.reset();
            std::uint64_t address = 0, size = 0;
            string_view rest;
            if (address_size(line, address, size, rest)) {
                if (wrapped.output) {
                    start_output(wrapped.name, address, size, load_address(rest), wrapped.line);
                } else if (output_ != nullptr) {
                    add_input(wrapped.name, address, size, rest);
                }
                reserve_next_fill_ = false;
                return true;
            }
            if (wrapped.output) end_output();
        }
        if (line.empty()) return true;

        if (state_ != State::map) {
            Row parsed;
            bool is_row = row(line, parsed);
            if (state_ == State::preamble) {
                if (!is_row) {
                    if (!starts_with(line, " ** ")) return true;
                    state_ = State::map;  // gold: no memory table, the map starts here
                    map_.toolchain = "gnu_gold";
                } else if (!starts_with(parsed.name, ".")) {
                    state_ = State::memory;  // the first row of the memory table
                } else {
                    state_ = State::map;
                    map_.toolchain = "gnu_gold";
                }
            }
            if (state_ == State::memory) {
                if (!is_row) {
                    state_ = State::map;  // the map's heading
                    saw_memory_table_ = true;
                    return true;
                }
                if (parsed.name != "*default*") {
                    std::string attributes;
                    for (char c : parsed.rest)
                        if (!is_space(c)) attributes += c;
                    map_.regions.push_back({parsed.name, parsed.address, parsed.size, std::move(attributes)});
                }
                return true;
            }
        }

        if (starts_with(line, symbol_indent)) {
            symbol_line(line);
            return true;
        }
        char first = line[0];
        if (first == ' ' && line.size() > 1 && line[1] != ' ') {
            input_line(line);
            return true;
        }
        if (first != ' ') return top_line(line);
        return true;  // a deeper-indented note of ld's
    }

    void symbol_line(string_view line) {
        Cursor cursor(line);
        cursor.blanks();
        std::uint64_t address = 0;
        if (!hex_token(cursor.token(), address) || cursor.blanks() == 0 || cursor.at_end()) return;
        string_view text = cursor.rest();
        if ((text.find(' ') == string_view::npos && text.find('=') == string_view::npos) || demangled_symbol(text)) {
            if (current_ != nullptr) {
                map_.symbols.push_back({text, address});
                ++current_->symbol_count;
            }
            return;
        }
        if (starts_with(text, "0x")) {  // "0x4 LONG 0x706c75": a data statement of the script
            Cursor data(text);
            std::uint64_t size = 0;
            if (!hex_token(data.token(), size) || data.blanks() == 0) return;
            string_view word = data.token();
            if (data_statement(word) && output_ != nullptr) {
                check_extent("the script's data", address, size, lineno_, line);
                output_->scripted = true;
                Input input;
                input.name = word;
                input.address = address;
                input.size = size;
                input.origin = "linker script data";
                input.has_origin = true;
                output_->inputs.push_back(std::move(input));
                current_ = nullptr;
            }
            return;
        }
        string_view name, expression;
        bool plus = false;
        if (!assignment(text, name, plus, expression)) return;
        if (output_ != nullptr) output_->scripted = true;
        if (name == ".") {
            string_view trimmed = expression;
            while (!trimmed.empty() && (trimmed.front() == '(' || trimmed.front() == ' ')) trimmed.remove_prefix(1);
            reserve_next_fill_ = expression.find("ALIGN") == string_view::npos && (plus || starts_with(trimmed, "."));
        } else if (output_ == nullptr) {
            map_.assignments.push_back({name, expression, address});
        }
    }

    void input_line(string_view line) {
        if (starts_with(line, " ** ")) {
            map_.toolchain = "gnu_gold";
            // " ** NAME[ NAME2] [0xADDRESS 0xSIZE]": gold's linker-made input sections
            string_view body = slice(line, 4);
            std::size_t hex = body.find(" 0x");
            string_view kind = strip_end(hex == string_view::npos ? body : slice(body, 0, hex));
            std::uint64_t address = 0, size = 0;
            string_view rest;
            if (hex == string_view::npos) {
                map_.owned.push_back("** " + std::string(kind));
                pending_ = Pending{false, lineno_, map_.owned.back()};
            } else if (output_ != nullptr && address_size(slice(body, kind.size()), address, size, rest)) {
                map_.owned.push_back("** " + std::string(kind));
                add_input(map_.owned.back(), address, size, rest);
            }
            reserve_next_fill_ = false;
            return;
        }
        Row parsed;
        if (row(slice(line, 1), parsed)) {
            if (output_ != nullptr) add_input(parsed.name, parsed.address, parsed.size, parsed.rest);
            reserve_next_fill_ = false;
            return;
        }
        string_view token = slice(line, 1);
        if (token.find(' ') == string_view::npos && token.find('(') == string_view::npos &&
            !starts_with(token, "*") && !starts_with(token, "KEEP") && !starts_with(token, "SORT")) {
            pending_ = Pending{false, lineno_, token};
        } else if (output_ != nullptr) {
            output_->scripted = true;  // an input pattern of the script's statement for it
        }
    }

    bool top_line(string_view line) {
        if (top_level_keyword(line)) {
            if (starts_with(line, "OUTPUT(")) {
                saw_output_line_ = true;
                string_view inside = slice(line, 7);
                if (!inside.empty() && inside.back() == ')') inside.remove_suffix(1);
                std::size_t space = inside.rfind(' ');
                string_view format = space == string_view::npos ? inside : slice(inside, space + 1);
                if (space != string_view::npos) map_.output_file = slice(inside, 0, space);
                map_.thumb = format.find("arm") != string_view::npos;  // elf32-littlearm
            }
            end_output();
            return true;
        }
        if (starts_with(line, "Cross Reference Table")) return false;
        Row parsed;
        if (row(line, parsed)) {
            start_output(parsed.name, parsed.address, parsed.size, load_address(parsed.rest), lineno_);
            return true;
        }
        if (line.find(' ') == string_view::npos) {
            pending_ = Pending{true, lineno_, line};
            return true;
        }
        if (output_ != nullptr && output_->name == "/DISCARD/") return true;
        std::uint64_t set_to = 0;
        std::size_t last = line.rfind(' ');
        if (output_ == nullptr && std::count(line.begin(), line.end(), ' ') >= 2 &&
            hex_token(slice(line, last + 1), set_to)) {  // "Address of section .data set to 0x800100"
            map_.addresses_set.emplace_back(line, set_to);
            return true;
        }
        if (skipped_first_ == 0) skipped_first_ = lineno_;
        ++skipped_;
        end_output();
        return true;
    }

    void start_output(string_view name, std::uint64_t address, std::uint64_t size,
                      std::optional<std::uint64_t> load, long line) {
        check_extent("output section", address, size, line, row_);
        if (load) check_extent("the load image of an output section", *load, size, line, row_);
        map_.outputs.push_back(Output{name, address, size, load, line, {}, false});
        output_ = &map_.outputs.back();
        current_ = nullptr;
        reserve_next_fill_ = false;
    }

    void end_output() {
        output_ = nullptr;
        current_ = nullptr;
    }

    void add_input(string_view name, std::uint64_t address, std::uint64_t size, string_view origin) {
        check_extent("input section", address, size, lineno_, row_);
        Input input;
        input.address = address;
        input.size = size;
        bool fill = name == "*fill*" || name == "** fill" || name == "** zero fill";
        if (fill) {
            input.name = "*fill*";
            input.kind = reserve_next_fill_ ? InputKind::reservation : InputKind::fill;
            output_->inputs.push_back(std::move(input));
            current_ = nullptr;
            return;
        }
        if (starts_with(name, "** ")) {  // gold's "** common", "** merge strings"
            std::string shown(1, '*');  // "*common*", as ld names what it makes
            shown.append(slice(name, 3)).push_back('*');
            map_.owned.push_back(std::move(shown));
            input.name = map_.owned.back();
            input.origin = "linker generated";
            input.has_origin = true;
        } else {
            input.name = name;
            if (data_statement(name)) {
                input.origin = "linker script data";
                input.has_origin = true;
            } else {
                origin = strip_end(origin);
                if (starts_with(origin, "./")) origin.remove_prefix(2);
                input.origin = origin;
                input.has_origin = !origin.empty();
            }
        }
        input.first_symbol = map_.symbols.size();
        output_->inputs.push_back(std::move(input));
        current_ = &output_->inputs.back();
    }

    void finish() {
        if (pending_ && pending_->output && !saw_output_line_ && map_.toolchain != "gnu_gold")
            throw MapError("the map ends inside an output section header", lineno_);
        if (map_.toolchain == "gnu_gold") {
            bool complete = false;
            for (const Output& output : map_.outputs) {
                string_view name = output.name;
                if (name == ".shstrtab" || name == ".strtab" || name == ".symtab" || starts_with(name, ".debug") ||
                    starts_with(name, ".comment") || starts_with(name, ".zdebug") || starts_with(name, ".stab") ||
                    starts_with(name, ".gnu_debug") || starts_with(name, ".GCC.command.line") || name == ".line")
                    complete = true;
            }
            if (!complete)
                throw MapError("truncated ld.gold map: it ends before the sections gold lists last "
                               "(.symtab, .strtab, .shstrtab)", lineno_);
        } else {
            if (!saw_memory_table_)
                throw MapError("truncated GNU ld map: no memory configuration table and no memory map after it",
                               lineno_);
            if (!saw_output_line_) throw MapError("truncated GNU ld map: no OUTPUT(...) line", lineno_);
        }
        if (skipped_ > 0)
            map_.notes.push_back(std::to_string(skipped_) + " map line(s) not understood and skipped (first at line " +
                                 std::to_string(skipped_first_) + ")");
    }

    enum class State { preamble, memory, map };
    struct Pending {
        bool output;
        long line;
        string_view name;
    };

    string_view text_;
    Map map_;
    State state_ = State::preamble;
    bool saw_memory_table_ = false, saw_output_line_ = false, reserve_next_fill_ = false;
    Output* output_ = nullptr;
    Input* current_ = nullptr;
    std::optional<Pending> pending_;
    long lineno_ = 0, skipped_ = 0, skipped_first_ = 0;
    string_view row_;  // the line being read, for a message about it
};

}  // namespace

Map read(std::string_view text) { return Reader(text).run(); }

}  // namespace tarnwick::gnu_ld
