#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "seedgrow/seedgrow.h"
#include "tests/reference/growers.h"
#include "tests/unit/test_image.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Neither 0 nor a label: a label image still holding it was not written everywhere.
constexpr double kStaleLabel = -3.0;

// The tests of results run on the module's grower and on the plain reference alike.
class SpreadingLabels : public ::testing::TestWithParam<Grower> {};

// The label image of `grey`, as rows.
std::vector<std::vector<double>> grow(const TestImage& grey, double celllevel) {
    TestImage labels = filled(grey.m, grey.n, kStaleLabel);
    SpreadingLabels::GetParam()(*grey.view, *labels.view, celllevel);
    std::vector<std::vector<double>> rows(grey.m, std::vector<double>(grey.n));
    for (int32_t r = 0; r < grey.m; ++r) {
        for (int32_t c = 0; c < grey.n; ++c) {
            rows[r][c] = labels.at(r, c);
        }
    }
    return rows;
}

using Rows = std::vector<std::vector<double>>;

// How many pixels of row `r` carry a label, counted from column 0 to the first that
// does not.
int32_t reachAlongRow(const Rows& labels, int32_t r) {
    int32_t c = 0;
    while (c < static_cast<int32_t>(labels[r].size()) && labels[r][c] > 0) {
        ++c;
    }
    return c;
}

TEST_P(SpreadingLabels, WorkedRowsOfFiveAndThree) {
    // The first seed claims both its neighbours at level 1.0, the second seed column 3;
    // from then on column 2 touches label 2 and does not spread.
    EXPECT_EQ(grow(fromRows({{0, 255, 0, 0, 255}}), 254), (Rows{{1, 1, 1, 2, 2}}));
    // The first seed claims the middle before the second seed is walked, which then
    // touches label 1 and stays put.
    EXPECT_EQ(grow(fromRows({{255, 0, 255}}), 254), (Rows{{1, 1, 2}}));
}

TEST_P(SpreadingLabels, SingleColumnsSkipTheNeighboursOutside) {
    EXPECT_EQ(grow(fromRows({{0}, {255}, {0}, {0}, {255}}), 254), (Rows{{1}, {1}, {1}, {2}, {2}}));
    EXPECT_EQ(grow(fromRows({{255}, {0}, {255}}), 254), (Rows{{1}, {1}, {2}}));
    EXPECT_EQ(grow(fromRows({{255}}), 254), (Rows{{1}}));
}

TEST_P(SpreadingLabels, SeedsAreNumberedRowByRowNotInStorageOrder) {
    // (row 1, column 0) comes first in storage but second row by row.
    EXPECT_EQ(grow(fromRows({{0, 255}, {255, 0}}), 254), (Rows{{1, 1}, {2, 1}}));
}

TEST_P(SpreadingLabels, SeedsLieStrictlyAboveTheSeedLevel) {
    // No seed: the levels up to 100 are still visited, and change nothing.
    EXPECT_EQ(grow(filled(2, 3, 100), 100), (Rows{{0, 0, 0}, {0, 0, 0}}));
    // The 100 is no seed of its own, which would have made the 101 label 2: the one
    // label reaches it and everything else.
    EXPECT_EQ(grow(fromRows({{0, 100, 0, 101}}), 100), (Rows{{1, 1, 1, 1}}));
    // A NaN seed level makes no seed.
    EXPECT_EQ(grow(fromRows({{0, 255, 0}}), kNaN), (Rows{{0, 0, 0}}));
}

TEST_P(SpreadingLabels, TouchingLabelsNeverSpreadButAreWidenedAtTheEnd) {
    // Two seeds side by side touch at every level; the widening makes no touch test.
    const TestImage grey = fromRows({{0, 0, 0, 0}, {0, 255, 255, 0}, {0, 0, 0, 0}});
    EXPECT_EQ(grow(grey, 254), (Rows{{0, 1, 2, 0}, {1, 1, 2, 2}, {0, 1, 2, 0}}));
}

