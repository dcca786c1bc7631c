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

.PHONY: setup build test test-cpp test-python demo bench-native bench format clean

setup:
	@tools/setup.sh

build: setup
	@$(CMAKE) -S . -B $(BUILD) $(CMAKE_FLAGS) >/dev/null
	@$(CMAKE) --build $(BUILD) -j $(JOBS)

test-cpp: build
	@$(VENV)/bin/ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-python: build
	@PYTHONPATH=$(BUILD) $(PY) -m pytest -q tests/python

test: test-cpp test-python

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
