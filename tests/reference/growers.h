#pragma once

// The module's grower and the plain reference behind one signature, each called as its
// gateway calls it: the scratch first, then one call. For the tests and the benchmark.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "matx/matx.h"
#include "seedgrow/seedgrow.h"
#include "tests/reference/row_major.h"
#include "tests/reference/seedgrow_reference.h"

using Grower = void (*)(const matx& grey, matx& labels, double celllevel);

// The working space full of junk, as a caller may hand it over: the grower must write every
// element before it reads it (fresh memory from the system is all zero, which would hide a
// missing write). Its sizes are those makeGrowthScratch gives.
inline GrowthScratch junkScratch(int32_t m, int32_t n, bool wideState) {
    GrowthScratch scratch = makeGrowthScratch(m, n, wideState);
    constexpr int kJunk = 0xA5;
    const std::size_t lists = static_cast<std::size_t>(m) * n + 2;
    const std::size_t frame = static_cast<std::size_t>(m + 2) * (n + 2);
    std::memset(scratch.state.get(), kJunk,
                frame * sizeof(uint32_t) * (scratch.wideState ? 2 : 1));
    std::memset(scratch.byGrey.get(), kJunk, lists * sizeof(int32_t));
    std::memset(scratch.entries.get(), kJunk, lists * sizeof(uint64_t));
    std::memset(scratch.claimed.get(), kJunk, lists * sizeof(uint64_t));
    return scratch;
}

inline void growWithModule(const matx& grey, matx& labels, double celllevel) {
    GrowthScratch scratch = makeGrowthScratch(grey.m, grey.n);
    spreadingLabels(grey, labels, celllevel, scratch);
}

// With the 8-byte pixel state, which the module keeps for images of 2^29 pixels and more.
inline void growWithModuleWideState(const matx& grey, matx& labels, double celllevel) {
    GrowthScratch scratch = makeGrowthScratch(grey.m, grey.n, /*wideState=*/true);
    spreadingLabels(grey, labels, celllevel, scratch);
}

// The two, each given its working space full of junk (for the tests, not for timing).
inline void growWithModuleOnJunk(const matx& grey, matx& labels, double celllevel) {
    GrowthScratch scratch = junkScratch(grey.m, grey.n, /*wideState=*/false);
    spreadingLabels(grey, labels, celllevel, scratch);
}

inline void growWithModuleWideStateOnJunk(const matx& grey, matx& labels, double celllevel) {
    GrowthScratch scratch = junkScratch(grey.m, grey.n, /*wideState=*/true);
    spreadingLabels(grey, labels, celllevel, scratch);
}

// The labels in row-major int32, as the Python binding has them written, put back in the
// column-major doubles of the other growers; on junk scratch and junk labels, and given the
// largest grey value as the front ends give it.
inline void growWithModuleThroughRowsOnJunk(const matx& grey, matx& labels, double celllevel) {
    GrowthScratch scratch = junkScratch(grey.m, grey.n, /*wideState=*/false);
    std::vector<int32_t> rows(static_cast<std::size_t>(grey.m) * grey.n, -7);
    const double maxGrey =
        grey.m * grey.n > 0 ? maximumGrey(grey.col[0], grey.m * grey.n) : 0.0;
    spreadingLabelsRowMajor(grey, rows.data(), celllevel, scratch, maxGrey);
    labelsFromRows(rows, labels);
}

// The same from the grey image by rows, as the binding gives a C-ordered array.
template <bool kWideState>
void growWithModuleFromRowsOnJunk(const matx& grey, matx& labels, double celllevel) {
    GrowthScratch scratch = junkScratch(grey.m, grey.n, kWideState);
    const std::vector<double> greyRows = valuesByRows(grey);
    std::vector<int32_t> rows(greyRows.size(), -7);
    spreadingLabelsRowMajor(GreyRows{greyRows.data(), grey.m, grey.n}, rows.data(), celllevel,
                            scratch);
    labelsFromRows(rows, labels);
}

// With scratch lists of exactly m*n entries.
inline void growWithReference(const matx& grey, matx& labels, double celllevel) {
    std::vector<pixelPos> frontier(static_cast<std::size_t>(grey.m) * grey.n);
    std::vector<pixelPos> candidates(frontier.size());
    reference::spreadingLabels(grey, labels, celllevel, frontier.data(), candidates.data());
}
