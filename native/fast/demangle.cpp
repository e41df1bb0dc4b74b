#include "fast/demangle.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <utility>
#include <vector>

namespace tarnwick::demangle {

namespace {

bool is_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

std::optional<std::string> itanium(std::string_view name) {
    std::string owned(name);
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> out(
        abi::__cxa_demangle(owned.c_str(), nullptr, nullptr, &status), &std::free);
    if (status != 0 || !out) return std::nullopt;
    return std::string(out.get());
}

// --- Rust legacy: an Itanium nested name whose last part is "h" and a 16-digit hash ---------

bool ends_with_rust_hash(std::string_view text) {
    // "...::h0123456789abcdef"
    if (text.size() < 20 || text.substr(text.size() - 19, 3) != "::h") return false;
    for (char c : text.substr(text.size() - 16))
        if (!is_hex(c)) return false;
    return true;
}

std::string unescape_rust(std::string_view text) {
    static const std::pair<std::string_view, std::string_view> escapes[] = {
        {"$SP$", "@"}, {"$BP$", "*"}, {"$RF$", "&"}, {"$LT$", "<"}, {"$GT$", ">"},
        {"$LP$", "("}, {"$RP$", ")"}, {"$C$", ","}};
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        bool component_start = out.empty() || (out.size() >= 2 && out.compare(out.size() - 2, 2, "::") == 0);
        if (component_start && text.substr(i, 2) == "_$") {  // "_$LT$": a component may not start with '$'
            ++i;
            continue;
        }
        if (text[i] == '.' && i + 1 < text.size() && text[i + 1] == '.') {
            out += "::";
            i += 2;
            continue;
        }
        if (text[i] == '$') {
            bool matched = false;
            for (const auto& [from, to] : escapes) {
                if (text.substr(i, from.size()) == from) {
                    out += to;
                    i += from.size();
                    matched = true;
                    break;
                }
            }
            if (matched) continue;
            if (text.substr(i, 2) == "$u") {  // $u7e$: a code point in hex
                std::size_t end = text.find('$', i + 2);
                if (end != std::string_view::npos && end > i + 2 && end - i <= 8) {
                    unsigned long code = std::strtoul(std::string(text.substr(i + 2, end - i - 2)).c_str(), nullptr, 16);
                    if (code > 0 && code < 0x80) {
                        out += static_cast<char>(code);
                        i = end + 1;
                        continue;
                    }
                }
            }
        }
        out += text[i++];
    }
    return out;
}

std::optional<std::string> rust_legacy(std::string_view name) {
    auto readable = itanium(name);
    if (!readable || !ends_with_rust_hash(*readable)) return std::nullopt;
    readable->resize(readable->size() - 19);
    return unescape_rust(*readable);
}

// --- Rust v0: "_R" followed by a path (RFC 2603) ---------------------------------------------

class V0 {
public:
    explicit V0(std::string_view text) : text_(text) {}

    std::optional<std::string> run() {
        std::string out;
        if (!path(out, 0, true)) return std::nullopt;
        // an instantiating crate may follow; it is not shown
        return out;
    }

private:
    static constexpr int max_depth = 200;

    bool eat(char c) {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }
    char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

    // <base-62-number> = {<0-9a-zA-Z>} "_"; "_" alone is 0, otherwise the value plus one
    bool base62(std::uint64_t& value) {
        if (eat('_')) {
            value = 0;
            return true;
        }
        std::uint64_t x = 0;
        while (pos_ < text_.size() && text_[pos_] != '_') {
            char c = text_[pos_++];
            int digit = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'z' ? 10 + (c - 'a')
                        : c >= 'A' && c <= 'Z' ? 36 + (c - 'A')
                                               : -1;
            if (digit < 0 || x > (UINT64_MAX - 61) / 62) return false;
            x = x * 62 + static_cast<std::uint64_t>(digit);
        }
        if (!eat('_')) return false;
        value = x + 1;
        return true;
    }

