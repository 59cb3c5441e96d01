"""Penalized least squares with the smoothness weight chosen from the data.

The fit minimises ``|W^(1/2) (y - Phi b)|^2 + n * (gamma1 b'R1 b + gamma2 b'R2 b) + ridge |b|^2``
with ``n = sum(W)``, as the native `fit_regularized_linear` does for unit weights.
For the automatic choice of `gamma2` the problem is reduced once per basis to
the generalised eigenproblem of the Gram matrix G and the penalty S: with
``G + S = L L'`` and ``L^-1 G L^-T = U diag(mu) U'`` (0 <= mu <= 1), every
quantity the criteria need at a weight lam is a sum over the k eigenvalues of
``mu + lam' (1 - mu)``, so each candidate costs O(k). Working with G + S rather
than G alone keeps the reduction well conditioned when the data leave some
directions of the power basis nearly undetermined.

Two criteria are offered: restricted maximum likelihood ("reml", the default:
the marginal likelihood of the Bayesian view of the penalty, with the noise
variance profiled out) and generalised cross-validation ("gcv").
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Literal

import numpy as np
from numpy.typing import NDArray

Criterion = Literal["reml", "gcv"]
CRITERIA: tuple[str, ...] = ("reml", "gcv")

# Search range of gamma2 (per observation, for the penalty on [-1, 1]^D) and
# the grid the search starts from before refining the best bracket.
LOG10_GAMMA_RANGE = (-14.0, 3.0)
GRID_POINTS = 69
GRID = np.linspace(*LOG10_GAMMA_RANGE, GRID_POINTS)
REFINE_STEPS = 40
REFINE_TOL = 1e-9  # in log10 of the weight
# Floor of the reduced eigenvalues: directions that neither the data nor the
# penalty determine get this much shrinkage instead of a division by zero.
MIN_EIGENVALUE = 1e-14


@dataclass(frozen=True)
class Sufficient:
    """Weighted sufficient statistics of a least-squares problem in one basis.

    gram = Phi' W Phi, cross = Phi' W y, yy = y' W y, n = sum(W). With several
    targets (y of shape (n, t)) cross is (k, t) and yy the (t,) per-column sums.
    The statistics of disjoint row blocks add up to those of all rows.
    """

    gram: NDArray[np.float64]
    cross: NDArray[np.float64]
    yy: float | NDArray[np.float64]
    n: float

    @classmethod
    def from_design(
        cls,
        Phi: NDArray[np.float64],
        y: NDArray[np.float64],
        weights: NDArray[np.float64] | None = None,
    ) -> Sufficient:
        if y.ndim == 2:
            if weights is None:
                return cls(Phi.T @ Phi, Phi.T @ y, np.einsum("ij,ij->j", y, y), float(len(y)))
            Pw = Phi * weights[:, None]
            yy = np.einsum("ij,ij->j", y, y * weights[:, None])
            return cls(Pw.T @ Phi, Pw.T @ y, yy, float(weights.sum()))
        if weights is None:
            return cls(Phi.T @ Phi, Phi.T @ y, float(y @ y), float(len(y)))
        Pw = Phi * weights[:, None]
        return cls(Pw.T @ Phi, Pw.T @ y, float(y @ (weights * y)), float(weights.sum()))

    def __add__(self, other: Sufficient) -> Sufficient:
        return Sufficient(
            self.gram + other.gram, self.cross + other.cross, self.yy + other.yy, self.n + other.n
        )

    @property
    def n_targets(self) -> int | None:
        """Number of target columns, None for a single 1-D target."""
        return None if self.cross.ndim == 1 else int(self.cross.shape[1])

    def subset(self, idx: NDArray[np.intp]) -> Sufficient:
        """The statistics of the basis made of the columns `idx`."""
        return Sufficient(submatrix(self.gram, idx), self.cross[idx], self.yy, self.n)


@dataclass(frozen=True)
class PenalizedFit:
    """A penalized fit with its smoothness weight, effective degrees of freedom
    and the factor V of the coefficients' posterior covariance sigma^2 V V'."""

    coef: NDArray[np.float64]
    gamma2: float
    edf: float
    sigma: float
    cov_factor: NDArray[np.float64]
    criterion_value: float


@dataclass(frozen=True)
class ColumnFits:
    """Penalized fits of t target columns on one basis: coef (t, k), and per
    column the weight, effective degrees of freedom, residual scale and
    criterion value (t,). Column j's posterior covariance factor is
    cov_T / sqrt(cov_d[j])."""

    coef: NDArray[np.float64]
    gamma2: NDArray[np.float64]
    edf: NDArray[np.float64]
    sigma: NDArray[np.float64]
    cov_T: NDArray[np.float64]
    cov_d: NDArray[np.float64]
    criterion_value: NDArray[np.float64]


def submatrix(A: NDArray[np.float64], idx: NDArray[np.intp]) -> NDArray[np.float64]:
    """A[idx][:, idx]; a slice when idx are the leading indices (nested 1-D bases)."""
    if len(idx) and idx[-1] == len(idx) - 1 and np.array_equal(idx, np.arange(len(idx))):
        return A[: len(idx), : len(idx)]
    out: NDArray[np.float64] = A[np.ix_(idx, idx)]
    return out


def _null_rows(S: NDArray[np.float64]) -> NDArray[np.bool_]:
    # The derivative penalties vanish exactly on the terms of total degree below
    # their order (constant, linear): those rows and columns are exact zeros.
    return ~np.any(S != 0.0, axis=1)


class SmoothingPath:
    """All penalized fits of one basis, as functions of the weight of S.

    `fixed` is the part of the normal matrix that does not move with the
    weight (the Gram matrix, fixed penalties and the ridge), `S` the penalty
    whose weight is chosen.
    """

    def __init__(self, stats: Sufficient, fixed: NDArray[np.float64], S: NDArray[np.float64]):
        self.n = stats.n
        self.yy = stats.yy
        k = fixed.shape[0]
        self.k = k
        null = _null_rows(S)
        self.m0 = int(null.sum())
        self.rank = k - self.m0
        pos = ~null
        # log of the product of the non-zero eigenvalues of S, which the
        # marginal likelihood needs; on the non-null block S is positive definite.
        if self.rank:
            chol_s = _cholesky(S[np.ix_(pos, pos)])
            self.logdet_s = 2.0 * float(np.log(np.diag(chol_s)).sum())
        else:
            self.logdet_s = 0.0
        tr_f, tr_s = float(np.trace(fixed)), float(np.trace(S))
        self.alpha = tr_f / tr_s if tr_s > 0 else 1.0
        L = _cholesky(fixed + self.alpha * S)
        Linv = np.linalg.solve(L, np.eye(k))
        C = Linv @ fixed @ Linv.T
        mu, U = np.linalg.eigh((C + C.T) / 2.0)
        self.mu = np.clip(mu, 0.0, 1.0)
        self._rest = 1.0 - self.mu
        self.T = Linv.T @ U  # b = T' c; coefficients = T (b / d)
        self.b = self.T.T @ stats.cross
        if self.b.ndim == 2:
            # Squared projections per column, rows contiguous for the paired sums.
            self._b2T = np.ascontiguousarray((self.b**2).T)
        self.logdet_base = 2.0 * float(np.log(np.diag(L)).sum())

    def _d(self, lam: float | NDArray[np.float64]) -> NDArray[np.float64]:
        # Eigenvalues of L^-1 (fixed + lam S) L^-T for each weight (rows).
        t = np.asarray(lam, dtype=np.float64)[..., None] / self.alpha
        d = t * self._rest
        d += self.mu
        return np.maximum(d, MIN_EIGENVALUE, out=d)

    def edf(self, lam: float | NDArray[np.float64]) -> NDArray[np.float64]:
        return (self.mu / self._d(lam)).sum(axis=-1)

    def rss(self, lam: float | NDArray[np.float64], paired: bool = False) -> NDArray[np.float64]:
        """Residual sum of squares at weights `lam`; with several targets of
        shape (..., t), or (t,) when `paired` gives one weight per column."""
        d = self._d(lam)
        b2 = self.b**2
        if b2.ndim == 2 and not paired:
            return np.maximum(self.yy - ((2.0 - self.mu / d) / d) @ b2, 0.0)
        if b2.ndim == 2:
            # Row j: column j at its own weight, as the single-target sum.
            b2 = self._b2T
        rss = self.yy - (b2 * (2.0 - self.mu / d) / d).sum(axis=-1)
        return np.maximum(rss, 0.0)

    def criterion(
        self, lam: float | NDArray[np.float64], kind: Criterion, paired: bool = False
    ) -> NDArray[np.float64]:
        """Value of the criterion (lower is better) at weights `lam` > 0.

        With several targets the values have shape (..., t) for weights of
        shape (...), or (t,) when `paired` gives one weight per column.
        """
        lam = np.asarray(lam, dtype=np.float64)
        d = self._d(lam)
        n = self.n
        multi = self.b.ndim == 2
        expand = multi and not paired

        def per_weight(v: NDArray[np.float64]) -> NDArray[np.float64]:
            # Values per weight, set against the (..., t) values per column.
            return v[..., None] if expand else v

        if kind == "gcv":
            dof = per_weight(n - (self.mu / d).sum(axis=-1))
            with np.errstate(divide="ignore", invalid="ignore"):
                value = n * self.rss(lam, paired) / dof**2
            out: NDArray[np.float64] = np.where(dof > 0, value, np.inf)
            return out
        # Minus twice the log marginal likelihood, noise variance profiled out.
        nu = n - self.m0
        if multi:
            floor = 1e-300 * np.maximum(self.yy, 1.0)
            fit = (1.0 / d) @ self.b**2 if expand else (self._b2T / d).sum(axis=-1)
            dev = np.maximum(self.yy - fit, floor)
        else:
            dev = np.maximum(
                self.yy - (self.b**2 / d).sum(axis=-1), 1e-300 * max(float(self.yy), 1.0)
            )
        # The terms that depend on the weight alone, added once per weight.
        per = (
            nu * math.log(2.0 * math.pi / nu)
            + nu
            + self.logdet_base
            - self.logdet_s
            + np.log(d).sum(axis=-1)
            - self.rank * np.log(lam)
        )
        reml: NDArray[np.float64] = np.log(dev)
        reml *= nu
        reml += per_weight(per)
        return reml

    def slopes(
        self, lam: NDArray[np.float64], kind: Criterion, paired: bool = False
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """First and second derivatives of the criterion in ln(lam), at weights
        `lam` of shape (m,); with several targets `paired` (one weight per
        column, (t,)) or else summed over the columns at each weight."""
        if self.b.ndim == 2 and not paired:
            t = self.b.shape[1]
            pairs = [self.slopes(np.full(t, v), kind, True) for v in lam]
            return np.array([p[0].sum() for p in pairs]), np.array([p[1].sum() for p in pairs])
        d = self._d(lam)
        mu = self.mu
        g = d - mu
        g /= d  # share of each eigenvalue that moves with lam
        b2d = self._b2T if self.b.ndim == 2 else self.b**2
        b2d = b2d / d

        def dot(u: NDArray[np.float64], v: NDArray[np.float64]) -> NDArray[np.float64]:
            out: NDArray[np.float64] = np.vecdot(u, v)
            return out

        if kind == "gcv":
            n = self.n
            mud = mu / d
            dof = n - mud.sum(axis=-1)
            rss = np.maximum(self.yy - 2.0 * b2d.sum(axis=-1) + dot(b2d, mud), 0.0)
            g2 = g * g
            Q = dot(b2d, g2)  # half the slope of rss
            M = dot(mud, g)  # slope of the residual dof
            Qp = 2.0 * Q - 3.0 * dot(b2d * g2, g)
            Mp = M - 2.0 * dot(mud, g2)
            with np.errstate(divide="ignore", invalid="ignore"):
                f1 = n * (2.0 * Q / dof**2 - 2.0 * rss * M / dof**3)
                f2 = n * (
                    2.0 * Qp / dof**2
                    - 8.0 * Q * M / dof**3
                    - 2.0 * rss * Mp / dof**3
                    + 6.0 * rss * M**2 / dof**4
                )
            return f1, f2
        nu = self.n - self.m0
        floor = 1e-300 * np.maximum(self.yy, 1.0)
        dev = np.maximum(self.yy - b2d.sum(axis=-1), floor)
        bg = dot(b2d, g)
        P = bg / dev  # relative slope of the deviance
        Pp = (bg - 2.0 * dot(b2d * g, g)) / dev
        gs = g.sum(axis=-1)
        f1 = nu * P + gs - self.rank
        f2 = nu * (Pp - P * P) + gs - dot(g, g)
        return f1, f2

    def select(self, kind: Criterion) -> tuple[float, float]:
        """The weight minimising the criterion on the search range, and its value;
        with several targets, one weight minimising the summed criterion."""
        grid = GRID
        values = self.criterion(10.0**grid, kind)
        if values.ndim == 2:
            values = values.sum(axis=1)
        i = np.array([np.argmin(values)])
        x = float(_newton(grid, i, lambda lam: self.slopes(lam, kind))[0])
        value = float(np.sum(self.criterion(10.0**x, kind)))
        if values[i[0]] < value:
            x, value = float(grid[i[0]]), float(values[i[0]])
        return float(10.0**x), value

    def select_columns(
        self, kind: Criterion, shared: bool = False
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Per target column, the weight minimising its criterion and the value
        there, both of shape (t,). With `shared`, one weight for all columns,
        minimising the summed criterion (the values are still per column)."""
        t = self.b.shape[1]
        if shared:
            lam, _ = self.select(kind)
            lams = np.full(t, lam)
            return lams, self.criterion(lams, kind, paired=True)
        grid = GRID
        values = self.criterion(10.0**grid, kind)  # (grid, t)
        i = np.argmin(values, axis=0)
        x = _newton(grid, i, lambda lam: self.slopes(lam, kind, paired=True))
        value = self.criterion(10.0**x, kind, paired=True)
        best_value = values[i, np.arange(t)]
        use_grid = best_value < value
        x, value = np.where(use_grid, grid[i], x), np.where(use_grid, best_value, value)
        return 10.0**x, value

    def fit(self, lam: float, criterion_value: float = float("nan")) -> PenalizedFit:
        d = self._d(lam)
        coef = self.T @ (self.b / d)
        edf = float((self.mu / d).sum())
        dof = self.n - edf
        rss = float(self.rss(lam))
        sigma = math.sqrt(rss / dof) if dof > 0 else float("nan")
        return PenalizedFit(
            coef=coef,
            gamma2=float(lam),
            edf=edf,
            sigma=sigma,
            cov_factor=self.T / np.sqrt(d),
            criterion_value=criterion_value,
        )

    def fit_columns(
        self, lam: NDArray[np.float64], criterion_value: NDArray[np.float64] | None = None
    ) -> ColumnFits:
        """The fits of every target column, column j at weight lam[j]."""
        lam = np.asarray(lam, dtype=np.float64)
        d = self._d(lam)  # (t, k)
        coef = self.T @ (self.b / d.T)
        edf = (self.mu / d).sum(axis=-1)
        dof = self.n - edf
        rss = self.rss(lam, paired=True)
        with np.errstate(divide="ignore", invalid="ignore"):
            sigma = np.where(dof > 0, np.sqrt(rss / dof), np.nan)
        value = np.full(len(lam), np.nan) if criterion_value is None else criterion_value
        return ColumnFits(coef.T.copy(), lam, edf, sigma, self.T, d, value)


