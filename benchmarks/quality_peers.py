"""Fit quality and speed of zorp's default fit against established smoothers, on
curves and surfaces with known truth; run on demand, never by the tests.

    python benchmarks/quality_peers.py [--quick] [--only PART ...] [--seeds N] [--json PATH]

Peers: R's smooth.spline (GCV), loess with its span chosen by GCV, mgcv's
gam(REML), pyGAM's LinearGAM grid search; under gross errors also zorp's robust
fit, robustbase's lmrob and statsmodels' RLM on B-spline bases. The R peers run
in one Rscript process (benchmarks/peers.R) fed with every data set of the run;
without Rscript only the Python methods run.

Quality is the RMSE of each fitted curve to the truth on a dense grid of the
data's range (a grid of the data's box in 2-D), compared per case to the best
method's RMSE; times are of the fit alone. Every case draws its data from a
seed derived from its own parameters, so a case gives the same data in every
run whatever else runs. --quick takes about a minute on an idle 2-core machine,
the full run roughly half an hour; --json keeps every case's RMSE, time and
chosen smoothing for comparing runs.
"""

import argparse
import csv
import functools
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from itertools import product
from pathlib import Path
from typing import Any

import numpy as np
import scipy
import statsmodels
import statsmodels.api as sm
from scipy.interpolate import BSpline
from statsmodels.robust.scale import mad

from zorp import SmoothPolynomialRegressor

HERE = Path(__file__).resolve().parent
SPEED_LIMIT = 60.0  # seconds: a peer whose next size would take longer is skipped
N_EVAL_1D = 2000
N_EVAL_2D = 50  # per side

# ---------------------------------------------------------------------------
# Truths


def _spike(x):
    # A Gaussian spike whose full width at half height is 1 % of [0, 1].
    return 0.5 * np.sin(2 * np.pi * x) + x + 2.0 * np.exp(-0.5 * ((x - 0.6) / 0.00425) ** 2)


def _step(x):
    # A step whose 10-90 % rise takes 2 % of [0, 1], on a gentle trend.
    return 0.5 * x + 1.0 / (1.0 + np.exp(-(x - 0.45) / 0.00455))


def _doppler(x):
    return np.sqrt(x * (1 - x)) * np.sin(2.1 * np.pi / (x + 0.05))


@dataclass(frozen=True)
class Curve:
    f: Callable[[np.ndarray], np.ndarray]
    lo: float
    hi: float
    kind: str  # "smooth" or "local"


CURVES = {
    "sin+trend": Curve(lambda x: np.sin(x) + 0.15 * x, 0.0, 10.0, "smooth"),
    "logistic": Curve(lambda x: 1.0 / (1.0 + np.exp(-2.0 * (x - 5.0))), 0.0, 10.0, "smooth"),
    "cubic": Curve(lambda x: x**3 - 3.0 * x, -2.2, 2.2, "smooth"),
    "three turns": Curve(lambda x: np.sin(1.6 * x), 0.0, 6.0, "smooth"),
    "exp decay": Curve(lambda x: np.exp(-x / 1.5), 0.0, 6.0, "smooth"),
    "spike": Curve(_spike, 0.0, 1.0, "local"),
    "step": Curve(_step, 0.0, 1.0, "local"),
    "doppler": Curve(_doppler, 0.0, 1.0, "local"),
    "7 oscillations": Curve(lambda x: np.sin(14 * np.pi * x), 0.0, 1.0, "local"),
    "bump+trend": Curve(
        lambda x: x + 1.5 * np.exp(-0.5 * ((x - 0.4) / 0.04) ** 2), 0.0, 1.0, "local"
    ),
    "kink": Curve(np.abs, -1.0, 1.0, "local"),
}


def _smooth_2d(x1, x2):
    return np.sin(2.5 * x1 + 1.0) * np.cos(2.0 * x2) + x1 * x2


def _two_bumps(x1, x2):
    return np.exp(-((x1 - 0.3) ** 2 + (x2 - 0.3) ** 2) / (2 * 0.05**2)) + 0.8 * np.exp(
        -((x1 - 0.7) ** 2 + (x2 - 0.65) ** 2) / (2 * 0.04**2)
    )


