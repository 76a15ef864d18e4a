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
//
// Each pass goes through the two halves of the list side by side, each with counts and
// places of its own: an item's count, and its place, wait for those of the item before it
// of the same digit (a store, then a load of what it stored), and the items of a level's
// list share digits with their neighbours more often than not, so two independent runs go
// through faster than one. In each digit the second half's places follow the first half's,
// so the passes stay stable.
template <int kDigitBits, class T, class Key>
void sortingByDigits(T* items, int32_t count, T* spare, Key key) {
    constexpr uint32_t kDigits = uint32_t{1} << kDigitBits;
    uint32_t largest = 0;
    for (int32_t k = 0; k < count; ++k) {
        largest = std::max(largest, key(items[k]));
    }
    const int32_t half = count / 2;
    const bool odd = (count & 1) != 0;
    T* from = items;
    T* to = spare;
    for (int shift = 0; shift < 32 && (largest >> shift) != 0; shift += kDigitBits) {
        const auto digit = [&](const T& item) { return (key(item) >> shift) & (kDigits - 1); };
        // Counts of digit d at [d + 1], then the first place of digit d at [d].
        int32_t first[kDigits + 1] = {};
        int32_t second[kDigits + 1] = {};
        for (int32_t k = 0; k < half; ++k) {
            ++first[digit(from[k]) + 1];
            ++second[digit(from[half + k]) + 1];
        }
        if (odd) {
            ++second[digit(from[count - 1]) + 1];
        }
        int32_t start = 0;
        for (uint32_t d = 0; d < kDigits; ++d) {
            const int32_t inFirst = first[d + 1];
            const int32_t inSecond = second[d + 1];
            first[d] = start;
            second[d] = start + inFirst;
            start += inFirst + inSecond;
        }
        for (int32_t k = 0; k < half; ++k) {
            to[first[digit(from[k])]++] = from[k];
            to[second[digit(from[half + k])]++] = from[half + k];
        }
        if (odd) {
            to[second[digit(from[count - 1])]++] = from[count - 1];
        }
        std::swap(from, to);
    }
    if (from != items) {
        std::copy(from, from + count, items);
    }
}
