// Python module of the kernels for many target columns at once. Conversion and
// registration only: each wrapper converts its arguments, calls one native
// function and converts the result back.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include "columns.hpp"
#include "parallel.hpp"
#include "search.hpp"
#include "types.hpp"

namespace py = pybind11;

PYBIND11_MODULE(zorp_columns, m) {
    using zorp::MatrixRef;
    using zorp::RowMatrixRef;
    using zorp::VectorRef;
    using zorp::VectorXd;

    m.doc() = "Native kernels for many target columns fitted on one design.";
    zorp::install_fork_handler();

    constexpr const char* cross_doc =
        "column_cross(Phi, Y, w)\n\n"
        "Phi' W Y (k, t) and the weighted sums of squares of the columns of Y (n, t),\n"
        "for row weights w (n,) or an empty array for unit weights.";
    const auto cross_result = [](const zorp::ColumnCross& c) {
        return py::make_tuple(c.cross, c.yy);
    };
    m.def(
        "column_cross",
        [cross_result](const MatrixRef& Phi, const RowMatrixRef& Y, const VectorRef& w) {
            return cross_result(zorp::column_cross(Phi, Y, w));
        },
        cross_doc, py::arg("Phi"), py::arg("Y").noconvert(), py::arg("w"));
    m.def(
        "column_cross",
        [cross_result](const MatrixRef& Phi, const MatrixRef& Y, const VectorRef& w) {
            return cross_result(zorp::column_cross(Phi, Y, w));
        },
        py::arg("Phi"), py::arg("Y"), py::arg("w"));

    m.def(
        "score_tolerances", [](const VectorRef& m) { return zorp::score_tolerances(m); },
        "The description-length score's hit tolerance for each median absolute deviation.",
        py::arg("m"));
    m.def(
        "product", [](const MatrixRef& A, const MatrixRef& B) { return zorp::product(A, B); },
        "A @ B on the calling thread, without waking a BLAS thread pool.", py::arg("A"),
        py::arg("B"));

    constexpr const char* mads_doc =
        "column_mads(Y)\n\n"
        "Per column of Y (n, t): the unscaled median absolute deviation about the\n"
        "median, equal to mad() of that column.";
    m.def(
        "column_mads", [](const RowMatrixRef& Y) { return zorp::column_mads(Y); }, mads_doc,
        py::arg("Y").noconvert());
    m.def(
        "column_mads", [](const MatrixRef& Y) { return zorp::column_mads(Y); }, py::arg("Y"));

    constexpr const char* hit_counts_doc =
        "column_hit_counts(Phi, Y, coef, eps)\n\n"
        "Per column j of Y (n, t): the number of rows i with\n"
        "|Y[i, j] - Phi[i] @ coef[j]| < eps[j], for Phi (n, k) and coef (t, k).";
    // Y is read in place in either memory order: the first overload takes a
    // C-ordered array, the second a Fortran-ordered one (anything else is
    // converted once by the first).
    m.def(
        "column_hit_counts",
        [](const MatrixRef& Phi, const RowMatrixRef& Y, const RowMatrixRef& coef,
           const VectorRef& eps) { return zorp::column_hit_counts(Phi, Y, coef, eps); },
        hit_counts_doc, py::arg("Phi"), py::arg("Y").noconvert(), py::arg("coef"), py::arg("eps"));
    m.def(
        "column_hit_counts",
        [](const MatrixRef& Phi, const MatrixRef& Y, const RowMatrixRef& coef,
           const VectorRef& eps) { return zorp::column_hit_counts(Phi, Y, coef, eps); },
        py::arg("Phi"), py::arg("Y"), py::arg("coef"), py::arg("eps"));

    m.def(
        "reduce_path",
        [](const MatrixRef& fixed, const MatrixRef& S) {
            const zorp::PathReduction r = zorp::reduce_path(fixed, S);
            return py::make_tuple(r.mu, r.T, r.alpha, r.logdet_base, r.logdet_s, r.m0);
        },
        "(mu, T, alpha, logdet_base, logdet_s, m0) of the normal matrix fixed + lam S:\n"
        "fixed + alpha S = L L', L^-1 fixed L^-T = U diag(mu) U', T = L^-T U.",
        py::arg("fixed"), py::arg("S"));

    // Choice of the smoothness weight; the reduced problem comes as its parts.
    const auto path = [](const VectorXd& mu, double alpha, double n, zorp::Index m0, double logdet,
                         bool gcv) { return zorp::ReducedPath{mu, alpha, n, m0, logdet, gcv}; };
    m.def(
        "criterion",
        [path](const VectorXd& mu, double alpha, double n, zorp::Index m0, double logdet, bool gcv,
               const RowMatrixRef& b2, const VectorRef& yy, const VectorRef& lam,
               bool paired) -> py::object {
            const zorp::ReducedPath p = path(mu, alpha, n, m0, logdet, gcv);
            if (paired) {
                return py::cast(zorp::criterion_paired(p, b2, yy, lam));
            }
            return py::cast(zorp::criterion_grid(p, b2, yy, lam));
        },
        "Criterion values of columns b2 (t, k), yy (t): (m, t) at every weight lam (m),\n"
        "or with `paired` (t,), column j at its own weight lam[j].",
        py::arg("mu"), py::arg("alpha"), py::arg("n"), py::arg("m0"), py::arg("logdet"),
        py::arg("gcv"), py::arg("b2"), py::arg("yy"), py::arg("lam"), py::arg("paired"));
    m.def(
        "fits_at",
        [path](const VectorXd& mu, double alpha, double n, zorp::Index m0, const RowMatrixRef& b2,
               const VectorRef& yy, const VectorRef& lam) {
            const zorp::PairedFits f =
                zorp::fits_at(path(mu, alpha, n, m0, 0.0, false), b2, yy, lam);
            return py::make_tuple(f.d, f.edf, f.rss);
        },
        "(d (t, k), edf (t), rss (t)) of the fit of column j at its own weight lam[j].",
        py::arg("mu"), py::arg("alpha"), py::arg("n"), py::arg("m0"), py::arg("b2"), py::arg("yy"),
        py::arg("lam"));
    m.def(
        "choose_weights",
        [path](const VectorXd& mu, double alpha, double n, zorp::Index m0, double logdet, bool gcv,
               const RowMatrixRef& b2, const VectorRef& yy, const VectorRef& grid, bool shared) {
            const zorp::WeightChoice c =
                zorp::choose_weights(path(mu, alpha, n, m0, logdet, gcv), b2, yy, grid, shared);
            return py::make_tuple(c.lam, c.value);
        },
        "Weights (t) minimising each column's criterion (or, shared, their sum) from\n"
        "the grid (log10) with Newton refinement, and the criterion values there.",
        py::arg("mu"), py::arg("alpha"), py::arg("n"), py::arg("m0"), py::arg("logdet"),
        py::arg("gcv"), py::arg("b2"), py::arg("yy"), py::arg("grid"), py::arg("shared"));
}
