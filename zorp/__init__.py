"""zorp: smooth, robust polynomial regression with a fast C++ core."""

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

__version__ = "0.1.0"

__all__ = [
    "GibbsResult",
    "MCMCResult",
    "TournamentMCMC",
    "__version__",
    "boundary_reduce_1d",
    "build_penalty_matrices_nd",
    "design_matrix_1d",
    "design_matrix_nd",
    "fit_regularized_linear",
    "gibbs_entropy",
    "mdl_score",
    "mdl_score_reg",
    "ols",
    "smoothness_penalty_matrices_1d",
    "compute_sr",
    "mad",
    "zorp_core",
]