    bool disambiguator() {
        std::uint64_t ignored = 0;
        return !eat('s') || base62(ignored);
    }

    bool identifier(std::string& out) {
        if (!disambiguator()) return false;
        bool punycode = eat('u');
        std::size_t length = 0;
        if (peek() < '0' || peek() > '9') return false;
        while (peek() >= '0' && peek() <= '9') {
            length = length * 10 + static_cast<std::size_t>(text_[pos_++] - '0');
            if (length > text_.size()) return false;
        }
        eat('_');
        if (pos_ + length > text_.size()) return false;
        std::string_view ident = text_.substr(pos_, length);
        pos_ += length;
        if (punycode) out += "punycode{";
        out += ident;
        if (punycode) out += "}";
        return true;
    }

    // Reads what an earlier position holds, then goes on after the back reference.
    template <typename Parse>
    bool backref(Parse parse) {
        std::size_t start = pos_ - 1;
        std::uint64_t target = 0;
        if (!base62(target) || target >= start) return false;
        std::size_t resume = pos_;
        pos_ = static_cast<std::size_t>(target);
        bool ok = parse();
        pos_ = resume;
        return ok;
    }

    bool generic_args(std::string& out, int depth) {
        out += "<";
        bool first = true;
        while (!eat('E')) {
            if (pos_ >= text_.size()) return false;
            if (!first) out += ", ";
            first = false;
            if (eat('L')) {  // a lifetime
                std::uint64_t ignored = 0;
                if (!base62(ignored)) return false;
                out += "'_";
            } else if (eat('K')) {
                if (!konst(out, depth + 1)) return false;
            } else if (!type(out, depth + 1)) {
                return false;
            }
        }
        out += ">";
        return true;
    }

    // `in_value`: a path to a function or static, whose generic arguments read `::<...>`
    bool path(std::string& out, int depth, bool in_value) {
        if (depth > max_depth || pos_ >= text_.size()) return false;
        char tag = text_[pos_++];
        switch (tag) {
            case 'C':  // crate root
                return identifier(out);
            case 'N': {  // nested: namespace, parent path, identifier
                if (pos_ >= text_.size()) return false;
                char ns = text_[pos_++];
                if (!path(out, depth + 1, in_value)) return false;
                std::string ident;
                if (!identifier(ident)) return false;
                if (ns >= 'A' && ns <= 'Z') {  // closures and shims: {closure#0}
                    out += "::{";
                    out += ns == 'C' ? "closure" : ns == 'S' ? "shim" : std::string(1, ns);
                    if (!ident.empty()) out += ":" + ident;
                    out += "}";
                } else if (!ident.empty()) {
                    out += "::" + ident;
                }
                return true;
            }
            case 'M':  // inherent impl: <Type>
            case 'X':  // trait impl: <Type as Trait>
            case 'Y': {  // trait definition: <Type as Trait>
                if (tag != 'Y') {
                    if (!disambiguator()) return false;
                    std::string ignored;
                    if (!path(ignored, depth + 1, false)) return false;  // the impl's own path
                }
                out += "<";
                if (!type(out, depth + 1)) return false;
                if (tag != 'M') {
                    out += " as ";
                    if (!path(out, depth + 1, false)) return false;
                }
                out += ">";
                return true;
            }
            case 'I':  // generic arguments
                if (!path(out, depth + 1, in_value)) return false;
                if (in_value) out += "::";
                return generic_args(out, depth);
            case 'B':
                return backref([&] { return path(out, depth + 1, in_value); });
            default:
                return false;
        }
    }

    bool konst(std::string& out, int depth) {
        if (depth > max_depth) return false;
        if (eat('p')) {
            out += "_";
            return true;
        }
        if (eat('B')) return backref([&] { return konst(out, depth + 1); });
        std::string type_name;
        if (!type(type_name, depth + 1)) return false;
        bool negative = eat('n');
        std::size_t start = pos_;
        while (pos_ < text_.size() && is_hex(text_[pos_])) ++pos_;
        std::string_view digits = text_.substr(start, pos_ - start);
        if (!eat('_')) return false;
        if (type_name == "bool") {
            out += digits == "1" ? "true" : "false";
            return true;
        }
        unsigned long long value = digits.empty() ? 0 : std::strtoull(std::string(digits).c_str(), nullptr, 16);
        if (negative) out += "-";
        out += std::to_string(value);
        return true;
    }

