// read_iar_map(): the rows of an IAR ILINK map, line by line as the map writes them: the
// placement directives, the placement summary's sections (names and rows that wrap onto the
// next line, blocks, unused ranges), the entry list's symbols, the library references, the
// totals and the error messages of a failed link.
#include "fast/iar_map.hpp"

#include "fast/link_map.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"
#include "fast/populated_arenas.hpp"
#include "fast/records.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
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

struct RowError {};  // a figure that is not one: the row is not what its part holds

// A figure as these maps print it: "0x26c", "0x800'0000" and "4'470" (IAR 9), "1 156" (IAR 7),
// "1,632" (grouping marks between digits, commas anywhere).
std::uint64_t figure(string_view text) {
    text = strip_end(strip_start(text));
    std::uint64_t value = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        // the usual hex figure ("0x800'0000"), read in place: anything else as below
        std::size_t digits = 0;
        bool plain = true;
        for (std::size_t i = 2; i < text.size() && plain; ++i) {
            if (text[i] == '\'') {
                plain = i > 2 && i + 1 < text.size() && digit_value(text[i + 1], 16) >= 0;
                continue;
            }
            int digit = digit_value(text[i], 16);
            plain = digit >= 0;
            value = value * 16 + static_cast<std::uint64_t>(digit);
            ++digits;
        }
        if (plain && digits >= 1 && digits <= 16) return value;
        value = 0;
    }
    bool marked = false;  // grouping marks or commas to take out first (most figures have none)
    for (char c : text) marked = marked || c == ',' || c == '\'' || c == ' ' || c == '\xc2';
    if (!marked) {
        bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        if (!number(hex ? slice(text, 2) : text, hex ? 16 : 10, value)) throw RowError{};
        return value;
    }
    char shown[40];  // the figure without its marks: within a buffer of the stack, as a rule
    std::string longer;
    char* plain = text.size() <= sizeof(shown) ? shown : (longer.resize(text.size()), longer.data());
    std::size_t length = 0;
    auto digit = [](char c) { return digit_value(c, 16) >= 0; };
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool between = i > 0 && i + 1 < text.size() && digit(text[i - 1]);
        if (c == ',') continue;
        if ((c == '\'' || c == ' ') && between && digit(text[i + 1])) continue;
        if (c == '\xc2' && i + 1 < text.size() && text[i + 1] == '\xa0' && between && i + 2 < text.size() &&
            digit(text[i + 2])) {  // a no-break space, in UTF-8
            ++i;
            continue;
        }
        plain[length++] = c;
    }
    string_view kept(plain, length);
    bool hex = length > 2 && kept[0] == '0' && (kept[1] == 'x' || kept[1] == 'X');
    if (!number(hex ? slice(kept, 2) : kept, hex ? 16 : 10, value)) throw RowError{};
    return value;
}

std::string joined(const std::vector<string_view>& tokens, std::size_t from, std::size_t to) {
    if (to == from + 1) return std::string(tokens[from]);
    std::string text;
    for (std::size_t i = from; i < to; ++i) {
        if (i > from) text += ' ';
        text.append(tokens[i]);
    }
    return text;
}

// joined()'s text as a view of the line where a single space parts each token from the next, as
// the map mostly writes them (no string made per row); else made in `room`.
string_view joined_view(const std::vector<string_view>& tokens, std::size_t from, std::size_t to, std::string& room) {
    if (to <= from) return {};
    bool spaced = true;
    for (std::size_t i = from + 1; i < to && spaced; ++i) {
        const char* gap = tokens[i - 1].data() + tokens[i - 1].size();
        spaced = gap + 1 == tokens[i].data() && *gap == ' ';
    }
    if (!spaced) return room = joined(tokens, from, to);
    const char* end = tokens[to - 1].data() + tokens[to - 1].size();
    return string_view(tokens[from].data(), static_cast<std::size_t>(end - tokens[from].data()));
}

using map_reader::text;

bool one_word_kind(string_view word) {
    return word == "const" || word == "zero" || word == "uninit" || word == "inited" || word == "data" ||
           word == "noinit" || word == "code";
}

bool two_word_kind(string_view first, string_view second) {
    return (first == "ro" || first == "rw") && (second == "code" || second == "data");
}

