#include "bases.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

namespace zorp {

double col_deriv_scalar(double val, int p, int order) {
    switch (order) {
        case 0:
            return std::pow(val, static_cast<double>(p));
        case 1:
            return p < 1 ? 0.0 : static_cast<double>(p) * std::pow(val, static_cast<double>(p - 1));
        default:
            // p * (p - 1) is an integer product, converted once; 64-bit so that
            // large degrees cannot overflow.
            return p < 2 ? 0.0
                         : static_cast<double>(static_cast<std::int64_t>(p) * (p - 1)) *
                               std::pow(val, static_cast<double>(p - 2));
    }
}

// One-dimensional bases.

namespace {

// Asks the kernel to back the 2 MiB-aligned interior of a large, freshly
// allocated buffer with transparent huge pages. Filling a fresh buffer is
// otherwise dominated by page faults. A hint only: failure is harmless.
void advise_huge_pages(double* data, Index count) {
#ifdef MADV_HUGEPAGE
    constexpr std::uintptr_t huge = std::uintptr_t{1} << 21;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t end = begin + static_cast<std::uintptr_t>(count) * sizeof(double);
    const std::uintptr_t first = (begin + huge - 1) & ~(huge - 1);
    const std::uintptr_t last = end & ~(huge - 1);
    if (last > first) {
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
#else
    (void)data;
    (void)count;
#endif
}

}  // namespace

MatrixXd design_matrix_1d(int deg, const VectorXd& x) {
    if (deg < 0) {
        throw std::invalid_argument("deg < 0");
    }
    const Index n = x.size();
    const Index cols = Index{deg} + 1;
    MatrixXd Phi(n, cols);
    advise_huge_pages(Phi.data(), Phi.size());
    // Rows are processed in short blocks: column p - 1 of a block is still in L1
    // when column p is formed from it, and all column write streams advance
    // together. Each entry is still its left neighbour times x_i.
    constexpr Index block = 64;
    for (Index r0 = 0; r0 < n; r0 += block) {
        const Index len = std::min(block, n - r0);
        const auto xb = x.segment(r0, len);
        Phi.col(0).segment(r0, len).setOnes();
        for (Index p = 1; p < cols; ++p) {
            Phi.col(p).segment(r0, len) = Phi.col(p - 1).segment(r0, len).cwiseProduct(xb);
        }
    }
    return Phi;
}

void deriv_row(double x, int deg, int order, Eigen::Ref<VectorXd> out) {
    if (order != 1 && order != 2) {
        throw std::invalid_argument("deriv_row: order must be 1 or 2");
    }
    if (deg >= 0 && out.size() <= Index{deg}) {
        throw std::invalid_argument("deriv_row: output shorter than deg + 1");
    }
    for (int p = 0; p <= deg; ++p) {
        out[p] = col_deriv_scalar(x, p, order);
    }
}

namespace {

// acc += dx * (d d^T): the outer product entry first, then the scaling; each
// added term is exactly symmetric because d[i] * d[j] == d[j] * d[i].
void add_scaled_outer(MatrixXd& acc, const VectorXd& d, double dx) {
    const Index m = d.size();
    for (Index j = 0; j < m; ++j) {
        const double dj = d[j];
        for (Index i = 0; i < m; ++i) {
            acc(i, j) += dx * (d[i] * dj);
        }
    }
}

}  // namespace

PenaltyMatrices1D smoothness_penalty_matrices_1d(int deg, double x_min, double x_max, int n_grid) {
    if (deg < 0) {
        throw std::invalid_argument("deg < 0");
    }
    if (n_grid < 2) {
        throw std::invalid_argument("n_grid < 2");
    }
    const Index M = Index{deg} + 1;
    const double dx = (x_max - x_min) / static_cast<double>(n_grid - 1);
    MatrixXd R1 = MatrixXd::Zero(M, M);
    MatrixXd R2 = MatrixXd::Zero(M, M);
    VectorXd d1(M);
    VectorXd d2(M);
    for (int g = 0; g < n_grid; ++g) {
        const double x = std::fma(static_cast<double>(g), dx, x_min);
        deriv_row(x, deg, 1, d1);
        deriv_row(x, deg, 2, d2);
        add_scaled_outer(R1, d1, dx);
        add_scaled_outer(R2, d2, dx);
    }
    return {std::move(R1), std::move(R2)};
}

MatrixXd boundary_reduce_1d(int deg, double x_min, double x_max) {
    if (deg < -1) {
        throw std::invalid_argument("deg < -1");
    }
    const Index M = Index{deg} + 1;
    VectorXd a1(M);
    VectorXd a2(M);
    VectorXd b1(M);
    VectorXd b2(M);
    deriv_row(x_min, deg, 1, a1);
    deriv_row(x_min, deg, 2, a2);
    deriv_row(x_max, deg, 1, b1);
    deriv_row(x_max, deg, 2, b2);
    // Both outer products are rounded and stored before the subtraction, so
    // equal end points cancel exactly (no fused multiply-subtract across them).
    const MatrixXd upper = b2 * b1.transpose();
    const MatrixXd lower = a2 * a1.transpose();
    const MatrixXd Rb = upper - lower;
    return 0.5 * (Rb + Rb.transpose());
}

}  // namespace zorp
