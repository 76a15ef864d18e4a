#include "bench/harness.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <new>

#include "matx/pixel_arrays.h"

namespace {

std::size_t currentBytes = 0;
std::size_t peakBytes = 0;

// Each block carries its size in front of it, so that delete can count it off.
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* countedAllocate(std::size_t size) {
    void* block = std::malloc(size + kHeader);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(block) = size;
    currentBytes += size;
    peakBytes = std::max(peakBytes, currentBytes);
    return static_cast<char*>(block) + kHeader;
}

void countedRelease(void* pointer) noexcept {
    if (pointer == nullptr) {
        return;
    }
    void* block = static_cast<char*>(pointer) - kHeader;
    currentBytes -= *static_cast<std::size_t*>(block);
    std::free(block);
}

double megabytes(std::size_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

void* operator new(std::size_t size) {
    return countedAllocate(size);
}
void* operator new[](std::size_t size) {
    return countedAllocate(size);
}
void operator delete(void* pointer) noexcept {
    countedRelease(pointer);
}
void operator delete[](void* pointer) noexcept {
    countedRelease(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept {
    countedRelease(pointer);
}
void operator delete[](void* pointer, std::size_t) noexcept {
    countedRelease(pointer);
}
// Over-aligned blocks (the grower's large scratch) are counted too. The header in front keeps
// the alignment: it takes a whole alignment unit.
void* operator new(std::size_t size, std::align_val_t alignment) {
    const auto align = static_cast<std::size_t>(alignment);
    void* block = std::aligned_alloc(align, (size + 2 * align - 1) / align * align);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    *static_cast<std::size_t*>(block) = size;
    currentBytes += size;
    peakBytes = std::max(peakBytes, currentBytes);
    return static_cast<char*>(block) + align;
}
void operator delete(void* pointer, std::align_val_t alignment) noexcept {
    if (pointer == nullptr) {
        return;
    }
    void* block = static_cast<char*>(pointer) - static_cast<std::size_t>(alignment);
    currentBytes -= *static_cast<std::size_t*>(block);
    std::free(block);
}

Measurement measure(const std::function<void()>& work, std::size_t callerBytes) {
    // Blocks kept from an earlier call would make this one's arrays look free.
    releasingKeptBlocks();
    const std::size_t startBytes = currentBytes;
    peakBytes = currentBytes;
    const std::clock_t cpuStart = std::clock();
    const auto start = std::chrono::steady_clock::now();
    work();
    const auto stop = std::chrono::steady_clock::now();
    Measurement result;
    result.seconds = std::chrono::duration<double>(stop - start).count();
    result.cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    result.peakBytes = peakBytes - startBytes + callerBytes;
    return result;
}

void reportHeader() {
    std::printf("%-44s %11s %11s %9s %10s %10s  %s\n", "workload", "plain s", "fast s", "ratio",
                "fast MB", "plain MB", "note");
}

void report(const std::string& workload, const Measurement& plain, const Measurement& fast,
            const std::string& note) {
    std::printf("%-44s %11.4f %11.4f %9.1f %10.2f %10.2f  %s\n", workload.c_str(), plain.seconds,
                fast.seconds, plain.seconds / fast.seconds, megabytes(fast.peakBytes),
                megabytes(plain.peakBytes), note.c_str());
    std::fflush(stdout);
}

void reportFastOnly(const std::string& workload, const Measurement& fast, const std::string& note) {
    std::printf("%-44s %11s %11.4f %9s %10.2f %10s  %s\n", workload.c_str(), "-", fast.seconds, "-",
                megabytes(fast.peakBytes), "-", note.c_str());
    std::fflush(stdout);
}