// "<Block>", "<Init block>": a block's own row, which repeats the size of what it holds
bool container(string_view module) {
    if (module.size() < 7 || module.front() != '<' || module.back() != '>') return false;
    string_view inside = slice(module, 1, module.size() - 2);
    std::size_t space = inside.find(' ');
    string_view last = space == string_view::npos ? inside : slice(inside, space + 1);
    if (space != string_view::npos && slice(inside, space + 1).find(' ') != string_view::npos) return false;
    std::string lower;
    for (char c : last) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return lower == "block";
}

}  // namespace

// The placement summary's rows, held in a capsule between read_iar_map and the calls that cut
// them into sections and find their gaps: no tuple per row made, read and freed.
struct IarRows {
    static constexpr const char* capsule_name = "tarnwick.iar_rows";
    struct Row {
        Ref name, kind, address, size, module, block, part;  // part: its InputSection record
        std::uint64_t at, bytes;
    };
    std::vector<Row> rows;
    static void discard(PyObject* capsule) { delete static_cast<IarRows*>(PyCapsule_GetPointer(capsule, capsule_name)); }
};

namespace {

class Reader {
public:
    bool start(PyObject* input_class) {
        empty_ = Ref::steal(PyTuple_New(0));
        if (!empty_ || !input_.prepare(input_class, {"name", "address", "size", "origin", "is_fill", "is_reservation",
                                                      "symbols"}))
            return false;
        directives_ = Ref::steal(PyList_New(0));
        rows_ = std::make_unique<IarRows>();
        parts_ = Ref::steal(PyList_New(0));
        unused_ = Ref::steal(PyList_New(0));
        names_ = Ref::steal(PyList_New(0));
        addresses_ = Ref::steal(PyList_New(0));
        sizes_listed_ = Ref::steal(PyList_New(0));
        bindings_ = Ref::steal(PyList_New(0));
        libraries_ = Ref::steal(PyDict_New());
        totals_ = Ref::steal(PyDict_New());
        errors_ = Ref::steal(PyList_New(0));
        kinds_[0] = Ref::steal(PyUnicode_FromString("global"));
        kinds_[1] = Ref::steal(PyUnicode_FromString("local"));
        kinds_[2] = Ref::steal(PyUnicode_FromString("weak"));
        return directives_ && parts_ && unused_ && names_ && addresses_ && sizes_listed_ && bindings_ && libraries_ && totals_ && errors_ && kinds_[0] &&
               kinds_[1] && kinds_[2];
    }

    // false with an exception set; `failure` (the line) for a row that is not what its part holds
    bool line(string_view raw, long number) {
        try {
            return step(raw, number);
        } catch (const RowError&) {
            failure = number;
            part_name = part_;
            return true;
        }
    }

    PyObject* result() noexcept {
        Ref target = Ref::steal(text(target_));
        if (!target) return nullptr;
        std::size_t count = rows_->rows.size();
        Ref symbols = map_reader::tuple_of({Py_NewRef(names_.get()), Py_NewRef(addresses_.get()),
                                            Py_NewRef(sizes_listed_.get()), Py_NewRef(bindings_.get())});
        if (!symbols) return nullptr;
        Ref held = Ref::steal(PyCapsule_New(rows_.get(), IarRows::capsule_name, IarRows::discard));
        if (!held) return nullptr;
        rows_.release();  // the capsule's now
        return Py_BuildValue("(OOOnOOOOOOO)", target.get(), directives_.get(), held.get(), static_cast<Py_ssize_t>(count),
                             parts_.get(), unused_.get(), symbols.get(), libraries_.get(), totals_.get(),
                             errors_.get(), ended_ ? Py_True : Py_False);
    }

