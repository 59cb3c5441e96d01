"""The fitting pipeline, from a row source to a `FittedModel`.

1. A scan of the source gives the rows of positive weight and the training
   box; the candidate degrees are fixed (an automatic degree never exceeds the
   number of distinct values of an axis less one).
2. The widest candidate basis and its penalties are built, and one pass sums
   the block statistics of the data in it (Gram matrix, cross products, y'y,
   weight total).
3. The degree and curvature weight are chosen from the statistics alone
   (`zorp.smoothing`), every target column by its own criterion or all by
   their sum, and the coefficients, effective degrees of freedom, residual
   scale and posterior covariance all come from that one decomposition.
4. Method steps: "ols" solves the minimum-norm least-squares problem from a
   blocked QR factorisation of the chosen basis; "mcmc" refines the fit with
   the tournament sampler; "robust" runs the reweighted fit of `zorp.robust`
   on the whole design when it fits the block budget, and otherwise starts
   from a sample and sums biweight-weighted statistics pass by pass.
5. A last pass scores the fit: hit rate and description length per target.
"""

from __future__ import annotations

import math
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
from numpy.typing import NDArray

from zorp import adaptive, shape
from zorp._native import _kernels as _columns
from zorp._native import zorp_core as _core
from zorp._progress import Progress, say
from zorp.bases import BASES, Basis, BasisKind, Box
from zorp.model import TAIL_PROBS, FittedModel, McmcInfo, RobustInfo
from zorp.robust import (
    RobustResult,
    SamplerSettings,
    SearchSettings,
    fit_robust,
    grid_select,
    m_step,
    weighted_solve,
)
from zorp.smoothing import (
    Choice,
    ColumnFits,
    Criterion,
    PenalizedFit,
    SmoothingPath,
    Sufficient,
    fixed_part,
    submatrix,
)
from zorp.sources import BLOCK_BYTES, ArraySource, Source

Method = Literal["penalized", "ols", "mcmc", "robust"]
METHODS: tuple[str, ...] = ("penalized", "ols", "mcmc", "robust")

# Largest tensor-product basis accepted (the fit solves an M x M system).
MAX_TERMS = 4096
# The automatic degree: up to AUTO_MAX_DEGREE[basis] in one dimension, and up
# to AUTO_MAX_DEGREE_ND[basis] per axis within AUTO_MAX_TERMS terms in several,
# on at most AUTO_MAX_FEATURES input dimensions (beyond, the affine basis).
# Powers lose their digits beyond degree 15; the orthogonal basis goes as high
# as curves with dozens of turns need, the penalty doing the smoothing.
AUTO_MAX_DEGREE = {"legendre": 200, "power": 15}
AUTO_MAX_DEGREE_ND = {"legendre": 15, "power": 8}
AUTO_MAX_TERMS = 512
AUTO_MAX_FEATURES = 10
# Basis sizes the criterion compares in one dimension in the orthogonal basis:
# every low degree (a polynomial law is then found exactly), then sizes in
# ratios of about 1.5, since beyond a few terms the penalty, not the size,
# sets the smoothness.
# They are tried in increasing order; from degree PATIENT_FROM on, the search
# stops once SIZE_PATIENCE sizes in a row have not lowered the criterion by
# SIZE_GAIN (a larger basis must pay like an extra parameter would), so that
# smooth curves skip the costly reductions of the largest sizes.
LEGENDRE_SIZES_1D = (1, 2, 3, 4, 5, 6, 8, 10, 14, 20, 30, 45, 65, 100, 140, 200)
PATIENT_FROM = 45
PATIENT_FROM_ND = 8
SIZE_PATIENCE = 2
SIZE_GAIN = 2.0
# Bands come from the posterior of the basis this many candidate sizes above
# the chosen one (see `_band_covariance`).
BAND_STEPS = 2
# Grid points per axis of the penalty sums, by default.
N_GRID_1D = 600
N_GRID_ND = 30

# The robust fit of a design larger than BLOCK_BYTES starts from a random
# sample of about ROBUST_SAMPLE rows (fewer for a wide basis, see
# `robust_sample_rows`); then at most ROBUST_PASSES reweighting
# passes over all rows follow, until the fitted values move by less than
# ROBUST_TOL scales in root mean square.
ROBUST_SAMPLE = 20_000
ROBUST_SAMPLE_MIN = 5_000
# Terms of the basis of the robust start at most (see `start_candidate`).
ROBUST_START_TERMS = 81
ROBUST_PASSES = 10
ROBUST_TOL = 1e-6


# The gradient and curvature penalty matrices of a basis.
Penalties = tuple[NDArray[np.float64], NDArray[np.float64]]


@dataclass(frozen=True)
class FitOptions:
    """What to fit, checked: `degrees` one per axis, one for all axes, or
    None for the automatic choice."""

    degrees: list[int] | int | None
    basis: BasisKind = "legendre"
    gamma1: float = 0.0
    gamma2: float | Literal["auto"] = "auto"
    ridge: float = 1e-10
    n_grid: int | None = None
    method: str = "penalized"
    criterion: Criterion = "reml"
    adaptive: bool = True
    per_target: bool = True
    H: int = 20
    # The sampler's seed, before mixing (see `splitmix64`).
    seed: int = 42
    sampler: SamplerSettings = SamplerSettings()
    # None, one of shape.SHAPES for every axis, or one entry (or None) per axis.
    shape: str | tuple[str | None, ...] | None = None
    # Messages about the fit's stages (`verbose`); they never change the fit.
    progress: Progress | None = field(default=None, compare=False, repr=False)

    @property
    def auto_gamma2(self) -> bool:
        return self.gamma2 == "auto"


@dataclass
class Plan:
    """Candidate degree vectors, and the widest basis with its penalties."""

    candidates: list[list[int]]
    widest: Basis
    R1: NDArray[np.float64]
    R2: NDArray[np.float64]
    # Whether the search over candidates may stop early (see SIZE_PATIENCE).
    patient: bool = False


def splitmix64(seed: int) -> int:
    """SplitMix64 finaliser of `seed`: nearby seeds give unrelated sampler streams."""
    mask = 2**64 - 1
    z = (seed + 0x9E3779B97F4A7C15) & mask
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
    return z ^ (z >> 31)


def auto_candidates(
    n_features: int,
    distinct: NDArray[np.int64] | None = None,
    n_grid: int | None = None,
    basis: BasisKind = "legendre",
) -> list[list[int]]:
    """Degree vectors the automatic choice compares: the same degree on every
    axis, from 1 up to AUTO_MAX_DEGREE (AUTO_MAX_DEGREE_ND in several
    dimensions) within AUTO_MAX_TERMS terms (more only for degree 1), below
    the number of distinct values of every axis and, in the power basis,
    below the penalty grid. In one dimension the orthogonal basis compares
    the sizes LEGENDRE_SIZES_1D only, and always its largest allowed degree."""
    if n_features > AUTO_MAX_FEATURES:
        return [[1] * n_features]
    top = (AUTO_MAX_DEGREE if n_features == 1 else AUTO_MAX_DEGREE_ND)[basis]
    if distinct is not None:
        top = min(top, int(distinct.min()) - 1)
    if n_grid is not None and basis == "power":
        top = min(top, n_grid - 1)
    if n_features == 1 and basis == "legendre":
        sizes = sorted({d for d in LEGENDRE_SIZES_1D if d < top} | {max(top, 1)})
        return [[d] for d in sizes]
    out = [[1] * n_features]
    for d in range(2, top + 1):
        if (d + 1) ** n_features > AUTO_MAX_TERMS:
            break
        out.append([d] * n_features)
    return out


