#include "search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "parallel.hpp"

namespace zorp {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLn10 = 2.30258509299404568402;
constexpr Index kSearchBlock = 64;  // columns per task

// What every column shares at one weight: the reduced eigenvalues d, their
// inverses, and the criterion's terms of the weight alone.
struct AtWeight {
    std::vector<double> d;
    std::vector<double> inv;
    double edf = 0.0;  // effective degrees of freedom, sum of mu / d
    double dof = 0.0;  // n less edf
    double per = 0.0;  // REML: the terms that do not depend on the column
};

// Residual degrees of freedom of the restricted likelihood.
double reml_nu(const ReducedPath& p) { return p.n - static_cast<double>(p.m0); }

// Least deviance a REML value uses, which keeps its log finite at an exact fit.
double deviance_floor(double yy) { return 1e-300 * std::max(yy, 1.0); }

// Fills w for the weight lam; the REML terms only `with_terms`. Reuses w's storage.
void fill_weight(const ReducedPath& p, double lam, bool with_terms, AtWeight& w) {
    const Index k = p.mu.size();
    w.d.resize(static_cast<size_t>(k));
    w.inv.resize(static_cast<size_t>(k));
    const double t = lam / p.alpha;
    double edf = 0.0;
    double logdet_d = 0.0;
    for (Index i = 0; i < k; ++i) {
        const double d = std::max(t * (1.0 - p.mu[i]) + p.mu[i], kMinEigenvalue);
        w.d[static_cast<size_t>(i)] = d;
        w.inv[static_cast<size_t>(i)] = 1.0 / d;
        edf += p.mu[i] * w.inv[static_cast<size_t>(i)];
        if (with_terms && !p.gcv) {
            logdet_d += std::log(d);
        }
    }
    w.edf = edf;
    w.dof = p.n - edf;
    const double nu = reml_nu(p);
    const double rank = static_cast<double>(k - p.m0);
    if (with_terms && !p.gcv) {
        w.per = nu * std::log(2.0 * kPi / nu) + nu + p.logdet + logdet_d - rank * std::log(lam);
    }
}

// Weight of b2[i] in what the fit at w removes from yy: rss = yy - sum b2 x this.
double rss_weight(const ReducedPath& p, const AtWeight& w, Index i) {
    const double inv = w.inv[static_cast<size_t>(i)];
    return (2.0 - p.mu[i] * inv) * inv;
}

// Weight of b2[i] in the fitted part of the criterion's sum of squares at w:
// the residual sum of squares for GCV, the deviance for REML.
double fit_weight(const ReducedPath& p, const AtWeight& w, Index i) {
    return p.gcv ? rss_weight(p, w, i) : w.inv[static_cast<size_t>(i)];
}

// The criterion of a column with sum of squares yy and fitted part `fit`.
// (dof and per: the weight's terms of AtWeight.)
double value_of(const ReducedPath& p, double dof, double per, double yy, double fit) {
    if (p.gcv) {
        const double rss = std::max(yy - fit, 0.0);
        return dof > 0.0 ? p.n * rss / (dof * dof) : std::numeric_limits<double>::infinity();
    }
    const double dev = std::max(yy - fit, deviance_floor(yy));
    const double nu = reml_nu(p);
    return nu * std::log(dev) + per;
}

double value_at(const ReducedPath& p, const AtWeight& w, const double* b2, double yy) {
    double fit = 0.0;
    for (Index i = 0; i < p.mu.size(); ++i) {
        fit += b2[i] * fit_weight(p, w, i);
    }
    return value_of(p, w.dof, w.per, yy, fit);
}

// First and second derivatives of a column's criterion in ln(lam).
void slopes_at(const ReducedPath& p, const AtWeight& w, const double* b2, double yy, double& f1,
               double& f2) {
    const Index k = p.mu.size();
    // g: share of each eigenvalue that moves with lam; e = b2 / d; md = mu / d.
    double se = 0.0, semd = 0.0, seg = 0.0, segg = 0.0, seggg = 0.0;
    double sg = 0.0, sgg = 0.0, smdg = 0.0, smdgg = 0.0;
    for (Index i = 0; i < k; ++i) {
        const double inv = w.inv[static_cast<size_t>(i)];
        const double md = p.mu[i] * inv;
        const double g = (w.d[static_cast<size_t>(i)] - p.mu[i]) * inv;
        const double e = b2[i] * inv;
        se += e;
        semd += e * md;
        seg += e * g;
        segg += e * g * g;
        seggg += e * g * g * g;
        sg += g;
        sgg += g * g;
        smdg += md * g;
        smdgg += md * g * g;
    }
    if (p.gcv) {
        const double n = p.n;
        const double dof = w.dof;
        const double rss = std::max(yy - 2.0 * se + semd, 0.0);
        const double Q = segg;  // half the slope of rss
        const double M = smdg;  // slope of the residual dof
        const double Qp = 2.0 * Q - 3.0 * seggg;
        const double Mp = M - 2.0 * smdgg;
        const double dof2 = dof * dof;
        const double dof3 = dof2 * dof;
        f1 = n * (2.0 * Q / dof2 - 2.0 * rss * M / dof3);
        f2 = n * (2.0 * Qp / dof2 - 8.0 * Q * M / dof3 - 2.0 * rss * Mp / dof3 +
                  6.0 * rss * M * M / (dof2 * dof2));
        return;
    }
    const double nu = reml_nu(p);
    const double dev = std::max(yy - se, deviance_floor(yy));
    const double P = seg / dev;  // relative slope of the deviance
    const double Pp = (seg - 2.0 * segg) / dev;
    const double rank = static_cast<double>(k - p.m0);
    f1 = nu * P + sg - rank;
    f2 = nu * (Pp - P * P) + sg - sgg;
}

// Index of the least value, the first of a tie; a NaN wins, as in NumPy.
Index argmin(const double* v, Index m, Index stride) {
    Index best = 0;
    for (Index g = 0; g < m; ++g) {
        const double x = v[g * stride];
        if (std::isnan(x)) {
            return g;
        }
        if (x < v[best * stride]) {
            best = g;
        }
    }
    return best;
}

// log10 of the weight where the slope vanishes, from the grid point i:
// Newton steps in log(lam), kept by bisection inside the bracket of the grid
// neighbours that each slope's sign narrows. slopes(lam, f1, f2).
template <class Slopes>
double refine(const VectorRef& grid, Index i, const Slopes& slopes) {
    const Index last = grid.size() - 1;
    double a = grid[std::max<Index>(i - 1, 0)];
    double b = grid[std::min(i + 1, last)];
    double x = grid[i];
    for (int it = 0; it < kRefineSteps; ++it) {
        double f1 = 0.0;
        double f2 = 0.0;
        slopes(std::pow(10.0, x), f1, f2);
        if (f1 < 0.0) {
            a = x;  // the minimum lies above x
        } else {
            b = x;
        }
        const double step =
            f2 > 0.0 ? -f1 / (f2 * kLn10) : std::numeric_limits<double>::quiet_NaN();
        const bool inside = a <= x + step && x + step <= b;
        x = inside ? x + step : 0.5 * (a + b);
        // At the minimum the slope's sign is rounding noise: a step this small
        // ends the search rather than letting the bracket shrink onto x.
        if ((inside && std::abs(step) <= kRefineTol) || b - a <= kRefineTol) {
            break;
        }
    }
    return x;
}

void check_columns(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy) {
    if (b2.cols() != path.mu.size() || yy.size() != b2.rows()) {
        throw std::invalid_argument("the columns need k squared projections each and one yy");
    }
}

bool search_pays(Index t, Index m, Index k) { return t * m * (k + 8) >= Index{1} << 18; }

// Columns per step of the polled factorisations and products below: one step
// of a 3000 x 3000 problem takes a few tens of milliseconds.
constexpr Index kStepCols = 64;

// Cholesky factor of m in its lower triangle, in place: Eigen's blocked
// algorithm (as in Eigen::LLT), its trailing update a panel at a time with a
// poll after each. False when m is not positive definite in floating point.
bool cholesky_in_place(MatrixXd& m, CancelPoller& poller) {
    using Unblocked = Eigen::internal::llt_inplace<double, Eigen::Lower>;
    const Index size = m.rows();
    if (size < 32) {
        return Unblocked::unblocked(m) == -1;
    }
    const Index block = std::min<Index>(std::max<Index>(size / 8 / 16 * 16, 8), 128);
    for (Index k = 0; k < size; k += block) {
        const Index bs = std::min(block, size - k);
        const Index rs = size - k - bs;
        Eigen::Block<MatrixXd> A11(m, k, k, bs, bs);
        Eigen::Block<MatrixXd> A21(m, k + bs, k, rs, bs);
        Eigen::Block<MatrixXd> A22(m, k + bs, k + bs, rs, rs);
        if (Unblocked::unblocked(A11) >= 0) {
            return false;
        }
        if (rs > 0) {
            A11.adjoint().triangularView<Eigen::Upper>().solveInPlace<Eigen::OnTheRight>(A21);
        }
        // The lower triangle of A22 -= A21 A21', a panel of columns at a time.
        for (Index j = 0; j < rs; j += 4 * kStepCols) {
            const Index w = std::min(4 * kStepCols, rs - j);
            const Index below = rs - j - w;
            A22.block(j, j, w, w)
                .selfadjointView<Eigen::Lower>()
                .rankUpdate(A21.middleRows(j, w), -1.0);
            A22.block(j + w, j, below, w).noalias() -=
                A21.bottomRows(below) * A21.middleRows(j, w).transpose();
            poller.add((below + w) * w * bs + 1);
        }
        poller.add(bs * bs * bs + 1);
    }
    return true;
}

// 0.5 (A + A'), in square tiles so that the transposed reads stay in cache.
MatrixXd symmetric_part(const MatrixXd& A, CancelPoller& poller) {
    const Index k = A.rows();
    MatrixXd out(k, k);
    for (Index j = 0; j < k; j += kStepCols) {
        const Index w = std::min(kStepCols, k - j);
        for (Index i = 0; i < k; i += kStepCols) {
            const Index h = std::min(kStepCols, k - i);
            out.block(i, j, h, w) = 0.5 * (A.block(i, j, h, w) + A.block(j, i, w, h).transpose());
        }
        poller.add(k * w + 1);
    }
    return out;
}

// Lower Cholesky factor of the symmetric part of A, with the least diagonal
// shift that makes it positive definite in floating point.
MatrixXd shifted_cholesky(const MatrixXd& A0, CancelPoller& poller) {
    const MatrixXd A = symmetric_part(A0, poller);
    const double scale = A.size() > 0 ? A.diagonal().cwiseAbs().maxCoeff() : 1.0;
    double shift = 0.0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        MatrixXd shifted = A;
        shifted.diagonal().array() += shift;
        if (cholesky_in_place(shifted, poller)) {
            shifted.triangularView<Eigen::StrictlyUpper>().setZero();
            return shifted;
        }
        shift = std::max({shift * 100.0, scale * 1e-14, 1e-300});
    }
    throw std::domain_error("the normal equations are not positive semi-definite");
}

