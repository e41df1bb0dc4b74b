// read_stored_report(): a stored JSON report read in one scan of its bytes, its symbols straight into
// the byte tables a comparison reads (a 24 MB report holds 120,000 records json.loads would make and
// the tables walk again). A text it does not take comes back as None: the caller decodes it whole,
// so every answer and message stays that of json.loads.
#include "fast/stored_report.hpp"

#include "fast/footprint_tables.hpp"
#include "support/ref.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tarnwick {

namespace {

// The text is not taken: the caller decodes it as before (and says what is wrong with it).
struct Declined {};
// A Python exception is set.
struct Raised {};

// Far deeper than any report nests; well short of where json.loads would stop with RecursionError.
constexpr int depth_limit = 100;

Ref checked(PyObject* object) {
    if (object == nullptr) throw Raised{};
    return Ref::steal(object);
}

int hex_digit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, unsigned long code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// A string's text between its quotes, as written (escapes not yet decoded).
struct RawString {
    std::string_view raw;
    bool escaped = false;
    bool ascii = true;
};

// A number's text, checked against JSON's grammar.
struct RawNumber {
    std::string_view text;
    bool is_float = false;
};

// JSON as json.loads reads it (strict: no control characters in strings, no NaN or Infinity).
class Scanner {
public:
    // `origin`: where the offsets count from (the text's first byte, before any BOM)
    Scanner(const char* begin, const char* end, const char* origin = nullptr) noexcept
        : at_(begin), end_(end), begin_(origin != nullptr ? origin : begin) {}

    void skip_space() noexcept {
        while (at_ < end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n' || *at_ == '\r')) ++at_;
    }
    char peek() const {
        if (at_ == end_) throw Declined{};
        return *at_;
    }
    void expect(char c) {
        if (at_ == end_ || *at_ != c) throw Declined{};
        ++at_;
    }
    bool at_end() const noexcept { return at_ == end_; }
    std::size_t offset() const noexcept { return static_cast<std::size_t>(at_ - begin_); }

    // After a member or an item: true when another follows, false at `close`.
    bool next(char close) {
        skip_space();
        char c = peek();
        ++at_;
        if (c == ',') {
            skip_space();
            return true;
        }
        if (c == close) return false;
        throw Declined{};
    }
    // After the opening bracket: true when the container holds anything.
    bool opens(char close) {
        skip_space();
        if (peek() == close) {
            ++at_;
            return false;
        }
        return true;
    }

    // An object's members: `each(key)` with the scanner at the member's value, which it reads.
    template <class Each>
    void members(Each&& each) {
        expect('{');
        if (!opens('}')) return;
        do {
            RawString key = string();
            skip_space();
            expect(':');
            skip_space();
            each(key);
        } while (next('}'));
    }

    // An array's items: `each()` with the scanner at the item, which it reads.
    template <class Each>
    void items(Each&& each) {
        expect('[');
        if (!opens(']')) return;
        do each();
        while (next(']'));
    }

    RawString string() {
        expect('"');
        RawString result;
        const char* start = at_;
        for (;;) {
            if (at_ == end_) throw Declined{};
            unsigned char c = static_cast<unsigned char>(*at_);
            if (c == '"') break;
            if (c < 0x20) throw Declined{};
            if (c == '\\') {
                result.escaped = true;
                escape(nullptr);
            } else if (c < 0x80) {
                ++at_;
            } else {
                result.ascii = false;
                utf8_sequence();
            }
        }
        result.raw = std::string_view(start, static_cast<std::size_t>(at_ - start));
        ++at_;
        return result;
    }

    // The decoded text of a string, as UTF-8.
    static std::string decoded(const RawString& string) {
        if (!string.escaped) return std::string(string.raw);
        std::string out;
        out.reserve(string.raw.size());
        Scanner inner(string.raw.data(), string.raw.data() + string.raw.size());
        while (!inner.at_end()) {
            if (*inner.at_ == '\\') {
                inner.escape(&out);
            } else {
                out += *inner.at_;
                ++inner.at_;
            }
        }
        return out;
    }

    static Ref text(const RawString& string) {
        if (string.ascii && !string.escaped) {
            Ref made = checked(PyUnicode_New(static_cast<Py_ssize_t>(string.raw.size()), 127));
            std::memcpy(PyUnicode_DATA(made.get()), string.raw.data(), string.raw.size());
            return made;
        }
        std::string utf8 = decoded(string);
        return checked(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), nullptr));
    }

