#pragma once

// Level-flooding cell labeller.
//
// A grey image is flooded at levels 1, 2, 3, ... up to one above its largest grey value, so
// that the darkest pixels (lowest values above 0) are reached first. At every level:
//   1. flood:  pixels with 0 < grey <= level that are not in a cell become kFlooded;
//   2. grow:   growingCells, ten times: cells take flooded pixels next to them;
//   3. seed:   findingNewCells: every 5x5 window with at least 11 flooded pixels becomes
//              a new cell;
//   4. merge:  mergeCells: touching cells merge when small, or always below `threshold`.
// The label image ends up holding kNotFlooded, kFlooded and cell labels from
// kFirstCellLabel up. Labels are never renumbered, so merged-away labels leave gaps.
//
// Views are matx over column-major doubles; labels are whole numbers stored as doubles and
// read back by truncation to int32. All loops over the image go row by row (rows outer,
// columns inner): the order decides ties, stamp overlaps and merge chains.

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "matx/grey_rows.h"
#include "matx/matx.h"

constexpr int32_t kNotFlooded = 0;
constexpr int32_t kFlooded = 1;
constexpr int32_t kFirstCellLabel = 2;

constexpr int kGrowthPassesPerLevel = 10;
// A new cell is a 5x5 square stamped where a window holds at least 11 flooded pixels.
constexpr int32_t kWindowHalfWidth = 2;
constexpr int32_t kMinFloodedInWindow = 11;
// Window centres keep one more pixel from the border than the window needs: centres run
// from 3 to m-4 (and n-4), so rows 0 and m-1 and columns 0 and n-1 are never stamped.
constexpr int32_t kFirstWindowCentre = 3;

// How many threads one call may use: the caller's and threads - 1 more, kept for the call. On
// an image of at least leastSharedImage pixels, the sort of the pixels by level is shared among
// them, and a level's flood and growth passes where they hold at least leastSharedWork pixels,
// in bands of rows; the rest of the work is the caller's thread's. The result is the same, bit
// for bit, for every thread count. A smaller image gains nothing: its state lies in the
// caller's core's caches, and a second core would fetch it from there and hand it back at every
// pass.
constexpr int32_t kLeastSharedImage = 2048 * 2048;
constexpr int32_t kLeastSharedWork = 4096;
struct LabellerThreads {
    int threads = 1;
    int32_t leastSharedWork = kLeastSharedWork;
    int32_t leastSharedImage = kLeastSharedImage;
};

// Runs every level and writes every element of `labels` (its contents on entry do not
// matter), with `cellSize` all zero and holding at least m*n entries (indexed by label). On
// return `cellSize` holds, for every label, the pixels it gained by growing and merging (0
// for merged-away labels).
void labellingCells(const matx& grey, matx& labels, int32_t* cellSize, double maxGrey,
                    double cellSizeLimit, double threshold);
// The same, on `threads`.
void labellingCellsOnThreads(const matx& grey, matx& labels, int32_t* cellSize, double maxGrey,
                             double cellSizeLimit, double threshold,
                             const LabellerThreads& threads);

// The same, with the labels written as int32 in row-major order (element r * n + c), as
// numpy holds them: what a host that returns integers in rows needs, without a detour
// through doubles.
void labellingCellsRowMajor(const matx& grey, int32_t* labels, int32_t* cellSize,
                            double maxGrey, double cellSizeLimit, double threshold,
                            const LabellerThreads& threads = {});

// The same again, from a grey image held by rows: the labeller reads the image only to sort
// its pixels by level, in row-major order, so such an image needs no conversion.
void labellingCellsRowMajor(const GreyRows& grey, int32_t* labels, int32_t* cellSize,
                            double maxGrey, double cellSizeLimit, double threshold,
                            const LabellerThreads& threads = {});

// A cell-size table of `pixels` zero entries, for labellingCells; std::bad_alloc when it
// cannot be had. It comes cleared from the C allocator, which for a large table hands out
// fresh pages that cost nothing until written: only the entries of issued labels, a small
// part of the table, ever are.
struct CellSizeRelease {
    void operator()(int32_t* table) const { std::free(table); }
};
using CellSizeTable = std::unique_ptr<int32_t[], CellSizeRelease>;
CellSizeTable allocateCellSizeTable(int32_t pixels);

// The largest element of `grey`, never below 0; NaN elements never count.
double largestGreyValue(const double* grey, int32_t count);

// Whether the level loop for this largest grey value comes to an end: the levels are whole
// numbers in doubles, and from 2^53 on adding 1 no longer changes one.
bool levelsAreFinite(double maxGrey);

// Every front end refuses such an image with these words.
inline constexpr char kEndlessLevelsMessage[] =
    "Image input must not hold Inf or values of 2^53-1 or more: the flooding levels would "
    "never end";