double logdet_of_factor(const MatrixXd& L) { return 2.0 * L.diagonal().array().log().sum(); }

// L^-1 of a lower triangular L, a block of columns at a time: the columns from
// j on solve the trailing part of L alone.
MatrixXd lower_inverse(const MatrixXd& L, CancelPoller& poller) {
    const Index k = L.rows();
    MatrixXd inv = MatrixXd::Zero(k, k);
    for (Index j = 0; j < k; j += kStepCols) {
        const Index w = std::min(kStepCols, k - j);
        const Index m = k - j;
        inv.block(j, j, m, w) = L.bottomRightCorner(m, m).triangularView<Eigen::Lower>().solve(
            MatrixXd::Identity(m, w));
        poller.add(m * m * w + 1);
    }
    return inv;
}

// Eigenvalues (ascending) and eigenvectors of the symmetric matrix A, of which
// the lower triangle is read: Eigen's SelfAdjointEigenSolver step for step
// (Householder tridiagonalisation, the orthogonal factor formed in place,
// implicit symmetric QR steps, selection sort), with polls between the steps.
void symmetric_eigen(const MatrixXd& A, VectorXd& values, MatrixXd& vectors, CancelPoller& poller) {
    const Index n = A.rows();
    if (n == 1) {
        values = VectorXd::Constant(1, A(0, 0));
        vectors = MatrixXd::Ones(1, 1);
        return;
    }
    MatrixXd mat = A.triangularView<Eigen::Lower>();
    double scale = mat.cwiseAbs().maxCoeff();
    if (scale == 0.0) {
        scale = 1.0;
    }
    mat.triangularView<Eigen::Lower>() /= scale;
    VectorXd h(n - 1);
    for (Index i = 0; i < n - 1; ++i) {
        const Index rem = n - i - 1;
        double beta = 0.0;
        double tau = 0.0;
        mat.col(i).tail(rem).makeHouseholderInPlace(tau, beta);
        mat.col(i).coeffRef(i + 1) = 1;
        h.tail(rem).noalias() = mat.bottomRightCorner(rem, rem).selfadjointView<Eigen::Lower>() *
                                (tau * mat.col(i).tail(rem));
        h.tail(rem) +=
            (tau * -0.5 * (h.tail(rem).dot(mat.col(i).tail(rem)))) * mat.col(i).tail(rem);
        mat.bottomRightCorner(rem, rem).selfadjointView<Eigen::Lower>().rankUpdate(
            mat.col(i).tail(rem), h.tail(rem), -1.0);
        mat.col(i).coeffRef(i + 1) = beta;
        h.coeffRef(i) = tau;
        poller.add(4 * rem * rem + 1);
    }
    VectorXd diag = mat.diagonal();
    VectorXd subdiag = mat.diagonal<-1>();
    // The reflectors' product, formed in the matrix that holds them.
    VectorXd workspace(n);
    mat.diagonal().setOnes();
    mat.triangularView<Eigen::StrictlyUpper>().setZero();
    for (Index k = n - 2; k >= 0; --k) {
        const Index corner = n - k - 1;
        mat.bottomRightCorner(corner, corner)
            .applyHouseholderOnTheLeft(mat.col(k).tail(n - k - 2), h.coeff(k), workspace.data());
        mat.col(k).tail(n - k - 1).setZero();
        poller.add(4 * corner * corner + 1);
    }
    // Implicit QR steps on the tridiagonal matrix, the rotations applied to mat.
    constexpr Index kMaxIterations = 30;
    const double tiny = std::numeric_limits<double>::min();
    const double precision_inv = 1.0 / std::numeric_limits<double>::epsilon();
    Index end = n - 1;
    Index start = 0;
    Index iter = 0;
    while (end > 0) {
        for (Index i = start; i < end; ++i) {
            if (std::abs(subdiag[i]) < tiny) {
                subdiag[i] = 0.0;
            } else {
                const double scaled = precision_inv * subdiag[i];
                if (scaled * scaled <= (std::abs(diag[i]) + std::abs(diag[i + 1]))) {
                    subdiag[i] = 0.0;
                }
            }
        }
        while (end > 0 && subdiag[end - 1] == 0.0) {
            end--;
        }
        if (end <= 0) {
            break;
        }
        iter++;
        if (iter > kMaxIterations * n) {
            break;
        }
        start = end - 1;
        while (start > 0 && subdiag[start - 1] != 0) {
            start--;
        }
        Eigen::internal::tridiagonal_qr_step<Eigen::ColMajor>(diag.data(), subdiag.data(), start,
                                                              end, mat.data(), n);
        poller.add(6 * n * (end - start) + 1);
    }
    if (iter <= kMaxIterations * n) {
        for (Index i = 0; i < n - 1; ++i) {
            Index k = 0;
            diag.segment(i, n - i).minCoeff(&k);
            if (k > 0) {
                std::swap(diag[i], diag[k + i]);
                mat.col(i).swap(mat.col(k + i));
            }
        }
    }
    values = diag * scale;
    vectors = std::move(mat);
}

}  // namespace

