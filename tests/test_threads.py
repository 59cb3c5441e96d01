"""Calls from several Python threads, and sampler fits in processes whose
OpenMP runtime is already in use, give exactly the sequential results."""

import ctypes
import ctypes.util
import os
import pickle
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from zorp._native import zorp_core as zc


def make_data():
    rng = np.random.default_rng(11)
    x = rng.uniform(-1, 1, 400)
    Phi = zc.design_matrix_1d(5, x)
    y = np.sin(3 * x) + 0.1 * rng.normal(size=400)
    R1, R2 = zc.smoothness_penalty_matrices_1d(5, -1.0, 1.0)
    # Large enough for the Gram product to run on Eigen's OpenMP team.
    big = rng.normal(size=(3000, 120))
    return x, y, Phi, R1, R2, big, rng.normal(size=3000)


def workload(data):
    """A fixed battery over every entry point; returns comparable values."""
    x, y, Phi, R1, R2, big, t = data
    fit = zc.TournamentMCMC(6, 60, 150, 3, seed=5).fit(Phi, y, R1, R2, 1e-3, 1e-4)
    g = zc.gibbs_entropy(y)
    return [
        zc.mad(y),
        zc.compute_sr(Phi @ np.ones(6), y, 0.3),
        zc.mdl_score(Phi @ np.ones(6), y, 6),
        zc.mdl_score_reg(Phi @ np.ones(6), y, 6, 20, np.ones(6), R1, R2, 0.1, 0.01),
        zc.design_matrix_1d(7, x),
        *zc.smoothness_penalty_matrices_1d(6, -1.0, 2.0, 300),
        zc.boundary_reduce_1d(6, -1.0, 2.0),
        zc.design_matrix_nd([[1, 2], [3, 0]], [x, y]),
        *zc.build_penalty_matrices_nd([2, 3], [(-1.0, 1.0), (0.0, 1.0)], 15)[:2],
        zc.ols(Phi, y),
        zc.fit_regularized_linear(Phi, y, R1, R2, 1e-3, 1e-4),
        zc.fit_regularized_linear(big, t, None, None, 0.0, 0.0, 1e-6),
        zc.ols(big[:400, :40], t[:400]),
        (g.H, g.Hmax, g.He, g.r_heat, g.var_E, g.T),
        fit.beta_mcmc.copy(),
        (fit.energy, fit.gibbs.H, fit.gibbs.r_heat, fit.n_chains, fit.n_elite),
    ]


def assert_identical(a, b):
    assert len(a) == len(b)
    for u, v in zip(a, b, strict=True):
        np.testing.assert_array_equal(np.asarray(u), np.asarray(v))


def test_threads_give_the_sequential_results():
    data = make_data()
    expected = workload(data)
    n_threads, rounds = 4, 3
    results = [[] for _ in range(n_threads)]
    errors = []
    start = threading.Barrier(n_threads)

    def run(slot):
        try:
            start.wait()
            for _ in range(rounds):
                results[slot].append(workload(data))
        except BaseException as e:  # reported on the main thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors, errors
    for per_thread in results:
        assert len(per_thread) == rounds
        for got in per_thread:
            assert_identical(got, expected)


