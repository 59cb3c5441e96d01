// Python module definition and bindings. Conversion and registration only:
// every wrapper converts its arguments, calls one native function and converts
// the result back.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bases.hpp"
#include "docstrings.hpp"
#include "estimation.hpp"
#include "sampler.hpp"
#include "stats.hpp"
#include "types.hpp"

namespace py = pybind11;

namespace {

// Optional penalty matrix argument: None is absent (a null pointer); anything
// else is converted to an owned matrix that lives as long as this object. A
// failed conversion raises pybind11's cast error.
class OptionalMatrix {
  public:
    explicit OptionalMatrix(const py::object& obj) {
        if (!obj.is_none()) {
            value_ = py::cast<zorp::MatrixXd>(obj);
            present_ = true;
        }
    }
    const zorp::MatrixXd* get() const { return present_ ? &value_ : nullptr; }

  private:
    zorp::MatrixXd value_;
    bool present_ = false;
};

}  // namespace

PYBIND11_MODULE(zorp_core, m) {
    using zorp::MatrixXd;
    using zorp::VectorXd;

    m.doc() = "ZORP-P performans-kritik cekirdegi (C++/Eigen).";

    // Robust statistics.
    m.def(
        "mad", [](const VectorXd& y) { return zorp::mad(y); }, zorp::doc::mad, py::arg("y"));
    m.def(
        "compute_sr",
        [](const VectorXd& yp, const VectorXd& yt, double eps) {
            return zorp::compute_SR(yp, yt, eps);
        },
        zorp::doc::compute_sr, py::arg("yp"), py::arg("yt"), py::arg("eps"));

    // Description-length score.
    m.def(
        "mdl_score",
        [](const VectorXd& yp, const VectorXd& yt, int k, int H) {
            return zorp::mdl_score(yp, yt, k, H, nullptr, nullptr);
        },
        zorp::doc::mdl_score, py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H") = 20);
    m.def(
        "mdl_score_reg",
        [](const VectorXd& yp, const VectorXd& yt, int k, int H, const VectorXd& beta,
           const MatrixXd& R1, const MatrixXd& R2, double gamma1, double gamma2) {
            const zorp::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return zorp::mdl_score(yp, yt, k, H, &beta, &pen);
        },
        zorp::doc::mdl_score_reg, py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H"), py::arg("beta"), py::arg("R1"),
        py::arg("R2"), py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);

    // One-dimensional bases and penalties.
    m.def(
        "design_matrix_1d",
        [](int deg, const VectorXd& x) { return zorp::design_matrix_1d(deg, x); }, zorp::doc::design_matrix_1d, py::arg("deg"),
        py::arg("x"));
    m.def(
        "smoothness_penalty_matrices_1d",
        [](int deg, double x_min, double x_max,
           int n_grid) -> py::typing::Tuple<MatrixXd, MatrixXd> {
            zorp::PenaltyMatrices1D r =
                zorp::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid);
            return py::make_tuple(std::move(r.R1), std::move(r.R2));
        },
        zorp::doc::smoothness_penalty_matrices_1d, py::arg("deg"), py::arg("x_min"), py::arg("x_max"), py::arg("n_grid") = 600);
    m.def(
        "boundary_reduce_1d",
        [](int deg, double x_min, double x_max) {
            return zorp::boundary_reduce_1d(deg, x_min, x_max);
        },
        zorp::doc::boundary_reduce_1d, py::arg("deg"), py::arg("x_min"), py::arg("x_max"));

    // Multi-dimensional bases and penalties.
    m.def(
        "design_matrix_nd",
        [](const std::vector<zorp::MultiIndex>& multi_indices,
           const std::vector<VectorXd>& X_cols) {
            return zorp::design_matrix_nd(multi_indices, X_cols);
        },
        zorp::doc::design_matrix_nd, py::arg("multi_indices"), py::arg("X_cols"));
    m.def(
        "build_penalty_matrices_nd",
        [](const std::vector<int>& degrees, const std::vector<std::pair<double, double>>& bounds,
           int n_grid_per_dim)
            -> py::typing::Tuple<MatrixXd, MatrixXd, std::vector<zorp::MultiIndex>> {
            zorp::PenaltyMatricesND r =
                zorp::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim);
            return py::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
        },
        zorp::doc::build_penalty_matrices_nd, py::arg("degrees"), py::arg("bounds"), py::arg("n_grid_per_dim") = 30);

    // Linear estimation.
    m.def(
        "ols", [](const MatrixXd& X, const VectorXd& y) { return zorp::ols(X, y); }, zorp::doc::ols, py::arg("X"),
        py::arg("y"));
    m.def(
        "fit_regularized_linear",
        [](const MatrixXd& Phi, const VectorXd& y, const py::object& R1, const py::object& R2,
           double gamma1, double gamma2, double ridge) {
            const OptionalMatrix p1(R1);
            const OptionalMatrix p2(R2);
            return zorp::fit_regularized_linear(Phi, y, p1.get(), p2.get(), gamma1, gamma2, ridge);
        },
        zorp::doc::fit_regularized_linear, py::arg("Phi"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
        py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0, py::arg("ridge") = 1e-10);

    // Gibbs entropy.
    py::class_<zorp::GibbsResult>(m, "GibbsResult", zorp::doc::gibbs_result)
        .def_readonly("H", &zorp::GibbsResult::H)
        .def_readonly("Hmax", &zorp::GibbsResult::Hmax)
        .def_readonly("He", &zorp::GibbsResult::He)
        .def_readonly("r_heat", &zorp::GibbsResult::r_heat)
        .def_readonly("var_E", &zorp::GibbsResult::var_E)
        .def_readonly("T", &zorp::GibbsResult::T);
    m.def(
        "gibbs_entropy",
        [](const VectorXd& energies, double T) { return zorp::gibbs_entropy(energies, T); },
        zorp::doc::gibbs_entropy, py::arg("energies"), py::arg("T") = 1.0);

    // Tournament MCMC sampler.
    // def_readonly hands out beta_mcmc as a read-only NumPy view and gibbs as a
    // reference, both keeping the owning result alive.
    py::class_<zorp::MCMCResult>(m, "MCMCResult", zorp::doc::mcmc_result)
        .def_readonly("beta_mcmc", &zorp::MCMCResult::beta_mcmc)
        .def_readonly("energy", &zorp::MCMCResult::energy)
        .def_readonly("gibbs", &zorp::MCMCResult::gibbs)
        .def_readonly("n_chains", &zorp::MCMCResult::n_chains)
        .def_readonly("n_elite", &zorp::MCMCResult::n_elite);
    py::class_<zorp::TournamentMCMC>(m, "TournamentMCMC", zorp::doc::tournament_mcmc)
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(), zorp::doc::tournament_mcmc_init, py::arg("n_chains") = 25,
             py::arg("n_warmup") = 200, py::arg("n_deep") = 2000, py::arg("n_elite") = 5,
             py::arg("step_size") = 0.05, py::arg("H_piH") = 20,
             py::arg("seed") = std::uint64_t{42})
        .def(
            "fit",
            [](const zorp::TournamentMCMC& self, const MatrixXd& X, const VectorXd& y,
               const py::object& R1, const py::object& R2, double gamma1, double gamma2) {
                const OptionalMatrix p1(R1);
                const OptionalMatrix p2(R2);
                return self.fit(X, y, p1.get(), p2.get(), gamma1, gamma2);
            },
            zorp::doc::tournament_mcmc_fit, py::arg("X"), py::arg("y"), py::arg("R1") = py::none(), py::arg("R2") = py::none(),
            py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
}