def check_degrees(degrees: list[int], n_features: int) -> None:
    """Refuse a given degree vector that does not fit the data or the solver."""
    if len(degrees) != n_features:
        raise ValueError(f"degree has {len(degrees)} entries but X has {n_features} features")
    n_terms = math.prod(d + 1 for d in degrees)
    if n_terms > MAX_TERMS:
        raise ValueError(
            f"the tensor-product basis of degrees {degrees} has {n_terms} terms; "
            f"at most {MAX_TERMS} are supported, lower the degree"
        )


def given_degrees(opts: FitOptions, n_features: int) -> list[int] | None:
    """The given degree per axis, None for the automatic choice."""
    if isinstance(opts.degrees, int):
        return [opts.degrees] * n_features
    return opts.degrees


def n_grid_of(opts: FitOptions, n_features: int) -> int:
    """Grid points per axis of the penalty sums: as given, or by default
    N_GRID_1D (N_GRID_ND in several dimensions), more for a given degree at
    or above that, so that the grid always determines the penalty."""
    if opts.n_grid is not None:
        return opts.n_grid
    default = N_GRID_1D if n_features == 1 else N_GRID_ND
    degrees = given_degrees(opts, n_features)
    return default if degrees is None else max(default, max(degrees) + 1)


def check_shape(opts: FitOptions, n_samples: int, n_features: int, n_targets: int) -> None:
    """The checks of the parameters that need the data's shape, before any pass."""
    if opts.method == "mcmc" and n_targets > 1:
        raise ValueError(
            f"method={opts.method!r} fits one target at a time; pass y of shape "
            "(n_samples,) for each column"
        )
    shape.check(opts.shape, opts.method, n_features)
    degrees = given_degrees(opts, n_features)
    if degrees is not None:
        check_degrees(degrees, n_features)
    if degrees is not None and opts.basis == "power":
        n_grid = n_grid_of(opts, n_features)
        if n_grid <= max(degrees):
            raise ValueError(f"n_grid={n_grid} must exceed the degree of every axis")


def plan(opts: FitOptions, n_features: int, distinct: NDArray[np.int64] | None) -> Plan:
    """The candidate degrees and the widest basis with its penalties."""
    degrees = given_degrees(opts, n_features)
    n_grid = n_grid_of(opts, n_features)
    if degrees is not None:
        candidates = [degrees]
    else:
        candidates = auto_candidates(n_features, distinct, n_grid, opts.basis)
    kind = BASES[opts.basis]
    if opts.degrees is None and n_features > AUTO_MAX_FEATURES:
        widest, R1, R2 = kind.affine_with_penalties(n_features, n_grid)
        if opts.gamma1 != 0.0 and not np.isfinite(R1).all():
            raise ValueError(
                f"gamma1={opts.gamma1!r} with {n_features} inputs: the gradient penalty "
                "of the affine basis exceeds the largest float; use gamma1=0 or fewer inputs"
            )
    else:
        top = [max(c[d] for c in candidates) for d in range(n_features)]
        widest, R1, R2 = kind.with_penalties(top, n_grid)
    patient = degrees is None and opts.basis == "legendre"
    return Plan(candidates, widest, R1, R2, patient)


def choose(
    plan: Plan,
    stats_all: Sufficient,
    opts: FitOptions,
    candidates: list[list[int]] | None = None,
    fast: bool = False,
) -> Choice:
    """The degree vector and curvature weight of lowest criterion, with its
    fit; with several targets, by the criterion summed over the columns.
    `candidates` replaces the plan's degree vectors; `fast` picks a single
    target's weight on a fine grid without refinement."""
    R1, R2 = plan.R1, plan.R2
    t = stats_all.n_targets
    ols = opts.method == "ols"
    k_all = plan.widest.n_terms
    best: tuple[float, Choice] | None = None
    idle = 0
    for degrees in plan.candidates if candidates is None else candidates:
        if plan.patient and idle >= SIZE_PATIENCE:
            say(
                opts.progress, "larger degrees skipped: the last ones did not pay", 2 if fast else 1
            )
            break
        idx = plan.widest.terms_within(degrees)
        whole = len(idx) == k_all
        stats = stats_all if whole else stats_all.subset(idx)
        R1s = R1 if whole else submatrix(R1, idx)
        R2s = R2 if whole else submatrix(R2, idx)
        lams: NDArray[np.float64] | None = None
        value: float | None
        if ols:
            # No penalty: degrees compare by cross-validation of the plain fit.
            path = SmoothingPath(stats, fixed_part(stats, None, 0.0, 0.0), 0.0 * R2s)
            lam, value = 0.0, None
            kind: Criterion = "gcv"
        else:
            fixed = fixed_part(stats, R1s, opts.gamma1, opts.ridge)
            path = SmoothingPath(stats, fixed, stats.n * R2s)
            kind = opts.criterion
            if not opts.auto_gamma2:
                lam, value = float(opts.gamma2), None
            elif path.rank == 0 or stats.n <= path.m0:
                # Nothing to choose: the penalty is void or the data cannot
                # tell its weight; the affine part is fitted exactly.
                lam, value = (0.0 if path.rank == 0 else 1.0), math.inf
            elif t is None and fast:
                lam, value = grid_select(path, opts.criterion)
            elif t is None:
                lam, value = path.select(opts.criterion)
            else:
                lam, value = math.nan, None
                lams, values = path.select_columns(opts.criterion, shared=not opts.per_target)
        model: PenalizedFit | ColumnFits
        if t is None:
            if value is None:
                value = float(path.criterion(lam if ols else max(lam, 1e-300), kind))
            model, total = path.fit(lam, value), value
        else:
            if lams is None:
                lams = np.full(t, lam)
                at = lams if ols else np.maximum(lams, 1e-300)
                values = np.full(t, value) if value is not None else path.criterion(at, kind, True)
            model, total = path.fit_columns(lams, values), float(values.sum())
        say(
            opts.progress,
            f"degree {_degrees_text(degrees)}: {kind} {total:.6g} "
            f"at gamma2 {_numbers(model.gamma2)}",
            level=2 if fast else 1,
        )
        if best is not None and max(degrees) >= (
            PATIENT_FROM if len(degrees) == 1 else PATIENT_FROM_ND
        ):
            idle = 0 if total < best[0] - SIZE_GAIN else idle + 1
        if best is None or total < best[0]:
            best = (total, Choice(degrees, idx, R1s, R2s, path, model))
    assert best is not None
    return best[1]


