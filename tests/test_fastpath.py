"""Fast paths give exactly what the numpy steps give.

The same queries run here and in a child interpreter started with
ORVO_FIELD_NO_FASTPATH=1; every answer must match bit for bit (signed zeros
and NaN payloads included), with the same dtype and shape, or fail with the
same exception.
"""

import os
import pickle
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from orvo.field.geometry import GeometryCollectionRGJ, _RGJ_TYPES
from orvo.field.geometry import polygon as polygon_module


def star(rng, n, radius, center):
    angles = np.sort(rng.uniform(0, 2 * np.pi, n))
    r = rng.uniform(0.5 * radius, radius, n)
    return np.column_stack([center[0] + r * np.cos(angles), center[1] + r * np.sin(angles)]).tolist()


def unaligned(a):
    """A copy of float array `a` whose data is not aligned for double loads."""
    a = np.asarray(a, dtype=np.float64)
    out = np.frombuffer(b"\0" + a.tobytes(), dtype=np.float64, offset=1).reshape(a.shape)
    assert not out.flags.aligned
    return out


def scene():
    rng = np.random.default_rng(7)
    aniso = [[2.0, 0.4], [0.4, 0.7]]
    return [
        {"type": "Point", "coordinates": [0.0, 0.0], "repulsion": aniso},
        {"type": "MultiPoint", "coordinates": star(rng, 9, 3, (8, 0))},
        {"type": "MultiPoint", "coordinates": [[0, 0], [2, 0], [1, 5]]},  # exact ties at x = 1
        {"type": "LineString", "coordinates": star(rng, 12, 3, (0, 8)), "repulsion": aniso},
        {"type": "MultiLineString", "coordinates": [star(rng, 5, 2, (10, 10)), [[12, 12]]]},
        {"type": "Polygon", "coordinates": [star(rng, 40, 5, (20, 0)), star(rng, 6, 1, (20, 0))]},
        {"type": "MultiPolygon", "coordinates": [[star(rng, 8, 2, (0, 20))], [star(rng, 8, 2, (6, 20))]],
         "repulsion": aniso},
        {"type": "MultiPoint", "coordinates": unaligned([[30, 0], [31, 1]]), "repulsion": unaligned(aniso)},
    ]


QUERIES = [
    [1.0, 2.0], [1, 0], (20.0, 0.5), [[1.0, 2.0], [8, 1], [20.0, 0.0], [1.0, 0.0]],
    np.array([3.0, 4.0]), np.array([[0.0, 21.0], [6.0, 20.0], [1e300, -1e300]]),
    np.array([[np.nan, 1.0], [np.inf, 0.0], [1.0, 1.0]]), np.array([[1, 2]]), [[1.5, True]], [],
    np.array([[1.0, 2.0, 3.0]]), np.asfortranarray([[1.0, 2.0], [3.0, 4.0]]),
    [[-0.0, -0.0]], np.array([[0.0, -0.0], [-0.0, 0.0]]),
    np.array([[np.inf, np.inf], [-np.inf, 1.0], [1.0, -np.inf], [-np.nan, 2.0]]),
    unaligned([[1.0, 2.0], [20.0, 0.5], [30.5, 0.5]]), unaligned([3.0, 4.0]),
]
METHODS = [("repulsion_vector", {}), ("repulsion_vector", {"min_dist_select": False}), ("squared_dist", {}),
           ("squared_dist", {"scaled": False}), ("eval", {})]
COLLECTION_METHODS = [("squared_dist", {"return_reference": True}), ("gradient", {})]


def answers():
    geometries = [_RGJ_TYPES[g["type"]](**g) for g in scene()]
    geometries.append(GeometryCollectionRGJ(geometries=scene()))
    geometries.append(GeometryCollectionRGJ(geometries=[{"type": "Point", "coordinates": [0.0, 0.0]}]))
    calls = []
    for geometry in geometries:
        extra = COLLECTION_METHODS if isinstance(geometry, GeometryCollectionRGJ) else []
        for x in QUERIES:
            for name, kwargs in METHODS + extra:
                try:
                    result = getattr(geometry, name)(x, **kwargs)
                except Exception as exc:  # the exception itself is part of the answer
                    result = (type(exc).__name__, str(exc))
                calls.append((f"{type(geometry).__name__}.{name}({x!r}, **{kwargs})", result))
    return calls


def test_fast_paths_match_the_numpy_steps(tmp_path):
    script = tmp_path / "answers.py"
    script.write_text(
        "import pickle, sys, warnings\n"
        "warnings.simplefilter('error')\n"
        f"sys.path.insert(0, {str(tmp_path)!r})\n"
        "import test_fastpath_child as t\n"
        "sys.stdout.buffer.write(pickle.dumps(t.answers()))\n")
    (tmp_path / "test_fastpath_child.py").write_text(Path(__file__).read_text())
    env = dict(os.environ, ORVO_FIELD_NO_FASTPATH="1")
    done = subprocess.run([sys.executable, str(script)], capture_output=True, env=env, check=True)
    slow, fast = pickle.loads(done.stdout), answers()
    assert len(slow) == len(fast)
    for (call, s), (_, f) in zip(slow, fast):
        if isinstance(s, tuple) and isinstance(s[0], np.ndarray):
            assert isinstance(f, tuple) and len(f) == 2 and all(map(same_bits, s, f)), call
        elif isinstance(s, np.ndarray):
            assert same_bits(s, f), (call, s, f)
        else:
            assert f == s, call


def same_bits(a, b):
    return (isinstance(b, np.ndarray) and a.dtype == b.dtype and a.shape == b.shape
            and np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes())


def test_replaced_kernels_are_called(monkeypatch):
    calls, real = [], polygon_module.kernels

    class Spy:
        def __getattr__(self, name):
            return lambda *args: calls.append(name) or getattr(real, name)(*args)

    poly = _RGJ_TYPES["Polygon"](coordinates=[[0, 0], [4, 0], [4, 4], [0, 4]])
    monkeypatch.setitem(vars(polygon_module), "kernels", Spy())
    assert poly.repulsion_vector([5.0, 5.0]).tolist() == [[1.0, 1.0]]
    assert calls == ["point_in_rings", "segment_repulsion_vectors"]
