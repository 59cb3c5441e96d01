"""Scikit-learn-style estimator over the native core."""

from __future__ import annotations

import inspect
import numbers
import sys
import time
import warnings
from collections.abc import Sequence
from typing import Any, Literal, Self

import numpy as np
from numpy.typing import ArrayLike, NDArray

from zorp._native import zorp_core as _core

Method = Literal["penalized", "ols", "mcmc"]
METHODS: tuple[str, ...] = ("penalized", "ols", "mcmc")

# Largest tensor-product basis the automatic degree choice builds, and the
# largest one accepted at all (the fit solves an M x M system).
AUTO_MAX_TERMS = 1024
MAX_TERMS = 4096
AUTO_MAX_DEGREE = 3


class NotFittedError(ValueError, AttributeError):
    """Raised when a method that needs a fitted estimator is called before `fit`."""


_SUBCLASSES: dict[tuple[type[Exception], type], type[Exception]] = {}


def _interoperable(error: type[Exception], module: str) -> type[Exception]:
    """`error`, also made a subclass of the same-named class of `module` when that
    module is already loaded, so scikit-learn's tools recognise it."""
    peer = getattr(sys.modules.get(module), error.__name__, None)
    if not isinstance(peer, type) or issubclass(error, peer):
        return error
    key = (error, peer)
    if key not in _SUBCLASSES:
        _SUBCLASSES[key] = type(error.__name__, (error, peer), {"__module__": error.__module__})
    return _SUBCLASSES[key]


class DataConversionWarning(UserWarning):
    """Warns that input data was reshaped or converted to fit the expected form."""


def auto_degree(n_features: int) -> int:
    """Per-dimension degree used when `degree=None`.

    Cubic while the tensor-product basis stays within AUTO_MAX_TERMS terms,
    otherwise the largest degree that does (0 from 11 input dimensions on).
    """
    d = AUTO_MAX_DEGREE
    while d > 0 and (d + 1) ** n_features > AUTO_MAX_TERMS:
        d -= 1
    return d


def _as_float_array(a: ArrayLike, name: str) -> NDArray[np.float64]:
    if a is None:
        raise ValueError(f"{name} is None; expected an array-like of numbers")
    if hasattr(a, "toarray") or type(a).__module__.startswith("scipy.sparse"):
        raise TypeError(f"{name} is a sparse matrix; pass a dense array (e.g. {name}.toarray())")
    arr = np.asarray(a)
    if np.iscomplexobj(arr):
        raise ValueError(f"Complex data not supported in {name}")
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