def _ridge(x1, x2):
    return np.exp(-0.5 * ((x2 - 0.25 - 0.5 * x1) / 0.06) ** 2) + 0.3 * x1


SURFACES = {"smooth 2-D": _smooth_2d, "two bumps": _two_bumps, "ridge": _ridge}

NOISES = ("gauss", "hetero", "t3")
SIDES = ("one-sided", "two-sided")


@functools.cache
def _curve_scale(name: str) -> float:
    c = CURVES[name]
    return float(np.std(c.f(np.linspace(c.lo, c.hi, 20001))))


@functools.cache
def _surface_scale(name: str) -> float:
    g = np.linspace(0.0, 1.0, 401)
    a, b = np.meshgrid(g, g)
    return float(np.std(SURFACES[name](a, b)))


# ---------------------------------------------------------------------------
# Cases


@dataclass
class Case:
    part: str  # "1d", "2d", "gross" or "speed"
    curve: str
    kind: str  # "smooth", "local" or "2d"
    n: int
    noise: str
    level: float
    design: str
    seed: int
    gross: float = 0.0
    side: str = ""
    series: str = ""
    reps: int = 1
    methods: list[str] = field(default_factory=list)
    X: np.ndarray | None = None
    y: np.ndarray | None = None
    E: np.ndarray | None = None
    truth: np.ndarray | None = None
    results: dict[str, dict[str, Any]] = field(default_factory=dict)

    @property
    def label(self) -> str:
        if self.part == "gross":
            what = f"{self.gross:.0%} {self.side}"
        elif self.part == "2d":
            what = f"{self.level:g}"
        else:
            what = f"{self.noise} {self.level:g}" + (
                f" {self.design}" if self.design != "uniform" else ""
            )
        return f"{self.curve} n={self.n} {what} s{self.seed}"

    def draw(self) -> None:
        """Draws the data, the evaluation points and the truth there."""
        rng = np.random.default_rng(self._seed_words())
        if self.part == "2d":
            f = SURFACES[self.curve]
            X = rng.uniform(0.0, 1.0, (self.n, 2))
            sigma = self.level * _surface_scale(self.curve)
            y = f(X[:, 0], X[:, 1]) + sigma * rng.standard_normal(self.n)
            g1 = np.linspace(X[:, 0].min(), X[:, 0].max(), N_EVAL_2D)
            g2 = np.linspace(X[:, 1].min(), X[:, 1].max(), N_EVAL_2D)
            a, b = np.meshgrid(g1, g2)
            self.X, self.y = X, y
            self.E = np.column_stack([a.ravel(), b.ravel()])
            self.truth = f(self.E[:, 0], self.E[:, 1])
            return
        c = CURVES[self.curve]
        x = draw_x(rng, self.curve, self.n, self.design)
        sigma = self.level * _curve_scale(self.curve)
        y = c.f(x) + noise(rng, self.curve, x, self.noise, sigma)
        if self.gross:
            k = round(self.gross * self.n)
            idx = rng.choice(self.n, k, replace=False)
            shift = sigma * rng.uniform(8.0, 16.0, k)
            if self.side == "two-sided":
                shift *= rng.choice([-1.0, 1.0], k)
            y[idx] += shift
        self.X, self.y = x[:, None], y
        self.E = np.linspace(x.min(), x.max(), N_EVAL_1D)[:, None]
        self.truth = c.f(self.E[:, 0])

    def _seed_words(self) -> list[int]:
        names = list(CURVES) + list(SURFACES)
        return [
            ("1d", "2d", "gross", "speed", "coverage").index(self.part),
            names.index(self.curve),
            self.n,
            NOISES.index(self.noise),
            round(self.level * 1000),
            ("uniform", "clustered").index(self.design),
            round(self.gross * 1000),
            (("",) + SIDES).index(self.side),
            self.seed,
        ]

    def release(self) -> None:
        self.X = self.y = self.E = self.truth = None


