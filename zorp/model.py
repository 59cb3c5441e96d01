"""The fitted model: basis, box, coefficients, posterior covariance and
diagnostics of one fit, frozen, with prediction, predictive standard deviation, intervals
and extrapolation beyond the training box.

Inside, targets are always columns: `coef` is (t, k) and every per-target
figure has shape (t,); `single` records that y was 1-D, so that the estimator
ravels what it reports.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, field, fields
from statistics import NormalDist
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from zorp.bases import Basis, Box, TensorBasis

EXTRAPOLATIONS: tuple[str, ...] = ("linear", "constant", "continue", "error")
# Intervals for a new observation, or for the curve (or a derivative) itself.
BandKind = Literal["prediction", "mean"]
BAND_KINDS: tuple[str, ...] = ("prediction", "mean")
# A derivative's order: one for a single input, else one per input.
Derivative = int | Sequence[int]
# Probabilities at which a robust fit keeps its residuals' quantiles.
TAIL_PROBS = np.linspace(0.0, 1.0, 1001)


@dataclass(frozen=True, eq=False)
class RobustInfo:
    """What a robust fit adds: per training row the final biweight weight
    (t columns; a lazy Dask array for Dask inputs), the residual scale and
    the number of reweighted solves per target."""

    weights: Any
    scale: NDArray[np.float64]
    n_iter: NDArray[np.int64]
    # Per target, quantiles at TAIL_PROBS of |residual| / scale over the rows
    # the fit keeps (biweight weight > 0); None where the rows cannot be
    # revisited (Dask).
    tail: NDArray[np.float64] | None = None


@dataclass(frozen=True, eq=False)
class McmcInfo:
    """The sampler's Gibbs summary and the energies of its result and start."""

    gibbs: dict[str, float]
    energy: float
    start_energy: float


