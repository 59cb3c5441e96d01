#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "columns.hpp"
#include "stats.hpp"

namespace {

using zorp::Index;
using zorp::MatrixXd;
using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// Columns that stress the bucket selection: most values in one bucket beside
// far outliers, two far clusters, a geometric run over the whole exponent
// range, sorted and reversed runs, one odd value, heavy ties, infinities (with
// the median among them).
MatrixXd adversarial_columns(Index n, std::mt19937_64& rng) {
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> coin(0, 1);
    const std::vector<std::function<double(Index)>> kinds = {
        [&](Index i) { return i % 97 == 0 ? 1e12 * (coin(rng) ? 1 : -1) : 1e-3 * normal(rng); },
        [&](Index) { return (coin(rng) ? 1e9 : -1e9) + normal(rng); },
        [&](Index i) {
            return std::ldexp(1.0, static_cast<int>(i % 2000) - 1000) * (i % 3 == 0 ? -1 : 1);
        },
        [&](Index i) { return static_cast<double>(i); },
        [&](Index i) { return -static_cast<double>(i) * 1e-200; },
        [&](Index i) { return i == n / 3 ? 5.0 : 2.0; },
        [&](Index) { return std::round(2.0 * normal(rng)); },
        [&](Index i) { return i % 5 == 0 ? std::numeric_limits<double>::infinity() : normal(rng); },
        [&](Index i) { return i % 3 == 0 ? normal(rng) : std::numeric_limits<double>::infinity(); },
    };
    MatrixXd Y(n, static_cast<Index>(kinds.size()));
    for (Index j = 0; j < Y.cols(); ++j) {
        for (Index i = 0; i < n; ++i) {
            Y(i, j) = kinds[static_cast<size_t>(j)](i);
        }
    }
    return Y;
}

// mad computed the plain way: two full selections.
double reference_mad(const zorp::VectorXd& y) {
    std::vector<double> buf(y.data(), y.data() + y.size());
    const double m = zorp::median_inplace(buf);
    for (double& v : buf) {
        v = std::abs(v - m);
    }
    return zorp::median_inplace(buf);
}

TEST(ColumnMads, EqualPlainSelectionOnAdversarialColumnsInBothLayouts) {
    std::mt19937_64 rng(5);
    for (Index n : {49, 50, 257, 1000, 100001}) {
        const MatrixXd Y = adversarial_columns(n, rng);
        const RowMatrix Yr = Y;
        const zorp::VectorXd by_cols = zorp::column_mads(zorp::MatrixRef(Y));
        const zorp::VectorXd by_rows = zorp::column_mads(zorp::RowMatrixRef(Yr));
        for (Index j = 0; j < Y.cols(); ++j) {
            const double expected = reference_mad(Y.col(j));
            for (const double got : {by_cols[j], by_rows[j], zorp::mad(Y.col(j))}) {
                EXPECT_TRUE(got == expected || (std::isnan(got) && std::isnan(expected)))
                    << "n " << n << " column " << j << ": " << got << " vs " << expected;
            }
        }
    }
}

}  // namespace
