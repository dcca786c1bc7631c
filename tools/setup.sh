#!/usr/bin/env bash
# Installs what building and testing need, when it is missing: Debian packages
# for CRoaring and GoogleTest, and a virtual environment in .venv with the
# build tools and test dependencies. Safe to run repeatedly.
set -euo pipefail
cd "$(dirname "$0")/.."

need_apt=()
for pkg in libroaring-dev libgtest-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need_apt+=("$pkg")
done
if [ ${#need_apt[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y "${need_apt[@]}"
fi

stamp=.venv/.vantorel-setup-4
if [ ! -f "$stamp" ]; then
  python3 -m venv .venv
  .venv/bin/python -m pip install --quiet --upgrade pip
  .venv/bin/python -m pip install --quiet \
    "scikit-build-core>=0.5" cmake ninja pytest hypothesis numpy "dask[distributed]"
  touch "$stamp"
fi
