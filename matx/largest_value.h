#pragma once

// The largest grey value of an image, which both algorithms need before they start (their
// levels run up to it) and their front ends need to refuse endless levels. Header-only, so a
// module keeps it only where it is used.

#include <cstdint>

// The larger of a value and the largest so far, by a strict comparison: NaN never replaces
// the largest, nor does -0.0 replace 0.0.
inline double largerValue(double value, double largest) {
    return value > largest ? value : largest;
}

// The largest of `count` values, never below 0.0; NaN values never count. Eight running
// maxima over interleaved elements, so that each comparison need not wait for the one before
// (a single chain takes a processor's full comparison latency per element). Each starts at
// 0.0 and takes only strictly greater numbers, so the eight hold no NaN and no -0.0, and
// taking the largest of them by the same rule gives the single chain's result exactly.
inline double largestValueFromZero(const double* values, int64_t count) {
    constexpr int kRunning = 8;
    double largest[kRunning] = {};
    int64_t k = 0;
    for (; k + kRunning <= count; k += kRunning) {
        for (int j = 0; j < kRunning; ++j) {
            largest[j] = largerValue(values[k + j], largest[j]);
        }
    }
    for (; k < count; ++k) {
        largest[0] = largerValue(values[k], largest[0]);
    }
    double all = 0.0;
    for (const double value : largest) {
        all = largerValue(value, all);
    }
    return all;
}
