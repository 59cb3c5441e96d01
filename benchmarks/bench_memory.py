"""Peak memory of a fit beyond its input arrays, by rows and kind of fit.

Each case runs in a child process: it makes the data, resets the kernel's
peak-RSS mark, fits with the automatic degree and reports the peak resident
memory above what the process held before the fit, and the fit's time.

    python benchmarks/bench_memory.py --rows 1e6 --rows 1e7
    python benchmarks/bench_memory.py              # 10^6 rows only
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys

CASES = {
    "1-D penalized": (1, "penalized"),
    "2-D penalized": (2, "penalized"),
    "3-D penalized": (3, "penalized"),
    "2-D robust": (2, "robust"),
}

CHILD = r"""
import json, sys, time
import numpy as np
from zorp import SmoothPolynomialRegressor

n, d, method = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rng = np.random.default_rng(0)
X = rng.uniform(-1.0, 1.0, (n, d))
y = np.sin(3.0 * X).sum(axis=1) + rng.normal(scale=0.3, size=n)
if method == "robust":
    y[rng.random(n) < 0.1] += 20.0

def rss(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
base = rss("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # resets the peak mark (VmHWM) to the current RSS
start = time.perf_counter()
est = SmoothPolynomialRegressor(method=method).fit(X, y)
seconds = time.perf_counter() - start
print(json.dumps({"peak": rss("VmHWM:") - base, "seconds": seconds,
                  "degrees": est.degrees_, "coef0": float(np.ravel(est.coef_)[0])}))
"""


def run(n: int, d: int, method: str) -> dict[str, object]:
    out = subprocess.run(
        [sys.executable, "-c", CHILD, str(n), str(d), method],
        capture_output=True,
        text=True,
        check=False,
    )
    if out.returncode != 0:
        return {"error": (out.stderr.strip().splitlines() or ["killed"])[-1]}
    result: dict[str, object] = json.loads(out.stdout)
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=float, action="append")
    parser.add_argument("--case", action="append", choices=sorted(CASES))
    args = parser.parse_args()
    sizes = [int(r) for r in (args.rows or [1e6])]
    cases = args.case or list(CASES)
    print(f"{'case':16} {'rows':>10} {'peak beyond input':>18} {'fit time':>9}  degrees")
    for n in sizes:
        for name in cases:
            d, method = CASES[name]
            r = run(n, d, method)
            if "error" in r:
                print(f"{name:16} {n:>10.0e} {'failed: ' + str(r['error'])[:60]}")
                continue
            peak = float(r["peak"]) / 2**20  # type: ignore[arg-type]
            print(f"{name:16} {n:>10.0e} {peak:>15.0f} MiB {r['seconds']:>8.1f}s  {r['degrees']}")


if __name__ == "__main__":
    main()
