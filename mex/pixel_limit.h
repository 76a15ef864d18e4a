#pragma once

// The largest image every front end accepts: the algorithms count pixels, and index them,
// in signed 32-bit ints. Free of any host, so that the Python bindings share it.

#include <cstdint>
#include <limits>

inline constexpr char kImageTooLarge[] =
    "Image input is too large: at most 2147483647 pixels are supported";

// Whether an image of rows x cols pixels is within the limit. Each factor is checked first,
// so the product cannot wrap in 64 bits.
inline bool fitsPixelLimit(uint64_t rows, uint64_t cols) {
    constexpr uint64_t kLimit = std::numeric_limits<int32_t>::max();
    return rows <= kLimit && cols <= kLimit && rows * cols <= kLimit;
}
