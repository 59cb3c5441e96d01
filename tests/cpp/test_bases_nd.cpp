#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "bases.hpp"

namespace {

using zorp::MultiIndex;

TEST(GenerateMultiIndices, AppendsAfterExistingEntriesAndKeepsFixedPrefix) {
    std::vector<MultiIndex> out = {{9, 9, 9}};
    // Dimension 0 is already fixed by the caller; only dimensions 1 and 2 vary.
    std::vector<int> current = {7, 0, 0};
    zorp::generate_multi_indices({4, 1, 2}, 1, current, out);
    const std::vector<MultiIndex> expected = {{9, 9, 9}, {7, 0, 0}, {7, 0, 1}, {7, 0, 2},
                                              {7, 1, 0}, {7, 1, 1}, {7, 1, 2}};
    EXPECT_EQ(out, expected);
}

TEST(GenerateMultiIndices, LongerWorkingIndexIsCopiedWhole) {
    std::vector<MultiIndex> out;
    std::vector<int> current = {0, 5};
    zorp::generate_multi_indices({1}, 0, current, out);
    const std::vector<MultiIndex> expected = {{0, 5}, {1, 5}};
    EXPECT_EQ(out, expected);
}

TEST(GenerateMultiIndices, RejectsShortWorkingIndex) {
    std::vector<MultiIndex> out;
    std::vector<int> current = {0};
    EXPECT_THROW(zorp::generate_multi_indices({1, 1}, 0, current, out), std::invalid_argument);
    EXPECT_TRUE(out.empty());
}

TEST(ColDerivScalar, PowerDerivativesAtZero) {
    EXPECT_EQ(zorp::col_deriv_scalar(0.0, 0, 0), 1.0);
    EXPECT_EQ(zorp::col_deriv_scalar(0.0, 1, 1), 1.0);
    EXPECT_EQ(zorp::col_deriv_scalar(0.0, 2, 2), 2.0);
    EXPECT_EQ(zorp::col_deriv_scalar(0.0, 3, 1), 0.0);
    for (double x : {-2.5, 0.0, 3.0}) {
        EXPECT_EQ(zorp::col_deriv_scalar(x, 1, 2), 0.0);
        EXPECT_EQ(zorp::col_deriv_scalar(x, 0, 1), 0.0);
    }
    EXPECT_DOUBLE_EQ(zorp::col_deriv_scalar(-2.0, 3, 2), 6.0 * -2.0);
}

}  // namespace
