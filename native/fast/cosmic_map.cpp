// read_cosmic_map(): a clnk map line by line. Its parts are headed by a line of their own
// ("Segments", "Modules", "Stack usage", "Call tree", "Symbols"); rows "start 00008080 end
// 00008d67 length  3303 segment .text" (or "section", in the Modules part, under the module's
// "Debug\main.o:" line), stack rows "_main   >  12   (4)" and "Stack size: 110", symbols
// "_main   00008094   defined in Debug\main.o section .text".
#include "fast/cosmic_map.hpp"

#include "fast/link_map.hpp"
#include "fast/map_reader.hpp"
#include "fast/map_text.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tarnwick {

namespace {

using std::string_view;
using namespace map_text;
using link_map::starts_with;
using map_reader::Failure;
using map_reader::text;

constexpr string_view headings[] = {"Segments", "Modules", "Stack usage", "Call tree", "Symbols"};

bool ends_with(string_view text, string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// The run of characters from `at` that `keep` accepts; `at` moves past it.
template <class Keep>
string_view run(string_view line, std::size_t& at, Keep keep) {
    std::size_t start = at;
    while (at < line.size() && keep(line[at])) ++at;
    return slice(line, start, at - start);
}

bool hex_digit(char c) { return digit_value(c, 16) >= 0; }
bool decimal_digit(char c) { return c >= '0' && c <= '9'; }
bool not_space(char c) { return !is_space(c); }

// "L12_": a static function's label, which the symbol list leaves out
bool local_label(string_view name) {
    std::size_t at = 1;
    return !name.empty() && name[0] == 'L' && !run(name, at, decimal_digit).empty() && char_at(name, at) == '_';
}

struct Segment {
    string_view name;
    std::uint64_t start, length;
};

struct Part {
    std::uint64_t address, size;
    long module;  // index into the modules read; -1 before any
};

class Reader {
public:
    bool start(PyObject* input_class, PyObject* origin) {
        origin_ = origin;
        empty_ = Ref::steal(PyTuple_New(0));
        linker_ = Ref::steal(PyUnicode_InternFromString("linker"));
        symbols_ = Ref::steal(PyList_New(0));
        return empty_ && linker_ && symbols_ && symbol_.prepare() &&
               input_.prepare(input_class, {"name", "address", "size", "origin", "is_fill", "is_reservation", "symbols"});
    }

    bool line(string_view raw, long number) {
        string_view line = strip_end(raw);
        if (line.size() < 48) {
            string_view stripped = strip_start(line);
            for (string_view heading : headings) {
                if (stripped == heading) {
                    part_ = heading;
                    return true;
                }
            }
        }
        if (starts_with(line, "start ") && row(line, number)) return true;
        if (part_ == "Modules") {
            if (ends_with(line, ":") && line.front() != ' ') modules_.push_back(line.substr(0, line.size() - 1));
        } else if (part_ == "Stack usage") {
            stack_row(line);
        } else if (part_ == "Symbols") {
            return symbol(line);
        }
        return true;
    }

    PyObject* result() {
        Ref segments = Ref::steal(PyList_New(0));
        if (!segments) return nullptr;
        for (const Segment& segment : segments_) {
            Ref entry = segment_entry(segment);
            if (!entry || PyList_Append(segments.get(), entry.get()) != 0) return nullptr;
        }
        Ref missing = missing_functions();
        Ref stack = stack_ ? Ref::steal(text(*stack_)) : Ref::borrow(Py_None);
        Ref part = missing && stack ? Ref::steal(text(part_)) : Ref();
        if (!part) return nullptr;
        return PyTuple_Pack(5, segments.get(), symbols_.get(), missing.get(), stack.get(), part.get());
    }

    std::optional<Failure> failure;

private:
    // "start HEX|*** end HEX|*** length DIGITS segment|section NAME[ *** removed ***]": true for
    // such a row (a failure set where its figures disagree), false for any other line
    bool row(string_view line, long line_number) {
        std::size_t at = 6;
        auto figure = [&]() {
            string_view digits = run(line, at, hex_digit);
            return digits.empty() ? run(line, at, [](char c) { return c == '*'; }) : digits;
        };
        string_view start = figure();
        if (start.empty() || slice(line, at, 5) != " end ") return false;
        at += 5;
        string_view end = figure();
        if (end.empty() || slice(line, at, 7) != " length") return false;
        at += 7;
        if (run(line, at, is_space).empty()) return false;
        string_view length = run(line, at, decimal_digit);
        if (length.empty() || char_at(line, at) != ' ') return false;
        string_view kind = slice(line, at + 1, 7);
        if ((kind != "segment" && kind != "section") || char_at(line, at + 8) != ' ') return false;
        at += 9;
        string_view name = run(line, at, not_space);
        if (name.empty()) return false;
        bool removed = false;
        if (at < line.size()) {
            if (run(line, at, is_space).empty() || slice(line, at) != "*** removed ***") return false;
            removed = true;
        }
        if (removed || start.front() == '*') return true;
        std::uint64_t first = 0, last = 0, size = 0, sum = 0;
        if (!number(start, 16, first) || !number(end, 16, last) || !number(length, 10, size) ||
            __builtin_add_overflow(first, size, &sum) || sum != last) {
            failure = Failure{std::string(kind) + " " + std::string(name) + " states start " + std::string(start) +
                                  ", end " + std::string(end) + " and length " + std::string(length) +
                                  ": they do not agree",
                              line_number};
            return true;
        }
        if (kind == "segment") segments_.push_back({name, first, size});
        else if (size != 0) parts_[name].push_back({first, size, static_cast<long>(modules_.size()) - 1});
        return true;
    }

    // "NAME  [>] DIGITS  (DIGITS)" (a function and its stack) or "Stack size: DIGITS"
    void stack_row(string_view line) {
        std::size_t at = 0;
        if (starts_with(line, "Stack size:")) {
            at = 11;
            run(line, at, is_space);
            string_view digits = run(line, at, decimal_digit);
            if (!digits.empty() && at == line.size()) stack_ = digits;
            return;
        }
        string_view name = run(line, at, not_space);
        if (name.empty() || run(line, at, is_space).empty()) return;
        if (char_at(line, at) == '>') ++at;
        run(line, at, is_space);
        if (run(line, at, decimal_digit).empty() || run(line, at, is_space).empty() || char_at(line, at) != '(') return;
        ++at;
        if (run(line, at, decimal_digit).empty() || char_at(line, at) != ')' || at + 1 != line.size()) return;
        functions_.push_back(name);
    }

    // "NAME  ADDRESS  defined in WHERE[ section SECTION]": false with an exception set
    bool symbol(string_view line) {
        std::size_t at = 0;
        string_view name = run(line, at, not_space);
        if (name.empty() || run(line, at, is_space).empty()) return true;
        string_view address = run(line, at, hex_digit);
        std::uint64_t value = 0;
        if (address.size() < 4 || address.size() > 16 || run(line, at, is_space).empty() ||
            slice(line, at, 11) != "defined in ")
            return true;
        string_view where = slice(line, at + 11);
        if (where.empty()) return true;
        // the shortest WHERE the rest can follow: " section " and one word ending the line
        std::size_t blank = where.size();
        while (blank > 0 && !is_space(where[blank - 1])) --blank;
        string_view section;
        if (blank >= 10 && where.substr(blank - 9, 9) == " section ") {
            section = where.substr(blank);
            where = where.substr(0, blank - 9);
        }
        names_.push_back(name);
        if (where == "linker" && !section.empty()) made_by_linker_.insert(section);
        if (where == "command file") return true;
        number(address, 16, value);
        return symbol_.append(symbols_.get(), name, value);
    }

    // (name, start, length, inputs or None, covered)
    Ref segment_entry(const Segment& segment) {
        Ref name = Ref::steal(text(segment.name));
        Ref start = name ? Ref::steal(PyLong_FromUnsignedLongLong(segment.start)) : Ref();
        Ref length = start ? Ref::steal(PyLong_FromUnsignedLongLong(segment.length)) : Ref();
        if (!length) return Ref();
        if (starts_with(segment.name, ".debug") || ends_with(segment.name, ".") || segment.length == 0)
            return map_reader::tuple_of({name.release(), start.release(), length.release(), Py_NewRef(Py_None),
                                         PyLong_FromLong(0)});
        std::vector<Part> inside;
        if (auto found = parts_.find(segment.name); found != parts_.end()) {
            for (const Part& part : found->second)
                if (part.address >= segment.start && part.address - segment.start < segment.length) inside.push_back(part);
        }
        std::stable_sort(inside.begin(), inside.end(), [](const Part& a, const Part& b) {
            return a.address != b.address ? a.address < b.address : a.size < b.size;
        });
        std::vector<Ref> inputs;
        std::uint64_t at = segment.start;
        for (const Part& part : inside) {
            if (part.address > at && !input(inputs, name, at, part.address - at, linker_.get(), true)) return Ref();
            PyObject* owner = origin_of(part.module);
            if (owner == nullptr || !input(inputs, name, part.address, part.size, owner, false)) return Ref();
            at = std::max(at, part.address + part.size);
        }
        if (inside.empty() && made_by_linker_.count(segment.name)) {
            if (!input(inputs, name, segment.start, segment.length, linker_.get(), false)) return Ref();
            at = segment.start + segment.length;
        }
        Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(inputs.size())));
        if (!tuple) return Ref();
        for (std::size_t index = 0; index < inputs.size(); ++index)
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(index), inputs[index].release());
        return map_reader::tuple_of({name.release(), start.release(), length.release(), tuple.release(),
                                     PyLong_FromUnsignedLongLong(at - segment.start)});
    }

    bool input(std::vector<Ref>& inputs, const Ref& name, std::uint64_t address, std::uint64_t size, PyObject* owner,
               bool fill) {
        Ref address_value = Ref::steal(PyLong_FromUnsignedLongLong(address));
        Ref size_value = address_value ? Ref::steal(PyLong_FromUnsignedLongLong(size)) : Ref();
        if (!size_value) return false;
        Ref made = input_.make({Py_NewRef(name.get()), address_value.release(), size_value.release(), Py_NewRef(owner),
                                Py_NewRef(fill ? Py_True : Py_False), Py_NewRef(Py_False), Py_NewRef(empty_.get())});
        if (!made) return false;
        inputs.push_back(std::move(made));
        return true;
    }

    // origin(module) of the module at `index` (borrowed; nullptr with an exception set), asked once
    PyObject* origin_of(long index) {
        std::size_t slot = static_cast<std::size_t>(index + 1);
        if (origins_.size() <= slot) origins_.resize(modules_.size() + 1);
        if (!origins_[slot]) {
            Ref module = index < 0 ? Ref::borrow(Py_None) : Ref::steal(text(modules_[static_cast<std::size_t>(index)]));
            if (!module) return nullptr;
            origins_[slot] = Ref::steal(PyObject_CallOneArg(origin_, module.get()));
        }
        return origins_[slot].get();
    }

    Ref missing_functions() {
        Ref missing = Ref::steal(PyList_New(0));
        if (!missing || functions_.empty()) return missing;
        std::unordered_set<string_view> wanted(functions_.begin(), functions_.end()), listed;
        for (string_view name : names_)
            if (wanted.count(name)) listed.insert(name);
        for (string_view name : functions_) {
            if (local_label(name) || listed.count(name)) continue;
            Ref name_text = Ref::steal(text(name));
            if (!name_text || PyList_Append(missing.get(), name_text.get()) != 0) return Ref();
        }
        return missing;
    }

    // the views below point into the map's bytes, which outlive the reader
    string_view part_;
    std::vector<string_view> modules_, functions_, names_;
    std::optional<string_view> stack_;
    std::vector<Segment> segments_;
    std::unordered_map<string_view, std::vector<Part>> parts_;
    std::unordered_set<string_view> made_by_linker_;
    std::vector<Ref> origins_;
    PyObject* origin_ = nullptr;  // borrowed from the call's arguments
    map_reader::GlobalSymbols symbol_;
    RecordMaker input_;
    Ref empty_, linker_, symbols_;
};

}  // namespace

PyObject* read_cosmic_map(PyObject*, PyObject* args) {
    Py_buffer view;
    PyObject *input_class, *origin;
    if (!PyArg_ParseTuple(args, "y*OO:read_cosmic_map", &view, &input_class, &origin)) return nullptr;
    map_reader::BufferRelease release{&view};
    Reader reader;
    return reader.start(input_class, origin) ? map_reader::read_lines(view, reader) : nullptr;
}

}  // namespace tarnwick
