"""Automatic smoothness and degree, uncertainty, extrapolation and weights,
checked against dense computations and known-truth data."""

import pickle
import subprocess
import sys

import numpy as np
import pytest

from zorp import SmoothPolynomialRegressor
from zorp._native import zorp_core as zc
from zorp.estimator import NotFittedError, splitmix64
from zorp.smoothing import SmoothingPath, Sufficient, fixed_part


def _truth(x):
    return np.sin(x) + 0.15 * x


@pytest.fixture
def noisy(rng):
    x = rng.uniform(0.0, 10.0, 400)
    return x[:, None], _truth(x) + 0.3 * rng.normal(size=x.size)


def _dense_criteria(Phi, y, F, S, lam):
    """GCV, REML, edf and coefficients at weight lam, from dense solves."""
    n = len(y)
    A = F + lam * S
    coef = np.linalg.solve(A, Phi.T @ y)
    rss = float(np.sum((y - Phi @ coef) ** 2))
    edf = float(np.trace(np.linalg.solve(A, Phi.T @ Phi)))
    ev = np.linalg.eigvalsh(S)
    pos = ev > 1e-12 * ev.max()
    rank = int(pos.sum())
    nu = n - (len(ev) - rank)
    dev = rss + lam * float(coef @ S @ coef)
    reml = (
        nu * np.log(2 * np.pi * dev / nu)
        + nu
        + np.linalg.slogdet(A)[1]
        - rank * np.log(lam)
        - np.log(ev[pos]).sum()
    )
    return n * rss / (n - edf) ** 2, reml, edf, coef


@pytest.mark.parametrize("lam", [1e-9, 1e-6, 1e-3])
def test_path_matches_dense_solves(noisy, lam):
    X, y = noisy
    s = X[:, 0] / 5.0 - 1.0
    Phi = zc.design_matrix_1d(9, s)
    _, R2 = zc.smoothness_penalty_matrices_1d(9, -1.0, 1.0, 600)
    stats = Sufficient.from_design(Phi, y)
    F = fixed_part(stats, None, 0.0, 1e-10)
    path = SmoothingPath(stats, F, len(y) * R2)
    gcv, reml, edf, coef = _dense_criteria(Phi, y, F, len(y) * R2, lam)
    assert float(path.criterion(lam, "gcv")) == pytest.approx(gcv, rel=1e-7)
    assert float(path.criterion(lam, "reml")) == pytest.approx(reml, rel=1e-7)
    fit = path.fit(lam)
    assert fit.edf == pytest.approx(edf, rel=1e-7)
    np.testing.assert_allclose(Phi @ fit.coef, Phi @ coef, rtol=0, atol=1e-8)


@pytest.mark.parametrize("criterion", ["reml", "gcv"])
def test_auto_weight_is_the_criterion_minimum(noisy, criterion):
    X, y = noisy
    est = SmoothPolynomialRegressor(degree=9, basis="power", criterion=criterion).fit(X, y)
    Phi = zc.design_matrix_1d(9, (X[:, 0] - est.x_center_[0]) / est.x_half_range_[0])
    _, R2 = zc.smoothness_penalty_matrices_1d(9, -1.0, 1.0, 600)
    stats = Sufficient.from_design(Phi, y)
    path = SmoothingPath(stats, fixed_part(stats, None, 0.0, 1e-10), len(y) * R2)
    dense = path.criterion(np.logspace(-14, 3, 2000), criterion)
    assert float(path.criterion(est.gamma2_, criterion)) <= dense.min() + 1e-9 * abs(dense.min())
    # The reported fit is the explicit fit at the chosen weight.
    ref = SmoothPolynomialRegressor(degree=9, basis="power", gamma2=est.gamma2_).fit(X, y)
    np.testing.assert_allclose(est.predict(X), ref.predict(X), rtol=0, atol=1e-8)
    assert 2.0 < est.edf_ < 10.0


def test_defaults_are_close_to_the_oracle_smoother(rng):
    # Against the best explicit weight and degree chosen with the truth known.
    x = rng.uniform(0.0, 10.0, 1000)
    y = _truth(x) + 0.3 * rng.normal(size=x.size)
    grid = np.linspace(0.0, 10.0, 2001)[:, None]

    def err(est):
        return float(
            np.sqrt(np.mean((est.fit(x[:, None], y).predict(grid) - _truth(grid[:, 0])) ** 2))
        )

    oracle = min(
        err(SmoothPolynomialRegressor(degree=d, gamma2=g))
        for d in (6, 8, 10, 12, 15)
        for g in 10.0 ** np.arange(-12.0, -1.0)
    )
    assert err(SmoothPolynomialRegressor()) < 1.3 * oracle


@pytest.mark.parametrize(
    ("truth", "d"),
    [
        (_truth, 1),
        (lambda x: 2.0 / (1.0 + np.exp(-3.0 * (x - 5.0))), 1),
        (lambda X: np.sin(X[:, 0] / 2.0) * np.cos(X[:, 1] / 3.0), 2),
    ],
)
def test_prediction_intervals_cover_new_observations(rng, truth, d):
    X = rng.uniform(0.0, 10.0, (600, d))
    Xt = rng.uniform(0.0, 10.0, (20000, d))
    f = (lambda A: truth(A[:, 0])) if d == 1 else truth
    est = SmoothPolynomialRegressor().fit(X, f(X) + 0.3 * rng.normal(size=len(X)))
    yt = f(Xt) + 0.3 * rng.normal(size=len(Xt))
    lo, hi = est.predict_interval(Xt, 0.95).T
    assert 0.93 <= np.mean((yt >= lo) & (yt <= hi)) <= 0.97
    mean, std = est.predict(Xt, return_std=True)
    np.testing.assert_allclose((lo + hi) / 2, mean, rtol=0, atol=1e-12)
    assert np.all(std >= est.sigma_) and est.sigma_ == pytest.approx(0.3, rel=0.15)
    narrow = est.predict_interval(Xt, 0.5)
    assert np.all(narrow[:, 1] - narrow[:, 0] < hi - lo)


