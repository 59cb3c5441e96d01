"""Scikit-learn-style estimator over the native core."""

from __future__ import annotations

import functools
import inspect
import math
import sys
import time
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from statistics import NormalDist
from typing import Any, Literal, Self, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from zorp._native import _kernels as _columns
from zorp._native import zorp_core as _core
from zorp.params import (
    INT32_MAX,
    UINT64_MAX,
    Degrees,
    Interval,
    Options,
    Rule,
    check_params,
)
from zorp.robust import (
    Basis,
    RobustResult,
    SearchSettings,
    fit_robust,
    grid_select,
    tukey_weights,
    weighted_solve,
)
from zorp.smoothing import (
    CRITERIA,
    ColumnFits,
    Criterion,
    PenalizedFit,
    SmoothingPath,
    Sufficient,
    fixed_part,
    submatrix,
)

Method = Literal["penalized", "ols", "mcmc", "robust"]
METHODS: tuple[str, ...] = ("penalized", "ols", "mcmc", "robust")
EXTRAPOLATIONS: tuple[str, ...] = ("linear", "constant", "continue", "error")

# Largest tensor-product basis accepted (the fit solves an M x M system).
MAX_TERMS = 4096
# The automatic degree: up to AUTO_MAX_DEGREE in one dimension, and up to
# AUTO_MAX_DEGREE_ND per axis within AUTO_MAX_TERMS terms in several, on at
# most AUTO_MAX_FEATURES input dimensions.
AUTO_MAX_DEGREE = 15
AUTO_MAX_DEGREE_ND = 8
AUTO_MAX_TERMS = 512
AUTO_MAX_FEATURES = 10

_RULES: dict[str, list[Rule]] = {
    "degree": [Options((None,)), Degrees(high=INT32_MAX - 1)],
    "gamma1": [Interval("real", 0.0)],
    "gamma2": [Options(("auto",)), Interval("real", 0.0)],
    "ridge": [Interval("real", 0.0)],
    "n_grid": [Options((None,)), Interval("int", 2, INT32_MAX)],
    "method": [Options(METHODS)],
    "criterion": [Options(CRITERIA)],
    "gamma2_per_target": [Options((True, False))],
    "extrapolation": [Options(EXTRAPOLATIONS)],
    "n_chains": [Interval("int", 1, INT32_MAX)],
    "n_warmup": [Interval("int", 0, INT32_MAX)],
    "n_deep": [Interval("int", 0, INT32_MAX)],
    "n_elite": [Interval("int", 0, INT32_MAX)],
    "step_size": [Interval("real", 0.0, open_low=True)],
    "H": [Interval("int", 1, INT32_MAX)],
    "seed": [Interval("int", 0, UINT64_MAX)],
}


class NotFittedError(ValueError, AttributeError):
    """Raised when a method that needs a fitted estimator is called before `fit`."""


def _not_fitted_error() -> type[Exception]:
    """NotFittedError, or its subclass that is also scikit-learn's when that
    is loaded, so its tools recognise it."""
    if isinstance(getattr(sys.modules.get("sklearn.exceptions"), "NotFittedError", None), type):
        return _sklearn_not_fitted_error()
    return NotFittedError


@functools.cache
def _sklearn_not_fitted_error() -> type[Exception]:
    from sklearn.exceptions import NotFittedError as peer  # type: ignore[import-untyped]

    # A module attribute by name (through __getattr__), so that it pickles.
    return type(
        "SklearnNotFittedError",
        (NotFittedError, peer),
        {"__module__": __name__, "__qualname__": "SklearnNotFittedError"},
    )


def __getattr__(name: str) -> Any:
    if name == "SklearnNotFittedError":
        return _sklearn_not_fitted_error()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


class DataConversionWarning(UserWarning):
    """Warns that input data was reshaped or converted to fit the expected form."""


def splitmix64(seed: int) -> int:
    """SplitMix64 finaliser of `seed`: nearby seeds give unrelated sampler streams."""
    mask = UINT64_MAX
    z = (seed + 0x9E3779B97F4A7C15) & mask
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
    return z ^ (z >> 31)


# -- input checks -------------------------------------------------------------


def _as_float_array(a: ArrayLike, name: str) -> NDArray[np.float64]:
    if a is None:
        raise ValueError(f"{name} is None; expected an array-like of numbers")
    if hasattr(a, "toarray") or type(a).__module__.startswith("scipy.sparse"):
        raise TypeError(f"{name} is a sparse matrix; pass a dense array (e.g. {name}.toarray())")
    if isinstance(a, np.ma.MaskedArray):
        raise TypeError(
            f"{name} is a masked array, whose mask would be ignored; drop the masked rows "
            f"or fill them (e.g. {name}.filled(value)) first"
        )
    arr = np.asarray(a)
    if np.iscomplexobj(arr):
        raise ValueError(f"Complex data not supported in {name}")
    if arr.dtype == object and any(v is None for v in arr.flat):
        raise ValueError(f"Input {name} contains None; all values must be numbers")
    try:
        out = np.asarray(arr, dtype=np.float64)
    except TypeError as exc:
        raise TypeError(f"{name} must contain only numbers: {exc}") from None
    except ValueError as exc:
        raise ValueError(f"{name} must contain only numbers: {exc}") from None
    return out


def _check_finite(a: NDArray[np.float64], name: str) -> None:
    if not np.isfinite(a).all():
        kind = "NaN" if np.isnan(a).any() else "infinity"
        raise ValueError(f"Input {name} contains {kind}; all values must be finite")


def require_2d_X(ndim: int) -> None:
    """Refuse an X that is not (n_samples, n_features), as scikit-learn words it."""
    if ndim != 2:
        raise ValueError(
            f"Expected a 2-D array X of shape (n_samples, n_features), got {ndim}-D. "
            "Reshape your data, e.g. X.reshape(-1, 1) for a single feature"
        )


def _check_X(X: ArrayLike) -> NDArray[np.float64]:
    arr = _as_float_array(X, "X")
    require_2d_X(arr.ndim)
    if arr.shape[0] == 0:
        raise ValueError(
            f"Found array with 0 sample(s) (shape={arr.shape}) while a minimum of 1 is required."
        )
    if arr.shape[1] == 0:
        raise ValueError(
            f"Found array with 0 feature(s) (shape={arr.shape}) while a minimum of 1 is required."
        )
    _check_finite(arr, "X")
    return arr


