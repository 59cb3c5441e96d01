"""Polynomial bases behind one seam: the box map from inputs to scaled
coordinates, design rows of a block of points, derivative rows and the
smoothness penalties of a basis.

Every input dimension is mapped affinely onto [-1, 1] from the training
box; a basis works in those scaled coordinates. `LegendreBasis` (the
default) is the tensor product of per-axis Legendre polynomials, with
penalties integrated exactly; `PowerBasis` the tensor product of per-axis
powers, built by the native core, with penalties summed on a grid.
"""

from __future__ import annotations

import itertools
import math
from dataclasses import dataclass
from functools import lru_cache
from typing import ClassVar, Literal, Self

import numpy as np
from numpy.typing import NDArray

from zorp._native import _kernels as _columns
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
class TensorBasis:
    """Tensor products of per-axis polynomials of the scaled inputs: term m
    has degree multi_indices[m][d] along axis d."""

    multi_indices: list[list[int]]
    kind: ClassVar[str] = ""

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

    def subset(self, idx: NDArray[np.intp]) -> Self:
        """The basis of the terms `idx`, in their order."""
        return type(self)([self.multi_indices[i] for i in idx])

    def terms_within(self, degrees: list[int]) -> NDArray[np.intp]:
        """Indices of the terms whose degrees stay within `degrees` per axis."""
        exps = np.asarray(self.multi_indices)
        return np.flatnonzero(np.all(exps <= np.asarray(degrees), axis=1))

    def rows(self, U: NDArray[np.float64]) -> NDArray[np.float64]:
        """Design rows (n, n_terms) at points U in scaled coordinates."""
        raise NotImplementedError

    def derivative_rows(
        self, U: NDArray[np.float64], axis: int, order: int = 1
    ) -> NDArray[np.float64]:
        """Derivatives of order `order` along `axis` (in scaled coordinates) of every term."""
        raise NotImplementedError

    def moment_top(self) -> int | None:
        """The degree p when the basis is P_0 .. P_p of one input, whose Gram
        matrix follows from moments (see `LegendreBasis`); None otherwise."""
        return None

    @classmethod
    def with_penalties(
        cls, degrees: list[int], n_grid: int
    ) -> tuple[TensorBasis, NDArray[np.float64], NDArray[np.float64]]:
        """The full tensor-product basis of `degrees` with its gradient (R1)
        and curvature (R2) penalties over [-1, 1]^D."""
        raise NotImplementedError

    @classmethod
    def affine_with_penalties(
        cls, n_features: int, n_grid: int
    ) -> tuple[TensorBasis, NDArray[np.float64], NDArray[np.float64]]:
        """The affine basis (constant, then each input) with its penalties."""
        raise NotImplementedError


@dataclass(frozen=True, eq=False)
class PowerBasis(TensorBasis):
    """Tensor products of powers of the scaled inputs: term m is
    prod_d u_d ** multi_indices[m][d]."""

    kind: ClassVar[str] = "power"

    def rows(self, U: NDArray[np.float64]) -> NDArray[np.float64]:
        """Design rows (n, n_terms) at points U in scaled coordinates."""
        if U.shape[1] == 1:
            return _core.design_matrix_1d(self.n_terms - 1, U[:, 0])
        cols = [np.ascontiguousarray(U[:, d]) for d in range(U.shape[1])]
        return _core.design_matrix_nd(self.multi_indices, cols)

    def derivative_rows(
        self, U: NDArray[np.float64], axis: int, order: int = 1
    ) -> NDArray[np.float64]:
        """Derivatives of order `order` along `axis` (in scaled coordinates) of every term."""
        mi = np.asarray(self.multi_indices)
        if order != 1:
            # u^m differentiated `order` times: m (m - 1) ... u^(m - order).
            factor = np.ones(len(mi))
            for i in range(order):
                factor *= np.maximum(mi[:, axis] - i, 0)
            lowered = mi.copy()
            lowered[:, axis] = np.maximum(lowered[:, axis] - order, 0)
            cols = [np.ascontiguousarray(U[:, d]) for d in range(U.shape[1])]
            higher: NDArray[np.float64] = _core.design_matrix_nd(lowered.tolist(), cols) * factor
            return higher
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
    ) -> tuple[TensorBasis, NDArray[np.float64], NDArray[np.float64]]:
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
    ) -> tuple[TensorBasis, NDArray[np.float64], NDArray[np.float64]]:
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


