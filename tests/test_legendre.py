"""The Legendre basis: exact penalties, and what its degree buys."""

import itertools

import numpy as np
import pytest
from numpy.polynomial import legendre as L

from zorp import SmoothPolynomialRegressor as R
from zorp.bases import LegendreBasis


def _tensor_quadrature(D: int, nodes: int):
    x, w = L.leggauss(nodes)
    pts = np.array(list(itertools.product(x, repeat=D)))
    wts = np.prod(np.array(list(itertools.product(w, repeat=D))), axis=1)
    return pts, wts


def _evaluate(c: np.ndarray, pts: np.ndarray) -> np.ndarray:
    # NumPy's own evaluation of a Legendre series in 1, 2 or 3 variables.
    fn = {1: L.legval, 2: L.legval2d, 3: L.legval3d}[c.ndim]
    return fn(pts[:, 0], c) if c.ndim == 1 else fn(*pts.T, c)


@pytest.mark.parametrize("degrees", [[0], [1], [7], [60], [3, 4], [9, 0], [2, 2, 3]])
def test_penalties_are_the_exact_integrals(rng, degrees):
    basis, R1, R2 = LegendreBasis.with_penalties(degrees)
    c = rng.normal(size=[d + 1 for d in degrees])
    beta = c.ravel()  # multi-indices run lexicographically, the last axis fastest
    assert basis.multi_indices == [list(m) for m in np.ndindex(*c.shape)]
    D = len(degrees)
    pts, wts = _tensor_quadrature(D, max(degrees) + 2)
    grad2 = sum(_evaluate(L.legder(c, 1, axis=i), pts) ** 2 for i in range(D))
    hess2 = sum(
        _evaluate(L.legder(L.legder(c, 1, axis=i), 1, axis=j), pts) ** 2
        for i in range(D)
        for j in range(D)
    )
    scale = float(wts @ (_evaluate(c, pts) ** 2)) * (max(degrees) + 1) ** 8
    assert beta @ R1 @ beta == pytest.approx(wts @ grad2, rel=1e-11, abs=1e-12 * scale)
    assert beta @ R2 @ beta == pytest.approx(wts @ hess2, rel=1e-11, abs=1e-12 * scale)
    np.testing.assert_array_equal(R2, R2.T)


def test_high_degree_follows_many_turns_where_powers_cannot(rng):
    # Seven full oscillations: beyond what degree 15 can follow.
    x = rng.uniform(0.0, 1.0, 2000)
    f = lambda t: np.sin(14.0 * np.pi * t)  # noqa: E731
    y = f(x) + 0.1 * rng.normal(size=x.size)
    grid = np.linspace(0.0, 1.0, 1001)[:, None]
    fits = {b: R(basis=b).fit(x[:, None], y) for b in ("legendre", "power")}
    rmse = {
        b: float(np.sqrt(np.mean((m.predict(grid) - f(grid[:, 0])) ** 2))) for b, m in fits.items()
    }
    assert fits["legendre"].basis_ == "legendre" and fits["legendre"].degrees_[0] > 15
    assert rmse["legendre"] < 0.03 < 0.3 < rmse["power"]
    assert fits["legendre"].sigma_ == pytest.approx(0.1, rel=0.1)
