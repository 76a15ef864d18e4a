#include "seedgrow/seedgrow.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "matx/bits.h"
#include "matx/digit_sort.h"
#include "matx/largest_value.h"
#include "matx/phases.h"
#include "matx/prefetch.h"
#include "matx/sse2.h"

// The grower walks, at each level, only the frontier entries that may claim at it, and finds
// them without a priority queue.
//
// Why that is exact. Labels never change once written: a claim turns a free pixel into a
// labelled one, and nothing turns a labelled pixel back. So
//   - an entry that touches a pixel of another label touches it at every later level and
//     never spreads again: it is settled for good;
//   - the free neighbours of an entry only become fewer. An entry claims at a level only when
//     one of them has a grey value below the level, and walking it at a level where it claims
//     nothing changes nothing.
// Call the index of the first level above a pixel's grey value its claim level (NaN has
// none). An entry that is not settled claims at level k exactly when it was labelled before
// level k and has a free neighbour whose claim level is k or lower. If that claim level is
// below k, the entry was labelled at level k - 1: labelled earlier, it would have claimed the
// neighbour already, at the later of the neighbour's claim level and the level after its own.
// So the entries that may claim at level k are
//   - the pixels claimed at level k - 1 that then had a free neighbour of claim level k or
//     lower, which the grower lists as it claims them; and
//   - the labelled neighbours of the free pixels whose claim level is exactly k, which it
//     finds by going through the free pixels in order of their grey values, sorted once.
// A level with neither is skipped: it would change nothing.
//
// Why label order is frontier order. Every labelled pixel descends, claim by claim, from the
// seed whose label it carries, and a claim enters the frontier right after its claimer. So
// the entries of one label always stand together in one run, and the runs stand in seed
// order, which is label order: read by labels, the frontier is 1 1 1 2 2 3 3 3 ... The order
// within a run never matters. Two entries of one label that follow each other in the walk
// leave the same labels whichever goes first: neither's claims change the other's touch test,
// which looks for other labels only, and a pixel that both could claim gets their one label
// either way; what they claim joins their run, wherever in it. So the entries of a level are
// walked in label order, and each as the frontier walk walks it: touch test, then claims,
// with the labels written so far at this level. The pixels claimed at a level come out in
// label order too, as their claimers are walked in it.
//
// The final widening has no touch test, so settled entries still widen. In label order, a
// free pixel takes the lowest label among its labelled neighbours.
//
// Cost. Every pixel is looked at a bounded number of times: when the free pixels are sorted,
// when its claim level comes, when it is claimed, and when it is walked (at most once for
// each of its four neighbours, and once after its claim); a level's entries are sorted by
// label in passes of counting, or, eight at most, each put in its place by counting the
// entries that go before it. What the walk reads of a pixel is one word (4 bytes, or 8 on
// images of 2^29 pixels and more), so that the fronts of all regions, which the walk goes
// over at every level, take as little memory as they can, and it asks for the words of the
// entries ahead of the one it walks. The time per pixel grows with the image only as far as
// those fronts outgrow the caches. Which neighbours are free, claimable or of another label
// is data no processor can guess, so those tests are combined without branches (the four
// words side by side where the processor has SSE2), and no sort branches on a comparison of
// entries: a wrong guess costs as much as a few dozen instructions.
//
// What the rules force. The walk of a level is one sequence: an entry's claims are seen at
// once by the touch tests and claims of the entries after it in label order, so neither the
// entries of a level nor its labels can be walked apart, by threads or in another order.
// What remains, about 430 instructions a pixel in 8 bits and 500 in 16, with one or two
// mispredicted branches (bench/README.md, phase by phase), is the four neighbours tested at
// each walk of an entry, and the sorting and naming that make a level's walk visit only the
// entries that may claim.

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

constexpr int kMostNeighbours = 4;

// The number of bits up to the highest one set: 0 for 0.
int bitWidth(uint32_t value) {
    int bits = 0;
    while (bits < 32 && (value >> bits) != 0) {
        ++bits;
    }
    return bits;
}

bool isFree(double label) {
    return label < kFirstLabel;
}

// Equal to celllevel, or NaN, is no seed.
bool isSeed(double grey, double celllevel) {
    return grey > celllevel;
}

// The grey image as the grower reads it: one block by columns (a matx view, as MATLAB holds
// an image) or by rows (as numpy holds one). The passes over every value go in its memory
// order, with the frame (visitingFrame); the few reads of single values go through `at`.
struct GreyImage {
    const double* values;
    int32_t m;
    int32_t n;
    bool byRows;

    double at(int32_t r, int32_t c) const {
        return byRows ? values[static_cast<int64_t>(r) * n + c]
                      : values[static_cast<int64_t>(c) * m + r];
    }
};

// Rows outer, columns inner (the storage order of an image by rows only): seed labels are
// numbered row by row. Hands each seed, in that order, to `onSeed` with its label; returns
// the number of seeds.
template <class OnSeed>
int32_t plantingSeeds(const GreyImage& grey, double celllevel, OnSeed onSeed) {
    // Counting seeds rather than holding the next label keeps the count within int32 even
    // when every one of 2^31 - 1 pixels is a seed.
    int32_t seeds = 0;
    for (int32_t r = 0; r < grey.m; ++r) {
        for (int32_t c = 0; c < grey.n; ++c) {
            if (isSeed(grey.at(r, c), celllevel)) {
                ++seeds;
                onSeed(seeds, c, r);
            }
        }
    }
    return seeds;
}

// From the seeds of each row r of an m-row image in rowLabels[r + 1]: rowLabels[r] becomes
// the seeds of the rows above r, so that row r's first label is one more, and the number of
// seeds is returned. Labels so given, each row's from its first on in increasing columns,
// are those of plantingSeeds.
int32_t firstLabelsOfRows(uint64_t* rowLabels, int32_t m) {
    for (int32_t r = 0; r < m; ++r) {
        rowLabels[r + 1] += rowLabels[r];
    }
    return static_cast<int32_t>(rowLabels[m]);
}

// Where the labels are written: B's column-major doubles, or, for a host that returns
// integers in rows, int32 in row-major order (element r * n + c). One of the two is set.
struct LabelImage {
    matx* columns = nullptr;
    int32_t* rows = nullptr;
};

