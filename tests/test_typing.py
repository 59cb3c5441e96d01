"""The typed API: mypy in strict mode accepts a program using every function."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = """
import numpy as np
import numpy.typing as npt

import zorp
from zorp import SmoothPolynomialRegressor, zorp_core as zc

x = np.linspace(-1.0, 1.0, 50)
y = np.sin(3 * x)
Phi: npt.NDArray[np.float64] = zc.design_matrix_1d(4, x)
R1, R2 = zc.smoothness_penalty_matrices_1d(4, -1.0, 1.0)
Rb: npt.NDArray[np.float64] = zc.boundary_reduce_1d(4, -1.0, 1.0)
P1, P2, mi = zc.build_penalty_matrices_nd([2, 2], [(-1.0, 1.0), (-1.0, 1.0)], 10)
first: list[int] = mi[0]
Q = zc.design_matrix_nd(mi, [x, x])
b1: npt.NDArray[np.float64] = zc.ols(Phi, y)
b2 = zc.fit_regularized_linear(Phi, y, R1, None, 0.1)
s: float = zc.mdl_score(Phi @ b2, y, 5) + zc.mdl_score_reg(Phi @ b2, y, 5, 20, b2, R1, R2, 0.1)
s += zc.mad(y) + zc.compute_sr(Phi @ b2, y, 0.1)
g: zc.GibbsResult = zc.gibbs_entropy(np.array([1.0, 2.0]))
t: float = g.H + g.Hmax + g.He + g.r_heat + g.var_E + g.T
res: zc.MCMCResult = zc.TournamentMCMC(n_chains=2, n_deep=5, seed=1).fit(Phi, y, R1, R2, 0.0, 0.1)
beta: npt.NDArray[np.float64] = res.beta_mcmc
n: int = res.n_chains + res.n_elite
e: float = res.energy + res.gibbs.T
est = SmoothPolynomialRegressor(degree=3).fit(x[:, None], y)
pred: npt.NDArray[np.float64] = est.predict(x[:, None])
r2: float = est.score(x[:, None], y)
v: str = zorp.__version__
"""


@pytest.mark.slow
def test_mypy_strict_accepts_the_api(tmp_path: Path) -> None:
    if shutil.which("mypy", path=str(Path(sys.executable).parent)) is None:
        pytest.skip("mypy is not installed")
    src = tmp_path / "example.py"
    src.write_text(EXAMPLE)
    out = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "-m",
            "example",
            "-p",
            "zorp",
        ],
        capture_output=True,
        text=True,
        timeout=300,
        cwd=tmp_path,
    )
    assert out.returncode == 0, out.stdout + out.stderr
