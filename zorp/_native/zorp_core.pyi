"""ZORP-P performans-kritik cekirdegi (C++/Eigen)."""

from collections.abc import Iterable

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Vector = NDArray[np.float64]
_Matrix = NDArray[np.float64]

def mad(y: ArrayLike) -> float: ...
def compute_sr(yp: ArrayLike, yt: ArrayLike, eps: float) -> float: ...
def mdl_score(yp: ArrayLike, yt: ArrayLike, k: int, H: int = 20) -> float: ...
def mdl_score_reg(
    yp: ArrayLike,
    yt: ArrayLike,
    k: int,
    H: int,
    beta: ArrayLike,
    R1: ArrayLike,
    R2: ArrayLike,
    gamma1: float = 0.0,
    gamma2: float = 0.0,
) -> float: ...
def design_matrix_1d(deg: int, x: ArrayLike) -> _Matrix: ...
def smoothness_penalty_matrices_1d(
    deg: int, x_min: float, x_max: float, n_grid: int = 600
) -> tuple[_Matrix, _Matrix]: ...
def boundary_reduce_1d(deg: int, x_min: float, x_max: float) -> _Matrix: ...
def design_matrix_nd(
    multi_indices: Iterable[Iterable[int]], X_cols: Iterable[ArrayLike]
) -> _Matrix: ...
def build_penalty_matrices_nd(
    degrees: Iterable[int],
    bounds: Iterable[tuple[float, float]],
    n_grid_per_dim: int = 30,
) -> tuple[_Matrix, _Matrix, list[list[int]]]: ...
def ols(X: ArrayLike, y: ArrayLike) -> _Vector: ...
def fit_regularized_linear(
    Phi: ArrayLike,
    y: ArrayLike,
    R1: ArrayLike | None = None,
    R2: ArrayLike | None = None,
    gamma1: float = 0.0,
    gamma2: float = 0.0,
    ridge: float = 1e-10,
) -> _Vector: ...

class GibbsResult:
    @property
    def H(self) -> float: ...
    @property
    def Hmax(self) -> float: ...
    @property
    def He(self) -> float: ...
    @property
    def r_heat(self) -> float: ...
    @property
    def var_E(self) -> float: ...
    @property
    def T(self) -> float: ...

def gibbs_entropy(energies: ArrayLike, T: float = 1.0) -> GibbsResult: ...

class MCMCResult:
    @property
    def beta_mcmc(self) -> _Vector: ...
    @property
    def energy(self) -> float: ...
    @property
    def gibbs(self) -> GibbsResult: ...
    @property
    def n_chains(self) -> int: ...
    @property
    def n_elite(self) -> int: ...

class TournamentMCMC:
    def __init__(
        self,
        n_chains: int = 25,
        n_warmup: int = 200,
        n_deep: int = 2000,
        n_elite: int = 5,
        step_size: float = 0.05,
        H_piH: int = 20,
        seed: int = 42,
    ) -> None: ...
    def fit(
        self,
        X: ArrayLike,
        y: ArrayLike,
        R1: ArrayLike | None = None,
        R2: ArrayLike | None = None,
        gamma1: float = 0.0,
        gamma2: float = 0.0,
    ) -> MCMCResult: ...
