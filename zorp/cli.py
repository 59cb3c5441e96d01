"""Command line: `zorp demo` and `zorp fit FILE.csv ...`."""

from __future__ import annotations

import argparse
import csv
import json
import sys
import time
from collections.abc import Sequence
from importlib import resources
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray

from zorp.estimator import METHODS, SmoothPolynomialRegressor

DEMO_DEGREE = 7
DEMO_GAMMA2 = 1e-4


class CliError(Exception):
    """An error reported to the user as one line, without a traceback."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def read_csv(path: Path, x_cols: Sequence[str], y_col: str) -> tuple[NDArray[np.float64], ...]:
    """Read numeric columns by header name; returns (X, y)."""
    try:
        with path.open(newline="") as fh:
            rows = list(csv.reader(fh))
    except FileNotFoundError:
        raise CliError(f"file not found: {path}") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise CliError(f"cannot read {path}: {exc}") from None
    if not rows:
        raise CliError(f"{path} is empty")
    header = [h.strip() for h in rows[0]]
    index = {}
    for name in [*x_cols, y_col]:
        if name not in header:
            raise CliError(f"unknown column {name!r} in {path}; columns are {', '.join(header)}")
        index[name] = header.index(name)
    data = []
    for lineno, row in enumerate(rows[1:], start=2):
        if not any(cell.strip() for cell in row):
            continue
        values = []
        for name in [*x_cols, y_col]:
            j = index[name]
            cell = row[j].strip() if j < len(row) else ""
            try:
                value = float(cell)
            except ValueError:
                raise CliError(
                    f"{path}, line {lineno}, column {name!r}: {cell!r} is not a number"
                ) from None
            if not np.isfinite(value):
                raise CliError(f"{path}, line {lineno}, column {name!r}: {cell!r} is not finite")
            values.append(value)
        data.append(values)
    if len(data) < 2:
        raise CliError(f"{path} has {len(data)} data row(s); at least 2 are needed")
    arr = np.array(data, dtype=np.float64)
    return arr[:, :-1], arr[:, -1]


def _fit_both(
    X: NDArray[np.float64], y: NDArray[np.float64], args: argparse.Namespace
) -> list[SmoothPolynomialRegressor]:
    """The chosen fit, plus the sampler's refinement when the chosen one is not "mcmc"."""
    common = dict(degree=args.degree, gamma1=args.gamma1, gamma2=args.gamma2, seed=args.seed)
    fits = [SmoothPolynomialRegressor(method=args.method, **common)]
    if args.method != "mcmc" and args.refine:
        fits.append(SmoothPolynomialRegressor(method="mcmc", **common))
    try:
        return [est.fit(X, y) for est in fits]
    except (ValueError, MemoryError) as exc:
        raise CliError(str(exc)) from None


def _summary(
    est: SmoothPolynomialRegressor, X: NDArray[np.float64], y: NDArray[np.float64]
) -> dict[str, Any]:
    return {
        "method": est.method,
        "degrees": est.degrees_,
        "n_terms": len(est.coef_),
        "r2": est.score(X, y),
        "hit_rate": est.hit_rate_,
        "mdl_score": est.mdl_score_,
        "coef": est.coef_.tolist(),
        "multi_indices": est.multi_indices_,
        "x_center": est.x_center_.tolist(),
        "x_half_range": est.x_half_range_.tolist(),
        "timings_s": est.timings_,
        "gibbs": est.gibbs_,
        "mcmc_energy": est.mcmc_energy_,
        "mcmc_start_energy": est.mcmc_start_energy_,
    }


def _print_report(
    source: str, x_cols: Sequence[str], y_col: str, n: int, results: list[dict[str, Any]]
) -> None:
    print(f"zorp: {n} rows from {source}; model {y_col} ~ {', '.join(x_cols)}")
    print("inputs are scaled onto [-1, 1]; coefficients refer to the scaled inputs\n")
    print(f"{'method':<11}{'terms':>6}{'R^2':>9}{'hit rate':>10}{'MDL score':>12}")
    for r in results:
        print(
            f"{r['method']:<11}{r['n_terms']:>6}{r['r2']:>9.4f}{r['hit_rate']:>10.3f}"
            f"{r['mdl_score']:>12.3f}"
        )
    for r in results:
        print(f"\n{r['method']}: stage times")
        for stage, seconds in r["timings_s"].items():
            print(f"  {stage:<16}{seconds * 1e3:9.2f} ms")
        if r["gibbs"] is not None:
            g = r["gibbs"]
            print(
                f"  warm-up chains: entropy {g['H']:.3f} of {g['Hmax']:.3f} "
                f"(r_heat {g['r_heat']:.3f})"
            )
            print(
                f"  robust energy (hits within 0.4 MAD of the residuals): "
                f"{r['mcmc_start_energy']:.3f} at the penalized fit -> {r['mcmc_energy']:.3f}"
            )
        pairs = zip(r["coef"], r["multi_indices"], strict=True)
        terms = [f"{c:+.4g}*{_monomial(mi, x_cols)}" for c, mi in pairs]
        print("  coefficients: " + " ".join(terms))


