// Shared aliases and records of the numerical core.
#pragma once

#include <Eigen/Dense>
#include <exception>
#include <functional>
#include <vector>

namespace zorp {

using MatrixXd = Eigen::MatrixXd;
using VectorXd = Eigen::VectorXd;
using Index = Eigen::Index;

// Read-only views of the large inputs: a plain matrix or vector binds to them
// without a copy, and so does any column-major block with contiguous columns.
using MatrixRef = Eigen::Ref<const MatrixXd>;
using VectorRef = Eigen::Ref<const VectorXd>;
// A row-major view, for C-ordered inputs read in place where that pays.
using RowMatrixRef =
    Eigen::Ref<const Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>>;

// Per-dimension exponents of one tensor-product monomial.
using MultiIndex = std::vector<int>;

// Non-owning bundle of up to two quadratic penalties b'R b with their weights.
// A term counts when its matrix is present and its weight is not equal to 0
// (negative weights count, and so does NaN).
struct PenaltySpec {
    const MatrixXd* R1 = nullptr;
    const MatrixXd* R2 = nullptr;
    double gamma1 = 0.0;
    double gamma2 = 0.0;

    bool term1_active() const { return R1 != nullptr && gamma1 != 0.0; }
    bool term2_active() const { return R2 != nullptr && gamma2 != 0.0; }
    bool active() const { return term1_active() || term2_active(); }
};

// Cooperative cancellation of long computations. Operations that can run long
// call the check at block boundaries, only ever on the thread that called them;
// when it returns true they stop, release what they hold and throw Cancelled.
// An empty check never cancels.
using CancelCheck = std::function<bool()>;

struct Cancelled : std::exception {
    const char* what() const noexcept override { return "operation cancelled"; }
};

// Calls a cancellation check about once per `budget` units of work (roughly
// multiply-adds), so that polling costs nothing measurable however fine the
// blocks of work are.
class CancelPoller {
  public:
    explicit CancelPoller(const CancelCheck& check, Index budget = Index{1} << 20)
        : check_(check), budget_(budget) {}

    // Polls now; throws Cancelled when the check asks for it.
    void poll() const {
        if (check_ && check_()) {
            throw Cancelled();
        }
    }

    // Counts work done since the last poll and polls once the budget is used.
    void add(Index work) {
        used_ += work;
        if (used_ >= budget_) {
            used_ = 0;
            poll();
        }
    }

  private:
    const CancelCheck& check_;
    Index budget_;
    Index used_ = 0;
};

// Entropy summary of a set of energies under their Boltzmann distribution.
struct GibbsResult {
    double H = 0.0;
    double Hmax = 0.0;
    double He = 0.0;
    double r_heat = 0.0;
    double var_E = 0.0;
    double T = 0.0;
};

// First- and second-derivative roughness penalties of a 1-D power basis.
struct PenaltyMatrices1D {
    MatrixXd R1;
    MatrixXd R2;
};

// Gradient and Hessian roughness penalties of a tensor-product basis, with the
// multi-indices that order their rows and columns.
struct PenaltyMatricesND {
    MatrixXd R1;
    MatrixXd R2;
    std::vector<MultiIndex> multi_indices;
};

}  // namespace zorp
