#include "stats.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>

#if defined(__AVX2__)
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

// Buckets of one level of the selection, and the count below which the few
// values left are selected directly.
constexpr int kBuckets = 256;
constexpr Index kDirectSelect = 48;
constexpr int kMaxLevels = 4;

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
            value_bounds(v, n, lo, hi);
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

}  // namespace

MadScratch::MadScratch(Index n)
    : work(static_cast<size_t>(n + 4)), bucket(static_cast<size_t>(n)) {}

bool value_bounds(const double* v, Index n, double& lo, double& hi) {
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

double mad_within(const double* x, Index n, double lo, double hi, MadScratch& scratch) {
    std::vector<double>& work = scratch.work;
    std::vector<std::uint16_t>& bucket = scratch.bucket;
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
            value_bounds(v, kept, klo, khi);
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

double mad_of(const double* x, Index n, MadScratch& scratch) {
    if (n == 0) {
        return 0.0;
    }
    double lo = 0.0;
    double hi = 0.0;
    if (!value_bounds(x, n, lo, hi)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return mad_within(x, n, lo, hi, scratch);
}

double mad(const VectorRef& y) {
    MadScratch scratch(y.size());
    return mad_of(y.data(), y.size(), scratch);
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
