// read_xc8_map(): the rows of a Microchip XC8 map (the HI-TECH linker's format), line by line:
// the command line, each object's psects, the psects by class, the unused address ranges, the
// symbol table, and what follows it (the compiler's memory summary).
#include "fast/xc8_map.hpp"

#include "fast/flat_table.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"
#include "fast/records.hpp"

#include <algorithm>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

bool contains(string_view text, string_view word) { return text.find(word) != string_view::npos; }

// A psect row of the objects part: the object holding the psect of that name and link address.
struct Owned {
    std::uint64_t link;
    string_view name, object;
};

bool before(std::uint64_t link, string_view name, const Owned& row) {
    return link != row.link ? link < row.link : name < row.name;
}

// The rows place_xc8_psects takes, held in a capsule between the two calls: figures as numbers
// and names as bytes, made Python objects only for the psects and symbols that become records.
struct Xc8Rows {
    static constexpr const char* capsule_name = "tarnwick.xc8_rows";
    struct Text {
        std::size_t at, size;
    };
    struct PsectRow {
        Text name;
        std::uint64_t link, load, length, space;
        Ref klass, object;  // shared texts (object None where no object's rows list the psect)
    };
    struct SymbolRow {
        Text name, psect;
        std::uint64_t address;
    };
    std::string names;  // every name's bytes, one after another
    std::vector<PsectRow> psects;
    std::vector<SymbolRow> symbols;

    Text keep(string_view name) {
        Text kept{names.size(), name.size()};
        names.append(name);
        return kept;
    }
    string_view of(Text name) const { return string_view(names).substr(name.at, name.size); }
    static void discard(PyObject* capsule) {
        delete static_cast<Xc8Rows*>(PyCapsule_GetPointer(capsule, capsule_name));
    }
};

struct Psect {
    string_view name;
    std::uint64_t link, load, length, space;
    string_view klass;
};

struct SymbolText {
    string_view name, psect;
    std::uint64_t address;
};

class Reader {
public:
    bool start() {
        command_ = Ref::steal(PyList_New(0));
        deltas_ = Ref::steal(PyDict_New());
        seen_ = Ref::steal(PySet_New(nullptr));
        unused_ = Ref::steal(PyList_New(0));
        return command_ && deltas_ && seen_ && unused_;
    }