def draw_x(rng: np.random.Generator, curve: str, n: int, design: str) -> np.ndarray:
    c = CURVES[curve]
    if design == "uniform":
        return rng.uniform(c.lo, c.hi, n)
    # Clustered: nine in ten points around four centres, the rest uniform.
    width = c.hi - c.lo
    centres = c.lo + width * np.array([0.15, 0.4, 0.6, 0.85])
    x = np.empty(n)
    filled = 0
    while filled < n:
        m = n - filled
        cand = np.where(
            rng.uniform(size=m) < 0.9,
            rng.choice(centres, m) + 0.04 * width * rng.standard_normal(m),
            rng.uniform(c.lo, c.hi, m),
        )
        cand = cand[(cand >= c.lo) & (cand <= c.hi)]
        x[filled : filled + cand.size] = cand
        filled += cand.size
    return x


def noise(rng: np.random.Generator, curve: str, x: np.ndarray, law: str, sigma: float):
    c = CURVES[curve]
    if law == "gauss":
        return sigma * rng.standard_normal(x.size)
    if law == "hetero":  # sd from 0.2 sigma to 1.8 sigma along the range, sigma on average
        u = (x - c.lo) / (c.hi - c.lo)
        return sigma * (0.2 + 1.6 * u) * rng.standard_normal(x.size)
    if law == "t3":  # Student-t with 3 dof, scaled to sd sigma
        return sigma * rng.standard_t(3, x.size) / math.sqrt(3.0)
    raise ValueError(law)


@dataclass(frozen=True)
class Plan:
    curves_1d: list[str]
    sizes_1d: list[int]
    noises_1d: list[tuple[str, float]]
    clustered: list[tuple[str, int]]
    sizes_2d: list[int]
    levels_2d: list[float]
    gross_curves: list[str]
    gross_sizes: list[int]
    gross_fracs: list[float]
    speed_sizes: list[int]
    speed_reps: Callable[[int], int]


FULL = Plan(
    curves_1d=list(CURVES),
    sizes_1d=[100, 300, 1000, 3000, 10000],
    noises_1d=[(law, lv) for law in NOISES for lv in (0.1, 0.3)],
    clustered=[(c, n) for c in ("sin+trend", "bump+trend") for n in (300, 3000)],
    sizes_2d=[500, 2000, 5000],
    levels_2d=[0.1, 0.3],
    gross_curves=["sin+trend", "logistic", "spike", "step"],
    gross_sizes=[300, 1000],
    gross_fracs=[0.05, 0.15, 0.30],
    speed_sizes=[10**2, 10**3, 10**4, 10**5, 10**6],
    speed_reps=lambda n: 5 if n <= 1000 else 3 if n <= 10**4 else 1,
)
QUICK = Plan(
    curves_1d=["sin+trend", "logistic", "three turns", "spike", "step", "doppler"],
    sizes_1d=[300, 3000],
    noises_1d=[("gauss", 0.1), ("t3", 0.3)],
    clustered=[],
    sizes_2d=[1000],
    levels_2d=[0.1],
    gross_curves=["sin+trend", "spike"],
    gross_sizes=[1000],
    gross_fracs=[0.05, 0.30],
    speed_sizes=[10**2, 10**3, 10**4],
    speed_reps=lambda n: 3 if n <= 1000 else 1,
)

R_METHODS = {"smooth.spline", "loess", "mgcv", "lmrob"}  # fitted by peers.R
R_1D = ["smooth.spline", "loess", "mgcv"]
SPEED_CURVES = ["sin+trend", "spike"]


def seeds_for(n: int, seeds: int) -> range:
    # Small samples vary most from seed to seed and fit fastest: twice the seeds.
    return range(2 * seeds if n <= 300 else seeds)


