#include "estimation.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace zorp {

namespace {

// The QR route of ols is taken for at least this many rows (and twice as many
// rows as columns), where it is several times faster than the direct SVD ...
constexpr Index kQrMinRows = 512;
// ... and kept only when the ratio of the extreme singular values is above this
// bound; for worse-conditioned X the direct SVD keeps more digits.
constexpr double kMaxQrCondition = 1e-5;

void check_penalty_shape(const MatrixXd* R, double gamma, Index M, const char* message) {
    if (R != nullptr && gamma != 0.0 && (R->rows() != M || R->cols() != M)) {
        throw std::invalid_argument(message);
    }
}

// Lower triangle of A += Phi'Phi (a symmetric rank update) and b += Phi'y, in one
// pass over blocks of rows small enough to stay in cache between the two products.
// Phi is column-major or row-major; either way a block of rows is one product.
template <class Design>
void gram_lower_and_cross(const Design& Phi, const VectorRef& y, MatrixXd& A, VectorXd& b) {
    const Index M = Phi.cols();
    if (M == 0) {
        return;
    }
    constexpr Index kBlockDoubles = Index{1} << 15;  // 256 KiB of the design matrix
    const Index rows = std::max<Index>(64, kBlockDoubles / M);
    for (Index r0 = 0; r0 < Phi.rows(); r0 += rows) {
        const Index len = std::min(rows, Phi.rows() - r0);
        const auto block = Phi.middleRows(r0, len);
        A.selfadjointView<Eigen::Lower>().rankUpdate(block.transpose());
        b.noalias() += block.transpose() * y.segment(r0, len);
    }
}

// Least squares through a QR factorisation of a tall X: with X = Q R, the
// minimum-norm solution of X beta = y is that of R beta = (Q'y)[0:k], solved by
// the SVD of the k x k factor, whose singular values are those of X. R comes from
// Cholesky QR applied twice: R1 from the Cholesky factor of X'X, then R2 from
// that of Q1'Q1 with Q1 = X R1^-1 formed block by block and never stored, and
// R = R2 R1, Q'y = R2^-T Q1'y. For the condition numbers accepted here (below
// 1 / kMaxQrCondition, so that the Gram matrix keeps more than half the digits)
// the second pass restores the accuracy of an orthogonal factorisation. Returns
// false when X is ill-conditioned, where the direct SVD of X is more accurate,
// and for every rank-deficient X, whose rank decisions are left to it.
template <class Design>
bool ols_by_qr(const Design& X, const VectorRef& y, VectorXd& beta) {
    const Index k = X.cols();
    MatrixXd G = MatrixXd::Zero(k, k);
    VectorXd unused = VectorXd::Zero(k);
    gram_lower_and_cross(X, y, G, unused);
    const Eigen::LLT<MatrixXd, Eigen::Lower> first(G);
    if (first.info() != Eigen::Success) {
        return false;
    }
    const MatrixXd L1 = first.matrixL();
    // The diagonal of a triangular factor bounds the condition number from below.
    const auto d1 = L1.diagonal().cwiseAbs();
    if (!(d1.minCoeff() > kMaxQrCondition * d1.maxCoeff())) {
        return false;
    }
    MatrixXd G2 = MatrixXd::Zero(k, k);
    VectorXd c2 = VectorXd::Zero(k);
    constexpr Index kBlockDoubles = Index{1} << 15;
    const Index rows = std::max<Index>(64, kBlockDoubles / k);
    MatrixXd Q1(std::min(rows, X.rows()), k);
    for (Index r0 = 0; r0 < X.rows(); r0 += rows) {
        const Index len = std::min(rows, X.rows() - r0);
        auto block = Q1.topRows(len);
        block = X.middleRows(r0, len);
        // Q1 = X R1^-1 with R1 = L1': solve Q1 L1' = X from the right.
        L1.triangularView<Eigen::Lower>().transpose().solveInPlace<Eigen::OnTheRight>(block);
        G2.selfadjointView<Eigen::Lower>().rankUpdate(block.transpose());
        c2.noalias() += block.transpose() * y.segment(r0, len);
    }
    const Eigen::LLT<MatrixXd, Eigen::Lower> second(G2);
    if (second.info() != Eigen::Success) {
        return false;
    }
    const MatrixXd L2 = second.matrixL();
    const MatrixXd R = L2.transpose().triangularView<Eigen::Upper>() *
                       L1.transpose().triangularView<Eigen::Upper>().toDenseMatrix();
    const Eigen::BDCSVD<MatrixXd> svd(R, Eigen::ComputeThinU | Eigen::ComputeThinV);
    const VectorXd& s = svd.singularValues();
    if (!(s[k - 1] > kMaxQrCondition * s[0])) {
        return false;
    }
    // Q'y = R2^-T Q1'y = L2^-1 c2.
    L2.triangularView<Eigen::Lower>().solveInPlace(c2);
    beta = svd.solve(c2);
    // One step of refinement on the residual r = y - X beta: the correction
    // solves R d = Q'r with Q'r = R^-T X'r, which recovers the digits the
    // products with R1^-1 lose to X's conditioning.
    VectorXd z = VectorXd::Zero(k);
    for (Index r0 = 0; r0 < X.rows(); r0 += rows) {
        const Index len = std::min(rows, X.rows() - r0);
        const auto block = X.middleRows(r0, len);
        const VectorXd r = y.segment(r0, len) - block * beta;
        z.noalias() += block.transpose() * r;
    }
    L1.triangularView<Eigen::Lower>().solveInPlace(z);
    L2.triangularView<Eigen::Lower>().solveInPlace(z);
    beta += svd.solve(z);
    return true;
}

// The factorisation would turn non-finite input into NaN or zero coefficients
// without a sign; refuse it as ols does. Phi is checked through the diagonal of
// its Gram matrix, which is not finite exactly when a column holds a non-finite
// value or its squares overflow; only then is Phi itself scanned, so a separate
// pass over the largest input is saved. A weight is checked when its matrix is
// given, a matrix only when its penalty takes part (inactive ones are not read).
template <class Design>
void check_finite_inputs(const Design& Phi, const MatrixXd& gram, const VectorRef& y,
                         const MatrixXd* R1, const MatrixXd* R2, double gamma1, double gamma2,
                         double ridge) {
    if (!gram.diagonal().allFinite() && !Phi.allFinite()) {
        throw std::invalid_argument("fit_regularized_linear: Phi contains non-finite values");
    }
    if (!y.allFinite()) {
        throw std::invalid_argument("fit_regularized_linear: y contains non-finite values");
    }
    if (!std::isfinite(ridge)) {
        throw std::invalid_argument("fit_regularized_linear: ridge is not finite");
    }
    if ((R1 != nullptr && !std::isfinite(gamma1)) || (R2 != nullptr && !std::isfinite(gamma2))) {
        throw std::invalid_argument("fit_regularized_linear: penalty weight is not finite");
    }
    if ((R1 != nullptr && gamma1 != 0.0 && !R1->allFinite()) ||
        (R2 != nullptr && gamma2 != 0.0 && !R2->allFinite())) {
        throw std::invalid_argument(
            "fit_regularized_linear: penalty matrix contains non-finite values");
    }
}

template <class Design>
VectorXd penalized_solve(const Design& Phi, const VectorRef& y, const MatrixXd* R1,
                         const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    const Index M = Phi.cols();
    if (y.size() != Phi.rows()) {
        throw std::invalid_argument("fit_regularized_linear: len(y) != rows of Phi");
    }
    check_penalty_shape(R1, gamma1, M, "fit_regularized_linear: R1 is not M x M");
    check_penalty_shape(R2, gamma2, M, "fit_regularized_linear: R2 is not M x M");

    const double n = static_cast<double>(y.size());
    MatrixXd A = MatrixXd::Zero(M, M);
    VectorXd b = VectorXd::Zero(M);
    gram_lower_and_cross(Phi, y, A, b);
    check_finite_inputs(Phi, A, y, R1, R2, gamma1, gamma2, ridge);
    A.diagonal().array() += ridge;
    if (gamma1 != 0.0 && R1 != nullptr) {
        const double w1 = n * gamma1;
        A += w1 * *R1;
    }
    if (gamma2 != 0.0 && R2 != nullptr) {
        const double w2 = n * gamma2;
        A += w2 * *R2;
    }
    // The solve zeroes components whose pivot is at most the smallest normal
    // double, so singular systems give a finite answer.
    const Eigen::LDLT<MatrixXd, Eigen::Lower> ldlt(A);
    return ldlt.solve(b);
}

}  // namespace

