// Python module of the kernels for many target columns at once. Conversion and
// registration only: each wrapper converts its arguments, calls one native
// function and converts the result back.
#include <pybind11/eigen.h>
#include <pybind11/pybind11.h>

#include "columns.hpp"
#include "parallel.hpp"
#include "types.hpp"

namespace py = pybind11;

PYBIND11_MODULE(zorp_columns, m) {
    using zorp::MatrixRef;
    using zorp::RowMatrixRef;
    using zorp::VectorRef;

    m.doc() = "Native kernels for many target columns fitted on one design.";
    zorp::install_fork_handler();

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
}