def fit(source: Source, opts: FitOptions) -> FittedModel:
    """The fitted model of `source`'s rows under `opts`."""
    timings: dict[str, float] = {}
    start = time.perf_counter()
    cap = AUTO_MAX_DEGREE[opts.basis] + 2
    n, box, distinct = source.scan(cap)
    say(opts.progress, f"scan: {n} rows of {source.n_features} input(s), {_elapsed(start)}")
    if n < 2:
        raise ValueError(f"n_samples={n}: at least 2 samples are required")
    p = plan(opts, source.n_features, distinct)
    timings["penalties"] = time.perf_counter() - start
    say(
        opts.progress,
        f"{opts.basis} basis: {len(p.candidates)} degree candidate(s), the widest of "
        f"{p.widest.n_terms} terms; penalties ready at {timings['penalties']:.3f} s",
    )
    if opts.method == "robust":
        fields, penalties = _fit_robust(source, opts, p, box, timings)
    else:
        fields, penalties = _fit_least_squares(source, opts, p, box, n, timings)
    start = time.perf_counter()
    mdl, hit = _scores(
        source, fields["basis"], box, fields["coef"], penalties, opts, fields["gamma2"]
    )
    timings["score"] = time.perf_counter() - start
    say(opts.progress, f"score pass: hit rate {_numbers(hit)}, {timings['score']:.3f} s")
    say(opts.progress, f"fit done in {sum(timings.values()):.3f} s")
    return FittedModel(
        box=box, mdl_score=mdl, hit_rate=hit, single=False, timings=timings, n_rows=n, **fields
    )


def _fit_least_squares(
    source: Source, opts: FitOptions, p: Plan, box: Box, n: int, timings: dict[str, float]
) -> tuple[dict[str, Any], Penalties]:
    """The penalized, least-squares or sampler-refined fit of every target:
    the model's fields, and the penalties of the chosen basis."""
    start = time.perf_counter()
    with np.errstate(over="ignore", invalid="ignore"):
        # An overflow here shows in the sums of squares and is redone below.
        stats = source.statistics(p.widest, box)
    say(opts.progress, f"statistics pass: {n} rows, {p.widest.n_terms} terms, {_elapsed(start)}")
    if needs_rescale(stats):
        # The scaled targets give the same fit, exactly, without overflow.
        source.rescale_targets()
        stats = source.statistics(p.widest, box)
        say(opts.progress, f"statistics pass again on rescaled targets, {_elapsed(start)}")
    timings["statistics"] = time.perf_counter() - start
    check_weights_total(opts, stats.n)
    start = time.perf_counter()
    choice = choose(p, stats, opts)
    if opts.shape is not None and opts.method != "ols" and len(p.candidates) > 1:
        choice = _shaped_choice(p, stats, opts, choice)
    timings["smoothing choice"] = time.perf_counter() - start
    model = choice.model
    assert isinstance(model, ColumnFits)
    basis = p.widest.subset(choice.idx)
    say(
        opts.progress,
        f"chosen: degree {_degrees_text(choice.degrees)}, gamma2 {_numbers(model.gamma2)}, "
        f"edf {_numbers(model.edf)}, {timings['smoothing choice']:.3f} s",
    )

    start = time.perf_counter()
    cov_T = model.cov_T
    cov_d: NDArray[np.float64] | None = model.cov_d
    coef, edf, sigma = model.coef, model.edf, model.sigma
    gamma2 = model.gamma2.copy()
    penalties = (choice.R1, choice.R2)
    profile = None
    value = model.criterion_value
    if (
        opts.method == "penalized"
        and stats.n_targets == 1
        and adapts(opts, basis, stats.n, choice.path.rank)
    ):
        varying = _adapt(stats, choice, opts)
        _say_varying(opts, varying, start)
        if varying is not None:
            coef, edf = varying.coef[None], np.array([varying.edf])
            sigma, cov_T = np.array([varying.sigma]), varying.cov_factor
            cov_d = np.ones((1, len(varying.coef)))
            gamma2 = np.array([adaptive.mean_weight(varying.lam)])
            penalties = (choice.R1, varying.penalty / gamma2[0])
            profile = varying.lam
            value = np.array([varying.criterion_value])
    timings["adaptive weight"] = time.perf_counter() - start
    start = time.perf_counter()
    mcmc = None
    no_penalty = choice.path.rank == 0 and opts.gamma1 == 0.0 and opts.auto_gamma2
    if opts.method == "ols" or no_penalty:
        # No penalty: the minimum-norm least-squares fit, which stays exact
        # where the data leave terms undetermined.
        coef, edf, sigma, cov_T = _least_squares(source, basis, box, n, stats.n)
        cov_d = np.ones_like(coef)
        gamma2 = np.zeros(len(coef))
        say(opts.progress, f"least-squares pass: {n} rows, rank {_numbers(edf)}, {_elapsed(start)}")
    con = shape.Constraint.of(basis, opts.shape)
    shaped = None
    if con is not None:
        # The unconstrained fit of every column in whitened coordinates.
        if opts.method == "ols" or no_penalty:
            columns = _least_squares_columns(coef, sigma, stats.n - edf, cov_T)
        elif profile is not None:
            sub = stats.subset(choice.idx)
            columns = [_varying_column(sub, coef[0], edf[0], sigma[0], cov_T)]
        else:
            columns = _path_columns(choice.path, model)
        shaped = _shaped(con, columns, stats.n)
        if shaped is not None:
            coef, edf, sigma, cov_T = shaped
            cov_d = None
    cov_basis = None
    if (
        opts.method in ("penalized", "mcmc")
        and shaped is None
        and not no_penalty
        and given_degrees(opts, source.n_features) is None
    ):
        wider = _band_covariance(p, stats, opts, choice, gamma2, profile)
        if wider is not None:
            cov_basis, cov_T, cov_d = wider
    kind: Criterion = "gcv" if opts.method == "ols" else opts.criterion
    criterion = in_target_units(value, kind, choice.path, source.y_scale)
    # R^2 from the scaled targets' sums of squares (the first term is the constant).
    cross0 = stats.cross[0] if stats.cross.ndim == 1 else stats.cross[0, :]
    tss = np.atleast_1d(stats.yy - cross0**2 / stats.n)
    with np.errstate(divide="ignore", invalid="ignore"):
        r2 = np.where(tss > 0.0, 1.0 - (sigma / np.sqrt(tss)) ** 2 * (stats.n - edf), np.nan)
    coef, sigma = to_target_units(coef, sigma, source.y_scale)
    if opts.method == "mcmc":
        assert isinstance(source, ArraySource)
        refined, mcmc = _refine_mcmc(source, basis, box, coef[0], choice, opts, gamma2[0])
        coef = refined[None]
        say(
            opts.progress,
            f"sampler: energy {mcmc.start_energy:.6g} -> {mcmc.energy:.6g}, {_elapsed(start)}",
        )
    timings[f"{opts.method} fit"] = time.perf_counter() - start

    fields = dict(
        basis=basis,
        coef=coef,
        gamma2=gamma2,
        edf=edf,
        sigma=sigma,
        dof=stats.n - edf,
        cov_T=cov_T,
        cov_d=cov_d,
        mcmc=mcmc,
        profile=profile,
        criterion=criterion,
        criterion_kind=kind,
        r2=r2,
        cov_basis=cov_basis,
    )
    return fields, penalties


