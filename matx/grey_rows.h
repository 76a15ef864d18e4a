#pragma once

// A grey image held by rows, as numpy holds one, for the kernels that can read it as it lies
// rather than through a column-major copy. Header-only: a plain description of memory.

#include <cstdint>

// Element (r, c) at values[r * n + c].
struct GreyRows {
    const double* values;
    int32_t m;
    int32_t n;
};
