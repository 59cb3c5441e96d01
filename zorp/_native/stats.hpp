// Robust statistics, description-length score and Gibbs entropy.
#pragma once

#include "types.hpp"

#include <vector>

namespace zorp {

// Median by selection; reorders its own copy. 0.0 for an empty vector.
double median_inplace(std::vector<double> v);

// Unscaled median absolute deviation about the median. 0.0 for an empty vector.
double mad(const VectorXd& y);

// Fraction of positions i < len(yt) with |yp[i] - yt[i]| < eps, raised to at
// least 1/(2n). Throws std::invalid_argument when yp is shorter than yt.
double compute_SR(const VectorXd& yp, const VectorXd& yt, double eps);

}  // namespace zorp
