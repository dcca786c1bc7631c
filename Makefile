# make demo   builds the extension and runs examples/quickstart.py
# make test   builds everything and runs the C++ and Python test suites
# Both install what they need first (tools/setup.sh).
#
# ROARING=system builds against an installed CRoaring instead of the pinned one
# compiled in; ROARING_SOURCE_DIR=DIR builds the pinned one from a copy of its
# amalgamation in DIR instead of the cache or the network; WERROR=ON makes
# compiler warnings errors (CI does).

VENV   := .venv
PY     := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
BUILD  := build
JOBS   ?= 2
ROARING ?= builtin
ROARING_SOURCE_DIR ?=
WERROR ?= OFF
export VANTOREL_ROARING := $(ROARING)
ROARING_SOURCE := $(if $(ROARING_SOURCE_DIR),$(abspath $(ROARING_SOURCE_DIR)))
BASE_CMAKE_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
  -DVANTOREL_ROARING=$(ROARING) -DVANTOREL_ROARING_SOURCE_DIR=$(ROARING_SOURCE) -DVANTOREL_WERROR=$(WERROR)
CMAKE_FLAGS := $(BASE_CMAKE_FLAGS) -DPython_EXECUTABLE=$(abspath $(PY)) \
  -DVANTOREL_BUILD_TESTS=ON -DVANTOREL_BUILD_BENCH=ON

.PHONY: setup build test test-cpp test-python test-asan test-pythons demo bench-native bench \
  wheel test-wheel sdist test-sdist typecheck lint check-m32 format clean fuzz

setup:
	@tools/setup.sh

build: setup
	@$(CMAKE) -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

test-cpp: build
	@$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-python: build
	@PYTHONPATH=$(BUILD) $(PY) -m pytest -q tests/python

fuzz: build
	@VANTOREL_FUZZ_EXAMPLES=2000 VANTOREL_LEAK_OPS=1000000 PYTHONPATH=$(BUILD) $(PY) -m pytest -q \
	  -o faulthandler_timeout=3600 tests/python/test_stateful.py tests/python/test_leaks.py

test: test-cpp test-python

# The whole suite with AddressSanitizer and UndefinedBehaviorSanitizer: the
# C++ tests with leak detection, pytest with the sanitizer runtime preloaded.
ASAN_BUILD := build-asan
ASAN_LIB := $(shell gcc -print-file-name=libasan.so)
UBSAN_LIB := $(shell gcc -print-file-name=libubsan.so)
test-asan: setup
	@$(CMAKE) -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DVANTOREL_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@$(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp) UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  VANTOREL_SANITIZED=1 LD_PRELOAD="$(ASAN_LIB) $(UBSAN_LIB)" PYTHONPATH=$(ASAN_BUILD) \
	  $(PY) -m pytest -q -p no:cacheprovider tests/python

# The Python suite under every CPython 3.10+ that pyenv has, each with its own
# build of the module and its own virtual environment.
test-pythons: setup
	@JOBS=$(JOBS) CMAKE_FLAGS="$(BASE_CMAKE_FLAGS)" tools/test_pythons.sh

# A wheel in dist/, repaired on Linux into a manylinux one that carries
# nothing but the C and C++ runtimes from the system.
WHEEL_BUILD := build-wheel
wheel: setup
	@rm -rf dist/raw dist/*.whl
	@CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(PY) -m pip wheel --quiet --no-deps --wheel-dir dist/raw \
	  -C build-dir=$(WHEEL_BUILD) -C cmake.define.VANTOREL_ROARING=$(ROARING) \
	  -C cmake.define.VANTOREL_ROARING_SOURCE_DIR=$(ROARING_SOURCE) -C cmake.define.VANTOREL_WERROR=$(WERROR) .
	@if [ "$$(uname -s)" = Linux ]; then \
	  PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist dist/raw/*.whl; \
	else \
	  mv dist/raw/*.whl dist/; \
	fi
	@rm -rf dist/raw
	@ls dist/*.whl

# Installs the wheel into a fresh virtual environment and uses it from outside
# the source tree, type checker included.
test-wheel: wheel
	@tools/test_wheel.sh dist/*.whl

# A source distribution in dist/ that carries the pinned CRoaring's amalgamation
# and license (bundled in third_party/croaring/ while it is made), so that it
# builds offline.
sdist: setup
	@rm -rf dist/vantorel-*.tar.gz third_party/croaring
	@$(CMAKE) -DPython_EXECUTABLE=$(abspath $(PY)) -DVANTOREL_ROARING_SOURCE_DIR=$(ROARING_SOURCE) \
	  -P cmake/CRoaringSources.cmake
	@$(PY) -c 'from scikit_build_core.build import build_sdist; build_sdist("dist")'; \
	  status=$$?; rm -rf third_party/croaring; rmdir third_party 2>/dev/null; exit $$status
	@ls dist/vantorel-*.tar.gz

# Installs the source distribution into a fresh virtual environment without the
# network, and checks that configure stops, saying what to do, when it has
# neither the network nor CRoaring's sources.
test-sdist: sdist
	@JOBS=$(JOBS) tools/test_sdist.sh dist/vantorel-*.tar.gz

# The stubs against the built module, and the examples under mypy --strict.
typecheck: build
	@cd $(BUILD) && PYTHONPATH=$(abspath $(BUILD)):$(abspath stubs) $(abspath $(PY)) -m mypy.stubtest Vantorel \
	  --allowlist $(abspath stubs/stubtest-allowlist.txt)
	@PYTHONPATH=$(abspath stubs) $(PY) -m mypy --strict examples

# ruff, and the include graph of src/ (no include runs from a lower layer to a higher one).
lint: setup
	@$(VENV)/bin/ruff check tests bench examples tools
	@$(PY) tools/layers.py

# The pure C++ layer compiled for a 32-bit target (compiled, not run).
M32_BUILD := build-m32
check-m32: setup
	@tools/setup.sh g++-multilib
	@$(CMAKE) -S . -B $(M32_BUILD) $(BASE_CMAKE_FLAGS) -DVANTOREL_BUILD_MODULE=OFF \
	  -DCMAKE_C_FLAGS=-m32 -DCMAKE_CXX_FLAGS=-m32 >/dev/null
	@$(CMAKE) --build $(M32_BUILD) -j $(JOBS) --target vantorel_native

demo: build
	@PYTHONPATH=$(BUILD) $(PY) examples/quickstart.py

bench-native: build
	@$(BUILD)/bench_native

bench: build
	@$(PY) -m pip install --quiet pandas polars duckdb matplotlib || true
	@PYTHONPATH=$(BUILD) nice $(PY) bench/bench.py $(BENCH_ARGS)

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

# Every build directory the targets above make (test-pythons makes one per
# CPython, build-py3.N), and the wheels.
clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(M32_BUILD) $(WHEEL_BUILD) build-py3.* dist third_party/croaring
