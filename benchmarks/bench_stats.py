"""Robust statistics against their NumPy and SciPy peers."""

import numpy as np
import scipy.stats
from harness import compare

import zorp


def main() -> None:
    rng = np.random.default_rng(1)
    cases = []
    for n in (10**3, 10**5, 10**7):
        y = rng.normal(size=n)
        cases.append(
            (
                f"mad, n = {n:.0e}",
                lambda y=y: zorp.mad(y),
                {
                    "numpy median(|y - median(y)|)": lambda y=y: np.median(
                        np.abs(y - np.median(y))
                    ),
                    "scipy median_abs_deviation": lambda y=y: scipy.stats.median_abs_deviation(y),
                },
            )
        )
    for n in (10**3, 10**6):
        yt = rng.normal(size=n)
        yp = yt + rng.normal(scale=0.5, size=n)
        cases.append(
            (
                f"compute_sr, n = {n:.0e}",
                lambda yp=yp, yt=yt: zorp.compute_sr(yp, yt, 0.4),
                {
                    "numpy count(|yp - yt| < eps)": lambda yp=yp, yt=yt: max(
                        np.count_nonzero(np.abs(yp - yt) < 0.4) / yt.size, 0.5 / yt.size
                    )
                },
            )
        )
    compare("Robust statistics (ratio > 1: zorp faster)", cases)


if __name__ == "__main__":
    main()
