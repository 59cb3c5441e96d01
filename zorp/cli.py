"""Command line: `zorp demo` and `zorp fit FILE ...`."""

from __future__ import annotations

import argparse
import csv
import errno
import io
import json
import math
import os
import resource
import secrets
import stat
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import Any, NoReturn, TextIO

import numpy as np
from numpy.typing import NDArray

from zorp import __version__, _progress
from zorp._csv import (
    BLOCK_ROWS,
    DATE_UNITS,
    MICROSECONDS_PER_DAY,
    CliError,
    Columns,
    bad_cell,
    column_index,
    read_csv,
)
from zorp.bases import BASES, BasisKind
from zorp.estimator import METHODS, SmoothPolynomialRegressor
from zorp.fitting import auto_candidates, robust_sample_rows
from zorp.robust import MAD_TO_SIGMA
from zorp.sources import BLOCK_BYTES

SEPARATORS = {",": ",", ";": ";", "\t": "\t", "tab": "\t", "\\t": "\t"}
# The comparison table counts as inliers the residuals within this many robust
# residual scales (the smallest among the fits shown).
INLIER_SCALES = 3.0
# Errors a fit may raise for values the options let through; each is one line.
FIT_ERRORS = (ValueError, TypeError, OverflowError, MemoryError)
# Progress is shown on a terminal for inputs of more than LARGE_ROWS rows, or
# once a run has taken SLOW_SECONDS.
LARGE_ROWS = 100_000
SLOW_SECONDS = 1.0


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        _say(f"{self.prog}: error: {message}", error=True)
        self.exit(2)

    def _print_message(self, message: str, file: Any = None) -> None:
        # Unlike argparse's own, lets a failed write (--version > /dev/full) be
        # seen; --help and --version with stdout closed are an error too.
        if message:
            if file is None:
                raise OSError(errno.EBADF, "standard output is closed")
            file.write(message)


class Status:
    """A progress line on stderr when it is a terminal, rewritten in place for
    large inputs or slow runs, and erased before anything else is written to
    the terminal, so that results and the one-line errors stay whole."""

    def __init__(self) -> None:
        self.enabled = False
        self.large = False
        self.start = 0.0
        self.shown = 0

    def begin(self) -> None:
        try:
            self.enabled = sys.stderr is not None and sys.stderr.isatty()
        except (OSError, ValueError):
            self.enabled = False
        self.large = False
        self.start = time.perf_counter()
        self.shown = 0

    def rows(self, n: int, what: str) -> None:
        """`n` rows seen so far by `what`."""
        self.large = self.large or n > LARGE_ROWS
        self.show(f"{what}: {n:,} rows")

    def show(self, text: str) -> None:
        if not self.enabled or not (self.large or time.perf_counter() - self.start > SLOW_SECONDS):
            return
        try:
            columns = os.get_terminal_size(sys.stderr.fileno()).columns
        except (AttributeError, OSError, ValueError):
            columns = 0
        line = f"zorp: {text}"[: (columns or 80) - 1]
        self._write("\r" + line + " " * max(0, self.shown - len(line)))
        self.shown = len(line)

    def clear(self) -> None:
        if self.shown:
            self._write("\r" + " " * self.shown + "\r")
            self.shown = 0

    def _write(self, text: str) -> None:
        try:
            sys.stderr.write(text)
            sys.stderr.flush()
        except (AttributeError, OSError, ValueError):
            self.enabled = False  # a broken terminal ends the progress, not the run
            self.shown = 0


STATUS = Status()


def _say(line: str, error: bool = False) -> None:
    """One line on stderr; an error goes to stdout when stderr is closed (a
    notice is then dropped), and to neither when both are."""
    STATUS.clear()
    stream = sys.stderr if sys.stderr is not None or not error else sys.stdout
    if stream is None:
        return
    try:
        print(line, file=stream, flush=True)
    except OSError:
        pass  # the stream is broken too: nothing more can be said


def notice(text: str) -> None:
    """A message for the user that never mixes with the results on stdout."""
    _say(f"zorp: {text}")


# -- input ------------------------------------------------------------------