    std::optional<long> failure;
    std::optional<long> binary;  // a line holding a NUL byte
    std::string part_name;
    // the map's first NUL byte, searched for once: the lines before it hold none, and a NUL ends no line
    const char* nul_ = nullptr;

private:
    bool step(string_view raw, long number) {
        if (nul_ != nullptr && raw.data() + raw.size() > nul_) {  // the line holding the map's first NUL
            binary = number;
            return true;
        }
        string_view stripped = strip_end(strip_start(raw));
        if (target_.empty() && number < 40) {
            std::size_t at = raw.find("IAR ELF Linker V");
            if (at != string_view::npos) {
                Cursor cursor(slice(raw, at + 16));
                cursor.token();
                cursor.blanks();
                if (cursor.token() == "for") {
                    cursor.blanks();
                    target_ = std::string(cursor.token());
                }
            }
        }
        if (stripped.empty()) {
            in_error_ = false;
            return true;
        }
        char first = stripped.front();
        if (first == '*' || first == '#' || first == '-') {
            if (first == '*' && starts_with(stripped, "*** ") && stripped.size() > 4) {
                string_view name = strip_end(slice(stripped, 4));
                bool heading = !name.empty() && name.front() >= 'A' && name.front() <= 'Z';
                for (char c : name) heading = heading && ((c >= 'A' && c <= 'Z') || c == ' ');
                if (heading) {
                    part_ = std::string(name);
                    in_placement_ = part_ == "PLACEMENT SUMMARY";
                    in_entries_ = part_ == "ENTRY LIST";
                    pending_.clear();
                    return true;
                }
            }
            bool rule = true;
            for (char c : stripped) rule = rule && (c == '*' || c == '#' || c == '-' || c == ' ');
            if (rule) {
                in_error_ = false;
                return true;
            }
        }
        bool indented = is_space(raw.front());
        if (!indented && !starts_with(stripped, "Error[")) in_error_ = false;
        if (starts_with(stripped, "Errors:") && !indented) ended_ = true;
        if (first == '[') {  // "[1] = C:\work\Obj": where a module's reference number points
            std::size_t close = stripped.find("] = ");
            std::uint64_t reference;
            if (close != string_view::npos && number_of(slice(stripped, 1, close - 1), reference)) {
                Ref key = Ref::steal(text(slice(stripped, 1, close - 1)));
                Ref value = Ref::steal(text(strip_end(slice(stripped, close + 4))));
                return key && value && PyDict_SetItem(libraries_.get(), key.get(), value.get()) == 0;
            }
        }
        // a total's figure comes first: only such a line is searched
        std::size_t bytes_of = (first >= '0' && first <= '9') || first == '\'' ? raw.find("bytes of ") : string_view::npos;
        if (bytes_of != string_view::npos && total(raw, bytes_of)) return !PyErr_Occurred();
        if (starts_with(stripped, "Error[") || (in_error_ && indented)) {  // a message and its continuation
            in_error_ = true;
            Ref message = Ref::steal(text(stripped));
            return message && PyList_Append(errors_.get(), message.get()) == 0;
        }
        if (in_placement_) return placement(stripped);
        if (in_entries_) return entry(stripped);
        return true;
    }

    static bool number_of(string_view digits, std::uint64_t& value) { return number(digits, 10, value); }

    // "  1'304 bytes of readwrite data memory": true when it is such a line (then counted)
    bool total(string_view raw, std::size_t bytes_of) {
        string_view count = strip_end(strip_start(slice(raw, 0, bytes_of)));
        if (count.empty()) return false;
        for (char c : count)
            if (!((c >= '0' && c <= '9') || c == '\'' || c == ' ')) return false;
        Cursor after(slice(raw, bytes_of + 9));
        string_view access = after.token();
        if ((access != "readonly" && access != "readwrite") || after.blanks() == 0) return false;
        string_view content = after.token();
        if ((content != "code" && content != "data") || after.blanks() == 0) return false;
        if (!starts_with(after.rest(), "memory")) return false;
        Ref key = Ref::steal(Py_BuildValue("(NN)", text(access), text(content)));
        Ref value = Ref::steal(PyLong_FromUnsignedLongLong(figure(count)));
        if (key && value) PyDict_SetItem(totals_.get(), key.get(), value.get());
        return true;
    }

    void split(string_view stripped) {
        tokens_.clear();
        if (!pending_.empty()) {
            line_ = pending_ + " " + std::string(stripped);
            stripped = line_;
        }
        Cursor cursor(stripped);
        cursor.blanks();
        while (!cursor.at_end()) {
            tokens_.push_back(cursor.token());
            cursor.blanks();
        }
    }

