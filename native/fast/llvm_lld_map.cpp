#include "fast/llvm_lld_map.hpp"
#include "fast/map_text.hpp"

#include <algorithm>

namespace tarnwick::llvm_lld {

using namespace link_map;
using std::string_view;

namespace {

using namespace map_text;

// After the align column: nothing, or one space and the rest (which may start blank).
bool rest_after_one_space(const Cursor& cursor, string_view line, string_view& out) {
    std::size_t at = cursor.position();
    if (at >= line.size()) {
        out = {};
        return true;
    }
    if (line[at] != ' ') return false;
    out = slice(line, at + 1);
    return true;
}

// VMA [LMA] Size Align Out In Symbol: where the header puts each column.
struct Columns {
    bool mold = false;
    std::size_t out = 0, vma_end = 0, lma_end = 0, size_end = 0;
};

bool header(string_view line, Columns& columns) {
    static constexpr string_view lld[] = {"VMA", "LMA", "Size", "Align", "Out", "In", "Symbol"};
    static constexpr string_view mold[] = {"VMA", "Size", "Align", "Out", "In", "Symbol"};
    std::vector<string_view> words;
    Cursor cursor(line);
    cursor.blanks();
    for (string_view word = cursor.token(); !word.empty() && words.size() <= std::size(lld); word = cursor.token()) {
        words.push_back(word);
        cursor.blanks();
    }
    auto is = [&words](const auto& expected) { return std::equal(words.begin(), words.end(), std::begin(expected), std::end(expected)); };
    if (!is(lld) && !is(mold)) return false;
    columns.mold = is(mold);
    columns.out = line.find("Out");
    columns.vma_end = line.find("VMA") + 3;
    columns.lma_end = columns.mold ? 0 : line.find("LMA") + 3;
    columns.size_end = line.find("Size") + 4;
    return true;
}

// A column's slice: hex digits, blanks around them.
bool column(string_view line, std::size_t from, std::size_t to, std::uint64_t& value) {
    return number(strip_end(strip_start(slice(line, from, to - from))), 16, value);
}

struct Row {
    std::uint64_t vma = 0, lma = 0, size = 0;
    string_view rest;  // from the Out column
};

// The row's numbers and the rest of it, or false.
bool split(string_view line, const Columns& columns, Row& row) {
    if (!columns.mold) {
        // the usual row: each value inside its column
        if (line.size() > columns.out && columns.out > 0 && line[columns.out - 1] == ' ' &&
            line.size() > columns.lma_end && line[columns.vma_end] == ' ' && line[columns.lma_end] == ' ' &&
            column(line, 0, columns.vma_end, row.vma) && column(line, columns.vma_end, columns.lma_end, row.lma) &&
            column(line, columns.lma_end, columns.size_end, row.size)) {
            row.rest = slice(line, columns.out);
            return true;
        }
    }
    // a value wider than its column: read by the row's shape
    Cursor cursor(line);
    cursor.blanks();
    string_view vma = cursor.token();
    if (columns.mold && starts_with(vma, "0x")) vma.remove_prefix(2);
    if (!number(vma, 16, row.vma) || cursor.blanks() == 0) return false;
    if (columns.mold) {
        row.lma = row.vma;
        if (!number(cursor.token(), 10, row.size) || cursor.blanks() == 0) return false;
    } else {
        if (!number(cursor.token(), 16, row.lma) || cursor.blanks() == 0) return false;
        if (!number(cursor.token(), 16, row.size) || cursor.blanks() == 0) return false;
    }
    string_view align = cursor.token();
    if (align.empty() || !std::all_of(align.begin(), align.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    return rest_after_one_space(cursor, line, row.rest);
}

// NAME (=|+=) EXPRESSION: a script assignment; the expression without surrounding blanks.
bool assignment(string_view text, string_view& name, string_view& expression) {
    bool plus = false;
    if (!assignment_at(text, 0, name, plus, expression)) return false;
    expression = strip_end(expression);
    return true;
}

// Assembler-local labels and mapping symbols (".LBB0_1", ".L_MergedGlobals", "$t", "$d.1") mark
// places inside functions and data; they are not symbols of their own.
bool local_label(string_view name) { return starts_with(name, ".L") || starts_with(name, "$"); }

bool last_section(string_view name) {
    return name == ".shstrtab" || name == ".strtab" || name == ".symtab" || name == "SHDR";
}

constexpr std::size_t indent = 8;  // In is indented by one step from Out, Symbol by two

class Reader {
public:
    explicit Reader(string_view text) : text_(text) {}

    Map run() {
        for_each_line(text_, [this](string_view line) {
            ++lineno_;
            if (line.find('\0') != string_view::npos) throw MapError("binary data inside the map", lineno_);
            take(strip_end(line));
            return true;
        });
        if (!have_columns_) throw MapError("empty map file", 0);
        if (!complete_)
            throw MapError(std::string("truncated ") + (columns_.mold ? "mold" : "LLVM lld") +
                               " map: it ends before the section tables (.symtab, .strtab, .shstrtab) the linker "
                               "lists last",
                           lineno_);
        for (Output& output : map_.outputs) add_alignment_gaps(output);
        return std::move(map_);
    }

private:
    void take(string_view line) {
        if (line.empty()) return;
        if (!have_columns_) {
            if (!header(line, columns_)) throw MapError("not an LLVM lld map: the table header is missing", lineno_);
            have_columns_ = true;
            map_.toolchain = columns_.mold ? "mold" : "llvm_lld";
            map_.sizes_given = !columns_.mold;
            return;
        }
        Row row;
        if (!split(line, columns_, row)) throw MapError("unreadable map row", lineno_, line);
        string_view rest = row.rest;
        if (rest.size() >= 2 * indent && slice(rest, 0, 2 * indent).find_first_not_of(' ') == string_view::npos) {
            string_view text = slice(rest, 2 * indent);  // a symbol
            if (!have_current_ || text.empty() || text.find('=') != string_view::npos || local_label(text)) {
                if (text == "$t") {
                    map_.thumb = true;
                    if (have_current_) map_.outputs[output_].inputs[current_input_].thumb_code = true;
                }
                return;
            }
            if (map_.sizes_given) check_symbol_size(row.size, lineno_, line);
            map_.symbols.push_back({text, row.vma, map_.sizes_given ? row.size : 0});
            ++map_.outputs[output_].inputs[current_input_].symbol_count;
            return;
        }
        std::size_t first = rest.find_first_not_of(' ');
        if (first == string_view::npos) {  // a --defsym row: lld leaves its name empty
            have_output_ = have_current_ = false;
            return;
        }
        string_view text = slice(rest, first);
        string_view name, expression;
        bool assigns = text.find('=') != string_view::npos && assignment(text, name, expression);
        if (rest[0] != ' ') {  // an output section or a top-level assignment
            have_current_ = false;
            if (assigns) {
                map_.assignments.push_back({name, expression, std::nullopt});
                have_output_ = false;
                return;
            }
            complete_ = complete_ || last_section(text);
            check_extent("output section", row.vma, row.size, lineno_, line);
            check_extent("the load image of an output section", row.lma, row.size, lineno_, line);
            map_.outputs.push_back(Output{text, row.vma, row.size,
                                          row.lma != row.vma ? std::optional<std::uint64_t>(row.lma) : std::nullopt,
                                          lineno_, {}});
            output_ = map_.outputs.size() - 1;
            have_output_ = true;
            return;
        }
        if (!have_output_) return;  // a row under a top-level assignment
        Output& output = map_.outputs[output_];
        if (assigns) {
            // `. = ALIGN(n)` rows carry the alignment gap; `. = . + n` reserves space
            if (name == "." && row.size) {
                check_extent("a fill", row.vma, row.size, lineno_, line);
                Input fill;
                fill.name = "*fill*";
                fill.address = row.vma;
                fill.size = row.size;
                fill.kind = expression.find("ALIGN") == string_view::npos ? InputKind::reservation : InputKind::fill;
                output.inputs.push_back(fill);
            }
            have_current_ = false;
            return;
        }
        check_extent("input section", row.vma, row.size, lineno_, line);
        Input input;
        input.address = row.vma;
        input.size = row.size;
        string_view keyword = slice(text, 0, text.find(" ("));
        if (data_statement(keyword)) {  // "LONG ( 0x5aa5c33c )"
            input.name = keyword;
            input.origin = "linker script data";
            input.has_origin = true;
        } else {
            split_input(text, input);
        }
        input.first_symbol = map_.symbols.size();
        output.inputs.push_back(input);
        current_input_ = output.inputs.size() - 1;
        have_current_ = true;
    }

    // "main.o:(.text.main)" -> origin "main.o", name ".text.main"; "<internal>" for linker-made input.
    static void split_input(string_view text, Input& input) {
        std::size_t cut = text.rfind(":(");
        if (cut == string_view::npos || text.back() != ')') {
            input.name = text;
            return;
        }
        string_view origin = slice(text, 0, cut);
        input.has_origin = !origin.empty();
        if (starts_with(origin, "./")) origin.remove_prefix(2);
        input.origin = origin;
        input.name = slice(text, cut + 2, text.size() - cut - 3);
    }

    // lld does not print the padding between input sections; it is the gap between one input
    // section's end and the next one's start. The fills go in among the rows where they lie,
    // moved up from the last (no second copy of an output's rows).
    static void add_alignment_gaps(Output& output) {
        Rows<Input>& inputs = output.inputs;
        auto earlier = [](const Input& a, const Input& b) { return a.address < b.address; };
        if (!std::is_sorted(inputs.begin(), inputs.end(), earlier)) {
            std::stable_sort(inputs.begin(), inputs.end(), earlier);
            output.reordered = true;
        }
        struct Gap {
            std::size_t before;  // the row it comes before
            std::uint64_t start;
        };
        std::vector<Gap> gaps;
        std::optional<std::uint64_t> end;
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const Input& part = inputs[i];
            if (end && part.address > *end) gaps.push_back({i, *end});
            end = std::max(end.value_or(0), part.address + part.size);
        }
        if (gaps.empty()) return;
        std::size_t count = inputs.size();
        inputs.grow_to(count + gaps.size());
        std::size_t to = count + gaps.size();
        for (std::size_t i = count, left = gaps.size(); i-- > 0;) {
            inputs[--to] = inputs[i];
            if (left > 0 && gaps[left - 1].before == i) {
                const Gap& gap = gaps[--left];
                Input fill;
                fill.name = "*fill*";
                fill.address = gap.start;
                fill.size = inputs[to].address - gap.start;
                fill.kind = InputKind::fill;
                inputs[--to] = fill;
            }
        }
    }

    string_view text_;
    Map map_;
    Columns columns_;
    bool have_columns_ = false, complete_ = false;
    bool have_output_ = false, have_current_ = false;  // the output, and its input, that take the next rows
    std::size_t output_ = 0, current_input_ = 0;
    long lineno_ = 0;
};

}  // namespace

Map read(string_view text) { return Reader(text).run(); }

}  // namespace tarnwick::llvm_lld
