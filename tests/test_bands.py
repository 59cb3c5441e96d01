"""Bands of the curve and of its derivatives, and derivatives in the units of x."""

import numpy as np
import pytest

from zorp import SmoothPolynomialRegressor


def _truth(x):
    return np.sin(3.0 * x) + 0.5 * x


def _slope(x):
    return 3.0 * np.cos(3.0 * x) + 0.5


@pytest.fixture(scope="module")
def curve():
    rng = np.random.default_rng(3)
    x = rng.uniform(-1.0, 3.0, 600)
    y = _truth(x) + rng.normal(0.0, 0.2, x.size)
    return x[:, None], y


@pytest.mark.parametrize("basis", ["legendre", "power"])
def test_derivatives_match_the_curve_in_units_of_x(curve, basis):
    X, y = curve
    est = SmoothPolynomialRegressor(basis=basis).fit(X, y)
    inside = np.linspace(-0.9, 2.9, 9)[:, None]
    for k in (1, 2, 3):
        np.testing.assert_allclose(
            est.predict(inside, derivative=k),
            est.polynomial_.deriv(k)(inside[:, 0]),
            rtol=1e-9,
            atol=1e-9 * 10**k,
        )
    h = 1e-5
    central = (est.predict(inside + h) - est.predict(inside - h)) / (2 * h)
    np.testing.assert_allclose(est.predict(inside, derivative=1), central, rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize(
    ("extrapolation", "first", "second"),
    [("linear", "edge", 0.0), ("constant", 0.0, 0.0), ("continue", "polynomial", "polynomial")],
)
def test_derivatives_beyond_the_box_follow_the_extrapolation(curve, extrapolation, first, second):
    X, y = curve
    est = SmoothPolynomialRegressor(extrapolation=extrapolation).fit(X, y)
    beyond = np.array([[-2.0], [4.5]])
    edge = np.r_[X.min(), X.max()][:, None]
    poly = est.polynomial_
    want = {
        "edge": est.predict(edge, derivative=1),
        "polynomial": poly.deriv(1)(beyond[:, 0]),
    }
    d1, d2 = est.predict(beyond, derivative=1), est.predict(beyond, derivative=2)
    np.testing.assert_allclose(d1, want.get(first, first), rtol=1e-9)
    want2 = poly.deriv(2)(beyond[:, 0]) if second == "polynomial" else second
    np.testing.assert_allclose(d2, want2, rtol=1e-9)
    # The derivative is that of the extrapolated prediction itself.
    h = 1e-4
    np.testing.assert_allclose(
        d1, (est.predict(beyond + h) - est.predict(beyond - h)) / (2 * h), rtol=1e-5, atol=1e-8
    )


def test_partial_derivatives_in_two_inputs_match_differences():
    rng = np.random.default_rng(5)
    X = rng.uniform([0.0, -2.0], [1.0, 2.0], (3000, 2))
    y = np.sin(3 * X[:, 0]) * X[:, 1] ** 2 + rng.normal(0.0, 0.05, 3000)
    est = SmoothPolynomialRegressor().fit(X, y)
    # Inside, beyond one axis and beyond both (linear extrapolation).
    pts = np.array([[0.5, 0.5], [1.2, 0.5], [0.5, 2.6], [1.3, -2.2]])
    h = 1e-4
    e0, e1 = np.array([h, 0.0]), np.array([0.0, h])
    f = est.predict
    np.testing.assert_allclose(
        est.predict(pts, derivative=(1, 0)), (f(pts + e0) - f(pts - e0)) / (2 * h), rtol=1e-5
    )
    np.testing.assert_allclose(
        est.predict(pts, derivative=(0, 1)), (f(pts + e1) - f(pts - e1)) / (2 * h), rtol=1e-5
    )
    mixed = (f(pts + e0 + e1) - f(pts + e0 - e1) - f(pts - e0 + e1) + f(pts - e0 - e1)) / (
        4 * h * h
    )
    np.testing.assert_allclose(est.predict(pts, derivative=(1, 1)), mixed, rtol=1e-3, atol=1e-6)


def test_mean_band_is_the_fit_posterior_and_lies_inside_the_prediction_band(curve):
    X, y = curve
    est = SmoothPolynomialRegressor().fit(X, y)
    grid = np.linspace(-1.0, 3.0, 50)[:, None]
    mean_band = est.predict_interval(grid, kind="mean")
    new_band = est.predict_interval(grid)
    fit, std_new = est.predict(grid, return_std=True)
    np.testing.assert_allclose(mean_band.mean(axis=1), fit, rtol=1e-12, atol=1e-12)
    assert np.all(mean_band[:, 0] > new_band[:, 0]) and np.all(mean_band[:, 1] < new_band[:, 1])
    # Var(new observation) = Var(fit) + sigma^2, both bands with Student's t.
    half_mean = (mean_band[:, 1] - mean_band[:, 0]) / 2
    half_new = (new_band[:, 1] - new_band[:, 0]) / 2
    ratio = half_mean / half_new
    np.testing.assert_allclose(ratio**2, 1.0 - est.sigma_**2 / std_new**2, rtol=1e-9)


@pytest.mark.parametrize("method", ["penalized", "robust"])
def test_mean_bands_cover_the_true_curve_and_slope(method):
    grid = np.linspace(0.0, 2.0, 200)[:, None]
    cover, cover_slope = [], []
    for seed in range(12):
        rng = np.random.default_rng(seed)
        x = rng.uniform(0.0, 2.0, 400)
        y = _truth(x) + rng.normal(0.0, 0.3, x.size)
        est = SmoothPolynomialRegressor(method=method).fit(x[:, None], y)
        lo, hi = est.predict_interval(grid, kind="mean").T
        cover.append(np.mean((lo <= _truth(grid[:, 0])) & (_truth(grid[:, 0]) <= hi)))
        lo, hi = est.predict_interval(grid, kind="mean", derivative=1).T
        cover_slope.append(np.mean((lo <= _slope(grid[:, 0])) & (_slope(grid[:, 0]) <= hi)))
    # Nominal 0.95, averaged over the range and 12 fits.
    assert 0.85 < np.mean(cover) <= 1.0
    assert 0.8 < np.mean(cover_slope) <= 1.0


def test_several_targets_give_each_column_its_own_band(curve):
    X, y = curve
    Y = np.c_[y, 3.0 * y + 1.0]
    both = SmoothPolynomialRegressor(adaptive=False).fit(X, Y)
    one = SmoothPolynomialRegressor(adaptive=False).fit(X, Y[:, 1])
    grid = np.linspace(-1.0, 3.0, 20)[:, None]
    band = both.predict_interval(grid, kind="mean", derivative=1)
    assert band.shape == (20, 2, 2)
    np.testing.assert_allclose(
        band[:, 1], one.predict_interval(grid, kind="mean", derivative=1), rtol=1e-8, atol=1e-9
    )


@pytest.mark.parametrize(
    ("X", "call", "message"),
    [
        (1, lambda e, X: e.predict(X, derivative=-1), "whole number >= 0"),
        (1, lambda e, X: e.predict(X, derivative=True), "whole number >= 0"),
        (1, lambda e, X: e.predict(X, derivative=1.0), "whole number >= 0"),
        (2, lambda e, X: e.predict(X, derivative=1), r"such as \(1, 0\)"),
        (2, lambda e, X: e.predict(X, derivative=(1,)), "sequence of 2"),
        (1, lambda e, X: e.predict_interval(X, kind="confidence"), "kind must be one of"),
        (1, lambda e, X: e.predict_interval(X, derivative=1), "kind='mean'"),
    ],
)
def test_bad_derivative_or_kind_is_refused(X, call, message):
    rng = np.random.default_rng(0)
    Xs = rng.uniform(size=(50, X))
    est = SmoothPolynomialRegressor(degree=3).fit(Xs, Xs.sum(axis=1))
    with pytest.raises(ValueError, match=message):
        call(est, Xs)


def test_bands_of_a_chosen_degree_keep_the_prior_of_the_terms_it_left_out(curve):
    # The same curve fitted at the chosen degree and weight, given: equal
    # fits; the automatic fit's band also holds the terms a few sizes up.
    X, y = curve
    auto = SmoothPolynomialRegressor(adaptive=False).fit(X, y)
    given = SmoothPolynomialRegressor(
        degree=auto.degrees_, gamma2=auto.gamma2_, adaptive=False
    ).fit(X, y)
    grid = np.linspace(-1.0, 3.0, 200)[:, None]
    np.testing.assert_allclose(auto.predict(grid), given.predict(grid), rtol=1e-10, atol=1e-12)
    for k in (0, 1):
        wide = np.diff(auto.predict_interval(grid, kind="mean", derivative=k), axis=1)
        narrow = np.diff(given.predict_interval(grid, kind="mean", derivative=k), axis=1)
        assert np.all(wide >= narrow * (1 - 1e-9)) and np.mean(wide / narrow) > 1.05
