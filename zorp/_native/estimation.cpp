#include "estimation.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#if defined(__AVX2__) && defined(__FMA__)
#include <immintrin.h>
#endif

namespace zorp {

namespace {

// The QR route of ols is taken for at least this many rows (and twice as many
// rows as columns), where it is several times faster than the direct SVD ...
constexpr Index kQrMinRows = 512;
// ... and kept only when the ratio of the extreme singular values is above this
// bound; for worse-conditioned X the direct SVD keeps more digits.
constexpr double kMaxQrCondition = 1e-5;
// Bound on cond(X) |r| / (|X| |beta|) below which the QR route refines its solution.
constexpr double kRefineResidual = 100.0;

void check_penalty_shape(const MatrixXd* R, double gamma, Index M, const char* message) {
    if (R != nullptr && gamma != 0.0 && (R->rows() != M || R->cols() != M)) {
        throw std::invalid_argument(message);
    }
}

#if defined(__AVX2__) && defined(__FMA__)

// (v0 + v2) + (v1 + v3) of the four lanes of v.
inline double horizontal_sum(__m256d v) {
    const __m128d pair = _mm_add_pd(_mm256_castpd256_pd128(v), _mm256_extractf128_pd(v, 1));
    return _mm_cvtsd_f64(_mm_add_sd(pair, _mm_unpackhi_pd(pair, pair)));
}

// Tile of the lower triangle of G += B'B for NI columns I.. and NJ columns J..
// of a block B of len rows whose column j starts at col[j]: each entry
// accumulates four interleaved partial sums over the rows in one register,
// added together at the end; rows past the last multiple of four are added
// one by one. Only entries on or below the diagonal are written.
template <int NI, int NJ>
void gram_tile(const double* const* col, Index len, Index I, Index J, MatrixXd& G) {
    __m256d acc[NI][NJ];
    for (int m = 0; m < NI; ++m) {
        for (int q = 0; q < NJ; ++q) {
            acc[m][q] = _mm256_setzero_pd();
        }
    }
    const Index len4 = len - len % 4;
    for (Index r = 0; r < len4; r += 4) {
        __m256d a[NI];
        for (int m = 0; m < NI; ++m) {
            a[m] = _mm256_loadu_pd(col[I + m] + r);
        }
        for (int q = 0; q < NJ; ++q) {
            const __m256d bq = _mm256_loadu_pd(col[J + q] + r);
            for (int m = 0; m < NI; ++m) {
                acc[m][q] = _mm256_fmadd_pd(a[m], bq, acc[m][q]);
            }
        }
    }
    double sum[NI][NJ];
    for (int m = 0; m < NI; ++m) {
        for (int q = 0; q < NJ; ++q) {
            sum[m][q] = horizontal_sum(acc[m][q]);
        }
    }
    for (int m = 0; m < NI; ++m) {
        for (int q = 0; q < NJ; ++q) {
            if (I + m >= J + q) {
                const double* a = col[I + m];
                const double* b = col[J + q];
                for (Index r = len4; r < len; ++r) {
                    sum[m][q] += a[r] * b[r];
                }
                G(I + m, J + q) += sum[m][q];
            }
        }
    }
}

template <int NI>
void gram_tile_row(const double* const* col, Index len, Index I, Index J, Index nj, MatrixXd& G) {
    switch (nj) {
        case 4:
            return gram_tile<NI, 4>(col, len, I, J, G);
        case 3:
            return gram_tile<NI, 3>(col, len, I, J, G);
        case 2:
            return gram_tile<NI, 2>(col, len, I, J, G);
        default:
            return gram_tile<NI, 1>(col, len, I, J, G);
    }
}

// Lower triangle of G += B'B for the k columns col[0..k) of a block of len rows,
// in register tiles of 3 x 4 entries (12 accumulators and 3 + 1 operands: the
// 16 AVX2 registers).
void gram_lower_block(const double* const* col, Index len, Index k, MatrixXd& G) {
    for (Index I = 0; I < k; I += 3) {
        const Index ni = std::min<Index>(3, k - I);
        const Index last = I + ni - 1;  // tiles reach up to the diagonal
        for (Index J = 0; J <= last; J += 4) {
            const Index nj = std::min<Index>(4, last + 1 - J);
            switch (ni) {
                case 3:
                    gram_tile_row<3>(col, len, I, J, nj, G);
                    break;
                case 2:
                    gram_tile_row<2>(col, len, I, J, nj, G);
                    break;
                default:
                    gram_tile_row<1>(col, len, I, J, nj, G);
                    break;
            }
        }
    }
}

// Tile of the lower triangle of G += [X y]'[X y] for a row-major block X (len
// rows of M values, row r at x + r * ld): NI rows of G from I on, against the
// columns J .. J + nj of X, nj <= 4 NV, read as NV vectors per row of X (the
// last one masked when nj is not a multiple of 4). Each row of the block adds
// a broadcast of its value in column I + m (of y[r] for the row of y, OfY,
// which is row M of G) times those vectors.
template <int NI, int NV, bool OfY>
void gram_tile_rows(const double* x, Index ld, Index M, const double* y, Index len, Index I,
                    Index J, Index nj, MatrixXd& G) {
    __m256d acc[NI][NV];
    for (int m = 0; m < NI; ++m) {
        for (int v = 0; v < NV; ++v) {
            acc[m][v] = _mm256_setzero_pd();
        }
    }
    // Lanes past column J + nj read on into the next rows and are never used;
    // the rows whose vectors would reach past the block's last value (at least
    // its last row, which may end the matrix) are read masked.
    const auto add_row = [&](Index r, const __m256d* b) {
        const double* row = x + r * ld;
        for (int m = 0; m < NI; ++m) {
            const __m256d a = _mm256_broadcast_sd(OfY ? y + r : row + I + m);
            for (int v = 0; v < NV; ++v) {
                acc[m][v] = _mm256_fmadd_pd(a, b[v], acc[m][v]);
            }
        }
    };
    const Index end = (len - 1) * ld + M;  // one past the block's last value
    Index r = 0;
    for (; r < len && r * ld + J + 4 * NV <= end; ++r) {
        __m256d b[NV];
        for (int v = 0; v < NV; ++v) {
            b[v] = _mm256_loadu_pd(x + r * ld + J + 4 * v);
        }
        add_row(r, b);
    }
    const Index rest = nj - 4 * (NV - 1);  // lanes of the last vector, 1 to 4
    const __m256i mask =
        _mm256_setr_epi64x(-1, rest > 1 ? -1 : 0, rest > 2 ? -1 : 0, rest > 3 ? -1 : 0);
    for (; r < len; ++r) {
        const double* row = x + r * ld + J;
        __m256d b[NV];
        for (int v = 0; v + 1 < NV; ++v) {
            b[v] = _mm256_loadu_pd(row + 4 * v);
        }
        b[NV - 1] = _mm256_maskload_pd(row + 4 * (NV - 1), mask);
        add_row(r, b);
    }
    alignas(32) double lanes[NI][NV][4];
    for (int m = 0; m < NI; ++m) {
        for (int v = 0; v < NV; ++v) {
            _mm256_store_pd(lanes[m][v], acc[m][v]);
        }
    }
    for (int m = 0; m < NI; ++m) {
        for (int v = 0; v < NV; ++v) {
            for (Index l = 0; l < 4; ++l) {
                const Index c = J + 4 * v + l;
                if (c < J + nj && (OfY || c <= I + m)) {
                    G(I + m, c) += lanes[m][v][l];
                }
            }
        }
    }
}

template <int NI, bool OfY>
void gram_tile_rows_nv(const double* x, Index ld, Index M, const double* y, Index len, Index I,
                       Index J, Index nj, MatrixXd& G) {
    if (nj > 8) {
        gram_tile_rows<NI, 3, OfY>(x, ld, M, y, len, I, J, nj, G);
    } else if (nj > 4) {
        gram_tile_rows<NI, 2, OfY>(x, ld, M, y, len, I, J, nj, G);
    } else {
        gram_tile_rows<NI, 1, OfY>(x, ld, M, y, len, I, J, nj, G);
    }
}

// Lower triangle of G += [X y]'[X y] without the entry y'y, for a row-major
// block X of len rows and M columns, in tiles of up to 4 x 12 entries (12
// accumulators, 3 + 1 operands).
void gram_lower_block_rows(const double* x, Index ld, const double* y, Index M, Index len,
                           MatrixXd& G) {
    for (Index I = 0; I < M; I += 4) {
        const Index ni = std::min<Index>(4, M - I);
        const Index end = I + ni;  // columns up to the diagonal
        for (Index J = 0; J < end; J += 12) {
            const Index nj = std::min<Index>(12, end - J);
            switch (ni) {
                case 4:
                    gram_tile_rows_nv<4, false>(x, ld, M, y, len, I, J, nj, G);
                    break;
                case 3:
                    gram_tile_rows_nv<3, false>(x, ld, M, y, len, I, J, nj, G);
                    break;
                case 2:
                    gram_tile_rows_nv<2, false>(x, ld, M, y, len, I, J, nj, G);
                    break;
                default:
                    gram_tile_rows_nv<1, false>(x, ld, M, y, len, I, J, nj, G);
                    break;
            }
        }
    }
    for (Index J = 0; J < M; J += 12) {
        gram_tile_rows_nv<1, true>(x, ld, M, y, len, M, J, std::min<Index>(12, M - J), G);
    }
}

#endif

// Lower triangle of A += Phi'Phi and b += Phi'y in one pass over blocks of rows
// that stay in cache. With AVX2, y joins the block as its last column, so the
// cross products are the last row of the tiled Gram matrix, and row-major blocks
// are read in place by their own kernel; otherwise each block is a symmetric
// rank update and a product.
template <class Design>
void gram_lower_and_cross(const Design& Phi, const VectorRef& y, MatrixXd& A, VectorXd& b,
                          CancelPoller& poller) {
    const Index M = Phi.cols();
    if (M == 0) {
        return;
    }
    constexpr Index kBlockDoubles = Index{1} << 12;  // 32 KiB of the design matrix
    const Index rows = std::max<Index>(64, kBlockDoubles / M);
    // Groups of kGroupBlocks block sums are added pairwise (a binary counter of
    // partial sums), so the rounding error grows with the logarithm of the
    // number of rows rather than with the number itself.
    constexpr Index kGroupBlocks = 16;
    MatrixXd G = MatrixXd::Zero(M + 1, M + 1);
    std::vector<MatrixXd> partial;  // level l holds 2^l groups, or is empty
    [[maybe_unused]] std::vector<const double*> col(static_cast<size_t>(M + 1));
    Index in_group = 0;
    for (Index r0 = 0; r0 < Phi.rows(); r0 += rows) {
        const Index len = std::min(rows, Phi.rows() - r0);
        poller.add(len * (M + 1) * (M + 2) / 2);
#if defined(__AVX2__) && defined(__FMA__)
        if constexpr (Design::IsRowMajor) {
            gram_lower_block_rows(Phi.data() + r0 * Phi.outerStride(), Phi.outerStride(),
                                  y.data() + r0, M, len, G);
        } else {
            for (Index j = 0; j < M; ++j) {
                col[static_cast<size_t>(j)] = Phi.data() + j * Phi.outerStride() + r0;
            }
            col[static_cast<size_t>(M)] = y.data() + r0;
            gram_lower_block(col.data(), len, M + 1, G);
        }
#else
        const auto block = Phi.middleRows(r0, len);
        G.topLeftCorner(M, M).template selfadjointView<Eigen::Lower>().rankUpdate(
            block.transpose());
        G.row(M).head(M).noalias() += (block.transpose() * y.segment(r0, len)).transpose();
#endif
        if (++in_group < kGroupBlocks && r0 + rows < Phi.rows()) {
            continue;
        }
        in_group = 0;
        size_t level = 0;
        for (; level < partial.size() && partial[level].size() != 0; ++level) {
            G += partial[level];
            partial[level].resize(0, 0);
        }
        if (level == partial.size()) {
            partial.emplace_back();
        }
        partial[level].swap(G);
        G.setZero(M + 1, M + 1);
    }
    for (const MatrixXd& P : partial) {
        if (P.size() != 0) {
            G += P;
        }
    }
    A.triangularView<Eigen::Lower>() += G.topLeftCorner(M, M);
    b += G.row(M).head(M).transpose();
}

// Least squares through a QR factorisation of a tall X: with X = Q R, the
// minimum-norm solution of X beta = y is that of R beta = (Q'y)[0:k], solved by
// the SVD of the k x k factor, whose singular values are those of X. R comes from
// Cholesky QR applied twice: R1 from the Cholesky factor of X'X, then R2 from
// that of Q1'Q1 with Q1 = X R1^-1 formed block by block and never stored, and
// R = R2 R1, Q'y = R2^-T Q1'y. For the condition numbers accepted here (below
// 1 / kMaxQrCondition, so that the Gram matrix keeps more than half the digits)
// the second pass restores the accuracy of an orthogonal factorisation. Returns
// false when X is ill-conditioned, where the direct SVD of X is more accurate,
// and for every rank-deficient X, whose rank decisions are left to it.
template <class Design>
bool ols_by_qr(const Design& X, const VectorRef& y, VectorXd& beta, CancelPoller& poller) {
    const Index k = X.cols();
    MatrixXd G = MatrixXd::Zero(k, k);
    VectorXd unused = VectorXd::Zero(k);
    gram_lower_and_cross(X, y, G, unused, poller);
    const Eigen::LLT<MatrixXd, Eigen::Lower> first(G);
    if (first.info() != Eigen::Success) {
        return false;
    }
    const MatrixXd L1 = first.matrixL();
    // The diagonal of a triangular factor bounds the condition number from below.
    const auto d1 = L1.diagonal().cwiseAbs();
    if (!(d1.minCoeff() > kMaxQrCondition * d1.maxCoeff())) {
        return false;
    }
    MatrixXd G2 = MatrixXd::Zero(k, k);
    VectorXd c2 = VectorXd::Zero(k);
    constexpr Index kBlockDoubles = Index{1} << 15;
    const Index rows = std::max<Index>(64, kBlockDoubles / k);
    MatrixXd Q1(std::min(rows, X.rows()), k);
    for (Index r0 = 0; r0 < X.rows(); r0 += rows) {
        const Index len = std::min(rows, X.rows() - r0);
        poller.add(len * k * (k + 2));
        auto block = Q1.topRows(len);
        block = X.middleRows(r0, len);
        // Q1 = X R1^-1 with R1 = L1': solve Q1 L1' = X from the right.
        L1.triangularView<Eigen::Lower>().transpose().solveInPlace<Eigen::OnTheRight>(block);
        G2.selfadjointView<Eigen::Lower>().rankUpdate(block.transpose());
        c2.noalias() += block.transpose() * y.segment(r0, len);
    }
    const Eigen::LLT<MatrixXd, Eigen::Lower> second(G2);
    if (second.info() != Eigen::Success) {
        return false;
    }
    const MatrixXd L2 = second.matrixL();
    const MatrixXd R = L2.transpose().triangularView<Eigen::Upper>() *
                       L1.transpose().triangularView<Eigen::Upper>().toDenseMatrix();
    const Eigen::BDCSVD<MatrixXd> svd(R, Eigen::ComputeThinU | Eigen::ComputeThinV);
    const VectorXd& s = svd.singularValues();
    if (!(s[k - 1] > kMaxQrCondition * s[0])) {
        return false;
    }
    // Q'y = R2^-T Q1'y = L2^-1 c2.
    L2.triangularView<Eigen::Lower>().solveInPlace(c2);
    beta = svd.solve(c2);
    // One step of refinement on the residual r = y - X beta: the correction
    // solves R d = Q'r with Q'r = R^-T X'r. It removes the error of order
    // cond(X) eps that the products with R1^-1 leave, but carries its own, of
    // order cond(X)^2 eps |r| / (|X| |beta|) at worst. It is taken where the
    // residual is below kRefineResidual / cond(X) of the fit: on problems of
    // known solution it gained up to two digits there and lost up to one beyond.
    VectorXd z = VectorXd::Zero(k);
    double rr = 0.0;
    for (Index r0 = 0; r0 < X.rows(); r0 += rows) {
        const Index len = std::min(rows, X.rows() - r0);
        poller.add(2 * len * k);
        const auto block = X.middleRows(r0, len);
        const VectorXd r = y.segment(r0, len) - block * beta;
        z.noalias() += block.transpose() * r;
        rr += r.squaredNorm();
    }
    const double cond = s[0] / s[k - 1];
    if (cond * std::sqrt(rr) < kRefineResidual * s[0] * beta.norm()) {
        L1.triangularView<Eigen::Lower>().solveInPlace(z);
        L2.triangularView<Eigen::Lower>().solveInPlace(z);
        beta += svd.solve(z);
    }
    return true;
}

// The factorisation would turn non-finite input into NaN or zero coefficients
// without a sign; refuse it as ols does. Phi is checked through the diagonal of
// its Gram matrix, which is not finite exactly when a column holds a non-finite
// value or its squares overflow; only then is Phi itself scanned, so a separate
// pass over the largest input is saved. A weight is checked when its matrix is
// given, a matrix only when its penalty takes part (inactive ones are not read).
template <class Design>
void check_finite_inputs(const Design& Phi, const MatrixXd& gram, const VectorRef& y,
                         const MatrixXd* R1, const MatrixXd* R2, double gamma1, double gamma2,
                         double ridge) {
    if (!gram.diagonal().allFinite() && !Phi.allFinite()) {
        throw std::invalid_argument("fit_regularized_linear: Phi contains non-finite values");
    }
    if (!y.allFinite()) {
        throw std::invalid_argument("fit_regularized_linear: y contains non-finite values");
    }
    if (!std::isfinite(ridge)) {
        throw std::invalid_argument("fit_regularized_linear: ridge is not finite");
    }
    if ((R1 != nullptr && !std::isfinite(gamma1)) || (R2 != nullptr && !std::isfinite(gamma2))) {
        throw std::invalid_argument("fit_regularized_linear: penalty weight is not finite");
    }
    if ((R1 != nullptr && gamma1 != 0.0 && !R1->allFinite()) ||
        (R2 != nullptr && gamma2 != 0.0 && !R2->allFinite())) {
        throw std::invalid_argument(
            "fit_regularized_linear: penalty matrix contains non-finite values");
    }
}

template <class Design>
VectorXd penalized_solve(const Design& Phi, const VectorRef& y, const MatrixXd* R1,
                         const MatrixXd* R2, double gamma1, double gamma2, double ridge,
                         const CancelCheck& cancel) {
    const Index M = Phi.cols();
    if (y.size() != Phi.rows()) {
        throw std::invalid_argument("fit_regularized_linear: len(y) != rows of Phi");
    }
    check_penalty_shape(R1, gamma1, M, "fit_regularized_linear: R1 is not M x M");
    check_penalty_shape(R2, gamma2, M, "fit_regularized_linear: R2 is not M x M");

    const double n = static_cast<double>(y.size());
    MatrixXd A = MatrixXd::Zero(M, M);
    VectorXd b = VectorXd::Zero(M);
    CancelPoller poller(cancel);
    gram_lower_and_cross(Phi, y, A, b, poller);
    check_finite_inputs(Phi, A, y, R1, R2, gamma1, gamma2, ridge);
    A.diagonal().array() += ridge;
    if (gamma1 != 0.0 && R1 != nullptr) {
        const double w1 = n * gamma1;
        A += w1 * *R1;
    }
    if (gamma2 != 0.0 && R2 != nullptr) {
        const double w2 = n * gamma2;
        A += w2 * *R2;
    }
    // The solve zeroes components whose pivot is at most the smallest normal
    // double, so singular systems give a finite answer.
    const Eigen::LDLT<MatrixXd, Eigen::Lower> ldlt(A);
    return ldlt.solve(b);
}

}  // namespace

VectorXd fit_regularized_linear(const MatrixRef& Phi, const VectorRef& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge,
                                const CancelCheck& cancel) {
    return penalized_solve(Phi, y, R1, R2, gamma1, gamma2, ridge, cancel);
}

VectorXd fit_regularized_linear(const RowMatrixRef& Phi, const VectorRef& y, const MatrixXd* R1,
                                const MatrixXd* R2, double gamma1, double gamma2, double ridge,
                                const CancelCheck& cancel) {
    return penalized_solve(Phi, y, R1, R2, gamma1, gamma2, ridge, cancel);
}

namespace {

template <class Design>
VectorXd least_squares(const Design& X, const VectorRef& y, const CancelCheck& cancel) {
    if (y.size() != X.rows()) {
        throw std::invalid_argument("ols: len(y) != rows of X");
    }
    if (X.rows() == 0 || X.cols() == 0) {
        return VectorXd::Zero(X.cols());
    }
    // The decomposition flags non-finite input only through its status and
    // would then solve to zeros; refuse it instead.
    CancelPoller poller(cancel);
    constexpr Index kScanRows = 4096;
    for (Index r0 = 0; r0 < X.rows(); r0 += kScanRows) {
        const Index len = std::min(kScanRows, X.rows() - r0);
        if (!X.middleRows(r0, len).allFinite()) {
            throw std::invalid_argument("ols: X contains non-finite values");
        }
        poller.add(len * X.cols());
    }
    if (X.rows() >= kQrMinRows && X.rows() >= 2 * X.cols()) {
        VectorXd beta;
        if (ols_by_qr(X, y, beta, poller)) {
            return beta;
        }
    }
    const Eigen::BDCSVD<MatrixXd> svd(X, Eigen::ComputeThinU | Eigen::ComputeThinV);
    return svd.solve(y);
}

}  // namespace

VectorXd ols(const MatrixRef& X, const VectorRef& y, const CancelCheck& cancel) {
    return least_squares(X, y, cancel);
}

VectorXd ols(const RowMatrixRef& X, const VectorRef& y, const CancelCheck& cancel) {
    return least_squares(X, y, cancel);
}

}  // namespace zorp
