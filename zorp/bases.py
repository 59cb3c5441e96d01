"""Polynomial bases behind one seam: the box map from inputs to scaled
coordinates, design rows of a block of points, derivative rows and the
smoothness penalties of a basis.

Every input dimension is mapped affinely onto [-1, 1] from the training
box; a basis works in those scaled coordinates. `PowerBasis` is the full
tensor product of per-axis powers, built by the native core.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import ClassVar

import numpy as np
from numpy.typing import NDArray

from zorp._native import zorp_core as _core


@dataclass(frozen=True, eq=False)
class Box:
    """The training box [lo, hi] and its affine map onto [-1, 1] per axis."""

    lo: NDArray[np.float64]
    hi: NDArray[np.float64]

    @property
    def center(self) -> NDArray[np.float64]:
        # Halves before the sum and difference, so that ranges beyond the
        # largest double do not overflow.
        return self.lo / 2.0 + self.hi / 2.0

    @property
    def half(self) -> NDArray[np.float64]:
        half = self.hi / 2.0 - self.lo / 2.0
        return np.where(half > 0.0, half, 1.0)

    def scaled(self, X: NDArray[np.float64]) -> NDArray[np.float64]:
        """X in the box's coordinates, [-1, 1] inside the box."""
        out: NDArray[np.float64] = (X - self.center) / self.half
        return out

    def clip(self, X: NDArray[np.float64]) -> NDArray[np.float64]:
        out: NDArray[np.float64] = np.clip(X, self.lo, self.hi)
        return out


@dataclass(frozen=True, eq=False)
class PowerBasis:
    """Tensor products of powers of the scaled inputs: term m is
    prod_d u_d ** multi_indices[m][d]."""

    multi_indices: list[list[int]]
    kind: ClassVar[str] = "power"

    @property
    def n_terms(self) -> int:
        return len(self.multi_indices)

    @property
    def n_features(self) -> int:
        return len(self.multi_indices[0])

    @property
    def degrees(self) -> list[int]:
        top: list[int] = np.max(np.asarray(self.multi_indices), axis=0).tolist()
        return top

    def subset(self, idx: NDArray[np.intp]) -> PowerBasis:
        """The basis of the terms `idx`, in their order."""
        return PowerBasis([self.multi_indices[i] for i in idx])

    def terms_within(self, degrees: list[int]) -> NDArray[np.intp]:
        """Indices of the terms whose exponents stay within `degrees` per axis."""
        exps = np.asarray(self.multi_indices)
        return np.flatnonzero(np.all(exps <= np.asarray(degrees), axis=1))

    def rows(self, U: NDArray[np.float64]) -> NDArray[np.float64]:
        """Design rows (n, n_terms) at points U in scaled coordinates."""
        if U.shape[1] == 1:
            return _core.design_matrix_1d(self.n_terms - 1, U[:, 0])
        cols = [np.ascontiguousarray(U[:, d]) for d in range(U.shape[1])]
        return _core.design_matrix_nd(self.multi_indices, cols)

    def derivative_rows(self, U: NDArray[np.float64], axis: int) -> NDArray[np.float64]:
        """Partial derivatives along `axis` (in scaled coordinates) of every term."""
        mi = np.asarray(self.multi_indices)
        factor = mi[:, axis].astype(np.float64)
        if U.shape[1] == 1:
            base = _core.design_matrix_1d(int(mi[-1, 0]), U[:, 0])
            shifted = np.zeros_like(base)
            shifted[:, 1:] = base[:, :-1]
            out: NDArray[np.float64] = shifted * factor
            return out
        lowered = mi.copy()
        lowered[:, axis] = np.maximum(lowered[:, axis] - 1, 0)
        cols = [np.ascontiguousarray(U[:, d]) for d in range(U.shape[1])]
        out = _core.design_matrix_nd(lowered.tolist(), cols) * factor
        return out

    @classmethod
    def with_penalties(
        cls, degrees: list[int], n_grid: int
    ) -> tuple[PowerBasis, NDArray[np.float64], NDArray[np.float64]]:
        """The full tensor-product basis of `degrees` with its gradient (R1)
        and curvature (R2) penalties over [-1, 1]^D, summed on a grid of
        `n_grid` points per axis."""
        D = len(degrees)
        if D == 1:
            R1, R2 = _core.smoothness_penalty_matrices_1d(degrees[0], -1.0, 1.0, n_grid)
            return cls([[p] for p in range(degrees[0] + 1)]), R1, R2
        if all(d == 0 for d in degrees):
            # A constant has no derivative: skip the grid altogether.
            return cls([[0] * D]), np.zeros((1, 1)), np.zeros((1, 1))
        R1, R2, mi = _core.build_penalty_matrices_nd(degrees, [(-1.0, 1.0)] * D, n_grid)
        return cls([list(m) for m in mi]), R1, R2

    @classmethod
    def affine_with_penalties(
        cls, n_features: int, n_grid: int
    ) -> tuple[PowerBasis, NDArray[np.float64], NDArray[np.float64]]:
        """The affine basis (constant, then each input) with its penalties: no
        curvature, and a gradient term per input equal to the box's grid weight."""
        mi = [[0] * n_features] + np.eye(n_features, dtype=int).tolist()
        # The grid has n_grid^D points of weight prod(step) = (2 / (n_grid - 1))^D
        # each: (2 n_grid / (n_grid - 1))^D in all. Beyond about 970 inputs that
        # exceeds the largest double and stays infinite: the penalty can then
        # only be used with gamma1 = 0 (the fit refuses anything else).
        log_weight = n_features * math.log(2.0 * n_grid / (n_grid - 1))
        weight = math.exp(log_weight) if log_weight < 709.0 else math.inf
        R1 = np.diag(np.r_[0.0, np.full(n_features, weight)])
        return cls(mi), R1, np.zeros_like(R1)
