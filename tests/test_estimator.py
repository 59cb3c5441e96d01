"""SmoothPolynomialRegressor against the core called by hand."""

import pickle

import numpy as np
import pytest
import scipy.sparse

import zorp
from zorp import SmoothPolynomialRegressor
from zorp._native import zorp_core as zc
from zorp.estimator import DataConversionWarning, NotFittedError, splitmix64


def _scaled(X):
    lo, hi = X.min(axis=0), X.max(axis=0)
    return (X - (hi + lo) / 2) / ((hi - lo) / 2)


@pytest.fixture
def data_1d(rng):
    x = rng.uniform(-3.0, 5.0, size=120)
    y = np.sin(x) + 0.1 * rng.normal(size=x.size)
    return x[:, None], y


@pytest.fixture
def data_2d(rng):
    X = rng.uniform(0.0, 2.0, size=(150, 2))
    y = X[:, 0] ** 2 - X[:, 0] * X[:, 1] + 0.05 * rng.normal(size=150)
    return X, y


def test_penalized_1d_equals_core_by_hand(data_1d):
    X, y = data_1d
    est = SmoothPolynomialRegressor(degree=5, basis="power", gamma1=1e-3, gamma2=1e-2).fit(X, y)
    Phi = zc.design_matrix_1d(5, _scaled(X)[:, 0])
    R1, R2 = zc.smoothness_penalty_matrices_1d(5, -1.0, 1.0, 600)
    coef = zc.fit_regularized_linear(Phi, y, R1, R2, 1e-3, 1e-2, 1e-10)
    np.testing.assert_allclose(est.coef_, coef, rtol=1e-12, atol=1e-14)
    assert est.multi_indices_ == [[p] for p in range(6)]
    score = zc.mdl_score_reg(Phi @ coef, y, 6, 20, coef, R1, R2, 1e-3, 1e-2)
    assert est.mdl_score_ == pytest.approx(score, rel=1e-12)


def test_penalized_2d_equals_core_by_hand(data_2d):
    X, y = data_2d
    est = SmoothPolynomialRegressor(degree=[2, 3], basis="power", gamma2=1e-3, n_grid=12).fit(X, y)
    R1, R2, mi = zc.build_penalty_matrices_nd([2, 3], [(-1.0, 1.0)] * 2, 12)
    Xs = _scaled(X)
    Phi = zc.design_matrix_nd(mi, [Xs[:, 0].copy(), Xs[:, 1].copy()])
    coef = zc.fit_regularized_linear(Phi, y, R1, R2, 0.0, 1e-3, 1e-10)
    np.testing.assert_allclose(est.coef_, coef, rtol=1e-12, atol=1e-14)
    assert est.multi_indices_ == mi
    np.testing.assert_allclose(est.predict(X), Phi @ coef, rtol=1e-12, atol=1e-12)


def test_ols_method_equals_core(data_2d):
    X, y = data_2d
    est = SmoothPolynomialRegressor(degree=2, basis="power", method="ols").fit(X, y)
    Xs = _scaled(X)
    Phi = zc.design_matrix_nd(est.multi_indices_, [Xs[:, 0].copy(), Xs[:, 1].copy()])
    np.testing.assert_allclose(est.coef_, zc.ols(Phi, y), rtol=1e-12, atol=1e-14)


# The sampler's refinement of a cubic in powers, as the core computes it by hand.
MCMC_POWER_3 = dict(degree=3, basis="power", gamma2=1e-6, method="mcmc")


def test_mcmc_refines_penalized_fit_like_core_by_hand(data_1d):
    X, y = data_1d
    y = y.copy()
    y[::10] += 5.0  # outliers pull the least-squares fit
    params = dict(MCMC_POWER_3, n_chains=6, n_warmup=40, n_deep=300, seed=7)
    est = SmoothPolynomialRegressor(**params).fit(X, y)
    Phi = zc.design_matrix_1d(3, _scaled(X)[:, 0])
    R1, R2 = zc.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 600)
    start = zc.fit_regularized_linear(Phi, y, R1, R2, 0.0, 1e-6, 1e-10)
    spread = zc.mad(y - Phi @ start)
    res = zc.TournamentMCMC(6, 40, 300, 5, 0.05, 20, splitmix64(7)).fit(
        Phi, (y - Phi @ start) / spread, R1, R2, 0.0, 1e-6
    )
    assert res.energy < zc.mdl_score(np.zeros(len(y)), (y - Phi @ start) / spread, 4)
    np.testing.assert_allclose(est.coef_, start + spread * np.array(res.beta_mcmc), rtol=1e-12)
    assert est.mcmc_energy_ == res.energy
    assert est.gibbs_ == {
        k: getattr(res.gibbs, k) for k in ("H", "Hmax", "He", "r_heat", "var_E", "T")
    }
    penalized = SmoothPolynomialRegressor(degree=3).fit(X, y)
    assert est.mdl_score_ < penalized.mdl_score_
    again = SmoothPolynomialRegressor(**params).fit(X, y)
    np.testing.assert_array_equal(again.coef_, est.coef_)