// The label of pixel (r, c) in `out`, to read and to write.
template <class Visit>
void atLabel(const LabelImage& out, int32_t n, int32_t r, int32_t c, Visit visit) {
    if (out.columns != nullptr) {
        visit(out.columns->col[c][r]);
    } else {
        visit(out.rows[static_cast<std::size_t>(r) * n + c]);
    }
}

// When no level runs, the frontier is the seeds in label order, and the final widening walks
// it as it walks the whole frontier, each entry labelling its claimable neighbours.
void growingWithoutLevels(const GreyImage& grey, const LabelImage& out, double celllevel) {
    // Cleared in each layout's memory order: an image of values below 1 (one scaled to
    // [0, 1), say) comes here whatever its size.
    if (out.columns != nullptr) {
        for (int32_t c = 0; c < grey.n; ++c) {
            std::fill(out.columns->col[c], out.columns->col[c] + grey.m, kUnlabelled);
        }
    } else {
        std::fill(out.rows, out.rows + static_cast<std::size_t>(grey.m) * grey.n,
                  static_cast<int32_t>(kUnlabelled));
    }
    plantingSeeds(grey, celllevel, [&](int32_t label, int32_t column, int32_t row) {
        atLabel(out, grey.n, row, column, [label](auto& at) { at = label; });
    });
    plantingSeeds(grey, celllevel, [&](int32_t label, int32_t column, int32_t row) {
        const int32_t neighbours[kMostNeighbours][2] = {
            {column + 1, row}, {column - 1, row}, {column, row - 1}, {column, row + 1}};
        for (const auto& [c, r] : neighbours) {
            if (c >= 0 && c < grey.n && r >= 0 && r < grey.m && grey.at(r, c) < kFirstLevel) {
                atLabel(out, grey.n, r, c, [label](auto& at) {
                    if (isFree(at)) {
                        at = label;
                    }
                });
            }
        }
    });
}

// Both conditions, both evaluated: the walk's tests on neighbours' words are data the
// processor cannot guess, so they are combined without a branch.
inline bool both(bool a, bool b) {
    return (static_cast<unsigned>(a) & static_cast<unsigned>(b)) != 0;
}

// --- The state of each pixel --------------------------------------------------------------

// One word per pixel, in a frame one pixel wider than the image on every side so that every
// pixel of the image has four neighbours. While the pixel is free, the word holds the rank
// of its claim level among the image's claim levels (kNoClaim when nothing may claim it:
// NaN, a value no level passes, the frame); once it is labelled, its label and two flags:
//   kListed   listed to be walked at the current or the next level: listed once is enough;
//   kSettled  touches another label: never claims again.
// Two layouts of that word: a wide one for any image, and a narrow one, half the memory the
// walk goes over, for every image of fewer than 2^29 pixels, whose labels and ranks fit it.

// 8 bytes: the label in the high half (0 while free), the rank or the flags in the low half.
struct WideState {
    using Word = uint64_t;
    // The list by grey value holds memory indices (below).
    static constexpr bool kListsFramedPixels = false;
    static constexpr uint32_t kNoClaim = 0xFFFFFFFFu;
    static constexpr Word kListed = 1;
    static constexpr Word kSettled = 2;
    static uint32_t labelIn(Word state) { return static_cast<uint32_t>(state >> 32); }
    static uint32_t rankIn(Word state) { return static_cast<uint32_t>(state); }
    static Word labelled(uint32_t label) { return static_cast<Word>(label) << 32; }
    static Word freeWithRank(uint64_t rank) { return rank; }
    static bool isOtherLabel(Word state, uint32_t label) {
        return both(labelIn(state) != 0, labelIn(state) != label);
    }
    static bool isFreeBelow(Word state, uint32_t rank) {
        return both(labelIn(state) == 0, rankIn(state) < rank);
    }
    // Labelled, and neither listed nor settled.
    static bool isUnlisted(Word state) {
        return both(labelIn(state) != 0, (state & (kListed | kSettled)) == 0);
    }
    // The label of a labelled word; 0 for a free one.
    static uint32_t labelBitsIn(Word state) { return labelIn(state); }
};

// 4 bytes: bit 0 set once labelled; while free, the rank above it; once labelled, kListed,
// kSettled and the label (below 2^29) above them.
struct NarrowState {
    using Word = uint32_t;
    // The list by grey value holds framed indices (below).
    static constexpr bool kListsFramedPixels = true;
    static constexpr uint32_t kNoClaim = 0x7FFFFFFFu;
    static constexpr Word kIsLabelled = 1;
    static constexpr Word kListed = 2;
    static constexpr Word kSettled = 4;
    static constexpr int kLabelShift = 3;
    static constexpr int kRankShift = 1;
    // A mask, not a branch: whether a word is labelled is data the processor cannot guess.
    static uint32_t labelIn(Word state) {
        return (state >> kLabelShift) & (0u - (state & kIsLabelled));
    }
    static uint32_t rankIn(Word state) { return state >> kRankShift; }
    static Word labelled(uint32_t label) { return (label << kLabelShift) | kIsLabelled; }
    static Word freeWithRank(uint64_t rank) { return static_cast<Word>(rank << kRankShift); }
    static bool isOtherLabel(Word state, uint32_t label) {
        return both((state & kIsLabelled) != 0, (state >> kLabelShift) != label);
    }
    static bool isFreeBelow(Word state, uint32_t rank) {
        return both((state & kIsLabelled) == 0, rankIn(state) < rank);
    }
    // Labelled (labels start at 1), and neither listed nor settled: one test of three bits.
    static bool isUnlisted(Word state) {
        return (state & (kIsLabelled | kListed | kSettled)) == kIsLabelled;
    }
    // The label of a labelled word, without labelIn's mask; of a free one, its rank's high
    // bits, which mean nothing.
    static uint32_t labelBitsIn(Word state) { return state >> kLabelShift; }
};

// A state word's layout, and how the frame lies (below): as the image's columns, or, for an
// image by rows, as its rows. Both are fixed when the grower is compiled, so that a step to
// a neighbour is a constant or the line length, as it would be for one layout alone.
template <class Words, bool kRows>
struct FramedState : Words {
    static constexpr bool kByRows = kRows;
};

