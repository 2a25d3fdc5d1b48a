# `make test` builds everything from this checkout into .venv and runs the tests.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: test install clean demo check

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(VENV)/bin/python
	$(PY) -m pip install --quiet '.[test]' -C cmake.define.ORVO_FIELD_WERROR=ON

# The suite runs twice: with the fast paths and with the plain numpy steps.
test: install
	$(PY) -m pytest
	ORVO_FIELD_NO_FASTPATH=1 $(PY) -m pytest -q
	$(PY) -m mypy.stubtest orvo.field.geometry orvo.field.kernels

# `make check` is the quick loop while working: one run of the suite with the
# fast paths, no second run without them and no stub check.
check: install
	$(PY) -m pytest -q

clean:
	rm -rf $(VENV) $(SAN_VENV) build

# `make sanitize` builds the native modules with AddressSanitizer and
# UndefinedBehaviorSanitizer into their own environment and runs the whole
# suite under them. The interpreter is not instrumented: the ASan runtime is
# preloaded and Python's own allocator is swapped for malloc so that ASan sees
# every allocation. Leak detection stays off (the interpreter keeps memory
# alive at exit on purpose); tests/test_leaks.py looks for leaks instead.
# `make fuzz` runs the fuzz targets with 10^4 examples each, and the GC stress
# at every event with several seeds, under that build.
SAN_VENV := .venv-sanitize
SAN_PY := $(SAN_VENV)/bin/python
CXX ?= g++
SAN_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: sanitize-install sanitize fuzz

$(SAN_VENV)/bin/python:
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install --quiet --upgrade pip

sanitize-install: $(SAN_VENV)/bin/python
	$(SAN_PY) -m pip install --quiet '.[test]' -C cmake.define.ORVO_FIELD_SANITIZE=ON -C cmake.define.ORVO_FIELD_WERROR=ON \
		-C build-dir=build/sanitize -C cmake.build-type=RelWithDebInfo

sanitize: sanitize-install
	$(SAN_ENV) $(SAN_PY) -m pytest -q -p no:cacheprovider --capture=sys

fuzz: sanitize-install
	$(SAN_ENV) HYPOTHESIS_PROFILE=fuzz $(SAN_PY) -m pytest -q -p no:cacheprovider --capture=sys \
		tests/test_fuzz.py tests/test_fuzz_files.py tests/test_gc_stress.py

# `make demo` installs the package with the command-line tool (the `cli`
# extra: matplotlib, tqdm) and draws the sample harbour with a planned path;
# the last line it prints is the picture's path. The route ends behind the fuel pier,
# where the grid planner goes and the field planner is stuck; both paths are drawn.
DEMO_PNG := build/demo/harbour.png
DEMO_ROUTE := 600,700:805,250

demo: $(VENV)/bin/python
	$(PY) -m pip install --quiet '.[cli]'
	@mkdir -p $(dir $(DEMO_PNG))
	$(VENV)/bin/orvo-field render --plan $(DEMO_ROUTE) --compare-field --size 900x700 -o $(DEMO_PNG)

# `make bench` installs this checkout and the baselines, then runs benchmarks/run.py
# (pass options with BENCH_ARGS, e.g. `make bench BENCH_ARGS=--quick`).
.PHONY: bench
bench: install
	$(PY) -m pip install --quiet '.[bench]'
	$(PY) benchmarks/run.py $(BENCH_ARGS)
