// Instances of a Python class with __slots__ (the model's records), made without running its
// __init__: each slot is written where the class's member descriptor says it lives. A large
// map has hundreds of thousands of records, and __init__ would cost more than reading the map.
#pragma once

#include "support/ref.hpp"
#include "support/compat.hpp"

#include <structmember.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <vector>

namespace tarnwick {

class RecordMaker {
public:
    // Reads the slot offsets of `fields` from the class; false with an exception set when the
    // class is not a plain slots class with those fields.
    bool prepare(PyObject* type, std::initializer_list<const char*> fields) {
        if (!PyType_Check(type)) {
            PyErr_SetString(PyExc_TypeError, "a record class is expected");
            return false;
        }
        type_ = reinterpret_cast<PyTypeObject*>(type);
        offsets_.clear();
        for (const char* field : fields) {
            PyObject* descriptor = PyDict_GetItemString(type_->tp_dict, field);  // borrowed
            if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
                PyErr_Format(PyExc_TypeError, "%s has no slot %s", type_->tp_name, field);
                return false;
            }
            PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
            if (member->type != T_OBJECT_EX || (member->flags & READONLY)) {
                PyErr_Format(PyExc_TypeError, "%s.%s is not a writable object slot", type_->tp_name, field);
                return false;
            }
            offsets_.push_back(member->offset);
        }
        return true;
    }

    // A new instance whose slots take over `values` (new references, one per field, in the
    // order given to prepare): texts, numbers, None, empty tuples or records made so, never a
    // container that could lead back to the record. An empty Ref with an exception set when
    // allocation fails.
    Ref make(std::initializer_list<PyObject*> values) const noexcept {
        PyObject* object = type_->tp_alloc(type_, 0);
        if (object == nullptr) {
            for (PyObject* value : values) Py_XDECREF(value);
            return Ref();
        }
        std::size_t index = 0;
        for (PyObject* value : values) {
            *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offsets_[index++]) = value;
        }
        // No cycle can pass through such a record, and the cyclic collector would otherwise walk
        // the million records of a large map once more after every read.
        if (PyObject_GC_IsTracked(object)) PyObject_GC_UnTrack(object);
        return Ref::steal(object);
    }

    // The slot `index` of a record this maker made (borrowed).
    PyObject* get(PyObject* record, std::size_t index) const noexcept {
        return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(record) + offsets_[index]);
    }

private:
    PyTypeObject* type_ = nullptr;
    std::vector<Py_ssize_t> offsets_;
};

// Where a class keeps attribute `name` in a plain object slot that the interpreter's own
// lookup would read (or, `writing`, write) as it is: its offset in the instance, else -1.
inline Py_ssize_t plain_slot(PyTypeObject* type, PyObject* name, bool writing) noexcept {
    PyObject* descriptor = compat::type_lookup(type, name);  // borrowed
    if (descriptor == nullptr || !Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) return -1;
    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
    if (member->type != T_OBJECT_EX || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT)) return -1;
    if (writing ? (member->flags & READONLY) || type->tp_setattro != PyObject_GenericSetAttr
                : type->tp_getattro != PyObject_GenericGetAttr)
        return -1;
    return member->offset;
}

// An attribute of records, named once, and where the last class met keeps it.
class RecordField {
public:
    explicit RecordField(const char* name) noexcept : text_(name) {}

    bool ready() noexcept {
        name_ = Ref::steal(PyUnicode_InternFromString(text_));
        return static_cast<bool>(name_);
    }

protected:
    // The slot in `object` where the class last read keeps the attribute, if `object` is of it.
    PyObject** known_slot(PyObject* object) const noexcept {
        return Py_TYPE(object) == type_ && offset_ >= 0
                   ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset_)
                   : nullptr;
    }

    // The attribute's slot in `object` (see plain_slot), or nullptr where it has none.
    PyObject** slot_of(PyObject* object, bool writing) noexcept {
        PyTypeObject* type = Py_TYPE(object);
        if (type != type_) {
            type_ = type;
            offset_ = plain_slot(type, name_.get(), writing);
        }
        return offset_ < 0 ? nullptr : reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset_);
    }

    const char* text_;
    Ref name_;

private:
    PyTypeObject* type_ = nullptr;
    Py_ssize_t offset_ = -1;
};

