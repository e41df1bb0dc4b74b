// read_iar_xlink_map(): the rows of an IAR XLINK map, line by line: the header box, the titled
// parts ("*  MODULE MAP  *"), each module's segment parts and entries, the segments in address
// order, and the closing totals ("8 340 bytes of CODE memory (+ 61 absolute )", "Errors: none").
#include "fast/iar_xlink_map.hpp"

#include "fast/link_map.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"

#include <algorithm>
#include <cstdint>
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

enum class Part { other, modules, segments };

constexpr string_view segment_shape = "expected a row of the segments in address order 'SEGMENT  START - END  SIZE  TYPE  ALIGN'";

bool word(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

bool contains(string_view text, string_view part) { return text.find(part) != string_view::npos; }

// "8 340": digits in groups; false without a digit
bool grouped(string_view text, std::uint64_t& value) {
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    return map_text::number(digits, 10, value);
}

class Reader {
public:
    bool start() {
        header_ = Ref::steal(PyList_New(0));
        segments_ = Ref::steal(PyList_New(0));
        parts_ = Ref::steal(PyList_New(0));
        symbols_ = Ref::steal(PyList_New(0));
        totals_ = Ref::steal(PyDict_New());
        return header_ && segments_ && parts_ && symbols_ && totals_ && symbol_.prepare();
    }

    bool line(string_view raw, long number) {
        if (!raw.empty() && raw.front() == '#') return append(header_.get(), text(raw));
        string_view stripped = strip_end(strip_start(raw));
        if (stripped.size() > 2 && stripped.front() == '*' && stripped.back() == '*') {
            string_view title = stripped;
            while (!title.empty() && (title.front() == '*' || title.front() == ' ')) title.remove_prefix(1);
            while (!title.empty() && (title.back() == '*' || title.back() == ' ')) title.remove_suffix(1);
            if (!title.empty())
                part_ = title == "MODULE MAP" ? Part::modules : title == "SEGMENTS IN ADDRESS ORDER" ? Part::segments
                                                                                                     : Part::other;
            return true;
        }
        if (contains(raw, "bytes of")) {
            int row = total(raw);
            if (row != 0) return row > 0;
        }
        if (starts_with(stripped, "Errors:")) {
            ended_ = true;
            part_ = Part::other;
            return true;
        }
        if (part_ == Part::modules) return module_line(raw, stripped, number);
        if (part_ == Part::segments) return segment_line(raw, stripped, number);
        return true;
    }

    PyObject* result() noexcept {
        return Py_BuildValue("(OOOOOO)", header_.get(), segments_.get(), parts_.get(), symbols_.get(), totals_.get(),
                             ended_ ? Py_True : Py_False);
    }

    std::optional<Failure> failure;

private:
    static bool append(PyObject* list, PyObject* item) {
        Ref held = Ref::steal(item);
        return held && PyList_Append(list, held.get()) == 0;
    }


    // A hex figure; one past 64 bits is a place no memory has.
    bool hex(string_view token, std::uint64_t& value, long number) {
        while (token.size() > 1 && token.front() == '0') token.remove_prefix(1);
        if (map_text::number(token, 16, value)) return true;
        failure = Failure{"a figure of the map (" + std::string(token) + ") lies beyond the 64-bit address space", number};
        return false;
    }

    // "   8 340 bytes of CODE  memory (+ 61 absolute )": 1 for a total, 0 for a line that is none,
    // -1 with an exception set
    int total(string_view raw) {
        string_view rest = strip_start(raw);
        std::size_t at = rest.find(" bytes of ");
        if (at == string_view::npos) return 0;
        string_view figure = slice(rest, 0, at);
        for (char c : figure)
            if (c != ' ' && (c < '0' || c > '9')) return 0;
        std::uint64_t bytes = 0;
        if (!grouped(figure, bytes)) return 0;  // blanks alone are no figure
        Cursor cursor(slice(rest, at + 10));
        string_view memory = cursor.token();
        std::size_t length = 0;
        while (length < memory.size() && word(memory[length])) ++length;
        if (length == 0 || length != memory.size() || cursor.blanks() == 0 || !starts_with(cursor.rest(), "memory"))
            return 0;  // what follows ("(+ 61 absolute )") is left out of the totals, as XLINK leaves it
        std::string upper(memory);
        for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        Ref key = Ref::steal(text(upper));
        Ref value = key ? Ref::steal(PyLong_FromUnsignedLongLong(bytes)) : Ref();
        return value && PyDict_SetItem(totals_.get(), key.get(), value.get()) == 0 ? 1 : -1;
    }

    bool module_line(string_view raw, string_view stripped, long number) {
        if (contains(stripped, "NAME :")) {
            if (starts_with(stripped, "FILE NAME : ")) {
                module_ = base_name(strip_end(slice(stripped, 12)));
                has_module_ = true;
                segment_ = {};
                has_segment_ = false;
                return true;
            }
            bool library = starts_with(stripped, "LIBRARY MODULE, NAME : ");
            if (library || starts_with(stripped, "PROGRAM MODULE, NAME : ")) {
                if (library) {
                    module_ = strip_end(slice(stripped, 23));
                    has_module_ = true;
                }
                has_segment_ = false;
                return true;
            }
        }
        std::size_t located = raw.find("segment, address: ");
        while (located != string_view::npos) {
            std::uint64_t start = 0, size = 0;
            int found = segment_part(slice(raw, located + 18), start, size, number);
            if (found < 0) return true;
            if (found > 0) {
                if (!has_segment_) break;
                Ref module = has_module_ && !module_.empty() ? Ref::steal(text(module_)) : Ref::borrow(Py_None);
                Ref segment = module ? Ref::steal(text(segment_)) : Ref();
                return segment && append(parts_.get(), map_reader::tuple_of({PyLong_FromUnsignedLongLong(start),
                                                                             PyLong_FromUnsignedLongLong(size),
                                                                             segment.release(), module.release()})
                                                           .release());
            }
            located = raw.find("segment, address: ", located + 1);
        }
        if (has_segment_ && entry(raw, number)) return !PyErr_Occurred();
        if (failure) return true;
        if (!raw.empty() && raw.front() != ' ' &&
            (stripped.empty() || (stripped.front() != '-' && stripped.front() != '*' && stripped.front() != '='))) {
            segment_ = without_was(stripped);
            has_segment_ = true;
        }
        return true;
    }

    // "0000 - 01D1 (0x1d2 bytes)" after "segment, address: ": 1 and the figures, 0 for no match,
    // -1 for figures past 64 bits (failure set)
    int segment_part(string_view text, std::uint64_t& start, std::uint64_t& size, long number) {
        std::size_t at = 0;
        while (at < text.size() && digit_value(text[at], 16) >= 0) ++at;
        if (at == 0) return 0;
        string_view first = slice(text, 0, at);
        string_view rest = slice(text, at);
        if (starts_with(rest, " - ")) {
            std::size_t end = 3;
            while (end < rest.size() && digit_value(rest[end], 16) >= 0) ++end;
            if (end > 3 && starts_with(slice(rest, end), " (0x")) rest = slice(rest, end);
        }
        if (!starts_with(rest, " (0x")) return 0;
        std::size_t digits = 4;
        while (digits < rest.size() && digit_value(rest[digits], 16) >= 0) ++digits;
        if (digits == 4 || !starts_with(slice(rest, digits), " bytes)")) return 0;
        if (!hex(first, start, number) || !hex(slice(rest, 4, digits - 4), size, number)) return -1;
        return 1;
    }

    // "           NAME    ADDRESS ...": six blanks or more, a name, four hex digits or more
    bool entry(string_view raw, long number) {
        Cursor cursor(raw);
        if (cursor.blanks() < 6) return false;
        string_view name = cursor.token();
        if (cursor.blanks() == 0 || name == "ENTRY" || name == "=====") return false;
        string_view rest = cursor.rest();
        std::size_t at = 0;
        while (at < rest.size() && digit_value(rest[at], 16) >= 0) ++at;
        if (at < 4 || (at < rest.size() && word(rest[at]))) return false;
        std::uint64_t address = 0;
        if (!hex(slice(rest, 0, at), address, number)) return true;
        symbol_.append(symbols_.get(), name, address);  // an exception set is seen by the caller
        return true;
    }

    // "NAME (was OTHER)" -> "NAME"
    static string_view without_was(string_view stripped) {
        if (stripped.empty() || stripped.back() != ')') return stripped;
        std::size_t at = stripped.find(" (was ", 1);
        return at == string_view::npos ? stripped : slice(stripped, 0, at);
    }

    bool segment_line(string_view raw, string_view stripped, long number) {
        if (starts_with(raw, "SEGMENT") || starts_with(raw, "=======") || stripped.empty()) return true;
        if (is_space(raw.front())) {  // "      0140 - 0141   2": another range of the segment above
            tokens_of(raw, tokens_);
            const auto& t = tokens_;
            if (t.size() == 4 && has_last_ && all_digits(t[0], 16) && t[1] == "-" && all_digits(t[2], 16) && all_digits(t[3], 16)) {
                std::uint64_t start = 0, size = 0;
                if (!hex(t[0], start, number) || !hex(t[3], size, number)) return true;
                return add_segment(last_, start, size);
            }
            failure = Failure{std::string(segment_shape), number};
            return true;
        }
        // the name may hold single blanks: the shortest that leaves a row of figures after two
        for (std::size_t end = 1; end < raw.size(); ++end) {
            if (is_space(raw[end - 1]) || !is_space(raw[end]) || end + 1 >= raw.size() || !is_space(raw[end + 1]))
                continue;
            std::uint64_t start = 0, size = 0;
            int row = figures(slice(raw, end), start, size, number);
            if (row < 0) return true;
            if (row > 0) {
                last_ = slice(raw, 0, end);
                has_last_ = true;
                return add_segment(last_, start, size);
            }
        }
        failure = Failure{std::string(segment_shape), number};
        return true;
    }

    // "  START [- END] [SIZE] [TYPE ALIGN]": 1 and the start and size (0 without an end), 0 for
    // no match, -1 for figures past 64 bits (failure set)
    int figures(string_view rest, std::uint64_t& start, std::uint64_t& size, long number) {
        tokens_of(rest, tokens_);
        const auto& t = tokens_;
        std::size_t n = t.size();
        if (n == 0 || t[0].size() < 2 || !all_digits(t[0], 16)) return 0;
        auto typed = [&](std::size_t at) {  // "rel  0" closing the row
            return at + 2 == n && t[at].size() == 3 && std::all_of(t[at].begin(), t[at].end(), [](char c) {
                       return c >= 'a' && c <= 'z';
                   }) && all_digits(t[at + 1], 10);
        };
        // as the row's optional parts are tried: an end, then a size, then a type, each first present
        for (bool with_end : {true, false}) {
            if (with_end && (n < 3 || t[1] != "-" || !all_digits(t[2], 16))) continue;
            std::size_t after_end = with_end ? 3 : 1;
            for (bool with_size : {true, false}) {
                if (with_size && (after_end >= n || !all_digits(t[after_end], 16))) continue;
                std::size_t after_size = after_end + (with_size ? 1 : 0);
                if (after_size != n && !typed(after_size)) continue;
                if (!hex(t[0], start, number)) return -1;
                size = 0;
                if (with_end && with_size && !hex(t[after_end], size, number)) return -1;
                return 1;
            }
        }
        return 0;
    }

    bool add_segment(string_view name, std::uint64_t start, std::uint64_t size) {
        return append(segments_.get(), Py_BuildValue("(NKK)", text(name), static_cast<unsigned long long>(start),
                                                     static_cast<unsigned long long>(size)));
    }

    Part part_ = Part::other;
    bool ended_ = false, has_module_ = false, has_segment_ = false, has_last_ = false;
    string_view module_, segment_, last_;
    std::vector<string_view> tokens_;
    map_reader::GlobalSymbols symbol_;
    Ref header_, segments_, parts_, symbols_, totals_;
};

}  // namespace

PyObject* read_iar_xlink_map(PyObject*, PyObject* args) {
    return map_reader::read_map<Reader>(args, "y*:read_iar_xlink_map");
}

}  // namespace tarnwick
