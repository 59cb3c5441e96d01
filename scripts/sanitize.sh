#!/usr/bin/env bash
# Runs the test suites against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the native code:
#   1. the C++ unit tests, built with the sanitizers (leak detection on);
#   2. the whole pytest suite against an instrumented copy of the extension,
#      installed into build/sanitize/site and put first on PYTHONPATH, with the
#      sanitizer runtime preloaded into the (uninstrumented) interpreter.
# Arguments are passed on to pytest. Needs the environment of scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

VENV=.venv
PY=$VENV/bin/python
BUILD=build/sanitize
SITE=$BUILD/site

log() { printf '[sanitize] %s\n' "$*"; }

[ -x "$PY" ] || bash scripts/setup.sh

# Optimised enough to keep the suite fast, with debug information for the
# reports; NDEBUG stays undefined so Eigen's index and size assertions run.
CMAKE_ARGS=(-G Ninja -DZORP_SANITIZE=ON -DZORP_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g"
    "-DCMAKE_MAKE_PROGRAM=$(realpath "$VENV/bin/ninja")"
    "-DPython_EXECUTABLE=$(realpath "$PY")")

# allocator_may_return_null: an impossible allocation must reach the code as
# std::bad_alloc (MemoryError), as it does without the sanitizer.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

log "C++ unit tests"
"$VENV/bin/cmake" -S . -B "$BUILD/cpp" "${CMAKE_ARGS[@]}" -DZORP_BUILD_MODULE=OFF \
    -DZORP_BUILD_TESTS=ON >/dev/null
"$VENV/bin/cmake" --build "$BUILD/cpp"
(cd "$BUILD/cpp" && "$(realpath "../../../$VENV/bin/ctest")" --output-on-failure -Q)

log "instrumented extension"
"$VENV/bin/cmake" -S . -B "$BUILD/module" "${CMAKE_ARGS[@]}" \
    "-Dpybind11_DIR=$("$PY" -m pybind11 --cmakedir)" >/dev/null
"$VENV/bin/cmake" --build "$BUILD/module"
rm -rf "$SITE"
mkdir -p "$SITE"
# The package's Python files, then the instrumented module beside them.
tar -C . --exclude='*.cpp' --exclude='*.hpp' --exclude='__pycache__' --exclude='*.so' \
    -cf - zorp | tar -C "$SITE" -xf -
"$VENV/bin/cmake" --install "$BUILD/module" --prefix "$SITE" >/dev/null

# The sanitizer runtime must come first; libstdc++ must be loaded with it so
# that its interception of C++ throws finds the real functions (the interpreter
# itself does not link libstdc++).
PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
# The interpreter allocates objects it never frees at exit (interned strings,
# static types, the module's bindings); those leaks are suppressed by the
# allocating function. Leaks from the native code itself are still reported.
export LSAN_OPTIONS="suppressions=$(realpath scripts/lsan-python.supp):print_suppressions=0"
export PYTHONPATH="$(realpath "$SITE")${PYTHONPATH:+:$PYTHONPATH}"
# Python objects through malloc, so that the sanitizer sees them too.
export PYTHONMALLOC=malloc
export ZORP_SANITIZED=1

LD_PRELOAD="$PRELOAD" "$PY" -P -c "
import sys, zorp._native.zorp_core as m, zorp._native._kernels as k
assert m.__file__.startswith(sys.argv[1]), m.__file__
assert k.__file__.startswith(sys.argv[1]), k.__file__
" "$(realpath "$SITE")"

log "pytest against the instrumented extension"
LD_PRELOAD="$PRELOAD" "$VENV/bin/pytest" -q -p no:cacheprovider "$@"
