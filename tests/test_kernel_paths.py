"""The kernels' fast paths (SIMD loops, segment tree, band index, threads)
give exactly the rows of the plain brute force, whatever path the sizes pick."""

import numpy as np
import pytest

from orvo.field import kernels
from test_kernels import METRICS, brute_vectors, segments


def brute_chunked(x, p1, v, vdv, metric):
    return np.concatenate([brute_vectors(x[i:i + 400], p1, v, vdv, metric) for i in range(0, len(x), 400)])


def crossing_inside(x, outer, holes):
    """The even-odd crossing rule of the kernel, written out with numpy."""

    def parity(ring):
        ring = np.asarray(ring, dtype=np.float64)
        if len(ring) < 3:
            return np.zeros(len(x), dtype=bool)
        xi, yi = ring[:, 0], ring[:, 1]
        xj, yj = np.roll(xi, 1), np.roll(yi, 1)
        px, py = x[:, :1], x[:, 1:]
        with np.errstate(invalid="ignore", over="ignore"):
            lhs, rhs = (px - xi) * (yj - yi), (xj - xi) * (py - yi)
            cross = ((yi > py) != (yj > py)) & np.where(yj > yi, lhs < rhs, lhs > rhs)
        return cross.sum(axis=1) % 2 == 1

    inside = parity(outer)
    for h in holes:
        inside &= ~parity(h)
    return inside


@pytest.fixture(params=["1", "2"], ids=["one-thread", "two-threads"])
def threads(request, monkeypatch):
    monkeypatch.setenv("ORVO_FIELD_NUM_THREADS", request.param)
    return int(request.param)


def polyline(rng, s, integer=False):
    steps = rng.integers(-2, 3, (s + 1, 2)) if integer else rng.normal(0, 1, (s + 1, 2))
    walk = np.cumsum(steps, axis=0).astype(np.float64)
    return walk[:-1], walk[1:]


SHAPES = {
    "walk": lambda rng, s: polyline(rng, s),
    "grid-walk": lambda rng, s: polyline(rng, s, integer=True),  # duplicates, collinear, axis-parallel, ties
    "soup": lambda rng, s: (lambda a: (a, a + rng.normal(0, 0.5, a.shape)))(rng.uniform(-20, 20, (s, 2))),
}


SIZES = [(37, 9), (600, 300), (20, 3000), (2000, 2500), (12000, 400)]  # SIMD, tree, SIMD, tree, threads


@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("metric", METRICS.values(), ids=METRICS.keys())
@pytest.mark.parametrize("n, s", SIZES)
def test_segment_paths_match_brute_force(shape, metric, n, s, threads):
    if threads == 2 and n * s < 10**6:
        pytest.skip("single-threaded at this size")
    rng = np.random.default_rng(n + s)
    starts, ends = SHAPES[shape](rng, s)
    p1, v, vdv = segments(starts, ends)
    lo, hi = np.minimum(starts.min(0), ends.min(0)) - 2, np.maximum(starts.max(0), ends.max(0)) + 2
    x = rng.uniform(lo, hi, (n, 2))
    if shape == "grid-walk":
        x = np.round(x * 2) / 2  # on vertices, on segments and at exact ties
    x[::7] = np.sort(x[::7], axis=0)  # some runs in scan order, as from a raster
    np.testing.assert_array_equal(kernels.segment_repulsion_vectors(x, p1, v, vdv, metric), brute_chunked(x, p1, v, vdv, metric))


@pytest.mark.parametrize("metric", [np.array([[1.0, 0.0], [0.0, -1.0]]), np.zeros((2, 2)), np.array([[1e-300, 0], [0, 1e300]])])
def test_degenerate_metrics_still_match(metric):
    rng = np.random.default_rng(3)
    p1, v, vdv = segments(*polyline(rng, 800))
    x = rng.uniform(-20, 20, (700, 2))
    np.testing.assert_array_equal(kernels.segment_repulsion_vectors(x, p1, v, vdv, metric), brute_chunked(x, p1, v, vdv, metric))


@pytest.mark.parametrize("s", [5, 2000])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_queries_give_nan_rows(s, bad, threads):
    rng = np.random.default_rng(s)
    p1, v, vdv = segments(*polyline(rng, s))
    x = rng.uniform(-5, 5, (3000, 2))
    x[5, 0] = x[9, 1] = x[2999] = bad
    out = kernels.segment_repulsion_vectors(x, p1, v, vdv, np.eye(2))
    rows = np.isnan(out).any(axis=1)
    assert np.array_equal(rows, ~np.isfinite(x).all(axis=1)) and np.isnan(out[rows]).all()