    bool placement(string_view stripped) {
        if (!in_table_) {  // the directives, each up to its ";", then the table
            if (starts_with(stripped, "Section") && stripped.find("Kind") != string_view::npos) {
                in_table_ = true;
                return true;
            }
            if (!statement_.empty()) statement_ += ' ';
            statement_.append(stripped);
            if (stripped.back() == ';') {
                directive(statement_);
                statement_.clear();
            }
            return true;
        }
        if (stripped.front() == '"') {  // "P2", part 1 of 3:   a block of the summary
            std::size_t close = stripped.find('"', 1);
            if (close != string_view::npos) {
                string_view after = slice(stripped, close + 1);
                if (starts_with(after, ", part ")) {
                    std::size_t colon = after.find(':');
                    after = colon != string_view::npos ? slice(after, colon) : string_view{};
                }
                if (starts_with(after, ":")) {
                    block_ = std::string(slice(stripped, 1, close - 1));
                    pending_.clear();
                    Cursor size(slice(after, 1));  // the part's size as its heading states it
                    size.blanks();
                    string_view stated = size.token();
                    part_size_ = starts_with(stated, "0x") ? std::optional<std::uint64_t>(figure(stated)) : std::nullopt;
                    part_first_ = static_cast<Py_ssize_t>(rows_->rows.size());
                    return true;
                }
            }
        }
        if (starts_with(stripped, "- ")) return part_end(stripped);
        if (starts_with(stripped, "Unused ranges") || starts_with(stripped, "From ")) return true;
        split(stripped);
        const auto& t = tokens_;
        if (t.size() == 3 && starts_with(t[0], "0x") && starts_with(t[1], "0x") && starts_with(t[2], "0x")) {
            // the range's end, one past its last byte: 2^64 for a last byte at the top
            std::uint64_t low = figure(t[0]), last = figure(t[1]);
            Ref end = Ref::steal(PyLong_FromUnsignedLongLong(last));
            Ref one = end ? Ref::steal(PyLong_FromLong(1)) : Ref();
            Ref past = one ? Ref::steal(PyNumber_Add(end.get(), one.get())) : Ref();
            Ref row = past ? Ref::steal(Py_BuildValue("(KO)", static_cast<unsigned long long>(low), past.get())) : Ref();
            return row && PyList_Append(unused_.get(), row.get()) == 0;
        }
        std::size_t at = SIZE_MAX;  // the address: the first of two hex figures in a row, or of two with
        bool aligned = false;       // the alignment (decimal) between them
        for (std::size_t i = 0; i + 1 < t.size(); ++i) {
            if (!starts_with(t[i], "0x")) continue;
            aligned = i + 2 < t.size() && all_digits(t[i + 1], 10) && starts_with(t[i + 2], "0x");
            if (aligned || starts_with(t[i + 1], "0x")) {
                at = i;
                break;
            }
        }
        if (at == SIZE_MAX || at < 1) {
            if (at == SIZE_MAX) pending_ = std::string(stripped);
            else pending_.clear();
            return true;
        }
        std::size_t name_end = at;
        string_view kind;
        if (at >= 3 && two_word_kind(t[at - 2], t[at - 1])) {
            kind = joined_view(t, at - 2, at, kind_room_);
            name_end = at - 2;
        } else if (at >= 2 && one_word_kind(t[at - 1])) {
            kind = t[at - 1];
            name_end = at - 1;
        }
        std::size_t sized = aligned ? at + 2 : at + 1;  // IAR 9.50 and later: an alignment column between
        std::uint64_t address = figure(t[at]), size = figure(t[sized]);
        string_view module = joined_view(t, sized + 1, t.size(), module_room_);
        pending_.clear();
        if (container(module)) return true;
        // a section's name (".text", ".bss") repeats on most rows: one string for each
        Ref name = name_end == 1 ? section_names_.get(t[0]) : Ref::steal(text(joined_view(t, 0, name_end, name_room_)));
        Ref start = Ref::steal(PyLong_FromUnsignedLongLong(address));
        Ref bytes = Ref::steal(sizes_.get(size));
        if (!name || !start || !bytes) return false;
        // the input section's record; its origin is known once the library references are read
        Ref part = input_.make({Py_NewRef(name.get()), Py_NewRef(start.get()), Py_NewRef(bytes.get()), Py_NewRef(Py_None),
                                Py_NewRef(Py_False), Py_NewRef(Py_False), Py_NewRef(empty_.get())});
        Ref kind_text = part ? kinds_texts_.get(kind) : Ref();
        Ref module_text = kind_text ? strings_.get(module) : Ref();
        Ref block_text = module_text ? blocks_.get(block_) : Ref();
        if (!block_text) return false;
        rows_->rows.push_back({std::move(name), std::move(kind_text), std::move(start), std::move(bytes),
                               std::move(module_text), std::move(block_text), std::move(part), address, size});
        return true;
    }

