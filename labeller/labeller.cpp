#include "labeller/labeller.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <queue>
#include <system_error>
#include <utility>
#include <vector>

#include "matx/crew.h"
#include "matx/digit_sort.h"
#include "matx/largest_value.h"
#include "matx/phases.h"
#include "matx/pixel_arrays.h"
#include "matx/prefetch.h"
#include "matx/sse2.h"

// The labeller visits only what can change.
//
// A level of the flood does four things, and each is done here in time proportional to the
// pixels it changes rather than to the image:
//   - flood:   pixels are sorted by the level that floods them (1 for values up to 1, else
//              the value rounded up), so a level floods just its own pixels;
//   - grow:    a pass claims exactly the flooded pixels that touch a cell, so those are
//              queued as they appear (a flooded neighbour of a pixel that just became a
//              cell) and a pass visits the queue only; a pixel flooded beside a cell comes
//              with its claim, which nothing can change before the level's first pass;
//   - search:  every window keeps its count of flooded pixels up to date (but for a pixel
//              flooded beside a cell, which the level's first growth pass claims before any
//              count is read, and which is never counted); a count only rises during the
//              flood, so after each search every window is below 11 and only the windows
//              that reached 11 during this level's flood can start a cell;
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
// is queued then, unless a stamp takes both its pixels into one cell) or because one of its
// two labels is merged away (the position is watched under both labels and revived then).
// Under forced merging every examined pair merges, and forcing only ever stops, never
// starts, so no failed pair dates from a forced pass.
//
// What is left costs mostly memory traffic: a level's pixels lie scattered over the image.
// So the per-pixel state is kept small and in as few cache lines as a pixel's rules reach (a
// word holding label and flags together, and a byte of window count), every walk over a
// level's pixels (the flood, a growth pass's claims and joins, the stamps, a merge pass) asks
// for what it will touch a few pixels ahead, and the working space stays near 5 bytes a pixel
// plus the 4-byte flooding order, the queues and the merge watches. The lists a level sorts
// (its windows and its merge positions) are sorted by digits, which compare nothing. The
// state lies by rows; an image and B held by columns (as MATLAB holds them) are gone through
// a block at a time by the sort by level and the writing of B, rather than a pixel a line
// apart, and an image held by rows (as numpy holds it) is read as it lies.
//
// What the rules force. Each pixel is flooded once and joins a cell once, and about a quarter
// of the pixels are merge positions to examine; each of these events tests the pixel's four
// neighbours in a fixed order (a stamp, which gives 25 pixels one label at once, tests only the
// 20 around them), keeps five rows of window counts (but for a pixel flooded beside a cell,
// three in five of the flooded pixels of the benchmark's cell images), and follows labels to
// their survivors. Those are the rules the result depends on, so they are the floor of the
// work: about 400 instructions a pixel in all (bench/README.md, phase by phase). What those
// tests find is data no branch predictor can learn, two and a half to three wrong guesses a
// pixel. The flood's touch test and a growth pass's choice of cell only read, and pick the
// first cell among the four by selects: one branch. A join tests each neighbour for another
// cell without a branch; its test for a pixel waiting to be claimed stays a branch, because
// only such a pixel is queued and flagged, and writing every neighbour's word back, as a
// branch-free form must, costs more on a large image (each a cache line to write out) than the
// guesses save on a small one.
//
// Threads. Stamps and merges take effect at once for what follows them in row-major order, so
// the search and the merge pass stay on one thread. The flood and the growth passes can be
// shared exactly: a flood's result does not depend on the order of its pixels (counts add up, a
// window reaches the seed count once, the lists it makes are sorted or order-free), nor does a
// growth pass's, whose claims are all read from the state before it. So the image is cut into
// bands of rows, each band's pixels go to one thread, and the few rows where two bands' reaches
// meet go to the caller's thread afterwards (Bands, below); the sort by level is made in parts
// of rows before, and B is written in parts at the end. The threads meet twice a pass, which
// pays only where a pass holds thousands of pixels and the state has left the caches: on large
// 8-bit images (bench/README.md, "Several threads").

namespace {

struct Watch {
    int32_t position;  // padded index of the examined pixel
    int32_t next;      // next watch of the same label, or kNoWatch
};
constexpr int32_t kNoWatch = -1;

// The working image carries a margin of kMargin pixels on every side, so that neighbours and
// 5x5 windows never need a bounds test: margin pixels stay kNotFlooded, which no rule
// treats as flooded or as a cell, exactly as if they were not there. A pixel (r, c) has the
// padded index (r + kMargin) * stride + (c + kMargin); padded indices sort in row-major order,
// the order in which window centres and merge positions are visited.
constexpr int32_t kMargin = kWindowHalfWidth;

// Per pixel, one 32-bit word: its label as written in the low bits (kNotFlooded, kFlooded, or
// a cell label, which may since have been merged away and then resolves through `parent`),
// whether pairs are examined from it (rows and columns 1 .. size-2, set once), whether it
// has been queued for growth, and whether the merge queue holds it. A flood, a claim and a
// merge read and write the words of a pixel and its four neighbours, so keeping label and
// flags together spares a second array's cache lines. Labels stay below 2^28: at most one
// for every 11 pixels of fewer than 2^31 is issued.
//
// The growth flag is set once and never cleared: only a flooded pixel is queued, and a
// queued pixel leaves the flooded state (claimed by the pass that takes it from the queue,
// or stamped before) for good, so it is never to be queued again. Clearing the flag when a
// pass takes the pixel would only let the joins of that same pass queue it once more, for
// the next pass to find it no longer flooded.
constexpr uint32_t kLabelBits = 0x0FFFFFFFu;
constexpr uint32_t kMergePosition = 1u << 28;
constexpr uint32_t kQueuedForGrowth = 1u << 29;
constexpr uint32_t kInMergeQueue = 1u << 30;
// A pixel flooded beside a cell is claimed by the level's first growth pass, before the
// level's search reads a window count, so it is left out of the counts: added at its flood
// and taken at its join, it would change no count the search reads, nor which windows reach
// the seed count on the way (a count that ends at 11 or more has passed 11, one at a time).
// Set with kFlooded, the flag tells the join there is nothing to take.
constexpr uint32_t kUncounted = 1u << 31;

using Claim = std::pair<int32_t, int32_t>;  // pixel, label

// What a walk over a level's pixels finds for the steps that follow: a thread that shares
// the walk keeps lists of its own, added to the call's when the walk is over. Their order
// decides nothing: a growth pass decides every claim from the state before it, and the
// search and the merge pass sort what they are given.
struct Found {
    // Flooded pixels beside a cell, to be claimed by the next growth pass.
    std::vector<int32_t> growthQueue;
    // Pixels flooded beside a cell and the labels they take in the next growth pass, decided
    // by the flood.
    std::vector<Claim> claims;
    // Positions with a pair of different cells, to be examined by the next merge pass.
    std::vector<int32_t> mergeQueue;
    std::vector<int32_t> windowsReachingSeedCount;
    // Whether the walk is shared among threads: labels merged away are then followed
    // without shortening the way, since the labels' table is read by all.
    bool shared = false;
};

// How a level's flood and growth passes are split among threads: the image in bands of whole
// rows, each band's pixels to one thread. A pixel's work reaches one row of state and two of
// window counts either side (and a count word runs on into the row after those), so two
// pixels six rows apart or more touch nothing in common: the five rows around the top of
// every band but the first go to no thread and are done by the caller's thread afterwards.
// Band b's own pixels are the padded indices [first[b], end[b]); a call that shares nothing
// has no bands.
struct Bands {
    std::vector<int32_t> first;
    std::vector<int32_t> end;
};
constexpr int32_t kBorderAbove = 3;
constexpr int32_t kBorderBelow = 2;
constexpr int32_t kLeastBandRows = 8;

// What one thread of a crew keeps for a shared walk: its lists, the pixels it queued for the
// growth pass under way, and the claims it decides there, by the band whose thread makes
// them (the borders' last). Each on cache lines of its own, since a list's end moves at
// every pixel it takes.
struct alignas(64) CrewMember {
    Found found;  // the caller's thread, member 0, uses the call's
    std::vector<int32_t> frontier;
    std::vector<std::vector<Claim>> claimsByBand;
};

struct Flood {
    int32_t m = 0;
    int32_t n = 0;
    int32_t stride = 0;  // n + 2 * kMargin
    double cellSizeLimit = 0;
    int32_t* cellSize = nullptr;
    int32_t lastLabel = kFlooded;