def build_cases(plan: Plan, parts: set[str], seeds: int) -> list[Case]:
    cases: list[Case] = []
    if "1d" in parts:
        grid = product(plan.curves_1d, plan.sizes_1d, plan.noises_1d)
        for curve, n, (law, lv) in grid:
            for s in seeds_for(n, seeds):
                cases.append(Case("1d", curve, CURVES[curve].kind, n, law, lv, "uniform", s))
        for curve, n in plan.clustered:
            for s in seeds_for(n, seeds):
                cases.append(Case("1d", curve, CURVES[curve].kind, n, "gauss", 0.1, "clustered", s))
        for c in cases:
            c.methods = ["zorp", *R_1D, "pyGAM"]
    if "2d" in parts:
        for surf, n, lv, s in product(SURFACES, plan.sizes_2d, plan.levels_2d, range(seeds)):
            c = Case("2d", surf, "2d", n, "gauss", lv, "uniform", s)
            c.methods = ["zorp", "loess", "mgcv", "pyGAM"]
            cases.append(c)
    if "gross" in parts:
        grid = product(plan.gross_curves, plan.gross_sizes, plan.gross_fracs, SIDES)
        for curve, n, frac, side in grid:
            for s in seeds_for(n, seeds):
                kind = CURVES[curve].kind
                c = Case("gross", curve, kind, n, "gauss", 0.1, "uniform", s, frac, side)
                c.methods = ["zorp", "zorp robust", *R_1D, "pyGAM", "lmrob", "RLM"]
                cases.append(c)
    if "speed" in parts:
        for curve, n in product(SPEED_CURVES, plan.speed_sizes):
            c = Case("speed", curve, CURVES[curve].kind, n, "gauss", 0.1, "uniform", 0)
            c.series, c.reps = curve, plan.speed_reps(n)
            c.methods = ["zorp", *R_1D, "pyGAM"]
            cases.append(c)
    return cases


# ---------------------------------------------------------------------------
# Methods run in Python


def zorp(X, y, E, *, robust=False, reps=1, X_new=None, level=0.95):
    """Every call into zorp: fits (best time of `reps` fits), predicts at E and,
    given X_new, returns the prediction intervals there of a new observation."""
    secs = math.inf
    for _ in range(reps):
        est = SmoothPolynomialRegressor(method="robust") if robust else SmoothPolynomialRegressor()
        start = time.perf_counter()
        est.fit(X, y)
        secs = min(secs, time.perf_counter() - start)
    pred = est.predict(E)
    interval = None if X_new is None else est.predict_interval(X_new, level=level)
    info = f"degrees={getattr(est, 'degrees_', '?')}"
    return pred, secs, info, interval


def pygam_fit(X, y, E):
    from pygam import LinearGAM, s, te

    gam = LinearGAM(s(0, n_splines=40) if X.shape[1] == 1 else te(0, 1))
    gam.gridsearch(X, y, progress=False)
    return gam.predict(E), f"edof={gam.statistics_['edof']:.1f}"


# Same robust choice of the number of B-splines as for lmrob in peers.R.
ROBUST_DFS = (6, 8, 11, 15, 20, 26)


def bspline_basis(x: np.ndarray, interior: np.ndarray, lo: float, hi: float) -> np.ndarray:
    """Cubic B-splines with the given interior knots: the space of bs(df) + intercept."""
    t = np.r_[[lo] * 4, interior, [hi] * 4]
    return BSpline.design_matrix(np.clip(x, lo, hi), t, 3).toarray()


def rlm_fit(X, y, E):
    x, n = X[:, 0], len(y)
    lo, hi = float(x.min()), float(x.max())
    best = (math.inf, None, 0)
    for df in (d for d in ROBUST_DFS if d <= n / 10):
        # bs(df) without intercept has df - 3 interior knots at quantiles of x.
        interior = np.quantile(x, np.linspace(0.0, 1.0, df - 1)[1:-1])
        B = bspline_basis(x, interior, lo, hi)
        fit = sm.RLM(y, B, M=sm.robust.norms.HuberT()).fit()
        crit = n * math.log(mad(y - B @ fit.params) ** 2) + (df + 1) * math.log(n)
        if math.isfinite(crit) and crit < best[0]:
            best = (crit, bspline_basis(E[:, 0], interior, lo, hi) @ fit.params, df)
    if best[1] is None:
        raise RuntimeError("no df could be fitted")
    return best[1], f"df={best[2]}"


def run_python(c: Case, method: str) -> dict[str, Any]:
    if method in ("zorp", "zorp robust"):
        pred, secs, info, _ = zorp(c.X, c.y, c.E, robust=method == "zorp robust", reps=c.reps)
        return {"pred": pred, "seconds": secs, "info": info}
    fit = {"pyGAM": pygam_fit, "RLM": rlm_fit}[method]
    secs = math.inf
    for _ in range(c.reps):
        start = time.perf_counter()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            pred, info = fit(c.X, c.y, c.E)
        secs = min(secs, time.perf_counter() - start)
    return {"pred": pred, "seconds": secs, "info": info}