def star(rng, n, radius, center=(0.0, 0.0)):
    angles = np.sort(rng.uniform(0, 2 * np.pi, n))
    r = rng.uniform(0.4 * radius, radius, n)
    return np.column_stack([center[0] + r * np.cos(angles), center[1] + r * np.sin(angles)])


@pytest.mark.parametrize("vertices", [5, 40, 300, 2000])
@pytest.mark.parametrize("n", [3, 17, 2000])
def test_ring_paths_match_the_crossing_rule(vertices, n, threads):
    rng = np.random.default_rng(vertices * n)
    outer = star(rng, vertices, 10.0)
    holes = [star(rng, max(3, vertices // 3), 2.0, (3.0, 0.0)), star(rng, 4, 1.5, (-4.0, 1.0))]
    # Random points, the vertices themselves, edge midpoints and points level with vertices.
    k = min(n // 2, vertices)
    x = np.concatenate([rng.uniform(-11, 11, (n, 2)), outer[:k], (outer + np.roll(outer, 1, axis=0))[:k] / 2,
                        np.column_stack([rng.uniform(-11, 11, k), outer[:k, 1]])])
    np.testing.assert_array_equal(kernels.point_in_rings(x, outer, holes), crossing_inside(x, outer, holes))


def test_band_index_with_overlapping_and_outside_holes():
    rng = np.random.default_rng(11)
    outer = star(rng, 400, 10.0)
    holes = [star(rng, 100, 3.0), star(rng, 100, 3.0, (1.0, 0.5)), star(rng, 80, 4.0, (11.0, 0.0))]
    x = rng.uniform(-15, 15, (5000, 2))
    np.testing.assert_array_equal(kernels.point_in_rings(x, outer, holes), crossing_inside(x, outer, holes))


@pytest.mark.parametrize("vertices", [6, 500])
def test_non_finite_points_are_outside(vertices):
    outer = star(np.random.default_rng(1), vertices, 10.0)
    x = np.array([[0.0, 0.0], [np.nan, 0.0], [0.0, np.nan], [np.inf, 0.0], [-np.inf, 0.0], [0.0, np.inf]] * 8)
    inside = kernels.point_in_rings(x, outer, [])
    assert not inside[np.isnan(x).any(axis=1) | np.isinf(x).any(axis=1)].any()


def test_thread_setting_is_read_at_every_call(monkeypatch):
    rng = np.random.default_rng(2)
    p1, v, vdv = segments(*polyline(rng, 600))
    x = rng.uniform(-20, 20, (30000, 2))
    results = []
    for setting in ["1", "2", "0", "junk"]:  # invalid values fall back to the core count
        monkeypatch.setenv("ORVO_FIELD_NUM_THREADS", setting)
        results.append(kernels.segment_repulsion_vectors(x, p1, v, vdv, METRICS["aniso"]))
    for r in results[1:]:
        np.testing.assert_array_equal(r, results[0])


def test_ctrl_c_interrupts_a_long_call():
    import signal
    import subprocess
    import sys
    import time

    code = """
import signal, sys, time, numpy as np
from orvo.field import kernels
# A process started in the background inherits SIGINT ignored; Python then installs no handler.
signal.signal(signal.SIGINT, signal.default_int_handler)
rng = np.random.default_rng(0)
p1 = rng.uniform(-1, 1, (200, 2)); v = rng.normal(0, 0.1, (200, 2)); vdv = (v * v).sum(1)
x = rng.uniform(-1, 1, (20_000_000, 2))
start = time.perf_counter()
try:  # the signal can come at any point after "ready", even on a loaded machine
    print("ready", flush=True)
    kernels.segment_repulsion_vectors(x, p1, v, vdv, np.eye(2))
    print("finished", round(time.perf_counter() - start, 2), flush=True)
except KeyboardInterrupt:
    print("interrupted", round(time.perf_counter() - start, 2), flush=True)
"""
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    time.sleep(0.5)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=60)
    word, seconds = out.split()
    assert word == "interrupted" and float(seconds) < 5.0
