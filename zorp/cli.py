"""Command line: `zorp demo` and `zorp fit FILE ...`."""

from __future__ import annotations

import argparse
import csv
import json
import math
import os
import sys
import time
from array import array
from collections.abc import Sequence
from importlib import resources
from pathlib import Path
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray

from zorp import __version__
from zorp.estimator import METHODS, SmoothPolynomialRegressor

SEPARATORS = {",": ",", ";": ";", "\t": "\t", "tab": "\t", "\\t": "\t"}
# The comparison table counts as inliers the residuals within this many robust
# residual scales (the smallest among the fits shown).
INLIER_SCALES = 3.0
# Errors a fit may raise for values the options let through; each is one line.
FIT_ERRORS = (ValueError, TypeError, OverflowError, MemoryError)


class CliError(Exception):
    """An error reported to the user as one line, without a traceback."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")

    def _print_message(self, message: str, file: Any = None) -> None:
        # Unlike argparse's own, lets a failed write (--version > /dev/full) be seen.
        if message:
            (file or sys.stderr).write(message)


def notice(text: str) -> None:
    """A message for the user that never mixes with the results on stdout."""
    print(f"zorp: {text}", file=sys.stderr)


# -- input ------------------------------------------------------------------


class Table:
    """The used columns of an input file, with the count of rows read and
    dropped; `group` names a column read as text, one label per kept row."""

    def __init__(self, names: Sequence[str], group: str | None = None) -> None:
        self.names = list(names)
        self.columns = [array("d") for _ in names]
        self.group = group
        self.labels: list[str] = []
        self.n_read = 0
        self.n_dropped = 0

    def arrays(self) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
        data = np.column_stack([np.frombuffer(c, dtype=np.float64) for c in self.columns])
        return data[:, :-1].copy(), data[:, -1].copy()


def _sniff_separator(header: str) -> str:
    counts = {sep: header.count(sep) for sep in (",", ";", "\t")}
    best = max(counts, key=lambda s: counts[s])
    return best if counts[best] > 0 else ","


def _parse_cell(cell: str) -> float | None:
    """The cell's number, or None when it is blank, not a number or not finite."""
    try:
        value = float(cell)
    except ValueError:
        return None
    return value if math.isfinite(value) else None


def _bad_cell(path: Path, where: str, name: str, cell: str) -> CliError:
    if not cell:
        problem = "blank cell"
    else:
        try:
            float(cell)
            problem = f"{cell!r} is not finite"
        except ValueError:
            problem = f"{cell!r} is not a number"
    return CliError(f"{path}, {where}, column {name!r}: {problem} (--drop-missing skips such rows)")


def _column_index(path: Path, header: Sequence[str], names: Sequence[str]) -> list[int]:
    index = []
    for name in names:
        if name not in header:
            raise CliError(f"unknown column {name!r} in {path}; columns are {', '.join(header)}")
        index.append(header.index(name))
    return index


def _read_csv(path: Path, table: Table, sep: str | None, drop_missing: bool) -> None:
    with path.open(encoding="utf-8-sig", newline="") as fh:
        first = fh.readline()
        if not first.strip():
            raise CliError(f"{path} is empty")
        delimiter = sep or _sniff_separator(first)
        header = [h.strip() for h in next(csv.reader([first], delimiter=delimiter))]
        index = _column_index(path, header, table.names)
        g = None if table.group is None else _column_index(path, header, [table.group])[0]
        reader = csv.reader(fh, delimiter=delimiter)
        while True:
            try:
                row = next(reader)
            except StopIteration:
                break
            except csv.Error as exc:
                raise CliError(f"{path}, line {reader.line_num + 1}: {exc}") from None
            lineno = reader.line_num + 1  # the header was read before the reader started
            if not any(cell.strip() for cell in row):
                continue
            table.n_read += 1
            values = [_parse_cell(row[j].strip() if j < len(row) else "") for j in index]
            label = None if g is None else (row[g].strip() if g < len(row) else "")
            if None not in values and label != "":
                for column, value in zip(table.columns, values, strict=True):
                    column.append(value)  # type: ignore[arg-type]
                if label is not None:
                    table.labels.append(label)
            elif drop_missing:
                table.n_dropped += 1
            elif None not in values:
                raise CliError(
                    f"{path}, line {lineno}, column {table.group!r}: blank group label "
                    "(--drop-missing skips such rows)"
                )
            else:
                k = values.index(None)
                cell = row[index[k]].strip() if index[k] < len(row) else ""
                raise _bad_cell(path, f"line {lineno}", table.names[k], cell)


