// The source view's per-entity and per-symbol walks, in one pass each.
#include "fast/source_walk.hpp"

#include "fast/dwarf.hpp"
#include "fast/records.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarnwick {

namespace {

// A debug entity a symbol may be: what it is named, and where it was declared. Of one
// read_dwarf holds (`entity`), the names are read where a symbol must be told apart from others
// at its address, and its source and file made when a symbol is first found to be it.
struct Candidate {
    std::uint64_t address;
    Ref name, linkage, source, file;  // linkage None when it has none
    const dwarf::Entity* entity = nullptr;
};

struct Span {
    std::uint64_t low, high;
    std::size_t unit;
};

// An int as an unsigned 64-bit number; false (no exception) when it is negative or wider.
bool as_address(PyObject* value, std::uint64_t& out) noexcept {
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (small < 0) return false;
        out = static_cast<std::uint64_t>(small);
        return true;
    }
    if (overflow < 0) return false;
    unsigned long long large = PyLong_AsUnsignedLongLong(value);
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    out = large;
    return true;
}

// An entity's or a range's address: an int of 0 to 2^64 - 1, else ValueError.
bool debug_address(PyObject* value, std::uint64_t& out, const char* what) noexcept {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "attribute_sources: %s must be an int, not %.100s", what, Py_TYPE(value)->tp_name);
        return false;
    }
    if (!as_address(value, out)) {
        PyErr_Format(PyExc_ValueError, "attribute_sources: %s %R is not an address of 64 bits", what, value);
        return false;
    }
    return true;
}

bool is_text(PyObject* value, bool none_too) noexcept { return PyUnicode_Check(value) || (none_too && value == Py_None); }

void sort_spans(std::vector<Span>& spans) {
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
        if (a.low != b.low) return a.low < b.low;
        if (a.high != b.high) return a.high < b.high;
        return a.unit < b.unit;
    });
}

// The units' address ranges that hold bytes, sorted as (low, high, unit).
bool unit_spans(PyObject* units, std::vector<Span>& spans) {
    Py_ssize_t count = PyList_GET_SIZE(units);
    for (Py_ssize_t unit = 0; unit < count; ++unit) {
        PyObject* row = PyList_GET_ITEM(units, unit);  // borrowed; the caller holds the list
        if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 3 || !PyTuple_Check(PyTuple_GET_ITEM(row, 2))) {
            PyErr_SetString(PyExc_ValueError, "attribute_sources: a unit must be (name, folder, ((low, high), ...))");
            return false;
        }
        PyObject* ranges = PyTuple_GET_ITEM(row, 2);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ranges); ++i) {
            PyObject* range = PyTuple_GET_ITEM(ranges, i);
            if (!PyTuple_Check(range) || PyTuple_GET_SIZE(range) != 2) {
                PyErr_SetString(PyExc_ValueError, "attribute_sources: a unit's range must be (low, high)");
                return false;
            }
            std::uint64_t low = 0, high = 0;
            if (!debug_address(PyTuple_GET_ITEM(range, 0), low, "a range's low end") ||
                !debug_address(PyTuple_GET_ITEM(range, 1), high, "a range's high end"))
                return false;
            if (high > low) spans.push_back(Span{low, high, static_cast<std::size_t>(unit)});
        }
    }
    sort_spans(spans);
    return true;
}

// The same, of the units read_dwarf holds.
void native_spans(const dwarf::Result& debug, std::vector<Span>& spans) {
    for (std::size_t unit = 0; unit < debug.units.size(); ++unit) {
        if (!debug.units[unit].ranges) continue;
        for (const dwarf::Range& range : debug.units[unit].ranges->ranges)
            if (range.high > range.low) spans.push_back(Span{range.low, range.high, unit});
    }
    sort_spans(spans);
}

// The unit whose range holds `address`, looking back over a few ranges (they seldom overlap);
// -1 for none.
long long unit_at(const std::vector<Span>& spans, std::uint64_t address) noexcept {
    auto after = std::upper_bound(spans.begin(), spans.end(), address,
                                  [](std::uint64_t at, const Span& span) { return at < span.low; });
    long long index = static_cast<long long>(after - spans.begin()) - 1;
    for (long long at = index; at > std::max(index - 4, -1LL); --at) {
        const Span& span = spans[static_cast<std::size_t>(at)];
        if (span.low <= address && address < span.high) return static_cast<long long>(span.unit);
    }
    return -1;
}

