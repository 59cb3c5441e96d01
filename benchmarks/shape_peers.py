"""Shape-constrained fits against the free fit and pyGAM's constrained LinearGAM.

Monotone and convex truths on [-1, 1], Gaussian noise, n in {100, 1000,
10000} and a few seeds: RMSE against the truth on 10^4 grid points, shape
violations on that grid (differences below -1e-9 of the truth's range) and
fit times. Prints per-case tables and geometric-mean RMSE ratios.

    .venv/bin/python benchmarks/shape_peers.py [--quick]

Run it alone: it is timed, and the machine is shared.
"""

from __future__ import annotations

import argparse
import math
import time
import warnings

import numpy as np

from zorp import SmoothPolynomialRegressor

MONOTONE = {
    "logistic": lambda x: 1.0 / (1.0 + np.exp(-6.0 * x)),
    "exp saturation": lambda x: 1.0 - np.exp(-3.0 * (x + 1.0)),
    "smoothed step": lambda x: np.tanh(15.0 * x),
    "plateau, gentle rise": lambda x: 0.1 * x + 0.5 * np.tanh(8.0 * np.maximum(x - 0.3, 0.0)),
    "flat over part": lambda x: np.where(x < 0.0, 0.0, x**2),
}
CONVEX = {
    "exponential": lambda x: np.exp(2.0 * x),
    "rounded kink": lambda x: np.sqrt(x**2 + 0.01),
    "hinge squared": lambda x: np.maximum(x, 0.0) ** 2,
}
NOISE = 0.1
GRID = np.linspace(-1.0, 1.0, 10_000)


def violations(pred: np.ndarray, order: int, scale: float) -> int:
    return int(np.sum(np.diff(pred, n=order) < -1e-9 * scale))


def fit_zorp(x, y, shape):
    model = SmoothPolynomialRegressor(shape=shape).fit(x[:, None], y)
    return model.predict(GRID[:, None])


def fit_pygam(x, y, shape):
    from pygam import LinearGAM, s

    constraint = {"increasing": "monotonic_inc", "convex": "convex"}[shape]
    gam = LinearGAM(s(0, n_splines=min(30, max(10, len(x) // 4)), constraints=constraint))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gam.gridsearch(x[:, None], y, progress=False, lam=np.logspace(-3, 3, 11))
    return gam.predict(GRID[:, None])


METHODS = {
    "zorp shape": lambda x, y, shape: fit_zorp(x, y, shape),
    "zorp free": lambda x, y, shape: fit_zorp(x, y, None),
    "pyGAM shape": fit_pygam,
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="n in {100, 1000}, one seed")
    args = parser.parse_args()
    sizes = (100, 1000) if args.quick else (100, 1000, 10_000)
    seeds = range(1) if args.quick else range(3)
    families = [("increasing", MONOTONE, 1), ("convex", CONVEX, 2)]
    rows = []
    for shape, truths, order in families:
        for name, f in truths.items():
            truth = f(GRID)
            scale = float(np.ptp(truth))
            for n in sizes:
                for seed in seeds:
                    rng = np.random.default_rng(1000 * seed + n)
                    x = rng.uniform(-1.0, 1.0, n)
                    y = f(x) + rng.normal(0.0, NOISE, n)
                    for method, fit in METHODS.items():
                        start = time.perf_counter()
                        pred = fit(x, y, shape)
                        seconds = time.perf_counter() - start
                        rmse = float(np.sqrt(np.mean((pred - truth) ** 2)))
                        bad = violations(pred, order, scale)
                        rows.append((shape, name, n, seed, method, rmse, bad, seconds))
    print(f"{'shape':<10} {'truth':<22} {'n':>6} " + " ".join(f"{m:>28}" for m in METHODS))
    print(" " * 41 + " ".join(f"{'rmse  viol  time':>28}" for _ in METHODS))
    for shape, truths, _ in families:
        for name in truths:
            for n in sizes:
                cells = []
                for method in METHODS:
                    sel = [r for r in rows if r[1] == name and r[2] == n and r[4] == method]
                    rmse = np.mean([r[5] for r in sel])
                    viol = sum(r[6] for r in sel)
                    secs = np.mean([r[7] for r in sel])
                    cells.append(f"{rmse:10.5f} {viol:6d} {secs:8.3f}s")
                print(f"{shape:<10} {name:<22} {n:>6} " + " ".join(f"{c:>28}" for c in cells))

    def ratio(shape, n, a, b):
        pairs = {}
        for r in rows:
            if r[0] == shape and (n is None or r[2] == n) and r[4] in (a, b):
                pairs.setdefault((r[1], r[2], r[3]), {})[r[4]] = r[5]
        logs = [math.log(p[a] / p[b]) for p in pairs.values()]
        return math.exp(float(np.mean(logs)))

    print("\nGeometric-mean RMSE ratios (below 1: zorp shape better)")
    for shape, _, _ in families:
        for n in (*sizes, None):
            label = "all n" if n is None else f"n={n}"
            free = ratio(shape, n, "zorp shape", "zorp free")
            peer = ratio(shape, n, "zorp shape", "pyGAM shape")
            print(f"  {shape:<10} {label:<8} vs free {free:.3f}   vs pyGAM shape {peer:.3f}")
    for method in METHODS:
        total = sum(r[6] for r in rows if r[4] == method)
        fits = sum(1 for r in rows if r[4] == method)
        print(
            f"  {method:<12} fits with a violation on the grid: "
            f"{sum(1 for r in rows if r[4] == method and r[6] > 0)}/{fits} ({total} points)"
        )


if __name__ == "__main__":
    main()
