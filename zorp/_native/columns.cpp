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

#if defined(__AVX2__)
// Permutations (of eight 32-bit halves) that move the doubles of a 4-bit mask
// to the front of a vector, in order.
struct CompressTable {
    alignas(32) std::int32_t idx[16][8];
    constexpr CompressTable() : idx{} {
        for (int m = 0; m < 16; ++m) {
            int p = 0;
            for (int j = 0; j < 4; ++j) {
                if ((m >> j) & 1) {
                    idx[m][2 * p] = 2 * j;
                    idx[m][2 * p + 1] = 2 * j + 1;
                    ++p;
                }
            }
        }
    }
};
constexpr CompressTable kCompress{};

// Writes the lanes of x that `mask` selects to out, contiguously (four doubles
// are stored, so out needs room for three more); returns how many.
inline Index compress_store(__m256d x, int mask, double* out) {
    const __m256i perm = _mm256_load_si256(reinterpret_cast<const __m256i*>(kCompress.idx[mask]));
    _mm256_storeu_pd(out, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(x), perm)));
    return __builtin_popcount(static_cast<unsigned>(mask));
}
#endif

// Values per bucket of one level of the bucket selection.
using BucketCounts = std::array<Index, kBuckets>;

// Bucket of x in a level over [lo, lo + kBuckets / scale], the values outside
// it in the end buckets: a product, a clamp and a truncation of the difference,
// monotone in x, so that a bucket never holds a value smaller than one of a
// lower bucket.
inline int bucket_of(double x, double lo, double scale) {
    return static_cast<int>(std::clamp((x - lo) * scale, 0.0, kBuckets - 1.0));
}

#if defined(__AVX2__)
// bucket_of of four values.
inline __m128i buckets_of(__m256d x, __m256d lo, __m256d scale) {
    const __m256d t =
        _mm256_max_pd(_mm256_mul_pd(_mm256_sub_pd(x, lo), scale), _mm256_setzero_pd());
    return _mm256_cvttpd_epi32(_mm256_min_pd(t, _mm256_set1_pd(kBuckets - 1.0)));
}
#endif

// The smallest bucket q >= q_from whose values, with those of the buckets
// below it, number more than r; `below` (the count below q_from on entry)
// becomes the count below q. From a group boundary, sums of groups of buckets
// skip most of the scan.
int rank_bucket(const BucketCounts& total, int q_from, Index r, Index& below) {
    constexpr int kGroup = 16;
    int q = q_from;
    while (q % kGroup == 0 && q + kGroup < kBuckets) {
        Index group = 0;
        for (int g = 0; g < kGroup; ++g) {
            group += total[static_cast<size_t>(q + g)];
        }
        if (below + group > r) {
            break;
        }
        below += group;
        q += kGroup;
    }
    for (; below + total[static_cast<size_t>(q)] <= r; ++q) {
        below += total[static_cast<size_t>(q)];
    }
    return q;
}

// One level of the bucket selection of the ranks r0 <= r1 of src[0, n) over
// [lo, hi] (hi > lo, both finite; values outside go to the end buckets):
// counts the values per bucket, then copies those of the buckets holding the
// two ranks to dst (which may be src) and moves the ranks past the values of
// the lower buckets. Returns the number copied, or -1 when the range's scale
// overflows or underflows.
Index bucket_level(const double* src, double* dst, Index n, Index& r0, Index& r1, double lo,
                   double hi, std::vector<std::uint16_t>& bucket, BucketCounts& total) {
    const double scale = kBuckets / (hi - lo);
    if (!(scale > 0.0) || !std::isfinite(scale)) {
        return -1;
    }
    std::uint16_t* idx = bucket.data();
    Index i = 0;
#if defined(__AVX2__)
    {
        // Eight buckets at a time, packed to 16 bits.
        const __m256d lo4 = _mm256_set1_pd(lo);
        const __m256d scale4 = _mm256_set1_pd(scale);
        for (; i + 8 <= n; i += 8) {
            const __m128i a = buckets_of(_mm256_loadu_pd(src + i), lo4, scale4);
            const __m128i b = buckets_of(_mm256_loadu_pd(src + i + 4), lo4, scale4);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(idx + i), _mm_packus_epi32(a, b));
        }
    }
