#!/usr/bin/env bash
# Checks that a source distribution builds offline: it carries CRoaring's
# amalgamation and names its license; pip installs it into a fresh virtual
# environment with the network cut off (where unshare can, and pip without an
# index in any case) and an empty CRoaring cache, and the module answers a
# query. Then checks that configure, offline, with neither the bundled sources
# nor the cache, stops and says what to do, and that it goes on from a copy of
# the amalgamation named by VANTOREL_ROARING_SOURCE_DIR.
# Usage: tools/test_sdist.sh SDIST (JOBS from the environment)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 SDIST" >&2; exit 2; }
repo="$(cd "$(dirname "$0")/.." && pwd)"
sdist="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "test-sdist: $*" >&2; exit 1; }

top="$(basename "$sdist" .tar.gz)"
tar -xzf "$sdist" -C "$work"
for f in LICENSE roaring/roaring.c roaring/roaring.h; do
  [ -f "$work/$top/third_party/croaring/$f" ] || fail "the sdist lacks third_party/croaring/$f"
done
grep -qx 'License-File: third_party/croaring/LICENSE' "$work/$top/PKG-INFO" ||
  fail "the sdist's metadata does not name CRoaring's license"

# The build tools, at the versions of the project's environment, come in while
# the network is still there.
"$repo/.venv/bin/python" -m venv "$work/venv"
py="$work/venv/bin/python"
mapfile -t tools < <("$repo/.venv/bin/python" -c '
from importlib.metadata import version
for name in ("scikit-build-core", "cmake", "ninja"):
    print(f"{name}=={version(name)}")')
"$py" -m pip install --quiet --disable-pip-version-check "${tools[@]}"

# Runs a command without the network: no package index or link for pip, no
# route out where a network namespace can be had, and an empty CRoaring cache.
cut=()
for flags in -n -rn; do
  if unshare "$flags" true 2>/dev/null; then
    cut=(unshare "$flags")
    break
  fi
done
[ ${#cut[@]} -gt 0 ] || echo "test-sdist: unshare cannot cut the network here; pip has no index"
mkdir -p "$work/cache"
offline() {
  env -u PIP_FIND_LINKS -u PIP_INDEX_URL -u PIP_EXTRA_INDEX_URL PIP_CONFIG_FILE=/dev/null PIP_NO_INDEX=1 \
    XDG_CACHE_HOME="$work/cache" CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}" "${cut[@]}" "$@"
}

offline "$py" -m pip install -v --no-build-isolation --disable-pip-version-check "$sdist" \
  >"$work/install.log" 2>&1 || { tail -n 40 "$work/install.log"; fail "pip install of the sdist failed"; }
grep -q 'CRoaring 5.2.2: built in, bundled in' "$work/install.log" ||
  fail "the build did not use the bundled CRoaring: $(grep 'CRoaring' "$work/install.log")"
[ ! -e "$work/cache/vantorel" ] || fail "the build fetched CRoaring into the cache"

(cd "$work" && "$py" -c '
from importlib.metadata import metadata
from Vantorel import Index, Indexable, PyQueryExpr
class Item(Indexable):
    pass
index = Index()
index.add_object_many([Item(n=i, even=i % 2 == 0) for i in range(100)])
assert len(index.reduced_query(PyQueryExpr.eq("even", True)).collect()) == 50
licenses = metadata("vantorel").get_all("License-File")
assert licenses == ["LICENSE", "third_party/croaring/LICENSE"], licenses
')
echo "test-sdist: the sdist builds and installs offline, and the module answers queries"

# Configure alone, offline, from the sdist's tree without its bundled sources.
rm -rf "$work/$top/third_party"
configure() {
  offline "$work/venv/bin/cmake" -S "$work/$top" -B "$work/build" -G Ninja \
    -DCMAKE_MAKE_PROGRAM="$work/venv/bin/ninja" -DPython_EXECUTABLE="$py" "$@" >"$work/configure.log" 2>&1
}
if configure; then
  fail "configure went on offline without CRoaring's sources: $(grep 'CRoaring' "$work/configure.log")"
fi
for hint in 'could not be fetched' 'Connect to the network' '-DVANTOREL_ROARING=system' \
  'libroaring-dev' '-DVANTOREL_ROARING_SOURCE_DIR=DIR'; do
  grep -qF -- "$hint" "$work/configure.log" || { cat "$work/configure.log"; fail "configure's message lacks '$hint'"; }
done
mkdir "$work/amalgamation"
tar -xzf "$sdist" -C "$work/amalgamation" --strip-components=4 "$top/third_party/croaring/roaring"
configure -DVANTOREL_ROARING_SOURCE_DIR="$work/amalgamation" ||
  { cat "$work/configure.log"; fail "configure failed from VANTOREL_ROARING_SOURCE_DIR"; }
grep -q "CRoaring 5.2.2: built in, copied from $work/amalgamation" "$work/configure.log" ||
  fail "configure did not take VANTOREL_ROARING_SOURCE_DIR: $(grep 'CRoaring' "$work/configure.log")"
echo "test-sdist: offline without CRoaring's sources, configure stops and says what to do"
