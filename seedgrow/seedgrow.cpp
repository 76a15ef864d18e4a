#include "seedgrow/seedgrow.h"

#include <algorithm>
#include <cmath>
#include <limits>

// The grower visits, at each level, only the frontier entries that can claim at it.
//
// Why that is exact. Labels never change once written: a claim turns a free pixel into a
// labelled one, and nothing turns a labelled pixel back. So
//   - an entry that touches a pixel of another label touches it at every later level and
//     never spreads again: it leaves the queue for good;
//   - the free neighbours of an entry only become fewer. An entry claims at a level only when
//     one of them has a grey value below the level; the smallest such grey value (its wake
//     value, NaN never counting) can only rise. An entry whose wake value is not below the
//     level when the level starts claims nothing at it, whatever the entries before it do,
//     and walking it changes nothing. An entry without a free neighbour whose grey value is
//     a number never claims again: it leaves the queue for good too.
// The queue is a min-heap on wake values. A value stored there may have become too low since
// (a neighbour was claimed by another entry), never too high, so the entries popped at a
// level are checked again before they are walked, and put back with their real value.
//
// Why label order is frontier order. Every labelled pixel descends, claim by claim, from the
// seed whose label it carries, and a claim enters the frontier right after its claimer. So
// the entries of one label always stand together in one run, and the runs stand in seed
// order, which is label order: read by labels, the frontier is 1 1 1 2 2 3 3 3 ... The order
// within a run never matters. Two entries of one label that follow each other in the walk
// leave the same labels whichever goes first: neither's claims change the other's touch test,
// which looks for other labels only, and a pixel that both could claim gets their one label
// either way; what they claim joins their run, wherever in it. So the entries that can claim
// at a level are walked in label order, ties in any order, each exactly as the frontier walk
// walks it: touch test, then claims, with the labels written so far at this level.
//
// The final widening has no touch test, so entries that left the queue for touching still
// widen. In label order, a free pixel takes the lowest label among its labelled neighbours.

