"""Curvature weight that varies along x: w(u) = sum_j exp(rho_j) b_j(u).

The b_j are quadratic B-splines on equally spaced knots over the scaled
interval [-1, 1]: smooth, nonnegative and summing to 1, so that equal rho_j
give back the single weight exactly. Each S_j = int b_j(u) f''(u)^2 du is an
exact integral (Gauss-Legendre nodes on every knot interval, where b_j is
one polynomial). The rho_j are chosen by restricted maximum likelihood with
the noise variance profiled out,

    V(rho) = (n - m0) log D + log|A| - log|S|_+,
    A = F + S, S = sum_j exp(rho_j) n S_j, D = y'y - c' A^-1 c,

(F the Gram matrix with the fixed penalties, c the cross products, m0 the
dimension of the penalty's null space), by Newton steps with the analytic
gradient and Hessian. The varying weight is kept only when it lowers V by
more than ADAPTIVE_CHARGE per extra weight, as an information criterion
charges parameters; otherwise the single weight stands.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from functools import lru_cache

import numpy as np
from numpy.typing import NDArray

from zorp._native import _kernels as _columns
from zorp.bases import legendre_table
from zorp.smoothing import LOG10_GAMMA_RANGE, Sufficient

# Number of weight functions along the axis.
N_WEIGHTS = 7
# What each weight beyond the first must gain in -2 log restricted likelihood.
ADAPTIVE_CHARGE = 2.0
# Newton iterations, and the convergence test on the predicted decrease of V
# (a log-likelihood ratio: hundredths do not change the fit).
MAX_NEWTON = 40
NEWTON_TOL = 1e-2
# Largest step of any log weight in one Newton iteration.
MAX_STEP = 4.0
RHO_RANGE = tuple(math.log(10.0) * v for v in LOG10_GAMMA_RANGE)
# No weight drops below the single weight by more than this factor (in log
# units): with little data between points a weight near 0 lets the
# polynomial swing freely there.
MAX_DROP = math.log(1e4)
# Fewer rows than this leave too few per weight function: one weight serves.
MIN_ROWS = 200


@dataclass(frozen=True)
class AdaptiveFit:
    """A fit with a varying curvature weight: the weights of the b_j
    (per observation, like gamma2), the coefficients, the effective degrees
    of freedom, the residual scale, a factor V of the posterior covariance
    sigma^2 V V', the criterion value and the penalty sum_j lam_j S_j."""

    lam: NDArray[np.float64]
    coef: NDArray[np.float64]
    edf: float
    sigma: float
    cov_factor: NDArray[np.float64]
    criterion_value: float
    penalty: NDArray[np.float64]


def centers(m: int = N_WEIGHTS) -> NDArray[np.float64]:
    """Where each weight function peaks, in scaled coordinates."""
    knots = _knots(m)
    return np.clip((knots[1:-2] + knots[2:-1]) / 2.0, -1.0, 1.0)


def mean_weight(lam: NDArray[np.float64]) -> float:
    """The average of w(u) = sum_j lam_j b_j(u) over [-1, 1]: each quadratic
    B-spline integrates to a third of its support."""
    t = _knots(len(lam))
    return float(lam @ ((t[3:] - t[:-3]) / 3.0)) / 2.0


def _knots(m: int) -> NDArray[np.float64]:
    # Clamped quadratic B-splines: m functions on m - 2 equal intervals.
    inner = np.linspace(-1.0, 1.0, m - 1)
    out: NDArray[np.float64] = np.r_[-1.0, -1.0, inner, 1.0, 1.0]
    return out