// The frame lies as the grey image does, in lines: the image's columns (rows r = 0 .. m-1 in
// each), or its rows (columns in each) for an image by rows. The pixel of memory index
// p = line * inner + k (k along the line) is element (line + 1) * lineLength + k + 1 of the
// state, lineLength = inner + 2. So every pass over the image in its memory order goes over
// the state in its own, and the naming and the walk, which take a level's pixels in that
// order, go over the state in rising addresses.
template <class State>
struct Frame {
    typename State::Word* state;
    int64_t lineLength;  // inner() + 2
    int32_t m;
    int32_t n;
    double perLine;  // 1 / inner()

    // The pixels of a line: m by columns, n by rows.
    int32_t inner() const { return State::kByRows ? n : m; }

    // From a pixel to its next column and to its next row.
    int64_t columnStep() const { return State::kByRows ? 1 : lineLength; }
    int64_t rowStep() const { return State::kByRows ? lineLength : 1; }

    // The pixel of memory index p.
    int64_t framed(int32_t p) const {
        // The double quotient is off by at most one, either way.
        auto line = static_cast<int32_t>(static_cast<double>(p) * perLine);
        if (static_cast<int64_t>(line) * inner() > p) {
            --line;
        } else if (static_cast<int64_t>(line + 1) * inner() <= p) {
            ++line;
        }
        return p + lineLength + 1 + 2 * static_cast<int64_t>(line);
    }

    // Pixel (r, c) of the image.
    int64_t framedAt(int32_t r, int32_t c) const {
        return (c + 1) * columnStep() + (r + 1) * rowStep();
    }
};

// Calls visit(r, framed index, memory index, value) for every pixel of the image whose values
// the frame was laid for, in memory order, line by line, as long as visit returns true;
// returns whether every pixel was visited.
template <class State, class Visit>
bool visitingFrame(const Frame<State>& frame, const double* values, Visit visit) {
    // In locals: the visit writes state words, which the compiler must assume may be them.
    const int32_t lines = State::kByRows ? frame.m : frame.n;
    const int32_t inner = frame.inner();
    const int64_t lineLength = frame.lineLength;
    for (int32_t line = 0; line < lines; ++line) {
        const auto first = static_cast<int32_t>(static_cast<int64_t>(line) * inner);
        const int64_t firstFramed = (line + 1) * lineLength + 1;
        for (int32_t k = 0; k < inner; ++k) {
            if (!visit(State::kByRows ? line : k, firstFramed + k, first + k, values[first + k])) {
                return false;
            }
        }
    }
    return true;
}

template <class State>
Frame<State> frameOver(typename State::Word* state, const GreyImage& grey) {
    const int32_t inner = State::kByRows ? grey.n : grey.m;
    return {state, inner + int64_t{2}, grey.m, grey.n, 1.0 / inner};
}

// The four neighbours of a framed pixel in the fixed order next column, previous column,
// previous row, next row. The touch test, the claims and the final widening all go through
// them in this order; those in the frame are free and never claimable, so they change
// nothing, as neighbours outside the image must not.
template <class State>
void neighboursOf(const Frame<State>& frame, int64_t p, int64_t neighbours[kMostNeighbours]) {
    neighbours[0] = p + frame.columnStep();
    neighbours[1] = p - frame.columnStep();
    neighbours[2] = p - frame.rowStep();
    neighbours[3] = p + frame.rowStep();
}

// The claimable pixels are listed by grey value in 32 bits each. The naming goes through all
// of them, and its look-ahead too, and framing a memory index stands between each of them
// and the loads of its words; so a pixel is listed by its framed index wherever that fits,
// as for every image of the narrow state (fewer than 2^29 pixels: a frame of at most
// 3 * 2^29 + 6). The wide state's images list memory indices, framed as they are read.
template <class State>
int32_t listedPixel(int64_t framedIndex, int32_t memoryIndex) {
    if constexpr (State::kListsFramedPixels) {
        return static_cast<int32_t>(framedIndex);
    } else {
        return memoryIndex;
    }
}

template <class State>
int64_t framedPixel(const Frame<State>& frame, int32_t listed) {
    if constexpr (State::kListsFramedPixels) {
        return listed;
    } else {
        return frame.framed(listed);
    }
}

// The memory index of a listed pixel.
template <class State>
int32_t memoryIndexOf(const Frame<State>& frame, int32_t listed) {
    if constexpr (State::kListsFramedPixels) {
        const auto line = static_cast<int32_t>(listed / frame.lineLength) - 1;
        const auto along = static_cast<int32_t>(listed % frame.lineLength) - 1;
        return line * frame.inner() + along;
    } else {
        return listed;
    }
}

// --- The free pixels in order of their grey values ----------------------------------------

// A seed's state word: labelled, and listed, as every seed is walked at the first level.
template <class State>
typename State::Word plantedSeed(uint32_t label) {
    return State::labelled(label) | State::kListed;
}

// Where the seed of label `label` waits in the list by grey value of an image of `pixels`
// pixels (room for pixels + 2), from the end: in 64 bits, as pixels + 2 may pass int32.
int64_t seedPlace(int32_t pixels, uint32_t label) {
    return int64_t{pixels} + 2 - label;
}

// A pixel that some level may claim: no seed, and a grey value below `limit`, the level at
// which the level loop stops (so never NaN). Every such pixel is claimable at the final
// widening.
bool isClaimable(double grey, double celllevel, double limit) {
    return !isSeed(grey, celllevel) && grey < limit;
}

// All grey values below 1.0 share the first claim level, and one key; whole values from 1 on
// are keys of their own.
int32_t countingKey(double value) {
    return value >= kFirstLevel ? static_cast<int32_t>(value) : 0;
}

// Whether a claimable value has a counting key: below 1.0, or a whole number up to
// `largestKey` (below 2^31, where a whole number's key converts back to it unchanged).
bool hasCountingKey(double value, int32_t largestKey) {
    if (value < kFirstLevel) {
        return true;
    }
    return value <= largestKey && static_cast<double>(countingKey(value)) == value;
}