PathReduction reduce_path(const MatrixRef& fixed, const MatrixRef& S, const CancelCheck& cancel) {
    const Index k = fixed.rows();
    if (fixed.cols() != k || S.rows() != k || S.cols() != k) {
        throw std::invalid_argument("reduce_path: fixed and S must be k x k");
    }
    PathReduction r;
    // The derivative penalties vanish exactly on the terms of total degree
    // below their order (constant, linear): those rows are exact zeros.
    // Rows with a non-zero, found column by column (S is column-major).
    std::vector<char> nonzero(static_cast<size_t>(k), 0);
    for (Index j = 0; j < k; ++j) {
        for (Index i = 0; i < k; ++i) {
            nonzero[static_cast<size_t>(i)] |= static_cast<char>(S(i, j) != 0.0);
        }
    }
    std::vector<Index> pos;
    for (Index i = 0; i < k; ++i) {
        if (nonzero[static_cast<size_t>(i)] != 0) {
            pos.push_back(i);
        }
    }
    r.m0 = k - static_cast<Index>(pos.size());
    CancelPoller poller(cancel);
    if (!pos.empty()) {
        // S is positive definite on the terms it penalises; the marginal
        // likelihood needs the log of the product of those eigenvalues.
        const Index p = static_cast<Index>(pos.size());
        MatrixXd block(p, p);
        for (Index b = 0; b < p; ++b) {
            for (Index a = 0; a < p; ++a) {
                block(a, b) = S(pos[static_cast<size_t>(a)], pos[static_cast<size_t>(b)]);
            }
        }
        r.logdet_s = logdet_of_factor(shifted_cholesky(block, poller));
    }
    // alpha balances the two matrices; where the ratio of their traces
    // overflows (a penalty of subnormal size), 1 keeps every entry finite.
    const double tr_s = S.trace();
    const double ratio = tr_s > 0.0 ? fixed.trace() / tr_s : 1.0;
    r.alpha = std::isfinite(ratio) ? ratio : 1.0;
    const MatrixXd L = shifted_cholesky(fixed + r.alpha * S, poller);
    r.logdet_base = logdet_of_factor(L);
    const MatrixXd Linv = lower_inverse(L, poller);
    // C = Linv fixed Linv', a block of columns at a time.
    MatrixXd M(k, k);
    for (Index j = 0; j < k; j += kStepCols) {
        const Index w = std::min(kStepCols, k - j);
        M.middleCols(j, w).noalias() = Linv.triangularView<Eigen::Lower>() * fixed.middleCols(j, w);
        poller.add(k * k * w + 1);
    }
    MatrixXd C(k, k);
    for (Index j = 0; j < k; j += kStepCols) {
        const Index w = std::min(kStepCols, k - j);
        C.middleCols(j, w).noalias() = M.leftCols(j + w) * Linv.block(j, 0, w, j + w).transpose();
        poller.add(k * (j + w) * w + 1);
    }
    VectorXd mu;
    MatrixXd U;
    symmetric_eigen(symmetric_part(C, poller), mu, U, poller);
    r.mu = mu.cwiseMax(0.0).cwiseMin(1.0);
    r.T.resize(k, k);
    for (Index j = 0; j < k; j += kStepCols) {
        const Index w = std::min(kStepCols, k - j);
        r.T.middleCols(j, w).noalias() =
            Linv.transpose().triangularView<Eigen::Upper>() * U.middleCols(j, w);
        poller.add(k * k * w + 1);
    }
    return r;
}