    uint32_t* state = nullptr;
    // Per window: how many of its 25 pixels are kFlooded, from 0 where a window centre lies
    // and from kNoCentre elsewhere, so that only centres ever reach the seed count. A row of
    // five counts is read and written as one word, so the array runs on past the last window
    // (kWordSlack).
    uint8_t* floodedInWindow = nullptr;
    // The blocks under the two arrays above.
    PixelArray<uint32_t> stateBlock;
    PixelArray<uint8_t> countBlock;

    // Per label: the label it was merged into (itself while it lives), the pixels carrying
    // it, and the first of the positions to examine again when it is merged away.
    std::vector<int32_t> parent;
    std::vector<int32_t> carriers;
    std::vector<int32_t> firstWatch;
    // About one watch for every two pixels on cell images.
    std::vector<Watch, PixelAllocator<Watch>> watches;

    Found found;
    // Read by a growth pass only; between passes, the room in which a search or a merge
    // pass sorts its positions.
    std::vector<int32_t> frontier;
    std::vector<Claim> claims;
    std::vector<int32_t> mergeBatch;

    // For a call that shares its levels among threads: the bands, one member for each, and
    // the crew, last, so that its threads end before what they use goes.
    int32_t leastSharedWork = 0;
    Bands bands;
    std::vector<CrewMember> crewMembers;
    std::unique_ptr<Crew> crew;
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

// The same without shortening the way, for a walk shared among threads: none of them writes
// the table all of them read. No label is merged during the flood or a growth pass, so the
// way is as long as the last merge pass left it.
int32_t survivingLabel(const Flood& f, int32_t label) {
    while (f.parent[label] != label) {
        label = f.parent[label];
    }
    return label;
}

int32_t writtenLabel(uint32_t state) {
    return static_cast<int32_t>(state & kLabelBits);
}

bool isFlooded(const Flood& f, int32_t p) {
    return writtenLabel(f.state[p]) == kFlooded;
}

void writeLabel(Flood& f, int32_t p, int32_t label) {
    f.state[p] = (f.state[p] & ~kLabelBits) | static_cast<uint32_t>(label);
}

// kNotFlooded, kFlooded or the pixel's cell label. A pixel whose label was merged away is
// given the surviving label, so that the next reading need not follow the merges again.
int32_t labelAt(Flood& f, int32_t p) {
    const int32_t value = writtenLabel(f.state[p]);
    if (value < kFirstCellLabel || f.parent[value] == value) {
        return value;
    }
    const int32_t label = currentLabel(f, value);
    writeLabel(f, p, label);
    return label;
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

// The label the cell written as `written` carries now, read as the walk may: a shared walk
// does not shorten the way through the labels' table, which the threads all read. Most
// labels read are alive.
CELLKIT_INLINE_STEP int32_t cellLabelOf(Flood& f, const Found& found, int32_t written) {
    if (f.parent[written] == written) {
        return written;
    }
    return found.shared ? survivingLabel(f, written) : currentLabel(f, written);
}

// The label of the first cell among the four neighbours of p, in the order next column,
// previous column, previous row, next row, or kNotFlooded if none is a cell. Which of them
// are cells is data no processor can guess: the four words are read once, the first cell
// picked by selects, and one branch asks whether there was one.
CELLKIT_INLINE_STEP int32_t firstNeighbouringCell(Flood& f, const Found& found, int32_t p) {
    const int32_t nextColumn = writtenLabel(f.state[p + 1]);
    const int32_t previousColumn = writtenLabel(f.state[p - 1]);
    const int32_t previousRow = writtenLabel(f.state[p - f.stride]);
    const int32_t nextRow = writtenLabel(f.state[p + f.stride]);
    int32_t first = nextRow;
    first = previousRow >= kFirstCellLabel ? previousRow : first;
    first = previousColumn >= kFirstCellLabel ? previousColumn : first;
    first = nextColumn >= kFirstCellLabel ? nextColumn : first;
    if (first < kFirstCellLabel) {
        return kNotFlooded;
    }
    return cellLabelOf(f, found, first);
}

void queueMerge(Flood& f, Found& found, int32_t position) {
    if (!(f.state[position] & kInMergeQueue)) {
        f.state[position] |= kInMergeQueue;
        found.mergeQueue.push_back(position);
    }
}

bool isMergePosition(const Flood& f, int32_t p) {
    return (f.state[p] & kMergePosition) != 0;
}

// What pixel p joining cell `label` means for its neighbour q: a flooded q is queued for the
// next growth pass; the result is whether q lies in another cell, so that the pair of p and q
// may merge. Whether q is a cell at all follows the shapes of the image, which no processor
// can guess, so that answer is not a branch: the entry of q's label in `parent` is read
// whatever the label (0 and 1 are their own entries), and only a label merged away, which
// is seldom, is followed.
CELLKIT_INLINE_STEP bool meetNeighbour(Flood& f, Found& found, int32_t q, int32_t label) {
    const uint32_t state = f.state[q];
    const int32_t written = writtenLabel(state);
    if (written == kFlooded) {
        if (!(state & kQueuedForGrowth)) {
            f.state[q] = state | kQueuedForGrowth;
            found.growthQueue.push_back(q);
        }
        return false;
    }
    if (f.parent[written] != written) {
        // Alone, the survivor is written into q's word too, so that the next reading of q
        // need not follow the merges again (3 % of the time at 512x512); a shared walk writes
        // no word another thread may read.
        return (found.shared ? survivingLabel(f, written) : labelAt(f, q)) != label;
    }
    return (written >= kFirstCellLabel) & (written != label);
}

// The windows holding pixel p are the ones centred within two rows and two columns of it;
// the margin keeps that 5x5 block of counts inside the array. Windows centred where no
// centre lies are counted too, but never consulted.
int32_t firstWindowAround(const Flood& f, int32_t p) {
    return p - kWindowHalfWidth * f.stride - kWindowHalfWidth;
}

// The five counts of one row of windows are updated as one word: a count never passes 25, so
// adding or taking one in each of five bytes never carries into the next byte. The word's
// other three bytes are written back as they were read.
constexpr int32_t kWindowSide = 2 * kWindowHalfWidth + 1;
// Where no window centre lies, a count starts here: with at most 25 added it stays below 256
// and never equals the seed count.
constexpr uint8_t kNoCentre = 128;
constexpr size_t kWordSlack = sizeof(uint64_t);
constexpr uint64_t kEachByte = 0x0101010101010101;

uint64_t loadWord(const uint8_t* at) {
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    return word;
}

void storeWord(uint8_t* at, uint64_t word) {
    std::memcpy(at, &word, sizeof word);
}

// One in each of the first kWindowSide bytes in memory, whatever the byte order.
uint64_t oneInEachWindowByte() {
    const uint8_t bytes[sizeof(uint64_t)] = {1, 1, 1, 1, 1, 0, 0, 0};
    static_assert(kWindowSide == 5, "one byte per window of a row");
    return loadWord(bytes);
}

// The windows of the 5x5 block from `first` that have just reached the seed count.
void noteWindowsReachingSeedCount(Flood& f, Found& found, int32_t first) {
    for (int32_t dr = 0; dr < kWindowSide; ++dr) {
        const int32_t rowStart = first + dr * f.stride;
        for (int32_t dc = 0; dc < kWindowSide; ++dc) {
            if (f.floodedInWindow[rowStart + dc] == kMinFloodedInWindow) {
                found.windowsReachingSeedCount.push_back(rowStart + dc);
            }
        }
    }
}

// Pixel p has just flooded: every window holding it gains a flooded pixel, and the window
// centres that reach the seed count on the way are noted for this level's search. The
// stride is read once: a count's word is stored as bytes, which may be any object, so the
// compiler would read f.stride again after every row.
#if CELLKIT_SSE2
// With SSE2, a row's counts are added to and compared with the seed count byte by byte, each
// in one instruction, and the comparison is exact.
void countFloodedGain(Flood& f, Found& found, int32_t p) {
    static_assert(kWindowSide == 5, "one byte per window of a row");
    const __m128i ones = _mm_set_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1);
    const __m128i seedCount = _mm_set1_epi8(static_cast<char>(kMinFloodedInWindow));
    constexpr int kWindowBytes = (1 << kWindowSide) - 1;
    const int32_t first = firstWindowAround(f, p);
    const int32_t stride = f.stride;
    uint8_t* count = f.floodedInWindow + first;
    __m128i reached = _mm_setzero_si128();
    for (int32_t dr = 0; dr < kWindowSide; ++dr, count += stride) {
        const __m128i counts =
            _mm_add_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(count)), ones);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(count), counts);
        reached = _mm_or_si128(reached, _mm_cmpeq_epi8(counts, seedCount));
    }
    if ((_mm_movemask_epi8(reached) & kWindowBytes) != 0) {
        noteWindowsReachingSeedCount(f, found, first);
    }
}
#else
// Whether some byte of the word equals `value`; it may say yes for a byte just above one that
// does, never no wrongly, so a yes is checked byte by byte.
bool mayHoldByte(uint64_t word, uint8_t value) {
    const uint64_t x = word ^ (kEachByte * value);
    return ((x - kEachByte) & ~x & (kEachByte * 0x80)) != 0;
}

