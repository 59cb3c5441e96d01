#!/usr/bin/env bash
# Prepares a machine for building and testing zorp, reusing whatever is there:
# Debian packages, a Python 3.13 virtual environment in .venv with the "dev"
# dependency group of pyproject.toml, and the package itself with its extras
# installed into that environment.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(g++ make libeigen3-dev libgtest-dev)
VENV=.venv

log() { printf '[setup] %s\n' "$*"; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_apt_packages() {
    local missing=()
    for pkg in "${APT_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        log "installing Debian packages: ${missing[*]}"
        as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

is_py313() { "$1" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }

find_python313() {
    local cand
    for cand in "${PYTHON:-}" python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
        [ -n "$cand" ] || continue
        if command -v "$cand" >/dev/null 2>&1 && is_py313 "$(command -v "$cand")"; then
            command -v "$cand"; return 0
        fi
    done
    local root
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for cand in $(ls -d "$root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r); do
        if is_py313 "$cand"; then echo "$cand"; return 0; fi
    done
    return 1
}

make_venv() {
    if [ -x "$VENV/bin/python" ] && is_py313 "$VENV/bin/python"; then
        return
    fi
    local py
    py=$(find_python313) || { echo "error: no Python 3.13 interpreter found" >&2; exit 1; }
    log "creating $VENV with $py"
    rm -rf "$VENV"
    "$py" -m venv "$VENV"
}

# Dependency groups need pip 25.1 or later.
ensure_pip() {
    "$VENV/bin/python" - <<'PY' && return
import sys
from importlib.metadata import version
sys.exit(tuple(int(p) for p in version("pip").split(".")[:2]) < (25, 1))
PY
    log "upgrading pip"
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check 'pip>=25.1'
}

install_requirements() {
    local stamp="$VENV/.requirements.sha"
    local want
    want=$(sha256sum pyproject.toml | cut -d' ' -f1)
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        # Measured: 35 s from a package index on the local network.
        log "installing Python requirements (about half a minute, longer over a slow network)"
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check --group dev
        echo "$want" > "$stamp"
    fi
}

install_package() {
    # A first build compiles the native module from scratch, silently: 2 min 20 s
    # measured on 2 shared cores (3 minutes for the whole setup); later builds
    # recompile only what changed.
    if compgen -G "build/*/zorp_core*.so" >/dev/null; then
        log "building and installing zorp (recompiling what changed)"
    else
        log "building the native module and installing zorp (about 2-3 minutes on 2 cores; nothing is printed meanwhile)"
    fi
    # The package's own dependencies and extras come from its metadata; the
    # build requirements are in the dev group, hence no build isolation. The
    # developers' build treats compiler warnings as errors (users' builds do not).
    "$VENV/bin/python" -m pip install -q --disable-pip-version-check \
        --no-build-isolation -C cmake.define.ZORP_WERROR=ON '.[plot,dask]'
}

install_apt_packages
make_venv
ensure_pip
install_requirements
install_package
