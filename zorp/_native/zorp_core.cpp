// Python module definition and bindings. Conversion and registration only:
// every wrapper converts its arguments, calls one native function and converts
// the result back.
#include <pybind11/eigen.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <optional>

#include "bases.hpp"
#include "docstrings.hpp"
#include "estimation.hpp"
#include "parallel.hpp"
#include "sampler.hpp"
#include "stats.hpp"
#include "types.hpp"

namespace py = pybind11;

namespace zorp_py {

// A read-only array argument viewed in place for the duration of the call when
// it already is float64 with contiguous columns (a Fortran-ordered array, or a
// contiguous 1-D array for a vector); anything else convertible is copied once
// into a temporary array that lives until the call returns.
template <class Plain>
struct InputArray {
    const Eigen::Ref<const Plain>* view = nullptr;
    operator const Eigen::Ref<const Plain>&() const { return *view; }
};

using InputMatrix = InputArray<zorp::MatrixXd>;
using InputVector = InputArray<zorp::VectorXd>;

// A matrix argument of a function with a row-major kernel: a C-ordered float64
// array (that is not also Fortran-ordered) is viewed in place as row-major;
// everything else goes the InputMatrix way.
struct InputMatrixAnyOrder {
    const zorp::RowMatrixRef* rows = nullptr;
    const Eigen::Ref<const zorp::MatrixXd>* cols = nullptr;

    template <class F>
    auto visit(F&& f) const {
        return rows != nullptr ? f(*rows) : f(*cols);
    }
};

}  // namespace zorp_py

namespace pybind11::detail {

// Loads through pybind11's Ref caster but keeps the signature of the owning
// matrix caster, which states what is accepted: any array-like.
template <class Plain>
struct type_caster<zorp_py::InputArray<Plain>> {
    static constexpr auto name = make_caster<Plain>::name;

    bool load(handle src, bool convert) {
        if (!inner_.load(src, convert)) {
            return false;
        }
        value_.view = &static_cast<Eigen::Ref<const Plain>&>(inner_);
        return true;
    }

    operator zorp_py::InputArray<Plain>&() { return value_; }
    template <typename>
    using cast_op_type = zorp_py::InputArray<Plain>&;

  private:
    make_caster<Eigen::Ref<const Plain>> inner_;
    zorp_py::InputArray<Plain> value_;
};

template <>
struct type_caster<zorp_py::InputMatrixAnyOrder> {
    static constexpr auto name = make_caster<zorp::MatrixXd>::name;

    bool load(handle src, bool convert) {
        if (isinstance<array>(src)) {
            const auto a = reinterpret_borrow<array>(src);
            const int flags = a.flags();
            if (a.ndim() == 2 && a.dtype().is(dtype::of<double>()) &&
                (flags & array::c_style) != 0 && (flags & array::f_style) == 0 &&
                rows_.load(src, false)) {
                value_.rows = &static_cast<zorp::RowMatrixRef&>(rows_);
                return true;
            }
        }
        if (!cols_.load(src, convert)) {
            return false;
        }
        value_.cols = &static_cast<Eigen::Ref<const zorp::MatrixXd>&>(cols_);
        return true;
    }

    operator zorp_py::InputMatrixAnyOrder&() { return value_; }
    template <typename>
    using cast_op_type = zorp_py::InputMatrixAnyOrder&;

  private:
    make_caster<zorp::RowMatrixRef> rows_;
    make_caster<Eigen::Ref<const zorp::MatrixXd>> cols_;
    zorp_py::InputMatrixAnyOrder value_;
};

}  // namespace pybind11::detail

namespace {

// Optional penalty matrix: None (or an empty optional) is absent.
const zorp::MatrixXd* optional_ptr(const std::optional<zorp::MatrixXd>& m) {
    return m ? &*m : nullptr;
}
// Cancellation check of the long-running calls: true when a signal handler has
// raised (a pending KeyboardInterrupt after Ctrl-C). The numerics call it on the
// calling thread only, which holds the GIL for the whole call.
bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

}  // namespace

