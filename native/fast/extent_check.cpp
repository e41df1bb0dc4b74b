// extent_fault(): the first figure of a finished model that no build has, found in one pass over
// its regions, sections, input sections and symbols (a large map has a million symbols, which a
// Python loop takes a fifth of the read to go over). toolchains/extent_check.py says what it is.
#include "fast/extent_check.hpp"

#include "fast/flat_table.hpp"
#include "fast/records.hpp"
#include "support/compat.hpp"
#include "support/items.hpp"

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace tarnwick {

namespace {

// Figures as Python holds them, which a reader's unit conversion may take past 64 bits: one
// past 64 bits either way stands for itself as +-2^100.
using Wide = __int128;
constexpr Wide huge = static_cast<Wide>(1) << 100;
constexpr Wide address_space = static_cast<Wide>(1) << 64;
constexpr Wide size_limit = static_cast<Wide>(1) << 63;  // a size of this or more is more than an address space holds

// false with an exception set when the value is no int
bool wide_of(PyObject* value, Wide& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "an address or size must be an int, not %.100s", Py_TYPE(value)->tp_name);
        return false;
    }
    long long small = 0;
    if (compat::compact_value(value, small)) {
        out = small;
        return true;
    }
    int overflow = 0;
    small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (small == -1 && PyErr_Occurred()) return false;
    if (overflow == 0) {
        out = small;
        return true;
    }
    if (overflow < 0) {
        out = -huge;
        return true;
    }
    unsigned long long large = PyLong_AsUnsignedLongLong(value);
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // past 64 bits
        out = huge;
        return true;
    }
    out = static_cast<Wide>(large);
    return true;
}

bool within(Wide start, Wide size, Wide limit) {
    return start >= 0 && size >= 0 && size < limit && start + size <= address_space;
}

// The sections' spans by name in flat arrays (a map has tens of thousands of sections). A
// symbol's record mostly holds its section's own name string: spans are found by that string
// object first, and by the name's text (every section of that name, equal strings being other
// objects) only for a symbol that none of the spans of its string object holds; the table of
// texts is made at the first such symbol.
struct Span {
    Wide low, high;
    PyObject* name;  // held by the section's record
    std::size_t next_same_object, next_same_name;
};

constexpr std::size_t none = SIZE_MAX;

struct ObjectHash {
    std::uint64_t operator()(PyObject* object) const noexcept {
        auto bits = reinterpret_cast<std::uintptr_t>(object);
        return (bits >> 4) * 0x9e3779b97f4a7c15ULL;  // objects lie 16 bytes apart at least
    }
};

