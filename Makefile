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

test: install
	$(PY) -m pytest

clean:
	rm -rf $(VENV) build