@dataclass(frozen=True, eq=False)
class FittedModel:
    """One fit. The posterior covariance of target j's coefficients is
    sigma[j]^2 V_j V_j', with V_j = cov_T / sqrt(cov_d[j]) when cov_T is
    (k, k), or cov_T[j] when it is a stack (t, k, k)."""

    basis: Basis
    box: Box
    coef: NDArray[np.float64]
    gamma2: NDArray[np.float64]
    edf: NDArray[np.float64]
    sigma: NDArray[np.float64]
    dof: NDArray[np.float64]
    cov_T: NDArray[np.float64]
    cov_d: NDArray[np.float64] | None
    mdl_score: NDArray[np.float64]
    hit_rate: NDArray[np.float64]
    single: bool
    robust: RobustInfo | None = None
    mcmc: McmcInfo | None = None
    # The weights of the curvature weight's functions along x (see
    # `zorp.adaptive`), None for one weight over the whole range.
    profile: NDArray[np.float64] | None = None
    # The criterion the weight was chosen by ("reml" or "gcv") and its value
    # per target in the targets' units; R^2 on the training rows (None for
    # robust fits).
    criterion: NDArray[np.float64] | None = None
    criterion_kind: str = "reml"
    r2: NDArray[np.float64] | None = None
    # Rows of positive weight seen by the fit.
    n_rows: int = 0
    # The basis cov_T and cov_d refer to when it is wider than `basis` (whose
    # terms it holds): the terms the degree choice left out keep their prior.
    cov_basis: Basis | None = None
    timings: dict[str, float] = field(default_factory=dict)

    def same_as(self, other: FittedModel) -> bool:
        """Equal in every field (arrays element by element)."""
        for f in fields(self):
            a, b = getattr(self, f.name), getattr(other, f.name)
            if f.name == "timings":
                continue
            if not _equal(a, b):
                return False
        return True

    # -- prediction ----------------------------------------------------------

    def rows(
        self,
        X: NDArray[np.float64],
        extrapolation: str,
        derivative: NDArray[np.int64] | None = None,
        spread: bool = False,
    ) -> Rows:
        """Rows a with prediction a @ coef under the extrapolation mode: the basis
        at the point, or at its nearest point of the training box plus the
        linear continuation from there. With `derivative` (an order per axis)
        the rows of that partial derivative, in the units of X, of the
        function extrapolation gives. With `spread`, rows of the covariance's
        basis (`row_basis`), which standard deviations need; fitted values
        alone take the fit's own basis."""
        box, basis = self.box, (self.row_basis if spread else self.basis)
        alpha = np.zeros(X.shape[1], dtype=np.int64) if derivative is None else derivative
        # d/dx = d/du / half per axis, for each order taken.
        unit = float(np.prod(box.half ** -alpha.astype(np.float64)))
        if extrapolation == "continue":
            return Rows(basis.partial_rows(box.scaled(X), alpha) * unit)
        outside = self.check_inside(X, extrapolation)
        P = box.scaled(box.clip(X))
        out = Rows(basis.partial_rows(P, alpha))
        # Beyond the box along an axis the function is affine ("linear") or
        # constant ("constant") in that coordinate: a derivative of total
        # order above 1 (above 0) along such axes is 0.
        order_out = (outside * alpha).sum(axis=1)
        if alpha.any():
            out.base[order_out > (1 if extrapolation == "linear" else 0)] = 0.0
        if extrapolation == "linear" and outside.any():
            # f(c) + sum_a step_a d_a f(c), c the nearest point of the box;
            # differentiating along axes inside the box only acts on c.
            rows = np.flatnonzero(outside.any(axis=1) & (order_out == 0))
            # Differences of scaled coordinates, halved first against overflow.
            delta = (X[rows] / 2.0 - box.clip(X[rows]) / 2.0) / (box.half / 2.0)
            for axis in range(X.shape[1]):
                step = delta[:, axis]
                if np.any(step != 0.0):
                    orders = alpha.copy()
                    orders[axis] += 1
                    out.slopes.append((rows, step, basis.partial_rows(P[rows], orders)))
        if unit != 1.0:
            out.base *= unit
            out.slopes = [(r, s, g * unit) for r, s, g in out.slopes]
        return out

    def check_inside(self, X: NDArray[np.float64], extrapolation: str) -> NDArray[np.bool_]:
        """Where X lies outside the training box; refuses any such row under
        extrapolation="error"."""
        outside: NDArray[np.bool_] = (X < self.box.lo) | (X > self.box.hi)
        if extrapolation == "error" and outside.any():
            dims = np.flatnonzero(outside.any(axis=0)).tolist()
            raise ValueError(
                f"X has {int(outside.any(axis=1).sum())} row(s) outside the training range "
                f"in feature(s) {dims}, and extrapolation='error'"
            )
        return outside

    def evaluate(
        self,
        X: NDArray[np.float64],
        extrapolation: str,
        parts: tuple[str, ...],
        block: int,
        derivative: NDArray[np.int64] | None = None,
        level: float = 0.95,
    ) -> list[NDArray[np.float64]]:
        """The `parts` (see `part`) at X, computed `block` rows at a time so
        that the basis rows of a large X are never held at once."""
        self.check_inside(X, extrapolation)
        out: list[list[NDArray[np.float64]]] = [[] for _ in parts]
        spread = any(name != "fit" for name in parts)
        for start in range(0, max(len(X), 1), block):
            A = self.rows(X[start : start + block], extrapolation, derivative, spread)
            for found, name in zip(out, parts, strict=True):
                found.append(self.part(A, name, level))
        return [np.concatenate(found) for found in out]

    def part(self, A: Rows, name: str, level: float = 0.95) -> NDArray[np.float64]:
        """One figure at rows A: "fit", the fitted values; "std_fit", the
        standard deviation of the fitted values; "std_new", that of a new
        observation; "band_fit" and "band_new", their two-sided bands of
        probability `level`, lower and upper along a last axis."""
        if name == "fit":
            return self.mean(A)
        if name == "std_fit":
            return self.std_fit(A)
        if name == "std_new":
            return self.std(A)
        mean = self.mean(A)
        if name == "band_fit":
            s, q = self.std_fit(A), self.quantiles(level, fit=True)
        elif name == "band_new":
            s, q = self.std(A), self.quantiles(level)
        else:
            raise ValueError(f"unknown part {name!r}")
        q = q[0] if self.single else q
        out: NDArray[np.float64] = np.stack([mean - q * s, mean + q * s], axis=-1)
        return out

    @property
    def row_basis(self) -> Basis:
        """The basis of the covariance, and of the rows `rows(spread=True)` gives."""
        return self.basis if self.cov_basis is None else self.cov_basis

    def terms_in_rows(self, A: Rows) -> Rows:
        """Rows A restricted to the fit's own terms: the fitted values are
        the same, bit for bit, whichever basis A was built in."""
        if A.base.shape[1] == self.basis.n_terms or self.cov_basis is None:
            return A
        where = {tuple(m): i for i, m in enumerate(self.cov_basis.multi_indices)}
        pos = np.array([where[tuple(m)] for m in self.basis.multi_indices], dtype=np.intp)

        # C order, as the fit's own rows come, so that products sum alike.
        def take(M: NDArray[np.float64]) -> NDArray[np.float64]:
            return np.ascontiguousarray(M[:, pos])

        return Rows(take(A.base), [(r, step, take(g)) for r, step, g in A.slopes])

    def mean(self, A: Rows) -> NDArray[np.float64]:
        """Fitted values at rows A: (n,) for one 1-D target, else (n, t)."""
        out = self.terms_in_rows(A).times(np.ascontiguousarray(self.coef.T))
        if not np.isfinite(out).all():
            raise ValueError(
                "the prediction exceeds the largest float at some rows of X (far outside "
                "the training box); use extrapolation='constant' or nearer points"
            )
        return out[:, 0] if self.single else out

    def variance_factor(self, A: Rows) -> NDArray[np.float64]:
        """Variance of the fitted values at rows A in units of sigma^2, (n, t)."""
        with np.errstate(over="ignore"):
            if self.cov_T.ndim == 3:
                cols = [(A.times(V) ** 2).sum(axis=1) for V in self.cov_T]
                return np.stack(cols, axis=1)
            assert self.cov_d is not None
            with np.errstate(divide="ignore"):
                out: NDArray[np.float64] = A.times(self.cov_T) ** 2 @ (1.0 / self.cov_d).T
        return out

    def std(self, A: Rows) -> NDArray[np.float64]:
        """Predictive standard deviation of a new observation at rows A."""
        with np.errstate(over="ignore"):
            out: NDArray[np.float64] = self.sigma * np.sqrt(1.0 + self.variance_factor(A))
        return out[:, 0] if self.single else out

    def std_fit(self, A: Rows) -> NDArray[np.float64]:
        """Posterior standard deviation of the fitted values (or of the
        derivative A stands for) at rows A: the noise left out."""
        with np.errstate(over="ignore"):
            out: NDArray[np.float64] = self.sigma * np.sqrt(self.variance_factor(A))
        return out[:, 0] if self.single else out

    def quantiles(self, level: float, fit: bool = False) -> NDArray[np.float64]:
        """Two-sided quantile of `level` for every target, (t,): Student's t;
        for a new observation of a robust fit at least the `level` quantile of
        its kept rows' |residual| / scale, widened by sqrt(n / (n - edf)) as
        residuals at the training rows are narrower than at new points. The
        biweight scale measures the noise's core: where its tails are heavier
        than the Gaussian's, t alone gives intervals that cover too little.
        The fitted values (`fit`) average many rows, and t holds for them."""
        out = np.array([t_quantile(0.5 + level / 2.0, float(v)) for v in self.dof])
        if not fit and self.robust is not None and self.robust.tail is not None:
            with np.errstate(divide="ignore", invalid="ignore"):
                widen = np.sqrt((self.dof + self.edf) / self.dof)
            for j, tail in enumerate(self.robust.tail):
                seen = float(np.interp(level, TAIL_PROBS, tail)) * widen[j]
                if np.isfinite(seen):
                    out[j] = max(out[j], seen)
        return out


