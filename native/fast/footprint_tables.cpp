#include "fast/footprint_tables.hpp"

#include "fast/records.hpp"
#include "fast/symbol_totals.hpp"
#include "support/ref.hpp"

#include <deque>
#include <new>
#include <vector>

namespace tarnwick {

namespace {

// A member of a record, or of a stored report's object (None when the object lacks it).
class MemberReader {
public:
    explicit MemberReader(const char* name) noexcept : field_(name), text_(name) {}
    bool ready() noexcept {
        if (!field_.ready()) return false;
        key_ = Ref::steal(PyUnicode_InternFromString(text_));
        return static_cast<bool>(key_);
    }
    Ref read(PyObject* item) noexcept {
        if (!PyDict_CheckExact(item)) return field_.read(item);
        PyObject* value = PyDict_GetItemWithError(item, key_.get());  // borrowed
        if (value == nullptr && PyErr_Occurred()) return Ref();
        return Ref::borrow(value != nullptr ? value : Py_None);
    }

private:
    FieldReader field_;
    const char* text_;
    Ref key_;
};

struct Origin {
    Ref contributor, archive_name;
    long long bytes = 0;  // its symbols' own bytes, added up as they are met
};

// (object file, archive) -> what origin_of says of it: by the texts' identity first (a reader
// shares one text per origin), then by their values (a stored report's are all distinct).
class Origins {
public:
    explicit Origins(PyObject* origin_of) noexcept : origin_of_(origin_of) {}

    Origin* of(PyObject* object, PyObject* archive) noexcept {
        try {
            std::size_t number = numbers_.find_or_add({object, archive}, origins_.size());
            if (number < origins_.size()) return &origins_[number];
            if (!by_value_ && !(by_value_ = Ref::steal(PyDict_New()))) return nullptr;
            Ref pair = Ref::steal(PyTuple_Pack(2, object, archive));
            if (!pair) return nullptr;
            PyObject* known = PyDict_GetItemWithError(by_value_.get(), pair.get());  // borrowed
            if (known == nullptr && PyErr_Occurred()) return nullptr;
            Ref answer = known != nullptr ? Ref::borrow(known)
                                          : Ref::steal(PyObject_CallFunctionObjArgs(origin_of_, object, archive, nullptr));
            if (!answer) return nullptr;
            if (!PyTuple_Check(answer.get()) || PyTuple_GET_SIZE(answer.get()) != 2) {
                PyErr_SetString(PyExc_TypeError, "origin_of must give (contributor, archive name)");
                return nullptr;
            }
            if (known == nullptr && PyDict_SetItem(by_value_.get(), pair.get(), answer.get()) != 0) return nullptr;
            keep_.push_back(Ref::borrow(object));  // the identity table holds their addresses
            keep_.push_back(Ref::borrow(archive));
            origins_.push_back(Origin{Ref::borrow(PyTuple_GET_ITEM(answer.get(), 0)),
                                      Ref::borrow(PyTuple_GET_ITEM(answer.get(), 1))});
            return &origins_.back();
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return nullptr;
        }
    }

