#include "bases.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>

#include "pages.hpp"

namespace zorp {

double col_deriv_scalar(double val, int p, int order) {
    switch (order) {
        case 0:
            return std::pow(val, static_cast<double>(p));
        case 1:
            return p < 1 ? 0.0 : static_cast<double>(p) * std::pow(val, static_cast<double>(p - 1));
        default:
            // p * (p - 1) is an integer product, converted once; 64-bit so that
            // large degrees cannot overflow.
            return p < 2 ? 0.0
                         : static_cast<double>(static_cast<std::int64_t>(p) * (p - 1)) *
                               std::pow(val, static_cast<double>(p - 2));
    }
}

namespace {

// Writes zeros over a large matrix column by column, polling in between: the
// first block of rows below touches a fresh page in every column at once, and
// for a large matrix the faults of those pages (huge ones, zeroed by the
// system) take seconds without a chance to poll.
void touch_pages(MatrixXd& m, CancelPoller& poller) {
    constexpr Index kLarge = Index{1} << 24;  // values (128 MiB)
    if (m.size() < kLarge) {
        return;
    }
    for (Index j = 0; j < m.cols(); ++j) {
        for (Index r0 = 0; r0 < m.rows(); r0 += kLarge / 64) {
            const Index len = std::min(kLarge / 64, m.rows() - r0);
            m.col(j).segment(r0, len).setZero();
            poller.add(len);
        }
    }
}

}  // namespace

// One-dimensional bases.

MatrixXd design_matrix_1d(int deg, const VectorRef& x, const CancelCheck& cancel) {
    if (deg < 0) {
        throw std::invalid_argument("deg < 0");
    }
    const Index n = x.size();
    const Index cols = Index{deg} + 1;
    MatrixXd Phi(n, cols);
    advise_huge_pages(Phi.data(), Phi.size());
    CancelPoller poller(cancel);
    touch_pages(Phi, poller);
    // Rows are processed in short blocks: column p - 1 of a block is still in L1
    // when column p is formed from it, and all column write streams advance
    // together. Each entry is still its left neighbour times x_i.
    constexpr Index block = 64;
    for (Index r0 = 0; r0 < n; r0 += block) {
        const Index len = std::min(block, n - r0);
        poller.add(len * cols);
        const auto xb = x.segment(r0, len);
        Phi.col(0).segment(r0, len).setOnes();
        for (Index p = 1; p < cols; ++p) {
            Phi.col(p).segment(r0, len) = Phi.col(p - 1).segment(r0, len).cwiseProduct(xb);
        }
    }
    return Phi;
}

void deriv_row(double x, int deg, int order, Eigen::Ref<VectorXd> out) {
    if (order != 1 && order != 2) {
        throw std::invalid_argument("deriv_row: order must be 1 or 2");
    }
    if (deg >= 0 && out.size() <= Index{deg}) {
        throw std::invalid_argument("deriv_row: output shorter than deg + 1");
    }
    // A 64-bit counter: p <= deg would never fail for deg = INT_MAX.
    for (Index p = 0; p <= Index{deg}; ++p) {
        out[p] = col_deriv_scalar(x, static_cast<int>(p), order);
    }
}

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid,
                                                 const CancelCheck& cancel) {
    if (deg < 0) {
        throw std::invalid_argument("deg < 0");
    }
    if (n_grid < 2) {
        throw std::invalid_argument("n_grid < 2");
    }
    const Index M = Index{deg} + 1;
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    // The results are allocated first, so that a size that cannot exist fails
    // before the grid is walked.
    MatrixXd R1(M, M);
    MatrixXd R2(M, M);

    // Every entry is a grid sum of a power of x: with S_k = sum_g x_g^k,
    //   R1(i, j) = i j dx S_{i+j-2},   R2(i, j) = i (i-1) j (j-1) dx S_{i+j-4},
    // so the power sums up to k = 2 deg - 2 give both matrices. Entries depend on
    // i + j and on a symmetric factor, so both come out exactly symmetric; the
    // rows and columns of constants (and of straight lines in R2) are exact zeros.
    const Index K = std::max<Index>(2 * Index{deg} - 1, 1);
    VectorXd S = VectorXd::Zero(K);
    // The grid is walked in chunks, so that memory does not grow with n_grid.
    constexpr Index kChunk = 1024;
    const Index chunk = std::min<Index>(n_grid, kChunk);
    VectorXd xs(chunk);
    VectorXd power(chunk);
    CancelPoller poller(cancel);
    for (Index g0 = 0; g0 < n_grid; g0 += kChunk) {
        const Index len = std::min<Index>(kChunk, n_grid - g0);
        poller.add(len * K);
        for (Index i = 0; i < len; ++i) {
            xs[i] = std::fma(static_cast<double>(g0 + i), dx, x_min);
        }
        power.head(len).setOnes();
        for (Index k = 0; k < K; ++k) {
            S[k] += power.head(len).sum();
            if (k + 1 < K) {
                power.head(len).array() *= xs.head(len).array();
            }
        }
    }
    S *= dx;
    for (Index j = 0; j < M; ++j) {
        const double j1 = static_cast<double>(j);
        const double j2 = static_cast<double>(j * (j - 1));
        for (Index i = 0; i < M; ++i) {
            R1(i, j) = i >= 1 && j >= 1 ? (static_cast<double>(i) * j1) * S[i + j - 2] : 0.0;
            R2(i, j) =
                i >= 2 && j >= 2 ? (static_cast<double>(i * (i - 1)) * j2) * S[i + j - 4] : 0.0;
        }
    }
    return {std::move(R1), std::move(R2)};
}

MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max) {
    if (deg < -1) {
        throw std::invalid_argument("deg < -1");
    }
    const Index M = Index{deg} + 1;
    // The result is allocated first, so that a size that cannot exist fails
    // before the derivative rows are filled.
    MatrixXd Rb(M, M);
    VectorXd a1(M);
    VectorXd a2(M);
    VectorXd b1(M);
    VectorXd b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    // Both outer products are rounded and stored before the subtraction, so
    // equal end points cancel exactly (no fused multiply-subtract across them).
    const MatrixXd upper = b2 * b1.transpose();
    const MatrixXd lower = a2 * a1.transpose();
    Rb = upper - lower;
    return 0.5 * (Rb + Rb.transpose());
}

// Multi-dimensional bases.

namespace {

constexpr Index kMaxBytes = std::numeric_limits<Index>::max();

// a * b for non-negative sizes; throws std::length_error (ValueError in Python)
// when the product exceeds limit.
Index checked_mul(Index a, Index b, Index limit, const char* what) {
    if (a != 0 && b > limit / a) {
        throw std::length_error(what);
    }
    return a * b;
}

// Rejects a matrix of rows x cols doubles whose element or byte count cannot be
// represented, so that the allocation cannot wrap around.
void check_matrix_size(Index rows, Index cols, const char* what) {
    const Index elems = checked_mul(rows, cols, kMaxBytes, what);
    checked_mul(elems, static_cast<Index>(sizeof(double)), kMaxBytes, what);
}

// Gram matrices S[o](p, q) = sum_k d^o(x_k^p) * d^o(x_k^q) over the points x_k of
// one axis, for derivative orders o = 0, 1, 2 and exponents p, q = 0 .. deg.
// Each is filled on and below the diagonal and mirrored, so it is exactly symmetric.
std::array<MatrixXd, 3> axis_gram(const VectorXd& axis, int deg, CancelPoller& poller) {
    const Index q = static_cast<Index>(deg) + 1;
    std::array<MatrixXd, 3> S;
    MatrixXd T(axis.size(), q);
    for (int order = 0; order < 3; ++order) {
        for (Index p = 0; p < q; ++p) {
            for (Index k = 0; k < axis.size(); ++k) {
                T(k, p) = col_deriv_scalar(axis[k], static_cast<int>(p), order);
            }
        }
        MatrixXd& G = S[static_cast<size_t>(order)];
        G.resize(q, q);
        for (Index c = 0; c < q; ++c) {
            poller.add((q - c) * axis.size() + 1);
            for (Index r = c; r < q; ++r) {
                G(r, c) = T.col(r).dot(T.col(c));
                G(c, r) = G(r, c);
            }
        }
    }
    return S;
}

// One term w * kron(X, S) of a sum of Kronecker products.
struct KronTerm {
    double w;
    const MatrixXd& X;
    const MatrixXd& S;
};

// out = sum_t w_t * kron(X_t, S_t) for up to three terms whose X_t share one size
// and whose S_t share another; out must already have the size of the product.
// Entry (i q + r, j q + c) is sum_t (w_t X_t(i, j)) S_t(r, c), written in one pass.
void kron_sum(MatrixXd& out, std::initializer_list<KronTerm> terms, CancelPoller& poller) {
    const KronTerm& first = *terms.begin();
    const Index p = first.X.rows();
    const Index q = first.S.rows();
    std::array<const KronTerm*, 3> t{};
    size_t T = 0;
    for (const KronTerm& term : terms) {
        t[T++] = &term;
    }
    std::array<double, 3> coef{};
    std::array<const double*, 3> scol{};
    for (Index j = 0; j < p; ++j) {
        for (Index c = 0; c < q; ++c) {
            poller.add(p * q * static_cast<Index>(T));
            for (size_t k = 0; k < T; ++k) {
                scol[k] = t[k]->S.col(c).data();
            }
            double* o = out.col(j * q + c).data();
            for (Index i = 0; i < p; ++i, o += q) {
                for (size_t k = 0; k < T; ++k) {
                    coef[k] = t[k]->w * t[k]->X(i, j);
                }
                for (Index r = 0; r < q; ++r) {
                    double v = coef[0] * scol[0][r];
                    for (size_t k = 1; k < T; ++k) {
                        v += coef[k] * scol[k][r];
                    }
                    o[r] = v;
                }
            }
        }
    }
}

// Magnitudes within 2^-kDrift .. 2^kDrift are left alone, so that ordinary sizes
// keep exactly the arithmetic of an unscaled evaluation.
constexpr int kDrift = 64;

// x * 2^e for every entry, exact unless an entry leaves the normal range.
void scale_by_power_of_two(MatrixXd& m, std::int64_t e) {
    const int k = static_cast<int>(std::clamp<std::int64_t>(e, -4096, 4096));
    for (Index i = 0; i < m.size(); ++i) {
        m.data()[i] = std::ldexp(m.data()[i], k);
    }
}

// Rewrites v * 2^e as a v of magnitude in [0.5, 1) when v has drifted out of
// range; zero and non-finite values stay as they are.
void renormalize(double& v, std::int64_t& e) {
    if (v == 0.0 || !std::isfinite(v)) {
        return;
    }
    int k = 0;
    const double mant = std::frexp(v, &k);
    if (std::abs(k) > kDrift) {
        v = mant;
        e += k;
    }
}

// Common power-of-two scaling of the running Kronecker factors: when their
// largest finite magnitude has drifted out of range it is brought near 1, and
// the exponent taken out is added to scale. NaN entries are ignored.
void renormalize(MatrixXd& A, MatrixXd& B, MatrixXd& F, std::int64_t& scale) {
    double largest = 0.0;
    for (const MatrixXd* m : {&A, &B, &F}) {
        for (Index i = 0; i < m->size(); ++i) {
            const double a = std::abs(m->data()[i]);
            if (a > largest && a <= std::numeric_limits<double>::max()) {
                largest = a;
            }
        }
    }
    if (largest == 0.0) {
        return;
    }
    int k = 0;
    std::frexp(largest, &k);
    if (std::abs(k) <= kDrift) {
        return;
    }
    for (MatrixXd* m : {&A, &B, &F}) {
        scale_by_power_of_two(*m, -k);
    }
    scale += k;
}

// The weight v * 2^e as one double when it is comfortably normal (exact, and
// residual = 0); otherwise v itself, leaving e in residual for the results.
double fold_exponent(double v, std::int64_t e, std::int64_t& residual) {
    residual = 0;
    if (e == 0 || v == 0.0 || !std::isfinite(v)) {
        return v;
    }
    int k = 0;
    std::frexp(v, &k);
    if (std::abs(static_cast<std::int64_t>(k) + e) <= 512) {
        return std::ldexp(v, static_cast<int>(e));
    }
    residual = e;
    return v;
}

// Copies the strictly lower triangle onto the strictly upper one, tile by tile so
// that the transposed reads stay in cache.
void mirror_lower(MatrixXd& R) {
    constexpr Index kTile = 64;
    const Index n = R.cols();
    for (Index c0 = 0; c0 < n; c0 += kTile) {
        const Index c1 = std::min(n, c0 + kTile);
        for (Index r0 = 0; r0 < c1; r0 += kTile) {
            for (Index c = c0; c < c1; ++c) {
                const Index r1 = std::min(c, r0 + kTile);
                for (Index r = r0; r < r1; ++r) {
                    R(r, c) = R(c, r);
                }
            }
        }
    }
}

}  // namespace

