#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <set>
#include <vector>

#include <gtest/gtest.h>

#include "tests/unit/test_image.h"

#include "labeller/labeller.h"
#include "matx/view_handle.h"
#include "tests/reference/labeller_reference.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void setBlock(TestImage& image, int32_t r0, int32_t r1, int32_t c0, int32_t c1, double value) {
    for (int32_t r = r0; r <= r1; ++r) {
        for (int32_t c = c0; c <= c1; ++c) {
            image.set(r, c, value);
        }
    }
}

std::vector<int32_t> emptySizes(const TestImage& image) {
    return std::vector<int32_t>(static_cast<size_t>(image.m) * image.n, 0);
}

// The driver tests run on the module's labeller and on the plain reference alike.
using Driver = void (*)(const matx&, matx&, int32_t*, double, double, double);
class LabellingCells : public ::testing::TestWithParam<Driver> {};

void runAllLevels(const TestImage& grey, TestImage& labels, std::vector<int32_t>& cellSize,
                  double cellSizeLimit, double threshold) {
    LabellingCells::GetParam()(*grey.view, *labels.view, cellSize.data(),
                               largestGreyValue(grey.data.data(), grey.m * grey.n), cellSizeLimit,
                               threshold);
}

std::set<double> labelsIn(const TestImage& image) {
    return std::set<double>(image.data.begin(), image.data.end());
}

TEST_P(LabellingCells, WorkedSevenBySevenImage) {
    // Level 1 floods all 49 pixels; the one window centre (3,3) stamps label 2 over rows and
    // columns 1..5. Level 2 grows the square over the ring: 20 pixels in the first pass, the
    // 4 corners in the second. The stamp itself is never counted.
    TestImage grey = filled(7, 7, 1);
    TestImage labels = filled(7, 7, 0);
    std::vector<int32_t> cellSize = emptySizes(grey);
    runAllLevels(grey, labels, cellSize, 30, 5);
    EXPECT_EQ(labelsIn(labels), std::set<double>{2});
    EXPECT_EQ(cellSize[2], 24);
    EXPECT_EQ(cellSize[3], 0);
}

TEST(FindingNewCells, WorkedSevenBySevenImageStepByStep) {
    TestImage grey = filled(7, 7, 1);
    TestImage labels = filled(7, 7, kFlooded);
    std::vector<int32_t> cellSize = emptySizes(grey);
    EXPECT_EQ(reference::findingNewCells(*grey.view, *labels.view, 1), 2);
    EXPECT_EQ(labels.at(0, 0), kFlooded);
    EXPECT_EQ(labels.at(1, 1), 2);
    EXPECT_EQ(labels.at(5, 5), 2);
    EXPECT_EQ(labels.at(6, 3), kFlooded);

    reference::growingCells(*grey.view, *labels.view, cellSize.data());
    EXPECT_EQ(cellSize[2], 20);
    EXPECT_EQ(labels.at(0, 0), kFlooded);
    EXPECT_EQ(labels.at(0, 1), 2);
    reference::growingCells(*grey.view, *labels.view, cellSize.data());
    EXPECT_EQ(cellSize[2], 24);
    EXPECT_EQ(labelsIn(labels), std::set<double>{2});
}

TEST_P(LabellingCells, LevelsRunFromOneToOneAboveTheLargestValue) {
    // Images this small have no window centre, so only the flood shows: 0 < value <= level.
    TestImage grey = fromRows({{0, 2.5, kNaN, -1, 1}});
    TestImage labels = filled(1, 5, 0);
    std::vector<int32_t> cellSize = emptySizes(grey);
    runAllLevels(grey, labels, cellSize, 30, 5);  // levels 1, 2, 3
    EXPECT_EQ(labels.data, (std::vector<double>{0, 1, 0, 0, 1}));

    // With a largest value of 1.5 the levels are 1 and 2: 2.5 is not reached.
    TestImage shortRun = filled(1, 5, 0);
    GetParam()(*grey.view, *shortRun.view, cellSize.data(), 1.5, 30, 5);
    EXPECT_EQ(shortRun.data, (std::vector<double>{0, 0, 0, 0, 1}));
}

