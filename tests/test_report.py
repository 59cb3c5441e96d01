"""What a fit reports about itself: summary figures and table, the plot, hashing,
and the version a pickle was written by."""

import pickle
import warnings

import numpy as np
import pytest

import zorp
from zorp import InconsistentVersionWarning, SmoothPolynomialRegressor


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    x = rng.uniform(0.0, 4.0, 400)
    y = np.exp(-x) * np.sin(4 * x) + rng.normal(0.0, 0.05, x.size)
    y[:12] += 3.0
    return x[:, None], y


def test_summary_figures_agree_with_the_fit(data):
    X, y = data
    est = SmoothPolynomialRegressor().fit(X, y)
    f = est.summary().to_dict()
    row = f["targets"][0]
    assert (f["n_samples"], f["degrees"], f["basis"]) == (400, est.degrees_, "legendre")
    assert row["edf"] == pytest.approx(est.edf_) and row["sigma"] == pytest.approx(est.sigma_)
    # R^2 and AIC from the training residuals.
    rss = np.sum((y - est.predict(X)) ** 2)
    assert row["r2"] == pytest.approx(est.score(X, y), rel=1e-9)
    n, k = len(y), est.edf_ + 1
    assert row["aic"] == pytest.approx(n * np.log(2 * np.pi * rss / n) + n + 2 * k, rel=1e-9)
    text = str(est.summary())
    assert "legendre" in text and f"{est.edf_:.4g}" in text and "R^2" in text


def test_criterion_value_is_in_the_units_of_y(data):
    # Targets near the float limit are fitted scaled; -2 log L_R is then
    # reported shifted by (n - m0) log c^2, as for y scaled by c, so that
    # values compare fits of the same data.
    X, y = data
    a = SmoothPolynomialRegressor(adaptive=False).fit(X, y)
    b = SmoothPolynomialRegressor(adaptive=False).fit(X, 1e300 * y)
    va, vb = (e.summary().to_dict()["targets"][0]["criterion"] for e in (a, b))
    m0 = 2  # the curvature penalty leaves constant and slope free
    assert vb - va == pytest.approx((400 - m0) * 2 * np.log(1e300), rel=1e-9)


def test_robust_summary_reports_scale_and_flagged_rows(data):
    X, y = data
    est = SmoothPolynomialRegressor(method="robust").fit(X, y)
    row = est.summary().to_dict()["targets"][0]
    assert row["n_flagged"] == int((~est.inlier_mask_).sum()) >= 12
    assert row["scale"] == pytest.approx(est.scale_) and row["n_iter"] == est.n_iter_
    assert row["r2"] is None and "flagged" in str(est.summary())


def test_plot_draws_bands_and_flagged_rows(data):
    plt = pytest.importorskip("matplotlib.pyplot")
    X, y = data
    est = SmoothPolynomialRegressor(method="robust").fit(X, y)
    ax = est.plot(X, y)
    labels = ax.get_legend_handles_labels()[1]
    assert {"95% prediction band", "95% band of the curve", "flagged (robust fit)"} <= set(labels)
    plt.close(ax.figure)
    with pytest.raises(ValueError, match="one target"):
        SmoothPolynomialRegressor().fit(X, np.c_[y, y]).plot(X, y)


def test_estimators_hash_consistently_with_equality(data):
    X, y = data
    a, b = SmoothPolynomialRegressor(degree=3), SmoothPolynomialRegressor(degree=3)
    assert len({a, b, SmoothPolynomialRegressor()}) == 2
    before = hash(a)
    a.fit(X, y)
    assert hash(a) == before


def test_pickle_records_the_version_and_warns_when_another_loads_it(data, monkeypatch):
    X, y = data
    est = SmoothPolynomialRegressor().fit(X, y)
    blob = pickle.dumps(est)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert pickle.loads(blob) == est
    monkeypatch.setattr(zorp.estimator, "__version__", "99.0")
    with pytest.warns(InconsistentVersionWarning, match="pickled by zorp .* loaded by zorp 99.0"):
        back = pickle.loads(blob)
    np.testing.assert_array_equal(back.predict(X), est.predict(X))