void countFloodedGain(Flood& f, Found& found, int32_t p) {
    const uint64_t ones = oneInEachWindowByte();
    const int32_t first = firstWindowAround(f, p);
    const int32_t stride = f.stride;
    uint8_t* count = f.floodedInWindow + first;
    bool mayReach = false;
    for (int32_t dr = 0; dr < kWindowSide; ++dr, count += stride) {
        const uint64_t counts = loadWord(count) + ones;
        storeWord(count, counts);
        mayReach |= mayHoldByte(counts, kMinFloodedInWindow);
    }
    if (mayReach) {
        noteWindowsReachingSeedCount(f, found, first);
    }
}
#endif

// Pixel p has left the flooded state (grown into or stamped). Every window holding it counts
// it, so no count falls below 0.
void countFloodedLoss(Flood& f, int32_t p) {
    const uint64_t ones = oneInEachWindowByte();
    const int32_t stride = f.stride;
    uint8_t* count = f.floodedInWindow + firstWindowAround(f, p);
    for (int32_t dr = 0; dr < kWindowSide; ++dr, count += stride) {
        storeWord(count, loadWord(count) - ones);
    }
}

// A level's pixels lie scattered over the image, and each one's flood touches five rows of
// window counts and three rows of state words that are seldom in the caches; so do the
// growth passes that follow, pixel by pixel of their queue. Asking for that memory a few
// pixels ahead lets those reads overlap. The pixels asked for may belong to the next level
// or pass: it then finds them ready.
constexpr size_t kPrefetchAhead = 8;

void fetchStateAround(const Flood& f, int32_t p) {
    for (const int32_t q : {p - f.stride, p, p + f.stride}) {
        prefetchForReading(f.state + q);
    }
}

void fetchCountsAround(const Flood& f, int32_t p) {
    const uint8_t* count = f.floodedInWindow + firstWindowAround(f, p);
    for (int32_t dr = 0; dr < kWindowSide; ++dr, count += f.stride) {
        prefetchForReading(count);
    }
}

// Pixel p's word takes cell `label`, and p leaves the pixels carrying its old cell if it had
// one. The result is whether p was flooded: the caller takes it out of its windows' counts
// and counts it among the new cell's carriers, a join at once, a stamp for all its pixels
// together.
CELLKIT_INLINE_STEP bool writingCellLabel(Flood& f, int32_t p, int32_t label) {
    const int32_t written = writtenLabel(f.state[p]);
    if (written >= kFirstCellLabel) {
        --f.carriers[currentLabel(f, written)];
    }
    writeLabel(f, p, label);
    return written == kFlooded;
}

// What p meeting its neighbour q means for the pair of the two, examined at `position` (p or
// q, whichever lies in the previous row or column): queued when it now holds two cells.
CELLKIT_INLINE_STEP void meetingAcrossPair(Flood& f, Found& found, int32_t q, int32_t label,
                                           int32_t position) {
    if (meetNeighbour(f, found, q, label) && isMergePosition(f, position)) {
        queueMerge(f, found, position);
    }
}

// Pixel p becomes part of cell `label` by growth, and meets its neighbours. The caller counts
// it among the label's carriers and its size.
CELLKIT_INLINE_STEP void joinCell(Flood& f, Found& found, int32_t p, int32_t label) {
    // Read once, before the counts' and the state's stores, which the compiler cannot tell
    // from f.stride.
    const int32_t stride = f.stride;
    const bool counted = !(f.state[p] & kUncounted);
    if (writingCellLabel(f, p, label) && counted) {
        countFloodedLoss(f, p);
    }
    // The neighbours in the order next column, previous column, previous row, next row. Of the
    // pairs the merge pass examines, p's joining changes the two examined at p (with its next
    // column and next row), the one examined at its previous column and the one at its
    // previous row. A position is queued where one of these now holds two different cells: a
    // pair of one cell, or with a pixel outside every cell, can merge nothing, and only a
    // change of one of its pixels can alter that (a merge joins labels, never parts them). The
    // other pair of those two neighbours has not changed: if it holds two cells, its position
    // was queued when it came to hold them, and the pair has merged since or failed and is
    // watched.
    const bool pairWithNextColumn = meetNeighbour(f, found, p + 1, label);
    meetingAcrossPair(f, found, p - 1, label, p - 1);
    meetingAcrossPair(f, found, p - stride, label, p - stride);
    const bool pairWithNextRow = meetNeighbour(f, found, p + stride, label);
    if ((pairWithNextColumn || pairWithNextRow) && isMergePosition(f, p)) {
        queueMerge(f, found, p);
    }
}

void flood(Flood& f, Found& found, int32_t p) {
    // A pixel stamped into a cell before its level has come stays in the cell.
    if (writtenLabel(f.state[p]) != kNotFlooded) {
        return;
    }
    // Nothing but flooding happens between the flood and the level's first growth pass, so
    // the claim that pass makes of a pixel flooded beside a cell is decided here, from the
    // state the pass would read.
    const int32_t joined = firstNeighbouringCell(f, found, p);
    if (joined != kNotFlooded) {
        f.state[p] |= kFlooded | kQueuedForGrowth | kUncounted;
        found.claims.emplace_back(p, joined);
        return;
    }
    f.state[p] |= kFlooded;
    countFloodedGain(f, found, p);
}

