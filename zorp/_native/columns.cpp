#include "columns.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include "parallel.hpp"
#include "stats.hpp"

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
// The columns [j0, j0 + w) of a row-major Y (n >= 1 rows) transposed to the
// rows of T (w x n), with each column's smallest and largest value and whether
// it holds a NaN (its bounds are then meaningless).
void transpose_block(const RowMatrixRef& Y, Index j0, Index w, double* T, double* lo, double* hi,
                     bool* nan) {
    const Index n = Y.rows();
    const Index stride = Y.outerStride();
    Index v = 0;
#if defined(__AVX2__)
    for (; v + 4 <= w; v += 4) {
        __m256d l = _mm256_set1_pd(std::numeric_limits<double>::infinity());
        __m256d h = _mm256_set1_pd(-std::numeric_limits<double>::infinity());
        __m256d un = _mm256_setzero_pd();
        double* t0 = T + v * n;
        Index i = 0;
        for (; i + 4 <= n; i += 4) {
            const double* y = Y.data() + i * stride + j0 + v;
            if (v == 0) {
                // The next block's part of these rows, fetched ahead.
                for (Index r = 0; r < 4; ++r) {
                    const auto* next = reinterpret_cast<const char*>(y + r * stride + kMadBlock);
                    for (int line = 0; line < 4; ++line) {
                        _mm_prefetch(next + 64 * line, _MM_HINT_T0);
                    }
                }
            }
            const __m256d a = _mm256_loadu_pd(y);
            const __m256d b = _mm256_loadu_pd(y + stride);
            const __m256d c = _mm256_loadu_pd(y + 2 * stride);
            const __m256d d = _mm256_loadu_pd(y + 3 * stride);
            l = _mm256_min_pd(_mm256_min_pd(l, a), _mm256_min_pd(b, _mm256_min_pd(c, d)));
            h = _mm256_max_pd(_mm256_max_pd(h, a), _mm256_max_pd(b, _mm256_max_pd(c, d)));
            un = _mm256_or_pd(un, _mm256_or_pd(_mm256_cmp_pd(a, b, _CMP_UNORD_Q),
                                               _mm256_cmp_pd(c, d, _CMP_UNORD_Q)));
            const __m256d ab0 = _mm256_unpacklo_pd(a, b);
            const __m256d ab1 = _mm256_unpackhi_pd(a, b);
            const __m256d cd0 = _mm256_unpacklo_pd(c, d);
            const __m256d cd1 = _mm256_unpackhi_pd(c, d);
            _mm256_storeu_pd(t0 + i, _mm256_permute2f128_pd(ab0, cd0, 0x20));
            _mm256_storeu_pd(t0 + n + i, _mm256_permute2f128_pd(ab1, cd1, 0x20));
            _mm256_storeu_pd(t0 + 2 * n + i, _mm256_permute2f128_pd(ab0, cd0, 0x31));
            _mm256_storeu_pd(t0 + 3 * n + i, _mm256_permute2f128_pd(ab1, cd1, 0x31));
        }
        for (; i < n; ++i) {
            const double* y = Y.data() + i * stride + j0 + v;
            const __m256d a = _mm256_loadu_pd(y);
            l = _mm256_min_pd(l, a);
            h = _mm256_max_pd(h, a);
            un = _mm256_or_pd(un, _mm256_cmp_pd(a, a, _CMP_UNORD_Q));
            for (Index q = 0; q < 4; ++q) {
                t0[q * n + i] = y[q];
            }
        }
        _mm256_storeu_pd(lo + v, l);
        _mm256_storeu_pd(hi + v, h);
        const int flags = _mm256_movemask_pd(un);
        for (int q = 0; q < 4; ++q) {
            nan[v + q] = ((flags >> q) & 1) != 0;
        }
    }
#endif
    for (; v < w; ++v) {
        double* t = T + v * n;
        for (Index i = 0; i < n; ++i) {
            t[i] = Y(i, j0 + v);
        }
        nan[v] = !value_bounds(t, n, lo[v], hi[v]);
    }
}

bool mads_pay(Index n, Index t) { return n * t >= Index{1} << 16; }

// Columns per task of the MADs: kMadBlock, fewer for long columns, so that a
// task stays short (a few tens of milliseconds) and cancellation prompt.
Index mad_block(Index n) {
    return std::clamp<Index>((Index{1} << 21) / std::max<Index>(n, 1) / 4 * 4, 4, kMadBlock);
}

