"""The command line, run as a user runs it."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from zorp import SmoothPolynomialRegressor


def run(*args, cwd):
    env = {**os.environ, "MPLBACKEND": "Agg"}
    return subprocess.run(
        [sys.executable, "-m", "zorp", *args],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=cwd,
        env=env,
    )


@pytest.fixture
def csv_2d(tmp_path, rng):
    X = rng.uniform(-1.0, 1.0, size=(60, 2))
    y = 1.0 + X[:, 0] - 2.0 * X[:, 1] ** 2
    path = tmp_path / "data.csv"
    lines = ["a,b,target"] + [f"{a},{b},{t}" for (a, b), t in zip(X, y, strict=True)]
    path.write_text("\n".join(lines) + "\n")
    return path


def test_demo_reports_every_stage(tmp_path):
    pytest.importorskip("matplotlib")
    out = run("demo", "--plot", "demo.png", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    for text in ("200 rows", "penalized", "mcmc", "R^2", "hit rate", "MDL score", "coefficients"):
        assert text in out.stdout
    # The chosen degree, smoothness and effective degrees of freedom, per method.
    header, row = out.stdout.splitlines()[3:5]
    assert header.split()[:5] == ["method", "degree", "terms", "gamma2", "edf"]
    method, degree, terms, gamma2, edf = row.split()[:5]
    assert method == "penalized" and int(terms) == int(degree) + 1
    assert float(gamma2) > 0 and 1 < float(edf) <= int(terms)
    for stage in ("penalties", "statistics", "penalized fit", "mcmc fit", "score"):
        assert stage in out.stdout
    assert (tmp_path / "demo.png").read_bytes().startswith(b"\x89PNG")


def test_fit_json_matches_estimator(csv_2d, tmp_path):
    out = run(
        "fit",
        str(csv_2d),
        "--x",
        "a,b",
        "--y",
        "target",
        "--degree",
        "1,2",
        "--method",
        "ols",
        "--refine",
        "--json",
        cwd=tmp_path,
    )
    assert out.returncode == 0, out.stderr
    result = json.loads(out.stdout)
    assert result["n_rows"] == 60
    ols = result["results"][0]
    assert ols["method"] == "ols" and ols["degrees"] == [1, 2]
    assert ols["r2"] == pytest.approx(1.0, abs=1e-10)
    assert [r["method"] for r in result["results"]] == ["ols", "mcmc"]

    from zorp import SmoothPolynomialRegressor

    data = np.loadtxt(csv_2d, delimiter=",", skiprows=1)
    est = SmoothPolynomialRegressor(degree=[1, 2], method="ols").fit(data[:, :2], data[:, 2])
    np.testing.assert_allclose(ols["coef"], est.coef_, rtol=1e-12, atol=1e-12)


def test_console_script_is_installed(csv_2d, tmp_path):
    script = Path(sys.executable).with_name("zorp")
    if not script.exists():
        pytest.skip("console script not installed next to the interpreter")
    out = subprocess.run(
        [str(script), "fit", str(csv_2d), "--x", "a", "--y", "target", "--no-refine"],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
    )
    assert out.returncode == 0, out.stderr
    assert "penalized" in out.stdout and "mcmc" not in out.stdout


def write_csv(path, header, rows, sep=",", bom=False):
    lines = [sep.join(header)] + [sep.join(str(v) for v in row) for row in rows]
    path.write_bytes((b"\xef\xbb\xbf" if bom else b"") + ("\n".join(lines) + "\n").encode())
    return path


def fit_json(path, *extra, cwd):
    out = run(
        "fit",
        str(path),
        "--x",
        "a",
        "--y",
        "target",
        "--method",
        "ols",
        "--no-refine",
        "--degree",
        "2",
        "--json",
        *extra,
        cwd=cwd,
    )
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout), out.stderr


def ols_coef(X, y):
    from zorp import SmoothPolynomialRegressor

    return SmoothPolynomialRegressor(degree=2, method="ols").fit(X, y).coef_


@pytest.mark.parametrize(
    ("sep", "bom", "extra"),
    [
        (",", False, []),
        (";", True, []),
        ("\t", False, []),
        (";", False, ["--sep", ";"]),
        ("\t", True, ["--sep", "tab"]),
        (None, False, []),
        (";", False, ["--decimal", ","]),
        ("\t", True, ["--decimal", ",", "--sep", "tab"]),
    ],
    ids=[
        "comma",
        "semicolon-bom",
        "tab",
        "sep-option",
        "tab-option-bom",
        "parquet",
        "decimal-comma",
        "decimal-comma-tab",
    ],
)
def test_input_formats_give_the_same_fit(tmp_path, rng, sep, bom, extra):
    X = rng.uniform(-2.0, 2.0, size=(40, 1))
    y = 0.5 - X[:, 0] + 0.25 * X[:, 0] ** 2 + rng.normal(scale=0.01, size=40)
    if sep is None:
        pa = pytest.importorskip("pyarrow")
        import pyarrow.parquet as pq

        path = tmp_path / "in.parquet"
        pq.write_table(pa.table({"a": X[:, 0], "note": ["x"] * 40, "target": y}), path)
    else:
        rows = [(repr(float(a)), "text", repr(float(t))) for a, t in zip(X[:, 0], y, strict=True)]
        if "--decimal" in extra:  # '130,0': the written text holds no point at all
            rows = [tuple(c.replace(".", ",") for c in row) for row in rows]
        path = write_csv(tmp_path / "in.csv", ["a", "note", "target"], rows, sep, bom)
    result, _ = fit_json(path, *extra, cwd=tmp_path)
    assert result["n_rows"] == 40 and result["n_dropped"] == 0
    np.testing.assert_allclose(result["results"][0]["coef"], ols_coef(X, y), rtol=1e-12)


@pytest.mark.parametrize("bad", ["", "NA", "nan", "n/a", "inf"])
def test_missing_cells_are_dropped_on_request(tmp_path, rng, bad):
    X = rng.uniform(-1.0, 1.0, size=(30, 1))
    y = 1.0 + X[:, 0] ** 2
    cells = [[repr(float(a)), repr(float(t))] for a, t in zip(X[:, 0], y, strict=True)]
    bad_rows = [3, 11, 17]
    for i in bad_rows:
        cells[i][i % 2] = bad
    path = write_csv(tmp_path / "in.csv", ["a", "target"], cells)

    out = run("fit", str(path), "--x", "a", "--y", "target", cwd=tmp_path)
    assert out.returncode == 1 and out.stdout == ""
    column = "target" if bad_rows[0] % 2 else "a"
    assert out.stderr.count("\n") == 1 and f"line 5, column '{column}'" in out.stderr
    assert "--drop-missing" in out.stderr

    result, stderr = fit_json(path, "--drop-missing", cwd=tmp_path)
    assert "dropped 3 of 30 rows" in stderr
    keep = np.setdiff1d(np.arange(30), bad_rows)
    assert result["n_rows"] == 27 and result["n_dropped"] == 3
    np.testing.assert_allclose(result["results"][0]["coef"], ols_coef(X[keep], y[keep]), rtol=1e-12)


def test_output_holds_inputs_and_predictions(csv_2d, tmp_path):
    pred = tmp_path / "pred.csv"
    out = run(
        "fit",
        str(csv_2d),
        "--x",
        "b,a",
        "--y",
        "target",
        "--degree",
        "2",
        "--no-refine",
        "--output",
        str(pred),
        "--json",
        cwd=tmp_path,
    )
    assert out.returncode == 0, out.stderr
    json.loads(out.stdout)  # the notice about the file went to stderr
    assert f"predictions written to {pred}" in out.stderr
    from zorp import SmoothPolynomialRegressor

    data = np.loadtxt(csv_2d, delimiter=",", skiprows=1)
    X, y = data[:, [1, 0]], data[:, 2]
    est = SmoothPolynomialRegressor(degree=2).fit(X, y)
    with pred.open() as fh:
        header = fh.readline().strip().split(",")
    written = np.loadtxt(pred, delimiter=",", skiprows=1)
    assert header[:4] == ["b", "a", "target", "prediction"]
    np.testing.assert_array_equal(written[:, :3], np.column_stack([X, y]))
    np.testing.assert_allclose(written[:, 3], est.predict(X), rtol=1e-12, atol=1e-12)
    if hasattr(est, "predict_interval"):
        assert header[4:] == ["lower_95", "upper_95"]
        # Exact data: the bounds lie about 1e-5 apart, their residual scale is rounding.
        bounds = est.predict_interval(X, 0.95)
        assert np.all(bounds[:, 1] - bounds[:, 0] > 1e-7)
        np.testing.assert_allclose(written[:, 4:], bounds, rtol=0, atol=1e-9)
    else:
        assert len(header) == 4


def _strict_json(text):
    def refuse(constant):
        raise ValueError(f"not JSON: {constant}")

    return json.loads(text, parse_constant=refuse)


@pytest.mark.parametrize(
    ("rows", "extra", "stderr_text"),
    [
        ([(1, 2e200), (2, -3e200), (3, 1e200), (4, 5e199)], [], None),
        ([(1, 2), (2, ""), (3, 5), (4, 7)], ["--drop-missing"], "dropped 1 of 4 rows"),
        ([(1, 2), (2, 3), (3, 5), (4, 7)], ["--plot", "p.png"], "plot written to p.png"),
    ],
    ids=["non-finite-r2", "dropped-notice", "plot-notice"],
)
def test_json_output_is_pure_json(tmp_path, rows, extra, stderr_text):
    path = write_csv(tmp_path / "in.csv", ["a", "target"], rows)
    out = run(
        "fit",
        str(path),
        "--x",
        "a",
        "--y",
        "target",
        "--degree",
        "1",
        "--json",
        *extra,
        cwd=tmp_path,
    )
    assert out.returncode == 0, out.stderr
    result = _strict_json(out.stdout)
    assert result["n_rows"] == sum(1 for r in rows if r[1] != "")
    if stderr_text is None:
        assert result["results"][0]["r2"] is None
    else:
        assert stderr_text in out.stderr


@pytest.mark.parametrize("target", ["closed-pipe", "output-to-closed-pipe", "full-device"])
def test_unwritable_stdout_ends_cleanly(tmp_path, target):
    cmd = [sys.executable, "-m", "zorp", "demo", "--json", "--no-refine"]
    if target != "full-device":
        if target == "output-to-closed-pipe":  # `zorp fit ... --output /dev/stdout | head -3`
            rows = [(i, i % 7) for i in range(20_000)]
            write_csv(tmp_path / "in.csv", ["a", "target"], rows)
            cmd = [*cmd[:3], "fit", "in.csv", *XY, "--degree", "1", "--output", "/dev/stdout"]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=tmp_path)
        if target == "closed-pipe":
            proc.stdout.close()  # no reader is left before the report is written
        else:
            assert proc.stdout.readline() == b"a,target,prediction,lower_95,upper_95\n"
            proc.stdout.close()
        stderr = proc.stderr.read().decode()
        # 141: what a shell shows for a program ended by SIGPIPE.
        assert proc.wait(timeout=120) == 141
        assert stderr == ""
    else:
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        with open("/dev/full", "w") as full:
            out = subprocess.run(
                cmd, stdout=full, stderr=subprocess.PIPE, text=True, timeout=120, cwd=tmp_path
            )
        assert out.returncode == 1
        assert out.stderr.splitlines() == [
            "zorp: error: cannot write the output: No space left on device"
        ]


@pytest.mark.parametrize(
    ("with_plot", "written"),
    [([], []), (["--plot", "fig"], ["fig.png"]), (["--plot", "fig.svg"], ["fig.svg"])],
    ids=["no-plot", "suffix-added", "svg"],
)
def test_demo_writes_only_the_plot_asked_for(tmp_path, with_plot, written):
    pytest.importorskip("matplotlib")
    out = run("demo", "--no-refine", *with_plot, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == written
    for name in written:
        assert f"plot written to {name}" in out.stdout


def test_version(tmp_path):
    from zorp import __version__

    out = run("--version", cwd=tmp_path)
    assert out.returncode == 0 and out.stdout == f"zorp {__version__}\n"
    assert __version__ not in ("", "0+unknown")


OK = "a,target\n1,2\n3,4\n5,7\n"
BIG = "a,target\n1,2\n3," + "4" * 140_000 + "\n"
ROWS = "".join(f"{i},{i}\n" for i in range(20_000))
UNCLOSED = 'a,target\n1,2\n"3,4\n' + ROWS[:100_000]
XY = ["--x", "a", "--y", "target"]


@pytest.mark.parametrize(
    ("content", "args", "message"),
    [
        (None, ["--x", "a", "--y", "target"], "file not found"),
        ("a,target\n1,2\n3,4\n", ["--x", "zz", "--y", "target"], "unknown column 'zz'"),
        ("a,target\n1,2\n3,abc\n", ["--x", "a", "--y", "target"], "'abc' is not a number"),
        ("a,target\n1,2\n", ["--x", "a", "--y", "target"], "at least 2"),
        ("a,target\n1,2\n3,nan\n", ["--x", "a", "--y", "target"], "not finite"),
        ("a,target\n1,2\n3,4\n", ["--x", "a", "--y", "target", "--degree", "x"], "degree"),
        (
            "a,target\n1,2\n3,4\n",
            ["--x", "a", "--y", "target", "--degree", "-2"],
            "'degree' parameter",
        ),
        ("", ["--x", "a", "--y", "target"], "empty"),
        (OK, [*XY, "--seed", "-1"], "seed must be an integer"),
        (OK, [*XY, "--seed", str(2**64)], "seed must be an integer"),
        (OK, [*XY, "--seed", "1.5"], "seed must be an integer"),
        (OK, [*XY, "--gamma2", "nan"], "weight must be finite"),
        (OK, [*XY, "--sep", "|"], "separator"),
        (OK, [*XY, "--degree", str(2**40)], "degree"),
        (BIG, XY, "line 3: field larger than field limit"),
        (UNCLOSED, XY, "line 3: a quoted field runs over 10186 lines ('3,4\\n0,0\\n1,1"),
        ('a,target\n1,2\n"3,4\n' + ROWS, XY, "line 3: field larger than field limit"),
        ("a,target,a\n1,2,3\n3,4,5\n", XY, "column 'a' appears 2 times in the header"),
        (OK, ["--x", "target", "--y", "target"], "'target' is given to both --x and --y"),
        (OK, ["--x", "a,a", "--y", "target"], "'a' is given to both --x and --x"),
        (OK, [*XY, "--weight", "a"], "'a' is given to both --x and --weight"),
        (OK, [*XY, "--decimal", ",", "--sep", ","], "--decimal , needs another field separator"),
        ("a;target\n1,5;2\n3.5;4\n", [*XY, "--decimal", ","], "'3.5' is not a number"),
        (OK, [*XY, "--weight", "w"], "unknown column 'w'"),
        (OK, [*XY, "--plot", "out.xyz"], "unsupported format '.xyz'"),
        (OK, [*XY, "--plot", "."], "is a directory"),
        (OK, [*XY, "--plot", "nowhere/p.png"], "does not exist"),
        (OK, [*XY, "--output", "nowhere/p.csv"], "existing folder"),
        (OK, [*XY, "--group", "zz"], "unknown column 'zz'"),
        ("a,target,g\n1,2,u\n3,4,u\n5,7,\n", [*XY, "--group", "g"], "blank group label"),
        (
            OK.replace("\n", ",u\n").replace("target,u", "target,g"),
            [*XY, "--group", "g", "--plot", "p.png"],
            "cannot be combined with --group",
        ),
        (
            "a,target\n2021-01-31,1\n2021-02-30,2\n",
            XY,
            "line 3, column 'a': '2021-02-30' is not a valid date",
        ),
        ("a,target\n2021-01-31,1\n2021-02-01T25:00,2\n", XY, "'2021-02-01T25:00' is not a valid"),
        (
            "a,target\n2021-01-31,1\n44230,2\n",
            XY,
            "line 3, column 'a': '44230' is a number in a column of dates",
        ),
        ("a,target\n2021-01-31,1\n31.01.2021,2\n", XY, "'31.01.2021' is not a date (YYYY-MM-DD or"),
        (
            "a,target\n1,2\n2021-01-31,2\n",
            XY,
            "line 3, column 'a': '2021-01-31' is a date in a column of numbers",
        ),
        (
            "a,target\n1,2021-01-31\n2,2\n",
            XY,
            "column 'target': '2021-01-31' is a date in a column of numbers",
        ),
    ],
    ids=[
        "missing",
        "column",
        "non-numeric",
        "too-few",
        "nan",
        "bad-degree",
        "negative",
        "empty",
        "seed-negative",
        "seed-65-bits",
        "seed-float",
        "gamma-nan",
        "bad-sep",
        "huge-degree",
        "huge-field",
        "unclosed-quote",
        "unclosed-quote-past-limit",
        "duplicate-header",
        "x-is-y",
        "x-twice",
        "weight-is-x",
        "decimal-comma-sep-comma",
        "decimal-comma-point-cell",
        "weight-column",
        "plot-format",
        "plot-dir",
        "plot-folder",
        "output-folder",
        "group-column",
        "group-blank",
        "group-plot",
        "date-day",
        "date-hour",
        "date-then-number",
        "date-malformed",
        "number-then-date",
        "date-target",
    ],
)
def test_fit_errors_are_one_line(tmp_path, content, args, message):
    path = tmp_path / "in.csv"
    if content is not None:
        path.write_text(content)
    out = run("fit", str(path), *args, cwd=tmp_path)
    assert out.returncode != 0
    assert out.stdout == ""  # refused before any report
    assert "Traceback" not in out.stderr
    lines = out.stderr.strip().splitlines()
    assert len(lines) == 1 and message in lines[0], out.stderr[:500]
    assert len(lines[0]) < 300


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_grouped_fit_gives_one_row_per_group(tmp_path, rng, suffix):
    """Per group, the table (CSV or Parquet, like the input) and the JSON hold
    the same typed fields as a single fit, and the curve evaluates from them alone."""
    pd = pytest.importorskip("pandas")
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    curves = {"7": (np.sin, 240), "north": (np.cos, 180), "12": (np.tanh, 150), "tiny": (abs, 1)}
    frame = pd.concat(
        pd.DataFrame({"sensor_id": g, "t": (t := rng.uniform(0, 6, n)), "v": f(t) + 0.05 * t})
        for g, (f, n) in curves.items()
    ).sample(frac=1.0, random_state=3)
    path = tmp_path / f"data{suffix}"
    frame.to_parquet(path) if suffix == ".parquet" else frame.to_csv(path, index=False)
    out = run(
        "fit",
        str(path),
        *["--x", "t", "--y", "v", "--group", "sensor_id", "--output", f"res{suffix}", "--json"],
        cwd=tmp_path,
    )
    # The one-row group cannot be fitted: it is reported, and the run fails.
    assert out.returncode == 1 and "1 of 4 groups could not be fitted" in out.stderr
    if suffix == ".parquet":
        res = pd.read_parquet(tmp_path / "res.parquet")
    else:
        res = pd.read_csv(tmp_path / "res.csv", dtype={"group": str})
    groups = {g["group"]: g for g in json.loads(out.stdout)["groups"]}
    assert sorted(res["group"]) == sorted(curves) == sorted(groups)
    for column in ("n", "n_terms", "degrees_t", "gamma2", "sigma", "x_center_t", "c0"):
        assert pd.api.types.is_numeric_dtype(res[column]), column
    grid = np.linspace(0.0, 6.0, 50)
    for _, row in res.iterrows():
        part = frame[frame["sensor_id"] == row["group"]]
        doc = groups[row["group"]]
        assert row["n"] == doc["n"] == len(part)
        if row["group"] == "tiny":
            assert "at least 2 samples" in row["error"] == doc["error"]
            continue
        est = SmoothPolynomialRegressor().fit(part[["t"]].to_numpy(), part["v"].to_numpy())
        coef = row[[f"c{i}" for i in range(len(est.coef_))]].to_numpy(dtype=float)
        np.testing.assert_allclose(coef, est.coef_, rtol=1e-12)
        np.testing.assert_allclose(doc["coef"], est.coef_, rtol=1e-12)
        assert doc["terms"][:2] == ["1", "P_1(t)"] and doc["basis"] == row["basis"] == "legendre"
        assert row["degrees_t"] == est.degrees_[0] and doc["degrees"] == est.degrees_
        assert row["gamma2"] == pytest.approx(est.gamma2_) == doc["gamma2"]
        beyond = [c for c in res.columns if c[1:].isdigit() and int(c[1:]) >= len(est.coef_)]
        assert row[beyond].isna().all()  # terms of other groups' bases are blank
        assert row["x_min_t"] == part["t"].min() and row["sigma"] == pytest.approx(est.sigma_)
        # The curve from the written numbers alone, within the training box.
        u = (grid - row["x_center_t"]) / row["x_half_range_t"]
        inside = np.abs(u) <= 1.0
        curve = np.polynomial.legendre.legval(u, coef)
        np.testing.assert_allclose(curve[inside], est.predict(grid[inside, None]), atol=1e-12)
        u = (grid - doc["x_center"][0]) / doc["x_half_range"][0]
        np.testing.assert_allclose(
            np.polynomial.legendre.legval(u[inside], doc["coef"]), curve[inside]
        )


def test_demo_shows_the_robust_fit_with_comparable_robust_measures(tmp_path):
    out = run("demo", "--json", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    results = {r["method"]: r for r in json.loads(out.stdout)["results"]}
    assert list(results) == ["penalized", "robust", "mcmc"]
    robust, penalized = results["robust"], results["penalized"]
    # The demo data hold 16 gross outliers: the robust fit flags them, and the
    # measures that ignore them show it closer to the rest than the others.
    assert robust["n_flagged"] == 16 and penalized["n_flagged"] is None
    assert len({r["inlier_tolerance"] for r in results.values()}) == 1
    for other in (penalized, results["mcmc"]):
        assert robust["median_abs_residual"] < other["median_abs_residual"]
        assert robust["inlier_share"] > other["inlier_share"]
        assert robust["r2"] < other["r2"]  # R^2 alone would rank it last
    mcmc = results["mcmc"]
    assert mcmc["mcmc_energy"] <= mcmc["mcmc_start_energy"]


# -- output files -----------------------------------------------------------------

KEEP = "x,y,z\n1,2,keep\n2,3,keep\n3,5,keep\n4,4,keep\n"


@pytest.mark.parametrize(
    "make_output",
    [
        lambda d: "d.csv",
        lambda d: "./d.csv",
        lambda d: str(d / "d.csv"),
        lambda d: (d / "link.csv").symlink_to("d.csv") or "link.csv",
        lambda d: os.link(d / "d.csv", d / "hard.csv") or "hard.csv",
    ],
    ids=["same", "dot-slash", "absolute", "symlink", "hard-link"],
)
@pytest.mark.parametrize("extra", [[], ["--group", "z"], ["--overwrite"]], ids=["", "group", "ow"])
def test_input_is_never_written_over(tmp_path, make_output, extra):
    (tmp_path / "d.csv").write_text(KEEP)
    output = make_output(tmp_path)
    out = run("fit", "d.csv", "--x", "x", "--y", "y", "--output", output, *extra, cwd=tmp_path)
    assert out.returncode == 1 and out.stdout == ""
    assert out.stderr.splitlines() == [
        f"zorp: error: --output {Path(output)} is the input file d.csv; it is never written over"
    ]
    assert (tmp_path / "d.csv").read_text() == KEEP


@pytest.mark.parametrize("option", ["--output", "--plot"])
def test_existing_output_is_replaced_only_with_overwrite(tmp_path, option):
    if option == "--plot":
        pytest.importorskip("matplotlib")
    (tmp_path / "d.csv").write_text(KEEP)
    name = "res.csv" if option == "--output" else "res.png"
    (tmp_path / name).write_text("old\n")
    args = ["fit", "d.csv", "--x", "x", "--y", "y", option, name]
    out = run(*args, cwd=tmp_path)
    assert out.returncode == 1 and "exists; --overwrite replaces it" in out.stderr
    assert (tmp_path / name).read_text() == "old\n"
    out = run(*args, "--overwrite", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert (tmp_path / name).read_bytes()[:4] in (b"x,y,", b"\x89PNG")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["d.csv", name]  # no temporary left


@pytest.mark.parametrize("exists", [False, True])
@pytest.mark.parametrize("error", [KeyboardInterrupt, OSError])
def test_interrupted_write_leaves_no_half_file(tmp_path, exists, error):
    from zorp.cli import CliError, check_output, replacing

    target = tmp_path / "out.csv"
    if exists:
        target.write_text("old\n")
    out = check_output(target, "--output", [tmp_path / "in.csv"], overwrite=True)
    with pytest.raises((error, CliError)):
        with replacing(out) as path:
            path.write_text("half a fi")
            raise error(5, "Input/output error") if error is OSError else error()
    assert [p.name for p in tmp_path.iterdir()] == (["out.csv"] if exists else [])
    if exists:
        assert target.read_text() == "old\n"


def test_killed_run_leaves_the_old_output(tmp_path, rng):
    """SIGKILL while the predictions are written: the old file stays whole."""
    import signal
    import time

    n = 400_000
    x = rng.uniform(0, 1, n)
    np.savetxt(
        tmp_path / "big.csv",
        np.column_stack([x, 2 * x]),
        fmt="%.17g",
        delimiter=",",
        header="a,target",
        comments="",
    )
    (tmp_path / "pred.csv").write_text("old\n")
    cmd = [
        sys.executable,
        "-m",
        "zorp",
        "fit",
        "big.csv",
        *XY,
        "--method",
        "ols",
        "--degree",
        "1",
        "--output",
        "pred.csv",
        "--overwrite",
    ]
    proc = subprocess.Popen(cmd, cwd=tmp_path, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    deadline = time.monotonic() + 120
    while not list(tmp_path.glob(".pred.csv.*.tmp")):
        assert proc.poll() is None, proc.stderr.read()
        assert time.monotonic() < deadline
        time.sleep(0.002)
    proc.send_signal(signal.SIGKILL)
    proc.wait(timeout=60)
    proc.stderr.close()
    assert (tmp_path / "pred.csv").read_text() == "old\n"


@pytest.mark.parametrize("closed", [(1,), (2,), (1, 2)], ids=["stdout", "stderr", "both"])
@pytest.mark.parametrize(
    "args",
    [["demo", "--no-refine"], ["--version"], ["fit", "d.csv", "--x", "x", "--y", "y"]],
    ids=["demo", "version", "fit"],
)
def test_closed_streams_end_without_traceback(tmp_path, closed, args):
    (tmp_path / "d.csv").write_text(KEEP)

    def close():  # in the child: it starts as `zorp ... >&-` would
        for fd in closed:
            os.close(fd)

    out = subprocess.run(
        [sys.executable, "-m", "zorp", *args],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,
        preexec_fn=close,
    )
    if closed == (2,):
        assert out.returncode == 0 and out.stdout  # the results, nothing lost
    else:
        assert out.returncode == 1
        expected = "" if closed == (1, 2) else "cannot write the output: standard output is closed"
        printed = out.stderr if closed == (1,) else out.stdout
        assert printed == (expected and f"zorp: error: {expected}\n")


@pytest.mark.parametrize("grouped", [False, True])
def test_weight_column_is_passed_as_sample_weight(tmp_path, rng, grouped):
    n = 80
    x = rng.uniform(-1, 1, n)
    y = np.cos(2 * x) + rng.normal(scale=0.2, size=n)
    w = rng.integers(0, 4, n).astype(float)
    g = np.where(np.arange(n) % 2, "odd", "even")
    rows = list(zip(x.tolist(), y.tolist(), w.tolist(), g, strict=True))
    write_csv(tmp_path / "in.csv", ["a", "target", "w", "g"], rows)
    extra = ["--group", "g", "--output", "res.csv"] if grouped else []
    out = run(
        "fit", "in.csv", *XY, "--weight", "w", "--degree", "3", "--json", *extra, cwd=tmp_path
    )
    assert out.returncode == 0, out.stderr
    doc = json.loads(out.stdout)
    parts = (
        [(r["coef"], g == r["group"]) for r in doc["groups"]]
        if grouped
        else [(doc["results"][0]["coef"], np.ones(n, dtype=bool))]
    )
    for coef, rows in parts:
        est = SmoothPolynomialRegressor(degree=3)
        est.fit(x[rows, None], y[rows], sample_weight=w[rows])
        np.testing.assert_allclose(coef, est.coef_, rtol=1e-10)
        unweighted = SmoothPolynomialRegressor(degree=3).fit(x[rows, None], y[rows]).coef_
        assert not np.allclose(coef, unweighted, rtol=1e-3)


@pytest.mark.skipif(
    os.environ.get("ZORP_SANITIZED") == "1", reason="the sanitizer cannot map under this limit"
)
@pytest.mark.parametrize(("degree", "refused"), [("3,3", False), ("39,39", True)])
def test_fit_beyond_the_memory_limit_is_refused_before_it_runs(tmp_path, rng, degree, refused):
    """Under a 1.5 GiB address-space limit: the sampler's refinement of 80,000
    rows in a basis of 40 x 40 terms would need about 2.2 GiB for its designs,
    and is refused in one line; 4 x 4 fit."""
    import resource

    X = rng.uniform(-1, 1, (80_000, 2))
    rows = np.column_stack([X, X.sum(axis=1)]).tolist()
    write_csv(tmp_path / "in.csv", ["a", "b", "target"], rows)

    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (3 << 29, 3 << 29))

    out = subprocess.run(
        [sys.executable, "-m", "zorp", "fit", "in.csv", "--x", "a,b", "--y", "target"]
        + ["--method", "robust", "--refine", "--degree", degree],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
        preexec_fn=limit,
    )
    if refused:
        assert out.returncode == 1 and out.stdout == ""
        (line,) = out.stderr.splitlines()
        assert line.startswith("zorp: error: 80000 rows of 2 input(s) need about 2.")
        assert "GiB available" in line
    else:
        assert out.returncode == 0, out.stderr


DATES = ["2021-03-01", "2021-03-02 06:00", "2021-03-04T12:30", "2021-03-09T18:45:30", "2021-03-10"]


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_date_inputs_are_days_since_1970(tmp_path, suffix):
    """ISO dates and datetimes (or Parquet dates and timestamps) are fitted as
    days since 1970-01-01, the convention of datetime64[D] in the Python API;
    --output keeps the date text of the input."""
    pd = pytest.importorskip("pandas")
    when = np.array(DATES, dtype="datetime64[s]")
    days = when.astype(np.int64) / 86400.0
    v = [1.0, 2.5, 2.0, 4.0, 3.5]
    if suffix == ".csv":
        write_csv(
            tmp_path / "in.csv",
            ["when", "day", "v"],
            zip(DATES, [d[:10] for d in DATES], v, strict=True),
        )
    else:
        pytest.importorskip("pyarrow")
        frame = pd.DataFrame({"when": when, "day": when.astype("datetime64[D]"), "v": v})
        frame["day"] = frame["day"].dt.date  # a Parquet date32 column
        frame.to_parquet(tmp_path / "in.parquet")
    out = run(
        "fit", f"in{suffix}", "--x", "when,day", "--y", "v", "--degree", "1",
        "--json", "--output", "pred.csv", cwd=tmp_path,
    )  # fmt: skip
    assert out.returncode == 0, out.stderr
    doc = json.loads(out.stdout)
    assert doc["x_units"] == {"when": "days since 1970-01-01", "day": "days since 1970-01-01"}
    X = np.column_stack([days, np.floor(days)])
    est = SmoothPolynomialRegressor(degree=1).fit(X, v)
    np.testing.assert_allclose(doc["results"][0]["x_center"], est.x_center_, rtol=1e-15)
    np.testing.assert_allclose(doc["results"][0]["coef"], est.coef_, rtol=1e-9, atol=1e-12)
    # The Python API reads datetime64[D] as the same days.
    api = SmoothPolynomialRegressor(degree=1).fit(when.astype("datetime64[D]")[:, None], v)
    np.testing.assert_array_equal(api.x_center_, doc["results"][0]["x_center"][1:])
    pred = pd.read_csv(tmp_path / "pred.csv", dtype=str)
    expected = DATES if suffix == ".csv" else [str(t).replace(" ", "T")[:19] for t in when]
    assert list(pred["when"]) == expected
    assert list(pred["day"]) == [d[:10] for d in DATES]
    np.testing.assert_allclose(pred["prediction"].astype(float), est.predict(X), rtol=1e-9)


def screen(raw):
    """The lines a terminal shows for `raw` output: a carriage return moves
    back to the start of the line, the text after it overwrites."""
    lines = []
    for part in raw.replace("\r\n", "\n").split("\n"):
        shown = []
        for piece in part.split("\r"):
            shown[: len(piece)] = piece
        lines.append("".join(shown).rstrip())
    return [line for line in lines if line]


@pytest.mark.parametrize(
    ("terminal", "bad"),
    [(True, False), (True, True), (False, False)],
    ids=["tty", "tty-error", "pipe"],
)
def test_progress_only_on_a_terminal_and_erased(tmp_path, terminal, bad):
    """More than 10^5 rows: a progress line on stderr when it is a terminal,
    erased before the results and before an error, which stays one line."""
    import pty

    n = 140_000  # read in blocks of 65,536 rows: the second one passes 10^5
    x = np.linspace(0.0, 1.0, n)
    rows = [[a, b] for a, b in zip(x.tolist(), np.sin(6 * x).round(6).tolist(), strict=True)]
    if bad:
        rows[-1][1] = "abc"
    write_csv(tmp_path / "in.csv", ["a", "target"], rows)
    master, slave = pty.openpty() if terminal else (None, subprocess.PIPE)
    proc = subprocess.Popen(
        [sys.executable, "-m", "zorp", "fit", "in.csv", *XY, "--json"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        stderr=slave,
        text=not terminal,
    )
    if terminal:
        os.close(slave)
        raw = b""
        while True:
            try:
                chunk = os.read(master, 1 << 16)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            raw += chunk
        os.close(master)
        stdout, err = proc.communicate(timeout=300)[0], raw.decode()
    else:
        stdout, err = proc.communicate(timeout=300)
    assert proc.returncode == (1 if bad else 0), err
    if not terminal:
        assert err == ""  # nothing but results and errors when not on a terminal
    else:
        assert "\rzorp: reading in.csv: 131,072 rows" in err
    if bad:
        message = f"zorp: error: in.csv, line {n + 1}, column 'target': 'abc' is not a number"
        assert stdout == b"" and [m[: len(message)] for m in screen(err)] == [message]
    else:
        assert json.loads(stdout)["n_rows"] == n and screen(err) == []