def _newton(
    grid: NDArray[np.float64],
    i: NDArray[np.intp],
    slopes: Callable[[NDArray[np.float64]], tuple[NDArray[np.float64], NDArray[np.float64]]],
) -> NDArray[np.float64]:
    """log10 of the weights where the criterion's slope vanishes, one per start
    grid[i]: Newton steps in log(lam) on the slope, kept inside the bracket of
    the grid neighbours (which each slope's sign narrows) by bisection."""
    last = len(grid) - 1
    a, b = grid[np.maximum(i - 1, 0)], grid[np.minimum(i + 1, last)]
    x = grid[i].astype(np.float64)
    if len(x) == 1:
        return np.array([_newton_one(float(a[0]), float(b[0]), float(x[0]), slopes)])
    active = np.ones(len(x), dtype=bool)
    for _ in range(REFINE_STEPS):
        f1, f2 = slopes(10.0**x)
        right = active & (f1 < 0.0)  # the minimum lies above x
        left = active & ~(f1 < 0.0)
        a, b = np.where(right, x, a), np.where(left, x, b)
        with np.errstate(divide="ignore", invalid="ignore"):
            step = -f1 / (f2 * LN10)
        new = x + step
        inside = (f2 > 0.0) & (new >= a) & (new <= b)
        x = np.where(active, np.where(inside, new, 0.5 * (a + b)), x)
        # Converged columns stay where they are: at the minimum the slope's
        # sign is rounding noise and would only shrink the bracket onto x.
        active &= ~(inside & (np.abs(step) <= REFINE_TOL)) & (b - a > REFINE_TOL)
        if not active.any():
            break
    return x