class Table:
    """The used columns of an input file as float arrays, with the count of
    rows read and dropped; `group` names a column read as text, kept as one
    code per row into `levels`, the labels in the order they first appear.
    Input columns of dates hold days since 1970-01-01, their text in `texts`."""

    def __init__(
        self, x_names: Sequence[str], y_name: str, weight: str | None, group: str | None
    ) -> None:
        self.x_names = list(x_names)
        self.y_name = y_name
        self.weight = weight
        self.group = group
        self.columns: list[NDArray[np.float64]] = []
        self.codes: NDArray[np.intp] = np.empty(0, np.intp)
        self.levels: list[str] = []
        self.texts: dict[int, NDArray[np.str_]] = {}
        self.n_read = 0
        self.n_dropped = 0

    @property
    def numeric(self) -> list[str]:
        """The columns read as numbers: inputs, target and weight."""
        return [*self.x_names, self.y_name, *([self.weight] if self.weight else [])]

    def take(self, read: Columns) -> None:
        self.columns = read.columns()
        self.codes = read.codes()
        self.levels = list(read.levels)
        self.texts = read.texts()
        self.n_read, self.n_dropped = read.n_read, read.n_dropped

    @property
    def x_units(self) -> dict[str, str]:
        """The units of the input columns that held dates, by name."""
        return {self.x_names[j]: DATE_UNITS for j in sorted(self.texts)}

    def arrays(
        self,
    ) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64] | None]:
        """X, y and the weights (None without --weight); the columns are let go."""
        k = len(self.x_names)
        X = np.empty((len(self.columns[0]), k), dtype=np.float64)
        for j in range(k):
            X[:, j] = self.columns[j]
            self.columns[j] = np.empty(0)
        y = self.columns[k]
        w = self.columns[k + 1] if self.weight else None
        return X, y, w


def _read_parquet(
    path: Path, table: Table, drop_missing: bool, on_block: Callable[[int], None]
) -> None:
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
    names = table.numeric
    wanted = names if table.group is None else [*names, table.group]
    column_index(path, pf.schema_arrow.names, wanted)
    read = Columns(len(names), len(table.x_names))
    types = [pf.schema_arrow.field(name).type for name in names]
    for batch in pf.iter_batches(columns=wanted):
        cols = []
        texts = {}
        for j, name in enumerate(names):
            column = batch.column(name)
            if j < len(table.x_names) and (
                pa.types.is_date(types[j]) or pa.types.is_timestamp(types[j])
            ):
                # Dates and times (those with a time zone in UTC) as days.
                if pa.types.is_timestamp(types[j]):
                    column = pc.cast(column, pa.timestamp(types[j].unit))
                times = column.to_numpy(zero_copy_only=False).astype("datetime64[us]")
                days = times.astype(np.int64) / MICROSECONDS_PER_DAY
                cols.append(np.where(np.isnat(times), np.nan, days))
                # Their text: dates as days, times to the second (finer if needed).
                whole = (times[~np.isnat(times)].astype(np.int64) % 1_000_000 == 0).all()
                if pa.types.is_date(types[j]):
                    texts[j] = np.datetime_as_string(times, unit="D")
                else:
                    texts[j] = np.datetime_as_string(times, unit="s" if whole else "us")
                read.kinds[j] = "date"
                continue
            try:
                col = pc.cast(column, pa.float64())
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                raise CliError(f"{path}: column {name!r} is not numeric") from None
            cols.append(col.to_numpy(zero_copy_only=False))
        good = np.logical_and.reduce([np.isfinite(c) for c in cols])
        labels = None
        if table.group is not None:
            labels = ["" if v is None else str(v) for v in batch.column(table.group).to_pylist()]
            has_label = np.array([v != "" for v in labels], dtype=bool)
            if not drop_missing and not has_label.all():
                i = int(np.argmin(has_label))
                raise CliError(
                    f"{path}, row {read.n_read + i + 1}, column {table.group!r}: missing "
                    "group label (--drop-missing skips such rows)"
                )
            good &= has_label
        if not drop_missing and not good.all():
            i = int(np.argmin(good))
            j = int(np.argmin([np.isfinite(c[i]) for c in cols]))
            cell = "" if np.isnan(cols[j][i]) else str(cols[j][i])
            raise bad_cell(path, f"row {read.n_read + i + 1}", names[j], cell)
        read.add(cols, labels, good, texts)
        on_block(read.n_read)
    table.take(read)


def read_table(
    path: Path,
    x_cols: Sequence[str],
    y_col: str,
    sep: str | None = None,
    drop_missing: bool = False,
    group: str | None = None,
    weight: str | None = None,
    decimal: str = ".",
) -> Table:
    """Read numeric columns by header name; CSV or, by suffix, Parquet; and
    the labels of the `group` column as text."""
    table = Table(x_cols, y_col, weight, group)

    def on_block(n: int) -> None:
        STATUS.rows(n, f"reading {path.name}")

    try:
        if path.suffix.lower() == ".parquet":
            _read_parquet(path, table, drop_missing, on_block)
        else:
            n_inputs = len(table.x_names)
            read = read_csv(
                path, table.numeric, group, sep, decimal, drop_missing, n_inputs, on_block
            )
            table.take(read)
    except FileNotFoundError:
        raise CliError(f"file not found: {path}") from None
    except IsADirectoryError:
        raise CliError(f"{path} is a directory, not a file") from None
    except UnicodeDecodeError as exc:
        raise CliError(
            f"cannot read {path}: not UTF-8 text ({exc.reason} at byte {exc.start})"
        ) from None
    except OSError as exc:
        raise CliError(f"cannot read {path}: {exc.strerror or exc}") from None
    n_kept = table.n_read - table.n_dropped
    if n_kept < 2:
        raise CliError(f"{path} has {n_kept} usable data row(s); at least 2 are needed")
    return table


