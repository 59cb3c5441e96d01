"""Hostile numbers at the native core: every family gives a defined, correct
result or a clear error."""

import numpy as np
import pytest

from zorp._native import zorp_core as zc

N_GRID = 30


def box(*groups):
    """Bounds from (count, lo, hi) groups."""
    return [(lo, hi) for count, lo, hi in groups for _ in range(count)]


# A linear term in the first dimension and constants elsewhere: R1 is zero but
# for R1[1, 1] = dV * n^D = prod_d (n * step_d); R2 is zero. The running
# products n^d and dV leave the double range long before the result does.
@pytest.mark.parametrize(
    "first_degree, groups",
    [
        (0, [(10000, -1.0, 1.0)]),  # true result 0; the volume itself overflows
        (1, [(260, -1.0, 1.0)]),
        (1, [(200, -1.0, 1.0), (200, 0.0, 0.1)]),  # prefix overflows, result ~1e-134
        (1, [(1, -1.0, 1.0), (700, 0.0, 1e-3)]),  # the result underflows to 0
    ],
)
def test_many_dimensions_keep_finite_results_finite(first_degree, groups):
    bounds = box(*groups)
    degrees = [first_degree] + [0] * (len(bounds) - 1)
    R1, R2, mi = zc.build_penalty_matrices_nd(degrees, bounds, N_GRID)
    M = first_degree + 1
    assert R1.shape == R2.shape == (M, M) and len(mi) == M
    expected = np.zeros((M, M))
    if first_degree == 1:
        log_value = sum(np.log(N_GRID * (hi - lo) / (N_GRID - 1)) for lo, hi in bounds)
        expected[1, 1] = np.exp(log_value)
    np.testing.assert_allclose(R1, expected, rtol=1e-9, atol=0.0)
    np.testing.assert_array_equal(R2, np.zeros((M, M)))


NAN = float("nan")


def mad_calls(y):
    """mad itself and the two places that take their hit tolerance from it."""
    n = len(y)
    yp = np.where(np.isnan(y), 0.0, y) + 0.3 * np.cos(np.arange(n))
    X = np.ones((n, 1))
    fit = zc.TournamentMCMC(3, 20, 20, 2, seed=4).fit(X, y)
    return zc.mad(y), zc.mdl_score(yp, y, 3), fit.energy, fit.beta_mcmc[0]


@pytest.mark.parametrize("n", [5, 40, 20000])
@pytest.mark.parametrize("where", [0, 1, -1])
def test_nan_gives_the_same_result_whatever_its_position(n, where):
    rng = np.random.default_rng(n)
    y = rng.standard_cauchy(n)
    y[where] = NAN
    ref = mad_calls(y)
    assert np.isnan(ref[0])
    for perm in (np.arange(n)[::-1], rng.permutation(n)):
        # Permuting the observations permutes yp with y and X's rows: every
        # result depends on the multiset of pairs only.
        got = mad_calls(y[perm])
        assert np.isnan(got[0])
        assert got[1:] == ref[1:]


def good_problem():
    rng = np.random.default_rng(5)
    Phi = rng.normal(size=(30, 3))
    return Phi, Phi @ [1.0, -2.0, 0.5] + 0.1 * rng.normal(size=30), np.eye(3)


def poisoned(name, value):
    Phi, y, R = good_problem()
    args = {"Phi": Phi, "y": y, "R1": R, "R2": R, "gamma1": 0.1, "gamma2": 0.1, "ridge": 1e-8}
    if name in ("Phi", "y", "R1"):
        args[name] = args[name].copy()
        args[name][1] = value
    else:
        args[name] = value
    return args


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("value", [NAN, np.inf, -np.inf])
@pytest.mark.parametrize("name", ["Phi", "y", "R1", "gamma1", "gamma2", "ridge"])
def test_regularized_fit_refuses_non_finite_input(name, value, order):
    args = poisoned(name, value)
    args["Phi"] = np.asarray(args["Phi"], order=order)
    with pytest.raises(ValueError, match="not finite|non-finite"):
        zc.fit_regularized_linear(**args)
    # Finite values whose squares overflow are not called non-finite.
    if name == "Phi" and value == np.inf:
        args["Phi"][1] = 1e200
        with np.errstate(all="ignore"):
            zc.fit_regularized_linear(**args)


@pytest.mark.parametrize(
    "args",
    [
        {"R1": None, "gamma1": NAN},  # a weight without its matrix is never used
        {"R1": np.full((3, 3), NAN), "gamma1": 0.0},  # an inactive matrix is never read
    ],
)
def test_regularized_fit_accepts_what_it_does_not_read(args):
    Phi, y, R = good_problem()
    beta = zc.fit_regularized_linear(Phi, y, args["R1"], R, args["gamma1"], 0.1)
    np.testing.assert_array_equal(beta, zc.fit_regularized_linear(Phi, y, None, R, 0.0, 0.1))
    assert np.all(np.isfinite(beta))


# Arrays are taken as NumPy converts them to float64: a mask is not seen (the
# estimator's business), None in an object array becomes NaN, which then meets
# the same checks as a NaN written by hand.
@pytest.mark.parametrize(
    "call, expect",
    [
        (lambda: zc.mad(np.ma.array([1.0, 2.0, 50.0, 60.0, 70.0], mask=[0, 0, 1, 1, 1])), 20.0),
        (lambda: zc.mad(np.array([1.0, None, 3.0], dtype=object)), "nan"),
        (lambda: zc.mad([1.0, None, 3.0]), "nan"),
        (
            lambda: zc.fit_regularized_linear(
                np.ones((3, 1)), np.array([1.0, None, 3.0], dtype=object)
            ),
            ValueError,
        ),
        (lambda: zc.ols(np.array([[1.0], [None]], dtype=object), [1.0, 2.0]), ValueError),
    ],
)
def test_masked_and_object_arrays_convert_as_numpy_does(call, expect):
    if isinstance(expect, type):
        with pytest.raises(expect):
            call()
    elif expect == "nan":
        assert np.isnan(call())
    else:
        assert call() == expect
