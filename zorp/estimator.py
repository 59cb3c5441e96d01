"""The scikit-learn face of zorp: parameters, validation at the public
boundary, and fitted attributes read from the one `FittedModel` of a fit."""

from __future__ import annotations

import functools
import inspect
import sys
import warnings
from collections.abc import Sequence
from typing import Any, Literal, Self, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from zorp import adaptive, fitting, shape
from zorp._progress import Progress
from zorp._validation import (
    DataConversionWarning,
    as_float_array,
    check_finite,
    check_weights,
    check_X,
    check_y,
    feature_names,
    is_dask,
)
from zorp._version import __version__
from zorp.bases import BASES, BasisKind
from zorp.fitting import METHODS, FitOptions, Method, splitmix64
from zorp.model import (
    BAND_KINDS,
    EXTRAPOLATIONS,
    BandKind,
    Derivative,
    FittedModel,
    derivative_orders,
)
from zorp.params import (
    INT32_MAX,
    UINT64_MAX,
    Accepted,
    Degrees,
    Interval,
    Options,
    Rule,
    check_params,
)
from zorp.robust import SamplerSettings
from zorp.smoothing import CRITERIA
from zorp.sources import ArraySource, block_rows
from zorp.summary import Summary, summarize

__all__ = [
    "METHODS",
    "DataConversionWarning",
    "InconsistentVersionWarning",
    "NotFittedError",
    "SmoothPolynomialRegressor",
    "splitmix64",
]

_RULES: dict[str, list[Rule]] = {
    "degree": [Options((None,)), Degrees(high=INT32_MAX - 1)],
    "basis": [Options(tuple(BASES))],
    "gamma1": [Interval("real", 0.0)],
    "gamma2": [Options(("auto",)), Interval("real", 0.0)],
    "ridge": [Interval("real", 0.0)],
    "n_grid": [Options((None,)), Interval("int", 2, INT32_MAX)],
    "method": [Options(METHODS)],
    "criterion": [Options(CRITERIA)],
    "adaptive": [Options((True, False))],
    "gamma2_per_target": [Options((True, False))],
    "extrapolation": [Options(EXTRAPOLATIONS)],
    "n_chains": [Interval("int", 1, INT32_MAX)],
    "n_warmup": [Interval("int", 0, INT32_MAX)],
    "n_deep": [Interval("int", 0, INT32_MAX)],
    "n_elite": [Interval("int", 0, INT32_MAX)],
    "step_size": [Interval("real", 0.0, open_low=True)],
    "H": [Interval("int", 1, INT32_MAX)],
    "seed": [Interval("int", 0, UINT64_MAX)],
    "verbose": [Options((True, False)), Interval("int", 0, INT32_MAX)],
    "shape": [Accepted(shape.is_valid, shape.describe())],
}


class InconsistentVersionWarning(UserWarning):
    """An estimator was unpickled by another version of zorp than the one
    that pickled it: its fit may load wrongly or predict differently."""

    def __init__(self, estimator_name: str, original_version: str | None, current_version: str):
        self.estimator_name = estimator_name
        self.original_version = original_version
        self.current_version = current_version
        super().__init__(
            f"{estimator_name} was pickled by zorp {original_version or '(unknown version)'} "
            f"and is loaded by zorp {current_version}; this may not work as it did: "
            "refit it with this version"
        )


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


