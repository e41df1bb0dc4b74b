// read_gnu_ld_map(), read_lld_map(): a map read in native code, handed to Python as the model's
// own records.
#include "fast/link_map_binding.hpp"

#include "fast/flat_table.hpp"
#include "fast/gnu_ld_map.hpp"
#include "fast/llvm_lld_map.hpp"
#include "fast/populated_arenas.hpp"
#include "fast/prefault.hpp"
#include "fast/records.hpp"
#include "fast/symbol_totals.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#endif


namespace tarnwick {

namespace {

using std::string_view;
namespace lm = link_map;

// One Python string per distinct text: a map repeats its object files, archives and section
// names thousands of times.
class Strings {
public:
    PyObject* get(string_view text) noexcept {  // borrowed; null with an exception set
        auto found = cache_.find(text);
        if (found != cache_.end()) return found->second.get();
        Ref made = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
        if (!made) return nullptr;
        PyObject* borrowed = made.get();
        try {
            cache_.emplace(text, std::move(made));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return nullptr;
        }
        return borrowed;
    }
    // A new reference to the string, or null with an exception set.
    PyObject* fresh(string_view text) noexcept {
        PyObject* borrowed = get(text);
        Py_XINCREF(borrowed);
        return borrowed;
    }

private:
    std::unordered_map<string_view, Ref> cache_;
};

// Text -> number: a large map names tens of thousands of object files, and every input
// section asks for its own. Eight bytes at a time, then mixed: the table keeps the low bits.
struct TextHash {
    std::uint64_t operator()(string_view text) const noexcept {
        constexpr std::uint64_t factor = 0x9E3779B97F4A7C15ull;
        std::uint64_t hash = text.size() * factor;
        std::size_t at = 0;
        for (; at + 8 <= text.size(); at += 8) {
            std::uint64_t word;
            std::memcpy(&word, text.data() + at, 8);
            hash = (hash ^ word) * factor;
            hash ^= hash >> 29;
        }
        if (at < text.size()) {
            std::uint64_t word = 0;
            std::memcpy(&word, text.data() + at, text.size() - at);
            hash = (hash ^ word) * factor;
        }
        hash ^= hash >> 32;
        hash *= 0xD6E8FEB86659FD93ull;
        return hash ^ (hash >> 32);
    }
};
using TextNumbers = FlatTable<string_view, TextHash>;

PyObject* new_int(std::uint64_t value) noexcept { return PyLong_FromUnsignedLongLong(value); }

PyObject* new_bool(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }

PyObject* new_text(string_view text) noexcept {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// What support/origins.split_origin does with an origin it can decide by its bytes alone (ASCII,
// no line break: there its lower() and its pattern's IGNORECASE and `$` are the bytes' own):
// true, with `cut` at the "(" of "dir/libfoo.a(bar.o)" where that is an archive's member, npos
// where the origin is an object file of its own. False: split_origin must be asked.
bool ascii_lower_is(char c, std::string_view among) noexcept {
    char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return among.find(lower) != std::string_view::npos;
}

bool ends_like(std::string_view text, std::string_view lower_suffix) noexcept {
    if (text.size() < lower_suffix.size()) return false;
    std::string_view end = text.substr(text.size() - lower_suffix.size());
    for (std::size_t i = 0; i < end.size(); ++i)
        if (!ascii_lower_is(end[i], lower_suffix.substr(i, 1))) return false;
    return true;
}

bool archive_named(std::string_view name) noexcept {
    for (std::string_view suffix : {".a", ".lib", ".rlib", ".l", ".sm8"})
        if (ends_like(name, suffix)) return true;
    // TI's and COSMIC's per-platform archives: \.a(?:e|r|a|m)[0-9a-z]{1,5}$, any case
    constexpr std::string_view alnum = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::size_t tail = 0;  // the letters and digits the name ends with, up to five
    while (tail < 5 && tail < name.size() && ascii_lower_is(name[name.size() - 1 - tail], alnum)) ++tail;
    for (std::size_t k = 1; k <= tail; ++k) {
        if (name.size() < k + 3) break;
        std::string_view head = name.substr(name.size() - k - 3, 3);
        if (head[0] == '.' && ascii_lower_is(head[1], "a") && ascii_lower_is(head[2], "eram")) return true;
    }
    return false;
}

bool archive_cut(std::string_view origin, std::size_t& cut) noexcept {
    for (char c : origin)
        if (static_cast<unsigned char>(c) >= 0x80 || c == '\n') return false;
    cut = std::string_view::npos;
    if (origin.size() < 2 || origin.back() != ')') return true;
    std::size_t open = origin.rfind('(', origin.size() - 2);
    if (open != std::string_view::npos && archive_named(origin.substr(0, open))) cut = open;
    return true;
}

// The pages of a map's text mapped from its file, given back once the records are made past
// them: mapped, they count in the process's resident memory (a 113 MB map's whole text, beside
// its records) though the records hold copies. A page touched again is read from the file again.
class PagesBehind {
public:
    PagesBehind(const char* text, std::size_t length, bool mapped) noexcept {
#if defined(__unix__) || defined(__APPLE__)
        long page = sysconf(_SC_PAGESIZE);
        if (!mapped || page <= 0) return;
        page_ = static_cast<std::uintptr_t>(page);
        auto start = reinterpret_cast<std::uintptr_t>(text);
        released_ = (start + page_ - 1) / page_ * page_;
        start_ = start;
        end_ = start + length;
#else
        (void)text, (void)length, (void)mapped;
#endif
    }

    // The records are made up to `at` (a point of the text, or of another string: then nothing).
    void passed(const char* at) noexcept {
#if defined(__unix__) || defined(__APPLE__)
        auto point = reinterpret_cast<std::uintptr_t>(at);
        if (page_ == 0 || point < start_ || point >= end_) return;
        std::uintptr_t until = point < keep ? 0 : (point - keep) / page_ * page_;
        if (until < released_ + step) return;
        // advice only: where it is not taken the pages stay, as they would have
        (void)madvise(reinterpret_cast<void*>(released_), until - released_, MADV_DONTNEED);
        released_ = until;
#else
        (void)at;
#endif
    }

private:
    static constexpr std::uintptr_t step = 8u << 20, keep = 1u << 20;  // the rows just read stay
    std::uintptr_t page_ = 0, start_ = 0, end_ = 0, released_ = 0;
};

// Copies of texts, kept together in blocks, where they stay until the end.
class TextCopies {
public:
    string_view copy(string_view text) {
        if (text.size() > left_) {
            std::size_t size = std::max<std::size_t>(text.size(), 1u << 20);
            blocks_.push_back(std::make_unique<char[]>(size));
            at_ = blocks_.back().get();
            left_ = size;
        }
        std::copy(text.begin(), text.end(), at_);
        string_view copied(at_, text.size());
        at_ += text.size();
        left_ -= text.size();
        return copied;
    }

private:
    std::vector<std::unique_ptr<char[]>> blocks_;
    char* at_ = nullptr;
    std::size_t left_ = 0;
};

// A list made at the length its items may reach, filled in order and cut to the items put: it
// never grows (a list of 700,000 symbols would be copied as it grew, its old room left behind).
struct Filling {
    Ref list;
    Py_ssize_t next = 0;

    bool start(Py_ssize_t most) noexcept {
        list = Ref::steal(PyList_New(most));
        return static_cast<bool>(list);
    }
    bool put(PyObject* item) noexcept {  // steals `item`
        if (next >= PyList_GET_SIZE(list.get())) {
            bool added = PyList_Append(list.get(), item) == 0;
            Py_DECREF(item);
            ++next;
            return added;
        }
        PyList_SET_ITEM(list.get(), next++, item);
        return true;
    }
    // The list of the items put; null with an exception set.
    PyObject* done() noexcept {
        if (next < PyList_GET_SIZE(list.get()) &&
            PyList_SetSlice(list.get(), next, PyList_GET_SIZE(list.get()), nullptr) != 0)
            return nullptr;
        return list.get();
    }
};

struct Builder {
    RecordMaker input_record, symbol_record;
    Strings strings;  // texts that repeat: section names, origins, objects and archives
    SharedInts sizes;
    // origin text -> its place in `origins`, keyed by copies: a key in the text would bring its
    // page back each time its origin comes again
    TextNumbers origin_numbers;
    TextCopies origin_keys;
    struct Origin {
        Ref text, object, archive;  // the origin as a Python string; its object file and archive
    };
    // archive text (a copy) -> its one Python string: a build has few archives, each holding
    // thousands of the origins
    std::unordered_map<string_view, Ref> archives;
    std::vector<Origin> origins;
    std::vector<std::size_t> origin_at;  // of the batch of inputs being made, see origins_of
    std::vector<std::uint64_t> hashes;   // their origins' TextHash
    static constexpr std::size_t batch = 64;
    std::size_t last_origin = SIZE_MAX;  // the origin asked last, by its number and text
    string_view last_origin_text;
    Ref empty_tuple, derived, bound, from_map;  // the symbols' size_source texts
    Ref global, unnamed;  // their binding texts
    PyObject* named_code;    // borrowed: tells whether an input section holds code
    PyObject* split_origin;  // borrowed: (object_file, archive) of an origin
    // The symbols' bytes per origin, counted as they are made: the passes would otherwise walk
    // them all again. Not kept for sizes the Python side could not count either.
    OriginTotals totals{Py_None};  // by origin number: 0 none, else 1 + the place in `origins`
    lm::SymbolSizer sizer;
    bool totals_kept = true;
    static constexpr std::size_t short_name = 8;

    // The tables only finding and making the records needed, let go (and their pages given
    // back) before the totals' rows are made: on the 113 MB map they were the peak's last 20 MiB.
    void let_go_of_tables() noexcept {
        strings = Strings();
        origin_numbers = TextNumbers();
        origin_keys = TextCopies();
        std::vector<Origin>().swap(origins);
        decltype(archives)().swap(archives);
        sizer = lm::SymbolSizer();
        give_back_free_pages();
    }

    bool start(PyObject* input_class, PyObject* symbol_class, PyObject* code_test, PyObject* splitter) {
        named_code = code_test;
        split_origin = splitter;
        empty_tuple = Ref::steal(PyTuple_New(0));
        derived = Ref::steal(PyUnicode_InternFromString("derived"));
        bound = Ref::steal(PyUnicode_InternFromString("bound"));
        from_map = Ref::steal(PyUnicode_InternFromString("map"));
        global = Ref::steal(PyUnicode_InternFromString("global"));
        unnamed = Ref::steal(PyUnicode_InternFromString("unnamed"));
        return empty_tuple && derived && bound && from_map && global && unnamed &&
               input_record.prepare(input_class, {"name", "address", "size", "origin", "is_fill",
                                                  "is_reservation", "symbols"}) &&
               symbol_record.prepare(symbol_class, {"name", "address", "size", "section", "object_file",
                                                    "archive", "size_derived", "alias_of", "size_source",
                                                    "binding", "source"});
    }

    // Symbol(name, address, size, section, object, archive, derived, alias_of, "derived", "bound"
    // or "map", binding). The numbers (and the name) are shared with the input section's record
    // where they are equal: most symbols start where their input section starts and fill it.
    bool add_symbol(Filling& list, string_view name, std::uint64_t address, std::uint64_t size, bool derived_size,
                    PyObject* section, PyObject* object, PyObject* archive, std::size_t origin,
                    const lm::RawSymbol* alias_of, const lm::Input& input, PyObject* input_record_made,
                    PyObject* binding, bool upper_bound = false) noexcept {
        Ref name_text = name.data() == input.name.data() && name.size() == input.name.size()
                            ? Ref::borrow(input_record.get(input_record_made, 0))
                            : Ref::steal(new_text(name));
        Ref address_value = address == input.address ? Ref::borrow(input_record.get(input_record_made, 1))
                                                     : Ref::steal(new_int(address));
        Ref size_value = size == input.size ? Ref::borrow(input_record.get(input_record_made, 2))
                                            : Ref::steal(sizes.get(size));
        Ref alias = alias_of != nullptr ? Ref::steal(new_text(alias_of->name)) : Ref::borrow(Py_None);
        if (!name_text || !address_value || !size_value || !alias) return false;
        if (size > LLONG_MAX) totals_kept = false;
        if (totals_kept && size > 0 && alias_of == nullptr &&
            !totals.add(origin, object, archive, section, static_cast<long long>(size)))
            return false;
        Ref symbol = symbol_record.make({name_text.release(), address_value.release(), size_value.release(),
                                         Py_NewRef(section), Py_NewRef(object), Py_NewRef(archive),
                                         new_bool(derived_size), alias.release(),
                                         Py_NewRef(!derived_size ? from_map.get() : upper_bound ? bound.get() : derived.get()),
                                         Py_NewRef(binding), Py_NewRef(Py_None)});
        return symbol && list.put(symbol.release());
    }

    // The object file and archive an input section's origin names, asked of the model's own
    // split_origin once per origin.
    // The origin made once per distinct text (`hash` its TextHash): its place in `origins`,
    // SIZE_MAX with an exception set on failure.
    std::size_t origin_of(string_view origin, std::uint64_t hash) noexcept {
        try {
            std::size_t number = origin_numbers.find(origin, hash, origins.size());
            if (number == origins.size()) {
                origin_numbers.find_or_add(origin_keys.copy(origin), number);
                Ref text = Ref::steal(new_text(origin));
                if (!text) return SIZE_MAX;
                Origin made{std::move(text), Ref(), Ref()};
                if (!split(origin, made)) return SIZE_MAX;
                origins.push_back(std::move(made));
            }
            return number;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return SIZE_MAX;
        }
    }

    // The origins of inputs [from, to) (their places in `origins`, SIZE_MAX: none) into
    // origin_at, a batch at a time: a large build's objects come in no order, and each search
    // of the table misses the caches twice (its slot, then the key the slot holds). Here the
    // batch's slots are asked for first, then their keys, then searched: the misses overlap
    // (the huge map's records about 1.0 -> 0.8 s for the batch alone). False with an
    // exception set.
    bool origins_of(const lm::Rows<lm::Input>& inputs, std::size_t from, std::size_t to) noexcept {
        constexpr std::size_t searched = SIZE_MAX - 1, as_before = SIZE_MAX - 2;
        origin_at.assign(to - from, SIZE_MAX);  // within their capacity: no allocation
        hashes.assign(to - from, 0);
        // an object's input sections mostly come one after another: those are not searched
        string_view before = last_origin_text;
        bool known = last_origin < origins.size();
        for (std::size_t i = from; i < to; ++i) {
            if (!inputs[i].has_origin) continue;
            if (known && inputs[i].origin == before) {
                origin_at[i - from] = as_before;
                continue;
            }
            before = inputs[i].origin;
            known = true;
            origin_at[i - from] = searched;
            hashes[i - from] = TextHash{}(before);
            origin_numbers.prefetch(hashes[i - from]);
        }
        for (std::size_t i = from; i < to; ++i)
            if (origin_at[i - from] == searched)
                origin_numbers.prefetch_key(hashes[i - from], [](string_view key) { __builtin_prefetch(key.data()); });
        for (std::size_t i = from; i < to; ++i) {
            std::size_t& number = origin_at[i - from];
            if (number == as_before) {
                number = last_origin;
            } else if (number == searched) {
                if ((number = origin_of(inputs[i].origin, hashes[i - from])) == SIZE_MAX) return false;
                last_origin = number;
                last_origin_text = inputs[i].origin;
                // its texts' counts are taken as the batch's records are made
                __builtin_prefetch(origins[number].text.get(), 1);
                __builtin_prefetch(origins[number].object.get(), 1);
            }
        }
        return true;
    }

    // The origin's object file and archive, as split_origin gives them; false with an
    // exception set.
    bool split(string_view origin, Origin& made) {
        std::size_t cut = 0;
        if (!archive_cut(origin, cut)) {  // split_origin itself
            Ref parts = Ref::steal(PyObject_CallOneArg(split_origin, made.text.get()));
            if (!parts) return false;
            if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 2) {
                PyErr_SetString(PyExc_TypeError, "split_origin must give (object_file, archive)");
                return false;
            }
            made.object = Ref::borrow(PyTuple_GET_ITEM(parts.get(), 0));
            made.archive = Ref::borrow(PyTuple_GET_ITEM(parts.get(), 1));
            return true;
        }
        if (cut == string_view::npos) {
            made.object = Ref::borrow(made.text.get());
            made.archive = Ref::borrow(Py_None);
            return true;
        }
        made.object = Ref::steal(new_text(origin.substr(cut + 1, origin.size() - cut - 2)));
        if (!made.object) return false;
        string_view archive = origin.substr(0, cut);
        auto found = archives.find(archive);
        if (found == archives.end()) {
            Ref shared = Ref::steal(new_text(archive));
            if (!shared) return false;
            found = archives.emplace(origin_keys.copy(archive), std::move(shared)).first;
        }
        made.archive = Ref::borrow(found->second.get());
        return true;
    }

    PyObject* record_name(PyObject* record) const noexcept { return input_record.get(record, 0); }

    // The input section records of one output section, and its symbols with their sizes.
    // The rows of the inputs made, and of their symbols, are given back as the records are made.
    bool output(lm::Map& map, lm::Output& output, PyObject* inputs, Filling& symbols, PagesBehind& pages) noexcept {
        const bool thumb = map.thumb;
        PyObject* section = strings.get(output.name);
        if (section == nullptr) return false;
        try {
            origin_at.reserve(batch);
            hashes.reserve(batch);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        for (std::size_t at = 0; at < output.inputs.size(); ++at) {
            if (at % batch == 0 && !origins_of(output.inputs, at, std::min(at + batch, output.inputs.size())))
                return false;
            const lm::Input& input = output.inputs[at];
            pages.passed(input.name.data());
            output.inputs.forget_before(at);
            bool fill = input.kind != lm::InputKind::object;
            // a fill's name is the same each time ("*fill*"); other short names (".text",
            // "COMMON") repeat where a build keeps each object's code in one input section
            Ref name = fill || input.name.size() <= short_name ? Ref::borrow(strings.get(input.name))
                                                               : Ref::steal(new_text(input.name));
            Ref address = Ref::steal(new_int(input.address));
            Ref size = Ref::steal(sizes.get(input.size));
            std::size_t number = origin_at[at % batch];
            const Origin* from = number != SIZE_MAX ? &origins[number] : nullptr;
            Ref origin = Ref::borrow(from != nullptr ? from->text.get() : Py_None);
            if (!name || !address || !size || !origin) return false;
            Ref record = input_record.make({name.release(), address.release(), size.release(), origin.release(),
                                            new_bool(fill), new_bool(input.kind == lm::InputKind::reservation),
                                            Py_NewRef(empty_tuple.get())});
            if (!record) return false;
            PyTuple_SET_ITEM(inputs, static_cast<Py_ssize_t>(at), Py_NewRef(record.get()));  // made as long as the rows
            if (fill) continue;
            if (!output.reordered) map.symbols.forget_before(input.first_symbol);

            PyObject* object = from != nullptr ? from->object.get() : Py_None;
            PyObject* archive = from != nullptr ? from->archive.get() : Py_None;
            std::size_t origin_number = from != nullptr ? static_cast<std::size_t>(from - origins.data()) + 1 : 0;
            bool code = input.thumb_code;
            if (thumb && !code) {
                bool odd = false;
                for (const lm::RawSymbol& symbol : map.symbols_of(input)) odd = odd || (symbol.address & 1);
                if (odd) {
                    Ref verdict = Ref::steal(PyObject_CallOneArg(named_code, record_name(record.get())));
                    if (!verdict) return false;
                    int truth = PyObject_IsTrue(verdict.get());
                    if (truth < 0) return false;
                    code = truth == 1;
                }
            }
            std::uint64_t uncovered = 0;
            const std::vector<lm::Sized>* sized_symbols = nullptr;
            try {
                sized_symbols = &sizer.sizes(input, map.symbols_of(input), map.sizes_given, thumb, code, uncovered);
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return false;
            }
            PyObject* listed = map.symbols_global ? global.get() : Py_None;
            for (const lm::Sized& sized : *sized_symbols) {
                // statics the map leaves out may lie in a size taken from addresses
                bool upper_bound = !map.sizes_given && map.symbols_global && !sized.dedicated;
                if (!add_symbol(symbols, sized.symbol->name, sized.symbol->address, sized.size, !map.sizes_given,
                                section, object, archive, origin_number, sized.primary, input, record.get(), listed,
                                upper_bound))
                    return false;
            }
            if (uncovered > 0 && !add_symbol(symbols, input.name, input.address, uncovered, true, section, object,
                                             archive, origin_number, nullptr, input, record.get(), unnamed.get()))
                return false;
        }
        return true;
    }
};

PyObject* regions_list(const lm::Map& map, Strings& strings) noexcept {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const lm::Region& region : map.regions) {
        PyObject* name = strings.get(region.name);
        if (name == nullptr) return nullptr;
        Ref row = Ref::steal(Py_BuildValue("(OKKs#)", name, static_cast<unsigned long long>(region.origin),
                                           static_cast<unsigned long long>(region.length), region.attributes.data(),
                                           static_cast<Py_ssize_t>(region.attributes.size())));
        if (!row || PyList_Append(list.get(), row.get()) != 0) return nullptr;
    }
    return list.release();
}

}  // namespace

namespace {

using Reader = lm::Map (*)(std::string_view);

// The map read by `reader` from the bytes in `args`, as the Python side's rows and records.
PyObject* read_map(Reader reader, const char* format, PyObject* args) {
    Py_buffer view;
    PyObject *input_class, *symbol_class, *named_code, *skip_output, *split_origin;
    int mapped = 0;  // the bytes are a file's, mapped: its pages may be given back
    if (!PyArg_ParseTuple(args, format, &view, &input_class, &symbol_class, &named_code, &skip_output, &split_origin,
                          &mapped))
        return nullptr;
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    PopulatedArenas arenas;  // the records' room
    try {
        lm::Map map = reader({static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len)});
        PagesBehind pages(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len), mapped != 0);
        Builder builder;
        if (!builder.start(input_class, symbol_class, named_code, split_origin)) return nullptr;
        Ref regions = Ref::steal(regions_list(map, builder.strings));
        Ref outputs = Ref::steal(PyList_New(0));
        if (!regions || !outputs) return nullptr;
        for (lm::Output& output : map.outputs) {
            PyObject* name = builder.strings.get(output.name);
            if (name == nullptr) return nullptr;
            Ref address = Ref::steal(new_int(output.address));
            Ref skip = Ref::steal(address ? PyObject_CallFunctionObjArgs(skip_output, name, address.get(), nullptr)
                                          : nullptr);
            if (!skip) return nullptr;
            int skipped = PyObject_IsTrue(skip.get());
            if (skipped < 0) return nullptr;
            unsigned long long padding = 0;  // alignment fill; a reservation (". = . + N") is not waste
            std::size_t most_symbols = 0;  // the output's symbols, and a symbol of bytes none covers per input
            for (const lm::Input& input : output.inputs) {
                if (input.kind == lm::InputKind::fill) padding += input.size;
                if (input.kind == lm::InputKind::object) most_symbols += input.symbol_count + 1;
            }
            // a tuple, as the model's section holds them: made into one, a list would be copied
            Ref inputs = skipped ? Ref::borrow(Py_None)
                                 : Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(output.inputs.size())));
            if (inputs && !skipped && PyTuple_GET_SIZE(inputs.get()) > 0)
                prefault(&PyTuple_GET_ITEM(inputs.get(), 0), output.inputs.size() * sizeof(PyObject*));
            Filling filling;
            if (!inputs || (!skipped && !filling.start(static_cast<Py_ssize_t>(most_symbols)))) return nullptr;
            if (!skipped && !builder.output(map, output, inputs.get(), filling, pages)) return nullptr;
            Ref symbols = skipped ? Ref::borrow(Py_None) : Ref::borrow(filling.done());
            if (!symbols) return nullptr;
            Ref load = output.load ? Ref::steal(new_int(*output.load)) : Ref::borrow(Py_None);
            Ref row = Ref::steal(load ? Py_BuildValue("(OOKOlOOKO)", name, address.get(),
                                                      static_cast<unsigned long long>(output.size), load.get(),
                                                      output.line, inputs.get(), symbols.get(), padding,
                                                      output.scripted ? Py_True : Py_False)
                                      : nullptr);
            if (!row || PyList_Append(outputs.get(), row.get()) != 0) return nullptr;
            output.inputs.release();  // made into records: its room goes back
        }
        Ref assignments = Ref::steal(PyList_New(0));
        if (!assignments) return nullptr;
        for (const lm::Assignment& assignment : map.assignments) {
            PyObject* name = builder.strings.get(assignment.name);
            PyObject* expression = builder.strings.get(assignment.expression);
            if (name == nullptr || expression == nullptr) return nullptr;
            Ref value = assignment.value ? Ref::steal(new_int(*assignment.value)) : Ref::borrow(Py_None);
            Ref row = Ref::steal(value ? Py_BuildValue("(OOO)", name, value.get(), expression) : nullptr);
            if (!row || PyList_Append(assignments.get(), row.get()) != 0) return nullptr;
        }
        Ref addresses_set = Ref::steal(PyList_New(0));
        if (!addresses_set) return nullptr;
        for (const auto& [line, address] : map.addresses_set) {
            Ref text = Ref::steal(new_text(line));
            Ref value = Ref::steal(text ? new_int(address) : nullptr);
            Ref row = Ref::steal(value ? PyTuple_Pack(2, text.get(), value.get()) : nullptr);
            if (!row || PyList_Append(addresses_set.get(), row.get()) != 0) return nullptr;
        }
        Ref notes = Ref::steal(PyList_New(0));
        if (!notes) return nullptr;
        for (const std::string& note : map.notes) {
            Ref text = Ref::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
            if (!text || PyList_Append(notes.get(), text.get()) != 0) return nullptr;
        }
        Ref output_file = map.output_file ? Ref::borrow(builder.strings.get(*map.output_file)) : Ref::borrow(Py_None);
        if (!output_file) return nullptr;
        // the map's rows are all made: their room goes to the totals' rows
        std::vector<lm::Output>().swap(map.outputs);
        map.symbols.release();
        builder.let_go_of_tables();
        Ref totals = builder.totals_kept ? Ref::steal(builder.totals.rows()) : Ref::borrow(Py_None);
        if (!totals) return nullptr;
        Ref toolchain = Ref::steal(new_text(map.toolchain));
        if (!toolchain) return nullptr;
        return Py_BuildValue("(OOOOOOOOOO)", toolchain.get(), regions.get(), outputs.get(), assignments.get(),
                             notes.get(), map.thumb ? Py_True : Py_False, map.sizes_given ? Py_True : Py_False,
                             output_file.get(), totals.get(), addresses_set.get());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace

