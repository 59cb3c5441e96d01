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

}  // namespace zorp
