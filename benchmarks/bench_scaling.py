"""Many series at once, and one fit over data spread across a Dask cluster.

Run on demand, alone on the machine:
    .venv/bin/python benchmarks/bench_scaling.py

1. 10,000 series of 500 points on one grid, degree 10, curvature weight chosen
   per series: one multi-target fit, against a Python loop of single fits
   (timed over a subset and scaled linearly, as printed) and against NumPy's
   polyfit with 2-D y (unpenalized least squares, no choice of weight).
2. A Dask fit over up to 1e8 rows generated lazily in chunks on two worker
   processes (the client never holds the data), with the peak resident memory
   of each worker and of the client, against the in-memory fit at the largest
   size run here. Every fit runs in a fresh process so that each peak belongs
   to that fit alone.
"""

import json
import resource
import subprocess
import sys
import time

import numpy as np
from harness import best_of

from zorp import SmoothPolynomialRegressor

N_SERIES, N_POINTS, DEGREE = 10_000, 500, 10
LOOP_SUBSET = 500
DASK_SIZES = (10_000_000, 100_000_000)
CHUNK_ROWS = 1_000_000
IN_MEMORY_ROWS = 20_000_000  # about 6 GiB at the peak: well under this machine's 24 GiB


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def many_series() -> None:
    rng = np.random.default_rng(0)
    x = np.sort(rng.uniform(0.0, 10.0, N_POINTS))
    amp = rng.uniform(0.5, 2.0, N_SERIES)
    freq = rng.uniform(0.2, 1.0, N_SERIES)
    Y = np.sin(np.outer(x, freq)) * amp + rng.uniform(0.02, 0.3, N_SERIES) * rng.normal(
        size=(N_POINTS, N_SERIES)
    )
    X = x[:, None]

    def multi() -> SmoothPolynomialRegressor:
        return SmoothPolynomialRegressor(degree=DEGREE).fit(X, Y)

    def loop() -> list[SmoothPolynomialRegressor]:
        return [
            SmoothPolynomialRegressor(degree=DEGREE).fit(X, Y[:, j]) for j in range(LOOP_SUBSET)
        ]

    est = multi()
    singles = loop()
    diffs = np.array(
        [
            np.max(np.abs(est.coef_[j] - s.coef_)) / np.max(np.abs(s.coef_))
            for j, s in enumerate(singles)
        ]
    )
    t_multi = best_of(multi, 5)
    warm = multi().timings_
    t_loop = best_of(loop, 2) * (N_SERIES / LOOP_SUBSET)
    t_polyfit = best_of(lambda: np.polynomial.polynomial.polyfit(x, Y, DEGREE), 5)

    print(f"\n1. {N_SERIES} series x {N_POINTS} points, degree {DEGREE}, weight chosen per series")
    print(
        f"   relative coefficient difference to single fits over {LOOP_SUBSET} series: "
        f"median {np.median(diffs):.1e}, 99th percentile {np.quantile(diffs, 0.99):.1e}, "
        f"largest {diffs.max():.1e}"
    )
    print(
        "   stages of the multi-target fit: "
        + ", ".join(f"{k} {v * 1e3:.1f} ms" for k, v in warm.items())
    )
    print(f"{'':3}{'method':<52}{'time':>10}{'multi-target is':>18}{'goal':>8}")
    rows = [
        ("zorp, one multi-target fit", t_multi, None, None),
        (
            f"zorp, Python loop of single fits ({LOOP_SUBSET} timed, x{N_SERIES // LOOP_SUBSET})",
            t_loop,
            t_loop / t_multi,
            50.0,
        ),
        (
            "numpy polyfit, 2-D y (no penalty, no weight choice)",
            t_polyfit,
            t_polyfit / t_multi,
            5.0,
        ),
    ]
    for name, t, ratio, goal in rows:
        shown = "" if ratio is None else f"{ratio:.1f}x faster"
        mark = "" if goal is None else ("met" if ratio >= goal else f"<{goal:.0f}x")
        print(f"{'':3}{name:<52}{t:>9.3f}s{shown:>18}{mark:>8}")


def _dask_run(n: int) -> dict:
    """One Dask fit of n lazily generated rows; run in a fresh process."""
    import dask.array as da
    from distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=2,
            processes=True,
            threads_per_worker=1,
            dashboard_address=None,
            memory_limit="6GiB",
        ) as cluster,
        Client(cluster) as client,
    ):
        gen = da.random.default_rng(11)
        X = gen.uniform(-3.0, 5.0, size=(n, 1), chunks=(CHUNK_ROWS, 1))
        y = np.sin(X[:, 0]) + 0.3 * gen.standard_normal(n, chunks=CHUNK_ROWS)
        start = time.perf_counter()
        est = SmoothPolynomialRegressor().fit(X, y)
        seconds = time.perf_counter() - start
        workers = client.run(peak_rss_mib)
    return {
        "seconds": seconds,
        "client_mib": peak_rss_mib(),
        "workers_mib": sorted(workers.values()),
        "degree": est.degrees_[0],
        "gamma2": est.gamma2_,
        "timings": est.timings_,
    }


def _memory_run(n: int) -> dict:
    rng = np.random.default_rng(11)
    X = rng.uniform(-3.0, 5.0, size=(n, 1))
    y = np.sin(X[:, 0]) + 0.3 * rng.standard_normal(n)
    start = time.perf_counter()
    est = SmoothPolynomialRegressor().fit(X, y)
    seconds = time.perf_counter() - start
    return {
        "seconds": seconds,
        "client_mib": peak_rss_mib(),
        "degree": est.degrees_[0],
        "gamma2": est.gamma2_,
    }


def _in_child(kind: str, n: int) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, kind, str(n)], capture_output=True, text=True, check=True
    )
    return json.loads(out.stdout.strip().splitlines()[-1])


def dask_fits() -> None:
    print(f"\n2. one fit over n rows, degree and weight chosen; chunks of {CHUNK_ROWS:,} rows")
    print(
        f"{'':3}{'run':<34}{'n':>13}{'time':>9}{'client peak':>13}{'worker peaks':>20}"
        f"{'degree':>8}{'gamma2':>11}"
    )
    results = [("Dask, 2 worker processes", n, _in_child("dask", n)) for n in DASK_SIZES]
    results.append(("in memory, one process", IN_MEMORY_ROWS, _in_child("memory", IN_MEMORY_ROWS)))
    for name, n, r in results:
        workers = " / ".join(f"{w:.0f}" for w in r.get("workers_mib", [])) or "-"
        print(
            f"{'':3}{name:<34}{n:>13,}{r['seconds']:>8.1f}s{r['client_mib']:>9.0f} MiB"
            f"{workers:>16} MiB{r['degree']:>8}{r['gamma2']:>11.3g}"
        )
    small, large = results[0][2], results[1][2]
    print(
        f"   client peak at {DASK_SIZES[1]:,} rows / at {DASK_SIZES[0]:,} rows: "
        f"{large['client_mib'] / small['client_mib']:.2f}"
    )
    for _name, n, r in results[:2]:
        stages = ", ".join(f"{k} {v:.1f} s" for k, v in r["timings"].items() if v > 0.05)
        print(f"   stages at {n:,} rows: {stages}")


def main() -> None:
    many_series()
    dask_fits()


if __name__ == "__main__":
    if len(sys.argv) == 3:
        run = {"dask": _dask_run, "memory": _memory_run}[sys.argv[1]]
        print(json.dumps(run(int(sys.argv[2]))))
    else:
        main()
