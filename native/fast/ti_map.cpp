// read_ti_map(): the rows of a TI linker map (TI ARM, MSP430, C2000), read line by line as
// the map writes them: the memory configuration, the segment allocation map's attributes, the
// section allocation map with each output section's input sections (made as the model's
// records), the module summary's grand total and the first listing of the global symbols.
#include "fast/ti_map.hpp"

#include "fast/link_map.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"
#include "fast/populated_arenas.hpp"
#include "fast/records.hpp"

#include <algorithm>
#include <array>
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

enum class Part { none, memory, segments, sections, summary, symbols };

constexpr string_view headings[] = {"MEMORY CONFIGURATION", "SEGMENT ALLOCATION MAP", "SECTION ALLOCATION MAP",
                                    "MODULE SUMMARY", "LINKER GENERATED COPY TABLES",
                                    "LINKER GENERATED HANDLER TABLE"};
constexpr Part parts_of[] = {Part::memory, Part::segments, Part::sections, Part::summary, Part::none, Part::none};
constexpr const char* part_names[] = {"map", "memory configuration", "segment allocation map",
                                      "section allocation map", "module summary", "symbols"};

// 4 to 16 hex digits, the whole token (the TI linker writes addresses and sizes so).
bool hex(string_view token, std::uint64_t& value) {
    return token.size() >= 4 && token.size() <= 16 && number(token, 16, value);
}

bool hex(string_view token) {
    std::uint64_t ignored;
    return hex(token, ignored);
}

std::string joined(const std::vector<string_view>& tokens, std::size_t from) {
    std::string text;
    for (std::size_t i = from; i < tokens.size(); ++i) {
        if (i > from) text += ' ';
        text.append(tokens[i]);
    }
    return text;
}

using map_reader::Failure;
using map_reader::text;

class Reader {
public:
    bool start(PyObject* input_class) {
        empty_ = Ref::steal(PyTuple_New(0));
        linker_ = Ref::steal(PyUnicode_FromString("linker generated"));
        hole_ = Ref::steal(PyUnicode_FromString("--HOLE--"));
        regions_ = Ref::steal(PyList_New(0));
        kinds_ = Ref::steal(PyDict_New());
        outputs_ = Ref::steal(PyList_New(0));
        notes_ = Ref::steal(PyList_New(0));
        return empty_ && linker_ && hole_ && regions_ && kinds_ && outputs_ && notes_ &&
               input_.prepare(input_class, {"name", "address", "size", "origin", "is_fill", "is_reservation", "symbols"});
    }

    // false with an exception set; `failure` set for a row that is not what its part holds
    bool line(string_view raw, long number) {
        string_view stripped = strip_end(strip_start(raw));
        if (stripped.empty()) return true;
        if (number < 5 && stripped.find("Linker") != string_view::npos) {
            arm = arm || stripped.find("ARM") != string_view::npos;
            c2000 = c2000 || stripped.find("C2000") != string_view::npos || stripped.find("C28") != string_view::npos;
        }
        symbol_count = -1;  // only the last line counts
        char first = stripped.front();
        if (first == '[' && stripped.size() > 10 && slice(stripped, stripped.size() - 9) == " symbols]") {
            std::uint64_t count = 0;
            if (number_of(slice(stripped, 1, stripped.size() - 10), 10, count)) {
                symbol_count = static_cast<long long>(count);
                return true;
            }
        }
        if (first >= 'A' && first <= 'Z') {
            for (std::size_t i = 0; i < std::size(headings); ++i) {
                if (link_map::starts_with(stripped, headings[i])) {
                    part_ = parts_of[i];
                    return true;
                }
            }
            if (link_map::starts_with(stripped, "GLOBAL SYMBOLS")) {  // listed twice (by name, by address): the first
                part_ = listed_.empty() ? Part::symbols : Part::none;
                return true;
            }
        }
        if (first == '-' || first == '*' || first == '+' || first == '|') {
            bool rule = true;
            for (char c : stripped) rule = rule && (c == '-' || c == ' ' || c == '*' || c == '+' || c == '|');
            if (rule) return true;
        }
        if (part_ == Part::none) return true;
        std::vector<string_view>& tokens = tokens_;
        // an input section's row is read to its third token, a symbol's to a fourth (none is
        // expected): the text after them is taken whole, or not at all
        bool input_row = part_ == Part::sections && !raw.empty() && is_space(raw.front());
        tokens_of(stripped, tokens, input_row ? 3 : part_ == Part::symbols ? 4 : SIZE_MAX);
        bool ok = true;
        switch (part_) {
            case Part::memory: ok = memory(tokens, number); break;
            case Part::segments: ok = segments(raw, tokens); break;
            case Part::sections: ok = sections(raw, stripped, tokens, number); break;
            case Part::summary: ok = summary_row(stripped, tokens); break;
            case Part::symbols: ok = symbol(tokens); break;
            default: break;
        }
        if (!ok && !PyErr_Occurred() && !failure) {
            failure = Failure{std::string("expected a row of the ") + part_names[static_cast<int>(part_)] +
                                  " with its addresses and sizes in hex",
                              number};
        }
        return ok || !PyErr_Occurred();
    }