PyObject* read_gnu_ld_map(PyObject*, PyObject* args) {
    PyObject* read = read_map(gnu_ld::read, "y*OOOOO|p:read_gnu_ld_map", args);
    give_back_free_pages();  // the rows' tables
    return read;
}

PyObject* read_lld_map(PyObject*, PyObject* args) {
    PyObject* read = read_map(llvm_lld::read, "y*OOOOO|p:read_lld_map", args);
    give_back_free_pages();
    return read;
}

namespace {

// An input section record of a Python reader: its own objects, and its extent.
struct Part {
    PyObject *name, *address, *size, *origin;  // borrowed: from the part's slots, or held by PartSymbols
    lm::Input input;
};

// Sizes the symbols Python readers placed in their input sections, as the native readers size
// theirs, and makes their records: one part at a time, the fields read through one set of readers.
class PartSymbols {
public:
    bool start(PyObject* symbol_class, PyObject* splitter, bool sizes_given, bool thumb) {
        split_origin_ = splitter;
        sizes_given_ = sizes_given;
        thumb_ = thumb;
        for (FieldReader* field : {&name_, &address_, &size_, &origin_, &binding_})
            if (!field->ready()) return false;
        source_ = Ref::steal(PyUnicode_InternFromString(sizes_given ? "map" : "derived"));
        bound_ = Ref::steal(PyUnicode_InternFromString("bound"));
        derived_ = Ref::steal(PyUnicode_InternFromString("derived"));
        unnamed_ = Ref::steal(PyUnicode_InternFromString("unnamed"));
        global_ = Ref::steal(PyUnicode_InternFromString("global"));
        origins_ = Ref::steal(PyDict_New());
        return source_ && bound_ && derived_ && unnamed_ && global_ && origins_ &&
               record_.prepare(symbol_class, {"name", "address", "size", "section", "object_file", "archive",
                                              "size_derived", "alias_of", "size_source", "binding", "source"});
    }

