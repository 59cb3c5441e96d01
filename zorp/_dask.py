"""Dask collections as a row source of the fitting pipeline, imported only
when one is passed.

The fit needs the rows only through sums: the range of every input (for the
scaling onto [-1, 1]) and the sufficient statistics of a basis (Gram matrix,
cross products, y'y, weight total). `DaskSource` computes both on the
workers, one block at a time, tree-combined:

1. per block the row count, the minimum and maximum of every input and a few
   of its distinct values (rows of positive weight only);
2. per block the design rows of the basis (the native core) in the scaled
   coordinates and their `Sufficient` statistics; for the robust fit also
   weighted by each row's biweight weight at a fixed fit and scale.

The robust fit draws its start from a random sample of rows (`sample`).
Only statistics (k x k and k x t numbers) reach the client, so its memory
does not grow with the number of rows; the task graph grows with the number
of blocks. Predictions stay lazy, block by block.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

from zorp._validation import feature_names, require_2d_X, warn_column_vector
from zorp.bases import Basis, Box
from zorp.model import FittedModel
from zorp.smoothing import Sufficient
from zorp.sources import block_statistics, power_of_two, residual_weights, triangular_update


def _dask() -> Any:
    """The dask package (typed loosely: its functions carry no annotations)."""
    try:
        import dask
        import dask.array
    except ImportError:
        raise ImportError(
            "fitting Dask collections needs dask and distributed: pip install 'zorp[dask]'"
        ) from None
    return dask


def _as_dask_array(obj: Any, name: str) -> Any:
    """A Dask array of floats from a Dask array, DataFrame or Series, or from
    an in-memory array-like; checks what can be checked without the data."""
    da = _dask().array
    if hasattr(obj, "to_dask_array"):  # Dask DataFrame or Series
        obj = obj.to_dask_array()
    elif not isinstance(obj, da.Array):
        if obj is None:
            raise ValueError(f"{name} is None; expected an array-like of numbers")
        obj = da.from_array(np.asarray(obj))
    kind = obj.dtype.kind
    if kind == "c":
        raise ValueError(f"Complex data not supported in {name}")
    if kind not in "biuf":
        raise TypeError(f"{name} must contain only numbers, got dtype {obj.dtype}")
    return obj.astype(np.float64)


def _unknown(a: Any) -> bool:
    return any(np.isnan(c) for c in a.chunks[0])


def _align(Xd: Any, others: dict[str, Any]) -> tuple[Any, dict[str, Any]]:
    """X and the other arrays blocked alike along the rows, so that blocks
    pair up. Arrays of unknown block sizes (from DataFrames) with as many
    blocks as X are taken as the same partitions (each block pair's lengths
    are checked on the workers); otherwise their sizes are computed first."""
    others = {k: (v.rechunk({1: -1}) if v.ndim == 2 else v) for k, v in others.items()}
    unknown = _unknown(Xd) or any(_unknown(v) for v in others.values())
    if unknown and all(v.numblocks[0] == Xd.numblocks[0] for v in others.values()):
        return Xd, others
    if _unknown(Xd):
        Xd = Xd.compute_chunk_sizes()
    out = {}
    for name, v in others.items():
        v = v.compute_chunk_sizes() if _unknown(v) else v
        if v.shape[0] != Xd.shape[0]:
            raise ValueError(
                f"X and {name} have inconsistent numbers of samples: {Xd.shape[0]} and {v.shape[0]}"
            )
        out[name] = v.rechunk({0: Xd.chunks[0]})
    return Xd, out


def _tree(parts: list[Any], combine: Callable[[Any, Any], Any]) -> Any:
    """Pairwise (tree) combination of delayed parts: depth log2(blocks)."""
    op = _dask().delayed(combine, pure=True)
    while len(parts) > 1:
        parts = [
            op(parts[i], parts[i + 1]) if i + 1 < len(parts) else parts[i]
            for i in range(0, len(parts), 2)
        ]
    return parts[0]


def _check_block(a: NDArray[np.float64], name: str) -> None:
    if not np.isfinite(a).all():
        kind = "NaN" if np.isnan(a).any() else "infinity"
        raise ValueError(f"Input {name} contains {kind}; all values must be finite")


def _kept(w: NDArray[np.float64] | None, n: int) -> NDArray[np.bool_] | None:
    if w is None:
        return None
    if w.shape != (n,):
        raise ValueError(f"a block of sample_weight has shape {w.shape}, expected {(n,)}")
    _check_block(w, "sample_weight")
    if (w < 0).any():
        raise ValueError("sample_weight must be non-negative")
    keep: NDArray[np.bool_] = w > 0
    return keep


Range = tuple[
    int, NDArray[np.float64], NDArray[np.float64], list[NDArray[np.float64]], NDArray[np.float64]
]


def block_range(
    x: NDArray[np.float64], y: NDArray[np.float64], w: NDArray[np.float64] | None, cap: int
) -> Range:
    """Rows of positive weight in the block, their minimum and maximum per
    input, up to `cap` of each input's distinct values, and the largest
    magnitude of each target."""
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    y = y[:, None] if y.ndim == 1 else y
    _check_block(x, "X")
    keep = _kept(None if w is None else np.asarray(w, dtype=np.float64), len(x))
    if keep is not None:
        x, y = x[keep], y[keep]
    if len(x) == 0:
        inf = np.full(x.shape[1], np.inf)
        return 0, inf, -inf, [np.empty(0)] * x.shape[1], np.zeros(y.shape[1])
    seen = [np.unique(x[:, d])[:cap] for d in range(x.shape[1])]
    top = np.maximum(y.max(axis=0), -y.min(axis=0))
    return len(x), x.min(axis=0), x.max(axis=0), seen, top


def _merge_range(a: Range, b: Range, cap: int) -> Range:
    seen = [np.union1d(s, t)[:cap] for s, t in zip(a[3], b[3], strict=True)]
    top = np.fmax(a[4], b[4])
    return a[0] + b[0], np.minimum(a[1], b[1]), np.maximum(a[2], b[2]), seen, top


def _block(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    box: Box,
    basis: Basis,
    y_scale: NDArray[np.float64],
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64] | None]:
    """One block's design rows in `basis`, targets as columns divided by
    y_scale, and weights, for its rows of positive weight; checked."""
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    if len(y) != len(x):
        raise ValueError(f"a block of X has {len(x)} rows but its block of y has {len(y)}")
    _check_block(y, "y")
    wa = None if w is None else np.asarray(w, dtype=np.float64)
    keep = _kept(wa, len(x))
    if keep is not None and wa is not None:
        x, y, wa = x[keep], y[keep], wa[keep]
    Y = (y[:, None] if y.ndim == 1 else y) / y_scale
    return basis.rows(box.scaled(x)), Y, wa


def block_stats(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    box: Box,
    basis: Basis,
    y_scale: NDArray[np.float64],
    robust: tuple[NDArray[np.float64], float] | None = None,
) -> Sufficient:
    """Sufficient statistics of one block of rows (see `block_statistics`)."""
    return block_statistics(*_block(x, y, w, box, basis, y_scale), robust)


def _add(a: Sufficient, b: Sufficient) -> Sufficient:
    return a + b


def block_triangular(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    box: Box,
    basis: Basis,
    y_scale: NDArray[np.float64],
) -> NDArray[np.float64]:
    """The triangular factor of one block's rows sqrt(w) [Phi, Y / y_scale]."""
    Phi, Y, wa = _block(x, y, w, box, basis, y_scale)
    return triangular_update(np.zeros((0, Phi.shape[1] + Y.shape[1])), Phi, Y, wa)