# -- fitting and results ----------------------------------------------------


def _estimator_options(args: argparse.Namespace) -> dict[str, Any]:
    """The estimator parameters given on the command line (only those, so that
    its defaults apply), and `verbose` where a status line shows the stages."""
    common = {
        name: getattr(args, name)
        for name in ("degree", "basis", "gamma1", "gamma2", "seed")
        if getattr(args, name) is not None
    }
    if STATUS.enabled:
        common["verbose"] = 1
    return common


def _fit_all(
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    args: argparse.Namespace,
) -> list[SmoothPolynomialRegressor]:
    """The chosen fit; for the demo the robust fit beside it; and the sampler's
    refinement when the chosen one is not "mcmc"."""
    # Only the options given reach the estimator, so that its defaults apply.
    common = _estimator_options(args)
    fits = [SmoothPolynomialRegressor(method=args.method, **common)]
    if args.command == "demo" and args.method != "robust":
        fits.append(SmoothPolynomialRegressor(method="robust", **common))
    if args.method != "mcmc" and args.refine:
        fits.append(SmoothPolynomialRegressor(method="mcmc", **common))
    try:
        return [est.fit(X, y, sample_weight=w) for est in fits]
    except FIT_ERRORS as exc:
        raise CliError(str(exc)) from None


def _robust_scale(
    est: SmoothPolynomialRegressor, X: NDArray[np.float64], y: NDArray[np.float64]
) -> float:
    """1.4826 x the median absolute residual: the noise level a fit leaves,
    unaffected by the gross errors it does not follow."""
    return MAD_TO_SIGMA * float(np.median(np.abs(y - est.predict(X))))


def _summaries(
    fits: Sequence[SmoothPolynomialRegressor],
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    x_names: Sequence[str],
) -> list[dict[str, Any]]:
    """Every fit's summary; the share of inliers is counted for all of them
    within the same tolerance, INLIER_SCALES times the smallest robust
    residual scale among them, so that the rows compare."""
    scales = [_robust_scale(est, X, y) for est in fits]
    tolerance = INLIER_SCALES * min(scales)
    out = []
    for est in fits:
        resid = np.abs(y - est.predict(X))
        summary = _summary(est, X, y, x_names)
        summary["median_abs_residual"] = float(np.median(resid))
        summary["inlier_tolerance"] = tolerance
        summary["inlier_share"] = float(np.mean(resid <= tolerance))
        out.append(summary)
    return out


def _summary(
    est: SmoothPolynomialRegressor,
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    x_names: Sequence[str],
) -> dict[str, Any]:
    robust = hasattr(est, "weights_")
    return {
        "method": est.method,
        "basis": est.basis_,
        "degrees": est.degrees_,
        "n_terms": len(est.coef_),
        "r2": est.score(X, y),
        "hit_rate": est.hit_rate_,
        "mdl_score": est.mdl_score_,
        "coef": est.coef_.tolist(),
        "multi_indices": est.multi_indices_,
        "terms": [_monomial(mi, x_names, est.basis_) for mi in est.multi_indices_],
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
    out: Output,
    table: Table,
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    est: SmoothPolynomialRegressor,
) -> None:
    extra = prediction_columns(est, X)
    columns = [X, y[:, None], *([] if w is None else [w[:, None]])]
    columns += [v[:, None] for v in extra.values()]
    with _written(out) as fh:
        fh.write(",".join(_csv_cell(n) for n in [*table.numeric, *extra]) + "\n")
        # Block by block: the text of all rows is never held at once.
        for start in range(0, len(y), BLOCK_ROWS):
            block = np.hstack([c[start : start + BLOCK_ROWS] for c in columns]).tolist()
            cells = [list(map(repr, row)) for row in block]
            # Date inputs as they were written in the input.
            for j, text in table.texts.items():
                for row, t in zip(cells, text[start : start + BLOCK_ROWS].tolist(), strict=True):
                    row[j] = t
            fh.write("".join(",".join(row) + "\n" for row in cells))


def _csv_cell(text: str) -> str:
    buf = io.StringIO()
    csv.writer(buf, lineterminator="").writerow([text])
    return buf.getvalue()


