"""Accuracy of the power-basis least-squares fit on NIST's linear reference datasets.

Run on demand: .venv/bin/python benchmarks/nist_accuracy.py [DIR]
DIR holds the *.dat files (default: ../shared/nist relative to the repository root).
Each dataset is fitted with design_matrix_1d + ols (several predictors: a column of
ones plus the predictors) and with numpy.linalg.lstsq on the same matrix. The table
gives the log relative error (LRE, about the number of correct significant digits,
capped at 15) of the worst coefficient against the certified values. The last column
solves with every column scaled to unit norm first, for comparison: ols itself never
scales or centres. The column "x16 rows" fits the dataset with every row repeated
16 times (the same least-squares problem, certified values unchanged): large enough
for the QR route that ols takes on tall, well-conditioned matrices.
"""

import argparse
import math
import re
import sys
from pathlib import Path

import numpy as np

from zorp._native import zorp_core as zc

PARAM_RE = re.compile(r"^\s*B(\d+)\s+(\S+)\s+\S+\s*$")
MAX_LRE = 15.0


def parse(path):
    lines = path.read_text().splitlines()
    certified = {}
    difficulty = ""
    model = ""
    data_start = None
    for i, line in enumerate(lines):
        if "Level of Difficulty" in line:
            difficulty = line.split("Level")[0].strip()
        if line.strip().startswith("y =") and not model:
            model = line.strip()
        m = PARAM_RE.match(line)
        if m and data_start is None:
            certified[int(m.group(1))] = float(m.group(2).replace("D", "E"))
        if line.startswith("Data:") and "y" in line.split(":", 1)[1].split():
            data_start = i + 1
    if data_start is None or not certified:
        raise ValueError(f"{path.name}: unrecognised layout")
    rows = [list(map(float, ln.split())) for ln in lines[data_start:] if ln.strip()]
    data = np.array(rows)
    y, preds = data[:, 0], data[:, 1:]
    indices = sorted(certified)
    beta = np.array([certified[k] for k in indices])
    return {
        "difficulty": difficulty,
        "intercept": 0 in certified,
        "y": y,
        "preds": preds,
        "certified": beta,
        "model": model,
    }


def design(ds):
    preds, n_params = ds["preds"], len(ds["certified"])
    if preds.shape[1] == 1:
        # One predictor: polynomial in the raw power basis.
        deg = n_params - 1 if ds["intercept"] else n_params
        Phi = zc.design_matrix_1d(deg, preds[:, 0])
        if ds["intercept"]:
            return Phi, f"poly deg {deg}"
        return Phi[:, 1:], f"poly deg {deg} no B0"
    cols = [np.ones(len(preds))] if ds["intercept"] else []
    return np.column_stack([*cols, preds]), f"{preds.shape[1]} predictors"


def lre(estimate, certified):
    worst = MAX_LRE
    for b, c in zip(estimate, certified, strict=True):
        err = abs(b - c) / abs(c) if c != 0 else abs(b)
        if not math.isfinite(err):
            return 0.0
        worst = min(worst, MAX_LRE if err == 0 else max(0.0, -math.log10(err)))
    return worst


def main(argv=None):
    root = Path(__file__).resolve().parent.parent
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", nargs="?", default=root / ".." / "shared" / "nist", type=Path)
    args = parser.parse_args(argv)
    files = sorted(args.directory.glob("*.dat"))
    if not files:
        print(f"no .dat files in {args.directory}", file=sys.stderr)
        return 1

    print(
        f"{'dataset':<10} {'difficulty':<10} {'model':<18} {'n':>4} {'p':>3} "
        f"{'LRE zorp ols':>13} {'x16 rows':>9} {'LRE lstsq':>10} {'LRE lstsq scaled':>17}"
    )
    for path in files:
        ds = parse(path)
        Phi, label = design(ds)
        y = ds["y"]
        b_zorp = zc.ols(Phi, y)
        b_tall = zc.ols(np.asfortranarray(np.tile(Phi, (16, 1))), np.tile(y, 16))
        b_np = np.linalg.lstsq(Phi, y)[0]
        norms = np.linalg.norm(Phi, axis=0)
        b_scaled = np.linalg.lstsq(Phi / norms, y)[0] / norms
        cert = ds["certified"]
        print(
            f"{path.stem:<10} {ds['difficulty']:<10} {label:<18} {len(y):>4} {len(cert):>3} "
            f"{lre(b_zorp, cert):>13.1f} {lre(b_tall, cert):>9.1f} {lre(b_np, cert):>10.1f} "
            f"{lre(b_scaled, cert):>17.1f}"
        )
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
