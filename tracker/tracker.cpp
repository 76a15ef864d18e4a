#include "tracker/tracker.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "matx/bits.h"
#include "matx/prefetch.h"

// How this gives exactly the results of the rule in tracker.h, with far less work:
//
// - Each frame is read once. Scanning frame t+1 for pair t frees its markers and lists them;
//   pair t+1 lists the same pixels as its frame t (values 0..253 never change and markers
//   stay markers) and only has to free again the ones pair t claimed. The frame is read in
//   memory order; the list is then put in row order, the order in which markers claim.
// - A marker that fails the border test at some radius fails it at every larger one, so it
//   leaves the pair's open list at once, as does a marker that linked. The radius loop ends
//   when no marker is open or no marker of the next frame is free: nothing can change after.
// - No pixel of the next frame becomes free again within a pair. A marker still open at
//   radius r > 3 scanned its whole (r-1)-square at r-1 and found nothing free, so a free
//   pixel of its r-square can only lie on the ring at Chebyshev distance exactly r, and the
//   first free pixel of the ring in column-then-row order is the first of the square.
// - The free markers of the next frame are kept as bits, by column and by row. The first free
//   pixel of a column stretch or of a row stretch is found a word (64 pixels) at a time.
// - A marker refused a track at the track limit changes nothing. At every later radius it
//   would find a free pixel again (the one refused or another) and be refused again, still
//   changing nothing, so it leaves the open list once refused.

namespace {

// Where pixel (row, column, frame) lies in I and in Itracks. Offsets are size_t: a stack may
// hold 2^31 elements or more.
struct StackLayout {
    std::size_t rows;
    std::size_t frameSize;  // rows * cols

    std::size_t at(int32_t row, int32_t col, int32_t frame) const {
        return static_cast<std::size_t>(row) + static_cast<std::size_t>(col) * rows +
               static_cast<std::size_t>(frame) * frameSize;
    }
};

struct PixelPosition {
    int32_t row;
    int32_t col;
};

// A marker pixel of a frame as the scan finds it.
struct FramePixel {
    uint16_t row;
    uint16_t col;
};

// The markers of one frame, in a buffer sized for a whole frame once, so that listing a
// marker is a plain store. Left uninitialised: only the first `count` entries are read.
struct MarkerList {
    std::unique_ptr<FramePixel[]> pixels;
    std::size_t count = 0;

    const FramePixel* begin() const { return pixels.get(); }
    const FramePixel* end() const { return pixels.get() + count; }
    bool empty() const { return count == 0; }
};

// A marker of the current frame that may still link in this pair.
struct OpenMarker {
    uint16_t x;  // 0-based column
    uint16_t y;  // 0-based row
    // The largest radius at which it passes the border test.
    uint16_t lastRadius;
};

// The markers of the current frame still open, in the order in which they claim partners.
struct OpenList {
    std::unique_ptr<OpenMarker[]> markers;  // uninitialised, like MarkerList
    std::size_t count = 0;
};

// The buffers that links write into besides I.
struct TrackOutputs {
    uint16_t* Itracks;
    uint16_t* Ptracks;
    double* tracklength;
    double* trackstarts;
    double* trackstartX;
    double* trackstartY;
    std::size_t frames;
};

bool isMarker(uint8_t value) {
    return value > kLastBackgroundValue;
}

constexpr int32_t kNotFound = -1;
constexpr int32_t kBitsPerWord = 64;

int32_t wordsFor(int32_t bits) {
    return (bits + kBitsPerWord - 1) / kBitsPerWord;
}

// The first set bit of `line` from bit `first` to bit `last`, both included; kNotFound when
// none is set.
int32_t firstSetBit(const uint64_t* line, int32_t first, int32_t last) {
    int32_t w = first / kBitsPerWord;
    const int32_t lastWord = last / kBitsPerWord;
    uint64_t word = line[w] & (~uint64_t{0} << (first % kBitsPerWord));
    while (w < lastWord) {
        if (word != 0) {
            return w * kBitsPerWord + lowestSetBit(word);
        }
        word = line[++w];
    }
    // Bits up to `last`; 2 << 63 wraps to 0 and keeps the whole word.
    word &= (uint64_t{2} << (last % kBitsPerWord)) - 1;
    return word != 0 ? w * kBitsPerWord + lowestSetBit(word) : kNotFound;
}

// The free markers of the next frame, one bit per pixel, twice over: by column (consecutive
// rows of a column in consecutive bits) for the whole columns of a square, and by row for the
// two rows a ring adds to each inner column. A claim clears both.
struct FreeMarkerIndex {
    int32_t wordsPerColumn;
    int32_t wordsPerRow;
    std::vector<uint64_t> byColumn;
    std::vector<uint64_t> byRow;

