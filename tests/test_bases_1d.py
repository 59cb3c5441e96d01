import math

import numpy as np
import pytest
from numpy.polynomial import polynomial as P

from zorp._native import zorp_core as zc

# ---------------------------------------------------------------- design matrix


@pytest.mark.parametrize("deg", [0, 1, 2, 5, 10])
@pytest.mark.parametrize("n", [1, 7, 2500])
def test_design_matrix_equals_polyvander(deg, n):
    # Same repeated-multiplication recurrence, so the entries agree bit for bit;
    # n = 2500 crosses several internal row blocks.
    x = np.random.default_rng(deg * 100 + n).uniform(-3, 3, n)
    Phi = zc.design_matrix_1d(deg, x)
    assert Phi.shape == (n, deg + 1)
    np.testing.assert_array_equal(Phi, P.polyvander(x, deg))


def test_design_matrix_examples_and_special_points():
    np.testing.assert_array_equal(
        zc.design_matrix_1d(2, [0.0, 0.5, 1.0]), [[1, 0, 0], [1, 0.5, 0.25], [1, 1, 1]]
    )
    np.testing.assert_array_equal(
        zc.design_matrix_1d(0, [np.nan, np.inf, -2.0, 0.0]), np.ones((4, 1))
    )
    Phi = zc.design_matrix_1d(4, [0.0, np.nan, -2.0])
    np.testing.assert_array_equal(Phi[0], [1, 0, 0, 0, 0])
    assert Phi[1, 0] == 1.0 and np.isnan(Phi[1, 1:]).all()
    np.testing.assert_array_equal(Phi[2], [1, -2, 4, -8, 16])


def test_design_matrix_shapes_and_layout():
    assert zc.design_matrix_1d(3, np.empty(0)).shape == (0, 4)
    Phi = zc.design_matrix_1d(3, np.arange(5.0))
    assert Phi.flags.f_contiguous and Phi.flags.writeable
    np.testing.assert_array_equal(
        zc.design_matrix_1d(1, np.array([[1.0], [2.0], [3.0]]))[:, 1], [1, 2, 3]
    )
    with pytest.raises(TypeError):
        zc.design_matrix_1d(1, np.ones((3, 3)))


def test_design_matrix_rejects_negative_degree():
    with pytest.raises(ValueError, match=r"^deg < 0$"):
        zc.design_matrix_1d(-1, [1.0, 2.0])


# ------------------------------------------------------------ smoothness penalties


def reference_penalties(deg, x_min, x_max, n_grid):
    """Grid sums built with NumPy from the derivative formulas."""
    dx = (x_max - x_min) / (n_grid - 1)
    xs = np.array([math.fma(float(g), dx, x_min) for g in range(n_grid)])
    p = np.arange(deg + 1)
    with np.errstate(divide="ignore", invalid="ignore"):
        d1 = np.where(p >= 1, p * xs[:, None] ** np.maximum(p - 1, 0), 0.0)
        d2 = np.where(p >= 2, p * (p - 1) * xs[:, None] ** np.maximum(p - 2, 0), 0.0)
    return dx * d1.T @ d1, dx * d2.T @ d2


@pytest.mark.parametrize(
    "deg, x_min, x_max, n_grid",
    [
        (1, 0.0, 1.0, 600),
        (3, -1.0, 2.0, 50),
        (6, -0.7, 1.3, 600),
        (4, 2.0, 5.0, 2),
        (15, -1.0, 1.0, 600),
        (9, 0.5, 3.0, 5000),  # several chunks of grid points
    ],
)
def test_penalties_match_numpy_grid_sum(deg, x_min, x_max, n_grid):
    R1, R2 = zc.smoothness_penalty_matrices_1d(deg, x_min, x_max, n_grid)
    E1, E2 = reference_penalties(deg, x_min, x_max, n_grid)
    scale1, scale2 = np.abs(E1).max(), max(np.abs(E2).max(), 1.0)
    np.testing.assert_allclose(R1, E1, rtol=0, atol=1e-12 * scale1)
    np.testing.assert_allclose(R2, E2, rtol=0, atol=1e-12 * scale2)


def test_penalty_reference_values():
    R1, R2 = zc.smoothness_penalty_matrices_1d(1, 0.0, 1.0)  # default n_grid = 600
    assert R1[0, 0] == R1[0, 1] == R1[1, 0] == 0.0
    assert R1[1, 1] == pytest.approx(600 / 599, rel=1e-13)
    np.testing.assert_array_equal(R2, np.zeros((2, 2)))

    R1, R2 = zc.smoothness_penalty_matrices_1d(2, 0.0, 1.0, 600)
    assert R2[2, 2] == pytest.approx(4 * 600 / 599, rel=1e-13)
    R2[2, 2] = 0.0
    np.testing.assert_array_equal(R2, np.zeros((3, 3)))

    R1, R2 = zc.smoothness_penalty_matrices_1d(0, -1.0, 1.0)
    np.testing.assert_array_equal(R1, [[0.0]])
    np.testing.assert_array_equal(R2, [[0.0]])