CholeskyInverse cholesky_inverse(const MatrixRef& A, const CancelCheck& cancel) {
    if (A.rows() != A.cols()) {
        throw std::invalid_argument("cholesky_inverse: A must be square");
    }
    CancelPoller poller(cancel);
    MatrixXd L = A;
    if (!cholesky_in_place(L, poller)) {
        throw std::domain_error("cholesky_inverse: A is not positive definite");
    }
    L.triangularView<Eigen::StrictlyUpper>().setZero();
    CholeskyInverse r;
    r.logdet = logdet_of_factor(L);
    r.Linv = lower_inverse(L, poller);
    return r;
}

MatrixXd criterion_grid(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
                        const VectorRef& lam, const CancelCheck& cancel) {
    check_columns(path, b2, yy);
    const Index t = b2.rows();
    const Index m = lam.size();
    const Index k = path.mu.size();
    MatrixXd A(k, m);  // fitted part of every column at every weight: b2 A
    VectorXd dof(m);
    VectorXd per(m);
    AtWeight w;
    for (Index g = 0; g < m; ++g) {
        fill_weight(path, lam[g], true, w);
        for (Index i = 0; i < k; ++i) {
            A(i, g) = fit_weight(path, w, i);
        }
        dof[g] = w.dof;
        per[g] = w.per;
    }
    const double nu = reml_nu(path);
    MatrixXd out(m, t);
    for_each_block(
        (t + kSearchBlock - 1) / kSearchBlock, search_pays(t, m, k),
        [&](Index blk) {
            const Index j0 = blk * kSearchBlock;
            const Index width = std::min(kSearchBlock, t - j0);
            const MatrixXd fit = A.transpose() * b2.middleRows(j0, width).transpose();  // m x width
            for (Index v = 0; v < width; ++v) {
                if (path.gcv) {
                    for (Index g = 0; g < m; ++g) {
                        out(g, j0 + v) = value_of(path, dof[g], per[g], yy[j0 + v], fit(g, v));
                    }
                    continue;
                }
                // REML: value_of's deviance and log, vectorised over the weights.
                const double y2 = yy[j0 + v];
                const Eigen::ArrayXd dev = (y2 - fit.col(v).array()).max(deviance_floor(y2));
                out.col(j0 + v) = (nu * dev.log() + per.array()).matrix();
            }
        },
        cancel);
    return out;
}