def _read_parquet(path: Path, table: Table, drop_missing: bool) -> None:
    try:
        import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.compute as pc  # type: ignore[import-untyped,import-not-found,unused-ignore]
        import pyarrow.parquet as pq  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        raise CliError("reading Parquet files needs pyarrow (pip install pyarrow)") from None
    try:
        pf = pq.ParquetFile(path)
    except (OSError, pa.ArrowException) as exc:
        raise CliError(f"cannot read {path}: {exc}") from None
    header = pf.schema_arrow.names
    _column_index(path, header, table.names)
    if table.group is not None:
        _column_index(path, header, [table.group])
    wanted = table.names if table.group is None else [*table.names, table.group]
    for batch in pf.iter_batches(columns=list(dict.fromkeys(wanted))):
        cols = []
        for name in table.names:
            try:
                col = pc.cast(batch.column(name), pa.float64())
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                raise CliError(f"{path}: column {name!r} is not numeric") from None
            cols.append(col.to_numpy(zero_copy_only=False))
        block = np.column_stack(cols)
        good = np.isfinite(block).all(axis=1)
        labels = None
        if table.group is not None:
            labels = ["" if v is None else str(v) for v in batch.column(table.group).to_pylist()]
            has_label = np.array([v != "" for v in labels], dtype=bool)
            if not drop_missing and not has_label.all():
                i = int(np.argmin(has_label))
                raise CliError(
                    f"{path}, row {table.n_read + i + 1}, column {table.group!r}: missing "
                    "group label (--drop-missing skips such rows)"
                )
            good &= has_label
        if not drop_missing and not good.all():
            i = int(np.argmin(good))
            j = int(np.argmin(np.isfinite(block[i])))
            cell = "" if np.isnan(block[i, j]) else str(block[i, j])
            raise _bad_cell(path, f"row {table.n_read + i + 1}", table.names[j], cell)
        table.n_read += len(block)
        table.n_dropped += int((~good).sum())
        for column, values in zip(table.columns, block[good].T, strict=True):
            column.frombytes(np.ascontiguousarray(values).tobytes())
        if labels is not None:
            table.labels.extend(v for v, ok in zip(labels, good, strict=True) if ok)


def read_table(
    path: Path,
    x_cols: Sequence[str],
    y_col: str,
    sep: str | None = None,
    drop_missing: bool = False,
    group: str | None = None,
) -> Table:
    """Read numeric columns by header name, row by row; CSV or, by suffix,
    Parquet; and the labels of the `group` column as text."""
    table = Table([*x_cols, y_col], group)
    try:
        if path.suffix.lower() == ".parquet":
            _read_parquet(path, table, drop_missing)
        else:
            _read_csv(path, table, sep, drop_missing)
    except FileNotFoundError:
        raise CliError(f"file not found: {path}") from None
    except IsADirectoryError:
        raise CliError(f"{path} is a directory, not a file") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise CliError(f"cannot read {path}: {exc}") from None
    n_kept = table.n_read - table.n_dropped
    if n_kept < 2:
        raise CliError(f"{path} has {n_kept} usable data row(s); at least 2 are needed")
    return table


# -- fitting and results ----------------------------------------------------


