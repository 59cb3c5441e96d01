"""Pictures of a fit (matplotlib, the `plot` extra): in 1-D the data, the
curve, its mean and prediction bands and the rows a robust fit flags; in 2-D
the fitted surface as filled contours over the data."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from zorp.model import FittedModel
from zorp.robust import TUKEY_C
from zorp.sources import block_rows

GRID_1D = 400
GRID_2D = 120


def _pyplot() -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError(
            "plot() needs matplotlib; install it with: pip install 'zorp[plot]'"
        ) from None
    return plt


def _at(
    model: FittedModel, X: NDArray[np.float64], extrapolation: str, part: str, level: float = 0.95
) -> NDArray[np.float64]:
    block = block_rows(model.basis.n_terms)
    return model.evaluate(X, extrapolation, (part,), block, None, level)[0]


def plot_fit(
    model: FittedModel,
    extrapolation: str,
    method: str,
    names: Sequence[str] | None,
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    ax: Any = None,
    level: float = 0.95,
) -> Any:
    """Draw the fit of one target over (X, y) on `ax` (a new figure's axes
    when None) and return the axes. Rows a robust fit gives weight 0, with
    residuals beyond TUKEY_C scales, are drawn apart."""
    plt = _pyplot()
    if ax is None:
        _, ax = plt.subplots(figsize=(8, 4.5))
    labels = list(names) if names is not None else None
    flagged = np.zeros(len(y), dtype=bool)
    if model.robust is not None:
        fitted = _at(model, X, extrapolation, "fit")
        flagged = np.abs(y - fitted) > TUKEY_C * model.robust.scale[0]
    if X.shape[1] == 1:
        x = X[:, 0]
        grid = np.linspace(float(x.min()), float(x.max()), GRID_1D)[:, None]
        fit = _at(model, grid, extrapolation, "fit")
        new = _at(model, grid, extrapolation, "band_new", level)
        mean = _at(model, grid, extrapolation, "band_fit", level)
        pct = f"{100 * level:g}%"
        ax.fill_between(
            grid[:, 0],
            new[:, 0],
            new[:, 1],
            color="tab:blue",
            alpha=0.12,
            lw=0,
            label=f"{pct} prediction band",
        )
        ax.fill_between(
            grid[:, 0],
            mean[:, 0],
            mean[:, 1],
            color="tab:blue",
            alpha=0.3,
            lw=0,
            label=f"{pct} band of the curve",
        )
        ax.scatter(x[~flagged], y[~flagged], s=8, color="0.35", label="data")
        if flagged.any():
            ax.scatter(
                x[flagged],
                y[flagged],
                s=30,
                marker="x",
                color="tab:red",
                label="flagged (robust fit)",
            )
        ax.plot(grid[:, 0], fit, color="tab:blue", lw=2, label=f"{method} fit")
        ax.set_xlabel(labels[0] if labels else "x")
        ax.set_ylabel("y")
        ax.legend(loc="best", fontsize="small")
        return ax
    if X.shape[1] != 2:
        raise ValueError(f"plot draws fits of 1 or 2 inputs; this one has {X.shape[1]}")
    lo, hi = X.min(axis=0), X.max(axis=0)
    g0, g1 = np.meshgrid(np.linspace(lo[0], hi[0], GRID_2D), np.linspace(lo[1], hi[1], GRID_2D))
    Z = _at(model, np.c_[g0.ravel(), g1.ravel()], extrapolation, "fit").reshape(g0.shape)
    filled = ax.contourf(g0, g1, Z, levels=20, cmap="viridis")
    ax.figure.colorbar(filled, ax=ax, label="fitted y")
    ax.scatter(X[~flagged, 0], X[~flagged, 1], s=4, color="k", alpha=0.4, label="data")
    if flagged.any():
        ax.scatter(
            X[flagged, 0],
            X[flagged, 1],
            s=30,
            marker="x",
            color="tab:red",
            label="flagged (robust fit)",
        )
    ax.set_xlabel(labels[0] if labels else "x0")
    ax.set_ylabel(labels[1] if labels else "x1")
    ax.legend(loc="best", fontsize="small")
    return ax
