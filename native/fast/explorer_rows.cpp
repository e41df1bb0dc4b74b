// The rows of the HTML explorer's symbol table, in one loop over a build's symbols: a large
// firmware has hundreds of thousands of them, and the page must not cost more than the text.
#include "fast/explorer_rows.hpp"

#include "fast/demangle.hpp"
#include "fast/records.hpp"
#include "fast/symbol_totals.hpp"

#include <cstdint>
#include <new>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarnwick {

namespace {

struct PairHash {
    std::size_t operator()(const std::pair<PyObject*, PyObject*>& key) const noexcept {
        auto a = reinterpret_cast<std::uintptr_t>(key.first), b = reinterpret_cast<std::uintptr_t>(key.second);
        return static_cast<std::size_t>(((a >> 4) ^ (b >> 4) * 31) * 0x9E3779B97F4A7C15ull >> 17);
    }
};

// What a Python hook answers once per key (a section, an origin), kept for the next symbols.
class Answers {
public:
    explicit Answers(PyObject* hook) : hook_(hook) {}
    // borrowed; null with an exception set
    PyObject* get(PyObject* a, PyObject* b) {
        auto found = cache_.find({a, b});
        if (found != cache_.end()) return found->second.get();
        Ref answer = Ref::steal(b == nullptr ? PyObject_CallOneArg(hook_, a)
                                             : PyObject_CallFunctionObjArgs(hook_, a, b, nullptr));
        if (!answer) return nullptr;
        if (!PyTuple_Check(answer.get())) {
            PyErr_SetString(PyExc_TypeError, "an explorer hook must answer a tuple");
            return nullptr;
        }
        PyObject* borrowed = answer.get();
        keep_.push_back(Ref::borrow(a));
        if (b != nullptr) keep_.push_back(Ref::borrow(b));
        cache_.emplace(std::make_pair(a, b), std::move(answer));
        return borrowed;
    }

private:
    PyObject* hook_;
    std::unordered_map<std::pair<PyObject*, PyObject*>, Ref, PairHash> cache_;
    std::vector<Ref> keep_;  // the keys stay alive while they are keys
};

}  // namespace

