// Python docstrings of the native module's functions and classes. pybind11
// puts the generated signature line in front of each text.
#pragma once

namespace zorp::doc {

constexpr const char* mad =
    "Median absolute deviation of y about its median, unscaled (no 1.4826 factor).\n"
    "\n"
    "y: vector of length n. Returns a float; 0.0 for an empty y.";

constexpr const char* compute_sr =
    "Hit rate: the share of positions i < len(yt) with |yp[i] - yt[i]| < eps,\n"
    "raised to at least 1/(2n) so that its logarithm is finite.\n"
    "\n"
    "yp, yt: vectors, len(yp) >= len(yt) = n; eps: tolerance. Returns a float.\n"
    "Raises ValueError when yp is shorter than yt.";

constexpr const char* mdl_score =
    "Description-length score of the prediction yp of yt (lower is better):\n"
    "k**2 * ln(2H) / n - n * ln(sr), where sr is compute_sr at the tolerance\n"
    "0.4 * mad(yt) (0.4 when that is 0).\n"
    "\n"
    "yp, yt: vectors, len(yp) >= len(yt) = n; k: number of coefficients;\n"
    "H: resolution of the complexity term. Returns a float.\n"
    "Raises ValueError when yp is shorter than yt.";

constexpr const char* mdl_score_reg =
    "mdl_score plus the penalties gamma1 * beta' R1 beta + gamma2 * beta' R2 beta;\n"
    "a term counts when its weight is not 0 (its matrix is not read otherwise).\n"
    "\n"
    "yp, yt: vectors, len(yp) >= len(yt); k, H: as in mdl_score; beta: the M\n"
    "coefficients; R1, R2: M x M penalty matrices. Returns a float.\n"
    "Raises ValueError when yp is shorter than yt or an active matrix is not M x M.";

constexpr const char* design_matrix_1d =
    "Power-basis design matrix: Phi[i, p] = x[i]**p for p = 0 .. deg.\n"
    "\n"
    "deg: degree >= 0; x: vector of length n. Returns an n x (deg + 1) array.\n"
    "Raises ValueError for deg < 0.";

constexpr const char* smoothness_penalty_matrices_1d =
    "Smoothness penalties of the power basis on [x_min, x_max]: (R1, R2) such that\n"
    "beta' R1 beta and beta' R2 beta are the equal-weight sums of f'(x)**2 dx and\n"
    "f''(x)**2 dx over n_grid evenly spaced points, f(x) = sum_p beta[p] x**p.\n"
    "\n"
    "deg: degree >= 0; n_grid: grid points >= 2. Returns a tuple of two symmetric\n"
    "(deg + 1) x (deg + 1) arrays. Cost O(n_grid * deg**2) time.\n"
    "Raises ValueError \"deg < 0\" or \"n_grid < 2\".";

constexpr const char* boundary_reduce_1d =
    "Symmetric matrix B of the boundary term of integrating f' f'' by parts:\n"
    "beta' B beta = f'(x_max) f''(x_max) - f'(x_min) f''(x_min).\n"
    "\n"
    "deg: degree >= -1 (-1 gives a 0 x 0 array). Returns a (deg + 1) x (deg + 1)\n"
    "array. Raises ValueError for deg < -1.";

constexpr const char* design_matrix_nd =
    "Tensor-product design matrix: column j is prod_d X_cols[d] ** multi_indices[j][d].\n"
    "\n"
    "multi_indices: M lists of exponents, one per dimension; X_cols: D coordinate\n"
    "vectors of one length n. Returns an n x M array. Raises ValueError when X_cols\n"
    "is empty or its vectors differ in length, or a multi-index has fewer than D\n"
    "entries.";

constexpr const char* build_penalty_matrices_nd =
    "Roughness penalties of the full tensor-product basis of the given degrees on the\n"
    "box given by bounds: (R1, R2, multi_indices), where beta' R1 beta sums the\n"
    "squared gradient and beta' R2 beta the squared Hessian (Frobenius norm) of f\n"
    "over an n_grid_per_dim**D grid, each point of weight dV.\n"
    "\n"
    "degrees: D degrees; bounds: D pairs (low, high); n_grid_per_dim >= 2. Returns\n"
    "two symmetric M x M arrays, M = prod(degrees[d] + 1), and the M multi-indices in\n"
    "column order (lexicographic, last dimension fastest). Cost O(n_grid_per_dim**D\n"
    "* M**2) time. Raises ValueError \"Dimension mismatch.\" when len(bounds) !=\n"
    "len(degrees), ValueError \"n_grid < 2\" or \"deg < -1\" for those values, and\n"
    "ValueError or MemoryError for a basis or grid too large to hold.";

constexpr const char* ols =
    "Minimum-norm least-squares solution of X beta = y by a thin SVD.\n"
    "\n"
    "X: n x M matrix; y: vector of length n. Returns a vector of length M (zeros when\n"
    "X has no rows or columns). Raises ValueError when len(y) != n or X holds a\n"
    "non-finite value.";

constexpr const char* fit_regularized_linear =
    "Penalized least squares: solves (Phi' Phi + ridge I + n gamma1 R1 + n gamma2 R2)\n"
    "beta = Phi' y by a pivoted LDL' factorisation, n = rows of Phi. A penalty counts\n"
    "when its matrix is not None and its weight is not 0.\n"
    "\n"
    "Phi: n x M matrix; y: vector of length n; R1, R2: M x M matrices or None.\n"
    "Returns a vector of length M. Raises ValueError when len(y) != n or an active\n"
    "matrix is not M x M.";

constexpr const char* gibbs_result =
    "Entropy summary of chain energies (returned by gibbs_entropy and MCMCResult.gibbs).\n"
    "\n"
    "Read-only float attributes: H (Shannon entropy of the Boltzmann weights), Hmax\n"
    "(ln max(N, 2) for N energies), He (H / Hmax), r_heat (0.01 + 0.99 He), var_E\n"
    "(population variance of the energies) and T (the temperature used).";

constexpr const char* gibbs_entropy =
    "Entropy summary of the Boltzmann distribution exp(-E / T) over the energies.\n"
    "\n"
    "energies: vector of length n >= 1; T: temperature. Returns a GibbsResult.\n"
    "Raises ValueError for an empty energies vector.";

constexpr const char* mcmc_result =
    "Result of TournamentMCMC.fit. Read-only attributes: beta_mcmc (the lowest-energy\n"
    "coefficients, a read-only view), energy (its energy), gibbs (GibbsResult of the\n"
    "warm-up chains' final energies), n_chains and n_elite (the configuration).";

constexpr const char* tournament_mcmc =
    "Tournament MCMC search for the coefficients of X beta ~ y with the lowest robust\n"
    "description-length energy: n_chains cooling Metropolis chains run in parallel for\n"
    "n_warmup steps, then up to n_elite of the best and most diverse are continued for\n"
    "n_deep steps each. Results depend on the configuration and the input only, never\n"
    "on the number of threads.";

constexpr const char* tournament_mcmc_init =
    "Stores the configuration unchecked: n_chains, n_warmup, n_deep, n_elite,\n"
    "step_size (proposal scale), H_piH (the score's resolution H) and seed (an\n"
    "unsigned 64-bit integer). Raises TypeError for a negative or non-integer seed.";

constexpr const char* tournament_mcmc_fit =
    "Runs the search (chains start from random coefficients) and returns an MCMCResult.\n"
    "\n"
    "X: n x k matrix; y: vector of length n; R1, R2: k x k penalty matrices or None,\n"
    "with weights gamma1, gamma2. Cost about n_chains * n_warmup + n_elite * n_deep\n"
    "energy evaluations of O(n * k) each. Raises ValueError for n_chains < 1, rows of\n"
    "X != len(y), or an active penalty matrix that is not k x k.";

}  // namespace zorp::doc