#endif
    for (; i < n; ++i) {
        idx[i] = static_cast<std::uint16_t>(bucket_of(src[i], lo, scale));
    }
    // Four interleaved counts keep runs of equal buckets from serialising.
    std::uint32_t count[4][kBuckets] = {};
    i = 0;
    for (; i + 4 <= n; i += 4) {
        ++count[0][idx[i]];
        ++count[1][idx[i + 1]];
        ++count[2][idx[i + 2]];
        ++count[3][idx[i + 3]];
    }
    for (; i < n; ++i) {
        ++count[0][idx[i]];
    }
    for (int q = 0; q < kBuckets; ++q) {
        total[static_cast<size_t>(q)] = count[0][q] + count[1][q] + count[2][q] + count[3][q];
    }
    Index below = 0;
    const int q0 = rank_bucket(total, 0, r0, below);
    Index below1 = below;
    const int q1 = rank_bucket(total, q0, r1, below1);
    // The kept values go to the front of dst; in place, a store never passes
    // the values already read. When they are few, groups of values wholly
    // outside [q0, q1] are skipped on one test; else every group is compressed.
    const Index n_kept = below1 + total[static_cast<size_t>(q1)] - below;
    Index m = 0;
    Index j = 0;
#if defined(__AVX2__)
    if (n_kept * 8 <= n) {
        const __m256i first = _mm256_set1_epi16(static_cast<std::int16_t>(q0 - 1));
        const __m256i last = _mm256_set1_epi16(static_cast<std::int16_t>(q1 + 1));
        for (; j + 16 <= n; j += 16) {
            const __m256i q = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(idx + j));
            const __m256i in =
                _mm256_and_si256(_mm256_cmpgt_epi16(q, first), _mm256_cmpgt_epi16(last, q));
            // Two mask bits per value.
            for (auto mask = static_cast<unsigned>(_mm256_movemask_epi8(in)); mask != 0;
                 mask &= mask - 1, mask &= mask - 1) {
                dst[m++] = src[j + __builtin_ctz(mask) / 2];
            }
        }
    } else {
        const __m128i first = _mm_set1_epi32(q0 - 1);
        const __m128i last = _mm_set1_epi32(q1 + 1);
        for (; j + 4 <= n; j += 4) {
            const __m256d x = _mm256_loadu_pd(src + j);
            const __m128i q =
                _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(idx + j)));
            const __m128i in = _mm_and_si128(_mm_cmpgt_epi32(q, first), _mm_cmplt_epi32(q, last));
            m += compress_store(x, _mm_movemask_ps(_mm_castsi128_ps(in)), dst + m);
        }
    }
#endif
    for (; j < n; ++j) {
        const double x = src[j];
        dst[m] = x;
        m += static_cast<Index>(idx[j] >= q0 && idx[j] <= q1);
    }
    r0 -= below;
    r1 -= below;
    return m;
}

// The order statistics of ranks r0 and r1 (r0 <= r1 <= r0 + 1) of v[0, n), all
// within [lo, hi] and none NaN, into a and b; reorders v. Bucket levels narrow
// the candidates of the two ranks; std::nth_element finishes on the few left.
void order_pair(double* v, Index n, Index r0, Index r1, double lo, double hi,
                std::vector<std::uint16_t>& bucket, double& a, double& b) {
    BucketCounts total;
    for (int level = 0; level < kMaxLevels && n > kDirectSelect; ++level) {
        if (level > 0) {
            bounds(v, n, lo, hi);
        }
        if (!(hi > lo)) {
            a = b = lo;  // every value left is the same
            return;
        }
        const Index kept = bucket_level(v, v, n, r0, r1, lo, hi, bucket, total);
        if (kept < 0) {
            break;  // select directly
        }
        n = kept;
    }
    double* at = v + r0;
    std::nth_element(v, at, v + n);
    a = *at;
    b = r1 == r0 ? a : *std::min_element(at + 1, v + n);
}

// Ranks of the lower and upper middle order statistics of n values.
inline Index lower_middle(Index n) { return n % 2 == 1 ? n / 2 : n / 2 - 1; }

double middle_value(Index n, double a, double b) { return n % 2 == 1 ? b : 0.5 * (a + b); }

double median_of(double* v, Index n, double lo, double hi, std::vector<std::uint16_t>& bucket) {
    double a = 0.0;
    double b = 0.0;
    order_pair(v, n, lower_middle(n), n / 2, lo, hi, bucket, a, b);
    return middle_value(n, a, b);
}