// Rows of the design per step of a Gram part, and the bounds on the number of
// parts: at least kGramMinRows rows each, at most kGramParts of them, and not
// more than kGramPartValues values of partial sums in all.
constexpr Index kGramStep = 4096;
constexpr Index kGramMinRows = 2048;
constexpr Index kGramParts = 64;
constexpr Index kGramPartValues = Index{1} << 22;

// Adds the lower triangle of rows' W rows to G, for the rows from r0 of the
// design (w empty for unit weights).
template <class Rows>
void add_gram_step(const Rows& rows, const VectorRef& w, Index r0, MatrixXd& G) {
    if (w.size() > 0) {
        const MatrixXd wrows = w.segment(r0, rows.rows()).asDiagonal() * rows;
        G.triangularView<Eigen::Lower>() += rows.transpose() * wrows;
    } else {
        G.selfadjointView<Eigen::Lower>().rankUpdate(rows.transpose());
    }
}

template <class PhiRef>
MatrixXd gram_of(const PhiRef& Phi, const VectorRef& w, const CancelCheck& cancel) {
    const Index n = Phi.rows();
    const Index k = Phi.cols();
    if (w.size() > 0 && w.size() != n) {
        throw std::invalid_argument("gram: the weights must have one value per row of Phi");
    }
    MatrixXd G = MatrixXd::Zero(k, k);
    if (n == 0 || k == 0) {
        return G;
    }
    // The partition depends on n and k alone, never on the thread count.
    const Index parts = std::max<Index>(1, std::min({(n + kGramMinRows - 1) / kGramMinRows,
                                                     kGramParts, kGramPartValues / (k * k)}));
    const Index rows_per_part = (n + parts - 1) / parts;
    std::vector<MatrixXd> part(static_cast<size_t>(parts));
    for_each_block(
        parts, n * k * k >= kParallelWork,
        [&](Index p, TeamControl& control) {
            MatrixXd& Gp = part[static_cast<size_t>(p)];
            Gp = MatrixXd::Zero(k, k);
            const Index end = std::min(n, (p + 1) * rows_per_part);
            for (Index r0 = p * rows_per_part; r0 < end; r0 += kGramStep) {
                if (!control.keep_going(kGramStep * k * k)) {
                    return;
                }
                add_gram_step(Phi.middleRows(r0, std::min(kGramStep, end - r0)), w, r0, Gp);
            }
        },
        cancel);
    for (const MatrixXd& Gp : part) {
        G.triangularView<Eigen::Lower>() += Gp;
    }
    G.triangularView<Eigen::StrictlyUpper>() = G.transpose();
    return G;
}

// Columns of Y per task of the cross products.
constexpr Index kCrossBlock = 128;

// Rows summed into one partial sum before it joins the total: the rounding of
// long sums grows with the partial sums' length, not with n.
constexpr Index kCrossRows = 512;

// Fills the columns [j0, j0 + m) of `out` from the k x n matrix PwT = Phi' W
// and the rows of Y, by dense products.
template <class YRef>
void cross_block_dense(const MatrixXd& PwT, const YRef& Y, const VectorRef& w, Index j0, Index m,
                       ColumnCross& out) {
    const auto block = Y.middleCols(j0, m);
    out.cross.middleCols(j0, m).noalias() = PwT * block;
    if (w.size() > 0) {
        out.yy.segment(j0, m).noalias() = (w.transpose() * block.cwiseAbs2()).transpose();
    } else {
        out.yy.segment(j0, m) = block.cwiseAbs2().colwise().sum().transpose();
    }
}

