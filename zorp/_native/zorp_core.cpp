// Python module definition and bindings. Conversion and registration only:
// every wrapper converts its arguments, calls one native function and converts
// the result back.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bases.hpp"
#include "estimation.hpp"
#include "sampler.hpp"
#include "stats.hpp"
#include "types.hpp"

namespace py = pybind11;

PYBIND11_MODULE(zorp_core, m) {
    using zorp::MatrixXd;
    using zorp::VectorXd;

    m.doc() = "ZORP-P performans-kritik cekirdegi (C++/Eigen).";

    // Robust statistics.
    m.def("mad", [](const VectorXd& y) { return zorp::mad(y); }, py::arg("y"));
    m.def(
        "compute_sr",
        [](const VectorXd& yp, const VectorXd& yt, double eps) {
            return zorp::compute_SR(yp, yt, eps);
        },
        py::arg("yp"), py::arg("yt"), py::arg("eps"));

    // Description-length score.

    // One-dimensional bases and penalties.
    m.def(
        "design_matrix_1d",
        [](int deg, const VectorXd& x) { return zorp::design_matrix_1d(deg, x); }, py::arg("deg"),
        py::arg("x"));
    m.def(
        "smoothness_penalty_matrices_1d",
        [](int deg, double x_min, double x_max,
           int n_grid) -> py::typing::Tuple<MatrixXd, MatrixXd> {
            zorp::PenaltyMatrices1D r =
                zorp::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid);
            return py::make_tuple(std::move(r.R1), std::move(r.R2));
        },
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"), py::arg("n_grid") = 600);
    m.def(
        "boundary_reduce_1d",
        [](int deg, double x_min, double x_max) {
            return zorp::boundary_reduce_1d(deg, x_min, x_max);
        },
        py::arg("deg"), py::arg("x_min"), py::arg("x_max"));

    // Multi-dimensional bases and penalties.

    // Linear estimation.
    m.def(
        "ols", [](const MatrixXd& X, const VectorXd& y) { return zorp::ols(X, y); }, py::arg("X"),
        py::arg("y"));
    m.def(
        "fit_regularized_linear",
        [](const MatrixXd& Phi, const VectorXd& y, const py::object& R1, const py::object& R2,
           double gamma1, double gamma2, double ridge) {
            // None means an absent penalty; anything else is converted into a
            // matrix that lives until the call returns (a failed cast raises).
            MatrixXd m1;
            MatrixXd m2;
            const MatrixXd* p1 = nullptr;
            const MatrixXd* p2 = nullptr;
            if (!R1.is_none()) {
                m1 = py::cast<MatrixXd>(R1);
                p1 = &m1;
            }
            if (!R2.is_none()) {
                m2 = py::cast<MatrixXd>(R2);
                p2 = &m2;
            }
            return zorp::fit_regularized_linear(Phi, y, p1, p2, gamma1, gamma2, ridge);
        },
        py::arg("Phi"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
        py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0, py::arg("ridge") = 1e-10);

    // Gibbs entropy.

    // Tournament MCMC sampler.
}
