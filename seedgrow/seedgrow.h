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
// Frontier walks and the seed scan run in the order given at each step: the order decides
// which label a contested pixel takes.

#include <cstdint>

#include "matx/matx.h"

// A pixel position: column first, then row, as the scratch lists hold it.
struct pixelPos {
    int32_t column;
    int32_t row;
};
static_assert(sizeof(pixelPos) == 8, "a pixelPos is two signed 32-bit integers");

// The label of a pixel that no label has reached.
constexpr double kUnlabelled = 0.0;

// Writes every element of `labels` (same m and n as `grey`). `frontier` and `candidates`
// must each have room for m*n entries; their contents are of no use afterwards. m*n must
// fit a signed 32-bit int, and the level loop must end: see levelsPassMaximum.
void spreadingLabels(const matx& grey, matx& labels, double celllevel, pixelPos* frontier,
                     pixelPos* candidates);

// The largest of `count` grey values, never below 0.0; NaN values never count.
double maximumGrey(const double* grey, int32_t count);

// Whether the accumulated level (1.0, then + 0.05 after each level) ever passes `maxGrey`,
// so that the level loop ends. From 2^49 on, adding 0.05 no longer changes a double, and
// the level, climbing in steps that never jump a power of two, stops at exactly 2^49.
bool levelsPassMaximum(double maxGrey);