void generate_multi_indices(const std::vector<int>& degrees, size_t dim, std::vector<int>& current,
                            std::vector<MultiIndex>& out) {
    if (current.size() < degrees.size()) {
        throw std::invalid_argument("Working multi-index shorter than degrees.");
    }
    // An odometer over the dimensions dim .. D - 1 (last fastest) rather than a
    // recursion one level deep per dimension, which overflows the stack for
    // long degree lists.
    const size_t D = degrees.size();
    for (size_t d = dim; d < D; ++d) {
        if (degrees[d] < 0) {
            return;
        }
        current[d] = 0;
    }
    for (;;) {
        out.push_back(current);
        size_t d = std::max(D, dim);
        for (;;) {
            if (d == dim) {
                return;
            }
            --d;
            if (current[d] < degrees[d]) {
                ++current[d];
                break;
            }
            current[d] = 0;
        }
    }
}

MatrixXd design_matrix_nd(const std::vector<MultiIndex>& multi_indices,
                          const std::vector<VectorXd>& X_cols, const CancelCheck& cancel) {
    if (X_cols.empty()) {
        throw std::invalid_argument("X_cols is empty.");
    }
    const size_t D = X_cols.size();
    const Index n = X_cols[0].size();
    for (const VectorXd& col : X_cols) {
        if (col.size() != n) {
            throw std::invalid_argument("Coordinate vectors in X_cols differ in length.");
        }
    }
    for (const MultiIndex& mi : multi_indices) {
        if (mi.size() < D) {
            throw std::invalid_argument("Multi-index shorter than the number of coordinates.");
        }
    }
    if (multi_indices.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        throw std::length_error("Too many multi-indices.");
    }
    const int M = static_cast<int>(multi_indices.size());
    check_matrix_size(n, M, "Design matrix too large.");

    // Per dimension, the exponents that occur, each evaluated once per row block
    // into that dimension's power table; per column, its factors in ascending
    // dimension order as (dimension, table slot).
    std::vector<std::vector<int>> exponents(D);
    std::vector<std::vector<int>> slot_of(D);
    std::vector<std::vector<std::pair<size_t, int>>> factors(static_cast<size_t>(M));
    for (size_t d = 0; d < D; ++d) {
        for (int j = 0; j < M; ++j) {
            const int p = multi_indices[static_cast<size_t>(j)][d];
            if (p > 0) {
                exponents[d].push_back(p);
            }
        }
        std::sort(exponents[d].begin(), exponents[d].end());
        exponents[d].erase(std::unique(exponents[d].begin(), exponents[d].end()),
                           exponents[d].end());
        for (int j = 0; j < M; ++j) {
            const int p = multi_indices[static_cast<size_t>(j)][d];
            if (p > 0) {
                const auto it = std::lower_bound(exponents[d].begin(), exponents[d].end(), p);
                factors[static_cast<size_t>(j)].emplace_back(
                    d, static_cast<int>(it - exponents[d].begin()));
            }
        }
    }

    MatrixXd Phi(n, M);
    advise_huge_pages(Phi.data(), Phi.size());
    // Row blocks keep the power tables in cache while every column segment of the
    // block is written once. The factors of an entry are multiplied in ascending
    // dimension order, so it is the product 1.0 * x_0^e_0 * x_1^e_1 * ... in that
    // order (the leading 1.0 * f is exact and omitted).
    constexpr Index kBlock = 512;
    const Index rows = std::min(n, kBlock);
    std::vector<MatrixXd> tables(D);
    for (size_t d = 0; d < D; ++d) {
        tables[d].resize(rows, static_cast<Index>(exponents[d].size()));
    }
    CancelPoller poller(cancel);
    for (Index r0 = 0; r0 < n; r0 += kBlock) {
        const Index len = std::min(kBlock, n - r0);
        poller.add(len * (Index{M} + static_cast<Index>(D)));
        for (size_t d = 0; d < D; ++d) {
            const double* x = X_cols[d].data() + r0;
            for (size_t s = 0; s < exponents[d].size(); ++s) {
                const double e = static_cast<double>(exponents[d][s]);
                double* t = tables[d].col(static_cast<Index>(s)).data();
                if (exponents[d][s] == 1) {
                    // pow(x, 1) is x exactly.
                    std::copy(x, x + len, t);
                    continue;
                }
                for (Index i = 0; i < len; ++i) {
                    t[i] = std::pow(x[i], e);
                }
            }
        }
        for (int j = 0; j < M; ++j) {
            double* out = Phi.col(j).data() + r0;
            const auto& fs = factors[static_cast<size_t>(j)];
            const auto table = [&](size_t f) {
                return tables[fs[f].first].col(fs[f].second).data();
            };
            if (fs.empty()) {
                std::fill(out, out + len, 1.0);
                continue;
            }
            const double* t0 = table(0);
            if (fs.size() == 1) {
                std::copy(t0, t0 + len, out);
                continue;
            }
            const double* t1 = table(1);
            if (fs.size() == 2) {
                for (Index i = 0; i < len; ++i) {
                    out[i] = t0[i] * t1[i];
                }
                continue;
            }
            const double* t2 = table(2);
            for (Index i = 0; i < len; ++i) {
                out[i] = t0[i] * t1[i] * t2[i];
            }
            for (size_t f = 3; f < fs.size(); ++f) {
                const double* t = table(f);
                for (Index i = 0; i < len; ++i) {
                    out[i] *= t[i];
                }
            }
        }
    }
    return Phi;
}