def test_arguments_shared_between_threads_are_not_modified():
    data = make_data()
    copies = [a.copy() for a in data]
    threads = [threading.Thread(target=workload, args=(data,)) for _ in range(3)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for a, b in zip(data, copies, strict=True):
        np.testing.assert_array_equal(a, b)


SAMPLER_FIT = """
import pickle, sys
import numpy as np
from zorp._native import zorp_core as zc

def fit():
    rng = np.random.default_rng(3)
    x = rng.uniform(-1, 1, 300)
    X = zc.design_matrix_1d(4, x)
    y = x**3 - x + 0.05 * rng.normal(size=300)
    R1, R2 = zc.smoothness_penalty_matrices_1d(4, -1.0, 1.0)
    r = zc.TournamentMCMC(9, 80, 200, 4, seed=77).fit(X, y, R1, R2, 1e-3, 1e-4)
    return r.beta_mcmc.tobytes(), r.energy, r.gibbs.H, r.gibbs.var_E
"""

GOMP_SETUP = """
import ctypes, ctypes.util
gomp = ctypes.CDLL(ctypes.util.find_library("gomp") or "libgomp.so.1")
"""

SCENARIOS = {
    "plain": "out = fit()",
    # Another component of the process set its own thread count.
    "one-thread": GOMP_SETUP + "gomp.omp_set_num_threads(1)\nout = fit()",
    "many-threads": GOMP_SETUP + "gomp.omp_set_num_threads(7)\nout = fit()",
    "dynamic": GOMP_SETUP + "gomp.omp_set_dynamic(1)\nout = fit()",
    # The fit runs inside a parallel region that some other code opened: the
    # callback enters Python on every team thread, thread 0 fits.
    "nested": GOMP_SETUP
    + textwrap.dedent(
        """
        gomp.omp_get_thread_num.restype = ctypes.c_int
        found = []
        @ctypes.CFUNCTYPE(None, ctypes.c_void_p)
        def body(_):
            if gomp.omp_get_thread_num() == 0:
                found.append(fit())
        gomp.GOMP_parallel(body, None, 3, 0)
        out = found[0]
        """
    ),
    # Python threads each run their own OpenMP teams at the same time.
    "python-threads": textwrap.dedent(
        """
        import threading
        outs = []
        ts = [threading.Thread(target=lambda: outs.append(fit())) for _ in range(3)]
        [t.start() for t in ts]
        [t.join() for t in ts]
        assert len(set(outs)) == 1
        out = outs[0]
        """
    ),
}


def run_scenario(body, env_extra=None):
    code = SAMPLER_FIT + body + "\nsys.stdout.buffer.write(pickle.dumps(out))\n"
    env = dict(os.environ, **(env_extra or {}))
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, timeout=120, env=env, cwd="/"
    )
    assert out.returncode == 0, out.stderr.decode()[-3000:]
    return pickle.loads(out.stdout)


@pytest.fixture(scope="module")
def reference_fit():
    return run_scenario(SCENARIOS["plain"], {"OMP_NUM_THREADS": "1"})


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_sampler_fit_in_a_process_already_using_openmp(reference_fit, name):
    if name != "plain" and ctypes.util.find_library("gomp") is None:
        pytest.skip("libgomp not found")
    assert run_scenario(SCENARIOS[name]) == reference_fit


@pytest.mark.parametrize("threads", ["2", "5"])
def test_sampler_fit_does_not_depend_on_the_thread_count(reference_fit, threads):
    assert run_scenario(SCENARIOS["plain"], {"OMP_NUM_THREADS": threads}) == reference_fit


FORKED = {
    "os.fork": textwrap.dedent(
        """
        import os
        first = fit()
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.write(w, pickle.dumps(fit()))
            os._exit(0)
        os.close(w)
        with os.fdopen(r, "rb") as f:
            got = pickle.loads(f.read())
        assert os.waitpid(pid, 0)[1] == 0
        assert got == first
        out = got
        """
    ),
    "fork-start Pool": textwrap.dedent(
        """
        import multiprocessing
        first = fit()
        with multiprocessing.get_context("fork").Pool(2) as pool:
            got = pool.starmap(fit, [()] * 4)
        assert got == [first] * 4
        out = first
        """
    ),
}


# The parent's fit runs its warm-up on a two-thread team, whose workers do not
# exist in the child.
@pytest.mark.parametrize("how", sorted(FORKED))
def test_forked_child_fits_like_its_parent(reference_fit, how):
    assert run_scenario(FORKED[how], {"OMP_NUM_THREADS": "2"}) == reference_fit