@pytest.mark.parametrize("mode", ["linear", "constant", "continue", "error"])
def test_extrapolation_modes(noisy, mode):
    X, y = noisy
    est = SmoothPolynomialRegressor(degree=7, extrapolation=mode).fit(X, y)
    poly = np.polynomial.Legendre(est.coef_)
    c, h = est.x_center_[0], est.x_half_range_[0]
    lo, hi = est.x_min_[0], est.x_max_[0]
    inside = np.linspace(lo, hi, 9)[:, None]
    np.testing.assert_allclose(est.predict(inside), poly((inside[:, 0] - c) / h), atol=1e-10)
    out = np.array([lo - 3.0, lo - 0.5, hi + 0.5, hi + 5.0])
    if mode == "error":
        with pytest.raises(ValueError, match="outside the training range"):
            est.predict(out[:, None])
        return
    edge = np.where(out < lo, lo, hi)
    se = (edge - c) / h
    expected = {
        "linear": poly(se) + poly.deriv()(se) / h * (out - edge),
        "constant": poly(se),
        "continue": poly((out - c) / h),
    }[mode]
    mean, std = est.predict(out[:, None], return_std=True)
    np.testing.assert_allclose(mean, expected, rtol=1e-10, atol=1e-10)
    assert np.all(np.isfinite(std)) and np.all(std > 0)


@pytest.mark.parametrize(
    "params",
    [dict(), dict(gamma2=1e-4, degree=6), dict(method="ols", degree=4), dict(degree=[3, 2])],
)
def test_weight_two_equals_a_duplicated_row(rng, params):
    d = len(params.get("degree", [0])) if isinstance(params.get("degree"), list) else 1
    X = rng.uniform(-1.0, 2.0, (80, d))
    y = np.cos(X.sum(axis=1)) + 0.1 * rng.normal(size=80)
    w = np.ones(80)
    w[[3, 17, 40]] = 2.0
    w[5] = 0.0
    rows = np.concatenate([np.delete(np.arange(80), 5), [3, 17, 40]])
    a = SmoothPolynomialRegressor(**params).fit(X, y, sample_weight=w)
    b = SmoothPolynomialRegressor(**params).fit(X[rows], y[rows])
    assert a.degrees_ == b.degrees_
    np.testing.assert_allclose(a.coef_, b.coef_, rtol=1e-7, atol=1e-9)
    for name in ("gamma2_", "edf_", "sigma_"):
        assert getattr(a, name) == pytest.approx(getattr(b, name), rel=1e-7, abs=1e-12)
    np.testing.assert_allclose(
        a.predict(X, return_std=True), b.predict(X, return_std=True), rtol=1e-7
    )


@pytest.mark.parametrize(
    ("params", "error", "message"),
    [
        (dict(gamma2=-1e-3), ValueError, r"'gamma2'.*'auto' or .*\[0.0, inf\)"),
        (dict(ridge=-1.0), ValueError, r"'ridge'.*\[0.0, inf\)"),
        (dict(H=0), ValueError, r"'H'.*\[1, "),
        (dict(step_size=0.0), ValueError, r"'step_size'.*\(0.0, inf\)"),
        (dict(n_chains=0), ValueError, r"'n_chains'.*\[1, "),
        (dict(degree=[3.7]), TypeError, r"'degree'.*ints"),
        (dict(n_grid=2.5), TypeError, r"'n_grid'"),
        (dict(seed=-1), ValueError, r"'seed'.*18446744073709551615"),
        (dict(seed=2**64), ValueError, r"'seed'"),
        (dict(n_deep=True), TypeError, r"'n_deep'"),
        (dict(criterion="aic"), ValueError, r"'criterion'.*'reml' or 'gcv'"),
        (dict(extrapolation="wild"), ValueError, r"'extrapolation'"),
    ],
)
def test_bad_parameters_are_refused_before_any_work(noisy, params, error, message):
    X, y = noisy
    est = SmoothPolynomialRegressor(degree=3).fit(X, y)
    before = est.coef_.copy()
    est.set_params(**params)
    with pytest.raises(error, match=message):
        est.fit(X[:50], y[:50])
    np.testing.assert_array_equal(est.coef_, before)  # the earlier fit is intact


def test_seeds_are_mixed_by_splitmix64():
    # Reference outputs of SplitMix64 from states 0 and 1 (its first draws).
    assert splitmix64(0) == 0xE220A8397B1DCDAF
    assert splitmix64(1) == 0x910A2DEC89025CC1


def test_not_fitted_error_pickles_across_processes(tmp_path):
    sklearn_exceptions = pytest.importorskip("sklearn.exceptions")
    with pytest.raises(NotFittedError) as info:
        SmoothPolynomialRegressor().predict(np.zeros((2, 1)))
    assert isinstance(info.value, sklearn_exceptions.NotFittedError)
    code = (
        "import pickle, sys; import sklearn.exceptions as s; import zorp.estimator as z\n"
        "e = pickle.loads(sys.stdin.buffer.read())\n"
        "assert isinstance(e, z.NotFittedError) and isinstance(e, s.NotFittedError), type(e)\n"
        "print(e)"
    )
    out = subprocess.run(
        [sys.executable, "-c", code],
        input=pickle.dumps(info.value),
        capture_output=True,
        check=True,
        cwd=tmp_path,  # the installed package, not the source tree
    )
    assert b"not fitted" in out.stdout
