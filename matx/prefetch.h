#pragma once

// Hints that memory is about to be read or written, for loops that go over pixels scattered
// through a large image and would otherwise wait for each in turn. Only a hint: where the
// compiler has no such builtin, nothing is done. Header-only, so a module keeps it only where
// it is used.

inline void prefetchForReading(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address, 0);
#else
    static_cast<void>(address);
#endif
}

inline void prefetchForWriting(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address, 1);
#else
    static_cast<void>(address);
#endif
}