// The lists of a thread of the crew; the caller's thread is member 0.
Found& foundOf(Flood& f, int member) {
    return member == 0 ? f.found : f.crewMembers[static_cast<size_t>(member)].found;
}

template <class List>
void appending(List& from, List& to) {
    to.insert(to.end(), from.begin(), from.end());
    from.clear();
}

// What the crew found for the search and the merge pass, which the caller's thread makes,
// added to the caller's lists. The pixels queued for growth stay with the thread that
// queued them, whose cache holds their memory, for the next shared pass.
void gatheringFound(Flood& f) {
    for (size_t member = 1; member < f.crewMembers.size(); ++member) {
        Found& found = f.crewMembers[member].found;
        appending(found.mergeQueue, f.found.mergeQueue);
        appending(found.windowsReachingSeedCount, f.found.windowsReachingSeedCount);
    }
}

// The pixels queued for growth or claimed by the flood, on every thread.
size_t queuedForGrowth(const Flood& f) {
    size_t queued = f.found.growthQueue.size() + f.found.claims.size();
    for (size_t member = 1; member < f.crewMembers.size(); ++member) {
        const Found& found = f.crewMembers[member].found;
        queued += found.growthQueue.size() + found.claims.size();
    }
    return queued;
}

// For a growth pass on the caller's thread alone.
void gatheringGrowthQueues(Flood& f) {
    for (size_t member = 1; member < f.crewMembers.size(); ++member) {
        Found& found = f.crewMembers[member].found;
        appending(found.growthQueue, f.found.growthQueue);
        appending(found.claims, f.found.claims);
    }
}

// The band whose thread makes the join of pixel p, or the number of bands for the borders,
// whose joins the caller's thread makes. No branch: which band a pixel lies in is data.
size_t bandOf(const Bands& bands, int32_t p) {
    size_t band = 0;
    bool border = false;
    for (size_t b = 1; b < bands.first.size(); ++b) {
        band += static_cast<size_t>(p >= bands.first[b]);
        border |= (p >= bands.end[b - 1]) & (p < bands.first[b]);
    }
    return border ? bands.first.size() : band;
}

bool sharing(const Flood& f, size_t work) {
    return f.crew != nullptr && work >= static_cast<size_t>(f.leastSharedWork);
}

// Where part k of `parts` equal parts of [0, count) begins: the bands' rows, the sort's and
// B's parts.
int32_t partEdge(int32_t count, int k, int parts) {
    return static_cast<int32_t>(static_cast<int64_t>(count) * k / parts);
}

// work(part, first, end) for each of `parts` parts of [0, count), in order: with one part on
// the caller's thread, else one a member of the crew (as many as there are).
template <class Work>
void inParts(Flood& f, int parts, int32_t count, Work work) {
    if (parts == 1) {
        work(0, 0, count);
        return;
    }
    f.crew->run([&](int part) {
        work(part, partEdge(count, part, parts), partEdge(count, part + 1, parts));
    });
}

int crewSize(const Flood& f) {
    return f.crew == nullptr ? 1 : f.crew->members();
}

// The claims of `pixels`, decided from the state before the pass, in their order:
// keep(pixel, label) for each.
template <class Keep>
CELLKIT_INLINE_STEP void decidingClaims(Flood& f, const Found& found,
                                        const std::vector<int32_t>& pixels, Keep keep) {
    const size_t count = pixels.size();
    for (size_t k = 0; k < count; ++k) {
        if (k + kPrefetchAhead < count) {
            fetchStateAround(f, pixels[k + kPrefetchAhead]);
        }
        const int32_t p = pixels[k];
        // A stamp may have taken a queued pixel since it was queued.
        if (isFlooded(f, p)) {
            keep(p, firstNeighbouringCell(f, found, p));
        }
    }
}

// A claim counts its pixel among its label's carriers and its size; on a 16-bit image's few
// pixels a level, the two entries are asked for a few claims ahead.
CELLKIT_INLINE_STEP void fetchLabelCounts(const Flood& f, int32_t label) {
    prefetchForWriting(&f.carriers[label]);
    prefetchForWriting(&f.cellSize[label]);
}

CELLKIT_INLINE_STEP void countClaim(Flood& f, int32_t label) {
    ++f.carriers[label];
    ++f.cellSize[label];
}

// The joins of `claims`, in their order, and with kCountLabels each counted among its
// label's carriers and its size. The state around a claim is asked for again: on a large
// image a level's frontier outgrows the second-level cache before its claims are made.
template <bool kCountLabels>
CELLKIT_INLINE_STEP void makingJoins(Flood& f, Found& found, const std::vector<Claim>& claims) {
    const size_t claimed = claims.size();
    for (size_t k = 0; k < claimed; ++k) {
        if (k + kPrefetchAhead < claimed) {
            const auto [aheadPixel, aheadLabel] = claims[k + kPrefetchAhead];
            fetchCountsAround(f, aheadPixel);
            fetchStateAround(f, aheadPixel);
            if (kCountLabels) {
                fetchLabelCounts(f, aheadLabel);
            }
        }
        const auto [p, label] = claims[k];
        joinCell(f, found, p, label);
        if (kCountLabels) {
            countClaim(f, label);
        }
    }
}

// The label tables of a shared pass, counted by the caller's thread alone: a label's cell
// may lie in several bands.
void countingClaims(Flood& f, const std::vector<Claim>& claims) {
    const size_t claimed = claims.size();
    for (size_t k = 0; k < claimed; ++k) {
        if (k + kPrefetchAhead < claimed) {
            fetchLabelCounts(f, claims[k + kPrefetchAhead].second);
        }
        countClaim(f, claims[k].second);
    }
}

// A growth pass shared by the crew. Each thread decides the claims of the pixels it queued
// itself and sorts them, with those its flood decided, by the band whose thread joins them;
// once all are decided, each thread makes the joins in its band, where no other thread reads or
// writes, and the caller's thread those in the borders and the label tables' counts, since a
// label's cell may lie in several bands. A claim decided on any thread is the one the pass
// would decide alone, and a join changes what lies in its band.
void growingCellsShared(Flood& f) {
    const size_t bands = f.bands.first.size();
    f.found.shared = true;
    f.crew->run([&](int member) {
        CrewMember& own = f.crewMembers[static_cast<size_t>(member)];
        Found& found = foundOf(f, member);
        own.frontier.clear();
        own.frontier.swap(found.growthQueue);
        for (std::vector<Claim>& claims : own.claimsByBand) {
            claims.clear();
        }
        for (const Claim& claim : found.claims) {
            own.claimsByBand[bandOf(f.bands, claim.first)].push_back(claim);
        }
        found.claims.clear();
        decidingClaims(f, found, own.frontier, [&](int32_t p, int32_t label) {
            own.claimsByBand[bandOf(f.bands, p)].emplace_back(p, label);
        });
    });
    f.crew->run([&](int member) {
        for (const CrewMember& from : f.crewMembers) {
            makingJoins<false>(f, foundOf(f, member),
                               from.claimsByBand[static_cast<size_t>(member)]);
        }
    });
    f.found.shared = false;
    for (const CrewMember& from : f.crewMembers) {
        makingJoins<false>(f, f.found, from.claimsByBand[bands]);
    }
    for (const CrewMember& from : f.crewMembers) {
        for (const std::vector<Claim>& claims : from.claimsByBand) {
            countingClaims(f, claims);
        }
    }
    gatheringFound(f);
}

