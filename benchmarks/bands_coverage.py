"""How often the 95 % bands of the curve and of its slope cover the truth,
averaged over the training range, on known curves (smooth and with local
features) and many seeds; pyGAM's confidence intervals beside them.

    python benchmarks/bands_coverage.py [--quick] [--seeds N]
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from quality_peers import CURVES, _curve_scale  # noqa: E402

from zorp import SmoothPolynomialRegressor  # noqa: E402

LEVEL = 0.95
N_GRID = 500


def slope(f, x: np.ndarray, span: float) -> np.ndarray:
    h = 1e-6 * span
    return (f(x + h) - f(x - h)) / (2 * h)


def covered(band: np.ndarray, truth: np.ndarray) -> float:
    return float(np.mean((band[:, 0] <= truth) & (truth <= band[:, 1])))


def pygam_band(x: np.ndarray, y: np.ndarray, grid: np.ndarray) -> np.ndarray:
    from pygam import LinearGAM, s

    gam = LinearGAM(s(0, n_splines=40))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        gam.gridsearch(x[:, None], y, progress=False)
        return np.asarray(gam.confidence_intervals(grid[:, None], width=LEVEL))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="3 seeds, n = 1000 only")
    ap.add_argument("--seeds", type=int, default=10)
    ap.add_argument("--no-pygam", action="store_true")
    args = ap.parse_args()
    sizes = (1000,) if args.quick else (100, 1000)
    seeds = 3 if args.quick else args.seeds
    methods = ("zorp", "zorp slope", "zorp robust", "zorp robust slope")
    if not args.no_pygam:
        methods += ("pyGAM",)
    rows: dict[tuple[str, int], dict[str, list[float]]] = {}
    start = time.perf_counter()
    for name, c in CURVES.items():
        span = c.hi - c.lo
        grid = np.linspace(c.lo, c.hi, N_GRID)
        truth, truth_slope = c.f(grid), slope(c.f, grid, span)
        sigma = 0.25 * _curve_scale(name)
        for n in sizes:
            found: dict[str, list[float]] = {m: [] for m in methods}
            for seed in range(seeds):
                rng = np.random.default_rng(1000 * seed + n)
                x = rng.uniform(c.lo, c.hi, n)
                y = c.f(x) + rng.normal(0.0, sigma, n)
                G = grid[:, None]
                for robust in (False, True):
                    est = SmoothPolynomialRegressor(method="robust" if robust else "penalized")
                    est.fit(x[:, None], y)
                    tag = "zorp robust" if robust else "zorp"
                    found[tag].append(covered(est.predict_interval(G, LEVEL, kind="mean"), truth))
                    band = est.predict_interval(G, LEVEL, kind="mean", derivative=1)
                    found[f"{tag} slope"].append(covered(band, truth_slope))
                if "pyGAM" in found:
                    found["pyGAM"].append(covered(pygam_band(x, y, grid), truth))
            rows[(name, n)] = found
            print(
                f"{name:15s} n={n:5d} "
                + "  ".join(f"{m}: {np.mean(v):.3f}" for m, v in found.items()),
                flush=True,
            )
    print(f"\n{time.perf_counter() - start:.0f} s\n")
    print(f"Mean coverage of the {LEVEL:.0%} band over the range ({seeds} seeds per row)\n")
    print("| curve | n | " + " | ".join(methods) + " |")
    print("|---|---|" + "---|" * len(methods))
    for (name, n), found in rows.items():
        cells = " | ".join(f"{np.mean(found[m]):.3f}" for m in methods)
        print(f"| {name} | {n} | {cells} |")
    for kind in ("smooth", "local", "all"):
        keep = [
            found for (name, _), found in rows.items() if kind == "all" or CURVES[name].kind == kind
        ]
        cells = " | ".join(f"{np.mean([np.mean(f[m]) for f in keep]):.3f}" for m in methods)
        print(f"| **{kind} curves** | | {cells} |")


if __name__ == "__main__":
    main()