// `name` starts with `head` followed by a dot.
int dotted(PyObject* name, PyObject* head) noexcept {
    Py_ssize_t length = PyUnicode_GET_LENGTH(head);
    if (PyUnicode_GET_LENGTH(name) <= length || PyUnicode_READ_CHAR(name, length) != '.') return 0;
    return static_cast<int>(PyUnicode_Tailmatch(name, head, 0, length, -1));
}

// The candidate that is the symbol `name`: by its name or assembler name, or a compiler's copy
// of it (`count.0`, `f.constprop.0`); null when none is. -1 on failure.
int matching(PyObject* name, const Candidate* first, const Candidate* last, const Candidate*& found) noexcept {
    found = nullptr;
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute_sources: a symbol's name must be str, not %.100s",
                     Py_TYPE(name)->tp_name);
        return -1;
    }
    for (const Candidate* c = first; c != last; ++c) {
        int same = PyUnicode_Compare(name, c->name.get());
        if (same == -1 && PyErr_Occurred()) return -1;
        if (same == 0) return (found = c), 0;
        if (c->linkage.get() != Py_None) {
            same = PyUnicode_Compare(name, c->linkage.get());
            if (same == -1 && PyErr_Occurred()) return -1;
            if (same == 0) return (found = c), 0;
        }
    }
    for (const Candidate* c = first; c != last; ++c) {
        int copy = dotted(name, c->name.get());
        if (copy < 0) return -1;
        if (!copy) {
            PyObject* linkage = c->linkage.get();
            bool named = linkage != Py_None && PyUnicode_GET_LENGTH(linkage) > 0;
            copy = named ? dotted(name, linkage)
                         : PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == 0;
            if (copy < 0) return -1;
        }
        if (copy) return (found = c), 0;
    }
    return 0;
}

// The UTF-8 of a str, lone surrogates kept as their three bytes (so that no such name equals
// or starts like a name read as UTF-8); false with the exception set.
bool utf8_of(PyObject* text, std::string_view& out, Ref& encoded) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        encoded = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
        if (!encoded) return false;
        data = PyBytes_AS_STRING(encoded.get());
        size = PyBytes_GET_SIZE(encoded.get());
    }
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

bool dotted_text(std::string_view name, std::string_view head) noexcept {
    return name.size() > head.size() && name[head.size()] == '.' && name.compare(0, head.size(), head) == 0;
}

// A name of the debug information as the interpreter reads it (undecodable bytes replaced), in
// UTF-8: the bytes themselves when they are ASCII, else kept in `store`. False with the
// exception set.
bool as_read(std::string_view raw, std::string_view& out, std::deque<std::string>& store) {
    bool ascii = true;
    for (char c : raw) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        out = raw;
        return true;
    }
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "replace"));
    Py_ssize_t size = 0;
    const char* data = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
    if (data == nullptr) return false;
    out = store.emplace_back(data, static_cast<std::size_t>(size));
    return true;
}

// matching() for candidates read_dwarf holds: the same turns, on UTF-8 (whose prefixes are
// those of the texts); the names not ASCII kept in `texts`.
int matching_text(PyObject* name, const Candidate* first, const Candidate* last, const Candidate*& found,
                  std::deque<std::string>& texts) {
    found = nullptr;
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "attribute_sources: a symbol's name must be str, not %.100s",
                     Py_TYPE(name)->tp_name);
        return -1;
    }
    std::string_view text;
    Ref encoded;
    if (!utf8_of(name, text, encoded)) return -1;
    std::vector<std::pair<std::string_view, std::string_view>> names;  // each candidate's, linkage empty when none
    names.reserve(static_cast<std::size_t>(last - first));
    for (const Candidate* c = first; c != last; ++c) {
        auto& [own, linkage] = names.emplace_back();
        if (!as_read(c->entity->name, own, texts) || (!c->entity->linkage.empty() && !as_read(c->entity->linkage, linkage, texts)))
            return -1;
        if (text == own || (!linkage.empty() && text == linkage)) return (found = c), 0;
    }
    for (const Candidate* c = first; c != last; ++c) {
        auto [own, linkage] = names[static_cast<std::size_t>(c - first)];
        bool copy = dotted_text(text, own) || (linkage.empty() ? !text.empty() && text[0] == '\0' : dotted_text(text, linkage));
        if (copy) return (found = c), 0;
    }
    return 0;
}

