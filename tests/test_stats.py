"""Robust statistics: median absolute deviation and hit rate."""

import math

import numpy as np
import pytest
import scipy.stats

from zorp._native import zorp_core as zc


@pytest.mark.parametrize(
    ("y", "expected"),
    [
        ([1, 2, 3, 4, 100], 1.0),
        ([1, 1, 1], 0.0),
        ([5], 0.0),
        ([], 0.0),
        ([1, 2, 3, 4], 1.0),
        ([-3.0, 3.0], 3.0),
        ([0.0, np.inf, -np.inf], np.inf),
    ],
)
def test_mad_examples(y, expected):
    assert zc.mad(np.asarray(y, dtype=float)) == expected


@pytest.mark.parametrize("n", [1, 2, 3, 10, 11, 1000, 1001, 100_000])
def test_mad_matches_numpy_and_scipy(rng, n):
    # Rounding creates ties, which the selection must treat like a sort does.
    for y in (rng.standard_cauchy(n), np.round(rng.normal(size=n) * 3)):
        expected = np.median(np.abs(y - np.median(y)))
        assert zc.mad(y) == expected
        assert zc.mad(y) == scipy.stats.median_abs_deviation(y)


def test_mad_is_order_invariant(rng):
    y = rng.normal(size=501)
    assert zc.mad(y) == zc.mad(rng.permutation(y)) == zc.mad(y[::-1])


@pytest.mark.parametrize(
    ("yp", "yt", "eps", "expected"),
    [
        ([0, 0, 0, 0], [0, 0.5, 1, 2], 0.5, 0.25),  # a difference equal to eps is no hit
        ([0.0] * 10, [1.0] * 10, 0.5, 0.05),  # no hits: half a hit out of n
        ([1.0, 2.0, 3.0], [1.1, 2.1, 2.9], 0.5, 1.0),
        ([1.0, 2.0], [1.0, 2.0], 0.0, 0.25),  # eps = 0 never hits
        ([np.nan, 1.0], [1.0, 1.0], 0.5, 0.5),  # NaN difference is no hit
        ([1.0, 2.0, 3.0, 99.0], [1.0, 2.0, 3.0], 0.5, 1.0),  # extra predictions ignored
    ],
)
def test_compute_sr_examples(yp, yt, eps, expected):
    assert zc.compute_sr(np.asarray(yp, float), np.asarray(yt, float), eps) == expected


def test_compute_sr_empty_is_nan():
    assert math.isnan(zc.compute_sr([], [], 0.5))


@pytest.mark.parametrize("n", [1, 7, 1000])
def test_compute_sr_matches_numpy(rng, n):
    yt = rng.normal(size=n)
    yp = yt + rng.normal(scale=0.5, size=n)
    for eps in (0.0, 0.1, 0.4, 2.0, np.inf):
        hits = np.count_nonzero(np.abs(yp - yt) < eps)
        assert zc.compute_sr(yp, yt, eps) == max(hits / n, 1.0 / (2.0 * n))


def test_compute_sr_rejects_short_predictions():
    with pytest.raises(ValueError, match="shorter"):
        zc.compute_sr([1.0, 2.0], [1.0, 2.0, 3.0], 0.5)
    with pytest.raises(ValueError, match="shorter"):
        zc.compute_sr([], [1.0], 0.5)
