#!/usr/bin/env bash
# Builds the module and runs the Python suite under every CPython 3.10 or later
# that pyenv has, the newest patch release of each minor version. Each gets its
# own build directory (the module alone) and virtual environment (the test
# dependencies alone). Versions this project supports but pyenv lacks are
# skipped with a line. CMAKE_FLAGS and JOBS come from the Makefile.
set -euo pipefail
cd "$(dirname "$0")/.."
supported=(3.10 3.11 3.12 3.13)

root="$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")"
installed=()
if [ -d "$root/versions" ]; then
  mapfile -t installed < <(ls "$root/versions" | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V)
fi

# The newest installed patch release of every minor version from 3.10 on.
declare -A newest=()
for version in "${installed[@]}"; do
  minor="${version%.*}"
  [ "${minor#3.}" -ge 10 ] && newest[$minor]="$version"
done
for minor in "${supported[@]}"; do
  [ -n "${newest[$minor]:-}" ] || echo "test-pythons: skipping CPython $minor: not installed under pyenv ($root)"
done
[ ${#newest[@]} -gt 0 ] || exit 0

failed=()
for minor in $(printf '%s\n' "${!newest[@]}" | sort -V); do
  version="${newest[$minor]}"
  build="build-py$minor"
  venv="$build/venv"
  echo "test-pythons: CPython $version"
  if [ ! -x "$venv/bin/python" ]; then
    "$root/versions/$version/bin/python3" -m venv "$venv"
    "$venv/bin/python" -m pip install --quiet --disable-pip-version-check pytest hypothesis numpy
  fi
  # shellcheck disable=SC2086  # CMAKE_FLAGS is a list of flags
  .venv/bin/cmake -S . -B "$build" $CMAKE_FLAGS -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
  .venv/bin/cmake --build "$build" -j "${JOBS:-2}" --target Vantorel
  PYTHONPATH="$build" "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python ||
    failed+=("$version")
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "test-pythons: the suite failed under CPython ${failed[*]}"
  exit 1
fi
