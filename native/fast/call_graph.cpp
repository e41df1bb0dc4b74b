// GCC's -fcallgraph-info files (VCG): the node and edge lines a unit's stack check needs, read in
// one pass each over the text, as the two patterns of toolchains/stack_files.py would find them
// (non-overlapping matches, each starting a line), and each function's frame read from its label.
#include "fast/call_graph.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

namespace {

using Text = std::u32string_view;

// A character of \w as the interpreter's pattern engine tells one in a str pattern.
bool word_character(char32_t c) noexcept { return c == U'_' || Py_UNICODE_ISALNUM(static_cast<Py_UCS4>(c)); }

// The run of a quoted field: up to the next quote, never past the end. npos when there is none.
std::size_t field_end(Text text, std::size_t from) noexcept { return text.find(U'"', from); }

bool starts(Text text, std::size_t at, Text with) noexcept { return text.substr(at, with.size()) == with; }

// The matches of one line pattern `LEAD "f1" MID "f2"` then optionally `OPT "f3"` or ` OPT2 \w+`,
// then ` }`; each match starts a line, and the next is looked for after it ends.
struct Fields {
    std::size_t start[3], end[3];
    bool third;
};

class LineMatcher {
public:
    LineMatcher(Text lead, Text middle, Text optional, bool word_option)
        : lead_(lead), middle_(middle), optional_(optional), word_option_(word_option) {}

    // The match at `at` (a line start), or false.
    bool match(Text text, std::size_t at, Fields& fields, std::size_t& after) const noexcept {
        if (!starts(text, at, lead_)) return false;
        std::size_t p = at + lead_.size();
        std::size_t e = field_end(text, p);
        if (e == Text::npos) return false;
        fields.start[0] = p, fields.end[0] = e;
        p = e + 1;
        if (!starts(text, p, middle_)) return false;
        p += middle_.size();
        e = field_end(text, p);
        if (e == Text::npos) return false;
        fields.start[1] = p, fields.end[1] = e;
        p = e + 1;
        fields.third = false;
        if (starts(text, p, optional_)) {
            std::size_t q = p + optional_.size(), r = q;
            bool ok;
            if (word_option_) {
                while (r < text.size() && word_character(text[r])) ++r;
                ok = r > q;
            } else {
                r = field_end(text, q);
                ok = r != Text::npos;
            }
            if (ok && starts(text, r + (word_option_ ? 0 : 1), U" }")) {
                fields.third = true;
                fields.start[2] = q, fields.end[2] = r;
                after = r + (word_option_ ? 0 : 1) + 2;
                return true;
            }
        }
        if (!starts(text, p, U" }")) return false;  // the optional part left out
        after = p + 2;
        return true;
    }

    // Every match, in order.
    template <typename Found>
    bool each(Text text, Found&& found) const {
        std::size_t at = 0;
        while (at < text.size()) {
            Fields fields;
            std::size_t after = 0;
            if (match(text, at, fields, after)) {
                if (!found(fields)) return false;
                at = after;
                // the next match starts a line at or after the end of this one
                if (at > 0 && text[at - 1] == U'\n') continue;
            }
            std::size_t next = text.find(U'\n', at);
            if (next == Text::npos) break;
            at = next + 1;
        }
        return true;
    }

private:
    Text lead_, middle_, optional_;
    bool word_option_;
};

Ref make_text(Text text) noexcept {
    return Ref::steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())));
}

// `\n` written as two characters, then `\\`, each replaced in one pass from the left, as two
// str.replace calls do.
std::u32string unescaped(Text text) {
    std::u32string once;
    once.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == U'\\' && i + 1 < text.size() && text[i + 1] == U'n') {
            once.push_back(U'\n');
            ++i;
        } else {
            once.push_back(text[i]);
        }
    }
    std::u32string twice;
    twice.reserve(once.size());
    for (std::size_t i = 0; i < once.size(); ++i) {
        twice.push_back(once[i]);
        if (once[i] == U'\\' && i + 1 < once.size() && once[i + 1] == U'\\') ++i;
    }
    return twice;
}