    bool line(string_view raw, long number) {
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
                owned_.push_back(Owned{row.link, row.name, object_});
            }
            else if (!stripped.empty() && raw.front() != ' ') object_ = stripped;
            break;
        }
        case Part::classes:
            classes(raw, stripped, number);
            break;
        case Part::unused:
            return unused(stripped, number);
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
        std::unique_ptr<Xc8Rows> rows = std::make_unique<Xc8Rows>();
        // objects and classes apart: each row names one of each, and each keeps its last one
        map_reader::SharedTexts objects, classes;
        // psects found among the objects' rows by link address and name, sorted once: tens of
        // thousands of lookups in a hash table miss the cache each time
        auto earlier = [](const Owned& a, const Owned& b) { return before(a.link, a.name, b); };
        if (!std::is_sorted(owned_.begin(), owned_.end(), earlier)) std::stable_sort(owned_.begin(), owned_.end(), earlier);
        rows->psects.reserve(psects_.size());
        for (const Psect& row : psects_) {
            auto after = std::upper_bound(owned_.begin(), owned_.end(), row, [](const Psect& key, const Owned& owned) {
                return before(key.link, key.name, owned);
            });
            // listed again: the last row holds
            bool found = after != owned_.begin() && (after - 1)->link == row.link && (after - 1)->name == row.name;
            string_view owner = found ? (after - 1)->object : string_view();
            Ref object = owner.empty() ? Ref::borrow(Py_None) : objects.get(base_name(owner));
            Ref klass = object ? classes.get(row.klass) : Ref();
            if (!klass) return nullptr;
            rows->psects.push_back({rows->keep(row.name), row.link, row.load, row.length, row.space, std::move(klass),
                                    std::move(object)});
        }
        rows->symbols.reserve(symbol_rows_.size());
        for (const SymbolText& row : symbol_rows_) rows->symbols.push_back({rows->keep(row.name), rows->keep(row.psect), row.address});
        Ref count = Ref::steal(PyLong_FromSize_t(rows->psects.size()));
        Ref held = count ? Ref::steal(PyCapsule_New(rows.get(), Xc8Rows::capsule_name, Xc8Rows::discard)) : Ref();
        if (!held) return nullptr;
        rows.release();  // the capsule's now
        Ref tail = Ref::steal(text(tail_));
        if (!tail) return nullptr;
        return PyTuple_Pack(7, command_.get(), held.get(), count.get(), deltas_.get(), unused_.get(), tail.get(),
                            seen_.get());
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



    // A hex figure of a row; one past 64 bits is a place no memory has.
    bool hex_figure(string_view token, std::uint64_t& value, long number) {
        while (token.size() > 1 && token.front() == '0') token.remove_prefix(1);
        if (map_text::number(token, 16, value)) return true;
        return too_large(token, number);
    }

    bool too_large(string_view token, long number) {
        while (token.size() > 1 && token.front() == '0') token.remove_prefix(1);
        failure = Failure{"a figure of the map (" + std::string(token) + ") lies beyond the 64-bit address space", number};
        return false;
    }

    // Whether the token is hex digits (one or more), read in the same pass: `fits` false for a
    // figure past 64 bits. A map holds two hundred thousand psect rows of three figures each.
    static bool hex_digits(string_view token, std::uint64_t& value, bool& fits) {
        if (token.empty()) return false;
        std::uint64_t result = 0;
        std::size_t significant = 0;  // the digits after the leading zeros
        for (char c : token) {
            int digit = digit_value(c, 16);
            if (digit < 0) return false;
            significant += significant != 0 || digit != 0;
            result = (result << 4) | static_cast<std::uint64_t>(digit);
        }
        value = result;
        fits = significant <= 16;
        return true;
    }

    // "        NAME  LINK  LOAD  LENGTH  [SELECTOR]  SPACE  [SCALE]", eight blanks or more first
    bool psect(string_view raw, Psect& row, long number) {
        Cursor lead(raw);
        if (lead.blanks() < 8) return false;
        tokens_of(raw, tokens_);
        const auto& t = tokens_;
        std::size_t n = t.size();
        std::uint64_t figures[3];
        bool fits[3];
        if (n < 5 || n > 7) return false;
        for (std::size_t k = 0; k < 3; ++k)
            if (!hex_digits(t[k + 1], figures[k], fits[k])) return false;
        string_view space;
        if (n == 5 && all_digits(t[4], 10)) space = t[4];
        else if (n >= 6 && all_digits(t[4], 16) && all_digits(t[5], 10) && (n == 6 || all_digits(t[6], 10))) space = t[5];
        else return false;
        row.name = t[0];
        for (std::size_t k = 0; k < 3; ++k)
            if (!fits[k]) return too_large(t[k + 1], number);
        row.link = figures[0];
        row.load = figures[1];
        row.length = figures[2];
        while (space.size() > 1 && space.front() == '0') space.remove_prefix(1);
        if (!map_text::number(space, 10, row.space)) row.space = UINT64_MAX;  // no space of any PIC: only 1 (data) counts
        return true;
    }

    void classes(string_view raw, string_view stripped, long number) {
        // a class's heading starts with its word: the psect rows under it are not read twice
        if (starts_with(stripped, "CLASS")) {
            tokens_of(stripped, tokens_);
            if (tokens_.size() == 2 && tokens_[0] == "CLASS" && !raw.empty() && is_space(raw.front())) {
                klass_ = tokens_[1];
                return;
            }
        }
        Psect row;
        if (psect(raw, row, number) && !klass_.empty()) {  // a CLASS row names one
            row.klass = klass_;
            psects_.push_back(row);
        } else if (!failure && !stripped.empty()) {
            failure = Failure{"expected a psect row 'NAME  LINK  LOAD  LENGTH  SPACE' under its class", number};
        }
    }

    // "CODE  0AF0-0FFF  510  2": a range of the class left free (the class's bytes per address its
    // last figure, where written); "  1000-1FFF  800": another range of the class above
    bool unused(string_view stripped, long number) {
        tokens_of(stripped, tokens_);
        std::size_t at = !tokens_.empty() && contains(tokens_[0], "-") ? 0 : 1;
        if (tokens_.size() < at + 2 || !contains(tokens_[at], "-")) return true;
        if (at == 1) unused_class_ = tokens_[0];
        string_view span = tokens_[at];
        std::size_t dash = span.find('-');
        std::uint64_t low = 0, high = 0;
        if (unused_class_.empty() || !map_text::number(slice(span, 0, dash), 16, low) ||
            !map_text::number(slice(span, dash + 1), 16, high) || high < low || high == UINT64_MAX)
            return true;
        Ref row = map_reader::tuple_of({text(unused_class_), PyLong_FromUnsignedLongLong(low),
                                        PyLong_FromUnsignedLongLong(high + 1)});
        if (!row || PyList_Append(unused_.get(), row.get()) != 0) return false;
        if (at != 1 || tokens_.size() != 4 || !all_digits(tokens_[3], 10)) return true;
        string_view significant = tokens_[3];
        while (significant.size() > 1 && significant.front() == '0') significant.remove_prefix(1);
        if (significant.size() > 20) {  // bytes per address past 64 bits: the reader stops at its line
            too_large(significant, number);
            return true;
        }
        std::string digits(tokens_[3]);
        Ref klass = Ref::steal(text(tokens_[0]));
        Ref delta = klass ? Ref::steal(PyLong_FromString(digits.c_str(), nullptr, 10)) : Ref();
        return delta && PyDict_SetItem(deltas_.get(), klass.get(), delta.get()) == 0;
    }

    // "NAME  PSECT  ADDRESS": 1 for a row, 0 for a line that is none
    int symbol(string_view stripped, long number) {
        tokens_of(stripped, tokens_);
        if (tokens_.size() != 3 || !all_digits(tokens_[2], 16) || starts_with(stripped, "Memory Summary")) return 0;
        std::uint64_t address = 0;
        if (!hex_figure(tokens_[2], address, number)) return 0;
        symbol_rows_.push_back({tokens_[0], tokens_[1], address});
        return 1;
    }

    Part part_ = Part::header;
    string_view object_, klass_, unused_class_;
    std::vector<string_view> tokens_;
    std::vector<Psect> psects_;
    std::vector<Owned> owned_;
    std::vector<SymbolText> symbol_rows_;
    std::string tail_;
    Ref command_, deltas_, seen_, unused_;
};

