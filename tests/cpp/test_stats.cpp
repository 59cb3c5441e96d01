#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "stats.hpp"

namespace {

using zorp::median_inplace;

TEST(MedianInplace, SmallCases) {
    EXPECT_EQ(median_inplace({3.0, 1.0, 2.0}), 2.0);
    EXPECT_EQ(median_inplace({4.0, 1.0, 3.0, 2.0}), 2.5);
    EXPECT_EQ(median_inplace({-7.25}), -7.25);
    EXPECT_EQ(median_inplace({}), 0.0);
    EXPECT_EQ(median_inplace({5.0, 5.0}), 5.0);
}

TEST(MedianInplace, MatchesSortedOrderStatistics) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> dist(0.0, 3.0);
    for (size_t n : {1u, 2u, 3u, 10u, 11u, 1000u, 1001u}) {
        for (int rep = 0; rep < 20; ++rep) {
            std::vector<double> v(n);
            for (auto& x : v) {
                // Rounded values force many ties, which selection must handle.
                x = std::round(dist(rng));
            }
            std::vector<double> sorted = v;
            std::sort(sorted.begin(), sorted.end());
            const double expected =
                n % 2 == 1 ? sorted[n / 2] : 0.5 * (sorted[n / 2 - 1] + sorted[n / 2]);
            EXPECT_EQ(median_inplace(v), expected) << "n=" << n;
        }
    }
}

TEST(MedianInplace, TakesItsArgumentByValue) {
    std::vector<double> v{9.0, 1.0, 5.0, 3.0};
    const std::vector<double> before = v;
    EXPECT_EQ(median_inplace(v), 4.0);
    EXPECT_EQ(v, before);
}

TEST(MedianInplace, InfinitiesAreOrdinaryValues) {
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(median_inplace({-inf, 0.0, inf}), 0.0);
    EXPECT_EQ(median_inplace({1.0, inf, inf}), inf);
}

// mad computed the plain way: two full selections.
double reference_mad(const zorp::VectorXd& y) {
    std::vector<double> buf(y.data(), y.data() + y.size());
    const double m = median_inplace(buf);
    for (double& v : buf) {
        v = std::abs(v - m);
    }
    return median_inplace(buf);
}

// The bucket selection must equal the plain selection bit for bit, from a few
// values (selected directly) to many (several bucket levels), also on inputs
// that defeat a strided sample.
TEST(Mad, MatchesPlainSelectionAtEverySize) {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::cauchy_distribution<double> cauchy(0.0, 1.0);
    for (zorp::Index n : {1, 2, 3, 47, 48, 49, 50, 257, 16384, 16385, 100000, 100001, 1000003}) {
        std::vector<zorp::VectorXd> cases;
        zorp::VectorXd y(n);
        for (auto& v : y) v = normal(rng);
        cases.push_back(y);
        for (auto& v : y) v = cauchy(rng);
        cases.push_back(y);
        for (auto& v : y) v = std::round(normal(rng) * 2.0);  // heavy ties
        cases.push_back(y);
        cases.push_back(zorp::VectorXd::LinSpaced(n, -5.0, 5.0));  // sorted
        cases.push_back(zorp::VectorXd::LinSpaced(n, 5.0, -5.0));  // reversed
        cases.push_back(zorp::VectorXd::Constant(n, 3.5));
        // Periodic data whose period divides the sampling stride: every sampled
        // value is the same, so the bracket is far too narrow.
        for (zorp::Index i = 0; i < n; ++i) y[i] = static_cast<double>(i % 64);
        cases.push_back(y);
        // Mostly constant with a few outliers on one side.
        y.setConstant(1.0);
        for (zorp::Index i = 0; i < n; i += 97) y[i] = 1e6 + static_cast<double>(i);
        cases.push_back(y);
        y.setZero();
        y.head(n / 2 + 1).setConstant(std::numeric_limits<double>::infinity());
        cases.push_back(y);
        for (size_t c = 0; c < cases.size(); ++c) {
            const double got = zorp::mad(cases[c]);
            const double want = reference_mad(cases[c]);
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(got)) << "n=" << n << " case=" << c;
            } else {
                EXPECT_EQ(got, want) << "n=" << n << " case=" << c;
            }
        }
    }
}

TEST(Mad, LargeInputWithNaNDoesNotCrash) {
    zorp::VectorXd y = zorp::VectorXd::LinSpaced(50000, 0.0, 1.0);
    y[123] = std::numeric_limits<double>::quiet_NaN();
    y[0] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(std::isnan(zorp::mad(y)));
}

// Every row is built to hit by less than one unit in the last place of its
// fitted value, alternately above and below, so a count equal to the expected
// one means each fitted value rounded exactly as Eigen's product does.
TEST(LinearHits, CountsAsTheRoundedProductDoes) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unif(-1.0, 1.0);
    const double eps = std::ldexp(1.0, -10);
    for (Eigen::Index n : {1, 2, 3, 5, 15, 16, 17, 31, 33, 100, 2001}) {
        for (Eigen::Index k : {1, 3, 8, 127, 128, 130}) {
            Eigen::MatrixXd big(n + 3, k);
            for (Eigen::Index j = 0; j < k; ++j) {
                for (Eigen::Index i = 0; i < n + 3; ++i) {
                    big(i, j) = j == 0 ? 1.0 : unif(rng);
                }
            }
            Eigen::VectorXd b(k);
            b[0] = 1.5;
            for (Eigen::Index j = 1; j < k; ++j) {
                b[j] = 0.4 * unif(rng) / static_cast<double>(k);
            }
            const zorp::MatrixRef X = big.topRows(n);  // outer stride n + 3
            const Eigen::VectorXd yp = X * b;
            Eigen::VectorXd yt(n);
            Eigen::Index expected = 0;
            for (Eigen::Index i = 0; i < n; ++i) {
                const double ulp = std::ldexp(1.0, -52);  // yp and yt lie in [1, 2)
                yt[i] = i % 2 == 0 ? yp[i] - eps + ulp : yp[i] + eps - ulp;
                if (i % 7 == 3) {
                    yt[i] = std::numeric_limits<double>::quiet_NaN();
                } else {
                    ++expected;
                }
            }
            Eigen::VectorXd scratch(n);
            EXPECT_EQ(zorp::linear_hits(X, b, yt, eps, scratch), expected)
                << "n=" << n << " k=" << k;
            EXPECT_EQ(zorp::success_rate(expected, n), zorp::compute_SR(yp, yt, eps));
        }
    }
    Eigen::VectorXd scratch;
    const Eigen::MatrixXd X = Eigen::MatrixXd::Ones(4, 2);
    EXPECT_THROW(
        zorp::linear_hits(X, Eigen::VectorXd::Ones(2), Eigen::VectorXd::Ones(5), 1.0, scratch),
        std::invalid_argument);
    EXPECT_THROW(
        zorp::linear_hits(X, Eigen::VectorXd::Ones(3), Eigen::VectorXd::Ones(4), 1.0, scratch),
        std::invalid_argument);
}

}  // namespace
