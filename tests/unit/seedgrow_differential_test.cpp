// The module's grower against the plain reference, on seeded random images: the label images
// must agree bit for bit.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "matx/view_handle.h"
#include "seedgrow/seedgrow.h"
#include "tests/reference/growers.h"
#include "tests/unit/random_choice.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Case {
    int32_t m = 0;
    int32_t n = 0;
    std::vector<double> grey;  // column-major
    double celllevel = 0;
};

double real(std::mt19937_64& rng, double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
}

bool chance(std::mt19937_64& rng, int32_t inHowMany) {
    return uniform(rng, 1, inHowMany) == 1;
}

// The levels the grower visits, 1.0 and on by single additions: grey values equal to one of
// them, or a double away, make the ties between a level and a grey value.
const std::vector<double>& visitedLevels() {
    static const std::vector<double> levels = [] {
        std::vector<double> all;
        for (double level = 1.0; level < 64.0; level += 0.05) {
            all.push_back(level);
        }
        return all;
    }();
    return levels;
}

double levelTie(std::mt19937_64& rng, double top) {
    const std::vector<double>& levels = visitedLevels();
    const auto below = std::upper_bound(levels.begin(), levels.end(), top) - levels.begin();
    if (below == 0) {
        return top;
    }
    const double level = levels[uniform(rng, 0, static_cast<int32_t>(below) - 1)];
    switch (uniform(rng, 0, 3)) {
        case 0:
            return std::nextafter(level, -kInf);
        case 1:
            return std::nextafter(level, kInf);
        default:
            return level;
    }
}

// One grey value up to `top` in the case's style.
double background(std::mt19937_64& rng, int32_t style, double top) {
    const double bottom = std::min(-1.0, top - 1.0);
    switch (style) {
        case 0:  // whole numbers: ties between pixels everywhere
            return uniform(rng, static_cast<int32_t>(bottom),
                           static_cast<int32_t>(std::floor(top)));
        case 1:  // exactly on a visited level, or a double away
            return levelTie(rng, top);
        case 2:  // multiples of 0.05 computed rather than accumulated: near the levels
            return 0.05 * uniform(rng, static_cast<int32_t>(bottom / 0.05),
                                  static_cast<int32_t>(std::floor(top / 0.05)));
        default:
            return real(rng, bottom, top);
    }
}

// Basins: values rising with the distance from a few centres, so that regions grown from
// seeds in them meet along ridges.
void drawBasins(std::mt19937_64& rng, Case& c, double top) {
    const int32_t centres = uniform(rng, 1, 5);
    std::vector<double> rows(centres), cols(centres), slopes(centres);
    for (int32_t k = 0; k < centres; ++k) {
        rows[k] = real(rng, 0, c.m);
        cols[k] = real(rng, 0, c.n);
        slopes[k] = real(rng, 0.1, 3.0);
    }
    const double grid = pick(rng, {1.0, 0.5, 0.05, 0.0});
    for (int32_t col = 0; col < c.n; ++col) {
        for (int32_t row = 0; row < c.m; ++row) {
            double value = top;
            for (int32_t k = 0; k < centres; ++k) {
                value = std::min(value, slopes[k] * std::hypot(row - rows[k], col - cols[k]));
            }
            if (grid > 0) {
                value = grid * std::round(value / grid);
            }
            c.grey[row + static_cast<size_t>(col) * c.m] = value;
        }
    }
}

// The image's size: now and then empty, one row or column, or two; mostly small.
void pickSize(std::mt19937_64& rng, Case& c, int32_t largest) {
    switch (uniform(rng, 0, 9)) {
        case 0:
            c.m = uniform(rng, 0, 1);
            c.n = uniform(rng, 0, 3 * largest);
            break;
        case 1:
            c.m = 2;
            c.n = uniform(rng, 1, 2 * largest);
            break;
        case 2:
            c.m = uniform(rng, 1, 4);
            c.n = uniform(rng, 1, 4);
            break;
        default:
            c.m = uniform(rng, 3, largest);
            c.n = uniform(rng, 3, largest);
            break;
    }
    if (chance(rng, 2)) {
        std::swap(c.m, c.n);
    }
}

// Seeds above `top`: a few scattered ones, clusters of touching ones, or many.
void plantSeeds(std::mt19937_64& rng, Case& c, double seedValue) {
    const size_t pixels = c.grey.size();
    int32_t seeds = 0;
    switch (uniform(rng, 0, 3)) {
        case 0:
            seeds = uniform(rng, 1, 3);
            break;
        case 1:
            seeds = uniform(rng, 1, std::max<int32_t>(1, static_cast<int32_t>(pixels / 8)));
            break;
        case 2:
            seeds = static_cast<int32_t>(pixels / 2);
            break;
        default: {
            // Blocks of touching seeds, which never spread but still widen.
            const int32_t blocks = uniform(rng, 1, 3);
            for (int32_t b = 0; b < blocks; ++b) {
                const int32_t r0 = uniform(rng, 0, c.m - 1);
                const int32_t c0 = uniform(rng, 0, c.n - 1);
                for (int32_t col = c0; col < std::min(c.n, c0 + uniform(rng, 1, 3)); ++col) {
                    for (int32_t row = r0; row < std::min(c.m, r0 + uniform(rng, 1, 3)); ++row) {
                        c.grey[row + static_cast<size_t>(col) * c.m] = seedValue;
                    }
                }
            }
            break;
        }
    }
    for (int32_t k = 0; k < seeds; ++k) {
        c.grey[std::uniform_int_distribution<size_t>(0, pixels - 1)(rng)] = seedValue;
    }
}

