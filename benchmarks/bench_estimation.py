"""Timings of the linear estimators against NumPy peers.

Run on demand: .venv/bin/python benchmarks/bench_estimation.py
The zorp timings include the conversion of the arguments into native matrices.
"""

import numpy as np
from harness import best_of

from zorp._native import zorp_core as zc


def numpy_regularized(Phi, y, R1, R2, gamma1, gamma2, ridge):
    n = len(y)
    A = Phi.T @ Phi
    A[np.diag_indices_from(A)] += ridge
    A += (n * gamma1) * R1
    A += (n * gamma2) * R2
    return np.linalg.solve(A, Phi.T @ y)


def main():
    rng = np.random.default_rng(0)
    n, m = 100_000, 20
    X_c = rng.normal(size=(n, m))
    X_f = np.asfortranarray(X_c)
    y = X_c @ rng.normal(size=m) + 0.1 * rng.normal(size=n)
    R1, R2 = zc.smoothness_penalty_matrices_1d(m - 1, -1.0, 1.0, 600)
    g1, g2, ridge = 1e-6, 1e-7, 1e-10

    np.testing.assert_allclose(zc.ols(X_f, y), np.linalg.lstsq(X_f, y)[0], rtol=1e-9)
    np.testing.assert_allclose(
        zc.fit_regularized_linear(X_f, y, R1, R2, g1, g2, ridge),
        numpy_regularized(X_f, y, R1, R2, g1, g2, ridge),
        rtol=1e-8,
    )

    rows = []
    for layout, X in (("F-order", X_f), ("C-order", X_c)):
        rows.append(
            (
                f"ols {n}x{m} ({layout})",
                "lstsq",
                best_of(lambda X=X: zc.ols(X, y), 7),
                best_of(lambda X=X: np.linalg.lstsq(X, y), 7),
            )
        )
    for layout, X in (("F-order", X_f), ("C-order", X_c)):
        rows.append(
            (
                f"fit_regularized_linear {n}x{m} ({layout})",
                "Phi.T@Phi+solve",
                best_of(lambda X=X: zc.fit_regularized_linear(X, y, R1, R2, g1, g2, ridge), 7),
                best_of(lambda X=X: numpy_regularized(X, y, R1, R2, g1, g2, ridge), 7),
            )
        )

    print(f"{'case':<44} {'peer':<16} {'zorp [ms]':>10} {'peer [ms]':>10} {'speed-up':>9}")
    for case, peer, tz, tp in rows:
        print(f"{case:<44} {peer:<16} {tz * 1e3:>10.3f} {tp * 1e3:>10.3f} {tp / tz:>8.2f}x")


if __name__ == "__main__":
    main()