TEST_P(LabellingCells, NoPositiveValueGivesZeros) {
    TestImage grey = filled(9, 9, -3);
    grey.set(4, 4, 0);
    grey.set(2, 2, kNaN);
    TestImage labels = filled(9, 9, 0);
    std::vector<int32_t> cellSize = emptySizes(grey);
    EXPECT_EQ(largestGreyValue(grey.data.data(), 81), 0);
    runAllLevels(grey, labels, cellSize, 30, 5);
    EXPECT_EQ(labelsIn(labels), std::set<double>{0});
    EXPECT_EQ(cellSize, emptySizes(grey));
}

TEST_P(LabellingCells, ThinImagesGetNoCells) {
    for (auto [m, n] : {std::pair{6, 20}, std::pair{20, 6}, std::pair{1, 30}, std::pair{30, 1}}) {
        TestImage grey = filled(m, n, 1);
        TestImage labels = filled(m, n, 0);
        std::vector<int32_t> cellSize = emptySizes(grey);
        runAllLevels(grey, labels, cellSize, 30, 5);
        EXPECT_EQ(labelsIn(labels), std::set<double>{kFlooded}) << m << "x" << n;
    }
}

TEST_P(LabellingCells, MergesAreForcedOnlyWhileTheLevelIsBelowTheThreshold) {
    // At level 1 a 7x14 image of ones gets three overlapping stamps in row 3: label 2 at
    // centre column 3, label 3 at 6 and label 4 at 9, each later one overwriting the
    // overlap. No cell is small with a limit of 0, so only forced merges join them.
    auto run = [](double threshold) {
        TestImage grey = filled(7, 14, 1);
        TestImage labels = filled(7, 14, 0);
        std::vector<int32_t> cellSize = emptySizes(grey);
        runAllLevels(grey, labels, cellSize, 0, threshold);
        return labelsIn(labels);
    };
    EXPECT_EQ(run(1.5), std::set<double>{2});
    EXPECT_EQ(run(1.0), (std::set<double>{2, 3, 4}));  // strictly below: level 1 is not
    EXPECT_EQ(run(kNaN), (std::set<double>{2, 3, 4}));
}

INSTANTIATE_TEST_SUITE_P(Labellers, LabellingCells,
                         ::testing::Values(&::labellingCells, &reference::labellingCells),
                         [](const auto& param) {
                             return param.index == 0 ? "Module" : "Reference";
                         });

TEST(FindingNewCells, TenFloodedPixelsAreNotEnoughElevenAre) {
    TestImage grey = filled(7, 7, 1);
    TestImage labels = filled(7, 7, 0);
    labels.set(0, 0, kFlooded);  // outside the window: never stamped
    int32_t placed = 0;
    for (int32_t r = 1; r <= 5 && placed < 10; ++r) {
        for (int32_t c = 1; c <= 5 && placed < 10; ++c, ++placed) {
            labels.set(r, c, kFlooded);
        }
    }
    const std::vector<double> before = labels.data;
    EXPECT_EQ(reference::findingNewCells(*grey.view, *labels.view, 7), 7);
    EXPECT_EQ(labels.data, before);

    labels.set(5, 5, kFlooded);
    EXPECT_EQ(reference::findingNewCells(*grey.view, *labels.view, 7), 8);
    for (int32_t r = 1; r <= 5; ++r) {
        for (int32_t c = 1; c <= 5; ++c) {
            EXPECT_EQ(labels.at(r, c), 8);
        }
    }
    EXPECT_EQ(labels.at(0, 0), kFlooded);
    EXPECT_EQ(labels.at(6, 6), 0);
}

TEST(FindingNewCells, LaterStampsOverwriteEarlierOnes) {
    // Centres run from column 3 to n-4 = 8; each stamp is seen at once by later windows.
    TestImage grey = filled(7, 12, 1);
    TestImage labels = filled(7, 12, kFlooded);
    EXPECT_EQ(reference::findingNewCells(*grey.view, *labels.view, 1), 3);
    const std::vector<double> row3 = {1, 2, 2, 2, 3, 3, 3, 3, 3, 1, 1, 1};
    for (int32_t c = 0; c < 12; ++c) {
        EXPECT_EQ(labels.at(3, c), row3[c]) << "column " << c;
    }
}