// Reads attributes of records fast: where the object's class keeps the attribute in a slot, the
// slot is read directly; otherwise (other classes, test doubles) by the usual attribute lookup.
class FieldReader : public RecordField {
public:
    using RecordField::RecordField;

    // A new reference to the attribute, or an empty Ref with an exception set.
    Ref read(PyObject* object) noexcept {
        PyObject** slot = slot_of(object, false);
        if (slot != nullptr && *slot != nullptr) return Ref::borrow(*slot);
        return Ref::steal(PyObject_GetAttr(object, name_.get()));
    }

    // Asks the caches for the attribute's object where the record keeps it in the slot of the
    // class last read (and the record itself is there already, see prefetch_ahead); nothing else.
    void prefetch_value(PyObject* object) noexcept {
        PyObject** slot = known_slot(object);
        if (slot != nullptr && *slot != nullptr) __builtin_prefetch(*slot);
    }

    // The attribute borrowed from its slot (held by the object), without a reference taken and
    // later given back for each of many records; where there is no slot, read as `read` does into
    // `keep`, which holds it. nullptr with an exception set.
    PyObject* peek(PyObject* object, Ref& keep) noexcept {
        PyObject** slot = slot_of(object, false);
        if (slot != nullptr && *slot != nullptr) return *slot;
        keep = Ref::steal(PyObject_GetAttr(object, name_.get()));
        return keep.get();
    }
};

// A loop over many records, each lying apart from the last (a large map's million), misses the
// caches on every record and then on the objects it holds. Called with each item's place, this
// asks for the record `far` items on, and for the objects `fields` hold in the one half as far
// on (by then in the caches), so that the misses overlap the work on the items between.
// `items`: a list or tuple (see fast_items).
template <class... Readers>
inline void prefetch_ahead(PyObject* items, Py_ssize_t at, Readers&... fields) noexcept {
    constexpr Py_ssize_t far = 16, near = far / 2;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items);
    if (at + far < count) __builtin_prefetch(PySequence_Fast_GET_ITEM(items, at + far));
    if (at + near < count) (fields.prefetch_value(PySequence_Fast_GET_ITEM(items, at + near)), ...);
}

// Writes an attribute of records as FieldReader reads it: into the slot directly where the
// class keeps it in one, else by the usual attribute assignment.
class FieldWriter : public RecordField {
public:
    using RecordField::RecordField;

    // 0, or -1 with an exception set.
    int write(PyObject* object, PyObject* value) noexcept {
        PyObject** slot = slot_of(object, true);
        if (slot == nullptr) return PyObject_SetAttr(object, name_.get(), value);
        PyObject* old = *slot;
        *slot = Py_NewRef(value);
        Py_XDECREF(old);  // as the slot's own setter lets the old value go: after the new one is in
        return 0;
    }
};

// An int of a record as an unsigned 64-bit number: one beyond 64 bits counts as the largest,
// a negative one as `negative`. False with TypeError set when the value is no int.
inline bool clamped_number(PyObject* value, std::uint64_t negative, std::uint64_t& out) noexcept {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "an address or size must be an int, not %.100s", Py_TYPE(value)->tp_name);
        return false;
    }
    long long small = 0;
    int overflow = 0;
    if (!compat::compact_value(value, small)) {
        small = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (small == -1 && PyErr_Occurred()) return false;
    }
    if (overflow == 0) {
        out = small < 0 ? negative : static_cast<std::uint64_t>(small);
        return true;
    }
    if (overflow < 0) {
        out = negative;
        return true;
    }
    unsigned long long large = PyLong_AsUnsignedLongLong(value);
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();  // beyond 64 bits
        large = UINT64_MAX;
    }
    out = large;
    return true;
}

// One number object per small value, for the records' fields: sizes repeat (most input sections
// and symbols hold less than 64 KiB), addresses seldom do.
class SharedInts {
public:
    PyObject* get(std::uint64_t value) noexcept {  // a new reference; null with an exception set
        if (value >= shared) return PyLong_FromUnsignedLongLong(value);
        if (made_.empty()) {
            try {
                made_.resize(shared);
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return nullptr;
            }
        }
        Ref& made = made_[static_cast<std::size_t>(value)];
        if (!made && !(made = Ref::steal(PyLong_FromUnsignedLongLong(value)))) return nullptr;
        return Py_NewRef(made.get());
    }

private:
    static constexpr std::uint64_t shared = 1u << 16;
    std::vector<Ref> made_;
};

}  // namespace tarnwick
