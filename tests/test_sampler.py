"""Tournament MCMC sampler: reference replay, edge cases, determinism, bindings."""

import gc
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from zorp._native import zorp_core as zc

MASK64 = (1 << 64) - 1


class MT19937_64:
    """64-bit Mersenne Twister with the standard single-value seeding."""

    N, M = 312, 156
    UPPER, LOWER = 0xFFFFFFFF80000000, 0x7FFFFFFF

    def __init__(self, seed):
        mt = [seed & MASK64]
        for i in range(1, self.N):
            prev = mt[-1]
            mt.append((6364136223846793005 * (prev ^ (prev >> 62)) + i) & MASK64)
        self.mt, self.idx = mt, self.N

    def _twist(self):
        mt, n, m = self.mt, self.N, self.M
        for i in range(n):
            x = (mt[i] & self.UPPER) | (mt[(i + 1) % n] & self.LOWER)
            xa = x >> 1
            if x & 1:
                xa ^= 0xB5026F5AA96619E9
            mt[i] = mt[(i + m) % n] ^ xa
        self.idx = 0

    def __call__(self):
        if self.idx >= self.N:
            self._twist()
        y = self.mt[self.idx]
        self.idx += 1
        y ^= (y >> 29) & 0x5555555555555555
        y ^= (y << 17) & 0x71D67FFFEDA60000
        y ^= (y << 37) & 0xFFF7EEE000000000
        y ^= y >> 43
        return y & MASK64


def canonical(rng):
    """A double in [0, 1) from one 64-bit engine output."""
    u = float(rng()) / 2.0**64
    return u if u < 1.0 else math.nextafter(1.0, 0.0)


class Normal:
    """Polar-method normal variates; the second of each pair is kept for the next call."""

    def __init__(self, mean, stddev):
        self.mean, self.stddev, self.saved = mean, stddev, None

    def __call__(self, rng):
        if self.saved is not None:
            ret, self.saved = self.saved, None
        else:
            while True:
                x = 2.0 * canonical(rng) - 1.0
                y = 2.0 * canonical(rng) - 1.0
                r2 = x * x + y * y
                if not (r2 > 1.0 or r2 == 0.0):
                    break
            mult = math.sqrt(-2.0 * math.log(r2) / r2)
            self.saved = x * mult
            ret = y * mult
        return ret * self.stddev + self.mean


def np_mad(y):
    return float(np.median(np.abs(y - np.median(y)))) if len(y) else 0.0


def np_score(yp, yt, k, H, eps, beta=None, pens=()):
    n = len(yt)
    sr = max(np.count_nonzero(np.abs(yp[:n] - yt) < eps) / n, 1.0 / (2.0 * n))
    log_hk = k * math.log(2.0 * H) if k > 0 else 0.0
    score = (log_hk / n) * k - n * math.log(sr)
    for R, g in pens:
        score += g * float(beta @ (R @ beta))
    return score


