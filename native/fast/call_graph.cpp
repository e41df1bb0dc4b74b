// GCC's -fcallgraph-info files (VCG): the node and edge lines a unit's stack check needs, read in
// one pass each over the text, as the two patterns of toolchains/stack_files.py would find them
// (non-overlapping matches, each starting a line), and each function's frame read from its label.
#include "fast/call_graph.hpp"

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnwick {

namespace {

// An ASCII pattern piece, compared with text of any width.
using Word = std::string_view;

// A character of \w as the interpreter's pattern engine tells one in a str pattern.
bool word_character(Py_UCS4 c) noexcept { return c == '_' || Py_UNICODE_ISALNUM(c); }

// The text of the file as the interpreter holds it (one, two or four bytes a character), read
// in place: a large build has hundreds of stack files.
template <typename C>
class Reader {
public:
    using Text = std::basic_string_view<C>;
    static constexpr std::size_t npos = Text::npos;
    static constexpr std::size_t most_digits = 256;  // as support/figures.py reads figures

    Reader(const C* data, std::size_t size, int kind) : text_(data, size), kind_(kind) {}

    PyObject* read() {
        Ref functions = Ref::steal(PyList_New(0)), calls = Ref::steal(PyList_New(0));
        empty_ = Ref::steal(PyUnicode_FromStringAndSize("", 0));
        if (!functions || !calls || !empty_) return nullptr;
        bool read = each("node: { title: \"", " label: \"", " shape : ", true, [&](const Fields& f) {
            return node(f, functions.get());
        });
        if (!read) return nullptr;
        Ref caller;
        Text caller_text;
        read = each("edge: { sourcename: \"", " targetname: \"", " label: \"", false, [&](const Fields& f) {
            if (!caller || part(f, 0) != caller_text) {  // a unit's calls come by caller: each made once
                caller_text = part(f, 0);
                caller = unescaped(caller_text);
            }
            Ref source = Ref::borrow(caller.get()), target = unescaped(part(f, 1));
            Ref site = f.third ? unescaped(part(f, 2)) : Ref::borrow(empty_.get());
            if (!source || !target || !site) return false;
            Ref row = Ref::steal(PyTuple_Pack(3, source.get(), target.get(), site.get()));
            return row && PyList_Append(calls.get(), row.get()) == 0;
        });
        if (!read) return nullptr;
        return PyTuple_Pack(2, functions.get(), calls.get());
    }

private:
    struct Fields {
        std::size_t start[3], end[3];
        bool third;
    };

    bool starts(std::size_t at, Word with) const noexcept {
        if (at > text_.size() || text_.size() - at < with.size()) return false;
        for (std::size_t i = 0; i < with.size(); ++i)
            if (static_cast<Py_UCS4>(text_[at + i]) != static_cast<unsigned char>(with[i])) return false;
        return true;
    }

    std::size_t find(C c, std::size_t from) const noexcept { return from > text_.size() ? npos : text_.find(c, from); }

    Text part(const Fields& f, int i) const noexcept { return text_.substr(f.start[i], f.end[i] - f.start[i]); }

    // `LEAD "f1" MIDDLE "f2"`, then `OPTION \w+` (word) or `OPTION "f3"`, or neither, then ` }`,
    // starting at the line start `at`.
    bool match(std::size_t at, Word lead, Word middle, Word option, bool word, Fields& f, std::size_t& after) const {
        if (!starts(at, lead)) return false;
        std::size_t p = at + lead.size(), e = find(C('"'), p);
        if (e == npos) return false;
        f.start[0] = p, f.end[0] = e;
        p = e + 1;
        if (!starts(p, middle)) return false;
        p += middle.size();
        e = find(C('"'), p);
        if (e == npos) return false;
        f.start[1] = p, f.end[1] = e;
        p = e + 1;
        f.third = false;
        if (starts(p, option)) {
            std::size_t q = p + option.size(), r = q;
            bool found;
            if (word) {
                while (r < text_.size() && word_character(static_cast<Py_UCS4>(text_[r]))) ++r;
                found = r > q;
            } else {
                r = find(C('"'), q);
                found = r != npos;
            }
            std::size_t close = word ? r : r + 1;
            if (found && starts(close, " }")) {
                f.third = true;
                f.start[2] = q, f.end[2] = r;
                after = close + 2;
                return true;
            }
        }
        if (!starts(p, " }")) return false;  // the optional part left out
        after = p + 2;
        return true;
    }

    // Every match, each starting a line, the next looked for after the last one ends.
    template <typename Found>
    bool each(Word lead, Word middle, Word option, bool word, Found&& found) const {
        std::size_t at = 0;
        while (at < text_.size()) {
            Fields f;
            std::size_t after = 0;
            if (match(at, lead, middle, option, word, f, after)) {
                if (!found(f)) return false;
                at = after;  // ends with '}': the next match starts a later line
            }
            std::size_t next = find(C('\n'), at);
            if (next == npos) break;
            at = next + 1;
        }
        return true;
    }

    // `\n` written as two characters, then `\\`, each replaced in one pass from the left, as two
    // str.replace calls do; into `into` (its room kept from one field to the next), or the text
    // itself where it holds no backslash.
    static Text unescape(Text text, std::vector<C>& into) {
        if (text.find(C('\\')) == npos) return text;
        into.clear();
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == C('\\') && i + 1 < text.size() && text[i + 1] == C('n')) {
                into.push_back(C('\n'));
                ++i;
            } else {
                into.push_back(text[i]);
            }
        }
        std::size_t kept = 0;  // the second pass in place: it never writes ahead of what it reads
        for (std::size_t i = 0; i < into.size(); ++i) {
            into[kept++] = into[i];
            if (into[i] == C('\\') && i + 1 < into.size() && into[i + 1] == C('\\')) ++i;
        }
        into.resize(kept);
        return Text(into.data(), into.size());
    }

    Ref make(Text text) const noexcept {
        return Ref::steal(PyUnicode_FromKindAndData(kind_, text.data(), static_cast<Py_ssize_t>(text.size())));
    }

    Ref unescaped(Text text) { return make(unescape(text, plain_)); }

    // "48 bytes (static)" read from the end: (digits, qualifier), or false.
    static bool frame_of(Text line, Text& digits, Text& qualifier) noexcept {
        static constexpr C marker[] = {C(' '), C('b'), C('y'), C('t'), C('e'), C('s'), C(' '), C('(')};
        std::size_t cut = line.rfind(Text(marker, 8));
        if (cut == npos) return false;
        Text rest = line.substr(cut + 8);
        if (rest.empty() || rest.back() != C(')')) return false;
        qualifier = rest.substr(0, rest.size() - 1);
        Text head = line.substr(0, cut);
        std::size_t space = head.rfind(C(' '));
        digits = space == npos ? head : head.substr(space + 1);
        if (digits.empty() || qualifier.empty()) return false;
        for (C c : digits)
            if (c < C('0') || c > C('9')) return false;
        for (C c : qualifier)
            if (!((c >= C('a') && c <= C('z')) || c == C(','))) return false;
        return true;
    }

    bool node(const Fields& f, PyObject* functions) {
        static constexpr C ellipse[] = {C('e'), C('l'), C('l'), C('i'), C('p'), C('s'), C('e')};
        if (f.third && part(f, 2) == Text(ellipse, 7)) return true;  // declared here, defined elsewhere
        Text title = unescape(part(f, 0), plain_), label = unescape(part(f, 1), label_);
        std::vector<Text>& lines = lines_;
        lines.clear();
        Text rest = label;
        for (std::size_t cut; (cut = rest.find(C('\n'))) != npos; rest = rest.substr(cut + 1))
            lines.push_back(rest.substr(0, cut));
        lines.push_back(rest);
        Text digits, qualifier;
        if (lines.size() < 3 || !frame_of(lines.back(), digits, qualifier)) return true;
        Text name = title;
        bool local = false;
        std::size_t colon = title.rfind(C(':'));
        bool mangled = title.size() >= 2 && title[0] == C('_') && title[1] == C('Z');
        if (colon != npos && !mangled) {
            Text source = title.substr(0, colon);
            local = !source.empty() && source.find(C('.')) != npos;  // "util.c:helper"
            if (local) name = title.substr(colon + 1);
        }
        // a C function's title, name and shown name are one text, and a unit's frames share a few
        // qualifiers: each made once
        Ref key = make(title);
        Ref shown_name = name.size() == title.size() ? Ref::borrow(key.get()) : make(name);
        Ref shown = lines[0] == name ? Ref::borrow(shown_name.get()) : make(lines[0]);
        Ref frame = frame_number(digits);
        Ref kind = qualifier_text(qualifier), where = make(lines[1]);
        if (!key || !shown_name || !shown || !frame || !kind || !where) return false;
        Ref row = Ref::steal(PyTuple_Pack(7, key.get(), shown_name.get(), shown.get(), frame.get(), kind.get(),
                                          where.get(), local ? Py_True : Py_False));
        return row && PyList_Append(functions, row.get()) == 0;
    }

    // A frame's digits as an int: in a machine word where they fit, else read as the interpreter
    // reads them, up to the digits no build's figure has (the interpreter refuses thousands).
    Ref frame_number(Text digits) const noexcept {
        if (digits.size() <= 18) {
            long long value = 0;
            for (C c : digits) value = value * 10 + static_cast<long long>(c - C('0'));
            return Ref::steal(PyLong_FromLongLong(value));
        }
        std::size_t zeros = 0;
        while (zeros + 1 < digits.size() && digits[zeros] == C('0')) ++zeros;
        if (digits.size() - zeros > most_digits) {
            std::string count = std::to_string(digits.size() - zeros);
            for (std::size_t at = count.size(); at > 3; at -= 3) count.insert(at - 3, ",");
            PyErr_Format(PyExc_ValueError, "a frame of %s digits, more than any build has", count.c_str());
            return Ref();
        }
        Ref number = make(digits);
        return number ? Ref::steal(PyLong_FromUnicodeObject(number.get(), 10)) : Ref();
    }

    Ref qualifier_text(Text qualifier) {
        for (auto& [text, made] : qualifiers_)
            if (Text(text.data(), text.size()) == qualifier) return Ref::borrow(made.get());
        Ref made = make(qualifier);
        if (made && qualifiers_.size() < 8)
            qualifiers_.emplace_back(std::vector<C>(qualifier.begin(), qualifier.end()), Ref::borrow(made.get()));
        return made;
    }

    Text text_;
    int kind_;
    Ref empty_;
    std::vector<std::pair<std::vector<C>, Ref>> qualifiers_;
    std::vector<C> plain_, label_;  // a field's text with its escapes undone
    std::vector<Text> lines_;  // a label's lines
};

}  // namespace

PyObject* read_call_graph(PyObject*, PyObject* arg) {
    if (!PyUnicode_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "read_call_graph() takes the file's text");
        return nullptr;
    }
    const void* data = PyUnicode_DATA(arg);
    auto size = static_cast<std::size_t>(PyUnicode_GET_LENGTH(arg));
    switch (PyUnicode_KIND(arg)) {
        case PyUnicode_1BYTE_KIND:
            return Reader<Py_UCS1>(static_cast<const Py_UCS1*>(data), size, PyUnicode_1BYTE_KIND).read();
        case PyUnicode_2BYTE_KIND:
            return Reader<Py_UCS2>(static_cast<const Py_UCS2*>(data), size, PyUnicode_2BYTE_KIND).read();
        default:
            return Reader<Py_UCS4>(static_cast<const Py_UCS4*>(data), size, PyUnicode_4BYTE_KIND).read();
    }
}

}  // namespace tarnwick
