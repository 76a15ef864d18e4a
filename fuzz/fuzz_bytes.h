#pragma once

// Decoding a fuzzer's input. Every read succeeds and gives 0 once the bytes run out, so
// every input decodes to some case, and short inputs to small ones.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

struct FuzzBytes {
    const uint8_t* data;
    std::size_t size;
    std::size_t next = 0;
};

inline uint8_t takeByte(FuzzBytes& bytes) {
    return bytes.next < bytes.size ? bytes.data[bytes.next++] : 0;
}

inline bool bytesLeft(const FuzzBytes& bytes) {
    return bytes.next < bytes.size;
}

// A whole number from lo to hi (at most 256 apart), from one byte.
inline int32_t takeInRange(FuzzBytes& bytes, int32_t lo, int32_t hi) {
    return lo + static_cast<int32_t>(takeByte(bytes) % static_cast<uint32_t>(hi - lo + 1));
}

template <class T, std::size_t N>
T takeOneOf(FuzzBytes& bytes, const T (&choices)[N]) {
    return choices[takeByte(bytes) % N];
}

// The fast and the plain version disagree: abort, so that libFuzzer keeps the input.
inline void requireSame(bool same, const char* what) {
    if (!same) {
        std::fprintf(stderr, "fast and plain versions differ: %s\n", what);
        std::abort();
    }
}

// A property every result must have does not hold.
inline void requireThat(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}
