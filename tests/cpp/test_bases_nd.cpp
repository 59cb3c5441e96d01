#include <gtest/gtest.h>

#include <functional>
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

// Each long-running builder polls its cancellation check: a check that fires at
// its n-th poll stops the work with Cancelled, a check that never fires leaves
// the result exactly as without one.
TEST(Cancellation, LongBuildersStopAtTheCheckAndAreUnchangedOtherwise) {
    const zorp::VectorXd x = zorp::VectorXd::LinSpaced(300000, -1.0, 1.0);
    const std::vector<zorp::VectorXd> cols{x, x.reverse()};
    const std::vector<MultiIndex> mi{{0, 0}, {1, 2}, {3, 1}, {2, 2}, {4, 0},
                                     {0, 1}, {1, 1}, {5, 0}, {0, 3}, {2, 3}};
    using Build = std::function<std::vector<zorp::MatrixXd>(const zorp::CancelCheck&)>;
    const std::vector<Build> builds{
        [&](const zorp::CancelCheck& c) {
            return std::vector<zorp::MatrixXd>{zorp::design_matrix_1d(6, x, c)};
        },
        [&](const zorp::CancelCheck& c) {
            return std::vector<zorp::MatrixXd>{zorp::design_matrix_nd(mi, cols, c)};
        },
        [](const zorp::CancelCheck& c) {
            auto r = zorp::smoothness_penalty_matrices_1d(5, -1.0, 1.0, 2000000, c);
            return std::vector<zorp::MatrixXd>{r.R1, r.R2};
        },
        [](const zorp::CancelCheck& c) {
            auto r = zorp::build_penalty_matrices_nd({9, 9, 9}, {{-1, 1}, {0, 2}, {-1, 0}}, 20, c);
            return std::vector<zorp::MatrixXd>{r.R1, r.R2};
        },
    };
    for (size_t b = 0; b < builds.size(); ++b) {
        int polls = 0;
        const zorp::CancelCheck second = [&polls] { return ++polls == 2; };
        EXPECT_THROW(builds[b](second), zorp::Cancelled) << "build " << b;
        EXPECT_EQ(polls, 2) << "build " << b;
        const zorp::CancelCheck never = [] { return false; };
        const auto with_check = builds[b](never);
        const auto without = builds[b](zorp::CancelCheck{});
        for (size_t i = 0; i < without.size(); ++i) {
            EXPECT_TRUE(with_check[i] == without[i]) << "build " << b;
        }
    }
}

}  // namespace