    // One raw symbol's fields, kept for the part it lies in: a RawSymbol record, or the tuple
    // (name, address, size or None, binding or None) a reader of many symbols makes more cheaply.
    // False with an exception set.
    bool add_raw(PyObject* raw) noexcept {
        // a tuple's items are held by the tuple, which the caller's list holds for the call: they
        // are borrowed; a record's fields are held here (an attribute may be made as it is read)
        PyObject *name, *address, *size, *binding;
        if (PyTuple_CheckExact(raw) && PyTuple_GET_SIZE(raw) == 4) {
            name = PyTuple_GET_ITEM(raw, 0);
            address = PyTuple_GET_ITEM(raw, 1);
            size = PyTuple_GET_ITEM(raw, 2);
            binding = PyTuple_GET_ITEM(raw, 3);
        } else {
            Ref fields[4];
            fields[0] = name_.read(raw);
            fields[1] = fields[0] ? address_.read(raw) : Ref();
            fields[2] = fields[1] ? size_.read(raw) : Ref();
            fields[3] = fields[2] ? binding_.read(raw) : Ref();
            if (!fields[3]) return false;
            name = fields[0].get(), address = fields[1].get(), size = fields[2].get(), binding = fields[3].get();
            try {
                for (Ref& field : fields) held_.push_back(std::move(field));
            } catch (const std::bad_alloc&) {
                PyErr_NoMemory();
                return false;
            }
        }
        return keep(name, address, size, binding);
    }

