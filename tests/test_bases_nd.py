"""Multi-indices, the N-D design matrix and the N-D roughness penalties."""

import itertools
import math
import re

import numpy as np
import pytest

from zorp._native import zorp_core as zc


def _axis_derivs(x, deg, order):
    """n x (deg + 1) table of the order-th derivative of x**p, p = 0 .. deg."""
    cols = []
    for p in range(deg + 1):
        if p < order:
            cols.append(np.zeros_like(x))
        else:
            coef = math.perm(p, order)
            cols.append(coef * x ** (p - order))
    return np.stack(cols, axis=1).reshape(len(x), deg + 1)


def direct_penalties(degrees, bounds, n):
    """Grid sums over all n**D points with G x M work matrices, one per derivative."""
    D = len(degrees)
    mi = [list(e) for e in itertools.product(*(range(d + 1) for d in degrees))]
    E = np.array(mi, dtype=int).reshape(len(mi), D)
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = math.prod((hi - lo) / (n - 1) for lo, hi in bounds)
    tab = [[_axis_derivs(axes[d], degrees[d], o) for o in range(3)] for d in range(D)]
    g = np.arange(n**D)
    k = [(g // n**d) % n for d in range(D)]

    def work_matrix(orders):
        W = np.ones((n**D, len(mi)))
        for d in range(D):
            W *= tab[d][orders[d]][np.ix_(k[d], E[:, d])]
        return W

    R1 = np.zeros((len(mi), len(mi)))
    R2 = np.zeros_like(R1)
    for i in range(D):
        for j in range(D):
            W = work_matrix([(d == i) + (d == j) for d in range(D)])
            R2 += dV * (W.T @ W)
        W = work_matrix([int(d == i) for d in range(D)])
        R1 += dV * (W.T @ W)
    return R1, R2, mi


def assert_gram_close(actual, expected, rtol):
    """Entrywise error bounded by rtol * sqrt(|R_aa| |R_bb|), the natural scale of
    a semi-definite matrix's entry (entries can cancel to near zero)."""
    scale = np.sqrt(np.outer(np.abs(np.diag(expected)), np.abs(np.diag(expected))))
    assert actual.shape == expected.shape
    assert np.all(np.abs(actual - expected) <= rtol * scale), np.max(np.abs(actual - expected))


# ---------------------------------------------------------------------------
# build_penalty_matrices_nd


def test_unit_square_bilinear_example():
    R1, R2, mi = zc.build_penalty_matrices_nd([1, 1], [(0, 1), (0, 1)], 2)
    assert mi == [[0, 0], [0, 1], [1, 0], [1, 1]]
    np.testing.assert_array_equal(R1, [[0, 0, 0, 0], [0, 4, 0, 2], [0, 0, 4, 2], [0, 2, 2, 4]])
    expected_R2 = np.zeros((4, 4))
    expected_R2[3, 3] = 8.0
    np.testing.assert_array_equal(R2, expected_R2)


@pytest.mark.parametrize(
    ("degrees", "expected"),
    [
        ([1, 2], [[0, 0], [0, 1], [0, 2], [1, 0], [1, 1], [1, 2]]),
        ([2, 1], [[0, 0], [0, 1], [1, 0], [1, 1], [2, 0], [2, 1]]),
        ([0, 0, 0], [[0, 0, 0]]),
        ([2, -1], []),
        ([-1], []),
        ([], [[]]),
    ],
)
def test_multi_index_order_and_shapes(degrees, expected):
    R1, R2, mi = zc.build_penalty_matrices_nd(degrees, [(0.0, 1.0)] * len(degrees), 3)
    assert mi == expected
    assert all(type(e) is int for m in mi for e in m)
    assert R1.shape == R2.shape == (len(expected), len(expected))
    if degrees == [] or degrees == [0, 0, 0]:
        np.testing.assert_array_equal(R1, [[0.0]])
        np.testing.assert_array_equal(R2, [[0.0]])


def test_default_grid_is_30():
    R1, R2, mi = zc.build_penalty_matrices_nd([2, 1], [(-1.0, 2.0), (0.5, 1.5)])
    E1, E2, _ = zc.build_penalty_matrices_nd([2, 1], [(-1.0, 2.0), (0.5, 1.5)], 30)
    np.testing.assert_array_equal(R1, E1)
    np.testing.assert_array_equal(R2, E2)
    assert R1.flags.f_contiguous and R1.flags.writeable


@pytest.mark.parametrize(
    ("degrees", "bounds", "n"),
    [
        ([3], [(0.0, 1.0)], 7),
        ([1, 1], [(0.0, 1.0), (0.0, 1.0)], 2),
        ([3, 2], [(-1.0, 2.0), (0.5, 3.0)], 5),
        ([2, 0, 3], [(0.0, 1.0), (-2.0, 2.0), (1.0, 1.5)], 4),
        ([1, 2, 1], [(-0.3, 0.7), (2.0, 0.0), (-1.0, 1.0)], 3),  # one reversed axis
        ([2, 3], [(3.0, -1.0), (2.0, -2.0)], 6),  # both reversed: dV > 0 again
        ([1, 1, 1, 1], [(0.0, 1.0), (0.0, 2.0), (-1.0, 0.0), (0.25, 0.75)], 3),
        ([4, 4], [(-2.0, 2.0), (0.0, 3.0)], 9),
    ],
)
def test_matches_direct_grid_sums(degrees, bounds, n):
    R1, R2, mi = zc.build_penalty_matrices_nd(degrees, bounds, n)
    E1, E2, emi = direct_penalties(degrees, bounds, n)
    assert mi == emi
    assert_gram_close(R1, E1, 1e-12)
    assert_gram_close(R2, E2, 1e-12)


def test_symmetric_with_zero_constant_row():
    R1, R2, mi = zc.build_penalty_matrices_nd(
        [3, 2, 4], [(-1.3, 2.1), (0.2, 5.0), (-3.0, -0.5)], 11
    )
    assert mi[0] == [0, 0, 0]
    for R in (R1, R2):
        np.testing.assert_array_equal(R, R.T)
        assert not R[0].any() and not R[:, 0].any()
        assert np.all(np.diag(R)[1:] >= 0)
    # Only squared gradients of non-constants and Hessians of non-affine terms remain.
    affine = [k for k, e in enumerate(mi) if sum(e) <= 1]
    assert not R2[affine].any() and not R2[:, affine].any()
    assert np.all(np.diag(R1)[1:] > 0)


def test_one_dimension_matches_closed_form():
    n = 600
    R1, R2, _ = zc.build_penalty_matrices_nd([4], [(0.0, 1.0)], n)
    x = np.linspace(0.0, 1.0, n)
    dx = 1.0 / (n - 1)
    d1 = _axis_derivs(x, 4, 1)
    d2 = _axis_derivs(x, 4, 2)
    assert_gram_close(R1, dx * d1.T @ d1, 1e-12)
    assert_gram_close(R2, dx * d2.T @ d2, 1e-12)
    assert R1[1, 1] == pytest.approx(600 / 599, rel=1e-14)
    assert R2[2, 2] == pytest.approx(4 * 600 / 599, rel=1e-14)
    assert R1[3, 2] == pytest.approx(dx * np.sum(3 * 2 * x ** (3 + 2 - 2)), rel=1e-13)


def test_one_dimension_matches_1d_builder():
    R1, R2, _ = zc.build_penalty_matrices_nd([3], [(-0.5, 2.0)], 50)
    E1, E2 = zc.smoothness_penalty_matrices_1d(3, -0.5, 2.0, 50)
    assert_gram_close(R1, E1, 1e-12)
    assert_gram_close(R2, E2, 1e-12)


@pytest.mark.parametrize("zero_axis", [0, 1, 2])
def test_zero_length_interval_gives_zero_matrices(zero_axis):
    bounds = [(0.0, 1.0), (-1.0, 2.0), (0.5, 1.0)]
    bounds[zero_axis] = (0.7, 0.7)
    R1, R2, mi = zc.build_penalty_matrices_nd([2, 1, 2], bounds, 5)
    assert len(mi) == 18
    assert not R1.any() and not R2.any()


@pytest.mark.parametrize(
    ("degrees", "bounds", "n", "message"),
    [
        ([1, 1, 1], [(0, 1), (0, 1)], 5, "Dimension mismatch."),
        ([], [(0, 1)], 5, "Dimension mismatch."),
        ([-5, 1], [(0, 1)], 0, "Dimension mismatch."),  # mismatch is reported first
        ([2, 1], [(0, 1), (0, 1)], 1, "n_grid < 2"),
        ([2], [(0, 1)], 0, "n_grid < 2"),
        ([2], [(0, 1)], -4, "n_grid < 2"),
        ([2, -2], [(0, 1), (0, 1)], 5, "deg < -1"),
        ([-2], [(0, 1)], 1, "deg < -1"),  # degree before grid
    ],
)
def test_invalid_arguments(degrees, bounds, n, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        zc.build_penalty_matrices_nd(degrees, bounds, n)


def test_oversized_basis_is_refused_cleanly():
    # prod(deg + 1) beyond the int range.
    with pytest.raises(ValueError, match="Too many basis functions"):
        zc.build_penalty_matrices_nd([65535, 65535, 1], [(0, 1)] * 3, 2)
    # M fits an int, but M * M doubles cannot be addressed.
    with pytest.raises(ValueError, match="Penalty matrices too large"):
        zc.build_penalty_matrices_nd([39999, 39999], [(0, 1)] * 2, 2)
    # Representable, but far beyond any address space (200 TB per matrix).
    with pytest.raises(MemoryError):
        zc.build_penalty_matrices_nd([4_999_999], [(0, 1)], 2)


# ---------------------------------------------------------------------------
# design_matrix_nd


def numpy_design(multi_indices, cols):
    n = len(cols[0])
    out = np.ones((n, len(multi_indices)))
    for j, e in enumerate(multi_indices):
        for d, x in enumerate(cols):
            if e[d] > 0:
                out[:, j] *= x ** e[d]
    return out


def test_design_example_columns():
    x = np.array([0.5, -2.0, 0.0, 3.0])
    y = np.array([1.5, 4.0, -1.0, 0.0])
    Phi = zc.design_matrix_nd([[0, 0], [1, 0], [0, 1], [1, 1], [2, 0]], [x, y])
    expected = np.stack([np.ones(4), x, y, x * y, x**2], axis=1)
    np.testing.assert_allclose(Phi, expected, rtol=1e-15, atol=0)
    assert Phi.flags.f_contiguous


@pytest.mark.parametrize("n", [0, 1, 1023, 1024, 2500])
def test_design_matches_numpy_powers(n):
    rng = np.random.default_rng(n)
    cols = [rng.uniform(-3, 3, n) for _ in range(3)]
    if n:
        cols[1][0] = 0.0
    mi = [list(e) for e in itertools.product(range(4), range(3), range(4))]
    mi += [[-1, 2, 0], [0, -3, -1], [5, 0, 7]]
    Phi = zc.design_matrix_nd(mi, cols)
    assert Phi.shape == (n, len(mi))
    np.testing.assert_allclose(Phi, numpy_design(mi, cols), rtol=1e-13, atol=0)


def test_design_with_penalty_multi_indices_and_edge_shapes():
    x = np.linspace(-1, 1, 7)
    _, _, mi = zc.build_penalty_matrices_nd([2, 2], [(-1, 1), (-1, 1)], 3)
    Phi = zc.design_matrix_nd(mi, [x, x[::-1].copy()])
    np.testing.assert_allclose(Phi, numpy_design(mi, [x, x[::-1]]), rtol=1e-14, atol=0)
    # Extra exponents beyond the coordinates are ignored; no multi-index gives no column.
    longer = zc.design_matrix_nd([[1, 2, 3]], [x, x])
    np.testing.assert_allclose(longer[:, 0], x**3, rtol=1e-14)
    assert zc.design_matrix_nd([], [x]).shape == (7, 0)
    np.testing.assert_array_equal(zc.design_matrix_nd([[0], [-1]], [x]), np.ones((7, 2)))


@pytest.mark.parametrize(
    ("mi", "cols"),
    [
        ([[1]], []),
        ([[1, 1]], [np.ones(3), np.ones(4)]),
        ([[1, 1], [2]], [np.ones(3), np.ones(3)]),
    ],
)
def test_design_rejects_inconsistent_input(mi, cols):
    with pytest.raises(ValueError):
        zc.design_matrix_nd(mi, cols)


# ---------------------------------------------------------------------------
# Workflow


def test_penalised_fit_workflow():
    rng = np.random.default_rng(3)
    x, y = rng.uniform(0, 1, 400), rng.uniform(0, 2, 400)
    R1, R2, mi = zc.build_penalty_matrices_nd([3, 2], [(0, 1), (0, 2)])
    Phi = zc.design_matrix_nd(mi, [x, y])
    beta_true = rng.normal(size=len(mi))
    target = Phi @ beta_true
    beta = zc.fit_regularized_linear(Phi, target, R1, R2, 0.0, 1e-14, 0.0)
    np.testing.assert_allclose(Phi @ beta, target, atol=1e-6)
    smooth = zc.fit_regularized_linear(Phi, target, R1, R2, 0.0, 1e-1)
    assert smooth @ R2 @ smooth < 0.5 * (beta @ R2 @ beta)


def test_high_dimension_consistency():
    # Far beyond the reach of grid sums (30**7 points): check the structure instead.
    degrees = [1, 2, 1, 3, 1, 1, 2]
    bounds = [(-1.0, 1.0), (0.0, 2.0), (0.5, 1.5), (-0.5, 0.5), (0.0, 1.0), (1.0, 3.0), (-2, 0)]
    R1, R2, mi = zc.build_penalty_matrices_nd(degrees, bounds, 30)
    # Reversing the dimensions permutes rows and columns the same way.
    P1, P2, pmi = zc.build_penalty_matrices_nd(degrees[::-1], bounds[::-1], 30)
    perm = [pmi.index(m[::-1]) for m in mi]
    assert_gram_close(P1[np.ix_(perm, perm)], R1, 1e-13)
    assert_gram_close(P2[np.ix_(perm, perm)], R2, 1e-13)
    # A constant extra dimension only scales both by its total weight n * step.
    C1, C2, cmi = zc.build_penalty_matrices_nd(degrees + [0], bounds + [(0.0, 2.0)], 30)
    assert cmi == [m + [0] for m in mi]
    weight = 30 * 2.0 / 29
    assert_gram_close(C1, weight * R1, 1e-13)
    assert_gram_close(C2, weight * R2, 1e-13)