// Counts the claimable pixels of each counting key in table[key + 1], and the seeds of each
// row r of the m-row image in rowSeeds[r + 1], and gives the largest key in `topKey`, when
// the claimable grey values of 1.0 and above are whole numbers up to `largestKey`, so that
// they can be sorted by counting; else returns false, and the counts are of no use.
// table[0, largestKey + 2) and rowSeeds[0, m + 1) are cleared first. Checking and counting in
// one pass reads the grey values once: on a large image each pass over them waits for memory.
template <class State>
bool countingByKey(const Frame<State>& frame, const double* values, double celllevel,
                   double limit, int32_t largestKey, uint64_t* table, uint64_t* rowSeeds,
                   int32_t& topKey) {
    std::fill(table, table + largestKey + 2, 0);
    std::fill(rowSeeds, rowSeeds + frame.m + 1, 0);
    int32_t top = 0;
    const bool counted = visitingFrame(frame, values, [&](int32_t r, int64_t, int32_t,
                                                          double value) {
        if (isSeed(value, celllevel)) {
            ++rowSeeds[r + 1];
        } else if (isClaimable(value, celllevel, limit)) {
            if (!hasCountingKey(value, largestKey)) {
                return false;
            }
            const int32_t key = countingKey(value);
            ++table[key + 1];
            top = std::max(top, key);
        }
        return true;
    });
    topKey = top;
    return counted;
}

// The claim level of the pixels of counting key `key`.
int64_t claimLevelOfKey(const LevelTable& levels, int32_t key) {
    return key == 0 ? 0 : firstLevelAbove(levels, key);
}

// Puts the claimable pixels in `order` by their grey values, which is the order of their claim
// levels, and gives each in the frame the rank of its claim level: 0 for the lowest claim
// level in the image, 1 for the next, and so on; every other pixel gets kNoClaim. Returns how
// many pixels are claimable. Whole grey values (as 8- and 16-bit images have) up to the number
// of pixels are sorted by counting in `table` (room for pixels + 2 entries), in the image's
// memory order within one value, so that they are met in the frame's; any others by
// comparison, the same way.
//
// When sorting by counting, the same two passes over the image also plant the seeds, with
// the labels of plantingSeeds: each is labelled and listed in the frame, and the seed of
// label L is kept at order[pixels + 2 - L] (seedPlace), where no claimable pixel reaches (the
// claimable pixels and the seeds are different pixels, and `order` has room for pixels + 2).
// `rowLabels` (room for m + 1) holds the seeds of each row on the way. `seeds` is then their
// number, else -1 (none planted).
template <class State>
CELLKIT_PHASE
int32_t sortingClaimable(const Frame<State>& frame, const double* values, double celllevel,
                         const LevelTable& levels, double limit, int32_t* order,
                         uint64_t* table, uint64_t* rowLabels, int32_t& seeds) {
    const int32_t pixels = frame.m * frame.n;
    std::fill(frame.state, frame.state + (int64_t{frame.m} + 2) * (frame.n + 2),
              State::freeWithRank(State::kNoClaim));
    seeds = -1;
    // Claimable values lie below `limit`, so no key passes it: only that much of the table
    // is needed.
    const auto largestKey = static_cast<int32_t>(std::min<double>(pixels, std::floor(limit)));
    int32_t topKey = 0;
    if (countingByKey(frame, values, celllevel, limit, largestKey, table, rowLabels, topKey)) {
        seeds = firstLabelsOfRows(rowLabels, frame.m);
        // table[key] becomes the key's rank in its high half and, in its low half, the next
        // place of its pixels, from the first on (places stay below 2^31).
        constexpr uint64_t kPlace = 0xFFFFFFFFu;
        uint64_t rank = 0;
        int64_t lastLevel = -1;
        uint64_t start = 0;
        for (int32_t key = 0; key <= topKey; ++key) {
            const uint64_t count = table[key + 1];
            if (count != 0) {
                const int64_t level = claimLevelOfKey(levels, key);
                rank += lastLevel >= 0 && level != lastLevel ? 1 : 0;
                lastLevel = level;
            }
            table[key] = (rank << 32) | start;
            start += count;
        }
        // Memory order, one pass over the grey values, the frame, the table and the order.
        typename State::Word* state = frame.state;
        visitingFrame(frame, values, [&](int32_t r, int64_t framed, int32_t memoryIndex,
                                         double value) {
            if (isSeed(value, celllevel)) {
                const auto label = static_cast<uint32_t>(++rowLabels[r]);
                state[framed] = plantedSeed<State>(label);
                order[seedPlace(pixels, label)] = listedPixel<State>(framed, memoryIndex);
            } else if (isClaimable(value, celllevel, limit)) {
                const uint64_t entry = table[countingKey(value)]++;
                state[framed] = State::freeWithRank(entry >> 32);
                order[entry & kPlace] = listedPixel<State>(framed, memoryIndex);
            }
            return true;
        });
        return static_cast<int32_t>(start);
    }
    // By memory index: element p of `values`.
    int32_t count = 0;
    for (int32_t p = 0; p < pixels; ++p) {
        if (isClaimable(values[p], celllevel, limit)) {
            order[count++] = p;
        }
    }
    std::sort(order, order + count, [values](int32_t a, int32_t b) {
        return values[a] < values[b] || (values[a] == values[b] && a < b);
    });
    uint32_t rank = 0;
    int64_t claimLevel = -1;
    double value = std::numeric_limits<double>::quiet_NaN();
    for (int32_t k = 0; k < count; ++k) {
        const int32_t p = order[k];
        if (!(values[p] == value)) {
            value = values[p];
            const int64_t level = firstLevelAbove(levels, value);
            rank += claimLevel >= 0 && level != claimLevel ? 1 : 0;
            claimLevel = level;
        }
        const int64_t framed = frame.framed(p);
        frame.state[framed] = State::freeWithRank(rank);
        order[k] = listedPixel<State>(framed, p);
    }
    return count;
}

