#pragma once

// Sorting by the digits of a key, for the short lists of pixels a flood sorts again at every
// level. Header-only, so a module keeps it only where it is used.

#include <algorithm>
#include <cstdint>
#include <utility>

// Puts items[0, count) in the order of key(item), an unsigned 32-bit number, using spare
// (room for `count`) on the way: by the key's digits, kDigitBits bits each, from the lowest,
// in stable passes of counting (as many as the largest key has digits), so items of equal
// keys keep their order. No pass compares two items, so none asks the processor to guess
// which way a comparison goes, and the cost per item is the same on a large image as on a
// small one.
template <int kDigitBits, class T, class Key>
void sortingByDigits(T* items, int32_t count, T* spare, Key key) {
    constexpr uint32_t kDigits = uint32_t{1} << kDigitBits;
    uint32_t largest = 0;
    for (int32_t k = 0; k < count; ++k) {
        largest = std::max(largest, key(items[k]));
    }
    T* from = items;
    T* to = spare;
    for (int shift = 0; shift < 32 && (largest >> shift) != 0; shift += kDigitBits) {
        int32_t start[kDigits + 1] = {};
        for (int32_t k = 0; k < count; ++k) {
            ++start[((key(from[k]) >> shift) & (kDigits - 1)) + 1];
        }
        for (uint32_t digit = 0; digit < kDigits; ++digit) {
            start[digit + 1] += start[digit];
        }
        for (int32_t k = 0; k < count; ++k) {
            to[start[(key(from[k]) >> shift) & (kDigits - 1)]++] = from[k];
        }
        std::swap(from, to);
    }
    if (from != items) {
        std::copy(from, from + count, items);
    }
}
