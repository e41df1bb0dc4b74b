// read_xc8_map(): the rows of a Microchip XC8 map (the HI-TECH linker's format), line by line:
// the command line, each object's psects, the psects by class, the unused address ranges, the
// symbol table, and what follows it (the compiler's memory summary).
#include "fast/xc8_map.hpp"

#include "fast/flat_table.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

namespace {

using std::string_view;
using namespace map_text;
using link_map::starts_with;
using map_reader::Failure;
using map_reader::text;

enum class Part { header, objects, classes, segments, unused, symbols, tail };

bool all_of(string_view token, int base) {
    if (token.empty()) return false;
    for (char c : token)
        if (digit_value(c, base) < 0) return false;
    return true;
}

bool contains(string_view text, string_view word) { return text.find(word) != string_view::npos; }

using Placed = std::pair<string_view, std::uint64_t>;  // a psect's name and link address

struct PlacedHash {
    std::uint64_t operator()(const Placed& key) const {
        return std::hash<string_view>{}(key.first) ^ (key.second * 0x9E3779B97F4A7C15ull);
    }
};

struct Psect {
    string_view name;
    std::uint64_t link, load, length, space;
    string_view klass;
    long line;
};

class Reader {
public:
    bool start() noexcept {
        command_ = Ref::steal(PyList_New(0));
        symbols_ = Ref::steal(PyList_New(0));
        deltas_ = Ref::steal(PyDict_New());
        seen_ = Ref::steal(PySet_New(nullptr));
        return command_ && symbols_ && deltas_ && seen_;
    }

    bool line(string_view raw, long number) {
        if (raw.find('\0') != string_view::npos) {
            failure = Failure{"binary data inside the map", number};
            return true;
        }
        string_view stripped = strip_end(strip_start(raw));
        if (const char* heading = heading_of(raw, stripped)) {
            part_ = heading[0] == 'c' ? Part::classes : heading[0] == 's' && heading[1] == 'e' ? Part::segments
                    : heading[0] == 'u' ? Part::unused : Part::symbols;
            Ref name = Ref::steal(PyUnicode_FromString(heading));
            return name && PySet_Add(seen_.get(), name.get()) == 0;
        }
        switch (part_) {
        case Part::header:
            if (starts_with(stripped, "Machine type is")) {
                part_ = Part::objects;
            } else if (!stripped.empty()) {
                while (!stripped.empty() && stripped.back() == '\\') stripped.remove_suffix(1);
                Ref line_text = Ref::steal(text(strip_end(stripped)));
                if (!line_text || PyList_Append(command_.get(), line_text.get()) != 0) return false;
            }
            break;
        case Part::objects: {
            Psect row;
            if (psect(raw, row, number)) {
                std::size_t at = objects_.find_or_add({row.name, row.link}, owners_.size());
                if (at == owners_.size()) owners_.push_back(object_);
                else owners_[at] = object_;  // listed again: the last row holds
            }
            else if (!stripped.empty() && raw.front() != ' ') object_ = stripped;
            break;
        }
        case Part::classes:
            classes(raw, stripped, number);
            break;
        case Part::unused:
            return unused(stripped);
        case Part::symbols: {
            int row = symbol(stripped, number);
            if (row < 0) return false;
            if (row == 0 && !failure && !stripped.empty()) part_ = Part::tail;
            break;
        }
        default:
            break;
        }
        if (part_ == Part::tail) {
            tail_.append(raw);
            tail_ += '\n';
        }
        return true;
    }

    PyObject* result() {
        Ref psects = Ref::steal(PyList_New(0));
        if (!psects) return nullptr;
        map_reader::SharedTexts shared;
        for (const Psect& row : psects_) {
            std::size_t at = objects_.find_or_add({row.name, row.link}, SIZE_MAX);
            string_view owner = at == SIZE_MAX ? string_view() : owners_[at];
            Ref object = owner.empty() ? Ref::borrow(Py_None) : shared.get(basename(owner));
            Ref klass = object ? shared.get(row.klass) : Ref();
            if (!klass) return nullptr;
            Ref entry = Ref::steal(Py_BuildValue("(NKKKKOlO)", text(row.name), row.link, row.load, row.length,
                                                 row.space, klass.get(), row.line, object.get()));
            if (!entry || PyList_Append(psects.get(), entry.get()) != 0) return nullptr;
        }
        Ref tail = Ref::steal(text(tail_));
        if (!tail) return nullptr;
        return PyTuple_Pack(6, command_.get(), psects.get(), deltas_.get(), symbols_.get(), tail.get(), seen_.get());
    }

    std::optional<Failure> failure;

private:
    static const char* heading_of(string_view raw, string_view stripped) {
        if (starts_with(raw, "TOTAL") && contains(raw, "Name") && contains(raw, "Length")) return "classes";
        if (starts_with(raw, "SEGMENTS") && contains(raw, "Name")) return "segments";
        if (stripped == "UNUSED ADDRESS RANGES") return "unused";
        if (stripped == "Symbol Table") return "symbols";
        return nullptr;
    }

