"""The command line's CSV reader: only the used columns, block by block into
float arrays, so that memory grows with 8 bytes per used cell, not with the text."""

from __future__ import annotations

import csv
import math
import re
from collections.abc import Callable, Sequence
from operator import itemgetter
from pathlib import Path

import numpy as np
from numpy.typing import NDArray

# Rows parsed per block: the text of one block is all that is held at a time.
BLOCK_ROWS = 1 << 16
# Characters of a cell quoted in an error line.
SHOWN = 40
# An input column whose first value is an ISO date or datetime holds dates:
# YYYY-MM-DD, then optionally T or a space, HH:MM, :SS and a fraction.
DATE = re.compile(r"\d{4}-\d{2}-\d{2}(?:[T ]\d{2}:\d{2}(?::\d{2}(?:\.\d{1,6})?)?)?")
DATE_FORMS = "YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS]"
# Dates are fitted as this number, the convention of datetime64[D] arrays.
DATE_UNITS = "days since 1970-01-01"
MICROSECONDS_PER_DAY = 86_400e6


class CliError(Exception):
    """An error reported to the user as one line, without a traceback."""


def shown(cell: str, limit: int = SHOWN) -> str:
    """`cell` quoted for an error line, cut to `limit` characters."""
    if len(cell) <= limit:
        return repr(cell)
    return f"{cell[:limit]!r}... ({len(cell)} characters)"


def column_index(path: Path, header: Sequence[str], names: Sequence[str]) -> list[int]:
    """Where each of `names` is in `header`; a missing or repeated name is an error."""
    index = []
    for name in names:
        count = header.count(name)
        if count == 0:
            known = shown(", ".join(header), 200)[1:-1]
            raise CliError(f"unknown column {name!r} in {path}; columns are {known}")
        if count > 1:
            raise CliError(
                f"column {name!r} appears {count} times in the header of {path}; "
                "rename the copies so that the column is unambiguous"
            )
        index.append(header.index(name))
    return index


def bad_cell(
    path: Path, where: str, name: str, cell: str, decimal: str = ".", kind: str | None = None
) -> CliError:
    """The error for a cell of the column `name` that holds no value of its
    `kind`: "date", "number" (an input column of numbers) or None (a target
    or weight column)."""
    is_number = not math.isnan(_floats([cell], decimal)[0])
    if not cell:
        problem = "blank cell"
    elif kind == "date" and DATE.fullmatch(cell):
        problem = f"{shown(cell)} is not a valid date"
    elif kind == "date":
        what = "a number in a column of dates" if is_number else "not a date"
        problem = f"{shown(cell)} is {what} ({DATE_FORMS})"
    elif DATE.fullmatch(cell):
        problem = (
            f"{shown(cell)} is a date in a column of numbers (dates are read in --x columns "
            "whose first value is a date)"
        )
    elif "\n" in cell or "\r" in cell:
        lines = cell.count("\n") + 1
        return CliError(
            f"{path}, {where}: a quoted field runs over {lines} lines "
            f"({shown(cell)}); is a quote unbalanced?"
        )
    elif not is_number and cell.strip().lower() != "nan":
        problem = f"{shown(cell)} is not a number"
    else:
        problem = f"{shown(cell)} is not finite"
    return CliError(f"{path}, {where}, column {name!r}: {problem} (--drop-missing skips such rows)")


def sniff_separator(header: str) -> str:
    counts = {sep: header.count(sep) for sep in (",", ";", "\t")}
    best = max(counts, key=lambda s: counts[s])
    return best if counts[best] > 0 else ","


def dates(cells: Sequence[str]) -> NDArray[np.float64]:
    """Days since 1970-01-01 of ISO dates and datetimes (a date alone is its
    midnight); NaN where a cell is not one or names no real time."""
    out = np.full(len(cells), np.nan)
    at = [i for i, c in enumerate(cells) if DATE.fullmatch(c)]
    try:
        times = np.array([cells[i] for i in at], dtype="datetime64[us]")
    except ValueError:  # some day or hour out of range: those cells stay NaN
        times = np.array([_time(cells[i]) for i in at], dtype="datetime64[us]")
    days = times.astype(np.int64) / MICROSECONDS_PER_DAY
    out[at] = np.where(np.isnat(times), np.nan, days)
    return out


def _time(cell: str) -> np.datetime64:
    try:
        return np.datetime64(cell, "us")
    except ValueError:
        return np.datetime64("NaT", "us")


def _floats(cells: Sequence[str], decimal: str) -> NDArray[np.float64]:
    """The cells' numbers; NaN where a cell is blank or not a number.

    With a decimal comma a cell holding a point is not a number: there the
    point separates thousands, and reading it as a decimal point would
    silently scale the value."""
    if decimal == ",":
        cells = ["x" if "." in c else c.replace(",", ".") for c in cells]
    try:
        return np.fromiter(map(float, cells), dtype=np.float64, count=len(cells))
    except ValueError:
        pass
    out = np.empty(len(cells), dtype=np.float64)
    for i, c in enumerate(cells):
        try:
            out[i] = float(c)
        except ValueError:
            out[i] = math.nan
    return out


