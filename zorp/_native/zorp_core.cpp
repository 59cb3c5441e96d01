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

    // Multi-dimensional bases and penalties.
    m.def(
        "design_matrix_nd",
        [](const std::vector<zorp::MultiIndex>& multi_indices,
           const std::vector<VectorXd>& X_cols) {
            return zorp::design_matrix_nd(multi_indices, X_cols);
        },
        py::arg("multi_indices"), py::arg("X_cols"));
    m.def(
        "build_penalty_matrices_nd",
        [](const std::vector<int>& degrees, const std::vector<std::pair<double, double>>& bounds,
           int n_grid_per_dim)
            -> py::typing::Tuple<MatrixXd, MatrixXd, std::vector<zorp::MultiIndex>> {
            zorp::PenaltyMatricesND r =
                zorp::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim);
            return py::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
        },
        py::arg("degrees"), py::arg("bounds"), py::arg("n_grid_per_dim") = 30);

    // Linear estimation.

    // Gibbs entropy.

    // Tournament MCMC sampler.
}
