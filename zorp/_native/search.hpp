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
                        const VectorRef& lam);

// Column j at its own weight lam[j] (t).
VectorXd criterion_paired(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
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
                            const VectorRef& grid, bool shared);

}  // namespace zorp