def reference_fit(X, y, cfg, R1=None, R2=None, gamma1=0.0, gamma2=0.0):
    """Straight re-implementation of the sampler, stream for stream."""
    n_chains, n_warmup, n_deep, n_elite, step, H, seed = cfg
    k = X.shape[1]
    m = np_mad(y)
    eps = 0.4 * m if m > 0 else 0.4
    pens = [(R, g) for R, g in ((R1, gamma1), (R2, gamma2)) if R is not None and g != 0]

    def energy(b):
        return np_score(X @ b, y, k, H, eps, b, pens)

    def accept(e, ec, T, rng):
        if ec < e:
            return True
        u = canonical(rng)
        a = (e - ec) / T
        return u < math.exp(a if a < 0 else 0.0)

    chains = []
    for c in range(n_chains):
        rng = MT19937_64(seed + 1000 * c)
        init, prop = Normal(0.0, 0.5), Normal(0.0, step)
        b = np.array([init(rng) for _ in range(k)])
        e, T = energy(b), 2.0
        for _ in range(n_warmup):
            bc = b + np.array([prop(rng) for _ in range(k)])
            ec = energy(bc)
            if accept(e, ec, T, rng):
                b, e = bc, ec
            T *= 0.995
        chains.append((b, e))
    gibbs = zc.gibbs_entropy([e for _, e in chains], 1.0)
    # Stable sort; the native sort agrees with it for at most 16 chains.
    chains.sort(key=lambda ch: ch[1])
    elite = [chains[0]]
    for cand in chains[1:]:
        if len(elite) >= n_elite:
            break
        if all(not (np.linalg.norm(cand[0] - mb) <= 0.1) for mb, _ in elite):
            elite.append(cand)
    for i in range(len(elite), n_chains):
        if len(elite) >= n_elite:
            break
        elite.append(chains[i])
    best_b, best_e = elite[0]
    T = 0.5 * gibbs.r_heat
    for ei, (b, e) in enumerate(elite):
        rng = MT19937_64(seed + 7777 + 13 * ei)
        prop = Normal(0.0, 0.3 * step)
        for _ in range(n_deep):
            bc = b + np.array([prop(rng) for _ in range(k)])
            ec = energy(bc)
            if accept(e, ec, T, rng):
                b, e = bc, ec
            if e < best_e:
                best_b, best_e = b, e
            T *= 0.9997
    return best_b, best_e, gibbs, [e for _, e in chains]