    static string_view basename(string_view path) {
        std::size_t slash = path.find_last_of("/\\");
        return slash == string_view::npos ? path : path.substr(slash + 1);
    }

    void tokens(string_view text) {
        tokens_.clear();
        Cursor cursor(text);
        cursor.blanks();
        while (!cursor.at_end()) {
            tokens_.push_back(cursor.token());
            cursor.blanks();
        }
    }

    // A hex figure of a row; one past 64 bits is a place no memory has.
    bool hex_figure(string_view token, std::uint64_t& value, long number) {
        while (token.size() > 1 && token.front() == '0') token.remove_prefix(1);
        if (map_text::number(token, 16, value)) return true;
        failure = Failure{"a figure of the map (" + std::string(token) + ") lies beyond the 64-bit address space", number};
        return false;
    }

    // "        NAME  LINK  LOAD  LENGTH  [SELECTOR]  SPACE  [SCALE]", eight blanks or more first
    bool psect(string_view raw, Psect& row, long number) {
        Cursor lead(raw);
        if (lead.blanks() < 8) return false;
        tokens(raw);
        const auto& t = tokens_;
        std::size_t n = t.size();
        if (n < 5 || n > 7 || !all_of(t[1], 16) || !all_of(t[2], 16) || !all_of(t[3], 16)) return false;
        string_view space;
        if (n == 5 && all_of(t[4], 10)) space = t[4];
        else if (n >= 6 && all_of(t[4], 16) && all_of(t[5], 10) && (n == 6 || all_of(t[6], 10))) space = t[5];
        else return false;
        row.name = t[0];
        row.line = number;
        if (!hex_figure(t[1], row.link, number) || !hex_figure(t[2], row.load, number) ||
            !hex_figure(t[3], row.length, number))
            return false;
        while (space.size() > 1 && space.front() == '0') space.remove_prefix(1);
        if (!map_text::number(space, 10, row.space)) row.space = UINT64_MAX;  // no space of any PIC: only 1 (data) counts
        return true;
    }

    void classes(string_view raw, string_view stripped, long number) {
        tokens(stripped);
        if (tokens_.size() == 2 && tokens_[0] == "CLASS" && !raw.empty() && is_space(raw.front())) {
            klass_ = tokens_[1];
            known_class_ = true;
            return;
        }
        Psect row;
        if (psect(raw, row, number) && known_class_) {
            row.klass = klass_;
            psects_.push_back(row);
        } else if (!failure && !stripped.empty()) {
            failure = Failure{"expected a psect row 'NAME  LINK  LOAD  LENGTH  SPACE' under its class", number};
        }
    }

    // "CODE  0AF0-0FFF  510  2": the class's bytes per address are its last figure
    bool unused(string_view stripped) {
        tokens(stripped);
        if (tokens_.size() != 4 || !all_of(tokens_[3], 10) || !contains(tokens_[1], "-")) return true;
        std::string digits(tokens_[3]);
        Ref klass = Ref::steal(text(tokens_[0]));
        Ref delta = klass ? Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10)) : Ref();
        return delta && PyDict_SetItem(deltas_.get(), klass.get(), delta.get()) == 0;
    }

    // "NAME  PSECT  ADDRESS": 1 for a row, 0 for a line that is none, -1 with an exception set
    int symbol(string_view stripped, long number) {
        tokens(stripped);
        if (tokens_.size() != 3 || !all_of(tokens_[2], 16) || starts_with(stripped, "Memory Summary")) return 0;
        std::uint64_t address = 0;
        if (!hex_figure(tokens_[2], address, number)) return 0;
        Ref row = Ref::steal(Py_BuildValue("(NNK)", text(tokens_[0]), text(tokens_[1]), address));
        return row && PyList_Append(symbols_.get(), row.get()) == 0 ? 1 : -1;
    }

    Part part_ = Part::header;
    string_view object_, klass_;
    bool known_class_ = false;
    std::vector<string_view> tokens_;
    std::vector<Psect> psects_;
    FlatTable<Placed, PlacedHash> objects_;  // psect and link address -> its object in owners_
    std::vector<string_view> owners_;
    std::string tail_;
    Ref command_, symbols_, deltas_, seen_;
};

}  // namespace

PyObject* read_xc8_map(PyObject*, PyObject* args) noexcept {
    Py_buffer view;
    if (!PyArg_ParseTuple(args, "y*:read_xc8_map", &view)) return nullptr;
    map_reader::BufferRelease release{&view};
    Reader reader;
    if (!reader.start()) return nullptr;
    return map_reader::read_lines(view, reader);
}

}  // namespace tarnwick
