#include "bases.hpp"

#include <cmath>

namespace zorp {

double col_deriv_scalar(double val, int p, int order) {
    switch (order) {
        case 0:
            return std::pow(val, static_cast<double>(p));
        case 1:
            return p < 1 ? 0.0 : static_cast<double>(p) * std::pow(val, static_cast<double>(p - 1));
        default:
            // p * (p - 1) is an integer product, converted once.
            return p < 2 ? 0.0
                         : static_cast<double>(p * (p - 1)) * std::pow(val, static_cast<double>(p - 2));
    }
}

}  // namespace zorp