    RawNumber number() {
        const char* start = at_;
        RawNumber result;
        if (at_ < end_ && *at_ == '-') ++at_;
        if (at_ == end_ || !digit(*at_)) throw Declined{};
        if (*at_ == '0') {
            ++at_;
        } else {
            while (at_ < end_ && digit(*at_)) ++at_;
        }
        if (at_ < end_ && *at_ == '.') {
            ++at_;
            if (at_ == end_ || !digit(*at_)) throw Declined{};
            while (at_ < end_ && digit(*at_)) ++at_;
            result.is_float = true;
        }
        if (at_ < end_ && (*at_ == 'e' || *at_ == 'E')) {
            ++at_;
            if (at_ < end_ && (*at_ == '+' || *at_ == '-')) ++at_;
            if (at_ == end_ || !digit(*at_)) throw Declined{};
            while (at_ < end_ && digit(*at_)) ++at_;
            result.is_float = true;
        }
        result.text = std::string_view(start, static_cast<std::size_t>(at_ - start));
        return result;
    }

    static Ref number_object(const RawNumber& number) {
        std::string_view text = number.text;
        if (!number.is_float) {
            bool negative = text[0] == '-';
            std::string_view digits = negative ? text.substr(1) : text;
            if (digits.size() <= 18) {
                long long value = 0;
                for (char c : digits) value = value * 10 + (c - '0');
                return checked(PyLong_FromLongLong(negative ? -value : value));
            }
            std::string copy(text);
            PyObject* made = PyLong_FromString(copy.c_str(), nullptr, 10);
            if (made == nullptr) {
                // int() refuses it (too many digits): json.loads says so, in its own words
                if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw Raised{};
                PyErr_Clear();
                throw Declined{};
            }
            return Ref::steal(made);
        }
        std::string copy(text);
        char* stop = nullptr;
        double value = PyOS_string_to_double(copy.c_str(), &stop, nullptr);
        if (value == -1.0 && PyErr_Occurred()) throw Raised{};
        if (stop != copy.c_str() + copy.size()) throw Declined{};
        return checked(PyFloat_FromDouble(value));
    }

    // One value, made into the object json.loads makes of it.
    Ref value(int depth) {
        char c = peek();
        if (c == '"') return text(string());
        if (c == '{') {
            if (depth >= depth_limit) throw Declined{};
            Ref object = checked(PyDict_New());
            members([&](const RawString& key) { set_member(object.get(), key, value(depth + 1)); });
            return object;
        }
        if (c == '[') {
            if (depth >= depth_limit) throw Declined{};
            Ref list = checked(PyList_New(0));
            items([&] {
                Ref item = value(depth + 1);
                if (PyList_Append(list.get(), item.get()) != 0) throw Raised{};
            });
            return list;
        }
        if (c == '-' || digit(c)) return number_object(number());
        return Ref::borrow(literal());
    }

    // object[key] = value, the last of a key given twice kept as json.loads keeps it
    static void set_member(PyObject* object, const RawString& key, Ref value) {
        Ref name = text(key);
        if (PyDict_SetItem(object, name.get(), value.get()) != 0) throw Raised{};
    }

    // One value checked, nothing made of it.
    void skip(int depth) {
        char c = peek();
        if (c == '"') {
            string();
        } else if (c == '{') {
            if (depth >= depth_limit) throw Declined{};
            members([&](const RawString&) { skip(depth + 1); });
        } else if (c == '[') {
            if (depth >= depth_limit) throw Declined{};
            items([&] { skip(depth + 1); });
        } else if (c == '-' || digit(c)) {
            RawNumber written = number();
            // int() may refuse a long one (sys.set_int_max_str_digits, at least 640): json.loads' error
            if (!written.is_float && written.text.size() > 600) number_object(written);
        } else {
            literal();
        }
    }

private:
    static bool digit(char c) noexcept { return c >= '0' && c <= '9'; }

    PyObject* literal() {
        auto word = [this](std::string_view expected) {
            if (static_cast<std::size_t>(end_ - at_) < expected.size() ||
                std::string_view(at_, expected.size()) != expected)
                return false;
            at_ += expected.size();
            return true;
        };
        if (word("true")) return Py_True;
        if (word("false")) return Py_False;
        if (word("null")) return Py_None;
        throw Declined{};  // NaN, Infinity and anything else
    }

    unsigned hex4() {
        if (end_ - at_ < 4) throw Declined{};
        unsigned code = 0;
        for (int i = 0; i < 4; ++i) {
            int d = hex_digit(at_[i]);
            if (d < 0) throw Declined{};
            code = code * 16 + static_cast<unsigned>(d);
        }
        at_ += 4;
        return code;
    }