// The same labels as plantingSeeds, found in the image's memory order, which reads it once
// from end to end instead of a pixel a column apart: the seeds of each row are counted first,
// so that each row's first label is known, and within a row the columns come in increasing
// order in either layout. `rowLabels` has room for m + 1 counts. Hands each seed to `onSeed`
// with its label and framed index; returns the number of seeds. (The sort by grey value
// plants the seeds the same way in its own two passes where it sorts by counting; this is
// for the images it sorts by comparison.)
template <class State, class OnSeed>
CELLKIT_PHASE
int32_t plantingSeedsInStorageOrder(const Frame<State>& frame, const double* values,
                                    double celllevel, uint64_t* rowLabels, OnSeed onSeed) {
    std::fill(rowLabels, rowLabels + frame.m + 1, 0);
    visitingFrame(frame, values, [&](int32_t r, int64_t, int32_t, double value) {
        if (isSeed(value, celllevel)) {
            ++rowLabels[r + 1];
        }
        return true;
    });
    const int32_t seeds = firstLabelsOfRows(rowLabels, frame.m);
    visitingFrame(frame, values, [&](int32_t r, int64_t framed, int32_t, double value) {
        if (isSeed(value, celllevel)) {
            onSeed(static_cast<uint32_t>(++rowLabels[r]), framed);
        }
        return true;
    });
    return seeds;
}

// --- The walk -------------------------------------------------------------------------------

// An entry to walk: its label in the high 31 bits, so that entries sort by label, and its
// framed pixel in the low 33 (a frame of up to three times 2^31 pixels).
using Entry = uint64_t;
constexpr int kPixelBits = 33;

Entry entryOf(uint32_t label, int64_t p) {
    return (static_cast<uint64_t>(label) << kPixelBits) | static_cast<uint64_t>(p);
}

int64_t pixelOf(Entry entry) {
    return static_cast<int64_t>(entry & ((uint64_t{1} << kPixelBits) - 1));
}

uint32_t labelOf(Entry entry) {
    return static_cast<uint32_t>(entry >> kPixelBits);
}

template <class State>
struct Walk {
    Frame<State> frame;
    const double* grey;  // by memory index
    const LevelTable& levels;
    const int32_t* byGrey;  // the claimable pixels in order of their grey values (listedPixel)
    int32_t byGreyCount;
    int32_t byGreyNext;     // the first whose claim level has not come yet
    uint32_t claimable;     // ranks below this are claimable at the current level
    Entry* claimed;         // where a level lists the pixels it claims, in label order
    int labelBits;          // the bits of the largest label, the number of seeds
    // The claim level of byGrey[nextLevelOf], asked for again at every level until that
    // pixel's level comes: on a 16-bit image, tens of thousands of times a call.
    int32_t nextLevelOf = -1;
    int64_t nextLevel = 0;
};

// The claim level of the next pixel in grey order, whose claim level has not come yet;
// kNoLevelAbove when there is none.
template <class State>
int64_t nextClaimLevel(Walk<State>& w) {
    if (w.byGreyNext == w.byGreyCount) {
        return kNoLevelAbove;
    }
    if (w.nextLevelOf != w.byGreyNext) {
        w.nextLevelOf = w.byGreyNext;
        w.nextLevel =
            firstLevelAbove(w.levels, w.grey[memoryIndexOf(w.frame, w.byGrey[w.byGreyNext])]);
    }
    return w.nextLevel;
}

// A level's entries lie all over the image, and on a large one each would wait for memory in
// turn: the walk asks for the memory of the entry this many places ahead.
constexpr int32_t kAhead = 16;

// The state words a walk of pixel p reads: p's own, whose cache line mostly holds its
// neighbours along the line too, and its neighbours in the lines either side.
template <class State>
void fetchingAround(const Frame<State>& frame, int64_t p) {
    prefetchForWriting(frame.state + p - frame.lineLength);
    prefetchForWriting(frame.state + p);
    prefetchForWriting(frame.state + p + frame.lineLength);
}

// What the walk asks of a pixel's four neighbours: whether one holds another label than its
// own (the touch test), and which are free with a rank below a given one, as bits in neighbour
// order (bit k for neighbour k). Which neighbours are free or of another label is data, which
// a processor cannot guess: all four words are tested and the answers combined, one branch
// instead of four or eight.
struct NeighbourTests {
    bool touches;
    unsigned freeBelow;
};

#if CELLKIT_SSE2
// The narrow state's four words side by side, tested at once. Each is read on its own: a read
// of several words just after a write of one of them (the entry's own word, or a claimed
// pixel's) would wait for the write to reach the cache.
template <class State>
NeighbourTests testingNarrowNeighbours(const Frame<State>& frame, int64_t p, uint32_t label,
                                       uint32_t rank) {
    int64_t neighbours[kMostNeighbours];
    neighboursOf(frame, p, neighbours);
    const auto word = [&](int k) {
        return _mm_cvtsi32_si128(static_cast<int>(frame.state[neighbours[k]]));
    };
    const __m128i words = _mm_unpacklo_epi64(_mm_unpacklo_epi32(word(0), word(1)),
                                             _mm_unpacklo_epi32(word(2), word(3)));
    const __m128i isLabelled = _mm_set1_epi32(static_cast<int>(NarrowState::kIsLabelled));
    const __m128i labelled = _mm_cmpeq_epi32(_mm_and_si128(words, isLabelled), isLabelled);
    const __m128i ownLabel = _mm_cmpeq_epi32(_mm_srli_epi32(words, NarrowState::kLabelShift),
                                             _mm_set1_epi32(static_cast<int>(label)));
    // Ranks and a word shifted by one lie below 2^31, so a signed comparison is exact.
    const __m128i below = _mm_cmplt_epi32(_mm_srli_epi32(words, NarrowState::kRankShift),
                                          _mm_set1_epi32(static_cast<int>(rank)));
    return {_mm_movemask_epi8(_mm_andnot_si128(ownLabel, labelled)) != 0,
            static_cast<unsigned>(
                _mm_movemask_ps(_mm_castsi128_ps(_mm_andnot_si128(labelled, below))))};
}
#endif

// The narrow state's words side by side where the processor has SSE2 (every x86-64 one does),
// else one by one.
template <class State>
NeighbourTests testingNeighbours(const Frame<State>& frame, int64_t p, uint32_t label,
                                 uint32_t rank) {
#if CELLKIT_SSE2
    if constexpr (std::is_same_v<typename State::Word, NarrowState::Word>) {
        return testingNarrowNeighbours(frame, p, label, rank);
    } else
#endif
    {
        int64_t neighbours[kMostNeighbours];
        neighboursOf(frame, p, neighbours);
        NeighbourTests tests{false, 0};
        for (int k = 0; k < kMostNeighbours; ++k) {
            const typename State::Word word = frame.state[neighbours[k]];
            tests.touches |= State::isOtherLabel(word, label);
            tests.freeBelow |= static_cast<unsigned>(State::isFreeBelow(word, rank)) << k;
        }
        return tests;
    }
}

