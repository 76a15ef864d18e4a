#pragma once

// What the files of matx share; not part of the library's public header.

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "matx/matx.h"

// The extremes start from these bounds rather than from the first element or an infinity,
// so mx_min never exceeds 1000000 and mx_max (and the peak search) never falls below
// -1000000.
constexpr double kMinStart = 1000000.0;
constexpr double kMaxStart = -1000000.0;

// Two views match when both their rows and their columns agree.
inline bool same_size(const matx* a, const matx* b) {
    return a->m == b->m && a->n == b->n;
}

// The divisor of the mean and the deviation: m*n formed as a 32-bit int (a view holds at
// most 2^31 - 1 elements), then converted.
inline double element_count(const matx* view) {
    return static_cast<double>(view->m * view->n);
}

// An exact 64-bit copy: through the bits, so no floating-point load or store can quiet a
// signalling NaN or otherwise touch the value.
inline void copy_bits(double* to, const double* from) {
    uint64_t bits;
    std::memcpy(&bits, from, sizeof bits);
    std::memcpy(to, &bits, sizeof bits);
}

// malloc(0) may give a null pointer; for an empty array that is not a failure.
inline void* allocate_elements(std::size_t count, std::size_t size) {
    return count == 0 ? std::malloc(1) : std::malloc(count * size);
}

// The column pointers of a view over `data`, in an array of their own (nullptr when it cannot
// be allocated). Column j starts j*rows doubles into the block; the offset is advanced by
// pointer steps, one column at a time, so no integer product can overflow on the way.
inline double** column_pointers(double* data, int32_t rows, int32_t cols) {
    auto** columns = static_cast<double**>(
        allocate_elements(static_cast<std::size_t>(cols), sizeof(double*)));
    if (columns != nullptr) {
        double* column = data;
        for (int32_t j = 0; j < cols; ++j) {
            columns[j] = column;
            column += rows;
        }
    }
    return columns;
}
