#include "tests/reference/labeller_reference.h"

#include <cstddef>
#include <vector>

namespace reference {

namespace {

int32_t labelAt(const matx& labels, int32_t row, int32_t column) {
    return static_cast<int32_t>(labels.col[column][row]);
}

void setLabel(matx& labels, int32_t row, int32_t column, int32_t label) {
    labels.col[column][row] = static_cast<double>(label);
}

struct PendingClaim {
    int32_t column;
    int32_t row;
    int32_t label;
};

// The first cell among the four neighbours, in the fixed order next column, previous column,
// previous row, next row; kNotFlooded when no neighbour is in a cell.
int32_t firstNeighbouringCell(const matx& labels, int32_t m, int32_t n, int32_t row,
                              int32_t column) {
    if (column < n - 1 && labelAt(labels, row, column + 1) > kFlooded) {
        return labelAt(labels, row, column + 1);
    }
    if (column > 0 && labelAt(labels, row, column - 1) > kFlooded) {
        return labelAt(labels, row, column - 1);
    }
    if (row > 0 && labelAt(labels, row - 1, column) > kFlooded) {
        return labelAt(labels, row - 1, column);
    }
    if (row < m - 1 && labelAt(labels, row + 1, column) > kFlooded) {
        return labelAt(labels, row + 1, column);
    }
    return kNotFlooded;
}

int32_t countFloodedInWindow(const matx& labels, int32_t row, int32_t column) {
    int32_t count = 0;
    for (int32_t r = row - kWindowHalfWidth; r <= row + kWindowHalfWidth; ++r) {
        for (int32_t c = column - kWindowHalfWidth; c <= column + kWindowHalfWidth; ++c) {
            if (labelAt(labels, r, c) == kFlooded) {
                ++count;
            }
        }
    }
    return count;
}

void stampWindow(matx& labels, int32_t row, int32_t column, int32_t label) {
    for (int32_t r = row - kWindowHalfWidth; r <= row + kWindowHalfWidth; ++r) {
        for (int32_t c = column - kWindowHalfWidth; c <= column + kWindowHalfWidth; ++c) {
            setLabel(labels, r, c, label);
        }
    }
}

// "Small" compares as doubles, so a NaN limit makes no cell small.
bool isSmall(double cellSizeLimit, const int32_t* cellSize, int32_t label) {
    return cellSizeLimit > static_cast<double>(cellSize[label]);
}

void floodStep(const matx& grey, matx& labels, double level) {
    for (int32_t r = 0; r < grey.m; ++r) {
        for (int32_t c = 0; c < grey.n; ++c) {
            const double g = grey.col[c][r];
            // NaN fails both comparisons and is never flooded.
            if (g <= level && g > 0 && labelAt(labels, r, c) < kFirstCellLabel) {
                setLabel(labels, r, c, kFlooded);
            }
        }
    }
}

}  // namespace

void growingCells(const matx& grey, matx& labels, int32_t* cellSize) {
    const int32_t m = grey.m;
    const int32_t n = grey.n;
    // Room for one claim per pixel, as the pass was first written; claims never exceed it.
    std::vector<PendingClaim> pending;
    pending.reserve(static_cast<std::size_t>(m) * static_cast<std::size_t>(n));
    for (int32_t r = 0; r < m; ++r) {
        for (int32_t c = 0; c < n; ++c) {
            if (labelAt(labels, r, c) != kFlooded) {
                continue;
            }
            const int32_t cell = firstNeighbouringCell(labels, m, n, r, c);
            if (cell != kNotFlooded) {
                pending.push_back({c, r, cell});
            }
        }
    }
    // Claims are applied only after the scan: a pixel claimed in this pass hands its label
    // on in the next pass, not in this one.
    for (const PendingClaim& claim : pending) {
        setLabel(labels, claim.row, claim.column, claim.label);
        ++cellSize[claim.label];
    }
}

int32_t findingNewCells(const matx& grey, matx& labels, int32_t lastLabel) {
    for (int32_t r = kFirstWindowCentre; r <= grey.m - 1 - kFirstWindowCentre; ++r) {
        for (int32_t c = kFirstWindowCentre; c <= grey.n - 1 - kFirstWindowCentre; ++c) {
            // A stamp takes effect at once: later windows see its pixels as cell pixels.
            if (countFloodedInWindow(labels, r, c) >= kMinFloodedInWindow) {
                ++lastLabel;
                stampWindow(labels, r, c, lastLabel);
            }
        }
    }
    return lastLabel;
}

void mergeCells(matx& labels, int32_t* cellSize, double cellSizeLimit, bool forceMerge) {
    for (int32_t r = 1; r <= labels.m - 2; ++r) {
        for (int32_t c = 1; c <= labels.n - 2; ++c) {
            const int32_t a = labelAt(labels, r, c);
            if (a <= kFlooded) {
                continue;
            }
            // Next-column pair: either cell small is enough.
            const int32_t b = labelAt(labels, r, c + 1);
            if (b > kFlooded && b != a &&
                (isSmall(cellSizeLimit, cellSize, a) || isSmall(cellSizeLimit, cellSize, b) ||
                 forceMerge)) {
                mergeTwoCells(labels, cellSize, b, a);
            }
            // Next-row pair, read after the merge above: both cells must be small.
            const int32_t below = labelAt(labels, r + 1, c);
            if (below > kFlooded && below != a &&
                ((isSmall(cellSizeLimit, cellSize, a) && isSmall(cellSizeLimit, cellSize, below)) ||
                 forceMerge)) {
                mergeTwoCells(labels, cellSize, below, a);
            }
        }
    }
}

void mergeTwoCells(matx& labels, int32_t* cellSize, int32_t absorbed, int32_t surviving) {
    int32_t relabelled = 0;
    for (int32_t r = 0; r < labels.m; ++r) {
        for (int32_t c = 0; c < labels.n; ++c) {
            if (labelAt(labels, r, c) == absorbed) {
                setLabel(labels, r, c, surviving);
                ++relabelled;
            }
        }
    }
    // The survivor grows by the pixels relabelled, not by the absorbed cell's entry.
    cellSize[surviving] += relabelled;
    cellSize[absorbed] = 0;
}

void labellingCells(const matx& grey, matx& labels, int32_t* cellSize, double maxGrey,
                    double cellSizeLimit, double threshold) {
    int32_t lastLabel = kFlooded;
    const double lastLevel = maxGrey + 1.0;
    for (double level = 1.0; level <= lastLevel; level += 1.0) {
        floodStep(grey, labels, level);
        for (int pass = 0; pass < kGrowthPassesPerLevel; ++pass) {
            growingCells(grey, labels, cellSize);
        }
        lastLabel = findingNewCells(grey, labels, lastLabel);
        // Strictly above the level; a NaN threshold never forces.
        const bool forceMerge = threshold > level;
        mergeCells(labels, cellSize, cellSizeLimit, forceMerge);
    }
}

}  // namespace reference
