// tarnwick._native: the fast paths of the front end and the renderers.
#include "fast/demangle.hpp"
#include "fast/call_graph.hpp"
#include "fast/stack_graph.hpp"
#include "fast/elf_join.hpp"
#include "fast/elf_symbols.hpp"
#include "fast/extent_check.hpp"
#include "fast/dwarf.hpp"
#include "fast/machine_code.hpp"
#include "fast/ti_map.hpp"
#include "fast/iar_map.hpp"
#include "fast/armlink_map.hpp"
#include "fast/xc8_map.hpp"
#include "fast/sdcc_map.hpp"
#include "fast/iar_xlink_map.hpp"
#include "fast/c51_map.hpp"
#include "fast/rlink_map.hpp"
#include "fast/cosmic_map.hpp"
#include "fast/explorer_rows.hpp"
#include "fast/footprint_tables.hpp"
#include "fast/guarded_entry.hpp"
#include "fast/map_reader.hpp"
#include "fast/records.hpp"
#include "fast/json_writer.hpp"
#include "fast/link_map_binding.hpp"
#include "fast/symbol_totals.hpp"
#include "fast/origin_groups.hpp"
#include "fast/source_walk.hpp"
#include "fast/stored_report.hpp"
#include "support/ref.hpp"

#include <new>

namespace tarnwick {

namespace {

using guarded_entry::guarded;

// demangle(name) -> the readable name, or None when `name` is not a mangled symbol
PyObject* demangle_name(PyObject*, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "demangle() argument must be str, not %.200s",
                     Py_TYPE(name)->tp_name);
        return nullptr;
    }
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &length);
    if (text == nullptr) return nullptr;
    try {
        auto readable = demangle::symbol({text, static_cast<std::size_t>(length)});
        if (!readable) Py_RETURN_NONE;
        return PyUnicode_DecodeUTF8(readable->data(), static_cast<Py_ssize_t>(readable->size()),
                                    "replace");
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// A buffer view released on every path.
class BufferView {
public:
    BufferView() noexcept { view_.obj = nullptr; }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }
    Py_buffer* get() noexcept { return &view_; }

private:
    Py_buffer view_;
};

bool read_flags(PyObject* sequence, std::size_t limit, std::vector<bool>& out) {
    Ref items = Ref::steal(PySequence_Fast(sequence, "allocated must be a sequence"));
    if (!items) return false;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (static_cast<std::size_t>(count) > limit) {
        PyErr_SetString(PyExc_ValueError, "more section flags than sections can exist");
        return false;
    }
    out.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        int truth = PyObject_IsTrue(PySequence_Fast_GET_ITEM(items.get(), i));
        if (truth < 0) return false;
        out[static_cast<std::size_t>(i)] = truth != 0;
    }
    return true;
}

bool read_indexes(PyObject* sequence, std::vector<std::uint32_t>& out) {
    if (sequence == Py_None) return true;
    Ref items = Ref::steal(PySequence_Fast(sequence, "extended must be a sequence or None"));
    if (!items) return false;
    Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    out.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        unsigned long value = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
        out[static_cast<std::size_t>(i)] = static_cast<std::uint32_t>(value);
    }
    return true;
}

// The arguments both symbol readers take: the file's bytes, where its symbol table is, and which
// sections count (data, offset, count, entry_size, strings_offset, strings_size, is64, little,
// thumb, sections, extended).
bool symbol_table(PyObject* args, const char* format, BufferView& data, elf::Table& table) {
    Py_ssize_t offset, count, entry_size, strings_offset, strings_size;
    int is64, little, thumb;
    PyObject *sections, *extended;
    unsigned long long tls_base = 0;  // only where the format takes it: where thread-local symbols start
    if (!PyArg_ParseTuple(args, format, data.get(), &offset, &count, &entry_size, &strings_offset, &strings_size,
                          &is64, &little, &thumb, &sections, &extended, &tls_base))
        return false;
    if (offset < 0 || count < 0 || entry_size <= 0 || strings_offset < 0 || strings_size < 0) {
        PyErr_SetString(PyExc_ValueError, "negative offsets or sizes");
        return false;
    }
    table = elf::Table{static_cast<const unsigned char*>(data.get()->buf), static_cast<std::size_t>(data.get()->len),
                       static_cast<std::size_t>(offset), static_cast<std::size_t>(count),
                       static_cast<std::size_t>(entry_size), static_cast<std::size_t>(strings_offset),
                       static_cast<std::size_t>(strings_size), is64 != 0, little != 0, thumb != 0, {}, {},
                       static_cast<std::uint64_t>(tls_base)};
    return read_flags(sections, 1u << 24, table.allocated) && read_indexes(extended, table.extended);
}

