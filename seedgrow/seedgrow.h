#pragma once

// Seeded cell grower.
//
// Every pixel whose grey value lies strictly above `celllevel` is a seed and starts a label
// of its own: 1, 2, 3, ... in row-by-row order. The labels then spread over rising levels,
// one pixel ring per level, into free neighbours whose grey value lies strictly below the
// level. The level starts at 1.0 and is raised by adding 0.05 after each level for as long
// as the image's largest grey value is at least the level. A labelled pixel that touches a
// pixel of another label does not spread at that level. A last pass at the level where the
// loop stopped widens every region by one pixel.
//
// Views are matx over column-major doubles; labels are whole numbers stored as doubles.
// The seed scan and the frontier (every labelled pixel, in the order it is walked at each
// level) decide which label a contested pixel takes; the grower keeps both exactly, but
// visits at each level only the entries that can claim at it.

#include <cstdint>
#include <vector>

#include "matx/matx.h"

// A pixel position: column first, then row.
struct pixelPos {
    int32_t column;
    int32_t row;
};
static_assert(sizeof(pixelPos) == 8, "a pixelPos is two signed 32-bit integers");

// The label of a pixel that no label has reached.
constexpr double kUnlabelled = 0.0;

// A frontier entry waiting for the level at which it can claim: the level must rise above
// `wake`, the smallest grey value among its free neighbours.
struct WakingEntry {
    double wake;
    pixelPos pixel;
};

// The grower's working space.
struct GrowthScratch {
    // Entries that may still claim, as a min-heap on their wake values.
    std::vector<WakingEntry> waking;
    // The entries that claim at the current level.
    std::vector<pixelPos> batch;
};

// All the working space for an image of `pixels` pixels, obtained at once (std::bad_alloc
// when it cannot be), so that nothing is allocated while the labels are grown.
GrowthScratch makeGrowthScratch(int32_t pixels);

// Writes every element of `labels` (same m and n as `grey`). `scratch` must come from
// makeGrowthScratch for m*n pixels, which must fit a signed 32-bit int. The level loop must
// end (see levelsPassMaximum); should it stick at 2^49 instead, growth stops once nothing can
// change at that level and the regions are widened there.
void spreadingLabels(const matx& grey, matx& labels, double celllevel, GrowthScratch& scratch);

// The largest of `count` grey values, never below 0.0; NaN values never count.
double maximumGrey(const double* grey, int32_t count);

// Whether the accumulated level (1.0, then + 0.05 after each level) ever passes `maxGrey`,
// so that the level loop ends. From 2^49 on, adding 0.05 no longer changes a double, and
// the level, climbing in steps that never jump a power of two, stops at exactly 2^49.
bool levelsPassMaximum(double maxGrey);

// The level reached from `level` by adding 0.05 one addition at a time, each rounded, until
// it lies above `target`: `level` itself when it already does, and the level where it stops
// rising (2^49) when it never gets there. Many additions cost about as much as one.
double firstLevelAbove(double level, double target);
