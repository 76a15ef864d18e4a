#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/unit/test_image.h"

#include "matx/matx.h"
#include "matx/pixel_arrays.h"
#include "matx/view_handle.h"
#include "mex/console_standin.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int32_t kUntouched = -77;

uint64_t bitsOf(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

double fromBits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// A NaN with its sign bit set and a payload, so that copies and sign changes can be traced.
const double kNegativeNaN = fromBits(0xfff00000000a5a5aULL);

// Every test starts with an empty stand-in console.
class MatxOperations : public ::testing::Test {
  protected:
    void SetUp() override { standin_console_clear(); }
};

// --- Extremes and statistics ------------------------------------------------------------

TEST_F(MatxOperations, ExtremesNeverPassTheirStartingBounds) {
    EXPECT_EQ(mx_min(filled(2, 3, 2000000).get()), 1000000);
    EXPECT_EQ(mx_max(filled(2, 3, -5000000).get()), -1000000);
    EXPECT_EQ(mx_min(fromRows({{3, -7, 999999.5}}).get()), -7);
    EXPECT_EQ(mx_max(fromRows({{3, -7, -999999.5}}).get()), 3);
    EXPECT_EQ(mx_min(filled(0, 4, 0).get()), 1000000);
    EXPECT_EQ(mx_max(filled(4, 0, 0).get()), -1000000);
}

TEST_F(MatxOperations, ExtremesSkipNaN) {
    TestImage grid = fromRows({{kNaN, 4, kNaN, -2}});
    EXPECT_EQ(mx_min(grid.get()), -2);
    EXPECT_EQ(mx_max(grid.get()), 4);
    EXPECT_EQ(mx_min(filled(2, 2, kNaN).get()), 1000000);
}

TEST_F(MatxOperations, MeanSumsInColumnOrder) {
    // Column by column: (1e16 + 1) rounds back to 1e16, then -1e16, then 1: the sum is 1.
    // Row by row it would be 1e16 - 1e16 + 1 + 1 = 2.
    TestImage grid = fromRows({{1e16, -1e16}, {1, 1}});
    EXPECT_EQ(mx_mean(grid.get()), 0.25);
    EXPECT_EQ(mx_mean(fromRows({{1, 2}, {3, 6}}).get()), 3);
}

TEST_F(MatxOperations, StandardDeviationUsesThePopulationDivisor) {
    EXPECT_EQ(mx_std(fromRows({{1, 3}}).get()), 1);
    EXPECT_EQ(mx_std(fromRows({{2}, {4}, {4}, {4}, {5}, {5}, {7}, {9}}).get()), 2);
    EXPECT_EQ(mx_std(filled(3, 3, -4.5).get()), 0);
}

TEST_F(MatxOperations, EmptyViewsGiveNaNStatisticsAndNoMatches) {
    TestImage empty = filled(0, 3, 0);
    EXPECT_TRUE(std::isnan(mx_mean(empty.get())));
    EXPECT_TRUE(std::isnan(mx_std(empty.get())));
    EXPECT_TRUE(std::isnan(mx_corr(empty.get(), empty.get())));
    EXPECT_EQ(mx_find(empty.get(), 0), 0);
}

TEST_F(MatxOperations, CorrelationOfAViewWithItselfItsNegationAndAConstant) {
    TestImage grid = fromRows({{1, 2, 4}, {8, 3, -1}});
    TestImage negated = fromRows({{-1, -2, -4}, {-8, -3, 1}});
    EXPECT_NEAR(mx_corr(grid.get(), grid.get()), 1, 1e-15);
    EXPECT_NEAR(mx_corr(grid.get(), negated.get()), -1, 1e-15);
    // Deviations -1, 1: one root of the product 2 * 2 is exactly 2, while the product of
    // two roots of 2 is not.
    TestImage pair = fromRows({{0, 2}});
    EXPECT_EQ(mx_corr(pair.get(), pair.get()), 1);
    TestImage constant = filled(2, 3, 6);
    EXPECT_TRUE(std::isnan(mx_corr(constant.get(), grid.get())));
    EXPECT_TRUE(std::isnan(mx_corr(constant.get(), constant.get())));
    // An uncorrelated pair gives exactly 0.
    EXPECT_EQ(mx_corr(fromRows({{1, -1, 1, -1}}).get(), fromRows({{1, 1, -1, -1}}).get()), 0);
}

TEST_F(MatxOperations, CorrelationOfMismatchedViewsIsZeroAndSilent) {
    TestImage wide = fromRows({{1, 2, 3}, {4, 5, 6}});
    TestImage tall = fromRows({{1, 2}, {3, 4}, {5, 6}});
    EXPECT_EQ(mx_corr(wide.get(), tall.get()), 0);
    EXPECT_EQ(mx_corr(wide.get(), filled(2, 2, 1).get()), 0);
    EXPECT_EQ(standin_console_text(), "");
}

TEST_F(MatxOperations, FindCountsExactMatchesAndNeverNaN) {
    EXPECT_EQ(mx_find(fromRows({{1, 2, 1}}).get(), 1), 2);
    EXPECT_EQ(mx_find(fromRows({{1, 1 + 1e-15, 1}}).get(), 1), 2);
    EXPECT_EQ(mx_find(fromRows({{-0.0, 0.0}}).get(), 0), 2);
    EXPECT_EQ(mx_find(fromRows({{kNaN, kNaN}}).get(), kNaN), 0);
}

// --- Positions --------------------------------------------------------------------------

struct Position {
    int32_t column = kUntouched;
    int32_t row = kUntouched;
};

Position peakOf(const TestImage& grid) {
    Position p;
    mx_find_peak(grid.get(), &p.column, &p.row);
    return p;
}

Position centroidOf(const TestImage& grid) {
    Position p;
    mx_centroid(grid.get(), &p.column, &p.row);
    return p;
}

TEST_F(MatxOperations, PeakIsTheFirstLargestInColumnOrder) {
    Position p = peakOf(fromRows({{3, 5, 5}}));
    EXPECT_EQ(p.column, 1);
    EXPECT_EQ(p.row, 0);
    // The 9 at row 1, column 0 comes first column by column (row by row it would be the 9
    // at row 0, column 1).
    p = peakOf(fromRows({{1, 9}, {9, 1}}));
    EXPECT_EQ(p.column, 0);
    EXPECT_EQ(p.row, 1);
}

TEST_F(MatxOperations, PeakIsHeldInSinglePrecision) {
    // 1.00000001 rounds to 1.0f; the smaller 1.000000005 still beats that.
    Position p = peakOf(fromRows({{1.00000001, 1.000000005}}));
    EXPECT_EQ(p.column, 1);
    // 1e300 rounds to an infinite peak, which nothing beats afterwards.
    p = peakOf(fromRows({{1e300, 1e301}}));
    EXPECT_EQ(p.column, 0);
}

TEST_F(MatxOperations, PeakLeavesItsOutputsAloneWhenNothingBeatsTheBound) {
    Position p = peakOf(filled(3, 2, -1000000));
    EXPECT_EQ(p.column, kUntouched);
    EXPECT_EQ(p.row, kUntouched);
    p = peakOf(fromRows({{kNaN, -2e6}}));
    EXPECT_EQ(p.column, kUntouched);
    p = peakOf(filled(0, 3, 0));
    EXPECT_EQ(p.row, kUntouched);
    EXPECT_EQ(p.column, kUntouched);
    // Just above the bound is found.
    p = peakOf(fromRows({{-2e6, -999999}}));
    EXPECT_EQ(p.column, 1);
}

TEST_F(MatxOperations, CentroidRoundsHalvesUp) {
    Position p = centroidOf(fromRows({{0, 0, 1}}));
    EXPECT_EQ(p.column, 2);
    EXPECT_EQ(p.row, 0);
    // Mean column 1.5 (1-based): 1.0 after the half is taken off.
    EXPECT_EQ(centroidOf(fromRows({{1, 1}})).column, 1);
    // Mean column 1.25: 0.75, truncated to 0.
    EXPECT_EQ(centroidOf(fromRows({{3, 1}})).column, 0);
    // Mean row 1.25 in one column: 0.75, truncated to 0.
    EXPECT_EQ(centroidOf(fromRows({{3}, {1}})).row, 0);
    // Mean row 2.75: 2.25, truncated to 2.
    p = centroidOf(fromRows({{0, 0}, {1, 0}, {0, 3}}));
    EXPECT_EQ(p.row, 2);
    EXPECT_EQ(p.column, 1);
}

TEST_F(MatxOperations, CentroidOfNothingIsTheCentre) {
    Position p = centroidOf(filled(5, 4, 0));
    EXPECT_EQ(p.column, 2);
    EXPECT_EQ(p.row, 2);
    // Weights that cancel to exactly 0.
    p = centroidOf(fromRows({{2, -2, 0}, {0, 0, 0}}));
    EXPECT_EQ(p.column, 1);
    EXPECT_EQ(p.row, 1);
    p = centroidOf(filled(3, 0, 0));
    EXPECT_EQ(p.column, 0);
    EXPECT_EQ(p.row, 1);
    p = centroidOf(filled(0, 7, 0));
    EXPECT_EQ(p.column, 3);
    EXPECT_EQ(p.row, 0);
}

TEST_F(MatxOperations, CentroidOfNaNOrInfiniteTotalsIsTheCentre) {
    Position p = centroidOf(fromRows({{1, kNaN, 1}, {1, 1, 1}}));
    EXPECT_EQ(p.column, 1);
    EXPECT_EQ(p.row, 1);
    p = centroidOf(fromRows({{kInf, 1, 1, 1}}));
    EXPECT_EQ(p.column, 2);
    EXPECT_EQ(p.row, 0);
    // A finite total with a row sum that overflows to inf - inf: the row falls back to the
    // centre, the column is found as usual.
    p = centroidOf(fromRows({{0}, {0}, {1e308}, {-1e308}, {1}}));
    EXPECT_EQ(p.row, 2);
    EXPECT_EQ(p.column, 0);
}

TEST_F(MatxOperations, CentroidIsClampedIntoTheView) {
    // Weights -1, 2: mean column (-1 + 4) / 1 = 3, one past the last column.
    EXPECT_EQ(centroidOf(fromRows({{-1, 2}})).column, 1);
    // Weights 2, 0, -1: mean column -1, before the first.
    EXPECT_EQ(centroidOf(fromRows({{2, 0, -1}})).column, 0);
    // A tiny total puts the mean some 1e10 columns away, beyond any int.
    Position p = centroidOf(fromRows({{-1, 1 + 1e-10, 0}}));
    EXPECT_EQ(p.column, 2);
    p = centroidOf(fromRows({{1 + 1e-10, -1, 0}}));
    EXPECT_EQ(p.column, 0);
}

// --- Rewrites of every element ----------------------------------------------------------

TEST_F(MatxOperations, NormaliseMapsTheRangeOntoZeroToOne) {
    TestImage grid = fromRows({{2, 4, 6}});
    mx_normalise(grid.get());
    EXPECT_EQ(grid.data, (std::vector<double>{0, 0.5, 1}));
}

TEST_F(MatxOperations, NormaliseAtItsEdges) {
    TestImage constant = filled(2, 2, 5);
    mx_normalise(constant.get());
    for (double value : constant.data) {
        EXPECT_TRUE(std::isnan(value));
    }
    // The minimum taken is the bound 1000000, not the elements' 2000000.
    TestImage beyondBound = filled(2, 2, 2000000);
    mx_normalise(beyondBound.get());
    EXPECT_EQ(beyondBound.data, (std::vector<double>(4, 1)));
    TestImage empty = filled(0, 2, 3);
    mx_normalise(empty.get());
    EXPECT_EQ(empty.data[0], 3);
}

TEST_F(MatxOperations, AbsClearsTheSignBitAlone) {
    TestImage grid = fromRows({{-3, -0.0, -kInf, kNegativeNaN, 2.5}});
    mx_abs(grid.get());
    EXPECT_EQ(grid.at(0, 0), 3);
    EXPECT_EQ(bitsOf(grid.at(0, 1)), bitsOf(0.0));
    EXPECT_EQ(grid.at(0, 2), kInf);
    EXPECT_EQ(bitsOf(grid.at(0, 3)), 0x7ff00000000a5a5aULL);
    EXPECT_EQ(grid.at(0, 4), 2.5);
}

TEST_F(MatxOperations, PositiveZeroesNegativesButKeepsNegativeZeroAndNaN) {
    TestImage grid = fromRows({{-3, -0.0, kNegativeNaN, 4, -kInf}});
    mx_positive(grid.get());
    EXPECT_EQ(bitsOf(grid.at(0, 0)), bitsOf(0.0));
    EXPECT_EQ(bitsOf(grid.at(0, 1)), bitsOf(-0.0));
    EXPECT_EQ(bitsOf(grid.at(0, 2)), bitsOf(kNegativeNaN));
    EXPECT_EQ(grid.at(0, 3), 4);
    EXPECT_EQ(bitsOf(grid.at(0, 4)), bitsOf(0.0));
}

TEST_F(MatxOperations, ClearWritesPositiveZeroBits) {
    TestImage grid = fromRows({{-0.0, kNaN}, {7, -kInf}});
    mx_clear(grid.get());
    for (double value : grid.data) {
        EXPECT_EQ(bitsOf(value), 0u);
    }
}

TEST_F(MatxOperations, ScalarArithmeticReachesEveryElement) {
    TestImage grid = fromRows({{1, 2}, {3, 4}, {5, 6}});
    mx_add_scalar(grid.get(), 0.5);
    EXPECT_EQ(grid.data, (std::vector<double>{1.5, 3.5, 5.5, 2.5, 4.5, 6.5}));
    mx_sub_scalar(grid.get(), 1.5);
    EXPECT_EQ(grid.data, (std::vector<double>{0, 2, 4, 1, 3, 5}));
    mx_mult_scalar(grid.get(), -2);
    EXPECT_EQ(grid.data, (std::vector<double>{0, -4, -8, -2, -6, -10}));
    EXPECT_TRUE(std::signbit(grid.data[0]));  // 0 * -2 is -0
}

// --- Two views --------------------------------------------------------------------------

TEST_F(MatxOperations, AddAndSubtractElementByElement) {
    TestImage target = fromRows({{1, 2, 3}, {4, 5, 6}});
    TestImage other = fromRows({{10, 20, 30}, {40, 50, 60}});
    mx_add_matrix(target.get(), other.get());
    EXPECT_EQ(target.data, (std::vector<double>{11, 44, 22, 55, 33, 66}));
    mx_sub_matrix(target.get(), other.get());
    mx_sub_matrix(target.get(), other.get());
    EXPECT_EQ(target.data, (std::vector<double>{-9, -36, -18, -45, -27, -54}));
    EXPECT_EQ(standin_console_text(), "");
}

TEST_F(MatxOperations, CopyIsBitExact) {
    TestImage target = filled(2, 2, 1);
    TestImage source = fromRows({{-0.0, kNegativeNaN}, {3, -kInf}});
    mx_copy(target.get(), source.get());
    for (size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(bitsOf(target.data[k]), bitsOf(source.data[k]));
    }
}

TEST_F(MatxOperations, MismatchesPrintTheirMessageAndLeaveTheTargetAlone) {
    struct Case {
        void (*operation)(matx*, const matx*);
        const char* message;
    };
    const Case cases[] = {
        {mx_add_matrix, "ERROR in add_matrix: Matrix dimensions must agree\n"},
        {mx_sub_matrix, "ERROR in sub_Matx: Matx sizes must agree\n"},
        {mx_copy, "ERROR in copy_Matx: matrix sizes must agree\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        TestImage target = fromRows({{1, 2, 3}, {4, 5, 6}});
        const std::vector<double> before = target.data;
        // The same element count, transposed; then one size differing alone.
        TestImage transposed = fromRows({{7, 8}, {9, 10}, {11, 12}});
        standin_console_clear();
        c.operation(target.get(), transposed.get());
        EXPECT_EQ(standin_console_text(), c.message);
        EXPECT_EQ(target.data, before);

        standin_console_clear();
        c.operation(target.get(), filled(2, 2, 1).get());
        c.operation(target.get(), filled(1, 3, 1).get());
        EXPECT_EQ(standin_console_text(), std::string(c.message) + c.message);
        EXPECT_EQ(target.data, before);
    }
}

// --- Window copy ------------------------------------------------------------------------

// A 5-by-5 source whose element at row r, column c is 10r + c.
TestImage numberedSource() {
    TestImage source = filled(5, 5, 0);
    for (int32_t c = 0; c < 5; ++c) {
        for (int32_t r = 0; r < 5; ++r) {
            source.set(r, c, 10 * r + c);
        }
    }
    return source;
}

TEST_F(MatxOperations, CopyRegionCentresAnOddWindow) {
    TestImage source = numberedSource();
    TestImage target = filled(3, 3, -1);
    mx_copy_region(target.get(), source.get(), 2, 2);
    EXPECT_EQ(target.data, (std::vector<double>{11, 21, 31, 12, 22, 32, 13, 23, 33}));
}

TEST_F(MatxOperations, CopyRegionReachesOneFurtherBackForAnEvenWindow) {
    TestImage source = numberedSource();
    TestImage target = filled(2, 2, -1);
    mx_copy_region(target.get(), source.get(), 2, 2);
    EXPECT_EQ(target.data, (std::vector<double>{11, 21, 12, 22}));
    // Rows and columns are sized apart: 2 rows, 3 columns, centre column 3, row 1.
    TestImage wide = filled(2, 3, -1);
    mx_copy_region(wide.get(), source.get(), 3, 1);
    EXPECT_EQ(wide.data, (std::vector<double>{2, 12, 3, 13, 4, 14}));
    EXPECT_EQ(standin_console_text(), "");
}

TEST_F(MatxOperations, CopyRegionReachesTheSourceEdgesAndCopiesBits) {
    TestImage source = numberedSource();
    source.set(4, 4, kNegativeNaN);
    source.set(0, 0, -0.0);
    TestImage corner = filled(2, 2, -1);
    mx_copy_region(corner.get(), source.get(), 1, 1);
    EXPECT_EQ(bitsOf(corner.at(0, 0)), bitsOf(-0.0));
    mx_copy_region(corner.get(), source.get(), 4, 4);
    EXPECT_EQ(corner.at(0, 0), 33);
    EXPECT_EQ(bitsOf(corner.at(1, 1)), bitsOf(kNegativeNaN));
    TestImage whole = filled(5, 5, -1);
    mx_copy_region(whole.get(), source.get(), 2, 2);
    for (size_t k = 0; k < 25; ++k) {
        EXPECT_EQ(bitsOf(whole.data[k]), bitsOf(source.data[k]));
    }
    EXPECT_EQ(standin_console_text(), "");
}

TEST_F(MatxOperations, CopyRegionRefusesAWindowOutsideTheSource) {
    const std::string message = "ERROR in copy_region: window must lie inside the source\n";
    TestImage source = numberedSource();
    struct Centre {
        int32_t c;
        int32_t r;
    };
    // One step past each edge of the source, for a 3-by-3 and a 2-by-2 window; a centre at
    // the int limits; and a window larger than the source.
    const Centre oddCentres[] = {{0, 2}, {4, 2}, {2, 0}, {2, 4}, {INT32_MIN, 2}, {2, INT32_MAX}};
    const Centre evenCentres[] = {{0, 2}, {5, 2}, {2, 0}, {2, 5}, {2, INT32_MIN}, {INT32_MAX, 2}};
    for (const auto& [centres, size] :
         {std::pair<const Centre*, int32_t>{oddCentres, 3}, {evenCentres, 2}}) {
        for (int k = 0; k < 6; ++k) {
            SCOPED_TRACE(testing::Message() << size << "x" << size << " window at column "
                                            << centres[k].c << ", row " << centres[k].r);
            TestImage target = filled(size, size, -1);
            standin_console_clear();
            mx_copy_region(target.get(), source.get(), centres[k].c, centres[k].r);
            EXPECT_EQ(standin_console_text(), message);
            EXPECT_EQ(target.data, std::vector<double>(static_cast<size_t>(size * size), -1));
        }
    }
    TestImage tooBig = filled(6, 1, -1);
    standin_console_clear();
    mx_copy_region(tooBig.get(), source.get(), 2, 3);
    EXPECT_EQ(standin_console_text(), message);
    EXPECT_EQ(tooBig.data, std::vector<double>(6, -1));
}

TEST_F(MatxOperations, CopyRegionIntoAnEmptyTargetReadsNothing) {
    TestImage source = numberedSource();
    mx_copy_region(filled(3, 0, -1).get(), source.get(), -100, -100);
    mx_copy_region(filled(0, 3, -1).get(), source.get(), 100, 100);
    EXPECT_EQ(standin_console_text(), "");
}

// --- Printing ---------------------------------------------------------------------------

TEST_F(MatxOperations, PrintWritesRowByRow) {
    mx_print(fromRows({{1, 2}, {3, 4}}).get());
    EXPECT_EQ(standin_console_text(), " 1.000000 2.000000\n 3.000000 4.000000\n");
}

TEST_F(MatxOperations, PrintRoundsToSinglePrecision) {
    mx_print(fromRows({{16777217, -0.1, 0.5}}).get());
    EXPECT_EQ(standin_console_text(), " 16777216.000000 -0.100000 0.500000\n");
    standin_console_clear();
    // 1e39 is beyond single precision.
    mx_print(fromRows({{1e39}}).get());
    EXPECT_EQ(standin_console_text(), " inf\n");
}

TEST_F(MatxOperations, PrintOfEmptyViews) {
    mx_print(filled(2, 0, 0).get());
    EXPECT_EQ(standin_console_text(), "\n\n");
    standin_console_clear();
    mx_print(filled(0, 3, 0).get());
    EXPECT_EQ(standin_console_text(), "");
}

// A released working array's block serves the next array it fits (up to a quarter smaller,
// of the same alignment), never a larger one, and what is kept stays within its bound.
TEST(PixelArrays, KeptBlocksServeOnlyArraysThatFitThemAndStayWithinTheirBound) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    releasingKeptBlocks();
    PixelArray<uint8_t> array = allocatePixelArray<uint8_t>(kMiB);
    const uint8_t* const block = array.get();
    array.reset();
    PixelArray<uint8_t> larger = allocatePixelArray<uint8_t>(kMiB + 1);
    PixelArray<uint8_t> farSmaller = allocatePixelArray<uint8_t>(kMiB * 3 / 4);
    EXPECT_NE(larger.get(), block);
    EXPECT_NE(farSmaller.get(), block);
    PixelArray<uint8_t> fitting = allocatePixelArray<uint8_t>(kMiB * 5 / 6);
    EXPECT_EQ(fitting.get(), block);
    std::memset(fitting.get(), 1, kMiB * 5 / 6);

    // A block of huge pages serves only arrays reached all over.
    PixelArray<uint8_t> huge = allocatePixelArray<uint8_t>(2 * kMiB);
    const uint8_t* const hugeBlock = huge.get();
    huge.reset();
    PixelArray<uint8_t> list =
        allocatePixelArray<uint8_t>(2 * kMiB, PixelPages::whenWritten, PixelReach::inOrder);
    EXPECT_NE(list.get(), hugeBlock);
    EXPECT_EQ(allocatePixelArray<uint8_t>(2 * kMiB).get(), hugeBlock);

    std::vector<PixelArray<uint32_t>> many;
    for (std::size_t k = 0; k < 40; ++k) {
        many.push_back(allocatePixelArray<uint32_t>(kMiB / 4 + k * 1024));
    }
    many.clear();
    EXPECT_GT(keptBlocks().bytes, kMostKeptBytes / 2);
    EXPECT_LE(keptBlocks().bytes, kMostKeptBytes);
    releasingKeptBlocks();
    EXPECT_EQ(keptBlocks().bytes, 0u);
}

}  // namespace