# ---------------------------------------------------------------------------
# Running


def record(c: Case, method: str, out: dict[str, Any]) -> None:
    pred = out.pop("pred", None)
    if pred is not None:
        pred = np.asarray(pred, dtype=float).ravel()
        if pred.shape != c.truth.shape or not np.all(np.isfinite(pred)):
            out["status"], out["info"] = "failed", "non-finite or misshapen predictions"
        else:
            out["rmse"] = float(np.sqrt(np.mean((pred - c.truth) ** 2)))
    out.setdefault("status", "ok")
    if out["status"] != "ok":
        out["rmse"] = None
        out["seconds"] = None
    c.results[method] = out


def run_r(cases: list[Case], versions: dict[str, str]) -> None:
    """Fits every R method of every case in one Rscript process."""
    todo = [c for c in cases if any(m in R_METHODS for m in c.methods)]
    if not todo:
        return
    if shutil.which("Rscript") is None:
        print("Rscript not found: the R peers are left out", file=sys.stderr)
        return
    with tempfile.TemporaryDirectory(prefix="zorp-peers-") as tmp:
        d = Path(tmp)
        offset = 0
        with open(d / "data.f64", "wb") as data, open(d / "cases.csv", "w", newline="") as fh:
            w = csv.writer(fh)
            w.writerow(
                ["id", "dim", "n", "m", "x_off", "y_off", "e_off", "methods", "reps", "series"]
            )
            for i, c in enumerate(todo):
                blocks = [np.asfortranarray(c.X).ravel(order="F"), c.y, c.E.ravel(order="F")]
                offs = []
                for b in blocks:
                    offs.append(offset)
                    data.write(np.ascontiguousarray(b, dtype="<f8").tobytes())
                    offset += b.size
                meths = ";".join(m for m in c.methods if m in R_METHODS)
                w.writerow([i, c.X.shape[1], c.n, len(c.E), *offs, meths, c.reps, c.series])
        start = time.perf_counter()
        print(f"R: {len(todo)} cases in one Rscript process", file=sys.stderr)
        subprocess.run(
            ["Rscript", "--vanilla", str(HERE / "peers.R"), str(d), str(SPEED_LIMIT)], check=True
        )
        print(f"R: done in {time.perf_counter() - start:.0f} s", file=sys.stderr)
        preds = np.fromfile(d / "pred.f64", dtype="<f8")
        with open(d / "results.csv", newline="") as fh:
            for row in csv.DictReader(fh):
                c = todo[int(row["id"])]
                off = int(float(row["pred_off"]))
                out: dict[str, Any] = {"status": row["status"], "info": row["info"]}
                if row["status"] == "ok":
                    out["seconds"] = float(row["seconds"])
                    out["pred"] = preds[off : off + len(c.E)]
                record(c, row["method"], out)
        with open(d / "versions.csv", newline="") as fh:
            versions.update({row["name"]: row["version"] for row in csv.DictReader(fh)})


def run_cases(cases: list[Case], versions: dict[str, str]) -> None:
    for c in cases:
        c.draw()
    run_r(cases, versions)
    # Warm-up fits, so that the first timed case does not pay for loading code.
    warm = Case("1d", "sin+trend", "smooth", 200, "gauss", 0.1, "uniform", 99)
    warm.draw()
    for m in ("zorp", "zorp robust", "pyGAM", "RLM"):
        run_python(warm, m)
    start = time.perf_counter()
    last: dict[tuple[str, str], tuple[int, float | None]] = {}
    for i, c in enumerate(cases):
        for m in c.methods:
            if m in R_METHODS:
                continue
            prev = last.get((c.series, m)) if c.series else None
            if prev is not None and (prev[1] is None or prev[1] * c.n / prev[0] > SPEED_LIMIT):
                record(c, m, {"status": "skipped", "info": ""})
            else:
                try:
                    out = run_python(c, m)
                except Exception as exc:  # a peer failing on one case is part of the result
                    out = {"status": "failed", "info": f"{type(exc).__name__}: {exc}"}
                record(c, m, out)
            if c.series:
                last[(c.series, m)] = (c.n, c.results[m]["seconds"])
        c.release()
        if (i + 1) % 25 == 0 or i + 1 == len(cases):
            print(
                f"Python: {i + 1}/{len(cases)} cases, {time.perf_counter() - start:.0f} s",
                file=sys.stderr,
            )


