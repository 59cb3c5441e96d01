"""Shape constraints: fits increasing, decreasing, convex or concave along
chosen axes, over the whole training box.

The shape of axis a asks that a derivative of the fitted function along a
(the first for "increasing" and "decreasing", the second for "convex" and
"concave", signed) be nonnegative everywhere in the scaled box [-1, 1]^D.
The fit imposes it at finitely many points, then checks the box and adds the
points where it fails, until it holds within TOL of the derivative's scale;
what is left below 0 is then lifted (see `solve`):

* one input: exactly, the derivative polynomial's minimum over [-1, 1] being
  at an endpoint or a real root of its own derivative (a dense Chebyshev
  grid backs the root finder up);
* several inputs: on lines along the constrained axis through a grid of
  about CHECK_FACTOR Chebyshev points per degree of the other axes (within
  CHECK_POINTS), at LINE_FACTOR points per degree along each line. Along an
  axis where the derivative has degree 1 or 0 its endpoints (or one point)
  hold its minimum, so there the check is exact; between lines a dip of the
  order of rounding-to-1e-5 of the scale may remain.

Every solve is a projection. With a factor V of the penalized normal matrix
A (V' A V = I, c = V z) the penalized least-squares objective is
|z - z0|^2 / 2 plus a constant, z0 the unconstrained fit, and the
constraints are B z >= 0 with B = rows V: the fit is the nearest point to z0
of a polyhedral cone, found by the dual active-set method of Goldfarb and
Idnani (with A = I in these coordinates), which starts at z0 and adds the
most violated constraint at a time. The cone always holds z = 0 (the zero
function meets every shape), so the problem is always feasible.

The constrained fit equals the unconstrained fit on the null space of its
active constraints; its effective degrees of freedom and posterior covariance
are that restricted fit's (see `Solution`).
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

from zorp.bases import BASES, Basis

SHAPES: tuple[str, ...] = ("increasing", "decreasing", "convex", "concave")
# Derivative order and sign of each shape.
_ORDER = {"increasing": (1, 1.0), "decreasing": (1, -1.0), "convex": (2, 1.0), "concave": (2, -1.0)}

# Start points per degree of the derivative along each axis, and at most this
# many points per constrained axis in several dimensions.
START_FACTOR = 3
START_POINTS = 20_000
# Check points per degree along each axis in several dimensions (and the net
# under the root finder in one), within CHECK_POINTS points per axis constraint.
CHECK_FACTOR = 16
CHECK_POINTS = 200_000
# Points per degree along the constrained axis on every check line.
LINE_FACTOR = 32
# Check rounds at most; points added per round in several dimensions.
MAX_ROUNDS = 20
ADD_PER_ROUND = 64
# A derivative value counts as a violation below -TOL times the largest
# |derivative| of the unconstrained fit at the start points.
TOL = 1e-6
# The projection stops when no constraint (rows of unit norm) is below
# -QP_TOL |z0|; a new constraint whose normal lies within QP_DEPENDENT of
# the span of the active ones (squared distance) counts as dependent.
QP_TOL = 1e-13
QP_DEPENDENT = 1e-12


# Per basis kind: derivative, roots and values of a 1-D series.
_SERIES = {
    "legendre": (
        np.polynomial.legendre.legder,
        np.polynomial.legendre.legroots,
        np.polynomial.legendre.legval,
    ),
    "power": (
        np.polynomial.polynomial.polyder,
        np.polynomial.polynomial.polyroots,
        np.polynomial.polynomial.polyval,
    ),
}


def describe() -> str:
    """The allowed values, for error messages."""
    names = ", ".join(repr(s) for s in SHAPES)
    return f"None, one of {names}, or a sequence of those (None allowed) with one entry per input"


def is_valid(shape: Any) -> bool:
    """Whether `shape` is None, a known shape, or a non-empty sequence of
    them and None."""
    if shape is None or (isinstance(shape, str) and shape in SHAPES):
        return True
    if isinstance(shape, Sequence) and not isinstance(shape, str) and len(shape) > 0:
        return all(s is None or (isinstance(s, str) and s in SHAPES) for s in shape)
    return False


def per_axis(shape: Any, n_features: int) -> tuple[str | None, ...]:
    """The shape of every axis: one given shape applies to all axes."""
    if shape is None or isinstance(shape, str):
        return (shape,) * n_features
    return tuple(shape)


def check(shape: Any, method: str, n_features: int) -> None:
    """Refuse a shape that cannot be fitted: the sampler's refinement
    ("mcmc") does not keep a constraint, and a sequence needs one entry per
    input."""
    if shape is None:
        return
    if not isinstance(shape, str) and len(shape) != n_features:
        raise ValueError(
            f"shape={shape!r} has {len(shape)} entries but X has {n_features} features; "
            f"shape must be {describe()}"
        )
    if method == "mcmc" and any(s is not None for s in per_axis(shape, n_features)):
        raise ValueError(
            "shape constraints are not kept by method='mcmc' (the sampler moves the "
            "coefficients freely); use method='penalized', 'ols' or 'robust' with shape"
        )


def chebyshev(m: int) -> NDArray[np.float64]:
    """m Chebyshev-Lobatto points of [-1, 1], the ends included (0 for m = 1)."""
    if m == 1:
        return np.zeros(1)
    out: NDArray[np.float64] = -np.cos(np.pi * np.arange(m) / (m - 1))
    return out


@dataclass(frozen=True, eq=False)
class Constraint:
    """The shapes of a basis: per constrained axis (axis, order, sign)."""

    basis: Basis
    axes: tuple[tuple[int, int, float], ...]

    @classmethod
    def of(cls, basis: Basis, shape: Any) -> Constraint | None:
        """The constraint of `shape` on `basis`, None where nothing is constrained."""
        if shape is None:
            return None
        shapes = per_axis(shape, basis.n_features)
        axes = tuple((a, *_ORDER[s]) for a, s in enumerate(shapes) if s is not None)
        return cls(basis, axes) if axes else None

    def degrees(self, j: int) -> list[int]:
        """Per axis, the degree of the derivative of constraint j."""
        axis, order, _ = self.axes[j]
        mi = np.asarray(self.basis.multi_indices)
        live = mi[:, axis] >= order
        if not live.any():
            return [0] * mi.shape[1]
        top = mi[live].max(axis=0)
        top[axis] -= order
        out: list[int] = top.tolist()
        return out

    def grid(self, j: int, factor: int, budget: int) -> NDArray[np.float64]:
        """Points (m, D) of constraint j: per axis one point where the
        derivative does not vary, the ends where it is linear, else about
        `factor` Chebyshev points per degree, fewer where their product
        would exceed `budget`."""
        degrees = self.degrees(j)
        while True:
            counts = [1 if q <= 0 else 2 if q == 1 else factor * q + 1 for q in degrees]
            if math.prod(counts) <= budget or factor == 1:
                break
            factor -= 1
        axes = [chebyshev(m) for m in counts]
        mesh = np.meshgrid(*axes, indexing="ij")
        return np.stack([g.ravel() for g in mesh], axis=1)

    def rows(self, j: int, U: NDArray[np.float64]) -> NDArray[np.float64]:
        """The signed derivative rows of constraint j at points U: nonnegative
        products with the coefficients where the shape holds."""
        axis, order, sign = self.axes[j]
        out: NDArray[np.float64] = sign * self.basis.derivative_rows(U, axis, order)
        return out

    def start_rows(self) -> NDArray[np.float64]:
        """The constraint rows imposed from the start."""
        return np.vstack(
            [self.rows(j, self.grid(j, START_FACTOR, START_POINTS)) for j in range(len(self.axes))]
        )

    def violations(self, coef: NDArray[np.float64], tol: float) -> NDArray[np.float64]:
        """Constraint rows at points of the box where the fit `coef` breaks
        its shape by more than tol; (0, k) where it holds."""
        found = []
        for j in range(len(self.axes)):
            points, values = self.lowest(j, coef)
            bad = np.flatnonzero(values < -tol)
            if len(bad):
                worst = bad[np.argsort(values[bad])[:ADD_PER_ROUND]]
                found.append(self.rows(j, points[worst]))
        return np.vstack(found) if found else np.zeros((0, self.basis.n_terms))

    def lowest(
        self, j: int, coef: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Points of the box holding the minimum of constraint j's derivative
        (in one input, the candidates for it), and the derivative there."""
        if self.basis.n_features == 1:
            return self._minima_1d(j, coef)
        return self._check_grid(j, coef)

    def lift(self, j: int) -> NDArray[np.float64]:
        """Coefficients of sign u_a^order / order! (u_a or u_a^2 / 2): its
        derivative in constraint j is 1 everywhere, in the others 0."""
        axis, order, sign = self.axes[j]
        mi = [tuple(m) for m in self.basis.multi_indices]
        D = self.basis.n_features
        if self.basis.kind == "legendre":
            # u = P_1, u^2 / 2 = P_2 / 3 + P_0 / 6.
            parts = {1: {1: 1.0}, 2: {2: 1.0 / 3.0, 0: 1.0 / 6.0}}[order]
        else:
            parts = {order: 1.0 / math.factorial(order)}
        out = np.zeros(self.basis.n_terms)
        for degree, value in parts.items():
            term = tuple(degree if d == axis else 0 for d in range(D))
            out[mi.index(term)] = sign * value
        return out

    def _minima_1d(
        self, j: int, coef: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        full = np.zeros(self.basis.degrees[0] + 1)
        full[[m[0] for m in self.basis.multi_indices]] = coef
        return _series_minima(self.basis.kind, full, *self.axes[j][1:])

    def _check_grid(
        self, j: int, coef: NDArray[np.float64]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        # Along lines parallel to the axis through the check grid's other
        # coordinates the fit is a series in u_a, whose coefficients weigh the
        # terms by their other factors (the basis with axis a's degrees at 0).
        axis, order, sign = self.axes[j]
        U = self.grid(j, CHECK_FACTOR, CHECK_POINTS)
        others = np.unique(np.delete(U, axis, axis=1), axis=0)
        lines = np.insert(others, axis, 0.0, axis=1)
        mi = np.asarray(self.basis.multi_indices)
        flat = mi.copy()
        flat[:, axis] = 0
        W = type(self.basis)(flat.tolist()).rows(lines)
        onehot = np.zeros((len(mi), int(mi[:, axis].max()) + 1))
        onehot[np.arange(len(mi)), mi[:, axis]] = 1.0
        series = (W * coef) @ onehot
        # Each line's derivative on LINE_FACTOR Chebyshev points per degree.
        top = onehot.shape[1] - 1
        u = chebyshev(LINE_FACTOR * max(top - order, 1) + 1)
        kind = BASES[self.basis.kind]
        table = sign * kind([[p] for p in range(top + 1)]).derivative_rows(u[:, None], 0, order)
        values = series @ table.T
        points = np.repeat(lines, len(u), axis=0)
        points[:, axis] = np.tile(u, len(lines))
        return points, values.ravel()


def _series_minima(
    kind: str, full: NDArray[np.float64], order: int, sign: float
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Candidates for the minimum over [-1, 1] of sign times the derivative of
    order `order` of the 1-D series `full` (points (m, 1)), and its values
    there: the ends and the real roots of its own derivative, and a dense
    Chebyshev grid against roots lost to rounding."""
    der, roots, val = _SERIES[kind]
    g = sign * der(full, order)
    slope = np.trim_zeros(der(g), "b")
    candidates = [np.array([-1.0, 1.0]), chebyshev(CHECK_FACTOR * len(g) + 1)]
    if len(slope) > 1:
        r = roots(slope)
        candidates.append(np.clip(r[np.abs(np.imag(r)) <= 1e-6].real, -1.0, 1.0))
    u = np.concatenate(candidates)
    return u[:, None], val(u, g)


@dataclass(frozen=True)
class Solution:
    """A constrained fit in whitened coordinates: z, and an orthonormal basis
    Q (r, q) of the normals of its active constraints. The fit is the
    unconstrained fit restricted to {z : Q' z = 0}: its posterior covariance
    factor is V (I - Q Q'), its smoother the unconstrained one projected."""

    z: NDArray[np.float64]
    Q: NDArray[np.float64]
    rounds: int
    # Added to V z: what lifts the last tolerated shortfall (see `solve`).
    lift: NDArray[np.float64]

    def coef(self, V: NDArray[np.float64]) -> NDArray[np.float64]:
        out: NDArray[np.float64] = V @ self.z + self.lift
        return out

    def cov_factor(self, V: NDArray[np.float64]) -> NDArray[np.float64]:
        out: NDArray[np.float64] = V - (V @ self.Q) @ self.Q.T
        return out

    def edf_drop(self, D: NDArray[np.float64]) -> float:
        """What the restriction takes from the effective degrees of freedom,
        tr(Q' D Q), D = V' G V the Gram matrix in these coordinates (a vector
        where diagonal)."""
        if D.ndim == 1:
            return float(np.sum(self.Q**2 * D[:, None]))
        return float(np.trace(self.Q.T @ D @ self.Q))

    def rss_added(self, z0: NDArray[np.float64], D: NDArray[np.float64]) -> float:
        """The residual sum of squares less the unconstrained fit's: with
        delta = z - z0, rss = yy - 2 z'z0 + z'Dz gives delta'D delta -
        2 delta'(z0 - D z0), free of the cancellation against y'y."""
        delta = self.z - z0
        Dd, Dz0 = (D * delta, D * z0) if D.ndim == 1 else (D @ delta, D @ z0)
        return max(float(delta @ Dd - 2.0 * delta @ (z0 - Dz0)), 0.0)


def solve(con: Constraint, V: NDArray[np.float64], z0: NDArray[np.float64]) -> Solution | None:
    """The constrained fit c = V z nearest the unconstrained V z0 in the
    whitened coordinates, or None when the unconstrained fit already holds
    its shape over the box."""
    A = con.start_rows()
    c0 = V @ z0
    g0 = A @ c0
    scale = float(np.max(np.abs(g0))) if g0.size else 0.0
    if not scale > 0.0:
        # The derivative vanishes at more points than its degree: everywhere.
        return None
    tol = TOL * scale
    extra = con.violations(c0, tol)
    if float(g0.min()) >= -tol and not len(extra):
        return None
    norm0 = float(np.linalg.norm(z0))
    B = np.zeros((0, len(z0)))
    active: list[int] = []
    for rounds in range(1, MAX_ROUNDS + 1):
        # Rows of B keep their place as rounds append, so that each round
        # starts from the last one's active set.
        new = extra if rounds > 1 else A
        rows = new @ V
        norms = np.linalg.norm(rows, axis=1)
        rows = np.where(norms[:, None] > 1e-14 * norms.max(), rows, 0.0)
        B = np.vstack([B, rows / np.where(norms > 0.0, norms, 1.0)[:, None]])
        z, Q, active = project(z0, B, QP_TOL * norm0, active)
        extra = con.violations(V @ z, tol)
        if not len(extra):
            break
    # What is left below 0 (within tol, or beyond it after MAX_ROUNDS) is
    # lifted by adding that much of a function whose constrained derivative
    # is 1 (u or u^2 / 2 along the axis): the shape then holds wherever the
    # check looks, at the price of a change of the fit below the shortfall.
    coef = V @ z
    lift = np.zeros(len(coef))
    for j in range(len(con.axes)):
        low = float(con.lowest(j, coef)[1].min())
        if low < 0.0:
            lift -= low * con.lift(j)
    return Solution(z, Q, rounds, lift)


def project(
    z0: NDArray[np.float64],
    B: NDArray[np.float64],
    tol: float,
    start: list[int] | None = None,
) -> tuple[NDArray[np.float64], NDArray[np.float64], list[int]]:
    """The point of the cone {z : B z >= 0} nearest z0 (rows of B of unit
    norm, or zero), by the dual active-set method: from z0, add the most
    violated constraint, moving z and the multipliers u >= 0 of the active set
    together, dropping a constraint whose multiplier reaches 0, until every
    constraint holds within tol. `start` (a guess of the active set) begins
    from the projection onto its constraints' null space instead, less those
    of negative multiplier. Returns z, an orthonormal basis of the active
    normals and the active rows."""
    k = len(z0)
    z, active, u = _warm_start(z0, B, start or [])
    Q, R = np.linalg.qr(B[active].T) if active else (np.zeros((k, 0)), np.zeros((0, 0)))
    for _ in range(20 * (len(B) + k)):
        s = B @ z
        p = int(np.argmin(s))
        if s[p] >= -tol:
            break
        normal = B[p]
        u_p = 0.0
        while True:
            # Primal direction: the normal less its part in the active span;
            # dual direction r: the active multipliers' change per unit of u_p.
            if active:
                # Projected twice: one pass loses digits when the normal
                # lies near the active span.
                w = Q.T @ normal
                d = normal - Q @ w
                w2 = Q.T @ d
                d, w = d - Q @ w2, w + w2
                r = np.linalg.solve(R, w)
            else:
                d, w, r = normal, np.zeros(0), np.zeros(0)
            dd = float(d @ d)
            s_p = float(normal @ z)
            t2 = -s_p / dd if dd > QP_DEPENDENT else math.inf
            pos = np.flatnonzero(r > 0.0)
            t1, drop = math.inf, -1
            if len(pos):
                ratios = u[pos] / r[pos]
                i = int(np.argmin(ratios))
                t1, drop = float(ratios[i]), int(pos[i])
            t = min(t1, t2)
            if not math.isfinite(t):
                # Dependent and no multiplier to give way: held at the
                # active constraints' rounding (the cone holds 0).
                return z, Q, active
            if math.isfinite(t2):
                z = z + t * d
            u = u - t * r
            u_p += t
            if t2 <= t1:
                # The new normal's column of the factorisation: w above d / |d|.
                active.append(p)
                u = np.append(u, u_p)
                norm = math.sqrt(dd)
                Q = np.column_stack([Q, d / norm])
                R = np.block([[R, w[:, None]], [np.zeros((1, len(w))), np.array([[norm]])]])
                break
            del active[drop]
            u = np.delete(u, drop)
            Q, R = _drop_column(Q, R, drop)
    return z, Q, active


def _drop_column(
    Q: NDArray[np.float64], R: NDArray[np.float64], i: int
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The factorisation N = Q R less column i of N: R loses the column and
    Givens rotations of rows i, i+1, ... (of Q's columns alike) zero the
    subdiagonal left behind."""
    R = np.delete(R, i, axis=1)
    Q = Q.copy()
    q = R.shape[0]
    for j in range(i, q - 1):
        h = math.hypot(R[j, j], R[j + 1, j])
        if h == 0.0:
            continue
        c, s = R[j, j] / h, R[j + 1, j] / h
        top, low = R[j, j:].copy(), R[j + 1, j:]
        R[j, j:] = c * top + s * low
        R[j + 1, j:] = c * low - s * top
        left, right = Q[:, j].copy(), Q[:, j + 1]
        Q[:, j] = c * left + s * right
        Q[:, j + 1] = c * right - s * left
    return Q[:, : q - 1], R[: q - 1]


def _warm_start(
    z0: NDArray[np.float64], B: NDArray[np.float64], active: list[int]
) -> tuple[NDArray[np.float64], list[int], NDArray[np.float64]]:
    """A start of the dual method from a guessed active set: the projection
    of z0 onto the null space of its normals, z = z0 + N u, with N' z = 0,
    dropping the most negative multiplier until all are >= 0 (a point where
    the method may continue: optimal for its active set, multipliers >= 0)."""
    active = list(active)
    while active:
        N = B[active].T
        Q, R = np.linalg.qr(N)
        diag = np.abs(np.diag(R))
        if diag.min() <= 1e-10 * diag.max():
            # Dependent normals: no unique multipliers; start afresh.
            return z0.copy(), [], np.zeros(0)
        u = -np.linalg.solve(R, Q.T @ z0)
        if u.min() >= 0.0:
            return z0 + N @ u, active, u
        active = [a for a, m in zip(active, u, strict=True) if m >= 0.0]
    return z0.copy(), [], np.zeros(0)
