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

namespace {

// Shape checks shared by both score forms; run before any arithmetic.
void check_score_args(const VectorXd& yp, const VectorXd& yt, const VectorXd* beta,
                      const PenaltySpec* pen) {
    if (yp.size() < yt.size()) {
        throw std::invalid_argument("mdl_score: yp is shorter than yt");
    }
    if (pen == nullptr || !pen->active()) {
        return;
    }
    if (beta == nullptr) {
        throw std::invalid_argument("mdl_score: an active penalty needs a coefficient vector");
    }
    const Index m = beta->size();
    const auto square_of_beta = [m](const MatrixXd& R) { return R.rows() == m && R.cols() == m; };
    if ((pen->term1_active() && !square_of_beta(*pen->R1)) ||
        (pen->term2_active() && !square_of_beta(*pen->R2))) {
        throw std::invalid_argument("mdl_score: penalty matrix is not M x M with M = len(beta)");
    }
}

}  // namespace

double quad_form(const VectorXd& b, const MatrixXd& R) {
    if (R.rows() != b.size() || R.cols() != b.size()) {
        throw std::invalid_argument("quad_form: R is not M x M with M = len(b)");
    }
    if (R.rows() == 0) {
        return 0.0;
    }
    const VectorXd Rb = R * b;
    return b.dot(Rb);
}

double mdl_score_cached(const VectorXd& yp, const VectorXd& yt, int k, int H, double eps,
                        const VectorXd* beta, const PenaltySpec* pen) {
    check_score_args(yp, yt, beta, pen);
    const Index n = yt.size();
    const double nd = static_cast<double>(n);
    const double sr = compute_SR(yp, yt, eps);
    const double logHk =
        k > 0 ? static_cast<double>(k) * std::log(2.0 * static_cast<double>(H)) : 0.0;
    double L = (logHk / nd) * static_cast<double>(k) - nd * std::log(sr);
    if (pen != nullptr && pen->active()) {
        if (pen->term1_active()) {
            L += pen->gamma1 * quad_form(*beta, *pen->R1);
        }
        if (pen->term2_active()) {
            L += pen->gamma2 * quad_form(*beta, *pen->R2);
        }
    }
    return L;
}

double score_tolerance(double m) { return m > 0.0 ? 0.4 * m : 0.4; }

double mdl_score(const VectorXd& yp, const VectorXd& yt, int k, int H, const VectorXd* beta,
                 const PenaltySpec* pen) {
    check_score_args(yp, yt, beta, pen);
    return mdl_score_cached(yp, yt, k, H, score_tolerance(mad(yt)), beta, pen);
}

GibbsResult gibbs_entropy(const VectorXd& energies, double T) {
    const Index n = energies.size();
    if (n == 0) {
        throw std::invalid_argument("gibbs_entropy: energies is empty");
    }
    const double emin = energies.minCoeff();
    const double scale = T + 1e-300;
    VectorXd w(n);
    double wsum = 0.0;
    for (Index i = 0; i < n; ++i) {
        w[i] = std::exp(-(energies[i] - emin) / scale);
        wsum += w[i];
    }
    double H = 0.0;
    for (Index i = 0; i < n; ++i) {
        const double p = w[i] / wsum;
        H = std::fma(-std::log(p + 1e-300), p, H);
    }
    const double Hmax = std::log(static_cast<double>(std::max<Index>(n, 2)));
    const double He = H / (Hmax + 1e-300);
    const double meanE = energies.mean();
    double var = 0.0;
    for (Index i = 0; i < n; ++i) {
        const double d = energies[i] - meanE;
        var += d * d;
    }
    return GibbsResult{H, Hmax, He, std::fma(0.99, He, 0.01), var / static_cast<double>(n), T};
}

}  // namespace zorp
