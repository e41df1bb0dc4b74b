// What the native map readers share around their line loop: the failure a reader stops at,
// texts made Python strings, and the call that feeds a reader each line of a map's bytes.
#pragma once

#include "fast/guarded_entry.hpp"
#include "fast/input_fault.hpp"
#include "fast/link_map.hpp"
#include "fast/records.hpp"
#include "support/ref.hpp"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tarnwick::map_reader {

struct Failure {
    std::string reason;
    long line;
};

// Bytes that are not UTF-8 are read as U+FFFD, as a map read as text reads them. A name in
// ASCII (nearly every one) is copied in directly: the decoder's checks and its second pass over
// the bytes cost more than the copy. One character or none is the decoder's: it hands out the
// interpreter's own strings of those.
inline PyObject* text(std::string_view value) noexcept {
    auto size = static_cast<Py_ssize_t>(value.size());
    unsigned char high = 0;
    for (char c : value) high |= static_cast<unsigned char>(c);
    if (size < 2 || high >= 0x80) return PyUnicode_DecodeUTF8(value.data(), size, "replace");
    PyObject* made = PyUnicode_New(size, 127);
    if (made != nullptr) std::memcpy(PyUnicode_DATA(made), value.data(), value.size());
    return made;
}

// A tuple taking over `items` (new references); empty with an exception set when one of them
// could not be made (nullptr) or the tuple cannot be. Rows are made by the hundred thousand,
// and Py_BuildValue reads its format each time. One of texts, numbers and None is left out of
// the cyclic collector's lists at once, as the collector itself would at its first pass over
// it: no cycle can pass through it, and the passes over a hundred thousand rows cost more.
inline Ref tuple_of(std::initializer_list<PyObject*> items) noexcept {
    bool complete = true, plain = true;
    for (PyObject* item : items) {
        complete = complete && item != nullptr;
        plain = plain && item != nullptr &&
                (!PyObject_IS_GC(item) || (PyTuple_CheckExact(item) && !PyObject_GC_IsTracked(item)));
    }
    PyObject* made = complete ? PyTuple_New(static_cast<Py_ssize_t>(items.size())) : nullptr;
    Py_ssize_t index = 0;
    for (PyObject* item : items) {
        if (made != nullptr) PyTuple_SET_ITEM(made, index++, item);
        else Py_XDECREF(item);
    }
    if (made != nullptr && plain) PyObject_GC_UnTrack(made);
    return Ref::steal(made);
}

// One Python string for each text that repeats (kinds, classes, objects): a map names its
// objects thousands of times, and the passes after look them up by identity first.
class SharedTexts {
public:
    // a new reference; rows in a run name the same text, so the last one is tried first
    Ref get(std::string_view value) {
        if (last_ != nullptr && value == last_->first) return Ref::borrow(last_->second.get());
        auto found = strings_.find(value);
        if (found == strings_.end()) {
            Ref made = Ref::steal(text(value));
            if (!made) return made;
            found = strings_.emplace(std::string(value), std::move(made)).first;
        }
        last_ = &*found;  // nodes of an unordered_map stay where they are
        return Ref::borrow(found->second.get());
    }

private:
    struct TextHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view value) const noexcept { return std::hash<std::string_view>{}(value); }
    };
    struct TextEqual {
        using is_transparent = void;
        bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
    };
    std::unordered_map<std::string, Ref, TextHash, TextEqual> strings_;
    const std::pair<const std::string, Ref>* last_ = nullptr;
};

// The symbols of a map that states no sizes and no binding of its own, as the rows
// size_placed_symbols takes for RawSymbol records: (name, address, None, "global"). A map lists
// a hundred thousand, and a tuple costs less to make and to free than a record.
class GlobalSymbols {
public:
    bool prepare() {
        global_ = Ref::steal(PyUnicode_InternFromString("global"));
        return static_cast<bool>(global_);
    }