// The median of the distances |x - m| from the bucket counts of x's first
// level (over [lo, lo + kBuckets * width]): the buckets around m's bound the
// distances of their values to within a bucket width, which gives a band of
// distances certain to hold the two middle ones; one pass counts the distances
// below the band and keeps those inside it. Returns false, with nothing
// changed that matters, when the band missed (the caller then selects on all
// distances).
bool band_mad(const double* x, Index n, double m, double lo, double width, bool open_ends,
              const BucketCounts& total, double* v, std::vector<std::uint16_t>& bucket,
              double& out) {
    const int qm = bucket_of(m, lo, 1.0 / width);
    const Index r0 = lower_middle(n);
    const Index r1 = n / 2;
    // The fewest buckets on each side of m's holding more than r0 values, then
    // more than r1.
    Index inside = total[static_cast<size_t>(qm)];
    int reach0 = 0;
    int reach = 0;
    for (; inside <= r1 && reach < kBuckets; ++reach) {
        reach0 += static_cast<int>(inside <= r0);
        const int left = qm - reach - 1;
        const int right = qm + reach + 1;
        inside += (left >= 0 ? total[static_cast<size_t>(left)] : 0) +
                  (right < kBuckets ? total[static_cast<size_t>(right)] : 0);
    }
    reach0 += static_cast<int>(inside <= r0);
    // With m at f widths into its bucket, the values of the buckets within
    // `reach` of m's lie within max(reach + f, reach + 1 - f) widths of m, and
    // those beyond reach0 - 1 at least min(reach0 - 1 + f, reach0 - f) widths
    // away: the middle distances lie between. The margin covers the rounding
    // of the buckets, relative to the width and to the values' magnitude.
    const double f = std::clamp((m - lo) / width - qm, 0.0, 1.0);
    const double margin = width / 8 + 8 * std::numeric_limits<double>::epsilon() *
                                          (std::abs(lo) + std::abs(lo + kBuckets * width));
    const double d_lo = std::max(0.0, std::min(reach0 - 1 + f, reach0 - f) * width - margin);
    // End buckets that also hold the values outside the level bound nothing.
    const bool unbounded = open_ends && (qm - reach <= 0 || qm + reach >= kBuckets - 1);
    const double d_hi = unbounded ? std::numeric_limits<double>::infinity()
                                  : std::max(reach + f, reach + 1 - f) * width + margin;
    Index below = 0;
    Index kept = 0;
    Index i = 0;
#if defined(__AVX2__)
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m256d m4 = _mm256_set1_pd(m);
    const __m256d lo4 = _mm256_set1_pd(d_lo);
    const __m256d hi4 = _mm256_set1_pd(d_hi);
    // Counts of the distances below the band, as negated all-ones lanes.
    __m256i under_count = _mm256_setzero_si256();
    for (; i + 8 <= n; i += 8) {
        const __m256d d0 = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(x + i), m4));
        const __m256d d1 = _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(x + i + 4), m4));
        const __m256d u0 = _mm256_cmp_pd(d0, lo4, _CMP_LT_OQ);
        const __m256d u1 = _mm256_cmp_pd(d1, lo4, _CMP_LT_OQ);
        under_count = _mm256_sub_epi64(under_count, _mm256_castpd_si256(u0));
        under_count = _mm256_sub_epi64(under_count, _mm256_castpd_si256(u1));
        const int in0 =
            _mm256_movemask_pd(_mm256_andnot_pd(u0, _mm256_cmp_pd(d0, hi4, _CMP_LE_OQ)));
        const int in1 =
            _mm256_movemask_pd(_mm256_andnot_pd(u1, _mm256_cmp_pd(d1, hi4, _CMP_LE_OQ)));
        kept += compress_store(d0, in0, v + kept);
        kept += compress_store(d1, in1, v + kept);
    }
    alignas(32) std::int64_t lanes[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), under_count);
    below = lanes[0] + lanes[1] + lanes[2] + lanes[3];
#endif
    for (; i < n; ++i) {
        const double d = std::abs(x[i] - m);
        below += static_cast<Index>(d < d_lo);
        v[kept] = d;
        kept += static_cast<Index>(d >= d_lo && d <= d_hi);
    }
    if (below > r0 || below + kept <= r1) {
        return false;
    }
    double a = 0.0;
    double b = 0.0;
    order_pair(v, kept, r0 - below, r1 - below, d_lo, d_hi, bucket, a, b);
    out = middle_value(n, a, b);
    return true;
}

// Narrows [lo, hi], the bounds of x[0, n), to the range between the fourth
// smallest and fourth largest of a strided sample of about 32 values (between
// the extremes of a sample under 24 values) when that range is finite and not
// a single value: a few far outliers then no longer set the buckets' width.
void sample_range(const double* x, Index n, double& lo, double& hi) {
    constexpr Index kSample = 32;
    constexpr int kTrim = 3;
    const Index stride = std::max<Index>(1, n / kSample);
    // The kTrim + 1 smallest and largest so far, in order, by insertion.
    std::array<double, kTrim + 1> small;
    std::array<double, kTrim + 1> large;
    small.fill(std::numeric_limits<double>::infinity());
    large.fill(-std::numeric_limits<double>::infinity());
    Index taken = 0;
    for (Index i = 0; i < n; i += stride, ++taken) {
        double s = x[i];
        double l = x[i];
        for (int q = 0; q <= kTrim; ++q) {
            const double s_q = small[static_cast<size_t>(q)];
            const double l_q = large[static_cast<size_t>(q)];
            small[static_cast<size_t>(q)] = std::min(s_q, s);
            s = std::max(s_q, s);
            large[static_cast<size_t>(q)] = std::max(l_q, l);
            l = std::min(l_q, l);
        }
    }
    const size_t k = taken >= 6 * (kTrim + 1) ? kTrim : 0;
    const double a = small[k];
    const double b = large[k];
    if (b > a && std::isfinite(b - a)) {
        lo = a;
        hi = b;
    }
}

