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
// Views are matx over column-major doubles (spreadingLabelsRowMajor also takes a grey image
// by rows); labels are whole numbers stored as doubles.
// The seed scan and the frontier (every labelled pixel, in the order it is walked at each
// level) decide which label a contested pixel takes; the grower keeps both exactly, but
// visits at each level only the entries that can claim at it, so that its time grows with
// the number of pixels and not with the number of levels.

#include <cstdint>
#include <memory>

#include "matx/grey_rows.h"
#include "matx/matx.h"
#include "matx/pixel_arrays.h"

// A pixel position: column first, then row.
struct pixelPos {
    int32_t column;
    int32_t row;
};
static_assert(sizeof(pixelPos) == 8, "a pixelPos is two signed 32-bit integers");

// The label of a pixel that no label has reached.
constexpr double kUnlabelled = 0.0;

// The grower's working space, about 24 bytes a pixel (28 from 2^29 pixels on, and more on
// images only a few pixels wide, beside which the frame is large). Left uninitialised: the
// grower writes every element before it reads it.
struct GrowthScratch {
    // One word per pixel, in a frame one pixel wider than the image and laid as the grey
    // image lies (by columns, or by rows): its label, or its place among the levels at which
    // pixels become claimable. 4 bytes a pixel for images below kNarrowStatePixels, whose
    // labels and places fit; else 8, as two 4-byte words.
    bool wideState = false;
    PixelArray<uint32_t> state;
    // The pixels that a level may claim, in order of their grey values: their indices in the
    // state's frame, or with the wide state their indices in the grey image's memory.
    PixelArray<int32_t> byGrey;
    // The entries of the current level and the pixels claimed at it, each with its label;
    // the second also holds the counting table of the sort by grey value.
    PixelArray<uint64_t> entries;
    PixelArray<uint64_t> claimed;
};

constexpr int64_t kNarrowStatePixels = int64_t{1} << 29;

// All the working space for an image of rows x cols pixels, obtained at once (std::bad_alloc
// when it cannot be), so that nothing is allocated while the labels are grown. `wideState`
// asks for the 8-byte state whatever the size (the tests run both).
GrowthScratch makeGrowthScratch(int32_t rows, int32_t cols, bool wideState = false);

// Given as `maxGrey` below: the grower scans the image for its largest value itself.
inline constexpr double kLargestGreyToFind = -1.0;

// Writes every element of `labels` (same m and n as `grey`). `grey` must lie in one
// column-major block, as mx_from_vector lays a view; `scratch` must come from
// makeGrowthScratch(m, n), and m*n must fit a signed 32-bit int. The level loop must
// end (see levelsPassMaximum); should it stick at 2^49 instead, growth stops once nothing can
// change at that level and the regions are widened there. A caller that has the image's
// largest value already, as maximumGrey(grey) gives it (a front end scans for it to refuse
// endless levels before it allocates anything), passes it as `maxGrey` and spares the
// grower a scan of the image.
void spreadingLabels(const matx& grey, matx& labels, double celllevel, GrowthScratch& scratch,
                     double maxGrey = kLargestGreyToFind);

// The same, with the labels written as int32 in row-major order (element r * n + c), as
// numpy holds them: what a host that returns integers in rows needs, without a detour
// through doubles.
void spreadingLabelsRowMajor(const matx& grey, int32_t* labels, double celllevel,
                             GrowthScratch& scratch, double maxGrey = kLargestGreyToFind);

// The same again, from a grey image held by rows, as numpy holds one: the grower lays its
// working state as the image lies and goes over both in memory order, so such an image
// needs no conversion, and the labels are written row by row as the state lies. The labels
// are those of the same image by columns.
void spreadingLabelsRowMajor(const GreyRows& grey, int32_t* labels, double celllevel,
                             GrowthScratch& scratch, double maxGrey = kLargestGreyToFind);

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