def test_mcmc_keeps_penalized_fit_when_search_finds_nothing_better(data_1d):
    X, y = data_1d
    # One chain and no iterations: the result is the chain's random start. Find
    # a seed whose start scores worse than the penalised fit, using the core.
    penalized = SmoothPolynomialRegressor(degree=3, basis="power", gamma2=1e-6).fit(X, y)
    resid = y - penalized.predict(X)
    target = resid / zc.mad(resid)
    Phi = zc.design_matrix_1d(3, _scaled(X)[:, 0])
    R1, R2 = zc.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 600)
    start_energy = zc.mdl_score(np.zeros(len(y)), target, 4)
    seed = next(
        s
        for s in range(50)
        if zc.TournamentMCMC(1, 0, 0, 5, 0.05, 20, splitmix64(s))
        .fit(Phi, target, R1, R2, 0.0, 1e-6)
        .energy
        >= start_energy
    )
    params = dict(MCMC_POWER_3, n_chains=1, n_warmup=0, n_deep=0, seed=seed)
    est = SmoothPolynomialRegressor(**params).fit(X, y)
    np.testing.assert_array_equal(est.coef_, penalized.coef_)
    assert est.mcmc_energy_ == est.mcmc_start_energy_ == start_energy


@pytest.mark.parametrize("shift", [0.0, 1e4])
def test_recovers_exact_polynomial_and_predicts_new_points(rng, shift):
    x = rng.uniform(-2.0, 3.0, size=50) + shift
    poly = np.polynomial.Polynomial([0.5, -1.0, 0.25, 2.0])
    est = SmoothPolynomialRegressor(degree=3, method="ols", extrapolation="continue")
    est.fit(x[:, None], poly(x - shift))
    x_new = np.linspace(-2.0, 3.0, 17) + shift
    np.testing.assert_allclose(est.predict(x_new[:, None]), poly(x_new - shift), atol=1e-8)
    assert est.score(x[:, None], poly(x - shift)) == pytest.approx(1.0, abs=1e-12)


def test_score_is_r_squared(data_1d):
    X, y = data_1d
    est = SmoothPolynomialRegressor(degree=4).fit(X, y)
    yp = est.predict(X)
    r2 = 1 - np.sum((y - yp) ** 2) / np.sum((y - y.mean()) ** 2)
    assert est.score(X, y) == pytest.approx(r2, rel=1e-12)
    assert 0.9 < est.score(X, y) <= 1.0


def test_constant_feature_maps_to_zero(rng):
    X = np.column_stack([rng.uniform(size=30), np.full(30, 4.0)])
    est = SmoothPolynomialRegressor(degree=[2, 1]).fit(X, X[:, 0])
    assert est.x_half_range_[1] == 1.0
    assert np.isfinite(est.predict(X)).all()


@pytest.mark.parametrize(("n_features", "widest"), [(1, 15), (2, 7), (5, 2), (10, 1)])
def test_auto_degree_stays_in_budget(rng, n_features, widest):
    X = rng.uniform(-1.0, 1.0, size=(60, n_features))
    est = SmoothPolynomialRegressor().fit(X, X.sum(axis=1) ** 2)
    assert len(set(est.degrees_)) == 1 and 1 <= est.degrees_[0] <= widest
    assert len(est.coef_) == (est.degrees_[0] + 1) ** n_features
    # Beyond 10 inputs the automatic basis is affine, and recovers an affine truth.
    X = rng.uniform(size=(40, 12))
    est = SmoothPolynomialRegressor().fit(X, X @ np.arange(12.0))
    assert len(est.multi_indices_) == 13
    np.testing.assert_allclose(est.predict(X), X @ np.arange(12.0), atol=1e-6)


def test_pickle_roundtrip_is_equal(data_2d):
    X, y = data_2d
    est = SmoothPolynomialRegressor(degree=2, gamma1=0.1).fit(X, y)
    back = pickle.loads(pickle.dumps(est))
    assert back == est
    np.testing.assert_array_equal(back.predict(X), est.predict(X))
    assert pickle.loads(pickle.dumps(SmoothPolynomialRegressor())) == SmoothPolynomialRegressor()
    assert back != SmoothPolynomialRegressor(degree=2, gamma1=0.1)  # fitted vs unfitted


