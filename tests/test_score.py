"""Description-length score, plain and penalized."""

import math

import numpy as np
import pytest

from zorp._native import zorp_core as zc

YT = np.array([1.0, 2.0, 3.0, 4.0])


def np_score(yp, yt, k, H, beta=None, pens=()):
    n = len(yt)
    m = np.median(np.abs(yt - np.median(yt)))
    eps = 0.4 * m if m > 0 else 0.4
    sr = max(np.count_nonzero(np.abs(yp[:n] - yt) < eps) / n, 1 / (2 * n))
    score = k * k * math.log(2 * H) / n - n * math.log(sr) if k > 0 else -n * math.log(sr)
    return score + sum(g * beta @ R @ beta for R, g in pens)


@pytest.mark.parametrize(
    "yp, k, expected",
    [
        ((1, 2, 3, 4), 2, 3.6888794541139363),
        ((1, 2, 3, 4), 0, 0.0),
        ((1, 2, 3, 5), 1, 2.0729481533356076),
        ((1, 2, 3, 5), 2, 4.83960774392106),
        ((11, 12, 13, 14), 0, 8.317766166719343),
        ((1, 2, 3, 4), -3, 0.0),  # no complexity charge for k <= 0
    ],
)
def test_worked_values(yp, k, expected):
    assert zc.mdl_score(np.array(yp, float), YT, k) == pytest.approx(expected, rel=1e-15, abs=0)


def test_worked_penalized_value_and_inactive_terms():
    yp = np.array([1.0, 2.0, 3.0, 5.0])
    beta, eye = np.ones(2), np.eye(2)
    assert zc.mdl_score_reg(yp, YT, 2, 20, beta, eye, eye, 0.5, 0.0) == pytest.approx(
        5.83960774392106, rel=1e-15
    )
    plain = zc.mdl_score(yp, YT, 2, 20)
    # Matrices of zero-weight terms are never read, whatever their shape.
    odd = np.ones((5, 3))
    assert zc.mdl_score_reg(yp, YT, 2, 20, beta, odd, odd) == plain
    assert zc.mdl_score_reg(yp, YT, 2, 20, beta, odd, eye, 0.0, 2.0) == plain + 4.0
    # A negative weight lowers the score.
    assert zc.mdl_score_reg(yp, YT, 2, 20, beta, eye, odd, -0.25) == plain - 0.5


@pytest.mark.parametrize(
    "yp, yt, k, H, expected",
    [
        # A difference exactly equal to eps (0.4 * mad = 0.5) is no hit.
        ((0.0, 0.0, 0.0, 0.0), (0.0, 0.5, 1.0, 2.0), 0, 20, -4 * math.log(0.25)),
        # Constant yt: mad = 0 and the tolerance falls back to 0.4.
        ((0.3, 0.3, 3.0), (0.0, 0.0, 0.0), 0, 20, -3 * math.log(2 / 3)),
        ((0.0,), (0.0,), 1, 0, -math.inf),  # ln(0) complexity
        ((0.0,), (0.0,), 1, -1, math.nan),
        ((), (), 0, 20, math.nan),  # empty yt
    ],
)
def test_edge_values(yp, yt, k, H, expected):
    got = zc.mdl_score(np.array(yp, float), np.array(yt, float), k, H)
    if math.isnan(expected):
        assert math.isnan(got)
    else:
        assert got == pytest.approx(expected, rel=1e-15)


def test_defaults_and_longer_yp():
    yp = np.array([1.0, 2.0, 3.0, 5.0, 99.0])
    assert zc.mdl_score(yp, YT, 2) == zc.mdl_score(yp[:4], YT, 2, 20)
    with pytest.raises(TypeError):
        zc.mdl_score_reg(yp, YT, 2, 20, np.ones(2), np.eye(2))
    assert zc.mdl_score_reg(yp, YT, 2, 20, np.ones(2), np.eye(2), np.eye(2)) == zc.mdl_score(
        yp, YT, 2
    )


@pytest.mark.parametrize("seed", range(6))
def test_matches_numpy(seed):
    rng = np.random.default_rng(seed)
    n, k = int(rng.integers(1, 300)), int(rng.integers(0, 9))
    yt = rng.standard_normal(n) * rng.uniform(0.1, 10)
    yp = yt + rng.standard_normal(n) * rng.uniform(0.01, 3)
    H = int(rng.integers(1, 100))
    assert zc.mdl_score(yp, yt, k, H) == pytest.approx(np_score(yp, yt, k, H), rel=1e-13)
    beta = rng.standard_normal(k)
    R1, R2 = rng.standard_normal((k, k)), rng.standard_normal((k, k))
    g1, g2 = rng.uniform(-1, 1, 2)
    got = zc.mdl_score_reg(yp, yt, k, H, beta, R1, R2, g1, g2)
    want = np_score(yp, yt, k, H, beta, [(R1, g1), (R2, g2)])
    assert got == pytest.approx(want, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize(
    "yp, beta, R1, R2, g1, g2",
    [
        (YT[:3], np.ones(2), np.eye(2), np.eye(2), 0.0, 0.0),  # yp shorter than yt
        (YT, np.ones(2), np.eye(3), np.eye(2), 1.0, 0.0),  # active R1 not M x M
        (YT, np.ones(2), np.eye(2), np.ones((2, 3)), 0.0, 1.0),  # active R2 not square
        (YT, np.ones(2), np.eye(2), np.eye(3), 0.0, math.nan),  # NaN weight is active
    ],
)
def test_rejects_mismatched_shapes(yp, beta, R1, R2, g1, g2):
    with pytest.raises(ValueError):
        zc.mdl_score_reg(yp, YT, 2, 20, beta, R1, R2, g1, g2)


def test_plain_score_rejects_short_prediction():
    with pytest.raises(ValueError, match="shorter"):
        zc.mdl_score(YT[:2], YT, 1)