class Spans {
public:
    void add(PyObject* name, Wide low, Wide high) { spans_.push_back({low, high, name, none, none}); }
    // Whether span `at` is of the section named by the string object `name` and holds the bytes:
    // the symbols mostly come in the sections' order, so the span that held the last one or the
    // next is tried before any table is made.
    bool span_holds(std::size_t at, PyObject* name, Wide address, Wide size) const {
        return at < spans_.size() && spans_[at].name == name && holds_at(spans_[at], address, size);
    }
    // Whether a span of the section named `name` holds the bytes: `at` is the first span of
    // that string object (of_object), `by_text` where its text's spans are, or none until asked.
    // `where`: the span that holds them, none when it is not known.
    bool holds(PyObject* name, std::size_t at, std::size_t& by_text, bool& text_known, Wide address, Wide size,
               std::size_t& where) {
        where = holds_from(at, &Span::next_same_object, address, size);
        if (where != none) return true;
        if (!text_known) {
            text_known = true;
            by_text = of_text(name);
        }
        return by_text == none || holds_from(by_text, &Span::next_same_name, address, size) != none;
    }
    std::size_t of_object(PyObject* name) {
        if (!objects_made_) {  // the chains as adding each span in turn would have made them
            objects_made_ = true;
            for (std::size_t i = 0; i < spans_.size(); ++i) {
                std::size_t number = first(objects_, by_object_, spans_[i].name);
                spans_[i].next_same_object = by_object_[number];
                by_object_[number] = i;
            }
        }
        return by_object_[first(objects_, by_object_, name)];
    }

private:
    template <class Table, class Key>
    static std::size_t first(Table& table, std::vector<std::size_t>& firsts, const Key& key) {
        std::size_t number = table.find_or_add(key, firsts.size());
        if (number == firsts.size()) firsts.push_back(none);
        return number;
    }
    // The first span of the sections named as `name` reads, or none.
    std::size_t of_text(PyObject* name) {
        if (!texts_made_) {
            texts_made_ = true;
            for (std::size_t i = 0; i < spans_.size(); ++i) {
                std::size_t number = first(texts_, by_text_, utf8_of(spans_[i].name));
                spans_[i].next_same_name = by_text_[number];
                by_text_[number] = i;
            }
        }
        return PyUnicode_Check(name) ? by_text_[first(texts_, by_text_, utf8_of(name))] : none;
    }
    // A Thumb function's address carries the low bit.
    static bool holds_at(const Span& span, Wide address, Wide size) {
        return (span.low <= address && address + size <= span.high) || (span.low < address && address - 1 + size <= span.high);
    }
    // The first span of the chain from `at` that holds the bytes, or none.
    std::size_t holds_from(std::size_t at, std::size_t Span::*next, Wide address, Wide size) const {
        for (; at != none; at = spans_[at].*next)
            if (holds_at(spans_[at], address, size)) return at;
        return none;
    }
    static std::string_view utf8_of(PyObject* text);

    FlatTable<PyObject*, ObjectHash> objects_;
    std::vector<std::size_t> by_object_;
    bool objects_made_ = false;
    FlatTable<std::string_view, TextViewHash> texts_;
    std::vector<std::size_t> by_text_;
    bool texts_made_ = false;
    std::vector<Span> spans_;
};

// One reader per field and kind of record: a reader keeps the slot of the last class it read.
struct Fields {
    FieldReader origin{"origin"}, length{"length"};                                                 // regions
    FieldReader name{"name"}, address{"address"}, size{"size"}, load_address{"load_address"}, inputs{"inputs"};  // sections
    FieldReader input_address{"address"}, input_size{"size"};                                       // input sections
    FieldReader symbol_address{"address"}, symbol_size{"size"}, section{"section"}, alias_of{"alias_of"};  // symbols
    bool ready() {
        return origin.ready() && length.ready() && name.ready() && address.ready() && size.ready() &&
               load_address.ready() && inputs.ready() && input_address.ready() && input_size.ready() &&
               symbol_address.ready() && symbol_size.ready() && section.ready() && alias_of.ready();
    }
};

// Reads two figures of a record; false with an exception set.
bool figures(FieldReader& first, FieldReader& second, PyObject* record, Wide& a, Wide& b) {
    Ref x = first.read(record);
    Ref y = x ? second.read(record) : Ref();
    return y && wide_of(x.get(), a) && wide_of(y.get(), b);
}

PyObject* fault(const char* what, Py_ssize_t index, Py_ssize_t part = -1) {
    return Py_BuildValue("(snn)", what, index, part);
}

// The UTF-8 of a text, or an empty view for anything else (a name that cannot be told apart).
std::string_view utf8(PyObject* text) {
    if (!PyUnicode_Check(text)) return {};
    Py_ssize_t length = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &length);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return {data, static_cast<std::size_t>(length)};
}

std::string_view Spans::utf8_of(PyObject* text) { return utf8(text); }

}  // namespace