TEST_P(SpreadingLabels, NeighbourAtExactlyTheLevelIsNotClaimed) {
    // Largest value 1.06: levels 1.0 and 1.05, widening at 1.1. Column 1 at exactly 1.0
    // waits for level 1.05, so the region ends one pixel shorter than with 0.99.
    EXPECT_EQ(grow(fromRows({{1.06, 1.0, 0.5, 0.5, 0.5, 0.5}}), 1.0), (Rows{{1, 1, 1, 0, 0, 0}}));
    EXPECT_EQ(grow(fromRows({{1.06, 0.99, 0.5, 0.5, 0.5, 0.5}}), 1.0), (Rows{{1, 1, 1, 1, 0, 0}}));
}

TEST_P(SpreadingLabels, NextFrontierKeepsEachEntryFollowedByItsClaims) {
    // Column 2 (1.02) is claimable from level 1.05 on. The frontier then reads columns 0,
    // 1, 3: column 1, claimed by the first seed, is walked before the second seed and
    // takes column 2 for label 1.
    EXPECT_EQ(grow(fromRows({{255, 0, 1.02, 255}}), 254), (Rows{{1, 1, 1, 2}}));
    // Nor is the frontier in row-by-row order: (row 1, column 2), claimed by seed 1 at
    // level 1.0, follows its seed and so comes before seed 2 at (row 1, column 0); at level
    // 1.05 it takes (row 1, column 1), which lies between them.
    EXPECT_EQ(grow(fromRows({{0, 1.07, 255}, {255, 1.02, 0}}), 254), (Rows{{2, 1, 1}, {2, 1, 1}}));
}

TEST_P(SpreadingLabels, LevelIsAccumulatedNotRecomputed) {
    // Largest value exactly 2.0: twenty additions of 0.05 give 2.000000000000001, so 20
    // levels are visited, not 21: the seed, 20 claims, one widened pixel.
    TestImage row = filled(1, 30, 0);
    row.set(0, 0, 2.0);
    EXPECT_EQ(reachAlongRow(grow(row, 1.5), 0), 22);

    // A value of exactly 2.0 becomes claimable at the 21st level, 20 levels after a value
    // of 0. Rows 0 and 2 grow side by side, kept apart by a row of NaN.
    TestImage rows = filled(3, 60, 0);
    for (int32_t c = 0; c < 60; ++c) {
        rows.set(1, c, kNaN);
    }
    rows.set(0, 0, 3.0);
    rows.set(0, 1, 2.0);
    rows.set(2, 0, 3.0);
    const Rows labels = grow(rows, 2.5);
    EXPECT_EQ(reachAlongRow(labels, 2) - reachAlongRow(labels, 0), 20);
    // 41 levels for a largest value of 3.0, then the widening.
    EXPECT_EQ(reachAlongRow(labels, 2), 43);
}

TEST_P(SpreadingLabels, LargestValue255Visits5080Levels) {
    TestImage row = filled(1, 5100, 0);
    row.set(0, 0, 255);
    EXPECT_EQ(reachAlongRow(grow(row, 254), 0), 1 + 5080 + 1);
}

TEST_P(SpreadingLabels, LastLevelFor255Is254point95000000002372) {
    // A neighbour at exactly the last level is claimed only by the widening; one just
    // below it is claimed at the last level and widened further.
    const double lastLevel = 254.95000000002372;
    EXPECT_EQ(grow(fromRows({{255, lastLevel, 0, 0}}), 254.99), (Rows{{1, 1, 0, 0}}));
    EXPECT_EQ(grow(fromRows({{255, std::nextafter(lastLevel, 0.0), 0, 0}}), 254.99),
              (Rows{{1, 1, 1, 0}}));
}

TEST_P(SpreadingLabels, WideningUsesTheFirstLevelAboveTheLargestValue) {
    // The widening level, 255.00000000002373, lies above every value of the image: even
    // the largest value below 255 is claimed, although no level processed reached it.
    const double justBelow = std::nextafter(255.0, 0.0);
    EXPECT_EQ(grow(fromRows({{255, justBelow, 0}}), justBelow), (Rows{{1, 1, 0}}));
}

