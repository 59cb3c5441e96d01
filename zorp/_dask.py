"""Fits and predictions over Dask collections, imported only when one is passed.

The penalized fit needs the rows only through sums: the range of every input
(for the scaling onto [-1, 1]) and the sufficient statistics of the widest
basis (Gram matrix, cross products, y'y, weight total). `fit` computes both on
the workers, one block at a time, in two passes over the data:

1. per block the row count and the minimum and maximum of every input (rows
   of positive weight only), tree-combined into the training box;
2. per block the design matrix of the widest candidate basis (the native
   `design_matrix_1d` / `design_matrix_nd`) in the scaled coordinates, and its
   `Sufficient` statistics, tree-summed.

For method="robust" (one target) a third pass draws a random sample of about
ROBUST_SAMPLE rows, on which the in-memory robust fit gives the degree, the
start and the residual scale; then each further pass sums the statistics of
all rows weighted by their biweight weights at that fixed scale, and the client
re-chooses the degree and curvature weight and re-solves, for at most
ROBUST_PASSES passes (7 on 2e5 rows with 20 % gross errors).

Only the statistics (k x k and k x t numbers) reach the client, which then
chooses the degree and curvature weight and solves exactly as the in-memory fit
does from the same statistics. The client's memory therefore does not grow
with the number of rows; the task graph grows with the number of blocks.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import NDArray

from zorp.estimator import (
    Choice,
    Plan,
    _design,
    _feature_names,
    require_2d_X,
    scaling,
    splitmix64,
    warn_column_vector,
)
from zorp.robust import tukey_weights
from zorp.smoothing import ColumnFits, PenalizedFit, Sufficient

# The robust fit's start and scale come from a random sample of about this many
# rows; then at most ROBUST_PASSES reweighting passes over all rows follow, until
# the fitted values move by less than ROBUST_TOL scales in root mean square.
ROBUST_SAMPLE = 20_000
ROBUST_PASSES = 10
ROBUST_TOL = 1e-6

if TYPE_CHECKING:
    from zorp.estimator import SmoothPolynomialRegressor


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


def block_range(
    x: NDArray[np.float64], w: NDArray[np.float64] | None
) -> tuple[int, NDArray[np.float64], NDArray[np.float64]]:
    """Rows of positive weight in the block, and their minimum and maximum per input."""
    x = np.asarray(x, dtype=np.float64)
    _check_block(x, "X")
    keep = _kept(None if w is None else np.asarray(w, dtype=np.float64), len(x))
    if keep is not None:
        x = x[keep]
    if len(x) == 0:
        inf = np.full(x.shape[1], np.inf)
        return 0, inf, -inf
    return len(x), x.min(axis=0), x.max(axis=0)


def _merge_range(
    a: tuple[int, NDArray[np.float64], NDArray[np.float64]],
    b: tuple[int, NDArray[np.float64], NDArray[np.float64]],
) -> tuple[int, NDArray[np.float64], NDArray[np.float64]]:
    return a[0] + b[0], np.minimum(a[1], b[1]), np.maximum(a[2], b[2])


def block_stats(
    x: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    center: NDArray[np.float64],
    half: NDArray[np.float64],
    multi_indices: list[list[int]],
    robust: tuple[NDArray[np.float64], float] | None = None,
) -> Sufficient:
    """Sufficient statistics of one block of rows in the widest basis; with
    `robust` = (coef, scale), each row also weighted by the biweight weight of
    its residual from coef at that scale."""
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    if len(y) != len(x):
        raise ValueError(f"a block of X has {len(x)} rows but its block of y has {len(y)}")
    _check_block(y, "y")
    wa = None if w is None else np.asarray(w, dtype=np.float64)
    keep = _kept(wa, len(x))
    if keep is not None and wa is not None:
        x, y, wa = x[keep], y[keep], wa[keep]
    Phi = _design(multi_indices, (x - center) / half)
    if robust is not None:
        coef, scale = robust
        weights = tukey_weights(y - Phi @ coef, scale)
        wa = weights if wa is None else weights * wa
    return Sufficient.from_design(Phi, y, wa)


def _add(a: Sufficient, b: Sufficient) -> Sufficient:
    return a + b


def fit[Est: SmoothPolynomialRegressor](est: Est, X: Any, y: Any, sample_weight: Any) -> Est:
    """`est.fit` over Dask collections (see the module's description)."""
    dask = _dask()
    owner = type(est).__name__
    if est.method not in ("penalized", "robust"):
        raise ValueError(
            f"method={est.method!r} needs all rows in memory; Dask inputs are fitted with "
            "method='penalized' or 'robust'"
        )
    if y is None:
        raise ValueError(f"{owner} requires y to be passed, but the target y is None")
    names = _feature_names(X)
    Xd = _as_dask_array(X, "X")
    require_2d_X(Xd.ndim)
    if Xd.shape[1] == 0:
        raise ValueError("Found array with 0 feature(s) while a minimum of 1 is required.")
    Xd = Xd.rechunk({1: -1})
    yd = _as_dask_array(y, "y")
    if yd.ndim == 2 and yd.shape[1] == 1:
        warn_column_vector(stacklevel=4)
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
    yd, wd = others["y"], others.get("sample_weight")
    multi = yd.ndim == 2
    if multi and est.method == "robust":
        raise ValueError(
            "method='robust' on Dask inputs fits one target at a time; pass y of shape "
            "(n_samples,) for each column"
        )
    D = int(Xd.shape[1])
    # Checks of the parameters against the shape, before any pass over the data.
    plan = est._plan(2 if _unknown(Xd) else int(Xd.shape[0]), D, multi)
    timings = plan.timings

    x_blocks = list(Xd.to_delayed().ravel())
    y_blocks = list(yd.to_delayed().ravel())
    w_blocks = [None] * len(x_blocks) if wd is None else list(wd.to_delayed().ravel())
    if not len(x_blocks) == len(y_blocks) == len(w_blocks):
        raise ValueError("X, y and sample_weight must have the same number of row blocks")

    start = time.perf_counter()
    op = dask.delayed(block_range, pure=True)
    n, lo, hi = dask.compute(
        _tree([op(xb, wb) for xb, wb in zip(x_blocks, w_blocks, strict=True)], _merge_range)
    )[0]
    timings["range pass"] = time.perf_counter() - start
    if wd is not None and n == 0:
        raise ValueError("sample_weight is zero everywhere; at least one weight must be positive")
    if n < 2:
        raise ValueError(f"n_samples={n}: at least 2 samples are required")
    center, half = scaling(lo, hi)

    start = time.perf_counter()
    op = dask.delayed(block_stats, pure=True)
    parts = [
        op(xb, yb, wb, center, half, plan.mi_all)
        for xb, yb, wb in zip(x_blocks, y_blocks, w_blocks, strict=True)
    ]
    stats = dask.compute(_tree(parts, _add))[0]
    timings["statistics pass"] = time.perf_counter() - start

    if est.method == "robust":
        blocks = (x_blocks, y_blocks, w_blocks)
        return _fit_robust(est, plan, blocks, (Xd, yd), stats, (n, lo, hi), names)

    start = time.perf_counter()
    choice = est._choose(plan, stats)
    model = choice.model
    no_penalty = choice.path.rank == 0 and float(est.gamma1) == 0.0
    if est.gamma2 == "auto" and no_penalty:
        # No penalty in this basis: the minimum-norm least-squares fit, here
        # from the normal equations of the chosen terms.
        sub = stats.subset(choice.idx)
        coef = np.linalg.lstsq(sub.gram, sub.cross, rcond=None)[0]
        coef = coef.T.copy() if multi else coef
    else:
        coef = model.coef
    timings["smoothing choice"] = time.perf_counter() - start

    est._store(plan, choice, coef, lo, hi, names)
    # The description-length score and hit rate need the median of y and a
    # pass over the residuals; they are not computed for Dask inputs.
    if isinstance(model, ColumnFits):
        est.mdl_score_ = np.full(len(model.coef), np.nan)
        est.hit_rate_ = np.full(len(model.coef), np.nan)
    else:
        est.mdl_score_ = est.hit_rate_ = float("nan")
    est.gibbs_ = est.mcmc_energy_ = est.mcmc_start_energy_ = None
    return est


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
    multi_indices: list[list[int]],
    center: NDArray[np.float64],
    half: NDArray[np.float64],
    coef: NDArray[np.float64],
    scale: float,
) -> NDArray[np.float64]:
    # y arrives as a column, blocked like x.
    fitted = _design(multi_indices, (x - center) / half) @ coef
    return tukey_weights(np.asarray(y[:, 0], dtype=np.float64) - fitted, scale)


