// Passes over every symbol of a build, in one loop each: the bytes per object file, archive and
// section, and the largest symbols. A large firmware has hundreds of thousands of symbols; the
// passes then only fold the groups (a few thousand) in Python.
#include "fast/symbol_totals.hpp"

#include "fast/map_reader.hpp"
#include "fast/prefault.hpp"
#include "fast/records.hpp"
#include "support/items.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

namespace tarnwick {

namespace {

struct Names {
    FieldReader size{"size"}, alias_of{"alias_of"}, object_file{"object_file"}, archive{"archive"},
        section{"section"}, name{"name"};
    bool ready() noexcept {
        return size.ready() && alias_of.ready() && object_file.ready() && archive.ready() && section.ready() &&
               name.ready();
    }
};

}  // namespace

long long own_bytes(PyObject* symbol, FieldReader& size_field, FieldReader& alias_field) noexcept {
    Ref size = size_field.read(symbol);
    if (!size) return -1;
    if (!PyLong_Check(size.get())) {
        PyErr_Format(PyExc_TypeError, "a symbol's size must be an integer, not %.100s", Py_TYPE(size.get())->tp_name);
        return -1;
    }
    long long bytes = PyLong_AsLongLong(size.get());
    if (bytes == -1 && PyErr_Occurred()) return -1;
    if (bytes <= 0) return 0;
    Ref alias = alias_field.read(symbol);
    if (!alias) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();  // records without aliases
        return bytes;
    }
    return alias.get() == Py_None ? bytes : 0;
}

namespace {

long long own_bytes(PyObject* symbol, Names& names) noexcept { return own_bytes(symbol, names.size, names.alias_of); }

bool text_or_none(PyObject* value) noexcept { return value == Py_None || PyUnicode_CheckExact(value); }

// A symbol ranked by its bytes, largest first, then by name: the order the report lists them in.
// A comparison of names that fails leaves its error set for the caller to find.
struct Ranked {
    long long bytes;
    Ref name, symbol;
};

bool before(const Ranked& a, const Ranked& b) noexcept {
    if (a.bytes != b.bytes) return a.bytes > b.bytes;
    return PyUnicode_Compare(a.name.get(), b.name.get()) < 0;
}

// `largest` is a heap on `before` whose top is the smallest kept: the entry replaces it when
// it ranks before it and `keep` are held.
void keep_largest(std::vector<Ranked>& largest, Ranked&& entry, std::size_t keep) {
    if (largest.size() < keep) {
        largest.push_back(std::move(entry));
        std::push_heap(largest.begin(), largest.end(), before);
    } else if (before(entry, largest.front())) {
        std::pop_heap(largest.begin(), largest.end(), before);
        largest.back() = std::move(entry);
        std::push_heap(largest.begin(), largest.end(), before);
    }
}

// What a symbol's section is counted under: the section itself, or, given a mapping, what the
// mapping says of it (its region), else the fallback. Remembers the last answer: a section's
// symbols come together.
class SectionGroups {
public:
    SectionGroups(PyObject* group_of, PyObject* fallback) : group_of_(group_of), fallback_(fallback) {}
    // borrowed; null with an exception set
    PyObject* of(PyObject* section) {
        if (group_of_ == nullptr) return section;
        if (section == last_section_) return last_group_;
        PyObject* found = section == Py_None ? nullptr : PyDict_GetItemWithError(group_of_, section);
        if (found == nullptr && PyErr_Occurred()) return nullptr;
        last_section_ = section;
        last_group_ = found != nullptr ? found : fallback_;
        return last_group_;
    }

private:
    PyObject *group_of_, *fallback_;
    PyObject *last_section_ = nullptr, *last_group_ = nullptr;
};

}  // namespace

using origin_totals::Total;

constexpr std::size_t unknown = SIZE_MAX;