def _print_report(
    source: str,
    x_cols: Sequence[str],
    y_col: str,
    n: int,
    results: list[dict[str, Any]],
    x_units: dict[str, str],
) -> None:
    print(f"zorp: {n} rows from {source}; model {y_col} ~ {', '.join(x_cols)}")
    for name, units in x_units.items():
        print(f"{name} holds dates, fitted as {units}")
    print(
        "inputs are scaled onto [-1, 1]; coefficients refer to the scaled inputs "
        "(P_k: the Legendre polynomial of degree k)\n"
    )
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
        pairs = zip(r["coef"], r["terms"], strict=True)
        terms = [f"{c:+.4g}*{term}" for c, term in pairs]
        print("  coefficients: " + " ".join(terms))


def _monomial(mi: Sequence[int], names: Sequence[str], basis: str = "power") -> str:
    if basis == "legendre":
        parts = [f"P_{e}({n})" for n, e in zip(names, mi, strict=True) if e > 0]
    else:
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
    out: Output,
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
        first = fits[0]
        try:
            band = first.predict_interval(grid, kind="mean")
        except ValueError:  # no residual degrees of freedom: no band to draw
            band = None
        if band is not None:
            ax.fill_between(
                grid[:, 0],
                band[:, 0],
                band[:, 1],
                alpha=0.25,
                lw=0,
                label=f"95% band of the {first.method} curve",
            )
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
        with replacing(out) as path:
            fig.savefig(path, format=out.given.suffix[1:].lower())
    except ValueError as exc:
        raise CliError(f"cannot write plot {out.given}: {exc}") from None
    finally:
        plt.close(fig)


# -- output files -------------------------------------------------------------


@dataclass(frozen=True)
class Output:
    """A file to write, checked before any work: `target` is the file a link
    names; a device or descriptor (/dev/stdout, a pipe) is written in place,
    a regular file through a temporary file renamed onto it."""

    given: Path
    target: Path
    direct: bool
    overwrite: bool


def _same_file(a: Path, b: Path) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def check_output(given: Path, option: str, inputs: Sequence[Path], overwrite: bool) -> Output:
    """The output `given` to --output or --plot, refused when it is one of the
    inputs (by path or, through links, by inode), a folder, in a missing
    folder, or an existing file without --overwrite."""
    target = Path(os.path.realpath(given))
    try:
        st: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        st = None
    except OSError as exc:
        raise CliError(f"{option} {given}: {exc.strerror}") from None
    for source in inputs:
        if target == Path(os.path.realpath(source)) or _same_file(given, source):
            raise CliError(f"{option} {given} is the input file {source}; it is never written over")
    if st is not None and stat.S_ISDIR(st.st_mode):
        raise CliError(f"{option} {given}: not a file in an existing folder (a folder)")
    direct = str(Path(os.path.abspath(given))).startswith(("/dev/", "/proc/")) or (
        st is not None and not stat.S_ISREG(st.st_mode)
    )
    if direct:
        return Output(given, given, True, overwrite)
    if not target.parent.is_dir():
        raise CliError(f"{option} {given}: not a file in an existing folder")
    if st is not None and not overwrite:
        raise CliError(f"{option} {given} exists; --overwrite replaces it")
    return Output(given, target, False, overwrite)


def _temporary_beside(target: Path) -> Path:
    """A new empty file in the target's folder (mode 0666 less the umask)."""
    while True:
        tmp = target.with_name(f".{target.name}.{secrets.token_hex(4)}.tmp")
        try:
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
        except FileExistsError:
            continue
        return tmp


