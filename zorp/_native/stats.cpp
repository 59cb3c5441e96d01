#include "stats.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#endif

namespace zorp {

double median_inplace(std::vector<double> v) {
    const size_t n = v.size();
    if (n == 0) {
        return 0.0;
    }
    // Selection needs a strict weak order, which NaN breaks: its result would
    // depend on where the NaN sits.
    if (std::any_of(v.begin(), v.end(), [](double x) { return std::isnan(x); })) {
        return std::numeric_limits<double>::quiet_NaN();
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

namespace {

// Inputs at least this long take the sampling selection in `mad`.
constexpr Index kSampledSelectionMin = 1 << 14;

// Exact median of value(0) ... value(n - 1) by sampling selection: a sorted
// strided sample brackets the middle order statistics between two pivots, one
// streaming pass counts the values below the bracket and gathers those inside
// it, and std::nth_element finishes on the gathered few. The result equals
// median_inplace of the same values (same order statistics, same final
// arithmetic). Returns false, leaving `out` untouched, when the bracket missed
// or a value compared unordered (NaN); the caller then selects on the full copy.
template <class Value>
bool sampled_median(Index n, const Value& value, double& out) {
    const Index hi_rank = n / 2;
    const Index lo_rank = n % 2 == 1 ? hi_rank : hi_rank - 1;

    const Index s = std::min<Index>(
        n, std::max<Index>(1024, 8 * static_cast<Index>(std::sqrt(static_cast<double>(n)))));
    const Index stride = n / s;
    std::vector<double> sample(static_cast<size_t>(s));
    for (Index i = 0; i < s; ++i) {
        sample[static_cast<size_t>(i)] = value(i * stride);
    }
    // Sorting needs a strict weak order, which NaN breaks.
    if (std::any_of(sample.begin(), sample.end(), [](double v) { return std::isnan(v); })) {
        return false;
    }
    std::sort(sample.begin(), sample.end());
    // Bracket the middle ranks with a margin of about three standard deviations
    // of a sample rank.
    const Index margin = 3 * static_cast<Index>(std::sqrt(static_cast<double>(s))) + 2;
    const Index centre = static_cast<Index>(static_cast<double>(lo_rank) / static_cast<double>(n) *
                                            static_cast<double>(s));
    const double lo = sample[static_cast<size_t>(std::max<Index>(0, centre - margin))];
    const double hi = sample[static_cast<size_t>(std::min<Index>(s - 1, centre + margin + 1))];

    // Room for four times the expected share inside the bracket; more means the
    // sample misrepresented the data.
    const Index cap = std::min<Index>(n, 4 * (2 * margin + 2) * (n / s + 1) + 1024);
    std::vector<double> mid(static_cast<size_t>(cap));
    Index below = 0;
    Index above = 0;
    Index count = 0;
    for (Index i = 0; i < n; ++i) {
        const double v = value(i);
        below += v < lo;
        above += v > hi;
        mid[static_cast<size_t>(count)] = v;
        count += (v >= lo) & (v <= hi);
        if (count == cap) {
            return false;
        }
    }
    if (below + above + count != n || lo_rank < below || hi_rank >= below + count) {
        return false;
    }
    mid.resize(static_cast<size_t>(count));
    const auto hi_it = mid.begin() + static_cast<std::ptrdiff_t>(hi_rank - below);
    std::nth_element(mid.begin(), hi_it, mid.end());
    if (n % 2 == 1) {
        out = *hi_it;
    } else {
        const double a = *std::max_element(mid.begin(), hi_it);
        out = 0.5 * (a + *hi_it);
    }
    return true;
}

}  // namespace

double mad(const VectorRef& y) {
    const Index n = y.size();
    if (n == 0) {
        return 0.0;
    }
    if (y.hasNaN()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (n >= kSampledSelectionMin) {
        // Large inputs: two streaming passes instead of two full selections.
        double m = 0.0;
        double d = 0.0;
        if (sampled_median(
                n, [&y](Index i) { return y[i]; }, m) &&
            sampled_median(
                n, [&y, m](Index i) { return std::abs(y[i] - m); }, d)) {
            return d;
        }
    }
    std::vector<double> buf(y.data(), y.data() + n);
    const double m = median_inplace(buf);
    for (double& v : buf) {
        v = std::abs(v - m);
    }
    return median_inplace(std::move(buf));
}

namespace {

// Positions i < len(yt) with |yp[i] - yt[i]| < eps, for yp at least as long.
Index count_hits(const VectorRef& yp, const VectorRef& yt, double eps) {
    Index hits = 0;
    for (Index i = 0; i < yt.size(); ++i) {
        if (std::abs(yp[i] - yt[i]) < eps) {
            ++hits;
        }
    }
    return hits;
}

}  // namespace

double compute_SR(const VectorRef& yp, const VectorRef& yt, double eps) {
    if (yp.size() < yt.size()) {
        throw std::invalid_argument("compute_SR: yp is shorter than yt");
    }
    return success_rate(count_hits(yp, yt, eps), yt.size());
}

double success_rate(Index hits, Index n) {
    const double sr = static_cast<double>(hits) / static_cast<double>(n);
    return std::max(sr, 1.0 / (2.0 * static_cast<double>(n)));
}

Index linear_hits(const MatrixRef& X, const VectorXd& b, const VectorRef& yt, double eps,
                  VectorXd& yp) {
    const Index n = yt.size();
    const Index k = X.cols();
    if (X.rows() != n || b.size() != k) {
        throw std::invalid_argument("linear_hits: X must be len(yt) x len(b)");
    }
#if defined(__AVX2__) && defined(__FMA__)
    // Eigen's column-major product sums each row as a chain of fused
    // multiply-adds from zero over the columns in order, in one block when
    // there are fewer than 128 columns; a single row goes through a dot product
    // instead. Within those bounds this kernel rounds identically and counts
    // the hits while the sums are still in registers.
    if (n >= 2 && k < 128) {
        const double* x = X.data();
        const Index ld = X.outerStride();
        const double* y = yt.data();
        const __m256d sign = _mm256_set1_pd(-0.0);
        const __m256d tol = _mm256_set1_pd(eps);
        const auto hits_of = [&](__m256d fit, const double* yi) {
            const __m256d d = _mm256_andnot_pd(sign, _mm256_sub_pd(fit, _mm256_loadu_pd(yi)));
            return __builtin_popcount(
                static_cast<unsigned>(_mm256_movemask_pd(_mm256_cmp_pd(d, tol, _CMP_LT_OQ))));
        };
        Index hits = 0;
        Index i = 0;
        for (; i + 32 <= n; i += 32) {
            __m256d c[8];
            for (auto& cr : c) {
                cr = _mm256_setzero_pd();
            }
            for (Index j = 0; j < k; ++j) {
                const double* col = x + j * ld + i;
                const __m256d bj = _mm256_set1_pd(b[j]);
                for (int r = 0; r < 8; ++r) {
                    c[r] = _mm256_fmadd_pd(_mm256_loadu_pd(col + 4 * r), bj, c[r]);
                }
            }
            for (int r = 0; r < 8; ++r) {
                hits += hits_of(c[r], y + i + 4 * r);
            }
        }
        for (; i + 4 <= n; i += 4) {
            __m256d c0 = _mm256_setzero_pd();
            for (Index j = 0; j < k; ++j) {
                c0 = _mm256_fmadd_pd(_mm256_loadu_pd(x + j * ld + i), _mm256_set1_pd(b[j]), c0);
            }
            hits += hits_of(c0, y + i);
        }
        // The remaining rows as Eigen's product takes them: two in a half
        // packet, then the last one in scalar code written as Eigen writes it,
        // so that the compiler contracts it, or not, in the same way.
        if (i + 2 <= n) {
            __m128d c0 = _mm_setzero_pd();
            for (Index j = 0; j < k; ++j) {
                c0 = _mm_fmadd_pd(_mm_loadu_pd(x + j * ld + i), _mm_set1_pd(b[j]), c0);
            }
            const __m128d d = _mm_andnot_pd(_mm_set1_pd(-0.0), _mm_sub_pd(c0, _mm_loadu_pd(y + i)));
            hits += __builtin_popcount(static_cast<unsigned>(
                _mm_movemask_pd(_mm_cmp_pd(d, _mm_set1_pd(eps), _CMP_LT_OQ))));
            i += 2;
        }
        if (i < n) {
            double c = 0.0;
            for (Index j = 0; j < k; ++j) {
                c += x[j * ld + i] * b[j];
            }
            if (std::abs(c - y[i]) < eps) {
                ++hits;
            }
        }
        return hits;
    }
#endif
    yp.noalias() = X * b;
    return count_hits(yp, yt, eps);
}

namespace {

// Shape checks shared by both score forms; run before any arithmetic.
void check_score_args(const VectorRef& yp, const VectorRef& yt, const VectorXd* beta,
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

namespace {

// The score of already validated arguments.
double score_of_checked(const VectorRef& yp, const VectorRef& yt, int k, int H, double eps,
                        const VectorXd* beta, const PenaltySpec* pen) {
    return mdl_score_of_rate(compute_SR(yp, yt, eps), yt.size(), k, H, beta, pen);
}

}  // namespace

double mdl_score_of_rate(double sr, Index n, int k, int H, const VectorXd* beta,
                         const PenaltySpec* pen) {
    const double nd = static_cast<double>(n);
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

double mdl_score_cached(const VectorRef& yp, const VectorRef& yt, int k, int H, double eps,
                        const VectorXd* beta, const PenaltySpec* pen) {
    check_score_args(yp, yt, beta, pen);
    return score_of_checked(yp, yt, k, H, eps, beta, pen);
}

double score_tolerance(double m) { return m > 0.0 ? 0.4 * m : 0.4; }

double mdl_score(const VectorRef& yp, const VectorRef& yt, int k, int H, const VectorXd* beta,
                 const PenaltySpec* pen) {
    check_score_args(yp, yt, beta, pen);
    return score_of_checked(yp, yt, k, H, score_tolerance(mad(yt)), beta, pen);
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