class SmoothPolynomialRegressor:
    """Smooth polynomial regression, penalised for roughness.

    Every input dimension is mapped affinely onto [-1, 1] using the training
    data's range; the model is the full tensor-product polynomial of the
    per-dimension degrees in those scaled coordinates, in the Legendre basis
    (the default: orthogonal, so well conditioned at any degree) or in powers.
    The penalties integrate the squared first derivatives (weight `gamma1`)
    and second derivatives (weight `gamma2`) of the fitted function over the
    scaled box [-1, 1]^D: exactly in the Legendre basis; in the power basis
    summed on an equally spaced grid of `n_grid` points per axis (by default
    600 in one dimension, 30 in several).

    Parameters
    ----------
    degree : int, sequence of int or None
        Degree per input dimension. None (the default) chooses it by
        `criterion`. In the Legendre basis: in one dimension among a few
        sizes up to 100, the penalty doing the smoothing; in several, the same
        degree on every axis, up to 15 and within 512 terms. In the power
        basis: up to 15 in one dimension, up to 8 per axis within 512 terms in
        several. Never above an axis's number of distinct values less one (nor,
        in the power basis, the penalty grid less one); degree 1 is always
        allowed; beyond 10 input dimensions the basis is affine (a constant and
        one term per input).
    basis : {"legendre", "power"}
        The polynomials of each axis: Legendre polynomials P_0 ... P_d of the
        scaled input (the default), or its powers 1, u, ..., u^d.
    gamma1 : float
        Weight of the gradient penalty, per observation.
    gamma2 : "auto" or float
        Weight of the curvature penalty, per observation. "auto" (the default)
        chooses it by `criterion` for every fit.
    ridge : float
        Value added to the diagonal of the normal equations.
    n_grid : int or None
        Grid points per axis for the penalty sums of the power basis; it must
        exceed a given degree. None: 600 in one dimension, 30 in several, or a
        given degree plus one where that is more. The Legendre basis does not
        use it (its penalties are exact).
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
    adaptive : bool
        Let the curvature weight vary smoothly along x (one input and one
        target, Legendre basis, "penalized" with gamma2="auto" and "reml"):
        w(x) is a sum of a few smooth bumps, each with its own weight chosen
        by restricted likelihood, kept only where that gain pays for the extra
        weights, so that curves with a spike, a step or a chirp are fitted
        closely there and smoothly elsewhere. True by default.
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
    verbose : bool or int
        Print the fit's stages on stderr, one line each starting "[zorp] ":
        the passes over the rows with their row counts (each pass of a Dask
        fit), every degree candidate with its criterion value, the chosen
        degree and curvature weight, the varying-weight search, the robust
        fit's scale, reweighted solves and passes, and the seconds taken.
        False or 0 (the default) prints nothing; 2 also shows the degree
        candidates the robust fit compares on its weights. The fit is the
        same either way.
    shape : None, str or sequence of (str or None)
        Constrain the fitted function over the whole training box:
        "increasing" or "decreasing" (the first derivative keeps its sign),
        "convex" or "concave" (the second derivative keeps its sign). One
        value applies to every input; a sequence gives one entry per input,
        None leaving that input free, e.g. ("increasing", None). The
        curvature weight is chosen as without the constraint; in one input,
        where the constraint binds, larger degrees compete by the
        cross-validation of their constrained fits. With one input the shape
        holds everywhere in the box (the derivative's exact minimum is
        checked); with several, on lines along each constrained axis through
        a grid of about 8 points per degree of the other axes, 32 points per
        degree along it. Intervals come from the fit restricted to its
        active constraints (the posterior projected onto their null space).
        Works with "penalized" (a varying curvature weight is kept),
        "ols" and "robust" (every reweighted solve constrained, one curvature
        weight), not with "mcmc". None (the default) leaves the fit free.

    Attributes
    ----------
    coef_ : ndarray of shape (n_terms,) or (n_targets, n_terms)
        Coefficients in the basis `basis_`, ordered like `multi_indices_`, of
        the scaled coordinates. `polynomial_` gives the 1-D curve in x units.
        With several targets `gamma2_`, `edf_`, `sigma_`, `mdl_score_` and
        `hit_rate_` are arrays of shape (n_targets,). For Dask inputs
        `mdl_score_` and `hit_rate_` are NaN (they need a median of y).
    basis_ : str
        The basis of `coef_`: "legendre" or "power".
    multi_indices_ : list of list of int
        Degree per input dimension of every basis term.
    degrees_ : list of int
        Degree per input dimension actually used.
    gamma2_ : float
        Curvature weight used (chosen or given; 0 for "ols"); where it varies
        along x, its average over the training range.
    gamma2_profile_ : ndarray of shape (n_weights, 2) or None
        Where the curvature weight varies along x (`adaptive`): the x where
        each weight function peaks, and its weight; None for one weight.
    polynomial_ : numpy.polynomial.Legendre or Polynomial (1-D inputs)
        The fitted curve in x units, with the training range as its domain
        (a list for several targets).
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

    def __init__(
        self,
        degree: int | Sequence[int] | None = None,
        *,
        basis: BasisKind = FitOptions.basis,
        gamma1: float = FitOptions.gamma1,
        gamma2: float | Literal["auto"] = FitOptions.gamma2,
        ridge: float = FitOptions.ridge,
        n_grid: int | None = FitOptions.n_grid,
        method: Method = "penalized",
        criterion: Literal["reml", "gcv"] = FitOptions.criterion,
        adaptive: bool = FitOptions.adaptive,
        gamma2_per_target: bool = FitOptions.per_target,
        extrapolation: Literal["linear", "constant", "continue", "error"] = "linear",
        n_chains: int = SamplerSettings.n_chains,
        n_warmup: int = SamplerSettings.n_warmup,
        n_deep: int = SamplerSettings.n_deep,
        n_elite: int = SamplerSettings.n_elite,
        step_size: float = SamplerSettings.step_size,
        H: int = FitOptions.H,
        seed: int = FitOptions.seed,
        verbose: bool | int = False,
        shape: str | Sequence[str | None] | None = FitOptions.shape,
    ) -> None:
        self.degree = degree
        self.basis = basis
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.ridge = ridge
        self.n_grid = n_grid
        self.method = method
        self.criterion = criterion
        self.adaptive = adaptive
        self.gamma2_per_target = gamma2_per_target
        self.extrapolation = extrapolation
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_elite = n_elite
        self.step_size = step_size
        self.H = H
        self.seed = seed
        self.verbose = verbose
        self.shape = shape

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
            if isinstance(value, FittedModel):
                if not value.same_as(theirs[key]):
                    return False
            elif isinstance(value, np.ndarray):
                if not np.array_equal(value, theirs[key]):
                    return False
            elif value != theirs[key]:
                return False
        return True

    def __hash__(self) -> int:
        # Equal estimators have equal parameters, so hashing those keeps the
        # two consistent; fitting leaves the hash as it was.
        return hash((type(self).__qualname__, repr(sorted(self.get_params().items()))))

    def __getstate__(self) -> dict[str, Any]:
        return {**vars(self), "_zorp_version": __version__}

    def __setstate__(self, state: dict[str, Any]) -> None:
        state = dict(state)
        written = state.pop("_zorp_version", None)
        if written != __version__:
            warnings.warn(
                InconsistentVersionWarning(type(self).__name__, written, __version__),
                stacklevel=2,
            )
        vars(self).update(state)

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

    def _options(self) -> FitOptions:
        """The checked parameters as the pipeline takes them."""
        check_params(type(self).__name__, self.get_params(), _RULES)
        degree = self.degree
        degrees: list[int] | int | None
        if degree is None:
            degrees = None
        elif isinstance(degree, Sequence | np.ndarray):
            degrees = [int(d) for d in degree]
        else:
            degrees = int(degree)
        gamma2 = self.gamma2 if self.gamma2 == "auto" else float(self.gamma2)
        shapes = self.shape
        if shapes is not None and not isinstance(shapes, str):
            shapes = tuple(shapes)
        return FitOptions(
            degrees=degrees,
            basis=self.basis,
            gamma1=float(self.gamma1),
            gamma2=gamma2,
            ridge=float(self.ridge),
            n_grid=None if self.n_grid is None else int(self.n_grid),
            method=self.method,
            criterion=self.criterion,
            adaptive=bool(self.adaptive),
            per_target=bool(self.gamma2_per_target),
            H=int(self.H),
            seed=int(self.seed),
            sampler=SamplerSettings(
                int(self.n_chains),
                int(self.n_warmup),
                int(self.n_deep),
                int(self.n_elite),
                float(self.step_size),
            ),
            progress=Progress(int(self.verbose)) if self.verbose else None,
            shape=shapes,
        )

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
        opts = self._options()
        source: Any
        if any(is_dask(a) for a in (X, y, sample_weight)):
            from zorp import _dask

            if opts.method not in ("penalized", "robust"):
                raise ValueError(
                    f"method={opts.method!r} needs all rows in memory; Dask inputs are fitted "
                    "with method='penalized' or 'robust'"
                )
            source, names, single = _dask.source(X, y, sample_weight, owner)
            if opts.method == "robust" and source.n_targets > 1:
                raise ValueError(
                    "method='robust' on Dask inputs fits one target at a time; pass y of "
                    "shape (n_samples,) for each column"
                )
            n = source.n_rows_hint
        else:
            names = feature_names(X)
            Xa = check_X(X)
            # Many unweighted columns least-squares fitted: a NaN or infinity
            # shows in the column's sum of squares, so the statistics pass
            # checks them (see `ArraySource`).
            deferred = sample_weight is None and opts.method != "robust"
            ya = check_y(y, Xa.shape[0], owner, finite_2d=not deferred)
            w = check_weights(sample_weight, Xa.shape[0])
            single = ya.ndim == 1
            source = ArraySource(Xa, ya[:, None] if single else ya, w, not deferred or single)
            n = source.n
        if n < 2:
            raise ValueError(f"n_samples={n}: at least 2 samples are required")
        fitting.check_shape(opts, n, source.n_features, source.n_targets)
        model = fitting.fit(source, opts)
        dof = model.dof
        if not (dof > 0.0).all():
            total = "" if sample_weight is None else " (sample weights count as repeated rows)"
            edf = float(model.edf.max())
            warnings.warn(
                f"no residual degrees of freedom remain: the rows' weight total{total} does "
                f"not exceed the fit's effective degrees of freedom ({edf:.3g}), "
                "so prediction intervals are refused (and sigma_, from the residuals, is NaN)",
                UserWarning,
                stacklevel=2,
            )
        # The fit is complete: it replaces the previous one in one step.
        self._model = FittedModel(**{**vars(model), "single": single})
        self._feature_names = names
        return self

    # -- fitted attributes ----------------------------------------------------

    def __sklearn_is_fitted__(self) -> bool:
        return "_model" in vars(self)

    def _fitted(self) -> FittedModel:
        model: FittedModel | None = vars(self).get("_model")
        if model is None:
            raise _not_fitted_error()(
                f"This {type(self).__name__} instance is not fitted yet; call 'fit' first"
            )
        return model

    def _per_target(self, values: NDArray[Any]) -> Any:
        # One number for a 1-D target, else one per column.
        model = self._fitted()
        return values[0].item() if model.single else values.copy()

    def _robust(self, name: str) -> Any:
        info = self._fitted().robust
        if info is None:
            raise AttributeError(f"{name} is set by method='robust' fits only")
        return info

    @property
    def coef_(self) -> NDArray[np.float64]:
        """Coefficients, ordered like `multi_indices_`, in scaled coordinates."""
        model = self._fitted()
        return model.coef[0] if model.single else model.coef

    @property
    def basis_(self) -> str:
        return self._fitted().basis.kind

    @property
    def multi_indices_(self) -> list[list[int]]:
        return [list(m) for m in self._fitted().basis.multi_indices]

    @property
    def degrees_(self) -> list[int]:
        return self._fitted().basis.degrees

    @property
    def polynomial_(self) -> Any:
        """The fitted curve of a 1-D input as a NumPy polynomial in x units:
        `numpy.polynomial.Legendre` (or `Polynomial` for basis="power") with
        the training range as its domain, so that `.deriv()`, `.integ()`,
        `.roots()` and `.convert(kind=numpy.polynomial.Polynomial)` work as
        usual; a list of them for several targets. It continues the raw
        polynomial outside the training range (extrapolation="continue")."""
        model = self._fitted()
        if model.basis.n_features != 1:
            raise AttributeError(
                f"polynomial_ is defined for one input; this model has {model.basis.n_features}"
            )
        kind = {"legendre": np.polynomial.Legendre, "power": np.polynomial.Polynomial}
        cls = kind[model.basis.kind]
        center, half = float(model.box.center[0]), float(model.box.half[0])
        domain = [center - half, center + half]
        # The basis may list the degrees in any order: place each coefficient.
        order = [m[0] for m in model.basis.multi_indices]
        polys = []
        for row in model.coef:
            c = np.zeros(max(order) + 1)
            c[order] = row
            polys.append(cls(c, domain=domain))
        return polys[0] if model.single else polys

    @property
    def gamma2_profile_(self) -> NDArray[np.float64] | None:
        """Where the curvature weight varies along x: (n_weights, 2), per weight
        function the x where it peaks and its weight (per observation, like
        `gamma2_`); None where one weight serves the whole range."""
        model = self._fitted()
        if model.profile is None:
            return None
        x = model.box.center[0] + model.box.half[0] * adaptive.centers(len(model.profile))
        out: NDArray[np.float64] = np.c_[x, model.profile]
        return out

    @property
    def gamma2_(self) -> float | NDArray[np.float64]:
        return self._per_target(self._fitted().gamma2)  # type: ignore[no-any-return]

    @property
    def edf_(self) -> float | NDArray[np.float64]:
        return self._per_target(self._fitted().edf)  # type: ignore[no-any-return]

    @property
    def sigma_(self) -> float | NDArray[np.float64]:
        return self._per_target(self._fitted().sigma)  # type: ignore[no-any-return]

    @property
    def mdl_score_(self) -> float | NDArray[np.float64]:
        return self._per_target(self._fitted().mdl_score)  # type: ignore[no-any-return]

    @property
    def hit_rate_(self) -> float | NDArray[np.float64]:
        return self._per_target(self._fitted().hit_rate)  # type: ignore[no-any-return]

    @property
    def x_center_(self) -> NDArray[np.float64]:
        return self._fitted().box.center

    @property
    def x_half_range_(self) -> NDArray[np.float64]:
        return self._fitted().box.half

    @property
    def x_min_(self) -> NDArray[np.float64]:
        return self._fitted().box.lo

    @property
    def x_max_(self) -> NDArray[np.float64]:
        return self._fitted().box.hi

    @property
    def n_features_in_(self) -> int:
        return len(self._fitted().box.lo)

    @property
    def feature_names_in_(self) -> NDArray[np.object_]:
        self._fitted()
        names: NDArray[np.object_] | None = vars(self).get("_feature_names")
        if names is None:
            raise AttributeError("feature_names_in_ is set only when X has string column names")
        return names

    @property
    def timings_(self) -> dict[str, float]:
        return self._fitted().timings

    @property
    def gibbs_(self) -> dict[str, float] | None:
        info = self._fitted().mcmc
        return None if info is None else info.gibbs

    @property
    def mcmc_energy_(self) -> float | None:
        info = self._fitted().mcmc
        return None if info is None else info.energy

    @property
    def mcmc_start_energy_(self) -> float | None:
        info = self._fitted().mcmc
        return None if info is None else info.start_energy

    @property
    def weights_(self) -> Any:
        weights = self._robust("weights_").weights
        return weights[:, 0] if self._fitted().single else weights

    @property
    def inlier_mask_(self) -> Any:
        return self.weights_ > 0.0

    @property
    def scale_(self) -> float | NDArray[np.float64]:
        return self._per_target(self._robust("scale_").scale)  # type: ignore[no-any-return]

    @property
    def n_iter_(self) -> int | NDArray[np.int64]:
        return self._per_target(self._robust("n_iter_").n_iter)  # type: ignore[no-any-return]

    # -- prediction ---------------------------------------------------------

    def _check_predict_X(self, X: ArrayLike) -> NDArray[np.float64]:
        model = self._fitted()
        names = feature_names(X)
        fitted = vars(self).get("_feature_names")
        owner = type(self).__name__
        if fitted is not None and names is None:
            warnings.warn(
                f"X does not have valid feature names, but {owner} was fitted with feature names",
                UserWarning,
                stacklevel=4,
            )
        elif fitted is None and names is not None:
            warnings.warn(
                f"X has feature names, but {owner} was fitted without feature names",
                UserWarning,
                stacklevel=4,
            )
        elif fitted is not None and names is not None and not np.array_equal(fitted, names):
            raise ValueError(
                "The feature names should match those that were passed during fit.\n"
                f"Fitted with: {list(fitted)}\nGot: {list(names)}"
            )
        Xa = check_X(X)
        if Xa.shape[1] != len(model.box.lo):
            raise ValueError(
                f"X has {Xa.shape[1]} features, but {owner} is expecting "
                f"{len(model.box.lo)} features as input"
            )
        return Xa

    @overload
    def predict(
        self, X: ArrayLike, return_std: Literal[False] = ..., derivative: Derivative = ...
    ) -> NDArray[np.float64]: ...

    @overload
    def predict(
        self, X: ArrayLike, return_std: Literal[True], derivative: Derivative = ...
    ) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...

    def predict(
        self, X: ArrayLike, return_std: bool = False, derivative: Derivative = 0
    ) -> NDArray[np.float64] | tuple[NDArray[np.float64], NDArray[np.float64]]:
        """Predicted values for samples X of shape (n_samples, n_features).

        With `return_std`, also the predictive standard deviation of a new
        observation (noise included), from the penalised fit's posterior
        covariance and the residual scale `sigma_`. A fit to several targets
        predicts shape (n_samples, n_targets), for both. A Dask array X gives
        Dask arrays, computed block by block on the workers.

        `derivative` asks for a derivative of the fitted curve instead, in
        the units of X: its order k for one input, or one order per input,
        such as (1, 0) for the slope along the first. Its `return_std` is the
        posterior standard deviation of the derivative (no noise).
        """
        model = self._fitted()
        alpha = derivative_orders(derivative, len(model.box.lo))
        parts = ("fit", "std_new" if not alpha.any() else "std_fit")
        out = self._evaluate(X, parts if return_std else parts[:1], alpha)
        return (out[0], out[1]) if return_std else out[0]

    def predict_interval(
        self,
        X: ArrayLike,
        level: float = 0.95,
        kind: BandKind = "prediction",
        derivative: Derivative = 0,
    ) -> NDArray[np.float64]:
        """Interval of probability `level`: lower, upper along the last axis,
        shape (n_samples, 2), or (n_samples, n_targets, 2).

        kind="prediction" bounds a new observation at X; kind="mean" the
        curve itself (or its `derivative`, see `predict`), from the
        posterior of the penalized fit: across the training range such
        bands cover the true curve at about `level` on average.
        """
        if (
            isinstance(level, bool)
            or not isinstance(level, float | int)
            or not 0.0 < level < 1.0
            or not 0.5 + level / 2.0 < 1.0
        ):
            raise ValueError(
                "level must be a number in the open interval (0, 1) whose two-sided "
                f"tail is representable (at most 1 - 2.3e-16), got {level!r}"
            )
        if kind not in BAND_KINDS:
            raise ValueError(f"kind must be one of {list(BAND_KINDS)}, got {kind!r}")
        model = self._fitted()
        alpha = derivative_orders(derivative, len(model.box.lo))
        if kind == "prediction" and alpha.any():
            raise ValueError(
                "a derivative is not observed, so it has no prediction interval; "
                "use kind='mean' for the band of the derivative"
            )
        if not (model.dof > 0.0).all():
            raise ValueError(
                "no residual degrees of freedom remain (n_samples - edf_ <= 0): the noise "
                "level, and so an interval, cannot be estimated; use a lower degree"
            )
        part = "band_new" if kind == "prediction" else "band_fit"
        out: NDArray[np.float64] = self._evaluate(X, (part,), alpha, float(level))[0]
        return out

    def _evaluate(
        self, X: ArrayLike, parts: tuple[str, ...], alpha: NDArray[np.int64], level: float = 0.95
    ) -> list[Any]:
        """The model's `parts` at X: NumPy arrays, or lazy Dask arrays for Dask X."""
        model = self._fitted()
        if is_dask(X):
            from zorp import _dask

            _dask.check_names(X, vars(self).get("_feature_names"))
            return _dask.evaluate(
                model, X, self.extrapolation, parts, alpha, level, type(self).__name__
            )
        Xa = self._check_predict_X(X)
        return model.evaluate(
            Xa, self.extrapolation, parts, block_rows(model.basis.n_terms), alpha, level
        )

    def summary(self) -> Summary:
        """The fit's figures, printable as a table: size, basis and degrees,
        effective degrees of freedom, curvature weight, the criterion it was
        chosen by and its value, sigma, R^2 and AIC (least squares), or the
        robust scale, flagged rows and iterations. `.to_dict()` gives them
        as a dict."""
        names = vars(self).get("_feature_names")
        return summarize(
            self._fitted(),
            type(self).__name__,
            self.method,
            None if names is None else [str(n) for n in names],
        )

    def plot(self, X: ArrayLike, y: ArrayLike, ax: Any = None, level: float = 0.95) -> Any:
        """Draw the fit over data (X, y) with matplotlib (the `plot` extra)
        and return the axes: in 1-D the data, the curve, the band of the
        curve and the prediction band of probability `level`, and the rows a
        robust fit flags; in 2-D filled contours of the fitted surface."""
        from zorp.plotting import plot_fit

        model = self._fitted()
        if not model.single:
            raise ValueError("plot draws one target; fit y of shape (n_samples,) to plot it")
        Xa = self._check_predict_X(X)
        ya = check_y(y, Xa.shape[0], type(self).__name__, finite_2d=True)
        if ya.ndim != 1:
            raise ValueError(f"y must be 1-D to plot, got shape {ya.shape}")
        names = vars(self).get("_feature_names")
        labels = None if names is None else [str(n) for n in names]
        return plot_fit(model, self.extrapolation, self.method, labels, Xa, ya, ax, level)

    def score(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> float:
        """Coefficient of determination R^2 of the prediction (weighted by
        `sample_weight`); for several targets, the mean of the columns' R^2."""
        model = self._fitted()
        ya = as_float_array(y, "y")
        t = model.coef.shape[0]
        if model.single and ya.ndim == 2 and ya.shape[1] == 1:
            ya = ya[:, 0]
        wanted = 1 if model.single else 2
        if ya.ndim != wanted or (ya.ndim == 2 and ya.shape[1] != t):
            fitted_to = "a 1-D y" if model.single else f"y of {t} columns"
            raise ValueError(f"y has shape {ya.shape}, but the model was fitted to {fitted_to}")
        check_finite(ya, "y")
        yp = self.predict(X)
        if len(ya) != len(yp):
            raise ValueError(
                f"X and y have inconsistent numbers of samples: {len(yp)} and {len(ya)}"
            )
        w = check_weights(sample_weight, len(ya))
        w = np.ones(len(ya)) if w is None else w
        if yp.ndim == 2:
            w = w[:, None]
        mean = np.sum(w * ya, axis=0) / np.sum(w)
        ss_res = np.sum(w * (ya - yp) ** 2, axis=0)
        ss_tot = np.sum(w * (ya - mean) ** 2, axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            r2 = np.where(ss_tot == 0.0, np.where(ss_res == 0.0, 1.0, 0.0), 1.0 - ss_res / ss_tot)
        return float(np.mean(r2))