def band_degrees(p: Plan, chosen: list[int]) -> list[int] | None:
    """The degrees whose posterior gives the bands of a fit of automatic
    degree `chosen`: BAND_STEPS candidates larger, None when there is none."""
    if chosen not in p.candidates:
        return None
    pos = p.candidates.index(chosen)
    wide = p.candidates[min(pos + BAND_STEPS, len(p.candidates) - 1)]
    return None if wide == chosen else list(wide)


def _band_covariance(
    p: Plan,
    stats: Sufficient,
    opts: FitOptions,
    choice: Choice,
    lams: NDArray[np.float64],
    profile: NDArray[np.float64] | None,
) -> tuple[Basis, NDArray[np.float64], NDArray[np.float64]] | None:
    """The posterior covariance factors (cov_T, cov_d) of the penalized fit
    at the same curvature weight(s) in a basis a few sizes larger, and that
    basis. The chosen degree leaves out terms the data cannot rule out; the
    posterior of the chosen basis alone then gives bands too narrow for
    the curve, and more so for its derivatives. Their prior at the chosen
    weight, given back here, widens the bands where those terms matter."""
    wide = band_degrees(p, choice.degrees)
    if wide is None or not (lams > 0.0).all():
        return None
    idx = p.widest.terms_within(wide)
    found = _wider_posterior(p, stats.subset(idx), idx, opts, lams, profile)
    return None if found is None else (p.widest.subset(idx), *found)


def _wider_posterior(
    p: Plan,
    stats: Sufficient,
    idx: NDArray[np.intp],
    opts: FitOptions,
    lams: NDArray[np.float64],
    profile: NDArray[np.float64] | None,
) -> tuple[NDArray[np.float64], NDArray[np.float64]] | None:
    """The posterior covariance factors (cov_T, cov_d) in the basis of the
    terms `idx` (the statistics `stats`) at the weights `lams` of the target
    columns, or at the varying weight `profile`; None where that normal
    matrix is not numerically definite."""
    fixed = fixed_part(stats, submatrix(p.R1, idx), opts.gamma1, opts.ridge)
    if profile is None:
        fits = SmoothingPath(stats, fixed, stats.n * submatrix(p.R2, idx)).fit_columns(lams)
        return fits.cov_T, fits.cov_d
    crit = adaptive.Criterion(stats, fixed, adaptive.penalties(len(idx) - 1))
    try:
        factor = crit.fit(np.log(profile), math.nan).cov_factor
    except ValueError:
        return None
    return factor, np.ones((1, len(idx)))


def _robust_band(
    column: Source, opts: FitOptions, p: Plan, box: Box, choice: Choice, res: RobustResult
) -> tuple[list[int], NDArray[np.intp], NDArray[np.float64]] | None:
    """As `_band_covariance` for a robust fit of one column held in memory:
    the wider basis's degrees, terms and covariance factor at the final
    robust weights and the chosen curvature weight(s)."""
    if (
        not isinstance(column, ArraySource)
        or opts.shape is not None
        or given_degrees(opts, column.n_features) is not None
    ):
        return None
    wide = band_degrees(p, choice.degrees)
    assert isinstance(choice.model, PenalizedFit)
    if wide is None or not choice.model.gamma2 > 0.0:
        return None
    idx = p.widest.terms_within(wide)
    if column.n * len(idx) * 8 > BLOCK_BYTES or len(res.weights) != column.n:
        return None
    Phi = column.design(p.widest.subset(idx), box)
    y = column.Y[:, 0] / column.y_scale[0]
    stats = Sufficient.from_design(
        Phi, y, res.weights if column.w is None else res.weights * column.w
    )
    lams = np.array([choice.model.gamma2])
    found = _wider_posterior(p, stats, idx, opts, lams, choice.profile)
    if found is None:
        return None
    cov_T, cov_d = found
    return wide, idx, cov_T / np.sqrt(cov_d[0])


def _elapsed(start: float) -> str:
    return f"{time.perf_counter() - start:.3f} s"


def _numbers(values: Any) -> str:
    """One number, or several in brackets, for a progress line."""
    flat = np.ravel(values)
    text = ", ".join(f"{float(v):.4g}" for v in flat)
    return text if len(flat) == 1 else f"[{text}]"


def _degrees_text(degrees: list[int]) -> str:
    return "x".join(str(d) for d in degrees)


def _say_varying(opts: FitOptions, varying: adaptive.AdaptiveFit | None, start: float) -> None:
    if varying is None:
        say(
            opts.progress,
            f"varying curvature weight: does not pay, one weight kept, {_elapsed(start)}",
        )
    else:
        say(
            opts.progress,
            f"varying curvature weight: kept, {len(varying.lam)} weights from "
            f"{float(varying.lam.min()):.4g} to {float(varying.lam.max()):.4g}, {_elapsed(start)}",
        )


@dataclass(frozen=True)
class Column:
    """One target's unconstrained fit in whitened coordinates: coefficients
    coef = V z0 with V' A V = I for its normal matrix A, D = V' G V (a vector
    where diagonal) for its Gram matrix G, and its effective degrees of
    freedom, residual sum of squares and scale."""

    V: NDArray[np.float64]
    z0: NDArray[np.float64]
    D: NDArray[np.float64]
    coef: NDArray[np.float64]
    edf: float
    rss: float
    sigma: float


def _path_columns(path: SmoothingPath, model: ColumnFits) -> list[Column]:
    """The columns of penalized fits on one path: V = T / sqrt(d), z0 = T'c / sqrt(d)."""
    _, _, rss = path._fits(model.gamma2)
    out = []
    for j in range(len(model.coef)):
        root = np.sqrt(model.cov_d[j])
        b = path.b if path.b.ndim == 1 else path.b[:, j]
        out.append(
            Column(
                path.T / root,
                b / root,
                path.mu / model.cov_d[j],
                model.coef[j],
                float(model.edf[j]),
                float(rss[j]),
                float(model.sigma[j]),
            )
        )
    return out


def _least_squares_columns(
    coef: NDArray[np.float64],
    sigma: NDArray[np.float64],
    dof: NDArray[np.float64],
    cov: NDArray[np.float64],
) -> list[Column]:
    """The columns of least-squares fits with covariance factor `cov`
    (orthogonal columns, then zeros): D = I on its rank."""
    V = cov[:, np.any(cov != 0.0, axis=0)]
    norms = np.sum(V**2, axis=0)
    out = []
    for j in range(len(coef)):
        rss = float(sigma[j] ** 2 * dof[j]) if dof[j] > 0 else 0.0
        z0 = (V.T @ coef[j]) / norms
        out.append(Column(V, z0, np.ones(len(z0)), coef[j], float(V.shape[1]), rss, sigma[j]))
    return out


