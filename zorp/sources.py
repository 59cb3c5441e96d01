"""Row sources of the fitting pipeline: the data a fit reads, in blocks.

A source yields the training box and the weighted sufficient statistics of
any basis, summed over blocks of rows whose design matrix stays within
BLOCK_BYTES, so that a fit's memory beyond the caller's arrays does not grow
with the number of rows. `ArraySource` reads in-memory arrays; the Dask
source (`zorp._dask`) offers the same passes over a cluster's blocks.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Protocol

import numpy as np
from numpy.typing import NDArray

from zorp._native import _kernels as _columns
from zorp._validation import check_finite
from zorp.bases import Basis, Box
from zorp.robust import TUKEY_C, tukey_weights
from zorp.smoothing import Sufficient

# Design rows of one block take at most this many bytes.
BLOCK_BYTES = 16 * 2**20


def block_rows(n_terms: int) -> int:
    """Rows per block for a basis of n_terms terms."""
    return max(1, BLOCK_BYTES // (8 * max(n_terms, 1)))


class Source(Protocol):
    """The passes over the data that a fit makes."""

    n_features: int
    n_targets: int
    in_memory: bool
    # The statistics, triangular factors and samples are of the targets
    # divided by y_scale (1 unless `rescale_targets` was called).
    y_scale: NDArray[np.float64]

    def scan(self, cap: int) -> tuple[int, Box, NDArray[np.int64]]:
        """Rows of positive weight, their box, and per axis the number of
        distinct values (counted up to `cap`)."""
        ...

    def rescale_targets(self) -> None:
        """Sets y_scale to a power of 2 per target near its largest
        magnitude: dividing by it is exact, and keeps every sum of squares
        away from overflow and underflow."""
        ...

    def statistics(
        self,
        basis: Basis,
        box: Box,
        robust: tuple[NDArray[np.float64], float] | None = None,
    ) -> Sufficient:
        """Sufficient statistics of all rows in `basis`; with `robust` =
        (coef, scale) each row also weighted by the biweight of its residual
        (one target only)."""
        ...

    def triangular(self, basis: Basis, box: Box) -> NDArray[np.float64]:
        """The triangular factor R of the QR factorisation of the rows
        sqrt(w) [Phi, Y]: R'R is their Gram matrix, and the part of R beyond
        the basis's columns holds what the basis leaves of the targets."""
        ...

    def target(self, j: int) -> Source:
        """The source of target column j alone."""
        ...

    def sample(
        self, size: int, seed: int
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64] | None]:
        """A random sample of about `size` rows of positive weight: inputs,
        first target and weights."""
        ...

    def row_weights(
        self, basis: Basis, box: Box, coef: NDArray[np.float64], scale: NDArray[np.float64]
    ) -> object:
        """Biweight weight of every given row's residual from the fit (1
        where the scale is 0 and the row lies on the curve)."""
        ...