@dataclass(frozen=True, eq=False)
class LegendreBasis(TensorBasis):
    """Tensor products of Legendre polynomials of the scaled inputs: term m is
    prod_d P_{multi_indices[m][d]}(u_d), with NumPy's convention P_p(1) = 1.

    Orthogonal on [-1, 1], the basis keeps the Gram matrix of spread data
    well conditioned at any degree, where powers lose every digit beyond
    degree 20 or so. The penalties are exact integrals over the box."""

    kind: ClassVar[str] = "legendre"

    def moment_top(self) -> int | None:
        if self.n_features != 1:
            return None
        p = self.n_terms - 1
        return p if all(m[0] == i for i, m in enumerate(self.multi_indices)) else None

    def rows(self, U: NDArray[np.float64]) -> NDArray[np.float64]:
        """Design rows (n, n_terms) at points U in scaled coordinates."""
        return legendre_rows(U, np.asarray(self.multi_indices, dtype=np.int64))

    def derivative_rows(
        self, U: NDArray[np.float64], axis: int, order: int = 1
    ) -> NDArray[np.float64]:
        """Derivatives of order `order` along `axis` (in scaled coordinates) of every term."""
        orders = np.zeros(U.shape[1], dtype=np.int64)
        orders[axis] = order
        return legendre_rows(U, np.asarray(self.multi_indices, dtype=np.int64), orders)

    @classmethod
    def with_penalties(
        cls, degrees: list[int], n_grid: int | None = None
    ) -> tuple[TensorBasis, NDArray[np.float64], NDArray[np.float64]]:
        """The full tensor-product basis of `degrees` with its gradient (R1)
        and curvature (R2) penalties, the exact integrals over [-1, 1]^D of
        the squared gradient and of the squared Frobenius norm of the Hessian
        (mixed partials counted twice). `n_grid` is not used: nothing is
        summed on a grid."""
        mi, R1, R2 = _legendre_penalties(tuple(degrees))
        return cls(mi.tolist()), R1.copy(), R2.copy()

    @classmethod
    def affine_with_penalties(
        cls, n_features: int, n_grid: int | None = None
    ) -> tuple[TensorBasis, NDArray[np.float64], NDArray[np.float64]]:
        """The affine basis (P_0, then P_1 of each input) with its penalties:
        no curvature, and the gradient term of each input, the box's volume
        2^D (infinite beyond about 1020 inputs: then only gamma1 = 0 works)."""
        mi = [[0] * n_features] + np.eye(n_features, dtype=int).tolist()
        weight = 2.0**n_features if n_features < 1024 else math.inf
        R1 = np.diag(np.r_[0.0, np.full(n_features, weight)])
        return cls(mi), R1, np.zeros_like(R1)


Basis = TensorBasis
BasisKind = Literal["legendre", "power"]
BASES: dict[str, type[TensorBasis]] = {
    "legendre": LegendreBasis,
    "power": PowerBasis,
}


@lru_cache(maxsize=32)
def _legendre_penalties(
    degrees: tuple[int, ...],
) -> tuple[NDArray[np.int64], NDArray[np.float64], NDArray[np.float64]]:
    mi = np.array(list(itertools.product(*(range(d + 1) for d in degrees))), dtype=np.int64)
    R1, R2 = tensor_penalties(mi)
    for a in (mi, R1, R2):
        a.setflags(write=False)
    return mi, R1, R2


def legendre_table(u: NDArray[np.float64], top: int, order: int = 0) -> NDArray[np.float64]:
    """(len(u), top + 1): the derivative of order `order` of P_0 ... P_top at u."""
    mi = np.arange(top + 1, dtype=np.int64)[:, None]
    return legendre_rows(np.asarray(u, dtype=np.float64)[:, None], mi, np.array([order]))


def legendre_rows(
    U: NDArray[np.float64],
    multi_indices: NDArray[np.int64],
    orders: NDArray[np.int64] | None = None,
) -> NDArray[np.float64]:
    """(n, k): term m at each point, prod_d of the derivative of order
    orders[d] of P_{multi_indices[m, d]} at U[:, d] (by the native kernel)."""
    return _columns.legendre_rows(U, multi_indices, orders)


@lru_cache(maxsize=64)
def axis_integrals(top: int, order: int) -> NDArray[np.float64]:
    """(top + 1, top + 1): the exact integrals over [-1, 1] of
    P(order)_p P(order)_q, by Gauss-Legendre quadrature of top + 1 nodes,
    exact for polynomials of degree up to 2 top + 1."""
    nodes, weights = np.polynomial.legendre.leggauss(top + 1)
    T = legendre_table(nodes, top, order)
    # The native Gram kernel: its sums, unlike BLAS's, do not depend on the
    # number of threads, and neither do the fits.
    out: NDArray[np.float64] = _columns.gram(T, weights)
    out.setflags(write=False)
    return out


def tensor_penalties(mi: NDArray[np.int64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Exact gradient and Hessian penalties of the tensor-product terms `mi`
    over [-1, 1]^D: each is a sum over derivative orders of products of the
    per-axis integrals, entry (m, m') = prod_d A_{r_d}[mi[m, d], mi[m', d]]."""
    k, D = mi.shape
    tops = mi.max(axis=0)

    def axis_matrix(d: int, order: int) -> NDArray[np.float64]:
        A = axis_integrals(int(tops[d]), order)
        return A[np.ix_(mi[:, d], mi[:, d])]

    mass = [axis_matrix(d, 0) for d in range(D)]

    def product(orders: dict[int, int]) -> NDArray[np.float64]:
        out = np.ones((k, k))
        for d in range(D):
            out = out * (axis_matrix(d, orders[d]) if d in orders else mass[d])
        return out

    R1 = sum((product({i: 1}) for i in range(D)), np.zeros((k, k)))
    R2 = sum((product({i: 2}) for i in range(D)), np.zeros((k, k)))
    for i, j in itertools.combinations(range(D), 2):
        R2 = R2 + 2.0 * product({i: 1, j: 1})
    return R1, R2