    // A symbol of the columns (names, addresses[, sizes, bindings]) a reader of many symbols
    // makes: its objects borrowed from the columns; a binding of nullptr (the columns say none)
    // is "global". False with an exception set.
    bool add_column(PyObject* name, PyObject* address, PyObject* size, PyObject* binding) noexcept {
        return keep(name, address, size, binding != nullptr ? binding : global_.get());
    }

    // The part's fields: false with an exception set. The part must outlive the call's use of them.
    bool read_part(PyObject* part, Part& out) noexcept {
        Ref kept[4];
        out.name = name_.peek(part, kept[0]);
        out.address = out.name ? address_.peek(part, kept[1]) : nullptr;
        out.size = out.address ? size_.peek(part, kept[2]) : nullptr;
        out.origin = out.size ? origin_.peek(part, kept[3]) : nullptr;
        if (!out.origin) return false;
        try {
            for (Ref& field : kept)
                if (field) held_.push_back(std::move(field));
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(out.name, &length);
        if (text == nullptr) return false;
        out.input = lm::Input{};
        out.input.name = {text, static_cast<std::size_t>(length)};
        if (!clamped_number(out.address, 0, out.input.address) || !clamped_number(out.size, 0, out.input.size))
            return false;
        // one that runs past the end of the address space is sized as far as it reaches: the
        // finished model's check (toolchains/extent_check.py) refuses it
        if (out.input.address + out.input.size < out.input.address) out.input.size = UINT64_MAX - out.input.address;
        return true;
    }

    // Appends the records of `symbols` (indexes into the raw symbols) of one part to `result`.
    bool size(const Part& part, PyObject* section, bool code, std::span<const std::size_t> indexes,
              PyObject* result) noexcept {
        try {
            // a run of the raw symbols (one area of a hundred thousand) is sized where it lies
            bool run = !indexes.empty();
            for (std::size_t i = 1; run && i < indexes.size(); ++i) run = indexes[i] == indexes[0] + i;
            std::span<const lm::RawSymbol> chosen;
            if (run) {
                chosen = std::span<const lm::RawSymbol>(raws.data() + indexes[0], indexes.size());
            } else {
                chosen_.clear();
                for (std::size_t index : indexes) chosen_.push_back(raws[index]);
                chosen = chosen_;
            }
            std::uint64_t uncovered = 0;
            const std::vector<lm::Sized>& sized = sizer_.sizes(part.input, chosen, sizes_given_, thumb_, code, uncovered);
            PyObject* parts = origin_parts(part.origin);
            if (parts == nullptr) return false;
            PyObject* object = PyTuple_GET_ITEM(parts, 0);
            PyObject* archive = PyTuple_GET_ITEM(parts, 1);
            auto add = [&](PyObject* name, PyObject* address, std::uint64_t bytes, bool derived_size, PyObject* alias,
                           PyObject* source, PyObject* binding) -> bool {
                Ref size_value = Ref::steal(sizes_.get(bytes));
                if (!size_value) return false;
                Ref record = record_.make({Py_NewRef(name), Py_NewRef(address), size_value.release(), Py_NewRef(section),
                                           Py_NewRef(object), Py_NewRef(archive), new_bool(derived_size),
                                           Py_NewRef(alias), Py_NewRef(source), Py_NewRef(binding), Py_NewRef(Py_None)});
                return record && PyList_Append(result, record.get()) == 0;
            };
            for (const lm::Sized& one : sized) {
                std::size_t index = indexes[static_cast<std::size_t>(one.symbol - chosen.data())];
                PyObject* alias = one.primary != nullptr
                                      ? names_[indexes[static_cast<std::size_t>(one.primary - chosen.data())]]
                                      : Py_None;
                // these maps list global symbols only: statics may lie in a size taken from addresses
                PyObject* source = !sizes_given_ && !one.dedicated ? bound_.get() : source_.get();
                if (!add(names_[index], addresses_[index], one.size, !sizes_given_, alias, source, bindings_[index]))
                    return false;
            }
            return uncovered == 0 || add(part.name, part.address, uncovered, true, Py_None, derived_.get(),
                                         unnamed_.get());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
    }

    std::vector<lm::RawSymbol> raws;

    void reserve(std::size_t count) {  // throws bad_alloc
        reserve_made(raws, count);
        reserve_made(names_, count);
        reserve_made(addresses_, count);
        reserve_made(bindings_, count);
    }

private:
    // A raw symbol's fields, borrowed: held by the caller's rows or columns, or by held_.
    bool keep(PyObject* name, PyObject* address, PyObject* size, PyObject* binding) noexcept {
        Py_ssize_t length = 0;
        const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &length) : nullptr;
        if (text == nullptr) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "a symbol's name must be str");
            return false;
        }
        lm::RawSymbol symbol{{text, static_cast<std::size_t>(length)}, 0, 0};
        // out of range either way: past every input section, and a size no section holds
        if (!clamped_number(address, UINT64_MAX, symbol.address) ||
            (size != Py_None && !clamped_number(size, 0, symbol.size)))
            return false;
        try {
            raws.push_back(symbol);
            names_.push_back(name);
            addresses_.push_back(address);
            bindings_.push_back(binding);
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        return true;
    }