class ArraySource:
    """In-memory arrays: X (n, D), Y (n, t) and optional weights (n,). Rows of
    weight 0 are left out of every pass but the robust weights of all rows."""

    in_memory = True

    def __init__(
        self,
        X: NDArray[np.float64],
        Y: NDArray[np.float64],
        w: NDArray[np.float64] | None,
        y_checked: bool = True,
    ) -> None:
        self.X_given, self.Y_given = X, Y
        if w is not None and not (w > 0).all():
            keep = w > 0
            X, Y, w = X[keep], Y[keep], w[keep]
        self.X, self.Y, self.w = X, Y, w
        self.n_features = X.shape[1]
        self.n_targets = Y.shape[1]
        self.y_scale = np.ones(self.n_targets)
        # NaN and infinity in Y, when not checked before, show in the sums of
        # squares of the first statistics pass.
        self._y_checked = y_checked

    @property
    def n(self) -> int:
        return len(self.X)

    def target(self, j: int) -> ArraySource:
        if self.n_targets == 1:
            return self
        out = ArraySource.__new__(ArraySource)
        out.X_given, out.Y_given = self.X_given, self.Y_given[:, j : j + 1]
        out.X, out.Y, out.w = self.X, self.Y[:, j : j + 1], self.w
        out.n_features, out.n_targets = self.n_features, 1
        out.y_scale = self.y_scale[j : j + 1]
        out._y_checked = self._y_checked
        return out

    def scan(self, cap: int) -> tuple[int, Box, NDArray[np.int64]]:
        X = self.X
        distinct = np.array([_distinct(X[:, d], cap) for d in range(X.shape[1])], dtype=np.int64)
        return len(X), Box(X.min(axis=0), X.max(axis=0)), distinct

    def rescale_targets(self) -> None:
        self.y_scale = power_of_two(np.maximum(self.Y.max(axis=0), -self.Y.min(axis=0)))

    def blocks(
        self, basis: Basis, box: Box, rows: int | None = None
    ) -> Iterator[tuple[slice, NDArray[np.float64]]]:
        """Row slices and their design rows, block by block. When all rows
        make one block, the design of the last basis is kept: a later pass in
        a basis of some of its terms takes those columns instead of
        recomputing them."""
        step = rows or block_rows(basis.n_terms)
        if step >= self.n:
            yield slice(0, self.n), self._one_block(basis, box)
            return
        for start in range(0, self.n, step):
            part = slice(start, min(start + step, self.n))
            yield part, basis.rows(box.scaled(self.X[part]))

    def _one_block(self, basis: Basis, box: Box) -> NDArray[np.float64]:
        kept = getattr(self, "_kept_design", None)
        if kept is not None and kept[0] is box:
            where = {tuple(m): i for i, m in enumerate(kept[1].multi_indices)}
            idx = [where.get(tuple(m)) for m in basis.multi_indices]
            if all(i is not None for i in idx):
                cols: NDArray[np.float64] = kept[2][:, idx]
                return cols
        Phi = basis.rows(box.scaled(self.X))
        self._kept_design = (box, basis, Phi)
        return Phi

    def design(self, basis: Basis, box: Box) -> NDArray[np.float64]:
        """The whole design matrix (for the sampler, which needs every row)."""
        return basis.rows(box.scaled(self.X))

    def statistics(
        self,
        basis: Basis,
        box: Box,
        robust: tuple[NDArray[np.float64], float] | None = None,
    ) -> Sufficient:
        top = basis.moment_top()
        # Many targets: their cross products go faster as one product of the rows.
        if top is not None and top >= 2 and (robust is not None or self.n_targets <= 4):
            total = self._moment_statistics(basis, box, top, robust)
        else:
            total = self._block_statistics(basis, box, robust)
        if not self._y_checked:
            if not np.isfinite(total.yy).all():
                check_finite(self.Y, "y")  # raises, unless a sum overflowed
            self._y_checked = True
        return total

    def _block_statistics(
        self, basis: Basis, box: Box, robust: tuple[NDArray[np.float64], float] | None
    ) -> Sufficient:
        total: Sufficient | None = None
        for part, Phi in self.blocks(basis, box):
            w = None if self.w is None else self.w[part]
            stats = block_statistics(Phi, self._targets(part), w, robust)
            total = stats if total is None else total + stats
        assert total is not None
        return total

    def _moment_statistics(
        self, basis: Basis, box: Box, top: int, robust: tuple[NDArray[np.float64], float] | None
    ) -> Sufficient:
        """The statistics of the 1-D Legendre basis of degree `top` from the
        moments of P_0 .. P_2top, summed by a native pass that never forms the
        rows: O(n top) per pass instead of the O(n top^2) of a Gram matrix."""
        k = top + 1
        t = self.n_targets if robust is None else 1
        moments, cross, yy, n = np.zeros(2 * top + 1), np.zeros((k, t)), np.zeros(t), 0.0
        step = block_rows(k) if robust is not None else max(self.n, 1)
        for start in range(0, self.n, step):
            part = slice(start, min(start + step, self.n))
            u = box.scaled(self.X[part])
            w = None if self.w is None else self.w[part]
            Y = self._targets(part)[:, :t]
            if robust is not None:
                coef, scale = robust
                rw = tukey_weights(Y[:, 0] - basis.rows(u) @ coef, scale)
                w = rw if w is None else rw * w
            m, c, s = _columns.legendre_moments(
                u[:, 0], np.empty(0) if w is None else w, Y, 2 * top, top
            )
            moments, cross, yy = moments + m, cross + c, yy + s
            n += float(len(Y)) if w is None else float(w.sum())
        gram = _columns.legendre_gram(moments, top)
        if robust is not None:
            return Sufficient(gram, cross[:, 0], float(yy[0]), n)
        return Sufficient(gram, cross, yy, n)

    def _targets(self, part: slice) -> NDArray[np.float64]:
        Y = self.Y[part]
        return Y if (self.y_scale == 1.0).all() else Y / self.y_scale

    def triangular(self, basis: Basis, box: Box) -> NDArray[np.float64]:
        R = np.zeros((0, basis.n_terms + self.n_targets))
        for part, Phi in self.blocks(basis, box):
            w = None if self.w is None else self.w[part]
            R = triangular_update(R, Phi, self._targets(part), w)
        return R

    def hits(
        self, basis: Basis, box: Box, coef: NDArray[np.float64], eps: NDArray[np.float64]
    ) -> NDArray[np.float64]:
        """Per target, the rows whose fit is within eps of the target."""
        total = np.zeros(self.n_targets)
        for part, Phi in self.blocks(basis, box):
            total += _columns.column_hit_counts(Phi, self.Y[part], coef, eps)
        return total

    def _given_blocks(self, basis: Basis, box: Box) -> Iterator[tuple[slice, NDArray[np.float64]]]:
        """Row slices of every given row (weight 0 included) and their design rows."""
        step = block_rows(basis.n_terms)
        for start in range(0, len(self.X_given), step):
            part = slice(start, min(start + step, len(self.X_given)))
            yield part, basis.rows(box.scaled(self.X_given[part]))

    def sample(
        self, size: int, seed: int
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64] | None]:
        # Drawn block by block, so that no n-long draw is held.
        rng = np.random.default_rng(seed)
        share = size / self.n
        step = 2**20
        picks = [
            start + np.flatnonzero(rng.random(min(step, self.n - start)) < share)
            for start in range(0, self.n, step)
        ]
        pick = np.concatenate(picks)
        w = None if self.w is None else self.w[pick]
        return self.X[pick], self.Y[pick, 0] / self.y_scale[0], w

    def residual_tails(
        self,
        basis: Basis,
        box: Box,
        coef: NDArray[np.float64],
        scale: NDArray[np.float64],
        probs: NDArray[np.float64],
    ) -> NDArray[np.float64]:
        """`kept_tails` of the residuals of the rows of positive weight."""
        resid = np.empty((self.n, coef.shape[0]))
        for part, Phi in self.blocks(basis, box):
            resid[part] = self.Y[part] - Phi @ coef.T
        return kept_tails(resid, scale, probs)

    def row_weights(
        self, basis: Basis, box: Box, coef: NDArray[np.float64], scale: NDArray[np.float64]
    ) -> NDArray[np.float64]:
        out = np.empty((len(self.X_given), coef.shape[0]))
        for part, Phi in self._given_blocks(basis, box):
            out[part] = residual_weights(self.Y_given[part] - Phi @ coef.T, scale)
        return out


