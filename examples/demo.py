"""Short end-to-end example of the zorp core."""

import numpy as np

import zorp

rng = np.random.default_rng(0)
y = rng.normal(size=1000)
y[::50] += 25.0  # a few gross outliers

m = zorp.mad(y)
centre = np.full_like(y, np.median(y))
print(f"median absolute deviation: {m:.6f}")
print(f"hit rate within 0.4*MAD of the median: {zorp.compute_sr(centre, y, 0.4 * m):.4f}")