TEST_P(SpreadingLabels, LargestValueBelowOneProcessesNoLevel) {
    // Only the widening runs, at level 1.0: the seed's four neighbours, not the corners.
    TestImage grey = filled(3, 3, 0.2);
    grey.set(1, 1, 0.9);
    EXPECT_EQ(grow(grey, 0.5), (Rows{{0, 1, 0}, {1, 1, 1}, {0, 1, 0}}));
    // All values negative: the largest value is 0.0, and still only the widening runs.
    EXPECT_EQ(grow(fromRows({{-1, -10, -10, -10}}), -5), (Rows{{1, 1, 0, 0}}));
}

TEST_P(SpreadingLabels, NaNPixelsAreNeverSeedsNorClaimed) {
    // The NaN is no seed, so the first seed gets label 1; no level nor the widening
    // claims a NaN.
    EXPECT_EQ(grow(fromRows({{kNaN, 0.5}}), -1), (Rows{{0, 1}}));
    EXPECT_EQ(grow(fromRows({{kNaN, 255, kNaN, 0}}), 254), (Rows{{0, 1, 0, 0}}));
    // A NaN first in storage order does not hide the largest value.
    EXPECT_EQ(grow(fromRows({{kNaN, 1.06, 1.0, 0.5, 0.5}}), 1.0), (Rows{{0, 1, 1, 1, 0}}));
}

TEST_P(SpreadingLabels, EmptyImagesReadAndWriteNothing) {
    EXPECT_EQ(grow(filled(0, 5, 1), 0), (Rows{}));
    EXPECT_EQ(grow(filled(4, 0, 1), 0), (Rows(4)));
}

TEST_P(SpreadingLabels, GreyImageIsLeftAsItWas) {
    TestImage grey = fromRows({{0, 255, kNaN, -0.0}, {3, 1.5, 255, 0}});
    const std::vector<double> before = grey.data;
    grow(grey, 254);
    EXPECT_EQ(std::memcmp(before.data(), grey.data.data(), before.size() * sizeof(double)), 0);
}

INSTANTIATE_TEST_SUITE_P(Growers, SpreadingLabels,
                         ::testing::Values(growWithModule, growWithModuleWideState,
                                           growWithModuleThroughRowsOnJunk,
                                           growWithModuleFromRowsOnJunk<false>, growWithReference),
                         [](const ::testing::TestParamInfo<Grower>& param) {
                             return param.index == 0   ? "Module"
                                    : param.index == 1 ? "ModuleWideState"
                                    : param.index == 2 ? "ModuleThroughRows"
                                    : param.index == 3 ? "ModuleFromRows"
                                                       : "Reference";
                         });

TEST(MaximumGrey, NeverBelowZeroAndNaNNeverCounts) {
    const double values[] = {kNaN, -4, 3.5, kNaN, 2};
    EXPECT_EQ(maximumGrey(values, 5), 3.5);
    EXPECT_EQ(maximumGrey(values, 2), 0.0);
    EXPECT_EQ(maximumGrey(values, 0), 0.0);
    const double negatives[] = {-0.0, -kInf, -1};
    const double largest = maximumGrey(negatives, 3);
    EXPECT_EQ(largest, 0.0);
    EXPECT_FALSE(std::signbit(largest));
}

// The maximum is kept in several running maxima over interleaved elements: every length
// around their number, with the largest, NaN and -0.0 at every place, gives one strict
// comparison chain's result.
TEST(MaximumGrey, AsOneChainAtEveryLengthAndPlace) {
    // The last kind stands for a value above every other, placed once.
    constexpr double kAboveAll = 7;
    const double kinds[] = {kNaN, -0.0, -2, 0.0, 1.5, kAboveAll};
    for (int32_t length = 0; length <= 40; ++length) {
        for (int32_t place = 0; place < std::max(length, 1); ++place) {
            for (const double special : kinds) {
                std::vector<double> values(static_cast<size_t>(length));
                for (int32_t k = 0; k < length; ++k) {
                    values[k] = kinds[(k * 7 + length) % 6] - (k % 3);
                }
                if (length > 0) {
                    values[place] = special == kAboveAll ? 100.0 + place : special;
                }
                double chain = 0.0;
                for (const double value : values) {
                    chain = value > chain ? value : chain;
                }
                const double largest = maximumGrey(values.data(), length);
                EXPECT_EQ(largest, chain) << length << " values, " << special << " at " << place;
                EXPECT_EQ(std::signbit(largest), std::signbit(chain));
            }
        }
    }
}