# ---------------------------------------------------------------------------
# Coverage of the prediction intervals (zorp only)


def coverage_runs(plan: Plan, seeds: int) -> list[dict[str, Any]]:
    out = []
    for c in build_cases(plan, {"1d", "2d", "gross"}, seeds):
        c.draw()
        rng = np.random.default_rng([*c._seed_words(), 7])
        m = 4000
        if c.part == "2d":
            Xn = rng.uniform(0.0, 1.0, (m, 2))
            sigma = c.level * _surface_scale(c.curve)
            yn = SURFACES[c.curve](Xn[:, 0], Xn[:, 1]) + sigma * rng.standard_normal(m)
        else:
            xn = draw_x(rng, c.curve, m, c.design)
            xn = xn[(xn >= c.X.min()) & (xn <= c.X.max())]
            sigma = c.level * _curve_scale(c.curve)
            yn = CURVES[c.curve].f(xn) + noise(rng, c.curve, xn, c.noise, sigma)
            Xn = xn[:, None]
        runs = [("zorp robust", True)] if c.part == "gross" else [("zorp", False)]
        if c.part == "1d":
            runs.append(("zorp robust", True))
        for name, robust in runs:
            _, _, _, iv = zorp(c.X, c.y, c.E, robust=robust, X_new=Xn)
            cov = float(np.mean((yn >= iv[:, 0]) & (yn <= iv[:, 1])))
            if c.part == "gross":
                group = f"{name}, gross errors {c.side}"
            elif c.part == "2d":
                group = f"{name}, clean 2-D"
            elif name == "zorp":
                group = f"{name}, clean 1-D " + (c.design if c.design != "uniform" else c.noise)
            else:
                group = f"{name}, clean 1-D"
            out.append({"group": group, "case": c.label, "coverage": cov})
        c.release()
    return out


# ---------------------------------------------------------------------------
# Tables

ORDER = ["zorp", "zorp robust", "smooth.spline", "loess", "mgcv", "pyGAM", "lmrob", "RLM"]
SHOWN = {
    "smooth.spline": "smooth.spline",
    "loess": "loess GCV",
    "mgcv": "mgcv REML",
    "pyGAM": "pyGAM",
    "lmrob": "lmrob bs",
    "RLM": "RLM bs",
}


def gmean(v: list[float]) -> float:
    return math.exp(sum(math.log(x) for x in v) / len(v)) if v else math.nan


def ratios(cases: list[Case]) -> dict[str, list[tuple[float, Case]]]:
    out: dict[str, list[tuple[float, Case]]] = {}
    for c in cases:
        ok = {m: r["rmse"] for m, r in c.results.items() if r["status"] == "ok"}
        if not ok:
            continue
        best = min(ok.values())
        for m, v in ok.items():
            out.setdefault(m, []).append((v / best, c))
    return out


def fmt_ratio(x: float) -> str:
    return "-" if math.isnan(x) else f"{x:.2f}" if x < 100 else f"{x:.0f}"


def fmt_secs(s: float | None) -> str:
    if s is None or math.isnan(s):
        return "-"
    if s >= 1:
        return f"{s:.2f} s"
    return f"{s * 1e3:.1f} ms" if s >= 1e-3 else f"{s * 1e6:.0f} us"


