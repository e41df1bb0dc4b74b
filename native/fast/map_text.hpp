// The text toolkit every native map reader shares: what a blank is, trimming, reading a line
// one token at a time, and figures in hex or decimal.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace tarnwick::map_text {

using std::string_view;

// Python's blanks in ASCII (str.split() splits at all of them, the file separators included),
// as a table: the readers ask it of every character of a map.
inline constexpr auto space_table = [] {
    std::array<bool, 256> table{};
    for (unsigned char c : {' ', '\t', '\n', '\r', '\f', '\v', '\x1c', '\x1d', '\x1e', '\x1f'}) table[c] = true;
    return table;
}();

inline bool is_space(char c) { return space_table[static_cast<unsigned char>(c)]; }

// `text` from `pos`, at most `count` characters; empty from past the end. Positions a reader
// computes from a map's contents go through here: std::string_view::substr throws for them.
inline string_view slice(string_view text, std::size_t pos, std::size_t count = string_view::npos) noexcept {
    if (pos > text.size()) return {};
    return string_view(text.data() + pos, std::min(count, text.size() - pos));
}

// The character at `pos`, or NUL past the end (a map line holds no NUL: such a line is binary).
inline char char_at(string_view text, std::size_t pos) noexcept { return pos < text.size() ? text[pos] : '\0'; }

