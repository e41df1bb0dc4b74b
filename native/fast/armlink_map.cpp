// read_armlink_map(): the rows of an Arm armlink map, line by line as the map writes them: the
// load and execution regions, each execution region's rows (as the model's input section
// records), the image symbol table, and the totals the map states.
#include "fast/armlink_map.hpp"

#include "fast/link_map.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"
#include "fast/records.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tarnwick {

namespace {

using std::string_view;
using namespace map_text;
using link_map::starts_with;

constexpr string_view row_shape = "'Exec Addr  Load Addr  Size  Type  Attr  Idx  E  Section Name  Object'";
constexpr string_view parts[] = {"Section Cross References", "Removing Unused input sections from the image",
                                 "Adding Veneers to the image", "Image Symbol Table", "Memory Map of the image",
                                 "Image component sizes"};

using map_reader::Failure;
using map_reader::text;

// The kind of a row, as the image component sizes count them; empty for one armlink does not write.
string_view kind_of(string_view type, string_view attribute) {
    if (attribute == "RO") return type == "Code" || type == "Ven" ? "Code" : type == "Data" ? "RO Data" : "";
    if (attribute == "XO") return type == "Code" ? "Code" : "";
    if (attribute == "RW") return type == "Data" ? "RW Data" : type == "Zero" ? "ZI Data" : type == "Code" ? "Code" : "";
    return "";
}

bool digits(string_view token) {
    if (token.empty()) return false;
    for (char c : token)
        if (c < '0' || c > '9') return false;
    return true;
}

class Reader {
public:
    bool start(PyObject* input_class) {
        empty_ = Ref::steal(PyTuple_New(0));
        pad_ = Ref::steal(PyUnicode_FromString("PAD"));
        regions_ = Ref::steal(PyList_New(0));
        rows_ = Ref::steal(PyList_New(0));
        symbols_ = Ref::steal(PyList_New(0));
        totals_ = Ref::steal(PyList_New(0));
        return empty_ && pad_ && regions_ && rows_ && symbols_ && totals_ &&
               input_.prepare(input_class, {"name", "address", "size", "origin", "is_fill", "is_reservation", "symbols"});
    }

    bool line(string_view raw, long number) {
        string_view stripped = strip_end(strip_start(raw));
        if (stripped.empty()) return true;
        if (stripped == "Local Symbols" || stripped == "Global Symbols") {
            binding_ = stripped.front() == 'L' ? "local" : "global";
            return true;
        }
        if (starts_with(stripped, "Base Addr") || starts_with(stripped, "Exec Addr")) {
            load_column_ = starts_with(stripped, "Exec Addr");
            return true;
        }
        for (string_view part : parts) {
            if (stripped == part) {
                part_ = part;
                return true;
            }
        }
        if ((starts_with(stripped, "Load Region ") || starts_with(stripped, "Execution Region ")) && region(stripped, number))
            return !PyErr_Occurred();
        bool ok = true;
        if (part_ == "Memory Map of the image" && starts_with(stripped, "0x")) ok = row(stripped, number);
        else if (part_ == "Image Symbol Table" && stripped.front() != '-') ok = symbol(stripped, number);
        if (!ok) return false;
        if (!failure && starts_with(stripped, "Total ")) return total(stripped);
        return true;
    }

    PyObject* result() noexcept {
        return PyTuple_Pack(4, regions_.get(), rows_.get(), symbols_.get(), totals_.get());
    }

