#include "fast/footprint_tables.hpp"

#include "fast/records.hpp"
#include "fast/symbol_totals.hpp"
#include "support/items.hpp"
#include "support/ref.hpp"

#include <deque>
#include <memory>
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

struct SymbolTables::State {
    explicit State(PyObject* origin_of) noexcept : origins(origin_of) {}
    Ref from_elf, from_map, from_addresses, upper_bound, by_symbol, by_object, by_archive, placed, zero;
    Origins origins;
    bool exact = false;
};

SymbolTables::SymbolTables(PyObject* origin_of) : state_(std::make_unique<State>(origin_of)) {}
SymbolTables::~SymbolTables() = default;

bool SymbolTables::ready() noexcept {
    State& s = *state_;
    s.from_elf = Ref::steal(PyUnicode_InternFromString("elf"));
    s.from_map = Ref::steal(PyUnicode_InternFromString("map"));
    s.from_addresses = Ref::steal(PyUnicode_InternFromString("derived"));
    s.upper_bound = Ref::steal(PyUnicode_InternFromString("bound"));
    s.by_symbol = Ref::steal(PyDict_New());
    s.by_object = Ref::steal(PyDict_New());
    s.by_archive = Ref::steal(PyDict_New());
    s.placed = Ref::steal(PyList_New(0));
    s.zero = Ref::steal(PyLong_FromLong(0));
    return s.from_elf && s.from_map && s.from_addresses && s.upper_bound && s.by_symbol && s.by_object &&
           s.by_archive && s.placed && s.zero;
}

bool SymbolTables::add(SymbolMembers& item) noexcept {
    using Member = SymbolMembers::Member;
    State& s = *state_;
    Ref symbol_size = item.read(Member::size);
    if (!symbol_size) return false;
    if (!PyLong_CheckExact(symbol_size.get())) return true;  // also leaves out booleans
    int overflow = 0;
    long long bytes = PyLong_AsLongLongAndOverflow(symbol_size.get(), &overflow);
    if (bytes == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || bytes <= 0) return true;
    Ref symbol_name = item.read(Member::name);
    Ref alias = symbol_name ? item.read(Member::alias_of) : Ref();
    if (!alias) return false;
    if (!PyUnicode_Check(symbol_name.get()) || alias.get() != Py_None) return true;
    Ref kind = item.read(Member::size_source);
    Ref symbol_binding = kind ? item.read(Member::binding) : Ref();
    Ref object = symbol_binding ? item.read(Member::object_file) : Ref();
    Ref holder = object ? item.read(Member::archive) : Ref();
    if (!holder) return false;
    bool estimated;
    if (kind.get() != Py_None) {
        int same = PyObject_RichCompareBool(kind.get(), s.from_addresses.get(), Py_EQ);
        int bounded = same == 0 ? PyObject_RichCompareBool(kind.get(), s.upper_bound.get(), Py_EQ) : 0;
        if (same < 0 || bounded < 0) return false;
        estimated = same == 1 || bounded == 1;
    } else {
        Ref flag = item.read(Member::size_derived);
        if (!flag) return false;
        estimated = flag.get() != Py_False;
    }
    Origin* origin = s.origins.of(object.get(), holder.get());
    if (origin == nullptr) return false;
    Ref key = Ref::steal(PyTuple_Pack(2, symbol_name.get(), origin->contributor.get()));
    if (!key) return false;
    PyObject* entry = PyDict_GetItemWithError(s.by_symbol.get(), key.get());  // borrowed
    if (entry == nullptr && PyErr_Occurred()) return false;
    PyObject* bound = PyUnicode_Check(symbol_binding.get()) ? symbol_binding.get() : Py_None;
    if (entry == nullptr) {
        Ref fresh = Ref::steal(PyList_New(3));
        if (!fresh) return false;
        PyObject* count = PyLong_FromLongLong(bytes);
        if (count == nullptr) return false;
        PyList_SET_ITEM(fresh.get(), 0, count);
        PyList_SET_ITEM(fresh.get(), 1, Py_NewRef(estimated ? Py_True : Py_False));
        PyList_SET_ITEM(fresh.get(), 2, Py_NewRef(bound));
        if (PyDict_SetItem(s.by_symbol.get(), key.get(), fresh.get()) != 0) return false;
    } else {
        long long total = PyLong_AsLongLong(PyList_GET_ITEM(entry, 0)) + bytes;
        Ref value = Ref::steal(PyLong_FromLongLong(total));
        if (!value || PyList_SetItem(entry, 0, value.release()) != 0) return false;
        if (estimated && PyList_SetItem(entry, 1, Py_NewRef(Py_True)) != 0) return false;
    }
    if (kind.get() != Py_None) {
        int elf = PyObject_RichCompareBool(kind.get(), s.from_elf.get(), Py_EQ);
        int map = elf == 0 ? PyObject_RichCompareBool(kind.get(), s.from_map.get(), Py_EQ) : 0;
        if (elf < 0 || map < 0) return false;
        if (elf == 1 || map == 1) {
            s.exact = true;
            Ref where = item.read(Member::section);
            Ref start = where ? item.read(Member::address) : Ref();
            if (!start) return false;
            Ref row = Ref::steal(PyTuple_Pack(6, where.get(), PyLong_CheckExact(start.get()) ? start.get() : s.zero.get(),
                                              symbol_size.get(), symbol_name.get(), origin->contributor.get(), bound));
            if (!row || PyList_Append(s.placed.get(), row.get()) != 0) return false;
        }
    }
    origin->bytes += bytes;
    return true;
}