PenaltyMatricesND build_penalty_matrices_nd(const std::vector<int>& degrees,
                                            const std::vector<std::pair<double, double>>& bounds,
                                            int n_grid_per_dim, const CancelCheck& cancel) {
    const size_t D = degrees.size();
    if (bounds.size() != D) {
        throw std::invalid_argument("Dimension mismatch.");
    }
    for (const int deg : degrees) {
        if (deg < -1) {
            throw std::invalid_argument("deg < -1");
        }
    }
    if (n_grid_per_dim < 2) {
        throw std::invalid_argument("n_grid < 2");
    }

    // Basis size M = prod(deg + 1); a degree of -1 empties the basis.
    const bool empty_basis =
        std::any_of(degrees.begin(), degrees.end(), [](int d) { return d < 0; });
    Index M64 = empty_basis ? 0 : 1;
    if (!empty_basis) {
        for (const int deg : degrees) {
            M64 = checked_mul(M64, static_cast<Index>(deg) + 1, std::numeric_limits<int>::max(),
                              "Too many basis functions: the product of (degree + 1) exceeds "
                              "the int range.");
        }
    }
    const int M = static_cast<int>(M64);
    check_matrix_size(M, M, "Penalty matrices too large.");

    // The results are allocated before anything else so that an impossible size
    // fails here, before the multi-index list grows.
    PenaltyMatricesND result;
    result.R1.resize(M, M);
    result.R2.resize(M, M);
    result.multi_indices.reserve(static_cast<size_t>(M));
    std::vector<int> current(D, 0);
    generate_multi_indices(degrees, 0, current, result.multi_indices);
    if (D == 0) {
        // A single constant basis function and no derivatives.
        result.R1.setZero();
        result.R2.setZero();
    }
    if (M == 0 || D == 0) {
        return result;
    }

    // The grid and the basis are both tensor products, so every grid sum of a
    // product of per-dimension factors is the product of per-axis sums. With
    // S_d^o the axis Gram matrices and the multi-indices in lexicographic order
    // (last dimension fastest), each term is a Kronecker product over dimensions:
    //   R1 = dV * sum_i           kron_d S_d^{[d=i]}
    //   R2 = dV * sum_i sum_j     kron_d S_d^{[d=i]+[d=j]}
    // Both are accumulated dimension by dimension over the prefix 0 .. d-1:
    //   A = kron S^0                      (no derivative yet)
    //   B = sum of terms with one first derivative in the prefix
    //   F = sum over ordered pairs (i, j) in the prefix of the R2 terms
    // and appending dimension d gives
    //   A' = A (x) S^0,  B' = B (x) S^0 + A (x) S^1,
    //   F' = F (x) S^0 + A (x) S^2 + 2 B (x) S^1   (pairs (i, d) and (d, i)).
    // With many dimensions A, B and F grow or shrink geometrically (A holds
    // products of n-point sums), and an overflowed A times the all-zero
    // derivative table of a degree-0 dimension would give NaN for a true 0. They
    // are therefore kept near 1 by exact power-of-two scalings whose exponents
    // add up in `scale`; dV is kept the same way as dv * 2^dv_exp.
    double dv = 1.0;
    std::int64_t dv_exp = 0;
    std::int64_t scale = 0;
    std::int64_t residual = 0;  // exponent still to apply to the results
    CancelPoller poller(cancel);
    MatrixXd A = MatrixXd::Ones(1, 1);
    MatrixXd B = MatrixXd::Zero(1, 1);
    MatrixXd F = MatrixXd::Zero(1, 1);
    for (size_t d = 0; d < D; ++d) {
        const double lo = bounds[d].first;
        const double hi = bounds[d].second;
        dv *= (hi - lo) / static_cast<double>(n_grid_per_dim - 1);
        renormalize(dv, dv_exp);
        const VectorXd axis = VectorXd::LinSpaced(n_grid_per_dim, lo, hi);
        const std::array<MatrixXd, 3> S = axis_gram(axis, degrees[d], poller);

        // The last step writes the results directly, with the weight dV folded in.
        const bool last = d + 1 == D;
        const double w = last ? fold_exponent(dv, dv_exp + scale, residual) : 1.0;
        const Index size = A.rows() * S[0].rows();
        MatrixXd Bn, Fn;
        MatrixXd& B_out = last ? result.R1 : (Bn = MatrixXd(size, size));
        MatrixXd& F_out = last ? result.R2 : (Fn = MatrixXd(size, size));
        kron_sum(F_out, {{w, F, S[0]}, {w, A, S[2]}, {2.0 * w, B, S[1]}}, poller);
        kron_sum(B_out, {{w, B, S[0]}, {w, A, S[1]}}, poller);
        if (last) {
            break;
        }
        MatrixXd An(size, size);
        kron_sum(An, {{1.0, A, S[0]}}, poller);
        A = std::move(An);
        B = std::move(Bn);
        F = std::move(Fn);
        renormalize(A, B, F, scale);
    }
    if (residual != 0) {
        scale_by_power_of_two(result.R1, residual);
        scale_by_power_of_two(result.R2, residual);
    }
    mirror_lower(result.R2);
    mirror_lower(result.R1);
    return result;
}

}  // namespace zorp