PyObject* extent_fault(PyObject*, PyObject* args) {
    PyObject *regions, *sections, *symbols;
    if (!PyArg_ParseTuple(args, "OOO:extent_fault", &regions, &sections, &symbols)) return nullptr;
    Ref region_items = fast_items(regions, "regions must be a sequence");
    Ref section_items = region_items ? fast_items(sections, "sections must be a sequence") : Ref();
    Ref symbol_items = section_items ? fast_items(symbols, "symbols must be a sequence") : Ref();
    Fields f;
    if (!symbol_items || !f.ready()) return nullptr;
    Wide a = 0, b = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(region_items.get()); ++i) {
        if (!figures(f.origin, f.length, PySequence_Fast_GET_ITEM(region_items.get(), i), a, b)) return nullptr;
        if (!within(a, b, address_space + 1)) return fault("region", i);
    }
    Spans spans;  // by section name: several may share one
    // Sections, input sections and symbols each add up to less than 2^63 bytes: the passes add
    // their bytes up per object file, archive and region in 64 bits.
    Wide sections_total = 0, inputs_total = 0, symbols_total = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(section_items.get()); ++i) {
        PyObject* section = PySequence_Fast_GET_ITEM(section_items.get(), i);
        Wide start = 0, size = 0;
        if (!figures(f.address, f.size, section, start, size)) return nullptr;
        if (!within(start, size, size_limit)) return fault("section", i);
        if ((sections_total += size) >= size_limit) return fault("sections together", i);
        Ref load = f.load_address.read(section);
        if (!load) return nullptr;
        if (load.get() != Py_None && (!wide_of(load.get(), a) || !within(a, size, size_limit)))
            return PyErr_Occurred() ? nullptr : fault("load image", i);
        Ref name = f.name.read(section);
        if (!name) return nullptr;
        if (PyUnicode_Check(name.get())) spans.add(name.get(), start, start + size);  // the record holds the name
        Ref inputs = f.inputs.read(section);
        Ref parts = inputs ? fast_items(inputs.get(), "inputs must be a sequence") : Ref();
        if (!parts) return nullptr;
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(parts.get()); ++j) {
            prefetch_ahead(parts.get(), j, f.input_address);
            if (!figures(f.input_address, f.input_size, PySequence_Fast_GET_ITEM(parts.get(), j), a, b)) return nullptr;
            if (!within(a, b, size_limit)) return fault("input", i, j);
            if ((inputs_total += b) >= size_limit) return fault("inputs together", i, j);
            if (b != 0 && !(start <= a && a + b <= start + size)) return fault("input outside", i, j);
        }
    }
    PyObject* last_section = nullptr;  // a section's symbols mostly come together
    std::size_t last_spans = none, last_by_text = none;
    bool last_text_known = false;
    std::size_t guess = 0;  // the span that held the last symbol the sections' order placed
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(symbol_items.get()); ++k) {
        prefetch_ahead(symbol_items.get(), k, f.symbol_address);
        PyObject* symbol = PySequence_Fast_GET_ITEM(symbol_items.get(), k);
        Wide address = 0, size = 0;
        if (!figures(f.symbol_address, f.symbol_size, symbol, address, size)) return nullptr;
        if (!within(address, size, size_limit)) return fault("symbol", k);
        if ((symbols_total += size) >= size_limit) return fault("symbols together", k);
        if (size == 0) continue;
        Ref alias = f.alias_of.read(symbol);
        Ref section = alias ? f.section.read(symbol) : Ref();
        if (!section) return nullptr;
        if (alias.get() != Py_None || !PyUnicode_Check(section.get())) continue;  // a name no section has
        if (spans.span_holds(guess, section.get(), address, size)) continue;
        if (spans.span_holds(guess + 1, section.get(), address, size)) {
            ++guess;
            continue;
        }
        if (section.get() != last_section) {
            last_spans = spans.of_object(section.get());
            last_text_known = false;
            last_section = section.get();  // held by the symbol's record
        }
        std::size_t where = none;
        if (!spans.holds(section.get(), last_spans, last_by_text, last_text_known, address, size, where))
            return fault("symbol outside", k);
        if (where != none) guess = where;
    }
    Py_RETURN_NONE;
}

}  // namespace tarnwick
