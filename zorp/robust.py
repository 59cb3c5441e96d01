"""Robust smooth fits: a consensus search for a high-breakdown start, then a
redescending M-step by iteratively reweighted penalized least squares.

The global stage runs the tournament sampler on the residuals of a robust
start (Huber, then biweight steps from the penalized fit, the scale
re-estimated at each step; or biweight steps from that fit moved onto the
shorth of its residuals, where one-sided gross errors have pulled it, when
that ends with the smaller MAD), divided by their median
absolute deviation, in orthonormal coordinates of the design: every
coordinate then moves the fitted curve by the same amount, and the step size
is set in units of that median absolute deviation, whatever n and the
conditioning of the power basis. The sampler's energy counts the points within
0.4 of that deviation
of the curve, so its result is the curve of greatest consensus near the start.

The local stage is an MM-estimate: Tukey's biweight (c = 4.685, 95 %
efficiency at the Gaussian) at a fixed residual scale, the MAD of the global
stage's residuals, iterated to convergence; then the scale is refined once from
the residuals the fit calls inliers (a consistency-corrected truncated second
moment), the degree and curvature weight are chosen again on the robust
weights, and the M-step is rerun in that basis. Every step is one native
`fit_regularized_linear` solve on rows scaled by the square root of their
weight, the penalty weighted like the row weights' total.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from statistics import NormalDist

import numpy as np
from numpy.typing import NDArray

from zorp._native import _kernels as _columns
from zorp._native import zorp_core as _core
from zorp.smoothing import (
    LOG10_GAMMA_RANGE,
    Choice,
    Criterion,
    SmoothingPath,
    submatrix,
)

# Tukey's biweight tuning constant for 95 % asymptotic efficiency at the Gaussian.
TUKEY_C = 4.685
# Huber's constant for the starting steps (95 % efficiency).
HUBER_C = 1.345
START_STEPS = 50
START_TOL = 1e-2
# The MAD of Gaussian data, times this, estimates its standard deviation.
MAD_TO_SIGMA = 1.0 / NormalDist().inv_cdf(0.75)
# The M-step stops when no fitted value moves by more than TOL times the
# scale (or by ROUNDING times the largest |y|, where the solve's rounding
# dominates), or after MAX_ITER reweighted solves.
TOL = 1e-6
ROUNDING = 1e-10
MAX_ITER = 50
# Residuals within TRIM scales count in the scale refinement; TRIM_FACTOR
# makes the truncated second moment consistent at the Gaussian:
# E[z^2 | |z| < t] = 1 - 2 t phi(t) / (2 Phi(t) - 1).
TRIM = 2.5
_PHI_T = math.exp(-TRIM * TRIM / 2.0) / math.sqrt(2.0 * math.pi)
_MASS_T = math.erf(TRIM / math.sqrt(2.0))
TRIM_FACTOR = 1.0 - 2.0 * TRIM * _PHI_T / _MASS_T


# Eigenvalues of the Gram matrix below this share of the largest are dropped
# from the search coordinates.
ORTHO_CUTOFF = 1e-12
# The automatic curvature weight of the robust fit is picked on this grid of
# log10(gamma2), without the Newton refinement of the slope: the criterion is flat
# at its minimum, and one vectorised evaluation per basis is much cheaper.
FAST_GRID = np.linspace(*LOG10_GAMMA_RANGE, 341)


@dataclass(frozen=True)
class SamplerSettings:
    """Settings of the tournament sampler: chains, warm-up and deep steps per
    chain, elite size and step size."""

    n_chains: int = 25
    n_warmup: int = 200
    n_deep: int = 2000
    n_elite: int = 5
    step_size: float = 0.05

    def sampler(self, H: int, seed: int) -> _core.TournamentMCMC:
        """The native sampler with these settings, score resolution H and a
        seed already mixed."""
        return _core.TournamentMCMC(
            self.n_chains, self.n_warmup, self.n_deep, self.n_elite, self.step_size, H, seed
        )


@dataclass(frozen=True)
class SearchSettings:
    """The global stage's search: a small sampler budget, the score's
    resolution H and the mixed seed."""

    H: int = 20
    seed: int = 0
    budget: SamplerSettings = SamplerSettings(6, 60, 120, 2, 0.1)


@dataclass(frozen=True)
class SearchResult:
    coef: NDArray[np.float64]
    energy: float
    start_energy: float
    noise: float


@dataclass(frozen=True)
class RobustResult:
    coef: NDArray[np.float64]
    weights: NDArray[np.float64]
    scale: float
    n_iter: int
    search: SearchResult


def grid_select(path: SmoothingPath, criterion: Criterion) -> tuple[float, float]:
    """The weight of lowest criterion on FAST_GRID, and its value."""
    values = path.criterion(10.0**FAST_GRID, criterion)
    i = int(np.argmin(values))
    return float(10.0 ** FAST_GRID[i]), float(values[i])


def tukey_weights(
    r: NDArray[np.float64], scale: float | NDArray[np.float64]
) -> NDArray[np.float64]:
    """Biweight weights (1 - (r / (c scale))^2)^2 inside c scale, 0 outside;
    `scale` may be one per column of r."""
    u = r / (TUKEY_C * scale)
    w = 1.0 - u * u
    return np.where(np.abs(u) < 1.0, w * w, 0.0)


def residual_scale(r: NDArray[np.float64]) -> float:
    """MAD of the residuals about 0, scaled to a Gaussian standard deviation."""
    return MAD_TO_SIGMA * float(np.median(np.abs(r)))


def weighted_solve(
    Phi: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    R1: NDArray[np.float64],
    R2: NDArray[np.float64],
    gamma1: float,
    gamma2: float,
    ridge: float,
) -> NDArray[np.float64]:
    """Penalized least squares with row weights w (None: all 1): rows scaled by
    sqrt(w), the penalty weights by sum(w) / n, since the native solve
    multiplies them by its row count."""
    if w is not None:
        sw = np.sqrt(w)
        pscale = float(w.sum()) / len(y)
        Phi, y = Phi * sw[:, None], y * sw
        gamma1, gamma2 = gamma1 * pscale, gamma2 * pscale
    return np.asarray(_core.fit_regularized_linear(Phi, y, R1, R2, gamma1, gamma2, ridge))


def consensus_search(
    Phi: NDArray[np.float64],
    y: NDArray[np.float64],
    start: NDArray[np.float64],
    R1: NDArray[np.float64],
    R2: NDArray[np.float64],
    gamma1: float,
    gamma2: float,
    settings: SearchSettings,
) -> SearchResult:
    """The coefficients of greatest consensus found by the tournament sampler
    around `start`; `start` itself when the search found no lower energy."""
    n, k = Phi.shape
    resid = y - Phi @ start
    noise = _core.mad(resid)
    if not noise > 0.0:
        noise = residual_scale(resid) / MAD_TO_SIGMA
    if not noise > 0.0:
        # The start fits all points but half exactly: nothing to search for.
        return SearchResult(start, math.nan, math.nan, 0.0)
    target = resid / noise
    # Orthonormal coordinates from the eigenvectors of the Gram matrix: Phi V
    # has orthogonal columns of norms sqrt(ev). Directions the data hardly
    # determine (relative eigenvalue below ORTHO_CUTOFF) are left out: they
    # barely move the curve at the points.
    ev, V = np.linalg.eigh(_columns.gram(Phi, np.empty(0)))
    keep = ev > ev[-1] * ORTHO_CUTOFF if ev.size and ev[-1] > 0.0 else np.zeros(k, dtype=bool)
    rank = int(keep.sum())
    if rank == 0:
        return SearchResult(start, math.nan, math.nan, noise)
    # Columns of unit mean square: a step of s in every coordinate moves the
    # curve by a root-mean-square of s, in units of the residuals' MAD.
    T = V[:, keep] * (math.sqrt(n / rank) / np.sqrt(ev[keep]))
    X = _columns.product(Phi, T)  # T maps search coordinates to coefficient changes
    # Products by the native kernel, whose sums do not depend on the thread count.
    Tt = np.ascontiguousarray(T.T)
    R1t = _columns.product(Tt, _columns.product(R1, T))
    R2t = _columns.product(Tt, _columns.product(R2, T))
    sampler = settings.budget.sampler(settings.H, settings.seed)
    res = sampler.fit(X, target, R1t, R2t, gamma1, gamma2)
    start_energy = _core.mdl_score(np.zeros(n), target, rank, settings.H)
    if res.energy < start_energy:
        coef = start + noise * (T @ np.asarray(res.beta_mcmc))
        return SearchResult(coef, float(res.energy), float(start_energy), noise)
    return SearchResult(start, float(start_energy), float(start_energy), noise)


def shorth_center(r: NDArray[np.float64]) -> float:
    """The median of the shortest interval holding half of r: where most
    residuals lie, whatever lies on one side of them."""
    z = np.sort(r[np.isfinite(r)])
    n = len(z)
    if n < 4:
        return 0.0
    h = n // 2 + 1
    i = int(np.argmin(z[h - 1 :] - z[: n - h + 1]))
    return float(np.median(z[i : i + h]))


def constant_term(Phi: NDArray[np.float64]) -> NDArray[np.float64]:
    """Coefficients of the constant function 1 in the basis of Phi's columns:
    a unit on the first column when it is constant (the degree-0 term of a
    power or Legendre basis), else the least-squares fit of 1."""
    first = Phi[:, 0]
    if np.all(first == first[0]) and first[0] != 0.0:
        out = np.zeros(Phi.shape[1])
        out[0] = 1.0 / first[0]
        return out
    sol: NDArray[np.float64] = np.linalg.lstsq(Phi, np.ones(len(Phi)), rcond=None)[0]
    return sol


def robust_start(
    Phi: NDArray[np.float64],
    y: NDArray[np.float64],
    base: NDArray[np.float64],
    coef: NDArray[np.float64],
    solve: Callable[[NDArray[np.float64]], NDArray[np.float64]],
    losses: tuple[str, ...] = ("huber", "biweight"),
) -> NDArray[np.float64]:
    """Huber, then biweight reweighting steps from `coef` (the phases of
    `losses`), each phase until the fitted values move by less than
    START_TOL scales (at most START_STEPS steps), the scale re-estimated from
    the residuals at every step."""
    fitted = Phi @ coef
    floor = ROUNDING * float(np.max(np.abs(y)))
    for loss in losses:
        for _ in range(START_STEPS):
            r = y - fitted
            s = residual_scale(r)
            if not s > 0.0:
                return coef
            if loss == "huber":
                a = np.abs(r)
                w = np.where(a > HUBER_C * s, HUBER_C * s / np.maximum(a, 1e-300), 1.0)
            else:
                w = tukey_weights(r, s)
            if not (w * base > 0.0).any():
                return coef
            coef = solve(base * w)
            new_fitted = Phi @ coef
            moved = float(np.max(np.abs(new_fitted - fitted)))
            fitted = new_fitted
            if moved <= max(START_TOL * s, floor):
                break
    return coef


def m_step(
    Phi: NDArray[np.float64],
    y: NDArray[np.float64],
    base: NDArray[np.float64],
    coef: NDArray[np.float64],
    scale: float,
    solve: Callable[[NDArray[np.float64]], NDArray[np.float64]],
) -> tuple[NDArray[np.float64], NDArray[np.float64], int]:
    """Biweight iteratively reweighted least squares at a fixed scale, to
    convergence; returns the coefficients, the robust weights and the solves."""
    fitted = Phi @ coef
    w = tukey_weights(y - fitted, scale)
    tol = max(TOL * scale, ROUNDING * float(np.max(np.abs(y))))
    n_iter = 0
    while n_iter < MAX_ITER:
        if not (w * base > 0.0).any():
            break
        new = solve(base * w)
        n_iter += 1
        new_fitted = Phi @ new
        moved = float(np.max(np.abs(new_fitted - fitted)))
        coef, fitted = new, new_fitted
        w = tukey_weights(y - fitted, scale)
        if moved <= tol:
            break
    return coef, w, n_iter


def refined_scale(r: NDArray[np.float64], scale: float) -> float:
    """Standard deviation of the residuals within TRIM scales, consistency-corrected."""
    z = r / scale  # in units of the scale, so that squares neither overflow nor underflow
    inside = np.abs(z) < TRIM
    if inside.sum() < 2:
        return scale
    refined = scale * math.sqrt(float(np.mean(z[inside] ** 2)) / TRIM_FACTOR)
    return refined if refined > 0.0 else scale


def fit_robust(
    Phi_all: NDArray[np.float64],
    y: NDArray[np.float64],
    sample_weight: NDArray[np.float64] | None,
    R1: NDArray[np.float64],
    R2: NDArray[np.float64],
    choose: Callable[[NDArray[np.float64] | None], Choice],
    first: Choice,
    gamma1: float,
    ridge: float,
    settings: SearchSettings,
    solver_for: Callable[[Choice], Callable[[NDArray[np.float64]], NDArray[np.float64]]]
    | None = None,
) -> tuple[Choice, RobustResult]:
    """The robust fit in the basis and curvature weight that `choose` picks for
    the robust weights, starting from the least-squares choice `first`.
    `solver_for` gives the reweighted solve of a basis in place of the
    penalized least-squares one (a constrained solve, say)."""
    base = np.ones_like(y) if sample_weight is None else sample_weight

    def solver(basis: Choice) -> Callable[[NDArray[np.float64]], NDArray[np.float64]]:
        if solver_for is not None:
            return solver_for(basis)
        Phi = Phi_all[:, basis.idx]
        R1s, R2s = submatrix(R1, basis.idx), submatrix(R2, basis.idx)
        g2 = float(basis.model.gamma2)
        return lambda w: weighted_solve(Phi, y, w, R1s, R2s, gamma1, g2, ridge)

    Phi = Phi_all[:, first.idx]
    idx = first.idx
    start = robust_start(Phi, y, base, first.model.coef, solver(first))
    # Gross errors on one side shift the least-squares start towards them, and
    # the reweighting from there can settle on a compromise. A second start
    # shifted onto the densest half of the residuals (their shorth) follows
    # the majority instead; the start whose residuals have the smaller MAD wins.
    shift = shorth_center(y - Phi @ first.model.coef)
    if shift != 0.0 and np.isfinite(shift):
        moved = first.model.coef + shift * constant_term(Phi)
        other = robust_start(Phi, y, base, moved, solver(first), ("biweight",))
        if residual_scale(y - Phi @ other) < residual_scale(y - Phi @ start):
            start = other
    search = consensus_search(
        Phi,
        y,
        start,
        submatrix(R1, idx),
        submatrix(R2, idx),
        gamma1,
        float(first.model.gamma2),
        settings,
    )
    scale = residual_scale(y - Phi @ search.coef)
    if not scale > 0.0:
        # More than half the points lie on the curve: any other is an outlier.
        w = np.where(np.abs(y - Phi @ search.coef) > 0.0, 0.0, 1.0)
        return first, RobustResult(search.coef, w, 0.0, 0, search)
    coef, w, n_iter = m_step(Phi, y, base, search.coef, scale, solver(first))
    scale = refined_scale(y - Phi @ coef, scale)
    basis = choose(base * w)
    Phi = Phi_all[:, basis.idx]
    coef, w, more = m_step(Phi, y, base, basis.model.coef, scale, solver(basis))
    return basis, RobustResult(coef, w, scale, n_iter + more, search)
