// While one lives, the interpreter's object arenas are mapped with their pages made at once: a
// reader of a large map makes a million records, whose 400 MB of arenas the kernel otherwise
// fills a page at a time, one fault each (on the 113 MB map about 100,000 faults, a fifth of
// the run). The pages are the same the arenas would have had; only the faults go.
#pragma once

#include <Python.h>

#include "fast/prefault.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <dlfcn.h>
#include <sys/mman.h>
#endif

namespace tarnwick {

class PopulatedArenas {
public:
    PopulatedArenas() noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
        PyObject_GetArenaAllocator(&previous_);
        // Only in place of the interpreter's own allocator, which maps arenas as these are
        // mapped and unmaps them as these are unmapped: each then frees what the other made.
        if (previous_.alloc == nullptr || !interpreters_own(reinterpret_cast<void*>(previous_.alloc)) ||
            !interpreters_own(reinterpret_cast<void*>(previous_.free)))
            return;
        PyObjectArenaAllocator populated{nullptr, &allocate, &release};
        PyObject_SetArenaAllocator(&populated);
        installed_ = true;
#endif
    }
    ~PopulatedArenas() {
        if (installed_) PyObject_SetArenaAllocator(&previous_);
    }
    PopulatedArenas(const PopulatedArenas&) = delete;
    PopulatedArenas& operator=(const PopulatedArenas&) = delete;

private:
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    static bool interpreters_own(void* function) noexcept {
        Dl_info where{}, interpreter{};
        return dladdr(function, &where) != 0 && dladdr(reinterpret_cast<void*>(&PyObject_Malloc), &interpreter) != 0 &&
               where.dli_fbase == interpreter.dli_fbase;
    }
    static void* allocate(void*, std::size_t size) noexcept {
        void* room = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (room == MAP_FAILED) return nullptr;
        // the arena's pools start and end on their own boundaries: the pages outside them are
        // never written, and are left unmade
        auto start = reinterpret_cast<std::uintptr_t>(room);
        std::uintptr_t first = (start + pool - 1) / pool * pool, last = (start + size) / pool * pool;
        if (last > first) prefault(reinterpret_cast<void*>(first), last - first);
        return room;
    }
    static void release(void*, void* room, std::size_t size) noexcept { munmap(room, size); }
#endif

    static constexpr std::uintptr_t pool = 16u << 10;  // the interpreter's pool size (3.11 to 3.13)
    PyObjectArenaAllocator previous_{};
    bool installed_ = false;
};

}  // namespace tarnwick
