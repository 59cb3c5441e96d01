"""The command line, run as a user runs it."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest


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
    out = run("demo", "--plot", "demo.png", cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    for text in ("200 rows", "penalized", "mcmc", "R^2", "hit rate", "MDL score", "coefficients"):
        assert text in out.stdout
    for stage in ("penalties", "design matrix", "penalized fit", "mcmc fit", "score"):
        assert stage in out.stdout
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert "no plot written" in out.stdout
    else:
        png = (tmp_path / "demo.png").read_bytes()
        assert png.startswith(b"\x89PNG")


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
    ],
    ids=["missing", "column", "non-numeric", "too-few", "nan", "bad-degree", "negative", "empty"],
)
def test_fit_errors_are_one_line(tmp_path, content, args, message):
    path = tmp_path / "in.csv"
    if content is not None:
        path.write_text(content)
    out = run("fit", str(path), *args, cwd=tmp_path)
    assert out.returncode != 0
    assert "Traceback" not in out.stderr
    lines = out.stderr.strip().splitlines()
    assert len(lines) == 1 and message in lines[0], out.stderr