// The number in totals_ of an origin met for the first time (its key asked), or `unknown`
// with an exception set.
std::size_t OriginTotals::total_of(PyObject* object, PyObject* archive) {
    if (!text_or_none(object) || !text_or_none(archive)) {
        PyErr_SetString(PyExc_TypeError, "a symbol's object_file and archive must be str or None");
        return unknown;
    }
    if (!key_numbers_ && !(key_numbers_ = Ref::steal(PyDict_New()))) return unknown;
    Ref key = Ref::steal(key_of_ == Py_None ? PyTuple_Pack(2, object, archive)
                                            : PyObject_CallFunctionObjArgs(key_of_, object, archive, nullptr));
    if (!key) return unknown;
    PyObject* known = PyDict_GetItemWithError(key_numbers_.get(), key.get());  // borrowed
    if (known == nullptr && PyErr_Occurred()) return unknown;
    if (known != nullptr) return PyLong_AsSize_t(known);
    std::size_t total = totals_.size();
    Ref index = Ref::steal(PyLong_FromSize_t(total));
    if (!index || PyDict_SetItem(key_numbers_.get(), key.get(), index.get()) < 0) return unknown;
    totals_.push_back(Total{std::move(key), 0, 0, {}});
    return total;
}

bool OriginTotals::add_to(std::size_t total, PyObject* section, long long bytes) {
    if (totals_[total].add(section, bytes)) return true;
    PyErr_SetString(PyExc_TypeError, "a symbol's section must be str or None");
    return false;
}

bool OriginTotals::add(PyObject* object, PyObject* archive, PyObject* section, long long bytes) noexcept {
    try {
        PointerPair origin{object, archive};
        if (!have_last_ || !(origin == last_)) {
            std::size_t number = origins_.find_or_add(origin, origin_total_.size());
            if (number == origin_total_.size()) {
                std::size_t total = total_of(object, archive);
                if (total == unknown) return false;
                origin_total_.push_back(total);
            }
            last_ = origin;
            last_total_ = origin_total_[number];
            have_last_ = true;
            // the texts stay alive with the symbols they were read from
        }
        return add_to(last_total_, section, bytes);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

bool OriginTotals::add(std::size_t origin, PyObject* object, PyObject* archive, PyObject* section,
                       long long bytes) noexcept {
    try {
        if (origin >= numbered_.size()) numbered_.resize(origin + 1, unknown);
        if (numbered_[origin] == unknown && (numbered_[origin] = total_of(object, archive)) == unknown) return false;
        return add_to(numbered_[origin], section, bytes);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
}

// [(key, bytes, count, ((section, bytes), ...)), ...]; equal section texts held in different
// objects stay apart here, and the callers add them up by name.
PyObject* OriginTotals::rows() const noexcept {
    using map_reader::tuple_of;  // a large build has a hundred thousand origins
    // the figures, all above 0, shared below 64 KiB: a number object each was a third of the
    // rows' 34 MiB on the 113 MB map
    SharedInts figures;
    auto figure = [&figures](long long value) {
        return value < 0 ? PyLong_FromLongLong(value) : figures.get(static_cast<std::uint64_t>(value));
    };
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(totals_.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < totals_.size(); ++i) {
        const Total& total = totals_[i];
        Ref sections = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(total.sections.size())));
        if (!sections) return nullptr;
        for (std::size_t j = 0; j < total.sections.size(); ++j) {
            PyObject* pair = tuple_of({Py_NewRef(total.sections[j].first.get()), figure(total.sections[j].second)}).release();
            if (pair == nullptr) return nullptr;
            PyObject_GC_UnTrack(pair);  // texts and numbers: as the collector itself would
            PyTuple_SET_ITEM(sections.get(), static_cast<Py_ssize_t>(j), pair);  // steals pair
        }
        PyObject_GC_UnTrack(sections.get());
        PyObject* row = tuple_of({Py_NewRef(total.key.get()), figure(total.bytes), figure(total.count),
                                  sections.release()}).release();
        if (row == nullptr) return nullptr;
        if (key_of_ == Py_None) {  // the key is (object_file, archive): texts
            PyObject_GC_UnTrack(total.key.get());
            PyObject_GC_UnTrack(row);
        }
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), row);  // steals row
    }
    return result.release();
}

