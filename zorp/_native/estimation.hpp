// Linear estimation: penalized least squares and least squares by SVD.
#pragma once

#include "types.hpp"

namespace zorp {

// Solves (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) beta = Phi'y by a
// pivoted LDLT on the lower triangle, n = rows of Phi. A penalty takes part when
// its matrix is given and its weight is not 0; an inactive matrix is never read.
// Throws std::invalid_argument when y does not have one entry per row of Phi,
// an active penalty matrix is not M x M (M = columns of Phi), or Phi, y, ridge,
// the weight of a given matrix or an active matrix is not finite. The
// cancellation check is polled between blocks of rows of the normal equations.
VectorXd fit_regularized_linear(const MatrixRef& Phi, const VectorRef& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge,
                                const CancelCheck& cancel = {});
// The same for a row-major Phi, read in place.
VectorXd fit_regularized_linear(const RowMatrixRef& Phi, const VectorRef& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge,
                                const CancelCheck& cancel = {});

// Minimum-norm least-squares solution of X beta = y by a thin bidiagonal
// divide-and-conquer SVD with its default rank threshold; a tall, well-conditioned
// X (at least 512 rows and twice as many rows as columns) is first reduced by a QR
// factorisation (Cholesky QR twice, then one step of refinement on the residual)
// to the SVD of its k x k triangular factor. An X without rows or
// columns gives the zero vector of length cols(X). Throws std::invalid_argument
// when y does not have one entry per row of X or X holds a non-finite value.
// The cancellation check is polled between blocks of rows of the QR route; the
// direct SVD runs through without a poll.
VectorXd ols(const MatrixRef& X, const VectorRef& y, const CancelCheck& cancel = {});
// The same for a row-major X, read in place (the direct SVD works on a copy).
VectorXd ols(const RowMatrixRef& X, const VectorRef& y, const CancelCheck& cancel = {});

}  // namespace zorp