def _fit_all(
    X: NDArray[np.float64], y: NDArray[np.float64], args: argparse.Namespace
) -> list[SmoothPolynomialRegressor]:
    """The chosen fit; for the demo the robust fit beside it; and the sampler's
    refinement when the chosen one is not "mcmc"."""
    # Only the options given reach the estimator, so that its defaults apply.
    common = {
        name: getattr(args, name)
        for name in ("degree", "gamma1", "gamma2", "seed")
        if getattr(args, name) is not None
    }
    fits = [SmoothPolynomialRegressor(method=args.method, **common)]
    if args.command == "demo" and args.method != "robust":
        fits.append(SmoothPolynomialRegressor(method="robust", **common))
    if args.method != "mcmc" and args.refine:
        fits.append(SmoothPolynomialRegressor(method="mcmc", **common))
    try:
        return [est.fit(X, y) for est in fits]
    except FIT_ERRORS as exc:
        raise CliError(str(exc)) from None


def _robust_scale(
    est: SmoothPolynomialRegressor, X: NDArray[np.float64], y: NDArray[np.float64]
) -> float:
    """1.4826 x the median absolute residual: the noise level a fit leaves,
    unaffected by the gross errors it does not follow."""
    return 1.482602218505602 * float(np.median(np.abs(y - est.predict(X))))


def _summaries(
    fits: Sequence[SmoothPolynomialRegressor], X: NDArray[np.float64], y: NDArray[np.float64]
) -> list[dict[str, Any]]:
    """Every fit's summary; the share of inliers is counted for all of them
    within the same tolerance, INLIER_SCALES times the smallest robust
    residual scale among them, so that the rows compare."""
    scales = [_robust_scale(est, X, y) for est in fits]
    tolerance = INLIER_SCALES * min(scales)
    out = []
    for est in fits:
        resid = np.abs(y - est.predict(X))
        summary = _summary(est, X, y)
        summary["median_abs_residual"] = float(np.median(resid))
        summary["inlier_tolerance"] = tolerance
        summary["inlier_share"] = float(np.mean(resid <= tolerance))
        out.append(summary)
    return out


def _summary(
    est: SmoothPolynomialRegressor, X: NDArray[np.float64], y: NDArray[np.float64]
) -> dict[str, Any]:
    robust = hasattr(est, "weights_")
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
        "gamma2": getattr(est, "gamma2_", est.gamma2),
        "edf": getattr(est, "edf_", None),
        "robust_scale": est.scale_ if robust else None,
        "n_flagged": int((~est.inlier_mask_).sum()) if robust else None,
        "n_iter": est.n_iter_ if robust else None,
    }


def json_safe(value: Any) -> Any:
    """`value` with NumPy scalars as Python numbers and non-finite floats as None."""
    if isinstance(value, dict):
        return {str(k): json_safe(v) for k, v in value.items()}
    if isinstance(value, list | tuple):
        return [json_safe(v) for v in value]
    if isinstance(value, np.ndarray):
        return json_safe(value.tolist())
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def prediction_columns(
    est: SmoothPolynomialRegressor, X: NDArray[np.float64]
) -> dict[str, NDArray[np.float64]]:
    """Columns written by --output besides the inputs; uses what the estimator offers."""
    columns = {"prediction": np.asarray(est.predict(X), dtype=np.float64)}
    if hasattr(est, "predict_interval"):
        bounds = np.asarray(est.predict_interval(X, 0.95), dtype=np.float64)
        columns["lower_95"], columns["upper_95"] = bounds[:, 0], bounds[:, 1]
    return columns


def _write_predictions(
    path: Path,
    table: Table,
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    est: SmoothPolynomialRegressor,
) -> None:
    extra = prediction_columns(est, X)
    columns = [*[X[:, j] for j in range(X.shape[1])], y, *extra.values()]
    try:
        with path.open("w", encoding="utf-8", newline="") as fh:
            writer = csv.writer(fh)
            writer.writerow([*table.names, *extra])
            for row in zip(*columns, strict=True):
                writer.writerow([repr(float(v)) for v in row])
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc}") from None


