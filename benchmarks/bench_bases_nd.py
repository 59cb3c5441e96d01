"""Timing and peak memory of the N-D penalty builder and design matrix.

Every measurement runs in a fresh subprocess with one BLAS/OpenMP thread. The peak
resident set size is reset (/proc/self/clear_refs) right before the measured call,
so "extra MB" is the growth of the peak over the resident size before the call:
inputs, imports and earlier calls do not count, the returned arrays do.

Run: .venv/bin/python benchmarks/bench_bases_nd.py
"""

import json
import os
import subprocess
import sys
import textwrap

PRELUDE = r'''
import itertools, json, math, time
from functools import reduce
import numpy as np
from zorp._native import zorp_core as zc


def axis_tables(x, deg):
    tabs = []
    for order in range(3):
        cols = [np.zeros_like(x) if p < order else math.perm(p, order) * x ** (p - order)
                for p in range(deg + 1)]
        tabs.append(np.stack(cols, axis=1))
    return tabs


def grid_setup(degrees, bounds, n):
    axes = [np.linspace(lo, hi, n) for lo, hi in bounds]
    dV = math.prod((hi - lo) / (n - 1) for lo, hi in bounds)
    return [axis_tables(a, d) for a, d in zip(axes, degrees)], dV


def numpy_factorised(degrees, bounds, n):
    """Each grid sum as a Kronecker product of per-axis Gram matrices."""
    tabs, dV = grid_setup(degrees, bounds, n)
    S = [[t.T @ t for t in tab] for tab in tabs]
    D = len(degrees)
    term = lambda orders: reduce(np.kron, [S[d][orders[d]] for d in range(D)])
    R2 = sum(term([(d == i) + (d == j) for d in range(D)]) for i in range(D) for j in range(D))
    R1 = sum(term([int(d == i) for d in range(D)]) for i in range(D))
    return dV * R1, dV * R2


def numpy_direct(degrees, bounds, n):
    """G x M work matrix per derivative pattern and a rank-G product each."""
    tabs, dV = grid_setup(degrees, bounds, n)
    D = len(degrees)
    E = np.array(list(itertools.product(*(range(d + 1) for d in degrees))))
    g = np.arange(n**D)
    k = [(g // n**d) % n for d in range(D)]

    def work(orders):
        W = np.ones((n**D, len(E)))
        for d in range(D):
            W *= tabs[d][orders[d]][np.ix_(k[d], E[:, d])]
        return W

    M = len(E)
    R1, R2 = np.zeros((M, M)), np.zeros((M, M))
    for i in range(D):
        for j in range(D):
            W = work([(d == i) + (d == j) for d in range(D)])
            R2 += dV * (W.T @ W)
            del W
    for i in range(D):
        W = work([int(d == i) for d in range(D)])
        R1 += dV * (W.T @ W)
        del W
    return R1, R2


def numpy_design(x_cols, degrees):
    """Per-axis power tables, multiplied by broadcasting into the tensor basis."""
    n = len(x_cols[0])
    out = np.ones((n, 1))
    for x, deg in zip(x_cols, degrees):
        P = x[:, None] ** np.arange(deg + 1)
        out = (out[:, :, None] * P[:, None, :]).reshape(n, -1)
    return out


def status_kb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])


def measure(fn, repeats):
    fn()  # warm-up
    best = math.inf
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    rss = status_kb("VmRSS")
    fn()
    extra = status_kb("VmHWM") - rss
    print(json.dumps({"seconds": best, "extra_mb": extra / 1024}))
'''


def run(body, repeats):
    code = PRELUDE + "\n" + textwrap.dedent(body) + f"\nmeasure(fn, {repeats})\n"
    env = dict(os.environ, OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1", MKL_NUM_THREADS="1")
    # Run beside this script so that the source tree does not shadow the installed package.
    out = subprocess.run(
        [sys.executable, "-c", code],
        env=env,
        cwd=os.path.dirname(os.path.abspath(__file__)),
        capture_output=True,
        text=True,
    )
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return json.loads(out.stdout.strip().splitlines()[-1])


def penalty_case(degrees, n, direct_runs):
    bounds = [(-1.0, 2.0)] * len(degrees)
    args = f"{degrees!r}, {bounds!r}, {n}"
    rows = [
        (
            "zorp build_penalty_matrices_nd",
            run(f"fn = lambda: zc.build_penalty_matrices_nd({args})", 20),
        ),
        ("NumPy Kronecker of axis sums", run(f"fn = lambda: numpy_factorised({args})", 10)),
    ]
    if direct_runs:
        rows.append(("NumPy direct grid sums", run(f"fn = lambda: numpy_direct({args})", 2)))
    return rows


def print_table(title, rows, estimate=None):
    base = rows[0][1]["seconds"]
    print(f"\n{title}")
    print(f"{'method':<34} {'best time':>12} {'extra MB':>10} {'time / zorp':>12}")
    for name, r in rows:
        print(
            f"{name:<34} {r['seconds'] * 1e3:>9.3f} ms {r['extra_mb']:>10.1f} "
            f"{r['seconds'] / base:>12.1f}"
        )
    if estimate:
        name, seconds, mb = estimate
        print(
            f"{name:<34} {seconds * 1e3:>9.0f} ms {mb:>10.0f} {seconds / base:>12.0f}   (estimate)"
        )


def main():
    rows3 = penalty_case([3, 3, 3], 30, direct_runs=True)
    print_table("build_penalty_matrices_nd, degrees [3, 3, 3], n = 30 (G = 27,000, M = 64)", rows3)

    rows4 = penalty_case([3, 3, 3, 3], 30, direct_runs=False)
    # The direct method costs (D^2 + D) work-matrix fills and rank-G products of
    # G x M^2: scale the measured D = 3 time by that ratio. Its memory is one
    # G x M work matrix of doubles.
    direct3 = rows3[2][1]["seconds"]
    ratio = (20 / 12) * (30**4 / 30**3) * (256 / 64) ** 2
    estimate = ("NumPy direct grid sums", direct3 * ratio, 30**4 * 256 * 8 / 2**20)
    print_table(
        "build_penalty_matrices_nd, degrees [3, 3, 3, 3], n = 30 (G = 810,000, M = 256)",
        rows4,
        estimate,
    )

    design_setup = """
        rng = np.random.default_rng(0)
        x_cols = [rng.uniform(-2, 2, 10**6) for _ in range(3)]
        _, _, mi = zc.build_penalty_matrices_nd([3, 3, 3], [(0, 1)] * 3, 2)
    """
    rows_d = [
        (
            "zorp design_matrix_nd",
            run(
                textwrap.dedent(design_setup) + "fn = lambda: zc.design_matrix_nd(mi, x_cols)\n", 5
            ),
        ),
        (
            "NumPy broadcast of axis powers",
            run(
                textwrap.dedent(design_setup) + "fn = lambda: numpy_design(x_cols, [3, 3, 3])\n", 5
            ),
        ),
    ]
    print_table("design_matrix_nd, n = 10^6 points, degrees [3, 3, 3] (M = 64)", rows_d)


if __name__ == "__main__":
    main()
