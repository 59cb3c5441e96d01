#include "legendre.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>
#include <vector>

#include "pages.hpp"
#include "parallel.hpp"

namespace zorp {

namespace {

// Rows per block: a block's tables (degree by degree, its rows contiguous, so
// that the recurrence runs vectorised across rows) and its rows of the result
// stay in cache while the terms are formed.
constexpr Index kRows = 64;
// Distance between a table's degrees: a cache line more than a block, so that
// the degrees of one row, read together, do not all fall into a few cache sets.
constexpr Index kStride = kRows + 8;
// Values computed (table entries and terms) per task taken by a thread.
constexpr double kTaskWork = 1 << 18;
// Below this many values the work stays on the calling thread.
constexpr double kParallelWork = 1 << 17;

// One axis of the basis: its largest degree and the order of its derivative.
struct Axis {
    Index degree = 0;
    Index order = 0;
    // Recurrence levels tabulated: none past the degree, where every value is 0.
    Index levels() const { return order > degree ? 0 : order + 1; }
};

// Table entries of one row of one axis (in floating point: the product of a
// large degree and order would overflow an Index).
double table_work(const Axis& ax) {
    return static_cast<double>(ax.degree + 1) *
           static_cast<double>(std::max<Index>(ax.levels(), 1));
}

// T[q * kStride + i] = P_q(u[i]) for q = 0 .. p, i < m. Each step divides by
// q + 1 rather than multiplying by its rounded reciprocal: that one rounding,
// shared by every point, makes the errors at degree 120 ten times larger.
void tabulate_values(const double* u, Index m, Index p, double* T) {
    std::fill(T, T + m, 1.0);
    if (p == 0) {
        return;
    }
    std::copy(u, u + m, T + kStride);
    for (Index q = 1; q < p; ++q) {
        const auto a = static_cast<double>(2 * q + 1);
        const auto b = static_cast<double>(q);
        const auto c = static_cast<double>(q + 1);
        const double* t1 = T + q * kStride;
        const double* t0 = t1 - kStride;
        double* t2 = T + (q + 1) * kStride;
        for (Index i = 0; i < m; ++i) {
            t2[i] = (a * u[i] * t1[i] - b * t0[i]) / c;
        }
    }
}

// S = P^(s)_q(u[i]) from prev = P^(s-1)_q(u[i]), s >= 1, both laid out as in
// tabulate_values. P^(s)_0 = 0, and P^(s)_{-1} = 0 starts the recurrence.
void tabulate_next_order(const double* u, Index m, Index p, Index s, const double* prev,
                         double* S) {
    const auto r = static_cast<double>(s);
    std::fill(S, S + m, 0.0);
    for (Index q = 0; q < p; ++q) {
        const auto a = static_cast<double>(2 * q + 1);
        const auto b = static_cast<double>(q);
        const auto c = static_cast<double>(q + 1);
        const double* s1 = S + q * kStride;
        const double* p1 = prev + q * kStride;
        double* s2 = S + (q + 1) * kStride;
        if (q == 0) {
            for (Index i = 0; i < m; ++i) {
                s2[i] = a * (u[i] * s1[i] + r * p1[i]) / c;
            }
        } else {
            const double* s0 = s1 - kStride;
            for (Index i = 0; i < m; ++i) {
                s2[i] = (a * (u[i] * s1[i] + r * p1[i]) - b * s0[i]) / c;
            }
        }
    }
}

// Scratch of one task: one axis's points and two tables per axis.
struct Scratch {
    std::vector<double> u;
    std::vector<std::vector<double>> tables;
    std::vector<std::vector<double>> spare;
    std::vector<const double*> table;  // per axis, the finished table

