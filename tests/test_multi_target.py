"""Several target columns fitted at once agree with one fit per column."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from sklearn.base import clone

from zorp import SmoothPolynomialRegressor

CASES = [
    (1, dict(degree=7)),
    (1, dict(degree=8, criterion="gcv", gamma1=1e-4)),
    (1, dict(degree=5, gamma2=1e-4)),
    (1, dict(degree=4, method="ols")),
    (2, dict(degree=[3, 2], n_grid=12)),
]


@pytest.fixture
def many(rng):
    def make(D, t=4, n=150):
        X = rng.uniform(-1.0, 4.0, size=(n, D))
        scales = rng.uniform(0.3, 3.0, t)
        noise = rng.uniform(0.02, 0.5, t)
        Y = np.sin(X.sum(axis=1)[:, None] * scales) + noise * rng.normal(size=(n, t))
        return X, Y

    return make


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize(("D", "params"), CASES)
def test_multi_target_equals_column_by_column(many, rng, D, params, weighted):
    X, Y = many(D)
    w = rng.uniform(0.0, 2.0, len(Y)) if weighted else None
    multi = SmoothPolynomialRegressor(**params).fit(X, Y, sample_weight=w)
    t = Y.shape[1]
    assert multi.coef_.shape == (t, len(multi.multi_indices_))
    for name in ("gamma2_", "edf_", "sigma_", "mdl_score_", "hit_rate_"):
        assert getattr(multi, name).shape == (t,)
    Xt = np.vstack([X, X.max(axis=0) + 0.5])  # one row beyond the box
    mean, std = multi.predict(Xt, return_std=True)
    bounds = multi.predict_interval(Xt, 0.9)
    assert mean.shape == std.shape == (len(Xt), t) and bounds.shape == (len(Xt), t, 2)
    for j in range(t):
        one = SmoothPolynomialRegressor(**params).fit(X, Y[:, j], sample_weight=w)
        np.testing.assert_allclose(multi.coef_[j], one.coef_, rtol=1e-9, atol=1e-11)
        for name in ("gamma2_", "edf_", "sigma_", "mdl_score_", "hit_rate_"):
            assert getattr(multi, name)[j] == pytest.approx(getattr(one, name), rel=1e-9)
        m1, s1 = one.predict(Xt, return_std=True)
        np.testing.assert_allclose(mean[:, j], m1, rtol=1e-9, atol=1e-10)
        np.testing.assert_allclose(std[:, j], s1, rtol=1e-9)
        np.testing.assert_allclose(bounds[:, j], one.predict_interval(Xt, 0.9), rtol=1e-9)
    scores = [
        SmoothPolynomialRegressor(**params).fit(X, Y[:, j], sample_weight=w).score(X, Y[:, j])
        for j in range(t)
    ]
    assert multi.score(X, Y) == pytest.approx(np.mean(scores), rel=1e-9)


def test_shared_gamma2_minimises_the_summed_criterion(many):
    X, Y = many(1, t=5)
    shared = SmoothPolynomialRegressor(degree=9, gamma2_per_target=False).fit(X, Y)
    own = SmoothPolynomialRegressor(degree=9).fit(X, Y)
    assert np.all(shared.gamma2_ == shared.gamma2_[0])
    assert np.ptp(np.log(own.gamma2_)) > 0.5  # the columns differ: sharing is a real constraint
    # The shared weight is the given-weight fit at that weight, for every column.
    fixed = SmoothPolynomialRegressor(degree=9, gamma2=float(shared.gamma2_[0])).fit(X, Y)
    np.testing.assert_allclose(shared.coef_, fixed.coef_, rtol=1e-10, atol=1e-12)
    # Any other shared weight fits the columns worse in total (REML is
    # profiled per column, so compare the summed log residual scales).
    path_value = _summed_reml(X, Y, shared.gamma2_[0])
    for factor in (0.5, 2.0):
        assert path_value < _summed_reml(X, Y, shared.gamma2_[0] * factor)


def _summed_reml(X, Y, lam):
    from zorp.bases import PowerBasis
    from zorp.smoothing import SmoothingPath, Sufficient, fixed_part

    basis, R1, R2 = PowerBasis.with_penalties([9], 600)
    lo, hi = X.min(axis=0), X.max(axis=0)
    Phi = basis.rows((X - (lo + hi) / 2) / ((hi - lo) / 2))
    stats = Sufficient.from_design(Phi, Y)
    path = SmoothingPath(stats, fixed_part(stats, R1, 0.0, 1e-10), stats.n * R2)
    return float(path.criterion(np.full(Y.shape[1], lam), "reml", paired=True).sum())


def test_multi_target_refusals_and_column_vector(many):
    X, Y = many(1, t=2)
    with pytest.raises(ValueError, match="one target at a time"):
        SmoothPolynomialRegressor(degree=3, method="mcmc").fit(X, Y)
    est = SmoothPolynomialRegressor(degree=3).fit(X, Y)
    with pytest.raises(ValueError, match="fitted to y of 2 columns"):
        est.score(X, Y[:, 0])
    # Finite values whose squares overflow are data, not a NaN or infinity;
    # at a given weight the fit scales with them.
    fixed = SmoothPolynomialRegressor(degree=3, gamma2=1.0)
    with np.errstate(over="ignore", invalid="ignore"):
        huge = clone(fixed).fit(X, Y * 1e160)
    np.testing.assert_allclose(huge.coef_, 1e160 * fixed.fit(X, Y).coef_, rtol=1e-9)


def plain_mads(Y):
    """Per column: the median absolute deviation by NumPy's full selections
    (0.0 for no rows, as mad gives)."""
    if len(Y) == 0:
        return np.zeros(Y.shape[1])
    with np.errstate(invalid="ignore"):
        return np.median(np.abs(Y - np.median(Y, axis=0)), axis=0)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("n", [0, 1, 2, 3, 4, 7, 49, 600, 601, 3000, 20001])
def test_column_mads_and_mad_equal_plain_selection(rng, n, order):
    # The bucket selection of every column, alone and many at once, against
    # full selections: ties, constant and two-valued columns, ranges that
    # overflow or are subnormal, heavy tails, a few or many infinities and NaN.
    from zorp import mad
    from zorp._native._kernels import column_mads

    Y = rng.normal(size=(n, 40))
    Y[:, 1::8] = np.round(Y[:, 1::8])  # many ties
    Y[:, 2] = 3.0  # constant
    Y[: n // 2, 3::8] = -1.0  # half of the column one value
    Y[:, 4] *= 1e300  # the range overflows
    Y[:, 5] = 1e-310 * np.round(3.0 * Y[:, 5])  # subnormal steps
    Y[:, 6] = 1e5 * rng.standard_cauchy(n)
    Y[:, 7] = np.where(Y[:, 7] > 0.5, np.inf, Y[:, 7])
    Y[: n // 2 + 1, 9] = -np.inf  # median at -inf: distances inf - inf
    Y[:, 10] = np.where(Y[:, 10] > 1.5, np.nan, Y[:, 10])
    if n:
        Y[rng.integers(0, n, size=2), 11] = [np.inf, -np.inf]  # a few far outliers
    Y = np.asarray(Y, order=order)
    expected = plain_mads(Y)
    np.testing.assert_array_equal(column_mads(Y), expected)
    np.testing.assert_array_equal([mad(Y[:, j]) for j in range(Y.shape[1])], expected)


@settings(max_examples=60, deadline=None)
@given(
    n=st.integers(49, 700),
    seed=st.integers(0, 2**32 - 1),
    far=st.lists(st.sampled_from([1e300, -1e300, 1e12, -1e12, np.inf, -np.inf]), max_size=8),
    ties=st.booleans(),
    order=st.sampled_from("CF"),
)
def test_column_mads_and_mad_equal_plain_selection_on_drawn_columns(n, seed, far, ties, order):
    # Heavy-tailed columns on scales across the exponent range, with far values
    # that a sample of the column may or may not hold.
    from zorp import mad
    from zorp._native._kernels import column_mads

    rng = np.random.default_rng(seed)
    Y = rng.standard_cauchy((n, 33)) * 10.0 ** rng.integers(-300, 290, 33)
    if ties:
        Y = np.round(Y / np.median(np.abs(Y), axis=0)) * np.median(np.abs(Y), axis=0)
    Y[rng.integers(0, n, len(far)), rng.integers(0, 33, len(far))] = far
    Y = np.asarray(Y, order=order)
    expected = plain_mads(Y)
    np.testing.assert_array_equal(column_mads(Y), expected)
    np.testing.assert_array_equal([mad(Y[:, j]) for j in range(Y.shape[1])], expected)


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("t", [5, 37, 700])
def test_column_kernels_equal_dense_numpy(rng, t, order):
    # Whole groups of columns, the columns past them, and enough work for the
    # threads; a NaN or infinite target is never a hit.
    from zorp._native._kernels import column_cross, column_hit_counts

    n, k = 500, 12
    Phi = np.asfortranarray(rng.normal(size=(n, k)))
    coef = rng.normal(size=(t, k))
    Y = np.asarray(Phi @ coef.T + rng.normal(size=(n, t)), order=order)
    w = rng.uniform(0.0, 2.0, n)
    for weights, scaled in ((np.empty(0), Y), (w, Y * w[:, None])):
        cross, yy = column_cross(Phi, Y, weights)
        np.testing.assert_allclose(cross, Phi.T @ scaled, rtol=1e-12, atol=1e-12 * n)
        np.testing.assert_allclose(yy, np.einsum("ij,ij->j", Y, scaled), rtol=1e-12)
    Y[7, :] = np.nan
    Y[8, ::3] = np.inf
    eps = rng.uniform(0.2, 2.0, t)
    expected = np.count_nonzero(np.abs(Y - Phi @ coef.T) < eps, axis=0)
    assert expected.min() > 0 and expected.max() < n - 2
    np.testing.assert_array_equal(column_hit_counts(Phi, Y, coef, eps), expected)


@pytest.mark.parametrize("criterion", ["reml", "gcv"])
def test_many_columns_on_threads_equal_single_fits(many, criterion):
    # Enough columns for several blocks of the weight search and of the MADs
    # on more than one thread: columns in every block match their single fit.
    X, Y = many(1, t=300, n=300)
    multi = SmoothPolynomialRegressor(degree=8, criterion=criterion).fit(X, Y)
    for j in (0, 63, 64, 150, 299):
        one = SmoothPolynomialRegressor(degree=8, criterion=criterion).fit(X, Y[:, j])
        np.testing.assert_allclose(multi.coef_[j], one.coef_, rtol=1e-9, atol=1e-11)
        for name in ("gamma2_", "mdl_score_", "hit_rate_"):
            assert getattr(multi, name)[j] == pytest.approx(getattr(one, name), rel=1e-9)
