#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "matx/matx.h"
#include "matx/view_handle.h"

namespace {

uint64_t bitsOf(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

TEST(MatxViews, ColumnsLieOverTheBlockInColumnMajorOrder) {
    std::vector<double> block = {1, 2, 3, 4, 5, 6};
    ViewHandle view = make_view(block.data(), 3, 2);
    EXPECT_EQ(view->m, 3);
    EXPECT_EQ(view->n, 2);
    EXPECT_EQ(view->owner, 0);
    EXPECT_EQ(view->col[0], block.data());
    EXPECT_EQ(view->col[1], block.data() + 3);
    view->col[1][2] = 60;
    EXPECT_EQ(block[5], 60);
}

TEST(MatxViews, FreeingANonOwningViewLeavesTheBlockAlone) {
    std::vector<double> block = {7, 8, 9, 10};
    mx_free(mx_from_vector(block.data(), 2, 2));
    EXPECT_EQ(block, (std::vector<double>{7, 8, 9, 10}));

    // Any owner value other than exactly 1 leaves the block alone, even one that is not
    // from the allocator at all.
    double onStack[4] = {1, 2, 3, 4};
    matx* odd = mx_from_vector(onStack, 2, 2);
    odd->owner = 2;
    mx_free(odd);
    EXPECT_EQ(onStack[3], 4);
}

TEST(MatxViews, EmptyViews) {
    double block[1] = {0};
    ViewHandle noRows = make_view(block, 0, 3);
    for (int32_t j = 0; j < 3; ++j) {
        EXPECT_EQ(noRows->col[j], block);
    }
    ViewHandle noColumns = make_view(block, 4, 0);
    EXPECT_EQ(noColumns->n, 0);
    EXPECT_NE(noColumns->col, nullptr);

    // Owning views without elements are made and released like any other.
    mx_free(mx_new(0, 0));
    mx_free(mx_new(5, 0));
    mx_free(mx_new(0, 5));
}

TEST(MatxViews, NewViewOwnsAContiguousBlock) {
    matx* view = mx_new(4, 3);
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->owner, 1);
    for (int32_t j = 0; j < 3; ++j) {
        EXPECT_EQ(view->col[j], view->col[0] + 4 * j);
        for (int32_t i = 0; i < 4; ++i) {
            view->col[j][i] = i + 10.0 * j;  // every element writable
        }
    }
    mx_free(view);
}

TEST(MatxViews, CloneIsAnIndependentBitExactCopy) {
    const double nanWithPayload = std::nan("0x5a5a");
    std::vector<double> block = {1.5, -0.0, nanWithPayload, 4, 5, 6};
    ViewHandle source = make_view(block.data(), 2, 3);
    matx* copy = mx_clone(source.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->owner, 1);
    EXPECT_EQ(copy->m, 2);
    EXPECT_EQ(copy->n, 3);
    for (int32_t j = 0; j < 3; ++j) {
        for (int32_t i = 0; i < 2; ++i) {
            EXPECT_EQ(bitsOf(copy->col[j][i]), bitsOf(block[i + 2 * j]));
        }
    }
    EXPECT_TRUE(std::signbit(copy->col[0][1]));
    copy->col[0][0] = 99;
    EXPECT_EQ(block[0], 1.5);

    matx* cloneOfClone = mx_clone(copy);
    EXPECT_EQ(cloneOfClone->col[0][0], 99);
    mx_free(cloneOfClone);
    mx_free(copy);
}

TEST(MatxViews, GetArrayGivesColumnPointersOnly) {
    std::vector<double> block(12);
    double** columns = get_array(block.data(), 4, 3);
    ASSERT_NE(columns, nullptr);
    EXPECT_EQ(columns[2], block.data() + 8);
    std::free(columns);
}

}  // namespace
