"""Deterministic benchmark inputs: rings, polylines, query points and scenes.

Every generator takes an explicit seed, so a subprocess rebuilds exactly the
data the parent process timed.
"""

from __future__ import annotations

import numpy as np

# Seeds of the individual inputs; fixed so that runs are comparable.
SEED_RING = 11
SEED_COAST = 12
SEED_QUERIES = 13
SEED_POLYGON = 14
SEED_SHAPES = 15
SEED_SCENE = 16

ANISOTROPIC = np.array([[2.0, 0.6], [0.6, 0.5]])
METRICS = {"identity": np.eye(2), "anisotropic": ANISOTROPIC}


def blob_ring(k: int, rng: np.random.Generator, *, center=(0.0, 0.0), scale=1.0, wobble=0.15, noise=0.05):
    """An open ring of ``k`` vertices, star-shaped around ``center``.

    The radius is 1 plus a few random low-frequency modes (``wobble``) plus
    per-vertex noise (``noise``); angles are jittered but increasing, so the
    ring is simple. With the defaults every vertex lies at radius >= 0.61 and
    every edge stays beyond 0.57 (for k >= 16) of the centre, so a ring of
    scale <= 0.4 around the centre fits inside as a hole.
    """
    theta = 2.0 * np.pi * (np.arange(k) + rng.uniform(0.0, 0.8, k)) / k
    r = np.ones(k)
    for m in range(1, 6):
        r += wobble * rng.uniform(-1.0, 1.0) / m * np.sin(m * theta + rng.uniform(0.0, 2.0 * np.pi))
    r += noise * rng.uniform(-1.0, 1.0, k)
    ring = np.empty((k, 2))
    ring[:, 0] = center[0] + scale * r * np.cos(theta)
    ring[:, 1] = center[1] + scale * r * np.sin(theta)
    return ring


def closed(ring: np.ndarray) -> np.ndarray:
    """The ring with its first vertex repeated at the end (GeoJSON style)."""
    return np.vstack([ring, ring[:1]])


def segments_of(vertices: np.ndarray, *, close: bool):
    """Kernel segment arrays (p1, v, vdv) of a polyline, closed or open."""
    if close:
        p1 = vertices
        p2 = np.roll(vertices, -1, axis=0)
    else:
        p1, p2 = vertices[:-1], vertices[1:]
    p1 = np.ascontiguousarray(p1)
    v = np.ascontiguousarray(p2 - p1)
    vdv = np.einsum("ij,ij->i", v, v)
    vdv[vdv <= 0.0] = 1.0
    return p1, v, vdv


def star_polyline(segments: int) -> np.ndarray:
    """A spiky random star polygon's ``segments`` vertices (an open ring)."""
    rng = np.random.default_rng([SEED_RING, segments])
    return blob_ring(segments, rng, noise=0.3)


def coastline(segments: int) -> np.ndarray:
    """A coastline-like open polyline of ``segments`` segments.

    A random walk of unit steps whose heading itself random-walks, so the
    line meanders and folds back on itself at every scale.
    """
    rng = np.random.default_rng([SEED_COAST, segments])
    heading = np.cumsum(rng.normal(0.0, 0.35, segments))
    steps = np.column_stack([np.cos(heading), np.sin(heading)]) * rng.uniform(0.5, 1.5, (segments, 1))
    return np.vstack([np.zeros((1, 2)), np.cumsum(steps, axis=0)])


def enlarged_bbox(points: np.ndarray, factor: float = 1.2):
    lo, hi = points.min(axis=0), points.max(axis=0)
    mid, half = (lo + hi) / 2.0, (hi - lo) / 2.0 * factor
    return mid - half, mid + half


def uniform_queries(points: np.ndarray, n: int, salt: int = 0) -> np.ndarray:
    """``n`` query points uniform over the bounding box of ``points`` enlarged by 20%."""
    lo, hi = enlarged_bbox(points)
    rng = np.random.default_rng([SEED_QUERIES, len(points), salt])
    return np.ascontiguousarray(rng.uniform(lo, hi, (n, 2)))


def raster(points: np.ndarray, side: int) -> np.ndarray:
    """A side x side raster over the enlarged bounding box, scanned row by row."""
    lo, hi = enlarged_bbox(points)
    xs = np.linspace(lo[0], hi[0], side)
    ys = np.linspace(lo[1], hi[1], side)
    gx, gy = np.meshgrid(xs, ys)  # rows of constant y, x increasing along a row
    return np.ascontiguousarray(np.column_stack([gx.ravel(), gy.ravel()]))


def shuffled(points: np.ndarray) -> np.ndarray:
    rng = np.random.default_rng([SEED_QUERIES, len(points), 99])
    return np.ascontiguousarray(points[rng.permutation(len(points))])


