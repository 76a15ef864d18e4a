// libFuzzer target: the module's seeded grower against the plain reference, on small images
// decoded from the fuzzer's bytes. Any difference in the labels aborts. Images with huge
// grey values, too many levels for the reference (twenty per grey unit), run through the
// module's grower alone, which must still end and give sound labels.
//
// Input: byte 0 picks the encoding, then come the sizes (up to 24 x 24), the largest
// ordinary grey value (up to 8), the seed level and the pixels:
//   pixels   one byte a pixel: whole values, values on and off the 0.05 grid of the levels,
//            seeds, negative values, -Inf and NaN;
//   patches  a background, rectangles of values and single seed pixels: regions that grow
//            towards each other and meet;
//   huge     patches whose values are multiplied by up to 2^44.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz/fuzz_bytes.h"
#include "matx/view_handle.h"
#include "seedgrow/seedgrow.h"
#include "tests/reference/growers.h"
#include "tests/reference/seedgrow_reference.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

constexpr int32_t kLargestSide = 24;
constexpr int32_t kLargestTop = 8;

enum Encoding : uint8_t { kPixels, kPatches, kHuge, kEncodings };

struct Case {
    int32_t m = 0;
    int32_t n = 0;
    std::vector<double> grey;  // column-major
    double celllevel = 0;
};

double& pixel(Case& c, int32_t r, int32_t col) {
    return c.grey[static_cast<std::size_t>(r) + static_cast<std::size_t>(col) * c.m];
}

// Seeds lie above every ordinary value, as in the usual layout (grey values below the seed
// level, seeds above it); the seed level decides which pixels actually are seeds.
double seedValue(int32_t top) {
    return top + 1;
}

double pixelValue(uint8_t b, int32_t top) {
    switch (b) {
        case 255:
            return kNaN;
        case 254:
            return -kInf;
        case 253:
            return 1e-300;
        case 252:
            return seedValue(top);
        case 251:
            return -0.5;
        case 250:
            return -1.0;
        default:
            if (b < 100) {
                return b % (top + 1);
            }
            if (b < 200) {
                return std::fmod((b - 100) * 0.05, top + 0.05);  // near a level, not on it
            }
            return std::fmod((b - 200) / 7.0, top + 1);
    }
}

void fillRectangle(Case& c, int32_t r0, int32_t c0, int32_t rows, int32_t cols, double value) {
    for (int32_t col = c0; col < c0 + cols && col < c.n; ++col) {
        for (int32_t r = r0; r < r0 + rows && r < c.m; ++r) {
            pixel(c, r, col) = value;
        }
    }
}

void drawPatches(FuzzBytes& bytes, Case& c, int32_t top) {
    const double background = pixelValue(takeByte(bytes), top);
    for (double& g : c.grey) {
        g = background;
    }
    const int32_t patches = takeInRange(bytes, 0, 8);
    for (int32_t k = 0; k < patches; ++k) {
        const int32_t r0 = takeInRange(bytes, 0, c.m - 1);
        const int32_t c0 = takeInRange(bytes, 0, c.n - 1);
        const int32_t rows = takeInRange(bytes, 1, 12);
        const int32_t cols = takeInRange(bytes, 1, 12);
        fillRectangle(c, r0, c0, rows, cols, pixelValue(takeByte(bytes), top));
    }
    const int32_t seeds = takeInRange(bytes, 0, 12);
    for (int32_t k = 0; k < seeds; ++k) {
        const int32_t r = takeInRange(bytes, 0, c.m - 1);
        pixel(c, r, takeInRange(bytes, 0, c.n - 1)) = seedValue(top);
    }
}

// Spreads the values of a patch image over the range the gateway accepts, below 2^49.
void spreadValues(FuzzBytes& bytes, Case& c) {
    static const double scales[] = {1e3, 1048576.0, 1099511627776.0, 17592186044416.0};
    const double scale = takeOneOf(bytes, scales);
    for (double& g : c.grey) {
        if (g > 0) {
            g *= scale;
        }
    }
    if (c.celllevel > 0 && std::isfinite(c.celllevel)) {
        c.celllevel *= scale;
    }
}

