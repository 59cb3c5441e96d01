"""Draw the README's pictures of bands, derivatives and shape constraints into
docs/ (matplotlib, the `plot` extra):

    .venv/bin/python scripts/readme_figures.py
"""

from __future__ import annotations

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from zorp import SmoothPolynomialRegressor  # noqa: E402

DOCS = Path(__file__).resolve().parents[1] / "docs"


def dose(x: np.ndarray) -> np.ndarray:
    """A dose-response curve: flat, a steep rise, a plateau."""
    return 1.0 / (1.0 + np.exp(-(x - 4.0) * 1.6))


def bands() -> None:
    rng = np.random.default_rng(4)
    x = np.sort(rng.uniform(0.0, 10.0, 250))
    y = np.sin(x) + 0.15 * x + rng.normal(0.0, 0.3, x.size)
    y[rng.choice(x.size, 12, replace=False)] += rng.choice([-1, 1], 12) * rng.uniform(2, 4, 12)
    model = SmoothPolynomialRegressor(method="robust").fit(x[:, None], y)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 7), sharex=True)
    model.plot(x[:, None], y, ax=top)
    top.plot(x, np.sin(x) + 0.15 * x, color="k", lw=1, ls="--", label="truth")
    top.set_ylim(-6.5, 6.5)
    top.legend(loc="lower center", ncol=3, fontsize="small")
    top.set_title("robust fit: the band of the curve, the prediction band, flagged points")
    grid = np.linspace(0.0, 10.0, 400)[:, None]
    slope_band = model.predict_interval(grid, kind="mean", derivative=1)
    bottom.fill_between(
        grid[:, 0], *slope_band.T, color="tab:blue", alpha=0.3, lw=0, label="95% band of the slope"
    )
    bottom.plot(
        grid[:, 0],
        model.predict(grid, derivative=1),
        color="tab:blue",
        lw=2,
        label="fitted slope, predict(X, derivative=1)",
    )
    bottom.plot(grid[:, 0], np.cos(grid[:, 0]) + 0.15, color="k", lw=1, ls="--", label="true slope")
    bottom.axhline(0.0, color="0.6", lw=0.8)
    bottom.set_xlabel("x")
    bottom.set_ylabel("dy/dx")
    bottom.legend(loc="upper right", fontsize="small")
    fig.tight_layout()
    fig.savefig(DOCS / "bands.png", dpi=100)
    plt.close(fig)


def shapes() -> None:
    rng = np.random.default_rng(8)
    x = np.sort(rng.uniform(0.0, 10.0, 80))
    y = dose(x) + rng.normal(0.0, 0.12, x.size)
    free = SmoothPolynomialRegressor().fit(x[:, None], y)
    rising = SmoothPolynomialRegressor(shape="increasing").fit(x[:, None], y)
    grid = np.linspace(0.0, 10.0, 400)[:, None]
    fig, ax = plt.subplots(figsize=(8, 4.2))
    ax.scatter(x, y, s=10, color="0.4", label="data")
    ax.plot(grid[:, 0], dose(grid[:, 0]), color="k", lw=1, ls="--", label="truth")
    ax.plot(grid[:, 0], free.predict(grid), color="tab:orange", lw=2, label="unconstrained")
    ax.plot(grid[:, 0], rising.predict(grid), color="tab:blue", lw=2, label='shape="increasing"')
    ax.set_xlabel("dose")
    ax.set_ylabel("response")
    ax.set_title("a monotone fit holds over the whole range")
    ax.legend(loc="upper left", fontsize="small")
    fig.tight_layout()
    fig.savefig(DOCS / "shape.png", dpi=100)
    plt.close(fig)


if __name__ == "__main__":
    DOCS.mkdir(exist_ok=True)
    bands()
    shapes()
    print(f"wrote {DOCS / 'bands.png'} and {DOCS / 'shape.png'}")
