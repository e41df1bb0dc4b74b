// The report as JSON, written in pieces to a Python callable. Records (dataclasses) are
// written field by field in declaration order, their slots read where the class keeps them;
// enumerations as their values; tuples as lists; non-finite floats as null.
#include "fast/json_writer.hpp"

#include "support/compat.hpp"

#include <structmember.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace tarnwick {

namespace {

constexpr std::size_t flush_at = 1 << 20;
constexpr int max_depth = 200;

struct Field {
    Ref name;           // the field's name as a Python string
    std::string key;    // "\"name\": "
    Py_ssize_t offset;  // where a slots class keeps it, or -1: read as an attribute
};

class Writer {
public:
    Writer(PyObject* write, PyObject* enum_type, int indent) : write_(write), enum_type_(enum_type), indent_(indent) {}

    bool value(PyObject* value, int depth) {
        if (depth > max_depth) {
            PyErr_SetString(PyExc_ValueError, "the report is nested too deeply to write as JSON");
            return false;
        }
        if (value == Py_None) return put("null");
        if (value == Py_True) return put("true");
        if (value == Py_False) return put("false");
        if (PyUnicode_Check(value)) return text(value);
        if (PyLong_Check(value)) return integer(value);
        if (PyFloat_Check(value)) return real(PyFloat_AS_DOUBLE(value));
        if (PyList_Check(value) || PyTuple_Check(value)) return sequence(value, depth);
        if (PyDict_Check(value)) return mapping(value, depth);
        if (Py_TYPE(value) == last_type_) return record(value, *last_fields_, depth);
        int is_enum = PyObject_IsInstance(value, enum_type_);
        if (is_enum < 0) return false;
        if (is_enum) {
            Ref inner = Ref::steal(PyObject_GetAttrString(value, "value"));
            return inner && this->value(inner.get(), depth + 1);
        }
        const std::vector<Field>* fields = record_fields(Py_TYPE(value));
        if (fields == nullptr && PyErr_Occurred()) return false;
        if (fields != nullptr) {
            last_type_ = Py_TYPE(value);  // records come in runs of one class
            last_fields_ = fields;
            return record(value, *fields, depth);
        }
        if (PyMapping_Check(value) && PyObject_HasAttrString(value, "items")) {
            Ref copy = Ref::steal(PyDict_New());
            if (!copy || PyDict_Merge(copy.get(), value, 1) < 0) return false;
            return mapping(copy.get(), depth);
        }
        if (PyAnySet_Check(value)) {
            Ref items = Ref::steal(PySequence_List(value));
            return items && PyList_Sort(items.get()) == 0 && sequence(items.get(), depth);
        }
        Ref shown = Ref::steal(PyObject_Str(value));
        return shown && text(shown.get());
    }

    bool finish() { return flush(); }

private:
    bool put(const char* piece) {
        out_ += piece;
        return true;
    }

    // Between the members of an object or a list: a new indented line, or a blank on one line.
    bool newline(int depth) {
        if (inline_ > 0) {
            out_ += ' ';
        } else if (indent_ > 0) {
            out_ += '\n';
            out_.append(static_cast<std::size_t>(depth * indent_), ' ');
        }
        return true;
    }

    // Closing an object or a list: a new line at its own depth, or nothing on one line.
    void closing(int depth) {
        if (inline_ == 0) newline(depth);
    }

    static bool scalar(PyObject* value) noexcept {
        return value == Py_None || PyBool_Check(value) || PyUnicode_Check(value) || PyLong_Check(value) ||
               PyFloat_Check(value) || ((PyList_Check(value) || PyTuple_Check(value)) && PySequence_Fast_GET_SIZE(value) == 0) ||
               (PyDict_Check(value) && PyDict_Size(value) == 0);
    }

    bool flush() {
        if (out_.empty()) return true;
        Ref chunk = Ref::steal(PyBytes_FromStringAndSize(out_.data(), static_cast<Py_ssize_t>(out_.size())));
        out_.clear();
        if (!chunk) return false;
        Ref written = Ref::steal(PyObject_CallOneArg(write_, chunk.get()));
        return static_cast<bool>(written);
    }

    bool maybe_flush() { return out_.size() < flush_at || flush(); }

    // Whether none of eight bytes needs an escape: none below 0x20, none '"' or '\\' (bytes of
    // 0x80 and above, in UTF-8 sequences, never do).
    static bool plain_word(const char* at) noexcept {
        constexpr std::uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
        std::uint64_t word;
        std::memcpy(&word, at, sizeof word);
        std::uint64_t quote = word ^ (ones * '"'), backslash = word ^ (ones * '\\');
        std::uint64_t flagged = ((word - ones * 0x20) | (quote - ones) | (backslash - ones)) & ~word;
        return (flagged & highs) == 0;
    }

