"""Property tests over every entry point of the native module.

Arguments are drawn from everything a caller might pass: arrays of any length
(empty and one element included) and of the wrong dimensionality, mismatched
lengths, NaN, infinities, huge and subnormal values, integers at and beyond the
32-bit edges, and objects that do not convert at all. Every call must either
return a result of the documented type and shape or raise the documented
exception for that input; any other exception, or a crash, fails the test.
"""

import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from zorp._native import zorp_core as zc

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
# Degrees whose M x M matrices cannot be allocated on any machine.
HUGE_DEGREES = (10**8, INT_MAX)

SPECIAL = [
    0.0,
    -0.0,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1e-300,
    1e300,
    1.7976931348623157e308,
    -1.7976931348623157e308,
    math.inf,
    -math.inf,
    math.nan,
]
floats = st.one_of(st.floats(-1e3, 1e3), st.sampled_from(SPECIAL), st.floats())


def ints(lo=-3, hi=8, edges=(INT_MIN, INT_MIN + 1, -1, 0, 1, INT_MAX - 1, INT_MAX)):
    """Small integers, the 32-bit edges and a few values that do not fit an int."""
    return st.one_of(
        st.integers(lo, hi),
        st.sampled_from(edges),
        st.sampled_from([INT_MAX + 1, INT_MIN - 1, 2**63, -(2**80)]),
    )


def arrays(shapes):
    return st.one_of(
        hnp.arrays(np.float64, shapes, elements=floats),
        hnp.arrays(np.int32, shapes, elements=st.integers(INT_MIN, INT_MAX)),
    )


JUNK = st.sampled_from([None, "abc", b"xy", [[1.0, 2.0], [3.0]], {"a": 1.0}, object()])


def vector_likes(max_len=6):
    one_d = arrays(st.integers(0, max_len).map(lambda n: (n,)))
    return st.one_of(
        one_d,
        one_d,
        one_d.map(list),
        arrays(st.integers(0, max_len).map(lambda n: (n, 1))),
        arrays(hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=3)),
        arrays(hnp.array_shapes(min_dims=0, max_dims=0)),
        arrays(hnp.array_shapes(min_dims=3, max_dims=3, min_side=0, max_side=2)),
        floats,
        JUNK,
    )


def matrix_likes(max_side=5):
    two_d = arrays(hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=max_side))
    return st.one_of(
        two_d,
        two_d,
        two_d.map(lambda a: a.tolist()),
        arrays(st.integers(0, max_side).map(lambda n: (n,))),
        arrays(hnp.array_shapes(min_dims=3, max_dims=3, min_side=0, max_side=2)),
        floats,
        JUNK,
    )


def _array(obj):
    if isinstance(obj, np.ndarray):
        return obj
    if isinstance(obj, list):
        try:
            return np.asarray(obj, dtype=np.float64)
        except (TypeError, ValueError):
            return None
    return None


def vec_len(obj):
    """Length of obj as a vector argument, or None when it must not convert."""
    a = _array(obj)
    if a is None:
        return None
    if a.ndim == 1:
        return a.shape[0]
    if a.ndim == 2 and a.shape[1] == 1:
        return a.shape[0]
    return None


def mat_shape(obj):
    """Shape of obj as a matrix argument, or None when it must not convert."""
    a = _array(obj)
    if a is None or a.ndim not in (1, 2):
        return None
    return (a.shape[0], 1) if a.ndim == 1 else a.shape


def is_int(v):
    return INT_MIN <= v <= INT_MAX


def check_matrix(r, shape):
    assert type(r) is np.ndarray
    assert r.dtype == np.float64
    assert r.shape == shape
    assert r.flags.f_contiguous and r.flags.writeable


def check_symmetric(r):
    assert np.array_equal(r, r.T, equal_nan=True)


def check_vector(r, n):
    assert type(r) is np.ndarray and r.dtype == np.float64 and r.shape == (n,)


# ---------------------------------------------------------------------------
# Statistics and scores


@given(y=vector_likes())
def test_mad(y):
    if vec_len(y) is None:
        with pytest.raises(TypeError):
            zc.mad(y)
        return
    assert type(zc.mad(y)) is float


@given(
    seed=st.integers(0, 2**32 - 1),
    n=st.integers(2**14 - 2, 2**14 + 3000),
    pool=st.lists(floats, min_size=1, max_size=6),
)
def test_mad_of_long_vectors(seed, n, pool):
    # Long inputs take the sampling selection; it must agree with a plain
    # median of medians whenever the deviations are ordered (no NaN).
    rng = np.random.default_rng(seed)
    y = rng.choice(np.asarray(pool), n) * rng.choice([1.0, -1.0, 1e-3], n)
    r = zc.mad(y)
    assert type(r) is float
    with np.errstate(all="ignore"):
        dev = np.abs(y - np.median(y))
        if not np.isnan(dev).any():
            assert r == np.median(dev)