PyObject* totals_by_origin(PyObject*, PyObject* args) {
    PyObject *symbols, *key_of;
    if (!PyArg_ParseTuple(args, "OO:totals_by_origin", &symbols, &key_of)) return nullptr;
    Names names;
    if (!names.ready()) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(symbols));
    if (!iterator) return nullptr;
    try {
        OriginTotals totals(key_of);
        while (Ref symbol = Ref::steal(PyIter_Next(iterator.get()))) {
            long long bytes = own_bytes(symbol.get(), names);
            if (bytes < 0) return nullptr;
            if (bytes == 0) continue;
            Ref object = names.object_file.read(symbol.get());
            Ref archive = object ? names.archive.read(symbol.get()) : Ref();
            Ref section = archive ? names.section.read(symbol.get()) : Ref();
            if (!section || !totals.add(object.get(), archive.get(), section.get(), bytes)) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
        return totals.rows();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* largest_symbols(PyObject*, PyObject* args) {
    PyObject* symbols;
    Py_ssize_t limit;
    if (!PyArg_ParseTuple(args, "On:largest_symbols", &symbols, &limit)) return nullptr;
    Names names;
    if (!names.ready()) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(symbols));
    if (!iterator) return nullptr;
    std::size_t keep = static_cast<std::size_t>(std::max<Py_ssize_t>(limit, 0));
    try {
        std::vector<Ranked> largest;  // a heap on `before`: its top is the smallest kept
        while (Ref symbol = Ref::steal(PyIter_Next(iterator.get()))) {
            long long bytes = own_bytes(symbol.get(), names);
            if (bytes < 0) return nullptr;
            if (bytes == 0) continue;
            Ref name = names.name.read(symbol.get());
            if (!name) return nullptr;
            if (!PyUnicode_Check(name.get())) {
                PyErr_SetString(PyExc_TypeError, "a symbol's name must be str");
                return nullptr;
            }
            if (keep == 0) continue;
            Ranked entry{bytes, std::move(name), std::move(symbol)};
            keep_largest(largest, std::move(entry), keep);
        }
        if (PyErr_Occurred()) return nullptr;
        std::sort_heap(largest.begin(), largest.end(), before);
        Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(largest.size())));
        if (!result) return nullptr;
        for (std::size_t i = 0; i < largest.size(); ++i)
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), largest[i].symbol.release());  // steals
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* largest_per_section(PyObject*, PyObject* args) {
    PyObject *symbols, *group_of = nullptr, *fallback = Py_None;
    Py_ssize_t limit;
    if (!PyArg_ParseTuple(args, "On|O!O:largest_per_section", &symbols, &limit, &PyDict_Type, &group_of, &fallback))
        return nullptr;
    SectionGroups groups(group_of, fallback);
    Ref index_of = Ref::steal(PyDict_New());  // group -> its number in `sections`
    if (!index_of) return nullptr;
    Names names;
    if (!names.ready()) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(symbols));
    if (!iterator) return nullptr;
    std::size_t keep = static_cast<std::size_t>(std::max<Py_ssize_t>(limit, 0));
    struct Section {
        Ref name;
        std::vector<Ranked> largest;  // a heap on `before`: its top is the smallest kept
    };
    try {
        std::vector<Section> sections;
        PyObject* last = nullptr;
        std::size_t last_index = 0;
        while (Ref symbol = Ref::steal(PyIter_Next(iterator.get()))) {
            long long bytes = own_bytes(symbol.get(), names);
            if (bytes < 0) return nullptr;
            if (bytes == 0 || keep == 0) continue;
            Ref section = names.section.read(symbol.get());
            Ref name = section ? names.name.read(symbol.get()) : Ref();
            if (!name) return nullptr;
            if (!PyUnicode_Check(name.get()) || !text_or_none(section.get())) {
                PyErr_SetString(PyExc_TypeError, "a symbol's name must be str and its section str or None");
                return nullptr;
            }
            if (section.get() != last) {  // a section's symbols come together: look up on a change
                PyObject* group = groups.of(section.get());  // borrowed
                if (group == nullptr) return nullptr;
                PyObject* known = PyDict_GetItemWithError(index_of.get(), group);  // borrowed
                if (known == nullptr && PyErr_Occurred()) return nullptr;
                if (known != nullptr) {
                    last_index = PyLong_AsSize_t(known);
                } else {
                    last_index = sections.size();
                    Ref number = Ref::steal(PyLong_FromSize_t(last_index));
                    if (!number || PyDict_SetItem(index_of.get(), group, number.get()) < 0) return nullptr;
                    sections.push_back(Section{Ref::borrow(group), {}});
                }
                last = section.get();
            }
            std::vector<Ranked>& largest = sections[last_index].largest;
            Ranked entry{bytes, std::move(name), std::move(symbol)};
            keep_largest(largest, std::move(entry), keep);
        }
        if (PyErr_Occurred()) return nullptr;
        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;
        for (Section& section : sections) {
            std::sort_heap(section.largest.begin(), section.largest.end(), before);
            Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(section.largest.size())));
            if (!list) return nullptr;
            for (std::size_t i = 0; i < section.largest.size(); ++i)
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), section.largest[i].symbol.release());  // steals
            if (PyDict_SetItem(result.get(), section.name.get(), list.get()) < 0) return nullptr;
        }
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