// What the walk of a level reads and writes at each of its entries, held by the level's walk
// as a local, which the compiler keeps in registers: held in the Walk, each field would be
// read again after every store of a state word or an entry, which the compiler must assume
// may change it, and the count of claims stored at every claim.
template <class State>
struct LevelWalk {
    Frame<State> frame;
    uint32_t claimable;      // ranks below this are claimable at this level
    uint32_t claimableNext;  // and below this at the next
    Entry* claimed;          // the pixels claimed at this level, in label order
    int32_t claimedCount;
};

// A pixel just claimed at the current level: listed for the next level when it may claim
// there, that is when it touches no other label and a free neighbour's claim level is at most
// the next level (rank below `claimableNext`); settled when it touches another label. If its
// free neighbours' claim levels lie further up, they will name it when they come. The entry is
// written whether or not it is listed, and counted only if it is: the list always has room
// for one more, as every pixel is claimed once.
template <class State>
void listingClaimed(LevelWalk<State>& level, int64_t p, uint32_t label) {
    const NeighbourTests tests = testingNeighbours(level.frame, p, label, level.claimableNext);
    if (tests.touches) {
        level.frame.state[p] |= State::kSettled;
        return;
    }
    const bool mayClaim = tests.freeBelow != 0;
    level.frame.state[p] |= mayClaim ? State::kListed : 0;
    level.claimed[level.claimedCount] = entryOf(label, p);
    level.claimedCount += mayClaim ? 1 : 0;
}

// One entry, exactly as the frontier walk walks it: nothing when it touches another label,
// else every claimable neighbour in order. Claims are written at once, so later entries see
// them in their touch tests and claims. Which neighbours an entry claims is read from the
// words before its first claim: a claim and its listing write only the claimed pixel's word,
// and no two neighbours of a pixel are each other's neighbours or the same pixel.
template <class State>
CELLKIT_INLINE_STEP void walkingEntry(LevelWalk<State>& level, Entry entry) {
    typename State::Word* state = level.frame.state;
    const int64_t p = pixelOf(entry);
    const uint32_t label = labelOf(entry);
    state[p] &= ~State::kListed;
    const NeighbourTests tests = testingNeighbours(level.frame, p, label, level.claimable);
    if (tests.touches) {
        state[p] |= State::kSettled;
        return;
    }
    // The indices are worked out again rather than handed over from the tests: as an array
    // passed in they go through memory, and the walk ran at 0.96 of the speed.
    int64_t neighbours[kMostNeighbours];
    neighboursOf(level.frame, p, neighbours);
    // In neighbour order: the lowest bit first.
    for (unsigned claims = tests.freeBelow; claims != 0; claims &= claims - 1) {
        const int64_t q = neighbours[lowestSetBit(claims)];
        state[q] = State::labelled(label);
        listingClaimed(level, q, label);
    }
}

// Makes the pixels whose claim level is `index` claimable, and lists after `count` entries of
// `entries` their labelled neighbours that are neither listed nor settled. Returns the new
// count.
template <class State>
CELLKIT_PHASE
int32_t namingByClaimLevel(Walk<State>& w, int64_t index, Entry* entries, int32_t count) {
    // In locals: the compiler must assume that the stores of state words and entries may
    // change the walk's counts and the frame's line length, and would read them again after
    // each, and store the place in the list at every pixel.
    const Frame<State> frame = w.frame;
    typename State::Word* state = frame.state;
    const int32_t* byGrey = w.byGrey;
    const int32_t byGreyCount = w.byGreyCount;
    int32_t next = w.byGreyNext;
    while (next < byGreyCount) {
        if (next + kAhead < byGreyCount) {
            fetchingAround(frame, framedPixel(frame, byGrey[next + kAhead]));
        }
        const int64_t p = framedPixel(frame, byGrey[next]);
        // Still free: nothing is claimed before its claim level comes.
        const uint32_t rank = State::rankIn(state[p]);
        if (rank >= w.claimable) {
            w.byGreyNext = next;
            if (nextClaimLevel(w) > index) {
                break;
            }
            w.claimable = rank + 1;
        }
        ++next;
        int64_t neighbours[kMostNeighbours];
        neighboursOf(frame, p, neighbours);
        // Without a branch on the neighbour, as in the walk: every word is written back,
        // every entry written, and those named counted (the list has room for one more:
        // no pixel is listed twice).
        for (int64_t q : neighbours) {
            const typename State::Word other = state[q];
            const bool named = State::isUnlisted(other);
            state[q] = other | (named ? State::kListed : 0);
            // An entry not counted is written over by the next, and its label may be none.
            entries[count] = entryOf(State::labelBitsIn(other), q);
            count += named ? 1 : 0;
        }
    }
    w.byGreyNext = next;
    return count;
}

// The most entries sortingFewByPlace sorts, and the widest labels it takes: its keys, a
// label times 8 plus a place in the list, stay below 2^30, and the padding's keys above them.
constexpr int kFewestEntriesBits = 3;
constexpr int32_t kFewestEntries = int32_t{1} << kFewestEntriesBits;
constexpr int kPlacedLabelBits = 30 - kFewestEntriesBits;
constexpr uint32_t kPaddingKey = 0x7FFFFFF0u;
static_assert(kPaddingKey >= (uint32_t{1} << 30) && kPaddingKey + kFewestEntries > kPaddingKey,
              "padding keys lie above every entry's and do not wrap");

// Puts at most kFewestEntries entries, as most levels of a 16-bit image have, in label order:
// each goes to the place given by the number of entries whose label is lower, or the same
// and earlier in the list. Every pair is compared, on keys padded to the full length, so that
// the comparisons run without a loop whose end depends on the count, which changes from level
// to level and which the processor cannot guess; counting passes would end a loop on it
// several times over.
void sortingFewByPlace(Entry* entries, int32_t count) {
    uint32_t keys[kFewestEntries];
    for (int32_t k = 0; k < kFewestEntries; ++k) {
        keys[k] = kPaddingKey + static_cast<uint32_t>(k);
    }
    for (int32_t k = 0; k < count; ++k) {
        keys[k] = (labelOf(entries[k]) << kFewestEntriesBits) | static_cast<uint32_t>(k);
    }
    Entry sorted[kFewestEntries];
    for (int32_t k = 0; k < count; ++k) {
        int32_t place = 0;
        for (int32_t other = 0; other < kFewestEntries; ++other) {
            place += keys[other] < keys[k] ? 1 : 0;
        }
        sorted[place] = entries[k];
    }
    std::copy(sorted, sorted + count, entries);
}

