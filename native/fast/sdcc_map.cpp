// read_sdcc_map(): the areas and symbols of an sdld map (SDCC's linker for the 8051, STM8 and
// others), line by line: "CSEG  0000006D  00000098 =  152. bytes (REL,CON,CODE)" starts an area,
// "     0000006D  _main     main" lists one of its symbols with its module, and the user base
// address definitions ("HOME = 0x0000") close the map.
#include "fast/sdcc_map.hpp"

#include "fast/flat_table.hpp"
#include "fast/link_map.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tarnwick {

namespace {

using std::string_view;
using namespace map_text;
using link_map::starts_with;
using map_reader::Failure;
using map_reader::text;

bool ascii_word(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// 4 to 16 hex digits, the whole token.
bool hex(string_view token, std::uint64_t& value) { return token.size() >= 4 && number(token, 16, value); }

class Reader {
public:
    bool start() {
        areas_ = Ref::steal(PyList_New(0));
        symbols_ = Ref::steal(PyList_New(0));
        modules_ = Ref::steal(PyList_New(0));
        return areas_ && symbols_ && modules_;
    }

    bool line(string_view raw, long number) {
        while (!raw.empty() && raw.front() == '\f') raw.remove_prefix(1);
        if (listed_ && !complete_ && base_definition(raw)) complete_ = true;
        if (!raw.empty() && !is_space(raw.front())) {
            int area_row = area(raw, number);
            if (area_row != 0) return area_row > 0;
            if (starts_with(raw, "User Base Address Definitions")) {
                listed_ = true;
                return true;
            }
        }
        return !listing_ || symbol(raw);
    }

    PyObject* result() noexcept {
        return Py_BuildValue("(OOOO)", areas_.get(), symbols_.get(), modules_.get(), complete_ ? Py_True : Py_False);
    }

    std::optional<Failure> failure;

private:
    // "HOME = 0x0000": a word, " = 0x", hex digits, nothing after
    static bool base_definition(string_view raw) {
        std::size_t at = 0;
        while (at < raw.size() && ascii_word(raw[at])) ++at;
        if (at == 0 || slice(raw, at, 5) != " = 0x" || at + 5 == raw.size()) return false;
        for (char c : slice(raw, at + 5))
            if (digit_value(c, 16) < 0) return false;
        return true;
    }

    // 1 for an area row, 0 for a line that is none, -1 with an exception set
    int area(string_view raw, long number) {
        Cursor cursor(raw);
        string_view name = cursor.token();
        std::uint64_t address = 0, size = 0;
        if (cursor.blanks() == 0 || !hex(cursor.token(), address) || cursor.blanks() == 0 || !hex(cursor.token(), size) ||
            cursor.blanks() == 0 || cursor.token() != "=" || cursor.blanks() == 0)
            return 0;
        string_view rest = cursor.rest();
        std::size_t digits = 0;
        while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
        if (digits == 0 || !starts_with(slice(rest, digits), ". bytes (")) return 0;
        string_view attributes = slice(rest, digits + 9);
        std::size_t close = attributes.find(')');
        if (close == string_view::npos) return 0;
        Ref row = Ref::steal(Py_BuildValue("(NKKNl)", text(name), static_cast<unsigned long long>(address),
                                           static_cast<unsigned long long>(size), text(slice(attributes, 0, close)),
                                           number));
        Ref symbols = row ? symbol_.start() : Ref();
        Ref modules = symbols ? Ref::steal(PyList_New(0)) : Ref();
        if (!modules || PyList_Append(areas_.get(), row.get()) != 0 || PyList_Append(symbols_.get(), symbols.get()) != 0 ||
            PyList_Append(modules_.get(), modules.get()) != 0)
            return -1;
        listing_ = true;
        current_modules_ = modules.get();  // the list above holds it
        seen_modules_ = {};
        modules_seen_ = 0;
        last_module_ = {};
        return 1;
    }

    // "[C:]   VALUE  NAME  [MODULE]": false with an exception set
    bool symbol(string_view raw) {
        if (raw.size() >= 2 && ascii_word(raw[0]) && raw[1] == ':') raw.remove_prefix(2);
        Cursor cursor(raw);
        if (cursor.blanks() == 0) return true;
        std::uint64_t address = 0;
        if (!hex(cursor.token(), address) || cursor.blanks() == 0) return true;
        string_view name = cursor.token();
        cursor.blanks();
        string_view module = cursor.token();
        cursor.blanks();
        if (name.empty() || !cursor.at_end()) return true;
        // a module's symbols come together: its name is looked up once for the run
        if (!module.empty() && module != last_module_ &&
            seen_modules_.find_or_add(module, modules_seen_) == modules_seen_) {
            ++modules_seen_;
            Ref module_text = Ref::steal(text(module));
            if (!module_text || PyList_Append(current_modules_, module_text.get()) != 0) return false;
        }
        if (!module.empty()) last_module_ = module;  // a view into the map's bytes
        if (starts_with(name, "l_") || starts_with(name, "s_") || starts_with(name, ".__.")) return true;
        return symbol_.append(name, address);
    }

    bool listed_ = false, complete_ = false;
    bool listing_ = false;  // an area's heading has been read: symbol rows go to symbol_
    PyObject* current_modules_ = nullptr;  // borrowed from modules_
    // the modules named in this area, in one flat table: a table of nodes missed the cache at
    // each of the tens of thousands
    FlatTable<string_view, TextViewHash> seen_modules_;
    std::size_t modules_seen_ = 0;
    string_view last_module_;  // the last module named in this area, in seen_modules_
    map_reader::GlobalColumns symbol_;  // the current area's
    Ref areas_, symbols_, modules_;
};

}  // namespace

PyObject* read_sdcc_map(PyObject*, PyObject* args) {
    return map_reader::read_map<Reader>(args, "y*:read_sdcc_map");
}

}  // namespace tarnwick
