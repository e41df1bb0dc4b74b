// extent_fault(): the first figure of a finished model that no build has, found in one pass over
// its regions, sections, input sections and symbols (a large map has a million symbols, which a
// Python loop takes a fifth of the read to go over). toolchains/extent_check.py says what it is.
#include "fast/extent_check.hpp"

#include "fast/records.hpp"

#include <string_view>
#include <unordered_map>
#include <utility>
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
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
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

struct Span {
    Wide low, high;
};

// Whether one of the spans holds the bytes; a Thumb function's address carries the low bit.
bool holds(const std::vector<Span>& spans, Wide address, Wide size) {
    for (const Span& span : spans)
        if ((span.low <= address && address + size <= span.high) || (span.low < address && address - 1 + size <= span.high))
            return true;
    return false;
}

struct Fields {
    FieldReader name{"name"}, origin{"origin"}, length{"length"}, address{"address"}, size{"size"},
        load_address{"load_address"}, inputs{"inputs"}, section{"section"}, alias_of{"alias_of"};
    bool ready() {
        return name.ready() && origin.ready() && length.ready() && address.ready() && size.ready() &&
               load_address.ready() && inputs.ready() && section.ready() && alias_of.ready();
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

}  // namespace

PyObject* extent_fault(PyObject*, PyObject* args) {
    PyObject *regions, *sections, *symbols;
    if (!PyArg_ParseTuple(args, "OOO:extent_fault", &regions, &sections, &symbols)) return nullptr;
    Ref region_items = Ref::steal(PySequence_Fast(regions, "regions must be a sequence"));
    Ref section_items = region_items ? Ref::steal(PySequence_Fast(sections, "sections must be a sequence")) : Ref();
    Ref symbol_items = section_items ? Ref::steal(PySequence_Fast(symbols, "symbols must be a sequence")) : Ref();
    Fields f;
    if (!symbol_items || !f.ready()) return nullptr;
    Wide a = 0, b = 0;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(region_items.get()); ++i) {
        if (!figures(f.origin, f.length, PySequence_Fast_GET_ITEM(region_items.get(), i), a, b)) return nullptr;
        if (!within(a, b, address_space + 1)) return fault("region", i);
    }
    std::unordered_map<std::string_view, std::vector<Span>> spans;  // by section name: several may share one
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(section_items.get()); ++i) {
        PyObject* section = PySequence_Fast_GET_ITEM(section_items.get(), i);
        Wide start = 0, size = 0;
        if (!figures(f.address, f.size, section, start, size)) return nullptr;
        if (!within(start, size, size_limit)) return fault("section", i);
        Ref load = f.load_address.read(section);
        if (!load) return nullptr;
        if (load.get() != Py_None && (!wide_of(load.get(), a) || !within(a, size, size_limit)))
            return PyErr_Occurred() ? nullptr : fault("load image", i);
        Ref name = f.name.read(section);
        if (!name) return nullptr;
        if (PyUnicode_Check(name.get())) spans[utf8(name.get())].push_back({start, start + size});  // the record holds it
        Ref inputs = f.inputs.read(section);
        Ref parts = inputs ? Ref::steal(PySequence_Fast(inputs.get(), "inputs must be a sequence")) : Ref();
        if (!parts) return nullptr;
        for (Py_ssize_t j = 0; j < PySequence_Fast_GET_SIZE(parts.get()); ++j) {
            if (!figures(f.address, f.size, PySequence_Fast_GET_ITEM(parts.get(), j), a, b)) return nullptr;
            if (!within(a, b, size_limit)) return fault("input", i, j);
            if (b != 0 && !(start <= a && a + b <= start + size)) return fault("input outside", i, j);
        }
    }
    PyObject* last_section = nullptr;  // a section's symbols mostly come together
    const std::vector<Span>* last_spans = nullptr;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(symbol_items.get()); ++k) {
        PyObject* symbol = PySequence_Fast_GET_ITEM(symbol_items.get(), k);
        Wide address = 0, size = 0;
        if (!figures(f.address, f.size, symbol, address, size)) return nullptr;
        if (!within(address, size, size_limit)) return fault("symbol", k);
        if (size == 0) continue;
        Ref alias = f.alias_of.read(symbol);
        Ref section = alias ? f.section.read(symbol) : Ref();
        if (!section) return nullptr;
        if (alias.get() != Py_None) continue;
        if (section.get() != last_section) {
            auto found = PyUnicode_Check(section.get()) ? spans.find(utf8(section.get())) : spans.end();
            last_section = section.get();  // held by the symbol's record
            last_spans = found == spans.end() ? nullptr : &found->second;
        }
        if (last_spans != nullptr && !holds(*last_spans, address, size)) return fault("symbol outside", k);
    }
    Py_RETURN_NONE;
}

}  // namespace tarnwick