PYBIND11_MODULE(zorp_core, m) {
    using zorp::MatrixXd;
    using zorp::VectorXd;
    using zorp_py::InputMatrix;
    using zorp_py::InputVector;

    m.doc() = "ZORP-P performans-kritik cekirdegi (C++/Eigen).";

    // A cancelled call returns with the Python error that stopped it still set.
    py::register_local_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const zorp::Cancelled& e) {
            if (PyErr_Occurred() == nullptr) {
                PyErr_SetString(PyExc_RuntimeError, e.what());
            }
        }
    });
    zorp::install_fork_handler();
    const zorp::CancelCheck signals = python_signal_raised;

    // Robust statistics.
    m.def("mad", [](const InputVector& y) { return zorp::mad(y); }, zorp::doc::mad, py::arg("y"));
    m.def(
        "compute_sr",
        [](const InputVector& yp, const InputVector& yt, double eps) {
            return zorp::compute_SR(yp, yt, eps);
        },
        zorp::doc::compute_sr, py::arg("yp"), py::arg("yt"), py::arg("eps"));

    // Description-length score.
    m.def(
        "mdl_score",
        [](const InputVector& yp, const InputVector& yt, int k, int H) {
            return zorp::mdl_score(yp, yt, k, H, nullptr, nullptr);
        },
        zorp::doc::mdl_score, py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H") = 20);
    m.def(
        "mdl_score_reg",
        [](const InputVector& yp, const InputVector& yt, int k, int H, const VectorXd& beta,
           const MatrixXd& R1, const MatrixXd& R2, double gamma1, double gamma2) {
            const zorp::PenaltySpec pen{&R1, &R2, gamma1, gamma2};
            return zorp::mdl_score(yp, yt, k, H, &beta, &pen);
        },
        zorp::doc::mdl_score_reg, py::arg("yp"), py::arg("yt"), py::arg("k"), py::arg("H"),
        py::arg("beta"), py::arg("R1"), py::arg("R2"), py::arg("gamma1") = 0.0,
        py::arg("gamma2") = 0.0);

    // One-dimensional bases and penalties.
    m.def(
        "design_matrix_1d",
        [signals](int deg, const InputVector& x) {
            return zorp::design_matrix_1d(deg, x, signals);
        },
        zorp::doc::design_matrix_1d, py::arg("deg"), py::arg("x"));
    m.def(
        "smoothness_penalty_matrices_1d",
        [signals](int deg, double x_min, double x_max,
                  int n_grid) -> py::typing::Tuple<MatrixXd, MatrixXd> {
            zorp::PenaltyMatrices1D r =
                zorp::smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid, signals);
            return py::make_tuple(std::move(r.R1), std::move(r.R2));
        },
        zorp::doc::smoothness_penalty_matrices_1d, py::arg("deg"), py::arg("x_min"),
        py::arg("x_max"), py::arg("n_grid") = 600);
    m.def(
        "boundary_reduce_1d",
        [](int deg, double x_min, double x_max) {
            return zorp::boundary_reduce_1d(deg, x_min, x_max);
        },
        zorp::doc::boundary_reduce_1d, py::arg("deg"), py::arg("x_min"), py::arg("x_max"));

    // Multi-dimensional bases and penalties.
    m.def(
        "design_matrix_nd",
        [signals](const std::vector<zorp::MultiIndex>& multi_indices,
                  const std::vector<VectorXd>& X_cols) {
            return zorp::design_matrix_nd(multi_indices, X_cols, signals);
        },
        zorp::doc::design_matrix_nd, py::arg("multi_indices"), py::arg("X_cols"));
    m.def(
        "build_penalty_matrices_nd",
        [signals](const std::vector<int>& degrees,
                  const std::vector<std::pair<double, double>>& bounds, int n_grid_per_dim)
            -> py::typing::Tuple<MatrixXd, MatrixXd, std::vector<zorp::MultiIndex>> {
            zorp::PenaltyMatricesND r =
                zorp::build_penalty_matrices_nd(degrees, bounds, n_grid_per_dim, signals);
            return py::make_tuple(std::move(r.R1), std::move(r.R2), std::move(r.multi_indices));
        },
        zorp::doc::build_penalty_matrices_nd, py::arg("degrees"), py::arg("bounds"),
        py::arg("n_grid_per_dim") = 30);

    // Linear estimation.
    m.def(
        "ols",
        [signals](const zorp_py::InputMatrixAnyOrder& X, const InputVector& y) {
            return X.visit([&](const auto& view) { return zorp::ols(view, y, signals); });
        },
        zorp::doc::ols, py::arg("X"), py::arg("y"));
    m.def(
        "fit_regularized_linear",
        [signals](const zorp_py::InputMatrixAnyOrder& Phi, const InputVector& y,
                  const std::optional<MatrixXd>& R1, const std::optional<MatrixXd>& R2,
                  double gamma1, double gamma2, double ridge) {
            return Phi.visit([&](const auto& view) {
                return zorp::fit_regularized_linear(view, y, optional_ptr(R1), optional_ptr(R2),
                                                    gamma1, gamma2, ridge, signals);
            });
        },
        zorp::doc::fit_regularized_linear, py::arg("Phi"), py::arg("y"), py::arg("R1") = py::none(),
        py::arg("R2") = py::none(), py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0,
        py::arg("ridge") = 1e-10);

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
        .def(py::init<int, int, int, int, double, int, std::uint64_t>(),
             zorp::doc::tournament_mcmc_init, py::arg("n_chains") = 25, py::arg("n_warmup") = 200,
             py::arg("n_deep") = 2000, py::arg("n_elite") = 5, py::arg("step_size") = 0.05,
             py::arg("H_piH") = 20, py::arg("seed") = std::uint64_t{42})
        .def(
            "fit",
            [signals](const zorp::TournamentMCMC& self, const InputMatrix& X, const InputVector& y,
                      const std::optional<MatrixXd>& R1, const std::optional<MatrixXd>& R2,
                      double gamma1, double gamma2) {
                return self.fit(X, y, optional_ptr(R1), optional_ptr(R2), gamma1, gamma2, signals);
            },
            zorp::doc::tournament_mcmc_fit, py::arg("X"), py::arg("y"), py::arg("R1") = py::none(),
            py::arg("R2") = py::none(), py::arg("gamma1") = 0.0, py::arg("gamma2") = 0.0);
}