def derivative_orders(derivative: Any, n_features: int) -> NDArray[np.int64]:
    """The order of a derivative along each of `n_features` axes, checked:
    a whole number >= 0 for one input (or 0 for any number of inputs), or a
    sequence of one such number per input."""
    whole = (int, np.integer)
    if isinstance(derivative, whole) and not isinstance(derivative, bool | np.bool_):
        if derivative < 0 or (derivative and n_features > 1):
            raise ValueError(
                f"derivative must be a whole number >= 0 for one input, or one per input "
                f"such as {tuple([1] + [0] * (n_features - 1))} for {n_features} inputs; "
                f"got {derivative!r}"
            )
        out = np.zeros(n_features, dtype=np.int64)
        out[0] = int(derivative)
        return out
    items = list(derivative) if isinstance(derivative, Sequence | np.ndarray) else None
    if (
        items is None
        or len(items) != n_features
        or not all(isinstance(v, whole) and not isinstance(v, bool | np.bool_) for v in items)
        or any(v < 0 for v in items)
    ):
        raise ValueError(
            f"derivative must be a whole number >= 0 for one input, or a sequence of "
            f"{n_features} such numbers, one per input; got {derivative!r}"
        )
    return np.array(items, dtype=np.int64)


@dataclass
class Rows:
    """Basis rows at points: the rows at the nearest points of the box, plus
    per axis a step beyond the box times the derivative rows there. Products
    take the two parts apart, so that a step far beyond the box gives a large
    result, never inf - inf."""

    base: NDArray[np.float64]
    slopes: list[tuple[NDArray[np.intp], NDArray[np.float64], NDArray[np.float64]]] = field(
        default_factory=list
    )

    def times(self, M: NDArray[np.float64]) -> NDArray[np.float64]:
        """The rows times the matrix M (k, m)."""
        out: NDArray[np.float64] = self.base @ M
        with np.errstate(over="ignore", invalid="ignore"):
            for rows, step, grad in self.slopes:
                out[rows] += step[:, None] * (grad @ M)
        return out