#if defined(__AVX2__) && defined(__FMA__)
// Cross products of the L design columns from l0 with the 8 target columns
// from j of a row-major Y, and with YY also those columns' weighted sums of
// squares: 2L (+2) accumulators in registers over blocks of rows.
template <int L, bool YY>
void cross_tile(const MatrixXd& PwT, Index l0, const RowMatrixRef& Y, const double* w, Index j,
                ColumnCross& out) {
    const Index n = Y.rows();
    const Index k = PwT.rows();
    const Index stride = Y.outerStride();
    alignas(32) double part[L + 1][8] = {};
    for (Index a = 0; a < n; a += kCrossRows) {
        const Index b = std::min(n, a + kCrossRows);
        __m256d acc[L][2];
        for (int l = 0; l < L; ++l) {
            acc[l][0] = acc[l][1] = _mm256_setzero_pd();
        }
        __m256d s0 = _mm256_setzero_pd();
        __m256d s1 = _mm256_setzero_pd();
        for (Index i = a; i < b; ++i) {
            const double* y = Y.data() + i * stride + j;
            const __m256d y0 = _mm256_loadu_pd(y);
            const __m256d y1 = _mm256_loadu_pd(y + 4);
            const double* p = PwT.data() + i * k + l0;
            for (int l = 0; l < L; ++l) {
                const __m256d pl = _mm256_broadcast_sd(p + l);
                acc[l][0] = _mm256_fmadd_pd(pl, y0, acc[l][0]);
                acc[l][1] = _mm256_fmadd_pd(pl, y1, acc[l][1]);
            }
            if (YY) {
                if (w != nullptr) {
                    const __m256d wi = _mm256_broadcast_sd(w + i);
                    s0 = _mm256_fmadd_pd(_mm256_mul_pd(wi, y0), y0, s0);
                    s1 = _mm256_fmadd_pd(_mm256_mul_pd(wi, y1), y1, s1);
                } else {
                    s0 = _mm256_fmadd_pd(y0, y0, s0);
                    s1 = _mm256_fmadd_pd(y1, y1, s1);
                }
            }
        }
        for (int l = 0; l < L; ++l) {
            _mm256_store_pd(part[l], _mm256_add_pd(_mm256_load_pd(part[l]), acc[l][0]));
            _mm256_store_pd(part[l] + 4, _mm256_add_pd(_mm256_load_pd(part[l] + 4), acc[l][1]));
        }
        if (YY) {
            _mm256_store_pd(part[L], _mm256_add_pd(_mm256_load_pd(part[L]), s0));
            _mm256_store_pd(part[L] + 4, _mm256_add_pd(_mm256_load_pd(part[L] + 4), s1));
        }
    }
    for (int q = 0; q < 8; ++q) {
        for (int l = 0; l < L; ++l) {
            out.cross(l0 + l, j + q) = part[l][q];
        }
        if (YY) {
            out.yy[j + q] = part[L][q];
        }
    }
}

// The columns [j0, j0 + m) of a row-major Y in tiles of 8 columns and up to 4
// design columns; the columns past the last whole tile by dense products.
void cross_block(const MatrixXd& PwT, const RowMatrixRef& Y, const VectorRef& w, Index j0, Index m,
                 ColumnCross& out) {
    const Index k = PwT.rows();
    const double* wp = w.size() > 0 ? w.data() : nullptr;
    const Index whole = m / 8 * 8;
    for (Index j = j0; j < j0 + whole; j += 8) {
        for (Index l0 = 0; l0 < k; l0 += 4) {
            const Index L = std::min<Index>(4, k - l0);
            const bool first = l0 == 0;
            if (L == 4) {
                first ? cross_tile<4, true>(PwT, l0, Y, wp, j, out)
                      : cross_tile<4, false>(PwT, l0, Y, wp, j, out);
            } else if (L == 3) {
                first ? cross_tile<3, true>(PwT, l0, Y, wp, j, out)
                      : cross_tile<3, false>(PwT, l0, Y, wp, j, out);
            } else if (L == 2) {
                first ? cross_tile<2, true>(PwT, l0, Y, wp, j, out)
                      : cross_tile<2, false>(PwT, l0, Y, wp, j, out);
            } else {
                first ? cross_tile<1, true>(PwT, l0, Y, wp, j, out)
                      : cross_tile<1, false>(PwT, l0, Y, wp, j, out);
            }
        }
        if (k == 0) {
            cross_block_dense(PwT, Y, w, j, 8, out);
        }
    }
    if (whole < m) {
        cross_block_dense(PwT, Y, w, j0 + whole, m - whole, out);
    }
}
#else
void cross_block(const MatrixXd& PwT, const RowMatrixRef& Y, const VectorRef& w, Index j0, Index m,
                 ColumnCross& out) {
    cross_block_dense(PwT, Y, w, j0, m, out);
}
#endif

void cross_block(const MatrixXd& PwT, const MatrixRef& Y, const VectorRef& w, Index j0, Index m,
                 ColumnCross& out) {
    cross_block_dense(PwT, Y, w, j0, m, out);
}