PyObject* SymbolTables::result() noexcept {
    State& s = *state_;
    // per origin, then per the key it is known by (two origins may share one: "./main.o" and "main.o")
    for (const Origin& origin : s.origins.all()) {
        if (origin.bytes == 0) continue;
        if (!add_bytes(s.by_object.get(), origin.contributor.get(), origin.bytes)) return nullptr;
        if (origin.archive_name.get() != Py_None && !add_bytes(s.by_archive.get(), origin.archive_name.get(), origin.bytes))
            return nullptr;
    }
    return Py_BuildValue("(OOOOO)", s.by_symbol.get(), s.by_object.get(), s.by_archive.get(), s.exact ? Py_True : Py_False,
                         s.placed.get());
}

namespace {

// A record's members, or a stored report's object's (None where it lacks one).
class RecordMembers final : public SymbolMembers {
public:
    bool ready() noexcept {
        for (MemberReader& reader : readers_)
            if (!reader.ready()) return false;
        return true;
    }
    void point_at(PyObject* item) noexcept { item_ = item; }
    Ref read(Member member) noexcept override { return readers_[static_cast<int>(member)].read(item_); }

private:
    // in the order of SymbolMembers::Member
    MemberReader readers_[10] = {MemberReader{"name"}, MemberReader{"size"}, MemberReader{"alias_of"},
                                 MemberReader{"size_source"}, MemberReader{"size_derived"}, MemberReader{"binding"},
                                 MemberReader{"object_file"}, MemberReader{"archive"}, MemberReader{"section"},
                                 MemberReader{"address"}};
    PyObject* item_ = nullptr;
};

}  // namespace

PyObject* symbol_tables(PyObject*, PyObject* args) {
    PyObject *symbols, *origin_of;
    if (!PyArg_ParseTuple(args, "OO:symbol_tables", &symbols, &origin_of)) return nullptr;
    RecordMembers members;
    SymbolTables tables(origin_of);
    Ref items = fast_items(symbols, "symbols must be a sequence");
    if (!members.ready() || !tables.ready() || !items) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {  // origin_of may change the list
        members.point_at(PySequence_Fast_GET_ITEM(items.get(), i));
        if (!tables.add(members)) return nullptr;
    }
    return tables.result();
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
