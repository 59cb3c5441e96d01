"""A fit's summary: the figures users compare fits by (size, degrees,
effective degrees of freedom, curvature weight, criterion, sigma, R^2, AIC
and, for robust fits, scale, flagged rows and iterations), as a dict and as
a fixed-width text table."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np

from zorp.model import FittedModel

WIDTH = 78


@dataclass(frozen=True)
class Summary:
    """The summary of one fit: `figures` (the dict `to_dict` returns) and
    its text (`str(summary)`, also the representation)."""

    figures: dict[str, Any]

    def to_dict(self) -> dict[str, Any]:
        """The figures: shared ones at the top level, per-target ones in
        `targets` (a list, one dict per target column)."""
        return {**self.figures, "targets": [dict(t) for t in self.figures["targets"]]}

    def __str__(self) -> str:
        return _table(self.figures)

    def __repr__(self) -> str:
        return str(self)

    def _repr_html_(self) -> str:
        return "<pre>" + _escape(str(self)) + "</pre>"


def gaussian_aic(sigma: float, dof: float, edf: float) -> float:
    """Akaike's criterion of a Gaussian fit with `edf` effective parameters
    and the noise variance estimated: n log(2 pi rss / n) + n + 2 (edf + 1),
    n = dof + edf and rss = sigma^2 dof, taken in logs against overflow."""
    n = dof + edf
    if not (dof > 0.0 and sigma > 0.0):
        return math.nan
    log_rss = 2.0 * math.log(sigma) + math.log(dof)
    return n * (math.log(2.0 * math.pi / n) + log_rss) + n + 2.0 * (edf + 1.0)


def summarize(model: FittedModel, owner: str, method: str, names: list[str] | None) -> Summary:
    """The summary of `model`, fitted by `owner` with `method`."""
    t = model.coef.shape[0]
    robust = model.robust
    targets = []
    for j in range(t):
        sigma = float(model.sigma[j])
        row: dict[str, Any] = {
            "edf": float(model.edf[j]),
            "gamma2": float(model.gamma2[j]),
            "criterion": None if model.criterion is None else float(model.criterion[j]),
            "sigma": sigma,
            "r2": None,
            "aic": None,
            "mdl_score": float(model.mdl_score[j]),
            "hit_rate": float(model.hit_rate[j]),
        }
        if robust is None and model.r2 is not None:
            row["r2"] = float(model.r2[j])
            row["aic"] = gaussian_aic(sigma, float(model.dof[j]), float(model.edf[j]))
        if robust is not None:
            weights = robust.weights
            flagged = None
            if isinstance(weights, np.ndarray):
                flagged = int((weights[:, j] <= 0.0).sum())
            row.update(
                scale=float(robust.scale[j]), n_flagged=flagged, n_iter=int(robust.n_iter[j])
            )
        targets.append(row)
    varying = None
    if model.profile is not None:
        varying = {"min": float(model.profile.min()), "max": float(model.profile.max())}
    figures: dict[str, Any] = {
        "model": owner,
        "method": method,
        "basis": model.basis.kind,
        "n_samples": int(model.n_rows),
        "n_features": len(model.box.lo),
        "feature_names": names,
        "degrees": [int(d) for d in model.basis.degrees],
        "n_terms": int(model.basis.n_terms),
        "criterion_kind": model.criterion_kind,
        "varying_gamma2": varying,
        "fit_seconds": float(sum(model.timings.values())),
        "targets": targets,
    }
    return Summary(figures)


def _fmt(value: Any) -> str:
    if value is None:
        return "-"
    if isinstance(value, bool | str):
        return str(value)
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        return f"{value:.4g}" if abs(value) < 1e5 else f"{value:.4e}"
    return str(value)


def _table(f: dict[str, Any]) -> str:
    crit = "REML (-2 log L)" if f["criterion_kind"] == "reml" else "GCV"
    names = f["feature_names"]
    left = [
        ("Method:", f["method"]),
        ("Basis:", f["basis"]),
        ("Degrees:", ", ".join(map(str, f["degrees"]))),
        ("Terms:", f["n_terms"]),
        ("Weight chosen by:", crit),
    ]
    right = [
        ("Observations:", f["n_samples"]),
        ("Inputs:", ", ".join(names) if names else f["n_features"]),
        ("Targets:", len(f["targets"])),
        (
            "Curvature weight:",
            "varies along x" if f["varying_gamma2"] else "one over the range",
        ),
        ("Fit time (s):", f"{f['fit_seconds']:.3g}"),
    ]
    half = WIDTH // 2
    lines = [f"{f['model']} results".center(WIDTH).rstrip(), "=" * WIDTH]
    for (a, va), (b, vb) in zip(left, right, strict=True):
        lines.append(
            f"{a:<18}{_fmt(va):>{half - 20}}  " + f"{b:<18}{_fmt(vb):>{WIDTH - half - 18}}"
        )
    vg = f["varying_gamma2"]
    if vg:
        lines.append(f"Curvature weight from {_fmt(vg['min'])} to {_fmt(vg['max'])} along x")
    lines.append("=" * WIDTH)
    robust = "scale" in f["targets"][0]
    cols = [
        ("edf", "edf"),
        ("gamma2", "gamma2"),
        ("criterion", "criterion"),
        ("sigma", "sigma"),
    ]
    cols += (
        [("scale", "scale"), ("n_flagged", "flagged"), ("n_iter", "iters")]
        if robust
        else [("r2", "R^2"), ("aic", "AIC")]
    )
    width = (WIDTH - 8) // len(cols) - 1
    lines.append(" " * 8 + "".join(f" {title:>{width}}" for _, title in cols))
    lines.append("-" * WIDTH)
    for j, row in enumerate(f["targets"]):
        label = "y" if len(f["targets"]) == 1 else f"y[{j}]"
        lines.append(f"{label:<8}" + "".join(f" {_fmt(row[key]):>{width}}" for key, _ in cols))
    lines.append("=" * WIDTH)
    return "\n".join(lines)


def _escape(text: str) -> str:
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
