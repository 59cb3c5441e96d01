"""The private kernels module: refusals before any work, the Gram matrix's
independence of the thread count, and the processor check at import."""

import numpy as np
import pytest

from zorp._native import _kernels as kn
from zorp._native import missing_cpu_features

rng = np.random.default_rng(7)
N, K, T = 40, 3, 5
PHI = rng.normal(size=(N, K))
Y = rng.normal(size=(N, T))
COEF = rng.normal(size=(T, K))
EPS = np.full(T, 0.5)
MU = np.linspace(0.0, 1.0, K)
B2 = rng.random((T, K))
YY = rng.random(T) + 2.0
LAM = np.full(T, 0.1)
GRID = np.linspace(-3.0, 3.0, 7)
SPD = PHI.T @ PHI
S = np.diag([0.0, 1.0, 2.0])


def reduced(**kw):
    """Arguments of the criterion's family, with some replaced."""
    args = dict(mu=MU, alpha=1.0, n=float(N), m0=1, logdet=0.0, gcv=False, b2=B2, yy=YY)
    args.update(kw)
    return args


# Every entry point with good arguments; each case below replaces one of them.
GOOD = {
    "column_cross": dict(Phi=PHI, Y=Y, w=np.ones(N)),
    "gram": dict(Phi=PHI, w=np.ones(N)),
    "score_tolerances": dict(m=np.ones(T)),
    "product": dict(A=PHI, B=COEF.T),
    "column_mads": dict(Y=Y),
    "column_hit_counts": dict(Phi=PHI, Y=Y, coef=COEF, eps=EPS),
    "reduce_path": dict(fixed=SPD, S=S),
    "criterion": dict(reduced(), lam=LAM, paired=True),
    "fits_at": {k: v for k, v in reduced(lam=LAM).items() if k not in ("logdet", "gcv")},
    "choose_weights": dict(reduced(), grid=GRID, shared=False),
    "cholesky_inverse": dict(A=SPD),
    "legendre_gram": dict(mu=np.linspace(1.0, 0.0, 7), top=3),
    "legendre_moments": dict(x=MU, w=np.ones(K), Y=PHI[:K], top_mu=6, top_cross=3),
}

REFUSED = [
    # empty inputs
    ("column_cross", "Phi", np.zeros((0, K)), "Phi is empty"),
    ("gram", "Phi", np.zeros((N, 0)), "Phi is empty"),
    ("column_hit_counts", "Phi", np.zeros((N, 0)), "Phi is empty"),
    ("reduce_path", "fixed", np.zeros((0, 0)), "fixed is empty"),
    ("criterion", "mu", np.zeros(0), "mu is empty"),
    ("fits_at", "mu", np.zeros(0), "mu is empty"),
    ("choose_weights", "grid", np.zeros(0), "grid is empty"),
    # mismatched shapes
    ("column_cross", "Y", Y[:-1], "Y has 39 rows"),
    ("column_cross", "w", np.ones(N - 1), "w has length 39"),
    ("gram", "w", np.ones(N + 1), "w has length 41"),
    ("product", "B", COEF, "A has 3 columns, B has 5 rows"),
    ("column_hit_counts", "coef", COEF.T, "coef must be 5 x 3"),
    ("column_hit_counts", "eps", EPS[:-1], "eps has length 4"),
    ("reduce_path", "fixed", np.ones((3, 4)), "fixed must be square"),
    ("reduce_path", "S", np.eye(4), "S must have the shape of fixed"),
    ("criterion", "b2", B2[:, :2], "b2 has 2 columns"),
    ("criterion", "yy", YY[:-1], "yy has length 4"),
    ("criterion", "lam", LAM[:-1], "lam has length 4"),
    ("fits_at", "lam", LAM[:-1], "lam has length 4"),
    ("choose_weights", "m0", 4, "m0 must lie in"),
    ("column_mads", "Y", np.ones((2, 2, 2)), "Y must be 1-D or 2-D"),
    ("score_tolerances", "m", np.ones((2, 2)), "m must be 1-D"),
    # values that the kernels cannot work with
    ("column_cross", "Phi", np.where(PHI > 1.0, np.nan, PHI), "Phi holds NaN or infinity"),
    ("gram", "w", np.r_[np.inf, np.ones(N - 1)], "w holds NaN or infinity"),
    ("column_hit_counts", "Phi", np.where(PHI > 1.0, np.inf, PHI), "Phi holds NaN"),
    ("reduce_path", "S", np.diag([0.0, np.nan, 1.0]), "S holds NaN"),
    ("criterion", "alpha", 0.0, "alpha must be positive"),
    ("criterion", "n", np.inf, "n must be finite"),
    ("fits_at", "mu", np.r_[np.nan, MU[1:]], "mu holds NaN"),
    ("choose_weights", "grid", np.r_[GRID[:-1], np.nan], "grid holds NaN"),
    ("choose_weights", "logdet", np.nan, "logdet must be finite"),
    ("cholesky_inverse", "A", np.ones((3, 4)), "A must be square"),
    ("cholesky_inverse", "A", np.zeros((0, 0)), "A is empty"),
    ("cholesky_inverse", "A", np.diag([1.0, -1.0]), "A is not positive definite"),
    ("legendre_gram", "top", 4, "mu has 7 entries, 2 top"),
    ("legendre_gram", "mu", np.r_[np.nan, np.ones(6)], "mu holds NaN"),
    ("legendre_moments", "Y", PHI[: K - 1], "Y has 2 rows"),
    ("legendre_moments", "w", np.ones(K + 1), "w must be empty or as long as x"),
    ("legendre_moments", "top_cross", 7, "the degrees must satisfy"),
    ("legendre_moments", "x", np.r_[np.inf, MU[1:]], "x holds NaN"),
]