namespace {

// The bytes of names past their first 16, kept together in blocks that stay where they are (a
// growing buffer would be copied as it grew, both copies held at once).
class NameTails {
public:
    const char* copy(const char* text, std::size_t length) {
        if (length > left_) {
            std::size_t size = std::max<std::size_t>(length, block);
            blocks_.push_back(std::make_unique<char[]>(size));
            at_ = blocks_.back().get();
            left_ = size;
        }
        char* copied = at_;
        std::memcpy(copied, text, length);
        at_ += length;
        left_ -= length;
        return copied;
    }

private:
    static constexpr std::size_t block = 1u << 20;
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* at_ = nullptr;
    std::size_t left_ = 0;
};

// Sizes below this have a bucket each, largest first; larger ones share the first, negative
// ones the last. Most symbols are smaller, and most sizes are held by many symbols.
constexpr std::size_t small_sizes = 1u << 16, size_buckets = small_sizes + 2;

std::size_t size_bucket(long long size) noexcept {
    if (size >= static_cast<long long>(small_sizes)) return 0;
    if (size < 0) return size_buckets - 1;
    return 1 + (small_sizes - 1 - static_cast<std::size_t>(size));
}

// The first entry of each bucket, and past the last (size_buckets + 1 places).
template <class Entry>
std::vector<std::size_t> bucket_starts(const std::vector<Entry>& entries) {
    std::vector<std::size_t> start(size_buckets + 1, 0);
    for (const Entry& entry : entries) ++start[size_bucket(entry.size) + 1];
    for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    return start;
}

// Entries put in their groups' order in place, each moved once, to the next free place of its
// group: `next[g]` is group g's first place still to fill, `end[g]` the place past its last.
template <class Entry, class GroupOf>
void into_groups(Entry* entries, std::size_t* next, const std::size_t* end, std::size_t groups, GroupOf group_of) {
    for (std::size_t g = 0; g < groups; ++g) {
        while (next[g] < end[g]) {
            std::size_t group = group_of(entries[next[g]]);
            if (group == g) {
                ++next[g];
                continue;
            }
            Entry moving = entries[next[g]];
            do {
                std::swap(moving, entries[next[group]++]);
                group = group_of(moving);
            } while (group != g);
            entries[next[g]++] = moving;
        }
    }
}

// The entries put in their buckets' order: sorted then bucket by bucket, each within the
// caches, where the whole array, tens of megabytes, sorted at once would not be.
template <class Entry>
void in_size_buckets(std::vector<Entry>& entries) {
    std::vector<std::size_t> start = bucket_starts(entries);
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    into_groups(entries.data(), next.data(), start.data() + 1, size_buckets,
                [](const Entry& entry) { return size_bucket(entry.size); });
}

// Byte `depth` (0 to 15) of an entry's first 16 name bytes, `head` then `next`, big-endian.
template <class Entry>
unsigned head_byte(const Entry& entry, unsigned depth) noexcept {
    std::uint64_t word = depth < 8 ? entry.head : entry.next;
    return static_cast<unsigned>(word >> (56 - 8 * (depth % 8))) & 0xFFu;
}

// Entries of one size in the order `before` gives, grouped by their names' first 16 bytes a
// byte at a time, in place (a bucket of thousands of names that share their first bytes,
// function_1 to function_20000, takes a few passes, where a comparison sort reads each pair's
// heads again at every one of its levels); a small group, or one whose 16 bytes are all alike,
// is left to `before`, which orders by the rest.
template <class Entry, class Before>
void sort_by_heads(Entry* first, Entry* last, Before before, unsigned depth) {
    constexpr std::ptrdiff_t few = 128;
    for (;; ++depth) {
        std::ptrdiff_t count_all = last - first;
        if (count_all <= few || depth == 16) {
            if (count_all > 1) std::sort(first, last, before);
            return;
        }
        if (depth % 8 == 0) {  // the bytes the whole group shares are passed over at once
            std::uint64_t differ = 0, word = depth < 8 ? first->head : first->next;
            for (Entry* entry = first + 1; entry != last; ++entry) differ |= (depth < 8 ? entry->head : entry->next) ^ word;
            if (differ == 0) {
                depth += 7;
                continue;
            }
            depth += static_cast<unsigned>(__builtin_clzll(differ)) / 8;
        }
        std::size_t count[256] = {};
        for (Entry* entry = first; entry != last; ++entry) ++count[head_byte(*entry, depth)];
        if (count[head_byte(*first, depth)] == static_cast<std::size_t>(count_all)) continue;  // all alike here
        std::size_t start[257], next[256];  // start[b + 1]: past byte b's group
        start[0] = 0;
        for (std::size_t b = 0; b < 256; ++b) {
            next[b] = start[b];
            start[b + 1] = start[b] + count[b];
        }
        into_groups(first, next, start + 1, 256, [depth](const Entry& entry) { return head_byte(entry, depth); });
        for (std::size_t b = 0; b < 256; ++b)
            if (count[b] > 1) sort_by_heads(first + start[b], first + start[b + 1], before, depth + 1);
        return;
    }
}

// Each bucket sorted by `before`; a bucket of one size (all but the first and the last) by
// its names' heads first.
template <class Entry, class Before>
void sort_buckets(std::vector<Entry>& entries, Before before) {
    std::vector<std::size_t> start = bucket_starts(entries);
    for (std::size_t b = 0; b < size_buckets; ++b) {
        Entry* first = entries.data() + start[b];
        Entry* last = entries.data() + start[b + 1];
        if (last - first < 2) continue;
        if (b == 0 || b == size_buckets - 1)  // sizes of 64 KiB and more, and negative ones: of many sizes
            std::sort(first, last, before);
        else
            sort_by_heads(first, last, before, 0);
    }
}

// Eight bytes of `text` from `from`, big-endian, zeros past its end: a smaller word is a
// smaller text.
std::uint64_t word_at(const char* text, std::size_t length, std::size_t from) noexcept {
    unsigned char bytes[8] = {};
    if (from < length) std::memcpy(bytes, text + from, std::min<std::size_t>(8, length - from));
    std::uint64_t word = 0;
    for (unsigned char byte : bytes) word = word << 8 | byte;
    return word;
}

}  // namespace

