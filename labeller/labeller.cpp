#include "labeller/labeller.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

// The labeller visits only what can change.
//
// A level of the flood does four things, and each is done here in time proportional to the
// pixels it changes rather than to the image:
//   - flood:   pixels are sorted by the level that floods them (1 for values up to 1, else
//              the value rounded up), so a level floods just its own pixels;
//   - grow:    a pass claims exactly the flooded pixels that touch a cell, so those are
//              queued as they appear (a pixel flooded beside a cell, or a flooded neighbour of
//              a pixel that just became a cell) and a pass visits the queue only;
//   - search:  every window keeps its count of flooded pixels up to date; a count only rises
//              during the flood, so after each search every window is below 11 and only the
//              windows that reached 11 during this level's flood can start a cell;
//   - merge:   labels live in a union-find with per-label pixel counts, so a merge relabels
//              nothing. Only positions whose pair may merge are examined, in row-major order.
// A level at which none of this has anything to do changes nothing, and is skipped.
//
// Everything that decides the result is kept exactly: the row-major order of window centres
// and of merge positions, stamps taking effect at once, claims read from the state before
// each pass, the neighbour order, and the cell-size table.
//
// Why skipping positions in the merge pass is exact: the size entry of a living label never
// shrinks (growth adds, a survivor adds, a stamp takes pixels but not size), so a label that
// is not small never becomes small again. A pair that failed its test therefore fails at
// every later pass until one of its pixels changes label: by growth or a stamp (the position
// is queued then) or because one of its two labels is merged away (the position is watched
// under both labels and revived then). Under forced merging every examined pair merges, and
// forcing only ever stops, never starts, so no failed pair dates from a forced pass.

namespace {

struct Watch {
    int32_t position;  // row-major index of the examined pixel
    int32_t next;      // next watch of the same label, or kNoWatch
};
constexpr int32_t kNoWatch = -1;

// Working state. Pixels are addressed by their row-major index r * n + c: window centres and
// merge positions are visited in row-major order, and row-major indices sort into it.
struct Flood {
    int32_t m = 0;
    int32_t n = 0;
    double cellSizeLimit = 0;
    int32_t* cellSize = nullptr;
    int32_t lastLabel = kFlooded;

    // kNotFlooded, kFlooded or a cell label as written; a label merged away since resolves
    // through `parent`.
    std::vector<int32_t> pixel;
    // Per label: the label it was merged into (itself while it lives), the pixels carrying
    // it, and the first of the positions to examine again when it is merged away.
    std::vector<int32_t> parent;
    std::vector<int32_t> carriers;
    std::vector<int32_t> firstWatch;
    std::vector<Watch> watches;

    // Window centres run over rows 3..m-4 and columns 3..n-4; each counts its flooded pixels.
    int32_t centreRows = 0;
    int32_t centreCols = 0;
    std::vector<uint8_t> floodedInWindow;
    std::vector<int32_t> windowsReachingSeedCount;

    // Flooded pixels beside a cell, to be claimed by the next growth pass.
    std::vector<int32_t> growthQueue;
    std::vector<uint8_t> inGrowthQueue;
    std::vector<int32_t> frontier;
    std::vector<std::pair<int32_t, int32_t>> claims;  // pixel, label

