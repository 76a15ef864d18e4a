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
#include <memory>
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

// A frontier entry with its label, by which the entries that may claim at a level are walked.
struct ClaimingEntry {
    double label;
    pixelPos pixel;
};

// A pixel's place in the grower's queue: the index of the level it is queued under, and the
// next pixel queued in the same bucket.
struct QueueLink {
    int64_t level;
    int32_t next;
};

// The grower's working space. Pixels are indexed column * m + row.
struct GrowthScratch {
    // The entries that may still claim, queued under the index of the level at which they
    // may: a radix heap whose buckets are lists linked through the pixels. Left uninitialised:
    // a pixel's link is written when it is queued and read only while it is.
    std::unique_ptr<QueueLink[]> queue;
    // The entries of the current level; the seeds when no level runs; after the last level,
    // the pixels the final widening labels.
    std::vector<ClaimingEntry> batch;
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

// Every front end refuses an image whose levels never pass its maximum with these words.
inline constexpr char kEndlessGrowingMessage[] =
    "Image input must not hold Inf or values of 2^49 or more: the growing levels would "
    "never end";

// The levels the grower visits: level 0 is 1.0, and level k+1 is level k plus 0.05, rounded
// as one addition. Within a binade [2^e, 2^(e+1)), 0 <= e <= 48, every addition adds the same
// amount, so each binade's levels are its first level and multiples of one step after it;
// from 2^49 on the level no longer rises.
constexpr int kLevelBinades = 49;
struct LevelTable {
    int binades;  // how many binades are filled in, from [1, 2) on; 50 with 2^49
    int64_t firstIndex[kLevelBinades + 1];  // of the first level in each binade, then of 2^49
    double firstLevel[kLevelBinades + 1];
    int64_t step[kLevelBinades];  // in units of the binade's spacing between doubles
};
// Only the binades up to the first level above `upTo` are filled in (all of them from 2^49
// on); levelAt and firstLevelAbove may then be asked about that level and below.
LevelTable levelTable(double upTo);

// The level of index `index` (2^49 from where the level stops rising).
double levelAt(const LevelTable& levels, int64_t index);

// The index of the first level above `value`; kNoLevelAbove when no level is (from 2^49 on,
// and for NaN).
constexpr int64_t kNoLevelAbove = INT64_MAX;
int64_t firstLevelAbove(const LevelTable& levels, double value);
