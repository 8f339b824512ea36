# quillora developer commands. `make demo` and `make test` set everything up from scratch.
VENV    := .venv
PY      := $(VENV)/bin/python
NATIVE  := build/native
BENCH   := build/bench
SOURCES := $(wildcard src/* ext/* ext/*/* series/native/* series/quillora_series/* tests/native/*) CMakeLists.txt pyproject.toml
BUILD_TOOLS := "scikit-build-core>=0.10" "numpy>=2.0" "nanobind>=2.2" "cmake>=3.26" ninja
CMAKE_NATIVE = $(VENV)/bin/cmake -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
               -DCMAKE_BUILD_TYPE=Release -DQUILLORA_EXTENSION=OFF

.PHONY: all demo test test-native test-python sanitize bench wheel clean distclean
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

# The same suite with AddressSanitizer and UndefinedBehaviorSanitizer, in a venv and build tree of
# its own so that it never touches `make test`'s. The interpreter is not instrumented, so its
# runtime comes first by preloading; it leaks by design, so leak reports are off.
SAN_VENV := .venv-sanitize
SAN_PY   := $(SAN_VENV)/bin/python
SAN      := build/sanitize
SANITIZE_PYTHON ?=
SAN_OPTIONS := ASAN_OPTIONS=halt_on_error=1:detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

$(SAN_VENV)/.ready: tests/requirements.txt Makefile
	@boot=$${SANITIZE_PYTHON:-$$(tools/find-python)} && echo "bootstrapping $(SAN_VENV) with $$boot" && \
		"$$boot" -m venv --clear $(SAN_VENV)
	$(SAN_PY) -m pip install --quiet --upgrade pip
	$(SAN_PY) -m pip install --quiet $(BUILD_TOOLS) -r tests/requirements.txt
	touch $@

$(SAN)/.wheel: $(SAN_VENV)/.ready $(SOURCES)
	rm -rf $(SAN)/dist
	$(SAN_PY) -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir $(SAN)/dist \
		-C build-dir=$(SAN)/wheel -C cmake.define.QUILLORA_SANITIZE=ON .
	$(SAN_PY) -m pip install --quiet --no-deps --force-reinstall $(SAN)/dist/quillora-*.whl
	touch $@

sanitize: $(SAN)/.wheel
	$(SAN_VENV)/bin/cmake -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(SAN_VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Release -DQUILLORA_EXTENSION=OFF -DQUILLORA_SANITIZE=ON \
		-B $(SAN)/native -DQUILLORA_NATIVE_TESTS=ON >/dev/null
	$(SAN_VENV)/bin/cmake --build $(SAN)/native
	$(SAN_OPTIONS) $(SAN_VENV)/bin/ctest --test-dir $(SAN)/native --output-on-failure
	LD_PRELOAD=$$(g++ -print-file-name=libasan.so) $(SAN_OPTIONS) QUILLORA_NATIVE_BUILD=$(abspath $(SAN)/native) \
		$(SAN_PY) -m pytest -p no:cacheprovider

bench: build/.wheel
	$(CMAKE_NATIVE) -B $(BENCH) -DQUILLORA_BENCH=ON >/dev/null
	$(VENV)/bin/cmake --build $(BENCH)
	$(BENCH)/bench/bench_kernels
	$(PY) bench/bench_calls.py

clean:
	rm -rf build dist .pytest_cache .hypothesis

distclean: clean
	rm -rf $(VENV) $(SAN_VENV)