    PyObject* result() noexcept {
        Ref summary = summary_given ? Ref::steal(Py_BuildValue("(LLL)", summary_[0], summary_[1], summary_[2]))
                                    : Ref::borrow(Py_None);
        Ref count = symbol_count >= 0 ? Ref::steal(PyLong_FromLongLong(symbol_count)) : Ref::borrow(Py_None);
        if (!summary || !count || !flush() || !symbols()) return nullptr;
        return Py_BuildValue("(OOOOOOOOO)", arm ? Py_True : Py_False, c2000 ? Py_True : Py_False, regions_.get(),
                             kinds_.get(), outputs_.get(), summary.get(), symbols_.get(), count.get(), notes_.get());
    }

    std::optional<Failure> failure;
    bool arm = false, c2000 = false;
    long long symbol_count = -1;

private:
    static bool number_of(string_view digits, int base, std::uint64_t& value) { return number(digits, base, value); }

    bool memory(const std::vector<string_view>& t, long number) {
        std::uint64_t origin, length, used, unused;
        if (t.size() < 5 || !hex(t[1], origin) || !hex(t[2], length) || !hex(t[3], used) || !hex(t[4], unused))
            return true;
        std::string name(t[0]), attributes = joined(t, 5);
        auto seen = region_lines_.find(name);
        if (seen == region_lines_.end()) {
            region_lines_.emplace(name, number);
            region_rows_.emplace(name, std::vector<std::uint64_t>{origin, length, used});
            region_attributes_.emplace(name, attributes);
            Ref row = Ref::steal(Py_BuildValue("(NKKKN)", text(t[0]), static_cast<unsigned long long>(origin),
                                               static_cast<unsigned long long>(length),
                                               static_cast<unsigned long long>(used), text(attributes)));
            return row && PyList_Append(regions_.get(), row.get()) == 0;
        }
        const auto& earlier = region_rows_[name];
        if (earlier == std::vector<std::uint64_t>{origin, length, used} && region_attributes_[name] == attributes) {
            Ref note = Ref::steal(PyUnicode_FromFormat("memory region %s is listed twice alike (lines %ld and %ld)",
                                                       name.c_str(), seen->second, number));
            return note && PyList_Append(notes_.get(), note.get()) == 0;
        }
        failure = Failure{"memory region " + name + " is listed again, with other figures than on line " +
                              std::to_string(seen->second),
                          number};
        return true;
    }

    bool segments(string_view raw, const std::vector<string_view>& t) {
        if (t.size() >= 6 && !raw.empty() && is_space(raw.front()) && hex(t[0])) {
            Ref key = Ref::steal(text(t[5]));
            Ref value = Ref::steal(text(t[4]));
            return key && value && PyDict_SetItem(kinds_.get(), key.get(), value.get()) == 0;
        }
        return true;
    }