def table_quality(cases: list[Case]) -> None:
    cols = {
        "all 1-D": lambda c: c.part == "1d",
        "smooth 1-D": lambda c: c.part == "1d" and c.kind == "smooth",
        "local 1-D": lambda c: c.part == "1d" and c.kind == "local",
        "2-D": lambda c: c.part == "2d",
        "gross errors": lambda c: c.part == "gross",
    }
    quality = [c for c in cases if c.part != "speed"]
    per_col = {k: ratios([c for c in quality if sel(c)]) for k, sel in cols.items()}
    counts = {k: sum(1 for c in quality if sel(c)) for k, sel in cols.items()}
    everything = ratios(quality)
    methods = [m for m in ORDER if m in everything]
    print("\n1. Geometric mean over cases of RMSE / best method's RMSE in the case (1 = best)")
    print(
        f"{'method':<15}" + "".join(f"{k:>13}" for k in cols) + f"{'fails':>7}   worst ratio, case"
    )
    print(f"{'(cases)':<15}" + "".join(f"{counts[k]:>13}" for k in cols))
    for m in methods:
        line = f"{SHOWN.get(m, m):<15}"
        for k in cols:
            line += f"{fmt_ratio(gmean([r for r, _ in per_col[k].get(m, [])])):>13}"
        fails = sum(1 for c in quality if m in c.results and c.results[m]["status"] != "ok")
        worst, wc = max(everything[m], key=lambda t: t[0])
        print(f"{line}{fails:>7}   {fmt_ratio(worst)}, {wc.label} [{wc.part}]")

    print("\n1b. Median fit time by n (1-D cases; 2-D and gross errors over all their sizes)")
    sizes = sorted({c.n for c in quality if c.part == "1d"})
    heads = [f"n={n}" for n in sizes] + ["2-D", "gross"]
    sels = [lambda c, n=n: c.part == "1d" and c.n == n for n in sizes]
    sels += [lambda c: c.part == "2d", lambda c: c.part == "gross"]
    print(f"{'method':<15}" + "".join(f"{h:>11}" for h in heads))
    for m in methods:
        line = f"{SHOWN.get(m, m):<15}"
        for sel in sels:
            t = [
                c.results[m]["seconds"]
                for c in quality
                if sel(c) and m in c.results and c.results[m]["status"] == "ok"
            ]
            line += f"{fmt_secs(float(np.median(t)) if t else None):>11}"
        print(line)


def table_breakdown(cases: list[Case]) -> None:
    groups: dict[str, list[Case]] = {}
    for c in cases:
        if c.part == "1d":
            groups.setdefault(f"{c.curve} ({c.kind})", []).append(c)
    for c in cases:
        if c.part == "2d":
            groups.setdefault(f"{c.curve} (2-D)", []).append(c)
    for c in cases:
        if c.part == "gross":
            groups.setdefault(f"gross: {c.curve}", []).append(c)
    for c in cases:
        if c.part == "gross":
            groups.setdefault(f"gross: {c.gross:.0%} {c.side}", []).append(c)
    if not groups:
        return
    everything = ratios([c for cs in groups.values() for c in cs])
    methods = [m for m in ORDER if m in everything]
    print("\n2. Per curve: geometric mean of RMSE / best RMSE")
    print(f"{'curve':<26}{'cases':>6}" + "".join(f"{SHOWN.get(m, m)[:12]:>13}" for m in methods))
    for g, cs in groups.items():
        r = ratios(cs)
        line = f"{g:<26}{len(cs):>6}"
        line += "".join(f"{fmt_ratio(gmean([v for v, _ in r.get(m, [])])):>13}" for m in methods)
        print(line)


def table_coverage(runs: list[dict[str, Any]]) -> None:
    print("\n3. Coverage of 95 % prediction intervals (fresh clean observations at new x)")
    print(f"{'fit, data':<38}{'cases':>6}{'mean':>8}{'min':>8}   worst case")
    groups: dict[str, list[dict[str, Any]]] = {}
    for r in runs:
        groups.setdefault(r["group"], []).append(r)
    for g, rs in sorted(groups.items(), key=lambda kv: (kv[0].startswith("zorp robust"), kv[0])):
        cov = [r["coverage"] for r in rs]
        worst = min(rs, key=lambda r: r["coverage"])
        print(f"{g:<38}{len(rs):>6}{np.mean(cov):>8.3f}{min(cov):>8.3f}   {worst['case']}")


