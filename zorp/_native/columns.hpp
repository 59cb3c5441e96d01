// Score statistics of many target columns fitted on one design.
#pragma once

#include "types.hpp"

namespace zorp {

using IndexVector = Eigen::Matrix<Index, Eigen::Dynamic, 1>;

// Per column j of the targets Y (n x t), the number of rows i with
// |Y(i, j) - Phi.row(i) . coef.row(j)| < eps[j] (a NaN residual is no hit): the
// hit counts of the description-length score of t fits on one design, with
// Phi n x k and coef t x k. The residuals are formed block by block in cache,
// never as a whole n x t array. Throws std::invalid_argument on mismatched shapes.
// Cross products of the design Phi (n x k) with every target column of Y
// (n x t), and the columns' sums of squares, with optional row weights w (n,
// or empty for unit weights): cross = Phi' W Y (k x t), yy = diag(Y' W Y) (t).
// Throws std::invalid_argument on mismatched shapes.
struct ColumnCross {
    MatrixXd cross;
    VectorXd yy;
};
ColumnCross column_cross(const MatrixRef& Phi, const RowMatrixRef& Y, const VectorRef& w,
                         const CancelCheck& cancel = {});
ColumnCross column_cross(const MatrixRef& Phi, const MatrixRef& Y, const VectorRef& w,
                         const CancelCheck& cancel = {});

// The Gram matrix Phi' W Phi (k x k) of the design Phi (n x k) with row
// weights w (n, or empty for unit weights), exactly symmetric. Its sums do not
// depend on the number of threads: the rows are split into a number of
// consecutive parts that depends on n and k only, each part's lower triangle
// is formed by a blocked product, and the parts are added in row order.
// Throws std::invalid_argument on mismatched shapes.
MatrixXd gram(const MatrixRef& Phi, const VectorRef& w, const CancelCheck& cancel = {});
MatrixXd gram(const RowMatrixRef& Phi, const VectorRef& w, const CancelCheck& cancel = {});

// The score's hit tolerance (score_tolerance) for each MAD in m.
VectorXd score_tolerances(const VectorRef& m);

// A * B on the calling thread alone. The products of many target columns are
// formed here rather than by NumPy, whose BLAS threads keep spinning after a
// product and would compete with the threads of the next kernel.
MatrixXd product(const MatrixRef& A, const MatrixRef& B);

// Per column of Y (n x t), the unscaled median absolute deviation about the
// median, equal to mad() of that column (0.0 for n = 0, NaN for a column
// holding a NaN).
VectorXd column_mads(const RowMatrixRef& Y, const CancelCheck& cancel = {});
VectorXd column_mads(const MatrixRef& Y, const CancelCheck& cancel = {});

IndexVector column_hit_counts(const MatrixRef& Phi, const RowMatrixRef& Y, const RowMatrixRef& coef,
                              const VectorRef& eps, const CancelCheck& cancel = {});
IndexVector column_hit_counts(const MatrixRef& Phi, const MatrixRef& Y, const RowMatrixRef& coef,
                              const VectorRef& eps, const CancelCheck& cancel = {});

}  // namespace zorp