    // "- 0x2000'067c   0x670": where a part of the summary ends and the bytes it spans
    bool part_end(string_view stripped) {
        Cursor cursor(slice(stripped, 1));
        cursor.blanks();
        string_view end = cursor.token();
        cursor.blanks();
        string_view size = cursor.token();
        if (!starts_with(end, "0x") || !starts_with(size, "0x")) return true;
        Ref header = part_size_ ? Ref::steal(PyLong_FromUnsignedLongLong(*part_size_)) : Ref::borrow(Py_None);
        Ref part = header ? Ref::steal(Py_BuildValue("(NOnnKK)", text(block_), header.get(), part_first_,
                                                     static_cast<Py_ssize_t>(rows_->rows.size()),
                                                     static_cast<unsigned long long>(figure(end)),
                                                     static_cast<unsigned long long>(figure(size))))
                          : Ref();
        part_first_ = static_cast<Py_ssize_t>(rows_->rows.size());
        part_size_.reset();
        return part && PyList_Append(parts_.get(), part.get()) == 0;
    }

    void directive(const std::string& statement) {  // "P1":  place in [from 0x0 to 0x3'ffff] { ro };
        if (statement.empty() || statement.front() != '"') return;
        std::size_t close = statement.find("\":", 1);
        if (close == std::string::npos || close == 1) return;
        string_view rest = strip_start(slice(statement, close + 2));
        if (!starts_with(rest, "place ")) return;
        Ref row = Ref::steal(Py_BuildValue("(NN)", text(slice(statement, 1, close - 1)), text(rest)));
        if (row) PyList_Append(directives_.get(), row.get());
    }

    bool entry(string_view stripped) {
        if (starts_with(stripped, "Entry") && stripped.find("Address") != string_view::npos) return true;  // heading
        split(stripped);
        const auto& t = tokens_;
        bool placed = false;
        for (std::size_t i = 1; i < t.size() && !placed; ++i) placed = starts_with(t[i], "0x");
        if (!placed) {  // a long name: its row is on the next line
            pending_ = std::string(stripped);
            return true;
        }
        pending_.clear();
        std::size_t at = 1;
        while (at < t.size() && !starts_with(t[at], "0x")) ++at;
        if (at + 2 >= t.size() || !starts_with(t[at + 1], "0x") || (t[at + 2] != "Code" && t[at + 2] != "Data"))
            return true;  // a label without a size, or what the linker created
        PyObject* scope = Py_None;
        if (at + 3 < t.size())
            scope = t[at + 3] == "Gb" ? kinds_[0].get() : t[at + 3] == "Lc" ? kinds_[1].get()
                  : t[at + 3] == "Wk" ? kinds_[2].get() : Py_None;
        std::uint64_t address = figure(t[at]), size = figure(t[at + 1]);
        // the columns size_placed_symbols takes: no row made and freed per symbol
        Ref name = Ref::steal(text(joined_view(t, 0, at, name_room_)));
        Ref start = name ? Ref::steal(PyLong_FromUnsignedLongLong(address)) : Ref();
        Ref bytes = start ? Ref::steal(sizes_.get(size)) : Ref();  // most repeat another's
        return bytes && PyList_Append(names_.get(), name.get()) == 0 &&
               PyList_Append(addresses_.get(), start.get()) == 0 && PyList_Append(sizes_listed_.get(), bytes.get()) == 0 &&
               PyList_Append(bindings_.get(), scope) == 0;
    }

    // The one Python string of each text that repeats: modules, kinds and blocks apart, so
    // that each's last text, which the next row mostly names again, is tried first.
    map_reader::SharedTexts strings_, kinds_texts_, blocks_, section_names_;
    RecordMaker input_;
    Ref empty_;
    std::string target_, part_, block_, pending_, statement_, line_;
    std::string kind_room_, module_room_, name_room_;  // joined texts a view cannot hold
    std::vector<string_view> tokens_;
    bool in_table_ = false, in_error_ = false, ended_ = false;
    bool in_placement_ = false, in_entries_ = false;  // which part_ is
    std::optional<std::uint64_t> part_size_;  // of the part being read, as its heading states it
    Py_ssize_t part_first_ = 0;                // its first row
    std::unique_ptr<IarRows> rows_;
    Ref directives_, parts_, unused_, libraries_, totals_, errors_, kinds_[3];
    Ref names_, addresses_, sizes_listed_, bindings_;  // the entry list's symbols, as columns
    SharedInts sizes_;
};

}  // namespace