// A few special values: NaN (never a seed nor claimed), -0.0, -Inf (claimable at every
// level), large negative values.
void sprinkleSpecials(std::mt19937_64& rng, Case& c) {
    const int32_t inHowMany = pick(rng, {4, 12, 40});
    for (double& g : c.grey) {
        if (chance(rng, inHowMany)) {
            g = pick(rng, {kNaN, kNaN, -0.0, -kInf, -1e300, 0.0});
        }
    }
}

Case randomCase(uint64_t seed, int32_t largest) {
    std::mt19937_64 rng(seed);
    Case c;
    pickSize(rng, c, largest);
    const size_t pixels = static_cast<size_t>(c.m) * c.n;
    c.grey.assign(pixels, 0.0);

    // The largest grey value decides the number of levels; mostly a few hundred, sometimes
    // below 1 (no level at all), now and then 255 on a small image.
    double top = real(rng, 1.0, 14.0);
    if (chance(rng, 10)) {
        top = real(rng, -2.0, 1.0);
    } else if (chance(rng, 25) && pixels <= 60) {
        top = 255.0;
    }
    const int32_t style = uniform(rng, 0, 4);
    if (style == 4 && pixels > 0) {
        drawBasins(rng, c, top);
    } else {
        const int32_t valueStyle = std::min(style, 3);
        for (double& g : c.grey) {
            g = background(rng, valueStyle, top);
        }
    }
    if (pixels == 0) {
        c.celllevel = 0;
        return c;
    }
    if (chance(rng, 8)) {
        sprinkleSpecials(rng, c);
    }

    // The seed level: above the background with seeds planted over it; or one of the
    // image's own values, which are no seeds themselves; or an extreme.
    switch (uniform(rng, 0, 5)) {
        case 0:
        case 1:
        case 2: {
            const double seedValue = top + pick(rng, {0.5, 1.0, 2.0});
            plantSeeds(rng, c, seedValue);
            c.celllevel = pick(rng, {top, seedValue - 0.25, std::nextafter(seedValue, -kInf)});
            break;
        }
        case 3:
            c.celllevel = c.grey[std::uniform_int_distribution<size_t>(0, pixels - 1)(rng)];
            break;
        case 4:
            c.celllevel = pick(rng, {-kInf, kNaN, kInf, -1e300, -2.0, 0.0, -0.0});
            break;
        default:
            // Just below the largest values: few seeds, long fronts.
            c.celllevel = std::nextafter(top, -kInf) - real(rng, 0.0, 0.3);
            break;
    }
    return c;
}

// The label image; one element longer than the image, so that even a view without elements
// lies over memory that exists, and so that a write past the end shows.
template <class Grower>
std::vector<double> grow(const Case& c, Grower grower) {
    std::vector<double> grey = c.grey;
    grey.push_back(kNaN);
    // Neither 0 nor a label: an element the grower failed to write shows.
    std::vector<double> labels(grey.size(), -7.0);
    ViewHandle greyView = make_view(grey.data(), c.m, c.n);
    ViewHandle labelView = make_view(labels.data(), c.m, c.n);
    grower(*greyView, *labelView, c.celllevel);
    return labels;
}

void expectSameLabels(const Case& c, uint64_t seed, const std::vector<double>& expected,
                      const std::vector<double>& actual) {
    if (std::memcmp(expected.data(), actual.data(), expected.size() * sizeof(double)) != 0) {
        size_t first = 0;
        while (std::memcmp(&expected[first], &actual[first], sizeof(double)) == 0) {
            ++first;
        }
        FAIL() << "seed " << seed << ", image " << c.m << "x" << c.n << ", celllevel "
               << c.celllevel << ": first difference at row " << first % c.m << ", column "
               << first / c.m << ": " << actual[first] << " instead of " << expected[first];
    }
}

void expectAgreement(uint64_t seed, int32_t largest) {
    const Case c = randomCase(seed, largest);
    const std::vector<double> expected = grow(c, growWithReference);
    for (const Grower module :
         {growWithModuleOnJunk, growWithModuleWideStateOnJunk, growWithModuleThroughRowsOnJunk,
          growWithModuleFromRowsOnJunk<false>, growWithModuleFromRowsOnJunk<true>}) {
        ASSERT_NO_FATAL_FAILURE(expectSameLabels(c, seed, expected, grow(c, module)));
    }
}

TEST(SeedgrowDifferential, AgreesWithTheReferenceOnSmallImages) {
    for (uint64_t seed = 1; seed <= 4000; ++seed) {
        ASSERT_NO_FATAL_FAILURE(expectAgreement(seed, 24));
    }
}

// Fewer but larger images: long fronts, many regions meeting, long runs of claims.
TEST(SeedgrowDifferential, AgreesWithTheReferenceOnLargerImages) {
    for (uint64_t seed = 1; seed <= 120; ++seed) {
        ASSERT_NO_FATAL_FAILURE(expectAgreement(7000003 * seed, 80));
    }
}

// A few images of up to 512 x 512: levels with thousands of entries, whose sorting by label
// takes other paths than on small images, and seed labels of several bytes. Image 257 has
// over 2048 labels and a level with as many entries, sorted in one pass of 12-bit digits.
TEST(SeedgrowDifferential, AgreesWithTheReferenceOnImagesUpTo512) {
    for (const uint64_t seed : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 257}) {
        ASSERT_NO_FATAL_FAILURE(expectAgreement(90000049 * seed, 512));
    }
}

}  // namespace