@given(yp=vector_likes(), yt=vector_likes(), eps=floats)
def test_compute_sr(yp, yt, eps):
    n_p, n_t = vec_len(yp), vec_len(yt)
    if n_p is None or n_t is None:
        with pytest.raises(TypeError):
            zc.compute_sr(yp, yt, eps)
    elif n_p < n_t:
        with pytest.raises(ValueError):
            zc.compute_sr(yp, yt, eps)
    else:
        r = zc.compute_sr(yp, yt, eps)
        assert type(r) is float
        if n_t == 0:
            assert math.isnan(r)
        else:
            assert 1 / (2 * n_t) <= r <= 1.0


@given(yp=vector_likes(), yt=vector_likes(), k=ints(), H=ints())
def test_mdl_score(yp, yt, k, H):
    n_p, n_t = vec_len(yp), vec_len(yt)
    if n_p is None or n_t is None or not is_int(k) or not is_int(H):
        with pytest.raises(TypeError):
            zc.mdl_score(yp, yt, k, H)
    elif n_p < n_t:
        with pytest.raises(ValueError):
            zc.mdl_score(yp, yt, k, H)
    else:
        assert type(zc.mdl_score(yp, yt, k, H)) is float


@given(
    yp=vector_likes(),
    yt=vector_likes(),
    k=ints(),
    H=ints(),
    beta=vector_likes(4),
    R1=matrix_likes(4),
    R2=matrix_likes(4),
    g1=st.one_of(st.just(0.0), floats),
    g2=st.one_of(st.just(0.0), floats),
)
def test_mdl_score_reg(yp, yt, k, H, beta, R1, R2, g1, g2):
    n_p, n_t, m = vec_len(yp), vec_len(yt), vec_len(beta)
    s1, s2 = mat_shape(R1), mat_shape(R2)
    args = (yp, yt, k, H, beta, R1, R2, g1, g2)
    if None in (n_p, n_t, m, s1, s2) or not is_int(k) or not is_int(H):
        with pytest.raises(TypeError):
            zc.mdl_score_reg(*args)
    elif n_p < n_t or (g1 != 0 and s1 != (m, m)) or (g2 != 0 and s2 != (m, m)):
        with pytest.raises(ValueError):
            zc.mdl_score_reg(*args)
    else:
        assert type(zc.mdl_score_reg(*args)) is float


@given(energies=vector_likes(), T=floats)
def test_gibbs_entropy(energies, T):
    n = vec_len(energies)
    if n is None:
        with pytest.raises(TypeError):
            zc.gibbs_entropy(energies, T)
        return
    if n == 0:
        with pytest.raises(ValueError):
            zc.gibbs_entropy(energies, T)
        return
    g = zc.gibbs_entropy(energies, T)
    assert type(g) is zc.GibbsResult
    assert all(type(getattr(g, f)) is float for f in ("H", "Hmax", "He", "r_heat", "var_E", "T"))
    assert g.T == T or (math.isnan(g.T) and math.isnan(T))
    assert g.Hmax == math.log(max(n, 2))


# ---------------------------------------------------------------------------
# One-dimensional bases and penalties


@st.composite
def degree_and_points(draw):
    deg = draw(ints())
    # A huge degree only with no points: its matrix would be real and large.
    x = draw(st.just([]) if deg > 100 else vector_likes())
    return deg, x


@given(args=degree_and_points())
def test_design_matrix_1d(args):
    deg, x = args
    n = vec_len(x)
    if n is None or not is_int(deg):
        with pytest.raises(TypeError):
            zc.design_matrix_1d(deg, x)
    elif deg < 0:
        with pytest.raises(ValueError):
            zc.design_matrix_1d(deg, x)
    else:
        phi = zc.design_matrix_1d(deg, x)
        check_matrix(phi, (n, deg + 1))
        assert np.all(phi[:, 0] == 1.0)


@st.composite
def penalty_1d_args(draw):
    deg = draw(ints(edges=(INT_MIN, -1, 0, 1, *HUGE_DEGREES)))
    grids = [INT_MIN, -1, 0, 1, 2]
    if deg < 0 or deg in HUGE_DEGREES:
        grids.append(INT_MAX)  # refused before the grid is walked
    n_grid = draw(st.one_of(st.integers(-3, 40), st.sampled_from(grids)))
    return deg, draw(floats), draw(floats), n_grid


