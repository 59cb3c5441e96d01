"""Properties of the fitting pipeline: blocks, weights, scales, columns and
the one-way imports of the package."""

import ast
import json
import os
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import zorp
from zorp import SmoothPolynomialRegressor as R
from zorp import sources


@pytest.fixture
def curve(rng):
    X = np.sort(rng.uniform(-2.0, 8.0, 400))[:, None]
    y = np.sin(X[:, 0]) + 0.05 * X[:, 0] ** 2 + rng.normal(scale=0.2, size=400)
    y[::13] += 6.0  # gross errors, for the robust fit
    return X, y


@pytest.fixture
def surface(rng):
    X = rng.uniform(-1.0, 1.0, (500, 2))
    y = np.sin(2.0 * X[:, 0]) * X[:, 1] + rng.normal(scale=0.1, size=500)
    return X, y


@pytest.mark.parametrize("method", ["penalized", "ols", "robust"])
@pytest.mark.parametrize("data", ["curve", "surface"])
def test_block_size_does_not_change_the_fit(request, monkeypatch, data, method):
    X, y = request.getfixturevalue(data)
    whole = R(method=method).fit(X, y)
    # Blocks of a few rows each: every pass sums hundreds of partial statistics.
    monkeypatch.setattr(sources, "BLOCK_BYTES", 8 * 64 * 7)
    blocked = R(method=method).fit(X, y)
    assert blocked.degrees_ == whole.degrees_
    np.testing.assert_allclose(blocked.predict(X), whole.predict(X), rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(blocked.edf_, whole.edf_, rtol=1e-9)


@pytest.mark.parametrize("method", ["penalized", "ols", "robust"])
@pytest.mark.parametrize("scale", [1e-300, 1e-160, 3.0, 1e160, 1e300])
def test_fit_is_equivariant_in_the_scale_of_y(curve, method, scale):
    X, y = curve
    base = R(method=method).fit(X, y)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no overflow on the way
        scaled = R(method=method).fit(X, y * scale)
    assert scaled.degrees_ == base.degrees_
    np.testing.assert_allclose(scaled.predict(X) / scale, base.predict(X), rtol=1e-9, atol=1e-9)
    # The robust scale comes from the first M-step, converged to 1e-6 scales:
    # rounding of the scaled targets moves it by about 1e-8.
    np.testing.assert_allclose(
        scaled.sigma_ / scale, base.sigma_, rtol=1e-7 if method == "robust" else 1e-9
    )


@pytest.mark.parametrize("scale", [1e-300, 1e160, 1e200])
@pytest.mark.parametrize("shared", [True, False])
def test_a_columns_scale_leaves_the_other_columns_fit_alone(curve, scale, shared):
    X, y = curve
    single = R(gamma2_per_target=not shared).fit(X, y)
    both = R(gamma2_per_target=not shared).fit(X, np.c_[y, y * scale])
    np.testing.assert_allclose(both.predict(X)[:, 0], single.predict(X), rtol=1e-9, atol=1e-9)
    np.testing.assert_allclose(both.predict(X)[:, 1] / scale, single.predict(X), rtol=1e-9)


@pytest.mark.parametrize(
    "values, means",
    [
        ([1.0, 2.0], [10.0, 20.0]),
        ([1.0, 2.0, 3.0], [10.0, 30.0, 20.0]),
        ([0, 1, 2, 4], [1, 3, 2, 5]),
    ],
)
@pytest.mark.parametrize("method", ["penalized", "ols"])
def test_automatic_degree_stays_below_the_distinct_inputs(values, means, method):
    # A degree above (distinct values - 1) would interpolate between the
    # groups at will: two groups of means 10 and 20 gave 7.5 between them.
    X = np.repeat(np.asarray(values, dtype=float), 60)[:, None]
    y = np.repeat(np.asarray(means, dtype=float), 60)
    est = R(method=method).fit(X, y)
    assert est.degrees_[0] <= len(values) - 1
    np.testing.assert_allclose(est.predict(X[::60]), means, rtol=1e-6)
    between = est.predict([[values[0] / 2 + values[1] / 2]])[0]
    assert min(means[:2]) <= between <= max(means[:2])


def test_score_refuses_a_y_of_another_shape(curve):
    X, y = curve
    one = R().fit(X, y)
    two = R().fit(X, np.c_[y, -y])
    for est, bad in [(one, y.reshape(-1, 2)), (one, np.c_[y, y]), (two, y), (two, np.c_[y, y, y])]:
        with pytest.raises(ValueError, match="fitted to"):
            est.score(X[: len(bad)], bad)
    with pytest.raises(ValueError, match="NaN"):
        one.score(X, np.where(np.arange(len(y)) == 3, np.nan, y))


@pytest.mark.parametrize("dof", [0.5, 1.0, 2.0, 3.5, 30.0, 1e6])
@pytest.mark.parametrize("level", [0.5, 0.95, 0.999])
def test_t_quantile_is_correct_at_any_degrees_of_freedom(dof, level):
    from zorp.model import t_quantile

    stats = pytest.importorskip("scipy.stats")
    p = 0.5 + level / 2.0
    assert t_quantile(p, dof) == pytest.approx(stats.t.ppf(p, dof), rel=1e-9)


def test_intervals_refuse_what_they_cannot_give(curve):
    X, y = curve
    with pytest.raises(ValueError, match="level"):
        R().fit(X, y).predict_interval(X, level=1 - 1e-16)
    with pytest.warns(UserWarning, match="no residual degrees of freedom"):
        exact = R(method="ols", degree=3).fit(X[:4], y[:4])
    with pytest.raises(ValueError, match="degrees of freedom"):
        exact.predict_interval(X[:4])
    with pytest.warns(UserWarning, match="repeated rows"):
        R().fit(X, y, sample_weight=np.full(len(y), 1e-3))


@pytest.mark.parametrize(
    "params, target, weight",
    [
        ({"gamma1": 1e308}, None, None),
        ({"gamma2": 1e308}, None, None),
        ({}, "huge", None),
        ({"method": "robust"}, None, 5e-324),
        ({"method": "ols"}, "huge", None),
    ],
)
def test_extreme_inputs_give_finite_fits_or_clear_refusals(curve, params, target, weight):
    X, y = curve
    if target == "huge":
        y = np.where(y > np.median(y), 1.7e308, -1.7e308)
    w = None if weight is None else np.full(len(y), weight)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        warnings.filterwarnings("ignore", "no residual degrees of freedom")
        try:
            est = R(**params).fit(X, y, sample_weight=w)
        except ValueError as exc:
            assert "largest float" in str(exc)
            return
    assert np.isfinite(est.coef_).all() and np.isfinite(est.predict(X)).all()


def test_far_extrapolation_is_finite_or_refused(curve):
    X, y = curve
    est = R().fit(X, y)
    for x in (1e300, -1e300, 1e308):
        try:
            value = est.predict([[x]])
        except ValueError as exc:
            assert "largest float" in str(exc)
        else:
            assert np.isfinite(value).all()
    # Linear continuation: the prediction grows by the edge slope, exactly.
    near = est.predict([[X.max() + 1.0], [X.max() + 2.0]])
    far = est.predict([[X.max() + 1e6]])
    np.testing.assert_allclose(far[0], near[0] + (1e6 - 1.0) * (near[1] - near[0]), rtol=1e-6)


def _imports(path: Path, modules: dict[str, Path]) -> set[str]:
    name = ".".join(path.with_suffix("").relative_to(Path(zorp.__file__).parent.parent).parts)
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    out = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.Import):
            targets = [a.name for a in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                parts = package.split(".")[: len(package.split(".")) - node.level + 1]
                base = ".".join(parts + ([node.module] if node.module else []))
            targets = [base] + [f"{base}.{a.name}" for a in node.names]
        else:
            continue
        for target in targets:
            while target and target not in modules:
                target = target.rpartition(".")[0]
            if target and target not in (name, "zorp") and not name.startswith(target + "."):
                out.add(target)
    return out


def test_no_module_imports_one_that_imports_it_back():
    root = Path(zorp.__file__).parent
    modules = {}
    for path in root.rglob("*.py"):
        parts = list(path.with_suffix("").relative_to(root.parent).parts)
        if parts[-1] == "__init__":
            parts.pop()
        modules[".".join(parts)] = path
    graph = {m: _imports(p, modules) for m, p in modules.items()}
    # Depth-first search for a cycle of any length.
    state: dict[str, int] = {}

    def visit(m, trail):
        state[m] = 1
        for t in graph[m]:
            assert state.get(t) != 1, f"import cycle: {' -> '.join([*trail, m, t])}"
            if t not in state:
                visit(t, [*trail, m])
        state[m] = 2

    for m in sorted(graph):
        if m not in state:
            visit(m, [])
    assert "zorp.estimator" not in graph["zorp._dask"]


CHILD = """
import json, sys
import numpy as np
from zorp import SmoothPolynomialRegressor
n, d, method = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
rng = np.random.default_rng(0)
X = rng.uniform(-1.0, 1.0, (n, d))
y = np.sin(3.0 * X).sum(axis=1) + rng.normal(scale=0.3, size=n)
def rss(field):
    for line in open("/proc/self/status"):
        if line.startswith(field):
            return int(line.split()[1]) * 1024
base = rss("VmRSS:")
open("/proc/self/clear_refs", "w").write("5")
SmoothPolynomialRegressor(method=method).fit(X, y)
print(json.dumps(rss("VmHWM:") - base))
"""


@pytest.mark.slow
@pytest.mark.skipif(not Path("/proc/self/clear_refs").exists(), reason="needs Linux's peak reset")
@pytest.mark.skipif(
    os.environ.get("ZORP_SANITIZED") == "1", reason="resident size is the sanitizer's"
)
@pytest.mark.parametrize("d, method", [(2, "penalized"), (1, "robust")])
def test_memory_beyond_the_inputs_does_not_grow_with_rows(d, method, tmp_path):
    # The whole design of 400,000 rows would take 260 MB in 2-D (81 terms)
    # and 51 MB in 1-D (16 terms), and the fits held several; a fit by blocks
    # stays within a few block budgets (measured: at most 63 MB).
    out = subprocess.run(
        [sys.executable, "-c", CHILD, "400000", str(d), method],
        capture_output=True,
        text=True,
        check=True,
        cwd=tmp_path,  # the installed package, not the source tree
    )
    peak = json.loads(out.stdout)
    assert peak < 6 * sources.BLOCK_BYTES + 8 * 400_000 * 4


@pytest.mark.parametrize(("basis", "d"), [("power", 1000), ("legendre", 1030)])
def test_a_thousand_inputs_fit_or_refuse_gamma1_clearly(rng, basis, d):
    # Beyond about 970 inputs (power: a grid sum) or 1023 (Legendre: the box's
    # volume) the affine basis's gradient penalty exceeds the largest float:
    # it can be used only without it.
    X = rng.normal(size=(40, d))
    y = X[:, 0] + rng.normal(size=40)
    with pytest.warns(UserWarning, match="no residual degrees of freedom"):
        est = R(basis=basis).fit(X, y)
    assert len(est.coef_) == d + 1 and np.isfinite(est.predict(X)).all()
    with pytest.raises(ValueError, match=f"gamma1=1.0 with {d} inputs"):
        R(basis=basis, gamma1=1.0).fit(X, y)
