// Element-by-element work between two views, and copies. Each walks the target in scan order
// (columns outer, rows inner), which also fixes the result when the two views overlap.

#include <cstdint>

#include "matx/matx.h"
#include "matx/operations_internal.h"
#include "mex/console.h"

namespace {

// Printed on a size mismatch, one console call with no further argument; the target is left
// as it was.
constexpr char kAddMismatch[] = "ERROR in add_matrix: Matrix dimensions must agree\n";
constexpr char kSubMismatch[] = "ERROR in sub_Matx: Matx sizes must agree\n";
constexpr char kCopyMismatch[] = "ERROR in copy_Matx: matrix sizes must agree\n";
constexpr char kRegionOutside[] = "ERROR in copy_region: window must lie inside the source\n";

// The window [first, first + length) of a source dimension of `extent`. Widened to 64 bits:
// a centre near the int limits must not overflow on the way.
bool window_inside(int64_t first, int32_t length, int32_t extent) {
    return first >= 0 && first + length <= extent;
}

}  // namespace

void mx_add_matrix(matx* target, const matx* other) {
    if (!same_size(target, other)) {
        console_printf(kAddMismatch);
        return;
    }
    for (int32_t j = 0; j < target->n; ++j) {
        for (int32_t i = 0; i < target->m; ++i) {
            target->col[j][i] += other->col[j][i];
        }
    }
}

void mx_sub_matrix(matx* target, const matx* other) {
    if (!same_size(target, other)) {
        console_printf(kSubMismatch);
        return;
    }
    for (int32_t j = 0; j < target->n; ++j) {
        for (int32_t i = 0; i < target->m; ++i) {
            target->col[j][i] -= other->col[j][i];
        }
    }
}

void mx_copy(matx* target, const matx* source) {
    if (!same_size(target, source)) {
        console_printf(kCopyMismatch);
        return;
    }
    for (int32_t j = 0; j < target->n; ++j) {
        for (int32_t i = 0; i < target->m; ++i) {
            copy_bits(&target->col[j][i], &source->col[j][i]);
        }
    }
}

void mx_copy_region(matx* target, const matx* source, int32_t c, int32_t r) {
    // An empty window reads nothing, so wherever it lies it is not refused.
    if (target->m == 0 || target->n == 0) {
        return;
    }
    // Halves truncate toward zero: an even-sized window reaches m / 2 rows above r and
    // m / 2 - 1 below it (likewise for columns).
    const int64_t firstRow = static_cast<int64_t>(r) - target->m / 2;
    const int64_t firstColumn = static_cast<int64_t>(c) - target->n / 2;
    // A window reaching outside the source would read memory the source does not cover.
    if (!window_inside(firstRow, target->m, source->m) ||
        !window_inside(firstColumn, target->n, source->n)) {
        console_printf(kRegionOutside);
        return;
    }
    const auto r0 = static_cast<int32_t>(firstRow);
    const auto c0 = static_cast<int32_t>(firstColumn);
    for (int32_t j = 0; j < target->n; ++j) {
        for (int32_t i = 0; i < target->m; ++i) {
            copy_bits(&target->col[j][i], &source->col[c0 + j][r0 + i]);
        }
    }
}