def table_speed(cases: list[Case]) -> None:
    speed = [c for c in cases if c.part == "speed"]
    if not speed:
        return
    peers = [m for m in ORDER if m != "zorp" and any(m in c.results for c in speed)]
    print("\n4. Default 1-D fit time (best of `fits` fits) and peer/zorp; '-' = skipped: its time")
    print(
        f"   at the previous size, scaled linearly in n, passes {SPEED_LIMIT:.0f} s. zorp (OpenMP)"
    )
    print(
        f"   and pyGAM (OpenBLAS) may use all {os.cpu_count()} cores, R one unless its BLAS does;"
    )
    print("   OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 keeps every method on one core.")
    print(
        f"{'curve':<11}{'n':>9}{'fits':>5}{'zorp':>11}" + "".join(f"{SHOWN[m]:>22}" for m in peers)
    )
    for c in speed:
        z = c.results["zorp"]
        line = f"{c.curve:<11}{c.n:>9}{c.reps:>5}{fmt_secs(z['seconds']):>11}"
        for m in peers:
            r = c.results.get(m, {})
            if r.get("status") == "ok" and z["status"] == "ok":
                ratio = r["seconds"] / z["seconds"]
                shown = f"{ratio:.2g}" if ratio < 10 else f"{ratio:.0f}"
                cell = f"{fmt_secs(r['seconds'])} ({shown}x)"
            else:
                cell = r.get("status", "-").replace("skipped", "-")
            line += f"{cell:>22}"
        print(line)


def python_versions(versions: dict[str, str]) -> None:
    import pygam

    import zorp as zorp_pkg

    versions.update(
        {
            "zorp": zorp_pkg.__version__,
            "numpy": np.__version__,
            "scipy": scipy.__version__,
            "statsmodels": statsmodels.__version__,
            "pygam": pygam.__version__,
            "python": sys.version.split()[0],
        }
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="a small subset (a few minutes)")
    parser.add_argument(
        "--only",
        nargs="+",
        choices=["1d", "2d", "gross", "speed", "coverage"],
        help="run only these parts (default: all)",
    )
    parser.add_argument(
        "--seeds",
        type=int,
        help="seeds per case, twice as many at n <= 300 (default: 2, with --quick 1)",
    )
    parser.add_argument("--json", type=Path, help="save the raw per-case results here")
    args = parser.parse_args()
    plan = QUICK if args.quick else FULL
    seeds = args.seeds or (1 if args.quick else 2)
    parts = set(args.only or ["1d", "2d", "gross", "speed", "coverage"])
    started = time.perf_counter()
    versions: dict[str, str] = {}
    python_versions(versions)
    cases = build_cases(plan, parts - {"coverage"}, seeds)
    run_cases(cases, versions)
    cov = coverage_runs(plan, seeds) if "coverage" in parts else []
    elapsed = time.perf_counter() - started

    print("versions: " + ", ".join(f"{k} {v}" for k, v in versions.items()))
    print(f"run: {'quick' if args.quick else 'full'}, parts {sorted(parts)}, seeds {seeds}")
    if any(c.part != "speed" for c in cases):
        table_quality(cases)
        table_breakdown(cases)
    if cov:
        table_coverage(cov)
    table_speed(cases)
    limited = [
        c.label for c in cases if "kd-tree-limited" in c.results.get("loess", {}).get("info", "")
    ]
    if limited:
        print(
            f"\nnote: loess's k-d tree was limited by memory at the chosen span in {len(limited)}"
            f" fits (its surface is coarser there), e.g. {limited[0]}"
        )
    print(f"\ntotal run time {elapsed / 60:.1f} min")
    if args.json:
        raw = {
            "versions": versions,
            "quick": args.quick,
            "seeds": seeds,
            "parts": sorted(parts),
            "cases": [
                {
                    "part": c.part,
                    "label": c.label,
                    "curve": c.curve,
                    "kind": c.kind,
                    "n": c.n,
                    "noise": c.noise,
                    "level": c.level,
                    "design": c.design,
                    "seed": c.seed,
                    "gross": c.gross,
                    "side": c.side,
                    "results": c.results,
                }
                for c in cases
            ],
            "coverage": cov,
        }
        args.json.write_text(json.dumps(raw, indent=1))
        print(f"raw results written to {args.json}")


if __name__ == "__main__":
    main()