    // At a backslash: one escape checked (a surrogate pair whole), decoded into `out` if given.
    void escape(std::string* out) {
        ++at_;
        if (at_ == end_) throw Declined{};
        char c = *at_++;
        char plain;
        switch (c) {
            case '"': plain = '"'; break;
            case '\\': plain = '\\'; break;
            case '/': plain = '/'; break;
            case 'b': plain = '\b'; break;
            case 'f': plain = '\f'; break;
            case 'n': plain = '\n'; break;
            case 'r': plain = '\r'; break;
            case 't': plain = '\t'; break;
            case 'u': {
                unsigned long code = hex4();
                if (code >= 0xDC00 && code <= 0xDFFF) throw Declined{};  // a lone low surrogate
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (end_ - at_ < 6 || at_[0] != '\\' || at_[1] != 'u') throw Declined{};  // a lone high one
                    at_ += 2;
                    unsigned long low = hex4();
                    if (low < 0xDC00 || low > 0xDFFF) throw Declined{};
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                if (out != nullptr) append_utf8(*out, code);
                return;
            }
            default: throw Declined{};
        }
        if (out != nullptr) *out += plain;
    }

    // At a byte above 0x7F: one UTF-8 sequence as Python's strict decoder takes it.
    void utf8_sequence() {
        auto byte = [this](std::ptrdiff_t i) { return static_cast<unsigned char>(at_[i]); };
        unsigned char lead = byte(0);
        std::ptrdiff_t length;
        unsigned char low = 0x80, high = 0xBF;  // the second byte's range
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            throw Declined{};
        }
        if (end_ - at_ < length) throw Declined{};
        if (byte(1) < low || byte(1) > high) throw Declined{};
        for (std::ptrdiff_t i = 2; i < length; ++i)
            if (byte(i) < 0x80 || byte(i) > 0xBF) throw Declined{};
        at_ += length;
    }

    const char* at_;
    const char* end_;
    const char* begin_;
};

// The members of a symbol object, as the tables read them; None where it lacks one.
class ScannedMembers final : public SymbolMembers {
public:
    void clear() noexcept {
        for (Ref& slot : slots_) slot = Ref();
    }
    Ref& slot(Member member) noexcept { return slots_[static_cast<int>(member)]; }
    Ref read(Member member) noexcept override {
        const Ref& held = slots_[static_cast<int>(member)];
        return Ref::borrow(held ? held.get() : Py_None);
    }

private:
    Ref slots_[10];
};

// What a symbol's member is to the tables: one of theirs (and whether its texts repeat, so are
// made once each), or one they do not read.
struct MemberKind {
    bool read = false;
    bool repeated = false;
    SymbolMembers::Member member = SymbolMembers::Member::name;
};

MemberKind member_kind(std::string_view key) noexcept {
    using Member = SymbolMembers::Member;
    static constexpr struct {
        std::string_view key;
        Member member;
        bool repeated;
    } known[] = {{"name", Member::name, false},           {"size", Member::size, false},
                 {"alias_of", Member::alias_of, false},   {"size_source", Member::size_source, true},
                 {"size_derived", Member::size_derived, false}, {"binding", Member::binding, true},
                 {"object_file", Member::object_file, true}, {"archive", Member::archive, true},
                 {"section", Member::section, true},      {"address", Member::address, false}};
    for (const auto& entry : known)
        if (entry.key == key) return MemberKind{true, entry.repeated, entry.member};
    return MemberKind{};
}

class StoredReport {
public:
    StoredReport(Scanner& scanner, PyObject* origin_of) : scan_(scanner), tables_(origin_of) {}

    // (document, symbol_tables, input_spans)
    PyObject* read() {
        if (!tables_.ready()) throw Raised{};
        Ref document = checked(PyDict_New());
        Ref spans = checked(PyList_New(0));
        Ref tables;
        bool symbols_seen = false, sections_seen = false;
        scan_.skip_space();
        scan_.members([&](const RawString& raw) {
            std::string key = Scanner::decoded(raw);
            if (key == "symbols") {
                if (symbols_seen) throw Declined{};
                symbols_seen = true;
                symbols();
            } else if (key == "sections") {
                if (sections_seen) throw Declined{};
                sections_seen = true;
                Scanner::set_member(document.get(), raw, sections(spans.get()));
            } else {
                Scanner::set_member(document.get(), raw, scan_.value(2));
            }
        });
        scan_.skip_space();
        if (!scan_.at_end()) throw Declined{};
        tables = checked(tables_.result());
        return PyTuple_Pack(3, document.get(), tables.get(), spans.get());
    }

private:
    void symbols() {
        scan_.items([&] {
            if (scan_.peek() != '{') throw Declined{};
            symbol();
        });
    }

