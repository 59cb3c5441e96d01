"""The core's fitting steps against the NumPy way of doing the same work.

Every table row is timed in a child process for 1 and for 2 threads (OpenMP and
BLAS alike) and printed as peer time / zorp time: above 1 means zorp is faster.
The sampler's energy evaluation is compared with the time its n x k product and
pass over n residuals need at the FMA rate measured here by a dense product.
The busy-core ratio times an estimator fit with one core kept busy by a spinning
process, default OpenMP team against one thread. Times are minima of repeats.

Run: .venv/bin/python benchmarks/bench_core.py
"""

import json
import os
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, sys, time
import numpy as np
sys.path.insert(0, sys.argv[1])
from harness import best_time
from zorp._native import zorp_core as zc

rng = np.random.default_rng(0)
n, m = 100_000, 20
X_c = rng.normal(size=(n, m))
X_f = np.asfortranarray(X_c)
y = X_c @ rng.normal(size=m) + 0.1 * rng.normal(size=n)
R1, R2 = zc.smoothness_penalty_matrices_1d(m - 1, -1.0, 1.0, 600)


def numpy_regularized(Phi):
    A = Phi.T @ Phi
    A[np.diag_indices_from(A)] += 1e-10
    A += (n * 1e-6) * R1
    A += (n * 1e-7) * R2
    return np.linalg.solve(A, Phi.T @ y)


mi = [[i, j, k] for i in range(4) for j in range(4) for k in range(4)]
pts = [rng.uniform(-1.0, 1.0, 10**6) for _ in range(3)]
shape = (10**6, len(mi))


def broadcast():
    pw = [np.stack([c**p for p in range(4)], axis=1) for c in pts]
    out = np.empty(shape, order="F")
    for j, (a, b, c) in enumerate(mi):
        np.multiply(pw[0][:, a], pw[1][:, b], out=out[:, j])
        out[:, j] *= pw[2][:, c]
    return out


def fill():
    out = np.empty(shape, order="F")
    out.fill(1.0)
    return out


rows = []
for label, ours, peer, peer_name in [
    ("ols 100000x20 F-order", lambda: zc.ols(X_f, y), lambda: np.linalg.lstsq(X_f, y), "lstsq"),
    ("ols 100000x20 C-order", lambda: zc.ols(X_c, y), lambda: np.linalg.lstsq(X_c, y), "lstsq"),
    ("fit_regularized_linear F-order",
     lambda: zc.fit_regularized_linear(X_f, y, R1, R2, 1e-6, 1e-7),
     lambda: numpy_regularized(X_f), "Phi.T @ Phi + solve"),
    ("fit_regularized_linear C-order",
     lambda: zc.fit_regularized_linear(X_c, y, R1, R2, 1e-6, 1e-7),
     lambda: numpy_regularized(X_c), "Phi.T @ Phi + solve"),
    ("design_matrix_nd 10^6, [3,3,3]", lambda: zc.design_matrix_nd(mi, pts), broadcast,
     "broadcast of axis powers"),
    ("design_matrix_nd 10^6, [3,3,3]", lambda: zc.design_matrix_nd(mi, pts), fill,
     "fill of the same bytes"),
    ("compute_sr 10^6", lambda: zc.compute_sr(pts[0], pts[1], 0.5),
     lambda: max(np.count_nonzero(np.abs(pts[0] - pts[1]) < 0.5) / 1e6, 0.5e-6),
     "abs, compare, count"),
]:
    rows.append((label, peer_name, best_time(ours), best_time(peer)))

# Sampler: one chain, no warm-up, one elite chain with many deep iterations; the
# per-iteration time is one energy evaluation plus one proposal and test.
ns, ks, iters = 2000, 8, 20000
Xs = np.asfortranarray(rng.normal(size=(ns, ks)))
ys = Xs @ rng.normal(size=ks) + 0.1 * rng.normal(size=ns)
sampler = zc.TournamentMCMC(1, 0, iters, 1, 0.05, 20, 1)
t_iter = best_time(lambda: sampler.fit(Xs, ys), repeat=5) / iters
A = rng.normal(size=(1000, 1000))
fma_rate = 1000**3 / best_time(lambda: A @ A, repeat=5)
print(json.dumps({"rows": rows, "t_iter": t_iter, "limit": (ns * ks + ns) / fma_rate}))
"""

BUSY = r"""
import sys, time, numpy as np
from zorp import SmoothPolynomialRegressor
method, n = sys.argv[1], int(sys.argv[2])
rng = np.random.default_rng(0)
x = rng.uniform(-1, 1, (n, 1))
y = np.sin(3 * x[:, 0]) + 0.1 * rng.normal(size=n)
y[rng.random(n) < 0.05] += 3.0  # gross errors, for the robust fit
est = SmoothPolynomialRegressor(degree=15, method=method).fit(x, y)
ts = []
for _ in range(30):
    t = time.perf_counter(); est.fit(x, y); ts.append(time.perf_counter() - t)
print(min(ts), sorted(ts)[len(ts) // 2], max(ts))
"""


def child(code, threads, *args):
    env = dict(os.environ)
    if threads is not None:
        for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
            env[var] = str(threads)
    # Run beside the benchmarks, so that the installed package is imported,
    # not the source tree of the repository's root.
    out = subprocess.run(
        [sys.executable, "-c", code, *args],
        env=env,
        cwd=HERE,
        capture_output=True,
        text=True,
        check=True,
    )
    return out.stdout


def main():
    runs = {t: json.loads(child(CHILD, t, str(HERE))) for t in (1, 2)}
    print(f"{'work':<34}{'peer':<26}{'1 thread':>22}{'2 threads':>22}")
    for i, (label, peer, _, _) in enumerate(runs[1]["rows"]):
        cells = []
        for t in (1, 2):
            _, _, tz, tp = runs[t]["rows"][i]
            cells.append(f"{tz * 1e3:7.2f}/{tp * 1e3:7.2f} ms {tp / tz:4.2f}")
        print(f"{label:<34}{peer:<26}{cells[0]:>22}{cells[1]:>22}")
    for t in (1, 2):
        r = runs[t]
        print(
            f"sampler deep iteration n=2000 k=8, {t} thread(s): {r['t_iter'] * 1e6:.2f} us, "
            f"FMA-rate limit of the evaluation {r['limit'] * 1e6:.2f} us, "
            f"ratio {r['t_iter'] / r['limit']:.2f}"
        )

    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"])
    try:
        time.sleep(0.5)
        for method, n in (("penalized", 10_000), ("robust", 2_000), ("mcmc", 2_000)):
            default = [float(v) for v in child(BUSY, None, method, str(n)).split()]
            single = [float(v) for v in child(BUSY, 1, method, str(n)).split()]
            print(
                f"estimator fit {method} n={n} deg 15, one core busy (min/median/max ms): "
                f"default team {'/'.join(f'{v * 1e3:.2f}' for v in default)}, "
                f"1 thread {'/'.join(f'{v * 1e3:.2f}' for v in single)}, "
                f"median ratio {default[1] / single[1]:.2f}"
            )
    finally:
        busy.kill()
        busy.wait()


if __name__ == "__main__":
    main()
