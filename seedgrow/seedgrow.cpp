#include "seedgrow/seedgrow.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

// The grower visits, at each level, only the frontier entries that may claim at it.
//
// Why that is exact. Labels never change once written: a claim turns a free pixel into a
// labelled one, and nothing turns a labelled pixel back. So
//   - an entry that touches a pixel of another label touches it at every later level and
//     never spreads again: it leaves the queue for good;
//   - the free neighbours of an entry only become fewer. An entry claims at a level only when
//     one of them has a grey value below the level; the smallest such grey value (its wake
//     value, NaN never counting) can only rise. An entry claims nothing before the first
//     level above its wake value, whatever the entries before it do, and walking it there
//     changes nothing. An entry without a free neighbour whose grey value is a number never
//     claims again: it leaves the queue for good too.
// The queue holds each entry under the index of the first level above its wake value. That
// index may have become too low since (a neighbour was claimed by another entry), never too
// high; an entry walked too early claims nothing and goes back under its real index.
//
// Why label order is frontier order. Every labelled pixel descends, claim by claim, from the
// seed whose label it carries, and a claim enters the frontier right after its claimer. So
// the entries of one label always stand together in one run, and the runs stand in seed
// order, which is label order: read by labels, the frontier is 1 1 1 2 2 3 3 3 ... The order
// within a run never matters. Two entries of one label that follow each other in the walk
// leave the same labels whichever goes first: neither's claims change the other's touch test,
// which looks for other labels only, and a pixel that both could claim gets their one label
// either way; what they claim joins their run, wherever in it. So the entries the queue hands
// out for a level are walked in label order, and each as the frontier walk walks it: touch
// test, then claims, with the labels written so far at this level. What they claim is queued
// under a later level, never the current one.
//
// The final widening has no touch test, so entries that left the queue for touching still
// widen. In label order, a free pixel takes the lowest label among its labelled neighbours.

