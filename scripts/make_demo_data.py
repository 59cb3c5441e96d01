"""Generate the demo dataset shipped in zorp/data/demo.csv.

A smooth curve with Gaussian noise and a few gross outliers, fixed by its seed:
    python scripts/make_demo_data.py > zorp/data/demo.csv
"""

import numpy as np

rng = np.random.default_rng(2026)
n = 200
x = np.sort(rng.uniform(0.0, 10.0, n))
y = np.sin(x) + 0.15 * x + rng.normal(scale=0.15, size=n)
outliers = rng.choice(n, size=16, replace=False)
y[outliers] += rng.choice([-1.0, 1.0], size=16) * rng.uniform(2.0, 4.0, size=16)

print("x,y")
for xi, yi in zip(x, y, strict=True):
    print(f"{xi:.6f},{yi:.6f}")