@given(args=penalty_1d_args())
def test_smoothness_penalty_matrices_1d(args):
    deg, lo, hi, n_grid = args
    if not is_int(deg) or not is_int(n_grid):
        with pytest.raises(TypeError):
            zc.smoothness_penalty_matrices_1d(deg, lo, hi, n_grid)
    elif deg < 0 or n_grid < 2:
        with pytest.raises(ValueError, match="^deg < 0$" if deg < 0 else "^n_grid < 2$"):
            zc.smoothness_penalty_matrices_1d(deg, lo, hi, n_grid)
    elif deg in HUGE_DEGREES:
        with pytest.raises((MemoryError, ValueError)):
            zc.smoothness_penalty_matrices_1d(deg, lo, hi, n_grid)
    else:
        r = zc.smoothness_penalty_matrices_1d(deg, lo, hi, n_grid)
        assert type(r) is tuple and len(r) == 2
        for R in r:
            check_matrix(R, (deg + 1, deg + 1))
            check_symmetric(R)


@given(deg=ints(edges=(INT_MIN, -2, -1, 0, 1, *HUGE_DEGREES)), lo=floats, hi=floats)
def test_boundary_reduce_1d(deg, lo, hi):
    if not is_int(deg):
        with pytest.raises(TypeError):
            zc.boundary_reduce_1d(deg, lo, hi)
    elif deg < -1:
        with pytest.raises(ValueError):
            zc.boundary_reduce_1d(deg, lo, hi)
    elif deg in HUGE_DEGREES:
        with pytest.raises((MemoryError, ValueError)):
            zc.boundary_reduce_1d(deg, lo, hi)
    else:
        R = zc.boundary_reduce_1d(deg, lo, hi)
        check_matrix(R, (deg + 1, deg + 1))
        check_symmetric(R)


# ---------------------------------------------------------------------------
# Multi-dimensional bases and penalties

multi_index_lists = st.one_of(
    st.lists(st.lists(ints(), max_size=3), max_size=4),
    st.lists(st.lists(st.integers(0, 3), min_size=2, max_size=2), max_size=4),
    st.just("abc"),
    st.just([1, 2]),
    st.just([[1.5]]),
)
column_lists = st.one_of(
    st.integers(0, 5).flatmap(lambda n: st.lists(arrays(st.just((n,))), max_size=3)),
    st.lists(vector_likes(4), max_size=3),
)


@given(mi=multi_index_lists, cols=column_lists)
def test_design_matrix_nd(mi, cols):
    lengths = [vec_len(c) for c in cols]
    mi_ok = isinstance(mi, list) and all(
        isinstance(m, list) and all(isinstance(e, int) and is_int(e) for e in m) for m in mi
    )
    if not mi_ok or None in lengths:
        with pytest.raises(TypeError):
            zc.design_matrix_nd(mi, cols)
    elif not cols or len(set(lengths)) > 1 or any(len(m) < len(cols) for m in mi):
        with pytest.raises(ValueError):
            zc.design_matrix_nd(mi, cols)
    else:
        check_matrix(zc.design_matrix_nd(mi, cols), (lengths[0], len(mi)))


@st.composite
def penalty_nd_args(draw):
    degrees = draw(
        st.lists(
            st.one_of(st.integers(-2, 4), st.sampled_from([INT_MIN, *HUGE_DEGREES])), max_size=3
        )
    )
    D = len(degrees)
    n_bounds = draw(st.sampled_from([D] * 4 + [D + 1, max(D - 1, 0)]))
    bounds = [(draw(floats), draw(floats)) for _ in range(n_bounds)]
    grids = [INT_MIN, -1, 0, 1, 2]
    if not degrees or any(d < 0 or d in HUGE_DEGREES for d in degrees):
        grids.append(INT_MAX)  # refused or finished before an axis is laid out
    n_grid = draw(st.one_of(st.integers(-2, 12), st.sampled_from(grids)))
    return degrees, bounds, n_grid


@given(args=penalty_nd_args())
def test_build_penalty_matrices_nd(args):
    degrees, bounds, n = args
    huge = any(d in HUGE_DEGREES for d in degrees)
    if not is_int(n):
        with pytest.raises(TypeError):
            zc.build_penalty_matrices_nd(degrees, bounds, n)
    elif len(bounds) != len(degrees) or any(d < -1 for d in degrees) or n < 2:
        with pytest.raises(ValueError):
            zc.build_penalty_matrices_nd(degrees, bounds, n)
    elif huge and -1 not in degrees:
        with pytest.raises((MemoryError, ValueError)):
            zc.build_penalty_matrices_nd(degrees, bounds, n)
    else:
        R1, R2, mi = zc.build_penalty_matrices_nd(degrees, bounds, n)
        M = math.prod(d + 1 for d in degrees) if -1 not in degrees else 0
        for R in (R1, R2):
            check_matrix(R, (M, M))
            check_symmetric(R)
        assert len(mi) == M and all(len(m) == len(degrees) for m in mi)


