import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

# Property tests: a few dozen examples per test in the normal suite, the same
# ones on every run so that CI is reproducible; HYPOTHESIS_PROFILE=long explores
# thousands of fresh ones.
settings.register_profile(
    "default",
    max_examples=30,
    derandomize=True,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.register_profile(
    "long",
    max_examples=3000,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

# Under the sanitizer, child processes started by tests still catch memory
# errors, but skip the exit-time leak scan: it sometimes fails to stop the
# OpenMP runtime's threads. This process read its options at start-up and keeps
# its own leak check.
if "ASAN_OPTIONS" in os.environ:
    os.environ["ASAN_OPTIONS"] += ":detect_leaks=0"


@pytest.fixture
def rng() -> np.random.Generator:
    return np.random.default_rng(20261208)


@pytest.fixture
def child_output():
    """Runs a Python snippet with arguments in a child process on a given
    number of OpenMP threads and returns what it printed."""

    def run(code: str, threads: int, *args: object) -> str:
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        out = subprocess.run(
            [sys.executable, "-c", code, *map(str, args)],
            capture_output=True,
            text=True,
            env=env,
            check=True,
            cwd="/",
        )
        return out.stdout

    return run
