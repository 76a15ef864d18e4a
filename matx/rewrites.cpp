// Rewrites of every element of a view in place, in scan order (columns outer, rows inner).

#include <cmath>

#include "matx/matx.h"

void mx_normalise(matx* view) {
    // The extremes keep their +-1000000 bounds, so elements beyond them map outside 0..1;
    // a constant view gives 0 times an infinite scale: NaN everywhere.
    const double largest = mx_max(view);
    const double smallest = mx_min(view);
    const double scale = 1 / (largest - smallest);
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            view->col[j][i] = (view->col[j][i] - smallest) * scale;
        }
    }
}

void mx_abs(matx* view) {
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            // fabs clears the sign bit alone: -0 turns +0 and a NaN keeps its payload.
            view->col[j][i] = std::fabs(view->col[j][i]);
        }
    }
}

void mx_positive(matx* view) {
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            // -0 is not less than 0 and NaN compares false: both stay as they are.
            if (view->col[j][i] < 0) {
                view->col[j][i] = 0.0;
            }
        }
    }
}

void mx_clear(matx* view) {
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            view->col[j][i] = 0.0;
        }
    }
}

void mx_add_scalar(matx* view, double s) {
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            view->col[j][i] += s;
        }
    }
}

void mx_sub_scalar(matx* view, double s) {
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            view->col[j][i] -= s;
        }
    }
}

void mx_mult_scalar(matx* view, double s) {
    for (int32_t j = 0; j < view->n; ++j) {
        for (int32_t i = 0; i < view->m; ++i) {
            view->col[j][i] *= s;
        }
    }
}