    std::optional<Failure> failure;

private:
    // "Load Region LR_IROM1 (Base: ..., Size: ..., Max: ..., ABSOLUTE)": its properties are read
    // by the caller; false when the line is not one
    bool region(string_view stripped, long number) {
        bool load = stripped.front() == 'L';
        string_view rest = slice(stripped, load ? 12 : 17);
        std::size_t space = rest.find(' ');
        if (space == string_view::npos || space == 0 || slice(rest, space + 1, 1) != "(" || rest.back() != ')')
            return false;
        string_view name = slice(rest, 0, space);
        string_view properties = slice(rest, space + 2, rest.size() - space - 3);
        Ref row = Ref::steal(Py_BuildValue("(sNNl)", load ? "Load" : "Execution", text(name), text(properties), number));
        if (!row || PyList_Append(regions_.get(), row.get()) != 0) return true;
        if (!load) {
            current_ = Ref::steal(PyList_New(0));
            if (!current_ || PyList_Append(rows_.get(), current_.get()) != 0) return true;
        }
        part_ = "Memory Map of the image";
        return true;
    }

    // A figure of a row: hex with "0x"; one past 64 bits is a place no memory has.
    bool hex_figure(string_view token, std::uint64_t& value, long number) {
        if (hex_token(token, value)) return true;
        bool hex = token.size() > 18 && starts_with(token, "0x");
        for (char c : hex ? slice(token, 2) : string_view()) hex = hex && digit_value(c, 16) >= 0;
        if (hex && !failure)
            failure = Failure{"a figure of the memory map (" + std::string(token) + ") lies beyond the 64-bit address space",
                              number};
        return false;
    }

    bool row(string_view stripped, long number) {
        if (current_.get() == nullptr) {
            failure = Failure{"memory map row before any execution region", number};
            return true;
        }
        tokens_.clear();
        Cursor cursor(stripped);
        while (!cursor.at_end()) {
            tokens_.push_back(cursor.token());
            cursor.blanks();
        }
        if (!load_column_) tokens_.insert(tokens_.begin() + 1, "-");  // Arm Compiler 5 before update 6
        const auto& t = tokens_;
        std::uint64_t exec = 0, size = 0, load = 0;
        bool shape = t.size() >= 3 && hex_figure(t[0], exec, number) && hex_figure(t[2], size, number);
        bool listed = shape && t[1] != "-" && t[1] != "COMPRESSED";
        if (shape && listed) shape = hex_figure(t[1], load, number);
        if (failure) return true;
        if (!shape) {
            failure = Failure{"expected a memory map row " + std::string(row_shape), number};
            return true;
        }
        string_view kind, name, origin;
        bool pad = t.size() >= 4 && t[3] == "PAD";
        std::string object;
        if (!pad) {
            if (t.size() < 7 || !digits(t[5])) {
                failure = Failure{"expected a memory map row " + std::string(row_shape), number};
                return true;
            }
            kind = kind_of(t[3], t[4]);
            if (kind.empty()) {
                failure = Failure{"unknown section type " + std::string(t[3]) + " " + std::string(t[4]) +
                                      " (expected Code, Data, Zero, Ven or PAD, RO, RW or XO)",
                                  number};
                return true;
            }
            std::size_t at = t.size() > 6 && t[6] == "*" ? 7 : 6;  // "*": the entry point's section
            if (at < t.size()) name = t[at];
            for (std::size_t i = at + 1; i < t.size(); ++i) {
                if (i > at + 1) object += ' ';
                object.append(t[i]);
            }
        }
        Ref kind_text = pad ? Ref::borrow(Py_None) : shared_.get(kind);
        Ref name_text = pad || name.empty() ? Ref::borrow(pad_.get()) : Ref::steal(text(name));
        Ref origin_text = object.empty() ? Ref::borrow(Py_None) : shared_.get(object);
        Ref exec_value = Ref::steal(PyLong_FromUnsignedLongLong(exec));
        Ref size_value = Ref::steal(PyLong_FromUnsignedLongLong(size));
        Ref load_value = listed ? Ref::steal(PyLong_FromUnsignedLongLong(load)) : Ref::borrow(Py_None);
        if (!kind_text || !name_text || !origin_text || !exec_value || !size_value || !load_value) return false;
        Ref part = input_.make({Py_NewRef(name_text.get()), Py_NewRef(exec_value.get()), Py_NewRef(size_value.get()),
                                Py_NewRef(origin_text.get()), Py_NewRef(pad ? Py_True : Py_False), Py_NewRef(Py_False),
                                Py_NewRef(empty_.get())});
        Ref entry = part ? Ref::steal(PyTuple_Pack(6, exec_value.get(), load_value.get(), size_value.get(), kind_text.get(),
                                                   part.get(), load_column_ ? Py_True : Py_False))
                         : Ref();
        return entry && PyList_Append(current_.get(), entry.get()) == 0;
    }