    explicit Scratch(const std::vector<Axis>& axes)
        : u(static_cast<size_t>(kRows)), table(axes.size(), nullptr) {
        for (const Axis& ax : axes) {
            const auto size = static_cast<size_t>((ax.degree + 1) * kStride);
            tables.emplace_back(size);
            spare.emplace_back(ax.levels() > 1 ? size : 0);
        }
    }
};

// Tabulates every axis for the rows [a, a + m).
void tabulate_block(const RowMatrixRef& U, const std::vector<Axis>& axes, Index a, Index m,
                    Scratch& s) {
    for (size_t d = 0; d < axes.size(); ++d) {
        const Axis& ax = axes[d];
        double* T = s.tables[d].data();
        if (ax.levels() == 0) {
            std::fill(s.tables[d].begin(), s.tables[d].end(), 0.0);
            s.table[d] = T;
            continue;
        }
        for (Index i = 0; i < m; ++i) {
            s.u[static_cast<size_t>(i)] = U(a + i, static_cast<Index>(d));
        }
        tabulate_values(s.u.data(), m, ax.degree, T);
        double* S = s.spare[d].data();
        for (Index r = 1; r <= ax.order; ++r) {
            tabulate_next_order(s.u.data(), m, ax.degree, r, T, S);
            std::swap(T, S);
        }
        s.table[d] = T;
    }
}

// Rows [a, a + m) of the result: each term the product of its axes' entries,
// off[t * D + d] = mi(t, d) * kStride locating them in the tables.
void terms_block(const Scratch& s, const std::vector<Index>& off, Index k, Index a, Index m,
                 RowMatrixXd& out) {
    const auto D = static_cast<Index>(s.table.size());
    for (Index i = 0; i < m; ++i) {
        double* row = out.data() + (a + i) * k;
        if (D == 0) {
            std::fill(row, row + k, 1.0);
        } else if (D == 1) {
            const double* t0 = s.table[0] + i;
            for (Index t = 0; t < k; ++t) {
                row[t] = t0[off[static_cast<size_t>(t)]];
            }
        } else {
            for (Index t = 0; t < k; ++t) {
                const Index* o = off.data() + t * D;
                double v = s.table[0][o[0] + i];
                for (Index d = 1; d < D; ++d) {
                    v *= s.table[static_cast<size_t>(d)][o[d] + i];
                }
                row[t] = v;
            }
        }
    }
}

}  // namespace

RowMatrixXd legendre_rows(const RowMatrixRef& U, const IndexRowMatrixRef& mi,
                          const std::vector<Index>& derivative, const CancelCheck& cancel) {
    const Index n = U.rows();
    const Index D = U.cols();
    const Index k = mi.rows();
    if (mi.cols() != D) {
        throw std::invalid_argument("legendre_rows: multi-indices must have one column per axis");
    }
    if (!derivative.empty() && static_cast<Index>(derivative.size()) != D) {
        throw std::invalid_argument("legendre_rows: derivative needs one order per axis");
    }
    if ((mi.array() < 0).any() || (mi.array() > kMaxLegendreDegree).any() ||
        std::any_of(derivative.begin(), derivative.end(), [](Index r) { return r < 0; })) {
        throw std::invalid_argument(
            "legendre_rows: degrees must lie in [0, 65535] and orders be nonnegative");
    }
    std::vector<Axis> axes(static_cast<size_t>(D));
    // Values computed per row, which sizes the tasks.
    double row_work = static_cast<double>(k) * static_cast<double>(std::max<Index>(D, 1));
    for (Index d = 0; d < D; ++d) {
        Axis& ax = axes[static_cast<size_t>(d)];
        ax.degree = k > 0 ? mi.col(d).maxCoeff() : 0;
        ax.order = derivative.empty() ? 0 : derivative[static_cast<size_t>(d)];
        row_work += table_work(ax);
    }
    std::vector<Index> off(static_cast<size_t>(k * D));
    for (Index t = 0; t < k; ++t) {
        for (Index d = 0; d < D; ++d) {
            off[static_cast<size_t>(t * D + d)] = mi(t, d) * kStride;
        }
    }
    RowMatrixXd out(n, k);
    // The threads fault in the result's pages as they fill their rows: huge
    // pages cut the faults, which otherwise cost more than the values.
    advise_huge_pages(out.data(), out.size());
    // Tasks of whole blocks, so that every row keeps its place in its block
    // (and so its arithmetic) whatever the number of threads.
    const double blocks = std::max(std::floor(kTaskWork / (row_work * kRows)), 1.0);
    const Index task_rows = static_cast<Index>(std::min(blocks, 1e6)) * kRows;
    const Index n_tasks = (n + task_rows - 1) / task_rows;
    const auto block_work = static_cast<Index>(std::min(row_work * kRows, 1e18));
    for_each_block(
        n_tasks, static_cast<double>(n) * row_work >= kParallelWork,
        [&](Index task, TeamControl& control) {
            Scratch s(axes);
            const Index end = std::min(n, (task + 1) * task_rows);
            for (Index a = task * task_rows; a < end; a += kRows) {
                const Index m = std::min(kRows, end - a);
                tabulate_block(U, axes, a, m, s);
                terms_block(s, off, k, a, m, out);
                if (!control.keep_going(block_work)) {
                    return;
                }
            }
        },
        cancel);
    return out;
}

MatrixXd legendre_gram(const VectorRef& mu, Index top) {
    if (top < 0 || mu.size() < 2 * top + 1) {
        throw std::invalid_argument("legendre_gram: mu needs 2 top + 1 entries");
    }
    const Index k = top + 1;
    std::vector<double> a(static_cast<size_t>(2 * k + 1), 1.0);
    for (size_t j = 1; j < a.size(); ++j) {
        a[j] = a[j - 1] * static_cast<double>(2 * j - 1) / static_cast<double>(2 * j);
    }
    // h(r, s) = (2s - 4r + 1) / ((2s - 2r + 1) a_{s-r}): the divisions once.
    const Index n_s = 2 * k - 1;
    MatrixXd h(k, n_s);
    for (Index s = 0; s < n_s; ++s) {
        for (Index r = 0; r < k && 2 * r <= s; ++r) {
            h(r, s) = static_cast<double>(2 * s - 4 * r + 1) /
                      (static_cast<double>(2 * s - 2 * r + 1) * a[static_cast<size_t>(s - r)]);
        }
    }
    MatrixXd G(k, k);
    for (Index m = 0; m < k; ++m) {
        for (Index n = m; n < k; ++n) {
            const Index s = m + n;
            double sum = 0.0;
            for (Index r = 0; r <= m; ++r) {
                sum += a[static_cast<size_t>(m - r)] * a[static_cast<size_t>(r)] *
                       a[static_cast<size_t>(n - r)] * h(r, s) * mu[s - 2 * r];
            }
            G(m, n) = sum;
            G(n, m) = sum;
        }
    }
    return G;
}

namespace {

// sum_i a[i] b[i] over a block of kRows, in eight running sums combined in a
// fixed order: vectorised, and the same on every thread.
double lane_dot(const double* a, const double* b) {
    double acc[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (Index i = 0; i < kRows; i += 8) {
        for (int l = 0; l < 8; ++l) {
            acc[l] += a[i + l] * b[i + l];
        }
    }
    return ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
}

}  // namespace

LegendreMoments legendre_moments(const VectorRef& x, const VectorRef& w, const RowMatrixRef& Y,
                                 Index top_mu, Index top_cross, const CancelCheck& cancel) {
    const Index n = x.size();
    const Index t = Y.cols();
    if (Y.rows() != n || (w.size() != 0 && w.size() != n) || top_cross < 0 || top_mu < top_cross) {
        throw std::invalid_argument("legendre_moments: mismatched sizes or degrees");
    }
    // Fixed row chunks, each summed on its own: the same sums on any thread count.
    constexpr Index kChunk = 8192;
    const Index n_chunks = std::max<Index>((n + kChunk - 1) / kChunk, 1);
    const Index width = (top_mu + 1) + (top_cross + 1) * t + t;
    MatrixXd part = MatrixXd::Zero(width, n_chunks);
    const double work = static_cast<double>(n) * static_cast<double>(top_mu + 1 + top_cross * t);
    for_each_block(
        n_chunks, work >= kParallelWork,
        [&](Index chunk, TeamControl& control) {
            double* acc = part.col(chunk).data();
            double* mu = acc;
            double* cross = acc + top_mu + 1;  // (top_cross + 1) x t, degree-major
            double* yy = cross + (top_cross + 1) * t;
            std::vector<double> p0(kRows), p1(kRows), p2(kRows), wv(kRows), u(kRows);
            std::vector<double> wy(static_cast<size_t>(kRows * t));
            const Index end = std::min(n, (chunk + 1) * kChunk);
            for (Index a = chunk * kChunk; a < end; a += kRows) {
                const Index m = std::min(kRows, end - a);
                for (Index i = 0; i < m; ++i) {
                    u[i] = x[a + i];
                    wv[i] = w.size() != 0 ? w[a + i] : 1.0;
                    p0[i] = 1.0;
                    p1[i] = u[i];
                    for (Index c = 0; c < t; ++c) {
                        const double v = wv[i] * Y(a + i, c);
                        wy[c * kRows + i] = v;
                        yy[c] += v * Y(a + i, c);
                    }
                }
                // Rows past m are zero weight: the lanes run over whole blocks.
                for (Index i = m; i < kRows; ++i) {
                    u[i] = 0.0;
                    wv[i] = 0.0;
                    p0[i] = 1.0;
                    p1[i] = 0.0;
                    for (Index c = 0; c < t; ++c) {
                        wy[c * kRows + i] = 0.0;
                    }
                }
                for (Index j = 0; j <= top_mu; ++j) {
                    // p0 holds P_j, p1 P_{j+1} (for j < top_mu).
                    mu[j] += lane_dot(wv.data(), p0.data());
                    if (j <= top_cross) {
                        for (Index c = 0; c < t; ++c) {
                            cross[j * t + c] += lane_dot(wy.data() + c * kRows, p0.data());
                        }
                    }
                    if (j + 1 < top_mu) {
                        // The recurrence's factors once per degree; their
                        // rounding moves the moments by a few units in 1e-15.
                        const auto q = static_cast<double>(j + 1);
                        const double a1 = (2.0 * q + 1.0) / (q + 1.0);
                        const double b1 = q / (q + 1.0);
                        for (Index i = 0; i < kRows; ++i) {
                            p2[i] = a1 * u[i] * p1[i] - b1 * p0[i];
                        }
                    }
                    std::swap(p0, p1);
                    std::swap(p1, p2);
                }
                if (!control.keep_going(m * (top_mu + 1))) {
                    return;
                }
            }
        },
        cancel);
    LegendreMoments r;
    const VectorXd total = part.rowwise().sum();
    r.mu = total.head(top_mu + 1);
    r.cross.resize(top_cross + 1, t);
    for (Index j = 0; j <= top_cross; ++j) {
        for (Index c = 0; c < t; ++c) {
            r.cross(j, c) = total[top_mu + 1 + j * t + c];
        }
    }
    r.yy = total.tail(t);
    return r;
}

}  // namespace zorp
