#pragma once

// Per-pixel working arrays of the cell algorithms. Most are reached all over the image at
// every level, so large ones start on a 2 MiB boundary and, on Linux, are offered to the
// system for huge pages: with 4 KiB pages nearly every such access of a large image would
// also miss the address translation caches, and each page would cost a fault of its own
// when first touched. Lists, gone through in order, are not (PixelReach). Header-only, so
// that a module keeps it only where it is used.

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <thread>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

constexpr std::size_t kHugePage = std::size_t{2} << 20;
// Smaller arrays come from the heap as they are: the alignment would cost more than it saves.
constexpr std::size_t kSmallestHugeArray = kHugePage;

inline void releasingBlock(void* block, bool aligned) {
    if (aligned) {
        ::operator delete(block, std::align_val_t{kHugePage});
    } else {
        ::operator delete(block);
    }
}

// Blocks kept from one call for the next. A host that hands freed memory back to the system
// (Octave and Python do, through the C allocator) gives every call's arrays fresh pages,
// each cleared by the system and faulted in at its first write: at 512x512, 2 to 10 % of a
// call through either host. So a released block of a working array is kept, up to
// kMostKeptBytes in all, and the next array that fits it (up to a quarter smaller, as the
// arrays of a time-lapse's frames are, whose sizes follow their cells) takes it with its
// pages. When more would be kept, the blocks kept longest go back first; all go when the
// module is unloaded or the program ends. Below kSmallestKeptBlock the C allocator keeps
// blocks itself.
constexpr std::size_t kMostKeptBytes = std::size_t{32} << 20;
constexpr std::size_t kSmallestKeptBlock = std::size_t{64} << 10;
constexpr std::size_t kMostKeptBlocks = 128;

struct KeptBlock {
    void* block = nullptr;
    std::size_t bytes = 0;
    bool aligned = false;
};

// Nothing in it is destroyed, so that a thread still in a call while the module's statics
// are destroyed (a Python daemon thread at exit) finds it as it was: the lock is a flag, not
// a mutex. Taking and keeping a block are a handful a call, so waiting for the lock is rare
// and short.
struct KeptBlocks {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    KeptBlock blocks[kMostKeptBlocks] = {};  // the longest kept first
    std::size_t count = 0;
    std::size_t bytes = 0;
    bool closed = false;  // the blocks were given back at the module's end: none is kept
};

inline KeptBlocks& keptBlocks() {
    static KeptBlocks kept;
    return kept;
}