PyObject* shown_name(PyObject* name) noexcept {
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) return nullptr;
    try {
        auto readable = demangle::shown({text, static_cast<std::size_t>(length)});
        if (!readable) return Py_NewRef(name);
        return PyUnicode_DecodeUTF8(readable->data(), static_cast<Py_ssize_t>(readable->size()), "replace");
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* explorer_rows(PyObject*, PyObject* args) {
    PyObject *symbols, *place_of, *origin_of, *deltas, *unchanged;
    if (!PyArg_ParseTuple(args, "OOOOO:explorer_rows", &symbols, &place_of, &origin_of, &deltas, &unchanged))
        return nullptr;
    if (!PyDict_Check(deltas)) {
        PyErr_SetString(PyExc_TypeError, "deltas must be a dict");
        return nullptr;
    }
    FieldReader name_field{"name"}, size_field{"size"}, section_field{"section"}, object_field{"object_file"},
        archive_field{"archive"}, alias_field{"alias_of"}, source_field{"size_source"};
    for (FieldReader* field : {&name_field, &size_field, &section_field, &object_field, &archive_field,
                               &alias_field, &source_field})
        if (!field->ready()) return nullptr;
    Ref derived = Ref::steal(PyUnicode_InternFromString("derived"));
    Ref bound = Ref::steal(PyUnicode_InternFromString("bound"));
    // how a size is marked: "~" taken from addresses, "≤" an upper bound, "" as stated
    Ref approximate = Ref::steal(PyUnicode_FromString("~"));
    Ref at_most = Ref::steal(PyUnicode_FromString("\u2264"));
    Ref exact = Ref::steal(PyUnicode_FromString(""));
    Ref iterator = Ref::steal(PyObject_GetIter(symbols));
    Ref rows = Ref::steal(PyList_New(0));
    Ref groups = Ref::steal(PyDict_New());  // (section, object_file, archive) -> [row numbers]
    if (!derived || !bound || !approximate || !at_most || !exact || !iterator || !rows || !groups) return nullptr;
    try {
        Answers places(place_of), origins(origin_of);
        while (Ref symbol = Ref::steal(PyIter_Next(iterator.get()))) {
            long long bytes = own_bytes(symbol.get(), size_field, alias_field);
            if (bytes < 0) return nullptr;
            if (bytes == 0) continue;
            Ref size = size_field.read(symbol.get());
            if (!size) return nullptr;
            Ref name = name_field.read(symbol.get());
            Ref section = name ? section_field.read(symbol.get()) : Ref();
            Ref object = section ? object_field.read(symbol.get()) : Ref();
            Ref archive = object ? archive_field.read(symbol.get()) : Ref();
            Ref source = archive ? source_field.read(symbol.get()) : Ref();
            if (!source) return nullptr;
            if (!PyUnicode_Check(name.get())) {
                PyErr_SetString(PyExc_TypeError, "a symbol's name must be str");
                return nullptr;
            }
            PyObject* place = places.get(section.get(), nullptr);       // (section no., region no., ...)
            PyObject* origin = place ? origins.get(object.get(), archive.get()) : nullptr;  // (no., contributor, ...)
            if (origin == nullptr) return nullptr;
            if (PyTuple_GET_SIZE(place) < 2 || PyTuple_GET_SIZE(origin) < 2) {
                PyErr_SetString(PyExc_TypeError, "explorer hooks must answer pairs or more");
                return nullptr;
            }
            Ref delta = Ref::borrow(unchanged);
            if (PyDict_Size(deltas) > 0) {
                Ref key = Ref::steal(PyTuple_Pack(2, name.get(), PyTuple_GET_ITEM(origin, 1)));
                if (!key) return nullptr;
                PyObject* change = PyDict_GetItemWithError(deltas, key.get());  // borrowed
                if (change == nullptr && PyErr_Occurred()) return nullptr;
                if (change != nullptr) {
                    delta = Ref::steal(PyObject_GetAttrString(change, "delta"));
                    if (!delta || PyDict_DelItem(deltas, key.get()) < 0) return nullptr;
                }
            }
            Ref shown = Ref::steal(shown_name(name.get()));
            int is_derived = PyObject_RichCompareBool(source.get(), derived.get(), Py_EQ);
            int is_bound = is_derived == 0 ? PyObject_RichCompareBool(source.get(), bound.get(), Py_EQ) : 0;
            if (!shown || is_derived < 0 || is_bound < 0) return nullptr;
            Ref row = Ref::steal(PyList_New(8));
            if (!row) return nullptr;
            // the raw name only where it differs from the one shown
            PyList_SET_ITEM(row.get(), 1, Py_NewRef(shown.get() == name.get() ? Py_None : name.get()));
            PyList_SET_ITEM(row.get(), 0, shown.release());
            PyList_SET_ITEM(row.get(), 2, Py_NewRef(PyTuple_GET_ITEM(origin, 0)));
            PyList_SET_ITEM(row.get(), 3, Py_NewRef(PyTuple_GET_ITEM(place, 0)));
            PyList_SET_ITEM(row.get(), 4, Py_NewRef(PyTuple_GET_ITEM(place, 1)));
            PyList_SET_ITEM(row.get(), 5, Py_NewRef(size.get()));
            PyList_SET_ITEM(row.get(), 6, delta.release());
            PyList_SET_ITEM(row.get(), 7, Py_NewRef(is_derived ? approximate.get() : is_bound ? at_most.get() : exact.get()));
            Py_ssize_t number = PyList_GET_SIZE(rows.get());
            if (PyList_Append(rows.get(), row.get()) < 0) return nullptr;
            Ref group_key = Ref::steal(PyTuple_Pack(3, section.get(), object.get(), archive.get()));
            if (!group_key) return nullptr;
            PyObject* members = PyDict_GetItemWithError(groups.get(), group_key.get());  // borrowed
            if (members == nullptr) {
                if (PyErr_Occurred()) return nullptr;
                Ref fresh = Ref::steal(PyList_New(0));
                if (!fresh || PyDict_SetItem(groups.get(), group_key.get(), fresh.get()) < 0) return nullptr;
                members = fresh.get();
            }
            Ref index = Ref::steal(PyLong_FromSsize_t(number));
            if (!index || PyList_Append(members, index.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        return PyTuple_Pack(2, rows.get(), groups.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tarnwick