VectorXd criterion_paired(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
                          const VectorRef& lam) {
    check_columns(path, b2, yy);
    if (lam.size() != b2.rows()) {
        throw std::invalid_argument("criterion_paired: one weight per column is needed");
    }
    VectorXd out(b2.rows());
    AtWeight w;
    for (Index j = 0; j < b2.rows(); ++j) {
        fill_weight(path, lam[j], true, w);
        out[j] = value_at(path, w, b2.data() + j * b2.outerStride(), yy[j]);
    }
    return out;
}

PairedFits fits_at(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
                   const VectorRef& lam) {
    check_columns(path, b2, yy);
    const Index t = b2.rows();
    const Index k = path.mu.size();
    if (lam.size() != t) {
        throw std::invalid_argument("fits_at: one weight per column is needed");
    }
    PairedFits out{MatrixXd(t, k), VectorXd(t), VectorXd(t)};
    AtWeight w;
    for (Index j = 0; j < t; ++j) {
        fill_weight(path, lam[j], false, w);
        const double* row = b2.data() + j * b2.outerStride();
        double removed = 0.0;
        for (Index i = 0; i < k; ++i) {
            out.d(j, i) = w.d[static_cast<size_t>(i)];
            removed += row[i] * rss_weight(path, w, i);
        }
        out.edf[j] = w.edf;
        out.rss[j] = std::max(yy[j] - removed, 0.0);
    }
    return out;
}