def _varying_column(
    stats: Sufficient,
    coef: NDArray[np.float64],
    edf: float,
    sigma: float,
    V: NDArray[np.float64],
) -> Column:
    """The column of a fit with a varying curvature weight (V = L^-T)."""
    cross = np.asarray(stats.cross).reshape(len(V), -1)[:, 0]
    D = V.T @ stats.gram @ V
    rss = sigma**2 * (stats.n - edf)
    return Column(V, V.T @ cross, D, coef, edf, rss, sigma)


# In several inputs the constrained fits compete up to this many terms (each
# costs a constrained solve checked on lines through the box).
SHAPE_SEARCH_TERMS = 100


def _shaped_score(con: shape.Constraint, columns: list[Column], n: float) -> float:
    """Generalised cross-validation of the constrained fits, log summed over
    the columns: rss from the constrained fit, edf from the fit restricted to
    its active constraints."""
    total = 0.0
    for c in columns:
        sol = shape.solve(con, c.V, c.z0)
        edf = c.edf - (0.0 if sol is None else sol.edf_drop(c.D))
        rss = c.rss + (0.0 if sol is None else sol.rss_added(c.z0, c.D))
        dof = n - edf
        if not (dof > 0.0 and rss > 0.0):
            return math.inf
        total += math.log(n * rss / dof**2)
    return total


def _shaped_choice(p: Plan, stats: Sufficient, opts: FitOptions, first: Choice) -> Choice:
    """The degree for a shape-constrained fit: where the constraint binds on
    the criterion's choice, larger candidates (each at its own criterion's
    weight) compete by the constrained fits' cross-validation, until
    SIZE_PATIENCE in a row do not improve it (in several inputs up to
    SHAPE_SEARCH_TERMS terms). A constraint binding on a wiggle often needs
    more terms than the unconstrained fit to follow a kink."""
    assert isinstance(first.model, ColumnFits)
    con = shape.Constraint.of(p.widest.subset(first.idx), opts.shape)
    columns = _path_columns(first.path, first.model)
    if con is None or all(shape.solve(con, c.V, c.z0) is None for c in columns):
        return first
    best = (_shaped_score(con, columns, stats.n), first)
    later = [
        c
        for c in p.candidates
        if len(first.idx) < math.prod(d + 1 for d in c) <= SHAPE_SEARCH_TERMS
        or len(c) == 1
        and math.prod(d + 1 for d in c) > len(first.idx)
    ]
    idle = 0
    for degrees in later:
        if idle >= SIZE_PATIENCE:
            break
        choice = choose(p, stats, opts, [degrees])
        assert isinstance(choice.model, ColumnFits)
        con = shape.Constraint.of(p.widest.subset(choice.idx), opts.shape)
        assert con is not None
        score = _shaped_score(con, _path_columns(choice.path, choice.model), stats.n)
        idle = 0 if score < best[0] else idle + 1
        if score < best[0]:
            best = (score, choice)
    return best[1]


def _shaped(
    con: shape.Constraint, columns: list[Column], n: float
) -> tuple[NDArray[np.float64], ...] | None:
    """Every column's fit under the shape constraint `con`: coefficients,
    effective degrees of freedom, residual scales and the stack of covariance
    factors projected on the null space of each column's active constraints;
    None where every unconstrained fit already holds its shape."""
    solutions = [shape.solve(con, c.V, c.z0) for c in columns]
    if all(s is None for s in solutions):
        return None
    t, k = len(columns), con.basis.n_terms
    coef, edf, sigma = np.empty((t, k)), np.empty(t), np.empty(t)
    stack = np.zeros((t, k, k))
    for j, (c, sol) in enumerate(zip(columns, solutions, strict=True)):
        r = c.V.shape[1]
        if sol is None:
            coef[j], edf[j], sigma[j] = c.coef, c.edf, c.sigma
            stack[j, :, :r] = c.V
            continue
        coef[j] = sol.coef(c.V)
        edf[j] = c.edf - sol.edf_drop(c.D)
        dof = n - edf[j]
        rss = c.rss + sol.rss_added(c.z0, c.D)
        sigma[j] = math.sqrt(rss / dof) if dof > 0 else math.nan
        stack[j, :, :r] = sol.cov_factor(c.V)
    return coef, edf, sigma, stack


def adapts(opts: FitOptions, basis: Basis, n: float, rank: int) -> bool:
    """Whether the curvature weight may vary along x: one input, the Legendre
    basis of degree 3 or more with a penalty to weigh, the weight chosen by
    restricted likelihood, and at least adaptive.MIN_ROWS rows (more than
    terms). The penalized fit adapts for one target, the robust fit per target."""
    return (
        opts.adaptive
        and opts.auto_gamma2
        and opts.criterion == "reml"
        and basis.kind == "legendre"
        and basis.n_features == 1
        and basis.degrees[0] >= 3
        and rank > 0
        and n > basis.n_terms
        and n >= adaptive.MIN_ROWS
    )


def _adapt(stats: Sufficient, choice: Choice, opts: FitOptions) -> adaptive.AdaptiveFit | None:
    """The fit with a varying curvature weight, when it pays (see `zorp.adaptive`)."""
    sub = stats.subset(choice.idx)
    fixed = fixed_part(sub, choice.R1, opts.gamma1, opts.ridge)
    model = choice.model
    assert isinstance(model, ColumnFits)
    lam0 = float(model.gamma2[0])
    if not lam0 > 0.0:
        return None
    found = adaptive.choose(sub, fixed, len(choice.idx) - 1, lam0)
    return None if found is None else found[0]


def needs_rescale(stats: Sufficient) -> bool:
    """Whether sums of squares of the targets reach where squares overflow
    or lose digits to underflow (a zero sum of a column that is not all zero)."""
    yy = np.asarray(stats.yy)
    zero = (yy == 0.0) & ~np.any(stats.cross != 0.0, axis=0)
    safe = np.isfinite(yy) & (yy < 2.0**900) & ((yy > 2.0**-900) | zero)
    return not bool(safe.all())


def check_weights_total(opts: FitOptions, n: float) -> None:
    """Refuse penalty weights that overflow once multiplied by the rows'
    weight total, as the normal equations multiply them."""
    for name, value in (("gamma1", opts.gamma1), ("gamma2", opts.gamma2)):
        if isinstance(value, float) and not math.isfinite(value * n):
            raise ValueError(
                f"{name}={value!r} times the rows' weight total ({n:g}) exceeds the largest "
                f"float; use a smaller {name}"
            )


def in_target_units(
    value: NDArray[np.float64], kind: Criterion, path: SmoothingPath, y_scale: NDArray[np.float64]
) -> NDArray[np.float64]:
    """Criterion values of scaled targets in the targets' units: GCV scales
    with the variance, -2 log restricted likelihood shifts by nu log(scale^2)."""
    if kind == "gcv":
        # Beyond the float range for targets near its limit: reported as inf.
        with np.errstate(over="ignore"):
            out: NDArray[np.float64] = value * y_scale * y_scale
    else:
        out = value + (path.n - path.m0) * 2.0 * np.log(y_scale)
    return out


