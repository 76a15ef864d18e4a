#pragma once

// An image by columns put in rows, as numpy holds it, and labels written in rows put back in
// the columns of the other runs: for the tests and the benchmark that call the kernels the way
// the Python binding does.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "matx/matx.h"

// Element (r, c) of `grey` at r * n + c.
inline std::vector<double> valuesByRows(const matx& grey) {
    std::vector<double> rows(static_cast<std::size_t>(grey.m) * grey.n);
    for (int32_t r = 0; r < grey.m; ++r) {
        for (int32_t c = 0; c < grey.n; ++c) {
            rows[static_cast<std::size_t>(r) * grey.n + c] = grey.col[c][r];
        }
    }
    return rows;
}

// Element r * n + c of `rows` to element (r, c) of `labels`.
inline void labelsFromRows(const std::vector<int32_t>& rows, matx& labels) {
    for (int32_t r = 0; r < labels.m; ++r) {
        for (int32_t c = 0; c < labels.n; ++c) {
            labels.col[c][r] = rows[static_cast<std::size_t>(r) * labels.n + c];
        }
    }
}
