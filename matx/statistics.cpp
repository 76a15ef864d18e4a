// Extremes and statistics over a view, in scan order (columns outer, rows inner).

#include <cmath>
#include <limits>

#include "matx/matx.h"
#include "matx/operations_internal.h"

// An empty view divides 0 by 0 and a constant one gives 0/0 in the correlation: both are
// meant to give NaN, which IEEE arithmetic guarantees.
static_assert(std::numeric_limits<double>::is_iec559, "the statistics rely on IEEE doubles");

double mx_min(const matx* view) {
    double smallest = kMinStart;
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            // A NaN compares false, so it never becomes the running value.
            if (view->col[j][i] < smallest) {
                smallest = view->col[j][i];
            }
        }
    }
    return smallest;
}

double mx_max(const matx* view) {
    double largest = kMaxStart;
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            if (view->col[j][i] > largest) {
                largest = view->col[j][i];
            }
        }
    }
    return largest;
}

double mx_mean(const matx* view) {
    double sum = 0;
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            sum += view->col[j][i];
        }
    }
    return sum / element_count(view);
}

double mx_std(const matx* view) {
    const double mean = mx_mean(view);
    double squares = 0;
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            const double deviation = view->col[j][i] - mean;
            squares += deviation * deviation;
        }
    }
    // The population divisor m*n, not m*n - 1.
    return std::sqrt(squares / element_count(view));
}

double mx_corr(const matx* a, const matx* b) {
    if (!same_size(a, b)) {
        return 0;
    }
    const double meanA = mx_mean(a);
    const double meanB = mx_mean(b);
    double sumAB = 0;
    double sumAA = 0;
    double sumBB = 0;
    for (int32_t j = 0; j < a->n; ++j) {
        for (int32_t i = 0; i < a->m; ++i) {
            const double da = a->col[j][i] - meanA;
            const double db = b->col[j][i] - meanB;
            sumAB += da * db;
            sumAA += da * da;
            sumBB += db * db;
        }
    }
    // One root of the product, not the product of two roots: the rounding differs.
    return sumAB / std::sqrt(sumAA * sumBB);
}

double mx_find(const matx* view, double value) {
    double count = 0;
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            if (view->col[j][i] == value) {
                count += 1;
            }
        }
    }
    return count;
}