namespace {

constexpr double kFirstLevel = 1.0;
// Added to the level after each level; the level is never recomputed from a count, and
// the rounding of every addition is part of the result.
constexpr double kLevelStep = 0.05;
// A pixel counts as free (claimable) while its label value is below 1.0, and as labelled
// once it is above kUnlabelled.
constexpr double kFirstLabel = 1.0;
// 2^49: from here on a double steps by 0.125, so adding 0.05 rounds back to the same value.
constexpr double kStuckLevel = 562949953421312.0;
// The wake value of an entry that no level can make claim: no free neighbour has a grey value
// below +Inf (a NaN never has).
constexpr double kNeverWakes = std::numeric_limits<double>::infinity();

constexpr int kMostNeighbours = 4;

struct Grower {
    const matx& grey;
    matx& labels;
    GrowthScratch& scratch;
};

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

// The smallest grey value among the free neighbours; kNeverWakes when there is none that is
// below +Inf.
double wakeValue(const matx& grey, const matx& labels, const pixelPos* neighbours, int count) {
    double wake = kNeverWakes;
    for (int k = 0; k < count; ++k) {
        const double value = valueAt(grey, neighbours[k]);
        if (isFree(valueAt(labels, neighbours[k])) && value < wake) {
            wake = value;
        }
    }
    return wake;
}

// --- The queue of entries that may still claim -------------------------------------------

bool wakesLater(const WakingEntry& a, const WakingEntry& b) {
    return a.wake > b.wake;
}

void pushWaking(GrowthScratch& s, double wake, pixelPos pixel) {
    s.waking.push_back({wake, pixel});
    std::push_heap(s.waking.begin(), s.waking.end(), wakesLater);
}

WakingEntry popWaking(GrowthScratch& s) {
    std::pop_heap(s.waking.begin(), s.waking.end(), wakesLater);
    const WakingEntry top = s.waking.back();
    s.waking.pop_back();
    return top;
}

// Queues `pixel` unless it can never claim again: it touches another label, or no free
// neighbour has a grey value that a level could pass.
void queueIfItMayClaim(Grower& g, pixelPos pixel) {
    pixelPos neighbours[kMostNeighbours];
    const int count = neighboursInside(g.labels, pixel, neighbours);
    if (touchesOtherLabel(g.labels, valueAt(g.labels, pixel), neighbours, count)) {
        return;
    }
    const double wake = wakeValue(g.grey, g.labels, neighbours, count);
    if (wake < kNeverWakes) {
        pushWaking(g.scratch, wake, pixel);
    }
}

// --- The steps of the grower --------------------------------------------------------------

// Rows outer, columns inner (not the storage order): seed labels are numbered row by row.
// Writes every label element.
void plantingSeeds(const matx& grey, matx& labels, double celllevel) {
    // Counting seeds rather than holding the next label keeps the count within int32 even
    // when every one of 2^31 - 1 pixels is a seed.
    int32_t seeds = 0;
    for (int32_t r = 0; r < grey.m; ++r) {
        for (int32_t c = 0; c < grey.n; ++c) {
            // Equal to celllevel, or NaN, is no seed.
            if (grey.col[c][r] > celllevel) {
                ++seeds;
                labels.col[c][r] = static_cast<double>(seeds);
            } else {
                labels.col[c][r] = kUnlabelled;
            }
        }
    }
}

// Queues every seed that may claim; only once all seed labels are written, which the touch
// tests read.
void queueingSeeds(Grower& g) {
    for (int32_t c = 0; c < g.labels.n; ++c) {
        for (int32_t r = 0; r < g.labels.m; ++r) {
            if (isLabelled(g.labels.col[c][r])) {
                queueIfItMayClaim(g, {c, r});
            }
        }
    }
}

// Takes from the queue the entries that can claim at `level`, as the labels stand when the
// level starts, in label order.
void gatheringBatch(Grower& g, double level) {
    GrowthScratch& s = g.scratch;
    s.batch.clear();
    while (!s.waking.empty() && s.waking.front().wake < level) {
        const pixelPos entry = popWaking(s).pixel;
        pixelPos neighbours[kMostNeighbours];
        const int count = neighboursInside(g.labels, entry, neighbours);
        if (touchesOtherLabel(g.labels, valueAt(g.labels, entry), neighbours, count)) {
            continue;
        }
        const double wake = wakeValue(g.grey, g.labels, neighbours, count);
        if (wake < level) {
            s.batch.push_back(entry);
        } else if (wake < kNeverWakes) {
            // A stale value: put back with the real one, which is not below the level, so
            // it is not popped again at this level.
            pushWaking(s, wake, entry);
        }
    }
    std::sort(s.batch.begin(), s.batch.end(),
              [&](pixelPos a, pixelPos b) { return valueAt(g.labels, a) < valueAt(g.labels, b); });
}

// One level: the entries that can claim, walked in label order, each exactly as the whole
// frontier is walked. Claims are written at once, so later entries see them in their touch
// tests and claims; claimed pixels wait in the queue for the next level.
void spreadingAtLevel(Grower& g, double level) {
    gatheringBatch(g, level);
    for (const pixelPos entry : g.scratch.batch) {
        const double label = valueAt(g.labels, entry);
        pixelPos neighbours[kMostNeighbours];
        const int count = neighboursInside(g.labels, entry, neighbours);
        if (touchesOtherLabel(g.labels, label, neighbours, count)) {
            continue;
        }
        for (int i = 0; i < count; ++i) {
            if (isClaimable(g.grey, g.labels, neighbours[i], level)) {
                g.labels.col[neighbours[i].column][neighbours[i].row] = label;
                queueIfItMayClaim(g, neighbours[i]);
            }
        }
        // Every free neighbour below the level is now claimed: the entry waits for a later
        // level, if any.
        queueIfItMayClaim(g, entry);
    }
}

// One more ring for every region, with no touch test: a free pixel takes the lowest label
// among its labelled neighbours. The pixels labelled here hand nothing on: they are written
// negated until every pixel has been looked at, so that they count as neither labelled nor
// free for their neighbours, which makes the order of the scan irrelevant.
void wideningRegions(const matx& grey, matx& labels, double level) {
    for (int32_t c = 0; c < labels.n; ++c) {
        for (int32_t r = 0; r < labels.m; ++r) {
            if (!isClaimable(grey, labels, {c, r}, level)) {
                continue;
            }
            pixelPos neighbours[kMostNeighbours];
            const int count = neighboursInside(labels, {c, r}, neighbours);
            double lowest = kNeverWakes;
            for (int i = 0; i < count; ++i) {
                const double label = valueAt(labels, neighbours[i]);
                if (isLabelled(label) && label < lowest) {
                    lowest = label;
                }
            }
            if (lowest < kNeverWakes) {
                labels.col[c][r] = -lowest;
            }
        }
    }
    for (int32_t c = 0; c < labels.n; ++c) {
        for (int32_t r = 0; r < labels.m; ++r) {
            labels.col[c][r] = std::fabs(labels.col[c][r]);
        }
    }
}

// Within a binade [2^e, 2^(e+1)) with 0 <= e <= 48, whose doubles lie `unit` = 2^(e-52)
// apart, adding 0.05 to a level x adds the same amount every time: the multiple of `unit`
// nearest to 0.05. There is never a tie: the lowest bit set in the double 0.05 is 2^-56,
// below half of any unit from 2^-52 on. This holds while the sum stays at most
// 2^(e+1) - unit, where the exact sum lies below 2^(e+1) - unit/2 and so rounds within the
// binade. Returns the level after as many such additions as the binade allows, stopping at
// the first level above `target`; `level` itself when no addition fits.
double jumpWithinBinade(double level, double target) {
    const int exponent = std::ilogb(level);
    if (exponent < 0 || exponent > 48) {
        return level;
    }
    const double base = std::ldexp(1.0, exponent);
    const double unit = std::ldexp(1.0, exponent - 52);
    // Scaling by a power of two is exact, and so are differences of doubles of one binade.
    const auto step = static_cast<int64_t>(std::llround(kLevelStep / unit));
    const auto at = static_cast<int64_t>((level - base) / unit);
    const int64_t lastInBinade = (int64_t{1} << 52) - 1;
    int64_t steps = (lastInBinade - at) / step;
    if (target < 2 * base) {
        const auto targetAt = static_cast<int64_t>((target - base) / unit);
        steps = std::min(steps, (targetAt - at) / step + 1);
    }
    // level + steps * step * unit is a double of the binade, so the sum is exact.
    return level + static_cast<double>(steps * step) * unit;
}

}  // namespace

