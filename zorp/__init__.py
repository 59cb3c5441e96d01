"""zorp: smooth, robust polynomial regression with a fast C++ core.

`SmoothPolynomialRegressor` fits in one call; the core's building blocks
(design matrices, penalties, estimators, scores and the sampler) are re-exported
from the native module `zorp._native.zorp_core`.
"""

from zorp._native import zorp_core
from zorp._native.zorp_core import (
    GibbsResult,
    MCMCResult,
    TournamentMCMC,
    boundary_reduce_1d,
    build_penalty_matrices_nd,
    compute_sr,
    design_matrix_1d,
    design_matrix_nd,
    fit_regularized_linear,
    gibbs_entropy,
    mad,
    mdl_score,
    mdl_score_reg,
    ols,
    smoothness_penalty_matrices_1d,
)
from zorp._version import __version__
from zorp.estimator import InconsistentVersionWarning, NotFittedError, SmoothPolynomialRegressor

__all__ = [
    "GibbsResult",
    "InconsistentVersionWarning",
    "MCMCResult",
    "NotFittedError",
    "SmoothPolynomialRegressor",
    "TournamentMCMC",
    "__version__",
    "boundary_reduce_1d",
    "build_penalty_matrices_nd",
    "compute_sr",
    "design_matrix_1d",
    "design_matrix_nd",
    "fit_regularized_linear",
    "gibbs_entropy",
    "mad",
    "mdl_score",
    "mdl_score_reg",
    "ols",
    "smoothness_penalty_matrices_1d",
    "zorp_core",
]
