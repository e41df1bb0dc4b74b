// read_c51_map(): the parts of a Keil C51 linker listing (BL51 .m51, LX51 .map) line by line:
// the command line, the input modules, LX51's active memory classes, the memory map's segments
// under their memory's heading ("* * * D A T A   M E M O R Y * * *"), the symbol table, the
// "Program Size:" line and the closing "RUN COMPLETE" line. Page headings ("BL51 BANKED
// LINKER/LOCATER V6.22 ... PAGE 2") interrupt every table and are passed over.
#include "fast/c51_map.hpp"

#include "fast/link_map.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"
#include "fast/populated_arenas.hpp"
#include "fast/records.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

namespace {

using std::string_view;
using namespace map_text;
using link_map::starts_with;
using map_reader::Failure;
using map_reader::text;

bool contains(string_view text, string_view word) { return text.find(word) != string_view::npos; }

// contains(), found by the phrase's last character: the phrases every line is searched for end in
// one that few lines hold (':', '.'), where a search by the first stops at every blank or capital.
bool holds(string_view text, string_view phrase) {
    std::size_t n = phrase.size();
    for (std::size_t at = text.find(phrase.back(), n - 1); at != string_view::npos; at = text.find(phrase.back(), at + 1))
        if (text.compare(at + 1 - n, n, phrase) == 0) return true;
    return false;
}

bool capital(char c) { return c >= 'A' && c <= 'Z'; }

// "0020H", "0020H.1", "C:000000H", "I:000020H.0": the figure (its "X:" memory prefix left out)
// and the bits after its point; false for anything else
bool keil_figure(string_view token, std::uint64_t& value, unsigned& bits) {
    if (token.size() > 2 && token[1] == ':') token.remove_prefix(2);
    // the hex digits, read as they are passed: the first character that is none must be the 'H'
    std::size_t h = 0;
    std::uint64_t figure = 0;
    for (int digit; h < token.size() && (digit = digit_value(token[h], 16)) >= 0; ++h)
        figure = (figure << 4) | static_cast<std::uint64_t>(digit);
    if (h == 0 || h > 16 || h == token.size() || token[h] != 'H') return false;
    value = figure;
    string_view rest = slice(token, h + 1);
    bits = 0;
    if (rest.empty()) return true;
    if (rest.size() != 2 || rest[0] != '.' || rest[1] < '0' || rest[1] > '7') return false;
    bits = static_cast<unsigned>(rest[1] - '0');
    return true;
}

// The memory of a symbol or class prefix ("C:", "CODE", "XDATA"...): 'C' code, 'D' internal
// RAM, 'X' external RAM, 0 for none the model holds (bits, numbers, special registers).
char space_of_class(string_view klass) {
    if (klass == "CODE" || klass == "CONST" || klass == "ECODE" || klass == "HCONST") return 'C';
    if (klass == "XDATA" || klass == "HDATA" || klass == "EDATA") return 'X';
    if (klass == "DATA" || klass == "IDATA") return 'D';
    return 0;
}

enum class Part { header, command, modules, classes, segments, overlay, symbols, other };

// The memory map's segments, held in a capsule between read_c51_map and c51_sections: figures as
// numbers and names as bytes, made Python objects only for what the model keeps (a segment of no
// bytes makes none).
struct C51Segments {
    static constexpr const char* capsule_name = "tarnwick.c51_segments";
    struct Row {
        char space;
        unsigned bits;
        std::uint64_t start, length;
        std::size_t name_at, name_size;  // in `names`
        long line;
        Ref kind;  // a shared text
    };
    std::string names;  // every name's bytes, one after another
    std::vector<Row> rows;
    Ref letters[3];  // "C", "D", "X"