Case decodeCase(FuzzBytes& bytes, Encoding encoding) {
    Case c;
    c.m = takeInRange(bytes, 0, kLargestSide);
    c.n = takeInRange(bytes, 0, kLargestSide);
    const int32_t top = takeInRange(bytes, 0, kLargestTop);
    const double celllevels[] = {static_cast<double>(top),
                                 top + 0.5,
                                 top - 0.5,
                                 0.5,
                                 0.0,
                                 -1.0,
                                 2.0,
                                 kNaN,
                                 kInf,
                                 -kInf,
                                 1e300,
                                 1.0};
    c.celllevel = takeOneOf(bytes, celllevels);
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
            spreadValues(bytes, c);
        }
    }
    return c;
}

template <class Grow>
std::vector<double> grow(const Case& c, Grow growLabels) {
    std::vector<double> grey = c.grey;
    // Labels start as garbage: the grower must write every one.
    std::vector<double> labels(grey.size(), -3.25);
    ViewHandle greyView = make_view(grey.data(), c.m, c.n);
    ViewHandle labelView = make_view(labels.data(), c.m, c.n);
    growLabels(*greyView, *labelView);
    requireThat(
        grey.empty() || std::memcmp(grey.data(), c.grey.data(), sizeof(double) * grey.size()) == 0,
        "the grey image was written");
    return labels;
}

std::vector<double> growFast(const Case& c, bool wideState) {
    GrowthScratch scratch = makeGrowthScratch(c.m, c.n, wideState);
    return grow(c, [&](const matx& grey, matx& labels) {
        spreadingLabels(grey, labels, c.celllevel, scratch);
    });
}

std::vector<double> growPlain(const Case& c) {
    std::vector<pixelPos> frontier(c.grey.size());
    std::vector<pixelPos> candidates(c.grey.size());
    return grow(c, [&](const matx& grey, matx& labels) {
        reference::spreadingLabels(grey, labels, c.celllevel, frontier.data(), candidates.data());
    });
}

// What every label image holds, whatever the levels: each seed its own label, 1, 2, ... row
// by row; every other label one of those; NaN pixels unlabelled.
void checkLabels(const Case& c, const std::vector<double>& labels) {
    double seeds = 0;
    for (int32_t r = 0; r < c.m; ++r) {
        for (int32_t col = 0; col < c.n; ++col) {
            const std::size_t k = static_cast<std::size_t>(r) + static_cast<std::size_t>(col) * c.m;
            if (c.grey[k] > c.celllevel) {
                seeds += 1;
                requireThat(labels[k] == seeds, "a seed lost its label");
            }
        }
    }
    for (std::size_t k = 0; k < c.grey.size(); ++k) {
        requireThat(labels[k] == std::floor(labels[k]) && labels[k] >= 0 && labels[k] <= seeds,
                    "a label is not one of the seeds'");
        requireThat(!std::isnan(c.grey[k]) || labels[k] == kUnlabelled, "a NaN pixel is labelled");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzBytes bytes{data, size};
    const auto encoding = static_cast<Encoding>(takeByte(bytes) % kEncodings);
    const Case c = decodeCase(bytes, encoding);
    const double maxGrey = maximumGrey(c.grey.data(), static_cast<int32_t>(c.grey.size()));
    if (!levelsPassMaximum(maxGrey)) {
        return 0;  // refused by the gateway
    }
    const std::vector<double> actual = growFast(c, /*wideState=*/false);
    checkLabels(c, actual);
    // The 8-byte state, kept for images of 2^29 pixels and more, must give the same.
    requireSame(actual == growFast(c, /*wideState=*/true), "labels with the wide state");
    // And from the grey image by rows, as the Python binding gives a C-ordered array.
    requireSame(actual == grow(c,
                               [&](const matx& grey, matx& labels) {
                                   growWithModuleFromRowsOnJunk<false>(grey, labels, c.celllevel);
                               }),
                "labels from the image by rows");
    if (encoding != kHuge) {
        requireSame(actual == growPlain(c), "labels");
    }
    return 0;
}