// `shown` followed by ":line".
Ref with_line(PyObject* shown, unsigned long long line) noexcept {
    char digits[24] = ":";
    char* end = std::to_chars(digits + 1, digits + sizeof digits, line).ptr;
    auto added = static_cast<Py_ssize_t>(end - digits);
    if (!PyUnicode_IS_ASCII(shown)) {
        Ref suffix = Ref::steal(PyUnicode_FromStringAndSize(digits, added));
        return suffix ? Ref::steal(PyUnicode_Concat(shown, suffix.get())) : Ref();
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(shown);
    Ref made = Ref::steal(PyUnicode_New(length + added, 127));
    if (!made) return made;
    auto* at = static_cast<char*>(PyUnicode_DATA(made.get()));
    std::memcpy(at, PyUnicode_DATA(shown), static_cast<std::size_t>(length));
    std::memcpy(at + length, digits, static_cast<std::size_t>(added));
    return made;
}

struct PathUnit {
    long long path, unit;
    bool operator==(const PathUnit& other) const noexcept { return path == other.path && unit == other.unit; }
};
struct PathUnitHash {
    std::size_t operator()(const PathUnit& key) const noexcept {
        return std::hash<long long>{}(key.path * 1000003 ^ key.unit);
    }
};

struct GroupKey {
    PyObject *file, *archive, *section;
    bool unnamed;
    bool operator==(const GroupKey& other) const noexcept {
        return file == other.file && archive == other.archive && section == other.section && unnamed == other.unnamed;
    }
};
struct GroupKeyHash {
    std::size_t operator()(const GroupKey& key) const noexcept {
        auto a = reinterpret_cast<std::uintptr_t>(key.file), b = reinterpret_cast<std::uintptr_t>(key.archive),
             c = reinterpret_cast<std::uintptr_t>(key.section);
        return static_cast<std::size_t>((((a >> 4) * 31 ^ (b >> 4)) * 31 ^ (c >> 4) ^ key.unnamed) *
                                        0x9E3779B97F4A7C15ull >> 17);
    }
};

// Totals kept per key of equal values (the interpreter's dict), found first by the identity of
// the key's objects; in the order first met. Ints are added up natively while they fit in 64
// bits (ints add up the same in any order), anything else as the interpreter adds it, in turn.
struct Totals {
    Ref numbers = Ref::steal(PyDict_New());  // value key -> number
    std::vector<Ref> keys, sums;
    std::vector<std::size_t> counts;
    std::vector<long long> pending;  // ints not yet in sums
    std::vector<bool> ints;          // every value so far an int
    std::vector<Ref> held;  // the objects the identity table points at, kept alive

    // The number of the key; SIZE_MAX on failure.
    std::size_t number_of(Ref key) {
        PyObject* known = PyDict_GetItemWithError(numbers.get(), key.get());  // borrowed
        if (known != nullptr) return PyLong_AsSize_t(known);
        if (PyErr_Occurred()) return SIZE_MAX;
        Ref number = Ref::steal(PyLong_FromSize_t(keys.size()));
        if (!number || PyDict_SetItem(numbers.get(), key.get(), number.get()) < 0) return SIZE_MAX;
        keys.push_back(std::move(key));
        sums.push_back(Ref::steal(PyLong_FromLong(0)));
        counts.push_back(0);
        pending.push_back(0);
        ints.push_back(true);
        if (!sums.back()) return SIZE_MAX;
        return keys.size() - 1;
    }
    bool add(std::size_t number, PyObject* value) {
        counts[number] += 1;
        if (ints[number] && PyLong_CheckExact(value)) {
            int overflow = 0;
            long long amount = PyLong_AsLongLongAndOverflow(value, &overflow);
            long long sum = 0;
            if (overflow == 0 && !__builtin_add_overflow(pending[number], amount, &sum)) {
                pending[number] = sum;
                return true;
            }
        }
        if (!settle(number)) return false;
        ints[number] = ints[number] && PyLong_CheckExact(value);
        Ref sum = Ref::steal(PyNumber_Add(sums[number].get(), value));
        if (!sum) return false;
        sums[number] = std::move(sum);
        return true;
    }
    // The ints gathered natively added to the total.
    bool settle(std::size_t number) {
        if (pending[number] == 0) return true;
        Ref amount = Ref::steal(PyLong_FromLongLong(pending[number]));
        Ref sum = amount ? Ref::steal(PyNumber_Add(sums[number].get(), amount.get())) : Ref();
        if (!sum) return false;
        sums[number] = std::move(sum);
        pending[number] = 0;
        return true;
    }
    bool settle_all() {
        for (std::size_t number = 0; number < sums.size(); ++number)
            if (!settle(number)) return false;
        return true;
    }
};

using ShownOf = std::unordered_map<PathUnit, Ref, PathUnitHash>;

// A native entity's source ("file:line", or its unit's) and file; its path's text is in
// `shown_of`. False with the exception set.
bool native_source(const dwarf::Entity& e, const ShownOf& shown_of, PyObject* sources_of, PyObject* files_of,
                   Ref& source, Ref& file) noexcept {
    if (e.file < 0) {
        source = Ref::borrow(PyTuple_GET_ITEM(sources_of, static_cast<Py_ssize_t>(e.unit)));
        file = Ref::borrow(PyTuple_GET_ITEM(files_of, static_cast<Py_ssize_t>(e.unit)));
        return true;
    }
    auto shown = shown_of.find(PathUnit{e.file, static_cast<long long>(e.unit)});  // asked for every entity's
    if (shown == shown_of.end()) {
        PyErr_SetString(PyExc_RuntimeError, "attribute_sources: an entity's path was never shown");
        return false;
    }
    PyObject* known = shown->second.get();
    source = with_line(known, static_cast<unsigned long long>(e.line));
    file = Ref::borrow(known);
    return static_cast<bool>(source);
}

// The entities given as tuples (entity by entity checked): the inlined calls added up in
// `inlined`, the functions and variables made candidates. False with the exception set.
template <typename ShownFor>
bool python_entities(PyObject* entities, Py_ssize_t unit_count, ShownFor& shown_for, PyObject* sources_of,
                     PyObject* files_of, Totals& inlined, std::vector<Candidate>& candidates) {
    std::unordered_map<long long, Ref> line_texts;  // ":42"
    Py_ssize_t count = PyTuple_GET_SIZE(entities);
    candidates.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* entity = PyTuple_GET_ITEM(entities, i);  // borrowed; the copy holds it
        if (!PyTuple_Check(entity) || PyTuple_GET_SIZE(entity) != 8) {
            PyErr_SetString(PyExc_ValueError, "attribute_sources: a debug entity must be (kind, name, linkage, unit, "
                                              "path, line, address, size)");
            return false;
        }
        PyObject *kind_in = PyTuple_GET_ITEM(entity, 0), *name = PyTuple_GET_ITEM(entity, 1),
                 *linkage = PyTuple_GET_ITEM(entity, 2), *unit_in = PyTuple_GET_ITEM(entity, 3),
                 *path_in = PyTuple_GET_ITEM(entity, 4), *line = PyTuple_GET_ITEM(entity, 5),
                 *low_in = PyTuple_GET_ITEM(entity, 6), *size = PyTuple_GET_ITEM(entity, 7);
        if (!PyLong_Check(kind_in) || !PyLong_Check(unit_in) || !PyLong_Check(path_in) || !PyLong_Check(line) ||
            !PyLong_Check(size) || !is_text(name, false) || !is_text(linkage, true)) {
            PyErr_SetString(PyExc_TypeError, "attribute_sources: a debug entity's kind, unit, path, line and size must "
                                             "be int, its name str and its linkage name str or None");
            return false;
        }
        long kind = PyLong_AsLong(kind_in);
        long long unit = PyLong_AsLongLong(unit_in);
        long long path = PyLong_AsLongLong(path_in);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "attribute_sources: a debug entity's kind, unit or path is out of range");
            return false;
        }
        if (unit < 0 || unit >= unit_count) {
            PyErr_Format(PyExc_ValueError, "attribute_sources: a debug entity names unit %R of %zd", unit_in, unit_count);
            return false;
        }
        Ref source, file;
        if (path >= 0) {
            PyObject* known = shown_for(path_in, unit_in, path, unit);  // borrowed
            if (known == nullptr) return false;
            int overflow = 0;
            long long number = PyLong_AsLongLongAndOverflow(line, &overflow);
            Ref suffix;
            if (overflow == 0) {
                Ref& text = line_texts[number];
                if (!text) {
                    char digits[24] = ":";
                    auto end = std::to_chars(digits + 1, digits + sizeof digits, number).ptr;
                    text = Ref::steal(PyUnicode_FromStringAndSize(digits, end - digits));
                    if (!text) return false;
                }
                suffix = Ref::borrow(text.get());
            } else {
                suffix = Ref::steal(PyUnicode_FromFormat(":%S", line));
                if (!suffix) return false;
            }
            source = Ref::steal(PyUnicode_Concat(known, suffix.get()));
            if (!source) return false;
            bool numbered = overflow > 0 || (overflow == 0 && number >= 0);
            file = Ref::borrow(numbered ? known : source.get());  // "f.c:-1" has no line to leave out
        } else {
            source = Ref::borrow(PyTuple_GET_ITEM(sources_of, unit));
            file = Ref::borrow(PyTuple_GET_ITEM(files_of, unit));
        }
        if (kind == 2) {  // an inlined call
            Ref key = Ref::steal(PyTuple_Pack(2, name, source.get()));
            if (!key) return false;
            std::size_t number = inlined.number_of(std::move(key));
            if (number == SIZE_MAX || !inlined.add(number, size)) return false;
            continue;
        }
        std::uint64_t low = 0;
        if (!debug_address(low_in, low, "a debug entity's address")) return false;
        candidates.push_back(Candidate{low, Ref::borrow(name), Ref::borrow(linkage), std::move(source), std::move(file)});
    }
    return true;
}

}  // namespace

