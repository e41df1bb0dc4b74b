// What a linker map says, whichever linker wrote it: output sections with their input sections
// and symbols, memory regions and script assignments, as views into the map's text. Each
// reader fills one; the binding makes the model's records from it.
#pragma once

#include "fast/input_fault.hpp"
#include "fast/prefault.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#endif

namespace tarnwick::link_map {

// A map that is not complete: the reason, the line (0: none), and the row that could not be read
// (a view into the map's text) where that is the reason.
struct MapError : InputFault {
    MapError(const std::string& reason, long line, std::string_view row = {}) : InputFault(reason, line, row) {}
};

// A growing array of a map's rows. Past a few pages its room is mapped from the system, and
// on Linux grows where it lies (mremap): a million rows are never copied as they grow, and their
// room goes back to the system when freed. Freed from the C library's heap, the same room would
// stay in the process under what was allocated after it (on the 113 MB map, 80 MB of it).
template <class T>
class Rows {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    Rows() noexcept = default;
    Rows(Rows&& other) noexcept { take(other); }
    Rows& operator=(Rows&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }
    Rows(const Rows&) = delete;
    Rows& operator=(const Rows&) = delete;
    ~Rows() { release(); }

    void push_back(const T& row) {
        if (size_ == capacity_) {
            T copy = row;  // `row` may be one of these rows
            grow(size_ + 1);
            made_ahead(size_ + 1);
            new (data_ + size_++) T(copy);
            return;
        }
        made_ahead(size_ + 1);
        new (data_ + size_++) T(row);
    }
    void reserve(std::size_t count) {
        if (count > capacity_) grow(count);
    }
    // `count` rows, those past the present ones left to be written
    void grow_to(std::size_t count) {
        reserve(count);
        made_ahead(count);
        for (std::size_t i = size_; i < count; ++i) new (data_ + i) T();
        size_ = std::max(size_, count);
    }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    T& operator[](std::size_t at) noexcept { return data_[at]; }
    const T& operator[](std::size_t at) const noexcept { return data_[at]; }
    T& back() noexcept { return data_[size_ - 1]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }

    // The rows before `row` are read for the last time: the room of their whole pages goes back
    // to the system (a page read again would read zeros). Advice only, taken a step at a time.
    void forget_before(std::size_t row) noexcept {
#if defined(__unix__) || defined(__APPLE__)
        if (mapped_ == 0 || row > size_) return;
        std::size_t until = row * sizeof(T) / granule * granule;
        if (until < forgotten_ + forget_step) return;
        (void)madvise(reinterpret_cast<char*>(data_) + forgotten_, until - forgotten_, MADV_DONTNEED);
        forgotten_ = until;
#else
        (void)row;
#endif
    }

    // Every row gone, and its room given back.
    void release() noexcept {
#if defined(__unix__) || defined(__APPLE__)
        if (mapped_ != 0) {
            munmap(data_, mapped_);
        } else {
            std::free(data_);
        }
#else
        std::free(data_);
#endif
        data_ = nullptr;
        size_ = capacity_ = mapped_ = forgotten_ = made_ = 0;
    }

private:
    static constexpr std::size_t mapped_from = 256u << 10;  // bytes
    static constexpr std::size_t granule = 64u << 10;       // a multiple of every page size
    static constexpr std::size_t forget_step = 4u << 20;
    static constexpr std::size_t make_step = 2u << 20;

    // The mapped room for the first `count` rows is made (see prefault), a step ahead at a
    // time: no more than a step past the rows put, as the room mapped may be twice theirs.
    void made_ahead(std::size_t count) noexcept {
        std::size_t bytes = count * sizeof(T);
        if (bytes <= made_ || mapped_ == 0) return;
        std::size_t until = std::min(mapped_, std::max(made_ + make_step, bytes + make_step));
        prefault(reinterpret_cast<char*>(data_) + made_, until - made_);
        made_ = until;
    }

