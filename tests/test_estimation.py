import numpy as np
import pytest

from zorp._native import zorp_core as zc


def random_problem(n, m, seed):
    rng = np.random.default_rng(seed)
    return rng.normal(size=(n, m)), rng.normal(size=n)


def reference_regularized(Phi, y, R1=None, R2=None, gamma1=0.0, gamma2=0.0, ridge=1e-10):
    n = len(y)
    A = Phi.T @ Phi + ridge * np.eye(Phi.shape[1])
    if R1 is not None and gamma1 != 0:
        A = A + n * gamma1 * R1
    if R2 is not None and gamma2 != 0:
        A = A + n * gamma2 * R2
    return np.linalg.solve(A, Phi.T @ y)


# ------------------------------------------------------------ penalized solve


def test_regularized_matches_numpy_normal_equations():
    x = np.random.default_rng(1).uniform(-1, 1, 200)
    Phi = zc.design_matrix_1d(5, x)
    y = np.sin(3 * x)
    R1, R2 = zc.smoothness_penalty_matrices_1d(5, -1.0, 1.0, 100)
    for kwargs in (
        {},
        {"ridge": 0.0},
        {"R1": R1, "gamma1": 1e-3},
        {"R2": R2, "gamma2": 1e-4, "ridge": 0.5},
        {"R1": R1, "R2": R2, "gamma1": 2e-3, "gamma2": 1e-4, "ridge": 1e-6},
        {"R1": R1, "gamma1": -1e-4},  # negative weights are applied as given
    ):
        beta = zc.fit_regularized_linear(Phi, y, **kwargs)
        expected = reference_regularized(Phi, y, **kwargs)
        np.testing.assert_allclose(beta, expected, rtol=1e-8, atol=1e-10, err_msg=str(kwargs))


def test_regularized_weight_scales_with_observation_count():
    Phi, y = random_problem(10, 3, 2)
    R1 = np.diag([1.0, 2.0, 3.0])
    beta = zc.fit_regularized_linear(Phi, y, R1, None, 0.5)
    expected = np.linalg.solve(Phi.T @ Phi + 1e-10 * np.eye(3) + 5.0 * R1, Phi.T @ y)
    np.testing.assert_allclose(beta, expected, rtol=1e-12)


def test_regularized_without_penalties_equals_least_squares():
    Phi, y = random_problem(50, 4, 3)
    beta = zc.fit_regularized_linear(Phi, y, ridge=0.0)
    np.testing.assert_allclose(beta, zc.ols(Phi, y), rtol=1e-10)
    np.testing.assert_allclose(beta, np.linalg.lstsq(Phi, y)[0], rtol=1e-10)


@pytest.mark.parametrize(
    "R1, R2",
    [
        (np.full((7, 2), np.nan), None),  # wrong shape and garbage, but gamma1 = 0
        (None, np.ones(5)),
        (np.full((3, 3), np.inf), np.full((3, 3), np.nan)),
    ],
)
def test_inactive_penalty_is_never_read(R1, R2):
    Phi, y = random_problem(20, 3, 4)
    beta = zc.fit_regularized_linear(Phi, y, R1, R2, 0.0, 0.0)
    np.testing.assert_array_equal(beta, zc.fit_regularized_linear(Phi, y))


def test_only_given_penalty_is_used():
    Phi, y = random_problem(30, 3, 5)
    R = np.diag([0.0, 1.0, 4.0])
    beta = zc.fit_regularized_linear(Phi, y, None, R, 0.3, 0.1)  # gamma1 without R1
    np.testing.assert_allclose(beta, reference_regularized(Phi, y, R2=R, gamma2=0.1), rtol=1e-10)


def test_nested_list_penalty_and_nonsymmetric_lower_triangle():
    Phi, y = random_problem(25, 2, 6)
    listed = zc.fit_regularized_linear(Phi, y, [[1.0, 0.0], [0.0, 2.0]], None, 0.01)
    np.testing.assert_allclose(
        listed, reference_regularized(Phi, y, np.diag([1.0, 2.0]), gamma1=0.01), rtol=1e-12
    )
    # Only the lower triangle of a penalty is read.
    nonsym = np.array([[1.0, 50.0], [0.3, 2.0]])
    lower_sym = np.array([[1.0, 0.3], [0.3, 2.0]])
    np.testing.assert_allclose(
        zc.fit_regularized_linear(Phi, y, nonsym, None, 0.01),
        zc.fit_regularized_linear(Phi, y, lower_sym, None, 0.01),
        rtol=1e-13,
    )