// Figures of the model past 64 bits stay what they are (the model's checks name them): the
// arithmetic of placing a psect is done in 128 bits.
using Wide = __int128;

Ref wide_number(Wide value) {
    if (value >= 0 && value <= static_cast<Wide>(UINT64_MAX))
        return Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
    if (value < 0 && value >= static_cast<Wide>(INT64_MIN))
        return Ref::steal(PyLong_FromLongLong(static_cast<long long>(value)));
    bool negative = value < 0;
    unsigned __int128 magnitude = negative ? static_cast<unsigned __int128>(-value) : static_cast<unsigned __int128>(value);
    char digits[40];
    char* at = digits + sizeof(digits);
    *--at = '\0';
    do {
        *--at = "0123456789abcdef"[static_cast<int>(magnitude & 15)];
        magnitude >>= 4;
    } while (magnitude != 0);
    if (negative) *--at = '-';
    return Ref::steal(PyLong_FromString(at, nullptr, 16));
}

// A non-negative int below 2^64 (the figures the reader made, the regions' bounds, a class's
// bytes per address); false with an exception set otherwise.
bool plain_number(PyObject* value, std::uint64_t& out) {
    out = PyLong_Check(value) ? PyLong_AsUnsignedLongLong(value) : static_cast<unsigned long long>(-1);
    if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) return false;
    if (!PyLong_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "an int is expected");
        return false;
    }
    return true;
}

bool ascii(string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

struct Placing {
    std::uint64_t base, unit;
};

struct Where {
    Wide address;
    std::uint64_t unit, start;
};

}  // namespace