    bool type(std::string& out, int depth) {
        if (depth > max_depth || pos_ >= text_.size()) return false;
        static const char* basic[26] = {
            "i8", "bool", "char", "f64", "str", "f32", nullptr, nullptr, "isize", "usize", nullptr,
            "i32", "u32", "i128", "u128", nullptr, nullptr, nullptr, "i16", "u16", "()", "...",
            "u64", "i64", "!", "u8"};  // a..z
        char tag = text_[pos_];
        if (tag >= 'a' && tag <= 'z' && basic[tag - 'a'] != nullptr) {
            ++pos_;
            out += basic[tag - 'a'];
            return true;
        }
        ++pos_;
        switch (tag) {
            case 'A':
                out += "[";
                if (!type(out, depth + 1)) return false;
                out += "; ";
                if (!konst(out, depth + 1)) return false;
                out += "]";
                return true;
            case 'S':
                out += "[";
                if (!type(out, depth + 1)) return false;
                out += "]";
                return true;
            case 'T': {
                out += "(";
                bool first = true;
                int count = 0;
                while (!eat('E')) {
                    if (pos_ >= text_.size()) return false;
                    if (!first) out += ", ";
                    first = false;
                    if (!type(out, depth + 1)) return false;
                    ++count;
                }
                out += count == 1 ? ",)" : ")";
                return true;
            }
            case 'R':
            case 'Q':
                out += tag == 'R' ? "&" : "&mut ";
                if (eat('L')) {
                    std::uint64_t ignored = 0;
                    if (!base62(ignored)) return false;
                }
                return type(out, depth + 1);
            case 'P':
            case 'O':
                out += tag == 'P' ? "*const " : "*mut ";
                return type(out, depth + 1);
            case 'B':
                return backref([&] { return type(out, depth + 1); });
            case 'F':
            case 'D':
                return false;  // function pointers and trait objects: left mangled
            default:
                --pos_;
                return path(out, depth + 1, false);
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

std::optional<std::string> rust_v0(std::string_view name) {
    std::size_t skip = name.substr(0, 3) == "__R" ? 3 : 2;
    std::string_view body = name.substr(skip);
    // decimal vendor suffixes after a '.' (".llvm.1234") are not part of the name
    std::size_t dot = body.find('.');
    if (dot != std::string_view::npos) body = body.substr(0, dot);
    return V0(body).run();
}

}  // namespace

std::optional<std::string> symbol(std::string_view name) {
    if (name.substr(0, 2) == "_R" || name.substr(0, 3) == "__R") return rust_v0(name);
    if (name.substr(0, 2) == "_Z" || name.substr(0, 3) == "__Z") {
        if (auto rust = rust_legacy(name)) return rust;
        return itanium(name.substr(0, 3) == "__Z" ? name.substr(1) : name);
    }
    return std::nullopt;
}

std::optional<std::string> shown(std::string_view name) {
    if (auto readable = symbol(name)) return readable;
    static constexpr std::string_view prefixes[] = {
        ".text.", ".rodata.", ".data.rel.ro.", ".data.", ".bss.", ".sdata.", ".sbss.", ".tbss.", ".tdata.",
        ".ramfunc.", ".init_array.", ".gcc_except_table."};
    for (std::string_view prefix : prefixes) {
        if (name.substr(0, prefix.size()) != prefix) continue;
        auto readable = symbol(name.substr(prefix.size()));
        if (!readable) return std::nullopt;
        return std::string(prefix) + *readable;
    }
    return std::nullopt;
}

}  // namespace tarnwick::demangle