    void take(Rows& other) noexcept {
        data_ = other.data_, size_ = other.size_, capacity_ = other.capacity_, mapped_ = other.mapped_;
        forgotten_ = other.forgotten_, made_ = other.made_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = other.mapped_ = other.forgotten_ = other.made_ = 0;
    }

    void grow(std::size_t at_least) {
        std::size_t capacity = std::max<std::size_t>({at_least, capacity_ * 2, 16});
        if (capacity > SIZE_MAX / sizeof(T) / 2) throw std::bad_alloc();
        std::size_t bytes = capacity * sizeof(T);
#if defined(__unix__) || defined(__APPLE__)
        if (bytes >= mapped_from) {
            bytes = (bytes + granule - 1) / granule * granule;
            void* room = MAP_FAILED;
#if defined(__linux__)
            if (mapped_ != 0) room = mremap(data_, mapped_, bytes, MREMAP_MAYMOVE);
#endif
            if (room == MAP_FAILED) {
                room = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                if (room == MAP_FAILED) throw std::bad_alloc();
                if (size_ > 0) std::memcpy(room, data_, size_ * sizeof(T));
                if (mapped_ != 0) {
                    munmap(data_, mapped_);
                } else {
                    std::free(data_);
                }
                made_ = size_ * sizeof(T);  // the rows copied
            }
            data_ = static_cast<T*>(room);
            mapped_ = bytes;
            capacity_ = bytes / sizeof(T);
            return;
        }
#endif
        void* room = std::realloc(data_, bytes);
        if (room == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(room);
        capacity_ = capacity;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
    std::size_t mapped_ = 0;     // the bytes mapped, 0: the room is the heap's
    std::size_t forgotten_ = 0;  // the bytes from the start given back
    std::size_t made_ = 0;       // the bytes from the start made (written, or prefaulted)
};

struct RawSymbol {
    std::string_view name;
    std::uint64_t address;
    std::uint64_t size = 0;  // where the map states sizes (Map::sizes_given)
};

enum class InputKind : std::uint8_t { object, fill, reservation };

struct Input {  // the flags last: 72 bytes, not 80 (a large map holds a million)
    std::string_view name;
    std::uint64_t address = 0, size = 0;
    std::string_view origin;  // empty: none
    std::size_t first_symbol = 0, symbol_count = 0;  // its symbols in Map::symbols
    bool has_origin = false;
    InputKind kind = InputKind::object;
    bool thumb_code = false;  // the map marks it Thumb code (lld lists the `$t` mapping symbol)
};

struct Output {
    std::string_view name;
    std::uint64_t address = 0, size = 0;
    std::optional<std::uint64_t> load;
    long line = 0;
    Rows<Input> inputs;
    bool scripted = true;  // the map shows a script's statements for it (an orphan's shows none)
    bool reordered = false;  // its inputs were put in address order: their symbols are not in theirs
};

struct Region {
    std::string_view name;
    std::uint64_t origin, length;
    std::string attributes;
};

struct Assignment {
    std::string_view name, expression;
    std::optional<std::uint64_t> value;  // where the map states it
};

struct Map {
    std::vector<Region> regions;
    std::vector<Output> outputs;
    Rows<RawSymbol> symbols;  // of all inputs, each input's together
    std::vector<Assignment> assignments;
    // Lines stating a section's address set on the command line (`--section-start`), as
    // (line, address): ld translates their words, so the section's name is found in the line
    std::vector<std::pair<std::string_view, std::uint64_t>> addresses_set;
    std::vector<std::string> notes;
    std::string_view toolchain;  // "gnu_ld", "gnu_gold", "llvm_lld", "mold"
    bool thumb = false;
    bool sizes_given = false;  // the symbols' sizes are the map's, else derived from addresses
    bool symbols_global = false;  // it lists global symbols only (GNU ld); else statics too, unmarked
    std::optional<std::string_view> output_file;
    std::deque<std::string> owned;  // text made while reading (expanded tabs, linker-made names)

    std::span<const RawSymbol> symbols_of(const Input& input) const {
        return {symbols.data() + input.first_symbol, input.symbol_count};
    }
};

// A symbol with its size: the map's, or as its addresses imply it.
struct Sized {
    const RawSymbol* symbol;
    std::uint64_t size;
    const RawSymbol* primary;  // the symbol whose bytes these are when this is an alias, else null
    // The input section is this symbol's own (".bss.tx_buffer", ".text:main") and holds no other
    // address: a size taken from addresses is then exact. Otherwise, where the map leaves statics
    // out, such a size is an upper bound: unlisted statics may lie in it.
    bool dedicated = false;
};

// Whether an input section is named after a symbol: "main", ".text.main", ".text:main".
inline bool named_after(std::string_view section, std::string_view symbol) {
    if (section == symbol) return true;
    if (section.size() <= symbol.size() || !section.ends_with(symbol)) return false;
    char separator = section[section.size() - symbol.size() - 1];
    return separator == '.' || separator == ':';
}

// The symbols of one input section, every byte of it accounted for once. Names at one address
// share their bytes; the one named like the section (".text.main" for main) owns them, else
// the largest (sizes given) or the first. Without sizes, a symbol runs to the next one or to
// the end of its input section; with sizes, each keeps its own (cut at the section's end) and
// names the owner when it is as large. Bytes no symbol covers are returned in `uncovered`.
// `thumb`: an Arm map, where odd addresses mark Thumb functions, whose bytes start one lower;
// `code`: the input section holds code.
// A sizer keeps its buffers from one input section to the next (a map has hundreds of
// thousands); the result holds until the next call.
class SymbolSizer {
public:
    const std::vector<Sized>& sizes(const Input& input, std::span<const RawSymbol> symbols, bool sizes_given,
                                    bool thumb, bool code, std::uint64_t& uncovered);

private:
    struct Located {
        std::uint64_t start;
        const RawSymbol* symbol;
    };
    std::vector<Located> located_;
    std::vector<Sized> result_;
};

inline bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// The one rule for figures out of range, whichever reader meets them: a section (or a fill, or
// a script's data) that runs past the end of the 64-bit address space, or a symbol larger than
// any address space holds (2^63 bytes or more), is a map that cannot be right.
inline void check_extent(std::string_view what, std::uint64_t address, std::uint64_t size, long line,
                         std::string_view row) {
    if (address + size < address)
        throw MapError(std::string(what) + " runs past the end of the 64-bit address space", line, row);
}

inline void check_symbol_size(std::uint64_t size, long line, std::string_view row) {
    if (size > static_cast<std::uint64_t>(INT64_MAX))
        throw MapError("a symbol of 2^63 bytes or more, more than an address space holds", line, row);
}

// Calls take(line) with each line of `text` in order, until it returns false; "\n", "\r\n" or a
// lone "\r" ends a line (maps written on Windows, or by old Mac tools).
template <class Take>
void for_each_line(std::string_view text, Take&& take) {
    const char* data = text.data();
    const std::size_t size = text.size();
    bool carriage_returns = std::memchr(data, '\r', size) != nullptr;
    std::size_t pos = 0;
    while (pos < size) {
        const void* newline = std::memchr(data + pos, '\n', size - pos);
        std::size_t end = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - data) : size;
        std::size_t next = end < size ? end + 1 : size;
        if (carriage_returns) {
            const void* cr = std::memchr(data + pos, '\r', end - pos);
            if (cr != nullptr) {
                std::size_t at = static_cast<std::size_t>(static_cast<const char*>(cr) - data);
                next = at + 1 == end && end < size ? end + 1 : at + 1;
                end = at;
            }
        }
        if (!take(std::string_view(data + pos, end - pos))) return;
        pos = next;
    }
}

}  // namespace tarnwick::link_map