def warn_column_vector(stacklevel: int) -> None:
    """The warning for a y of shape (n, 1), which is fitted as shape (n,);
    `stacklevel` counts from the caller of this function."""
    warnings.warn(
        DataConversionWarning(
            "A column-vector y was passed when a 1d array was expected; "
            "it was flattened to shape (n_samples,)"
        ),
        stacklevel=stacklevel,
    )


def _check_y(y: ArrayLike, n: int, owner: str, finite_2d: bool = True) -> NDArray[np.float64]:
    """The targets as floats, checked. With `finite_2d` False a 2-D y is not
    checked for NaN and infinity: the caller does that from its column sums."""
    if y is None:
        raise ValueError(f"{owner} requires y to be passed, but the target y is None")
    ya = _as_float_array(y, "y")
    if ya.ndim == 2 and ya.shape[1] == 1:
        warn_column_vector(stacklevel=4)
        ya = ya[:, 0]
    if ya.ndim == 2 and ya.shape[1] == 0:
        raise ValueError("y has 0 target columns; at least 1 is required")
    if ya.ndim not in (1, 2):
        raise ValueError(
            "y should be a 1d array or a 2d array of shape (n_samples, n_targets), "
            f"got an array of shape {ya.shape}"
        )
    if ya.shape[0] != n:
        raise ValueError(f"X and y have inconsistent numbers of samples: {n} and {ya.shape[0]}")
    if finite_2d or ya.ndim == 1:
        _check_finite(ya, "y")
    return ya


def _check_weights(sample_weight: ArrayLike | None, n: int) -> NDArray[np.float64] | None:
    if sample_weight is None:
        return None
    w = _as_float_array(sample_weight, "sample_weight")
    if w.ndim == 0:
        w = np.full(n, float(w))
    if w.shape != (n,):
        raise ValueError(f"sample_weight.shape == {w.shape}, expected {(n,)}")
    _check_finite(w, "sample_weight")
    if (w < 0).any():
        raise ValueError("sample_weight must be non-negative")
    if not (w > 0).any():
        raise ValueError("sample_weight is zero everywhere; at least one weight must be positive")
    return w


def _feature_names(X: Any) -> NDArray[np.object_] | None:
    columns = getattr(X, "columns", None)
    if columns is None or not hasattr(X, "shape"):
        return None
    names = np.asarray(list(columns), dtype=object)
    if names.size and all(isinstance(c, str) for c in names):
        return names
    return None


def _t_quantile(p: float, dof: float) -> float:
    """Quantile of Student's t (Cornish-Fisher expansion of the normal quantile;
    within 1e-3 relative from 3 degrees of freedom, better beyond)."""
    z = NormalDist().inv_cdf(p)
    if not math.isfinite(dof) or dof > 1e7:
        return z
    v = max(dof, 1.0)
    z2 = z * z
    return z * (
        1.0
        + (z2 + 1.0) / (4.0 * v)
        + (5.0 * z2**2 + 16.0 * z2 + 3.0) / (96.0 * v**2)
        + (3.0 * z2**3 + 19.0 * z2**2 + 17.0 * z2 - 15.0) / (384.0 * v**3)
        + (79.0 * z2**4 + 776.0 * z2**3 + 1482.0 * z2**2 - 1920.0 * z2 - 945.0) / (92160.0 * v**4)
    )


def _is_dask(obj: Any) -> bool:
    """Whether obj is a Dask collection, told without importing Dask."""
    return type(obj).__module__.partition(".")[0] == "dask"


