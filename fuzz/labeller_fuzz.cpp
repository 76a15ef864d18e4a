// libFuzzer target: the module's labeller against the plain reference, on small images
// decoded from the fuzzer's bytes. Any difference in the labels or in the cell-size table
// aborts. Images with huge grey values, too many levels for the reference, run through the
// module's labeller alone, which must still end and give sound labels.
//
// Input: byte 0 picks the encoding, then come the sizes (up to 24 x 24), the parameters and
// the pixels:
//   pixels   one byte a pixel: grey levels up to 40, halves, NaN, -Inf, tiny values;
//   patches  a background level, rectangles of given levels and walls of zeros: cells that
//            start at different levels, meet, and merge;
//   huge     patches whose levels are spread up to 2^52.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz/fuzz_bytes.h"
#include "labeller/labeller.h"
#include "matx/view_handle.h"
#include "tests/reference/labeller_reference.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

constexpr int32_t kLargestSide = 24;
constexpr int32_t kMostLevels = 40;
constexpr int32_t kMostExtraLevels = 12;

enum Encoding : uint8_t { kPixels, kPatches, kHuge, kEncodings };

struct Case {
    int32_t m = 0;
    int32_t n = 0;
    std::vector<double> grey;  // column-major
    double maxGrey = 0;
    double cellSizeLimit = 0;
    double threshold = 0;
};

double& pixel(Case& c, int32_t r, int32_t col) {
    return c.grey[static_cast<std::size_t>(r) + static_cast<std::size_t>(col) * c.m];
}

double pixelValue(uint8_t b, int32_t top) {
    switch (b) {
        case 255:
            return kNaN;
        case 254:
            return -kInf;
        case 253:
            return 1e-300;  // floods at level 1 like any value up to 1
        default:
            if (b >= 240) {
                return (b - 240) + 0.5;  // floods at the level above
            }
            return b % (top + 3) - 2;
    }
}

void fillRectangle(Case& c, int32_t r0, int32_t c0, int32_t rows, int32_t cols, double value) {
    for (int32_t col = c0; col < c0 + cols && col < c.n; ++col) {
        for (int32_t r = r0; r < r0 + rows && r < c.m; ++r) {
            pixel(c, r, col) = value;
        }
    }
}

// Rectangles of levels 0 to top on a background, then walls of zeros, one pixel thick.
void drawPatches(FuzzBytes& bytes, Case& c, int32_t top) {
    const double background = takeInRange(bytes, 0, top);
    for (double& g : c.grey) {
        g = background;
    }
    const int32_t patches = takeInRange(bytes, 0, 12);
    for (int32_t k = 0; k < patches; ++k) {
        const int32_t r0 = takeInRange(bytes, 0, c.m - 1);
        const int32_t c0 = takeInRange(bytes, 0, c.n - 1);
        const int32_t rows = takeInRange(bytes, 1, 12);
        const int32_t cols = takeInRange(bytes, 1, 12);
        fillRectangle(c, r0, c0, rows, cols, takeInRange(bytes, 0, top));
    }
    const int32_t walls = takeInRange(bytes, 0, 4);
    for (int32_t k = 0; k < walls; ++k) {
        const bool across = takeByte(bytes) & 1;
        const int32_t at = takeInRange(bytes, 0, (across ? c.m : c.n) - 1);
        const int32_t from = takeInRange(bytes, 0, (across ? c.n : c.m) - 1);
        const int32_t length = takeInRange(bytes, 1, kLargestSide);
        if (across) {
            fillRectangle(c, at, from, 1, length, 0);
        } else {
            fillRectangle(c, from, at, length, 1, 0);
        }
    }
}

// Spreads the levels of a patch image over the whole range the gateway accepts: level L
// becomes L * scale plus an offset, so that long runs of empty levels lie between them.
void spreadLevels(FuzzBytes& bytes, Case& c) {
    static const double scales[] = {1e3, 1048576.0, 1099511627776.0, 70368744177664.0};
    const double scale = takeOneOf(bytes, scales);
    const double offset = takeInRange(bytes, 0, 255) * 17.25;
    for (double& g : c.grey) {
        if (g > 0) {
            g = g * scale + offset;
        }
    }
}

