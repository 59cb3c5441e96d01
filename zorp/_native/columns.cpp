#include "columns.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "parallel.hpp"

namespace zorp {

namespace {

// Columns of a row-major Y per task: their k x W block of coefficients and the
// W residuals of one row stay in the first-level cache.
constexpr Index kColumnBlock = 256;
// Below this many multiply-adds the work stays on the calling thread.
constexpr Index kParallelWork = Index{1} << 22;

void check_shapes(const MatrixRef& Phi, Index n, Index t, const RowMatrixRef& coef,
                  const VectorRef& eps) {
    if (Phi.rows() != n || coef.rows() != t || coef.cols() != Phi.cols() || eps.size() != t) {
        throw std::invalid_argument(
            "column_hit_counts: Phi must be n x k, Y n x t, coef t x k and eps of length t");
    }
}

// Columns of a row-major Y transposed together for their MADs.
constexpr Index kMadBlock = 32;
// Buckets of one level of the selection, and the count below which the few
// values left are selected directly.
constexpr int kBuckets = 256;
constexpr Index kDirectSelect = 48;
constexpr int kMaxLevels = 4;

// Smallest and largest of v[0, n) (n >= 1); false when a value is NaN.
bool bounds(const double* v, Index n, double& lo, double& hi) {
    Index i = 0;
    lo = hi = v[0];
    bool nan = false;
#if defined(__AVX2__)
    __m256d l0 = _mm256_set1_pd(v[0]);
    __m256d l1 = l0;
    __m256d h0 = l0;
    __m256d h1 = l0;
    __m256d un = _mm256_setzero_pd();
    for (; i + 8 <= n; i += 8) {
        const __m256d x0 = _mm256_loadu_pd(v + i);
        const __m256d x1 = _mm256_loadu_pd(v + i + 4);
        l0 = _mm256_min_pd(l0, x0);
        h0 = _mm256_max_pd(h0, x0);
        l1 = _mm256_min_pd(l1, x1);
        h1 = _mm256_max_pd(h1, x1);
        un = _mm256_or_pd(un, _mm256_cmp_pd(x0, x1, _CMP_UNORD_Q));
    }
    alignas(32) double lows[4];
    alignas(32) double highs[4];
    _mm256_store_pd(lows, _mm256_min_pd(l0, l1));
    _mm256_store_pd(highs, _mm256_max_pd(h0, h1));
    nan = _mm256_movemask_pd(un) != 0;
    for (int q = 0; q < 4; ++q) {
        lo = std::min(lo, lows[q]);
        hi = std::max(hi, highs[q]);
    }
#endif
    for (; i < n; ++i) {
        nan |= std::isnan(v[i]);
        lo = std::min(lo, v[i]);
        hi = std::max(hi, v[i]);
    }
    return !nan && !std::isnan(lo) && !std::isnan(hi);
}

// The order statistics of ranks r0 and r1 (r0 <= r1 <= r0 + 1) of v[0, n), all
// within [lo, hi] and none NaN, into a and b; reorders v. Each level spreads
// the values over equal-width buckets of their range, one counting pass finds
// the buckets holding the two ranks and a second pass keeps only their values;
// std::nth_element finishes on the few left. Widths are a product and a
// truncation of differences, monotone in the value, so a bucket never holds a
// value smaller than one of a lower bucket: the kept values are exactly the
// candidates of the two ranks.
void order_pair(double* v, Index n, Index r0, Index r1, double lo, double hi,
                std::vector<std::uint16_t>& bucket, double& a, double& b) {
    for (int level = 0; level < kMaxLevels && n > kDirectSelect; ++level) {
        if (level > 0) {
            bounds(v, n, lo, hi);
        }
        if (!(hi > lo)) {
            a = b = lo;  // every value left is the same
            return;
        }
        const double scale = kBuckets / (hi - lo);
        if (!(scale > 0.0) || !std::isfinite(scale)) {
            break;  // a range that overflows or underflows: select directly
        }
        std::uint16_t* idx = bucket.data();
        for (Index i = 0; i < n; ++i) {
            const int q = static_cast<int>((v[i] - lo) * scale);
            idx[i] = static_cast<std::uint16_t>(std::min(q, kBuckets - 1));
        }
        // Four interleaved counts keep runs of equal buckets from serialising.
        std::uint32_t count[4][kBuckets] = {};
        Index i = 0;
        for (; i + 4 <= n; i += 4) {
            ++count[0][idx[i]];
            ++count[1][idx[i + 1]];
            ++count[2][idx[i + 2]];
            ++count[3][idx[i + 3]];
        }
        for (; i < n; ++i) {
            ++count[0][idx[i]];
        }
        const auto total = [&count](int q) {
            return static_cast<Index>(count[0][q] + count[1][q] + count[2][q] + count[3][q]);
        };
        Index below = 0;
        int q0 = 0;
        for (; below + total(q0) <= r0; ++q0) {
            below += total(q0);
        }
        Index below1 = below;
        int q1 = q0;
        for (; below1 + total(q1) <= r1; ++q1) {
            below1 += total(q1);
        }
        // Keep the values of buckets q0 .. q1 at the front, in place.
        Index m = 0;
        for (Index j = 0; j < n; ++j) {
            const double x = v[j];
            v[m] = x;
            m += static_cast<Index>(idx[j] >= q0 && idx[j] <= q1);
        }
        n = m;
        r0 -= below;
        r1 -= below;
    }
    double* at = v + r0;
    std::nth_element(v, at, v + n);
    a = *at;
    b = r1 == r0 ? a : *std::min_element(at + 1, v + n);
}

double median_of(double* v, Index n, double lo, double hi, std::vector<std::uint16_t>& bucket) {
    const Index h = n / 2;
    double a = 0.0;
    double b = 0.0;
    order_pair(v, n, n % 2 == 1 ? h : h - 1, h, lo, hi, bucket, a, b);
    return n % 2 == 1 ? b : 0.5 * (a + b);
}

// mad() of x[0, n), with `work` and `bucket` of length n as scratch.
double mad_of(const double* x, Index n, std::vector<double>& work,
              std::vector<std::uint16_t>& bucket) {
    if (n == 0) {
        return 0.0;
    }
    double lo = 0.0;
    double hi = 0.0;
    if (!bounds(x, n, lo, hi)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    double* v = work.data();
    std::copy(x, x + n, v);
    const double m = median_of(v, n, lo, hi, bucket);
    for (Index i = 0; i < n; ++i) {
        v[i] = std::abs(x[i] - m);
    }
    // Rounded differences are monotone, so no distance exceeds the larger of
    // the two to the extremes. A median at an infinite extreme makes a
    // distance inf - inf, NaN as in mad().
    const double above = hi - m;
    const double below = m - lo;
    if (std::isnan(above) || std::isnan(below)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return median_of(v, n, 0.0, std::max(above, below), bucket);
}

bool mads_pay(Index n, Index t) { return n * t >= Index{1} << 16; }

bool parallel_pays(Index n, Index t, Index k) { return n * t * (k + 1) >= kParallelWork; }

// Hits of the columns [j0, j0 + w) of a row-major Y, row by row; P is Phi
// row-major (n x k). With AVX2 the residuals of 16 columns stay in four
// registers over the k terms; the columns past the last whole group (and
// every column without AVX2) take the plain loop.
void hits_row_block(const std::vector<double>& P, Index k, const RowMatrixRef& Y,
                    const RowMatrixRef& coef, const VectorRef& eps, Index j0, Index w, Index* out) {
    const Index n = Y.rows();
    std::vector<double> C(static_cast<size_t>(k * w));  // C[l * w + v] = coef(j0 + v, l)
    for (Index v = 0; v < w; ++v) {
        for (Index l = 0; l < k; ++l) {
            C[static_cast<size_t>(l * w + v)] = coef(j0 + v, l);
        }
    }
    const double* e = eps.data() + j0;
    std::vector<std::int64_t> count(static_cast<size_t>(w), 0);
    Index whole = 0;
#if defined(__AVX2__) && defined(__FMA__)
    whole = w / 16 * 16;
    const __m256d sign = _mm256_set1_pd(-0.0);
    for (Index i = 0; i < n; ++i) {
        const double* y = Y.data() + i * Y.outerStride() + j0;
        const double* p = P.data() + i * k;
        for (Index g = 0; g < whole; g += 16) {
            __m256d r0 = _mm256_loadu_pd(y + g);
            __m256d r1 = _mm256_loadu_pd(y + g + 4);
            __m256d r2 = _mm256_loadu_pd(y + g + 8);
            __m256d r3 = _mm256_loadu_pd(y + g + 12);
            const double* c = C.data() + g;
            for (Index l = 0; l < k; ++l, c += w) {
                const __m256d pl = _mm256_broadcast_sd(p + l);
                r0 = _mm256_fnmadd_pd(pl, _mm256_loadu_pd(c), r0);
                r1 = _mm256_fnmadd_pd(pl, _mm256_loadu_pd(c + 4), r1);
                r2 = _mm256_fnmadd_pd(pl, _mm256_loadu_pd(c + 8), r2);
                r3 = _mm256_fnmadd_pd(pl, _mm256_loadu_pd(c + 12), r3);
            }
            // A hit is an all-ones lane, -1 as an integer: subtracting counts it.
            auto* cnt = reinterpret_cast<__m256i*>(count.data() + g);
            const __m256d rs[4] = {r0, r1, r2, r3};
            for (int q = 0; q < 4; ++q) {
                const __m256d hit = _mm256_cmp_pd(_mm256_andnot_pd(sign, rs[q]),
                                                  _mm256_loadu_pd(e + g + 4 * q), _CMP_LT_OQ);
                _mm256_storeu_si256(cnt + q, _mm256_sub_epi64(_mm256_loadu_si256(cnt + q),
                                                              _mm256_castpd_si256(hit)));
            }
        }
    }
#endif
    if (whole < w) {
        const Index m = w - whole;
        std::vector<double> r(static_cast<size_t>(m));
        for (Index i = 0; i < n; ++i) {
            const double* y = Y.data() + i * Y.outerStride() + j0 + whole;
            for (Index v = 0; v < m; ++v) {
                r[static_cast<size_t>(v)] = y[v];
            }
            for (Index l = 0; l < k; ++l) {
                const double pl = P[static_cast<size_t>(i * k + l)];
                const double* c = C.data() + l * w + whole;
                for (Index v = 0; v < m; ++v) {
                    r[static_cast<size_t>(v)] -= pl * c[v];
                }
            }
            for (Index v = 0; v < m; ++v) {
                count[static_cast<size_t>(whole + v)] +=
                    std::abs(r[static_cast<size_t>(v)]) < e[whole + v];
            }
        }
    }
    std::copy(count.begin(), count.end(), out);
}

// Hits of column j of a column-major Y, over blocks of rows.
Index hits_column(const MatrixRef& Phi, const MatrixRef& Y, const RowMatrixRef& coef, double eps,
                  Index j, std::vector<double>& r) {
    const Index n = Y.rows();
    const Index k = Phi.cols();
    const Index block = static_cast<Index>(r.size());
    Index count = 0;
    for (Index a = 0; a < n; a += block) {
        const Index m = std::min(block, n - a);
        const double* y = Y.data() + j * Y.outerStride() + a;
        for (Index i = 0; i < m; ++i) {
            r[static_cast<size_t>(i)] = y[i];
        }
        for (Index l = 0; l < k; ++l) {
            const double c = coef(j, l);
            const double* p = Phi.data() + l * Phi.outerStride() + a;
            for (Index i = 0; i < m; ++i) {
                r[static_cast<size_t>(i)] -= c * p[i];
            }
        }
        for (Index i = 0; i < m; ++i) {
            count += std::abs(r[static_cast<size_t>(i)]) < eps;
        }
    }
    return count;
}

}  // namespace

VectorXd column_mads(const RowMatrixRef& Y) {
    const Index n = Y.rows();
    const Index t = Y.cols();
    VectorXd out(t);
    const Index n_blocks = (t + kMadBlock - 1) / kMadBlock;
    for_each_block(n_blocks, mads_pay(n, t), [&](Index blk) {
        const Index j0 = blk * kMadBlock;
        const Index w = std::min(kMadBlock, t - j0);
        // The block's columns, transposed to contiguous rows of T.
        std::vector<double> T(static_cast<size_t>(w * n));
        for (Index i = 0; i < n; ++i) {
            const double* y = Y.data() + i * Y.outerStride() + j0;
            for (Index v = 0; v < w; ++v) {
                T[static_cast<size_t>(v * n + i)] = y[v];
            }
        }
        std::vector<double> work(static_cast<size_t>(n));
        std::vector<std::uint16_t> bucket(static_cast<size_t>(n));
        for (Index v = 0; v < w; ++v) {
            out[j0 + v] = mad_of(T.data() + v * n, n, work, bucket);
        }
    });
    return out;
}

VectorXd column_mads(const MatrixRef& Y) {
    const Index n = Y.rows();
    const Index t = Y.cols();
    VectorXd out(t);
    const Index n_blocks = (t + kMadBlock - 1) / kMadBlock;
    for_each_block(n_blocks, mads_pay(n, t), [&](Index blk) {
        std::vector<double> work(static_cast<size_t>(n));
        std::vector<std::uint16_t> bucket(static_cast<size_t>(n));
        for (Index j = blk * kMadBlock; j < std::min(t, (blk + 1) * kMadBlock); ++j) {
            out[j] = mad_of(Y.data() + j * Y.outerStride(), n, work, bucket);
        }
    });
    return out;
}

IndexVector column_hit_counts(const MatrixRef& Phi, const RowMatrixRef& Y, const RowMatrixRef& coef,
                              const VectorRef& eps) {
    const Index t = Y.cols();
    check_shapes(Phi, Y.rows(), t, coef, eps);
    IndexVector hits = IndexVector::Zero(t);
    const Index n_blocks = (t + kColumnBlock - 1) / kColumnBlock;
    const Index k = Phi.cols();
    std::vector<double> P(static_cast<size_t>(Y.rows() * k));
    for (Index i = 0; i < Y.rows(); ++i) {
        for (Index l = 0; l < k; ++l) {
            P[static_cast<size_t>(i * k + l)] = Phi(i, l);
        }
    }
    for_each_block(n_blocks, parallel_pays(Y.rows(), t, k), [&](Index b) {
        const Index j0 = b * kColumnBlock;
        hits_row_block(P, k, Y, coef, eps, j0, std::min(kColumnBlock, t - j0), hits.data() + j0);
    });
    return hits;
}

IndexVector column_hit_counts(const MatrixRef& Phi, const MatrixRef& Y, const RowMatrixRef& coef,
                              const VectorRef& eps) {
    const Index t = Y.cols();
    check_shapes(Phi, Y.rows(), t, coef, eps);
    IndexVector hits = IndexVector::Zero(t);
    const Index per_block = 16;
    for_each_block((t + per_block - 1) / per_block, parallel_pays(Y.rows(), t, Phi.cols()),
                   [&](Index b) {
                       std::vector<double> r(static_cast<size_t>(std::min<Index>(Y.rows(), 512)));
                       for (Index j = b * per_block; j < std::min(t, (b + 1) * per_block); ++j) {
                           hits[j] = hits_column(Phi, Y, coef, eps[j], j, r);
                       }
                   });
    return hits;
}

}  // namespace zorp
