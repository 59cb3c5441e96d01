"""Fit quality of the automatic degree and smoothness against the usual ways of
fitting a smooth curve, on curves with known truth; and the coverage of the
prediction intervals. Run on demand: python benchmarks/quality_smoothing.py [--quick]
"""

import argparse
import math
import time
import warnings

import numpy as np
from sklearn.exceptions import ConvergenceWarning
from sklearn.linear_model import RidgeCV
from sklearn.model_selection import GridSearchCV, KFold
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import SplineTransformer

from zorp import SmoothPolynomialRegressor

CURVES = {
    "sin+trend": (lambda x: np.sin(x) + 0.15 * x, (0.0, 10.0)),
    "cubic": (lambda x: x**3 - 3.0 * x, (-2.2, 2.2)),
    "logistic": (lambda x: 1.0 / (1.0 + np.exp(-3.0 * (x - 5.0))), (0.0, 10.0)),
    "three turns": (lambda x: np.sin(1.6 * x), (0.0, 6.0)),
}


def spline_ridge() -> object:
    return make_pipeline(
        SplineTransformer(n_knots=20, degree=3), RidgeCV(alphas=np.logspace(-6, 3, 28))
    )


def poly10(x: np.ndarray, y: np.ndarray):
    p = np.polynomial.Polynomial.fit(x, y, 10)
    return lambda t: p(t)


def grid_search() -> GridSearchCV:
    grid = {"degree": [3, 5, 7, 10, 15], "gamma2": list(np.logspace(-10, -2, 9))}
    return GridSearchCV(
        SmoothPolynomialRegressor(),
        grid,
        cv=KFold(5, shuffle=True, random_state=0),
        scoring="neg_mean_squared_error",
    )


def run(sizes, noises, seeds, with_grid_max):
    rows = []
    coverage = []
    for name, (f, (a, b)) in CURVES.items():
        t = np.linspace(a, b, 2001)
        truth = f(t)
        scale = float(np.std(truth))
        for n in sizes:
            for sigma_rel in noises:
                sigma = sigma_rel * scale
                for seed in range(seeds):
                    rng = np.random.default_rng(1000 * seed + n)
                    x = np.sort(rng.uniform(a, b, n))
                    y = f(x) + sigma * rng.standard_normal(n)
                    X = x[:, None]
                    keep = (t >= x.min()) & (t <= x.max())
                    T, tr = t[keep][:, None], truth[keep]

                    def rmse(pred, T=T, tr=tr):
                        return float(np.sqrt(np.mean((pred - tr) ** 2)))

                    res = {}
                    start = time.perf_counter()
                    est = SmoothPolynomialRegressor().fit(X, y)
                    res["zorp"] = (rmse(est.predict(T)), time.perf_counter() - start)
                    start = time.perf_counter()
                    gcv = SmoothPolynomialRegressor(criterion="gcv").fit(X, y)
                    res["zorp gcv"] = (rmse(gcv.predict(T)), time.perf_counter() - start)
                    start = time.perf_counter()
                    sp = spline_ridge().fit(X, y)
                    res["spline+RidgeCV"] = (rmse(sp.predict(T)), time.perf_counter() - start)
                    start = time.perf_counter()
                    res["poly deg 10"] = (rmse(poly10(x, y)(T[:, 0])), time.perf_counter() - start)
                    if n <= with_grid_max:
                        start = time.perf_counter()
                        with warnings.catch_warnings():
                            warnings.simplefilter("ignore", ConvergenceWarning)
                            gs = grid_search().fit(X, y)
                        res["GridSearchCV zorp"] = (
                            rmse(gs.predict(T)),
                            time.perf_counter() - start,
                        )
                    rows.append((name, n, sigma_rel, seed, res, est.degrees_[0], est.edf_))
                    # Coverage of new observations at new points of the range.
                    xn = rng.uniform(x.min(), x.max(), 4000)
                    yn = f(xn) + sigma * rng.standard_normal(xn.size)
                    lo, hi = est.predict_interval(xn[:, None], 0.95).T
                    coverage.append(float(np.mean((yn >= lo) & (yn <= hi))))
    return rows, coverage


def report(rows, coverage):
    methods = ["zorp", "zorp gcv", "spline+RidgeCV", "poly deg 10", "GridSearchCV zorp"]
    print(f"{'curve':<12}{'n':>6}{'noise':>6}  " + "".join(f"{m:>19}" for m in methods))
    groups = {}
    for name, n, s, _seed, res, _deg, _edf in rows:
        groups.setdefault((name, n, s), []).append(res)
    ratios = {m: [] for m in methods}
    for (name, n, s), items in groups.items():
        line = f"{name:<12}{n:>6}{s:>6.2f}  "
        for m in methods:
            vals = [r[m][0] for r in items if m in r]
            line += f"{np.mean(vals):>19.4f}" if vals else f"{'-':>19}"
        print(line)
        for r in items:
            peers = [r[m][0] for m in methods[2:] if m in r]
            for m in methods:
                if m in r:
                    ratios[m].append(r[m][0] / min(peers))
    print("\ngeometric mean of RMSE / best peer's RMSE (peers: spline+RidgeCV, poly deg 10, grid)")
    for m in methods:
        v = ratios[m]
        print(f"  {m:<20}{math.exp(np.mean(np.log(v))):8.3f}   over {len(v)} cases")
    times = {
        m: [r[m][1] for *_, r, _d, _e in [(0, 0, 0, 0, x[4], 0, 0) for x in rows] if m in r]
        for m in methods
    }
    print("\nmedian fit time")
    for m in methods:
        print(f"  {m:<20}{np.median(times[m]) * 1e3:9.2f} ms")
    c = np.array(coverage)
    print(
        f"\ncoverage of 95% prediction intervals: mean {c.mean():.3f}, "
        f"min {c.min():.3f}, max {c.max():.3f} over {c.size} fits"
    )


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    if args.quick:
        rows, cov = run([100, 1000], [0.1, 0.5], 2, 1000)
    else:
        rows, cov = run([100, 1000, 10000], [0.05, 0.2, 0.5], 3, 1000)
    report(rows, cov)
