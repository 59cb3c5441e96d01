"""Gibbs entropy summary of a set of energies."""

import math

import numpy as np
import pytest

from zorp._native import zorp_core as zc

FIELDS = ("H", "Hmax", "He", "r_heat", "var_E", "T")


def np_gibbs(e, T):
    e = np.asarray(e, float)
    w = np.exp(-(e - e.min()) / (T + 1e-300))
    p = w / w.sum()
    H = float(-(np.log(p + 1e-300) * p).sum())
    Hmax = math.log(max(len(e), 2))
    He = H / (Hmax + 1e-300)
    return dict(H=H, Hmax=Hmax, He=He, r_heat=0.01 + 0.99 * He, var_E=float(e.var()), T=T)


@pytest.mark.parametrize(
    "energies, T, expected",
    [
        ([7.5], 1.0, dict(H=0.0, Hmax=math.log(2), He=0.0, r_heat=0.01, var_E=0.0)),
        ([3.0] * 4, 1.0, dict(H=math.log(4), Hmax=math.log(4), He=1.0, r_heat=1.0, var_E=0.0)),
        (
            [0.0, 1.0, 2.0],
            1.0,
            dict(H=0.83240, Hmax=math.log(3), He=0.75768, r_heat=0.76010, var_E=2 / 3),
        ),
        ([0.0, 1.0, 2.0], 0.0, dict(H=0.0, He=0.0, r_heat=0.01, var_E=2 / 3, T=0.0)),
        ([0.0, 0.0, 1.0], 0.0, dict(H=math.log(2), He=math.log(2) / math.log(3))),
    ],
)
def test_worked_cases(energies, T, expected):
    g = zc.gibbs_entropy(np.array(energies), T)
    for field, value in expected.items():
        assert getattr(g, field) == pytest.approx(value, abs=5e-6), field


@pytest.mark.parametrize("seed", range(5))
def test_matches_numpy(seed):
    rng = np.random.default_rng(seed)
    e = rng.standard_normal(int(rng.integers(1, 200))) * rng.uniform(0.1, 50)
    T = float(rng.uniform(0.05, 5))
    g, want = zc.gibbs_entropy(e, T), np_gibbs(e, T)
    for field in FIELDS:
        assert getattr(g, field) == pytest.approx(want[field], rel=1e-12, abs=1e-14), field


def test_shift_and_scale_invariance():
    e = np.random.default_rng(1).uniform(0, 10, 50)
    base = zc.gibbs_entropy(e, 2.0)
    shifted = zc.gibbs_entropy(e + 1234.5, 2.0)
    scaled = zc.gibbs_entropy(e * 3.0, 6.0)
    for field in ("H", "He", "r_heat"):
        assert getattr(shifted, field) == pytest.approx(getattr(base, field), rel=1e-9)
        assert getattr(scaled, field) == pytest.approx(getattr(base, field), rel=1e-12)
    assert shifted.var_E == pytest.approx(base.var_E, rel=1e-9)


def test_negative_temperature_and_nan():
    g = zc.gibbs_entropy([0.0, 1000.0], -1.0)  # weight e^1000 overflows
    assert math.isnan(g.H) and math.isnan(g.He)
    g = zc.gibbs_entropy([0.0, math.nan, 1.0])
    assert math.isnan(g.var_E)


def test_empty_is_rejected():
    with pytest.raises(ValueError, match="empty"):
        zc.gibbs_entropy(np.empty(0))


def test_record_binding():
    g = zc.gibbs_entropy([1.0, 2.0])
    assert g.T == 1.0 and all(type(getattr(g, f)) is float for f in FIELDS)
    with pytest.raises(AttributeError):
        g.H = 0.0
    with pytest.raises(TypeError, match="No constructor defined"):
        zc.GibbsResult()