def _stack_triangular(a: NDArray[np.float64], b: NDArray[np.float64]) -> NDArray[np.float64]:
    out: NDArray[np.float64] = np.linalg.qr(np.vstack([a, b]), mode="r")
    return out


def block_sample(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    share: float,
    seed: int,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """A random share of the block's rows of positive weight, with their weights."""
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    wa = np.ones(len(y)) if w is None else np.asarray(w, dtype=np.float64)
    pick = (np.random.default_rng(seed).random(len(y)) < share) & (wa > 0)
    return x[pick], y[pick], wa[pick]


def _weights_block(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    basis: Basis,
    box: Box,
    coef: NDArray[np.float64],
    scale: NDArray[np.float64],
) -> NDArray[np.float64]:
    # y arrives as a column, blocked like x; the result is one column per target.
    fitted = basis.rows(box.scaled(np.asarray(x, dtype=np.float64))) @ coef.T
    return residual_weights(
        np.asarray(y, dtype=np.float64).reshape(len(fitted), -1) - fitted, scale
    )


class DaskSource:
    """The pipeline's passes over aligned Dask arrays X (n, D), y (n,) or
    (n, t) and optional weights (n,)."""

    in_memory = False

    def __init__(self, Xd: Any, yd: Any, wd: Any) -> None:
        self.Xd, self.yd, self.wd = Xd, yd, wd
        self.n_features = int(Xd.shape[1])
        self.n_targets = 1 if yd.ndim == 1 else int(yd.shape[1])
        self.x_blocks = list(Xd.to_delayed().ravel())
        self.y_blocks = list(yd.to_delayed().ravel())
        self.w_blocks = [None] * len(self.x_blocks) if wd is None else list(wd.to_delayed().ravel())
        if not len(self.x_blocks) == len(self.y_blocks) == len(self.w_blocks):
            raise ValueError("X, y and sample_weight must have the same number of row blocks")
        # Rows known before any pass (2 when the block sizes are unknown).
        self.n_rows_hint = 2 if _unknown(Xd) else int(Xd.shape[0])
        self._n: int | None = None
        self._y_top: NDArray[np.float64] | None = None
        self.y_scale = np.ones(self.n_targets)

    def _blocks(self) -> zip[tuple[Any, Any, Any]]:
        return zip(self.x_blocks, self.y_blocks, self.w_blocks, strict=True)

    def scan(self, cap: int) -> tuple[int, Box, NDArray[np.int64]]:
        dask = _dask()
        op = dask.delayed(block_range, pure=True)
        parts = [op(xb, yb, wb, cap) for xb, yb, wb in self._blocks()]
        merge = functools.partial(_merge_range, cap=cap)
        n, lo, hi, seen, top = dask.compute(_tree(parts, merge))[0]
        self._n = int(n)
        self._y_top = top
        if self.wd is not None and n == 0:
            raise ValueError(
                "sample_weight is zero everywhere; at least one weight must be positive"
            )
        return int(n), Box(lo, hi), np.array([len(s) for s in seen], dtype=np.int64)

    def rescale_targets(self) -> None:
        if self._y_top is None:
            self.scan(1)
        assert self._y_top is not None
        self.y_scale = power_of_two(self._y_top)

    def statistics(
        self,
        basis: Basis,
        box: Box,
        robust: tuple[NDArray[np.float64], float] | None = None,
    ) -> Sufficient:
        dask = _dask()
        op = dask.delayed(block_stats, pure=True)
        scale = self.y_scale
        parts = [op(xb, yb, wb, box, basis, scale, robust) for xb, yb, wb in self._blocks()]
        stats: Sufficient = dask.compute(_tree(parts, _add))[0]
        return stats

    def triangular(self, basis: Basis, box: Box) -> NDArray[np.float64]:
        dask = _dask()
        op = dask.delayed(block_triangular, pure=True)
        parts = [op(xb, yb, wb, box, basis, self.y_scale) for xb, yb, wb in self._blocks()]
        R: NDArray[np.float64] = dask.compute(_tree(parts, _stack_triangular))[0]
        return R

    def target(self, j: int) -> DaskSource:
        return self

    def sample(
        self, size: int, seed: int
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
        dask = _dask()
        n = self._n if self._n is not None else self.scan(1)[0]
        share = min(1.0, size / max(n, 1))
        op = dask.delayed(block_sample, pure=True)
        picked = dask.compute(
            [
                op(xb, yb, wb, share, (seed + i) % 2**63)
                for i, (xb, yb, wb) in enumerate(self._blocks())
            ]
        )[0]
        xs = np.concatenate([p[0] for p in picked])
        ys = np.concatenate([p[1] for p in picked]) / self.y_scale[0]
        ws = np.concatenate([p[2] for p in picked])
        return xs, ys, ws

    def row_weights(
        self, basis: Basis, box: Box, coef: NDArray[np.float64], scale: NDArray[np.float64]
    ) -> Any:
        # Lazy: the graph holds the numbers it needs, not the estimator.
        y = self.yd[:, None] if self.yd.ndim == 1 else self.yd
        chunks = (self.Xd.chunks[0], (coef.shape[0],))
        return _dask().array.map_blocks(
            _weights_block, self.Xd, y, basis, box, coef, scale, chunks=chunks, dtype=np.float64
        )


def source(X: Any, y: Any, sample_weight: Any, owner: str) -> tuple[DaskSource, Any, bool]:
    """The Dask source of X, y and sample_weight, checked as far as can be
    without the data; with the feature names of X and whether y is 1-D."""
    if y is None:
        raise ValueError(f"{owner} requires y to be passed, but the target y is None")
    names = feature_names(X)
    Xd = _as_dask_array(X, "X")
    require_2d_X(Xd.ndim)
    if Xd.shape[1] == 0:
        raise ValueError("Found array with 0 feature(s) while a minimum of 1 is required.")
    Xd = Xd.rechunk({1: -1})
    yd = _as_dask_array(y, "y")
    if yd.ndim == 2 and yd.shape[1] == 1:
        warn_column_vector(stacklevel=5)
        yd = yd[:, 0]
    if yd.ndim not in (1, 2) or (yd.ndim == 2 and yd.shape[1] == 0):
        raise ValueError(
            "y should be a 1d array or a 2d array of shape (n_samples, n_targets), "
            f"got an array of shape {yd.shape}"
        )
    others = {"y": yd}
    if sample_weight is not None:
        others["sample_weight"] = wd = _as_dask_array(sample_weight, "sample_weight")
        if wd.ndim != 1:
            raise ValueError(f"sample_weight must be 1-D, got shape {wd.shape}")
    Xd, others = _align(Xd, others)
    return DaskSource(Xd, others["y"], others.get("sample_weight")), names, others["y"].ndim == 1


def check_names(X: Any, fitted: Any) -> None:
    """Refuse feature names of X that differ from those seen in fit."""
    names = feature_names(X)
    if fitted is not None and names is not None and not np.array_equal(fitted, names):
        raise ValueError(
            "The feature names should match those that were passed during fit.\n"
            f"Fitted with: {list(fitted)}\nGot: {list(names)}"
        )


def _evaluate_block(
    x: NDArray[np.float64],
    model: FittedModel,
    extrapolation: str,
    part: str,
    alpha: NDArray[np.int64],
    level: float,
) -> NDArray[np.float64]:
    from zorp._validation import check_X

    A = model.rows(check_X(x), extrapolation, alpha, spread=part != "fit")
    return model.part(A, part, level)


def evaluate(
    model: FittedModel,
    X: Any,
    extrapolation: str,
    parts: tuple[str, ...],
    alpha: NDArray[np.int64],
    level: float,
    owner: str,
) -> list[Any]:
    """The model's `parts` (see `FittedModel.part`) at a Dask array or
    DataFrame X: lazy Dask arrays, computed block by block on the workers,
    whose row blocks follow X's (their sizes may be unknown)."""
    Xd = _as_dask_array(X, "X")
    n_features = len(model.box.lo)
    if Xd.ndim != 2 or Xd.shape[1] != n_features:
        raise ValueError(
            f"X has shape {Xd.shape}, but {owner} is expecting {n_features} features as input"
        )
    Xd = Xd.rechunk({1: -1})
    t = model.coef.shape[0]
    out = []
    for part in parts:
        band = part.startswith("band")
        # Trailing axes of a block: targets unless y was 1-D, then lower/upper.
        tail = (() if model.single else (t,)) + ((2,) if band else ())
        chunks = (Xd.chunks[0], *((n,) for n in tail))
        args = (model, extrapolation, part, alpha, level)
        if len(tail) == 0:
            lazy = Xd.map_blocks(_evaluate_block, *args, drop_axis=1, dtype=np.float64)
        elif len(tail) == 1:
            lazy = Xd.map_blocks(_evaluate_block, *args, chunks=chunks, dtype=np.float64)
        else:
            lazy = Xd.map_blocks(
                _evaluate_block, *args, chunks=chunks, new_axis=2, dtype=np.float64
            )
        out.append(lazy)
    return out