@contextmanager
def replacing(out: Output) -> Iterator[Path]:
    """The path to write `out` to: a temporary file moved onto the target only
    when the writing ends without error, so that an interrupted run leaves the
    old file or none, never half a file. Without --overwrite a file that
    appeared meanwhile is not replaced (a hard link does not replace)."""
    try:
        if out.direct:
            yield out.given
            return
        tmp = _temporary_beside(out.target)
        try:
            yield tmp
            fd = os.open(tmp, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
            if out.overwrite:
                os.replace(tmp, out.target)
            else:
                _link_new(tmp, out)
        finally:
            tmp.unlink(missing_ok=True)
    except BrokenPipeError:
        raise
    except OSError as exc:
        raise CliError(f"cannot write {out.given}: {exc.strerror or exc}") from None


def _link_new(tmp: Path, out: Output) -> None:
    try:
        os.link(tmp, out.target)
    except FileExistsError:
        raise CliError(f"{out.given} appeared while zorp ran; it was not replaced") from None
    except OSError:  # a file system without hard links
        if out.target.exists():
            raise CliError(f"{out.given} appeared while zorp ran; it was not replaced") from None
        os.replace(tmp, out.target)


@contextmanager
def _written(out: Output) -> Iterator[TextIO]:
    with replacing(out) as path, path.open("w", encoding="utf-8", newline="") as fh:
        yield fh


# -- commands -----------------------------------------------------------------


def _run(
    table: Table,
    args: argparse.Namespace,
    source: str,
    output: Output | None,
    plot: Output | None,
) -> None:
    x_cols, y_col = table.x_names, table.y_name
    X, y, w = table.arrays()
    start = time.perf_counter()
    fits = _fit_all(X, y, w, args)
    results = _summaries(fits, X, y, x_cols)
    total = time.perf_counter() - start
    written = []
    if output is not None:
        STATUS.show(f"writing {output.given}")
        _write_predictions(output, table, X, y, w, fits[0])
        written.append(f"predictions written to {output.given}")
    if plot is not None:
        units = table.x_units
        _plot(plot, X, y, fits, [f"{c} ({units[c]})" if c in units else c for c in x_cols], y_col)
        written.append(f"plot written to {plot.given}")
    STATUS.clear()
    if args.json:
        doc = {
            "source": source,
            "n_rows": len(y),
            "n_dropped": table.n_dropped,
            "x_units": table.x_units,
            "results": results,
        }
        print(json.dumps(json_safe(doc), indent=2, allow_nan=False))
        for line in written:
            notice(line)
    else:
        _print_report(source, x_cols, y_col, len(y), results, table.x_units)
        print(f"\ntotal time {total * 1e3:.1f} ms")
        for line in written:
            print(line)


# -- one fit per group ----------------------------------------------------------

# The per-group table: these fields, then one column `<field>_<input>` for each
# input of the fields given per input, then the coefficients and the error.
GROUP_FIELDS = ("group", "n", "method", "basis", "n_terms", "gamma2", "edf", "sigma", "r2")
PER_INPUT_FIELDS = ("degrees", "x_center", "x_half_range", "x_min", "x_max")


def _term_name(mi: Sequence[int]) -> str:
    return "c" + "_".join(str(e) for e in mi)


def _group_rows(
    X: NDArray[np.float64],
    y: NDArray[np.float64],
    w: NDArray[np.float64] | None,
    table: Table,
    args: argparse.Namespace,
) -> list[dict[str, Any]]:
    """One result per group label, in the order the labels first appear."""
    x_names = table.x_names
    sort = np.argsort(table.codes, kind="stable")
    bounds = np.searchsorted(table.codes[sort], np.arange(len(table.levels) + 1))
    common = _estimator_options(args)
    results = []
    for g, label in enumerate(table.levels):
        rows = sort[bounds[g] : bounds[g + 1]]
        STATUS.show(f"group {g + 1} of {len(table.levels)} ({len(rows):,} rows)")
        Xg, yg = X[rows], y[rows]
        wg = None if w is None else w[rows]
        result: dict[str, Any] = {"group": label, "n": len(rows)}
        try:
            est = SmoothPolynomialRegressor(method=args.method, **common)
            est.fit(Xg, yg, sample_weight=wg)
        except FIT_ERRORS as exc:
            result["error"] = str(exc)
            results.append(result)
            continue
        # The same names and types as a single fit's summary, and what evaluates
        # the curve: basis, box and coefficients with their terms.
        result.update(
            method=est.method,
            basis=est.basis_,
            degrees=est.degrees_,
            n_terms=len(est.coef_),
            gamma2=est.gamma2_,
            edf=est.edf_,
            sigma=est.sigma_,
            r2=est.score(Xg, yg),
            x_center=est.x_center_.tolist(),
            x_half_range=est.x_half_range_.tolist(),
            x_min=est.x_min_.tolist(),
            x_max=est.x_max_.tolist(),
            multi_indices=est.multi_indices_,
            terms=[_monomial(mi, x_names, est.basis_) for mi in est.multi_indices_],
            coef=est.coef_.tolist(),
        )
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
        for mi in r.get("multi_indices", []):
            terms.setdefault(_term_name(mi), tuple(mi))
    term_names = sorted(terms, key=lambda t: (sum(terms[t]), terms[t]))
    per_input = [(f, j) for f in PER_INPUT_FIELDS for j in range(len(x_names))]
    header = [
        *GROUP_FIELDS,
        *(f"{f}_{x_names[j]}" for f, j in per_input),
        *term_names,
        "error",
    ]
    rows = []
    for r in results:
        pairs = zip(r.get("multi_indices", []), r.get("coef", []), strict=True)
        coef = {_term_name(mi): c for mi, c in pairs}
        rows.append(
            [r.get(f, "") for f in GROUP_FIELDS]
            + [r[f][j] if f in r else "" for f, j in per_input]
            + [coef.get(t, "") for t in term_names]
            + [r.get("error", "")]
        )
    return header, rows


def _write_group_table(out: Output, header: list[str], rows: list[list[Any]]) -> None:
    def cell(v: Any) -> str:
        return repr(float(v)) if isinstance(v, float | np.floating) else str(v)

    if out.given.suffix.lower() == ".parquet":
        try:
            import pyarrow as pa  # type: ignore[import-untyped,import-not-found,unused-ignore]
            import pyarrow.parquet as pq  # type: ignore[import-untyped,import-not-found,unused-ignore]
        except ImportError:
            raise CliError("writing Parquet files needs pyarrow (pip install pyarrow)") from None
        columns = {
            name: [None if v == "" else v for v in col]
            for name, col in zip(header, zip(*rows, strict=True), strict=True)
        }
        with replacing(out) as path:
            pq.write_table(pa.table(columns), str(path))
        return
    with _written(out) as fh:
        writer = csv.writer(fh)
        writer.writerow(header)
        for row in rows:
            writer.writerow([cell(v) for v in row])


def _run_grouped(table: Table, args: argparse.Namespace, source: str, output: Output | None) -> int:
    X, y, w = table.arrays()
    x_names = table.x_names
    start = time.perf_counter()
    results = _group_rows(X, y, w, table, args)
    total = time.perf_counter() - start
    failed = [r for r in results if "error" in r]
    header, rows = _flat(results, x_names)
    if output is not None:
        _write_group_table(output, header, rows)
    STATUS.clear()
    if args.json:
        doc = {
            "source": source,
            "n_rows": len(y),
            "n_groups": len(results),
            "x_units": table.x_units,
            "groups": results,
        }
        print(json.dumps(json_safe(doc), indent=2, allow_nan=False))
    else:
        print(f"zorp: {len(y)} rows in {len(results)} groups of {table.group!r} from {source}")
        for name, units in table.x_units.items():
            print(f"{name} holds dates, fitted as {units}")
        print(f"{'group':<16}{'n':>8}{'degree':>8}{'gamma2':>12}{'edf':>8}{'sigma':>12}{'R^2':>9}")
        for r in results:
            if "error" in r:
                print(f"{r['group']:<16}{r['n']:>8}  error: {r['error']}")
                continue
            degree = "x".join(str(d) for d in r["degrees"])
            print(
                f"{r['group']:<16}{r['n']:>8}{degree:>8}{r['gamma2']:>12.4g}"
                f"{r['edf']:>8.2f}{r['sigma']:>12.4g}{r['r2']:>9.4f}"
            )
        print(f"\ntotal time {total * 1e3:.1f} ms")
    if output is not None:
        notice(f"{len(results)} group results written to {output.given}")
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


def _decimal(text: str) -> str:
    if text not in (".", ","):
        raise argparse.ArgumentTypeError(f"decimal mark must be '.' or ',', got {text!r}")
    return text


def _add_fit_options(p: argparse.ArgumentParser, degree: Any, gamma2: Any, refine: bool) -> None:
    p.add_argument("--degree", type=_degrees, default=degree, help="D or D1,D2,...")
    p.add_argument("--method", choices=METHODS, default="penalized")
    p.add_argument(
        "--basis",
        choices=tuple(BASES),
        default=None,
        help="polynomials of each input: legendre (the default) or power",
    )
    p.add_argument("--gamma1", type=_weight, default=None, help="gradient penalty weight")
    p.add_argument("--gamma2", type=_weight, default=gamma2, help="curvature penalty weight")
    p.add_argument("--seed", type=_seed, default=None, help="sampler seed, 0 to 2**64 - 1")
    p.add_argument(
        "--refine",
        dest="refine",
        action="store_true",
        default=refine,
        help="also fit the MCMC refinement beside the chosen method"
        + (" (the default here)" if refine else "; slow on large data"),
    )
    p.add_argument(
        "--no-refine",
        dest="refine",
        action="store_false",
        help="skip the MCMC refinement" + ("" if refine else " (the default; kept for scripts)"),
    )
    p.add_argument("--json", action="store_true", help="print machine-readable results only")
    p.add_argument("--plot", default=None, help="write a plot to this file (PNG, PDF, SVG, ...)")
    p.add_argument(
        "--overwrite",
        action="store_true",
        help="replace an existing --output or --plot file (an input file is never replaced)",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="zorp", description="Smooth, robust polynomial regression.")
    parser.add_argument("--version", action="version", version=f"zorp {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    demo = sub.add_parser("demo", help="fit the bundled noisy dataset and report")
    # The demo uses the estimator's automatic degree and smoothness, and shows
    # every stage, the refinement too; on a user's file it is asked for.
    _add_fit_options(demo, None, None, refine=True)
    fit = sub.add_parser("fit", help="fit columns of a CSV (or Parquet) file")
    fit.add_argument("file", type=Path)
    fit.add_argument("--x", required=True, help="input column(s): COL or COL1,COL2,...")
    fit.add_argument("--y", required=True, help="target column")
    fit.add_argument("--weight", default=None, help="column of sample weights (>= 0)")
    fit.add_argument(
        "--sep",
        type=_separator,
        default=None,
        help="',', ';' or tab (default: sniffed from the header; ';' with --decimal ,)",
    )
    fit.add_argument(
        "--decimal",
        type=_decimal,
        default=".",
        help="decimal mark, '.' (default) or ',' as in '130,0'; with ',' a cell "
        "holding '.' is refused (a thousands separator)",
    )
    fit.add_argument(
        "--drop-missing",
        action="store_true",
        help="skip rows with blank or non-numeric cells in the used columns",
    )
    fit.add_argument(
        "--output",
        default=None,
        type=Path,
        help="write inputs and predictions to this CSV; with --group, one row of "
        "results per group (CSV, or Parquet by suffix); never an existing file "
        "without --overwrite",
    )
    fit.add_argument(
        "--group", default=None, help="fit one curve per value of this column (text or numbers)"
    )
    _add_fit_options(fit, None, None, refine=False)
    return parser


def _columns_of(args: argparse.Namespace) -> tuple[list[str], str, str | None, str | None]:
    """The --x, --y, --weight and --group columns; one column in two roles is refused."""
    x_cols = [c.strip() for c in args.x.split(",") if c.strip()]
    if not x_cols:
        raise CliError("--x names no column")
    y_col = args.y.strip()
    weight = args.weight.strip() if args.weight else None
    group = args.group.strip() if args.group else None
    roles = [
        *(("--x", c) for c in x_cols),
        ("--y", y_col),
        ("--weight", weight),
        ("--group", group),
    ]
    seen: dict[str, str] = {}
    for role, name in roles:
        if name is None:
            continue
        if name in seen:
            raise CliError(
                f"column {name!r} is given to both {seen[name]} and {role}; "
                "each column can have one role"
            )
        seen[name] = role
    if args.decimal == "," and args.sep == ",":
        raise CliError("--decimal , needs another field separator: --sep ';' or --sep tab")
    return x_cols, y_col, weight, group


def _outputs(
    args: argparse.Namespace, inputs: Sequence[Path]
) -> tuple[Output | None, Output | None]:
    """The --output and --plot files, checked before the input is read."""
    output = plot = None
    if getattr(args, "group", None) and args.plot:
        raise CliError("--plot draws one curve; it cannot be combined with --group")
    if getattr(args, "output", None) is not None:
        output = check_output(args.output, "--output", inputs, args.overwrite)
    if args.plot:
        plot = check_output(plot_path(args.plot), "--plot", inputs, args.overwrite)
        if output is not None and (
            plot.target == output.target or _same_file(plot.target, output.target)
        ):
            raise CliError(f"--plot {args.plot} and --output {args.output} are the same file")
    return output, plot


def _check_memory(table: Table, args: argparse.Namespace) -> None:
    """Refuse a fit that cannot fit in the memory available (see `memory_need`)."""
    n = len(table.columns[0])
    if table.group is not None and n:  # one group is fitted at a time
        n = int(np.bincount(table.codes).max())
    need = memory_need(n, len(table.x_names), args)
    free = available_memory()
    if free is not None and need > free:
        rows = f"{n} rows" if table.group is None else f"a group of {n} rows"
        raise CliError(
            f"{rows} of {len(table.x_names)} input(s) need about "
            f"{need / 2**30:.1f} GiB to fit, more than the {free / 2**30:.1f} GiB available; "
            "fit a sample of the rows or give a lower --degree"
        )


# Peak memory of a fit beyond the data read. Fits work from row blocks of at
# most BLOCK_BYTES of design rows, so what grows with the rows is a few numbers
# per row (inputs, target, weights, predictions, residuals, bounds), except
# where a whole design is formed: the sampler's refinement holds about two
# designs of all rows, the robust fit about four of its sample of at most
# `robust_sample_rows` rows (bytes per row and term measured on 2 x 10^5 rows).
ROW_BYTES = 8 * 16
DESIGN_BYTES_PER_CELL = {"mcmc": 2.1 * 8, "robust": 4.2 * 8}


def widest_basis(
    n_inputs: int, degree: int | list[int] | None, basis: BasisKind = "legendre"
) -> int:
    """The terms of the widest basis a fit forms: all of a given degree's; with
    the automatic degree, its largest candidate."""
    if degree is not None:
        degrees = [degree] * n_inputs if isinstance(degree, int) else degree
        return math.prod(d + 1 for d in degrees)
    return math.prod(d + 1 for d in auto_candidates(n_inputs, basis=basis)[-1])


def memory_need(n_rows: int, n_inputs: int, args: argparse.Namespace) -> float:
    """About the memory a fit of `n_rows` needs beyond the data read; fits run
    one after the other, so the largest counts."""
    methods = [args.method, *(["mcmc"] if args.refine else [])]
    if args.command == "demo":
        methods.append("robust")
    try:
        terms = widest_basis(n_inputs, args.degree, getattr(args, "basis", None) or "legendre")
    except TypeError:
        return 0.0  # a degree the estimator refuses with its own message
    design_rows = {"mcmc": n_rows, "robust": min(n_rows, robust_sample_rows(terms))}
    designs = [
        design_rows[m] * terms * DESIGN_BYTES_PER_CELL[m] for m in methods if m in design_rows
    ]
    return n_rows * ROW_BYTES + 4 * BLOCK_BYTES + max(designs, default=0.0)


def available_memory() -> int | None:
    """The memory this process can still take, in bytes: the machine's
    MemAvailable, less where an address-space limit (ulimit -v) or the
    cgroup's memory.max is nearer; None where none of them is known."""
    found = []
    meminfo = _read_fields("/proc/meminfo")
    if "MemAvailable" in meminfo:
        found.append(meminfo["MemAvailable"] * 1024)
    limit = resource.getrlimit(resource.RLIMIT_AS)[0]
    status = _read_fields("/proc/self/status")
    if limit != resource.RLIM_INFINITY and "VmSize" in status:
        found.append(max(0, limit - status["VmSize"] * 1024))
    try:
        with open("/proc/self/cgroup", encoding="ascii") as fh:
            group = next(line[3:].strip() for line in fh if line.startswith("0::"))
        base = Path("/sys/fs/cgroup") / group.lstrip("/")
        top = (base / "memory.max").read_text().strip()
        if top != "max":
            found.append(max(0, int(top) - int((base / "memory.current").read_text())))
    except (OSError, ValueError, StopIteration):
        pass
    return min(found) if found else None


def _read_fields(name: str) -> dict[str, int]:
    """The 'Key: number ...' lines of a /proc file."""
    fields = {}
    try:
        with open(name, encoding="ascii") as fh:
            for line in fh:
                key, _, rest = line.partition(":")
                parts = rest.split()
                if parts and parts[0].isdigit():
                    fields[key] = int(parts[0])
    except OSError:
        pass
    return fields


def _quiet_stdout() -> None:
    """Point stdout at /dev/null so that the exit-time flush cannot fail again."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)


def _plug_closed_descriptors() -> None:
    """Open /dev/null on a closed descriptor 0, 1 or 2, so that no file this
    program opens takes its number and receives what is meant for the terminal."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            devnull = os.open(os.devnull, os.O_RDWR)
            if devnull != fd:
                os.dup2(devnull, fd)
                os.close(devnull)


def _main(argv: Sequence[str] | None) -> int:
    try:
        args = build_parser().parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else int(exc.code is not None)
    try:
        if sys.stdout is None:
            raise CliError("cannot write the output: standard output is closed")
        if args.command == "demo":
            ref = resources.files("zorp") / "data" / "demo.csv"
            with resources.as_file(ref) as path:
                output, plot = _outputs(args, [path])
                table = read_table(path, ["x"], "y")
            _check_memory(table, args)
            _run(table, args, "the bundled demo dataset", output, plot)
            return 0
        x_cols, y_col, weight, group = _columns_of(args)
        if group is not None and args.refine:
            raise CliError("--refine is not available with --group")
        output, plot = _outputs(args, [args.file])
        table = read_table(
            args.file, x_cols, y_col, args.sep, args.drop_missing, group, weight, args.decimal
        )
        if table.n_dropped:
            notice(f"dropped {table.n_dropped} of {table.n_read} rows")
        _check_memory(table, args)
        if group is not None:
            return _run_grouped(table, args, str(args.file), output)
        _run(table, args, str(args.file), output, plot)
    except CliError as exc:
        _say(f"zorp: error: {exc}", error=True)
        return 1
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    _plug_closed_descriptors()
    STATUS.begin()
    # The fits' stages go to the status line (shown only on a terminal).
    token = _progress.sink.set(lambda message: STATUS.show(f"fitting: {message}"))
    try:
        code = _main(argv)
        if sys.stdout is not None:
            sys.stdout.flush()
    except BrokenPipeError:
        # The reader of the output went away (`zorp ... | head`): stop quietly,
        # with the status a shell shows for a program ended by SIGPIPE.
        _quiet_stdout()
        return 141
    except KeyboardInterrupt:
        notice("interrupted")
        return 130
    except MemoryError:
        _say("zorp: error: out of memory", error=True)
        return 1
    except OSError as exc:
        # Standard output cannot be written (a full disk, a closed terminal).
        _quiet_stdout()
        what = f"cannot write {exc.filename}" if exc.filename else "cannot write the output"
        _say(f"zorp: error: {what}: {exc.strerror or exc}", error=True)
        return 1
    finally:
        STATUS.clear()
        _progress.sink.reset(token)
    return code


if __name__ == "__main__":
    raise SystemExit(main())