TEST(FindingNewCells, StampOverAnExistingCellTakesItsPixelsButNotItsSize) {
    TestImage grey = filled(7, 7, 1);
    TestImage labels = filled(7, 7, kFlooded);
    setBlock(labels, 1, 2, 1, 5, 5);  // ten pixels of cell 5; 15 flooded left in the window
    std::vector<int32_t> cellSize = emptySizes(grey);
    cellSize[5] = 7;
    EXPECT_EQ(reference::findingNewCells(*grey.view, *labels.view, 5), 6);
    EXPECT_EQ(labels.at(1, 1), 6);
    EXPECT_EQ(labels.at(5, 5), 6);
    EXPECT_EQ(cellSize[5], 7);
    EXPECT_EQ(cellSize[6], 0);
}

TEST(GrowingCells, NeighbourOrderDecidesBetweenCells) {
    std::vector<int32_t> cellSize(64, 0);
    // Next column before previous column.
    TestImage row = fromRows({{2, 1, 3}});
    reference::growingCells(*row.view, *row.view, cellSize.data());
    EXPECT_EQ(row.at(0, 1), 3);
    // Previous column before previous row.
    TestImage a = fromRows({{0, 4, 0}, {5, 1, 0}, {0, 0, 0}});
    reference::growingCells(*a.view, *a.view, cellSize.data());
    EXPECT_EQ(a.at(1, 1), 5);
    // Previous row before next row.
    TestImage b = fromRows({{0, 6, 0}, {0, 1, 0}, {0, 7, 0}});
    reference::growingCells(*b.view, *b.view, cellSize.data());
    EXPECT_EQ(b.at(1, 1), 6);
    // Diagonal neighbours are never looked at; unflooded pixels are never claimed.
    TestImage c = fromRows({{8, 0, 0}, {0, 1, 0}, {0, 0, 0}});
    reference::growingCells(*c.view, *c.view, cellSize.data());
    EXPECT_EQ(c.at(1, 1), kFlooded);
    EXPECT_EQ(c.at(0, 1), 0);
}

TEST(GrowingCells, OnePixelPerPassReadFromTheStateBeforeIt) {
    TestImage labels = fromRows({{2, 1, 1, 1, 0, 1}});
    std::vector<int32_t> cellSize(8, 0);
    reference::growingCells(*labels.view, *labels.view, cellSize.data());
    EXPECT_EQ(labels.data, (std::vector<double>{2, 2, 1, 1, 0, 1}));
    EXPECT_EQ(cellSize[2], 1);
    reference::growingCells(*labels.view, *labels.view, cellSize.data());
    reference::growingCells(*labels.view, *labels.view, cellSize.data());
    EXPECT_EQ(labels.data, (std::vector<double>{2, 2, 2, 2, 0, 1}));
    EXPECT_EQ(cellSize[2], 3);
}

// Two cells, 2 and 3, in a 4x5 image: side by side at (1,1) and (1,2), or one above the
// other at (1,1) and (2,1). Returns whether they merged, checking the merge's bookkeeping.
bool mergedPair(bool sideBySide, int32_t size2, int32_t size3, double limit, bool force) {
    TestImage labels = filled(4, 5, 0);
    labels.set(1, 1, 2);
    labels.set(sideBySide ? 1 : 2, sideBySide ? 2 : 1, 3);
    std::vector<int32_t> cellSize(20, 0);
    cellSize[2] = size2;
    cellSize[3] = size3;
    reference::mergeCells(*labels.view, cellSize.data(), limit, force);
    const bool merged = labelsIn(labels) == std::set<double>{0, 2};
    if (merged) {
        EXPECT_EQ(cellSize[2], size2 + 1);
        EXPECT_EQ(cellSize[3], 0);
    } else {
        EXPECT_EQ(cellSize[2], size2);
        EXPECT_EQ(cellSize[3], size3);
    }
    return merged;
}