TEST(LevelsPassMaximum, RefusedFromTwoToTheFortyNinthOn) {
    const double stuck = std::ldexp(1.0, 49);
    EXPECT_TRUE(levelsPassMaximum(0));
    EXPECT_TRUE(levelsPassMaximum(255));
    EXPECT_TRUE(levelsPassMaximum(std::nextafter(stuck, 0.0)));
    EXPECT_FALSE(levelsPassMaximum(stuck));
    EXPECT_FALSE(levelsPassMaximum(1e300));
    EXPECT_FALSE(levelsPassMaximum(kInf));
    EXPECT_FALSE(levelsPassMaximum(kNaN));
}

TEST(LevelsPassMaximum, AgreesWithTheLevelLoopAtTheBoundary) {
    // The loop of the grower, started a few steps below the boundary instead of at 1.0
    // (the level rises through every binade below 2^49 alike). It ends just below 2^49
    // and sticks at 2^49.
    const double stuck = std::ldexp(1.0, 49);
    for (double maxGrey : {std::nextafter(stuck, 0.0), stuck, std::nextafter(stuck, kInf)}) {
        double level = maxGrey - 4.0;
        int steps = 0;
        while (maxGrey >= level && steps < 1000) {
            level += 0.05;
            ++steps;
        }
        EXPECT_EQ(steps < 1000, levelsPassMaximum(maxGrey)) << maxGrey;
    }
}

TEST(LevelTable, TheFirstMillionLevelsAreThoseOfSingleAdditions) {
    // Up to about 50001: binades [1, 2) to [2^15, 2^16).
    const LevelTable levels = levelTable(kInf);
    double level = 1.0;
    for (int64_t index = 0; index < 1000000; ++index) {
        ASSERT_EQ(levelAt(levels, index), level) << index;
        ASSERT_EQ(firstLevelAbove(levels, level), index + 1) << index;
        ASSERT_EQ(firstLevelAbove(levels, std::nextafter(level, -kInf)), index) << index;
        level += 0.05;
    }
}

TEST(LevelTable, KnownLevelsOfTheLoop) {
    const LevelTable levels = levelTable(kInf);
    // After 20 additions the level is 2.000000000000001, so a value of exactly 2.0 becomes
    // claimable at the 21st level, index 20.
    EXPECT_EQ(levelAt(levels, 20), 2.000000000000001);
    EXPECT_EQ(firstLevelAbove(levels, 2.0), 20);
    // A largest value of 255: levels 0 to 5079 run, the last at 254.95000000002372, and the
    // widening uses 255.00000000002373.
    EXPECT_EQ(firstLevelAbove(levels, 255.0), 5080);
    EXPECT_EQ(levelAt(levels, 5079), 254.95000000002372);
    EXPECT_EQ(levelAt(levels, 5080), 255.00000000002373);
    // Below the first level, and values no level passes.
    EXPECT_EQ(firstLevelAbove(levels, 0.999), 0);
    EXPECT_EQ(firstLevelAbove(levels, -kInf), 0);
    EXPECT_EQ(firstLevelAbove(levels, kNaN), kNoLevelAbove);
    EXPECT_EQ(firstLevelAbove(levels, kInf), kNoLevelAbove);
}