def _newton_one(
    a: float,
    b: float,
    x: float,
    slopes: Callable[[NDArray[np.float64]], tuple[NDArray[np.float64], NDArray[np.float64]]],
) -> float:
    # `_newton` for a single start, in scalars: the same steps.
    for _ in range(REFINE_STEPS):
        f1v, f2v = slopes(np.array([10.0**x]))
        f1, f2 = float(f1v[0]), float(f2v[0])
        if f1 < 0.0:
            a = x
        else:
            b = x
        step = -f1 / (f2 * LN10) if f2 > 0.0 else math.nan
        inside = a <= x + step <= b
        x = x + step if inside else 0.5 * (a + b)
        if (inside and abs(step) <= REFINE_TOL) or b - a <= REFINE_TOL:
            break
    return x


LN10 = math.log(10.0)


def _cholesky(A: NDArray[np.float64]) -> NDArray[np.float64]:
    """Lower Cholesky factor of a symmetric positive semi-definite matrix, with
    the least diagonal shift that makes it positive definite in floating point."""
    A = (A + A.T) / 2.0
    scale = float(np.max(np.abs(np.diag(A)))) if A.size else 1.0
    shift = 0.0
    for _ in range(8):
        try:
            return np.linalg.cholesky(A + shift * np.eye(len(A)))
        except np.linalg.LinAlgError:
            shift = max(shift * 100.0, scale * 1e-14, 1e-300)
    raise np.linalg.LinAlgError("the normal equations are not positive semi-definite")


