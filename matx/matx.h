#pragma once

// matx: a two-dimensional view over a column-major block of doubles.
//
// Element (row i, column j) is col[j][i]; every view made here lies over one contiguous
// block B with col[j] = B + j*m, which is exactly how MATLAB and Octave store an m-by-n
// real double matrix. A view either lies over memory that somebody else owns (owner 0) or
// owns a block it allocated itself (owner 1). The record and its column array always
// belong to the view and are released by mx_free, never by anything else.

#include <cstdint>

struct matx {
    double** col;   // n pointers: col[j] is row 0 of column j
    int32_t m;      // rows
    int32_t n;      // columns
    int32_t owner;  // 1: the view releases its block (through col[0]) in mx_free
};

// --- Life cycle -------------------------------------------------------------------------
// The constructors return nullptr, having released whatever they had obtained, when the C
// allocator fails. Sizes must be non-negative and cover at most 2^31 - 1 elements.

// A non-owning view over `data`, which must hold rows*cols doubles for the view's life.
matx* mx_from_vector(double* data, int32_t rows, int32_t cols);
// An owning view over a new block; the elements are not initialised.
matx* mx_new(int32_t rows, int32_t cols);
// An owning, contiguous copy of every element, bit for bit.
matx* mx_clone(const matx* source);
// Only the column pointers of a view over `data`; the caller releases them with free().
double** get_array(double* data, int32_t rows, int32_t cols);
// Releases the record, its column array and, when owner is exactly 1, the block.
void mx_free(matx* view);
