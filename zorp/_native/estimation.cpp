#include "estimation.hpp"

#include <cmath>
#include <stdexcept>

namespace zorp {

namespace {

void check_penalty_shape(const MatrixXd* R, double gamma, Index M, const char* message) {
    if (R != nullptr && gamma != 0.0 && (R->rows() != M || R->cols() != M)) {
        throw std::invalid_argument(message);
    }
}

// The factorisation would turn non-finite input into NaN or zero coefficients
// without a sign; refuse it as ols does. A weight is checked when its matrix is
// given, a matrix only when its penalty takes part (inactive ones are not read).
void check_finite_inputs(const MatrixXd& Phi, const VectorXd& y, const MatrixXd* R1,
                         const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    if (!Phi.allFinite()) {
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

}  // namespace

VectorXd fit_regularized_linear(const MatrixXd& Phi, const VectorXd& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    const Index M = Phi.cols();
    if (y.size() != Phi.rows()) {
        throw std::invalid_argument("fit_regularized_linear: len(y) != rows of Phi");
    }
    check_penalty_shape(R1, gamma1, M, "fit_regularized_linear: R1 is not M x M");
    check_penalty_shape(R2, gamma2, M, "fit_regularized_linear: R2 is not M x M");
    check_finite_inputs(Phi, y, R1, R2, gamma1, gamma2, ridge);

    const double n = static_cast<double>(y.size());
    MatrixXd A = Phi.transpose() * Phi;
    A.diagonal().array() += ridge;
    if (gamma1 != 0.0 && R1 != nullptr) {
        const double w1 = n * gamma1;
        A += w1 * *R1;
    }
    if (gamma2 != 0.0 && R2 != nullptr) {
        const double w2 = n * gamma2;
        A += w2 * *R2;
    }
    const VectorXd b = Phi.transpose() * y;
    // The solve zeroes components whose pivot is at most the smallest normal
    // double, so singular systems give a finite answer.
    const Eigen::LDLT<MatrixXd, Eigen::Lower> ldlt(A);
    return ldlt.solve(b);
}

VectorXd ols(const MatrixXd& X, const VectorXd& y) {
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
    const Eigen::BDCSVD<MatrixXd> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
    return svd.solve(y);
}

}  // namespace zorp