def fixed_part(
    stats: Sufficient,
    R1: NDArray[np.float64] | None,
    gamma1: float,
    ridge: float,
) -> NDArray[np.float64]:
    """The normal matrix without the chosen penalty: G + n gamma1 R1 + ridge I."""
    fixed = stats.gram.copy()
    if R1 is not None and gamma1 != 0.0:
        fixed += stats.n * gamma1 * R1
    fixed.flat[:: len(fixed) + 1] += ridge
    return fixed


def penalized_fit(
    Phi: NDArray[np.float64],
    y: NDArray[np.float64],
    R1: NDArray[np.float64] | None,
    R2: NDArray[np.float64],
    *,
    weights: NDArray[np.float64] | None = None,
    gamma1: float = 0.0,
    gamma2: float | Literal["auto"] = "auto",
    ridge: float = 1e-10,
    criterion: Criterion = "reml",
) -> PenalizedFit:
    """Weighted penalized least squares, with `gamma2` chosen by `criterion` when "auto"."""
    stats = Sufficient.from_design(Phi, y, weights)
    path = SmoothingPath(stats, fixed_part(stats, R1, gamma1, ridge), stats.n * R2)
    if gamma2 == "auto":
        lam, value = path.select(criterion)
        return path.fit(lam, value)
    lam = float(gamma2)
    return path.fit(lam, float(path.criterion(max(lam, 1e-300), criterion)))
