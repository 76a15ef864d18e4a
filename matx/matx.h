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

// --- Operations -------------------------------------------------------------------------
// Every operation takes views made above, allocates nothing and never changes a view's m, n
// or col. Whole-view loops visit columns j = 0..n-1 outer and rows i = 0..m-1 inner (memory
// order); sums accumulate in that order in one double starting at 0, which fixes their
// rounding. Only mx_print goes row by row. Positions come back column first, row second.

// Extremes and statistics.
// The smallest element, starting from 1000000 (so never more than that); NaN never wins.
double mx_min(const matx* view);
// The largest element, starting from -1000000 (so never less than that); NaN never wins.
double mx_max(const matx* view);
// The sum of the elements divided by m*n; NaN for an empty view.
double mx_mean(const matx* view);
// The population standard deviation (divisor m*n); NaN for an empty view.
double mx_std(const matx* view);
// The correlation coefficient of two views of one size; 0, with no message, when their
// sizes differ. A constant or empty view gives NaN.
double mx_corr(const matx* a, const matx* b);
// How many elements equal `value` exactly, as a double; NaN matches nothing.
double mx_find(const matx* view, double value);

// Positions.
// The first largest element in scan order, compared against a running peak held in single
// precision and starting from -1000000. The outputs are written only when an element beats
// the running peak, so they keep the caller's values when none does.
void mx_find_peak(const matx* view, int32_t* column, int32_t* row);
// The value-weighted centroid, rounded to the nearest index (a half going up) and clamped
// into the view. With no columns, a total weight of exactly 0 or a total that is NaN, the
// outputs get the centre (n / 2, m / 2).
void mx_centroid(const matx* view, int32_t* column, int32_t* row);

// Rewrites of every element.
// x becomes (x - L) / (M - L), with L = mx_min and M = mx_max and their bounds.
void mx_normalise(matx* view);
// Clears the sign bit of every element: -0 becomes +0 and NaNs keep their payload.
void mx_abs(matx* view);
// Elements less than 0 become +0; -0 and NaN stay.
void mx_positive(matx* view);
// Every element becomes +0.
void mx_clear(matx* view);
void mx_add_scalar(matx* view, double s);
void mx_sub_scalar(matx* view, double s);
void mx_mult_scalar(matx* view, double s);

// Two views. On a size mismatch these print their message on the console and change nothing.
void mx_add_matrix(matx* target, const matx* other);
void mx_sub_matrix(matx* target, const matx* other);
// An exact 64-bit copy of every element: negative zeros and NaN payloads survive.
void mx_copy(matx* target, const matx* source);
// Copies the target-sized window of the source around (column c, row r), bit for bit. The
// window starts at row r - m / 2 and column c - n / 2 (m, n: the target's size), so (r, c)
// is its centre for odd sizes. A window that reaches outside the source is refused with a
// message and changes nothing.
void mx_copy_region(matx* target, const matx* source, int32_t c, int32_t r);

// Console output.
// Row by row, " %f" per element (rounded to single precision), then a newline per row.
void mx_print(const matx* view);
