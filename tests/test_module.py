"""Import behaviour, registration and argument conversion of the native module."""

import glob
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import zorp
from zorp._native import zorp_core as zc

REGISTERED = [
    "mad",
    "compute_sr",
    "mdl_score",
    "mdl_score_reg",
    "design_matrix_1d",
    "smoothness_penalty_matrices_1d",
    "boundary_reduce_1d",
    "design_matrix_nd",
    "build_penalty_matrices_nd",
    "ols",
    "fit_regularized_linear",
    "GibbsResult",
    "gibbs_entropy",
    "MCMCResult",
    "TournamentMCMC",
]


def test_docstring():
    assert zc.__doc__ == "ZORP-P performans-kritik cekirdegi (C++/Eigen)."


def test_registered_names_in_order():
    public = [name for name in zc.__dict__ if not name.startswith("__")]
    assert public == REGISTERED


def test_package_reexports_core():
    for name in REGISTERED:
        assert getattr(zorp, name) is getattr(zc, name)


def test_signature_annotates_vector_shape():
    assert '"[m, 1]"' in zc.mad.__doc__.splitlines()[0]


@pytest.mark.parametrize(
    "y",
    [
        [1.0, 2.0, 3.0, 4.0, 100.0],
        (1, 2, 3, 4, 100),
        np.array([1, 2, 3, 4, 100], dtype=np.int32),
        np.array([1, 2, 3, 4, 100], dtype=np.float32),
        np.array([[1.0], [2.0], [3.0], [4.0], [100.0]]),
        np.array([1.0, 99.0, 2.0, 98.0, 3.0, 97.0, 4.0, 96.0, 100.0, 95.0])[::2],
    ],
    ids=["list", "tuple", "int32", "float32", "column", "strided"],
)
def test_vector_argument_conversions(y):
    assert zc.mad(y) == 1.0


@pytest.mark.parametrize(
    "bad",
    [
        np.ones((3, 3)),
        np.ones((2, 2, 2)),
        5.0,
        "abc",
        None,
        [[1.0, 2.0], [3.0]],
    ],
    ids=["matrix", "3d", "scalar", "str", "none", "ragged"],
)
def test_vector_argument_rejections(bad):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        zc.mad(bad)


class FloatLike:
    def __float__(self):
        return 0.5


@pytest.mark.parametrize("eps", [0.5, 1, np.float64(0.5), np.int64(1), FloatLike()])
def test_double_argument_conversions(eps):
    assert zc.compute_sr([0.0, 0.0], [0.0, 0.25], eps) == 1.0


def test_inputs_are_not_modified():
    y = np.array([5.0, 1.0, 4.0, 2.0, 3.0])
    before = y.copy()
    zc.mad(y)
    np.testing.assert_array_equal(y, before)


def _layouts(a):
    """The same values in every form an array argument may take."""
    wide = np.zeros((a.shape[0], 2 * a.shape[1]), order="F")
    wide[:, ::2] = a
    return {
        "fortran": np.asfortranarray(a),
        "c-order": np.ascontiguousarray(a),
        "column-slice": np.asfortranarray(np.hstack([a, a]))[:, : a.shape[1]],
        "strided": wide[:, ::2],
        "float32-exact": np.asfortranarray(a.astype(np.float32)),
        "list": a.tolist(),
    }


_rng = np.random.default_rng(11)
# Multiples of 1/64, exact in float32 as well.
_X = np.round(64 * _rng.normal(size=(40, 3))) / 64
_y = np.round(64 * (_X @ [1.0, -2.0, 0.5] + 0.1 * _rng.normal(size=40))) / 64
_R = np.diag([0.0, 1.0, 2.0])

ENTRIES = {
    "ols": lambda X, y: zc.ols(X, y),
    "fit_regularized_linear": lambda X, y: zc.fit_regularized_linear(X, y, _R, None, 0.01),
    "sampler": lambda X, y: (
        zc.TournamentMCMC(3, 20, 20, 2, seed=5).fit(X, y, _R, None, 0.1).beta_mcmc
    ),
    "design_matrix_1d": lambda X, y: zc.design_matrix_1d(
        3, X[:, 0] if isinstance(X, np.ndarray) else [r[0] for r in X]
    ),
    "compute_sr": lambda X, y: zc.compute_sr(y, np.asarray(X)[:, 0], 0.7),
    "mad": lambda X, y: zc.mad(y),
}


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("layout", list(_layouts(_X)))
def test_every_input_layout_gives_the_same_result_and_keeps_the_input(entry, layout):
    # Arrays already in the native layout are read in place, others are converted
    # first; either way the result is the same and the argument is left untouched.
    fn = ENTRIES[entry]
    X = _layouts(_X)[layout]
    y = _layouts(_y[:, None])[layout]
    y = y[:, 0] if isinstance(y, np.ndarray) else [r[0] for r in y]
    snapshot = [np.array(v, copy=True) for v in (X, y)]
    refs = [sys.getrefcount(v) for v in (X, y)]
    expected = fn(np.asfortranarray(_X), np.ascontiguousarray(_y))
    got = fn(X, y)
    assert [sys.getrefcount(v) for v in (X, y)] == refs
    np.testing.assert_array_equal(got, expected)
    for v, before in zip((X, y), snapshot, strict=True):
        np.testing.assert_array_equal(np.asarray(v), before)