WeightChoice choose_weights(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
                            const VectorRef& grid, bool shared, const CancelCheck& cancel) {
    check_columns(path, b2, yy);
    const Index t = b2.rows();
    const Index m = grid.size();
    if (m == 0) {
        throw std::invalid_argument("choose_weights: the grid is empty");
    }
    VectorXd lam_grid(m);
    for (Index g = 0; g < m; ++g) {
        lam_grid[g] = std::pow(10.0, grid[g]);
    }
    const MatrixXd values = criterion_grid(path, b2, yy, lam_grid, cancel);
    WeightChoice out{VectorXd(t), VectorXd(t)};
    const auto row = [&b2](Index j) { return b2.data() + j * b2.outerStride(); };
    if (shared) {
        const VectorXd total = values.rowwise().sum();
        const Index i = argmin(total.data(), m, 1);
        AtWeight w;
        double x = refine(grid, i, [&](double lam, double& f1, double& f2) {
            fill_weight(path, lam, false, w);
            f1 = f2 = 0.0;
            for (Index j = 0; j < t; ++j) {
                double a = 0.0;
                double b = 0.0;
                slopes_at(path, w, row(j), yy[j], a, b);
                f1 += a;
                f2 += b;
            }
        });
        fill_weight(path, std::pow(10.0, x), true, w);
        double value = 0.0;
        for (Index j = 0; j < t; ++j) {
            value += value_at(path, w, row(j), yy[j]);
        }
        if (total[i] < value) {
            x = grid[i];
        }
        out.lam.setConstant(std::pow(10.0, x));
        out.value = criterion_paired(path, b2, yy, out.lam);
        return out;
    }
    for_each_block((t + kSearchBlock - 1) / kSearchBlock, search_pays(t, m, path.mu.size()),
                   [&](Index blk) {
                       AtWeight w;
                       for (Index j = blk * kSearchBlock; j < std::min(t, (blk + 1) * kSearchBlock);
                            ++j) {
                           const Index i = argmin(values.data() + j * m, m, 1);
                           double x = refine(grid, i, [&](double lam, double& f1, double& f2) {
                               fill_weight(path, lam, false, w);
                               slopes_at(path, w, row(j), yy[j], f1, f2);
                           });
                           fill_weight(path, std::pow(10.0, x), true, w);
                           double value = value_at(path, w, row(j), yy[j]);
                           if (values(i, j) < value) {
                               x = grid[i];
                               value = values(i, j);
                           }
                           out.lam[j] = std::pow(10.0, x);
                           out.value[j] = value;
                       }
                   },
                   cancel);
    return out;
}

}  // namespace zorp