// mad() of x[0, n) (n >= 1, no NaN) whose values lie within [lo, hi], with
// `work` (length n + 4) and `bucket` (n) as scratch.
double mad_within(const double* x, Index n, double lo, double hi, std::vector<double>& work,
                  std::vector<std::uint16_t>& bucket) {
    if (!(hi > lo)) {
        // A constant column; infinite, its distances are inf - inf.
        return std::isinf(lo) ? std::numeric_limits<double>::quiet_NaN() : 0.0;
    }
    double* v = work.data();
    double m = 0.0;
    BucketCounts total;
    Index r0 = lower_middle(n);
    Index r1 = n / 2;
    // The first level spans the bulk of a sample: far outliers fall into the
    // end buckets instead of widening every bucket.
    double first = lo;
    double last = hi;
    sample_range(x, n, first, last);
    const Index kept =
        n > kDirectSelect ? bucket_level(x, v, n, r0, r1, first, last, bucket, total) : -1;
    if (kept >= 0) {
        // The median from the first level's candidates, then the distances'
        // median from the same level's counts.
        double a = 0.0;
        double b = 0.0;
        double klo = lo;
        double khi = hi;
        if (kept > kDirectSelect) {
            bounds(v, kept, klo, khi);
        }
        order_pair(v, kept, r0, r1, klo, khi, bucket, a, b);
        m = middle_value(n, a, b);
        double out = 0.0;
        const bool open_ends = first > lo || last < hi;
        if (std::isfinite(m) &&
            band_mad(x, n, m, first, (last - first) / kBuckets, open_ends, total, v, bucket, out)) {
            return out;
        }
    } else {
        std::copy(x, x + n, v);
        m = median_of(v, n, lo, hi, bucket);
    }
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

// mad() of x[0, n), with `work` (length n + 4) and `bucket` (n) as scratch.
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
    return mad_within(x, n, lo, hi, work, bucket);
}

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
        nan[v] = !bounds(t, n, lo[v], hi[v]);
    }
}

bool mads_pay(Index n, Index t) { return n * t >= Index{1} << 16; }

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
ColumnCross cross_of(const MatrixRef& Phi, const YRef& Y, const VectorRef& w) {
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
    for_each_block(n_blocks, n * t * (Phi.cols() + 1) >= Index{1} << 22, [&](Index b) {
        const Index j0 = b * kCrossBlock;
        cross_block(PwT, Y, w, j0, std::min(kCrossBlock, t - j0), out);
    });
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

ColumnCross column_cross(const MatrixRef& Phi, const RowMatrixRef& Y, const VectorRef& w) {
    return cross_of(Phi, Y, w);
}

ColumnCross column_cross(const MatrixRef& Phi, const MatrixRef& Y, const VectorRef& w) {
    return cross_of(Phi, Y, w);
}

VectorXd column_mads(const RowMatrixRef& Y) {
    const Index n = Y.rows();
    const Index t = Y.cols();
    if (n == 0) {
        return VectorXd::Zero(t);
    }
    VectorXd out(t);
    const Index n_blocks = (t + kMadBlock - 1) / kMadBlock;
    for_each_block(n_blocks, mads_pay(n, t), [&](Index blk) {
        const Index j0 = blk * kMadBlock;
        const Index w = std::min(kMadBlock, t - j0);
        std::vector<double> T(static_cast<size_t>(w * n));
        std::array<double, kMadBlock> lo{};
        std::array<double, kMadBlock> hi{};
        std::array<bool, kMadBlock> nan{};
        transpose_block(Y, j0, w, T.data(), lo.data(), hi.data(), nan.data());
        std::vector<double> work(static_cast<size_t>(n + 4));
        std::vector<std::uint16_t> bucket(static_cast<size_t>(n));
        for (Index v = 0; v < w; ++v) {
            const auto q = static_cast<size_t>(v);
            out[j0 + v] = nan[q] ? std::numeric_limits<double>::quiet_NaN()
                                 : mad_within(T.data() + v * n, n, lo[q], hi[q], work, bucket);
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
        std::vector<double> work(static_cast<size_t>(n + 4));
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