    // false with an exception set
    bool append(PyObject* list, std::string_view name, std::uint64_t address) noexcept {
        Ref row = tuple_of({text(name), PyLong_FromUnsignedLongLong(address), Py_NewRef(Py_None), Py_NewRef(global_.get())});
        return row && PyList_Append(list, row.get()) == 0;
    }

private:
    Ref global_;
};

// The same symbols as two columns, (names, addresses), which size_placed_symbols also takes: no
// row is made and freed per symbol, and the densest maps list one every 60 bytes.
class GlobalColumns {
public:
    // A new (names, addresses) pair, which append() fills from now on; empty with an exception set.
    Ref start() noexcept {
        Ref names = Ref::steal(PyList_New(0));
        Ref addresses = names ? Ref::steal(PyList_New(0)) : Ref();
        if (!addresses) return Ref();
        names_ = names.get();  // the pair holds them
        addresses_ = addresses.get();
        return tuple_of({names.release(), addresses.release()});
    }

    // false with an exception set
    bool append(std::string_view name, std::uint64_t address) noexcept {
        Ref name_text = Ref::steal(text(name));
        return name_text && append(name_text.get(), Ref::steal(PyLong_FromUnsignedLongLong(address)).get());
    }

    // Objects made already (an address past 64 bits: the model's checks name it); false with an
    // exception set, or when one is null (an exception set in making it).
    bool append(PyObject* name, PyObject* address) noexcept {
        return name != nullptr && address != nullptr && PyList_Append(names_, name) == 0 &&
               PyList_Append(addresses_, address) == 0;
    }

private:
    PyObject* names_ = nullptr;  // borrowed from the pair start() made
    PyObject* addresses_ = nullptr;
};

// The buffer of a map's bytes, released when the call ends.
struct BufferRelease {
    Py_buffer* view;
    ~BufferRelease() { PyBuffer_Release(view); }
};

// Calls reader.line(line, number) with each line of the map until it returns false (an
// exception is set) or sets reader.failure; then reader.result(). A line holding a NUL byte is
// binary data, no map. A failure is thrown as the InputFault of its line; a C++ exception other
// than an InputFault or bad_alloc says the line it was thrown at, for the internal error.
template <class Reader>
PyObject* read_lines(const Py_buffer& view, Reader& reader) {
    long number = 0;
    bool ok = true;
    // the first NUL byte, searched for once: the lines before it hold none, the line holding it is
    // the first that does (a NUL ends no line)
    const char* nul = static_cast<const char*>(std::memchr(view.buf, '\0', static_cast<std::size_t>(view.len)));
    try {
        link_map::for_each_line({static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)},
                                [&](std::string_view line) {
                                    if (nul != nullptr && line.data() + line.size() > nul) {
                                        reader.failure = Failure{"binary data inside the map", ++number};
                                        return false;
                                    }
                                    ok = reader.line(line, ++number);
                                    return ok && !reader.failure;
                                });
    } catch (const InputFault&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        throw guarded_entry::Internal(guarded_entry::type_name(typeid(error)) + ": " + error.what() + " (at line " +
                                      std::to_string(number) + " of the map)");
    }
    if (!ok) return nullptr;
    if (reader.failure) throw InputFault(reader.failure->reason, reader.failure->line);
    return reader.result();
}

// A native reader's whole call: `format` takes the map's bytes ("y*:read_x_map") and the record
// class its Reader starts with, if it takes one ("y*O:read_x_map").
template <class Reader>
PyObject* read_map(PyObject* args, const char* format) {
    Py_buffer view;
    PyObject* record_class = nullptr;
    if (!PyArg_ParseTuple(args, format, &view, &record_class)) return nullptr;
    BufferRelease release{&view};
    Reader reader;
    bool started;
    if constexpr (requires { reader.start(); }) started = reader.start();
    else started = reader.start(record_class);
    return started ? read_lines(view, reader) : nullptr;
}

}  // namespace tarnwick::map_reader