TEST(LevelTable, EveryBinadeStepsBySingleAdditions) {
    // Around the first level of every binade up to 2^48, and at random places inside it,
    // each level is the one before plus 0.05, and the first level above a value lies above
    // it while the one before does not.
    const LevelTable levels = levelTable(kInf);
    std::mt19937_64 rng(20260612);
    for (int e = 0; e < kLevelBinades; ++e) {
        const int64_t first = levels.firstIndex[e];
        const int64_t count = levels.firstIndex[e + 1] - first;
        std::uniform_int_distribution<int64_t> inside(0, count - 1);
        std::vector<int64_t> starts = {std::max<int64_t>(first - 3, 0), first + count - 3};
        for (int k = 0; k < 20; ++k) {
            starts.push_back(first + inside(rng));
        }
        for (int64_t start : starts) {
            double level = levelAt(levels, start);
            for (int64_t index = start; index < start + 6; ++index) {
                ASSERT_EQ(levelAt(levels, index), level) << "binade " << e << ", index " << index;
                level += 0.05;
            }
        }
        const double base = std::ldexp(1.0, e);
        for (int k = 0; k < 20; ++k) {
            const double value = base + std::uniform_real_distribution<double>(0, base)(rng);
            const int64_t above = firstLevelAbove(levels, value);
            ASSERT_GT(levelAt(levels, above), value) << value;
            ASSERT_LE(levelAt(levels, above - 1), value) << value;
        }
    }
}

TEST(LevelTable, ATableUpToAValueAgreesWithTheWholeOneUpToTheFirstLevelAboveIt) {
    const LevelTable whole = levelTable(kInf);
    for (double upTo : {-1.0, 0.5, 1.0, 2.0, 3.7, 255.0, 4095.0, 1e6, 1e12}) {
        const LevelTable part = levelTable(upTo);
        const int64_t above = firstLevelAbove(whole, upTo);
        EXPECT_EQ(firstLevelAbove(part, upTo), above) << upTo;
        EXPECT_EQ(levelAt(part, above), levelAt(whole, above)) << upTo;
        for (double value : {upTo * 0.3, upTo * 0.5, std::nextafter(upTo, -kInf)}) {
            EXPECT_EQ(firstLevelAbove(part, value), firstLevelAbove(whole, value)) << value;
        }
        for (int64_t index : {int64_t{0}, above / 3, above / 2, above - 1}) {
            if (index >= 0) {
                EXPECT_EQ(levelAt(part, index), levelAt(whole, index)) << upTo << " " << index;
            }
        }
    }
}

TEST(LevelTable, TheLevelStopsRisingAtTwoToTheFortyNinth) {
    const LevelTable levels = levelTable(kInf);
    const double stuck = std::ldexp(1.0, 49);
    const int64_t last = levels.firstIndex[kLevelBinades];
    EXPECT_EQ(levelAt(levels, last), stuck);
    EXPECT_EQ(levelAt(levels, last - 1) + 0.05, stuck);
    EXPECT_EQ(stuck + 0.05, stuck);
    EXPECT_EQ(levelAt(levels, kNoLevelAbove), stuck);
    EXPECT_EQ(firstLevelAbove(levels, std::nextafter(stuck, 0.0)), last);
    EXPECT_EQ(firstLevelAbove(levels, stuck), kNoLevelAbove);
    EXPECT_EQ(firstLevelAbove(levels, 1e300), kNoLevelAbove);
}

TEST(SpreadingLabelsModule, LevelThatNoLongerRisesEndsTheGrowth) {
    // With a largest value of 2^50 the plain loop never ends: the level sticks at 2^49. The
    // module's grower climbs there, grows until nothing can change any more and widens at
    // 2^49. A free pixel at 2^49 is never claimed, nor is what lies behind it.
    const double stuck = std::ldexp(1.0, 49);
    TestImage grey = fromRows({{2 * stuck, 0, stuck - 1, 0, stuck, 0}});
    TestImage labels = filled(1, 6, kStaleLabel);
    GrowthScratch scratch = makeGrowthScratch(1, 6);
    spreadingLabels(*grey.view, *labels.view, stuck + 1000, scratch);
    EXPECT_EQ(std::vector<double>(labels.data.begin(), labels.data.begin() + 6),
              (std::vector<double>{1, 1, 1, 1, 0, 0}));
}

}  // namespace