def _equal(a: Any, b: Any) -> bool:
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (
            isinstance(a, np.ndarray)
            and isinstance(b, np.ndarray)
            and np.array_equal(a, b, equal_nan=a.dtype.kind == "f")
        )
    if isinstance(a, Box | TensorBasis | RobustInfo | McmcInfo):
        return type(a) is type(b) and all(
            _equal(getattr(a, f.name), getattr(b, f.name)) for f in fields(a)
        )
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return bool(a == b)


def t_quantile(p: float, dof: float) -> float:
    """Quantile p (0.5 < p < 1) of Student's t with `dof` > 0 degrees of
    freedom, from the regularised incomplete beta function; NaN for dof <= 0
    or NaN. The normal quantile beyond 1e7 degrees of freedom."""
    if not dof > 0.0:
        return math.nan
    z = NormalDist().inv_cdf(p)
    if dof > 1e7:
        return z
    tail = 1.0 - p
    # Bisection on the upper tail probability, then Newton steps: the tail is
    # monotone in t, and the density gives the derivative.
    lo, hi = 0.0, max(1.0, 2.0 * abs(z))
    while _t_tail(hi, dof) > tail:
        lo, hi = hi, 2.0 * hi
        if hi > 1e300:
            return math.inf
    for _ in range(200):
        mid = lo + (hi - lo) / 2.0
        if _t_tail(mid, dof) > tail:
            lo = mid
        else:
            hi = mid
        if hi - lo <= 1e-15 * hi:
            break
    return lo + (hi - lo) / 2.0


def _t_tail(t: float, dof: float) -> float:
    """P(T > t) for t >= 0: I_x(dof / 2, 1 / 2) / 2 at x = dof / (dof + t^2)."""
    x = dof / (dof + t * t)
    return 0.5 * _betainc(dof / 2.0, 0.5, x)


def _betainc(a: float, b: float, x: float) -> float:
    """Regularised incomplete beta I_x(a, b) by its continued fraction
    (modified Lentz), on the side where the fraction converges fast."""
    if x <= 0.0:
        return 0.0
    if x >= 1.0:
        return 1.0
    log_front = (
        math.lgamma(a + b) - math.lgamma(a) - math.lgamma(b) + a * math.log(x) + b * math.log1p(-x)
    )
    if x > (a + 1.0) / (a + b + 2.0):
        return 1.0 - _betainc(b, a, 1.0 - x)
    tiny = 1e-300
    c, d = 1.0, 1.0 - (a + b) * x / (a + 1.0)
    d = 1.0 / (d if abs(d) > tiny else tiny)
    h = d
    for m in range(1, 500):
        m2 = 2 * m
        for num in (
            m * (b - m) * x / ((a + m2 - 1.0) * (a + m2)),
            -(a + m) * (a + b + m) * x / ((a + m2) * (a + m2 + 1.0)),
        ):
            d = 1.0 + num * d
            d = 1.0 / (d if abs(d) > tiny else tiny)
            c = 1.0 + num / c
            c = c if abs(c) > tiny else tiny
            h *= d * c
        if abs(d * c - 1.0) < 1e-16:
            break
    return math.exp(log_front) * h / a