def to_target_units(
    coef: NDArray[np.float64], sigma: NDArray[np.float64], y_scale: NDArray[np.float64]
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Coefficients and residual scales of the scaled targets back in the
    targets' units; refuses results beyond the float range."""
    with np.errstate(over="ignore"):
        coef = coef * y_scale[:, None]
        sigma = sigma * y_scale
    if not np.isfinite(coef).all():
        raise ValueError(
            "the fitted coefficients exceed the largest float at the scale of y "
            f"(largest |y| near {float(y_scale.max()):.3g}); divide y by a constant first"
        )
    return coef, sigma


def _least_squares(
    source: Source, basis: Basis, box: Box, rows: int, n: float
) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]]:
    """The minimum-norm least-squares fit of every target in `basis`, from the
    triangular factor of the weighted design and targets (as accurate as a
    factorisation of the whole design): coefficients (t, k), effective degrees
    of freedom (the numerical rank), residual scale and covariance factor.
    `rows` counts the rows of positive weight, `n` is their weight total."""
    k = basis.n_terms
    R = source.triangular(basis, box)
    m = min(k, len(R))
    Rk, QtY = R[:m, :k], R[:m, k:]
    # Residual norms: what the basis leaves of each target column.
    rss = np.sum(R[m:, k:] ** 2, axis=0)
    U, s, Vt = np.linalg.svd(Rk, full_matrices=False)
    # The rank decision of an SVD of the whole design.
    eps, tiny = np.finfo(float).eps, np.finfo(float).tiny
    cutoff = max(s[0] * max(1, min(rows, k)) * eps, tiny) if m else 0.0
    r = int(np.sum(s >= cutoff)) if m else 0
    V = Vt[:r].T / s[:r]
    coef = (V @ (U[:, :r].T @ QtY)).T
    dof = n - r
    with np.errstate(divide="ignore", invalid="ignore"):
        sigma = np.where(dof > 0, np.sqrt(rss / dof), np.nan)
    cov = np.zeros((k, k))
    cov[:, :r] = V
    return coef, np.full(coef.shape[0], float(r)), sigma, cov


