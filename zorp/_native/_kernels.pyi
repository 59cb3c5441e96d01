"""Private native kernels of zorp: many target columns, Gram matrices, the
choice of the smoothness weight and rows of the Legendre basis."""

import numpy as np
from numpy.typing import ArrayLike, NDArray

def column_cross(
    Phi: ArrayLike, Y: ArrayLike, w: ArrayLike
) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
def gram(Phi: ArrayLike, w: ArrayLike) -> NDArray[np.float64]: ...
def score_tolerances(m: ArrayLike) -> NDArray[np.float64]: ...
def product(A: ArrayLike, B: ArrayLike) -> NDArray[np.float64]: ...
def column_mads(Y: ArrayLike) -> NDArray[np.float64]: ...
def column_hit_counts(
    Phi: ArrayLike, Y: ArrayLike, coef: ArrayLike, eps: ArrayLike
) -> NDArray[np.int64]: ...
def reduce_path(
    fixed: ArrayLike, S: ArrayLike
) -> tuple[NDArray[np.float64], NDArray[np.float64], float, float, float, int]: ...
def cholesky_inverse(A: ArrayLike) -> tuple[NDArray[np.float64], float]: ...
def criterion(
    mu: ArrayLike,
    alpha: float,
    n: float,
    m0: int,
    logdet: float,
    gcv: bool,
    b2: ArrayLike,
    yy: ArrayLike,
    lam: ArrayLike,
    paired: bool,
) -> NDArray[np.float64]: ...
def fits_at(
    mu: ArrayLike,
    alpha: float,
    n: float,
    m0: int,
    b2: ArrayLike,
    yy: ArrayLike,
    lam: ArrayLike,
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]: ...
def choose_weights(
    mu: ArrayLike,
    alpha: float,
    n: float,
    m0: int,
    logdet: float,
    gcv: bool,
    b2: ArrayLike,
    yy: ArrayLike,
    grid: ArrayLike,
    shared: bool,
) -> tuple[NDArray[np.float64], NDArray[np.float64]]: ...
def legendre_gram(mu: ArrayLike, top: int) -> NDArray[np.float64]: ...
def legendre_moments(
    x: ArrayLike, w: ArrayLike, Y: ArrayLike, top_mu: int, top_cross: int
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]: ...
def legendre_rows(
    U: ArrayLike, multi_indices: ArrayLike, derivative: ArrayLike | None = None
) -> NDArray[np.float64]: ...
