#include "tests/reference/seedgrow_reference.h"

#include <algorithm>

namespace reference {

namespace {

constexpr double kFirstLevel = 1.0;
// Added to the level after each level; the level is never recomputed from a count, and
// the rounding of every addition is part of the result.
constexpr double kLevelStep = 0.05;
// A pixel counts as free (claimable) while its label value is below 1.0, and as labelled
// once it is above kUnlabelled.
constexpr double kFirstLabel = 1.0;
constexpr int kMostNeighbours = 4;

double valueAt(const matx& view, pixelPos pixel) {
    return view.col[pixel.column][pixel.row];
}

bool isLabelled(double label) {
    return label > kUnlabelled;
}

bool isFree(double label) {
    return label < kFirstLabel;
}

// The neighbours of `pixel` that lie inside the image, in the fixed order next column,
// previous column, previous row, next row; returns how many there are. The touch test,
// the claims and the final widening all go through them in this order.
int neighboursInside(const matx& image, pixelPos pixel, pixelPos neighbours[kMostNeighbours]) {
    int count = 0;
    if (pixel.column < image.n - 1) {
        neighbours[count++] = {pixel.column + 1, pixel.row};
    }
    if (pixel.column > 0) {
        neighbours[count++] = {pixel.column - 1, pixel.row};
    }
    if (pixel.row > 0) {
        neighbours[count++] = {pixel.column, pixel.row - 1};
    }
    if (pixel.row < image.m - 1) {
        neighbours[count++] = {pixel.column, pixel.row + 1};
    }
    return count;
}

double maximumOfView(const matx& grey) {
    double maxGrey = 0.0;
    for (int32_t c = 0; c < grey.n; ++c) {
        const double columnMax = maximumGrey(grey.col[c], grey.m);
        if (columnMax > maxGrey) {
            maxGrey = columnMax;
        }
    }
    return maxGrey;
}

// Rows outer, columns inner (not the storage order): seed labels are numbered row by row.
// Writes every label element; returns the number of seeds, all listed in `frontier`.
int32_t plantingSeeds(const matx& grey, matx& labels, double celllevel, pixelPos* frontier) {
    // Counting seeds rather than holding the next label keeps the count within int32 even
    // when every one of 2^31 - 1 pixels is a seed.
    int32_t seeds = 0;
    for (int32_t r = 0; r < grey.m; ++r) {
        for (int32_t c = 0; c < grey.n; ++c) {
            // Equal to celllevel, or NaN, is no seed.
            if (grey.col[c][r] > celllevel) {
                frontier[seeds] = {c, r};
                ++seeds;
                labels.col[c][r] = static_cast<double>(seeds);
            } else {
                labels.col[c][r] = kUnlabelled;
            }
        }
    }
    return seeds;
}

bool touchesOtherLabel(const matx& labels, double label, const pixelPos* neighbours, int count) {
    for (int k = 0; k < count; ++k) {
        const double other = valueAt(labels, neighbours[k]);
        if (isLabelled(other) && other != label) {
            return true;
        }
    }
    return false;
}

// A free neighbour whose grey value is strictly below the level (NaN never is).
bool isClaimable(const matx& grey, const matx& labels, pixelPos pixel, double level) {
    return isFree(valueAt(labels, pixel)) && valueAt(grey, pixel) < level;
}

// One level: walks the frontier in order and lists in `candidates` each entry followed by
// the neighbours it claimed. Claims are written at once, so later entries of the same walk
// see them in their touch tests and claims; claimed pixels are not walked until the next
// level. Returns the number of candidates.
int32_t spreadingAtLevel(const matx& grey, matx& labels, double level, const pixelPos* frontier,
                         int32_t frontierCount, pixelPos* candidates) {
    int32_t candidateCount = 0;
    for (int32_t k = 0; k < frontierCount; ++k) {
        const pixelPos entry = frontier[k];
        const double label = valueAt(labels, entry);
        // The entry stays in the frontier whether or not it spreads.
        candidates[candidateCount++] = entry;

        pixelPos neighbours[kMostNeighbours];
        const int count = neighboursInside(labels, entry, neighbours);
        if (touchesOtherLabel(labels, label, neighbours, count)) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            if (isClaimable(grey, labels, neighbours[i], level)) {
                labels.col[neighbours[i].column][neighbours[i].row] = label;
                candidates[candidateCount++] = neighbours[i];
            }
        }
    }
    return candidateCount;
}

// One more ring for every region, with no touch test: where regions meet, the first entry
// in frontier order that reaches a free pixel gives it its label. Nothing is listed, so
// the pixels labelled here hand nothing on.
void wideningRegions(const matx& grey, matx& labels, double level, const pixelPos* frontier,
                     int32_t frontierCount) {
    for (int32_t k = 0; k < frontierCount; ++k) {
        const pixelPos entry = frontier[k];
        const double label = valueAt(labels, entry);
        pixelPos neighbours[kMostNeighbours];
        const int count = neighboursInside(labels, entry, neighbours);
        for (int i = 0; i < count; ++i) {
            if (isClaimable(grey, labels, neighbours[i], level)) {
                labels.col[neighbours[i].column][neighbours[i].row] = label;
            }
        }
    }
}

}  // namespace

void spreadingLabels(const matx& grey, matx& labels, double celllevel, pixelPos* frontier,
                     pixelPos* candidates) {
    const double maxGrey = maximumOfView(grey);
    int32_t frontierCount = plantingSeeds(grey, labels, celllevel, frontier);

    double level = kFirstLevel;
    while (maxGrey >= level) {
        const int32_t candidateCount =
            spreadingAtLevel(grey, labels, level, frontier, frontierCount, candidates);
        std::copy(candidates, candidates + candidateCount, frontier);
        frontierCount = candidateCount;
        level += kLevelStep;
    }
    // `level` is now the first accumulated value above maxGrey (1.0 when no level ran), so
    // every pixel whose grey value is a number passes the grey test here.
    wideningRegions(grey, labels, level, frontier, frontierCount);
}

}  // namespace reference
