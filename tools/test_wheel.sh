#!/usr/bin/env bash
# Installs a wheel into a fresh virtual environment and uses it from a
# directory outside the source tree: the module imports and answers a query,
# nothing of the build is needed at run time, and a type checker finds the
# stubs (mypy --strict on the examples). Usage: tools/test_wheel.sh WHEEL
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 WHEEL" >&2; exit 2; }
repo="$(cd "$(dirname "$0")/.." && pwd)"
wheel="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$repo/.venv/bin/python" -m venv "$work/venv"
py="$work/venv/bin/python"
"$py" -m pip install --quiet --disable-pip-version-check "$wheel"

cd "$work"
"$py" - <<'PY'
import pathlib
import sys

import Vantorel
from Vantorel import Index, Indexable, PyQueryExpr

location = pathlib.Path(Vantorel.__file__).resolve()
assert location.is_relative_to(pathlib.Path(sys.prefix).resolve()), location


class Item(Indexable):
    pass


index = Index()
index.add_object_many([Item(n=i, name=f"item{i}") for i in range(1000)])
hits = index.reduced_query(PyQueryExpr.contains("name", "99")).collect()
assert sorted(item.n for item in hits) == [99, 199, 299, 399, 499, 599, 699, 799, 899, 990, 991,
                                            992, 993, 994, 995, 996, 997, 998, 999], hits
print(f"test-wheel: Vantorel imports from {location} and answers queries")
PY

# With CRoaring compiled in, the module needs only the C and C++ runtimes.
if [ "$(uname -s)" = Linux ] && [ "${VANTOREL_ROARING:-builtin}" = builtin ]; then
  module="$("$py" -c 'import Vantorel; print(Vantorel.__file__)')"
  others="$(ldd "$module" | grep -vE '^\s*(linux-vdso|libstdc\+\+|libm|libgcc_s|libc|/lib.*/ld-linux)[.-]' || true)"
  if [ -n "$others" ]; then
    printf 'test-wheel: the module needs more than the C and C++ runtimes:\n%s\n' "$others" >&2
    exit 1
  fi
fi

# The examples that need only Vantorel; the sharded one also needs dask, which
# this environment deliberately lacks (it is checked in the source tree).
"$py" -m pip install --quiet --disable-pip-version-check mypy
mapfile -t examples < <(grep -L -E '^(from|import) (dask|distributed)' "$repo"/examples/*.py)
"$py" -m mypy --strict --no-incremental "${examples[@]}"
echo "test-wheel: mypy finds the installed stubs"