    bool text(PyObject* value) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(value, &size);
        Ref fallback;
        if (data == nullptr) {  // lone surrogates: written as replacement characters
            PyErr_Clear();
            fallback = Ref::steal(PyUnicode_AsEncodedString(value, "utf-8", "replace"));
            if (!fallback) return false;
            data = PyBytes_AS_STRING(fallback.get());
            size = PyBytes_GET_SIZE(fallback.get());
        }
        out_ += '"';
        static const char hex[] = "0123456789abcdef";
        Py_ssize_t run = 0;  // the start of the characters that need no escape
        for (Py_ssize_t i = 0; i < size; ++i) {
            // names seldom hold a character to escape: pass over them eight at a time
            while (i + 8 <= size && plain_word(data + i)) i += 8;
            if (i == size) break;
            unsigned char c = static_cast<unsigned char>(data[i]);
            if (c != '"' && c != '\\' && c >= 0x20) continue;
            out_.append(data + run, static_cast<std::size_t>(i - run));
            run = i + 1;
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += static_cast<char>(c);
            } else {
                switch (c) {
                    case '\n': out_ += "\\n"; break;
                    case '\r': out_ += "\\r"; break;
                    case '\t': out_ += "\\t"; break;
                    default:
                        out_ += "\\u00";
                        out_ += hex[c >> 4];
                        out_ += hex[c & 15];
                }
            }
        }
        out_.append(data + run, static_cast<std::size_t>(size - run));
        out_ += '"';
        return true;
    }

    bool integer(PyObject* value) {
        int overflow = 0;
        long long number = 0;
        if (!compat::compact_value(value, number)) number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            if (number == -1 && PyErr_Occurred()) return false;
            char digits[24];
            auto written = std::to_chars(digits, digits + sizeof digits, number);
            out_.append(digits, static_cast<std::size_t>(written.ptr - digits));
            return true;
        }
        Ref digits = Ref::steal(PyObject_Str(value));  // beyond 64 bits: int's own digits
        if (!digits) return false;
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(digits.get(), &size);
        if (data == nullptr) return false;
        out_.append(data, static_cast<std::size_t>(size));
        return true;
    }

    bool real(double number) {
        if (!std::isfinite(number)) return put("null");
        char* digits = PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (digits == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        out_ += digits;
        PyMem_Free(digits);
        return true;
    }

    bool sequence(PyObject* value, int depth) {
        Py_ssize_t count = PySequence_Fast_GET_SIZE(value);  // a list or a tuple
        if (count == 0) return put("[]");
        out_ += '[';
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i) out_ += ',';
            if (i || inline_ == 0) newline(depth + 1);
            if (!this->value(PySequence_Fast_GET_ITEM(value, i), depth + 1) || !maybe_flush()) return false;
        }
        closing(depth);
        out_ += ']';
        return true;
    }

    bool key(PyObject* key) {
        if (PyUnicode_Check(key)) return text(key);
        Ref shown;
        int is_enum = PyObject_IsInstance(key, enum_type_);
        if (is_enum < 0) return false;
        if (is_enum) shown = Ref::steal(PyObject_GetAttrString(key, "value"));
        else shown = Ref::borrow(key);
        if (!shown) return false;
        if (!PyUnicode_Check(shown.get())) shown = Ref::steal(PyObject_Str(shown.get()));
        return shown && text(shown.get());
    }

    bool mapping(PyObject* value, int depth) {
        if (PyDict_Size(value) == 0) return put("{}");
        out_ += '{';
        Py_ssize_t position = 0;
        PyObject *k, *v;
        bool first = true;
        Ref hold = Ref::borrow(value);  // the dict stays alive while its items are written
        bool leaf = inline_ == 0 && leaf_dict(value);
        inline_ += leaf;
        while (PyDict_Next(value, &position, &k, &v)) {
            Ref item_key = Ref::borrow(k), item = Ref::borrow(v);
            if (!first) out_ += ',';
            if (!first || inline_ == 0) newline(depth + 1);
            first = false;
            if (!key(item_key.get())) return false;
            out_ += indent_ > 0 ? ": " : ":";
            if (!this->value(item.get(), depth + 1) || !maybe_flush()) return false;
        }
        closing(depth);
        inline_ -= leaf;
        out_ += '}';
        return true;
    }

    // The fields of a dataclass, read once per class; null (no exception) for other types.
    const std::vector<Field>* record_fields(PyTypeObject* type) {
        auto found = classes_.find(type);
        if (found != classes_.end()) return found->second.empty() && !is_record_[type] ? nullptr : &found->second;
        std::vector<Field> fields;
        // A record (tarnwick.support.records) names its fields in a tuple; any other dataclass
        // in its dict of fields.
        PyObject* named = PyDict_GetItemString(type->tp_dict, "__record_fields__");  // borrowed
        PyObject* declared = PyDict_GetItemString(type->tp_dict, "__dataclass_fields__");  // borrowed
        bool record = (named != nullptr && PyTuple_Check(named)) || (declared != nullptr && PyDict_Check(declared));
        if (named != nullptr && PyTuple_Check(named)) {
            for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(named); ++index) {
                PyObject* name = PyTuple_GET_ITEM(named, index);
                if (!PyUnicode_Check(name)) {
                    PyErr_SetString(PyExc_TypeError, "a record's field names are texts");
                    return nullptr;
                }
                if (!add_field(type, name, fields)) return nullptr;
            }
        } else if (record) {
            Py_ssize_t position = 0;
            PyObject *name, *field;
            while (PyDict_Next(declared, &position, &name, &field)) {
                Ref kind = Ref::steal(PyObject_GetAttrString(field, "_field_type"));
                if (!kind) return nullptr;
                Ref field_type_name = Ref::steal(PyObject_Repr(kind.get()));
                if (!field_type_name) return nullptr;
                if (PyUnicode_CompareWithASCIIString(field_type_name.get(), "_FIELD") != 0) continue;  // ClassVar, InitVar
                if (!add_field(type, name, fields)) return nullptr;
            }
        }
        is_record_[type] = record;
        auto placed = classes_.emplace(type, std::move(fields)).first;
        return record ? &placed->second : nullptr;
    }

    // The field `name` of a record class, read through its slot when it has a plain one.
    bool add_field(PyTypeObject* type, PyObject* name, std::vector<Field>& fields) {
        Py_ssize_t offset = -1;
        PyObject* descriptor = PyDict_GetItem(type->tp_dict, name);  // borrowed
        if (descriptor != nullptr && Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
            PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
            if (member->type == T_OBJECT_EX) offset = member->offset;
        }
        std::string key = "\"";
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(name, &size);
        if (data == nullptr) return false;
        key.append(data, static_cast<std::size_t>(size));
        key += indent_ > 0 ? "\": " : "\":";
        fields.push_back(Field{Ref::borrow(name), std::move(key), offset});
        return true;
    }

    // A mapping or a record whose values are all scalars (or empty): written on one line.
    static bool leaf_dict(PyObject* value) noexcept {
        Py_ssize_t position = 0;
        PyObject *k, *v;
        while (PyDict_Next(value, &position, &k, &v))
            if (!scalar(v)) return false;
        return true;
    }

    PyObject* field_value(PyObject* value, const Field& field) {
        if (field.offset >= 0) {
            PyObject* slot = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(value) + field.offset);
            if (slot == nullptr)
                PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", Py_TYPE(value)->tp_name,
                             field.name.get());
            return Py_XNewRef(slot);
        }
        return PyObject_GetAttr(value, field.name.get());
    }

    // A record of scalars kept in slots, written on one line straight from its slots (writing a
    // scalar runs no Python code, so the borrowed values cannot go away meanwhile). False
    // when the record is not one.
    bool flat_record(PyObject* value, const std::vector<Field>& fields) {
        for (const Field& field : fields) {
            if (field.offset < 0) return false;
            PyObject* slot = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(value) + field.offset);
            if (slot == nullptr || !scalar(slot)) return false;
        }
        out_ += '{';
        ++inline_;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i) out_ += ", ";
            out_ += fields[i].key;
            this->value(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(value) + fields[i].offset), 0);
        }
        --inline_;
        out_ += '}';
        return true;
    }

    bool record(PyObject* value, const std::vector<Field>& fields, int depth) {
        if (fields.empty()) return put("{}");
        if (inline_ == 0 && indent_ > 0 && flat_record(value, fields)) return !PyErr_Occurred();
        std::vector<Ref> items;
        items.reserve(fields.size());
        bool leaf = inline_ == 0;
        for (const Field& field : fields) {
            items.push_back(Ref::steal(field_value(value, field)));
            if (!items.back()) return false;
            leaf = leaf && scalar(items.back().get());
        }
        inline_ += leaf;
        out_ += '{';
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const Field& field = fields[i];
            if (i) out_ += ',';
            if (i || inline_ == 0) newline(depth + 1);
            out_ += field.key;
            if (!this->value(items[i].get(), depth + 1)) return false;
        }
        closing(depth);
        inline_ -= leaf;
        out_ += '}';
        return true;
    }

    PyObject* write_;
    PyObject* enum_type_;
    int indent_;
    int inline_ = 0;  // inside a record written on one line
    PyTypeObject* last_type_ = nullptr;
    const std::vector<Field>* last_fields_ = nullptr;
    std::string out_;
    std::unordered_map<PyTypeObject*, std::vector<Field>> classes_;
    std::unordered_map<PyTypeObject*, bool> is_record_;
};

}  // namespace

PyObject* write_json(PyObject*, PyObject* args) {
    PyObject *value, *write, *enum_type;
    int indent = 2;
    if (!PyArg_ParseTuple(args, "OOO|i:write_json", &value, &write, &enum_type, &indent)) return nullptr;
    try {
        Writer writer(write, enum_type, indent);
        if (!writer.value(value, 0) || !writer.finish()) return nullptr;
        Py_RETURN_NONE;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tarnwick