// One growth pass over the `queued` flooded pixels beside cells (queuedForGrowth). Every
// claim is decided before any is made, so a pixel claimed in this pass hands its label on in
// the next pass only.
CELLKIT_PHASE
void growingCells(Flood& f, size_t queued) {
    if (sharing(f, queued)) {
        growingCellsShared(f);
        return;
    }
    gatheringGrowthQueues(f);
    f.frontier.clear();
    f.frontier.swap(f.found.growthQueue);
    f.claims.clear();
    f.claims.swap(f.found.claims);
    decidingClaims(f, f.found, f.frontier,
                   [&](int32_t p, int32_t label) { f.claims.emplace_back(p, label); });
    makingJoins<true>(f, f.found, f.claims);
}

// Padded indices in increasing order, that is in row-major order. A level's windows and
// merge positions number from a few to thousands, spread over the image: sorted by their
// digits, no comparison is guessed wrong; the few are sorted as cheaply by comparison.
void sortingPositions(std::vector<int32_t>& positions, std::vector<int32_t>& spare) {
    constexpr size_t kFew = 32;
    constexpr size_t kMany = 256;
    const auto count = static_cast<int32_t>(positions.size());
    const auto index = [](int32_t p) { return static_cast<uint32_t>(p); };
    if (positions.size() < kFew) {
        std::sort(positions.begin(), positions.end());
        return;
    }
    spare.resize(positions.size());
    if (positions.size() < kMany) {
        sortingByDigits<4>(positions.data(), count, spare.data(), index);
    } else {
        sortingByDigits<8>(positions.data(), count, spare.data(), index);
    }
}

// A stamp writes the words of its 5x5 pixels and reads their neighbours', rows centre-3 to
// centre+3, and changes the window counts of rows centre-4 to centre+4: each row is asked
// for where it meets the centre's column. The windows to search lie scattered over a large
// image, so the next one's rows are asked for while this one is stamped.
void fetchAroundStamp(const Flood& f, int32_t centre) {
    const int32_t stateReach = kWindowHalfWidth + 1;
    for (int32_t dr = -stateReach; dr <= stateReach; ++dr) {
        prefetchForWriting(f.state + centre + dr * f.stride);
    }
    const int32_t countReach = 2 * kWindowHalfWidth;
    for (int32_t dr = -countReach; dr <= countReach; ++dr) {
        prefetchForWriting(f.floodedInWindow + centre + dr * f.stride);
    }
}

// What a stamp's flooded pixels take from the window counts. Each leaves the 25 windows around
// it; together those are the 9x9 windows centred within four rows and columns of the stamp's
// centre, and each count falls by the number of the stamp's flooded pixels its window holds.
// So each of the 9 rows of counts is changed once, eight bytes as one word and the ninth on
// its own, rather than five rows for each pixel. A row of pixels' part in a row of counts
// depends only on which of its five pixels were flooded: rowLosses gives it for each of the
// 32 cases, and a row of counts takes the parts of the (up to five) rows of pixels within two
// rows of it. No byte borrows from the next: a count counts every flooded pixel of its
// window.
struct RowLosses {
    uint64_t firstEight[1 << kWindowSide];
    uint8_t ninth[1 << kWindowSide];
};

const RowLosses& rowLosses() {
    static const RowLosses table = [] {
        RowLosses losses{};
        for (uint32_t flooded = 0; flooded < (1u << kWindowSide); ++flooded) {
            uint8_t bytes[sizeof(uint64_t) + 1] = {};
            for (int32_t dc = 0; dc < kWindowSide; ++dc) {
                if (flooded & (1u << dc)) {
                    for (int32_t window = dc; window < dc + kWindowSide; ++window) {
                        ++bytes[window];
                    }
                }
            }
            losses.firstEight[flooded] = loadWord(bytes);
            losses.ninth[flooded] = bytes[sizeof(uint64_t)];
        }
        return losses;
    }();
    return table;
}

void countStampLoss(Flood& f, int32_t first, const uint32_t (&floodedColumns)[kWindowSide]) {
    static_assert(2 * kWindowSide - 1 == sizeof(uint64_t) + 1, "a word and a byte a row");
    const RowLosses& losses = rowLosses();
    const int32_t stride = f.stride;
    uint8_t* count = f.floodedInWindow + firstWindowAround(f, first);
    uint64_t loss = 0;
    uint32_t ninthLoss = 0;
    for (int32_t row = 0; row < 2 * kWindowSide - 1; ++row, count += stride) {
        if (row < kWindowSide) {
            loss += losses.firstEight[floodedColumns[row]];
            ninthLoss += losses.ninth[floodedColumns[row]];
        } else {
            loss -= losses.firstEight[floodedColumns[row - kWindowSide]];
            ninthLoss -= losses.ninth[floodedColumns[row - kWindowSide]];
        }
        storeWord(count, loadWord(count) - loss);
        count[sizeof(uint64_t)] = static_cast<uint8_t>(count[sizeof(uint64_t)] - ninthLoss);
    }
}

// A stamp gives all 25 pixels of the window its new label, whatever they held: every pair
// inside the window ends up in that one cell, and only the pairs across its border can hold
// two cells or a flooded pixel beside the cell. So the pixels are all taken first, and only
// the 20 neighbours around the window are met, as a join meets its four: a pixel inside would
// only be queued for growth to be taken by the stamp itself (a growth pass skips a queued pixel
// no longer flooded), and a pair inside only queued for a merge to be found in one cell (a
// merge joins cells and never parts them). A later stamp over part of the window meets its own
// border in turn.
void stampWindow(Flood& f, int32_t centre, int32_t label) {
    const int32_t stride = f.stride;
    const int32_t first = firstWindowAround(f, centre);
    uint32_t floodedColumns[kWindowSide];
    for (int32_t dr = 0; dr < kWindowSide; ++dr) {
        uint32_t flooded = 0;
        for (int32_t dc = 0; dc < kWindowSide; ++dc) {
            flooded |= static_cast<uint32_t>(writingCellLabel(f, first + dr * stride + dc, label))
                       << dc;
        }
        floodedColumns[dr] = flooded;
    }
    f.carriers[label] += kWindowSide * kWindowSide;
    countStampLoss(f, first, floodedColumns);
    // A pair is examined at its pixel of the previous row or column.
    const int32_t bottomRow = first + (kWindowSide - 1) * stride;
    for (int32_t dc = 0; dc < kWindowSide; ++dc) {
        meetingAcrossPair(f, f.found, first + dc - stride, label, first + dc - stride);
        meetingAcrossPair(f, f.found, bottomRow + dc + stride, label, bottomRow + dc);
    }
    for (int32_t dr = 0; dr < kWindowSide; ++dr) {
        const int32_t left = first + dr * stride;
        meetingAcrossPair(f, f.found, left - 1, label, left - 1);
        meetingAcrossPair(f, f.found, left + kWindowSide, label, left + kWindowSide - 1);
    }
}

// Window centres in row-major order, as a full scan would meet them. Counts only fall
// during the search (a stamp takes flooded pixels), so a window below 11 when the search
// starts stays below, and only the windows that reached 11 in this level's flood need a look.
CELLKIT_PHASE
void findingNewCells(Flood& f) {
    std::vector<int32_t>& windows = f.found.windowsReachingSeedCount;
    sortingPositions(windows, f.frontier);
    for (size_t k = 0; k < windows.size(); ++k) {
        if (k + 1 < windows.size()) {
            fetchAroundStamp(f, windows[k + 1]);
        }
        const int32_t w = windows[k];
        if (f.floodedInWindow[w] >= kMinFloodedInWindow) {
            stampWindow(f, w, issueLabel(f));
        }
    }
    windows.clear();
}