GrowthScratch makeGrowthScratch(int32_t pixels) {
    const auto size = static_cast<std::size_t>(std::max(pixels, 0));
    GrowthScratch scratch;
    // Each pixel is queued at most once at a time, and the batch comes from the queue.
    scratch.waking.reserve(size);
    scratch.batch.reserve(size);
    return scratch;
}

void spreadingLabels(const matx& grey, matx& labels, double celllevel, GrowthScratch& scratch) {
    scratch.waking.clear();
    Grower g{grey, labels, scratch};
    const double maxGrey = maximumOfView(grey);
    plantingSeeds(grey, labels, celllevel);
    queueingSeeds(g);

    double level = kFirstLevel;
    while (maxGrey >= level && !scratch.waking.empty()) {
        const double wake = scratch.waking.front().wake;
        if (!(wake < level)) {
            // Levels up to the wake value change nothing; they are still accumulated one
            // addition at a time, which decides the level reached.
            const double next = firstLevelAbove(level, wake);
            if (next == level) {
                break;
            }
            level = next;
            continue;
        }
        spreadingAtLevel(g, level);
        level += kLevelStep;
    }
    // Where the loop of every level would stop: the first accumulated value above maxGrey
    // (1.0 when no level runs), so every pixel whose grey value is a number passes the grey
    // test here.
    wideningRegions(grey, labels, firstLevelAbove(level, maxGrey));
}

double maximumGrey(const double* grey, int32_t count) {
    double maxGrey = 0.0;
    for (int32_t k = 0; k < count; ++k) {
        // Strictly greater: NaN never replaces the maximum, nor does -0.0 replace 0.0.
        if (grey[k] > maxGrey) {
            maxGrey = grey[k];
        }
    }
    return maxGrey;
}

bool levelsPassMaximum(double maxGrey) {
    // Below 2^49 half the gap between doubles is at most 2^-5 < 0.05, so every addition
    // moves the level up, and no addition jumps a power of two: the level passes every
    // maximum below 2^49. At 2^49 half the gap is 2^-4 > 0.05, and the level stays there
    // for good. A NaN maximum is refused as well.
    return maxGrey < kStuckLevel;
}

double firstLevelAbove(double level, double target) {
    while (level <= target) {
        const double jumped = jumpWithinBinade(level, target);
        if (jumped != level) {
            level = jumped;
            continue;
        }
        const double next = level + kLevelStep;
        if (next == level) {
            break;
        }
        level = next;
    }
    return level;
}