PyObject* read_iar_map(PyObject*, PyObject* args) {
    Py_buffer view;
    PyObject* input_class;
    if (!PyArg_ParseTuple(args, "y*O:read_iar_map", &view, &input_class)) return nullptr;
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    PopulatedArenas arenas;  // the records' room
    try {
        Reader reader;
        if (!reader.start(input_class)) return nullptr;
        reader.nul_ = static_cast<const char*>(std::memchr(view.buf, '\0', static_cast<std::size_t>(view.len)));
        long number = 0;
        bool ok = true;
        link_map::for_each_line({static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)},
                                [&](string_view line) {
                                    ok = reader.line(line, ++number);
                                    return ok && !reader.failure && !reader.binary;
                                });
        if (!ok) return nullptr;
        if (reader.binary || reader.failure) {
            std::string part = reader.part_name;
            for (char& c : part) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
            std::string reason = reader.binary ? "binary data inside the map"
                                               : "expected a row of the " + (part.empty() ? std::string("map") : part) +
                                                     " with its figures in hex or decimal";
            Ref detail = Ref::steal(Py_BuildValue("(sl)", reason.c_str(), reader.binary ? *reader.binary : *reader.failure));
            if (detail) PyErr_SetObject(PyExc_ValueError, detail.get());
            return nullptr;
        }
        return reader.result();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

namespace {

const IarRows* held_rows(PyObject* held) noexcept {
    return static_cast<const IarRows*>(PyCapsule_GetPointer(held, IarRows::capsule_name));
}

// A Python int of a sum that may pass 64 bits.
PyObject* wide_int(unsigned __int128 value) noexcept {
    if (value <= UINT64_MAX) return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value));
    Ref high = Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value >> 64)));
    Ref shift = high ? Ref::steal(PyLong_FromLong(64)) : Ref();
    Ref shifted = shift ? Ref::steal(PyNumber_Lshift(high.get(), shift.get())) : Ref();
    Ref low = shifted ? Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value))) : Ref();
    return low ? PyNumber_Or(shifted.get(), low.get()) : nullptr;
}

// The origin of a row's module: "linker created" for the linker's own ("<Block tail>", "- Linker
// created -"); "main.o" for "main.o [1]", "dl7M_tlf.a(fpinit_M.o)" where reference 1 is that
// archive (`archives`: reference -> its file name); a module without a reference as it is.
Ref module_origin(PyObject* module, PyObject* archives, PyObject* linker) noexcept {
    Py_ssize_t length = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(module, &length);
    if (bytes == nullptr) return Ref();
    string_view whole(bytes, static_cast<std::size_t>(length));
    if (starts_with(whole, "<") || whole == "- Linker created -") return Ref::borrow(linker);
    std::size_t cut = whole.rfind(" [");
    string_view name = cut == string_view::npos ? string_view{} : whole.substr(0, cut);
    string_view reference = cut == string_view::npos ? whole : whole.substr(cut + 2);
    if (reference.empty() || reference.back() != ']') return Ref::borrow(length ? module : Py_None);
    Ref key = Ref::steal(text(reference.substr(0, reference.size() - 1)));
    PyObject* archive = key ? PyDict_GetItemWithError(archives, key.get()) : nullptr;  // borrowed
    if (archive == nullptr && PyErr_Occurred()) return Ref();
    Ref named = Ref::steal(text(name));
    if (!named || archive == nullptr) return named;
    return Ref::steal(PyUnicode_FromFormat("%S(%S)", archive, named.get()));
}

}  // namespace