    // A row of the image symbol table, read from the right (names may hold spaces: "Inline ARM
    // to Thumb Veneer to __rt_exit"); rows of what holds no bytes of its own are passed over.
    bool symbol(string_view stripped, long number) {
        tokens_.clear();
        Cursor cursor(stripped);
        while (!cursor.at_end()) {
            tokens_.push_back(cursor.token());
            cursor.blanks();
        }
        const auto& t = tokens_;
        std::size_t n = t.size();
        if (n < 5 || t[n - 1] == "ABSOLUTE") return true;
        for (string_view token : t)
            if (token == "Undefined") return true;
        string_view size_text = t[n - 2], kind = t[n - 3];
        if (!digits(size_text) || (kind != "Data" && kind != "Code")) return true;
        std::size_t at = n - (kind == "Code" ? 5 : 4);  // the value, or the overlay column before it
        if (at >= 1 && !starts_with(t[at], "0x")) at -= 1;
        if (at < 1 || at >= n || !starts_with(t[at], "0x")) return true;
        std::uint64_t value = 0, size = 0;
        if (!hex_token(t[at], value) || !map_text::number(size_text, 10, size)) {
            failure = Failure{"expected a symbol table row 'Symbol Name  Value  Ov Type  Size  Object(Section)'", number};
            return true;
        }
        std::string name;
        for (std::size_t i = 0; i < at; ++i) {
            if (i) name += ' ';
            name.append(t[i]);
        }
        Ref row = map_reader::tuple_of({text(name), PyLong_FromUnsignedLongLong(value), PyLong_FromUnsignedLongLong(size),
                                        binding_ == nullptr ? Py_NewRef(Py_None) : bindings_.get(binding_).release()});
        return row && PyList_Append(symbols_.get(), row.get()) == 0;
    }

    // "Total ROM Size (Code + RO Data + RW Data)   528 (   0.52kB)"
    bool total(string_view stripped) {
        Cursor cursor(slice(stripped, 6));
        string_view which = cursor.token();
        if ((which != "RO" && which != "RW" && which != "ROM") || cursor.blanks() == 0) return true;
        if (!starts_with(cursor.rest(), "Size (")) return true;
        string_view rest = slice(cursor.rest(), 6);
        std::size_t close = rest.find(')');
        if (close == string_view::npos) return true;
        Cursor after(slice(rest, close + 1));
        if (after.blanks() == 0) return true;
        std::uint64_t value;
        if (!map_text::number(after.token(), 10, value)) return true;
        Ref row = Ref::steal(Py_BuildValue("(NNK)", text(which), text(slice(rest, 0, close)),
                                           static_cast<unsigned long long>(value)));
        return row && PyList_Append(totals_.get(), row.get()) == 0;
    }

    string_view part_;
    const char* binding_ = nullptr;  // "local" or "global" as the symbol table says, else none
    map_reader::SharedTexts bindings_;  // one string of each
    bool load_column_ = true;  // rows name their load address (not before Arm Compiler 5.06 update 6)
    std::vector<string_view> tokens_;
    map_reader::SharedTexts shared_;
    RecordMaker input_;
    Ref empty_, pad_, regions_, rows_, symbols_, totals_, current_;
};

}  // namespace

PyObject* read_armlink_map(PyObject*, PyObject* args) {
    return map_reader::read_map<Reader>(args, "y*O:read_armlink_map");
}

}  // namespace tarnwick
