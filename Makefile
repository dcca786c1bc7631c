# make demo   builds the extension and runs examples/quickstart.py
# make test   builds everything and runs the C++ and Python test suites
# Both install what they need first (tools/setup.sh).

VENV   := .venv
PY     := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
BUILD  := build
JOBS   ?= 2
CMAKE_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
  -DPython_EXECUTABLE=$(abspath $(PY)) -DVANTOREL_BUILD_TESTS=ON -DVANTOREL_BUILD_BENCH=ON

.PHONY: setup build test test-cpp test-python test-asan demo bench-native bench format clean

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

demo: build
	@PYTHONPATH=$(BUILD) $(PY) examples/quickstart.py

bench-native: build
	@$(BUILD)/bench_native

bench: build
	@$(PY) -m pip install --quiet pandas polars duckdb matplotlib || true
	@PYTHONPATH=$(BUILD) nice $(PY) bench/bench.py $(BENCH_ARGS)

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