@pytest.mark.parametrize("bad", ["abc", {"a": 1}, object()])
def test_unconvertible_penalty_raises_type_error(bad):
    Phi, y = random_problem(5, 2, 7)
    with pytest.raises(TypeError, match=r"incompatible function arguments"):
        zc.fit_regularized_linear(Phi, y, bad)
    with pytest.raises(TypeError, match=r"incompatible function arguments"):
        zc.fit_regularized_linear(Phi, y, None, bad)


@pytest.mark.parametrize(
    "Phi_shape, y_len, R1, gamma1",
    [
        ((10, 3), 9, None, 0.0),
        ((10, 3), 11, None, 0.0),
        ((10, 3), 10, np.eye(2), 0.1),
        ((10, 3), 10, np.eye(4), -0.1),
        ((10, 3), 10, np.ones((3, 2)), np.nan),  # NaN weight counts as active
    ],
)
def test_regularized_shape_errors(Phi_shape, y_len, R1, gamma1):
    with pytest.raises(ValueError):
        zc.fit_regularized_linear(np.ones(Phi_shape), np.ones(y_len), R1, None, gamma1)
    with pytest.raises(ValueError):
        zc.fit_regularized_linear(np.ones(Phi_shape), np.ones(y_len), None, R1, 0.0, gamma1)


def test_regularized_degenerate_inputs():
    np.testing.assert_array_equal(
        zc.fit_regularized_linear(np.zeros((6, 3)), np.ones(6), ridge=0.0), np.zeros(3)
    )
    R = np.eye(3)
    np.testing.assert_array_equal(
        zc.fit_regularized_linear(np.zeros((0, 3)), np.zeros(0), R, R, 1.0, 2.0, 1.0), np.zeros(3)
    )
    empty = zc.fit_regularized_linear(np.zeros((4, 0)), np.ones(4))
    assert empty.shape == (0,)


@pytest.mark.parametrize("c", [[1.0, 2.0, 3.0], [0.5, -1.5, 2.0, 4.0]])
def test_identical_columns(c):
    c = np.asarray(c)
    y = np.arange(len(c), dtype=float) + 0.25
    X = np.column_stack([c, c])
    cy, cc = c @ y, c @ c
    pen = zc.fit_regularized_linear(X, y, ridge=0.0)
    assert np.isfinite(pen).all()
    np.testing.assert_allclose(pen, [cy / cc, 0.0], rtol=1e-14, atol=0)
    np.testing.assert_allclose(zc.ols(X, y), [cy / (2 * cc)] * 2, rtol=1e-12)


# ---------------------------------------------------------------- SVD least squares


@pytest.mark.parametrize(
    "shape, rank",
    [
        ((6, 6), 6),
        ((200, 8), 8),
        ((50, 6), 3),
        ((4, 9), 4),
        ((5, 12), 2),
        ((1, 1), 1),
        # Tall enough for the QR route, full rank and rank-deficient.
        ((3000, 8), 8),
        ((3000, 8), 5),
        ((1200, 600), 600),
    ],
)
def test_ols_matches_lstsq_minimum_norm(shape, rank):
    rng = np.random.default_rng(shape[0] * 31 + shape[1])
    n, m = shape
    X = rng.normal(size=(n, rank)) @ rng.normal(size=(rank, m))
    y = rng.normal(size=n)
    beta = zc.ols(X, y)
    assert beta.shape == (m,) and beta.flags.writeable
    np.testing.assert_allclose(beta, np.linalg.lstsq(X, y)[0], rtol=1e-8, atol=1e-10)
    if rank == min(n, m) and n <= m:  # exact fit when the rows are independent
        np.testing.assert_allclose(X @ beta, y, atol=1e-10)