    // (object_file, archive) of an origin, asked of split_origin once per distinct origin.
    PyObject* origin_parts(PyObject* origin) noexcept {
        // a run of parts names one origin (one string): asked of the dict once per run
        if (origin == last_origin_ && last_parts_ != nullptr) return last_parts_;
        PyObject* known = lookup_origin(origin);
        last_origin_ = known != nullptr ? origin : nullptr;  // held, as its parts, by the dict
        last_parts_ = known;
        return known;
    }

    PyObject* lookup_origin(PyObject* origin) noexcept {
        PyObject* known = PyDict_GetItemWithError(origins_.get(), origin);
        if (known != nullptr || PyErr_Occurred()) return known;
        Ref parts = Ref::steal(PyObject_CallOneArg(split_origin_, origin));
        if (!parts) return nullptr;
        if (!PyTuple_Check(parts.get()) || PyTuple_GET_SIZE(parts.get()) != 2) {
            PyErr_SetString(PyExc_TypeError, "split_origin must give (object_file, archive)");
            return nullptr;
        }
        if (PyDict_SetItem(origins_.get(), origin, parts.get()) != 0) return nullptr;
        return parts.get();  // the dict holds it
    }

    FieldReader name_{"name"}, address_{"address"}, size_{"size"}, origin_{"origin"}, binding_{"binding"};
    RecordMaker record_;
    SharedInts sizes_;  // a symbol's size mostly repeats another's: one number object per small value
    PyObject* split_origin_ = nullptr;
    bool sizes_given_ = false, thumb_ = false;
    Ref source_, bound_, derived_, unnamed_, global_, origins_;
    PyObject *last_origin_ = nullptr, *last_parts_ = nullptr;  // borrowed from origins_
    // the raw symbols' own objects, handed on unchanged (borrowed: from their tuples, or held_)
    std::vector<PyObject*> names_, addresses_, bindings_;
    std::vector<Ref> held_;
    std::vector<lm::RawSymbol> chosen_;
    lm::SymbolSizer sizer_;
};

}  // namespace

