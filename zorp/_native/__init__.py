"""Compiled core of zorp (``zorp_core``) and its private kernels (``_kernels``).

The extension modules of the default build use x86-64-v3 instructions (AVX2,
FMA, BMI1/2, F16C, LZCNT, MOVBE); on a processor without them the first of those
instructions would kill the process. The processor is therefore checked here,
before either module is loaded.
"""

import platform

try:
    from zorp._native._target import TARGET
except ImportError:  # a source tree without a build: assume the default build
    TARGET = "x86-64-v3"

# /proc/cpuinfo's names of the features that x86-64-v3 adds to the baseline.
X86_64_V3_FLAGS = frozenset({"avx", "avx2", "bmi1", "bmi2", "f16c", "fma", "abm", "movbe"})

PORTABLE_BUILD = "pip install . -C cmake.define.ZORP_X86_64_V3=OFF"


def missing_cpu_features(cpuinfo: str) -> set[str]:
    """The x86-64-v3 features absent from the first processor listed in a
    /proc/cpuinfo text (empty when the text lists no flags)."""
    for line in cpuinfo.splitlines():
        key, _, value = line.partition(":")
        if key.strip() == "flags":
            return set(X86_64_V3_FLAGS - set(value.split()))
    return set()


def check_processor(target: str, machine: str, cpuinfo: str | None) -> None:
    """Raises ImportError when extension modules built for `target` cannot run
    on this processor (`machine` as platform.machine() names it, `cpuinfo` the
    text of /proc/cpuinfo, or None where there is none to read)."""
    if target != "x86-64-v3" or machine.lower() not in ("x86_64", "amd64") or cpuinfo is None:
        return
    missing = missing_cpu_features(cpuinfo)
    if missing:
        raise ImportError(
            "zorp was built for x86-64-v3 processors, and this one lacks "
            f"{', '.join(sorted(missing))}; install the portable build instead: "
            f"{PORTABLE_BUILD}"
        )


def _read_cpuinfo() -> str | None:
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as f:
            return f.read()
    except OSError:
        return None


check_processor(TARGET, platform.machine(), _read_cpuinfo())
