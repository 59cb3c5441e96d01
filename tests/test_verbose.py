"""`verbose`: the fit's stages on stderr, and the same fit with or without them."""

import pickle

import numpy as np
import pytest

from zorp import SmoothPolynomialRegressor


def data(rng, n):
    x = rng.uniform(-1.0, 1.0, (n, 1))
    y = np.sin(3.0 * x[:, 0]) + 0.1 * rng.standard_normal(n)
    y[::25] += 5.0  # gross errors, for the robust fits to flag
    return x, y


@pytest.mark.parametrize(
    ("method", "n", "expected"),
    [
        (
            "penalized",
            400,
            ["scan: 400 rows", "statistics pass: 400 rows", "degree 8: reml", "chosen: degree"],
        ),
        ("ols", 400, ["degree 3: gcv", "least-squares pass: 400 rows", "fit done in"]),
        ("robust", 400, ["robust fit on the whole design: 400 rows", "reweighted solve(s)"]),
        # Beyond the block budget the robust fit starts on a sample, then passes.
        ("robust", 12_000, ["robust start on a sample of", "robust pass 1: all rows"]),
    ],
    ids=["penalized", "ols", "robust", "robust-passes"],
)
def test_verbose_reports_the_stages_and_changes_nothing(rng, capsys, method, n, expected):
    x, y = data(rng, n)
    quiet = SmoothPolynomialRegressor(method=method).fit(x, y)
    assert capsys.readouterr() == ("", "")  # off by default: no output at all
    loud = SmoothPolynomialRegressor(method=method, verbose=True).fit(x, y)
    out, err = capsys.readouterr()
    lines = err.splitlines()
    assert out == "" and lines and all(line.startswith("[zorp] ") for line in lines)
    for text in expected:
        assert any(text in line for line in lines), (text, err)
    assert "fit done in" in lines[-1]
    np.testing.assert_array_equal(loud.coef_, quiet.coef_)
    np.testing.assert_array_equal(loud.predict(x), quiet.predict(x))
    # Nothing of the messages stays with the fitted model.
    assert pickle.loads(pickle.dumps(loud)) == loud
    assert loud.set_params(verbose=False) == quiet


def test_verbose_levels(rng, capsys):
    x, y = data(rng, 400)
    counts = []
    for level in (1, 2):
        SmoothPolynomialRegressor(method="robust", verbose=level).fit(x, y)
        counts.append(capsys.readouterr().err.count("\n"))
    # Level 2 adds the candidates the robust fit compares on its weights.
    assert counts[1] > counts[0] > 0


def test_verbose_reports_every_dask_pass(rng, capsys):
    da = pytest.importorskip("dask.array")
    x, y = data(rng, 4000)
    est = SmoothPolynomialRegressor(verbose=1)
    est.fit(da.from_array(x, chunks=(1000, 1)), da.from_array(y, chunks=1000))
    err = capsys.readouterr().err
    assert "scan: 4000 rows" in err and "statistics pass: 4000 rows" in err
    np.testing.assert_allclose(est.coef_, SmoothPolynomialRegressor().fit(x, y).coef_, rtol=1e-8)


@pytest.mark.parametrize(
    ("verbose", "error"), [(-1, ValueError), ("yes", ValueError), (0.5, TypeError)]
)
def test_verbose_is_checked(verbose, error):
    with pytest.raises(error, match="'verbose' parameter"):
        SmoothPolynomialRegressor(verbose=verbose).fit([[0.0], [1.0]], [0.0, 1.0])
