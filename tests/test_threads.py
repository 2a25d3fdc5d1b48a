"""Geometries shared between threads answer exactly as they do in one thread.

The kernels release the interpreter lock, so several threads really do read
the same geometry (and the same argument buffers) at once.
"""

import pickle
import threading

import numpy as np

from orvo.field import kernels
from orvo.field.geometry import _RGJ_TYPES, GeometryCollectionRGJ

THREADS, QUERIES = 8, 200


def ring(rng, n, radius, center):
    angles = np.sort(rng.uniform(0, 2 * np.pi, n))
    r = rng.uniform(0.6 * radius, radius, n)
    return np.column_stack([center[0] + r * np.cos(angles), center[1] + r * np.sin(angles)]).tolist()


def shared_geometries(rng):
    aniso = [[2.0, 0.3], [0.3, 0.8]]
    members = [
        {"type": "Point", "coordinates": [0.0, 0.0], "repulsion": aniso},
        {"type": "MultiPoint", "coordinates": ring(rng, 20, 3, (8, 0))},
        {"type": "LineString", "coordinates": ring(rng, 300, 4, (0, 9)), "repulsion": aniso},
        {"type": "MultiLineString", "coordinates": [ring(rng, 50, 2, (10, 10)), ring(rng, 50, 2, (14, 10))]},
        # Large enough for the segment tree and the band index.
        {"type": "Polygon", "coordinates": [ring(rng, 3000, 6, (20, 0)), ring(rng, 200, 2, (20, 0))]},
        {"type": "MultiPolygon", "coordinates": [[ring(rng, 40, 2, (0, 20))], [ring(rng, 40, 2, (6, 20))]]},
    ]
    geometries = [_RGJ_TYPES[m["type"]](**m) for m in members]
    return geometries + [GeometryCollectionRGJ(geometries=members)]


def query_plan(rng):
    """QUERIES zero-argument calls on the shared geometries and the kernels."""
    geometries = shared_geometries(rng)
    polygon = geometries[4]
    points = rng.uniform(-5, 30, (400, 2))
    outer, hole = np.asarray(polygon.rings[0]), np.asarray(polygon.rings[1])
    calls = {
        "repulsion_vector": lambda g, x: g.repulsion_vector(x),
        "squared_dist": lambda g, x: g.squared_dist(x),
        "eval": lambda g, x: g.eval(x),
        "in_bbox": lambda g, x: g.in_bbox(x),
        "toRGeoJSON": lambda g, x: g.toRGeoJSON(),
        "pickle": lambda g, x: pickle.loads(pickle.dumps(g)).eval(x),
        "kernel": lambda g, x: kernels.point_in_rings(np.reshape(x, (-1, 2)), outer, [hole]),
        "gradient": lambda g, x: geometries[-1].gradient(x),
        "reference": lambda g, x: geometries[-1].squared_dist(x, return_reference=True),
    }
    plan = []
    for k in range(QUERIES):
        g, call = geometries[k % len(geometries)], list(calls.values())[k % len(calls)]
        x = points[k % 7::7] if k % 3 else points[k]  # many points, or one point
        plan.append(lambda g=g, x=x, call=call: call(g, x))
    return plan


def same(a, b):
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b, equal_nan=True)
    if isinstance(a, (tuple, list)):
        return type(a) is type(b) and len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return a == b


def test_threads_sharing_geometries_match_serial_answers():
    plan = query_plan(np.random.default_rng(3))
    serial = [q() for q in plan]
    results = [None] * THREADS
    start = threading.Barrier(THREADS)

    def worker(t):
        order = np.random.default_rng(t).permutation(len(plan))  # threads meet on different objects
        start.wait()
        answers = {int(i): plan[i]() for i in order}
        results[t] = [answers[i] for i in range(len(plan))]

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for t, answers in enumerate(results):
        assert answers is not None, f"thread {t} failed"
        mismatched = [i for i, (a, b) in enumerate(zip(serial, answers)) if not same(a, b)]
        assert not mismatched, f"thread {t} differs at queries {mismatched[:5]}"


def test_threads_with_kernel_threads_inside(monkeypatch):
    # Each call may itself split its loop over worker threads.
    monkeypatch.setenv("ORVO_FIELD_NUM_THREADS", "2")
    rng = np.random.default_rng(5)
    polygon = shared_geometries(rng)[4]
    points = rng.uniform(10, 30, (4000, 2))  # above the size that starts kernel threads
    expected = polygon.repulsion_vector(points)
    results = []

    def worker():
        results.append(all(np.array_equal(polygon.repulsion_vector(points), expected) for _ in range(3)))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [True] * 4