def test_params_roundtrip():
    est = SmoothPolynomialRegressor(degree=[1, 2], method="ols")
    params = est.get_params()
    assert params["degree"] == [1, 2] and params["method"] == "ols"
    assert SmoothPolynomialRegressor(**params) == est
    assert est.set_params(gamma2=0.5) is est and est.gamma2 == 0.5
    with pytest.raises(ValueError, match="Invalid parameter"):
        est.set_params(gamma3=1.0)
    assert repr(est) == "SmoothPolynomialRegressor(degree=[1, 2], gamma2=0.5, method='ols')"


BAD_FITS = [
    (lambda X, y: (X[:, 0], y), "2-D"),
    (lambda X, y: (np.where(X > 1.9, np.nan, X), y), "NaN"),
    (lambda X, y: (X, np.where(y > 1, np.inf, y)), "infinity"),
    # Many columns: one bad value in one column, found from its sum of squares.
    (lambda X, y: (X, np.column_stack([y, np.where(y == y.max(), np.nan, y)])), "NaN"),
    (lambda X, y: (X, np.column_stack([np.where(y == y.min(), -np.inf, y), y])), "infinity"),
    (lambda X, y: (X[:-1], y), "inconsistent"),
    (lambda X, y: (X[:1], y[:1]), "n_samples=1"),
    (lambda X, y: (X[:0], y[:0]), "0 sample"),
    (lambda X, y: (X, None), "requires y"),
    (lambda X, y: (X.astype(complex), y), "Complex"),
    (lambda X, y: (np.array([["a", "b"]] * 3), y[:3]), "numbers"),
    (lambda X, y: (X, np.column_stack([y, y])[:, :, None]), "1d array or a 2d array"),
    (lambda X, y: (X, y[:, None][:, :0]), "0 target"),
]


@pytest.mark.parametrize(("make", "message"), BAD_FITS)
def test_fit_rejects_bad_data(data_2d, make, message):
    X, y = make(*data_2d)
    with pytest.raises(ValueError, match=message):
        SmoothPolynomialRegressor(degree=1).fit(X, y)


@pytest.mark.parametrize(
    ("params", "message"),
    [
        (dict(method="newton"), "method"),
        (dict(degree=[1, 2, 3]), "3 entries"),
        (dict(degree=-1), "'degree' parameter"),
        (dict(degree="three"), "degree"),
        (dict(degree=[20, 300]), "terms"),
        (dict(n_grid=1), "n_grid"),
        (dict(gamma2=float("nan")), "gamma2"),
    ],
)
def test_fit_rejects_bad_params(data_2d, params, message):
    with pytest.raises(ValueError, match=message):
        SmoothPolynomialRegressor(**params).fit(*data_2d)


def test_column_y_warns_and_is_flattened(data_1d):
    X, y = data_1d
    with pytest.warns(DataConversionWarning, match="column-vector"):
        est = SmoothPolynomialRegressor(degree=2).fit(X, y[:, None])
    ref = SmoothPolynomialRegressor(degree=2).fit(X, y)
    np.testing.assert_array_equal(est.coef_, ref.coef_)


def test_predict_checks(data_2d):
    X, y = data_2d
    with pytest.raises(NotFittedError, match="not fitted"):
        SmoothPolynomialRegressor().predict(X)
    assert issubclass(NotFittedError, ValueError) and issubclass(NotFittedError, AttributeError)
    est = SmoothPolynomialRegressor(degree=1).fit(X, y)
    with pytest.raises(ValueError, match="X has 1 features, but .* expecting 2"):
        est.predict(X[:, :1])
    with pytest.raises(TypeError, match="sparse"):
        est.predict(scipy.sparse.csr_matrix(X))


def test_package_exports():
    assert zorp.SmoothPolynomialRegressor is SmoothPolynomialRegressor
    for name in zorp.__all__:
        assert hasattr(zorp, name)


@pytest.mark.slow
@pytest.mark.filterwarnings("ignore:Estimator SmoothPolynomialRegressor does not inherit")
def test_passes_scikit_learn_checks():
    estimator_checks = pytest.importorskip("sklearn.utils.estimator_checks")
    estimator_checks.check_estimator(SmoothPolynomialRegressor())


def test_parallel_fits_in_worker_processes(data_1d):
    joblib = pytest.importorskip("joblib")
    X, y = data_1d
    degrees = [2, 3, 4]
    fits = joblib.Parallel(n_jobs=2, backend="loky")(
        joblib.delayed(SmoothPolynomialRegressor(degree=d).fit)(X, y) for d in degrees
    )
    for d, est in zip(degrees, fits, strict=True):
        np.testing.assert_array_equal(
            est.coef_, SmoothPolynomialRegressor(degree=d).fit(X, y).coef_
        )