    bool sections(string_view raw, string_view stripped, std::vector<string_view>& t, long number) {
        if (raw.empty() || !is_space(raw.front())) {  // an output section, or its name alone with its row under it
            std::string named;
            if (t[0] == "*" && !pending_.empty()) {
                named = pending_;
                t[0] = named;
            }
            if (t.size() == 1 && !hex(t[0])) {
                pending_ = std::string(t[0]);
                return true;
            }
            pending_.clear();
            std::uint64_t address, size;
            if (t.size() < 4 || !hex(t[2], address) || !hex(t[3], size)) {
                if (t[0] == "output" || t[0] == "section") return true;  // the table's heading
                return false;
            }
            if (!flush()) return false;
            output_ = Ref::steal(Py_BuildValue("(NKKNl)", text(t[0]), static_cast<unsigned long long>(address),
                                               static_cast<unsigned long long>(size), text(joined(t, 4)), number));
            if (!output_) return false;
            library_ = {};
            return true;
        }
        std::uint64_t address, size;
        if (!output_ || t.size() < 3 || !hex(t[0], address) || !hex(t[1], size)) return true;
        // the text after the address and the size, as Python's split(None, 2) leaves it: from
        // the third token on
        return input(address, size, slice(stripped, static_cast<std::size_t>(t[2].data() - stripped.data())));
    }

    bool input(std::uint64_t address, std::uint64_t size, string_view rest) {
        Ref name, origin;
        bool fill = false;
        if (link_map::starts_with(rest, "--HOLE--")) {
            name = Ref::borrow(hole_.get());
            origin = Ref::borrow(Py_None);
            fill = true;
        } else if (link_map::starts_with(rest, "(")) {  // made by the linker: copy tables, load images
            std::size_t close = rest.find(')');
            name = Ref::steal(text(close != string_view::npos ? slice(rest, 1, close - 1) : rest));
            origin = Ref::borrow(linker_.get());
        } else {
            string_view library, member = rest;
            std::size_t colon = rest.find(" : ");
            if (link_map::starts_with(rest, ": ")) {
                library = library_;
                member = slice(rest, 2);
            } else if (colon != string_view::npos) {
                library = slice(rest, 0, colon);
                member = slice(rest, colon + 3);
            }
            library_ = library;  // a view into the map's bytes, which outlive the read
            std::size_t open = member.find(" (");
            string_view object = open != string_view::npos ? slice(member, 0, open) : member;
            string_view section = open != string_view::npos ? slice(member, open + 2) : string_view{};
            while (!section.empty() && section.back() == ')') section.remove_suffix(1);
            named_.assign(library_);
            if (!library_.empty()) named_.append("(").append(object).append(")");
            else named_.assign(object);
            const std::string& named = named_;
            name = Ref::steal(text(section.empty() ? object : section));  // unique, mostly: made anew
            origin = shared_.get(named);
        }
        Ref at = Ref::steal(PyLong_FromUnsignedLongLong(address));
        Ref bytes = Ref::steal(sizes_.get(size));  // most repeat another's
        if (!name || !origin || !at || !bytes) return false;
        Ref record = input_.make({name.release(), at.release(), bytes.release(), origin.release(),
                                  Py_NewRef(fill ? Py_True : Py_False), Py_NewRef(Py_False), Py_NewRef(empty_.get())});
        if (!record) return false;
        inputs_.push_back(std::move(record));
        return true;
    }