// "48 bytes (static)" read from the end: (digits, qualifier), or false.
bool frame_of(Text line, Text& digits, Text& qualifier) noexcept {
    constexpr Text marker = U" bytes (";
    std::size_t cut = line.rfind(marker);
    if (cut == Text::npos) return false;
    Text rest = line.substr(cut + marker.size());
    if (rest.empty() || rest.back() != U')') return false;
    qualifier = rest.substr(0, rest.size() - 1);
    Text head = line.substr(0, cut);
    std::size_t space = head.rfind(U' ');
    digits = space == Text::npos ? head : head.substr(space + 1);
    if (digits.empty() || qualifier.empty()) return false;
    for (char32_t c : digits)
        if (c < U'0' || c > U'9') return false;
    for (char32_t c : qualifier)
        if (!((c >= U'a' && c <= U'z') || c == U',')) return false;
    return true;
}

constexpr Text node_lead = U"node: { title: \"", node_middle = U" label: \"", node_shape = U" shape : ";
constexpr Text edge_lead = U"edge: { sourcename: \"", edge_middle = U" targetname: \"", edge_label = U" label: \"";

}  // namespace

PyObject* read_call_graph(PyObject*, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "read_call_graph() takes the file's text");
        return nullptr;
    }
    Py_UCS4* copy = PyUnicode_AsUCS4Copy(arg);
    if (copy == nullptr) return nullptr;
    std::unique_ptr<Py_UCS4, void (*)(void*)> owned(copy, PyMem_Free);
    Text text(reinterpret_cast<const char32_t*>(copy), static_cast<std::size_t>(PyUnicode_GET_LENGTH(arg)));
    Ref functions = Ref::steal(PyList_New(0)), calls = Ref::steal(PyList_New(0));
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    if (!functions || !calls || !empty) return nullptr;
    LineMatcher nodes(node_lead, node_middle, node_shape, true), edges(edge_lead, edge_middle, edge_label, false);
    bool read = nodes.each(text, [&](const Fields& f) -> bool {
        if (f.third && text.substr(f.start[2], f.end[2] - f.start[2]) == U"ellipse") return true;  // declared only
        std::u32string title = unescaped(text.substr(f.start[0], f.end[0] - f.start[0]));
        std::u32string label = unescaped(text.substr(f.start[1], f.end[1] - f.start[1]));
        std::vector<Text> lines;
        Text rest(label);
        for (std::size_t cut; (cut = rest.find(U'\n')) != Text::npos; rest = rest.substr(cut + 1))
            lines.push_back(rest.substr(0, cut));
        lines.push_back(rest);
        Text digits, qualifier;
        if (lines.size() < 3 || !frame_of(lines.back(), digits, qualifier)) return true;
        Text whole(title), name = whole;
        bool local = false;
        std::size_t colon = whole.rfind(U':');
        if (colon != Text::npos && !(whole.substr(0, 2) == U"_Z")) {
            Text source = whole.substr(0, colon);
            local = !source.empty() && source.find(U'.') != Text::npos;  // "util.c:helper"
            if (local) name = whole.substr(colon + 1);
        }
        std::u32string number(digits);
        Ref key = make_text(whole), shown_name = make_text(name), shown = make_text(lines[0]);
        Ref digit_text = make_text(number);
        Ref frame = digit_text ? Ref::steal(PyLong_FromUnicodeObject(digit_text.get(), 10)) : Ref();
        Ref kind = make_text(qualifier);
        Ref where = lines.size() > 1 ? make_text(lines[1]) : Ref::borrow(empty.get());
        if (!key || !shown_name || !shown || !frame || !kind || !where) return false;
        Ref row = Ref::steal(PyTuple_Pack(7, key.get(), shown_name.get(), shown.get(), frame.get(), kind.get(), where.get(),
                                          local ? Py_True : Py_False));
        return row && PyList_Append(functions.get(), row.get()) == 0;
    });
    if (!read) return nullptr;
    read = edges.each(text, [&](const Fields& f) -> bool {
        Ref source = make_text(unescaped(text.substr(f.start[0], f.end[0] - f.start[0])));
        Ref target = make_text(unescaped(text.substr(f.start[1], f.end[1] - f.start[1])));
        Ref site = f.third ? make_text(unescaped(text.substr(f.start[2], f.end[2] - f.start[2]))) : Ref::borrow(empty.get());
        if (!source || !target || !site) return false;
        Ref row = Ref::steal(PyTuple_Pack(3, source.get(), target.get(), site.get()));
        return row && PyList_Append(calls.get(), row.get()) == 0;
    });
    if (!read) return nullptr;
    return PyTuple_Pack(2, functions.get(), calls.get());
}

}  // namespace tarnwick
