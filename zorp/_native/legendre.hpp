// Rows of a tensor-product Legendre basis and of its partial derivatives.
#pragma once

#include <vector>

#include "types.hpp"

namespace zorp {

using RowMatrixXd = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using IndexRowMatrix = Eigen::Matrix<Index, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using IndexRowMatrixRef = Eigen::Ref<const IndexRowMatrix>;

// The design rows (n x k) of the terms m = 0 .. k - 1 at the points U (n x D):
// row i, column m holds prod_d P^(r_d)_{mi(m, d)}(U(i, d)), where P_p is the
// Legendre polynomial of degree p with P_p(1) = 1, P^(r) its r-th derivative
// and r_d = derivative[d] (an empty `derivative` means no derivative).
// Per block of rows each axis's values P^(r)_0 .. P^(r)_{max degree} are
// tabulated once by the three-term recurrence, lifted order by order with
//   P^(r)_{p+1} = ((2p + 1) (u P^(r)_p + r P^(r-1)_p) - p P^(r)_{p-1}) / (p + 1),
// which stays regular at u = +-1. Blocks of rows run in parallel; every row
// is computed the same way whatever the number of threads. Points outside
// [-1, 1] extrapolate. Throws std::invalid_argument unless mi has D columns of
// degrees in [0, kMaxLegendreDegree] and `derivative` is empty or D
// nonnegative orders.
//
// The degree is bounded because a thread's tables take 576 bytes per degree
// and axis (twice that with a derivative) whatever the number of rows or
// terms: without a bound a single term of a huge degree would exhaust memory.
inline constexpr Index kMaxLegendreDegree = 65535;
RowMatrixXd legendre_rows(const RowMatrixRef& U, const IndexRowMatrixRef& mi,
                          const std::vector<Index>& derivative, const CancelCheck& cancel = {});

// The Gram matrix (top + 1 square) of the Legendre polynomials P_0 .. P_top
// over weighted points, from the points' moments mu_j = sum_i w_i P_j(x_i),
// j = 0 .. 2 top, by the linearization of products (Adams):
//   P_m P_n = sum_{r <= min(m, n)} a_{m-r} a_r a_{n-r} / a_{m+n-r}
//             (2m + 2n - 4r + 1) / (2m + 2n - 2r + 1) P_{m+n-2r},
// with a_j = (2j - 1)!! / j!. The coefficients are positive and sum to 1 at
// every (m, n), so an entry is as accurate as the moments; the cost is
// O(top^3) whatever the number of points, which then enter only through the
// moments (O(n top)) instead of the O(n top^2) of a direct Gram matrix.
// Throws std::invalid_argument unless mu has at least 2 top + 1 entries.
MatrixXd legendre_gram(const VectorRef& mu, Index top);

// One pass over the points x (n), weights w (n, or empty for 1) and targets Y
// (n x t) for the statistics of P_0 .. P_top_cross: the moments
// mu_j = sum_i w_i P_j(x_i), j = 0 .. top_mu, the cross products
// sum_i w_i Y(i, c) P_j(x_i), j = 0 .. top_cross, and yy_c = sum_i w_i Y(i, c)^2.
// The recurrence runs across blocks of points without storing the rows.
// Blocks of rows are summed on their own and then in a fixed order, so the
// result does not depend on the number of threads. Throws
// std::invalid_argument on mismatched sizes or top_cross > top_mu.
struct LegendreMoments {
    VectorXd mu;
    MatrixXd cross;  // (top_cross + 1) x t
    VectorXd yy;
};

LegendreMoments legendre_moments(const VectorRef& x, const VectorRef& w, const RowMatrixRef& Y,
                                 Index top_mu, Index top_cross, const CancelCheck& cancel = {});

}  // namespace zorp
