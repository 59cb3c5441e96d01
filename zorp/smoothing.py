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
from dataclasses import dataclass
from typing import Literal

import numpy as np
from numpy.typing import NDArray

from zorp._native import _kernels as _columns

Criterion = Literal["reml", "gcv"]
CRITERIA: tuple[str, ...] = ("reml", "gcv")

# Search range of gamma2 (per observation, for the penalty on [-1, 1]^D) and
# the grid the search starts from before refining the best bracket.
LOG10_GAMMA_RANGE = (-14.0, 3.0)
GRID_POINTS = 69
GRID = np.linspace(*LOG10_GAMMA_RANGE, GRID_POINTS)


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
        # The Gram matrix from a native kernel whose sums do not depend on the
        # number of threads; the cross products (each a dot product of its own)
        # by BLAS for one target, by one native pass over y for many.
        w = np.empty(0) if weights is None else weights
        n = float(len(y)) if weights is None else float(weights.sum())
        G = _columns.gram(Phi, w)
        y1 = y if y.ndim == 1 else (y[:, 0] if y.shape[1] == 1 else None)
        if y1 is None:
            cross, yy = _columns.column_cross(Phi, y, w)
            return cls(G, cross, yy, n)
        wy = y1 if weights is None else weights * y1
        cross1, yy1 = Phi.T @ wy, float(y1 @ wy)
        if y.ndim == 1:
            return cls(G, cross1, yy1, n)
        return cls(G, cross1[:, None], np.array([yy1]), n)

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


@dataclass(frozen=True)
class Choice:
    """The chosen degrees, the indices of their terms in the widest basis,
    their penalties, smoothing path and fit (one target or several)."""

    degrees: list[int]
    idx: NDArray[np.intp]
    R1: NDArray[np.float64]
    R2: NDArray[np.float64]
    path: SmoothingPath
    model: PenalizedFit | ColumnFits
    # The weights of a curvature weight varying along x (see `zorp.adaptive`).
    profile: NDArray[np.float64] | None = None


def submatrix(A: NDArray[np.float64], idx: NDArray[np.intp]) -> NDArray[np.float64]:
    """A[idx][:, idx]; a slice when idx are the leading indices (nested 1-D bases)."""
    if len(idx) and idx[-1] == len(idx) - 1 and np.array_equal(idx, np.arange(len(idx))):
        return A[: len(idx), : len(idx)]
    out: NDArray[np.float64] = A[np.ix_(idx, idx)]
    return out


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
        mu, self.T, self.alpha, self.logdet_base, self.logdet_s, self.m0 = _columns.reduce_path(
            fixed, S
        )
        self.rank = k - self.m0
        self.mu = mu
        # Many columns: the product on this thread (see `_columns.product`).
        cross = stats.cross
        self.b = self.T.T @ cross if cross.ndim == 1 else _columns.product(self.T.T, cross)
        # Squared projections, one row per target column, for the native criterion.
        self._b2T = np.ascontiguousarray((self.b**2).T.reshape(-1, k))
        self._yy = np.atleast_1d(np.asarray(self.yy, dtype=np.float64))

    def _fits(
        self, lam: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        # Per column j at weight lam[j]: the reduced eigenvalues (t, k), the
        # effective degrees of freedom and the residual sum of squares.
        return _columns.fits_at(
            self.mu, self.alpha, float(self.n), self.m0, self._b2T, self._yy, lam
        )

    def _reduced(
        self, kind: Criterion
    ) -> tuple[NDArray[np.float64], float, float, int, float, bool]:
        # The reduced problem as the native criterion takes it.
        logdet = self.logdet_base - self.logdet_s
        return self.mu, self.alpha, float(self.n), self.m0, logdet, kind == "gcv"

    def criterion(
        self, lam: float | NDArray[np.float64], kind: Criterion, paired: bool = False
    ) -> NDArray[np.float64]:
        """Value of the criterion (lower is better) at weights `lam` > 0:
        generalised cross-validation, or minus twice the log restricted
        likelihood with the noise variance profiled out.

        With several targets the values have shape (..., t) for weights of
        shape (...), or (t,) when `paired` gives one weight per column.
        """
        lam = np.asarray(lam, dtype=np.float64)
        if paired:
            return _columns.criterion(*self._reduced(kind), self._b2T, self._yy, lam, True)
        values = _columns.criterion(*self._reduced(kind), self._b2T, self._yy, lam.ravel(), False)
        if self.b.ndim == 1:
            return values[:, 0].reshape(lam.shape)
        return values.reshape(lam.shape + (values.shape[1],))

    def select(self, kind: Criterion) -> tuple[float, float]:
        """The weight minimising the criterion of the single target on the
        search range, and its value."""
        lam, value = _columns.choose_weights(
            *self._reduced(kind), self._b2T, self._yy, GRID, shared=False
        )
        return float(lam[0]), float(value[0])

    def select_columns(
        self, kind: Criterion, shared: bool = False
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Per target column, the weight minimising its criterion and the value
        there, both of shape (t,). With `shared`, one weight for all columns,
        minimising the summed criterion (the values are still per column)."""
        return _columns.choose_weights(*self._reduced(kind), self._b2T, self._yy, GRID, shared)

    def fit(self, lam: float, criterion_value: float = float("nan")) -> PenalizedFit:
        ds, edfs, rsss = self._fits(np.array([float(lam)]))
        d, edf, rss = ds[0], float(edfs[0]), float(rsss[0])
        coef = self.T @ (self.b / d)
        dof = self.n - edf
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
        d, edf, rss = self._fits(lam)
        coef = _columns.product(self.T, self.b / d.T)
        dof = self.n - edf
        with np.errstate(divide="ignore", invalid="ignore"):
            sigma = np.where(dof > 0, np.sqrt(rss / dof), np.nan)
        value = np.full(len(lam), np.nan) if criterion_value is None else criterion_value
        return ColumnFits(coef.T.copy(), lam, edf, sigma, self.T, d, value)


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