def _fit_robust[Est: SmoothPolynomialRegressor](
    est: Est,
    plan: Plan,
    blocks: tuple[list[Any], list[Any], list[Any]],
    arrays: tuple[Any, Any],
    stats: Sufficient,
    box: tuple[int, NDArray[np.float64], NDArray[np.float64]],
    names: NDArray[np.object_] | None,
) -> Est:
    """The robust fit of Dask inputs in a fixed number of passes over the data
    after the range and statistics passes: one pass draws a random sample of
    about ROBUST_SAMPLE rows, on which the in-memory robust fit gives the
    degree, the start and the scale; then each pass sums the biweight-weighted
    statistics of all rows at that fixed scale and the client re-solves (the
    degree and curvature weight re-chosen), until the fitted values move by less than
    1e-6 scales in root mean square, at most ROBUST_PASSES passes."""
    dask = _dask()
    x_blocks, y_blocks, w_blocks = blocks
    n, lo, hi = box
    center, half = scaling(lo, hi)
    timings = plan.timings

    start = time.perf_counter()
    share = min(1.0, ROBUST_SAMPLE / n)
    seed = splitmix64(int(est.seed))
    op = dask.delayed(block_sample, pure=True)
    picked = dask.compute(
        [
            op(xb, yb, wb, share, (seed + i) % 2**63)
            for i, (xb, yb, wb) in enumerate(zip(x_blocks, y_blocks, w_blocks, strict=True))
        ]
    )[0]
    xs = np.concatenate([p[0] for p in picked])
    ys = np.concatenate([p[1] for p in picked])
    ws = np.concatenate([p[2] for p in picked])
    if len(ys) < 2:
        raise ValueError(f"the robust fit's sample holds {len(ys)} rows; at least 2 are required")
    Phi_s = _design(plan.mi_all, (xs - center) / half)
    first = est._choose(
        plan, Sufficient.from_design(Phi_s, ys, ws), plan.candidates[-1:], fast=True
    )
    sample_choice, res = est._fit_robust(plan, Phi_s, ys, ws, first)
    timings["robust sample fit"] = time.perf_counter() - start

    start = time.perf_counter()
    k_all = len(plan.mi_all)

    def widest(choice: Choice, coef: NDArray[np.float64]) -> NDArray[np.float64]:
        full = np.zeros(k_all)
        full[choice.idx] = coef
        return full

    # The passes work in the widest basis, so that the degree is chosen again on
    # the robust weights of all rows, as the in-memory robust fit does.
    choice, scale = sample_choice, res.scale
    coef = widest(choice, res.coef)
    op = dask.delayed(block_stats, pure=True)
    passes = 0
    while scale > 0.0 and passes < ROBUST_PASSES:
        parts = [
            op(xb, yb, wb, center, half, plan.mi_all, (coef, scale))
            for xb, yb, wb in zip(x_blocks, y_blocks, w_blocks, strict=True)
        ]
        wstats = dask.compute(_tree(parts, _add))[0]
        passes += 1
        choice = est._choose(plan, wstats, fast=True)
        assert isinstance(choice.model, PenalizedFit)
        new = widest(choice, choice.model.coef)
        step = new - coef
        moved = math.sqrt(max(float(step @ wstats.gram @ step), 0.0) / max(wstats.n, 1e-300))
        coef = new
        if moved <= ROBUST_TOL * scale:
            break
    coef = coef[choice.idx]
    timings["robust passes"] = time.perf_counter() - start

    est._store(plan, choice, coef, lo, hi, names)
    est.sigma_ = est.scale_ = scale
    est.n_iter_ = passes
    est.mdl_score_ = est.hit_rate_ = float("nan")
    est.gibbs_ = est.mcmc_energy_ = est.mcmc_start_energy_ = None
    Xd, yd = arrays
    # The graph holds the numbers it needs, not the estimator, which holds it.
    est.weights_ = dask.array.map_blocks(
        _weights_block,
        Xd,
        yd[:, None],
        est.multi_indices_,
        center,
        half,
        coef,
        scale,
        drop_axis=1,
        dtype=np.float64,
    )
    est.inlier_mask_ = est.weights_ > 0.0
    return est