    // Positions whose pairs may merge in the next merge pass.
    std::vector<int32_t> mergeQueue;
    std::vector<uint8_t> inMergeQueue;
    std::vector<int32_t> mergeBatch;
};

using PositionHeap = std::priority_queue<int32_t, std::vector<int32_t>, std::greater<int32_t>>;

int32_t currentLabel(Flood& f, int32_t label) {
    // Path halving: every other label on the way points to its grandparent.
    while (f.parent[label] != label) {
        f.parent[label] = f.parent[f.parent[label]];
        label = f.parent[label];
    }
    return label;
}

int32_t labelAt(Flood& f, int32_t p) {
    const int32_t value = f.pixel[p];
    return value < kFirstCellLabel ? value : currentLabel(f, value);
}

bool isSmall(const Flood& f, int32_t label) {
    return f.cellSizeLimit > static_cast<double>(f.cellSize[label]);
}

int32_t issueLabel(Flood& f) {
    const int32_t label = ++f.lastLabel;
    f.parent.push_back(label);
    f.carriers.push_back(0);
    f.firstWatch.push_back(kNoWatch);
    return label;
}

void queueGrowth(Flood& f, int32_t p) {
    if (f.pixel[p] == kFlooded && !f.inGrowthQueue[p]) {
        f.inGrowthQueue[p] = 1;
        f.growthQueue.push_back(p);
    }
}

void queueFloodedNeighbours(Flood& f, int32_t p) {
    const int32_t r = p / f.n;
    const int32_t c = p % f.n;
    if (c < f.n - 1) queueGrowth(f, p + 1);
    if (c > 0) queueGrowth(f, p - 1);
    if (r > 0) queueGrowth(f, p - f.n);
    if (r < f.m - 1) queueGrowth(f, p + f.n);
}

bool touchesCell(const Flood& f, int32_t p) {
    const int32_t r = p / f.n;
    const int32_t c = p % f.n;
    return (c < f.n - 1 && f.pixel[p + 1] >= kFirstCellLabel) ||
           (c > 0 && f.pixel[p - 1] >= kFirstCellLabel) ||
           (r > 0 && f.pixel[p - f.n] >= kFirstCellLabel) ||
           (r < f.m - 1 && f.pixel[p + f.n] >= kFirstCellLabel);
}

// The first cell among the four neighbours, in the order next column, previous column,
// previous row, next row.
int32_t firstNeighbouringCell(Flood& f, int32_t p) {
    const int32_t r = p / f.n;
    const int32_t c = p % f.n;
    if (c < f.n - 1 && f.pixel[p + 1] >= kFirstCellLabel) return labelAt(f, p + 1);
    if (c > 0 && f.pixel[p - 1] >= kFirstCellLabel) return labelAt(f, p - 1);
    if (r > 0 && f.pixel[p - f.n] >= kFirstCellLabel) return labelAt(f, p - f.n);
    return labelAt(f, p + f.n);
}

void queueMerge(Flood& f, int32_t position) {
    if (!f.inMergeQueue[position]) {
        f.inMergeQueue[position] = 1;
        f.mergeQueue.push_back(position);
    }
}

// A pixel that changes label changes the pairs examined at itself (with its right and lower
// neighbours), at its left neighbour and at its upper neighbour. Pairs are examined only from
// positions in rows 1..m-2 and columns 1..n-2.
void queueMergesAround(Flood& f, int32_t p) {
    const int32_t r = p / f.n;
    const int32_t c = p % f.n;
    const auto examined = [&f](int32_t row, int32_t col) {
        return row >= 1 && row <= f.m - 2 && col >= 1 && col <= f.n - 2;
    };
    if (examined(r, c)) queueMerge(f, p);
    if (examined(r, c - 1)) queueMerge(f, p - 1);
    if (examined(r - 1, c)) queueMerge(f, p - f.n);
}

// Every window holding pixel (r, c) gains or loses one flooded pixel.
void countFloodedChange(Flood& f, int32_t p, int delta) {
    const int32_t r = p / f.n;
    const int32_t c = p % f.n;
    const int32_t lastRow = f.m - 1 - kFirstWindowCentre;
    const int32_t lastCol = f.n - 1 - kFirstWindowCentre;
    for (int32_t cr = std::max(kFirstWindowCentre, r - kWindowHalfWidth);
         cr <= std::min(lastRow, r + kWindowHalfWidth); ++cr) {
        for (int32_t cc = std::max(kFirstWindowCentre, c - kWindowHalfWidth);
             cc <= std::min(lastCol, c + kWindowHalfWidth); ++cc) {
            const int32_t w = (cr - kFirstWindowCentre) * f.centreCols + (cc - kFirstWindowCentre);
            f.floodedInWindow[w] = static_cast<uint8_t>(f.floodedInWindow[w] + delta);
            if (delta > 0 && f.floodedInWindow[w] == kMinFloodedInWindow) {
                f.windowsReachingSeedCount.push_back(w);
            }
        }
    }
}

// Pixel p becomes part of cell `label`, by growth or by a stamp.
void joinCell(Flood& f, int32_t p, int32_t label) {
    const int32_t old = f.pixel[p];
    if (old == kFlooded) {
        countFloodedChange(f, p, -1);
    } else if (old >= kFirstCellLabel) {
        --f.carriers[currentLabel(f, old)];
    }
    f.pixel[p] = label;
    ++f.carriers[label];
    queueMergesAround(f, p);
    queueFloodedNeighbours(f, p);
}

void flood(Flood& f, int32_t p) {
    // A pixel stamped into a cell before its level has come stays in the cell.
    if (f.pixel[p] != kNotFlooded) {
        return;
    }
    f.pixel[p] = kFlooded;
    countFloodedChange(f, p, +1);
    if (touchesCell(f, p)) {
        queueGrowth(f, p);
    }
}

// One growth pass over the flooded pixels beside cells. Every claim is decided before any is
// made, so a pixel claimed in this pass hands its label on in the next pass only.
void growingCells(Flood& f) {
    f.frontier.clear();
    f.frontier.swap(f.growthQueue);
    f.claims.clear();
    for (const int32_t p : f.frontier) {
        f.inGrowthQueue[p] = 0;
        // A stamp may have taken a queued pixel since it was queued.
        if (f.pixel[p] == kFlooded) {
            f.claims.emplace_back(p, firstNeighbouringCell(f, p));
        }
    }
    for (const auto& [p, label] : f.claims) {
        joinCell(f, p, label);
        ++f.cellSize[label];
    }
}

void stampWindow(Flood& f, int32_t window, int32_t label) {
    const int32_t cr = kFirstWindowCentre + window / f.centreCols;
    const int32_t cc = kFirstWindowCentre + window % f.centreCols;
    for (int32_t r = cr - kWindowHalfWidth; r <= cr + kWindowHalfWidth; ++r) {
        for (int32_t c = cc - kWindowHalfWidth; c <= cc + kWindowHalfWidth; ++c) {
            joinCell(f, r * f.n + c, label);
        }
    }
}

// Window centres in row-major order, as a full scan would meet them. Counts only fall
// during the search (a stamp takes flooded pixels), so a window below 11 when the search
// starts stays below, and only the windows that reached 11 in this level's flood need a look.
void findingNewCells(Flood& f) {
    std::vector<int32_t>& windows = f.windowsReachingSeedCount;
    std::sort(windows.begin(), windows.end());
    for (const int32_t w : windows) {
        if (f.floodedInWindow[w] >= kMinFloodedInWindow) {
            stampWindow(f, w, issueLabel(f));
        }
    }
    windows.clear();
}

void watch(Flood& f, int32_t label, int32_t position) {
    f.watches.push_back({position, f.firstWatch[label]});
    f.firstWatch[label] = static_cast<int32_t>(f.watches.size() - 1);
}

// Positions watched under the absorbed label have a new pair now: those still ahead in this
// pass are examined in it, those behind it in the next pass.
void mergeTwoCells(Flood& f, int32_t absorbed, int32_t surviving, int32_t position,
                   PositionHeap& ahead) {
    f.parent[absorbed] = surviving;
    const int32_t relabelled = f.carriers[absorbed];
    f.carriers[surviving] += relabelled;
    f.carriers[absorbed] = 0;
    f.cellSize[surviving] += relabelled;
    f.cellSize[absorbed] = 0;
    for (int32_t w = f.firstWatch[absorbed]; w != kNoWatch; w = f.watches[w].next) {
        const int32_t watched = f.watches[w].position;
        if (watched > position) {
            ahead.push(watched);
        } else {
            queueMerge(f, watched);
        }
    }
    f.firstWatch[absorbed] = kNoWatch;
}

void examinePosition(Flood& f, int32_t p, bool forceMerge, PositionHeap& ahead) {
    const int32_t a = labelAt(f, p);
    if (a < kFirstCellLabel) {
        return;
    }
    // Next-column pair: either cell small is enough.
    const int32_t b = labelAt(f, p + 1);
    if (b >= kFirstCellLabel && b != a) {
        if (isSmall(f, a) || isSmall(f, b) || forceMerge) {
            mergeTwoCells(f, b, a, p, ahead);
        } else {
            watch(f, a, p);
            watch(f, b, p);
        }
    }
    // Next-row pair, read after the merge above: both cells must be small.
    const int32_t below = labelAt(f, p + f.n);
    if (below >= kFirstCellLabel && below != a) {
        if ((isSmall(f, a) && isSmall(f, below)) || forceMerge) {
            mergeTwoCells(f, below, a, p, ahead);
        } else {
            watch(f, a, p);
            watch(f, below, p);
        }
    }
}

void mergeCells(Flood& f, bool forceMerge) {
    std::vector<int32_t>& batch = f.mergeBatch;
    batch.clear();
    batch.swap(f.mergeQueue);
    for (const int32_t p : batch) {
        f.inMergeQueue[p] = 0;
    }
    std::sort(batch.begin(), batch.end());
    PositionHeap ahead;
    size_t next = 0;
    int32_t previous = -1;
    while (next < batch.size() || !ahead.empty()) {
        int32_t p;
        if (!ahead.empty() && (next == batch.size() || ahead.top() < batch[next])) {
            p = ahead.top();
            ahead.pop();
        } else {
            p = batch[next++];
        }
        if (p != previous) {
            examinePosition(f, p, forceMerge, ahead);
            previous = p;
        }
    }
}

// The level at which a grey value floods: the first of 1, 2, 3, ... not below it.
double floodingLevel(double grey) { return grey <= 1.0 ? 1.0 : std::ceil(grey); }

// Pixels that flood at some level up to lastLevel, by that level.
std::vector<std::pair<double, int32_t>> pixelsByFloodingLevel(const matx& grey, double lastLevel) {
    std::vector<std::pair<double, int32_t>> order;
    for (int32_t r = 0; r < grey.m; ++r) {
        for (int32_t c = 0; c < grey.n; ++c) {
            const double g = grey.col[c][r];
            // NaN fails the test and never floods.
            if (g > 0 && floodingLevel(g) <= lastLevel) {
                order.emplace_back(floodingLevel(g), r * grey.n + c);
            }
        }
    }
    std::sort(order.begin(), order.end());
    return order;
}

void prepare(Flood& f, const matx& grey, int32_t* cellSize, double cellSizeLimit) {
    f.m = grey.m;
    f.n = grey.n;
    f.cellSize = cellSize;
    f.cellSizeLimit = cellSizeLimit;
    const size_t pixels = static_cast<size_t>(f.m) * static_cast<size_t>(f.n);
    f.pixel.assign(pixels, kNotFlooded);
    f.inGrowthQueue.assign(pixels, 0);
    f.inMergeQueue.assign(pixels, 0);
    // Labels 0 and 1 are not cells; they take places so that labels index directly.
    f.parent = {kNotFlooded, kFlooded};
    f.carriers = {0, 0};
    f.firstWatch = {kNoWatch, kNoWatch};
    f.centreRows = std::max(0, f.m - 2 * kFirstWindowCentre);
    f.centreCols = std::max(0, f.n - 2 * kFirstWindowCentre);
    f.floodedInWindow.assign(static_cast<size_t>(f.centreRows) * f.centreCols, 0);
}

void writeLabels(Flood& f, matx& labels) {
    for (int32_t r = 0; r < f.m; ++r) {
        for (int32_t c = 0; c < f.n; ++c) {
            labels.col[c][r] = static_cast<double>(labelAt(f, r * f.n + c));
        }
    }
}

}  // namespace

