#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "bases.hpp"

namespace {

using zorp::deriv_row;
using zorp::VectorXd;

TEST(DerivRow, FirstNonZeroEntryIsExactAtZero) {
    VectorXd d(5);
    deriv_row(0.0, 4, 1, d);
    EXPECT_EQ(d, (VectorXd(5) << 0.0, 1.0, 0.0, 0.0, 0.0).finished());
    deriv_row(0.0, 4, 2, d);
    EXPECT_EQ(d, (VectorXd(5) << 0.0, 0.0, 2.0, 0.0, 0.0).finished());
}

TEST(DerivRow, MatchesPowerRule) {
    const int deg = 8;
    VectorXd d1(deg + 1);
    VectorXd d2(deg + 1);
    for (double x : {-1.7, 0.3, 2.0, 5.5}) {
        deriv_row(x, deg, 1, d1);
        deriv_row(x, deg, 2, d2);
        EXPECT_EQ(d1[0], 0.0);
        EXPECT_EQ(d2[0], 0.0);
        EXPECT_EQ(d2[1], 0.0);
        for (int p = 1; p <= deg; ++p) {
            EXPECT_DOUBLE_EQ(d1[p], p * std::pow(x, p - 1)) << "x=" << x << " p=" << p;
        }
        for (int p = 2; p <= deg; ++p) {
            EXPECT_DOUBLE_EQ(d2[p], p * (p - 1) * std::pow(x, p - 2)) << "x=" << x << " p=" << p;
        }
    }
    // Exact at a power of two.
    deriv_row(2.0, 4, 2, d2);
    EXPECT_EQ(d2.head(5), (VectorXd(5) << 0.0, 0.0, 2.0, 12.0, 48.0).finished());
}

TEST(DerivRow, WritesOnlyTheFirstDegPlusOneEntries) {
    const double sentinel = -123.0;
    VectorXd d = VectorXd::Constant(6, sentinel);
    deriv_row(1.5, 2, 1, d);
    EXPECT_EQ(d[2], 3.0);
    for (int i = 3; i < 6; ++i) {
        EXPECT_EQ(d[i], sentinel);
    }
    // A view into a larger vector is written in place.
    VectorXd big = VectorXd::Constant(8, sentinel);
    deriv_row(1.0, 3, 2, big.segment(2, 4));
    EXPECT_EQ(big.segment(2, 4), (VectorXd(4) << 0.0, 0.0, 2.0, 6.0).finished());
    EXPECT_EQ(big[1], sentinel);
    EXPECT_EQ(big[6], sentinel);
    // deg = -1 writes nothing.
    VectorXd empty(0);
    deriv_row(1.0, -1, 1, empty);
}

TEST(DerivRow, RejectsShortOutputAndUnknownOrder) {
    VectorXd d(3);
    EXPECT_THROW(deriv_row(1.0, 3, 1, d), std::invalid_argument);
    EXPECT_THROW(deriv_row(1.0, 2, 0, d), std::invalid_argument);
    EXPECT_THROW(deriv_row(1.0, 2, 3, d), std::invalid_argument);
}

TEST(DerivRow, LargeDegreeSecondDerivativeCoefficientDoesNotOverflow) {
    // p * (p - 1) exceeds the 32-bit range for p > 46341.
    const int p = 50000;
    EXPECT_EQ(zorp::col_deriv_scalar(1.0, p, 2), 50000.0 * 49999.0);
}

}  // namespace