def _print_report(
    source: str, x_cols: Sequence[str], y_col: str, n: int, results: list[dict[str, Any]]
) -> None:
    print(f"zorp: {n} rows from {source}; model {y_col} ~ {', '.join(x_cols)}")
    print("inputs are scaled onto [-1, 1]; coefficients refer to the scaled inputs\n")
    print(
        f"{'method':<11}{'degree':>7}{'terms':>6}{'gamma2':>10}{'edf':>7}{'R^2':>9}"
        f"{'median |res|':>14}{'inliers':>9}{'hit rate':>10}{'MDL score':>12}"
    )
    for r in results:
        degree = "x".join(str(d) for d in r["degrees"])
        edf = "-" if r["edf"] is None else f"{r['edf']:.2f}"
        print(
            f"{r['method']:<11}{degree:>7}{r['n_terms']:>6}{r['gamma2']:>10.3g}{edf:>7}"
            f"{r['r2']:>9.4f}{r['median_abs_residual']:>14.4g}{r['inlier_share']:>9.3f}"
            f"{r['hit_rate']:>10.3f}{r['mdl_score']:>12.3f}"
        )
    print(
        f"inliers: share of |residual| <= {results[0]['inlier_tolerance']:.4g}, "
        f"{INLIER_SCALES:g} x the smallest 1.4826 x median |res| above"
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
            kept = r["mcmc_energy"] < r["mcmc_start_energy"]
            print(
                "  search energy on one scale (description length, hits within 0.4 MAD "
                "of the penalized fit's residuals):"
            )
            print(
                f"    penalized fit {r['mcmc_start_energy']:.3f} -> search result "
                f"{r['mcmc_energy']:.3f} ("
                + ("kept" if kept else "not lower: the penalized fit is kept")
                + ")"
            )
        if r["robust_scale"] is not None:
            print(
                f"  robust scale {r['robust_scale']:.4g}; {r['n_flagged']} point(s) flagged as "
                f"outliers (biweight weight 0); {r['n_iter']} reweighted solves"
            )
        pairs = zip(r["coef"], r["multi_indices"], strict=True)
        terms = [f"{c:+.4g}*{_monomial(mi, x_cols)}" for c, mi in pairs]
        print("  coefficients: " + " ".join(terms))


def _monomial(mi: Sequence[int], names: Sequence[str]) -> str:
    parts = [f"{n}^{e}" if e > 1 else n for n, e in zip(names, mi, strict=True) if e > 0]
    return "*".join(parts) if parts else "1"


# -- plots --------------------------------------------------------------------


def plot_path(text: str) -> Path:
    """The file a plot will be written to, checked before any work is done."""
    try:
        import matplotlib
    except ImportError:
        raise CliError(
            f"matplotlib is not installed (pip install 'zorp[plot]'); cannot plot to {text}"
        ) from None
    matplotlib.use("Agg")
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    path = Path(text)
    if path.is_dir():
        raise CliError(f"--plot {text} is a directory; give a file name such as {path / 'fit.png'}")
    if not path.suffix:
        path = path.with_name(path.name + ".png")
    formats = FigureCanvasAgg.get_supported_filetypes()
    if path.suffix[1:].lower() not in formats:
        raise CliError(
            f"--plot {text}: unsupported format {path.suffix!r}; use one of "
            + ", ".join(f".{f}" for f in sorted(formats))
        )
    if not path.parent.is_dir():
        raise CliError(f"--plot {text}: folder {path.parent} does not exist")
    return path


def _plot(
    path: Path,
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    fits: list[SmoothPolynomialRegressor],
    x_cols: Sequence[str],
    y_col: str,
) -> None:
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=110)
    # Points a robust fit gives weight 0 are drawn apart, as red crosses.
    flagged = np.zeros(len(y), dtype=bool)
    for est in fits:
        if hasattr(est, "inlier_mask_"):
            flagged |= ~est.inlier_mask_
    if X.shape[1] == 1:
        ax.scatter(X[~flagged, 0], y[~flagged], s=12, color="0.45", label="data")
        if flagged.any():
            ax.scatter(
                X[flagged, 0],
                y[flagged],
                s=30,
                marker="x",
                color="tab:red",
                label="flagged outliers (robust fit)",
            )
        grid = np.linspace(X[:, 0].min(), X[:, 0].max(), 400)[:, None]
        for est in fits:
            ax.plot(grid[:, 0], est.predict(grid), lw=2, label=f"{est.method} fit")
        ax.set_xlabel(x_cols[0])
        ax.set_ylabel(y_col)
    else:
        for est in fits:
            pred = est.predict(X)
            ax.scatter(y[~flagged], pred[~flagged], s=12, label=f"{est.method} fit")
        if flagged.any():
            ax.scatter(
                y[flagged],
                fits[0].predict(X)[flagged],
                s=30,
                marker="x",
                color="tab:red",
                label=f"flagged outliers ({fits[0].method} fit)",
            )
        lims = [float(y.min()), float(y.max())]
        ax.plot(lims, lims, color="0.3", lw=1)
        ax.set_xlabel(f"observed {y_col}")
        ax.set_ylabel(f"predicted {y_col}")
    ax.legend()
    ax.set_title("zorp: smooth polynomial fits")
    fig.tight_layout()
    try:
        fig.savefig(path)
    except (OSError, ValueError) as exc:
        raise CliError(f"cannot write plot {path}: {exc}") from None
    finally:
        plt.close(fig)


