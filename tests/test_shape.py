"""Shape constraints: they hold over the whole box, help on matching
truths, leave fits that already hold them alone, and are refused where they
cannot be kept."""

import numpy as np
import pytest
from scipy.optimize import nnls

from zorp import SmoothPolynomialRegressor
from zorp.shape import project

G1 = np.linspace(-1.0, 1.0, 10_000)[:, None]
_g = np.linspace(-1.0, 1.0, 100)
G2 = np.stack(np.meshgrid(_g, _g, indexing="ij"), axis=-1).reshape(-1, 2)

# name: (shape, truth, dimensions)
CASES = {
    "increasing": ("increasing", lambda X: np.tanh(4.0 * X[:, 0]), 1),
    "decreasing": ("decreasing", lambda X: np.exp(-3.0 * (X[:, 0] + 1.0)), 1),
    "convex": ("convex", lambda X: np.maximum(X[:, 0], 0.0) ** 2, 1),
    "concave": ("concave", lambda X: -np.sqrt(X[:, 0] ** 2 + 0.02), 1),
    "2-D increasing": (("increasing", None), lambda X: np.tanh(4.0 * X[:, 0]) + X[:, 1] ** 2, 2),
    "2-D convex": ((None, "convex"), lambda X: np.sin(2.0 * X[:, 0]) + np.exp(-4.0 * X[:, 1]), 2),
}


def _broken(shape, D, pred, scale):
    """How far the predictions on the grid break the shape along each
    constrained axis, relative to `scale` (0 where it holds)."""
    shapes = (shape,) * D if isinstance(shape, str) else shape
    P = pred.reshape((100, 100) if D == 2 else (-1,))
    worst = 0.0
    for axis, s in enumerate(shapes):
        if s is None:
            continue
        order = 1 if s in ("increasing", "decreasing") else 2
        sign = 1.0 if s in ("increasing", "convex") else -1.0
        diff = sign * np.diff(P, n=order, axis=axis)
        worst = max(worst, float(-diff.min()) / scale)
    return worst


@pytest.mark.parametrize("name", list(CASES))
def test_shape_holds_on_the_box_and_helps(name):
    shape, truth, D = CASES[name]
    grid = G1 if D == 1 else G2
    errors = {None: [], "shaped": []}
    for seed in range(3):
        rng = np.random.default_rng(seed)
        n = 300 if D == 1 else 1500
        X = rng.uniform(-1.0, 1.0, (n, D))
        y = truth(X) + rng.normal(0.0, 0.15, n)
        free = SmoothPolynomialRegressor().fit(X, y)
        shaped = SmoothPolynomialRegressor(shape=shape).fit(X, y)
        pred = shaped.predict(grid)
        # One input: exact. Several: exact on the check lines, so only a
        # rounding-sized dip between them.
        assert _broken(shape, D, pred, np.ptp(y)) < (1e-9 if D == 1 else 1e-4)
        for key, model in ((None, free), ("shaped", shaped)):
            errors[key].append(np.sqrt(np.mean((model.predict(grid) - truth(grid)) ** 2)))
        lo, hi = shaped.predict_interval(grid[:50]).T
        assert np.all(hi > lo)
    assert np.mean(errors["shaped"]) <= np.mean(errors[None])


@pytest.mark.parametrize("method", ["penalized", "ols", "robust"])
def test_inactive_constraint_gives_the_free_fit(method):
    # A steep line with little noise: every fit is increasing by a wide margin.
    rng = np.random.default_rng(5)
    x = rng.uniform(0.0, 10.0, (400, 1))
    y = 3.0 * x[:, 0] + np.sin(x[:, 0]) + rng.normal(0.0, 0.1, 400)
    free = SmoothPolynomialRegressor(method=method).fit(x, y)
    shaped = SmoothPolynomialRegressor(method=method, shape="increasing").fit(x, y)
    if method == "robust":
        # The robust fit's solves differ (constrained ones by a Cholesky factor).
        np.testing.assert_allclose(shaped.coef_, free.coef_, rtol=1e-7, atol=1e-9)
        return
    np.testing.assert_array_equal(shaped.coef_, free.coef_)
    np.testing.assert_array_equal(shaped.predict_interval(x[:20]), free.predict_interval(x[:20]))


@pytest.mark.parametrize("method", ["ols", "robust", "multi-target"])
def test_other_fits_keep_the_shape(method):
    rng = np.random.default_rng(11)
    x = rng.uniform(-1.0, 1.0, (500, 1))
    y = np.tanh(6.0 * x[:, 0]) + rng.normal(0.0, 0.2, 500)
    if method == "multi-target":
        y = np.c_[y, -(x[:, 0] ** 3) + rng.normal(0.0, 0.2, 500)]
        model = SmoothPolynomialRegressor(shape="increasing").fit(x, y)
        preds = model.predict(G1).T
    else:
        y[:40] += 4.0  # gross errors for the robust fit
        model = SmoothPolynomialRegressor(method=method, degree=12, shape="increasing")
        preds = [model.fit(x, y).predict(G1)]
    for pred in preds:
        assert _broken("increasing", 1, pred, 1.0) < 1e-9
    assert np.all(np.isfinite(model.sigma_))


def test_projection_matches_the_dual_least_squares():
    # The nearest point of {z : B z >= 0} is z0 + B' lam, lam >= 0 minimising
    # |z0 + B' lam|: a non-negative least-squares problem.
    rng = np.random.default_rng(3)
    for _ in range(20):
        k, m = rng.integers(2, 12), rng.integers(1, 40)
        B = rng.normal(size=(m, k))
        B /= np.linalg.norm(B, axis=1, keepdims=True)
        z0 = rng.normal(size=k) * 3.0
        z, Q, active = project(z0, B, 1e-13)
        lam, _ = nnls(B.T, -z0)
        np.testing.assert_allclose(z, z0 + B.T @ lam, atol=1e-8)
        assert (B @ z).min() > -1e-10
        np.testing.assert_allclose(Q.T @ Q, np.eye(len(active)), atol=1e-10)


@pytest.mark.parametrize(
    "shape, fit_kw, message",
    [
        ("increasng", {}, "'shape' parameter .* must be None, one of 'increasing'"),
        (("increasing", "up"), {}, "'shape' parameter"),
        (3, {}, "'shape' parameter"),
        ([], {}, "'shape' parameter"),
        (("increasing", None, None), {}, "3 entries but X has 2 features"),
        ("convex", {"method": "mcmc"}, "not kept by method='mcmc'"),
    ],
)
def test_bad_shapes_are_refused_before_fitting(shape, fit_kw, message):
    X = np.random.default_rng(0).uniform(size=(50, 2))
    y = X.sum(axis=1)
    model = SmoothPolynomialRegressor(shape=shape, **fit_kw)
    if fit_kw.get("method") == "mcmc":
        X, y = X[:, :1], y
    with pytest.raises(ValueError, match=message):
        model.fit(X, y)


def test_shape_is_a_parameter():
    sklearn = pytest.importorskip("sklearn.base")
    model = SmoothPolynomialRegressor(shape=("increasing", None))
    assert list(model.get_params())[-1] == "shape"
    copy = sklearn.clone(model)
    assert copy.get_params()["shape"] == ("increasing", None)
    assert "shape=('increasing', None)" in repr(model)