@pytest.mark.parametrize("name", sorted(GOOD))
def test_good_arguments_are_accepted(name):
    getattr(kn, name)(**GOOD[name])


@pytest.mark.parametrize(("name", "arg", "value", "message"), REFUSED)
def test_refusals_name_the_argument(name, arg, value, message):
    args = dict(GOOD[name], **{arg: value})
    with pytest.raises(ValueError, match=f"^{name}: {message}"):
        getattr(kn, name)(**args)


ARRAY_ARGS = [
    (name, arg)
    for name, args in sorted(GOOD.items())
    for arg, value in args.items()
    if isinstance(value, np.ndarray)
]


@pytest.mark.parametrize(("name", "arg"), ARRAY_ARGS)
def test_complex_arrays_are_refused(name, arg):
    # Their imaginary parts would otherwise be dropped without a word.
    args = dict(GOOD[name])
    args[arg] = args[arg] + 0j
    with pytest.raises(TypeError, match=f"{name}: {arg} is complex"):
        getattr(kn, name)(**args)
    args[arg] = args[arg].tolist()  # lists of complex numbers too
    with pytest.raises(TypeError, match=f"{name}: {arg} is complex"):
        getattr(kn, name)(**args)


@pytest.mark.parametrize("value", ["text", [{"a": 1}], np.array(["a", "b"])])
def test_non_numbers_are_refused(value):
    with pytest.raises(TypeError, match="column_mads: Y must be an array of real numbers"):
        kn.column_mads(value)


def test_reduce_path_of_nothing_is_refused_not_a_crash():
    # This used to die with a segmentation fault.
    with pytest.raises(ValueError, match="reduce_path: fixed is empty"):
        kn.reduce_path(np.zeros((0, 0)), np.zeros((0, 0)))


GRAM_CHILD = """
import sys
import numpy as np
from zorp._native import _kernels as kn

rng = np.random.default_rng(3)
n, k, order, weighted = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4] == "1"
Phi = np.asarray(rng.normal(size=(n, k)) * np.logspace(-3, 3, k), order=order)
w = rng.random(n) if weighted else np.empty(0)
sys.stdout.write(kn.gram(Phi, w).tobytes().hex())
"""


@pytest.mark.parametrize(
    ("n", "k", "order", "weighted"),
    [(300_000, 16, "F", 0), (100_001, 40, "C", 1), (5000, 7, "C", 0)],
)
def test_gram_does_not_depend_on_the_thread_count(child_output, n, k, order, weighted):
    one, two, three = (child_output(GRAM_CHILD, t, n, k, order, weighted) for t in (1, 2, 3))
    assert one == two == three


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("n", [1, 9, 2049, 70_001])
def test_gram_equals_numpy_and_is_symmetric(n, order, weighted):
    k = 13
    Phi = np.asarray(rng.normal(size=(n, k)), order=order)
    w = rng.random(n) if weighted else np.empty(0)
    G = kn.gram(Phi, w)
    ref = (Phi * w[:, None]).T @ Phi if weighted else Phi.T @ Phi
    np.testing.assert_array_equal(G, G.T)
    scale = np.sqrt(np.outer(np.diag(ref), np.diag(ref)))
    assert np.all(np.abs(G - ref) <= 1e-13 * (n**0.5) * scale)


CPUINFO = """processor\t: 0
vendor_id\t: GenuineIntel
flags\t\t: fpu sse sse2 ssse3 sse4_1 sse4_2 popcnt avx {extra}
bogomips\t: 4000.00
"""


@pytest.mark.parametrize(
    ("extra", "missing"),
    [
        ("avx2 bmi1 bmi2 f16c fma abm movbe", set()),
        ("bmi1 bmi2 f16c abm movbe", {"avx2", "fma"}),
        ("", {"avx2", "bmi1", "bmi2", "f16c", "fma", "abm", "movbe"}),
    ],
)
def test_processor_features_read_from_cpuinfo(extra, missing):
    assert missing_cpu_features(CPUINFO.format(extra=extra)) == missing
    assert missing_cpu_features("no flags here") == set()


def test_import_check_names_the_portable_build():
    from zorp._native import PORTABLE_BUILD, check_processor

    old = CPUINFO.format(extra="bmi1")
    with pytest.raises(ImportError, match="lacks abm, avx2, .*ZORP_X86_64_V3=OFF"):
        check_processor("x86-64-v3", "x86_64", old)
    assert PORTABLE_BUILD == "pip install . -C cmake.define.ZORP_X86_64_V3=OFF"
    # The portable build, other machines and systems without /proc pass.
    check_processor("portable", "x86_64", old)
    check_processor("x86-64-v3", "aarch64", old)
    check_processor("x86-64-v3", "x86_64", None)
    check_processor(
        "x86-64-v3", "x86_64", CPUINFO.format(extra="avx2 bmi1 bmi2 f16c fma abm movbe")
    )
