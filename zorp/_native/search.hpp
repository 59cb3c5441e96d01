// Choice of the smoothness weight of penalized fits from their reduced problem.
#pragma once

#include "types.hpp"

namespace zorp {

// Floor of the reduced eigenvalues: directions that neither the data nor the
// penalty determine get this much shrinkage instead of a division by zero.
inline constexpr double kMinEigenvalue = 1e-14;
// Newton steps of the refinement at most, and its tolerance in log10 of the weight.
inline constexpr int kRefineSteps = 40;
inline constexpr double kRefineTol = 1e-9;

// The reduction of a basis's normal matrix `fixed` + lam S to diagonal form:
// with fixed + alpha S = L L' and L^-1 fixed L^-T = U diag(mu) U', the fit at
// lam has the coefficients T (b / d) for b = T' (Phi' W y), T = L^-T U and the
// eigenvalues d = mu + (lam / alpha) (1 - mu). alpha = tr(fixed) / tr(S) (1
// when tr(S) = 0) keeps the two parts on one scale.
struct PathReduction {
    VectorXd mu;  // in [0, 1], ascending
    MatrixXd T;   // k x k
    double alpha = 1.0;
    double logdet_base = 0.0;  // log det(fixed + alpha S)
    double logdet_s = 0.0;     // log det of S on the terms it penalises
    Index m0 = 0;              // terms S leaves free: its rows of exact zeros
};

// Throws std::invalid_argument unless fixed and S are k x k, and
// std::domain_error when a matrix that should be positive semi-definite is not
// even after the least diagonal shift (up to 1e-14 of its largest diagonal
// element, times 100 per try).
PathReduction reduce_path(const MatrixRef& fixed, const MatrixRef& S,
                          const CancelCheck& cancel = {});

// The inverse of the Cholesky factor of a symmetric positive definite A
// (A = L L', the lower triangle read) and log det A, by the same blocked
// factorisation as the reduction: single-threaded, so the result does not
// depend on the thread count. Throws std::invalid_argument unless A is
// square, std::domain_error when it is not positive definite.
struct CholeskyInverse {
    MatrixXd Linv;  // lower triangular
    double logdet = 0.0;
};

CholeskyInverse cholesky_inverse(const MatrixRef& A, const CancelCheck& cancel = {});

// The penalized fits of one basis as functions of the weight lam of the chosen
// penalty, reduced to the eigenvalues mu (in [0, 1]) of the data part: at lam
// the reduced normal matrix has the eigenvalues mu + (lam / alpha) (1 - mu),
// floored at kMinEigenvalue. A target column enters through its squared
// projections (one row of k) and its weighted sum of squares yy.
struct ReducedPath {
    VectorXd mu;
    double alpha = 1.0;
    double n = 0.0;       // sum of the row weights
    Index m0 = 0;         // dimension of the penalty's null space
    double logdet = 0.0;  // log det of the base factor less that of the penalty's non-null block
    bool gcv = false;     // generalised cross-validation, else restricted maximum likelihood
};

// Values of the criterion (lower is better) of every column at every weight:
// (m x t) for weights lam (m) and columns b2 (t x k), yy (t). Throws
// std::invalid_argument on mismatched shapes.
MatrixXd criterion_grid(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
                        const VectorRef& lam, const CancelCheck& cancel = {});

// Column j at its own weight lam[j] (t).
VectorXd criterion_paired(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
                          const VectorRef& lam);

struct PairedFits {
    MatrixXd d;    // t x k: the reduced eigenvalues of column j's fit
    VectorXd edf;  // effective degrees of freedom
    VectorXd rss;  // residual sum of squares
};

// The fit of column j at its own weight lam[j], in reduced form.
PairedFits fits_at(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
                   const VectorRef& lam);

struct WeightChoice {
    VectorXd lam;    // chosen weight per column
    VectorXd value;  // criterion per column at its weight
};

// Per column, or with `shared` one weight for all minimising the summed
// criterion: the point of lowest criterion on the grid (log10 of the weight),
// refined by Newton steps on the criterion's slope in ln(lam), kept inside the
// bracket of the grid neighbours (which each slope's sign narrows) by
// bisection; the grid point stays where the refinement ends higher.
WeightChoice choose_weights(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
                            const VectorRef& grid, bool shared, const CancelCheck& cancel = {});

}  // namespace zorp
