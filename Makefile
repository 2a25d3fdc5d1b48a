# `make test` builds everything from this checkout into .venv and runs the tests.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: test install clean

$(VENV)/bin/python:
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

install: $(VENV)/bin/python
	$(PY) -m pip install --quiet '.[test]'

# The suite runs twice: with the fast paths and with the plain numpy steps.
test: install
	$(PY) -m pytest
	ORVO_FIELD_NO_FASTPATH=1 $(PY) -m pytest -q

clean:
	rm -rf $(VENV) build

# `make bench` installs this checkout and the baselines, then runs benchmarks/run.py
# (pass options with BENCH_ARGS, e.g. `make bench BENCH_ARGS=--quick`).
.PHONY: bench
bench: install
	$(PY) -m pip install --quiet '.[bench]'
	$(PY) benchmarks/run.py $(BENCH_ARGS)
