// Power-basis design matrices and smoothness penalties in one and several dimensions.
#pragma once

#include <utility>
#include <vector>

#include "types.hpp"

namespace zorp {

// Value (order 0), first (order 1) or second (order 2) derivative of val^p.
double col_deriv_scalar(double val, int p, int order);

// One-dimensional bases.

// n x (deg + 1) matrix with Phi(i, p) = x_i^p, built column by column by
// repeated multiplication. Throws std::invalid_argument for deg < 0. Polls the
// cancellation check between row blocks.
MatrixXd design_matrix_1d(int deg, const VectorRef& x, const CancelCheck& cancel = {});

// Writes the order-th derivative (order 1 or 2) of x^p, p = 0 .. deg, into the
// first deg + 1 entries of out. Throws std::invalid_argument when out is too
// short or the order is not 1 or 2.
void deriv_row(double x, int deg, int order, Eigen::Ref<VectorXd> out);

// Grid sums of f'^2 and f''^2 over [x_min, x_max] as quadratic forms in the
// power-basis coefficients: n_grid equally spaced points, each of weight dx.
// Throws std::invalid_argument "deg < 0" or "n_grid < 2". Costs about
// n_grid * (deg + 1)^2 multiply-adds; polls the cancellation check between grid
// points.
PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid,
                                                 const CancelCheck& cancel = {});

// Symmetric matrix of the boundary term f'(x_max) f''(x_max) - f'(x_min) f''(x_min).
// deg = -1 gives the 0 x 0 matrix; deg < -1 throws std::invalid_argument.
MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max);

// Multi-dimensional bases.

// Appends to out every exponent combination 0 <= e_d <= degrees[d] for the
// dimensions dim, dim + 1, ..., with the entries before dim taken from current.
// Lexicographic order, last dimension fastest; a negative degree appends nothing.
// current must hold at least degrees.size() entries.
void generate_multi_indices(const std::vector<int>& degrees, size_t dim, std::vector<int>& current,
                            std::vector<MultiIndex>& out);

// n x M matrix whose column j is the monomial of multi_indices[j] evaluated at the
// n points given coordinate by coordinate in X_cols. Exponents <= 0 contribute no
// factor; entries of a multi-index beyond X_cols.size() are ignored. Polls the
// cancellation check between row blocks.
MatrixXd design_matrix_nd(const std::vector<MultiIndex>& multi_indices,
                          const std::vector<VectorXd>& X_cols, const CancelCheck& cancel = {});

// Gradient and Hessian roughness penalties of the full tensor-product basis of the
// given degrees, summed with equal weight over an n_grid_per_dim^D grid on the box.
// Intermediate products are kept in range by exact power-of-two scaling, so any
// number of dimensions gives finite entries wherever the true sums are finite
// (and exact zeros where they are zero). Polls the cancellation check between
// output columns.
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim, const CancelCheck& cancel = {});

}  // namespace zorp