PyObject* size_symbols(PyObject*, PyObject* args) {
    PyObject *part, *section, *symbol_class, *split_origin;
    int sizes_given = 0, thumb = 0, code = 0;
    if (!PyArg_ParseTuple(args, "OOpppOO:size_symbols", &part, &section, &sizes_given, &thumb, &code, &symbol_class,
                          &split_origin))
        return nullptr;
    PartSymbols symbols;
    FieldReader symbols_field{"symbols"};
    if (!symbols.start(symbol_class, split_origin, sizes_given, thumb) || !symbols_field.ready()) return nullptr;
    Part read;
    if (!symbols.read_part(part, read)) return nullptr;
    Ref listed = symbols_field.read(part);
    Ref raw_symbols = listed ? Ref::steal(PySequence_Fast(listed.get(), "an input section's symbols must be a sequence"))
                             : Ref();
    if (!raw_symbols) return nullptr;
    try {
        std::vector<std::size_t> indexes;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(raw_symbols.get()); ++i) {
            if (!symbols.add_raw(PySequence_Fast_GET_ITEM(raw_symbols.get(), i))) return nullptr;
            indexes.push_back(static_cast<std::size_t>(i));
        }
        Ref result = Ref::steal(PyList_New(0));
        if (!result || !symbols.size(read, section, code, indexes, result.get())) return nullptr;
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

namespace {

// The columns of raw symbols a reader hands on in place of a row per symbol (borrowed from the
// caller's tuple): names and addresses, each a list; sizes and bindings, each a list as long or
// one object that every symbol has (None: no size stated), or (in the pair) none: no size, "global".
struct SymbolColumns {
    PyObject *names = nullptr, *addresses = nullptr, *sizes = nullptr, *bindings = nullptr;
    PyObject* every_binding = nullptr;

    // false with TypeError set when the tuple holds no such columns
    bool take(PyObject* columns) noexcept {
        names = PyTuple_GET_ITEM(columns, 0);
        addresses = PyTuple_GET_ITEM(columns, 1);
        bool lists = PyList_CheckExact(names) && PyList_CheckExact(addresses) &&
                     PyList_GET_SIZE(names) == PyList_GET_SIZE(addresses);
        if (lists && PyTuple_GET_SIZE(columns) == 4) {
            PyObject* given_sizes = PyTuple_GET_ITEM(columns, 2);
            PyObject* given_bindings = PyTuple_GET_ITEM(columns, 3);
            if (PyList_CheckExact(given_sizes)) sizes = given_sizes;
            else lists = given_sizes == Py_None;
            if (PyList_CheckExact(given_bindings)) bindings = given_bindings;
            else every_binding = given_bindings;
            for (PyObject* column : {sizes, bindings})
                lists = lists && (column == nullptr || PyList_GET_SIZE(column) == PyList_GET_SIZE(names));
        }
        if (!lists) {
            PyErr_SetString(PyExc_TypeError, PyTuple_GET_SIZE(columns) == 2
                                                 ? "the symbols' columns must be two lists of one length"
                                                 : "the symbols' columns must be lists of one length (sizes: or None)");
            names = nullptr;
        }
        return lists;
    }

    // the symbols the columns hold now: the shortest column's length
    Py_ssize_t count() const noexcept {
        Py_ssize_t shortest = std::min(PyList_GET_SIZE(names), PyList_GET_SIZE(addresses));
        for (PyObject* column : {sizes, bindings})
            if (column != nullptr) shortest = std::min(shortest, PyList_GET_SIZE(column));
        return shortest;
    }

    PyObject* size(Py_ssize_t i) const noexcept { return sizes != nullptr ? PyList_GET_ITEM(sizes, i) : Py_None; }
    // nullptr: "global", as the pair says
    PyObject* binding(Py_ssize_t i) const noexcept {
        return bindings != nullptr ? PyList_GET_ITEM(bindings, i) : every_binding;
    }
};

}  // namespace

PyObject* size_placed_symbols(PyObject*, PyObject* args) {
    PyObject *sections, *raw_symbols, *symbol_class, *split_origin;
    int sizes_given = 0, thumb = 0;
    if (!PyArg_ParseTuple(args, "O!OppOO:size_placed_symbols", &PyList_Type, &sections, &raw_symbols, &sizes_given,
                          &thumb, &symbol_class, &split_origin))
        return nullptr;
    // rows, or the columns (names, addresses) of global symbols of no stated size, or
    // (names, addresses, sizes, bindings) where a size or binding that is no list is every symbol's
    SymbolColumns columns;
    if (PyTuple_CheckExact(raw_symbols) && (PyTuple_GET_SIZE(raw_symbols) == 2 || PyTuple_GET_SIZE(raw_symbols) == 4)) {
        if (!columns.take(raw_symbols)) return nullptr;
    } else if (!PyList_Check(raw_symbols)) {
        PyErr_SetString(PyExc_TypeError, "the raw symbols must be a list of rows or the columns (names, addresses)");
        return nullptr;
    }
    // read again at each symbol: reading a record's fields may run code that changes the list
    auto listed = [&] { return columns.names != nullptr ? columns.count() : PyList_GET_SIZE(raw_symbols); };
    PopulatedArenas arenas;  // the records' room
    PartSymbols symbols;
    FieldReader inputs_field{"inputs"}, name_field{"name"}, code_field{"is_code"}, fill_field{"is_fill"};
    if (!symbols.start(symbol_class, split_origin, sizes_given, thumb) || !inputs_field.ready() ||
        !name_field.ready() || !code_field.ready() || !fill_field.ready())
        return nullptr;
    struct Placed {
        Part part;
        PyObject* section;  // borrowed from `listed_names`
        bool code;
    };
    try {
        std::vector<Ref> names;  // the sections' names, held while their parts are sized
        std::vector<Ref> lists;  // their inputs, which hold the parts read
        std::vector<bool> code;
        std::size_t inputs_count = 0;
        for (Py_ssize_t s = 0; s < PyList_GET_SIZE(sections); ++s) {
            PyObject* section = PyList_GET_ITEM(sections, s);
            Ref name = name_field.read(section);
            Ref is_code = name ? code_field.read(section) : Ref();
            Ref inputs = is_code ? inputs_field.read(section) : Ref();
            Ref listed = inputs ? Ref::steal(PySequence_Fast(inputs.get(), "a section's inputs must be a sequence")) : Ref();
            if (!listed) return nullptr;
            int truth = PyObject_IsTrue(is_code.get());
            if (truth < 0) return nullptr;
            inputs_count += static_cast<std::size_t>(PySequence_Fast_GET_SIZE(listed.get()));
            names.push_back(std::move(name));
            lists.push_back(std::move(listed));
            code.push_back(truth == 1);
        }
        // a large map's hundred thousand parts: their room made once
        std::vector<Placed> parts;
        reserve_made(parts, inputs_count);
        for (std::size_t s = 0; s < lists.size(); ++s) {
            PyObject* listed = lists[s].get();
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(listed); ++i) {
                PyObject* part = PySequence_Fast_GET_ITEM(listed, i);
                Ref kept;
                PyObject* fill = fill_field.peek(part, kept);
                int is_fill = fill == Py_False ? 0 : fill == Py_True ? 1 : fill ? PyObject_IsTrue(fill) : -1;
                if (is_fill < 0) return nullptr;
                if (is_fill) continue;
                parts.push_back({{}, names[s].get(), code[s]});
                if (!symbols.read_part(part, parts.back().part)) return nullptr;
            }
        }
        // Each symbol to the part it lies in (a Thumb function's address carries the low bit):
        // of parts starting at or below it, the last in address order, if it reaches it. Parts
        // and symbols are both taken in address order and walked together.
        // (start, end, part) of parts holding bytes: the end kept beside the start, so finding a
        // symbol's part reads no more memory than the search did
        struct Span {
            std::uint64_t start, end;
            std::size_t part;
        };
        std::vector<Span> order;
        reserve_made(order, parts.size());
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const lm::Input& input = parts[i].part.input;
            if (input.size > 0) order.push_back({input.address, input.address + input.size, i});
        }
        auto starts_before = [](const Span& a, const Span& b) { return a.start < b.start; };
        // mostly in address order already, as a map lists them
        if (!std::is_sorted(order.begin(), order.end(), starts_before))
            std::stable_sort(order.begin(), order.end(), starts_before);
        // the symbols mostly come in address order: the span of the last one found, and the
        // next, are tried before the search
        std::size_t last_span = 0;
        auto holder = [&](std::uint64_t address) -> std::size_t {  // SIZE_MAX: none
            for (std::size_t at = last_span; at < order.size() && at <= last_span + 1; ++at) {
                // the last span starting at or below the address: the search's answer too
                if (order[at].start <= address && (at + 1 == order.size() || address < order[at + 1].start)) {
                    last_span = at;
                    return address < order[at].end ? order[at].part : SIZE_MAX;
                }
            }
            auto after = std::upper_bound(order.begin(), order.end(), address,
                                          [](std::uint64_t value, const Span& span) { return value < span.start; });
            if (after == order.begin()) return SIZE_MAX;
            last_span = static_cast<std::size_t>(after - 1 - order.begin());
            return address < (after - 1)->end ? (after - 1)->part : SIZE_MAX;
        };
        std::vector<std::size_t> owner;  // per raw symbol: its part, or SIZE_MAX
        reserve_made(owner, static_cast<std::size_t>(listed()));
        symbols.reserve(static_cast<std::size_t>(listed()));
        for (Py_ssize_t i = 0; i < listed(); ++i) {
            if (!(columns.names != nullptr
                      ? symbols.add_column(PyList_GET_ITEM(columns.names, i), PyList_GET_ITEM(columns.addresses, i),
                                           columns.size(i), columns.binding(i))
                      : symbols.add_raw(PyList_GET_ITEM(raw_symbols, i))))
                return nullptr;
            std::uint64_t address = symbols.raws.back().address;
            std::size_t found = holder(address);
            if (found == SIZE_MAX && (address & 1)) found = holder(address & ~std::uint64_t{1});
            owner.push_back(found);
        }
        // the symbols of each part, in the order given: a counting sort into one array
        std::vector<std::size_t> first(parts.size() + 1, 0), members(owner.size());
        for (std::size_t part : owner)
            if (part != SIZE_MAX) ++first[part + 1];
        for (std::size_t i = 1; i < first.size(); ++i) first[i] += first[i - 1];
        std::vector<std::size_t> next(first.begin(), first.end() - 1);
        for (std::size_t i = 0; i < owner.size(); ++i)
            if (owner[i] != SIZE_MAX) members[next[owner[i]]++] = i;
        Ref result = Ref::steal(PyList_New(0));
        if (!result) return nullptr;
        for (std::size_t i = 0; i < parts.size(); ++i) {
            std::span<const std::size_t> these(members.data() + first[i], first[i + 1] - first[i]);
            if (!symbols.size(parts[i].part, parts[i].section, parts[i].code, these, result.get())) return nullptr;
        }
        return result.release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

namespace {

// A flag of a part, as its truth: -1 with an exception set.
int flag_of(FieldReader& field, PyObject* part) noexcept {
    Ref value = field.read(part);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// The sizes of the parts that `counted(part)` takes (1; 0 not; -1 failure), added up as the
// interpreter's sum() adds them; null with an exception set.
template <class Counted>
PyObject* added_sizes(PyObject* inputs, Counted&& counted) noexcept {
    Ref listed = Ref::steal(PySequence_Fast(inputs, "a section's inputs must be a sequence"));
    FieldReader size_field{"size"};
    Ref total = listed ? Ref::steal(PyLong_FromLong(0)) : Ref();
    if (!total || !size_field.ready()) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(listed.get()); ++i) {
        PyObject* part = PySequence_Fast_GET_ITEM(listed.get(), i);
        int taken = counted(part);
        if (taken < 0) return nullptr;
        if (!taken) continue;
        Ref size = size_field.read(part);
        total = size ? Ref::steal(PyNumber_Add(total.get(), size.get())) : Ref();
        if (!total) return nullptr;
    }
    return total.release();
}

}  // namespace

PyObject* padding_bytes(PyObject*, PyObject* inputs) {
    FieldReader fill_field{"is_fill"}, reservation_field{"is_reservation"};
    if (!fill_field.ready() || !reservation_field.ready()) return nullptr;
    return added_sizes(inputs, [&](PyObject* part) {
        int fill = flag_of(fill_field, part);
        if (fill <= 0) return fill;
        int reserved = flag_of(reservation_field, part);
        return reserved < 0 ? -1 : reserved == 0 ? 1 : 0;
    });
}

PyObject* reserved_bytes(PyObject*, PyObject* inputs) {
    FieldReader reservation_field{"is_reservation"};
    if (!reservation_field.ready()) return nullptr;
    return added_sizes(inputs, [&](PyObject* part) { return flag_of(reservation_field, part); });
}

}  // namespace tarnwick