PyObject* sorted_by_size(PyObject*, PyObject* items) {
    FieldReader size_field{"size"}, name_field{"name"}, address_field{"address"};
    if (!size_field.ready() || !name_field.ready() || !address_field.ready()) return nullptr;
    Ref sequence = fast_items(items, "sorted_by_size() needs a sequence");
    if (!sequence) return nullptr;
    // Names compared as UTF-8, whose byte order is the order of the code points. Their first 16
    // bytes, big-endian and padded with zeros, are kept in the entry and order most names
    // without further reading (a smaller head is a smaller name); only the bytes past them are
    // copied, so that equal heads compare without reaching the scattered string objects.
    // The addresses, asked only where sizes and names tie, stay beside the entries, unmoved.
    struct Entry {
        long long size;
        std::uint64_t head, next;
        const char* rest;  // the name's bytes past its first 16, if any
        std::uint32_t length, index;  // the name's bytes; the item's place
    };
    constexpr std::size_t in_head = 16;
    // the entries of a large build's symbols are a run's last peak (tens of megabytes beside
    // its records): the C library's free pages, the passes' tables before, are given back first
    give_back_free_pages();
    try {
        Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
        if (static_cast<std::uint64_t>(count) > UINT32_MAX) {
            PyErr_SetString(PyExc_TypeError, "more items than this sort numbers");
            return nullptr;
        }
        std::vector<Entry> entries;
        entries.reserve(static_cast<std::size_t>(count));
        std::vector<unsigned long long> addresses;
        addresses.reserve(static_cast<std::size_t>(count));
        prefault(entries.data(), static_cast<std::size_t>(count) * sizeof(Entry));
        prefault(addresses.data(), static_cast<std::size_t>(count) * sizeof(unsigned long long));
        NameTails tails;
        auto changed = [&] {  // reading a field of an item that keeps it in no slot may run code
            if (PySequence_Fast_GET_SIZE(sequence.get()) == count) return false;
            PyErr_SetString(PyExc_RuntimeError, "sorted_by_size(): the items changed while they were read");
            return true;
        };
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (changed()) return nullptr;
            prefetch_ahead(sequence.get(), i, size_field, name_field, address_field);
            PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), i);
            Ref kept[3];  // fields read other than from a slot; those are only looked at
            PyObject* size = size_field.peek(item, kept[0]);
            PyObject* name = size ? name_field.peek(item, kept[1]) : nullptr;
            PyObject* address = name ? address_field.peek(item, kept[2]) : nullptr;
            if (!address) return nullptr;
            if (!PyLong_CheckExact(size) || !PyUnicode_CheckExact(name) || !PyLong_CheckExact(address)) {
                PyErr_SetString(PyExc_TypeError, "sizes and addresses must be int, names str");
                return nullptr;
            }
            long long bytes = PyLong_AsLongLong(size);
            unsigned long long where = PyLong_AsUnsignedLongLong(address);
            Py_ssize_t length = 0;
            const char* text = PyErr_Occurred() ? nullptr : PyUnicode_AsUTF8AndSize(name, &length);
            if (text == nullptr || static_cast<std::uint64_t>(length) > UINT32_MAX) {
                // beyond 64 bits, a negative address, a name with lone surrogates, or of 4 GiB
                PyErr_Clear();
                PyErr_SetString(PyExc_TypeError, "a size, address or name this sort cannot order");
                return nullptr;
            }
            auto name_bytes = static_cast<std::size_t>(length);
            const char* rest = name_bytes > in_head ? tails.copy(text + in_head, name_bytes - in_head) : nullptr;
            entries.push_back(Entry{bytes, word_at(text, name_bytes, 0), word_at(text, name_bytes, 8), rest,
                                    static_cast<std::uint32_t>(name_bytes), static_cast<std::uint32_t>(i)});
            addresses.push_back(where);
        }
        const unsigned long long* address_of = addresses.data();
        // largest first, then by name, then by address; equal keys keep their order
        in_size_buckets(entries);
        sort_buckets(entries, [address_of](const Entry& a, const Entry& b) {
            if (a.size != b.size) return a.size > b.size;
            if (a.head != b.head) return a.head < b.head;
            if (a.next != b.next) return a.next < b.next;
            // the first 16 bytes are equal (a name of 16 or fewer has no more): the rest decides
            std::size_t a_rest = a.length > in_head ? a.length - in_head : 0;
            std::size_t b_rest = b.length > in_head ? b.length - in_head : 0;
            std::size_t common = std::min(a_rest, b_rest);
            int order = common > 0 ? std::memcmp(a.rest, b.rest, common) : 0;
            if (order != 0) return order < 0;
            if (a.length != b.length) return a.length < b.length;
            if (address_of[a.index] != address_of[b.index]) return address_of[a.index] < address_of[b.index];
            return a.index < b.index;
        });
        std::vector<unsigned long long>().swap(addresses);  // their room goes to the list
        tails = NameTails();
        if (changed()) return nullptr;
        Ref result = Ref::steal(PyList_New(count));
        if (!result) return nullptr;
        constexpr std::size_t ahead = 16;  // the items come in no order: their counts are asked for first
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (i + ahead < entries.size())
                __builtin_prefetch(PySequence_Fast_GET_ITEM(sequence.get(), entries[i + ahead].index), 1);
            PyObject* item = PySequence_Fast_GET_ITEM(sequence.get(), entries[i].index);
            PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), Py_NewRef(item));
        }
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace tarnwick