void labellingCells(const matx& grey, matx& labels, int32_t* cellSize, double maxGrey,
                    double cellSizeLimit, double threshold) {
    Flood f;
    prepare(f, grey, cellSize, cellSizeLimit);
    const double lastLevel = maxGrey + 1.0;
    const std::vector<std::pair<double, int32_t>> order = pixelsByFloodingLevel(grey, lastLevel);

    size_t nextToFlood = 0;
    double level = 1.0;
    while (level <= lastLevel) {
        for (; nextToFlood < order.size() && order[nextToFlood].first == level; ++nextToFlood) {
            flood(f, order[nextToFlood].second);
        }
        for (int pass = 0; pass < kGrowthPassesPerLevel && !f.growthQueue.empty(); ++pass) {
            growingCells(f);
        }
        if (!f.windowsReachingSeedCount.empty()) {
            findingNewCells(f);
        }
        if (!f.mergeQueue.empty()) {
            // Strictly above the level; a NaN threshold never forces.
            mergeCells(f, threshold > level);
        }
        if (f.growthQueue.empty() && f.mergeQueue.empty()) {
            // Nothing is left to grow or to merge: the levels up to the next one that floods a
            // pixel would change nothing.
            if (nextToFlood == order.size()) {
                break;
            }
            level = order[nextToFlood].first;
        } else {
            level += 1.0;
        }
    }
    writeLabels(f, labels);
}

double largestGreyValue(const double* grey, int32_t count) {
    double maxGrey = 0.0;
    for (int32_t k = 0; k < count; ++k) {
        if (grey[k] > maxGrey) {
            maxGrey = grey[k];
        }
    }
    return maxGrey;
}

bool levelsAreFinite(double maxGrey) {
    constexpr double kFirstUnsteppableLevel = 9007199254740992.0;  // 2^53
    return maxGrey + 1.0 < kFirstUnsteppableLevel;
}
