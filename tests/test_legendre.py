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


def _rmse(est, f, lo=0.0, hi=1.0):
    grid = np.linspace(lo, hi, 1001)
    return float(np.sqrt(np.mean((est.predict(grid[:, None]) - f(grid)) ** 2)))


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_varying_weight_is_low_at_a_spike_and_only_chosen_when_it_pays(seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0.0, 1.0, 3000)
    smooth = lambda t: np.sin(2.0 * np.pi * t) + t  # noqa: E731
    spike = lambda t: smooth(t) + 2.0 * np.exp(-0.5 * ((t - 0.7) / 0.01) ** 2)  # noqa: E731
    noise = 0.1 * rng.normal(size=x.size)
    # A smooth truth: one weight serves, and the fit says so.
    assert R().fit(x[:, None], smooth(x) + noise).gamma2_profile_ is None
    # A narrow spike on it: the weight is lowest at the spike, and the fit
    # beats the single weight's there.
    varying = R().fit(x[:, None], spike(x) + noise)
    profile = varying.gamma2_profile_
    assert profile is not None and profile.shape[1] == 2
    assert abs(profile[np.argmin(profile[:, 1]), 0] - 0.7) <= 0.1
    single = R(adaptive=False).fit(x[:, None], spike(x) + noise)
    assert _rmse(varying, spike) < 0.85 * _rmse(single, spike)
    # No weight falls far below the single one, where the curve could swing
    # freely between points; with few rows one weight serves.
    assert profile[:, 1].min() >= 1e-4 * single.gamma2_ * (1.0 - 1e-9)
    few = R().fit(x[:150, None], spike(x[:150]) + noise[:150])
    assert few.gamma2_profile_ is None


@pytest.mark.parametrize("basis", ["legendre", "power"])
def test_polynomial_is_the_fitted_curve_in_x_units(rng, basis):
    x = rng.uniform(3.0, 8.0, 400)
    y = np.cos(x) + 0.05 * rng.normal(size=x.size)
    est = R(basis=basis).fit(x[:, None], y)
    p = est.polynomial_
    t = np.linspace(x.min(), x.max(), 201)
    np.testing.assert_allclose(p(t), est.predict(t[:, None]), rtol=0, atol=1e-10)
    h = 1e-5
    slope = (est.predict(t[1:-1, None] + h) - est.predict(t[1:-1, None] - h)) / (2 * h)
    np.testing.assert_allclose(p.deriv()(t[1:-1]), slope, atol=1e-5)
    assert p.integ(lbnd=t[0])(t[-1]) == pytest.approx(np.trapezoid(p(t), t), rel=1e-3)
    both = R(basis=basis).fit(x[:, None], np.c_[y, 2.0 * y]).polynomial_
    np.testing.assert_allclose(both[1](t), 2.0 * both[0](t), rtol=1e-9, atol=1e-9)
    with pytest.raises(AttributeError, match="one input"):
        _ = R().fit(np.c_[x, x**2], y).polynomial_


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("targets", [1, 3, "robust"])
def test_statistics_from_moments_equal_those_of_the_rows(rng, weighted, targets):
    from zorp.bases import Box
    from zorp.sources import ArraySource

    n, top = 5003, 60
    X = rng.normal(0.3, 0.4, (n, 1))  # clustered: the moments cancel most
    Y = rng.normal(size=(n, 1 if targets == "robust" else targets)) + np.cos(3 * X)
    w = rng.uniform(0.5, 2.0, n) if weighted else None
    source = ArraySource(X, Y, w)
    box = Box(X.min(axis=0), X.max(axis=0))
    basis = LegendreBasis([[p] for p in range(top + 1)])
    robust = (rng.normal(size=top + 1) * 0.01, 0.8) if targets == "robust" else None
    fast = source._moment_statistics(basis, box, top, robust)
    rows = source._block_statistics(basis, box, robust)
    d = np.sqrt(np.diag(rows.gram))
    assert np.abs(fast.gram - rows.gram).max() <= 1e-13 * d.max() ** 2
    np.testing.assert_allclose(
        fast.cross, rows.cross, rtol=1e-11, atol=1e-11 * np.abs(rows.cross).max()
    )
    np.testing.assert_allclose(fast.yy, rows.yy, rtol=1e-12)
    assert fast.n == pytest.approx(rows.n, rel=1e-14)


def test_robust_fit_adapts_its_weight_between_gross_errors(rng):
    x = rng.uniform(0.0, 1.0, 1000)
    f = lambda t: np.sin(2.0 * np.pi * t) + t + np.exp(-0.5 * ((t - 0.6) / 0.01) ** 2)  # noqa: E731
    y = f(x) + 0.2 * rng.normal(size=x.size)
    bad = rng.random(x.size) < 0.15
    y[bad] += rng.uniform(2.0, 5.0, bad.sum())
    varying = R(method="robust").fit(x[:, None], y)
    single = R(method="robust", adaptive=False).fit(x[:, None], y)
    assert _rmse(varying, f) < 0.8 * _rmse(single, f)
    assert (~varying.inlier_mask_[bad]).mean() > 0.9
