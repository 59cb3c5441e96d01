#include "search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
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

// Lower Cholesky factor of the symmetric part of A, with the least diagonal
// shift that makes it positive definite in floating point.
MatrixXd shifted_cholesky(const MatrixXd& A0) {
    const MatrixXd A = 0.5 * (A0 + A0.transpose());
    const double scale = A.size() > 0 ? A.diagonal().cwiseAbs().maxCoeff() : 1.0;
    double shift = 0.0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        MatrixXd shifted = A;
        shifted.diagonal().array() += shift;
        const Eigen::LLT<MatrixXd> llt(shifted);
        if (llt.info() == Eigen::Success) {
            return llt.matrixL();
        }
        shift = std::max({shift * 100.0, scale * 1e-14, 1e-300});
    }
    throw std::domain_error("the normal equations are not positive semi-definite");
}

double logdet_of_factor(const MatrixXd& L) { return 2.0 * L.diagonal().array().log().sum(); }

}  // namespace

PathReduction reduce_path(const MatrixRef& fixed, const MatrixRef& S) {
    const Index k = fixed.rows();
    if (fixed.cols() != k || S.rows() != k || S.cols() != k) {
        throw std::invalid_argument("reduce_path: fixed and S must be k x k");
    }
    PathReduction r;
    // The derivative penalties vanish exactly on the terms of total degree
    // below their order (constant, linear): those rows are exact zeros.
    std::vector<Index> pos;
    for (Index i = 0; i < k; ++i) {
        if ((S.row(i).array() != 0.0).any()) {
            pos.push_back(i);
        }
    }
    r.m0 = k - static_cast<Index>(pos.size());
    if (!pos.empty()) {
        // S is positive definite on the terms it penalises; the marginal
        // likelihood needs the log of the product of those eigenvalues.
        const Index p = static_cast<Index>(pos.size());
        MatrixXd block(p, p);
        for (Index a = 0; a < p; ++a) {
            for (Index b = 0; b < p; ++b) {
                block(a, b) = S(pos[static_cast<size_t>(a)], pos[static_cast<size_t>(b)]);
            }
        }
        r.logdet_s = logdet_of_factor(shifted_cholesky(block));
    }
    const double tr_s = S.trace();
    r.alpha = tr_s > 0.0 ? fixed.trace() / tr_s : 1.0;
    const MatrixXd L = shifted_cholesky(fixed + r.alpha * S);
    r.logdet_base = logdet_of_factor(L);
    const MatrixXd Linv = L.triangularView<Eigen::Lower>().solve(MatrixXd::Identity(k, k));
    const MatrixXd C = Linv * fixed * Linv.transpose();
    const Eigen::SelfAdjointEigenSolver<MatrixXd> eig(0.5 * (C + C.transpose()));
    r.mu = eig.eigenvalues().cwiseMax(0.0).cwiseMin(1.0);
    r.T = Linv.transpose() * eig.eigenvectors();
    return r;
}

MatrixXd criterion_grid(const ReducedPath& path, const RowMatrixRef& b2, const VectorRef& yy,
                        const VectorRef& lam) {
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
    for_each_block((t + kSearchBlock - 1) / kSearchBlock, search_pays(t, m, k), [&](Index blk) {
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
    });
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
                            const VectorRef& grid, bool shared) {
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
    const MatrixXd values = criterion_grid(path, b2, yy, lam_grid);
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
    for_each_block(
        (t + kSearchBlock - 1) / kSearchBlock, search_pays(t, m, path.mu.size()), [&](Index blk) {
            AtWeight w;
            for (Index j = blk * kSearchBlock; j < std::min(t, (blk + 1) * kSearchBlock); ++j) {
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
        });
    return out;
}

}  // namespace zorp