namespace {

// Added to the level after each level; the level is never recomputed from a count, and
// the rounding of every addition is part of the result.
constexpr double kLevelStep = 0.05;
constexpr double kFirstLevel = 1.0;
// A pixel counts as free (claimable) while its label value is below 1.0, and as labelled
// once it is above kUnlabelled.
constexpr double kFirstLabel = 1.0;
// 2^49: from here on a double steps by 0.125, so adding 0.05 rounds back to the same value.
constexpr double kStuckLevel = 562949953421312.0;
// The wake value of an entry that no level can make claim: no free neighbour has a grey value
// below +Inf (a NaN never has).
constexpr double kNeverWakes = std::numeric_limits<double>::infinity();

constexpr int kMostNeighbours = 4;

struct LevelQueue;

struct Grower {
    const matx& grey;
    matx& labels;
    LevelQueue& queue;
    const LevelTable& levels;
};

double valueAt(const matx& view, pixelPos pixel) {
    return view.col[pixel.column][pixel.row];
}

int32_t indexOf(const matx& image, pixelPos pixel) {
    return pixel.column * image.m + pixel.row;
}

pixelPos pixelAt(const matx& image, int32_t index) {
    return {index / image.m, index % image.m};
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

// As maximumGrey over every column, in one loop that keeps the running maximum in a register.
double maximumOfView(const matx& grey) {
    double maxGrey = 0.0;
    for (int32_t c = 0; c < grey.n; ++c) {
        const double* column = grey.col[c];
        for (int32_t r = 0; r < grey.m; ++r) {
            // Strictly greater: NaN never replaces the maximum, nor does -0.0 replace 0.0.
            if (column[r] > maxGrey) {
                maxGrey = column[r];
            }
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

// A free pixel whose grey value is strictly below the level (NaN never is).
bool isClaimable(const matx& grey, const matx& labels, pixelPos pixel, double level) {
    return isFree(valueAt(labels, pixel)) && valueAt(grey, pixel) < level;
}

// --- The queue of entries that may still claim -------------------------------------------

// A radix heap on level indices. Bucket 0 holds the entries of level `current`; bucket b > 0
// those whose index first differs from `current` in bit b - 1, so every index in bucket b
// is below every index in bucket b + 1. Indices only ever rise: what is queued while level
// `current` is walked lies above it. Moving to the next level takes the lowest non-empty
// bucket, makes its least index current and spreads the bucket over the buckets below;
// an entry only ever moves down, so at most 64 times.
constexpr int kBuckets = 65;
constexpr int32_t kNoPixel = -1;

struct LevelQueue {
    QueueLink* links;
    int32_t head[kBuckets];
    int64_t current;
    int64_t size;
};

// 1 + the highest bit in which `level` differs from the current index; 0 when it does not.
int bucketFor(const LevelQueue& q, int64_t level) {
    uint64_t differing = static_cast<uint64_t>(level) ^ static_cast<uint64_t>(q.current);
    if (differing == 0) {
        return 0;
    }
#if defined(__GNUC__) || defined(__clang__)
    return 64 - __builtin_clzll(differing);
#else
    int bucket = 1;
    for (int shift = 32; shift > 0; shift /= 2) {
        if ((differing >> shift) != 0) {
            differing >>= shift;
            bucket += shift;
        }
    }
    return bucket;
#endif
}

void link(LevelQueue& q, int bucket, int32_t pixel) {
    q.links[pixel].next = q.head[bucket];
    q.head[bucket] = pixel;
}

void enqueue(LevelQueue& q, int32_t pixel, int64_t level) {
    q.links[pixel].level = level;
    link(q, bucketFor(q, level), pixel);
    ++q.size;
}

// Makes the least queued index current. Bucket 0 must be empty and the queue not.
void advancingLevel(LevelQueue& q) {
    int bucket = 1;
    while (q.head[bucket] == kNoPixel) {
        ++bucket;
    }
    int64_t least = std::numeric_limits<int64_t>::max();
    for (int32_t p = q.head[bucket]; p != kNoPixel; p = q.links[p].next) {
        least = std::min(least, q.links[p].level);
    }
    q.current = least;
    int32_t p = q.head[bucket];
    q.head[bucket] = kNoPixel;
    while (p != kNoPixel) {
        const int32_t following = q.links[p].next;
        link(q, bucketFor(q, q.links[p].level), p);
        p = following;
    }
}

// Queues an entry under the first level above `wake`, and after the current level `index`,
// unless no level is above it.
void queueAt(Grower& g, double wake, int64_t index, pixelPos pixel) {
    const int64_t level = firstLevelAbove(g.levels, wake);
    if (level != kNoLevelAbove) {
        enqueue(g.queue, indexOf(g.grey, pixel), std::max(level, index + 1));
    }
}

// Queues a pixel just claimed at level `index`, unless it can never claim: it touches
// another label, or no free neighbour has a grey value that a level could pass.
void queueClaimed(Grower& g, pixelPos pixel, double label, int64_t index) {
    pixelPos neighbours[kMostNeighbours];
    const int count = neighboursInside(g.labels, pixel, neighbours);
    double wake = kNeverWakes;
    for (int k = 0; k < count; ++k) {
        const double other = valueAt(g.labels, neighbours[k]);
        if (isFree(other)) {
            wake = std::min(wake, valueAt(g.grey, neighbours[k]));
        } else if (other != label) {
            return;
        }
    }
    if (wake < kNeverWakes) {
        queueAt(g, wake, index, pixel);
    }
}

// --- The steps of the grower --------------------------------------------------------------

// Rows outer, columns inner (not the storage order): seed labels are numbered row by row.
// Writes every label element and hands each seed, in that order, to `onSeed`; returns the
// number of seeds.
template <class OnSeed>
int32_t plantingSeeds(const matx& grey, matx& labels, double celllevel, OnSeed onSeed) {
    // Counting seeds rather than holding the next label keeps the count within int32 even
    // when every one of 2^31 - 1 pixels is a seed.
    int32_t seeds = 0;
    for (int32_t r = 0; r < grey.m; ++r) {
        for (int32_t c = 0; c < grey.n; ++c) {
            // Equal to celllevel, or NaN, is no seed.
            if (grey.col[c][r] > celllevel) {
                ++seeds;
                const auto label = static_cast<double>(seeds);
                labels.col[c][r] = label;
                onSeed(label, pixelPos{c, r});
            } else {
                labels.col[c][r] = kUnlabelled;
            }
        }
    }
    return seeds;
}

// Takes the entries of the current level out of the queue, in label order, which is frontier
// order; within a label any order will do.
void takingLevel(Grower& g, std::vector<ClaimingEntry>& batch) {
    LevelQueue& q = g.queue;
    batch.clear();
    for (int32_t p = q.head[0]; p != kNoPixel; p = q.links[p].next) {
        const pixelPos pixel = pixelAt(g.grey, p);
        batch.push_back({valueAt(g.labels, pixel), pixel});
    }
    q.head[0] = kNoPixel;
    q.size -= static_cast<int64_t>(batch.size());
    std::sort(batch.begin(), batch.end(),
              [](const ClaimingEntry& a, const ClaimingEntry& b) { return a.label < b.label; });
}

// One entry at the level of index `index`, exactly as the frontier walk walks it: nothing
// when it touches another label, else every claimable neighbour in order. Claims are written
// at once, so later entries see them in their touch tests and claims, and wait in the queue
// for a later level. The entry itself goes back under the level of its remaining free
// neighbours, if any.
void walkingEntry(Grower& g, const ClaimingEntry& entry, int64_t index, double level) {
    pixelPos neighbours[kMostNeighbours];
    const int count = neighboursInside(g.labels, entry.pixel, neighbours);
    if (touchesOtherLabel(g.labels, entry.label, neighbours, count)) {
        return;
    }
    double wake = kNeverWakes;
    for (int i = 0; i < count; ++i) {
        if (!isFree(valueAt(g.labels, neighbours[i]))) {
            continue;
        }
        const double value = valueAt(g.grey, neighbours[i]);
        if (value < level) {
            g.labels.col[neighbours[i].column][neighbours[i].row] = entry.label;
            queueClaimed(g, neighbours[i], entry.label, index);
        } else {
            wake = std::min(wake, value);
        }
    }
    if (wake < kNeverWakes) {
        queueAt(g, wake, index, entry.pixel);
    }
}

// One more ring for every region, with no touch test: a free pixel takes the lowest label
// among its labelled neighbours. The pixels labelled here hand nothing on: they are listed
// first and labelled once every pixel has been looked at, so the order of the scan does not
// matter.
void wideningRegions(const matx& grey, matx& labels, double level,
                     std::vector<ClaimingEntry>& widened) {
    widened.clear();
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
                if (isLabelled(label)) {
                    lowest = std::min(lowest, label);
                }
            }
            if (lowest < kNeverWakes) {
                widened.push_back({lowest, {c, r}});
            }
        }
    }
    for (const ClaimingEntry& pixel : widened) {
        labels.col[pixel.pixel.column][pixel.pixel.row] = pixel.label;
    }
}

// The final widening when no level ran: the frontier is then the seeds in label order, and
// is walked as the whole frontier is, each entry labelling its claimable neighbours.
void wideningFromSeeds(const matx& grey, matx& labels, double level,
                       const std::vector<ClaimingEntry>& seeds) {
    for (const ClaimingEntry& seed : seeds) {
        pixelPos neighbours[kMostNeighbours];
        const int count = neighboursInside(labels, seed.pixel, neighbours);
        for (int i = 0; i < count; ++i) {
            if (isClaimable(grey, labels, neighbours[i], level)) {
                labels.col[neighbours[i].column][neighbours[i].row] = seed.label;
            }
        }
    }
}

constexpr int kMantissaBits = 52;
constexpr int kExponentBias = 1023;

uint64_t bitsOf(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// The exponent e of a positive normal double, which lies in [2^e, 2^(e+1)).
int binadeOf(double value) {
    return static_cast<int>(bitsOf(value) >> kMantissaBits) - kExponentBias;
}

int64_t mantissaOf(double value) {
    return static_cast<int64_t>(bitsOf(value) & ((uint64_t{1} << kMantissaBits) - 1));
}

// 2^e, for -1022 <= e <= 1023.
double powerOfTwo(int e) {
    const uint64_t bits = static_cast<uint64_t>(e + kExponentBias) << kMantissaBits;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// The spacing of the doubles in the binade [2^e, 2^(e+1)).
double binadeUnit(int e) {
    return powerOfTwo(e - kMantissaBits);
}

}  // namespace

GrowthScratch makeGrowthScratch(int32_t pixels) {
    const auto size = static_cast<std::size_t>(std::max(pixels, 0));
    GrowthScratch scratch;
    scratch.queue.reset(new QueueLink[size]);
    // Each pixel is queued at most once at a time, and a level's entries come from the queue.
    scratch.batch.reserve(size);
    return scratch;
}

void spreadingLabels(const matx& grey, matx& labels, double celllevel, GrowthScratch& scratch) {
    const double maxGrey = maximumOfView(grey);
    if (!(maxGrey >= kFirstLevel)) {
        // No level runs: the frontier is the seeds in label order, widened at the first level.
        std::vector<ClaimingEntry>& seeds = scratch.batch;
        seeds.clear();
        plantingSeeds(grey, labels, celllevel, [&](double label, pixelPos pixel) {
            // Field by field: a whole-record copy out of two smaller stores stalls.
            seeds.emplace_back();
            seeds.back().label = label;
            seeds.back().pixel = pixel;
        });
        wideningFromSeeds(grey, labels, kFirstLevel, seeds);
        return;
    }
    const LevelTable levels = levelTable(maxGrey);
    // The levels the plain loop visits are those of index below `stop`: up to the last one
    // not above the largest grey value (all of them when the level sticks at 2^49 below it).
    const int64_t stop = firstLevelAbove(levels, maxGrey);
    LevelQueue queue;
    queue.links = scratch.queue.get();
    std::fill(std::begin(queue.head), std::end(queue.head), kNoPixel);
    queue.current = 0;
    queue.size = 0;
    Grower g{grey, labels, queue, levels};
    // Every seed is walked at the first level, once all seed labels are written.
    const int32_t seeds = plantingSeeds(grey, labels, celllevel, [&](double, pixelPos pixel) {
        enqueue(queue, indexOf(grey, pixel), 0);
    });
    if (seeds == 0) {
        // No label to spread or widen: every level, and the widening, change nothing.
        return;
    }
    while (queue.size > 0) {
        if (queue.head[0] == kNoPixel) {
            advancingLevel(queue);
        }
        const int64_t index = queue.current;
        if (index >= stop) {
            break;
        }
        takingLevel(g, scratch.batch);
        const double level = levelAt(levels, index);
        for (const ClaimingEntry& entry : scratch.batch) {
            walkingEntry(g, entry, index, level);
        }
    }
    // The level at which the plain loop stops, above the largest grey value, so every pixel
    // whose grey value is a number passes the grey test here.
    wideningRegions(grey, labels, levelAt(levels, stop), scratch.batch);
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

// Within the binade [2^e, 2^(e+1)), whose doubles lie `unit` = 2^(e-52) apart, adding 0.05 to
// a level x gives x plus the multiple of `unit` nearest to 0.05. There is never a tie: the
// lowest bit set in the double 0.05 is 2^-56, below half of any unit from 2^-52 on (e >= 0).
// That holds while x plus this step is at most 2^(e+1) - unit, for then the exact sum lies
// below 2^(e+1) - unit/2 and rounds within the binade; the step after the last such level
// leaves the binade. Up to e = 48 the step is at least one unit, so the level rises; at 2^49
// half a unit exceeds 0.05 and the level stays.
LevelTable levelTable(double upTo) {
    LevelTable table;
    double level = kFirstLevel;
    int64_t index = 0;
    for (int e = 0; e < kLevelBinades; ++e) {
        table.binades = e + 1;
        table.firstIndex[e] = index;
        table.firstLevel[e] = level;
        table.step[e] = 0;
        if (level > upTo) {
            // The first level above upTo is known: no later binade is needed.
            return table;
        }
        const double base = powerOfTwo(e);
        const double unit = binadeUnit(e);
        table.step[e] = static_cast<int64_t>(std::llround(kLevelStep / unit));
        // Scaling by a power of two is exact, and so are differences of doubles of one binade.
        const auto at = static_cast<int64_t>((level - base) / unit);
        const int64_t lastInBinade = (int64_t{1} << kMantissaBits) - 1;
        const int64_t steps = (lastInBinade - at) / table.step[e];
        level += static_cast<double>(steps * table.step[e]) * unit;
        level += kLevelStep;
        index += steps + 1;
    }
    table.binades = kLevelBinades + 1;
    table.firstIndex[kLevelBinades] = index;
    table.firstLevel[kLevelBinades] = level;
    return table;
}

double levelAt(const LevelTable& levels, int64_t index) {
    const int e = static_cast<int>(std::upper_bound(levels.firstIndex,
                                                    levels.firstIndex + levels.binades, index) -
                                   levels.firstIndex) -
                  1;
    if (e == kLevelBinades) {
        return levels.firstLevel[kLevelBinades];
    }
    return levels.firstLevel[e] +
           static_cast<double>((index - levels.firstIndex[e]) * levels.step[e]) * binadeUnit(e);
}

int64_t firstLevelAbove(const LevelTable& levels, double value) {
    if (value < levels.firstLevel[0]) {
        return 0;
    }
    if (!(value < kStuckLevel)) {
        return kNoLevelAbove;
    }
    // A double of the binade [2^e, 2^(e+1)) lies its mantissa bits' worth of units above 2^e.
    const int e = binadeOf(value);
    if (value < levels.firstLevel[e]) {
        return levels.firstIndex[e];
    }
    const int64_t offset = mantissaOf(value) - mantissaOf(levels.firstLevel[e]);
    return std::min(levels.firstIndex[e] + offset / levels.step[e] + 1, levels.firstIndex[e + 1]);
}