@pytest.mark.parametrize("spread", [0.0, 4.0, 9.0])
def test_ols_tall_graded_columns_match_lstsq(spread):
    # Columns scaled over `spread` decades: the well-conditioned ones take the QR
    # route, the others the direct SVD; both agree with LAPACK's minimum-norm solve.
    rng = np.random.default_rng(int(spread))
    X = rng.normal(size=(5000, 6)) * np.logspace(0, -spread, 6)
    y = X @ rng.normal(size=6) + 1e-3 * rng.normal(size=5000)
    expected = np.linalg.lstsq(X, y)[0]
    np.testing.assert_allclose(zc.ols(X, y), expected, rtol=1e-10)
    np.testing.assert_allclose(zc.ols(np.ascontiguousarray(X), y), expected, rtol=1e-10)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("residual", [1e-6, 1.0])
@pytest.mark.parametrize("cond", [1e2, 1e4, 9e4])
def test_ols_is_backward_stable(cond, residual, order):
    # Tall X of known condition and residuals orthogonal to their range: the
    # exact least-squares solutions are known. A backward-stable solver's
    # relative error is bounded by a modest multiple of
    # eps * (cond + cond^2 * |r| / |X beta|), whatever the processor's kernels;
    # normal equations are off by about cond^2 * eps, which exceeds the bound
    # 25x to 2e4x at the small residual. Measured: at most 0.011 of the bound.
    n, k = 4000, 10
    eps = np.finfo(float).eps
    bound = 4.0 * eps * (cond + cond**2 * residual)
    for seed in range(3):
        rng = np.random.default_rng(seed)
        U, _ = np.linalg.qr(rng.normal(size=(n, k + 1)))
        V, _ = np.linalg.qr(rng.normal(size=(k, k)))
        X = np.asarray((U[:, :k] * np.logspace(0, -np.log10(cond), k)) @ V.T, order=order)
        beta = rng.normal(size=k)
        fit = X @ beta
        y = fit + residual * np.linalg.norm(fit) * U[:, k]
        error = np.linalg.norm(zc.ols(X, y) - beta) / np.linalg.norm(beta)
        assert error <= bound


# C-ordered float64 designs are read in place by a row-major kernel, others
# (Fortran-ordered, strided) by the column-major one.
@pytest.mark.parametrize("layout", ["C", "F", "strided"])
@pytest.mark.parametrize(
    "n, m", [(70_001, 3), (9_000, 40), (1, 5), (3_001, 11), (2_000, 20), (5_001, 1), (4_099, 2)]
)
def test_regularized_over_many_row_blocks(n, m, layout):
    Phi, y = random_problem(n, m, n + m)
    Phi = {
        "C": np.ascontiguousarray(Phi),
        "F": np.asfortranarray(Phi),
        "strided": np.repeat(Phi, 2, axis=0)[::2],
    }[layout]
    R1, R2 = zc.smoothness_penalty_matrices_1d(m - 1, -1.0, 1.0, 50)
    beta = zc.fit_regularized_linear(Phi, y, R1, R2, 1e-3, 1e-4, 1e-6)
    expected = reference_regularized(Phi, y, R1, R2, 1e-3, 1e-4, 1e-6)
    np.testing.assert_allclose(beta, expected, rtol=1e-9, atol=1e-12)


def test_ols_degenerate_inputs():
    np.testing.assert_array_equal(zc.ols(np.zeros((600, 3)), np.ones(600)), np.zeros(3))
    np.testing.assert_array_equal(zc.ols(np.zeros((5, 3)), np.ones(5)), np.zeros(3))
    np.testing.assert_array_equal(zc.ols(np.zeros((0, 4)), np.zeros(0)), np.zeros(4))
    assert zc.ols(np.zeros((3, 0)), np.ones(3)).shape == (0,)


@pytest.mark.parametrize(
    "X, y",
    [
        (np.ones((4, 2)), np.ones(3)),
        (np.ones((4, 2)), np.ones(5)),
        (np.array([[1.0, np.nan], [0.0, 1.0]]), np.ones(2)),
        (np.array([[1.0, 0.0], [-np.inf, 1.0]]), np.ones(2)),
    ],
)
def test_ols_rejects_bad_input(X, y):
    with pytest.raises(ValueError):
        zc.ols(X, y)
