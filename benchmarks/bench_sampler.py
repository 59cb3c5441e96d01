"""Tournament MCMC sampler: zorp against a NumPy implementation of the same search.

Run on demand: .venv/bin/python benchmarks/bench_sampler.py
"""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
from harness import best_of

from zorp._native import zorp_core as zc

N, K = 2000, 8
DEFAULT = dict(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, H_piH=20)


def make_problem(n=N, k=K, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    X = np.vander(x, k, increasing=True)
    y = np.sin(3.0 * x) + 0.1 * rng.standard_normal(n)
    return X, y


def numpy_fit(
    X, y, n_chains, n_warmup, n_deep, n_elite, step_size, H_piH, seed=42, R1=None, gamma1=0.0
):
    """The same tournament in NumPy: warm-up chains advance together as one
    (chains x k) array; the deep phase is sequential by nature."""
    n, k = X.shape
    rng = np.random.default_rng(seed)
    m = np.median(np.abs(y - np.median(y)))
    eps = 0.4 * m if m > 0 else 0.4
    complexity = (k * math.log(2.0 * H_piH) / n) * k if k > 0 else 0.0
    floor = 1.0 / (2.0 * n)

    penalized = R1 is not None and gamma1 != 0.0

    def energies(B):  # B: (chains, k)
        hits = np.count_nonzero(np.abs(B @ X.T - y) < eps, axis=1)
        E = complexity - n * np.log(np.maximum(hits / n, floor))
        if penalized:
            E += gamma1 * np.einsum("ci,ij,cj->c", B, R1, B)
        return E

    def energy(b):
        hits = np.count_nonzero(np.abs(X @ b - y) < eps)
        e = complexity - n * math.log(max(hits / n, floor))
        if penalized:
            e += gamma1 * float(b @ (R1 @ b))
        return e

    B = rng.normal(0.0, 0.5, (n_chains, k))
    E = energies(B)
    T = 2.0
    for _ in range(n_warmup):
        Bc = B + rng.normal(0.0, step_size, B.shape)
        Ec = energies(Bc)
        with np.errstate(invalid="ignore"):
            a = np.minimum((E - Ec) / T, 0.0)
        acc = (Ec < E) | (rng.random(n_chains) < np.exp(np.nan_to_num(a)))
        B[acc], E[acc] = Bc[acc], Ec[acc]
        T *= 0.995

    w = np.exp(-(E - E.min()))
    p = w / w.sum()
    He = float(-(np.log(p + 1e-300) * p).sum()) / math.log(max(n_chains, 2))
    r_heat = 0.01 + 0.99 * He

    order = np.argsort(E, kind="stable")
    B, E = B[order], E[order]
    elite = [0]
    for i in range(1, n_chains):
        if len(elite) >= n_elite:
            break
        if np.all(np.linalg.norm(B[elite] - B[i], axis=1) > 0.1):
            elite.append(i)
    elite += list(range(len(elite), n_chains))[: max(0, n_elite - len(elite))]

    best_b, best_e = B[0].copy(), E[0]
    T = 0.5 * r_heat
    for ei, idx in enumerate(elite):
        drng = np.random.default_rng(seed + 7777 + 13 * ei)
        steps = drng.normal(0.0, 0.3 * step_size, (n_deep, k))
        us = drng.random(n_deep)
        b, e = B[idx].copy(), E[idx]
        for it in range(n_deep):
            bc = b + steps[it]
            ec = energy(bc)
            if ec < e or us[it] < math.exp(min((e - ec) / T, 0.0)):
                b, e = bc, ec
            if e < best_e:
                best_b, best_e = b.copy(), e
            T *= 0.9997
    return best_b, best_e


def n_evaluations(n_chains, n_warmup, n_deep, n_elite, **_):
    return n_chains * (n_warmup + 1) + max(1, min(n_elite, n_chains)) * n_deep


THREAD_SCRIPT = textwrap.dedent(
    """
    import hashlib, sys, time
    import numpy as np
    sys.path.insert(0, {here!r})
    from bench_sampler import make_problem
    from zorp._native import zorp_core as zc
    X, y = make_problem()
    s = zc.TournamentMCMC(n_chains=48, n_warmup=400, n_deep=0, n_elite=1)
    best, res = float("inf"), None
    for _ in range(5):
        t0 = time.perf_counter()
        res = s.fit(X, y)
        best = min(best, time.perf_counter() - t0)
    digest = hashlib.sha256(res.beta_mcmc.tobytes() + np.float64(res.energy).tobytes())
    print(best, digest.hexdigest()[:16])
    """
)


def warmup_seconds(threads):
    here = os.path.dirname(os.path.abspath(__file__))
    script = THREAD_SCRIPT.format(here=here)
    # Run from the script's directory so the source tree cannot shadow the
    # installed package.
    out = subprocess.run(
        [sys.executable, "-c", script],
        env={**os.environ, "OMP_NUM_THREADS": str(threads)},
        cwd=here,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    return float(out[0]), out[1]


def main():
    X, y = make_problem()
    evals = n_evaluations(**DEFAULT)
    sampler = zc.TournamentMCMC(**DEFAULT)
    R1 = np.eye(K)

    rows = []
    t_zorp = best_of(lambda: sampler.fit(X, y), 5)
    t_np = best_of(lambda: numpy_fit(X, y, **DEFAULT), 2)
    rows.append(("default fit, unpenalized", t_zorp, t_np))
    t_zorp_pen = best_of(lambda: sampler.fit(X, y, R1, None, 1e-3), 5)
    t_np_pen = best_of(lambda: numpy_fit(X, y, **DEFAULT, R1=R1, gamma1=1e-3), 2)
    rows.append(("default fit, one penalty", t_zorp_pen, t_np_pen))

    print(f"n = {N}, k = {K}, {evals} energy evaluations per fit, OMP threads = default")
    print(
        f"{'case':40s} {'zorp s':>9s} {'numpy s':>9s} {'zorp eval/s':>12s} "
        f"{'numpy eval/s':>13s} {'ratio':>7s}"
    )
    for name, tz, tn in rows:
        print(
            f"{name:40s} {tz:9.4f} {tn:9.4f} {evals / tz:12.3e} {evals / tn:13.3e} {tn / tz:7.1f}"
        )

    t1, h1 = warmup_seconds(1)
    t2, h2 = warmup_seconds(2)
    print()
    print("warm-up only (48 chains x 401 evaluations, n_deep = 0)")
    print(f"{'threads':>8s} {'seconds':>9s} {'speed-up':>9s}  result digest")
    print(f"{1:8d} {t1:9.4f} {1.0:9.2f}  {h1}")
    print(f"{2:8d} {t2:9.4f} {t1 / t2:9.2f}  {h2}")
    print("results identical across thread counts:", h1 == h2)


if __name__ == "__main__":
    main()
