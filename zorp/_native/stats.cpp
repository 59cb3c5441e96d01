#include "stats.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace zorp {

double median_inplace(std::vector<double> v) {
    const size_t n = v.size();
    if (n == 0) {
        return 0.0;
    }
    const size_t mid = n / 2;
    const auto hi = v.begin() + static_cast<std::ptrdiff_t>(mid);
    std::nth_element(v.begin(), hi, v.end());
    if (n % 2 == 1) {
        return *hi;
    }
    // After the selection the positions before `hi` hold the n/2 smallest
    // values, so the lower middle statistic is their maximum.
    const double a = *std::max_element(v.begin(), hi);
    const double b = *hi;
    return 0.5 * (a + b);
}

double mad(const VectorXd& y) {
    const Index n = y.size();
    if (n == 0) {
        return 0.0;
    }
    std::vector<double> buf(y.data(), y.data() + n);
    const double m = median_inplace(buf);
    for (double& v : buf) {
        v = std::abs(v - m);
    }
    return median_inplace(std::move(buf));
}

double compute_SR(const VectorXd& yp, const VectorXd& yt, double eps) {
    const Index n = yt.size();
    if (yp.size() < n) {
        throw std::invalid_argument("compute_SR: yp is shorter than yt");
    }
    Index hit = 0;
    for (Index i = 0; i < n; ++i) {
        if (std::abs(yp[i] - yt[i]) < eps) {
            ++hit;
        }
    }
    const double sr = static_cast<double>(hit) / static_cast<double>(n);
    return std::max(sr, 1.0 / (2.0 * static_cast<double>(n)));
}

}  // namespace zorp
