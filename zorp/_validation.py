"""Checks of the data passed to the public API: every bad input is refused
with a clear error before any work is done."""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray


class DataConversionWarning(UserWarning):
    """Warns that input data was reshaped or converted to fit the expected form."""


# -- input checks -------------------------------------------------------------


def as_float_array(a: ArrayLike, name: str) -> NDArray[np.float64]:
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


def check_finite(a: NDArray[np.float64], name: str) -> None:
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


def check_X(X: ArrayLike) -> NDArray[np.float64]:
    arr = as_float_array(X, "X")
    require_2d_X(arr.ndim)
    if arr.shape[0] == 0:
        raise ValueError(
            f"Found array with 0 sample(s) (shape={arr.shape}) while a minimum of 1 is required."
        )
    if arr.shape[1] == 0:
        raise ValueError(
            f"Found array with 0 feature(s) (shape={arr.shape}) while a minimum of 1 is required."
        )
    check_finite(arr, "X")
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


def check_y(y: ArrayLike, n: int, owner: str, finite_2d: bool = True) -> NDArray[np.float64]:
    """The targets as floats, checked. With `finite_2d` False a 2-D y is not
    checked for NaN and infinity: the caller does that from its column sums."""
    if y is None:
        raise ValueError(f"{owner} requires y to be passed, but the target y is None")
    ya = as_float_array(y, "y")
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
        check_finite(ya, "y")
    return ya


def check_weights(sample_weight: ArrayLike | None, n: int) -> NDArray[np.float64] | None:
    if sample_weight is None:
        return None
    w = as_float_array(sample_weight, "sample_weight")
    if w.ndim == 0:
        w = np.full(n, float(w))
    if w.shape != (n,):
        raise ValueError(f"sample_weight.shape == {w.shape}, expected {(n,)}")
    check_finite(w, "sample_weight")
    if (w < 0).any():
        raise ValueError("sample_weight must be non-negative")
    if not (w > 0).any():
        raise ValueError("sample_weight is zero everywhere; at least one weight must be positive")
    return w


def feature_names(X: Any) -> NDArray[np.object_] | None:
    columns = getattr(X, "columns", None)
    if columns is None or not hasattr(X, "shape"):
        return None
    names = np.asarray(list(columns), dtype=object)
    if names.size and all(isinstance(c, str) for c in names):
        return names
    return None


def is_dask(obj: Any) -> bool:
    """Whether obj is a Dask collection, told without importing Dask."""
    return type(obj).__module__.partition(".")[0] == "dask"
