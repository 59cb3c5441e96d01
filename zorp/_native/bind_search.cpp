// Registration of the choice of the smoothness weight: the reduction of a
// basis's normal matrix and the criterion over weights. Each wrapper converts
// and checks its arguments, runs one native function with the GIL released
// and converts the result back.
#include <pybind11/eigen.h>

#include "bind_common.hpp"
#include "search.hpp"

namespace zorp_kernels {

namespace {

// The reduced problem's parts, checked, and the columns' b2 (t, k) and yy (t).
// Infinite b2 and yy are data (finite targets whose squares overflow), and a
// NaN there gives NaN criterion values, which the minimum then picks.
struct Reduced {
    zorp::ReducedPath path;
    MatrixArg b2;
    VectorArg yy;
};

Reduced reduced(const char* fn, const py::object& mu_in, double alpha, double n, zorp::Index m0,
                double logdet, bool gcv, const py::object& b2_in, const py::object& yy_in) {
    const VectorArg mu(mu_in, fn, "mu");
    const zorp::Index k = mu.size();
    if (k == 0) {
        refuse(fn, "mu is empty");
    }
    require_finite(fn, mu);
    require_finite(fn, "alpha", alpha);
    if (!(alpha > 0.0)) {
        refuse(fn, "alpha must be positive");
    }
    require_finite(fn, "n", n);
    require_finite(fn, "logdet", logdet);
    if (m0 < 0 || m0 > k) {
        refuse(fn, "m0 must lie in [0, len(mu)]");
    }
    Reduced r{zorp::ReducedPath{mu.view(), alpha, n, m0, logdet, gcv},
              MatrixArg(b2_in, fn, "b2", Order::rows), VectorArg(yy_in, fn, "yy")};
    if (r.b2.cols() != k) {
        refuse(fn, "b2 has " + std::to_string(r.b2.cols()) + " columns, mu has length " +
                       std::to_string(k));
    }
    require_size(fn, r.yy, r.b2.rows(), "the number of rows of b2");
    return r;
}

// Weights, one per column of b2 when `paired`.
VectorArg weights(const char* fn, const char* name, const py::object& lam_in, const Reduced& r,
                  bool paired) {
    VectorArg lam(lam_in, fn, name);
    if (paired) {
        require_size(fn, lam, r.b2.rows(), "the number of rows of b2");
    }
    require_finite(fn, lam);
    return lam;
}

}  // namespace

void bind_search(py::module_& m, const zorp::CancelCheck& cancel) {
    m.def(
        "reduce_path",
        [cancel](const py::object& fixed_in, const py::object& S_in) {
            constexpr const char* fn = "reduce_path";
            const MatrixArg fixed(fixed_in, fn, "fixed", Order::cols);
            const MatrixArg S(S_in, fn, "S", Order::cols);
            require_nonempty(fn, fixed);
            if (fixed.rows() != fixed.cols()) {
                refuse(fn, "fixed must be square");
            }
            if (S.rows() != fixed.rows() || S.cols() != fixed.cols()) {
                refuse(fn, "S must have the shape of fixed");
            }
            require_finite(fn, fixed);
            require_finite(fn, S);
            const zorp::PathReduction r = without_gil(
                [&] { return zorp::reduce_path(fixed.cols_view(), S.cols_view(), cancel); });
            return py::make_tuple(r.mu, r.T, r.alpha, r.logdet_base, r.logdet_s, r.m0);
        },
        "reduce_path(fixed, S)\n\n"
        "(mu, T, alpha, logdet_base, logdet_s, m0) of the normal matrix fixed + lam S:\n"
        "fixed + alpha S = L L', L^-1 fixed L^-T = U diag(mu) U', T = L^-T U.",
        py::arg("fixed"), py::arg("S"));

    m.def(
        "cholesky_inverse",
        [cancel](const py::object& A_in) {
            constexpr const char* fn = "cholesky_inverse";
            const MatrixArg A(A_in, fn, "A", Order::cols);
            require_nonempty(fn, A);
            if (A.rows() != A.cols()) {
                refuse(fn, "A must be square");
            }
            require_finite(fn, A);
            const zorp::CholeskyInverse r =
                without_gil([&] { return zorp::cholesky_inverse(A.cols_view(), cancel); });
            return py::make_tuple(r.Linv, r.logdet);
        },
        "cholesky_inverse(A)\n\n"
        "(Linv, logdet): the inverse of the lower Cholesky factor of the symmetric\n"
        "positive definite A (A = L L') and log det A; ValueError when A is not\n"
        "positive definite.",
        py::arg("A"));

    m.def(
        "criterion",
        [cancel](const py::object& mu, double alpha, double n, zorp::Index m0, double logdet,
                 bool gcv, const py::object& b2, const py::object& yy, const py::object& lam_in,
                 bool paired) -> py::object {
            constexpr const char* fn = "criterion";
            const Reduced r = reduced(fn, mu, alpha, n, m0, logdet, gcv, b2, yy);
            const VectorArg lam = weights(fn, "lam", lam_in, r, paired);
            if (paired) {
                return py::cast(without_gil([&] {
                    return zorp::criterion_paired(r.path, r.b2.rows_view(), r.yy.view(),
                                                  lam.view());
                }));
            }
            return py::cast(without_gil([&] {
                return zorp::criterion_grid(r.path, r.b2.rows_view(), r.yy.view(), lam.view(),
                                            cancel);
            }));
        },
        "criterion(mu, alpha, n, m0, logdet, gcv, b2, yy, lam, paired)\n\n"
        "Criterion values of columns b2 (t, k), yy (t): (m, t) at every weight lam (m),\n"
        "or with `paired` (t,), column j at its own weight lam[j].",
        py::arg("mu"), py::arg("alpha"), py::arg("n"), py::arg("m0"), py::arg("logdet"),
        py::arg("gcv"), py::arg("b2"), py::arg("yy"), py::arg("lam"), py::arg("paired"));

    m.def(
        "fits_at",
        [](const py::object& mu, double alpha, double n, zorp::Index m0, const py::object& b2,
           const py::object& yy, const py::object& lam_in) {
            constexpr const char* fn = "fits_at";
            const Reduced r = reduced(fn, mu, alpha, n, m0, 0.0, false, b2, yy);
            const VectorArg lam = weights(fn, "lam", lam_in, r, true);
            const zorp::PairedFits f = without_gil(
                [&] { return zorp::fits_at(r.path, r.b2.rows_view(), r.yy.view(), lam.view()); });
            return py::make_tuple(f.d, f.edf, f.rss);
        },
        "fits_at(mu, alpha, n, m0, b2, yy, lam)\n\n"
        "(d (t, k), edf (t), rss (t)) of the fit of column j at its own weight lam[j].",
        py::arg("mu"), py::arg("alpha"), py::arg("n"), py::arg("m0"), py::arg("b2"), py::arg("yy"),
        py::arg("lam"));

    m.def(
        "choose_weights",
        [cancel](const py::object& mu, double alpha, double n, zorp::Index m0, double logdet,
                 bool gcv, const py::object& b2, const py::object& yy, const py::object& grid_in,
                 bool shared) {
            constexpr const char* fn = "choose_weights";
            const Reduced r = reduced(fn, mu, alpha, n, m0, logdet, gcv, b2, yy);
            const VectorArg grid = weights(fn, "grid", grid_in, r, false);
            if (grid.size() == 0) {
                refuse(fn, "grid is empty");
            }
            const zorp::WeightChoice c = without_gil([&] {
                return zorp::choose_weights(r.path, r.b2.rows_view(), r.yy.view(), grid.view(),
                                            shared, cancel);
            });
            return py::make_tuple(c.lam, c.value);
        },
        "choose_weights(mu, alpha, n, m0, logdet, gcv, b2, yy, grid, shared)\n\n"
        "Weights (t) minimising each column's criterion (or, shared, their sum) from\n"
        "the grid (log10) with Newton refinement, and the criterion values there.",
        py::arg("mu"), py::arg("alpha"), py::arg("n"), py::arg("m0"), py::arg("logdet"),
        py::arg("gcv"), py::arg("b2"), py::arg("yy"), py::arg("grid"), py::arg("shared"));
}

}  // namespace zorp_kernels