def _scores(
    source: Source,
    basis: Basis,
    box: Box,
    coef: NDArray[np.float64],
    penalties: Penalties,
    opts: FitOptions,
    gamma2: NDArray[np.float64],
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Description-length score and hit rate per target (NaN where the
    source cannot give the targets' medians)."""
    t = coef.shape[0]
    if not isinstance(source, ArraySource):
        return np.full(t, np.nan), np.full(t, np.nan)
    n = source.n
    eps = hit_tolerance(_columns.column_mads(source.Y))
    hits = source.hits(basis, box, coef, eps)
    hit_rate = np.maximum(hits / n, 1.0 / (2.0 * n))
    g2 = np.zeros(t) if opts.method == "ols" else gamma2
    R1, R2 = penalties
    mdl = description_length(hit_rate, n, coef, opts.H, R1, R2, opts.gamma1, g2, source.y_scale)
    return mdl, hit_rate


def hit_tolerance(m: float | NDArray[np.float64]) -> NDArray[np.float64]:
    """The native score's hit tolerance for targets of median absolute
    deviation m (0.4 m, or 0.4 where m is 0 or NaN), in m's shape."""
    m = np.asarray(m, dtype=np.float64)
    return _columns.score_tolerances(m.ravel()).reshape(m.shape)


def description_length(
    hit_rate: NDArray[np.float64],
    n: int,
    coef: NDArray[np.float64],
    H: int,
    R1: NDArray[np.float64],
    R2: NDArray[np.float64],
    gamma1: float,
    gamma2: NDArray[np.float64],
    y_scale: NDArray[np.float64] | None = None,
) -> NDArray[np.float64]:
    """The native `mdl_score_reg` of fits (t, k) with hit rates (t,) over n
    points, from the hit rates (so that the tolerance's median is taken once).
    The penalties' quadratic forms are taken of coef / y_scale and scaled
    back, so that they overflow only to +inf, where their value does."""
    k = coef.shape[1]
    scale = np.ones(len(coef)) if y_scale is None else y_scale
    c = coef / scale[:, None]
    log_hk = k * math.log(2.0 * H) if k > 0 else 0.0
    score = (log_hk / n) * k - n * np.log(hit_rate)
    with np.errstate(over="ignore"):
        if gamma1 != 0.0:
            score = score + gamma1 * (_columns.product(c, R1) * c).sum(axis=1) * scale**2
        quad2 = (_columns.product(c, R2) * c).sum(axis=1) * scale**2
        quad2 = np.where(gamma2 != 0.0, quad2, 0.0)  # 0 * inf counts as 0
        out: NDArray[np.float64] = score + gamma2 * quad2
    return out


def _refine_mcmc(
    source: ArraySource,
    basis: Basis,
    box: Box,
    start: NDArray[np.float64],
    choice: Choice,
    opts: FitOptions,
    gamma2: float,
) -> tuple[NDArray[np.float64], McmcInfo]:
    """The tournament sampler's correction of the penalised fit `start`.

    The sampler's chains start at random points near the origin, so it
    searches for a correction to the penalised fit, on residuals divided by
    their median absolute deviation: its steps and its hit tolerance are then
    relative to the noise, and the penalties act on the correction."""
    Phi = source.design(basis, box)
    y = source.Y[:, 0]
    resid = y - Phi @ start
    noise = _core.mad(resid)
    noise = noise if noise > 0 else 1.0
    target = resid / noise
    sampler = opts.sampler.sampler(opts.H, splitmix64(opts.seed))
    res = sampler.fit(Phi, target, choice.R1, choice.R2, opts.gamma1, gamma2)
    g = res.gibbs
    gibbs = {"H": g.H, "Hmax": g.Hmax, "He": g.He, "r_heat": g.r_heat, "var_E": g.var_E, "T": g.T}
    # Keep the penalised fit when the search found nothing better.
    start_energy = _core.mdl_score(np.zeros_like(target), target, len(start), opts.H)
    if res.energy < start_energy:
        coef = start + noise * np.array(res.beta_mcmc)
        return coef, McmcInfo(gibbs, float(res.energy), float(start_energy))
    return start, McmcInfo(gibbs, float(start_energy), float(start_energy))


# -- robust ---------------------------------------------------------------------


def _fit_robust(
    source: Source, opts: FitOptions, p: Plan, box: Box, timings: dict[str, float]
) -> tuple[dict[str, Any], Penalties]:
    """The robust fit of every target column on its own (weights, scale and
    curvature weight per column), reported in the smallest basis that holds
    every column's chosen degrees; terms a column does not use are 0."""
    start = time.perf_counter()
    source.rescale_targets()
    fits = []
    for j in range(source.n_targets):
        fits.append(_robust_column(source, opts, p, box, j))
        choice, res, _ = fits[-1]
        say(
            opts.progress,
            ("robust fit" if source.n_targets == 1 else f"robust fit of column {j}")
            + f": degree {_degrees_text(choice.degrees)}, gamma2 {_numbers(choice.model.gamma2)}, "
            f"scale {res.scale * source.y_scale[j]:.4g}, {res.n_iter} reweighted solve(s), "
            f"{_elapsed(start)}",
        )
    timings["robust fit"] = time.perf_counter() - start

    degrees = np.max([choice.degrees for choice, _, _ in fits], axis=0).tolist()
    idx = p.widest.terms_within(degrees)
    where = {int(term): i for i, term in enumerate(idx)}
    t, k = len(fits), len(idx)
    coef = np.zeros((t, k))
    y_scale = source.y_scale
    for j, (choice, res, _) in enumerate(fits):
        coef[j, [where[int(term)] for term in choice.idx]] = res.coef * y_scale[j]
    basis = p.widest.subset(idx)
    # The covariance, in a basis holding every column's band terms.
    bands = []
    for j, (choice, res, _) in enumerate(fits):
        band = _robust_band(source.target(j), opts, p, box, choice, res)
        assert isinstance(choice.model, PenalizedFit)
        bands.append(band or (choice.degrees, choice.idx, choice.model.cov_factor))
    cov_idx = p.widest.terms_within(np.max([b[0] for b in bands], axis=0).tolist())
    at = {int(term): i for i, term in enumerate(cov_idx)}
    stack = np.zeros((t, len(cov_idx), len(cov_idx)))
    for j, (_, terms, factor) in enumerate(bands):
        rows = [at[int(term)] for term in terms]
        stack[j, rows, : len(rows)] = factor
    cov_basis = None if len(cov_idx) == k else p.widest.subset(cov_idx)
    profile = fits[0][0].profile if t == 1 else None
    models = [choice.model for choice, _, _ in fits]
    gamma2 = np.array([m.gamma2 for m in models])
    edf = np.array([m.edf for m in models])
    scale = np.array([res.scale for _, res, _ in fits]) * y_scale
    n_iter = np.array([res.n_iter for _, res, _ in fits])
    dof = np.array([choice.path.n for choice, _, _ in fits]) - edf
    # The criterion of each column's last weighted fit at its weight.
    criterion = np.concatenate(
        [
            in_target_units(
                c.path.criterion(max(m.gamma2, 1e-300), opts.criterion).reshape(1)
                if math.isnan(m.criterion_value)
                else np.array([m.criterion_value]),
                opts.criterion,
                c.path,
                y_scale[j : j + 1],
            )
            for j, (m, (c, _, _)) in enumerate(zip(models, fits, strict=True))
        ]
    )
    weights = source.row_weights(basis, box, coef, scale)
    tail = (
        source.residual_tails(basis, box, coef, scale, TAIL_PROBS)
        if isinstance(source, ArraySource)
        else None
    )
    fields = dict(
        basis=basis,
        coef=coef,
        gamma2=gamma2,
        edf=edf,
        sigma=scale.copy(),
        dof=dof,
        cov_T=stack,
        cov_d=None,
        robust=RobustInfo(weights, scale, n_iter, tail),
        cov_basis=cov_basis,
        profile=profile,
        criterion=criterion,
        criterion_kind=opts.criterion,
    )
    return fields, (submatrix(p.R1, idx), submatrix(p.R2, idx))


def _robust_column(
    source: Source, opts: FitOptions, p: Plan, box: Box, j: int
) -> tuple[Choice, RobustResult, int]:
    """The robust fit of target column j: on the whole design when it fits
    the block budget, otherwise from a sample then reweighted passes."""
    column = source.target(j)
    if isinstance(column, ArraySource) and column.n * p.widest.n_terms * 8 <= BLOCK_BYTES:
        say(
            opts.progress,
            f"robust fit on the whole design: {column.n} rows, {p.widest.n_terms} terms",
        )
        Phi_all = column.design(p.widest, box)
        y = column.Y[:, 0] / column.y_scale[0]
        stats = Sufficient.from_design(Phi_all, y, column.w)
        first = choose(p, stats, opts, start_candidate(p), fast=True)
        choice, res = _robust_in_memory(p, opts, Phi_all, y, column.w, first)
        return choice, res, 0
    return _robust_by_passes(column, opts, p, box)


def _robust_in_memory(
    p: Plan,
    opts: FitOptions,
    Phi_all: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    first: Choice,
) -> tuple[Choice, RobustResult]:
    """The robust fit on a whole design; degree and curvature weight
    re-chosen on the robust weights, and the reported smoothing fit at the
    final weights."""

    def pick(weights: NDArray[np.float64] | None) -> Choice:
        return choose(p, Sufficient.from_design(Phi_all, y, weights), opts, fast=True)

    settings = SearchSettings(H=opts.H, seed=splitmix64(opts.seed))
    g1, ridge = opts.gamma1, opts.ridge

    def shaped_solver(c: Choice) -> Callable[[NDArray[np.float64]], NDArray[np.float64]]:
        return _shaped_solver(opts, p, c, Phi_all[:, c.idx], y)

    solver_for = None if opts.shape is None else shaped_solver
    chosen, res = fit_robust(
        Phi_all, y, w, p.R1, p.R2, pick, first, g1, ridge, settings, solver_for
    )
    idx = chosen.idx
    weights = res.weights if w is None else res.weights * w
    stats = Sufficient.from_design(Phi_all[:, idx], y, weights)
    R1s, R2s = submatrix(p.R1, idx), submatrix(p.R2, idx)
    path = SmoothingPath(stats, fixed_part(stats, R1s, g1, ridge), stats.n * R2s)
    assert isinstance(chosen.model, PenalizedFit)
    model = path.fit(chosen.model.gamma2)
    if opts.shape is not None:
        # The varying weight is not tried with a shape: one weight serves.
        shaped = _shaped_fit(opts, p, path, model, idx)
        return Choice(chosen.degrees, idx, R1s, R2s, path, shaped), res
    if adapts(opts, p.widest.subset(idx), path.n, path.rank):
        fixed = fixed_part(stats, R1s, g1, ridge)
        start = time.perf_counter()
        varying = adaptive.choose(stats, fixed, len(idx) - 1, model.gamma2)
        _say_varying(opts, None if varying is None else varying[0], start)
        if varying is not None:
            return _robust_varying(opts, Phi_all[:, idx], y, w, res, R1s, varying[0], chosen, path)
    return Choice(chosen.degrees, idx, R1s, R2s, path, model), res


def _robust_varying(
    opts: FitOptions,
    Phi: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    res: RobustResult,
    R1: NDArray[np.float64],
    varying: adaptive.AdaptiveFit,
    chosen: Choice,
    path: SmoothingPath,
) -> tuple[Choice, RobustResult]:
    """The biweight M-step rerun with the varying curvature weight found on
    the robust weights, at the same scale; the reported fit at its weights."""
    g2 = adaptive.mean_weight(varying.lam)
    R2 = varying.penalty / g2
    base = np.ones_like(y) if w is None else w
    g1, ridge = opts.gamma1, opts.ridge
    coef, rw, more = m_step(
        Phi,
        y,
        base,
        res.coef,
        res.scale,
        lambda ww: weighted_solve(Phi, y, ww, R1, R2, g1, g2, ridge),
    )
    stats = Sufficient.from_design(Phi, y, rw * base)
    crit = adaptive.Criterion(
        stats, fixed_part(stats, R1, g1, ridge), adaptive.penalties(Phi.shape[1] - 1)
    )
    fit = crit.fit(np.log(varying.lam), varying.criterion_value)
    model = PenalizedFit(coef, g2, fit.edf, fit.sigma, fit.cov_factor, fit.criterion_value)
    out = RobustResult(coef, rw, res.scale, res.n_iter + more, res.search)
    return Choice(chosen.degrees, chosen.idx, R1, R2, path, model, varying.lam), out


def _shaped_solver(
    opts: FitOptions, p: Plan, c: Choice, Phi: NDArray[np.float64], y: NDArray[np.float64]
) -> Callable[[NDArray[np.float64]], NDArray[np.float64]]:
    """The reweighted solve of the robust fit in the basis of `c` under the
    shape: penalized least squares with row weights w, constrained."""
    con = shape.Constraint.of(p.widest.subset(c.idx), opts.shape)
    R1s, R2s = submatrix(p.R1, c.idx), submatrix(p.R2, c.idx)
    g2 = float(c.model.gamma2) if isinstance(c.model, PenalizedFit) else 0.0

    def solve(w: NDArray[np.float64]) -> NDArray[np.float64]:
        stats = Sufficient.from_design(Phi, y, w)
        A = fixed_part(stats, R1s, opts.gamma1, opts.ridge) + (stats.n * g2) * R2s
        Linv, _ = _columns.cholesky_inverse(A)
        V = np.ascontiguousarray(Linv.T)
        z0 = Linv @ np.asarray(stats.cross).reshape(-1)
        sol = None if con is None else shape.solve(con, V, z0)
        out: NDArray[np.float64] = V @ z0 if sol is None else sol.coef(V)
        return out

    return solve


def _shaped_fit(
    opts: FitOptions, p: Plan, path: SmoothingPath, model: PenalizedFit, idx: NDArray[np.intp]
) -> PenalizedFit:
    """The penalized fit `model` on `path` under the shape: constrained
    coefficients, effective degrees of freedom and covariance factor."""
    con = shape.Constraint.of(p.widest.subset(idx), opts.shape)
    d, _, rss = path._fits(np.array([model.gamma2]))
    root = np.sqrt(d[0])
    b = path.b.reshape(len(root), -1)[:, 0]
    column = Column(
        path.T / root, b / root, path.mu / d[0], model.coef, model.edf, float(rss[0]), model.sigma
    )
    shaped = None if con is None else _shaped(con, [column], path.n)
    if shaped is None:
        return model
    coef, edf, sigma, stack = shaped
    return PenalizedFit(
        coef[0], model.gamma2, float(edf[0]), float(sigma[0]), stack[0], model.criterion_value
    )


def start_candidate(p: Plan) -> list[list[int]]:
    """The basis of the robust fit's start and consensus search: the widest
    candidate within ROBUST_START_TERMS terms (the smallest candidate if none
    is), so that the search's dimension stays small; the M-steps then choose
    the degree among all candidates on the robust weights."""
    within = [c for c in p.candidates if math.prod(d + 1 for d in c) <= ROBUST_START_TERMS]
    return within[-1:] or p.candidates[:1]


def robust_sample_rows(n_terms: int) -> int:
    """Rows of the robust fit's sample for a basis of `n_terms`: ROBUST_SAMPLE,
    fewer where its design would exceed BLOCK_BYTES, at least ROBUST_SAMPLE_MIN."""
    return max(ROBUST_SAMPLE_MIN, min(ROBUST_SAMPLE, BLOCK_BYTES // (8 * n_terms)))


def _robust_by_passes(
    source: Source, opts: FitOptions, p: Plan, box: Box
) -> tuple[Choice, RobustResult, int]:
    """The robust fit in a fixed number of passes over the rows: a random
    sample of about ROBUST_SAMPLE rows gives the degree, the start and the
    scale by the in-memory robust fit; then each pass sums the
    biweight-weighted statistics of all rows at that fixed scale and
    re-solves (degree and curvature weight re-chosen), until the fitted
    values move by less than ROBUST_TOL scales in root mean square, at most
    ROBUST_PASSES passes."""
    start = time.perf_counter()
    xs, ys, ws = source.sample(robust_sample_rows(p.widest.n_terms), splitmix64(opts.seed))
    if len(ys) < 2:
        raise ValueError(f"the robust fit's sample holds {len(ys)} rows; at least 2 are required")
    say(opts.progress, f"robust start on a sample of {len(ys)} rows, {_elapsed(start)}")
    Phi_s = p.widest.rows(box.scaled(xs))
    first = choose(p, Sufficient.from_design(Phi_s, ys, ws), opts, start_candidate(p), True)
    choice, res = _robust_in_memory(p, opts, Phi_s, ys, ws, first)
    say(
        opts.progress,
        f"robust start: degree {_degrees_text(choice.degrees)}, scale "
        f"{res.scale * source.y_scale[0]:.4g}, {res.n_iter} reweighted solve(s), {_elapsed(start)}",
    )
    k_all = p.widest.n_terms

    def widest(c: Choice, coef: NDArray[np.float64]) -> NDArray[np.float64]:
        full = np.zeros(k_all)
        full[c.idx] = coef
        return full

    # The passes work in the widest basis, so that the degree is chosen again on
    # the robust weights of all rows, as the whole-design robust fit does.
    scale = res.scale
    coef = widest(choice, res.coef)
    passes = 0
    while scale > 0.0 and passes < ROBUST_PASSES:
        wstats = source.statistics(p.widest, box, (coef, scale))
        passes += 1
        choice = choose(p, wstats, opts, fast=True)
        assert isinstance(choice.model, PenalizedFit)
        if opts.shape is not None:
            shaped = _shaped_fit(opts, p, choice.path, choice.model, choice.idx)
            choice = Choice(choice.degrees, choice.idx, choice.R1, choice.R2, choice.path, shaped)
        new = widest(choice, choice.model.coef)
        step = new - coef
        moved = math.sqrt(max(float(step @ wstats.gram @ step), 0.0) / max(wstats.n, 1e-300))
        coef = new
        say(
            opts.progress,
            f"robust pass {passes}: all rows, degree {_degrees_text(choice.degrees)}, fit moved "
            f"{moved / scale:.3g} scales, {_elapsed(start)}",
        )
        if moved <= ROBUST_TOL * scale:
            break
    final = RobustResult(coef[choice.idx], res.weights, scale, passes, res.search)
    return choice, final, passes