def _check_X(X: ArrayLike) -> NDArray[np.float64]:
    arr = _as_float_array(X, "X")
    if arr.ndim != 2:
        raise ValueError(
            f"Expected a 2-D array X of shape (n_samples, n_features), got {arr.ndim}-D. "
            "Reshape your data, e.g. X.reshape(-1, 1) for a single feature"
        )
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
        Degree per input dimension. None picks cubic, lowered so that the
        tensor-product basis has at most 1024 terms.
    gamma1, gamma2 : float
        Weights of the gradient and curvature penalties, per observation.
    ridge : float
        Value added to the diagonal of the normal equations.
    n_grid : int or None
        Grid points per axis for the penalty sums.
    method : {"penalized", "ols", "mcmc"}
        "penalized" solves the penalised normal equations; "ols" is the
        minimum-norm least-squares fit (no penalty); "mcmc" refines the
        penalised fit with the tournament sampler: it searches for the
        correction of lowest description length, which counts robust hits and
        so discounts outliers, and keeps the penalised fit if none is better.
    n_chains, n_warmup, n_deep, n_elite, step_size, H, seed
        Settings of the sampler ("mcmc") and the description-length score (`H`).
        The search runs on the penalised fit's residuals divided by their median
        absolute deviation, so `step_size` is relative to the noise level.

    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,)
        Coefficients, ordered like `multi_indices_`, in scaled coordinates.
    multi_indices_ : list of list of int
        Exponents per input dimension of every basis term.
    x_center_, x_half_range_ : ndarray of shape (n_features,)
        The affine map: scaled = (X - x_center_) / x_half_range_.
    degrees_ : list of int
        Degree per input dimension actually used.
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
    n_features_in_ : int
        Number of input dimensions seen in `fit`.
    timings_ : dict of str to float
        Wall time in seconds of each stage of the last fit.
    """

    def __init__(
        self,
        degree: int | Sequence[int] | None = None,
        *,
        gamma1: float = 0.0,
        gamma2: float = 1e-6,
        ridge: float = 1e-10,
        n_grid: int | None = None,
        method: Method = "penalized",
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
            target_tags=TargetTags(required=True),
            regressor_tags=RegressorTags(),
            input_tags=InputTags(),
        )

    _estimator_type = "regressor"

    # -- fitting ------------------------------------------------------------

    def _validate_params(self, n_features: int) -> tuple[list[int], int]:
        if self.method not in METHODS:
            raise ValueError(f"method must be one of {METHODS}, got {self.method!r}")
        if self.degree is None:
            degrees = [auto_degree(n_features)] * n_features
        elif isinstance(self.degree, numbers.Integral) and not isinstance(self.degree, bool):
            degrees = [int(self.degree)] * n_features
        else:
            try:
                degrees = [int(d) for d in self.degree]  # type: ignore[union-attr]
            except (TypeError, ValueError):
                raise ValueError(
                    f"degree must be an int or a sequence of ints, got {self.degree!r}"
                ) from None
            if len(degrees) != n_features:
                raise ValueError(
                    f"degree has {len(degrees)} entries but X has {n_features} features"
                )
        if any(d < 0 for d in degrees):
            raise ValueError(f"degree must be non-negative, got {degrees}")
        n_terms = int(np.prod([d + 1 for d in degrees], dtype=object))
        if n_terms > MAX_TERMS:
            raise ValueError(
                f"the tensor-product basis of degrees {degrees} has {n_terms} terms; "
                f"at most {MAX_TERMS} are supported, lower the degree"
            )
        default_grid = 600 if n_features == 1 else 30
        n_grid = default_grid if self.n_grid is None else self.n_grid
        if not isinstance(n_grid, numbers.Integral) or n_grid < 2:
            raise ValueError(f"n_grid must be an int >= 2, got {self.n_grid!r}")
        for name in ("gamma1", "gamma2", "ridge", "step_size"):
            value = getattr(self, name)
            if not isinstance(value, numbers.Real) or not np.isfinite(value):
                raise ValueError(f"{name} must be a finite number, got {value!r}")
        return degrees, int(n_grid)

    def _basis(self, Xs: NDArray[np.float64]) -> NDArray[np.float64]:
        if Xs.shape[1] == 1:
            return _core.design_matrix_1d(self.degrees_[0], Xs[:, 0])
        cols = [np.ascontiguousarray(Xs[:, d]) for d in range(Xs.shape[1])]
        return _core.design_matrix_nd(self.multi_indices_, cols)

    def _penalties(
        self, degrees: list[int], n_grid: int
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], list[list[int]]]:
        D = len(degrees)
        if D == 1:
            R1, R2 = _core.smoothness_penalty_matrices_1d(degrees[0], -1.0, 1.0, n_grid)
            return R1, R2, [[p] for p in range(degrees[0] + 1)]
        if all(d == 0 for d in degrees):
            # A constant has no derivative: skip the grid altogether.
            return np.zeros((1, 1)), np.zeros((1, 1)), [[0] * D]
        return _core.build_penalty_matrices_nd(degrees, [(-1.0, 1.0)] * D, n_grid)

    def _scale(self, X: NDArray[np.float64]) -> NDArray[np.float64]:
        return (X - self.x_center_) / self.x_half_range_

    def fit(self, X: ArrayLike, y: ArrayLike) -> Self:
        """Fit the model to samples X of shape (n_samples, n_features) and targets y."""
        Xa = _check_X(X)
        if y is None:
            raise ValueError(
                f"{type(self).__name__} requires y to be passed, but the target y is None"
            )
        ya = _as_float_array(y, "y")
        if ya.ndim == 2 and ya.shape[1] == 1:
            warnings.warn(
                DataConversionWarning(
                    "A column-vector y was passed when a 1d array was expected; "
                    "it was flattened to shape (n_samples,)"
                ),
                stacklevel=2,
            )
            ya = ya[:, 0]
        if ya.ndim != 1:
            raise ValueError(f"y should be a 1d array, got an array of shape {ya.shape}")
        if ya.shape[0] != Xa.shape[0]:
            raise ValueError(
                f"X and y have inconsistent numbers of samples: {Xa.shape[0]} and {ya.shape[0]}"
            )
        if Xa.shape[0] < 2:
            raise ValueError(f"n_samples=1: at least 2 samples are required, got {Xa.shape[0]}")
        _check_finite(ya, "y")
        degrees, n_grid = self._validate_params(Xa.shape[1])

        lo, hi = Xa.min(axis=0), Xa.max(axis=0)
        half = (hi - lo) / 2.0
        self.x_center_ = (hi + lo) / 2.0
        self.x_half_range_ = np.where(half > 0.0, half, 1.0)
        self.degrees_ = degrees
        self.n_features_in_ = Xa.shape[1]

        timings: dict[str, float] = {}
        start = time.perf_counter()
        R1, R2, multi_indices = self._penalties(degrees, n_grid)
        self.multi_indices_ = [list(mi) for mi in multi_indices]
        timings["penalties"] = time.perf_counter() - start

        start = time.perf_counter()
        Phi = self._basis(self._scale(Xa))
        timings["design matrix"] = time.perf_counter() - start

        self.gibbs_: dict[str, float] | None = None
        self.mcmc_energy_: float | None = None
        self.mcmc_start_energy_: float | None = None
        start = time.perf_counter()
        if self.method == "ols":
            coef = _core.ols(Phi, ya)
        elif self.method == "penalized":
            coef = _core.fit_regularized_linear(
                Phi, ya, R1, R2, float(self.gamma1), float(self.gamma2), float(self.ridge)
            )
        else:
            coef = self._fit_mcmc(Phi, ya, R1, R2)
        self.coef_ = np.asarray(coef, dtype=np.float64)
        timings[f"{self.method} fit"] = time.perf_counter() - start

        start = time.perf_counter()
        yp = Phi @ self.coef_
        k = len(self.coef_)
        self.mdl_score_ = _core.mdl_score_reg(
            yp, ya, k, int(self.H), self.coef_, R1, R2, float(self.gamma1), float(self.gamma2)
        )
        m = _core.mad(ya)
        self.hit_rate_ = _core.compute_sr(yp, ya, 0.4 * m if m > 0 else 0.4)
        timings["score"] = time.perf_counter() - start
        self.timings_ = timings
        return self

    def _fit_mcmc(
        self,
        Phi: NDArray[np.float64],
        y: NDArray[np.float64],
        R1: NDArray[np.float64],
        R2: NDArray[np.float64],
    ) -> NDArray[np.float64]:
        # The sampler's chains start at random points near the origin, so it
        # searches for a correction to the penalised fit, on residuals divided by
        # their median absolute deviation: its steps and its hit tolerance are
        # then relative to the noise, and the penalties act on the correction.
        g1, g2 = float(self.gamma1), float(self.gamma2)
        start = _core.fit_regularized_linear(Phi, y, R1, R2, g1, g2, float(self.ridge))
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
            int(self.seed),
        )
        res = sampler.fit(Phi, target, R1, R2, g1, g2)
        g = res.gibbs
        self.gibbs_ = {
            "H": g.H,
            "Hmax": g.Hmax,
            "He": g.He,
            "r_heat": g.r_heat,
            "var_E": g.var_E,
            "T": g.T,
        }
        # Keep the penalised fit when the search found nothing better.
        start_energy = _core.mdl_score(np.zeros_like(target), target, len(start), int(self.H))
        self.mcmc_start_energy_ = start_energy
        if res.energy < start_energy:
            self.mcmc_energy_ = res.energy
            return start + spread * np.array(res.beta_mcmc)
        self.mcmc_energy_ = start_energy
        return start

    # -- prediction ---------------------------------------------------------

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "coef_")

    def _check_fitted(self) -> None:
        if not hasattr(self, "coef_"):
            error = _interoperable(NotFittedError, "sklearn.exceptions")
            raise error(f"This {type(self).__name__} instance is not fitted yet; call 'fit' first")

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """Predicted values for samples X of shape (n_samples, n_features)."""
        self._check_fitted()
        Xa = _check_X(X)
        if Xa.shape[1] != self.n_features_in_:
            raise ValueError(
                f"X has {Xa.shape[1]} features, but {type(self).__name__} is expecting "
                f"{self.n_features_in_} features as input"
            )
        return self._basis(self._scale(Xa)) @ self.coef_

    def score(self, X: ArrayLike, y: ArrayLike) -> float:
        """Coefficient of determination R^2 of the prediction."""
        ya = _as_float_array(y, "y").ravel()
        yp = self.predict(X)
        if ya.shape != yp.shape:
            raise ValueError(
                f"X and y have inconsistent numbers of samples: {yp.shape[0]} and {ya.shape[0]}"
            )
        ss_res = float(np.sum((ya - yp) ** 2))
        ss_tot = float(np.sum((ya - ya.mean()) ** 2))
        if ss_tot == 0.0:
            return 1.0 if ss_res == 0.0 else 0.0
        return 1.0 - ss_res / ss_tot
