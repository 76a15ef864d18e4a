#pragma once

// The labeller written plainly, step by step, as the reference the module's labeller is
// tested against: every level scans the whole image for the flood, each of the ten growth
// passes and the window search, and every merge rescans the image. Results, including the
// cell-size table, must match the module's labeller bit for bit.

#include <cstdint>

#include "labeller/labeller.h"
#include "matx/matx.h"

namespace reference {

// Same contract as ::labellingCells.
void labellingCells(const matx& grey, matx& labels, int32_t* cellSize, double maxGrey,
                    double cellSizeLimit, double threshold);

// One growth pass: every flooded pixel beside a cell joins the first such neighbour in the
// order next column, previous column, previous row, next row. All claims of a pass are read
// from the labels before it. Only grey's m and n are used.
void growingCells(const matx& grey, matx& labels, int32_t* cellSize);

// Stamps a new cell over every 5x5 window with at least 11 flooded pixels; returns the new
// highest label. Only grey's m and n are used.
int32_t findingNewCells(const matx& grey, matx& labels, int32_t lastLabel);

// Merges touching cells: a next-column pair when either cell is small, a next-row pair when
// both are, any pair when forceMerge. The visited pixel's cell survives.
void mergeCells(matx& labels, int32_t* cellSize, double cellSizeLimit, bool forceMerge);

// Relabels every pixel of `absorbed` to `surviving` and moves the count of pixels relabelled
// into the survivor's size entry.
void mergeTwoCells(matx& labels, int32_t* cellSize, int32_t absorbed, int32_t surviving);

}  // namespace reference