PyObject* attribute_sources(PyObject*, PyObject* args) {
    PyObject *entities_in, *units, *unit_sources, *unit_files, *symbols, *shown;
    if (!PyArg_ParseTuple(args, "OO!O!O!OO:attribute_sources", &entities_in, &PyList_Type, &units, &PyList_Type,
                          &unit_sources, &PyList_Type, &unit_files, &symbols, &shown))
        return nullptr;
    const dwarf::Result* native = debug_entities_of(entities_in);
    // copies of the lists: `shown` may be any callable, and nothing it does moves what is walked
    // (what read_dwarf holds cannot change)
    Ref entities = native != nullptr ? Ref::borrow(entities_in) : Ref::steal(PySequence_Tuple(entities_in));
    Ref unit_list = Ref::steal(PyList_GetSlice(units, 0, PY_SSIZE_T_MAX));
    Ref sources_of = Ref::steal(PyList_AsTuple(unit_sources));
    Ref files_of = Ref::steal(PyList_AsTuple(unit_files));
    if (!entities || !unit_list || !sources_of || !files_of) return nullptr;
    Py_ssize_t unit_count = PyList_GET_SIZE(unit_list.get());
    if (PyTuple_GET_SIZE(sources_of.get()) != unit_count || PyTuple_GET_SIZE(files_of.get()) != unit_count) {
        PyErr_SetString(PyExc_ValueError, "attribute_sources: a source and a file are needed for every unit");
        return nullptr;
    }
    std::vector<Span> spans;
    if (native != nullptr) {
        if (native->units.size() != static_cast<std::size_t>(unit_count)) {
            PyErr_Format(PyExc_ValueError, "attribute_sources: %zd units given for the %zu read with the entities",
                         unit_count, native->units.size());
            return nullptr;
        }
        native_spans(*native, spans);
    } else if (!unit_spans(unit_list.get(), spans)) {
        return nullptr;
    }

    std::vector<Candidate> candidates;
    ShownOf shown_of;  // a build's entities name few files
    // the text a path of a unit is shown as (borrowed from shown_of), asked for once per pair
    auto shown_for = [&](PyObject* path, PyObject* unit, long long path_number, long long unit_number) -> PyObject* {
        Ref& known = shown_of[PathUnit{path_number, unit_number}];
        if (!known) {
            known = Ref::steal(PyObject_CallFunctionObjArgs(shown, path, unit, nullptr));
            if (!known) return nullptr;
            if (!PyUnicode_Check(known.get())) {
                PyErr_Format(PyExc_TypeError, "attribute_sources: shown() must give a str, not %.100s",
                             Py_TYPE(known.get())->tp_name);
                known = Ref();
                return nullptr;
            }
        }
        return known.get();
    };
    Totals inlined;
    if (!inlined.numbers) return nullptr;
    std::deque<std::string> texts;  // the names of native candidates that are not ASCII, as read
    if (native != nullptr) {
        candidates.reserve(native->entities.size());
        std::unordered_map<const char*, Ref> names;  // an inlined function's name, by its place in the sections
        for (const dwarf::Entity& e : native->entities) {
            if (e.file >= 0 && shown_of.find(PathUnit{e.file, static_cast<long long>(e.unit)}) == shown_of.end()) {
                Ref path = Ref::steal(PyLong_FromLong(e.file));
                Ref unit = Ref::steal(PyLong_FromSize_t(e.unit));
                if (!path || !unit || !shown_for(path.get(), unit.get(), e.file, static_cast<long long>(e.unit)))
                    return nullptr;
            }
            if (e.kind == dwarf::Kind::inlined) {
                Ref& name = names[e.name.data()];
                if (!name) name = Ref::steal(PyUnicode_DecodeUTF8(e.name.data(), static_cast<Py_ssize_t>(e.name.size()),
                                                                  "replace"));
                Ref source, file;
                Ref size = Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(e.size)));
                if (!name || !size || !native_source(e, shown_of, sources_of.get(), files_of.get(), source, file))
                    return nullptr;
                Ref key = Ref::steal(PyTuple_Pack(2, name.get(), source.get()));
                if (!key) return nullptr;
                std::size_t number = inlined.number_of(std::move(key));
                if (number == SIZE_MAX || !inlined.add(number, size.get())) return nullptr;
                continue;
            }
            candidates.push_back(Candidate{e.low, Ref(), Ref(), Ref(), Ref(), &e});
        }
    } else if (!python_entities(entities.get(), unit_count, shown_for, sources_of.get(), files_of.get(), inlined,
                                candidates)) {
        return nullptr;
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const Candidate& a, const Candidate& b) { return a.address < b.address; });
    std::vector<std::uint64_t> addresses;  // the candidates', searched by halves in a sixth of their room
    addresses.reserve(candidates.size());
    for (const Candidate& candidate : candidates) addresses.push_back(candidate.address);
    auto at_address = [&](std::uint64_t address, const Candidate*& first, const Candidate*& last) {
        auto range = std::equal_range(addresses.begin(), addresses.end(), address);
        first = candidates.data() + (range.first - addresses.begin());
        last = candidates.data() + (range.second - addresses.begin());
        return first != last;
    };

    FieldReader binding{"binding"}, address_field{"address"}, name_field{"name"}, size_field{"size"},
        alias_of{"alias_of"}, archive_field{"archive"}, section_field{"section"};
    FieldWriter source_field{"source"};
    Ref unnamed_text = Ref::steal(PyUnicode_InternFromString("unnamed"));
    Ref iterator = Ref::steal(PyObject_GetIter(symbols));
    Totals groups;
    if (!binding.ready() || !address_field.ready() || !name_field.ready() || !size_field.ready() ||
        !alias_of.ready() || !archive_field.ready() || !section_field.ready() || !source_field.ready() || !unnamed_text ||
        !iterator || !groups.numbers)
        return nullptr;
    std::unordered_map<GroupKey, std::size_t, GroupKeyHash> group_of;  // by the identity of the key's objects
    while (Ref symbol = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref bound = binding.read(symbol.get());
        int unnamed = bound ? PyObject_RichCompareBool(bound.get(), unnamed_text.get(), Py_EQ) : -1;
        if (unnamed < 0) return nullptr;
        PyObject* source = Py_None;  // borrowed from a candidate or a unit
        PyObject* file = Py_None;
        if (!unnamed) {
            Ref address = address_field.read(symbol.get());
            if (!address) return nullptr;
            if (!PyLong_Check(address.get())) {
                PyErr_Format(PyExc_TypeError, "attribute_sources: a symbol's address must be an int, not %.100s",
                             Py_TYPE(address.get())->tp_name);
                return nullptr;
            }
            std::uint64_t at = 0;
            if (as_address(address.get(), at)) {  // no debug entity or unit lies beyond 64 bits
                const Candidate *first = nullptr, *last = nullptr;
                // a Thumb function's address carries the low bit in a map
                if (at_address(at, first, last) || at_address(at & ~std::uint64_t{1}, first, last)) {
                    const Candidate* found = first;
                    if (last - first > 1) {
                        Ref name = name_field.read(symbol.get());
                        if (!name || (native != nullptr ? matching_text(name.get(), first, last, found, texts)
                                                        : matching(name.get(), first, last, found)) < 0)
                            return nullptr;
                    }
                    if (found != nullptr) {
                        Candidate& chosen = candidates[static_cast<std::size_t>(found - candidates.data())];
                        if (!chosen.source && !native_source(*chosen.entity, shown_of, sources_of.get(), files_of.get(),
                                                             chosen.source, chosen.file))
                            return nullptr;
                        source = chosen.source.get(), file = chosen.file.get();
                    }
                }
                if (source == Py_None) {
                    long long unit = unit_at(spans, at);
                    if (unit >= 0) {
                        source = PyTuple_GET_ITEM(sources_of.get(), unit);
                        file = PyTuple_GET_ITEM(files_of.get(), unit);
                    }
                }
            }
        }
        if (source_field.write(symbol.get(), source) < 0) return nullptr;
        Ref size = size_field.read(symbol.get());
        Ref alias = size ? alias_of.read(symbol.get()) : Ref();
        if (!alias) return nullptr;
        if (alias.get() != Py_None) continue;
        int empty;
        if (PyLong_CheckExact(size.get())) {
            int overflow = 0;
            long long bytes = PyLong_AsLongLongAndOverflow(size.get(), &overflow);
            empty = overflow < 0 || (overflow == 0 && bytes <= 0);
        } else {
            Ref zero = Ref::steal(PyLong_FromLong(0));
            empty = zero ? PyObject_RichCompareBool(size.get(), zero.get(), Py_LE) : -1;
            if (empty < 0) return nullptr;
        }
        if (empty) continue;
        Ref archive = archive_field.read(symbol.get());
        Ref section = archive ? section_field.read(symbol.get()) : Ref();
        if (!section) return nullptr;
        PyObject* grouped = unnamed ? Py_None : file;  // the unnamed bytes apart from every file
        GroupKey key{grouped, archive.get(), section.get(), unnamed != 0};
        auto known = group_of.find(key);
        std::size_t number;
        if (known != group_of.end()) {
            number = known->second;
        } else {
            Ref values = Ref::steal(PyTuple_Pack(4, unnamed ? Py_True : Py_False, grouped, archive.get(), section.get()));
            if (!values) return nullptr;
            number = groups.number_of(std::move(values));
            if (number == SIZE_MAX) return nullptr;
            groups.held.push_back(Ref::borrow(grouped));
            groups.held.push_back(Ref::borrow(archive.get()));
            groups.held.push_back(Ref::borrow(section.get()));
            group_of.emplace(key, number);
        }
        if (!groups.add(number, size.get())) return nullptr;
    }
    if (PyErr_Occurred() || !groups.settle_all() || !inlined.settle_all()) return nullptr;

    Ref group_rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(groups.keys.size())));
    if (!group_rows) return nullptr;
    for (std::size_t i = 0; i < groups.keys.size(); ++i) {
        PyObject* key = groups.keys[i].get();
        PyObject* row = PyTuple_Pack(5, PyTuple_GET_ITEM(key, 0), PyTuple_GET_ITEM(key, 1), PyTuple_GET_ITEM(key, 2),
                                     PyTuple_GET_ITEM(key, 3), groups.sums[i].get());
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(group_rows.get(), static_cast<Py_ssize_t>(i), row);  // steals row
    }
    Ref inlined_rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(inlined.keys.size())));
    if (!inlined_rows) return nullptr;
    for (std::size_t i = 0; i < inlined.keys.size(); ++i) {
        PyObject* key = inlined.keys[i].get();
        Ref sites = Ref::steal(PyLong_FromSize_t(inlined.counts[i]));
        PyObject* row = sites ? PyTuple_Pack(4, PyTuple_GET_ITEM(key, 0), PyTuple_GET_ITEM(key, 1),
                                             inlined.sums[i].get(), sites.get())
                              : nullptr;
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(inlined_rows.get(), static_cast<Py_ssize_t>(i), row);  // steals row
    }
    return PyTuple_Pack(2, group_rows.get(), inlined_rows.get());
}

}  // namespace tarnwick
