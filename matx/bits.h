#pragma once

// The index of the lowest set bit of a word, for loops that visit the set bits of a mask in
// order. `word` must not be 0. Header-only, so a module keeps it only where it is used.

#include <cstdint>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

inline int32_t lowestSetBit(uint64_t word) {
#if defined(_MSC_VER)
    unsigned long index;
    _BitScanForward64(&index, word);
    return static_cast<int32_t>(index);
#else
    return __builtin_ctzll(word);
#endif
}