inline string_view strip_end(string_view text) {
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

// How many of the characters of `text` from `pos` are spaces, eight at a time: the maps align
// their columns with runs of them. Within the first word that is not all spaces, its first other
// character is found in the word too; past the last whole word, the rest is for the caller.
inline std::size_t spaces_at(string_view text, std::size_t pos) noexcept {
    std::size_t from = pos;
    constexpr std::uint64_t eight_spaces = 0x2020202020202020ull;
    for (std::uint64_t word; pos + 8 <= text.size(); pos += 8) {
        std::memcpy(&word, text.data() + pos, 8);
        if (word != eight_spaces) {
            if constexpr (std::endian::native == std::endian::little)
                pos += static_cast<std::size_t>(std::countr_zero(word ^ eight_spaces) / 8);
            break;
        }
    }
    return pos - from;
}

// How far from `pos` the first character below '!' lies (every blank is one), eight at a time;
// where no whole word of eight holds one, how far the words read went (the rest is for the caller).
// Where a word holds one, the lowest of those flagged is the first: a borrow carries upward only
// from a character below '!'.
inline std::size_t printable_at(string_view text, std::size_t pos) noexcept {
    std::size_t from = pos;
    if constexpr (std::endian::native == std::endian::little) {
        for (std::uint64_t word; pos + 8 <= text.size(); pos += 8) {
            std::memcpy(&word, text.data() + pos, 8);
            std::uint64_t below = (word - 0x2121212121212121ull) & ~word & 0x8080808080808080ull;
            if (below != 0) return pos - from + static_cast<std::size_t>(std::countr_zero(below) / 8);
        }
    }
    return pos - from;
}

inline string_view strip_start(string_view text) {
    text.remove_prefix(spaces_at(text, 0));
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    return text;
}

// Each character's value as a hex digit, or 99: a table, as the readers ask it of every figure's
// every character.
inline constexpr auto digit_table = [] {
    std::array<std::uint8_t, 256> table{};
    for (std::size_t c = 0; c < table.size(); ++c)
        table[c] = c >= '0' && c <= '9' ? static_cast<std::uint8_t>(c - '0')
                 : c >= 'a' && c <= 'f' ? static_cast<std::uint8_t>(c - 'a' + 10)
                 : c >= 'A' && c <= 'F' ? static_cast<std::uint8_t>(c - 'A' + 10) : 99;
    return table;
}();

// The value of one digit in `base`, or -1.
inline int digit_value(char c, int base) {
    int value = digit_table[static_cast<unsigned char>(c)];
    return value < base ? value : -1;
}

// All of `digits` as a number (1 to 16 hex digits, or up to 19 decimal ones); false otherwise.
inline bool number(string_view digits, int base, std::uint64_t& value) {
    if (digits.empty() || digits.size() > (base == 16 ? 16u : 19u)) return false;
    std::uint64_t result = 0;
    for (char c : digits) {
        int digit = digit_value(c, base);
        if (digit < 0) return false;
        result = result * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    value = result;
    return true;
}

// "0x" and 1 to 16 hex digits, the whole token.
inline bool hex_token(string_view token, std::uint64_t& value) {
    return token.size() >= 3 && token[0] == '0' && token[1] == 'x' && number(slice(token, 2), 16, value);
}

// Reads a line one run of blanks or of other characters at a time.
class Cursor {
public:
    explicit Cursor(string_view text) : text_(text) {}
    bool at_end() const { return pos_ >= text_.size(); }
    std::size_t position() const { return pos_; }
    // Skips the blanks here; how many there were.
    std::size_t blanks() {
        std::size_t start = pos_;
        pos_ += spaces_at(text_, pos_);
        while (pos_ < text_.size() && is_space(text_[pos_])) ++pos_;
        return pos_ - start;
    }
    // The characters up to the next blank.
    string_view token() {
        std::size_t start = pos_;
        pos_ += printable_at(text_, pos_);  // to the first that may be a blank, or near the end
        while (pos_ < text_.size() && !is_space(text_[pos_])) ++pos_;
        return slice(text_, start, pos_ - start);
    }
    string_view rest() const { return slice(text_, pos_); }

private:
    string_view text_;
    std::size_t pos_ = 0;
};

// Whether every character of a token is a digit in `base` (and it has one).
inline bool all_digits(string_view token, int base) {
    if (token.empty()) return false;
    for (char c : token)
        if (digit_value(c, base) < 0) return false;
    return true;
}

// The blank-separated tokens of a line, into `tokens` (kept from line to line: no allocation);
// no more than `most`, where the rest of the line does not matter.
inline void tokens_of(string_view text, std::vector<string_view>& tokens, std::size_t most = SIZE_MAX) {
    tokens.clear();
    Cursor cursor(text);
    cursor.blanks();
    while (!cursor.at_end() && tokens.size() < most) {
        tokens.push_back(cursor.token());
        cursor.blanks();
    }
}

// The file name at the end of a path written with either separator.
inline string_view base_name(string_view path) {
    std::size_t at = path.size();  // a search of the set asks it of each character, a call each
    while (at > 0 && path[at - 1] != '/' && path[at - 1] != '\\') --at;
    return slice(path, at);
}

inline bool word_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
           static_cast<unsigned char>(c) >= 0x80;
}

// NAME (=|+=) EXPRESSION from `pos` of a script line: the name (a letter, '_', '.' or '$' first),
// whether it adds, and the expression after the blanks that follow '='.
inline bool assignment_at(string_view text, std::size_t pos, string_view& name, bool& plus, string_view& expression) {
    if (pos >= text.size()) return false;
    char first = text[pos];
    if (!(word_char(first) && !(first >= '0' && first <= '9')) && first != '.' && first != '$') return false;
    std::size_t start = pos;
    while (pos < text.size() && (word_char(text[pos]) || text[pos] == '.' || text[pos] == '$')) ++pos;
    name = slice(text, start, pos - start);
    while (pos < text.size() && is_space(text[pos])) ++pos;
    plus = pos < text.size() && text[pos] == '+';
    if (plus) ++pos;
    if (pos >= text.size() || text[pos] != '=') return false;
    expression = strip_start(slice(text, pos + 1));
    return true;
}

// The linker script's data statements (ld lists them as rows of their own).
inline bool data_statement(string_view word) {
    return word == "BYTE" || word == "SHORT" || word == "LONG" || word == "QUAD" || word == "SQUAD";
}

}  // namespace tarnwick::map_text