    // The last output section's row, its input sections made one tuple (as the model holds
    // them) at once: no list grown, copied and freed.
    bool flush() {
        if (!output_) return true;
        Ref inputs = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(inputs_.size())));
        if (!inputs) return false;
        for (std::size_t i = 0; i < inputs_.size(); ++i)
            PyTuple_SET_ITEM(inputs.get(), static_cast<Py_ssize_t>(i), inputs_[i].release());
        inputs_.clear();
        // records input_ made, out of the collector's lists: the collector would leave the tuple
        // so itself, after walking a hundred thousand of them once more
        PyObject_GC_UnTrack(inputs.get());
        Ref row = Ref::steal(PyTuple_New(6));
        if (!row) return false;
        for (Py_ssize_t i = 0; i < 5; ++i) PyTuple_SET_ITEM(row.get(), i, Py_NewRef(PyTuple_GET_ITEM(output_.get(), i)));
        PyTuple_SET_ITEM(row.get(), 5, inputs.release());
        output_ = Ref();
        return PyList_Append(outputs_.get(), row.get()) == 0;
    }

    bool summary_row(string_view stripped, const std::vector<string_view>& t) {
        if (!link_map::starts_with(stripped, "Grand Total:")) return true;
        std::uint64_t figures[3];
        if (t.size() < 5) return false;
        for (int i = 0; i < 3; ++i)
            if (!number(t[2 + i], 10, figures[i])) return false;
        for (int i = 0; i < 3; ++i) summary_[i] = static_cast<long long>(figures[i]);
        summary_given = true;
        return true;
    }

    bool symbol(const std::vector<string_view>& t) {
        std::uint64_t address, page;
        if ((t.size() != 2 && t.size() != 3) || !hex(t[0], address)) return true;
        if (t.size() == 3 && !(t[1].size() >= 1 && t[1].size() <= 8 && number(t[1], 16, page))) return true;
        listed_.push_back({t.back(), address});
        return true;
    }

    // The symbols listed, in their order; one listed twice at one address counts once. Found by
    // sorting once: a hash table of a hundred thousand names misses the cache on every row.
    // Items with a 64-bit `key`, sorted by it, their order among equals kept: a byte of the key
    // at a time from the lowest (a pass left out where every key has one value there), each pass
    // a count and a move, with no comparison.
    template <class Item>
    static void sort_by_key(std::vector<Item>& items) {  // throws bad_alloc
        std::vector<Item> moved(items.size());
        std::vector<std::array<std::uint32_t, 256>> counts(8, std::array<std::uint32_t, 256>{});
        for (const Item& item : items)
            for (int b = 0; b < 8; ++b) ++counts[b][(item.key >> (8 * b)) & 0xFF];
        for (int b = 0; b < 8; ++b) {
            std::array<std::uint32_t, 256>& count = counts[b];
            if (count[(items.front().key >> (8 * b)) & 0xFF] == items.size()) continue;  // one value: in order
            std::uint32_t at = 0;
            for (std::uint32_t& bucket : count) at += std::exchange(bucket, at);
            for (const Item& item : items) moved[count[(item.key >> (8 * b)) & 0xFF]++] = item;
            items.swap(moved);
        }
    }

    bool symbols() noexcept {
        try {
            // handed on in address order (a Thumb function's low bit aside), the listing's order
            // among equals: the order in which they are sized into records (each within its input
            // section, in address order, equals as given), so that the texts made here lie in
            // memory as the sizing reads them; the first listing is by name. Sorted once, by
            // value: the keys beside their places, not looked up through them at each comparison.
            struct Keyed {
                std::uint64_t key;  // the address, its low bit aside
                std::uint32_t index;
            };
            std::vector<Keyed> keyed(listed_.size());
            for (std::size_t i = 0; i < keyed.size(); ++i)
                keyed[i] = {listed_[i].address & ~std::uint64_t{1}, static_cast<std::uint32_t>(i)};
            auto before = [](const Keyed& a, const Keyed& b) { return a.key != b.key ? a.key < b.key : a.index < b.index; };
            if (!std::is_sorted(keyed.begin(), keyed.end(), before)) sort_by_key(keyed);
            // one listed again at one address under one name counts once, where it is first listed:
            // such twins share a key, and are found among those of theirs
            std::vector<std::uint32_t> kept, twins;
            kept.reserve(listed_.size());
            std::vector<bool> again;
            for (std::size_t first = 0, past = 0; first < keyed.size(); first = past) {
                for (past = first + 1; past < keyed.size() && keyed[past].key == keyed[first].key;) ++past;
                if (past - first == 1) {
                    kept.push_back(keyed[first].index);
                    continue;
                }
                twins.clear();  // the group's places, by address and name, the listing's order among equals
                for (std::size_t at = first; at < past; ++at) twins.push_back(keyed[at].index);
                std::sort(twins.begin(), twins.end(), [&](std::uint32_t a, std::uint32_t b) {
                    const Listed &x = listed_[a], &y = listed_[b];
                    return x.address != y.address ? x.address < y.address : x.name != y.name ? x.name < y.name : a < b;
                });
                again.assign(past - first, false);
                for (std::size_t at = 1; at < twins.size(); ++at) {
                    const Listed &previous = listed_[twins[at - 1]], &here = listed_[twins[at]];
                    if (previous.address == here.address && previous.name == here.name) {
                        // the group's places rise with the listing's order: found by its first's
                        auto place = std::lower_bound(keyed.begin() + static_cast<std::ptrdiff_t>(first),
                                                      keyed.begin() + static_cast<std::ptrdiff_t>(past),
                                                      Keyed{keyed[first].key, twins[at]}, before);
                        again[static_cast<std::size_t>(place - keyed.begin()) - first] = true;
                    }
                }
                for (std::size_t at = first; at < past; ++at)
                    if (!again[at - first]) kept.push_back(keyed[at].index);
            }
            // as columns, (names, addresses, no size, no binding): no row made and freed per symbol
            Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(kept.size())));
            Ref addresses = names ? Ref::steal(PyList_New(static_cast<Py_ssize_t>(kept.size()))) : Ref();
            if (!addresses) return false;
            for (std::size_t at = 0; at < kept.size(); ++at) {
                const Listed& one = listed_[kept[at]];
                PyObject* name = text(one.name);
                PyObject* address = name != nullptr ? PyLong_FromUnsignedLongLong(one.address) : nullptr;
                // a list's empty places are let go as none when it is
                if (name != nullptr) PyList_SET_ITEM(names.get(), static_cast<Py_ssize_t>(at), name);
                if (address == nullptr) return false;
                PyList_SET_ITEM(addresses.get(), static_cast<Py_ssize_t>(at), address);
            }
            symbols_ = map_reader::tuple_of({names.release(), addresses.release(), Py_NewRef(Py_None), Py_NewRef(Py_None)});
            return static_cast<bool>(symbols_);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }

    Part part_ = Part::none;
    RecordMaker input_;
    Ref empty_, linker_, hole_, regions_, kinds_, outputs_, notes_;
    Ref symbols_;  // (names, addresses, None, None), made once the map is read
    Ref output_;               // the last output section's row, but for its inputs
    std::vector<Ref> inputs_;  // and its input sections so far
    std::string pending_, named_;
    string_view library_;
    std::unordered_map<std::string, long> region_lines_;
    std::unordered_map<std::string, std::vector<std::uint64_t>> region_rows_;
    std::unordered_map<std::string, std::string> region_attributes_;
    struct Listed {
        string_view name;  // a view into the map's bytes
        std::uint64_t address;
    };
    std::vector<Listed> listed_;  // the first listing of the global symbols
    std::vector<string_view> tokens_;
    map_reader::SharedTexts shared_;
    SharedInts sizes_;
    long long summary_[3] = {0, 0, 0};
    bool summary_given = false;
};

}  // namespace

PyObject* read_ti_map(PyObject*, PyObject* args) {
    PopulatedArenas arenas;  // the records' room
    return map_reader::read_map<Reader>(args, "y*O:read_ti_map");
}

}  // namespace tarnwick