CELLKIT_INLINE_STEP void watch(Flood& f, int32_t label, int32_t position) {
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
            queueMerge(f, f.found, watched);
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
    const int32_t below = labelAt(f, p + f.stride);
    if (below >= kFirstCellLabel && below != a) {
        if ((isSmall(f, a) && isSmall(f, below)) || forceMerge) {
            mergeTwoCells(f, below, a, p, ahead);
        } else {
            watch(f, a, p);
            watch(f, below, p);
        }
    }
}

// The words of the pairs examined at position p: p with its next column, and with its next
// row.
void fetchPairsAt(const Flood& f, int32_t p) {
    prefetchForReading(f.state + p);
    prefetchForReading(f.state + p + f.stride);
}

CELLKIT_PHASE
void mergeCells(Flood& f, bool forceMerge) {
    std::vector<int32_t>& batch = f.mergeBatch;
    batch.clear();
    batch.swap(f.found.mergeQueue);
    for (const int32_t p : batch) {
        f.state[p] &= ~kInMergeQueue;
    }
    sortingPositions(batch, f.frontier);
    PositionHeap ahead;
    size_t next = 0;
    int32_t previous = -1;
    while (next < batch.size() || !ahead.empty()) {
        int32_t p;
        if (!ahead.empty() && (next == batch.size() || ahead.top() < batch[next])) {
            p = ahead.top();
            ahead.pop();
        } else {
            if (next + kPrefetchAhead < batch.size()) {
                fetchPairsAt(f, batch[next + kPrefetchAhead]);
            }
            p = batch[next++];
        }
        if (p != previous) {
            examinePosition(f, p, forceMerge, ahead);
            previous = p;
        }
    }
}

// The level at which a grey value floods: the first of 1, 2, 3, ... not below it.
// Values from 2^52 on are whole numbers; below, truncation to an integer is exact and cheaper
// than std::ceil.
double floodingLevel(double grey) {
    constexpr double kFirstWholeOnly = 4503599627370496.0;  // 2^52
    if (grey <= 1.0) {
        return 1.0;
    }
    if (grey >= kFirstWholeOnly) {
        return grey;
    }
    const auto whole = static_cast<double>(static_cast<int64_t>(grey));
    return whole < grey ? whole + 1.0 : whole;
}

// The pixels that flood at some level up to lastLevel, grouped by that level in increasing
// order: group k floods at levels[k] and holds pixels[starts[k] .. starts[k+1]).
struct FloodOrder {
    PixelArray<int32_t> pixels;
    size_t count = 0;  // of pixels
    std::vector<double> levels;
    std::vector<size_t> starts;
};

// Levels are whole numbers. Where there are at most twice as many levels as pixels (or only
// a few), the pixels are sorted by counting, one counter per level: its memory then stays in
// proportion to the image. Beyond that, by comparison.
constexpr double kCountingSortLevels = 1024;

// Calls visit(level, padded index) for every pixel, with level 0 for a pixel that never
// floods at a level up to lastLevel. The order of the calls is the image's, which changes no
// result: both sorts below place a level's pixels in row-major order whatever the order they
// are given in.
//
// An image stored by columns is read in bands of kBandRows rows, a cache line of each column
// at a time, so that the rows of the state that the visits write (a cache line for 16
// columns of each) stay in the first-level cache while the band goes through them.
constexpr int32_t kBandRows = 8;
constexpr int32_t kColumnsAhead = 16;

double levelUpTo(double grey, double lastLevel) {
    // NaN fails the test and never floods.
    if (grey > 0) {
        const double level = floodingLevel(grey);
        return level <= lastLevel ? level : 0.0;
    }
    return 0.0;
}

// The pixels of rows [firstRow, endRow).
template <class Visit>
void forEachPixelLevel(const Flood& f, const matx& grey, double lastLevel, int32_t firstRow,
                       int32_t endRow, Visit visit) {
    for (int32_t top = firstRow; top < endRow; top += kBandRows) {
        const int32_t rows = std::min(kBandRows, endRow - top);
        const int32_t bandStart = (top + kMargin) * f.stride + kMargin;
        for (int32_t c = 0; c < grey.n; ++c) {
            const double* column = grey.col[c] + top;
            // Thousands of columns are read a line at a time: more streams than the processor
            // follows by itself, so their lines are asked for a few columns ahead.
            if (c + kColumnsAhead < grey.n) {
                prefetchForReading(grey.col[c + kColumnsAhead] + top);
                prefetchForReading(grey.col[c + kColumnsAhead] + top + rows - 1);
            }
            for (int32_t dr = 0; dr < rows; ++dr) {
                visit(levelUpTo(column[dr], lastLevel), bandStart + dr * f.stride + c);
            }
        }
    }
}

template <class Visit>
void forEachPixelLevel(const Flood& f, const GreyRows& grey, double lastLevel, int32_t firstRow,
                       int32_t endRow, Visit visit) {
    for (int32_t r = firstRow; r < endRow; ++r) {
        const double* row = grey.values + static_cast<size_t>(r) * grey.n;
        const int32_t rowStart = (r + kMargin) * f.stride + kMargin;
        for (int32_t c = 0; c < grey.n; ++c) {
            visit(levelUpTo(row[c], lastLevel), rowStart + c);
        }
    }
}

// Every value once, in memory order, for counts in which the order does not matter.
template <class Count>
void forEachGreyValue(const matx& grey, Count count) {
    for (int32_t c = 0; c < grey.n; ++c) {
        for (int32_t r = 0; r < grey.m; ++r) {
            count(grey.col[c][r]);
        }
    }
}

template <class Count>
void forEachGreyValue(const GreyRows& grey, Count count) {
    const size_t values = static_cast<size_t>(grey.m) * static_cast<size_t>(grey.n);
    for (size_t k = 0; k < values; ++k) {
        count(grey.values[k]);
    }
}

// A value floods at some level up to lastLevel when it lies above 0 and not above the last
// whole level.
template <class Grey>
size_t countFloodingPixels(const Grey& grey, double lastLevel) {
    const double top = std::floor(lastLevel);
    size_t count = 0;
    forEachGreyValue(grey, [&](double g) { count += g > 0 && g <= top ? 1 : 0; });
    return count;
}

// The parts of a counting sort: one a thread of the call's crew, where their tables of
// counts, a counter for every level, hold no more counters in all than the image pixels.
int sortingParts(const Flood& f, size_t levelCount) {
    const auto pixels = static_cast<size_t>(f.m) * static_cast<size_t>(f.n);
    const int members = crewSize(f);
    return levelCount * static_cast<size_t>(members) <= pixels ? members : 1;
}