def test_penalty_default_grid_and_tuple():
    res = zc.smoothness_penalty_matrices_1d(3, -1.0, 2.0)
    assert isinstance(res, tuple) and len(res) == 2
    for a, b in zip(res, zc.smoothness_penalty_matrices_1d(3, -1.0, 2.0, 600), strict=True):
        np.testing.assert_array_equal(a, b)
        assert a.flags.f_contiguous and a.flags.writeable


@pytest.mark.parametrize("deg, x_min, x_max", [(7, -2.3, 1.9), (5, 0.1, 0.7), (9, -1.0, 1.0)])
def test_penalties_exactly_symmetric_and_psd(deg, x_min, x_max):
    for R in zc.smoothness_penalty_matrices_1d(deg, x_min, x_max, 137):
        np.testing.assert_array_equal(R, R.T)
        w = np.linalg.eigvalsh(R)
        assert w.min() >= -1e-10 * w.max()


def test_penalty_degenerate_and_reversed_intervals():
    for R in zc.smoothness_penalty_matrices_1d(4, 1.5, 1.5, 100):
        np.testing.assert_array_equal(R, np.zeros((5, 5)))
    fwd = zc.smoothness_penalty_matrices_1d(4, -1.0, 2.0, 100)
    rev = zc.smoothness_penalty_matrices_1d(4, 2.0, -1.0, 100)
    for F, R in zip(fwd, rev, strict=True):
        # Same grid walked backwards with a negative weight: the negated matrix.
        np.testing.assert_allclose(R, -F, rtol=1e-12, atol=1e-12)
        np.testing.assert_array_equal(R, R.T)
        assert np.linalg.eigvalsh(R).max() <= 1e-10 * np.abs(R).max()


@pytest.mark.parametrize(
    "deg, n_grid, message",
    [
        (-1, 1, "deg < 0"),
        (-5, 600, "deg < 0"),
        (3, 1, "n_grid < 2"),
        (3, 0, "n_grid < 2"),
        (3, -4, "n_grid < 2"),
    ],
)
def test_penalty_argument_errors(deg, n_grid, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        zc.smoothness_penalty_matrices_1d(deg, 0.0, 1.0, n_grid)


# ----------------------------------------------------------------- boundary matrix


def test_boundary_reference_matrices():
    np.testing.assert_array_equal(zc.boundary_reduce_1d(2, 0.0, 1.0), np.diag([0.0, 0.0, 4.0]))
    np.testing.assert_array_equal(
        zc.boundary_reduce_1d(3, 0.0, 1.0),
        [[0, 0, 0, 0], [0, 0, 0, 3], [0, 0, 4, 9], [0, 3, 9, 18]],
    )
    np.testing.assert_array_equal(zc.boundary_reduce_1d(0, -1.0, 3.0), np.zeros((1, 1)))
    np.testing.assert_array_equal(zc.boundary_reduce_1d(1, -1.0, 3.0), np.zeros((2, 2)))
    np.testing.assert_array_equal(zc.boundary_reduce_1d(5, 0.8, 0.8), np.zeros((6, 6)))
    assert zc.boundary_reduce_1d(-1, 0.0, 1.0).shape == (0, 0)


def test_boundary_rejects_degree_below_minus_one():
    with pytest.raises(ValueError):
        zc.boundary_reduce_1d(-2, 0.0, 1.0)


@pytest.mark.parametrize("deg, a, b", [(4, -1.0, 2.0), (6, 0.3, 1.1), (3, 2.0, -0.5)])
def test_boundary_quadratic_form_is_boundary_term(deg, a, b):
    Rb = zc.boundary_reduce_1d(deg, a, b)
    np.testing.assert_array_equal(Rb, Rb.T)
    np.testing.assert_allclose(zc.boundary_reduce_1d(deg, b, a), -Rb, rtol=1e-13, atol=1e-13)
    rng = np.random.default_rng(deg)
    for _ in range(5):
        beta = rng.normal(size=deg + 1)
        d1, d2 = P.polyder(beta, 1), P.polyder(beta, 2)
        term = P.polyval(b, d1) * P.polyval(b, d2) - P.polyval(a, d1) * P.polyval(a, d2)
        assert beta @ Rb @ beta == pytest.approx(term, rel=1e-11, abs=1e-11)