# -- commands -----------------------------------------------------------------


def _output_path(table: Table, args: argparse.Namespace) -> Path | None:
    """The --output file, refused before any fit when it cannot be written;
    and the notice of the rows the reader dropped."""
    output = Path(args.output) if getattr(args, "output", None) else None
    if output is not None and (output.is_dir() or not output.parent.is_dir()):
        raise CliError(f"--output {output}: not a file in an existing folder")
    if table.n_dropped:
        notice(f"dropped {table.n_dropped} of {table.n_read} rows")
    return output


def _run(table: Table, args: argparse.Namespace, source: str) -> None:
    x_cols, y_col = table.names[:-1], table.names[-1]
    plot = plot_path(args.plot) if args.plot else None
    output = _output_path(table, args)
    X, y = table.arrays()
    start = time.perf_counter()
    fits = _fit_all(X, y, args)
    results = _summaries(fits, X, y)
    total = time.perf_counter() - start
    written = []
    if output is not None:
        _write_predictions(output, table, X, y, fits[0])
        written.append(f"predictions written to {output}")
    if plot is not None:
        _plot(plot, X, y, fits, x_cols, y_col)
        written.append(f"plot written to {plot}")
    if args.json:
        doc = {
            "source": source,
            "n_rows": len(y),
            "n_dropped": table.n_dropped,
            "results": results,
        }
        print(json.dumps(json_safe(doc), indent=2, allow_nan=False))
        for line in written:
            notice(line)
    else:
        _print_report(source, x_cols, y_col, len(y), results)
        print(f"\ntotal time {total * 1e3:.1f} ms")
        for line in written:
            print(line)


# -- one fit per group ----------------------------------------------------------

GROUP_FIELDS = ("group", "n", "degree", "n_terms", "gamma2", "edf", "sigma", "r2")


def _term_name(mi: Sequence[int]) -> str:
    return "c" + "_".join(str(e) for e in mi)


def _group_rows(
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    labels: Sequence[str],
    x_names: Sequence[str],
    args: argparse.Namespace,
) -> list[dict[str, Any]]:
    """One result per group label, in the order the labels first appear."""
    order: dict[str, int] = {}
    codes = np.array([order.setdefault(v, len(order)) for v in labels], dtype=np.intp)
    sort = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[sort], np.arange(len(order) + 1))
    common = {
        name: getattr(args, name)
        for name in ("degree", "gamma1", "gamma2", "seed")
        if getattr(args, name) is not None
    }
    results = []
    for label, g in order.items():
        rows = sort[bounds[g] : bounds[g + 1]]
        Xg, yg = X[rows], y[rows]
        result: dict[str, Any] = {"group": label, "n": len(rows)}
        try:
            est = SmoothPolynomialRegressor(method=args.method, **common).fit(Xg, yg)
        except FIT_ERRORS as exc:
            result["error"] = str(exc)
            results.append(result)
            continue
        result.update(
            degree=",".join(str(d) for d in est.degrees_),
            n_terms=len(est.coef_),
            gamma2=est.gamma2_,
            edf=est.edf_,
            sigma=est.sigma_,
            r2=est.score(Xg, yg),
        )
        for j, name in enumerate(x_names):
            result[f"x_min_{name}"] = float(est.x_min_[j])
            result[f"x_max_{name}"] = float(est.x_max_[j])
        result["coef"] = {
            _term_name(mi): float(c) for mi, c in zip(est.multi_indices_, est.coef_, strict=True)
        }
        results.append(result)
    return results


