"""Shared fixtures for the geometry tests."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import HealthCheck, settings

from orvo.field.geometry import MultiPointRGJ, PointRGJ

# Property tests: a short derandomised run by default, a long random search with HYPOTHESIS_PROFILE=fuzz.
_NOISY = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("ci", max_examples=200, derandomize=True, deadline=None, database=None,
                          suppress_health_check=_NOISY)
settings.register_profile("fuzz", max_examples=10_000, deadline=None, database=None, print_blob=True,
                          suppress_health_check=_NOISY)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))

FIELDS = ("coordinates", "repulsion", "inv_repulsion", "eye_repulsion", "grad_matrix", "properties", "bbox")
MEMBERS = tuple(sorted(FIELDS))  # pickle state order


def _run_isolated(code, timeout=120):
    """Run a Python snippet in a fresh interpreter: (returncode, stdout, stderr).

    A crash (segfault, abort) shows up as a non-zero/negative return code
    instead of taking the whole test run down.
    """
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture
def run_isolated():
    return _run_isolated


@pytest.fixture
def point():
    return PointRGJ(coordinates=[1.0, 1.0])


@pytest.fixture
def aniso_point():
    return PointRGJ(coordinates=[1.0, -2.0], repulsion=[[2.0, 0.5], [0.5, 1.0]], properties={"name": "p"})


@pytest.fixture
def multi():
    return MultiPointRGJ(coordinates=[[0, 0], [10, 0], [4, 3]])


def fields_of(obj):
    return {name: getattr(obj, name) for name in FIELDS}


def assert_fields_equal(a, b):
    for name in FIELDS:
        x, y = getattr(a, name), getattr(b, name)
        if isinstance(x, np.ndarray):
            assert isinstance(y, np.ndarray) and y.dtype == x.dtype, name
            np.testing.assert_array_equal(x, y, err_msg=name)
        else:
            assert x == y, name
