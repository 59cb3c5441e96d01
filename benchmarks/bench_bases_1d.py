"""Timings of the 1-D basis builders against NumPy peers.

Run on demand: .venv/bin/python benchmarks/bench_bases_1d.py
"""

import numpy as np
from harness import best_of
from numpy.polynomial import polynomial as P

from zorp._native import zorp_core as zc


def numpy_penalties(deg, x_min, x_max, n_grid):
    dx = (x_max - x_min) / (n_grid - 1)
    xs = x_min + np.arange(n_grid) * dx
    p = np.arange(deg + 1)
    d1 = np.where(p >= 1, p * xs[:, None] ** np.maximum(p - 1, 0), 0.0)
    d2 = np.where(p >= 2, p * (p - 1) * xs[:, None] ** np.maximum(p - 2, 0), 0.0)
    return dx * (d1.T @ d1), dx * (d2.T @ d2)


def main():
    rng = np.random.default_rng(0)
    rows = []

    x = rng.uniform(-1.0, 1.0, 1_000_000)
    assert np.array_equal(zc.design_matrix_1d(10, x), P.polyvander(x, 10))
    rows.append(
        (
            "design_matrix_1d n=1e6 deg=10",
            "polyvander",
            best_of(lambda: zc.design_matrix_1d(10, x), 7),
            best_of(lambda: P.polyvander(x, 10), 7),
        )
    )

    for deg in (5, 15):
        rows.append(
            (
                f"smoothness_penalty_matrices_1d deg={deg} n_grid=600",
                "NumPy grid sum",
                best_of(lambda d=deg: zc.smoothness_penalty_matrices_1d(d, -1.0, 2.0, 600), 20),
                best_of(lambda d=deg: numpy_penalties(d, -1.0, 2.0, 600), 20),
            )
        )

    print(f"{'case':<48} {'peer':<16} {'zorp [ms]':>10} {'peer [ms]':>10} {'speed-up':>9}")
    for case, peer, tz, tp in rows:
        print(f"{case:<48} {peer:<16} {tz * 1e3:>10.3f} {tp * 1e3:>10.3f} {tp / tz:>8.2f}x")


if __name__ == "__main__":
    main()
