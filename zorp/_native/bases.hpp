// Power-basis design matrices and smoothness penalties in one and several dimensions.
#pragma once

#include "types.hpp"

namespace zorp {

// Value (order 0), first (order 1) or second (order 2) derivative of val^p.
double col_deriv_scalar(double val, int p, int order);

}  // namespace zorp

// Multi-dimensional bases.
#include <utility>

namespace zorp {

// Appends to out every exponent combination 0 <= e_d <= degrees[d] for the
// dimensions dim, dim + 1, ..., with the entries before dim taken from current.
// Lexicographic order, last dimension fastest; a negative degree appends nothing.
// current must hold at least degrees.size() entries.
void generate_multi_indices(const std::vector<int>& degrees, size_t dim, std::vector<int>& current,
                            std::vector<MultiIndex>& out);

// n x M matrix whose column j is the monomial of multi_indices[j] evaluated at the
// n points given coordinate by coordinate in X_cols. Exponents <= 0 contribute no
// factor; entries of a multi-index beyond X_cols.size() are ignored.
MatrixXd design_matrix_nd(const std::vector<MultiIndex>& multi_indices,
                          const std::vector<VectorXd>& X_cols);

// Gradient and Hessian roughness penalties of the full tensor-product basis of the
// given degrees, summed with equal weight over an n_grid_per_dim^D grid on the box.
PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim);

}  // namespace zorp
