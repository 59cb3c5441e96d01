// Registration of the kernels for many target columns fitted on one design, and
// of the Gram matrix. Each wrapper converts and checks its arguments, runs one
// native function with the GIL released and converts the result back.
#include <pybind11/eigen.h>

#include "bind_common.hpp"
#include "columns.hpp"

namespace zorp_kernels {

namespace {

// Row weights: empty for unit weights, else one finite value per row.
void check_weights(const char* fn, const VectorArg& w, zorp::Index n) {
    if (w.size() > 0) {
        require_size(fn, w, n, "the number of rows of Phi");
        require_finite(fn, w);
    }
}

// A design matrix: rows and columns, finite values.
void check_design(const char* fn, const MatrixArg& Phi) {
    require_nonempty(fn, Phi);
    require_finite(fn, Phi);
}

void check_rows(const char* fn, const MatrixArg& a, const MatrixArg& b) {
    if (a.rows() != b.rows()) {
        refuse(fn, std::string(b.name()) + " has " + std::to_string(b.rows()) + " rows, " +
                       a.name() + " has " + std::to_string(a.rows()));
    }
}

}  // namespace

void bind_columns(py::module_& m, const zorp::CancelCheck& cancel) {
    m.def(
        "column_cross",
        [cancel](const py::object& Phi_in, const py::object& Y_in, const py::object& w_in) {
            constexpr const char* fn = "column_cross";
            const MatrixArg Phi(Phi_in, fn, "Phi", Order::cols);
            const MatrixArg Y(Y_in, fn, "Y");
            const VectorArg w(w_in, fn, "w");
            check_design(fn, Phi);
            check_rows(fn, Phi, Y);
            check_weights(fn, w, Phi.rows());
            const zorp::ColumnCross c = without_gil([&] {
                return Y.visit([&](const auto& y) {
                    return zorp::column_cross(Phi.cols_view(), y, w.view(), cancel);
                });
            });
            return py::make_tuple(c.cross, c.yy);
        },
        "column_cross(Phi, Y, w)\n\n"
        "Phi' W Y (k, t) and the weighted sums of squares of the columns of Y (n, t),\n"
        "for row weights w (n,) or an empty array for unit weights. A NaN or infinity\n"
        "in Y shows in its column's sum of squares.",
        py::arg("Phi"), py::arg("Y"), py::arg("w"));

    m.def(
        "gram",
        [cancel](const py::object& Phi_in, const py::object& w_in) {
            constexpr const char* fn = "gram";
            const MatrixArg Phi(Phi_in, fn, "Phi");
            const VectorArg w(w_in, fn, "w");
            check_design(fn, Phi);
            check_weights(fn, w, Phi.rows());
            return without_gil([&] {
                return Phi.visit([&](const auto& p) { return zorp::gram(p, w.view(), cancel); });
            });
        },
        "gram(Phi, w)\n\n"
        "Phi' W Phi (k, k) for the design Phi (n, k) and row weights w (n,), or an\n"
        "empty w for unit weights: exactly symmetric, and the same to the last bit\n"
        "whatever the number of threads.",
        py::arg("Phi"), py::arg("w"));

    m.def(
        "score_tolerances",
        [](const py::object& m_in) {
            const VectorArg mads(m_in, "score_tolerances", "m");
            return zorp::score_tolerances(mads.view());
        },
        "score_tolerances(m)\n\n"
        "The description-length score's hit tolerance for each median absolute deviation.",
        py::arg("m"));

    m.def(
        "product",
        [](const py::object& A_in, const py::object& B_in) {
            constexpr const char* fn = "product";
            const MatrixArg A(A_in, fn, "A", Order::cols);
            const MatrixArg B(B_in, fn, "B", Order::cols);
            if (A.cols() != B.rows()) {
                refuse(fn, "A has " + std::to_string(A.cols()) + " columns, B has " +
                               std::to_string(B.rows()) + " rows");
            }
            return without_gil([&] { return zorp::product(A.cols_view(), B.cols_view()); });
        },
        "product(A, B)\n\nA @ B on the calling thread, without waking a BLAS thread pool.",
        py::arg("A"), py::arg("B"));

    m.def(
        "column_mads",
        [cancel](const py::object& Y_in) {
            const MatrixArg Y(Y_in, "column_mads", "Y");
            return without_gil([&] {
                return Y.visit([&](const auto& y) { return zorp::column_mads(y, cancel); });
            });
        },
        "column_mads(Y)\n\n"
        "Per column of Y (n, t): the unscaled median absolute deviation about the\n"
        "median, equal to mad() of that column (0.0 for n = 0, NaN for a column\n"
        "holding a NaN).",
        py::arg("Y"));

    m.def(
        "column_hit_counts",
        [cancel](const py::object& Phi_in, const py::object& Y_in, const py::object& coef_in,
                 const py::object& eps_in) {
            constexpr const char* fn = "column_hit_counts";
            const MatrixArg Phi(Phi_in, fn, "Phi", Order::cols);
            const MatrixArg Y(Y_in, fn, "Y");
            const MatrixArg coef(coef_in, fn, "coef", Order::rows);
            const VectorArg eps(eps_in, fn, "eps");
            check_design(fn, Phi);
            check_rows(fn, Phi, Y);
            if (coef.rows() != Y.cols() || coef.cols() != Phi.cols()) {
                refuse(fn, "coef must be " + std::to_string(Y.cols()) + " x " +
                               std::to_string(Phi.cols()) + " (columns of Y x columns of Phi)");
            }
            require_size(fn, eps, Y.cols(), "the number of columns of Y");
            return without_gil([&] {
                return Y.visit([&](const auto& y) {
                    return zorp::column_hit_counts(Phi.cols_view(), y, coef.rows_view(), eps.view(),
                                                   cancel);
                });
            });
        },
        "column_hit_counts(Phi, Y, coef, eps)\n\n"
        "Per column j of Y (n, t): the number of rows i with\n"
        "|Y[i, j] - Phi[i] @ coef[j]| < eps[j], for Phi (n, k) and coef (t, k).",
        py::arg("Phi"), py::arg("Y"), py::arg("coef"), py::arg("eps"));
}

}  // namespace zorp_kernels