def kept_tails(
    resid: NDArray[np.float64], scale: NDArray[np.float64], probs: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Per column of resid (n, t), the quantiles at `probs` of |resid| / scale
    over the rows within the biweight's reach (weight > 0); NaN where the
    scale is 0 or no row is kept."""
    out = np.full((resid.shape[1], len(probs)), np.nan)
    for j in range(resid.shape[1]):
        if scale[j] > 0.0:
            z = np.abs(resid[:, j]) / scale[j]
            kept = z[z < TUKEY_C]
            if len(kept):
                out[j] = np.quantile(kept, probs)
    return out


def block_statistics(
    Phi: NDArray[np.float64],
    Y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    robust: tuple[NDArray[np.float64], float] | None = None,
) -> Sufficient:
    """Sufficient statistics of one block's design rows and target columns;
    with `robust` = (coef, scale) each row also weighted by the biweight of
    its residual from coef (one target, whose statistics are then 1-D)."""
    if robust is None:
        return Sufficient.from_design(Phi, Y, w)
    coef, scale = robust
    rw = tukey_weights(Y[:, 0] - Phi @ coef, scale)
    return Sufficient.from_design(Phi, Y[:, 0], rw if w is None else rw * w)


def residual_weights(resid: NDArray[np.float64], scale: NDArray[np.float64]) -> NDArray[np.float64]:
    """Biweight weights of residuals (n, t) at one scale per column; where a
    scale is 0, 1 for the rows on the curve and 0 for the others."""
    safe = np.where(scale > 0.0, scale, 1.0)
    out: NDArray[np.float64] = np.where(
        scale > 0.0, tukey_weights(resid, safe), (resid == 0.0).astype(float)
    )
    return out


def power_of_two(magnitude: NDArray[np.float64]) -> NDArray[np.float64]:
    """The power of 2 at or below each magnitude (1 where it is 0 or not finite)."""
    ok = np.isfinite(magnitude) & (magnitude > 0.0)
    exponent = np.frexp(np.where(ok, magnitude, 1.0))[1] - 1
    out: NDArray[np.float64] = np.ldexp(1.0, exponent)
    return out


def triangular_update(
    R: NDArray[np.float64],
    Phi: NDArray[np.float64],
    Y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
) -> NDArray[np.float64]:
    """The triangular factor of R stacked on the rows sqrt(w) [Phi, Y]."""
    rows = np.hstack([Phi, Y])
    if w is not None:
        rows *= np.sqrt(w)[:, None]
    out: NDArray[np.float64] = np.linalg.qr(np.vstack([R, rows]), mode="r")
    return out


def _distinct(x: NDArray[np.float64], cap: int) -> int:
    """Number of distinct values of x, counted up to cap."""
    seen = np.unique(x[: min(len(x), 64 * cap)])
    if len(seen) >= cap:
        return cap
    return min(cap, len(np.unique(x)))