def _flat(
    results: list[dict[str, Any]], x_names: Sequence[str]
) -> tuple[list[str], list[list[Any]]]:
    """Header and rows of the per-group table: the fields, the training box,
    the coefficients of every term any group uses (blank where a group's basis
    lacks it), and the error of a group that could not be fitted."""
    terms: dict[str, tuple[int, ...]] = {}
    for r in results:
        for name in r.get("coef", {}):
            terms.setdefault(name, tuple(int(e) for e in name[1:].split("_")))
    term_names = sorted(terms, key=lambda t: (sum(terms[t]), terms[t]))
    box = [f"x_{side}_{n}" for n in x_names for side in ("min", "max")]
    header = [*GROUP_FIELDS, *box, *term_names, "error"]
    rows = []
    for r in results:
        coef = r.get("coef", {})
        rows.append(
            [r.get(f, "") for f in (*GROUP_FIELDS, *box)]
            + [coef.get(t, "") for t in term_names]
            + [r.get("error", "")]
        )
    return header, rows


def _write_group_table(path: Path, header: list[str], rows: list[list[Any]]) -> None:
    def cell(v: Any) -> str:
        return repr(float(v)) if isinstance(v, float | np.floating) else str(v)

    try:
        if path.suffix.lower() == ".parquet":
            try:
                import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
                import pyarrow.parquet as pq  # type: ignore[import-untyped,import-not-found,unused-ignore]
            except ImportError:
                raise CliError(
                    "writing Parquet files needs pyarrow (pip install pyarrow)"
                ) from None
            columns = {
                name: [None if v == "" else v for v in col]
                for name, col in zip(header, zip(*rows, strict=True), strict=True)
            }
            pq.write_table(pa.table(columns), path)
            return
        with path.open("w", encoding="utf-8", newline="") as fh:
            writer = csv.writer(fh)
            writer.writerow(header)
            for row in rows:
                writer.writerow([cell(v) for v in row])
    except OSError as exc:
        raise CliError(f"cannot write {path}: {exc}") from None


def _run_grouped(table: Table, args: argparse.Namespace, source: str) -> int:
    if args.plot:
        raise CliError("--plot draws one curve; it cannot be combined with --group")
    output = _output_path(table, args)
    X, y = table.arrays()
    start = time.perf_counter()
    results = _group_rows(X, y, table.labels, table.names[:-1], args)
    total = time.perf_counter() - start
    failed = [r for r in results if "error" in r]
    header, rows = _flat(results, table.names[:-1])
    if output is not None:
        _write_group_table(output, header, rows)
    if args.json:
        doc = {"source": source, "n_rows": len(y), "n_groups": len(results), "groups": results}
        print(json.dumps(json_safe(doc), indent=2, allow_nan=False))
    else:
        print(f"zorp: {len(y)} rows in {len(results)} groups of {table.group!r} from {source}")
        print(f"{'group':<16}{'n':>8}{'degree':>8}{'gamma2':>12}{'edf':>8}{'sigma':>12}{'R^2':>9}")
        for r in results:
            if "error" in r:
                print(f"{r['group']:<16}{r['n']:>8}  error: {r['error']}")
                continue
            print(
                f"{r['group']:<16}{r['n']:>8}{r['degree']:>8}{r['gamma2']:>12.4g}"
                f"{r['edf']:>8.2f}{r['sigma']:>12.4g}{r['r2']:>9.4f}"
            )
        print(f"\ntotal time {total * 1e3:.1f} ms")
    if output is not None:
        notice(f"{len(results)} group results written to {output}")
    if failed:
        notice(f"{len(failed)} of {len(results)} groups could not be fitted")
        return 1
    return 0


