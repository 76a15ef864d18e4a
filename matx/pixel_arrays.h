#pragma once

// Per-pixel working arrays of the cell algorithms. Most are reached all over the image at
// every level, so large ones start on a 2 MiB boundary and, on Linux, are offered to the
// system for huge pages: with 4 KiB pages nearly every such access of a large image would
// also miss the address translation caches, and each page would cost a fault of its own
// when first touched. Lists, gone through in order, are not (PixelReach). Header-only, so
// that a module keeps it only where it is used.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Smaller arrays come from the heap as they are: the alignment would cost more than it saves.
constexpr std::size_t kSmallestHugeArray = kHugePage;

struct PixelArrayRelease {
    bool aligned = false;
    void operator()(void* block) const {
        if (aligned) {
            ::operator delete(block, std::align_val_t{kHugePage});
        } else {
            ::operator delete(block);
        }
    }
};
template <class T>
using PixelArray = std::unique_ptr<T[], PixelArrayRelease>;

// When an array's pages are taken from the system. A host that hands freed memory back to
// the system (Octave does, through the C allocator) gives a call's arrays fresh pages at
// every call, and each 4 KiB page then costs a fault of its own at its first write: over a
// thousand a call at 512x512, in a virtual machine a sixth of the call. An array the call
// writes whole is better mapped at once, in one request; one it may write only in part (a
// list with room to spare) is not, so that pages it never writes cost no memory.
enum class PixelPages { whenWritten, atOnce };

// How an array is reached. A huge page pays where accesses fall all over a large array; a
// list, written and read in order (as a level's entries, or pixels listed by grey value, a
// few runs at a time), misses the translation caches once a page at most, and in huge pages
// its first write would cost the clearing of 2 MiB however little of it a call uses. A host
// that hands freed memory back gives those pages fresh at every call: on a 512x512 image
// that clearing was 4 % of a call through Octave. So lists take 4 KiB pages.
enum class PixelReach { allOver, inOrder };

// Advice only: where the system cannot map them at once (before Linux 5.14, or elsewhere),
// the pages come when first written, as without it.
inline void mapPagesAtOnce(void* block, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
    constexpr std::uintptr_t kPage = 4096;
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = (start + kPage - 1) / kPage * kPage;
    const std::uintptr_t end = (start + bytes) / kPage * kPage;
    if (first < end) {
        madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
    }
#else
    static_cast<void>(block);
    static_cast<void>(bytes);
#endif
}

// Below this, the request costs more than the faults it saves.
constexpr std::size_t kSmallestArrayMappedAtOnce = std::size_t{64} << 10;

// `count` elements of a trivial type, left uninitialised; std::bad_alloc when they cannot
// be had.
template <class T>
PixelArray<T> allocatePixelArray(std::size_t count, PixelPages pages = PixelPages::whenWritten,
                                 PixelReach reach = PixelReach::allOver) {
    const std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(T);
    const bool huge = reach == PixelReach::allOver && bytes >= kSmallestHugeArray;
    void* block =
        huge ? ::operator new(bytes, std::align_val_t{kHugePage}) : ::operator new(bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only, on the whole huge pages of the block: where it is refused, the array
    // works all the same, a little slower.
    if (huge) {
        madvise(block, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
    }
#endif
    if (pages == PixelPages::atOnce && bytes >= kSmallestArrayMappedAtOnce) {
        mapPagesAtOnce(block, bytes);
    }
    return PixelArray<T>(static_cast<T*>(block), PixelArrayRelease{huge});
}

// For a std::vector that grows to a per-pixel size: its large blocks are taken as
// allocatePixelArray takes them.
template <class T>
struct PixelAllocator {
    using value_type = T;
    PixelAllocator() = default;
    template <class U>
    explicit PixelAllocator(const PixelAllocator<U>& /*other*/) {}
    T* allocate(std::size_t count) { return allocatePixelArray<T>(count).release(); }
    void deallocate(T* block, std::size_t count) {
        PixelArrayRelease{std::max<std::size_t>(count, 1) * sizeof(T) >= kSmallestHugeArray}(
            block);
    }
};
template <class T, class U>
bool operator==(const PixelAllocator<T>& /*a*/, const PixelAllocator<U>& /*b*/) {
    return true;
}
template <class T, class U>
bool operator!=(const PixelAllocator<T>& /*a*/, const PixelAllocator<U>& /*b*/) {
    return false;
}
