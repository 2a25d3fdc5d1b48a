# `make test` builds everything from this checkout into .venv and runs the tests.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: test install clean demo

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(VENV)/bin/python
	$(PY) -m pip install --quiet '.[test]'

# The suite runs twice: with the fast paths and with the plain numpy steps.
test: install
	$(PY) -m pytest
	ORVO_FIELD_NO_FASTPATH=1 $(PY) -m pytest -q
	$(PY) -m mypy.stubtest orvo.field.geometry orvo.field.kernels

clean:
	rm -rf $(VENV) build

# `make demo` installs the package with the command-line tool (the `cli`
# extra: matplotlib, tqdm) and draws the sample harbour with a planned path;
# the last line it prints is the picture's path.
DEMO_PNG := build/demo/harbour.png
DEMO_ROUTE := 940,740:715,300

demo: $(VENV)/bin/python
	$(PY) -m pip install --quiet '.[cli]'
	@mkdir -p $(dir $(DEMO_PNG))
	$(VENV)/bin/orvo-field render --plan $(DEMO_ROUTE) --size 900x700 -o $(DEMO_PNG)

# `make bench` installs this checkout and the baselines, then runs benchmarks/run.py
# (pass options with BENCH_ARGS, e.g. `make bench BENCH_ARGS=--quick`).
.PHONY: bench
bench: install
	$(PY) -m pip install --quiet '.[bench]'
	$(PY) benchmarks/run.py $(BENCH_ARGS)
