#pragma once

// The module's grower and the plain reference behind one signature, each called as its
// gateway calls it: the scratch first, then one call. For the tests and the benchmark.

#include <cstddef>
#include <vector>

#include "matx/matx.h"
#include "seedgrow/seedgrow.h"
#include "tests/reference/seedgrow_reference.h"

using Grower = void (*)(const matx& grey, matx& labels, double celllevel);

inline void growWithModule(const matx& grey, matx& labels, double celllevel) {
    GrowthScratch scratch = makeGrowthScratch(grey.m, grey.n);
    spreadingLabels(grey, labels, celllevel, scratch);
}

// With the 8-byte pixel state, which the module keeps for images of 2^29 pixels and more.
inline void growWithModuleWideState(const matx& grey, matx& labels, double celllevel) {
    GrowthScratch scratch = makeGrowthScratch(grey.m, grey.n, /*wideState=*/true);
    spreadingLabels(grey, labels, celllevel, scratch);
}

// With scratch lists of exactly m*n entries.
inline void growWithReference(const matx& grey, matx& labels, double celllevel) {
    std::vector<pixelPos> frontier(static_cast<std::size_t>(grey.m) * grey.n);
    std::vector<pixelPos> candidates(frontier.size());
    reference::spreadingLabels(grey, labels, celllevel, frontier.data(), candidates.data());
}