@pytest.mark.parametrize("fn", [zc.fit_regularized_linear, zc.TournamentMCMC.fit])
def test_optional_penalties_are_typed(fn):
    sig = fn.__doc__.splitlines()[0]
    for name in ("R1", "R2"):
        assert re.search(
            name + r": typing\.Annotated\[numpy\.typing\.ArrayLike[^|]*\] \| None = None", sig
        )


@pytest.mark.parametrize(
    "call",
    [
        lambda: zc.compute_sr([1.0], [1.0]),
        lambda: zc.compute_sr([1.0], [1.0], 0.1, 2.0),
        lambda: zc.compute_sr(yp=[1.0], yt=[1.0], tol=0.1),
        lambda: zc.compute_sr([1.0], [1.0], "0.1"),
        lambda: zc.mad(),
    ],
    ids=["missing", "extra", "bad-keyword", "str-for-double", "no-args"],
)
def test_bad_calls_raise_type_error(call):
    with pytest.raises(TypeError, match="incompatible function arguments|argument"):
        call()


def test_keyword_arguments():
    assert zc.compute_sr(eps=0.5, yt=[0.0, 1.0], yp=[0.0, 0.0]) == 0.5


def test_results_are_python_floats():
    assert type(zc.mad([1.0, 2.0])) is float
    assert type(zc.compute_sr([1.0], [1.0], 0.5)) is float


def _foreign_cpython():
    """A CPython other than 3.13 on this machine, if any."""
    roots = [os.environ.get("PYENV_ROOT", str(Path.home() / ".pyenv"))]
    for minor in ("3.12", "3.11", "3.10"):
        for root in roots:
            found = sorted(glob.glob(f"{root}/versions/{minor}.*/bin/python{minor}"))
            if found:
                return found[-1]
        for path in (f"/usr/bin/python{minor}", f"/usr/local/bin/python{minor}"):
            if os.access(path, os.X_OK):
                return path
    return None


def test_version_check_refuses_other_interpreters():
    python = _foreign_cpython()
    if python is None:
        pytest.skip("no CPython other than 3.13 available")
    # Lazy binding lets the loader reach the init function, whose version check
    # must then refuse the interpreter with a clear ImportError.
    code = (
        "import importlib.util, os, sys\n"
        "sys.setdlopenflags(os.RTLD_LAZY)\n"
        f"found = importlib.util.spec_from_file_location('zorp_core', {zc.__file__!r})\n"
        "try:\n"
        "    importlib.util.module_from_spec(found)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([python, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith(
        "Python version mismatch: module was compiled for Python 3.13, "
        "but the interpreter version is incompatible: " + python.rsplit("python", 1)[1]
    ), out.stdout + out.stderr


def test_subinterpreters_are_refused():
    interpreters = pytest.importorskip("_interpreters")
    iid = interpreters.create()
    try:
        err = interpreters.exec(iid, "import zorp._native.zorp_core")
    finally:
        interpreters.destroy(iid)
    assert err is not None
    assert err.type.__name__ == "ImportError"
    assert "subinterpreters" in err.msg


def test_reload_does_not_register_again():
    # The exec step consults the module cache, so a reload keeps the registered objects.
    import importlib

    mad = zc.mad
    assert importlib.reload(zc) is zc
    assert zc.mad is mad


def _documented():
    for name in REGISTERED:
        yield name, getattr(zc, name)
    yield "TournamentMCMC.__init__", zc.TournamentMCMC.__init__
    yield "TournamentMCMC.fit", zc.TournamentMCMC.fit


@pytest.mark.parametrize(("name", "obj"), list(_documented()), ids=[n for n, _ in _documented()])
def test_every_core_callable_is_documented(name, obj):
    import pydoc
    import re

    lines = (obj.__doc__ or "").splitlines()
    if isinstance(obj, type):
        signature, own = "", lines
    else:
        # pybind11's generated signature comes first, then the docstring.
        signature, own = lines[0], lines[1:]
    text = " ".join(line.strip() for line in own if line.strip())
    assert len(text) > 40, obj.__doc__
    assert own[-1].strip() in pydoc.render_doc(obj, renderer=pydoc.plaintext)
    params = re.findall(r"[(,] ?(\w+):", signature)
    params = [p for p in params if p != "self"]
    assert bool(params) != isinstance(obj, type), signature
    for param in params:
        assert re.search(rf"\b{param}\b", text), f"{name}: parameter {param} not described"