    const std::deque<Origin>& all() const noexcept { return origins_; }

private:
    PyObject* origin_of_;
    origin_totals::OriginTable numbers_;
    std::deque<Origin> origins_;  // stable addresses as it grows
    std::vector<Ref> keep_;
    Ref by_value_;
};

// table[key] += bytes, for an int table
bool add_bytes(PyObject* table, PyObject* key, long long bytes) noexcept {
    PyObject* known = PyDict_GetItemWithError(table, key);  // borrowed
    if (known == nullptr && PyErr_Occurred()) return false;
    long long total = bytes;
    if (known != nullptr) {
        total += PyLong_AsLongLong(known);
        if (total == -1 && PyErr_Occurred()) return false;
    }
    Ref value = Ref::steal(PyLong_FromLongLong(total));
    return value && PyDict_SetItem(table, key, value.get()) == 0;
}

}  // namespace

PyObject* symbol_tables(PyObject*, PyObject* args) {
    PyObject *symbols, *origin_of;
    if (!PyArg_ParseTuple(args, "OO:symbol_tables", &symbols, &origin_of)) return nullptr;
    MemberReader name{"name"}, size{"size"}, alias_of{"alias_of"}, source{"size_source"}, derived{"size_derived"},
        binding{"binding"}, object_file{"object_file"}, archive{"archive"}, section{"section"}, address{"address"};
    for (MemberReader* reader : {&name, &size, &alias_of, &source, &derived, &binding, &object_file, &archive,
                                 &section, &address})
        if (!reader->ready()) return nullptr;
    Ref from_elf = Ref::steal(PyUnicode_InternFromString("elf"));
    Ref from_map = Ref::steal(PyUnicode_InternFromString("map"));
    Ref from_addresses = Ref::steal(PyUnicode_InternFromString("derived"));
    Ref upper_bound = Ref::steal(PyUnicode_InternFromString("bound"));
    Ref by_symbol = Ref::steal(PyDict_New()), by_object = Ref::steal(PyDict_New());
    Ref by_archive = Ref::steal(PyDict_New()), placed = Ref::steal(PyList_New(0));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref items = Ref::steal(PySequence_Fast(symbols, "symbols must be a sequence"));
    if (!from_elf || !from_map || !from_addresses || !upper_bound || !by_symbol || !by_object || !by_archive || !placed || !zero ||
        !items)
        return nullptr;
    Origins origins(origin_of);
    bool exact = false;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        Ref symbol_size = size.read(item);
        if (!symbol_size) return nullptr;
        if (!PyLong_CheckExact(symbol_size.get())) continue;  // also leaves out booleans
        int overflow = 0;
        long long bytes = PyLong_AsLongLongAndOverflow(symbol_size.get(), &overflow);
        if (bytes == -1 && PyErr_Occurred()) return nullptr;
        if (overflow != 0 || bytes <= 0) continue;
        Ref symbol_name = name.read(item);
        Ref alias = symbol_name ? alias_of.read(item) : Ref();
        if (!alias) return nullptr;
        if (!PyUnicode_Check(symbol_name.get()) || alias.get() != Py_None) continue;
        Ref kind = source.read(item);
        Ref symbol_binding = kind ? binding.read(item) : Ref();
        Ref object = symbol_binding ? object_file.read(item) : Ref();
        Ref holder = object ? archive.read(item) : Ref();
        if (!holder) return nullptr;
        bool estimated;
        if (kind.get() != Py_None) {
            int same = PyObject_RichCompareBool(kind.get(), from_addresses.get(), Py_EQ);
            int bounded = same == 0 ? PyObject_RichCompareBool(kind.get(), upper_bound.get(), Py_EQ) : 0;
            if (same < 0 || bounded < 0) return nullptr;
            estimated = same == 1 || bounded == 1;
        } else {
            Ref flag = derived.read(item);
            if (!flag) return nullptr;
            estimated = flag.get() != Py_False;
        }
        Origin* origin = origins.of(object.get(), holder.get());
        if (origin == nullptr) return nullptr;
        Ref key = Ref::steal(PyTuple_Pack(2, symbol_name.get(), origin->contributor.get()));
        if (!key) return nullptr;
        PyObject* entry = PyDict_GetItemWithError(by_symbol.get(), key.get());  // borrowed
        if (entry == nullptr && PyErr_Occurred()) return nullptr;
        PyObject* bound = PyUnicode_Check(symbol_binding.get()) ? symbol_binding.get() : Py_None;
        if (entry == nullptr) {
            Ref fresh = Ref::steal(PyList_New(3));
            if (!fresh) return nullptr;
            PyObject* count = PyLong_FromLongLong(bytes);
            if (count == nullptr) return nullptr;
            PyList_SET_ITEM(fresh.get(), 0, count);
            PyList_SET_ITEM(fresh.get(), 1, Py_NewRef(estimated ? Py_True : Py_False));
            PyList_SET_ITEM(fresh.get(), 2, Py_NewRef(bound));
            if (PyDict_SetItem(by_symbol.get(), key.get(), fresh.get()) != 0) return nullptr;
        } else {
            long long total = PyLong_AsLongLong(PyList_GET_ITEM(entry, 0)) + bytes;
            Ref value = Ref::steal(PyLong_FromLongLong(total));
            if (!value || PyList_SetItem(entry, 0, value.release()) != 0) return nullptr;
            if (estimated && PyList_SetItem(entry, 1, Py_NewRef(Py_True)) != 0) return nullptr;
        }
        if (kind.get() != Py_None) {
            int elf = PyObject_RichCompareBool(kind.get(), from_elf.get(), Py_EQ);
            int map = elf == 0 ? PyObject_RichCompareBool(kind.get(), from_map.get(), Py_EQ) : 0;
            if (elf < 0 || map < 0) return nullptr;
            if (elf == 1 || map == 1) {
                exact = true;
                Ref where = section.read(item);
                Ref start = where ? address.read(item) : Ref();
                if (!start) return nullptr;
                Ref row = Ref::steal(PyTuple_Pack(6, where.get(), PyLong_CheckExact(start.get()) ? start.get() : zero.get(),
                                                  symbol_size.get(), symbol_name.get(), origin->contributor.get(), bound));
                if (!row || PyList_Append(placed.get(), row.get()) != 0) return nullptr;
            }
        }
        origin->bytes += bytes;
    }
    // per origin, then per the key it is known by (two origins may share one: "./main.o" and "main.o")
    for (const Origin& origin : origins.all()) {
        if (origin.bytes == 0) continue;
        if (!add_bytes(by_object.get(), origin.contributor.get(), origin.bytes)) return nullptr;
        if (origin.archive_name.get() != Py_None && !add_bytes(by_archive.get(), origin.archive_name.get(), origin.bytes))
            return nullptr;
    }
    return Py_BuildValue("(OOOOO)", by_symbol.get(), by_object.get(), by_archive.get(), exact ? Py_True : Py_False,
                         placed.get());
}

PyObject* differing_keys(PyObject*, PyObject* args) {
    PyObject *before, *after;
    if (!PyArg_ParseTuple(args, "O!O!:differing_keys", &PyDict_Type, &before, &PyDict_Type, &after)) return nullptr;
    Ref result = Ref::steal(PyList_New(0));
    if (!result) return nullptr;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(after, &position, &key, &value)) {
        PyObject* old = PyDict_GetItemWithError(before, key);  // borrowed
        if (old == nullptr && PyErr_Occurred()) return nullptr;
        bool differs = old == nullptr;
        if (!differs) {
            // a symbol's entry is [bytes, ...]: its bytes are what is compared
            PyObject* a = PyList_Check(old) && PyList_GET_SIZE(old) > 0 ? PyList_GET_ITEM(old, 0) : old;
            PyObject* b = PyList_Check(value) && PyList_GET_SIZE(value) > 0 ? PyList_GET_ITEM(value, 0) : value;
            int same = PyObject_RichCompareBool(a, b, Py_EQ);
            if (same < 0) return nullptr;
            differs = same == 0;
        }
        if (differs && PyList_Append(result.get(), key) != 0) return nullptr;
    }
    position = 0;
    while (PyDict_Next(before, &position, &key, &value)) {
        int there = PyDict_Contains(after, key);
        if (there < 0) return nullptr;
        if (there == 0 && PyList_Append(result.get(), key) != 0) return nullptr;
    }
    return result.release();
}

}  // namespace tarnwick
