#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
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
            const double expected = n % 2 == 1 ? sorted[n / 2]
                                               : 0.5 * (sorted[n / 2 - 1] + sorted[n / 2]);
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

}  // namespace