// Puts `count` entries in label order (any order within a label), using `spare` (room for
// `count`) on the way, by digits of their labels, which have `labelBits` bits at most: bytes
// for many entries; for the few entries of most levels (those of a 16-bit image, tens of
// thousands of levels, have a hundred or so), digits of 4 bits, whose table of counts costs
// less to clear and sum than the entries cost to place, and for the fewest, their places
// counted. Labels of 9 to 12 bits (a 1024x1024 image holds some 600 cells) would take two
// passes by bytes: when the entries number at least half the labels' values, one pass by the
// whole label costs less, its table included.
CELLKIT_PHASE
void sortingByLabel(Entry* entries, int32_t count, Entry* spare, int labelBits) {
    constexpr int32_t kFewEntries = 256;
    constexpr int kOnePassBits = 12;
    const auto label = [](Entry entry) { return labelOf(entry); };
    if (count <= kFewestEntries && labelBits <= kPlacedLabelBits) {
        sortingFewByPlace(entries, count);
    } else if (count < kFewEntries) {
        sortingByDigits<4>(entries, count, spare, label);
    } else if (labelBits <= 8 || labelBits > kOnePassBits ||
               count < (int32_t{1} << (labelBits - 1))) {
        sortingByDigits<8>(entries, count, spare, label);
    } else if (labelBits == 9) {
        // Digits no wider than the labels: the table is cleared and summed at every level.
        sortingByDigits<9>(entries, count, spare, label);
    } else if (labelBits == 10) {
        sortingByDigits<10>(entries, count, spare, label);
    } else if (labelBits == 11) {
        sortingByDigits<11>(entries, count, spare, label);
    } else {
        sortingByDigits<kOnePassBits>(entries, count, spare, label);
    }
}

// One level: the pixels claimed at the level before (entries[0, fromClaims), in label order)
// and those named by claim level, merged in label order and walked. The pixels claimed here
// that may claim at the next level go to w.claimed; returns how many.
template <class State>
CELLKIT_PHASE
int32_t walkingLevel(Walk<State>& w, int64_t index, Entry* entries, int32_t fromClaims) {
    const int32_t count = namingByClaimLevel(w, index, entries, fromClaims);
    // The list of claims is empty until the walk starts.
    sortingByLabel(entries + fromClaims, count - fromClaims, w.claimed, w.labelBits);
    // The pixels of the next claim level become claimable at the next level.
    const uint32_t claimableNext = w.claimable + (nextClaimLevel(w) == index + 1 ? 1 : 0);
    LevelWalk<State> level{w.frame, w.claimable, claimableNext, w.claimed, 0};
    int32_t a = 0;
    int32_t b = fromClaims;
    while (a < fromClaims || b < count) {
        // Either run first at equal labels: the order within a label does not matter.
        const bool fromClaimed =
            b == count || (a < fromClaims && labelOf(entries[a]) <= labelOf(entries[b]));
        const int32_t next = fromClaimed ? a : b;
        const int32_t end = fromClaimed ? fromClaims : count;
        if (next + kAhead < end) {
            fetchingAround(level.frame, pixelOf(entries[next + kAhead]));
        }
        a += fromClaimed ? 1 : 0;
        b += fromClaimed ? 0 : 1;
        walkingEntry(level, entries[next]);
    }
    return level.claimedCount;
}

// A pixel's label in the label image, widening every region by one more ring on the way: a
// free pixel that the final level may claim takes the lowest label among its labelled
// neighbours, which is the label of the first of them in frontier order. The widening reads
// only the state, which it leaves as it is, so the pixels it labels hand nothing on, and the
// order in which pixels are written changes nothing.
template <class State>
uint32_t widenedLabel(const Frame<State>& frame, int64_t p) {
    const typename State::Word state = frame.state[p];
    uint32_t label = State::labelIn(state);
    if (label == 0 && State::rankIn(state) != State::kNoClaim) {
        int64_t neighbours[kMostNeighbours];
        neighboursOf(frame, p, neighbours);
        for (int64_t q : neighbours) {
            const uint32_t other = State::labelIn(frame.state[q]);
            if (other != 0 && (label == 0 || other < label)) {
                label = other;
            }
        }
    }
    return label;
}

// Row-major labels from a state by columns: a block of kBlockColumns columns at a time, row
// by row, so that each column of the state is read in its memory order and each row of
// labels written a line at a time. Labels in the state's own order go straight through.
constexpr int32_t kBlockColumns = 16;