def _degrees(text: str) -> int | list[int]:
    try:
        values = [int(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid degree {text!r}") from None
    return values[0] if len(values) == 1 else values


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"seed must be an integer from 0 to 2**64 - 1: {text!r}")
    return value


def _weight(text: str) -> float | str:
    """A penalty weight: a finite number, or a word the estimator understands ("auto")."""
    if text.isalpha() and text.lower() not in ("nan", "inf", "infinity"):
        return text
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid weight {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"weight must be finite: {text!r}")
    return value


def _separator(text: str) -> str:
    if text not in SEPARATORS:
        raise argparse.ArgumentTypeError(f"separator must be ',', ';' or tab, got {text!r}")
    return SEPARATORS[text]


def _add_fit_options(p: argparse.ArgumentParser, degree: Any, gamma2: Any) -> None:
    p.add_argument("--degree", type=_degrees, default=degree, help="D or D1,D2,...")
    p.add_argument("--method", choices=METHODS, default="penalized")
    p.add_argument("--gamma1", type=_weight, default=None, help="gradient penalty weight")
    p.add_argument("--gamma2", type=_weight, default=gamma2, help="curvature penalty weight")
    p.add_argument("--seed", type=_seed, default=None, help="sampler seed, 0 to 2**64 - 1")
    p.add_argument(
        "--no-refine", dest="refine", action="store_false", help="skip the MCMC refinement"
    )
    p.add_argument("--json", action="store_true", help="print machine-readable results only")
    p.add_argument("--plot", default=None, help="write a plot to this file (PNG, PDF, SVG, ...)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="zorp", description="Smooth, robust polynomial regression.")
    parser.add_argument("--version", action="version", version=f"zorp {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    demo = sub.add_parser("demo", help="fit the bundled noisy dataset and report")
    # The demo uses the estimator's automatic degree and smoothness.
    _add_fit_options(demo, None, None)
    fit = sub.add_parser("fit", help="fit columns of a CSV (or Parquet) file")
    fit.add_argument("file", type=Path)
    fit.add_argument("--x", required=True, help="input column(s): COL or COL1,COL2,...")
    fit.add_argument("--y", required=True, help="target column")
    fit.add_argument(
        "--sep", type=_separator, default=None, help="',', ';' or tab (default: sniffed)"
    )
    fit.add_argument(
        "--drop-missing",
        action="store_true",
        help="skip rows with blank or non-numeric cells in the used columns",
    )
    fit.add_argument(
        "--output",
        default=None,
        help="write inputs and predictions to this CSV; with --group, one row of "
        "results per group (CSV, or Parquet by suffix)",
    )
    fit.add_argument(
        "--group", default=None, help="fit one curve per value of this column (text or numbers)"
    )
    _add_fit_options(fit, None, None)
    return parser


def _quiet_stdout() -> None:
    """Point stdout at /dev/null so that the exit-time flush cannot fail again."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _main(argv: Sequence[str] | None) -> int:
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else int(exc.code is not None)
    try:
        if args.command == "demo":
            ref = resources.files("zorp") / "data" / "demo.csv"
            with resources.as_file(ref) as path:
                table = read_table(path, ["x"], "y")
            _run(table, args, "the bundled demo dataset")
        else:
            x_cols = [c.strip() for c in args.x.split(",") if c.strip()]
            group = args.group.strip() if args.group else None
            table = read_table(
                args.file, x_cols, args.y.strip(), args.sep, args.drop_missing, group
            )
            if group is not None:
                return _run_grouped(table, args, str(args.file))
            _run(table, args, str(args.file))
    except CliError as exc:
        print(f"zorp: error: {exc}", file=sys.stderr)
        return 1
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    try:
        code = _main(argv)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader of the output went away (`zorp ... | head`): stop quietly.
        _quiet_stdout()
        return 141
    except KeyboardInterrupt:
        print("zorp: interrupted", file=sys.stderr)
        return 130
    except OSError as exc:
        if exc.errno is None or exc.filename is not None:
            raise
        # Standard output cannot be written (a full disk, a closed terminal).
        _quiet_stdout()
        print(f"zorp: error: cannot write the output: {exc.strerror}", file=sys.stderr)
        return 1
    return code


if __name__ == "__main__":
    raise SystemExit(main())