# ---------------------------------------------------------------------------
# Linear estimation


@given(X=matrix_likes(), y=vector_likes())
def test_ols(X, y):
    s, n = mat_shape(X), vec_len(y)
    if s is None or n is None:
        with pytest.raises(TypeError):
            zc.ols(X, y)
        return
    finite = bool(np.all(np.isfinite(_array(X))))
    if n != s[0] or (s[0] * s[1] > 0 and not finite):
        with pytest.raises(ValueError):
            zc.ols(X, y)
        return
    check_vector(zc.ols(X, y), s[1])


optional_matrices = st.one_of(st.none(), matrix_likes(4))


def penalty_problem(m, shape, gamma, obj):
    """The documented failure of one optional penalty, or None."""
    if obj is None:
        return None
    if shape is None:
        return TypeError
    if gamma != 0 and shape != (m, m):
        return ValueError
    return None


@given(
    Phi=matrix_likes(4),
    y=vector_likes(4),
    R1=optional_matrices,
    R2=optional_matrices,
    g1=st.one_of(st.just(0.0), floats),
    g2=st.one_of(st.just(0.0), floats),
    ridge=floats,
)
def test_fit_regularized_linear(Phi, y, R1, R2, g1, g2, ridge):
    s, n = mat_shape(Phi), vec_len(y)
    args = (Phi, y, R1, R2, g1, g2, ridge)
    if s is None or n is None:
        with pytest.raises(TypeError):
            zc.fit_regularized_linear(*args)
        return
    m = s[1]
    casts = [penalty_problem(m, mat_shape(R), g, R) for R, g in ((R1, g1), (R2, g2))]
    if TypeError in casts:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            zc.fit_regularized_linear(*args)
    elif n != s[0] or ValueError in casts:
        with pytest.raises(ValueError):
            zc.fit_regularized_linear(*args)
    else:
        check_vector(zc.fit_regularized_linear(*args), m)


# ---------------------------------------------------------------------------
# Tournament MCMC sampler

sampler_configs = st.fixed_dictionaries(
    {
        "n_chains": ints(-2, 5, edges=(INT_MIN, -1, 0, 1)),
        "n_warmup": ints(-2, 15, edges=(INT_MIN, -1, 0)),
        "n_deep": ints(-2, 15, edges=(INT_MIN, -1, 0)),
        "n_elite": ints(),
        "step_size": floats,
        "H_piH": ints(),
        "seed": st.sampled_from([0, 1, 42, 2**64 - 1, -1, 2**64]),
    }
)


@given(
    cfg=sampler_configs,
    X=matrix_likes(4),
    y=vector_likes(4),
    R1=optional_matrices,
    R2=optional_matrices,
    g1=st.one_of(st.just(0.0), floats),
    g2=st.one_of(st.just(0.0), floats),
)
def test_tournament_mcmc(cfg, X, y, R1, R2, g1, g2):
    ints_ok = all(is_int(v) for k, v in cfg.items() if k not in ("step_size", "seed"))
    if not ints_ok or not 0 <= cfg["seed"] < 2**64:
        with pytest.raises(TypeError):
            zc.TournamentMCMC(**cfg)
        return
    sampler = zc.TournamentMCMC(**cfg)
    s, n = mat_shape(X), vec_len(y)
    args = (X, y, R1, R2, g1, g2)
    if s is None or n is None:
        with pytest.raises(TypeError):
            sampler.fit(*args)
        return
    k = s[1]
    casts = [penalty_problem(k, mat_shape(R), g, R) for R, g in ((R1, g1), (R2, g2))]
    if TypeError in casts:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            sampler.fit(*args)
    elif cfg["n_chains"] < 1 or n != s[0] or ValueError in casts:
        with pytest.raises(ValueError):
            sampler.fit(*args)
    else:
        r = sampler.fit(*args)
        check_vector(r.beta_mcmc, k)
        assert type(r.energy) is float
        assert (r.n_chains, r.n_elite) == (cfg["n_chains"], cfg["n_elite"])
        assert type(r.gibbs) is zc.GibbsResult