    FreeMarkerIndex(int32_t rows, int32_t cols)
        : wordsPerColumn(wordsFor(rows)),
          wordsPerRow(wordsFor(cols)),
          byColumn(static_cast<std::size_t>(wordsPerColumn) * cols, 0),
          byRow(static_cast<std::size_t>(wordsPerRow) * rows, 0) {}

    static void setBit(uint64_t* line, int32_t bit) {
        line[bit / kBitsPerWord] |= uint64_t{1} << (bit % kBitsPerWord);
    }
    static void clearBit(uint64_t* line, int32_t bit) {
        line[bit / kBitsPerWord] &= ~(uint64_t{1} << (bit % kBitsPerWord));
    }
    uint64_t* column(int32_t col) {
        return byColumn.data() + static_cast<std::size_t>(col) * wordsPerColumn;
    }
    uint64_t* row(int32_t r) { return byRow.data() + static_cast<std::size_t>(r) * wordsPerRow; }

    void add(int32_t r, int32_t col) {
        setBit(column(col), r);
        setBit(row(r), col);
    }
    void remove(int32_t r, int32_t col) {
        clearBit(column(col), r);
        clearBit(row(r), col);
    }
    // The first free row of column `col` from `top` to `bottom`.
    int32_t firstInColumn(int32_t col, int32_t top, int32_t bottom) {
        return firstSetBit(column(col), top, bottom);
    }
    // The first free column of row `r` from `left` to `right`.
    int32_t firstInRow(int32_t r, int32_t left, int32_t right) {
        return firstSetBit(row(r), left, right);
    }
};

// The first free pixel of the whole square, columns outer and rows inner: the smallest column
// wins, then the smallest row. The marker's own position is part of it.
bool firstFreeInSquare(FreeMarkerIndex& index, const OpenMarker& m, int32_t radius,
                       PixelPosition& partner) {
    for (int32_t col = m.x - radius; col <= m.x + radius; ++col) {
        const int32_t row = index.firstInColumn(col, m.y - radius, m.y + radius);
        if (row != kNotFound) {
            partner = {row, col};
            return true;
        }
    }
    return false;
}

// The first free pixel at Chebyshev distance exactly `radius`, in the same column-then-row
// order: the whole left column, then the inner columns, each with its top pixel before its
// bottom one, then the whole right column.
bool firstFreeOnRing(FreeMarkerIndex& index, const OpenMarker& m, int32_t radius,
                     PixelPosition& partner) {
    const int32_t left = m.x - radius;
    const int32_t right = m.x + radius;
    const int32_t top = m.y - radius;
    const int32_t bottom = m.y + radius;
    int32_t row = index.firstInColumn(left, top, bottom);
    if (row != kNotFound) {
        partner = {row, left};
        return true;
    }
    const int32_t inTop = index.firstInRow(top, left + 1, right - 1);
    const int32_t inBottom = index.firstInRow(bottom, left + 1, right - 1);
    if (inTop != kNotFound && (inBottom == kNotFound || inTop <= inBottom)) {
        partner = {top, inTop};
        return true;
    }
    if (inBottom != kNotFound) {
        partner = {bottom, inBottom};
        return true;
    }
    row = index.firstInColumn(right, top, bottom);
    if (row != kNotFound) {
        partner = {row, right};
        return true;
    }
    return false;
}

// Ptracks: kPositionRows entries per frame, plane 0 the 1-based column (X), plane 1 the
// 1-based row (Y). 100000 * frames passes 2^31 after 10737 frames, hence size_t. A caller that
// reads the positions off Itracks gives no Ptracks.
void setPosition(const TrackOutputs& out, uint16_t id, int32_t frame, PixelPosition pixel) {
    if (out.Ptracks == nullptr) {
        return;
    }
    const std::size_t entry =
        static_cast<std::size_t>(id - 1) + static_cast<std::size_t>(frame) * kPositionRows;
    const std::size_t planeSize = static_cast<std::size_t>(kPositionRows) * out.frames;
    out.Ptracks[entry] = static_cast<uint16_t>(pixel.col + 1);
    out.Ptracks[entry + planeSize] = static_cast<uint16_t>(pixel.row + 1);
}

// Links marker `m` of `frame` to `partner` in the next frame, starting a track when the
// marker carries none. Returns false, changing nothing, when that track would be number
// kMaxTracks + 1: its id would not fit 16 bits and would wrap to 0, "no track".
bool linkToPartner(uint8_t* I, const StackLayout& layout, const TrackOutputs& out,
                   uint16_t& trackCount, const OpenMarker& m, int32_t frame,
                   PixelPosition partner) {
    const PixelPosition start{m.y, m.x};
    const std::size_t from = layout.at(start.row, start.col, frame);
    const std::size_t to = layout.at(partner.row, partner.col, frame + 1);
    uint16_t id = out.Itracks[from];
    if (id == 0) {
        if (trackCount == kMaxTracks) {
            return false;
        }
        ++trackCount;
        id = trackCount;
        out.Itracks[from] = id;
        setPosition(out, id, frame, start);
        const std::size_t k = id - 1u;
        out.trackstarts[k] = frame + 1;
        out.tracklength[k] = 0;
        out.trackstartX[k] = start.col + 1;
        out.trackstartY[k] = start.row + 1;
    }
    out.tracklength[id - 1u] += 1;
    out.Itracks[to] = id;
    setPosition(out, id, frame + 1, partner);
    I[from] = kLinkedMarker;
    I[to] = kLinkedMarker;
    return true;
}

// Every marker of the stack to kFreeMarker, nothing else changed: what the pairs leave when
// none of them links. Written as a select so that it compiles to vector code.
void freeEveryMarker(uint8_t* I, std::size_t elements) {
    for (std::size_t k = 0; k < elements; ++k) {
        I[k] = isMarker(I[k]) ? kFreeMarker : I[k];
    }
}

// A frame is one block of memory, column after column, scanned in blocks: a block is first
// tested as a whole for a marker (vector code); only blocks that hold one are looked into, an
// 8-byte word at a time, and only words that hold one byte by byte. Most of a sparse frame
// is passed over at the first test.
constexpr std::size_t kBlock = 64;
constexpr std::size_t kWord = sizeof(uint64_t);

bool anyMarkerIn(const uint8_t* pixels) {
    // A maximum, not an "or" of comparisons: compilers turn this one into vector code.
    uint8_t largest = 0;
    for (std::size_t k = 0; k < kBlock; ++k) {
        largest = std::max(largest, pixels[k]);
    }
    return isMarker(largest);
}

// Whether any byte of the word is 254 or 255, the order of the bytes aside: a byte is at
// least 254 exactly when its top bit is set and its low seven bits plus 2 reach the top bit.
// The sum never carries into the next byte.
bool anyMarkerInWord(const uint8_t* pixels) {
    constexpr uint64_t kLowBits = 0x7F7F7F7F7F7F7F7FULL;
    constexpr uint64_t kTopBits = 0x8080808080808080ULL;
    constexpr uint64_t kTwos = 0x0202020202020202ULL;
    uint64_t word;
    std::memcpy(&word, pixels, sizeof word);
    return (((word & kLowBits) + kTwos) & word & kTopBits) != 0;
}

// Frees every marker of `frame` and lists them column by column, in memory order.
void freeAndListMarkers(uint8_t* frame, int32_t rows, std::size_t frameSize, MarkerList& listed) {
    FramePixel* list = listed.pixels.get();
    std::size_t count = 0;
    // Pixels are met in increasing order, so the column is found by counting columns up.
    int32_t col = 0;
    std::size_t columnStart = 0;
    auto visit = [&](std::size_t k) {
        if (!isMarker(frame[k])) {
            return;
        }
        frame[k] = kFreeMarker;
        while (k >= columnStart + rows) {
            ++col;
            columnStart += rows;
        }
        list[count++] = {static_cast<uint16_t>(k - columnStart), static_cast<uint16_t>(col)};
    };
    std::size_t k = 0;
    for (; k + kBlock <= frameSize; k += kBlock) {
        if (!anyMarkerIn(frame + k)) {
            continue;
        }
        for (std::size_t w = k; w < k + kBlock; w += kWord) {
            if (anyMarkerInWord(frame + w)) {
                for (std::size_t b = w; b < w + kWord; ++b) {
                    visit(b);
                }
            }
        }
    }
    for (; k < frameSize; ++k) {
        visit(k);
    }
    listed.count = count;
}

// The markers of the current frame that pass the border test at the first radius, in row
// order (rows outer, columns inner), the order in which they claim partners. `listed` is in
// column order; a counting sort by row keeps the columns of each row increasing.
void openMarkersInRowOrder(const MarkerList& listed, int32_t rows, int32_t cols,
                           std::vector<int32_t>& rowStart, OpenList& open) {
    auto lastRadius = [&](const FramePixel& p) {
        // radius < x and x < cols - radius, the same for rows.
        const int32_t x = p.col;
        const int32_t y = p.row;
        return std::min(std::min(x - 1, y - 1), std::min(cols - 1 - x, rows - 1 - y));
    };
    int32_t* start = rowStart.data();
    std::fill(start, start + rows + 1, 0);
    for (const FramePixel& p : listed) {
        if (lastRadius(p) >= kFirstRadius) {
            ++start[p.row + 1];
        }
    }
    for (int32_t r = 0; r < rows; ++r) {
        start[r + 1] += start[r];
    }
    open.count = static_cast<std::size_t>(start[rows]);
    OpenMarker* markers = open.markers.get();
    for (const FramePixel& p : listed) {
        const int32_t radius = lastRadius(p);
        if (radius >= kFirstRadius) {
            markers[start[p.row]++] = {p.col, p.row, static_cast<uint16_t>(radius)};
        }
    }
}

// Once a start has been refused at the track limit, a marker without a track can only be
// refused again, which changes nothing: it need not search at all.
bool canOnlyBeRefused(const StackLayout& layout, const TrackOutputs& out, uint16_t trackCount,
                      bool refused, const OpenMarker& m, int32_t frame) {
    return refused && trackCount == kMaxTracks && out.Itracks[layout.at(m.y, m.x, frame)] == 0;
}

// Radius outer, markers inner: every open marker tries a radius before any tries the next,
// so a nearer partner always wins over list order. `refused` is set when a track is refused.
void linkPair(uint8_t* I, const StackLayout& layout, const TrackOutputs& out, uint16_t& trackCount,
              bool& refused, OpenList& open, FreeMarkerIndex& index, std::size_t freeCount,
              int32_t frame, int32_t maxDistance) {
    OpenMarker* markers = open.markers.get();
    for (int32_t radius = kFirstRadius; radius <= maxDistance && open.count > 0 && freeCount > 0;
         ++radius) {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < open.count; ++k) {
            const OpenMarker m = markers[k];
            if (m.lastRadius < radius ||
                canOnlyBeRefused(layout, out, trackCount, refused, m, frame)) {
                continue;
            }
            PixelPosition partner{};
            const bool found = radius == kFirstRadius ? firstFreeInSquare(index, m, radius, partner)
                                                      : firstFreeOnRing(index, m, radius, partner);
            if (!found) {
                markers[kept++] = m;
            } else if (linkToPartner(I, layout, out, trackCount, m, frame, partner)) {
                index.remove(partner.row, partner.col);
                --freeCount;
            } else {
                refused = true;
            }
        }
        open.count = kept;
    }
}

}  // namespace