// elf_symbols(data, offset, count, entry_size, strings_offset, strings_size, is64, little,
//             thumb, allocated, extended, tls_base) -> [(name, start, size, section, binding), ...]
PyObject* elf_symbols(PyObject*, PyObject* args) {
    BufferView data;
    try {
        elf::Table table{};
        if (!symbol_table(args, "y*nnnnnpppOO|K:elf_symbols", data, table)) return nullptr;
        std::vector<elf::Placed> placed = elf::placed_symbols(table);
        Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(placed.size())));
        if (!result) return nullptr;
        SharedInts sizes;
        for (std::size_t i = 0; i < placed.size(); ++i) {
            const elf::Placed& symbol = placed[i];
            // a name that is not UTF-8 is shown with replacement characters
            Ref row = map_reader::tuple_of({map_reader::text(symbol.name), PyLong_FromUnsignedLongLong(symbol.start),
                                            sizes.get(symbol.size), PyLong_FromUnsignedLong(symbol.section),
                                            PyLong_FromLong(static_cast<long>(symbol.binding))});
            if (!row) return nullptr;
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), row.release());
        }
        return result.release();
    } catch (const elf::Invalid& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// display_name(name) -> the name as a reader wants it: demangled, also after a section prefix
PyObject* display_name(PyObject*, PyObject* name) {
    if (!PyUnicode_Check(name)) {
        PyErr_Format(PyExc_TypeError, "display_name() argument must be str, not %.200s", Py_TYPE(name)->tp_name);
        return nullptr;
    }
    return shown_name(name);
}

// elf_code_symbols(data, offset, count, entry_size, strings_offset, strings_size, is64, little,
//                  thumb, code, extended) -> [(name, value, size, section, binding, kind), ...]
PyObject* elf_code_symbols(PyObject*, PyObject* args) {
    BufferView data;
    try {
        elf::Table table{};
        if (!symbol_table(args, "y*nnnnnpppOO:elf_code_symbols", data, table)) return nullptr;
        std::vector<elf::CodeSymbol> found = elf::code_symbols(table);
        Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
        if (!result) return nullptr;
        for (std::size_t i = 0; i < found.size(); ++i) {
            const elf::CodeSymbol& symbol = found[i];
            Ref row = map_reader::tuple_of({map_reader::text(symbol.name), PyLong_FromUnsignedLongLong(symbol.value),
                                            PyLong_FromUnsignedLongLong(symbol.size),
                                            PyLong_FromUnsignedLong(symbol.section),
                                            PyLong_FromLong(static_cast<long>(symbol.binding)),
                                            PyUnicode_FromOrdinal(static_cast<int>(symbol.kind))});
            if (!row) return nullptr;
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), row.release());
        }
        return result.release();
    } catch (const elf::Invalid& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef methods[] = {
    {"explorer_rows", guarded<explorer_rows>, METH_VARARGS,
     "explorer_rows(symbols, place_of, origin_of, deltas, unchanged) -> (rows, groups)\n\nThe rows "
     "of the HTML explorer's symbol table, and the row numbers per (section, object file, archive)."},
    {"display_name", guarded<display_name>, METH_O,
     "display_name(name) -> str\n\nThe name demangled (C++, Rust), also where it follows an input "
     "section's prefix (.text._ZN...); the name itself when nothing changes."},
    {"write_json", guarded<write_json>, METH_VARARGS,
     "write_json(value, write, enum_type, indent=2)\n\nWrites value as JSON through write(bytes), "
     "in pieces: records by their fields, enumerations by their values."},
    {"symbol_tables", guarded<symbol_tables>, METH_VARARGS,
     "symbol_tables(symbols, origin_of) -> (by_symbol, by_object, by_archive, exact, placed)\n\nThe byte "
     "tables a comparison reads from a build's symbols (records or a stored report's objects)."},
    {"read_stored_report", guarded<read_stored_report>, METH_VARARGS,
     "read_stored_report(data, origin_of) -> (document, symbol_tables, input_spans) or None\n\nA stored JSON "
     "report read in one scan: the document without its symbols and its sections' inputs, the symbols' "
     "byte tables, where each section's inputs are; None for a text it does not take."},
    {"json_values", guarded<json_values>, METH_VARARGS,
     "json_values(data, spans) -> list\n\nThe JSON value at each (start, end) of data (None for None)."},
    {"differing_keys", guarded<differing_keys>, METH_VARARGS,
     "differing_keys(before, after) -> list\n\nThe keys whose values (a list's first item) differ, or that "
     "one table lacks."},
    {"totals_by_origin", guarded<totals_by_origin>, METH_VARARGS,
     "totals_by_origin(symbols, key_of) -> list\n\n(key, bytes, count, ((section, bytes), ...)) of the "
     "symbols that hold their bytes, added up by key_of(object_file, archive)."},
    {"origin_groups", guarded<origin_groups>, METH_VARARGS,
     "origin_groups(totals, naming, absent, group_of, fallback, limit, counted) -> dict or (dict, dict)\n\nThe "
     "totals per origin added up per group (section, or group_of[section]) and name, the `limit` largest of each "
     "when limit >= 0; with `counted`, also the symbols per name."},
    {"origin_names", guarded<origin_names>, METH_VARARGS,
     "origin_names(totals, naming, absent) -> list\n\nEach row's origin named as origin_groups names it by "
     "`naming`, for origin_groups to take in its place."},
    {"largest_per_section", guarded<largest_per_section>, METH_VARARGS,
     "largest_per_section(symbols, limit[, group_of, fallback]) -> dict\n\nIn each section, the largest symbols that hold "
     "their bytes, largest first, then by name."},
    {"sorted_by_size", guarded<sorted_by_size>, METH_O,
     "sorted_by_size(items) -> list\n\nLargest size first, then by name, then by address; a "
     "stable sort."},
    {"largest_symbols", guarded<largest_symbols>, METH_VARARGS,
     "largest_symbols(symbols, limit) -> list\n\nThe largest symbols that hold their bytes, "
     "largest first, then by name."},
    {"read_gnu_ld_map", guarded<read_gnu_ld_map>, METH_VARARGS,
     "read_gnu_ld_map(data, InputSection, Symbol, named_code, skip_output, split_origin[, mapped]) -> tuple\n\nA GNU ld "
     "or gold map (UTF-8 bytes) read into the model's records: (toolchain, regions, outputs, assignments, "
     "notes, thumb, sizes_given, output_file, origin_totals)."},
    {"read_lld_map", guarded<read_lld_map>, METH_VARARGS,
     "read_lld_map(data, InputSection, Symbol, named_code, skip_output, split_origin[, mapped]) -> tuple\n\nAn LLVM "
     "lld or mold map (UTF-8 bytes) read into the model's records, as read_gnu_ld_map gives them."},
    {"size_symbols", guarded<size_symbols>, METH_VARARGS,
     "size_symbols(part, section, sizes_given, thumb, code, Symbol, split_origin) -> list\n\nThe symbols of "
     "an input section with their sizes, every byte accounted for once."},
    {"size_placed_symbols", guarded<size_placed_symbols>, METH_VARARGS,
     "size_placed_symbols(sections, raw_symbols, sizes_given, thumb, Symbol, split_origin) -> list\n\nEach "
     "symbol placed in the input section that holds it, then every input section's symbols sized. The raw "
     "symbols are rows, or the columns (names, addresses) of global symbols of no stated size."},
    {"padding_bytes", guarded<padding_bytes>, METH_O,
     "padding_bytes(inputs) -> int\n\nThe bytes of the input sections that are padding (fill, not a reservation)."},
    {"reserved_bytes", guarded<reserved_bytes>, METH_O,
     "reserved_bytes(inputs) -> int\n\nThe bytes of the input sections that are reservations."},
    {"read_call_graph", guarded<read_call_graph>, METH_O,
     "read_call_graph(text) -> tuple\n\nThe functions (with their frames) and the call edges of a "
     "-fcallgraph-info file's text."},
    {"link_calls", guarded<link_calls>, METH_VARARGS,
     "link_calls(unit_calls, places, by_name, calls, indirect, global_named) -> None\n\nA unit's calls "
     "appended to its functions' calls in the graph, each to the function it reaches or the text of why none."},
    {"index_names", guarded<index_names>, METH_VARARGS,
     "index_names(by_name, names, locals, start) -> None\n\nEach global function's place appended to "
     "by_name[its name]."},
    {"solve_stack", guarded<solve_stack>, METH_VARARGS,
     "solve_stack(calls, frames, qualifiers, problems, has_calls, assumed_in, worst, bounded, cause, best, "
     "assumed, none, settle) -> None\n\nEach function's worst case, callees first: the plain ones settled here, "
     "every other component by settle(component)."},
    {"input_spans", guarded<input_spans>, METH_VARARGS,
     "input_spans(sections, split_origin) -> dict\n\nEach output section's input sections that hold bytes, as "
     "(start, end, name, section, object_file, archive), sorted: what join_symbols takes."},
    {"unnamed_groups", guarded<unnamed_groups>, METH_VARARGS,
     "unnamed_groups(symbols, shared, places) -> list\n\nThe bytes of the unnamed symbols and of those in shared "
     "sections, per (section, unnamed, object_file, address where shared)."},
    {"attribute_sources", guarded<attribute_sources>, METH_VARARGS,
     "attribute_sources(entities, units, unit_sources, unit_files, symbols, shown) -> (groups, inlined)\n\nEvery "
     "symbol given the source of its debug entity or unit; the symbols' bytes per (unnamed, file, archive, section) "
     "and the inlined calls' per (name, source)."},
    {"join_symbols", guarded<join_symbols>, METH_VARARGS,
     "join_symbols(rows, section_names, allocated, inputs, Symbol) -> list\n\nAn ELF's symbols with the object files of the "
     "map's input sections that hold them, aliases marked, and the bytes no symbol covers."},
    {"read_iar_map", guarded<read_iar_map>, METH_VARARGS,
     "read_iar_map(data) -> tuple\n\nThe rows of an IAR ILINK map (UTF-8 bytes)."},
    {"iar_runs", guarded<iar_runs>, METH_VARARGS,
     "iar_runs(rows, archives) -> list\n\nThe rows of an IAR ILINK map's placement summary cut into output sections, "
     "their input sections' origins set."},
    {"iar_holes", guarded<iar_holes>, METH_VARARGS,
     "iar_holes(rows, first, past, start, end) -> list\n\nThe bytes of a part of an IAR ILINK map's placement "
     "summary that none of its rows covers."},
    {"read_armlink_map", guarded<read_armlink_map>, METH_VARARGS,
     "read_armlink_map(data, InputSection) -> tuple\n\nThe rows of an Arm armlink map (UTF-8 bytes)."},
    {"read_iar_xlink_map", guarded<read_iar_xlink_map>, METH_VARARGS,
     "read_iar_xlink_map(data) -> tuple\n\nThe rows of an IAR XLINK map (UTF-8 bytes)."},
    {"read_c51_map", guarded<read_c51_map>, METH_VARARGS,
     "read_c51_map(data, offsets) -> tuple\n\nThe parts of a Keil C51 BL51 or LX51 listing (UTF-8 bytes)."},
    {"c51_sections", guarded<c51_sections>, METH_VARARGS,
     "c51_sections(segments, owners, offsets, regions, section_of, Section, InputSection) -> list\n\nThe sections "
     "of a Keil C51 listing's segments that hold bytes."},
    {"read_rlink_map", guarded<read_rlink_map>, METH_VARARGS,
     "read_rlink_map(data) -> tuple\n\nThe parts of a Renesas optimizing linker map (UTF-8 bytes)."},
    {"read_cosmic_map", guarded<read_cosmic_map>, METH_VARARGS,
     "read_cosmic_map(data, InputSection, origin) -> tuple\n\nThe segments with their input sections, the "
     "symbols and the checks of a COSMIC clnk map (UTF-8 bytes)."},
    {"read_sdcc_map", guarded<read_sdcc_map>, METH_VARARGS,
     "read_sdcc_map(data) -> tuple\n\nThe areas and symbols of an SDCC sdld map (UTF-8 bytes)."},
    {"place_xc8_psects", guarded<place_xc8_psects>, METH_VARARGS,
     "place_xc8_psects(rows, placing, bounds, names, Section, InputSection) -> tuple\n\n"
     "The sections and symbols of an XC8 map's psects, placed in bytes."},
    {"read_xc8_map", guarded<read_xc8_map>, METH_VARARGS,
     "read_xc8_map(data) -> tuple\n\nThe rows of a Microchip XC8 map (UTF-8 bytes)."},
    {"read_ti_map", guarded<read_ti_map>, METH_VARARGS,
     "read_ti_map(data, InputSection) -> tuple\n\nThe rows of a TI linker map (UTF-8 bytes)."},
    {"read_dwarf", guarded<read_dwarf>, METH_VARARGS,
     "read_dwarf(info, abbrev, str, line, line_str, str_offsets, addr, rnglists, ranges, little) -> tuple\n\n"
     "The source files, compile units, and functions, variables and inlined calls of an ELF's DWARF."},
    {"elf_code_symbols", guarded<elf_code_symbols>, METH_VARARGS,
     "elf_code_symbols(data, offset, count, entry_size, strings_offset, strings_size, is64, little, thumb, code, "
     "extended) -> list\n\nThe functions and mapping symbols of the sections `code` marks, as (name, value, "
     "size, section index, binding, kind)."},
    {"machine_frames", guarded<machine_frames>, METH_VARARGS,
     "machine_frames(code, base, little, arch, functions, data) -> list\n\n"
     "Each function's (frame, problem, problem address, calls) from the machine code of one section."},
    {"decode_machine_code", guarded<decode_machine_code>, METH_VARARGS,
     "decode_machine_code(code, base, little, arch) -> list\n\n"
     "(address, size, flow, sp, sp delta, target) of each instruction of a linear sweep."},
    {"elf_symbols", guarded<elf_symbols>, METH_VARARGS,
     "elf_symbols(data, offset, count, entry_size, strings_offset, strings_size, is64, little, "
     "thumb, allocated, extended, tls_base) -> list\n\nThe functions and data an ELF symbol table places "
     "in the sections `allocated` marks, as (name, start, size, section index, binding), sorted by start; "
     "a thread-local symbol at `tls_base` plus its value."},
    {"extent_fault", guarded<extent_fault>, METH_VARARGS,
     "extent_fault(regions, sections, symbols) -> tuple | None\n\n(what, index, part) of the first figure of a "
     "finished model that no build has: past the 64-bit address space, of 2^63 bytes or more, or outside its section."},
    {"demangle", guarded<demangle_name>, METH_O,
     "demangle(name) -> str | None\n\nThe readable form of a mangled C++ or Rust symbol name, "
     "or None when the name is not mangled."},
    {nullptr, nullptr, 0, nullptr},
};

int add_types(PyObject* module) noexcept { return add_debug_entities_type(module); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_types)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "tarnwick._native", "Fast paths of tarnwick's front end and renderers.",
    0, methods, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace tarnwick

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&tarnwick::definition); }