def polygon_with_hole(vertices: int):
    """(outer, hole) open rings: ``vertices`` outer vertices, a hole of max(8, vertices // 4)."""
    rng = np.random.default_rng([SEED_POLYGON, vertices])
    outer = blob_ring(vertices, rng)
    hole = blob_ring(max(8, vertices // 4), rng, scale=0.35, wobble=0.1, noise=0.05)
    return outer, hole


def hole_vertices(vertices: int) -> int:
    return max(8, vertices // 4)


# ---------------------------------------------------------------------------
# Geometry dictionaries for the latency and grid scenes.


def _walk(rng, k, start, step):
    return (np.asarray(start) + np.cumsum(rng.normal(0.0, step, (k, 2)), axis=0)).tolist()


def latency_shapes():
    """name -> (geometry dictionary, query point) for the single-point latency cases."""
    rng = np.random.default_rng(SEED_SHAPES)
    poly_a = [closed(blob_ring(50, rng)).tolist(), closed(blob_ring(12, rng, scale=0.3)).tolist()]
    poly_b = [closed(blob_ring(50, rng, center=(3.0, 0.5), scale=0.8)).tolist()]
    aniso = ANISOTROPIC.tolist()
    shapes = {
        "PointRGJ": ({"type": "Point", "coordinates": [0.3, -0.2], "repulsion": aniso}, [1.1, 0.7]),
        "MultiPointRGJ (10 points)": (
            {"type": "MultiPoint", "coordinates": rng.uniform(-1.0, 1.0, (10, 2)).tolist()},
            [1.4, 0.3],
        ),
        "LineStringRGJ (10 vertices)": (
            {"type": "LineString", "coordinates": _walk(rng, 10, (-1.0, 0.0), 0.3), "repulsion": aniso},
            [0.5, 1.5],
        ),
        "MultiLineStringRGJ (3 x 10 vertices)": (
            {"type": "MultiLineString", "coordinates": [_walk(rng, 10, (0.0, k), 0.3) for k in range(3)]},
            [2.5, 1.0],
        ),
        "PolygonRGJ (50 vertices + hole)": ({"type": "Polygon", "coordinates": poly_a}, [1.6, -0.4]),
        "MultiPolygonRGJ (2 polygons)": (
            {"type": "MultiPolygon", "coordinates": [poly_a, poly_b], "repulsion": aniso},
            [1.9, 1.3],
        ),
    }
    return shapes


def collection_members(rng, polygon_vertices: int, hole_count: int, hole_size: int):
    """Geometry dictionaries of a mixed scene around one large polygon with holes."""
    outer = closed(blob_ring(polygon_vertices, rng, noise=0.01))
    holes = []
    for h in range(hole_count):
        angle = 2.0 * np.pi * h / max(1, hole_count)
        c = (0.3 * np.cos(angle), 0.3 * np.sin(angle)) if hole_count > 1 else (0.0, 0.0)
        holes.append(closed(blob_ring(hole_size, rng, center=c, scale=0.1, noise=0.02)).tolist())
    return [
        {"type": "Polygon", "coordinates": [outer.tolist(), *holes], "repulsion": [[1.0, 0.0], [0.0, 1.0]]},
        {"type": "Point", "coordinates": [1.8, 1.8], "repulsion": [[0.5, 0.0], [0.0, 0.5]]},
        {"type": "MultiPoint", "coordinates": rng.uniform(-2.0, -1.3, (20, 2)).tolist()},
        {"type": "LineString", "coordinates": _walk(rng, 200, (1.4, -1.8), 0.05), "repulsion": ANISOTROPIC.tolist()},
        {
            "type": "Polygon",
            "coordinates": [closed(blob_ring(50, rng, center=(-1.7, 1.6), scale=0.3)).tolist()],
            "repulsion": [[2.0, 0.0], [0.0, 2.0]],
        },
    ]


def latency_collection():
    """A 10-member geometry collection of small shapes."""
    rng = np.random.default_rng([SEED_SHAPES, 10])
    members = []
    for k in range(2):
        members.append({"type": "Point", "coordinates": rng.uniform(-3, 3, 2).tolist()})
        members.append({"type": "MultiPoint", "coordinates": rng.uniform(-3, 3, (5, 2)).tolist()})
        members.append({"type": "LineString", "coordinates": _walk(rng, 10, rng.uniform(-3, 3, 2), 0.3)})
        members.append(
            {
                "type": "Polygon",
                "coordinates": [closed(blob_ring(30, rng, center=rng.uniform(-3, 3, 2), scale=0.5)).tolist()],
                "repulsion": ANISOTROPIC.tolist(),
            }
        )
    members.append({"type": "MultiLineString", "coordinates": [_walk(rng, 8, (k, -4.0), 0.2) for k in range(2)]})
    members.append(
        {
            "type": "MultiPolygon",
            "coordinates": [
                [closed(blob_ring(20, rng, center=(4.0, 4.0), scale=0.5)).tolist()],
                [closed(blob_ring(20, rng, center=(-4.0, 4.0), scale=0.5)).tolist()],
            ],
        }
    )
    return members, [0.25, 4.6]


def grid_scene(polygon_vertices: int = 10_000):
    """Members of the large-grid scene: a polygon of ``polygon_vertices`` outer vertices with three holes."""
    rng = np.random.default_rng(SEED_SCENE)
    return collection_members(rng, polygon_vertices, hole_count=3, hole_size=max(8, polygon_vertices // 20))


def scene_raster(members, side: int) -> np.ndarray:
    """A side x side raster over the scene's enlarged bounding box, row by row."""
    return raster(np.array([p for m in members for p in _points(m["coordinates"])], dtype=float), side)


def _points(coords):
    """The positions in nested GeoJSON coordinates."""
    if np.isscalar(coords[0]):
        return [coords]
    return [p for c in coords for p in _points(c)]