TEST(MergeCells, SideBySideNeedsEitherSmallOneAboveTheOtherNeedsBoth) {
    EXPECT_TRUE(mergedPair(true, 100, 5, 10, false));
    EXPECT_TRUE(mergedPair(true, 5, 100, 10, false));
    EXPECT_FALSE(mergedPair(true, 100, 100, 10, false));
    EXPECT_FALSE(mergedPair(true, 10, 10, 10, false));  // small is strictly below the limit

    EXPECT_FALSE(mergedPair(false, 100, 5, 10, false));
    EXPECT_FALSE(mergedPair(false, 5, 100, 10, false));
    EXPECT_TRUE(mergedPair(false, 5, 5, 10, false));
}

TEST(MergeCells, ForcedMergesIgnoreSizesAndNaNLimitsMakeNothingSmall) {
    EXPECT_TRUE(mergedPair(true, 100, 100, 10, true));
    EXPECT_TRUE(mergedPair(false, 100, 100, 10, true));
    EXPECT_FALSE(mergedPair(true, 0, 0, kNaN, false));
    EXPECT_FALSE(mergedPair(false, 0, 0, kNaN, false));
    EXPECT_TRUE(mergedPair(false, 0, 0, kNaN, true));
}

TEST(MergeCells, PairsOnTheBorderAreNeverExamined) {
    auto mergesWith = [](int32_t r1, int32_t c1, int32_t r2, int32_t c2) {
        TestImage labels = filled(5, 6, 0);
        labels.set(r1, c1, 2);
        labels.set(r2, c2, 3);
        std::vector<int32_t> cellSize(30, 0);
        reference::mergeCells(*labels.view, cellSize.data(), 10, true);
        return labelsIn(labels).count(3) == 0;
    };
    EXPECT_FALSE(mergesWith(0, 1, 0, 2));  // within row 0
    EXPECT_FALSE(mergesWith(0, 1, 1, 1));  // between rows 0 and 1
    EXPECT_FALSE(mergesWith(1, 0, 1, 1));  // between columns 0 and 1
    EXPECT_FALSE(mergesWith(1, 5, 2, 5));  // along the last column
    EXPECT_FALSE(mergesWith(4, 1, 4, 2));  // along the last row
    EXPECT_TRUE(mergesWith(1, 4, 1, 5));   // into the last column
    EXPECT_TRUE(mergesWith(3, 1, 4, 1));   // into the last row
}

TEST(MergeCells, MergesTakeEffectAtOnceSoChainsEndAsOneCell) {
    TestImage labels =
        fromRows({{0, 0, 0, 0, 0}, {0, 2, 3, 4, 0}, {0, 0, 5, 0, 0}, {0, 0, 0, 0, 0}});
    std::vector<int32_t> cellSize(20, 0);
    reference::mergeCells(*labels.view, cellSize.data(), 10, false);
    EXPECT_EQ(labelsIn(labels), (std::set<double>{0, 2}));
    EXPECT_EQ(cellSize[2], 3);
}

TEST(MergeTwoCells, TheAbsorbedLabelIsGoneAndTheSurvivorGrowsByThePixelsRelabelled) {
    TestImage labels = fromRows({{5, 2, 5}, {1, 5, 0}});
    std::vector<int32_t> cellSize(6, 0);
    cellSize[2] = 7;
    cellSize[5] = 40;
    reference::mergeTwoCells(*labels.view, cellSize.data(), 5, 2);
    EXPECT_EQ(labels.data, (std::vector<double>{2, 1, 2, 2, 2, 0}));
    EXPECT_EQ(cellSize[2], 10);
    EXPECT_EQ(cellSize[5], 0);
}

TEST(LevelsAreFinite, TheLevelMustStillStepByOne) {
    EXPECT_TRUE(levelsAreFinite(0));
    EXPECT_TRUE(levelsAreFinite(65535));
    EXPECT_TRUE(levelsAreFinite(9007199254740990.0));  // 2^53 - 2: the last level is 2^53 - 1
    EXPECT_FALSE(levelsAreFinite(9007199254740991.0));
    EXPECT_FALSE(levelsAreFinite(1e300));
    EXPECT_FALSE(levelsAreFinite(std::numeric_limits<double>::infinity()));
}

}  // namespace
