"""Memory behaviour: repeated calls do not grow the process, and requests that
cannot be met raise MemoryError or ValueError instead of ending the process."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from zorp._native import zorp_core as zc

INT_MAX = 2**31 - 1
# The sanitizer run keeps freed memory in quarantine and reserves terabytes of
# shadow address space; there, leaks are the leak checker's business.
SANITIZED = os.environ.get("ZORP_SANITIZED") == "1"


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def one_round(data):
    """Every entry point once, on large arrays where the function allows it,
    plus the error paths (each raises after allocating its arguments)."""
    x, y, X, Phi, R = data["x"], data["y"], data["X"], data["Phi"], data["R"]
    zc.mad(y)
    zc.compute_sr(y, y[::-1], 0.5)
    zc.mdl_score(y, y[::-1], 3)
    zc.mdl_score_reg(y, y[::-1], 6, 20, np.ones(6), R, R, 0.5, 0.25)
    zc.design_matrix_1d(5, x)
    zc.smoothness_penalty_matrices_1d(8, -1.0, 1.0, 200)
    zc.boundary_reduce_1d(40, -1.0, 1.0)
    zc.design_matrix_nd([[i, j] for i in range(3) for j in range(3)], [x, x[::-1]])
    zc.build_penalty_matrices_nd([3, 3], [(-1.0, 1.0), (0.0, 2.0)], 20)
    zc.ols(Phi, data["t"])
    zc.fit_regularized_linear(Phi, data["t"], R, R, 1e-3, 1e-4)
    g = zc.gibbs_entropy(y[:1000])
    assert g.Hmax > 0
    res = zc.TournamentMCMC(4, 20, 20, 2).fit(X, data["t_small"], R[:3, :3], None, 0.1)
    assert res.beta_mcmc.shape == (3,) and res.gibbs.T == 1.0
    for call, exc in (
        (lambda: zc.compute_sr(y[:10], y, 0.5), ValueError),
        (lambda: zc.smoothness_penalty_matrices_1d(-1, 0.0, 1.0), ValueError),
        (lambda: zc.smoothness_penalty_matrices_1d(10**8, 0.0, 1.0), MemoryError),
        (lambda: zc.ols(Phi, y), ValueError),
        (lambda: zc.fit_regularized_linear(Phi, data["t"], "R"), TypeError),
        (lambda: zc.mad(np.ones((3, 3))), TypeError),
        (lambda: zc.TournamentMCMC(0).fit(X, data["t_small"]), ValueError),
        (lambda: zc.design_matrix_nd([[1]], [x, x]), ValueError),
    ):
        with pytest.raises(exc):
            call()


@pytest.mark.slow
@pytest.mark.skipif(SANITIZED, reason="resident size is not meaningful under the sanitizer")
def test_repeated_calls_do_not_grow_resident_memory():
    rng = np.random.default_rng(7)
    data = {
        "x": rng.uniform(-1, 1, 100_000),
        "y": rng.normal(size=200_000),
        "X": rng.normal(size=(60, 3)),
        "Phi": rng.normal(size=(5000, 6)),
        "R": np.eye(6),
        "t": rng.normal(size=5000),
        "t_small": rng.normal(size=60),
    }
    for _ in range(20):
        one_round(data)
    before = rss_bytes()
    for _ in range(150):  # about 3000 calls
        one_round(data)
    grown = rss_bytes() - before
    # One leaked copy of the largest argument per call would add about 500 MB.
    assert grown < 16 * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB"


# Requests far beyond what the child process may map (its address space is
# capped at 3 GiB). Each must raise; the process must survive them all.
IMPOSSIBLE = [
    ("smoothness_penalty_matrices_1d(10**8, 0.0, 1.0)", "MemoryError"),
    ("smoothness_penalty_matrices_1d(2**31 - 1, 0.0, 1.0, 2**31 - 1)", "MemoryError"),
    ("smoothness_penalty_matrices_1d(30_000, 0.0, 1.0)", "MemoryError"),
    ("boundary_reduce_1d(2**31 - 1, 0.0, 1.0)", "MemoryError"),
    ("boundary_reduce_1d(10**8, 0.0, 1.0)", "MemoryError"),
    ("design_matrix_1d(2**31 - 1, [1.0])", "MemoryError"),
    ("design_matrix_1d(10**6, np.ones(1000))", "MemoryError"),
    ("design_matrix_nd([[1]] * 1000, [np.ones(10**6)])", "MemoryError"),
    ("build_penalty_matrices_nd([10**8], [(0.0, 1.0)])", "MemoryError"),
    ("build_penalty_matrices_nd([40_000, 40_000], [(0.0, 1.0)] * 2)", "ValueError"),
    ("build_penalty_matrices_nd([65535, 65535, 1], [(0.0, 1.0)] * 3)", "ValueError"),
    ("build_penalty_matrices_nd([1], [(0.0, 1.0)], 2**31 - 1)", "MemoryError"),
    ("fit_regularized_linear(np.ones((1, 30_000)), [1.0])", "MemoryError"),
    ("TournamentMCMC(n_chains=2**31 - 1).fit([[1.0]], [1.0])", "MemoryError"),
]


@pytest.mark.skipif(SANITIZED, reason="the sanitizer cannot run under an address-space limit")
def test_impossible_allocations_raise():
    code = textwrap.dedent(
        """
        import resource, sys
        import numpy as np
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
        from zorp._native.zorp_core import *
        for expr in sys.argv[1:]:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            try:
                eval(expr)
                outcome = "returned"
            except Exception as e:
                outcome = type(e).__name__
            grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak
            print(outcome, grown // 1024, flush=True)
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", code, *[expr for expr, _ in IMPOSSIBLE]],
        capture_output=True,
        text=True,
        timeout=300,
        cwd="/",
    )
    assert out.returncode == 0, out.stderr[-2000:]
    lines = out.stdout.split("\n")
    for (expr, expected), line in zip(IMPOSSIBLE, lines, strict=False):
        outcome, grown_mib = line.split()
        assert outcome == expected, expr
        # Refused before any large buffer is written.
        assert int(grown_mib) < 64, f"{expr} touched {grown_mib} MiB before failing"


def test_long_degree_lists_do_not_exhaust_the_stack():
    # The multi-indices used to be enumerated by one recursion level per
    # dimension, which overflowed the stack for a few hundred thousand dimensions.
    D = 300_000
    R1, R2, mi = zc.build_penalty_matrices_nd([0] * D, [(0.0, 1.0)] * D, 2)
    assert R1.shape == R2.shape == (1, 1)
    assert len(mi) == 1 and len(mi[0]) == D and not any(mi[0])
    _, _, mi = zc.build_penalty_matrices_nd([1] + [0] * (D - 2) + [1], [(0.0, 0.5)] * D, 2)
    assert [m[0] for m in mi] == [0, 0, 1, 1] and [m[-1] for m in mi] == [0, 1, 0, 1]