Case decodeCase(FuzzBytes& bytes, Encoding encoding) {
    Case c;
    c.m = takeInRange(bytes, 0, kLargestSide);
    c.n = takeInRange(bytes, 0, kLargestSide);
    const int32_t top = takeInRange(bytes, 1, kMostLevels);
    static const double limits[] = {0,  1,  3,  5,   8,   12, 20,   25,
                                    30, 40, 60, 100, 1e9, -1, kNaN, kInf};
    c.cellSizeLimit = takeOneOf(bytes, limits);
    const uint8_t t = takeByte(bytes);
    static const double oddThresholds[] = {kNaN, -kInf, kInf, 1e300};
    c.threshold = t >= 252 ? oddThresholds[t - 252] : (t % 90) / 2.0 - 1.0;
    const uint8_t extra = takeByte(bytes);

    c.grey.assign(static_cast<std::size_t>(c.m) * c.n, 0.0);
    if (encoding == kPixels) {
        for (int32_t r = 0; r < c.m; ++r) {
            for (int32_t col = 0; col < c.n; ++col) {
                pixel(c, r, col) = pixelValue(takeByte(bytes), top);
            }
        }
    } else if (!c.grey.empty()) {
        drawPatches(bytes, c, top);
        if (encoding == kHuge) {
            spreadLevels(bytes, c);
        }
    }
    c.maxGrey = largestGreyValue(c.grey.data(), static_cast<int32_t>(c.grey.size()));
    // Now and then more levels than the image needs, as a caller of the driver may ask:
    // growth and merges go on over levels that flood nothing.
    if (encoding != kHuge && extra >= 256 - kMostExtraLevels) {
        c.maxGrey += 256 - extra;
    }
    return c;
}

struct Result {
    std::vector<double> labels;
    std::vector<int32_t> cellSize;
};

template <class Driver>
Result label(const Case& c, Driver driver) {
    std::vector<double> grey = c.grey;
    Result result{std::vector<double>(grey.size(), kNotFlooded),
                  std::vector<int32_t>(grey.size(), 0)};
    ViewHandle greyView = make_view(grey.data(), c.m, c.n);
    ViewHandle labelView = make_view(result.labels.data(), c.m, c.n);
    driver(*greyView, *labelView, result.cellSize.data(), c.maxGrey, c.cellSizeLimit, c.threshold);
    requireThat(
        grey.empty() || std::memcmp(grey.data(), c.grey.data(), sizeof(double) * grey.size()) == 0,
        "the grey image was written");
    return result;
}

// What every label image holds, whatever the levels: whole numbers; every pixel of a grey
// value above 0 flooded (all levels up to the largest are run), so 1 or a cell label; and 1
// nowhere else, as only a stamp reaches a pixel the flood does not.
void checkLabels(const Case& c, const Result& result) {
    for (std::size_t k = 0; k < c.grey.size(); ++k) {
        const double b = result.labels[k];
        requireThat(b == std::floor(b) && b >= kNotFlooded, "a label is not a whole number");
        const bool floodable = c.grey[k] > 0;  // NaN is not
        requireThat(floodable ? b >= kFlooded : b != kFlooded, "the flood reached a pixel wrongly");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzBytes bytes{data, size};
    const auto encoding = static_cast<Encoding>(takeByte(bytes) % kEncodings);
    const Case c = decodeCase(bytes, encoding);
    if (encoding == kHuge) {
        if (levelsAreFinite(c.maxGrey)) {
            checkLabels(c, label(c, labellingCells));
        }
        return 0;
    }
    const Result expected = label(c, reference::labellingCells);
    const Result actual = label(c, labellingCells);
    requireSame(actual.labels == expected.labels, "labels");
    requireSame(actual.cellSize == expected.cellSize, "cell-size table");
    checkLabels(c, actual);
    // Every level's flood and growth passes shared among threads (2 to 4, by the case),
    // however few pixels they hold, and the sort by level where its tables fit.
    const LabellerThreads threads{2 + static_cast<int>(c.grey.size() % 3), 0, 0};
    const Result shared = label(c, [&](const matx& grey, matx& labels, int32_t* cellSize,
                                       double maxGrey, double cellSizeLimit, double threshold) {
        labellingCellsOnThreads(grey, labels, cellSize, maxGrey, cellSizeLimit, threshold,
                                threads);
    });
    requireSame(shared.labels == expected.labels, "labels on threads");
    requireSame(shared.cellSize == expected.cellSize, "cell-size table on threads");
    return 0;
}