def problem(n=40, k=3, seed=0, noise=0.1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    X = np.vander(x, k, increasing=True)
    y = np.sin(2.0 * x) + noise * rng.standard_normal(n)
    return X, y


def roughness(k, seed=1):
    A = np.random.default_rng(seed).standard_normal((k, k))
    return A @ A.T


def test_engine_matches_published_output():
    rng = MT19937_64(5489)
    for _ in range(9999):
        rng()
    assert rng() == 9981545732273789042


# (n_chains, n_warmup, n_deep, n_elite, step_size, H_piH, seed), penalty weights or None
REPLAY_CASES = {
    "plain": ((6, 40, 50, 3, 0.2, 20, 42), None),
    "penalized": ((6, 40, 50, 3, 0.2, 20, 7), (0.02, 0.01)),
    "elite_over_chains": ((4, 30, 30, 9, 0.2, 20, 3), (0.02, 0.01)),
    "elite_zero": ((5, 30, 40, 0, 0.2, 20, 11), (0.02, 0.01)),
    "no_deep": ((7, 50, 0, 3, 0.2, 20, 5), (0.02, 0.01)),
    "no_warmup": ((5, 0, 30, 2, 0.2, 20, 9), None),
    "seed_wraps": ((4, 20, 20, 3, 0.2, 20, 2**64 - 1500), (0.02, 0.01)),
    "top_seed": ((3, 20, 20, 2, 0.2, 20, 2**64 - 1), None),
    "tiny_steps": ((6, 20, 20, 4, 1e-4, 20, 1), None),
    # Small energy steps against a long deep phase: sensitive to its cooling.
    "deep_schedule": ((4, 10, 300, 3, 0.02, 20, 21), (1.0, 0.01)),
}


@pytest.mark.parametrize("name", REPLAY_CASES)
def test_fit_replays_reference(name):
    cfg, weights = REPLAY_CASES[name]
    X, y = problem()
    k = X.shape[1]
    pen = {}
    if weights:
        pen = dict(R1=roughness(k), R2=np.eye(k), gamma1=weights[0], gamma2=weights[1])
    res = zc.TournamentMCMC(*cfg).fit(X, y, **pen)
    ref_b, ref_e, ref_g, warm = reference_fit(X, y, cfg, **pen)
    np.testing.assert_allclose(res.beta_mcmc, ref_b, rtol=1e-12, atol=1e-14)
    assert res.energy == pytest.approx(ref_e, rel=1e-12, abs=1e-12)
    for field in ("H", "Hmax", "He", "r_heat", "var_E", "T"):
        assert getattr(res.gibbs, field) == pytest.approx(getattr(ref_g, field), rel=1e-12)
    assert (res.n_chains, res.n_elite) == (cfg[0], cfg[3])
    if cfg[2] == 0:
        # Without a deep phase the result is the best warm-up chain.
        assert res.energy == pytest.approx(min(warm), rel=1e-12)


def test_elite_zero_and_one_continue_only_the_best_chain():
    X, y = problem(seed=3)
    base = (6, 30, 40, 0, 0.2, 20, 13)
    r0 = zc.TournamentMCMC(*base).fit(X, y)
    r1 = zc.TournamentMCMC(*base[:3], 1, *base[4:]).fit(X, y)
    rneg = zc.TournamentMCMC(*base[:3], -4, *base[4:]).fit(X, y)
    for r in (r1, rneg):
        assert np.array_equal(r.beta_mcmc, r0.beta_mcmc)
        assert r.energy == r0.energy
    assert (r0.n_elite, r1.n_elite, rneg.n_elite) == (0, 1, -4)


def test_energy_is_the_score_of_the_result():
    X, y = problem(n=200, k=5, seed=4)
    R1, R2 = roughness(5, 2), roughness(5, 3)
    res = zc.TournamentMCMC(8, 60, 200, 3, 0.1, 20, 99).fit(X, y, R1, R2, 0.05, -0.01)
    b = res.beta_mcmc
    assert res.energy == zc.mdl_score_reg(X @ b, y, 5, 20, b, R1, R2, 0.05, -0.01)
    plain = zc.TournamentMCMC(8, 60, 200, 3, 0.1, 7, 99).fit(X, y)
    assert plain.energy == zc.mdl_score(X @ plain.beta_mcmc, y, 5, 7)


def test_absent_or_zero_weight_penalties_give_the_plain_fit():
    X, y = problem(seed=5)
    s = zc.TournamentMCMC(5, 30, 30, 2, 0.2, 20, 1)
    plain = s.fit(X, y)
    bad_shape = np.ones((7, 2))  # never read when its weight is 0
    for r in (s.fit(X, y, None, None, 3.0, 3.0), s.fit(X, y, bad_shape, bad_shape)):
        assert np.array_equal(r.beta_mcmc, plain.beta_mcmc)
        assert r.energy == plain.energy


def test_design_without_columns():
    X, y = problem(n=30)
    res = zc.TournamentMCMC(4, 10, 10, 3, 0.2, 20, 1).fit(np.empty((30, 0)), y)
    assert res.beta_mcmc.shape == (0,)
    assert res.energy == zc.mdl_score(np.zeros(30), y, 0)
    assert res.gibbs.var_E == 0.0


def test_constant_y_uses_the_fallback_tolerance():
    # mad(y) = 0; with eps 0.4 every zero prediction of 0.3 is a hit (score 0),
    # while a zero tolerance would give no hit at all.
    y = np.full(25, 0.3)
    res = zc.TournamentMCMC(3, 5, 5, 2, 0.2, 20, 1).fit(np.empty((25, 0)), y)
    assert res.energy == 0.0


def test_refits_are_identical():
    X, y = problem(n=150, k=4, seed=6)
    s = zc.TournamentMCMC(10, 40, 100, 4, 0.1, 20, 123)
    a, b = s.fit(X, y, roughness(4), None, 0.1), s.fit(X, y, roughness(4), None, 0.1)
    assert np.array_equal(a.beta_mcmc, b.beta_mcmc) and a.energy == b.energy
    assert [a.gibbs.H, a.gibbs.var_E] == [b.gibbs.H, b.gibbs.var_E]


DETERMINISM_SCRIPT = textwrap.dedent(
    """
    import numpy as np
    from zorp._native import zorp_core as zc
    rng = np.random.default_rng(8)
    x = rng.uniform(-1, 1, 300)
    X = np.vander(x, 6, increasing=True)
    y = np.cos(3 * x) + 0.05 * rng.standard_normal(300)
    A = rng.standard_normal((6, 6))
    r = zc.TournamentMCMC(20, 60, 150, 4, 0.05, 20, 2**64 - 3).fit(X, y, A @ A.T, None, 1e-3)
    g = r.gibbs
    print(r.beta_mcmc.tobytes().hex(), r.energy.hex(),
          *(v.hex() for v in (g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T)))
    """
)


def test_results_do_not_depend_on_thread_count():
    outs = []
    for threads in ("1", "2", "3"):
        env = {**os.environ, "OMP_NUM_THREADS": threads}
        proc = subprocess.run(
            [sys.executable, "-c", DETERMINISM_SCRIPT],
            env=env,
            capture_output=True,
            text=True,
            check=True,
            cwd=os.path.dirname(__file__),
        )
        outs.append(proc.stdout)
    assert outs[0] and outs[0] == outs[1] == outs[2]


@pytest.mark.parametrize(
    "cfg, shape, pen, match",
    [
        ((0, 10, 10, 2, 0.1, 20, 1), (20, 3), {}, "n_chains"),
        ((-3, 10, 10, 2, 0.1, 20, 1), (20, 3), {}, "n_chains"),
        ((4, 10, 10, 2, 0.1, 20, 1), (19, 3), {}, "rows"),
        ((4, 10, 10, 2, 0.1, 20, 1), (20, 3), {"R1": np.eye(2), "gamma1": 1.0}, "k x k"),
        ((4, 10, 10, 2, 0.1, 20, 1), (20, 3), {"R2": np.eye(3)[:, :2], "gamma2": -1.0}, "k x k"),
        ((4, 10, 10, 2, 0.1, 20, 1), (20, 3), {"R1": np.eye(4), "gamma1": math.nan}, "k x k"),
    ],
)
def test_fit_rejects_bad_input(cfg, shape, pen, match):
    X = np.ones(shape)
    with pytest.raises(ValueError, match=match):
        zc.TournamentMCMC(*cfg).fit(X, np.ones(20), **pen)


def test_bindings_arguments():
    X, y = problem(n=20, k=2)
    s = zc.TournamentMCMC(n_chains=3, n_warmup=5, n_deep=5, n_elite=2, step_size=1, seed=2**64 - 1)
    nested = [[1.0, 0.0], [0.0, 2.0]]
    a = s.fit(X, y, R1=nested, gamma1=0.5)
    b = s.fit(X, y, np.array(nested), None, 0.5)
    assert np.array_equal(a.beta_mcmc, b.beta_mcmc)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        s.fit(X, y, "R1")
    for bad in ({"seed": -1}, {"seed": 2**64}, {"n_chains": 3.0}, {"seed": 1.0}):
        with pytest.raises(TypeError):
            zc.TournamentMCMC(**bad)


def test_defaults():
    X, y = problem(n=30, k=2, seed=9)
    a = zc.TournamentMCMC().fit(X, y)
    b = zc.TournamentMCMC(25, 200, 2000, 5, 0.05, 20, 42).fit(X, y, None, None, 0.0, 0.0)
    assert np.array_equal(a.beta_mcmc, b.beta_mcmc) and a.energy == b.energy
    assert (a.n_chains, a.n_elite) == (25, 5)


def test_result_objects():
    X, y = problem(n=20, k=3)
    res = zc.TournamentMCMC(3, 5, 5, 2, 0.1, 20, 1).fit(X, y)
    beta, gibbs = res.beta_mcmc, res.gibbs
    assert beta.base is res and not beta.flags.writeable
    assert beta.ctypes.data == res.beta_mcmc.ctypes.data  # a view, not a copy
    with pytest.raises(ValueError):
        beta[0] = 1.0
    for attr in ("beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"):
        with pytest.raises(AttributeError):
            setattr(res, attr, None)
    with pytest.raises(TypeError, match="No constructor defined"):
        zc.MCMCResult()
    expected, h = beta.copy(), gibbs.H
    del res
    gc.collect()
    np.testing.assert_array_equal(beta, expected)
    assert gibbs.H == h