PyObject* place_xc8_psects(PyObject*, PyObject* args) {
    PyObject *held, *placing_of, *bounds, *names, *section_class, *input_class;
    if (!PyArg_ParseTuple(args, "OOO!O!OO:place_xc8_psects", &held, &placing_of, &PyList_Type, &bounds, &PyList_Type,
                          &names, &section_class, &input_class))
        return nullptr;
    auto* rows = static_cast<const Xc8Rows*>(PyCapsule_GetPointer(held, Xc8Rows::capsule_name));
    if (rows == nullptr) return nullptr;
    RecordMaker section, input;
    if (!section.prepare(section_class, {"name", "address", "size", "execution_region", "load_region", "load_address",
                                         "has_contents", "is_code", "inputs", "is_writable", "padding_bytes"}) ||
        !input.prepare(input_class, {"name", "address", "size", "origin", "is_fill", "is_reservation", "symbols"}))
        return nullptr;
    if (PyList_GET_SIZE(names) != PyList_GET_SIZE(bounds) + 1) {
        PyErr_SetString(PyExc_ValueError, "one region name more than bounds is expected");
        return nullptr;
    }
    try {
        std::vector<std::uint64_t> edges;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(bounds); ++i) {
            std::uint64_t edge;
            if (!plain_number(PyList_GET_ITEM(bounds, i), edge)) return nullptr;
            edges.push_back(edge);
        }
        Ref empty = Ref::steal(PyTuple_New(0));
        Ref zero = Ref::steal(PyLong_FromLong(0));
        Ref sections = Ref::steal(PyList_New(0));
        map_reader::GlobalColumns symbols;  // as size_placed_symbols takes them: no row made per symbol
        SharedInts sizes;  // the psects' lengths repeat
        Ref raw = symbols.start();
        if (!empty || !zero || !sections || !raw) return nullptr;
        std::unordered_map<PyObject*, Placing> placings[2];  // by class (one string per class), code and data
        // the place of each psect name (its string's UTF-8), the last psect of a name holding
        FlatTable<string_view, TextViewHash> numbers;
        numbers.reserve(rows->psects.size());  // grown once, not doubled a dozen times
        std::vector<Where> places;
        std::vector<string_view> place_names;  // the name each place is found by
        for (const Xc8Rows::PsectRow& row : rows->psects) {
            if (row.length == 0) continue;
            PyObject* klass = row.klass.get();
            bool data = row.space == 1;
            auto known = placings[data].find(klass);
            if (known == placings[data].end()) {
                Ref space = Ref::steal(PyLong_FromUnsignedLongLong(row.space));
                Ref made = space ? Ref::steal(PyObject_CallFunctionObjArgs(placing_of, klass, space.get(), nullptr)) : Ref();
                Placing placing{};
                if (!made || !PyTuple_Check(made.get()) || PyTuple_GET_SIZE(made.get()) != 2) {
                    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "placing gives (base, bytes per address)");
                    return nullptr;
                }
                if (!plain_number(PyTuple_GET_ITEM(made.get(), 0), placing.base) ||
                    !plain_number(PyTuple_GET_ITEM(made.get(), 1), placing.unit))
                    return nullptr;
                known = placings[data].emplace(klass, placing).first;  // the rows hold the class's string
            }
            const Placing& placing = known->second;
            std::uint64_t start = placing.base == 0 ? row.load : row.link;
            Wide address = static_cast<Wide>(placing.base) + static_cast<Wide>(start) * placing.unit;
            Wide size = static_cast<Wide>(row.length) * placing.unit;
            std::size_t holder = static_cast<std::size_t>(
                std::upper_bound(edges.begin(), edges.end(), address,
                                 [](Wide value, std::uint64_t edge) { return value < static_cast<Wide>(edge); }) -
                edges.begin());
            string_view raw_name = rows->of(row.name);
            Ref name = Ref::steal(text(raw_name));
            Ref address_value = name ? wide_number(address) : Ref();
            Ref size_value = !address_value ? Ref()
                             : size <= static_cast<Wide>(UINT64_MAX) ? Ref::steal(sizes.get(static_cast<std::uint64_t>(size)))
                                                                     : wide_number(size);
            if (!size_value) return nullptr;
            Ref part = input.make({Py_NewRef(name.get()), Py_NewRef(address_value.get()), Py_NewRef(size_value.get()),
                                   Py_NewRef(row.object.get()), Py_NewRef(Py_False), Py_NewRef(Py_False),
                                   Py_NewRef(empty.get())});
            Ref parts = part ? Ref::steal(PyTuple_Pack(1, part.get())) : Ref();
            if (!parts) return nullptr;
            PyObject_GC_UnTrack(parts.get());  // it holds a record only, which no cycle passes through
            Py_ssize_t name_length = 0;
            const char* name_text = PyUnicode_AsUTF8AndSize(name.get(), &name_length);  // as the symbols' rows name it
            if (name_text == nullptr) return nullptr;
            bool code = PyUnicode_CompareWithASCIIString(klass, "CODE") == 0 &&
                        !link_map::starts_with(string_view(name_text, static_cast<std::size_t>(name_length)), "idata");
            Ref record = section.make({Py_NewRef(name.get()), address_value.release(), size_value.release(),
                                       Py_NewRef(PyList_GET_ITEM(names, static_cast<Py_ssize_t>(holder))),
                                       Py_NewRef(Py_None), Py_NewRef(Py_None), Py_NewRef(data ? Py_False : Py_True),
                                       Py_NewRef(code ? Py_True : Py_False), parts.release(),
                                       Py_NewRef(data ? Py_True : Py_False), Py_NewRef(zero.get())});
            if (!record || PyList_Append(sections.get(), record.get()) != 0) return nullptr;
            // the section's record holds the name whose UTF-8 this views
            string_view key(name_text, static_cast<std::size_t>(name_length));
            std::size_t number = numbers.find_or_add(key, places.size());
            Where where{address, placing.unit, start};
            if (number == places.size()) {
                places.push_back(where);
                place_names.push_back(key);
            } else {
                places[number] = where;
            }
        }
        // each symbol's psect found by its name; a psect's symbols come together, mostly in the
        // psects' order, so the last psect found is tried first, then the one after it
        string_view last_psect;
        std::size_t last_number = SIZE_MAX;
        const Where* last_where = nullptr;
        bool looked = false;
        std::vector<Ref> decoded;  // psect names not ASCII, as the psects' own strings read them: the table keeps views
        for (const Xc8Rows::SymbolRow& row : rows->symbols) {
            string_view psect_name = rows->of(row.psect);
            if (!looked || psect_name != last_psect) {
                last_psect = psect_name;  // the rows hold it
                looked = true;
                if (!ascii(psect_name)) {
                    decoded.push_back(Ref::steal(text(psect_name)));
                    Py_ssize_t length = 0;
                    const char* utf8 = decoded.back() ? PyUnicode_AsUTF8AndSize(decoded.back().get(), &length) : nullptr;
                    if (utf8 == nullptr) return nullptr;
                    psect_name = string_view(utf8, static_cast<std::size_t>(length));
                }
                std::size_t next = last_number + 1;
                std::size_t number = next < place_names.size() && place_names[next] == psect_name
                                         ? next
                                         : numbers.find_or_add(psect_name, places.size());  // no psect: places.size()
                if (number < places.size()) last_number = number;
                last_where = number < places.size() ? &places[number] : nullptr;
            }
            if (last_where == nullptr) continue;
            const Where& at = *last_where;
            Ref name = Ref::steal(text(rows->of(row.name)));
            Ref address = name ? wide_number(at.address + (static_cast<Wide>(row.address) - static_cast<Wide>(at.start)) *
                                                              static_cast<Wide>(at.unit))
                               : Ref();
            if (!symbols.append(name.get(), address.get())) return nullptr;
        }
        return PyTuple_Pack(2, sections.get(), raw.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* read_xc8_map(PyObject*, PyObject* args) {
    return map_reader::read_map<Reader>(args, "y*:read_xc8_map");
}

}  // namespace tarnwick
