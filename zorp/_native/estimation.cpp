#include "estimation.hpp"

#include <stdexcept>

namespace zorp {

namespace {

void check_penalty_shape(const MatrixXd* R, double gamma, Index M, const char* message) {
    if (R != nullptr && gamma != 0.0 && (R->rows() != M || R->cols() != M)) {
        throw std::invalid_argument(message);
    }
}

}  // namespace

VectorXd fit_regularized_linear(const MatrixRef& Phi, const VectorRef& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge) {
    const Index M = Phi.cols();
    if (y.size() != Phi.rows()) {
        throw std::invalid_argument("fit_regularized_linear: len(y) != rows of Phi");
    }
    check_penalty_shape(R1, gamma1, M, "fit_regularized_linear: R1 is not M x M");
    check_penalty_shape(R2, gamma2, M, "fit_regularized_linear: R2 is not M x M");

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

VectorXd ols(const MatrixRef& X, const VectorRef& y) {
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