namespace tarnwick {

namespace {

// The key of a group of unnamed_groups: the texts and numbers it is told apart by.
struct GroupKey {
    PyObject *section, *object_file, *address;  // borrowed from the symbols; address null when not shared
    bool unnamed;
    bool operator==(const GroupKey& other) const noexcept {
        return section == other.section && object_file == other.object_file && address == other.address &&
               unnamed == other.unnamed;
    }
};

}  // namespace

PyObject* unnamed_groups(PyObject*, PyObject* args) {
    PyObject *symbols, *shared, *places;
    if (!PyArg_ParseTuple(args, "OOO!:unnamed_groups", &symbols, &shared, &PyDict_Type, &places)) return nullptr;
    FieldReader binding{"binding"}, section{"section"}, size{"size"}, alias_of{"alias_of"}, object_file{"object_file"},
        address{"address"};
    Ref unnamed = Ref::steal(PyUnicode_InternFromString("unnamed"));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref iterator = Ref::steal(PyObject_GetIter(symbols));
    // keyed by the objects' values, as the interpreter compares them: equal texts held twice
    // are one group; the pointer pair of the last group met is tried first
    Ref numbers = Ref::steal(PyDict_New());
    Ref rows = Ref::steal(PyList_New(0));
    if (!binding.ready() || !section.ready() || !size.ready() || !alias_of.ready() || !object_file.ready() ||
        !address.ready() || !unnamed || !zero || !iterator || !numbers || !rows)
        return nullptr;
    std::vector<Ref> totals;  // per group, its bytes so far
    std::vector<Ref> keep;    // what the groups' keys point at, kept alive
    GroupKey last{nullptr, nullptr, nullptr, false};
    std::size_t last_group = SIZE_MAX;
    while (Ref symbol = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref bound = binding.read(symbol.get());
        int is_unnamed = bound ? PyObject_RichCompareBool(bound.get(), unnamed.get(), Py_EQ) : -1;
        if (is_unnamed < 0) return nullptr;
        Ref where = section.read(symbol.get());
        if (!where) return nullptr;
        int in_shared = PySequence_Contains(shared, where.get());
        if (in_shared < 0) return nullptr;
        if (!is_unnamed && !in_shared) continue;
        Ref bytes = size.read(symbol.get());
        int empty = bytes ? PyObject_RichCompareBool(bytes.get(), zero.get(), Py_LE) : -1;
        if (empty < 0) return nullptr;
        if (empty) continue;
        Ref alias = alias_of.read(symbol.get());
        if (!alias) return nullptr;
        if (alias.get() != Py_None) continue;
        int placed = PyDict_Contains(places, where.get());
        if (placed < 0) return nullptr;
        if (!placed) continue;
        Ref object = object_file.read(symbol.get());
        Ref at = object && in_shared ? address.read(symbol.get()) : Ref::borrow(Py_None);
        if (!object || !at) return nullptr;
        GroupKey key{where.get(), object.get(), at.get(), is_unnamed != 0};
        std::size_t group;
        if (last_group != SIZE_MAX && key == last) {
            group = last_group;
        } else {
            Ref lookup = Ref::steal(PyTuple_Pack(4, where.get(), is_unnamed ? Py_True : Py_False, object.get(), at.get()));
            if (!lookup) return nullptr;
            PyObject* known = PyDict_GetItemWithError(numbers.get(), lookup.get());  // borrowed
            if (known == nullptr && PyErr_Occurred()) return nullptr;
            if (known != nullptr) {
                group = PyLong_AsSize_t(known);
            } else {
                group = totals.size();
                Ref number = Ref::steal(PyLong_FromSize_t(group));
                if (!number || PyDict_SetItem(numbers.get(), lookup.get(), number.get()) < 0 ||
                    PyList_Append(rows.get(), lookup.get()) < 0)
                    return nullptr;
                totals.push_back(Ref::borrow(zero.get()));
            }
            keep.push_back(Ref::borrow(where.get()));
            keep.push_back(Ref::borrow(object.get()));
            keep.push_back(Ref::borrow(at.get()));
            last = key;
            last_group = group;
        }
        Ref sum = Ref::steal(PyNumber_Add(totals[group].get(), bytes.get()));
        if (!sum) return nullptr;
        totals[group] = std::move(sum);
    }
    if (PyErr_Occurred()) return nullptr;
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(totals.size())));
    if (!result) return nullptr;
    for (std::size_t i = 0; i < totals.size(); ++i) {
        PyObject* key = PyList_GET_ITEM(rows.get(), static_cast<Py_ssize_t>(i));  // borrowed
        PyObject* row = PyTuple_Pack(5, PyTuple_GET_ITEM(key, 0), PyTuple_GET_ITEM(key, 1), PyTuple_GET_ITEM(key, 2),
                                     PyTuple_GET_ITEM(key, 3), totals[i].get());
        if (row == nullptr) return nullptr;
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), row);  // steals row
    }
    return result.release();
}

}  // namespace tarnwick
