#include "fast/elf_join.hpp"

#include "fast/records.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>
#include <vector>

namespace tarnwick {

namespace {

struct Placed {
    PyObject* record;  // borrowed from the result list
    std::uint64_t start, size;
    bool alias;
};

// The input sections of one output section, read once.
struct Parts {
    PyObject* list;  // borrowed from `inputs`
    std::vector<std::uint64_t> starts, ends;
    std::vector<std::vector<std::size_t>> held;  // per part: its symbols in `placed`
};

bool read_parts(PyObject* entry, Parts& parts) noexcept {
    if (!PyList_Check(entry)) {
        PyErr_SetString(PyExc_TypeError, "inputs must map a section to a list of parts");
        return false;
    }
    parts.list = entry;
    Py_ssize_t count = PyList_GET_SIZE(parts.list);
    try {
        parts.starts.resize(static_cast<std::size_t>(count));
        parts.ends.resize(static_cast<std::size_t>(count));
        parts.held.resize(static_cast<std::size_t>(count));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* part = PyList_GET_ITEM(parts.list, i);
        if (!PyTuple_Check(part) || PyTuple_GET_SIZE(part) != 6) {
            PyErr_SetString(PyExc_TypeError, "a part must be (start, end, name, section, object_file, archive)");
            return false;
        }
        if (!clamped_number(PyTuple_GET_ITEM(part, 0), 0, parts.starts[static_cast<std::size_t>(i)]) ||
            !clamped_number(PyTuple_GET_ITEM(part, 1), 0, parts.ends[static_cast<std::size_t>(i)]))
            return false;
    }
    return true;
}

}  // namespace

PyObject* join_symbols(PyObject*, PyObject* args) {
    PyObject *rows, *section_names, *allocated, *inputs, *symbol_class;
    if (!PyArg_ParseTuple(args, "OO!OO!O:join_symbols", &rows, &PyList_Type, &section_names, &allocated,
                          &PyDict_Type, &inputs, &symbol_class))
        return nullptr;
    RecordMaker symbol_record;
    if (!symbol_record.prepare(symbol_class, {"name", "address", "size", "section", "object_file", "archive",
                                              "size_derived", "alias_of", "size_source", "binding", "source"}))
        return nullptr;
    Ref sequence = Ref::steal(PySequence_Fast(rows, "join_symbols() needs a sequence of rows"));
    Ref from_elf = Ref::steal(PyUnicode_InternFromString("elf"));
    Ref derived = Ref::steal(PyUnicode_InternFromString("derived"));
    Ref unnamed = Ref::steal(PyUnicode_InternFromString("unnamed"));
    // the symbol table's bindings STB_LOCAL, STB_GLOBAL and STB_WEAK; others are None
    Ref bindings[3] = {Ref::steal(PyUnicode_InternFromString("local")), Ref::steal(PyUnicode_InternFromString("global")),
                       Ref::steal(PyUnicode_InternFromString("weak"))};
    Ref result = Ref::steal(PyList_New(0));
    if (!sequence || !from_elf || !derived || !unnamed || !result || !bindings[0] || !bindings[1] || !bindings[2])
        return nullptr;
    try {
        std::vector<Parts> sections;           // the output sections met, in the order met
        std::vector<PyObject*> section_keys;   // their entries in `inputs` (borrowed)
        std::vector<Placed> placed;
        PyObject* last_name = nullptr;  // rows of one section come together
        Parts* last_parts = nullptr;
        bool last_allocated = false;
        std::size_t owner = SIZE_MAX;  // the last symbol that owns its bytes, in `placed`
        PyObject* owner_section = nullptr;
        Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
        placed.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* row = PySequence_Fast_GET_ITEM(sequence.get(), i);
            if (!PyTuple_Check(row) || PyTuple_GET_SIZE(row) != 5) {
                PyErr_SetString(PyExc_TypeError, "a row must be (name, start, size, section index, binding)");
                return nullptr;
            }
            PyObject *name = PyTuple_GET_ITEM(row, 0), *start = PyTuple_GET_ITEM(row, 1);
            PyObject* size = PyTuple_GET_ITEM(row, 2);
            Py_ssize_t index = PyLong_AsSsize_t(PyTuple_GET_ITEM(row, 3));
            long bind = PyLong_AsLong(PyTuple_GET_ITEM(row, 4));
            if ((index == -1 || bind == -1) && PyErr_Occurred()) return nullptr;
            if (index < 0 || index >= PyList_GET_SIZE(section_names)) {
                PyErr_SetString(PyExc_ValueError, "a symbol's section index names no section");
                return nullptr;
            }
            PyObject* section = PyList_GET_ITEM(section_names, index);
            PyObject* binding = bind >= 0 && bind <= 2 ? bindings[bind].get() : Py_None;
            if (section != last_name) {
                last_name = section;
                int in = PySequence_Contains(allocated, section);
                if (in < 0) return nullptr;
                last_allocated = in == 1;
                last_parts = nullptr;
                PyObject* entry = last_allocated ? PyDict_GetItemWithError(inputs, section) : nullptr;
                if (entry == nullptr && PyErr_Occurred()) return nullptr;
                if (entry != nullptr) {
                    auto known = std::find(section_keys.begin(), section_keys.end(), entry);
                    if (known == section_keys.end()) {
                        sections.emplace_back();
                        if (!read_parts(entry, sections.back())) return nullptr;
                        section_keys.push_back(entry);
                        known = section_keys.end() - 1;
                    }
                    last_parts = &sections[static_cast<std::size_t>(known - section_keys.begin())];
                }
            }
            if (!last_allocated) continue;
            std::uint64_t where = 0, bytes = 0;
            if (!clamped_number(start, 0, where) || !clamped_number(size, 0, bytes)) return nullptr;
            PyObject *object = Py_None, *archive = Py_None;
            std::size_t part = SIZE_MAX;
            if (last_parts != nullptr) {
                const std::vector<std::uint64_t>& starts = last_parts->starts;
                auto after = std::upper_bound(starts.begin(), starts.end(), where);
                if (after != starts.begin()) {
                    std::size_t index = static_cast<std::size_t>(after - starts.begin()) - 1;
                    if (where < last_parts->ends[index]) {
                        part = index;
                        PyObject* found = PyList_GET_ITEM(last_parts->list, static_cast<Py_ssize_t>(index));
                        object = PyTuple_GET_ITEM(found, 4);
                        archive = PyTuple_GET_ITEM(found, 5);
                    }
                }
            }
            // names at one start with one size name the same bytes: the first owns them
            bool alias = false;
            if (owner != SIZE_MAX && bytes > 0 && placed[owner].start == where && placed[owner].size == bytes) {
                int same = owner_section == section ? 1 : PyObject_RichCompareBool(owner_section, section, Py_EQ);
                if (same < 0) return nullptr;
                alias = same == 1;
            }
            PyObject* alias_of = alias ? symbol_record.get(placed[owner].record, 0) : Py_None;
            Ref record = symbol_record.make({Py_NewRef(name), Py_NewRef(start), Py_NewRef(size), Py_NewRef(section),
                                             Py_NewRef(object), Py_NewRef(archive), Py_NewRef(Py_False),
                                             Py_NewRef(alias_of), Py_NewRef(from_elf.get()), Py_NewRef(binding),
                                             Py_NewRef(Py_None)});
            if (!record || PyList_Append(result.get(), record.get()) != 0) return nullptr;
            placed.push_back({record.get(), where, bytes, alias});
            if (!alias) {
                owner = placed.size() - 1;
                owner_section = section;
            }
            if (part != SIZE_MAX) last_parts->held[part].push_back(placed.size() - 1);
        }
        // the bytes of each input section its symbols leave uncovered, in the order of `inputs`
        Py_ssize_t position = 0;
        PyObject *key, *entry;
        while (PyDict_Next(inputs, &position, &key, &entry)) {
            auto known = std::find(section_keys.begin(), section_keys.end(), entry);
            Parts fresh;
            if (known == section_keys.end() && !read_parts(entry, fresh)) return nullptr;
            Parts& parts = known == section_keys.end() ? fresh : sections[static_cast<std::size_t>(known - section_keys.begin())];
            for (std::size_t i = 0; i < parts.starts.size(); ++i) {
                std::uint64_t start = parts.starts[i], end = parts.ends[i];
                const std::vector<std::size_t>& own = parts.held[i];
                if (own.size() == 1 && placed[own[0]].start == start && placed[own[0]].size >= end - start)
                    continue;  // the usual input section: one symbol fills it
                std::uint64_t covered = 0, reach = start;
                for (std::size_t index : own) {  // by start
                    const Placed& symbol = placed[index];
                    if (symbol.alias || symbol.size == 0) continue;
                    std::uint64_t from = std::max(symbol.start, reach);
                    std::uint64_t symbol_end = symbol.start + symbol.size < symbol.start ? ULLONG_MAX : symbol.start + symbol.size;
                    std::uint64_t to = std::min(symbol_end, end);
                    if (to > from) {
                        covered += to - from;
                        reach = to;
                    }
                }
                if (end <= start || end - start <= covered) continue;
                PyObject* part = PyList_GET_ITEM(parts.list, static_cast<Py_ssize_t>(i));
                Ref rest = Ref::steal(PyLong_FromUnsignedLongLong(end - start - covered));
                if (!rest) return nullptr;
                Ref record = symbol_record.make({Py_NewRef(PyTuple_GET_ITEM(part, 2)), Py_NewRef(PyTuple_GET_ITEM(part, 0)),
                                                 rest.release(), Py_NewRef(PyTuple_GET_ITEM(part, 3)),
                                                 Py_NewRef(PyTuple_GET_ITEM(part, 4)), Py_NewRef(PyTuple_GET_ITEM(part, 5)),
                                                 Py_NewRef(Py_True), Py_NewRef(Py_None), Py_NewRef(derived.get()),
                                                 Py_NewRef(unnamed.get()), Py_NewRef(Py_None)});
                if (!record || PyList_Append(result.get(), record.get()) != 0) return nullptr;
            }
        }
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tarnwick

namespace tarnwick {

namespace {

// Whether rows (start, ...) already stand in their sorted order because every start is a
// 64-bit int above the one before (a map lists its input sections by address): sorting tuples
// then only compares them again.
bool rising_starts(PyObject* rows) noexcept {
    std::uint64_t last = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows); ++i) {
        PyObject* start = PyTuple_GET_ITEM(PyList_GET_ITEM(rows, i), 0);
        if (!PyLong_CheckExact(start)) return false;
        std::uint64_t value = PyLong_AsUnsignedLongLong(start);
        if (value == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
            PyErr_Clear();  // negative or past 64 bits: the sort compares it as Python does
            return false;
        }
        if (i > 0 && value <= last) return false;
        last = value;
    }
    return true;
}

}  // namespace

PyObject* input_spans(PyObject*, PyObject* args) {
    PyObject *sections, *split_origin;
    if (!PyArg_ParseTuple(args, "OO:input_spans", &sections, &split_origin)) return nullptr;
    FieldReader section_name{"name"}, section_inputs{"inputs"}, part_name{"name"}, part_address{"address"},
        part_size{"size"}, part_origin{"origin"}, part_fill{"is_fill"};
    if (!section_name.ready() || !section_inputs.ready() || !part_name.ready() || !part_address.ready() ||
        !part_size.ready() || !part_origin.ready() || !part_fill.ready())
        return nullptr;
    Ref result = Ref::steal(PyDict_New());
    Ref origins = Ref::steal(PyDict_New());  // origin -> (object_file, archive), split once each
    Ref outer = Ref::steal(PyObject_GetIter(sections));
    if (!result || !origins || !outer) return nullptr;
    while (Ref section = Ref::steal(PyIter_Next(outer.get()))) {
        Ref name = section_name.read(section.get());
        Ref inputs = name ? section_inputs.read(section.get()) : Ref();
        Ref inner = inputs ? Ref::steal(PyObject_GetIter(inputs.get())) : Ref();
        Ref parts = inner ? Ref::steal(PyList_New(0)) : Ref();
        if (!parts) return nullptr;
        while (Ref part = Ref::steal(PyIter_Next(inner.get()))) {
            Ref fill = part_fill.read(part.get());
            int filled = fill ? PyObject_IsTrue(fill.get()) : -1;
            if (filled < 0) return nullptr;
            if (filled) continue;
            Ref size = part_size.read(part.get());
            int sized = size ? PyObject_IsTrue(size.get()) : -1;
            if (sized < 0) return nullptr;
            if (!sized) continue;
            Ref address = part_address.read(part.get());
            Ref end = address ? Ref::steal(PyNumber_Add(address.get(), size.get())) : Ref();
            Ref own = end ? part_name.read(part.get()) : Ref();
            Ref origin = own ? part_origin.read(part.get()) : Ref();
            if (!origin) return nullptr;
            PyObject* split = PyDict_GetItemWithError(origins.get(), origin.get());  // borrowed
            if (split == nullptr) {
                if (PyErr_Occurred()) return nullptr;
                Ref made = Ref::steal(PyObject_CallOneArg(split_origin, origin.get()));
                if (!made) return nullptr;
                if (!PyTuple_Check(made.get()) || PyTuple_GET_SIZE(made.get()) != 2) {
                    PyErr_SetString(PyExc_TypeError, "split_origin must give (object_file, archive)");
                    return nullptr;
                }
                if (PyDict_SetItem(origins.get(), origin.get(), made.get()) < 0) return nullptr;
                split = made.get();  // the dict holds it
            }
            Ref row = Ref::steal(PyTuple_Pack(6, address.get(), end.get(), own.get(), name.get(),
                                              PyTuple_GET_ITEM(split, 0), PyTuple_GET_ITEM(split, 1)));
            if (!row || PyList_Append(parts.get(), row.get()) < 0) return nullptr;
        }
        if (PyErr_Occurred() || (!rising_starts(parts.get()) && PyList_Sort(parts.get()) < 0)) return nullptr;
        if (PyList_GET_SIZE(parts.get()) > 0 && PyDict_SetItem(result.get(), name.get(), parts.get()) < 0)
            return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

}  // namespace tarnwick