def scaling(
    lo: NDArray[np.float64], hi: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Centre and half-range of the affine map of the box [lo, hi] onto [-1, 1]."""
    # Halves before the difference, so that ranges beyond the largest
    # double do not overflow.
    half = hi / 2.0 - lo / 2.0
    center = lo / 2.0 + hi / 2.0
    return center, np.where(half > 0.0, half, 1.0)


@dataclass
class Plan:
    """Candidate degree vectors, and the widest basis with its penalties."""

    candidates: list[list[int]]
    mi_all: list[list[int]]
    R1: NDArray[np.float64]
    R2: NDArray[np.float64]
    timings: dict[str, float]


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


def column_scores(
    Phi: NDArray[np.float64],
    Y: NDArray[np.float64],
    coef: NDArray[np.float64],
    H: int,
    R1: NDArray[np.float64],
    R2: NDArray[np.float64],
    gamma1: float,
    gamma2: NDArray[np.float64],
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """The native description-length score (`mdl_score_reg`) and hit rate
    (`compute_sr` within 0.4 MAD of the targets) of the fits Phi @ coef[j] of
    every column j of the (n, t) targets Y, computed for all columns at once."""
    n = Y.shape[0]
    eps = hit_tolerance(_columns.column_mads(Y))
    hits = _columns.column_hit_counts(Phi, Y, coef, eps)
    sr = np.maximum(hits / n, 1.0 / (2.0 * n))
    return description_length(sr, n, coef, H, R1, R2, gamma1, gamma2), sr


def hit_tolerance(m: float | NDArray[np.float64]) -> NDArray[np.float64]:
    """The native score's hit tolerance for targets of median absolute
    deviation m (0.4 m, or 0.4 where m is 0 or NaN), in m's shape."""
    m = np.asarray(m, dtype=np.float64)
    return _columns.score_tolerances(m.ravel()).reshape(m.shape)


def description_length(
    sr: NDArray[np.float64],
    n: int,
    coef: NDArray[np.float64],
    H: int,
    R1: NDArray[np.float64],
    R2: NDArray[np.float64],
    gamma1: float,
    gamma2: NDArray[np.float64],
) -> NDArray[np.float64]:
    """The native `mdl_score_reg` of fits (t, k) with hit rates sr (t,) over n
    points, from the hit rates (so that the tolerance's median is taken once)."""
    k = coef.shape[1]
    log_hk = k * math.log(2.0 * H) if k > 0 else 0.0
    score = (log_hk / n) * k - n * np.log(sr)
    if gamma1 != 0.0:
        score = score + gamma1 * (_columns.product(coef, R1) * coef).sum(axis=1)
    quad2 = (_columns.product(coef, R2) * coef).sum(axis=1)
    out: NDArray[np.float64] = score + np.where(gamma2 != 0.0, gamma2 * quad2, 0.0)
    return out


# -- bases ----------------------------------------------------------------------


def _design(multi_indices: list[list[int]], Xs: NDArray[np.float64]) -> NDArray[np.float64]:
    if Xs.shape[1] == 1:
        return _core.design_matrix_1d(len(multi_indices) - 1, Xs[:, 0])
    cols = [np.ascontiguousarray(Xs[:, d]) for d in range(Xs.shape[1])]
    return _core.design_matrix_nd(multi_indices, cols)


def _design_derivative(
    multi_indices: list[list[int]], Xs: NDArray[np.float64], axis: int
) -> NDArray[np.float64]:
    """Partial derivatives along `axis` of every basis term at the points Xs."""
    mi = np.asarray(multi_indices)
    factor = mi[:, axis].astype(np.float64)
    lowered = mi.copy()
    lowered[:, axis] = np.maximum(lowered[:, axis] - 1, 0)
    if Xs.shape[1] == 1:
        base = _core.design_matrix_1d(int(mi[-1, 0]), Xs[:, 0])
        shifted = np.zeros_like(base)
        shifted[:, 1:] = base[:, :-1]
        return shifted * factor
    cols = [np.ascontiguousarray(Xs[:, d]) for d in range(Xs.shape[1])]
    return _core.design_matrix_nd(lowered.tolist(), cols) * factor


def _penalties(
    degrees: list[int], n_grid: int
) -> tuple[NDArray[np.float64], NDArray[np.float64], list[list[int]]]:
    D = len(degrees)
    if D == 1:
        R1, R2 = _core.smoothness_penalty_matrices_1d(degrees[0], -1.0, 1.0, n_grid)
        return R1, R2, [[p] for p in range(degrees[0] + 1)]
    if all(d == 0 for d in degrees):
        # A constant has no derivative: skip the grid altogether.
        return np.zeros((1, 1)), np.zeros((1, 1)), [[0] * D]
    R1, R2, mi = _core.build_penalty_matrices_nd(degrees, [(-1.0, 1.0)] * D, n_grid)
    return R1, R2, [list(m) for m in mi]


def _affine_penalties(
    n_features: int, n_grid: int
) -> tuple[NDArray[np.float64], NDArray[np.float64], list[list[int]]]:
    """The affine basis (constant, then each input) with its penalties: no
    curvature, and a gradient term per input equal to the box's grid weight."""
    mi = [[0] * n_features] + np.eye(n_features, dtype=int).tolist()
    # Every grid point weighs prod(step) = (2 / (n_grid - 1))^D; there are n_grid^D.
    weight = math.exp(n_features * math.log(2.0 * n_grid / (n_grid - 1)))
    R1 = np.diag(np.r_[0.0, np.full(n_features, weight)])
    return R1, np.zeros_like(R1), mi


def _auto_candidates(n_features: int) -> list[list[int]]:
    """Degree vectors the automatic choice compares: the same degree on every
    axis, from 1 up to AUTO_MAX_DEGREE (AUTO_MAX_DEGREE_ND in several
    dimensions) within AUTO_MAX_TERMS terms (more only for degree 1)."""
    if n_features > AUTO_MAX_FEATURES:
        return [[1] * n_features]
    top = AUTO_MAX_DEGREE if n_features == 1 else AUTO_MAX_DEGREE_ND
    out = [[1] * n_features]
    for d in range(2, top + 1):
        if (d + 1) ** n_features > AUTO_MAX_TERMS:
            break
        out.append([d] * n_features)
    return out


class SmoothPolynomialRegressor:
    """Smooth polynomial regression in the power basis, penalised for roughness.

    Every input dimension is mapped affinely onto [-1, 1] using the training
    data's range, which keeps the power basis well conditioned; the model is the
    full tensor-product polynomial of the given per-dimension degrees in those
    scaled coordinates. The penalties integrate the squared first derivatives
    (weight `gamma1`) and second derivatives (weight `gamma2`) of the fitted
    function over the scaled box [-1, 1]^D, summed on an equally spaced grid of
    `n_grid` points per axis (default 600 in one dimension, 30 in several).

    Parameters
    ----------
    degree : int, sequence of int or None
        Degree per input dimension. None (the default) chooses it by
        `criterion`: up to 15 in one dimension; in several, the same degree on
        every axis, up to 8 and within 512 terms (degree 1 always allowed);
        beyond 10 input dimensions the basis is affine (a constant and one
        term per input).
    gamma1 : float
        Weight of the gradient penalty, per observation.
    gamma2 : "auto" or float
        Weight of the curvature penalty, per observation. "auto" (the default)
        chooses it by `criterion` for every fit.
    ridge : float
        Value added to the diagonal of the normal equations.
    n_grid : int or None
        Grid points per axis for the penalty sums.
    method : {"penalized", "ols", "mcmc", "robust"}
        "penalized" solves the penalised normal equations; "ols" is the
        minimum-norm least-squares fit (no penalty); "mcmc" refines the
        penalised fit with the tournament sampler: it searches for the
        correction of lowest description length, which counts robust hits and
        so discounts outliers, and keeps the penalised fit if none is better.
        "robust" is a high-breakdown, high-efficiency fit against gross
        errors: Huber then biweight steps from the penalised fit, a short
        consensus search by the sampler in orthonormal coordinates of the
        design, then Tukey's biweight (c = 4.685, 95 % Gaussian efficiency)
        by reweighted penalised least squares at a fixed scale (the MAD of the
        search's residuals), the scale refined once from the residuals within
        2.5 of it and the degree and curvature weight re-chosen on the robust
        weights (see `zorp.robust`). Its search uses `seed` and `H` with its
        own small budget; the other sampler settings are for "mcmc".
    criterion : {"reml", "gcv"}
        How "auto" choices are made: restricted marginal likelihood of the
        Bayesian view of the penalty (the default), or generalised
        cross-validation.
    gamma2_per_target : bool
        With several target columns (y of shape (n_samples, n_targets)), True
        (the default) chooses the curvature weight of each column by its own
        criterion, so that every column gets the fit it would get alone:
        series of different noise and curvature need different weights, and
        the choice costs O(n_terms) per column and candidate weight either
        way. False chooses one weight for all columns by the summed criterion.
        The degree is always shared (one basis), chosen by the summed criterion.
    extrapolation : {"linear", "constant", "continue", "error"}
        Prediction outside the training box: continue with the value and slope
        at the nearest point of the box ("linear", the default), the value there
        ("constant"), the raw polynomial ("continue"), or raise ValueError.
    n_chains, n_warmup, n_deep, n_elite, step_size, H, seed
        Settings of the sampler ("mcmc") and the description-length score (`H`).
        The search runs on the penalised fit's residuals divided by their median
        absolute deviation, so `step_size` is relative to the noise level.
        `seed` (0 to 2**64 - 1) is mixed before it seeds the sampler, so any two
        seeds give unrelated searches.

    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,) or (n_targets, n_terms)
        Coefficients, ordered like `multi_indices_`, in scaled coordinates.
        With several targets `gamma2_`, `edf_`, `sigma_`, `mdl_score_` and
        `hit_rate_` are arrays of shape (n_targets,). For Dask inputs
        `mdl_score_` and `hit_rate_` are NaN (they need a median of y).
    multi_indices_ : list of list of int
        Exponents per input dimension of every basis term.
    degrees_ : list of int
        Degree per input dimension actually used.
    gamma2_ : float
        Curvature weight used (chosen or given; 0 for "ols").
    edf_ : float
        Effective degrees of freedom of the fit (trace of the smoother matrix).
    sigma_ : float
        Residual standard deviation, from the residuals and `edf_` (for
        "robust", the robust scale `scale_`).
    x_center_, x_half_range_ : ndarray of shape (n_features,)
        The affine map: scaled = (X - x_center_) / x_half_range_.
    x_min_, x_max_ : ndarray of shape (n_features,)
        The training box.
    mdl_score_ : float
        Description-length score of the training fit, penalties included.
    hit_rate_ : float
        Share of training targets predicted within the score's tolerance.
    gibbs_ : dict or None
        For "mcmc", the Gibbs-entropy summary of the warm-up chains.
    mcmc_energy_, mcmc_start_energy_ : float or None
        For "mcmc", the energy (description length on the standardised
        residuals, hits within 0.4 of their MAD) of the result and of the
        penalised fit it started from.
    weights_ : ndarray of shape (n_samples,) or (n_samples, n_targets)
        For "robust", the final biweight weight in [0, 1] of every training
        sample (those of sample weight 0 included, judged by the same curve).
    inlier_mask_ : ndarray of bool, shape like `weights_`
        For "robust", True where `weights_` > 0, i.e. the residual is within
        4.685 `scale_`; False marks a flagged outlier.
    scale_ : float, or ndarray of shape (n_targets,)
        For "robust", the robust residual scale (a noise standard deviation);
        `sigma_` equals it, so `predict(return_std=True)` and
        `predict_interval` use it with the weighted fit's covariance.
    n_iter_ : int, or ndarray of shape (n_targets,)
        For "robust", the number of reweighted solves of the biweight stage.
    n_features_in_ : int
        Number of input dimensions seen in `fit`.
    feature_names_in_ : ndarray of str
        Column names of X, when X was a DataFrame with string column names.
    timings_ : dict of str to float
        Wall time in seconds of each stage of the last fit.
    """

    # Fitted attributes that are arrays of shape (n_targets,) for several targets.
    gamma2_: float | NDArray[np.float64]
    edf_: float | NDArray[np.float64]
    sigma_: float | NDArray[np.float64]
    mdl_score_: float | NDArray[np.float64]
    hit_rate_: float | NDArray[np.float64]
    scale_: float | NDArray[np.float64]
    n_iter_: int | NDArray[np.int64]
    weights_: NDArray[np.float64]
    inlier_mask_: NDArray[np.bool_]
    _cov_factor: NDArray[np.float64] | None
    _cov_stack: NDArray[np.float64] | None
    _dof: float | NDArray[np.float64]

    def __init__(
        self,
        degree: int | Sequence[int] | None = None,
        *,
        gamma1: float = 0.0,
        gamma2: float | Literal["auto"] = "auto",
        ridge: float = 1e-10,
        n_grid: int | None = None,
        method: Method = "penalized",
        criterion: Literal["reml", "gcv"] = "reml",
        gamma2_per_target: bool = True,
        extrapolation: Literal["linear", "constant", "continue", "error"] = "linear",
        n_chains: int = 25,
        n_warmup: int = 200,
        n_deep: int = 2000,
        n_elite: int = 5,
        step_size: float = 0.05,
        H: int = 20,
        seed: int = 42,
    ) -> None:
        self.degree = degree
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.ridge = ridge
        self.n_grid = n_grid
        self.method = method
        self.criterion = criterion
        self.gamma2_per_target = gamma2_per_target
        self.extrapolation = extrapolation
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_elite = n_elite
        self.step_size = step_size
        self.H = H
        self.seed = seed

    # -- parameters ---------------------------------------------------------

    @classmethod
    def _param_names(cls) -> list[str]:
        sig = inspect.signature(cls.__init__)
        return [p for p in sig.parameters if p != "self"]

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """Constructor parameters, by name."""
        return {name: getattr(self, name) for name in self._param_names()}

    def set_params(self, **params: Any) -> Self:
        """Set constructor parameters; unknown names raise ValueError."""
        valid = set(self._param_names())
        for name, value in params.items():
            if name not in valid:
                raise ValueError(
                    f"Invalid parameter {name!r} for {type(self).__name__}; "
                    f"valid parameters are {sorted(valid)}"
                )
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = {
            name: p.default for name, p in inspect.signature(type(self).__init__).parameters.items()
        }
        changed = [
            f"{name}={value!r}"
            for name, value in self.get_params().items()
            if not (isinstance(value, type(defaults[name])) and value == defaults[name])
        ]
        return f"{type(self).__name__}({', '.join(changed)})"

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        mine, theirs = vars(self), vars(other)
        if mine.keys() != theirs.keys():
            return False
        for key, value in mine.items():
            if isinstance(value, np.ndarray):
                if not np.array_equal(value, theirs[key]):
                    return False
            elif value != theirs[key]:
                return False
        return True

    __hash__ = None  # type: ignore[assignment]

    def __sklearn_tags__(self) -> Any:
        # Called only by scikit-learn, so importing it here adds no dependency.
        from sklearn.utils import (  # type: ignore[import-untyped,unused-ignore]
            InputTags,
            RegressorTags,
            Tags,
            TargetTags,
        )

        return Tags(
            estimator_type="regressor",
            target_tags=TargetTags(required=True, multi_output=True),
            regressor_tags=RegressorTags(),
            input_tags=InputTags(),
        )

    _estimator_type = "regressor"

    # -- fitting ------------------------------------------------------------

    def _degree_candidates(self, n_features: int) -> list[list[int]]:
        if self.degree is None:
            return _auto_candidates(n_features)
        if isinstance(self.degree, Sequence | np.ndarray):
            degrees = [int(d) for d in self.degree]
            if len(degrees) != n_features:
                raise ValueError(
                    f"degree has {len(degrees)} entries but X has {n_features} features"
                )
        else:
            degrees = [int(self.degree)] * n_features
        n_terms = math.prod(d + 1 for d in degrees)
        if n_terms > MAX_TERMS:
            raise ValueError(
                f"the tensor-product basis of degrees {degrees} has {n_terms} terms; "
                f"at most {MAX_TERMS} are supported, lower the degree"
            )
        return [degrees]

    def fit(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> Self:
        """Fit the model to samples X of shape (n_samples, n_features) and targets y.

        y of shape (n_samples, n_targets) fits every column on the same basis
        in one pass: one Gram matrix and one decomposition per degree, the
        curvature weight chosen per column (or shared, `gamma2_per_target`).
        `sample_weight` (n_samples,) weighs each row's squared residual: a
        weight of 2 is the same as the row appearing twice; rows of weight 0
        are left out. Dask arrays or DataFrames are fitted block by block on
        their workers (see `zorp._dask`).
        """
        owner = type(self).__name__
        check_params(owner, self.get_params(), _RULES)
        if any(_is_dask(a) for a in (X, y, sample_weight)):
            from zorp import _dask

            return _dask.fit(self, X, y, sample_weight)
        names = _feature_names(X)
        Xa = _check_X(X)
        # Many unweighted columns least-squares fitted: a NaN or infinity shows
        # in the column's sum of squares, so the one pass over y that forms
        # the sufficient statistics also checks it (see below).
        deferred = sample_weight is None and self.method != "robust"
        ya = _check_y(y, Xa.shape[0], owner, finite_2d=not deferred)
        w = _check_weights(sample_weight, Xa.shape[0])
        X_given, y_given = Xa, ya
        if w is not None:
            keep = w > 0
            Xa, ya, w = Xa[keep], ya[keep], w[keep]
        plan = self._plan(Xa.shape[0], Xa.shape[1], ya.ndim == 2)

        # All validation is done: from here on only numbers are computed, and
        # the fitted attributes are set together at the end.
        timings = plan.timings
        lo, hi = Xa.min(axis=0), Xa.max(axis=0)
        center, half = scaling(lo, hi)
        Xs = (Xa - center) / half

        start = time.perf_counter()
        Phi_all = _design(plan.mi_all, Xs)
        timings["design matrix"] = time.perf_counter() - start

        if ya.ndim == 2 and self.method == "robust":
            self._fit_robust_columns(plan, Phi_all, ya, w, (lo, hi, names), (X_given, y_given))
            return self

        start = time.perf_counter()
        stats_all = Sufficient.from_design(Phi_all, ya, w)
        if deferred and ya.ndim == 2 and not np.isfinite(stats_all.yy).all():
            _check_finite(ya, "y")  # raises, unless a sum overflowed
        robust_fit = self.method == "robust"
        # The robust fit starts from the widest basis, smoothed by the
        # criterion, and chooses the degree on its robust weights.
        choice = self._choose(
            plan, stats_all, plan.candidates[-1:] if robust_fit else None, fast=robust_fit
        )
        timings["smoothing choice"] = time.perf_counter() - start
        robust = None
        if robust_fit:
            start = time.perf_counter()
            choice, robust = self._fit_robust(plan, Phi_all, ya, w, choice)
            timings["robust fit"] = time.perf_counter() - start

        idx = choice.idx
        Phi = Phi_all[:, idx] if len(idx) < len(plan.mi_all) else Phi_all
        # Row weights enter as scaled rows (see `weighted_solve`).
        sw = None if w is None else np.sqrt(w)
        Phi_w = Phi if sw is None else Phi * sw[:, None]
        R1s, R2s = choice.R1, choice.R2
        g1 = float(self.gamma1)

        start = time.perf_counter()
        gibbs = energy = start_energy = None
        if ya.ndim == 2:
            Y_w = ya if sw is None else ya * sw[:, None]
            coef = self._coef_columns(choice, Phi_w, Y_w)
            timings[f"{self.method} fit"] = time.perf_counter() - start
            start = time.perf_counter()
            assert isinstance(choice.model, ColumnFits)
            gamma2s = np.zeros(len(coef)) if self.method == "ols" else choice.model.gamma2
            scores, hits = column_scores(Phi, ya, coef, int(self.H), R1s, R2s, g1, gamma2s)
            timings["score"] = time.perf_counter() - start
            self._store(plan, choice, coef, lo, hi, names)
            self.mdl_score_, self.hit_rate_ = scores, hits
            self.gibbs_ = self.mcmc_energy_ = self.mcmc_start_energy_ = None
            return self

        assert isinstance(choice.model, PenalizedFit)
        model = choice.model
        gamma2 = 0.0 if self.method == "ols" else model.gamma2
        y_w = ya if sw is None else ya * sw
        if robust is not None:
            coef = robust.coef
        elif self.method == "ols":
            coef = np.asarray(_core.ols(Phi_w, y_w), dtype=np.float64)
        elif self.gamma2 == "auto" and (choice.path.rank > 0 or g1 != 0.0):
            coef = model.coef
        elif self.gamma2 == "auto":
            # No penalty at all in this basis: the minimum-norm least-squares
            # fit, which stays exact where the data leave terms undetermined.
            coef = np.asarray(_core.ols(Phi_w, y_w), dtype=np.float64)
        else:
            coef = weighted_solve(Phi, ya, w, R1s, R2s, g1, gamma2, float(self.ridge))
        if self.method == "mcmc":
            coef, gibbs, energy, start_energy = self._refine_mcmc(Phi, ya, coef, R1s, R2s, gamma2)
        if robust is None:
            timings[f"{self.method} fit"] = time.perf_counter() - start

        start = time.perf_counter()
        yp = Phi @ coef
        m = _core.mad(ya)
        hit_rate = _core.compute_sr(yp, ya, float(hit_tolerance(m)))
        mdl = float(
            description_length(
                np.array([hit_rate]),
                len(ya),
                coef[None],
                int(self.H),
                R1s,
                R2s,
                g1,
                np.array([gamma2]),
            )[0]
        )
        timings["score"] = time.perf_counter() - start

        self._store(plan, choice, coef, lo, hi, names)
        self.mdl_score_ = mdl
        self.hit_rate_ = hit_rate
        self.gibbs_ = gibbs
        self.mcmc_energy_ = energy
        self.mcmc_start_energy_ = start_energy
        if robust is not None:
            # A robust fit's noise level is its robust residual scale: the
            # weighted residuals of the biweight understate it.
            self.sigma_ = robust.scale
            # Per training sample, those of sample weight 0 included: the
            # biweight of their residual from the polynomial at the robust scale.
            self.weights_ = robust.weights
            if len(X_given) != len(ya):
                fitted = _design(self.multi_indices_, (X_given - center) / half) @ coef
                self.weights_ = tukey_weights(y_given - fitted, robust.scale)
            self.inlier_mask_ = self.weights_ > 0.0
            self.scale_ = robust.scale
            self.n_iter_ = robust.n_iter
        return self

    def _plan(self, n_samples: int, n_features: int, multi: bool) -> Plan:
        """The checks that need the data's shape, then the candidate degrees
        and the widest basis with its penalties."""
        if n_samples < 2:
            raise ValueError(f"n_samples={n_samples}: at least 2 samples are required")
        if multi and self.method == "mcmc":
            raise ValueError(
                f"method={self.method!r} fits one target at a time; pass y of shape "
                "(n_samples,) for each column"
            )
        D = n_features
        candidates = self._degree_candidates(D)
        n_grid = (600 if D == 1 else 30) if self.n_grid is None else int(self.n_grid)
        if n_grid <= max(max(c) for c in candidates) and D > 1:
            raise ValueError(f"n_grid={n_grid} must exceed the degree of every axis")
        start = time.perf_counter()
        widest = [max(c[d] for c in candidates) for d in range(D)]
        if self.degree is None and D > AUTO_MAX_FEATURES:
            R1, R2, mi_all = _affine_penalties(D, n_grid)
        else:
            R1, R2, mi_all = _penalties(widest, n_grid)
        timings = {"penalties": time.perf_counter() - start}
        return Plan(candidates, mi_all, R1, R2, timings)

    def _coef_columns(
        self, choice: Choice, Phi_w: NDArray[np.float64], Y_w: NDArray[np.float64]
    ) -> NDArray[np.float64]:
        """Coefficients (t, k) of every target column given the chosen basis."""
        model = choice.model
        assert isinstance(model, ColumnFits)
        no_penalty = choice.path.rank == 0 and float(self.gamma1) == 0.0
        if self.method == "ols" or (self.gamma2 == "auto" and no_penalty):
            # The minimum-norm least-squares fit of each column, as for one target.
            return np.array([_core.ols(Phi_w, Y_w[:, j]) for j in range(Y_w.shape[1])])
        # Chosen or given weights: all columns from the one decomposition of
        # the basis (the same normal equations as the native solve).
        return model.coef

    def _store(
        self,
        plan: Plan,
        choice: Choice,
        coef: NDArray[np.float64],
        lo: NDArray[np.float64],
        hi: NDArray[np.float64],
        names: NDArray[np.object_] | None,
    ) -> None:
        """Set the fitted attributes shared by every way of fitting."""
        model, path = choice.model, choice.path
        self.coef_ = coef
        self.multi_indices_ = [plan.mi_all[i] for i in choice.idx]
        self.degrees_ = list(choice.degrees)
        if isinstance(model, ColumnFits):
            self.gamma2_ = np.zeros(len(coef)) if self.method == "ols" else model.gamma2.copy()
            self.edf_ = model.edf
            self.sigma_ = model.sigma
            self._cov_factor = None
            self._cov_T, self._cov_d = model.cov_T, model.cov_d
        else:
            self.gamma2_ = 0.0 if self.method == "ols" else float(model.gamma2)
            self.edf_ = model.edf
            self.sigma_ = model.sigma
            self._cov_factor = model.cov_factor
        self._dof = float(path.n) - model.edf
        self._cov_stack = None
        self._store_box(plan, lo, hi, names)

    def _store_box(
        self,
        plan: Plan,
        lo: NDArray[np.float64],
        hi: NDArray[np.float64],
        names: NDArray[np.object_] | None,
    ) -> None:
        """Set the attributes of the inputs and the run, and clear the robust ones."""
        center, half = scaling(lo, hi)
        self.x_center_ = center
        self.x_half_range_ = half
        self.x_min_, self.x_max_ = lo, hi
        self.n_features_in_ = len(lo)
        if names is not None:
            self.feature_names_in_ = names
        elif hasattr(self, "feature_names_in_"):
            del self.feature_names_in_
        self.timings_ = plan.timings
        for name in ("weights_", "inlier_mask_", "scale_", "n_iter_"):
            if hasattr(self, name):
                delattr(self, name)

    def _choose(
        self,
        plan: Plan,
        stats_all: Sufficient,
        candidates: list[list[int]] | None = None,
        fast: bool = False,
    ) -> Choice:
        """The degree vector and curvature weight of lowest criterion, with its
        fit; with several targets, by the criterion summed over the columns.
        `candidates` replaces the plan's degree vectors; `fast` picks a single
        target's weight on a fine grid without refinement."""
        exps = np.asarray(plan.mi_all)
        R1, R2 = plan.R1, plan.R2
        t = stats_all.n_targets
        ols = self.method == "ols"
        best: tuple[float, Choice] | None = None
        for degrees in plan.candidates if candidates is None else candidates:
            idx = np.flatnonzero(np.all(exps <= np.asarray(degrees), axis=1))
            whole = len(idx) == len(plan.mi_all)
            stats = stats_all if whole else stats_all.subset(idx)
            R1s = R1 if whole else submatrix(R1, idx)
            R2s = R2 if whole else submatrix(R2, idx)
            lams: NDArray[np.float64] | None = None
            value: float | None
            if ols:
                # No penalty: degrees compare by cross-validation of the plain fit.
                path = SmoothingPath(stats, fixed_part(stats, None, 0.0, 0.0), 0.0 * R2s)
                lam, value = 0.0, None
                kind: Criterion = "gcv"
            else:
                fixed = fixed_part(stats, R1s, float(self.gamma1), float(self.ridge))
                path = SmoothingPath(stats, fixed, stats.n * R2s)
                kind = self.criterion
                if self.gamma2 != "auto":
                    lam, value = float(self.gamma2), None
                elif path.rank == 0 or stats.n <= path.m0:
                    # Nothing to choose: the penalty is void or the data cannot
                    # tell its weight; the affine part is fitted exactly.
                    lam, value = (0.0 if path.rank == 0 else 1.0), math.inf
                elif t is None and fast:
                    lam, value = grid_select(path, self.criterion)
                elif t is None:
                    lam, value = path.select(self.criterion)
                else:
                    lam, value = math.nan, None
                    lams, values = path.select_columns(
                        self.criterion, shared=not self.gamma2_per_target
                    )
            model: PenalizedFit | ColumnFits
            if t is None:
                if value is None:
                    value = float(path.criterion(lam if ols else max(lam, 1e-300), kind))
                model, total = path.fit(lam, value), value
            else:
                if lams is None:
                    lams = np.full(t, lam)
                    at = lams if ols else np.maximum(lams, 1e-300)
                    values = (
                        np.full(t, value) if value is not None else path.criterion(at, kind, True)
                    )
                model, total = path.fit_columns(lams, values), float(values.sum())
            if best is None or total < best[0]:
                best = (total, Choice(degrees, idx, R1s, R2s, path, model))
        assert best is not None
        return best[1]

    def _fit_robust(
        self,
        plan: Plan,
        Phi_all: NDArray[np.float64],
        y: NDArray[np.float64],
        w: NDArray[np.float64] | None,
        first: Choice,
    ) -> tuple[Choice, RobustResult]:
        """The robust fit; degree and curvature weight re-chosen on the robust
        weights, and the reported smoothing fit at the final weights."""

        def basis(choice: Choice) -> Basis:
            assert isinstance(choice.model, PenalizedFit)
            return Basis(choice.degrees, choice.idx, choice.path, choice.model)

        def choose(weights: NDArray[np.float64] | None) -> Basis:
            return basis(self._choose(plan, Sufficient.from_design(Phi_all, y, weights), fast=True))

        settings = SearchSettings(H=int(self.H), seed=splitmix64(int(self.seed)))
        g1, ridge = float(self.gamma1), float(self.ridge)
        R1, R2 = plan.R1, plan.R2
        chosen, res = fit_robust(Phi_all, y, w, R1, R2, choose, basis(first), g1, ridge, settings)
        idx = chosen.idx
        weights = res.weights if w is None else res.weights * w
        stats = Sufficient.from_design(Phi_all[:, idx], y, weights)
        R1s, R2s = submatrix(R1, idx), submatrix(R2, idx)
        path = SmoothingPath(stats, fixed_part(stats, R1s, g1, ridge), stats.n * R2s)
        model = path.fit(chosen.model.gamma2)
        return Choice(chosen.degrees, idx, R1s, R2s, path, model), res

    def _fit_robust_columns(
        self,
        plan: Plan,
        Phi_all: NDArray[np.float64],
        Y: NDArray[np.float64],
        w: NDArray[np.float64] | None,
        box: tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.object_] | None],
        given: tuple[NDArray[np.float64], NDArray[np.float64]],
    ) -> None:
        """The robust fit of every column of Y on its own (weights, scale and
        curvature weight per column), reported in the smallest basis that holds
        every column's chosen degrees; terms a column does not use are 0."""
        start = time.perf_counter()
        fits = []
        for j in range(Y.shape[1]):
            y = Y[:, j]
            stats = Sufficient.from_design(Phi_all, y, w)
            first = self._choose(plan, stats, plan.candidates[-1:], fast=True)
            fits.append(self._fit_robust(plan, Phi_all, y, w, first))
        exps = np.asarray(plan.mi_all)
        degrees = np.max([choice.degrees for choice, _ in fits], axis=0)
        idx = np.flatnonzero(np.all(exps <= degrees, axis=1))
        where = {int(term): i for i, term in enumerate(idx)}
        t, k = Y.shape[1], len(idx)
        coef, stack = np.zeros((t, k)), np.zeros((t, k, k))
        for j, (choice, res) in enumerate(fits):
            rows = [where[int(term)] for term in choice.idx]
            coef[j, rows] = res.coef
            assert isinstance(choice.model, PenalizedFit)
            stack[j, rows, : len(rows)] = choice.model.cov_factor
        plan.timings["robust fit"] = time.perf_counter() - start

        start = time.perf_counter()
        models = [choice.model for choice, _ in fits]
        gamma2 = np.array([m.gamma2 for m in models])
        R1s, R2s = submatrix(plan.R1, idx), submatrix(plan.R2, idx)
        Phi = Phi_all[:, idx]
        scores, hits = column_scores(
            Phi,
            Y,
            coef,
            int(self.H),
            R1s,
            R2s,
            float(self.gamma1),
            gamma2,
        )
        plan.timings["score"] = time.perf_counter() - start

        lo, hi, names = box
        self._store_box(plan, lo, hi, names)
        self.coef_ = coef
        self.multi_indices_ = [plan.mi_all[i] for i in idx]
        self.degrees_ = degrees.tolist()
        self.gamma2_ = gamma2
        self.edf_ = np.array([m.edf for m in models])
        scale = np.array([res.scale for _, res in fits])
        self.scale_, self.sigma_ = scale, scale.copy()
        self.n_iter_ = np.array([res.n_iter for _, res in fits])
        self._dof = np.array([choice.path.n for choice, _ in fits]) - self.edf_
        self._cov_factor, self._cov_stack = None, stack
        self.mdl_score_, self.hit_rate_ = scores, hits
        self.gibbs_ = self.mcmc_energy_ = self.mcmc_start_energy_ = None
        # Robust weights of every given row, those of sample weight 0 included.
        X_given, Y_given = given
        center, half = scaling(lo, hi)
        resid = Y_given - _design(self.multi_indices_, (X_given - center) / half) @ coef.T
        safe = np.where(scale > 0.0, scale, 1.0)
        weights = tukey_weights(resid, safe)
        self.weights_ = np.where(scale > 0.0, weights, (resid == 0.0).astype(float))
        self.inlier_mask_ = self.weights_ > 0.0

    def _refine_mcmc(
        self,
        Phi: NDArray[np.float64],
        y: NDArray[np.float64],
        start: NDArray[np.float64],
        R1: NDArray[np.float64],
        R2: NDArray[np.float64],
        gamma2: float,
    ) -> tuple[NDArray[np.float64], dict[str, float], float, float]:
        # The sampler's chains start at random points near the origin, so it
        # searches for a correction to the penalised fit, on residuals divided by
        # their median absolute deviation: its steps and its hit tolerance are
        # then relative to the noise, and the penalties act on the correction.
        resid = y - Phi @ start
        spread = _core.mad(resid)
        spread = spread if spread > 0 else 1.0
        target = resid / spread
        sampler = _core.TournamentMCMC(
            int(self.n_chains),
            int(self.n_warmup),
            int(self.n_deep),
            int(self.n_elite),
            float(self.step_size),
            int(self.H),
            splitmix64(int(self.seed)),
        )
        res = sampler.fit(Phi, target, R1, R2, float(self.gamma1), gamma2)
        g = res.gibbs
        gibbs = {
            "H": g.H,
            "Hmax": g.Hmax,
            "He": g.He,
            "r_heat": g.r_heat,
            "var_E": g.var_E,
            "T": g.T,
        }
        # Keep the penalised fit when the search found nothing better.
        start_energy = _core.mdl_score(np.zeros_like(target), target, len(start), int(self.H))
        if res.energy < start_energy:
            return start + spread * np.array(res.beta_mcmc), gibbs, res.energy, start_energy
        return start, gibbs, start_energy, start_energy

    # -- prediction ---------------------------------------------------------

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "coef_")

    def _check_fitted(self) -> None:
        if not hasattr(self, "coef_"):
            raise _not_fitted_error()(
                f"This {type(self).__name__} instance is not fitted yet; call 'fit' first"
            )

    def _check_predict_X(self, X: ArrayLike) -> NDArray[np.float64]:
        self._check_fitted()
        names = _feature_names(X)
        fitted = getattr(self, "feature_names_in_", None)
        owner = type(self).__name__
        if fitted is not None and names is None:
            warnings.warn(
                f"X does not have valid feature names, but {owner} was fitted with feature names",
                UserWarning,
                stacklevel=3,
            )
        elif fitted is None and names is not None:
            warnings.warn(
                f"X has feature names, but {owner} was fitted without feature names",
                UserWarning,
                stacklevel=3,
            )
        elif fitted is not None and names is not None and not np.array_equal(fitted, names):
            raise ValueError(
                "The feature names should match those that were passed during fit.\n"
                f"Fitted with: {list(fitted)}\nGot: {list(names)}"
            )
        Xa = _check_X(X)
        if Xa.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {Xa.shape[1]} features, but {owner} is expecting "
                f"{self.n_features_in_} features as input"
            )
        return Xa

    def _rows(self, Xa: NDArray[np.float64]) -> NDArray[np.float64]:
        """Rows a with prediction a @ coef_ under the extrapolation mode: the basis
        at the point, or at its nearest point of the training box plus the
        linear continuation from there."""
        mode = self.extrapolation
        scale = self.x_half_range_
        if mode == "continue":
            return _design(self.multi_indices_, (Xa - self.x_center_) / scale)
        outside = (Xa < self.x_min_) | (Xa > self.x_max_)
        if mode == "error" and outside.any():
            dims = np.flatnonzero(outside.any(axis=0)).tolist()
            raise ValueError(
                f"X has {int(outside.any(axis=1).sum())} row(s) outside the training range "
                f"in feature(s) {dims}, and extrapolation='error'"
            )
        P = (np.clip(Xa, self.x_min_, self.x_max_) - self.x_center_) / scale
        A = _design(self.multi_indices_, P)
        if mode == "linear" and outside.any():
            rows = np.flatnonzero(outside.any(axis=1))
            # Differences of scaled coordinates, halved first against overflow.
            delta = (Xa[rows] / 2.0 - np.clip(Xa[rows], self.x_min_, self.x_max_) / 2.0) / (
                scale / 2.0
            )
            for axis in range(Xa.shape[1]):
                step = delta[:, axis]
                if np.any(step != 0.0):
                    grad = _design_derivative(self.multi_indices_, P[rows], axis)
                    A[rows] += step[:, None] * grad
        return A

    @overload
    def predict(self, X: ArrayLike, return_std: Literal[False] = ...) -> NDArray[np.float64]: ...

    @overload
    def predict(
        self, X: ArrayLike, return_std: Literal[True]
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

    def predict(
        self, X: ArrayLike, return_std: bool = False
    ) -> NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Predicted values for samples X of shape (n_samples, n_features).

        With `return_std`, also the predictive standard deviation of a new
        observation (noise included), from the penalised fit's posterior
        covariance and the residual scale `sigma_`. A fit to several targets
        predicts shape (n_samples, n_targets), for both. A Dask array X gives
        Dask arrays, computed block by block on the workers.
        """
        if _is_dask(X):
            from zorp import _dask

            lazy: NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.float64]]
            lazy = _dask.predict(self, X, return_std)
            return lazy
        A = self._rows(self._check_predict_X(X))
        mean = A @ (np.ascontiguousarray(self.coef_.T) if self.coef_.ndim == 2 else self.coef_)
        if not return_std:
            return mean
        return mean, self.sigma_ * np.sqrt(1.0 + self._spread(A))

    def _spread(self, A: NDArray[np.float64]) -> NDArray[np.float64]:
        """Variance of the fitted values at basis rows A in units of sigma_^2:
        diag(A V V' A') for the posterior covariance factor V of each target."""
        if self.coef_.ndim == 1:
            assert self._cov_factor is not None
            B = A @ self._cov_factor
            out: NDArray[np.float64] = np.einsum("ij,ij->i", B, B)
            return out
        stack: NDArray[np.float64] | None = getattr(self, "_cov_stack", None)
        if stack is not None:
            # One factor per column (robust fits: each its own weighted problem).
            B = np.einsum("ij,tjk->itk", A, stack)
            out = np.einsum("itk,itk->it", B, B)
            return out
        out = (A @ self._cov_T) ** 2 @ (1.0 / self._cov_d).T
        return out

    def predict_interval(self, X: ArrayLike, level: float = 0.95) -> NDArray[np.float64]:
        """Prediction interval of a new observation: lower, upper along the
        last axis, shape (n_samples, 2), or (n_samples, n_targets, 2)."""
        if not isinstance(level, float | int) or not 0.0 < level < 1.0:
            raise ValueError(f"level must be a number in the open interval (0, 1), got {level!r}")
        mean, std = self.predict(X, return_std=True)
        if isinstance(self._dof, np.ndarray):
            qs = np.array([_t_quantile(0.5 + level / 2.0, float(v)) for v in self._dof])
            return np.stack([mean - qs * std, mean + qs * std], axis=-1)
        q = _t_quantile(0.5 + level / 2.0, self._dof)
        return np.column_stack([mean - q * std, mean + q * std])

    def score(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> float:
        """Coefficient of determination R^2 of the prediction (weighted by
        `sample_weight`); for several targets, the mean of the columns' R^2."""
        ya = _as_float_array(y, "y")
        yp = self.predict(X)
        ya = ya.ravel() if yp.ndim == 1 else ya
        if ya.shape != yp.shape:
            raise ValueError(
                f"X and y have inconsistent numbers of samples: {yp.shape[0]} and {ya.shape[0]}"
            )
        w = _check_weights(sample_weight, len(ya))
        w = np.ones(len(ya)) if w is None else w
        if yp.ndim == 2:
            w = w[:, None]
        mean = np.sum(w * ya, axis=0) / np.sum(w)
        ss_res = np.sum(w * (ya - yp) ** 2, axis=0)
        ss_tot = np.sum(w * (ya - mean) ** 2, axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            r2 = np.where(ss_tot == 0.0, np.where(ss_res == 0.0, 1.0, 0.0), 1.0 - ss_res / ss_tot)
        return float(np.mean(r2))