struct HoldingKeptBlocks {
    KeptBlocks& kept;
    explicit HoldingKeptBlocks(KeptBlocks& blocks) : kept(blocks) {
        while (kept.busy.test_and_set(std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }
    ~HoldingKeptBlocks() { kept.busy.clear(std::memory_order_release); }
    HoldingKeptBlocks(const HoldingKeptBlocks&) = delete;
    HoldingKeptBlocks& operator=(const HoldingKeptBlocks&) = delete;
};

// Under AddressSanitizer a kept block is poisoned until it is taken again, so that a use of
// an array after its release is still found.
inline void markingKept(void* block, std::size_t bytes, bool kept) {
#if defined(__SANITIZE_ADDRESS__)
    if (kept) {
        ASAN_POISON_MEMORY_REGION(block, bytes);
    } else {
        ASAN_UNPOISON_MEMORY_REGION(block, bytes);
    }
#else
    static_cast<void>(block);
    static_cast<void>(bytes);
    static_cast<void>(kept);
#endif
}

// Block k out of the store, the ones after it moved up; the caller holds the lock.
inline KeptBlock removingKept(KeptBlocks& kept, std::size_t k) {
    const KeptBlock removed = kept.blocks[k];
    std::copy(kept.blocks + k + 1, kept.blocks + kept.count, kept.blocks + k);
    --kept.count;
    kept.bytes -= removed.bytes;
    markingKept(removed.block, removed.bytes, false);
    return removed;
}

// The block kept longest, back to the system; the caller holds the lock.
inline void releasingOldestKept(KeptBlocks& kept) {
    const KeptBlock oldest = removingKept(kept, 0);
    releasingBlock(oldest.block, oldest.aligned);
}

// The caller holds the lock.
inline void releasingAllKept(KeptBlocks& kept) {
    while (kept.count > 0) {
        releasingOldestKept(kept);
    }
}

// Gives every kept block back to the system: for a benchmark that counts what a call takes.
inline void releasingKeptBlocks() {
    KeptBlocks& kept = keptBlocks();
    const HoldingKeptBlocks hold(kept);
    releasingAllKept(kept);
}

// Registered at the first block kept, so that its end comes at the module's end.
struct ClosingKeptBlocks {
    ~ClosingKeptBlocks() {
        KeptBlocks& kept = keptBlocks();
        const HoldingKeptBlocks hold(kept);
        releasingAllKept(kept);
        kept.closed = true;
    }
};

// The smallest kept block of the alignment asked for with room for `bytes` and at most a
// quarter more, taken out of the kept blocks with its size in `blockBytes`; nullptr if none.
inline void* takingKeptBlock(std::size_t bytes, bool aligned, std::size_t& blockBytes) {
    if (bytes < kSmallestKeptBlock) {
        return nullptr;
    }
    KeptBlocks& kept = keptBlocks();
    const HoldingKeptBlocks hold(kept);
    std::size_t best = kept.count;
    for (std::size_t k = 0; k < kept.count; ++k) {
        const KeptBlock& block = kept.blocks[k];
        if (block.aligned == aligned && block.bytes >= bytes && block.bytes - bytes <= bytes / 4 &&
            (best == kept.count || block.bytes < kept.blocks[best].bytes)) {
            best = k;
        }
    }
    if (best == kept.count) {
        return nullptr;
    }
    const KeptBlock found = removingKept(kept, best);
    blockBytes = found.bytes;
    return found.block;
}

inline void keepingBlock(void* block, std::size_t bytes, bool aligned) {
    if (bytes < kSmallestKeptBlock || bytes > kMostKeptBytes) {
        releasingBlock(block, aligned);
        return;
    }
    static ClosingKeptBlocks closing;
    KeptBlocks& kept = keptBlocks();
    const HoldingKeptBlocks hold(kept);
    if (kept.closed) {
        releasingBlock(block, aligned);
        return;
    }
    while (kept.count == kMostKeptBlocks || kept.bytes + bytes > kMostKeptBytes) {
        releasingOldestKept(kept);
    }
    kept.blocks[kept.count++] = {block, bytes, aligned};
    kept.bytes += bytes;
    markingKept(block, bytes, true);
}

struct PixelArrayRelease {
    bool aligned = false;
    std::size_t bytes = 0;  // of the block, which may be more than the array asked for
    void operator()(void* block) const { keepingBlock(block, bytes, aligned); }
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

// Whether an array of `bytes` takes huge pages, and so a block aligned to them.
inline bool isHugeArray(std::size_t bytes, PixelReach reach) {
    return reach == PixelReach::allOver && bytes >= kSmallestHugeArray;
}

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
    const bool huge = isHugeArray(bytes, reach);
    std::size_t blockBytes = bytes;
    if (void* kept = takingKeptBlock(bytes, huge, blockBytes)) {
        return PixelArray<T>(static_cast<T*>(kept), PixelArrayRelease{huge, blockBytes});
    }
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
    return PixelArray<T>(static_cast<T*>(block), PixelArrayRelease{huge, bytes});
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
    // The block may be larger than `count` asked for: it is kept as that many.
    void deallocate(T* block, std::size_t count) {
        const std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(T);
        PixelArrayRelease{isHugeArray(bytes, PixelReach::allOver), bytes}(block);
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