// A counting sort in two passes. The first reads the image once and counts the pixels of
// each level; as the flood has not begun, each pixel's state word holds its level meanwhile
// (levels up to kCountingSortLevels or twice the pixels stay below 2^32), 0 = kNotFlooded
// for one that never floods. The second goes through the state by rows, places each pixel
// at the next place of its level, so that a level's pixels lie in row-major order, and gives
// the word back. The image is read once rather than once to count and once to place, and the
// level of a value, a few comparisons, is found once.
//
// A call with a crew sorts in parts of whole rows, one a thread, each counting its own rows
// in a table of its own: a level's places go to the parts in the order of their rows, so
// every pixel takes the place it takes in one part.
template <class Grey>
void sortByCounting(Flood& f, const Grey& grey, double lastLevel, FloodOrder& order) {
    const auto levelCount = static_cast<size_t>(lastLevel) + 1;
    const int parts = sortingParts(f, levelCount);
    // Pixel counts fit in 32 bits (images have fewer than 2^31 pixels). Each part's count of
    // each level, then, in place, the part's next place in that level.
    std::vector<std::vector<uint32_t>> places(static_cast<size_t>(parts),
                                              std::vector<uint32_t>(levelCount, 0));
    uint32_t* const state = f.state;
    inParts(f, parts, f.m, [&](int part, int32_t firstRow, int32_t endRow) {
        uint32_t* const count = places[static_cast<size_t>(part)].data();
        forEachPixelLevel(f, grey, lastLevel, firstRow, endRow, [&](double level, int32_t p) {
            const auto whole = static_cast<uint32_t>(level);
            state[p] = whole;
            // A pixel that never floods takes no place and is not counted: on an image whose
            // background never floods (0, NaN), each count of level 0 would wait for the one
            // before in memory. The test costs less, even where such pixels come at random.
            if (whole != 0) {
                ++count[whole];
            }
        });
    });
    uint32_t next = 0;
    for (size_t level = 1; level < levelCount; ++level) {
        const uint32_t start = next;
        for (std::vector<uint32_t>& place : places) {
            const uint32_t count = place[level];
            place[level] = next;
            next += count;
        }
        if (next > start) {
            order.levels.push_back(static_cast<double>(level));
            order.starts.push_back(start);
        }
    }
    order.count = next;
    order.pixels = allocatePixelArray<int32_t>(order.count, PixelPages::atOnce);
    int32_t* const pixels = order.pixels.get();
    inParts(f, parts, f.m, [&](int part, int32_t firstRow, int32_t endRow) {
        uint32_t* const place = places[static_cast<size_t>(part)].data();
        for (int32_t r = firstRow; r < endRow; ++r) {
            const int32_t rowStart = (r + kMargin) * f.stride + kMargin;
            for (int32_t p = rowStart; p < rowStart + f.n; ++p) {
                const uint32_t level = state[p];
                if (level != 0) {
                    pixels[place[level]++] = p;
                    state[p] = uint32_t{kNotFlooded};
                }
            }
        }
    });
}

template <class Grey>
void sortByComparison(const Flood& f, const Grey& grey, double lastLevel, FloodOrder& order) {
    order.count = countFloodingPixels(grey, lastLevel);
    order.pixels = allocatePixelArray<int32_t>(order.count, PixelPages::atOnce);
    std::vector<std::pair<double, int32_t>> flooding;
    flooding.reserve(order.count);
    forEachPixelLevel(f, grey, lastLevel, 0, grey.m, [&](double level, int32_t p) {
        if (level != 0) {
            flooding.emplace_back(level, p);
        }
    });
    std::sort(flooding.begin(), flooding.end());
    for (size_t k = 0; k < flooding.size(); ++k) {
        if (k == 0 || flooding[k].first != flooding[k - 1].first) {
            order.levels.push_back(flooding[k].first);
            order.starts.push_back(k);
        }
        order.pixels[k] = flooding[k].second;
    }
}

// The counting sort counts the flooding pixels on its way; only the comparison needs a pass
// of its own for them.
template <class Grey>
CELLKIT_PHASE
FloodOrder pixelsByFloodingLevel(Flood& f, const Grey& grey, double lastLevel) {
    FloodOrder order;
    const double pixels = static_cast<double>(f.m) * f.n;
    if (lastLevel <= std::max(kCountingSortLevels, 2.0 * pixels)) {
        sortByCounting(f, grey, lastLevel, order);
    } else {
        sortByComparison(f, grey, lastLevel, order);
    }
    order.starts.push_back(order.count);
    return order;
}

void floodingPixels(Flood& f, Found& found, const FloodOrder& order, size_t begin, size_t end) {
    for (size_t k = begin; k < end; ++k) {
        if (k + kPrefetchAhead < order.count) {
            fetchCountsAround(f, order.pixels[k + kPrefetchAhead]);
            fetchStateAround(f, order.pixels[k + kPrefetchAhead]);
        }
        flood(f, found, order.pixels[k]);
    }
}

// A level's pixels lie in row-major order, so each band's are one run of them, and so are
// each border's, which the caller's thread floods once the bands are done.
void floodGroupShared(Flood& f, const FloodOrder& order, size_t begin, size_t end) {
    const int32_t* const pixels = order.pixels.get();
    const auto placeOf = [&](int32_t index) {
        return static_cast<size_t>(std::lower_bound(pixels + begin, pixels + end, index) - pixels);
    };
    f.found.shared = true;
    f.crew->run([&](int member) {
        const auto band = static_cast<size_t>(member);
        floodingPixels(f, foundOf(f, member), order, placeOf(f.bands.first[band]),
                       placeOf(f.bands.end[band]));
    });
    f.found.shared = false;
    for (size_t band = 1; band < f.bands.first.size(); ++band) {
        floodingPixels(f, f.found, order, placeOf(f.bands.end[band - 1]),
                       placeOf(f.bands.first[band]));
    }
    gatheringFound(f);
}

CELLKIT_PHASE
void floodGroup(Flood& f, const FloodOrder& order, size_t group) {
    const size_t begin = order.starts[group];
    const size_t end = order.starts[group + 1];
    if (sharing(f, end - begin)) {
        floodGroupShared(f, order, begin, end);
    } else {
        floodingPixels(f, f.found, order, begin, end);
    }
}

CELLKIT_PHASE
void prepare(Flood& f, int32_t m, int32_t n, int32_t* cellSize, double cellSizeLimit) {
    f.m = m;
    f.n = n;
    f.stride = f.n + 2 * kMargin;
    f.cellSize = cellSize;
    f.cellSizeLimit = cellSizeLimit;
    const size_t padded = static_cast<size_t>(f.m + 2 * kMargin) * static_cast<size_t>(f.stride);
    f.stateBlock = allocatePixelArray<uint32_t>(padded, PixelPages::atOnce);
    f.state = f.stateBlock.get();
    std::fill(f.state, f.state + padded, uint32_t{kNotFlooded});
    f.countBlock = allocatePixelArray<uint8_t>(padded + kWordSlack, PixelPages::atOnce);
    f.floodedInWindow = f.countBlock.get();
    std::memset(f.floodedInWindow, kNoCentre, padded + kWordSlack);
    for (int32_t r = kFirstWindowCentre; r <= f.m - 1 - kFirstWindowCentre; ++r) {
        if (f.n > 2 * kFirstWindowCentre) {
            const int32_t rowStart = (r + kMargin) * f.stride + kMargin;
            std::fill(f.floodedInWindow + rowStart + kFirstWindowCentre,
                      f.floodedInWindow + rowStart + f.n - kFirstWindowCentre, uint8_t{0});
        }
    }
    // Labels 0 and 1 are not cells; they take places so that labels index directly.
    f.parent = {kNotFlooded, kFlooded};
    f.carriers = {0, 0};
    f.firstWatch = {kNoWatch, kNoWatch};
    // Cell images set about one watch for every two pixels (0.43 to 0.51 on the bench's
    // images). Grown by doubling from a few, the list would take fresh memory twice its final
    // size and copy itself on the way, and fresh memory costs the most when the host hands
    // freed memory back to the system at every call: room for a little more is asked for at
    // once instead. Pages never written are never taken. The room is only a help: where the
    // system refuses it (a system that counts memory asked for, not used, near its limit),
    // the list grows as it needs, and an image that fitted before still does.
    try {
        f.watches.reserve(static_cast<size_t>(f.m) * static_cast<size_t>(f.n) / 8 * 5 + 1);
    } catch (const std::bad_alloc&) {
    }
}