def weight_functions(u: NDArray[np.float64], m: int = N_WEIGHTS) -> NDArray[np.float64]:
    """(len(u), m): the quadratic B-splines b_j at u in [-1, 1] (Cox-de Boor)."""
    t = _knots(m)
    u = np.clip(np.asarray(u, dtype=np.float64), -1.0, 1.0)
    # Degree 0: the interval holding u (the last closed on the right).
    B = np.zeros((len(u), len(t) - 1))
    span = np.clip(np.searchsorted(t, u, side="right") - 1, 2, len(t) - 4)
    B[np.arange(len(u)), span] = 1.0
    for p in (1, 2):
        nxt = np.zeros((len(u), len(t) - 1 - p))
        for i in range(len(t) - 1 - p):
            left = t[i + p] - t[i]
            right = t[i + p + 1] - t[i + 1]
            if left > 0:
                nxt[:, i] += (u - t[i]) / left * B[:, i]
            if right > 0:
                nxt[:, i] += (t[i + p + 1] - u) / right * B[:, i + 1]
        B = nxt
    return B


@lru_cache(maxsize=16)
def penalties(degree: int, m: int = N_WEIGHTS) -> tuple[NDArray[np.float64], ...]:
    """S_j (j < m), each (degree + 1) square: the exact integrals over
    [-1, 1] of b_j P''_p P''_q, by Gauss-Legendre quadrature on every knot
    interval with enough nodes for the polynomial there."""
    inner = np.linspace(-1.0, 1.0, m - 1)
    lo, half = inner[:-1], np.diff(inner) / 2.0
    x, w = np.polynomial.legendre.leggauss(degree + 2)
    nodes = ((lo + half)[:, None] + half[:, None] * x).ravel()
    weights = (half[:, None] * w).ravel()
    D2 = legendre_table(nodes, degree, 2)
    B = weight_functions(nodes, m)
    out = tuple(_columns.gram(D2, weights * B[:, j]) for j in range(m))
    for S in out:
        S.setflags(write=False)
    return out


class Criterion:
    """V(rho) with its gradient and Hessian for one target's statistics."""

    def __init__(
        self, stats: Sufficient, fixed: NDArray[np.float64], S: tuple[NDArray[np.float64], ...]
    ):
        self.n = stats.n
        self.c = np.asarray(stats.cross, dtype=np.float64).reshape(-1)
        self.yy = float(np.asarray(stats.yy).reshape(-1)[0])
        self.fixed = fixed
        self.gram = stats.gram
        self.S = stats.n * np.stack(S)
        # The curvature penalty vanishes on P_0 and P_1 only.
        self.m0 = 2
        self.Sr = np.ascontiguousarray(self.S[:, 2:, 2:])

    def evaluate(
        self, rho: NDArray[np.float64], derivatives: bool = True
    ) -> tuple[float, NDArray[np.float64], NDArray[np.float64]]:
        """V at rho and, with `derivatives`, its gradient and Hessian:
        with P_j = A^-1 S_j and Q_j = S_r^-1 S_rj (the penalty on its range),
        d log|A| / d rho_j = lam_j tr P_j, d D / d rho_j = lam_j b' S_j b, and
        the second derivatives from d A^-1 / d rho_j = -lam_j A^-1 S_j A^-1."""
        lam = np.exp(rho)
        A = self.fixed + np.tensordot(lam, self.S, 1)
        Sr = np.tensordot(lam, self.Sr, 1)
        Ainv, logdet_a = _inverse(A)
        Srinv, logdet_s = _inverse(Sr)
        beta = Ainv @ self.c
        D = self.yy - float(self.c @ beta)
        nu = self.n - self.m0
        V = nu * math.log(D) + logdet_a - logdet_s
        if not derivatives:
            return V, np.empty(0), np.empty(0)
        P = np.stack([_columns.product(Ainv, Sj) for Sj in self.S])
        Q = np.stack([_columns.product(Srinv, Sj) for Sj in self.Sr])
        Sb = self.S @ beta
        PSb = P @ beta  # A^-1 S_j b
        bSb = Sb @ beta
        D1 = lam * bSb
        grad = nu * D1 / D + lam * (np.trace(P, axis1=1, axis2=2) - np.trace(Q, axis1=1, axis2=2))
        tAA = np.einsum("aij,bji->ab", P, P)
        tSS = np.einsum("aij,bji->ab", Q, Q)
        ll = np.outer(lam, lam)
        D2 = -2.0 * ll * (Sb @ PSb.T)
        H = nu * (D2 / D - np.outer(D1, D1) / D**2) - ll * (tAA - tSS)
        H = (H + H.T) / 2.0
        H[np.diag_indices(len(lam))] += grad
        return V, grad, H

    def fit(self, rho: NDArray[np.float64], value: float) -> AdaptiveFit:
        lam = np.exp(rho)
        penalty = np.tensordot(lam, self.S, 1)
        A = self.fixed + penalty
        Linv, _ = _columns.cholesky_inverse(A)
        beta = Linv.T @ (Linv @ self.c)
        G = self.gram
        edf = float(np.sum(_columns.product(Linv, G) * Linv))
        rss = self.yy - 2.0 * float(self.c @ beta) + float(beta @ G @ beta)
        dof = self.n - edf
        sigma = math.sqrt(max(rss, 0.0) / dof) if dof > 0 else math.nan
        return AdaptiveFit(lam, beta, edf, sigma, Linv.T, value, penalty / self.n)


