# quillora developer commands. `make demo` and `make test` set everything up from scratch.
VENV    := .venv
PY      := $(VENV)/bin/python
NATIVE  := build/native
BENCH   := build/bench
SOURCES := $(wildcard src/* ext/* series/native/* series/quillora_series/* tests/native/*) CMakeLists.txt pyproject.toml
BUILD_TOOLS := "scikit-build-core>=0.10" "numpy>=2.0" "nanobind>=2.2" "cmake>=3.26" ninja
CMAKE_NATIVE = $(VENV)/bin/cmake -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
               -DCMAKE_BUILD_TYPE=Release -DQUILLORA_EXTENSION=OFF

.PHONY: all demo test test-native test-python bench wheel clean distclean
all: test

$(VENV)/.ready: tests/requirements.txt Makefile
	@boot=$$(tools/find-python) && echo "bootstrapping $(VENV) with $$boot" && "$$boot" -m venv --clear $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet $(BUILD_TOOLS) -r tests/requirements.txt
	touch $@

# One abi3 wheel, built once and installed into the venv; CI installs the same file elsewhere.
build/.wheel: $(VENV)/.ready $(SOURCES)
	rm -rf dist
	$(PY) -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir dist .
	$(PY) -m pip install --quiet --no-deps --force-reinstall dist/quillora-*.whl
	touch $@
wheel: build/.wheel

demo: build/.wheel
	$(PY) examples/demo.py

test-native: $(VENV)/.ready
	$(CMAKE_NATIVE) -B $(NATIVE) -DQUILLORA_NATIVE_TESTS=ON >/dev/null
	$(VENV)/bin/cmake --build $(NATIVE)
	$(VENV)/bin/ctest --test-dir $(NATIVE) --output-on-failure

test-python: build/.wheel test-native
	QUILLORA_NATIVE_BUILD=$(abspath $(NATIVE)) $(PY) -m pytest

test: test-native test-python

bench: build/.wheel
	$(CMAKE_NATIVE) -B $(BENCH) -DQUILLORA_BENCH=ON >/dev/null
	$(VENV)/bin/cmake --build $(BENCH)
	$(BENCH)/bench/bench_kernels
	$(BENCH)/bench/bench_tables
	$(PY) bench/bench_calls.py

clean:
	rm -rf build dist .pytest_cache .hypothesis

distclean: clean
	rm -rf $(VENV)
