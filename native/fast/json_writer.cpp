// The report as JSON, written in pieces to a Python callable. Records (dataclasses) are
// written field by field in declaration order, their slots read where the class keeps them;
// enumerations as their values; tuples as lists; non-finite floats as null.
#include "fast/json_writer.hpp"

#include <structmember.h>

#include <cmath>
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
        int is_enum = PyObject_IsInstance(value, enum_type_);
        if (is_enum < 0) return false;
        if (is_enum) {
            Ref inner = Ref::steal(PyObject_GetAttrString(value, "value"));
            return inner && this->value(inner.get(), depth + 1);
        }
        const std::vector<Field>* fields = record_fields(Py_TYPE(value));
        if (fields == nullptr && PyErr_Occurred()) return false;
        if (fields != nullptr) return record(value, *fields, depth);
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

    bool newline(int depth) {
        if (indent_ > 0) {
            out_ += '\n';
            out_.append(static_cast<std::size_t>(depth * indent_), ' ');
        }
        return true;
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
        for (Py_ssize_t i = 0; i < size; ++i) {
            unsigned char c = static_cast<unsigned char>(data[i]);
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += static_cast<char>(c);
            } else if (c < 0x20) {
                switch (c) {
                    case '\n': out_ += "\\n"; break;
                    case '\r': out_ += "\\r"; break;
                    case '\t': out_ += "\\t"; break;
                    default:
                        out_ += "\\u00";
                        out_ += hex[c >> 4];
                        out_ += hex[c & 15];
                }
            } else {
                out_ += static_cast<char>(c);
            }
        }
        out_ += '"';
        return true;
    }

    bool integer(PyObject* value) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow == 0) {
            if (number == -1 && PyErr_Occurred()) return false;
            out_ += std::to_string(number);
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
            newline(depth + 1);
            if (!this->value(PySequence_Fast_GET_ITEM(value, i), depth + 1) || !maybe_flush()) return false;
        }
        newline(depth);
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
        if (PyDict_GET_SIZE(value) == 0) return put("{}");
        out_ += '{';
        Py_ssize_t position = 0;
        PyObject *k, *v;
        bool first = true;
        Ref hold = Ref::borrow(value);  // the dict stays alive while its items are written
        while (PyDict_Next(value, &position, &k, &v)) {
            Ref item_key = Ref::borrow(k), item = Ref::borrow(v);
            if (!first) out_ += ',';
            first = false;
            newline(depth + 1);
            if (!key(item_key.get())) return false;
            out_ += indent_ > 0 ? ": " : ":";
            if (!this->value(item.get(), depth + 1) || !maybe_flush()) return false;
        }
        newline(depth);
        out_ += '}';
        return true;
    }

    // The fields of a dataclass, read once per class; null (no exception) for other types.
    const std::vector<Field>* record_fields(PyTypeObject* type) {
        auto found = classes_.find(type);
        if (found != classes_.end()) return found->second.empty() && !is_record_[type] ? nullptr : &found->second;
        std::vector<Field> fields;
        PyObject* declared = PyDict_GetItemString(type->tp_dict, "__dataclass_fields__");  // borrowed
        bool record = declared != nullptr && PyDict_Check(declared);
        if (record) {
            Py_ssize_t position = 0;
            PyObject *name, *field;
            while (PyDict_Next(declared, &position, &name, &field)) {
                Ref kind = Ref::steal(PyObject_GetAttrString(field, "_field_type"));
                if (!kind) return nullptr;
                Ref field_type_name = Ref::steal(PyObject_Repr(kind.get()));
                if (!field_type_name) return nullptr;
                if (PyUnicode_CompareWithASCIIString(field_type_name.get(), "_FIELD") != 0) continue;  // ClassVar, InitVar
                Py_ssize_t offset = -1;
                PyObject* descriptor = PyDict_GetItem(type->tp_dict, name);  // borrowed
                if (descriptor != nullptr && Py_IS_TYPE(descriptor, &PyMemberDescr_Type)) {
                    PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
                    if (member->type == T_OBJECT_EX) offset = member->offset;
                }
                std::string key = "\"";
                Py_ssize_t size = 0;
                const char* data = PyUnicode_AsUTF8AndSize(name, &size);
                if (data == nullptr) return nullptr;
                key.append(data, static_cast<std::size_t>(size));
                key += indent_ > 0 ? "\": " : "\":";
                fields.push_back(Field{Ref::borrow(name), std::move(key), offset});
            }
        }
        is_record_[type] = record;
        auto placed = classes_.emplace(type, std::move(fields)).first;
        return record ? &placed->second : nullptr;
    }

    bool record(PyObject* value, const std::vector<Field>& fields, int depth) {
        if (fields.empty()) return put("{}");
        out_ += '{';
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const Field& field = fields[i];
            if (i) out_ += ',';
            newline(depth + 1);
            out_ += field.key;
            Ref item;
            if (field.offset >= 0) {
                PyObject* slot = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(value) + field.offset);
                if (slot == nullptr) {
                    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%U'",
                                 Py_TYPE(value)->tp_name, field.name.get());
                    return false;
                }
                item = Ref::borrow(slot);
            } else {
                item = Ref::steal(PyObject_GetAttr(value, field.name.get()));
                if (!item) return false;
            }
            if (!this->value(item.get(), depth + 1)) return false;
        }
        newline(depth);
        out_ += '}';
        return true;
    }

    PyObject* write_;
    PyObject* enum_type_;
    int indent_;
    std::string out_;
    std::unordered_map<PyTypeObject*, std::vector<Field>> classes_;
    std::unordered_map<PyTypeObject*, bool> is_record_;
};

}  // namespace

PyObject* write_json(PyObject*, PyObject* args) noexcept {
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
