// Positions in a view: the peak and the value-weighted centroid, column first, row second.

#include <cmath>
#include <limits>

#include "matx/matx.h"
#include "matx/operations_internal.h"

// With IEEE floats every double that is not a NaN lies between two float values (infinities
// included), so narrowing the peak to single precision is defined for every element that
// can reach it.
static_assert(std::numeric_limits<float>::is_iec559, "the peak relies on IEEE floats");

namespace {

// A double converted to an int is undefined for NaN and for values beyond the int's range,
// and a centroid can be both: weights of mixed sign can put it anywhere, even far outside
// the view, and sums that overflow to infinities give NaN quotients. So only finite values
// inside the view are converted (truncating toward zero); a NaN gives the centre and any
// other value is clamped to the view's first or last index.
int32_t index_within(double position, int32_t size, int32_t centre) {
    if (std::isnan(position)) {
        return centre;
    }
    // Truncation toward zero takes (-1, 0) to 0 as well.
    if (position <= 0) {
        return 0;
    }
    if (position >= static_cast<double>(size - 1)) {
        return size - 1;
    }
    return static_cast<int32_t>(position);
}

}  // namespace

void mx_find_peak(const matx* view, int32_t* column, int32_t* row) {
    // Single precision on purpose: a later element that beats the rounded peak replaces an
    // earlier one even when, in double precision, it is the smaller of the two.
    float peak = static_cast<float>(kMaxStart);
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            const double element = view->col[j][i];
            if (element > static_cast<double>(peak)) {
                *column = j;
                *row = i;
                peak = static_cast<float>(element);
            }
        }
    }
}

void mx_centroid(const matx* view, int32_t* column, int32_t* row) {
    double sumColumns = 0;
    double sumRows = 0;
    double total = 0;
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            const double element = view->col[j][i];
            // The weights are 1-based column and row numbers.
            sumColumns += static_cast<double>(j + 1) * element;
            sumRows += static_cast<double>(i + 1) * element;
            total += element;
        }
    }
    const int32_t centreColumn = view->n / 2;
    const int32_t centreRow = view->m / 2;
    if (view->n == 0 || total == 0 || std::isnan(total)) {
        *column = centreColumn;
        *row = centreRow;
        return;
    }
    // A nonzero total means at least one element, so both sizes are at least 1 here. Taking
    // off a half and truncating rounds a 1-based mean to the nearest 0-based index, a half
    // going up.
    *row = index_within(sumRows / total - 0.5, view->m, centreRow);
    *column = index_within(sumColumns / total - 0.5, view->n, centreColumn);
}