// The crew and its bands, when the call may use more than one thread and the image has rows
// for more than one band. Band b starts at image row b * m / threads.
void preparingCrew(Flood& f, const LabellerThreads& threads) {
    const int members = std::min(threads.threads, std::max(1, f.m / kLeastBandRows));
    if (members <= 1 || static_cast<int64_t>(f.m) * f.n < threads.leastSharedImage) {
        return;
    }
    const auto bands = static_cast<size_t>(members);
    f.bands.first.assign(bands, 0);
    f.bands.end.assign(bands, std::numeric_limits<int32_t>::max());
    for (size_t band = 1; band < bands; ++band) {
        const int32_t top = partEdge(f.m, static_cast<int>(band), members);
        f.bands.end[band - 1] = (top + kMargin - kBorderAbove) * f.stride;
        f.bands.first[band] = (top + kMargin + kBorderBelow) * f.stride;
    }
    f.crewMembers = std::vector<CrewMember>(bands);
    for (CrewMember& member : f.crewMembers) {
        member.found.shared = true;
        member.claimsByBand.assign(bands + 1, {});
    }
    f.leastSharedWork = threads.leastSharedWork;
    // Where the system starts no more threads, the call runs on the caller's alone, with the
    // same result.
    try {
        f.crew = std::make_unique<Crew>(members);
    } catch (const std::system_error&) {
    }
}

// Pairs are examined from rows and columns 1 .. size-2. Marked once the sort by level has
// given the state words back.
void markMergePositions(Flood& f) {
    for (int32_t r = 1; r <= f.m - 2 && f.n >= 3; ++r) {
        const int32_t rowStart = (r + kMargin) * f.stride + kMargin;
        std::fill(f.state + rowStart + 1, f.state + rowStart + f.n - 1, kMergePosition);
    }
}

// Once the flood is over no label is merged any more: every label is pointed straight at its
// survivor, so that writing a pixel is one look-up, with no branch on whether it lies in a
// cell or on whether its label was merged away (0 and 1 are their own entries).
void pointingLabelsAtSurvivors(Flood& f) {
    for (size_t label = 0; label < f.parent.size(); ++label) {
        f.parent[label] = currentLabel(f, static_cast<int32_t>(label));
    }
}

// The state is stored by rows and the output by columns, so both are gone through a block of
// kBlockColumns columns at a time, row by row: half a line of state a row, and as many columns of
// output, each written in its memory order. The order of reading changes no label.
constexpr int32_t kBlockColumns = 8;

CELLKIT_PHASE
void writeLabels(Flood& f, matx& labels) {
    pointingLabelsAtSurvivors(f);
    const int32_t* const survivor = f.parent.data();
    const int32_t blocks = (f.n + kBlockColumns - 1) / kBlockColumns;
    // Each part of B is written by one thread, and only read is shared.
    inParts(f, crewSize(f), blocks, [&](int /*part*/, int32_t firstBlock, int32_t endBlock) {
        for (int32_t left = firstBlock * kBlockColumns;
             left < std::min(f.n, endBlock * kBlockColumns); left += kBlockColumns) {
            const int32_t columns = std::min(kBlockColumns, f.n - left);
            for (int32_t r = 0; r < f.m; ++r) {
                const uint32_t* const state = f.state + (r + kMargin) * f.stride + left + kMargin;
                for (int32_t dc = 0; dc < columns; ++dc) {
                    labels.col[left + dc][r] =
                        static_cast<double>(survivor[writtenLabel(state[dc])]);
                }
            }
        }
    });
}

// Row by row, as the state lies.
CELLKIT_PHASE
void writeLabelsRowMajor(Flood& f, int32_t* labels) {
    pointingLabelsAtSurvivors(f);
    const int32_t* const survivor = f.parent.data();
    inParts(f, crewSize(f), f.m, [&](int /*part*/, int32_t firstRow, int32_t endRow) {
        for (int32_t r = firstRow; r < endRow; ++r) {
            int32_t* row = labels + static_cast<size_t>(r) * f.n;
            const uint32_t* const state = f.state + (r + kMargin) * f.stride + kMargin;
            for (int32_t c = 0; c < f.n; ++c) {
                row[c] = survivor[writtenLabel(state[c])];
            }
        }
    });
}

// Every level, up to the labels to write out.
template <class Grey>
void floodingAllLevels(Flood& f, const Grey& grey, int32_t* cellSize, double maxGrey,
                       double cellSizeLimit, double threshold, const LabellerThreads& threads) {
    prepare(f, grey.m, grey.n, cellSize, cellSizeLimit);
    preparingCrew(f, threads);
    const double lastLevel = maxGrey + 1.0;
    const FloodOrder order = pixelsByFloodingLevel(f, grey, lastLevel);
    markMergePositions(f);

    size_t nextGroup = 0;
    double level = 1.0;
    while (level <= lastLevel) {
        if (nextGroup < order.levels.size() && order.levels[nextGroup] == level) {
            floodGroup(f, order, nextGroup);
            ++nextGroup;
        }
        for (int pass = 0; pass < kGrowthPassesPerLevel; ++pass) {
            const size_t queued = queuedForGrowth(f);
            if (queued == 0) {
                break;
            }
            growingCells(f, queued);
        }
        if (!f.found.windowsReachingSeedCount.empty()) {
            findingNewCells(f);
        }
        if (!f.found.mergeQueue.empty()) {
            // Strictly above the level; a NaN threshold never forces.
            mergeCells(f, threshold > level);
        }
        if (queuedForGrowth(f) == 0 && f.found.mergeQueue.empty()) {
            // Nothing is left to grow or to merge: the levels up to the next one that floods a
            // pixel would change nothing.
            if (nextGroup == order.levels.size()) {
                break;
            }
            level = order.levels[nextGroup];
        } else {
            level += 1.0;
        }
    }
}

}  // namespace

void labellingCells(const matx& grey, matx& labels, int32_t* cellSize, double maxGrey,
                    double cellSizeLimit, double threshold) {
    labellingCellsOnThreads(grey, labels, cellSize, maxGrey, cellSizeLimit, threshold,
                            LabellerThreads{});
}

void labellingCellsOnThreads(const matx& grey, matx& labels, int32_t* cellSize, double maxGrey,
                             double cellSizeLimit, double threshold,
                             const LabellerThreads& threads) {
    Flood f;
    floodingAllLevels(f, grey, cellSize, maxGrey, cellSizeLimit, threshold, threads);
    writeLabels(f, labels);
}

void labellingCellsRowMajor(const matx& grey, int32_t* labels, int32_t* cellSize,
                            double maxGrey, double cellSizeLimit, double threshold,
                            const LabellerThreads& threads) {
    Flood f;
    floodingAllLevels(f, grey, cellSize, maxGrey, cellSizeLimit, threshold, threads);
    writeLabelsRowMajor(f, labels);
}

void labellingCellsRowMajor(const GreyRows& grey, int32_t* labels, int32_t* cellSize,
                            double maxGrey, double cellSizeLimit, double threshold,
                            const LabellerThreads& threads) {
    Flood f;
    floodingAllLevels(f, grey, cellSize, maxGrey, cellSizeLimit, threshold, threads);
    writeLabelsRowMajor(f, labels);
}

CellSizeTable allocateCellSizeTable(int32_t pixels) {
    const auto entries = static_cast<std::size_t>(std::max(pixels, 1));
    CellSizeTable table(static_cast<int32_t*>(std::calloc(entries, sizeof(int32_t))));
    if (!table) {
        throw std::bad_alloc();
    }
    return table;
}

double largestGreyValue(const double* grey, int32_t count) {
    return largestValueFromZero(grey, count);
}

bool levelsAreFinite(double maxGrey) {
    constexpr double kFirstUnsteppableLevel = 9007199254740992.0;  // 2^53
    return maxGrey + 1.0 < kFirstUnsteppableLevel;
}