template <class YRef>
ColumnCross cross_of(const MatrixRef& Phi, const YRef& Y, const VectorRef& w,
                     const CancelCheck& cancel) {
    const Index n = Y.rows();
    const Index t = Y.cols();
    const bool weighted = w.size() > 0;
    if (Phi.rows() != n || (weighted && w.size() != n)) {
        throw std::invalid_argument(
            "column_cross: Phi must be n x k, Y n x t and the weights of length n");
    }
    // Phi' W as one k x n matrix: column i holds row i's weighted terms.
    const MatrixXd PwT = weighted ? MatrixXd((Phi.array().colwise() * w.array()).transpose())
                                  : MatrixXd(Phi.transpose());
    ColumnCross out{MatrixXd(Phi.cols(), t), VectorXd(t)};
    const Index n_blocks = (t + kCrossBlock - 1) / kCrossBlock;
    for_each_block(
        n_blocks, n * t * (Phi.cols() + 1) >= Index{1} << 22,
        [&](Index b) {
            const Index j0 = b * kCrossBlock;
            cross_block(PwT, Y, w, j0, std::min(kCrossBlock, t - j0), out);
        },
        cancel);
    return out;
}

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
        // The next row's columns, a whole stride away, are fetched while this
        // row's are counted: the processor's prefetchers do not follow rows.
        if (i + 1 < n) {
            for (Index g = 0; g < w; g += 8) {
                _mm_prefetch(reinterpret_cast<const char*>(y + Y.outerStride() + g), _MM_HINT_T0);
            }
        }
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

VectorXd score_tolerances(const VectorRef& m) { return m.unaryExpr(&score_tolerance); }

MatrixXd product(const MatrixRef& A, const MatrixRef& B) {
    if (A.cols() != B.rows()) {
        throw std::invalid_argument("product: A must have as many columns as B has rows");
    }
    return A * B;
}

ColumnCross column_cross(const MatrixRef& Phi, const RowMatrixRef& Y, const VectorRef& w,
                         const CancelCheck& cancel) {
    return cross_of(Phi, Y, w, cancel);
}

ColumnCross column_cross(const MatrixRef& Phi, const MatrixRef& Y, const VectorRef& w,
                         const CancelCheck& cancel) {
    return cross_of(Phi, Y, w, cancel);
}

MatrixXd gram(const MatrixRef& Phi, const VectorRef& w, const CancelCheck& cancel) {
    return gram_of(Phi, w, cancel);
}

MatrixXd gram(const RowMatrixRef& Phi, const VectorRef& w, const CancelCheck& cancel) {
    return gram_of(Phi, w, cancel);
}

VectorXd column_mads(const RowMatrixRef& Y, const CancelCheck& cancel) {
    const Index n = Y.rows();
    const Index t = Y.cols();
    if (n == 0) {
        return VectorXd::Zero(t);
    }
    VectorXd out(t);
    const Index per_block = mad_block(n);
    const Index n_blocks = (t + per_block - 1) / per_block;
    for_each_block(
        n_blocks, mads_pay(n, t),
        [&](Index blk) {
            const Index j0 = blk * per_block;
            const Index w = std::min(per_block, t - j0);
            std::vector<double> T(static_cast<size_t>(w * n));
            std::array<double, kMadBlock> lo{};
            std::array<double, kMadBlock> hi{};
            std::array<bool, kMadBlock> nan{};
            transpose_block(Y, j0, w, T.data(), lo.data(), hi.data(), nan.data());
            MadScratch scratch(n);
            for (Index v = 0; v < w; ++v) {
                const auto q = static_cast<size_t>(v);
                out[j0 + v] = nan[q] ? std::numeric_limits<double>::quiet_NaN()
                                     : mad_within(T.data() + v * n, n, lo[q], hi[q], scratch);
            }
        },
        cancel);
    return out;
}

VectorXd column_mads(const MatrixRef& Y, const CancelCheck& cancel) {
    const Index n = Y.rows();
    const Index t = Y.cols();
    VectorXd out(t);
    const Index per_block = mad_block(n);
    const Index n_blocks = (t + per_block - 1) / per_block;
    for_each_block(
        n_blocks, mads_pay(n, t),
        [&](Index blk) {
            MadScratch scratch(n);
            for (Index j = blk * per_block; j < std::min(t, (blk + 1) * per_block); ++j) {
                out[j] = mad_of(Y.data() + j * Y.outerStride(), n, scratch);
            }
        },
        cancel);
    return out;
}

IndexVector column_hit_counts(const MatrixRef& Phi, const RowMatrixRef& Y, const RowMatrixRef& coef,
                              const VectorRef& eps, const CancelCheck& cancel) {
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
    for_each_block(
        n_blocks, parallel_pays(Y.rows(), t, k),
        [&](Index b) {
            const Index j0 = b * kColumnBlock;
            hits_row_block(P, k, Y, coef, eps, j0, std::min(kColumnBlock, t - j0),
                           hits.data() + j0);
        },
        cancel);
    return hits;
}

IndexVector column_hit_counts(const MatrixRef& Phi, const MatrixRef& Y, const RowMatrixRef& coef,
                              const VectorRef& eps, const CancelCheck& cancel) {
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
                   },
                   cancel);
    return hits;
}

}  // namespace zorp
