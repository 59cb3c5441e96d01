#include <gtest/gtest.h>

#include <algorithm>
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

// Sizes below and above the factorisations' block sizes, with several panels.
TEST(ReducePath, DiagonalisesTheNormalMatrixAtEveryWeight) {
    for (int k : {7, 150, 700}) {
        MatrixXd fixed, S;
        problem(k, fixed, S);
        const zorp::PathReduction r = zorp::reduce_path(fixed, S);
        EXPECT_EQ(r.m0, 2);
        EXPECT_NEAR(r.alpha, fixed.trace() / S.trace(), 1e-15 * r.alpha);
        const Eigen::LLT<MatrixXd> base(fixed + r.alpha * S);
        const Eigen::LLT<MatrixXd> pen(S.bottomRightCorner(k - 2, k - 2));
        EXPECT_NEAR(r.logdet_base, 2.0 * MatrixXd(base.matrixL()).diagonal().array().log().sum(),
                    1e-9 * k);
        EXPECT_NEAR(r.logdet_s, 2.0 * MatrixXd(pen.matrixL()).diagonal().array().log().sum(),
                    1e-9 * k);
        EXPECT_TRUE(std::is_sorted(r.mu.data(), r.mu.data() + k));
        for (double lam : {0.0, 1e-3, 1.0, 1e3}) {
            const MatrixXd D = r.T.transpose() * (fixed + lam * S) * r.T;
            const zorp::VectorXd d = r.mu.array() + (lam / r.alpha) * (1.0 - r.mu.array());
            EXPECT_LT((D - MatrixXd(d.asDiagonal())).norm(), 1e-10 * k * d.maxCoeff())
                << k << " " << lam;
        }
    }
}

TEST(ReducePath, StopsWhenCancelled) {
    MatrixXd fixed, S;
    problem(300, fixed, S);
    int polls = 0;
    const zorp::CancelCheck cancel = [&polls] { return ++polls == 3; };
    EXPECT_THROW(zorp::reduce_path(fixed, S, cancel), zorp::Cancelled);
    EXPECT_EQ(polls, 3);
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
