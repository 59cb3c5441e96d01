#!/usr/bin/env bash
# Builds the wheel as a user's pip would (isolated build, requirements from
# PyPI, compiler warnings not fatal) with the system's Eigen hidden from CMake,
# installs it into a fresh virtual environment and checks that the package
# imports, knows its version and build target, and fits. Needs the environment
# of scripts/setup.sh (for its Python 3.13).
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv
WORK=build/wheel-check
log() { printf '[wheel] %s\n' "$*"; }

[ -x "$VENV/bin/python" ] || bash scripts/setup.sh
PY=$PWD/$VENV/bin/python
BASE_PY=$("$PY" -c 'import sys; print(sys._base_executable)')

rm -rf "$WORK"
mkdir -p "$WORK"

log "building the wheel (system prefixes ignored, so Eigen comes from cmeel-eigen)"
CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2} "$PY" -m pip wheel -v \
    --disable-pip-version-check --no-deps -w "$WORK/dist" \
    -C "cmake.define.CMAKE_IGNORE_PREFIX_PATH=/usr;/usr/local" \
    -C "build-dir=$WORK/build" . >"$WORK/build.log" 2>&1 \
    || { cat "$WORK/build.log"; exit 1; }
grep -q "Eigen .* from .*cmeel.prefix" "$WORK/build.log" \
    || { echo "error: the wheel was not built with Eigen from cmeel-eigen" >&2;
         grep -i eigen "$WORK/build.log" >&2; exit 1; }
WHEEL=$(ls "$WORK"/dist/zorp-*.whl)
log "built $(basename "$WHEEL")"

log "installing it into a fresh virtual environment"
"$BASE_PY" -m venv "$WORK/venv"
"$WORK/venv/bin/python" -m pip install -q --disable-pip-version-check "$WHEEL"

# Run from the work folder so that the source tree's zorp is not on the path.
cd "$WORK"
venv/bin/python - <<'PY'
from importlib.metadata import metadata, version

import numpy as np

import zorp

assert zorp.__file__.startswith(__import__("sys").prefix), zorp.__file__
assert zorp.__version__ == version("zorp") != "0+unknown", zorp.__version__
assert metadata("zorp")["License-Expression"] == "MIT"
from zorp._native import _kernels, _target

assert _kernels.__file__.startswith(__import__("sys").prefix), _kernels.__file__
assert _target.TARGET == "x86-64-v3", _target.TARGET
x = np.linspace(-1.0, 1.0, 50)[:, None]
model = zorp.SmoothPolynomialRegressor(degree=3).fit(x, 1.0 + 2.0 * x[:, 0] ** 3)
assert model.score(x, 1.0 + 2.0 * x[:, 0] ** 3) > 0.999999
print(f"[wheel] zorp {zorp.__version__} imports and fits from the installed wheel")
PY
test "$(venv/bin/zorp --version)" = "zorp $(venv/bin/python -c 'import zorp; print(zorp.__version__)')"