VectorXd fit_regularized_linear(const MatrixRef& Phi, const VectorRef& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    return penalized_solve(Phi, y, R1, R2, gamma1, gamma2, ridge);
}

VectorXd fit_regularized_linear(const RowMatrixRef& Phi, const VectorRef& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    return penalized_solve(Phi, y, R1, R2, gamma1, gamma2, ridge);
}

namespace {

template <class Design>
VectorXd least_squares(const Design& X, const VectorRef& y) {
    if (y.size() != X.rows()) {
        throw std::invalid_argument("ols: len(y) != rows of X");
    }
    if (X.rows() == 0 || X.cols() == 0) {
        return VectorXd::Zero(X.cols());
    }
    // The decomposition flags non-finite input only through its status and
    // would then solve to zeros; refuse it instead.
    if (!X.allFinite()) {
        throw std::invalid_argument("ols: X contains non-finite values");
    }
    if (X.rows() >= kQrMinRows && X.rows() >= 2 * X.cols()) {
        VectorXd beta;
        if (ols_by_qr(X, y, beta)) {
            return beta;
        }
    }
    const Eigen::BDCSVD<MatrixXd> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
    return svd.solve(y);
}

}  // namespace

VectorXd ols(const MatrixRef& X, const VectorRef& y) { return least_squares(X, y); }

VectorXd ols(const RowMatrixRef& X, const VectorRef& y) { return least_squares(X, y); }

}  // namespace zorp