def _monomial(mi: Sequence[int], names: Sequence[str]) -> str:
    parts = [f"{n}^{e}" if e > 1 else n for n, e in zip(names, mi, strict=True) if e > 0]
    return "*".join(parts) if parts else "1"


def _plot(
    path: Path,
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    fits: list[SmoothPolynomialRegressor],
    x_cols: Sequence[str],
    y_col: str,
) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed (pip install 'zorp[plot]'); no plot written")
        return False
    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=110)
    if X.shape[1] == 1:
        ax.scatter(X[:, 0], y, s=12, color="0.45", label="data")
        grid = np.linspace(X[:, 0].min(), X[:, 0].max(), 400)[:, None]
        for est in fits:
            ax.plot(grid[:, 0], est.predict(grid), lw=2, label=f"{est.method} fit")
        ax.set_xlabel(x_cols[0])
        ax.set_ylabel(y_col)
    else:
        for est in fits:
            ax.scatter(y, est.predict(X), s=12, label=f"{est.method} fit")
        lims = [float(y.min()), float(y.max())]
        ax.plot(lims, lims, color="0.3", lw=1)
        ax.set_xlabel(f"observed {y_col}")
        ax.set_ylabel(f"predicted {y_col}")
    ax.legend()
    ax.set_title("zorp: smooth polynomial fits")
    fig.tight_layout()
    try:
        fig.savefig(path)
    except OSError as exc:
        raise CliError(f"cannot write plot {path}: {exc}") from None
    finally:
        plt.close(fig)
    return True


def _run(
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    args: argparse.Namespace,
    source: str,
    x_cols: Sequence[str],
    y_col: str,
) -> None:
    start = time.perf_counter()
    fits = _fit_both(X, y, args)
    results = [_summary(est, X, y) for est in fits]
    total = time.perf_counter() - start
    if args.json:
        print(json.dumps({"source": source, "n_rows": len(y), "results": results}, indent=2))
    else:
        _print_report(source, x_cols, y_col, len(y), results)
        print(f"\ntotal time {total * 1e3:.1f} ms")
    if args.plot and _plot(Path(args.plot), X, y, fits, x_cols, y_col) and not args.json:
        print(f"plot written to {args.plot}")


def _degrees(text: str) -> int | list[int]:
    try:
        values = [int(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid degree {text!r}") from None
    return values[0] if len(values) == 1 else values


def _add_fit_options(p: argparse.ArgumentParser, degree: Any, gamma2: float) -> None:
    p.add_argument("--degree", type=_degrees, default=degree, help="D or D1,D2,...")
    p.add_argument("--method", choices=METHODS, default="penalized")
    p.add_argument("--gamma1", type=float, default=0.0, help="gradient penalty weight")
    p.add_argument("--gamma2", type=float, default=gamma2, help="curvature penalty weight")
    p.add_argument("--seed", type=int, default=42, help="sampler seed")
    p.add_argument(
        "--no-refine", dest="refine", action="store_false", help="skip the MCMC refinement"
    )
    p.add_argument("--json", action="store_true", help="print machine-readable results")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="zorp", description="Smooth, robust polynomial regression.")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    demo = sub.add_parser("demo", help="fit the bundled noisy dataset and report")
    _add_fit_options(demo, DEMO_DEGREE, DEMO_GAMMA2)
    demo.add_argument("--plot", default="zorp_demo.png", help="PNG to write ('' for none)")
    fit = sub.add_parser("fit", help="fit columns of a CSV file")
    fit.add_argument("file", type=Path)
    fit.add_argument("--x", required=True, help="input column(s): COL or COL1,COL2,...")
    fit.add_argument("--y", required=True, help="target column")
    _add_fit_options(fit, None, 1e-6)
    fit.add_argument("--plot", default="", help="write a plot to this PNG")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        if args.command == "demo":
            ref = resources.files("zorp") / "data" / "demo.csv"
            with resources.as_file(ref) as path:
                X, y = read_csv(path, ["x"], "y")
            _run(X, y, args, "the bundled demo dataset", ["x"], "y")
        else:
            x_cols = [c.strip() for c in args.x.split(",") if c.strip()]
            X, y = read_csv(args.file, x_cols, args.y)
            _run(X, y, args, str(args.file), x_cols, args.y)
    except CliError as exc:
        print(f"zorp: error: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