template <class State>
CELLKIT_PHASE
void writingLabels(const Frame<State>& frame, const LabelImage& out) {
    if (out.columns != nullptr) {
        for (int32_t c = 0; c < frame.n; ++c) {
            double* column = out.columns->col[c];
            for (int32_t r = 0; r < frame.m; ++r) {
                column[r] = widenedLabel(frame, frame.framedAt(r, c));
            }
        }
        return;
    }
    if (State::kByRows) {
        for (int32_t r = 0; r < frame.m; ++r) {
            int32_t* row = out.rows + static_cast<std::size_t>(r) * frame.n;
            for (int32_t c = 0; c < frame.n; ++c) {
                row[c] = static_cast<int32_t>(widenedLabel(frame, frame.framedAt(r, c)));
            }
        }
        return;
    }
    for (int32_t left = 0; left < frame.n; left += kBlockColumns) {
        const int32_t columns = std::min(kBlockColumns, frame.n - left);
        for (int32_t r = 0; r < frame.m; ++r) {
            int32_t* row = out.rows + static_cast<std::size_t>(r) * frame.n + left;
            for (int32_t dc = 0; dc < columns; ++dc) {
                row[dc] = static_cast<int32_t>(widenedLabel(frame, frame.framedAt(r, left + dc)));
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

GrowthScratch makeGrowthScratch(int32_t rows, int32_t cols, bool wideState) {
    const int64_t pixels = std::max<int64_t>(static_cast<int64_t>(rows) * cols, 0);
    // The counting table of the sort by grey value, pixels + 2 counts, borrows `claimed`.
    const auto size = static_cast<std::size_t>(pixels) + 2;
    GrowthScratch scratch;
    scratch.wideState = wideState || pixels >= kNarrowStatePixels;
    const auto framePixels = static_cast<std::size_t>((std::max(rows, 0) + int64_t{2}) *
                                                      (std::max(cols, 0) + int64_t{2}));
    scratch.state = allocatePixelArray<uint32_t>(framePixels * (scratch.wideState ? 2 : 1),
                                                 PixelPages::atOnce);
    // Lists: the state alone is reached all over.
    scratch.byGrey =
        allocatePixelArray<int32_t>(size, PixelPages::whenWritten, PixelReach::inOrder);
    scratch.entries =
        allocatePixelArray<uint64_t>(size, PixelPages::whenWritten, PixelReach::inOrder);
    scratch.claimed =
        allocatePixelArray<uint64_t>(size, PixelPages::whenWritten, PixelReach::inOrder);
    return scratch;
}

namespace {

template <class State>
void growingLabels(const GreyImage& grey, const LabelImage& labels, double celllevel,
                   double maxGrey, GrowthScratch& scratch) {
    const LevelTable levels = levelTable(maxGrey);
    // The levels the plain loop visits are those of index below `stop`: up to the last one
    // not above the largest grey value (all of them when the level sticks at 2^49 below it).
    const int64_t stop = firstLevelAbove(levels, maxGrey);
    // Every grey value that is a number lies below this level, which the final widening uses
    // (but for values of 2^49 and more, when the level sticks there).
    const double stopLevel = levelAt(levels, stop);

    // The block holds 4-byte words, two to a wide word, on a boundary fit for either.
    const Frame<State> frame =
        frameOver<State>(reinterpret_cast<typename State::Word*>(scratch.state.get()), grey);
    int32_t* byGrey = scratch.byGrey.get();
    Entry* entries = scratch.entries.get();
    // The seeds' row counts borrow `entries`, which the seeds' entries fill only after.
    int32_t seeds = -1;
    const int32_t byGreyCount = sortingClaimable(frame, grey.values, celllevel, levels, stopLevel,
                                                 byGrey, scratch.claimed.get(), entries, seeds);
    if (seeds >= 0) {
        const int32_t pixels = grey.m * grey.n;
        for (uint32_t label = 1; label <= static_cast<uint32_t>(seeds); ++label) {
            const int64_t p = framedPixel(frame, byGrey[seedPlace(pixels, label)]);
            entries[label - 1] = entryOf(label, p);
        }
    } else {
        seeds = plantingSeedsInStorageOrder(frame, grey.values, celllevel, scratch.claimed.get(),
                                            [&](uint32_t label, int64_t p) {
            frame.state[p] = plantedSeed<State>(label);
            entries[label - 1] = entryOf(label, p);
        });
    }
    if (seeds == 0) {
        // No label to spread or widen: every level, and the widening, change nothing.
        writingLabels(frame, labels);
        return;
    }
    const int labelBits = bitWidth(static_cast<uint32_t>(seeds));
    Walk<State> w{frame, grey.values, levels, byGrey, byGreyCount, 0, 0, scratch.claimed.get(),
                  labelBits};

    // Every seed is walked at the first level.
    int32_t fromClaims = seeds;
    int64_t index = 0;
    while (index < stop) {
        fromClaims = walkingLevel(w, index, entries, fromClaims);
        std::swap(entries, w.claimed);
        // Nothing listed: the next level that can change anything is the next claim level.
        index = fromClaims > 0 ? index + 1 : nextClaimLevel(w);
    }
    writingLabels(frame, labels);
}

// The frame laid as the image lies, with either state word.
template <class Words>
void growingLaidAs(const GreyImage& grey, const LabelImage& labels, double celllevel,
                   double maxGrey, GrowthScratch& scratch) {
    if (grey.byRows) {
        growingLabels<FramedState<Words, true>>(grey, labels, celllevel, maxGrey, scratch);
    } else {
        growingLabels<FramedState<Words, false>>(grey, labels, celllevel, maxGrey, scratch);
    }
}

void growingInto(const GreyImage& grey, const LabelImage& labels, double celllevel,
                 GrowthScratch& scratch, double knownMaxGrey) {
    const int32_t pixels = grey.m * grey.n;
    if (pixels == 0) {
        return;
    }
    const double maxGrey =
        knownMaxGrey == kLargestGreyToFind ? maximumGrey(grey.values, pixels) : knownMaxGrey;
    if (!(maxGrey >= kFirstLevel)) {
        growingWithoutLevels(grey, labels, celllevel);
    } else if (scratch.wideState) {
        growingLaidAs<WideState>(grey, labels, celllevel, maxGrey, scratch);
    } else {
        growingLaidAs<NarrowState>(grey, labels, celllevel, maxGrey, scratch);
    }
}

// A view without elements may have no column to point at.
GreyImage columnsOf(const matx& grey) {
    const bool empty = grey.m <= 0 || grey.n <= 0;
    return {empty ? nullptr : grey.col[0], grey.m, grey.n, false};
}

}  // namespace

void spreadingLabels(const matx& grey, matx& labels, double celllevel, GrowthScratch& scratch,
                     double maxGrey) {
    LabelImage out;
    out.columns = &labels;
    growingInto(columnsOf(grey), out, celllevel, scratch, maxGrey);
}

void spreadingLabelsRowMajor(const matx& grey, int32_t* labels, double celllevel,
                             GrowthScratch& scratch, double maxGrey) {
    LabelImage out;
    out.rows = labels;
    growingInto(columnsOf(grey), out, celllevel, scratch, maxGrey);
}

void spreadingLabelsRowMajor(const GreyRows& grey, int32_t* labels, double celllevel,
                             GrowthScratch& scratch, double maxGrey) {
    LabelImage out;
    out.rows = labels;
    growingInto(GreyImage{grey.values, grey.m, grey.n, true}, out, celllevel, scratch, maxGrey);
}

double maximumGrey(const double* grey, int32_t count) {
    return largestValueFromZero(grey, count);
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