PyObject* iar_runs(PyObject*, PyObject* args) {
    PyObject *held, *archives;
    if (!PyArg_ParseTuple(args, "OO!:iar_runs", &held, &PyDict_Type, &archives)) return nullptr;
    const IarRows* store = held_rows(held);
    if (store == nullptr) return nullptr;
    const std::vector<IarRows::Row>& rows = store->rows;
    Ref runs = Ref::steal(PyList_New(0));
    Ref origins = Ref::steal(PyDict_New());  // module -> origin
    Ref linker = Ref::steal(PyUnicode_InternFromString("linker created"));
    FieldWriter origin_field{"origin"};
    if (!runs || !origins || !linker || !origin_field.ready()) return nullptr;
    PyObject *last_module = nullptr, *last_origin = nullptr;  // rows of one module come together (borrowed)
    auto equal = [](const Ref& a, const Ref& b) {
        return a.get() == b.get() ? 1 : PyObject_RichCompareBool(a.get(), b.get(), Py_EQ);
    };
    // address + size of a row: past 64 bits is more than any address below it
    auto reach = [](const IarRows::Row& row) { return static_cast<unsigned __int128>(row.at) + row.bytes; };
    std::size_t count = rows.size(), first = 0;
    while (first < count) {
        unsigned __int128 furthest = reach(rows[first]), previous = furthest;  // the run's end: the furthest reach
        std::size_t past = first + 1;
        for (const IarRows::Row* before = &rows[first]; past < count; ++past) {
            const IarRows::Row& row = rows[past];
            int same = equal(row.name, before->name);
            if (same == 1) same = equal(row.kind, before->kind);
            if (same == 1) same = equal(row.block, before->block);
            if (same < 0) return nullptr;
            if (!same || row.at < previous) break;
            previous = reach(row);
            furthest = std::max(furthest, previous);
            before = &row;
        }
        Ref inputs = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(past - first)));
        if (!inputs) return nullptr;
        for (std::size_t index = first; index < past; ++index) {
            PyObject* module = rows[index].module.get();
            PyObject* part = rows[index].part.get();
            PyObject* origin = module == last_module ? last_origin : PyDict_GetItemWithError(origins.get(), module);
            if (origin == nullptr) {
                if (PyErr_Occurred()) return nullptr;
                Ref made = module_origin(module, archives, linker.get());
                if (!made || PyDict_SetItem(origins.get(), module, made.get()) != 0) return nullptr;
                origin = made.get();  // the dict holds it
            }
            last_module = module;  // held by its row, its origin by the dict
            last_origin = origin;
            if (origin_field.write(part, origin) != 0) return nullptr;
            PyTuple_SET_ITEM(inputs.get(), static_cast<Py_ssize_t>(index - first), Py_NewRef(part));
        }
        // records read_iar_map made, out of the collector's lists: the collector would leave the
        // tuple so itself, after walking a hundred thousand of them once more
        PyObject_GC_UnTrack(inputs.get());
        const IarRows::Row& head = rows[first];
        Ref end = Ref::steal(wide_int(furthest));
        Ref run = end ? Ref::steal(Py_BuildValue("(OOOOO)", head.name.get(), head.kind.get(), head.address.get(),
                                                 inputs.get(), end.get()))
                      : Ref();
        if (!run || PyList_Append(runs.get(), run.get()) != 0) return nullptr;
        first = past;
    }
    return runs.release();
}

PyObject* iar_holes(PyObject*, PyObject* args) {
    PyObject* held;
    Py_ssize_t first, past;
    unsigned long long start, end;
    if (!PyArg_ParseTuple(args, "OnnKK:iar_holes", &held, &first, &past, &start, &end)) return nullptr;
    const IarRows* store = held_rows(held);
    if (store == nullptr) return nullptr;
    if (first < 0 || past < first || static_cast<std::size_t>(past) > store->rows.size()) {
        PyErr_SetString(PyExc_IndexError, "rows out of range");
        return nullptr;
    }
    try {
        std::vector<std::pair<unsigned __int128, unsigned __int128>> spans;
        spans.reserve(static_cast<std::size_t>(past - first));
        for (Py_ssize_t i = first; i < past; ++i) {
            const IarRows::Row& row = store->rows[static_cast<std::size_t>(i)];
            spans.emplace_back(row.at, static_cast<unsigned __int128>(row.at) + row.bytes);
        }
        std::sort(spans.begin(), spans.end());
        Ref holes = Ref::steal(PyList_New(0));
        if (!holes) return nullptr;
        auto hole = [&](unsigned __int128 low, unsigned __int128 high) {
            Ref a = Ref::steal(wide_int(low));
            Ref b = a ? Ref::steal(wide_int(high)) : Ref();
            Ref pair = b ? Ref::steal(PyTuple_Pack(2, a.get(), b.get())) : Ref();
            return pair && PyList_Append(holes.get(), pair.get()) == 0;
        };
        unsigned __int128 at = start;
        for (const auto& [low, high] : spans) {
            if (low > at && !hole(at, low)) return nullptr;
            at = std::max(at, high);
        }
        if (end > at && !hole(at, end)) return nullptr;
        return holes.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tarnwick
