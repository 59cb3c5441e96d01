// Power-basis design matrices and smoothness penalties in one and several dimensions.
#pragma once

#include "types.hpp"

namespace zorp {

// Value (order 0), first (order 1) or second (order 2) derivative of val^p.
double col_deriv_scalar(double val, int p, int order);

}  // namespace zorp