    void symbol() {
        using Member = SymbolMembers::Member;
        members_.clear();
        scan_.members([&](const RawString& raw) {
            MemberKind kind = raw.escaped ? member_kind(Scanner::decoded(raw)) : member_kind(raw.raw);
            if (!kind.read) {
                scan_.skip(3);
            } else if (kind.repeated && scan_.peek() == '"') {
                members_.slot(kind.member) = repeated_text(scan_.string());
            } else {
                members_.slot(kind.member) = scan_.value(3);  // the last of a member given twice, as json.loads
            }
        });
        // origin_of is asked by the pair's value: one that cannot be a key fails there, and must
        // fail where decoding whole makes it fail, after the checks
        for (Member member : {Member::object_file, Member::archive}) {
            const Ref& held = members_.slot(member);
            if (held && held.get() != Py_None && !PyUnicode_CheckExact(held.get()) && !PyLong_CheckExact(held.get()) &&
                !PyFloat_CheckExact(held.get()) && !PyBool_Check(held.get()))
                throw Declined{};
        }
        if (!tables_.add(members_)) throw Raised{};
    }

    // A text that many symbols share (a section, an object file): one object for each.
    Ref repeated_text(const RawString& raw) {
        auto found = texts_.find(raw.raw);
        if (found != texts_.end()) return Ref::borrow(found->second.get());
        Ref made = Scanner::text(raw);
        texts_.emplace(raw.raw, Ref::borrow(made.get()));
        return made;
    }

    // The sections, each without its inputs, whose spans go to `spans`.
    Ref sections(PyObject* spans) {
        Ref listed = checked(PyList_New(0));
        scan_.items([&] {
            if (scan_.peek() != '{') throw Declined{};
            Ref section = checked(PyDict_New());
            Ref span = Ref::borrow(Py_None);
            scan_.members([&](const RawString& raw) {
                if (Scanner::decoded(raw) != "inputs") {
                    Scanner::set_member(section.get(), raw, scan_.value(4));
                    return;
                }
                if (span.get() != Py_None) throw Declined{};
                span = inputs();
            });
            if (PyList_Append(listed.get(), section.get()) != 0 || PyList_Append(spans, span.get()) != 0)
                throw Raised{};
        });
        return listed;
    }

    // A section's inputs checked to be a list of objects: (start, end) of their text.
    Ref inputs() {
        std::size_t start = scan_.offset();
        scan_.items([&] {
            if (scan_.peek() != '{') throw Declined{};
            scan_.skip(4);
        });
        return checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(scan_.offset())));
    }

    Scanner& scan_;
    SymbolTables tables_;
    ScannedMembers members_;
    std::unordered_map<std::string_view, Ref> texts_;
};

}  // namespace

PyObject* read_stored_report(PyObject*, PyObject* args) {
    PyObject *data, *origin_of;
    if (!PyArg_ParseTuple(args, "SO:read_stored_report", &data, &origin_of)) return nullptr;
    const char* origin = PyBytes_AS_STRING(data);
    const char* begin = origin;
    const char* end = begin + PyBytes_GET_SIZE(data);
    if (end - begin >= 3 && std::memcmp(begin, "\xEF\xBB\xBF", 3) == 0) begin += 3;  // as utf-8-sig takes it
    Scanner scanner(begin, end, origin);
    try {
        StoredReport report(scanner, origin_of);
        return report.read();
    } catch (const Declined&) {
        Py_RETURN_NONE;
    } catch (const Raised&) {
        return nullptr;
    }
}

PyObject* json_values(PyObject*, PyObject* args) {
    PyObject *data, *spans;
    if (!PyArg_ParseTuple(args, "SO!:json_values", &data, &PyList_Type, &spans)) return nullptr;
    const char* begin = PyBytes_AS_STRING(data);
    Py_ssize_t size = PyBytes_GET_SIZE(data);
    Ref values = Ref::steal(PyList_New(0));
    if (!values) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(spans); ++i) {
        PyObject* span = PyList_GET_ITEM(spans, i);
        Ref value;
        if (span == Py_None) {
            value = Ref::borrow(Py_None);
        } else {
            Py_ssize_t start, stop;
            if (!PyArg_ParseTuple(span, "nn:json_values", &start, &stop)) return nullptr;
            if (start < 0 || stop < start || stop > size) {
                PyErr_SetString(PyExc_ValueError, "a span outside the text");
                return nullptr;
            }
            Scanner scanner(begin + start, begin + stop);
            try {
                value = scanner.value(1);
                if (!scanner.at_end()) throw Declined{};
            } catch (const Declined&) {
                PyErr_SetString(PyExc_ValueError, "no JSON value at the span");
                return nullptr;
            } catch (const Raised&) {
                return nullptr;
            }
        }
        if (PyList_Append(values.get(), value.get()) != 0) return nullptr;
    }
    return values.release();
}

}  // namespace tarnwick