class Columns:
    """Float columns, group codes and their labels, gathered block by block."""

    def __init__(self, n_numeric: int, n_inputs: int = 0) -> None:
        self.blocks: list[list[NDArray[np.float64]]] = [[] for _ in range(n_numeric)]
        # Per column what it holds: the first `n_inputs` (the inputs) "date" or
        # "number" once their first value is seen, None (numbers) for the rest;
        # and the text of every kept cell of a date column.
        self.kinds: list[str | None] = ["auto"] * n_inputs + [None] * (n_numeric - n_inputs)
        self.text_blocks: dict[int, list[NDArray[np.str_]]] = {}
        self.code_blocks: list[NDArray[np.intp]] = []
        self.levels: dict[str, int] = {}
        self.n_read = 0
        self.n_dropped = 0

    def add(
        self,
        values: Sequence[NDArray[np.float64]],
        labels: Sequence[str] | None,
        good: NDArray[np.bool_],
        texts: dict[int, NDArray[np.str_]] | None = None,
    ) -> None:
        for j, text in (texts or {}).items():
            self.text_blocks.setdefault(j, []).append(text[good])
        self.n_read += len(good)
        self.n_dropped += int((~good).sum())
        for blocks, v in zip(self.blocks, values, strict=True):
            blocks.append(v[good])
        if labels is not None:
            levels = self.levels
            kept = (v for v, ok in zip(labels, good, strict=True) if ok)
            codes = [levels.setdefault(v, len(levels)) for v in kept]
            self.code_blocks.append(np.array(codes, dtype=np.intp))

    def columns(self) -> list[NDArray[np.float64]]:
        out = []
        for i, blocks in enumerate(self.blocks):
            out.append(np.concatenate(blocks) if blocks else np.empty(0))
            self.blocks[i] = []  # each column's blocks go as soon as it is joined
        return out

    def texts(self) -> dict[int, NDArray[np.str_]]:
        """The text of the kept cells of every date column, by column."""
        return {j: np.concatenate(blocks) for j, blocks in self.text_blocks.items()}

    def codes(self) -> NDArray[np.intp]:
        return np.concatenate(self.code_blocks) if self.code_blocks else np.empty(0, np.intp)


def read_csv(
    path: Path,
    names: Sequence[str],
    group: str | None,
    sep: str | None,
    decimal: str,
    drop_missing: bool,
    n_inputs: int = 0,
    on_block: Callable[[int], None] | None = None,
) -> Columns:
    """The numeric columns `names` and the text column `group` of a CSV file
    with a header line; the first `n_inputs` columns may hold dates instead.
    Blank lines are skipped; a bad cell is an error that names its line (where
    its record starts) unless `drop_missing`. `on_block` is told the rows read
    after each block."""
    out = Columns(len(names), n_inputs)
    with path.open(encoding="utf-8-sig", newline="") as fh:
        first = fh.readline()
        if not first.strip():
            raise CliError(f"{path} is empty")
        delimiter = sep or (";" if decimal == "," else sniff_separator(first))
        header = [h.strip() for h in next(csv.reader([first], delimiter=delimiter))]
        wanted = [*names] if group is None else [*names, group]
        index = column_index(path, header, wanted)
        width = max(index) + 1
        get = itemgetter(*index)
        reader = csv.reader(fh, delimiter=delimiter)
        ended = False
        while not ended:
            rows: list[tuple[str, ...]] = []
            starts: list[int] = []
            start = reader.line_num + 2  # the header was read before the reader started
            try:
                for row in reader:
                    if len(row) < width:
                        row += [""] * (width - len(row))
                    cells = get(row)
                    if not "".join(cells).strip() and not "".join(row).strip():
                        start = reader.line_num + 2
                        continue  # a blank line
                    rows.append(cells)
                    starts.append(start)
                    start = reader.line_num + 2
                    if len(rows) == BLOCK_ROWS:
                        break
                else:
                    ended = True
            except csv.Error as exc:
                hint = "; is a quote unbalanced?" if "field limit" in str(exc) else ""
                raise CliError(f"{path}, record starting on line {start}: {exc}{hint}") from None
            if rows:
                _add_block(path, out, rows, starts, names, group, decimal, drop_missing)
                if on_block is not None:
                    on_block(out.n_read)
    return out


def _add_block(
    path: Path,
    out: Columns,
    rows: list[tuple[str, ...]],
    starts: list[int],
    names: Sequence[str],
    group: str | None,
    decimal: str,
    drop_missing: bool,
) -> None:
    cells = list(zip(*rows, strict=True))
    kinds = out.kinds
    texts: dict[int, NDArray[np.str_]] = {}
    values = []
    for j, column in enumerate(cells[: len(names)]):
        if kinds[j] == "auto":
            first = next((c.strip() for c in column if c.strip()), None)
            if first is not None:
                kinds[j] = "date" if DATE.fullmatch(first) else "number"
        if kinds[j] == "date":
            stripped = [c.strip() for c in column]
            values.append(dates(stripped))
            texts[j] = np.array(stripped, dtype=np.str_)
        else:
            values.append(_floats(column, decimal))
    good = np.logical_and.reduce([np.isfinite(v) for v in values])
    labels = None
    if group is not None:
        labels = [v.strip() for v in cells[-1]]
        good &= np.array([v != "" for v in labels], dtype=bool)
    if not drop_missing and not good.all():
        i = int(np.argmin(good))
        for j, (name, column, v) in enumerate(zip(names, cells, values, strict=False)):
            if not math.isfinite(v[i]):
                where = f"line {starts[i]}"
                raise bad_cell(path, where, name, column[i].strip(), decimal, kinds[j])
        raise CliError(
            f"{path}, line {starts[i]}, column {group!r}: blank group label "
            "(--drop-missing skips such rows)"
        )
    out.add(values, labels, good, texts)
