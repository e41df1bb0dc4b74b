// Pages about to be written, made in one call rather than one fault each: a large map's rows
// and records fill hundreds of megabytes, and the kernel's fault on every fresh page cost a
// fifth of the run. Advice only: where it is not taken, the pages come as they would have.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tarnwick {

// The whole pages within [start, start + bytes).
inline void prefault(void* start, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    static const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || bytes == 0) return;
    auto size = static_cast<std::uintptr_t>(page);
    auto from = (reinterpret_cast<std::uintptr_t>(start) + size - 1) / size * size;
    auto to = (reinterpret_cast<std::uintptr_t>(start) + bytes) / size * size;
    if (to > from) (void)madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE);
#else
    (void)start, (void)bytes;
#endif
}

// Room for `count` items that are about to be written, made at once: a vector grown by
// doubling writes twice the room it ends with, and faults on every page of each.
template <class Vector>
inline void reserve_made(Vector& items, std::size_t count) {  // throws bad_alloc
    items.reserve(count);
    prefault(items.data(), count * sizeof(typename Vector::value_type));
}

// The C library's free pages given back to the system, after a pass that let go of tables of
// tens of megabytes: it keeps them (its heap's, and the room it stopped mapping apart once a
// larger block was freed), resident and counted in the peak a later pass reaches, though the
// interpreter's objects never take them.
inline void give_back_free_pages() noexcept {
#if defined(__GLIBC__)
    (void)malloc_trim(0);
#endif
}

}  // namespace tarnwick