def _predict_block(
    x: NDArray[np.float64], est: SmoothPolynomialRegressor, part: str
) -> NDArray[np.float64]:
    from zorp.estimator import _check_X

    A = est._rows(_check_X(x))
    if part == "mean":
        return A @ (np.ascontiguousarray(est.coef_.T) if est.coef_.ndim == 2 else est.coef_)
    std: NDArray[np.float64] = est.sigma_ * np.sqrt(1.0 + est._spread(A))
    return std


def predict(est: SmoothPolynomialRegressor, X: Any, return_std: bool) -> Any:
    """`est.predict` of a Dask array or DataFrame: Dask arrays, block by block."""
    est._check_fitted()
    names = _feature_names(X)
    fitted = getattr(est, "feature_names_in_", None)
    if fitted is not None and names is not None and not np.array_equal(fitted, names):
        raise ValueError(
            "The feature names should match those that were passed during fit.\n"
            f"Fitted with: {list(fitted)}\nGot: {list(names)}"
        )
    Xd = _as_dask_array(X, "X")
    if Xd.ndim != 2 or Xd.shape[1] != est.n_features_in_:
        raise ValueError(
            f"X has shape {Xd.shape}, but {type(est).__name__} is expecting "
            f"{est.n_features_in_} features as input"
        )
    Xd = Xd.rechunk({1: -1})

    def part(which: str) -> Any:
        if est.coef_.ndim == 2:
            chunks = (Xd.chunks[0], (est.coef_.shape[0],))
            return Xd.map_blocks(_predict_block, est, which, chunks=chunks, dtype=np.float64)
        return Xd.map_blocks(_predict_block, est, which, drop_axis=1, dtype=np.float64)

    if return_std:
        return part("mean"), part("std")
    return part("mean")