int tracking(uint8_t* I, uint16_t* Itracks, double* tracklength, double* trackstarts,
             uint16_t* Ptracks, double* trackstartX, double* trackstartY, int rows, int cols,
             int frames, int maxDistance, bool* trackLimitReached) {
    if (trackLimitReached != nullptr) {
        *trackLimitReached = false;
    }
    if (rows <= 0 || cols <= 0 || frames < 2) {
        return 0;
    }
    const StackLayout layout{static_cast<std::size_t>(rows),
                             static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols)};
    // No square fits inside the border of a frame with fewer than 2 * 3 + 2 rows or columns.
    constexpr int32_t kSmallestLinkingSide = 2 * kFirstRadius + 2;
    if (maxDistance < kFirstRadius || rows < kSmallestLinkingSide || cols < kSmallestLinkingSide) {
        freeEveryMarker(I, layout.frameSize * static_cast<std::size_t>(frames));
        return 0;
    }
    const TrackOutputs out{Itracks,
                           Ptracks,
                           tracklength,
                           trackstarts,
                           trackstartX,
                           trackstartY,
                           static_cast<std::size_t>(frames)};

    // Every scratch buffer at its largest before anything is written.
    MarkerList current{std::unique_ptr<FramePixel[]>(new FramePixel[layout.frameSize])};
    MarkerList next{std::unique_ptr<FramePixel[]>(new FramePixel[layout.frameSize])};
    OpenList open{std::unique_ptr<OpenMarker[]>(new OpenMarker[layout.frameSize])};
    std::vector<int32_t> rowStart(static_cast<std::size_t>(rows) + 1);
    FreeMarkerIndex index(rows, cols);

    uint16_t trackCount = 0;
    bool refused = false;
    freeAndListMarkers(I, rows, layout.frameSize, current);
    for (int32_t t = 0; t < frames - 1; ++t) {
        uint8_t* frame = I + static_cast<std::size_t>(t) * layout.frameSize;
        if (t > 0) {
            // Pair t-1 listed and freed these; the ones it claimed are free again here.
            for (const FramePixel& p : current) {
                frame[p.row + static_cast<std::size_t>(p.col) * rows] = kFreeMarker;
            }
        }
        freeAndListMarkers(frame + layout.frameSize, rows, layout.frameSize, next);
        openMarkersInRowOrder(current, rows, cols, rowStart, open);
        if (open.count > 0 && !next.empty()) {
            uint16_t* nextTracks = Itracks + static_cast<std::size_t>(t + 1) * layout.frameSize;
            for (const FramePixel& p : next) {
                index.add(p.row, p.col);
                // A link writes the track id at its partner in Itracks, a pixel the tracker
                // has not touched before: without a hint every link waits for memory there.
                prefetchForWriting(nextTracks + p.row + static_cast<std::size_t>(p.col) * rows);
            }
            linkPair(I, layout, out, trackCount, refused, open, index, next.count, t, maxDistance);
            for (const FramePixel& p : next) {
                index.remove(p.row, p.col);
            }
        }
        std::swap(current, next);
    }

    if (trackLimitReached != nullptr) {
        *trackLimitReached = refused;
    }
    return trackCount;
}

int32_t largestTrackCount(const uint8_t* I, int rows, int cols, int frames) {
    if (rows <= 0 || cols <= 0 || frames < 2) {
        return 0;
    }
    // Frames 0 .. frames-2 are the first (frames - 1) * rows * cols elements.
    const std::size_t startElements = static_cast<std::size_t>(rows) *
                                      static_cast<std::size_t>(cols) *
                                      static_cast<std::size_t>(frames - 1);
    int32_t count = 0;
    for (std::size_t k = 0; k < startElements && count < kMaxTracks; ++k) {
        if (isMarker(I[k])) {
            ++count;
        }
    }
    return count;
}

int32_t truncateToInt32(double value) {
    // Exactly the doubles whose integer part fits int32 pass; NaN fails both comparisons.
    constexpr double kBelowRange = -2147483649.0;  // INT32_MIN - 1
    constexpr double kAboveRange = 2147483648.0;   // INT32_MAX + 1
    if (value > kBelowRange && value < kAboveRange) {
        return static_cast<int32_t>(value);
    }
    return std::numeric_limits<int32_t>::min();
}