def _inverse(A: NDArray[np.float64]) -> tuple[NDArray[np.float64], float]:
    """A^-1 and log det A of a symmetric positive definite A, by native
    kernels whose results do not depend on the thread count."""
    Linv, logdet = _columns.cholesky_inverse(A)
    out: NDArray[np.float64] = _columns.product(np.ascontiguousarray(Linv.T), Linv)
    return out, float(logdet)


def choose(
    stats: Sufficient, fixed: NDArray[np.float64], degree: int, lam0: float
) -> tuple[AdaptiveFit, float] | None:
    """The varying weight of lowest V starting from the single weight lam0,
    and the single weight's V, or None when the varying weight does not pay
    its charge."""
    S = penalties(degree)
    crit = Criterion(stats, fixed, S)
    m = len(S)
    rho = np.full(m, math.log(lam0))
    V0, grad, H = crit.evaluate(rho)
    V = V0
    lo, hi = max(RHO_RANGE[0], math.log(lam0) - MAX_DROP), RHO_RANGE[1]
    for _ in range(MAX_NEWTON):
        step = _newton_step(grad, H)
        decrease = -float(grad @ step)
        # The quadratic model's decrease (a Newton decrement, at most about
        # half of this) bounds what is left to gain near here: stop once even
        # twice it would not pay the charge.
        if decrease < NEWTON_TOL or (V0 - V) + 2.0 * decrease < ADAPTIVE_CHARGE * (m - 1):
            break
        t = 1.0
        while t > 1e-4:
            trial = np.clip(rho + t * step, lo, hi)
            try:
                Vt = crit.evaluate(trial, derivatives=False)[0]
            except ValueError:  # a factor lost to rounding: step back
                Vt = math.inf
            if Vt < V:
                break
            t /= 2.0
        else:
            break
        rho = trial
        V, grad, H = crit.evaluate(rho)
    if V0 - V <= ADAPTIVE_CHARGE * (m - 1):
        return None
    return crit.fit(rho, V), V0


def _newton_step(grad: NDArray[np.float64], H: NDArray[np.float64]) -> NDArray[np.float64]:
    """The Newton step of a Hessian made positive definite (eigenvalues by
    absolute value, floored), its largest entry at most MAX_STEP."""
    ev, U = np.linalg.eigh(H)
    floor = max(1e-8 * float(np.max(np.abs(ev))), 1e-10)
    ev = np.maximum(np.abs(ev), floor)
    step: NDArray[np.float64] = -(U @ ((U.T @ grad) / ev))
    big = float(np.max(np.abs(step)))
    return step * (MAX_STEP / big) if big > MAX_STEP else step
