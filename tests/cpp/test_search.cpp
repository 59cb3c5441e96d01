#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "search.hpp"

namespace {

using zorp::MatrixXd;

// A positive definite "Gram matrix" and a penalty that leaves the first two
// terms free, as the derivative penalties do.
void problem(int k, MatrixXd& fixed, MatrixXd& S) {
    const MatrixXd A = MatrixXd::Random(3 * k, k);
    fixed = A.transpose() * A + 1e-3 * MatrixXd::Identity(k, k);
    const MatrixXd B = MatrixXd::Random(k, k - 2);
    S = MatrixXd::Zero(k, k);
    S.bottomRightCorner(k - 2, k - 2) = B.bottomRows(k - 2).transpose() * B.bottomRows(k - 2);
}

TEST(ReducePath, DiagonalisesTheNormalMatrixAtEveryWeight) {
    MatrixXd fixed, S;
    problem(7, fixed, S);
    const zorp::PathReduction r = zorp::reduce_path(fixed, S);
    EXPECT_EQ(r.m0, 2);
    EXPECT_NEAR(r.alpha, fixed.trace() / S.trace(), 1e-15 * r.alpha);
    EXPECT_NEAR(r.logdet_base, std::log((fixed + r.alpha * S).determinant()), 1e-9);
    EXPECT_NEAR(r.logdet_s, std::log(S.bottomRightCorner(5, 5).determinant()), 1e-9);
    for (double lam : {0.0, 1e-3, 1.0, 1e3}) {
        const MatrixXd D = r.T.transpose() * (fixed + lam * S) * r.T;
        const zorp::VectorXd d = r.mu.array() + (lam / r.alpha) * (1.0 - r.mu.array());
        EXPECT_LT((D - MatrixXd(d.asDiagonal())).norm(), 1e-10 * d.maxCoeff()) << lam;
    }
}

TEST(ReducePath, ShiftsASingularNormalMatrixAndRefusesBadShapes) {
    // No data at all on the free terms: fixed + alpha S is singular there.
    MatrixXd fixed, S;
    problem(5, fixed, S);
    fixed.setZero();
    fixed(4, 4) = 1.0;
    const zorp::PathReduction r = zorp::reduce_path(fixed, S);
    EXPECT_TRUE(r.T.allFinite());
    EXPECT_TRUE((r.mu.array() >= 0.0).all() && (r.mu.array() <= 1.0).all());
    EXPECT_THROW(zorp::reduce_path(MatrixXd::Identity(3, 3), MatrixXd::Identity(2, 2)),
                 std::invalid_argument);
    MatrixXd negative = -MatrixXd::Identity(3, 3);
    EXPECT_THROW(zorp::reduce_path(negative, MatrixXd::Zero(3, 3)), std::domain_error);
}

}  // namespace