    string_view name_of(const Row& row) const { return string_view(names).substr(row.name_at, row.name_size); }
    PyObject* letter(char space) const { return letters[space == 'C' ? 0 : space == 'D' ? 1 : 2].get(); }
    // The row as read_c51_map's rows were: (space, type or class, start, bytes, bits, name, line).
    Ref tuple(const Row& row) const noexcept {
        return map_reader::tuple_of({Py_NewRef(letter(row.space)), Py_NewRef(row.kind.get()),
                                     PyLong_FromUnsignedLongLong(row.start), PyLong_FromUnsignedLongLong(row.length),
                                     PyLong_FromUnsignedLong(row.bits), text(name_of(row)), PyLong_FromLong(row.line)});
    }
    static void discard(PyObject* capsule) {
        delete static_cast<C51Segments*>(PyCapsule_GetPointer(capsule, capsule_name));
    }
};

class Reader {
public:
    // `offsets`: each space's ("C", "D", "X") offset in the model's addresses
    bool start(PyObject* offsets) {  // throws bad_alloc
        modules_ = Ref::steal(PyList_New(0));
        classes_ = Ref::steal(PyList_New(0));
        bit_segments_ = Ref::steal(PyList_New(0));
        sizes_ = Ref::steal(PyDict_New());
        segments_ = std::make_unique<C51Segments>();
        if (!modules_ || !classes_ || !bit_segments_ || !sizes_) return false;
        for (std::size_t i = 0; i < 3; ++i) {
            Space& space = spaces_[i];
            space.letter = Ref::steal(PyUnicode_FromStringAndSize(&space.name, 1));
            if (!space.letter) return false;
            segments_->letters[i] = Ref::borrow(space.letter.get());
        }
        for (Ref* column : {&names_, &addresses_, &symbol_spaces_, &symbol_modules_}) {
            *column = Ref::steal(PyList_New(0));
            if (!*column) return false;
        }
        if (!PyDict_Check(offsets)) {
            PyErr_SetString(PyExc_TypeError, "read_c51_map takes the spaces' offsets as a dict");
            return false;
        }
        for (Space& space : spaces_) {
            PyObject* offset = PyDict_GetItemWithError(offsets, space.letter.get());  // borrowed
            if (offset == nullptr) {
                if (!PyErr_Occurred()) PyErr_Format(PyExc_KeyError, "no offset of the space %c", space.name);
                return false;
            }
            space.offset = Ref::borrow(offset);
            space.shift = PyLong_AsUnsignedLongLong(offset);
            if (space.shift == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
        }
        return true;
    }

    bool line(string_view raw, long number) {
        string_view stripped = strip_end(strip_start(raw));
        if (linker_.empty()) {
            if (starts_with(stripped, "BL51 ")) linker_ = "BL51";
            else if (starts_with(stripped, "LX51 ")) linker_ = "LX51";
        }
        if (starts_with(stripped, linker_.empty() ? string_view("\x01") : string_view(linker_)) &&
            contains(stripped, " PAGE "))
            return true;
        if (holds(stripped, "INVOKED BY:")) {
            part_ = Part::command;
            return true;
        }
        if (!stripped.empty() && capital(stripped.front()) && heading(stripped)) return true;  // every heading's is
        if (starts_with(stripped, "Program Size:")) return sizes(slice(stripped, 13));
        if (holds(stripped, "RUN COMPLETE.")) complete_ = true;
        switch (part_) {
        case Part::command:
            if (stripped.empty()) {
                if (!command_.empty()) part_ = Part::other;
            } else if (starts_with(stripped, ">>")) {
                string_view more = slice(stripped, 2);
                command_.append(starts_with(more, " ") ? slice(more, 1) : more);
            } else {
                if (!command_.empty()) command_ += ' ';
                command_.append(stripped);
            }
            return true;
        case Part::modules:
            return module(stripped);
        case Part::classes:
            return memory_class(stripped);
        case Part::segments:
            return segment(stripped, number);
        case Part::symbols:
            return symbol(stripped);
        default:
            return true;
        }
    }

    PyObject* result() noexcept {
        Ref linker = Ref::steal(text(linker_));
        Ref command = linker ? Ref::steal(text(command_)) : Ref();
        Ref dummies = command ? Ref::steal(PyLong_FromSize_t(dummies_)) : Ref();
        Ref symbols = dummies ? Ref::steal(PyTuple_Pack(5, names_.get(), addresses_.get(), symbol_spaces_.get(),
                                                        symbol_modules_.get(), dummies.get()))
                              : Ref();
        Ref count = symbols ? Ref::steal(PyLong_FromSize_t(segments_->rows.size())) : Ref();
        Ref held = count ? Ref::steal(PyCapsule_New(segments_.get(), C51Segments::capsule_name, C51Segments::discard))
                         : Ref();
        if (!held) return nullptr;
        segments_.release();  // the capsule's now
        return PyTuple_Pack(10, linker.get(), command.get(), modules_.get(), classes_.get(), held.get(), count.get(),
                            bit_segments_.get(), symbols.get(), sizes_.get(), complete_ ? Py_True : Py_False);
    }

    std::optional<Failure> failure;

private:
    bool heading(string_view stripped) {
        static constexpr std::pair<string_view, Part> headings[] = {
            {"INPUT MODULES INCLUDED", Part::modules},   {"ACTIVE MEMORY CLASSES OF MODULE", Part::classes},
            {"LINK MAP OF MODULE", Part::segments},       {"MEMORY MAP OF MODULE", Part::segments},
            {"OVERLAY MAP OF MODULE", Part::overlay},     {"PUBLIC SYMBOLS OF MODULE", Part::other},
            {"SYMBOL TABLE OF MODULE", Part::symbols},    {"INTER-MODULE CROSS-REFERENCE", Part::other},
            {"CALL TREE OF MODULE", Part::other},
        };
        for (const auto& [words, part] : headings) {
            if (starts_with(stripped, words)) {
                part_ = part;
                space_ = 0;
                return true;
            }
        }
        return false;
    }

    // "  .\Objects\main.obj (MAIN)", "  D:\KEIL5\C51\LIB\C51FPS.LIB (?C?FPADD)"
    bool module(string_view stripped) {
        std::size_t open = stripped.rfind(" (");
        if (stripped.empty() || stripped.back() != ')' || open == string_view::npos || starts_with(stripped, "COMMENT"))
            return true;
        Ref row = map_reader::tuple_of({text(strip_end(slice(stripped, 0, open))),
                                        text(slice(stripped, open + 2, stripped.size() - open - 3))});
        return row && PyList_Append(modules_.get(), row.get()) == 0;
    }

    // "C:000000H   C:000000H   C:00FFFFH   00053AH   CODE"
    bool memory_class(string_view stripped) {
        tokens_of(stripped, tokens_);
        if (tokens_.size() != 5 || tokens_[1].size() < 3 || tokens_[1][1] != ':') return true;
        std::uint64_t start, end, used;
        unsigned start_bits, end_bits, used_bits;
        if (!keil_figure(tokens_[1], start, start_bits) || !keil_figure(tokens_[2], end, end_bits) ||
            !keil_figure(tokens_[3], used, used_bits) || end == UINT64_MAX)
            return true;
        char prefix = tokens_[1][0];
        const char* space = prefix == 'C' ? "C" : prefix == 'X' ? "X" : prefix == 'I' || prefix == 'D' ? "D" : "";
        Ref row = map_reader::tuple_of({text(tokens_[4]), text(space), PyLong_FromUnsignedLongLong(start),
                                        PyLong_FromUnsignedLongLong(end + 1), PyLong_FromUnsignedLongLong(used),
                                        PyLong_FromUnsignedLong(used_bits)});
        return row && PyList_Append(classes_.get(), row.get()) == 0;
    }

    // BL51: "TYPE  BASE  LENGTH  RELOCATION  NAME"; LX51: "START  STOP  LENGTH  ALIGN  RELOC  CLASS
    // NAME"; under a memory's heading, which says the space
    bool segment(string_view stripped, long number) {
        if (starts_with(stripped, "* * *")) {
            space_ = contains(stripped, "X D A T A") ? 'X' : contains(stripped, "D A T A") ? 'D'
                     : contains(stripped, "C O D E") ? 'C' : 0;
            return true;
        }
        if (space_ == 0 || stripped.empty()) return true;
        Cursor cursor(stripped);
        bool lx51 = linker_ == "LX51";
        string_view head[6];
        std::size_t count = 0;
        while (count < (lx51 ? 6u : 4u) && !cursor.at_end()) {
            head[count++] = cursor.token();
            cursor.blanks();
        }
        string_view name = strip_end(cursor.rest());
        std::uint64_t start = 0, length = 0, other = 0;
        unsigned start_bits = 0, length_bits = 0, other_bits = 0;
        string_view kind;
        bool row;
        if (lx51) {
            bool figures = count >= 3 && keil_figure(head[0], start, start_bits);
            if (!figures) return true;  // a heading of the table
            if (contains(stripped, "**GAP**")) return true;
            row = count == 6 && keil_figure(head[1], other, other_bits) && keil_figure(head[2], length, length_bits);
            kind = row ? head[5] : string_view();
        } else {
            bool typed = count != 0 && !head[0].empty() && capital(head[0].front());
            if (!typed || head[0] == "TYPE") return true;  // a gap row starts with its figure
            row = count >= 3 && keil_figure(head[1], start, start_bits) && keil_figure(head[2], length, length_bits);
            kind = head[0];
        }
        if (!row) {
            failure = Failure{lx51 ? "expected a segment row 'START  STOP  LENGTH  ALIGN  RELOC  CLASS  NAME'"
                                                : "expected a segment row 'TYPE  BASE  LENGTH  RELOCATION  NAME'",
                              number};
            return true;
        }
        Ref shared_kind = shared_.get(kind);
        if (!shared_kind) return false;
        C51Segments& kept = *segments_;
        kept.rows.push_back({space_, length_bits, start, length, kept.names.size(), name.size(), number,
                             std::move(shared_kind)});
        kept.names.append(name);
        if (length_bits == 0) return true;
        Ref entry = kept.tuple(kept.rows.back());
        return entry && PyList_Append(bit_segments_.get(), entry.get()) == 0;
    }

    // BL51: "C:09CFH  PUBLIC  main", "-------  MODULE  MAIN"; LX51: "010004E0H  PUBLIC  CODE  ---
    // _Delay_ms", "---  MODULE  ---  ---  STC8AX_DELAY"
    bool symbol(string_view stripped) {
        // most rows are of other kinds (LINE, ...): told by their second token alone
        Cursor cursor(stripped);
        string_view first = cursor.token();
        cursor.blanks();
        string_view second = cursor.token();
        if (second != "MODULE" && second != "PUBLIC" && second != "SYMBOL") return true;
        tokens_.clear();
        tokens_.push_back(first);
        tokens_.push_back(second);
        for (cursor.blanks(); !cursor.at_end(); cursor.blanks()) tokens_.push_back(cursor.token());
        if (tokens_.size() < 3) return true;
        string_view rep = tokens_[1], name = tokens_.back();
        if (rep == "MODULE") {
            module_ = std::string(name);
            return true;
        }
        if (rep != "PUBLIC" && rep != "SYMBOL") return true;
        std::uint64_t value;
        unsigned bits;
        if (!keil_figure(tokens_[0], value, bits) || bits != 0) return true;
        char space;
        if (linker_ == "LX51") {
            if (tokens_.size() < 5) return true;
            space = space_of_class(tokens_[2]);
            value &= 0xFFFFFF;  // the top byte names the memory
        } else {
            char prefix = tokens_[0].size() > 2 && tokens_[0][1] == ':' ? tokens_[0][0] : 0;
            space = prefix == 'C' ? 'C' : prefix == 'X' ? 'X' : prefix == 'I' ? 'D' : prefix == 'D' && value < 0x80 ? 'D' : 0;
        }
        if (space == 0 || (space == 'D' && value >= 0x100)) return true;  // bits, numbers, special registers
        const Space& memory = this->space(space);
        std::uint64_t address;
        Ref placed;
        if (!__builtin_add_overflow(value, memory.shift, &address)) {
            placed = Ref::steal(PyLong_FromUnsignedLongLong(address));
        } else {  // past 64 bits: the model's checks name it
            Ref listed = Ref::steal(PyLong_FromUnsignedLongLong(value));
            if (listed) placed = Ref::steal(PyNumber_Add(listed.get(), memory.offset.get()));
        }
        Ref module = placed ? shared_.get(module_) : Ref();
        Ref named = module ? Ref::steal(text(name)) : Ref();
        dummies_ += name == "_ICE_DUMMY_";
        return named && PyList_Append(names_.get(), named.get()) == 0 &&
               PyList_Append(addresses_.get(), placed.get()) == 0 &&
               PyList_Append(symbol_spaces_.get(), memory.letter.get()) == 0 &&
               PyList_Append(symbol_modules_.get(), module.get()) == 0;
    }

    // " data=80.1 xdata=0 code=4218"
    bool sizes(string_view rest) {
        tokens_of(rest, tokens_);
        for (string_view item : tokens_) {
            std::size_t equals = item.find('=');
            if (equals == string_view::npos || equals == 0) continue;
            string_view figure = slice(item, equals + 1);
            std::size_t point = figure.find('.');
            std::uint64_t bytes = 0, bits = 0;
            if (!number(slice(figure, 0, point), 10, bytes)) continue;
            if (point != string_view::npos && !number(slice(figure, point + 1), 10, bits)) continue;
            Ref key = Ref::steal(text(slice(item, 0, equals)));
            Ref value = key ? map_reader::tuple_of({PyLong_FromUnsignedLongLong(bytes), PyLong_FromUnsignedLongLong(bits)})
                            : Ref();
            if (!value || PyDict_SetItem(sizes_.get(), key.get(), value.get()) != 0) return false;
        }
        return true;
    }

    // A memory: its letter as the rows name it, and its offset in the model's addresses.
    struct Space {
        char name;
        Ref letter, offset;
        std::uint64_t shift = 0;
    };
    const Space& space(char name) const { return spaces_[name == 'C' ? 0 : name == 'D' ? 1 : 2]; }

    Part part_ = Part::header;
    char space_ = 0;
    bool complete_ = false;
    std::size_t dummies_ = 0;  // symbols named _ICE_DUMMY_
    std::string linker_, command_, module_;
    std::vector<string_view> tokens_;
    Space spaces_[3] = {{'C'}, {'D'}, {'X'}};
    Ref modules_, classes_, bit_segments_, sizes_;
    std::unique_ptr<C51Segments> segments_;
    Ref names_, addresses_, symbol_spaces_, symbol_modules_;  // the symbols, as columns
    map_reader::SharedTexts shared_;  // kinds and modules, named on row after row
};

}  // namespace

PyObject* read_c51_map(PyObject*, PyObject* args) {
    PopulatedArenas arenas;  // the rows' room
    return map_reader::read_map<Reader>(args, "y*O:read_c51_map");
}

PyObject* c51_sections(PyObject*, PyObject* args) {
    PyObject *held, *owners, *offsets, *regions, *section_of, *section_class, *input_class;
    if (!PyArg_ParseTuple(args, "OO!O!O!OOO:c51_sections", &held, &PyDict_Type, &owners, &PyDict_Type, &offsets,
                          &PyDict_Type, &regions, &section_of, &section_class, &input_class))
        return nullptr;
    auto* segments = static_cast<const C51Segments*>(PyCapsule_GetPointer(held, C51Segments::capsule_name));
    if (segments == nullptr) return nullptr;
    RecordMaker section, input;
    if (!section.prepare(section_class, {"name", "address", "size", "execution_region", "load_region", "load_address",
                                         "has_contents", "is_code", "inputs", "is_writable", "padding_bytes"}) ||
        !input.prepare(input_class, {"name", "address", "size", "origin", "is_fill", "is_reservation", "symbols"}))
        return nullptr;
    PopulatedArenas arenas;  // the records' room
    Ref empty = Ref::steal(PyTuple_New(0));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref made = Ref::steal(PyList_New(0));
    if (!empty || !zero || !made) return nullptr;
    std::string last_module;  // the module of the segment before, and its origin (borrowed from owners)
    PyObject* last_origin = nullptr;
    // the space of the segment before (a run of rows names one), its offset and region (borrowed
    // from the dicts, or null where they name none) and whether it is code
    char last_space = 0;
    PyObject *offset = nullptr, *region = nullptr;
    bool code = false, unmoved = false;  // unmoved: an offset of 0, which leaves a start the address
    for (const C51Segments::Row& row : segments->rows) {
        if (row.length == 0) continue;
        PyObject* space = segments->letter(row.space);
        string_view written = segments->name_of(row);
        std::size_t mark = written.rfind('?');
        if (row.space != last_space) {
            offset = PyDict_GetItemWithError(offsets, space);  // borrowed
            region = offset ? PyDict_GetItemWithError(regions, space) : nullptr;
            if (PyErr_Occurred()) return nullptr;
            code = row.space == 'C';
            int overflow = 0;
            unmoved = offset != nullptr && PyLong_CheckExact(offset) && PyLong_AsLongLongAndOverflow(offset, &overflow) == 0 &&
                      overflow == 0 && !PyErr_Occurred();
            last_space = row.space;
        }
        PyObject* origin = nullptr;
        if (!written.empty() && written.front() == '?' && written.back() != '"' && region != nullptr) {
            string_view module = written.substr(mark + 1);
            if (last_origin == nullptr || module != last_module) {
                Ref key = Ref::steal(text(module));
                if (!key) return nullptr;
                last_origin = PyDict_GetItemWithError(owners, key.get());
                if (last_origin == nullptr && PyErr_Occurred()) return nullptr;
                last_module = std::string(module);
            }
            origin = last_origin;
        }
        Ref made_section;
        if (origin == nullptr) {  // named otherwise, of a module not listed, or absolute
            Ref listed = segments->tuple(row);
            if (!listed) return nullptr;
            made_section = Ref::steal(PyObject_CallOneArg(section_of, listed.get()));
            last_origin = nullptr;  // held by `owners`, which Python code may have changed
            last_space = 0;  // and so by the dicts
        } else {
            bool reserved = written == "?STACK";
            bool is_code = code && PyUnicode_CompareWithASCIIString(row.kind.get(), "CONST") != 0 &&
                           !starts_with(written, "?CO?");
            Ref name = Ref::steal(text(written));
            Ref start = name ? Ref::steal(PyLong_FromUnsignedLongLong(row.start)) : Ref();
            Ref size = start ? Ref::steal(PyLong_FromUnsignedLongLong(row.length)) : Ref();
            Ref address = !size ? Ref() : unmoved ? Ref::borrow(start.get()) : Ref::steal(PyNumber_Add(start.get(), offset));
            Ref part = address ? input.make({Py_NewRef(name.get()), Py_NewRef(address.get()), Py_NewRef(size.get()),
                                             Py_NewRef(origin), Py_NewRef(reserved ? Py_True : Py_False),
                                             Py_NewRef(reserved ? Py_True : Py_False), Py_NewRef(empty.get())})
                               : Ref();
            Ref inputs = part ? map_reader::tuple_of({part.release()}) : Ref();
            if (!inputs) return nullptr;
            made_section = section.make({name.release(), address.release(), size.release(), Py_NewRef(region),
                                         Py_NewRef(Py_None), Py_NewRef(Py_None), Py_NewRef(code ? Py_True : Py_False),
                                         Py_NewRef(is_code ? Py_True : Py_False), inputs.release(),
                                         Py_NewRef(code ? Py_False : Py_True), Py_NewRef(zero.get())});
        }
        if (!made_section || PyList_Append(made.get(), made_section.get()) != 0) return nullptr;
    }
    return made.release();
}

}  // namespace tarnwick
