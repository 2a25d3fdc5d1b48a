"""Deterministic benchmark inputs: rings, polylines, query points and scenes.

Every generator takes an explicit seed, so a subprocess rebuilds exactly the
data the parent process timed.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from functools import lru_cache

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


# ---------------------------------------------------------------------------
# Whole scenes: a fractal coastline and a mosaic of countries.
#
# Both are built by midpoint displacement of coarse outlines: every edge
# (a, b) is split at (a + b) / 2 + s * perp(b - a) with s uniform in
# [-roughness, roughness], level after level, until the edges are about
# ``edge`` long. Every level is checked before it is kept: a new midpoint
# whose two half-edges cross or touch any other segment of the scene, or
# whose triangle (a, m, b) swallows an anchor vertex (a coarse vertex of a
# ring, or a junction of the mosaic), goes back onto its edge. The halves of
# an undisplaced edge lie on the previous level's edge, which crossed
# nothing, so the repair converges, and the scene stays simple at every
# level. The checks use shapely's STRtree and its robust predicates, so the
# scene generators need shapely >= 2.

SEED_COASTLINE = 17
SEED_MOSAIC = 18


def _perp(d: np.ndarray) -> np.ndarray:
    return np.column_stack([-d[:, 1], d[:, 0]])


def _refine(
    lines: list[np.ndarray],
    closed_flags: list[bool],
    levels: list[int],
    seed: int,
    roughness: float,
    anchors: np.ndarray,
) -> list[np.ndarray]:
    """Midpoint displacement of several polylines at once, keeping them simple and apart.

    ``lines`` are (k, 2) vertex arrays: open rings (``closed_flags`` True) or
    chains whose end points stay fixed. Line ``i`` is split ``levels[i]``
    times, in the last ``levels[i]`` of the ``max(levels)`` global steps, so
    that at every step all edges being split have about the same length.
    ``anchors`` (A, 2) are points no new triangle may contain.
    """
    import shapely

    anchor_tree = shapely.STRtree(shapely.points(anchors))
    steps = max(levels, default=0)
    lines = [np.asarray(p, dtype=float) for p in lines]
    for step in range(steps):
        split = [steps - levels[i] <= step for i in range(len(lines))]
        mids0, disps, active = {}, {}, {}
        for i, pts in enumerate(lines):
            if not split[i]:
                continue
            a, b = (pts, np.roll(pts, -1, axis=0)) if closed_flags[i] else (pts[:-1], pts[1:])
            rng = np.random.default_rng([seed, i, step])
            mids0[i] = (a + b) / 2.0
            disps[i] = _perp(b - a) * rng.uniform(-roughness, roughness, (len(a), 1))
            active[i] = np.ones(len(a), dtype=bool)
        while True:
            new_lines, starts, ends, owner, local = [], [], [], [], []
            for i, pts in enumerate(lines):
                if split[i]:
                    m = mids0[i] + disps[i] * active[i][:, None]
                    k = len(m)
                    out = np.empty((len(pts) + k, 2))
                    out[0 : 2 * k : 2] = pts[:k]
                    out[1 : 2 * k : 2] = m
                    if not closed_flags[i]:
                        out[-1] = pts[-1]
                    pts = out
                new_lines.append(pts)
                a, b = (pts, np.roll(pts, -1, axis=0)) if closed_flags[i] else (pts[:-1], pts[1:])
                starts.append(a)
                ends.append(b)
                owner.append(np.full(len(a), i))
                local.append(np.arange(len(a)))
            start, end = np.concatenate(starts), np.concatenate(ends)
            owner_a, local_a = np.concatenate(owner), np.concatenate(local)
            segments = shapely.linestrings(np.stack([start, end], axis=1))
            p, q = shapely.STRtree(segments).query(segments, predicate="intersects")
            keep = p < q
            p, q = p[keep], q[keep]
            # Neighbours along a line, and edges meeting at a mosaic junction,
            # touch at a shared end point; any other contact is a defect.
            shared = np.zeros(len(p), dtype=bool)
            for u in (start, end):
                for w in (start, end):
                    shared |= (u[p] == w[q]).all(axis=1)
            bad = np.concatenate([p[~shared], q[~shared]])
            # Triangles (a, m, b) of the displaced midpoints that contain an anchor.
            tri_owner, tri_mid, tris = [], [], []
            for i in active:
                idx = np.flatnonzero(active[i])
                pts = lines[i]
                a = pts[idx]
                b = pts[(idx + 1) % len(pts)]
                tris.append(np.stack([a, mids0[i][idx] + disps[i][idx], b, a], axis=1))
                tri_owner.append(np.full(len(idx), i))
                tri_mid.append(idx)
            reverted = 0
            for i, j in zip(owner_a[bad], local_a[bad]):
                # Segment j of a split line is half of edge j // 2.
                if split[i] and active[i][j // 2]:
                    active[i][j // 2] = False
                    reverted += 1
            if tris:
                tris_a = np.concatenate(tris)
                hit, _ = anchor_tree.query(shapely.polygons(tris_a), predicate="contains")
                if len(hit):
                    o, m = np.concatenate(tri_owner)[hit], np.concatenate(tri_mid)[hit]
                    for i, j in zip(o, m):
                        if active[i][j]:
                            active[i][j] = False
                            reverted += 1
            if reverted == 0:
                if len(bad):
                    raise AssertionError("midpoint displacement: crossing segments without a displaced midpoint")
                lines = new_lines
                break
    return lines


def _mean_edge(ring: np.ndarray) -> float:
    return float(np.mean(np.linalg.norm(np.roll(ring, -1, axis=0) - ring, axis=1)))


def _ring_anchors(ring: np.ndarray) -> np.ndarray:
    """Three coarse vertices of a ring: a triangle swallowing the whole ring contains one that is
    not a corner of it."""
    k = len(ring)
    return ring[[0, k // 3, (2 * k) // 3]]


def _orient(ring: np.ndarray, ccw: bool) -> np.ndarray:
    """The ring, reversed if needed so that it runs counter-clockwise (ccw) or clockwise."""
    x, y = ring[:, 0], ring[:, 1]
    area2 = float(np.dot(x, np.roll(y, -1)) - np.dot(np.roll(x, -1), y))
    return ring if (area2 > 0) == ccw else ring[::-1].copy()


@dataclass
class Scene:
    """A scene of polygon features: ``features[f][p]`` is the rings of part ``p`` of feature ``f``,
    outer ring first (counter-clockwise), then its holes (clockwise); rings are open (k, 2) arrays."""

    name: str
    features: list[list[list[np.ndarray]]]
    notes: dict = field(default_factory=dict)

    @property
    def parts(self) -> list[list[np.ndarray]]:
        return [part for feature in self.features for part in feature]

    @property
    def rings(self) -> list[np.ndarray]:
        return [ring for part in self.parts for ring in part]

    @property
    def vertices(self) -> int:
        return sum(len(r) for r in self.rings)

    def members(self, form: str) -> list[dict]:
        """Geometry dictionaries: one MultiPolygon per feature (``form`` "multi") or one Polygon
        per part ("split")."""
        if form == "multi":
            return [{"type": "MultiPolygon", "coordinates": [list(part) for part in f]} for f in self.features]
        if form == "split":
            return [{"type": "Polygon", "coordinates": list(part)} for part in self.parts]
        raise ValueError(f"unknown scene form {form!r}")

    def edges(self) -> tuple[np.ndarray, np.ndarray]:
        """(start, end) points (S, 2) of every ring edge of the scene, closing edges included."""
        start = np.concatenate(self.rings)
        end = np.concatenate([np.roll(r, -1, axis=0) for r in self.rings])
        return start, end

    def segments(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Kernel segment arrays (p1, v, vdv) of every ring edge, as the polygons build them."""
        start, end = self.edges()
        v = end - start
        vdv = np.einsum("ij,ij->i", v, v)
        vdv[vdv <= 0.0] = 1.0
        return np.ascontiguousarray(start), np.ascontiguousarray(v), vdv

    def extent(self) -> tuple[np.ndarray, np.ndarray]:
        """(lo, hi) corners of the scene's bounding box enlarged by 20%: the raster's extent."""
        return enlarged_bbox(np.concatenate(self.rings))

    def raster(self, side: int) -> np.ndarray:
        """A side x side raster over :meth:`extent`, row by row (x fastest, y from the bottom)."""
        return raster(np.concatenate(self.rings), side)


def _place_at_gap(shape: np.ndarray, origin: np.ndarray, direction: np.ndarray, other, gap: float) -> np.ndarray:
    """``shape`` (a ring around (0, 0)) moved to origin + t * direction with t found by bisection
    so that it lies ``gap`` away from the shapely polygon ``other``."""
    import shapely

    def dist(t):
        ring = shape + origin + t * direction
        poly = shapely.Polygon(ring)
        return 0.0 if shapely.intersects(poly, other) else float(shapely.distance(poly, other))

    lo, hi = 0.0, 1.0
    while dist(hi) < gap:
        lo, hi = hi, 2.0 * hi
    for _ in range(60):
        mid = (lo + hi) / 2.0
        lo, hi = (mid, hi) if dist(mid) < gap else (lo, mid)
    return shape + origin + hi * direction


def fractal_coastline(
    seed: int = SEED_COASTLINE,
    *,
    mainland_vertices: int = 11,
    levels: int = 13,
    lakes: int = 3,
    islands: int = 32,
    roughness: float = 0.45,
) -> Scene:
    """A coastline scene: a mainland with lakes, islands of many sizes and a few narrow channels.

    The mainland starts as a ``mainland_vertices``-gon of radius about 30 and
    is split ``levels`` times (11 x 8192 = 90112 coast vertices by default);
    every other ring is split until its edges are as long as the mainland's,
    so the whole scene has one resolution (about 1.4 x 10^5 vertices). Three
    islands lie 0.25 off the mainland's coarse coast and one island 0.2 off
    another (the narrow channels); the other ``islands`` out at sea (that pair
    among them) have radii log-uniform in [0.03, 1.0]. Features: the mainland with its lakes and the three
    near-shore islands, then archipelagos of the other islands grouped around
    the six largest.
    """
    import shapely

    rng = np.random.default_rng([seed, 0])
    mainland = blob_ring(mainland_vertices, rng, scale=30.0, wobble=0.25, noise=0.08)
    main_poly = shapely.Polygon(mainland)
    lo, hi = mainland.min(axis=0), mainland.max(axis=0)
    lake_rings: list[np.ndarray] = []
    while len(lake_rings) < lakes:
        r = rng.uniform(0.6, 1.5)
        ring = blob_ring(8, rng, center=rng.uniform(lo, hi), scale=r)
        poly = shapely.Polygon(ring)
        if main_poly.contains(poly.buffer(0.8 * r)) and all(
            shapely.distance(poly, shapely.Polygon(q)) > 2.0 for q in lake_rings
        ):
            lake_rings.append(ring)
    # Near-shore islands at a narrow gap from the coarse coast, then a pair of islands.
    shore: list[np.ndarray] = []
    for r, angle in ((1.5, 0.3), (1.0, 2.2), (0.7, 4.1)):
        shape = blob_ring(10, rng, scale=r)
        shore.append(_place_at_gap(shape, np.zeros(2), np.array([np.cos(angle), np.sin(angle)]), main_poly, 0.25))
    sea_lo, sea_hi = lo - 0.25 * (hi - lo), hi + 0.25 * (hi - lo)
    occupied = [main_poly] + [shapely.Polygon(s) for s in shore]
    others: list[np.ndarray] = []

    def free(ring, clearance):
        poly = shapely.Polygon(ring)
        return all(not shapely.intersects(poly, o) and shapely.distance(poly, o) >= clearance for o in occupied)

    while True:
        first = blob_ring(12, rng, center=rng.uniform(sea_lo, sea_hi), scale=1.2)
        if free(first, 3.0):
            break
    pair = _place_at_gap(blob_ring(10, rng, scale=0.8), first.mean(axis=0), np.array([0.6, 0.8]),
                         shapely.Polygon(first), 0.2)
    for ring in (first, pair):
        others.append(ring)
        occupied.append(shapely.Polygon(ring))
    while len(others) < islands:
        r = float(np.exp(rng.uniform(np.log(0.03), np.log(1.0))))
        ring = blob_ring(8, rng, center=rng.uniform(sea_lo, sea_hi), scale=r)
        if free(ring, max(0.5 * r, 0.3)):
            others.append(ring)
            occupied.append(shapely.Polygon(ring))

    rings = [mainland, *lake_rings, *shore, *others]
    edge = _mean_edge(mainland) / 2**levels
    ring_levels = [levels] + [max(0, round(float(np.log2(_mean_edge(r) / edge)))) for r in rings[1:]]
    anchors = np.concatenate([_ring_anchors(r) for r in rings])
    rings = _refine(rings, [True] * len(rings), ring_levels, seed, roughness, anchors)

    main_part = [_orient(rings[0], True)] + [_orient(r, False) for r in rings[1 : 1 + lakes]]
    shore_parts = [[_orient(r, True)] for r in rings[1 + lakes : 4 + lakes]]
    other_rings = rings[4 + lakes :]
    sizes = [_mean_edge(r) * len(r) for r in other_rings]
    heads = np.argsort(sizes)[::-1][:6]
    centres = np.array([other_rings[h].mean(axis=0) for h in heads])
    groups: list[list[list[np.ndarray]]] = [[] for _ in heads]
    for ring in other_rings:
        nearest = int(np.argmin(np.linalg.norm(centres - ring.mean(axis=0), axis=1)))
        groups[nearest].append([_orient(ring, True)])
    features = [[main_part, *shore_parts], *groups]
    notes = {"islands": len(shore) + len(others), "lakes": lakes, "mainland_segments": sum(len(r) for r in main_part)}
    return Scene("coastline", features, notes)


def _voronoi_graph(sites: np.ndarray, width: float, height: float):
    """The Voronoi diagram of ``sites`` clipped to the box [0, width] x [0, height].

    The sites are mirrored across the four sides of the box: every point of the
    box is then nearer to an original site than to any mirror, so the original
    cells tile the box exactly and their sides on the box are ridges between a
    site and its mirror. Returns (vertices (V, 2), ridges (R, 4) of vertex,
    vertex, cell, cell), a cell of -1 being outside the box. Vertices qhull
    splits around the four-cocircular points on the sides are merged.
    """
    from scipy.sparse.csgraph import connected_components
    from scipy.sparse import coo_matrix
    from scipy.spatial import Voronoi, cKDTree

    n = len(sites)
    flip_x, flip_y = sites * [-1, 1], sites * [1, -1]
    vor = Voronoi(np.vstack([sites, flip_x, flip_x + [2 * width, 0], flip_y, flip_y + [0, 2 * height]]))
    verts = vor.vertices.copy()
    tol = 1e-9 * max(width, height)
    for axis, top in ((0, width), (1, height)):
        for value in (0.0, top):
            verts[np.abs(verts[:, axis] - value) < tol, axis] = value
    pairs = cKDTree(verts).query_pairs(tol, output_type="ndarray")
    graph = coo_matrix((np.ones(len(pairs)), (pairs[:, 0], pairs[:, 1])), shape=(len(verts), len(verts)))
    _, label = connected_components(graph, directed=False)
    first = np.full(label.max() + 1, -1)
    for i in range(len(verts) - 1, -1, -1):
        first[label[i]] = i
    rep = first[label]
    ridges = []
    for (p, q), (v1, v2) in zip(vor.ridge_points, vor.ridge_vertices):
        if p >= n and q >= n:
            continue
        if min(v1, v2) < 0:
            raise AssertionError("an original Voronoi cell is unbounded")
        v1, v2 = rep[v1], rep[v2]
        if v1 != v2:
            ridges.append((v1, v2, p if p < n else -1, q if q < n else -1))
    return verts, np.array(ridges)


def _assemble_rings(chains: list[np.ndarray], ends: np.ndarray) -> list[np.ndarray]:
    """Open rings made of the chains; ``ends`` (C, 2) are the junction ids at the chains' ends."""
    at: dict[int, list[int]] = {}
    for c, (u, w) in enumerate(ends):
        at.setdefault(int(u), []).append(c)
        at.setdefault(int(w), []).append(c)
    if any(len(v) != 2 for v in at.values()):
        raise AssertionError("a country's border meets itself at a junction")
    used = np.zeros(len(chains), dtype=bool)
    rings = []
    for c0 in range(len(chains)):
        if used[c0]:
            continue
        pieces, c, here = [], c0, int(ends[c0][0])
        while not used[c]:
            used[c] = True
            forward = int(ends[c][0]) == here
            pieces.append(chains[c][:-1] if forward else chains[c][::-1][:-1])
            here = int(ends[c][1] if forward else ends[c][0])
            c = next(k for k in at[here] if k != c)
        rings.append(np.concatenate(pieces))
    return rings


def country_mosaic(
    seed: int = SEED_MOSAIC,
    *,
    sites: int = 340,
    width: float = 160.0,
    height: float = 100.0,
    edge: float = 0.12,
    roughness: float = 0.3,
    enclaves: int = 3,
    lakes: int = 2,
    exclaves: int = 8,
) -> Scene:
    """About 300 countries tiling the box [0, width] x [0, height], borders shared exactly.

    The Voronoi cells of ``sites`` random sites (a quarter of them crowded in
    one region, for small countries) are clipped to the box; every border
    between two cells is split into a fractal chain of edges about ``edge``
    long, once, and both neighbours use that same chain, so they share the
    border vertex for vertex. The box sides stay straight. Then some cells
    are merged: the neighbours of ``enclaves`` cells become one country around
    an enclave, those of ``lakes`` cells one country around a lake (a hole
    that belongs to no country), and ``exclaves`` countries each take over a
    cell they do not touch (every third one two cells), so that they have
    several parts.
    """
    import shapely

    rng = np.random.default_rng([seed, 0])
    crowd = sites // 4
    box_hi = np.array([width, height])
    spread = rng.normal([0.3 * width, 0.65 * height], [0.08 * width, 0.1 * height], (crowd, 2))
    pts = np.vstack([rng.uniform(0.0, box_hi, (sites - crowd, 2)), np.clip(spread, 1.0, box_hi - 1.0)])
    verts, ridges = _voronoi_graph(pts, width, height)
    interior = (ridges[:, 2] >= 0) & (ridges[:, 3] >= 0)
    chains = [verts[[u, w]] for u, w in ridges[:, :2]]
    levels = [
        max(0, round(float(np.log2(np.linalg.norm(c[1] - c[0]) / edge)))) if inner else 0
        for c, inner in zip(chains, interior)
    ]
    junctions = np.unique(ridges[:, :2])
    chains = _refine(chains, [False] * len(chains), levels, seed, roughness, verts[junctions])

    # Merge cells into countries; `owner` -1 is outside the box, -2 a lake.
    neighbours: list[set[int]] = [set() for _ in range(sites)]
    on_box = np.zeros(sites, dtype=bool)
    for _, _, a, b in ridges:
        if a >= 0 and b >= 0:
            neighbours[a].add(b)
            neighbours[b].add(a)
        else:
            on_box[max(a, b)] = True
    owner = np.arange(sites)
    taken = np.zeros(sites, dtype=bool)
    order = rng.permutation(sites)
    made = {"enclaves": 0, "lakes": 0, "exclaves": 0}
    for cell in order:
        ring = neighbours[cell]
        around = set().union(*(neighbours[k] for k in ring)) | ring
        if on_box[cell] or taken[list(around | {cell})].any() or any(on_box[k] for k in ring):
            continue
        if made["enclaves"] < enclaves:
            kind = "enclaves"
        elif made["lakes"] < lakes:
            kind = "lakes"
        else:
            break
        owner[list(ring)] = min(ring)
        if kind == "lakes":
            owner[cell] = -2
        taken[list(around | {cell})] = True
        made[kind] += 1
    for cell in order:
        if made["exclaves"] >= exclaves:
            break
        if taken[cell]:
            continue
        far = [k for k in order if not taken[k] and k != cell and k not in neighbours[cell]
               and not (neighbours[k] & neighbours[cell]) and np.linalg.norm(pts[k] - pts[cell]) < 0.25 * width]
        if not far:
            continue
        joins = far[:2] if made["exclaves"] % 3 == 2 else far[:1]
        owner[joins] = owner[cell]
        taken[[cell, *joins]] = True
        for k in [cell, *joins]:
            taken[list(neighbours[k])] = True
        made["exclaves"] += 1

    side_owner = np.where(ridges[:, 2:] >= 0, owner[np.maximum(ridges[:, 2:], 0)], -1)
    features = []
    for country in np.unique(owner[owner >= 0]):
        mine = np.flatnonzero((side_owner[:, 0] == country) != (side_owner[:, 1] == country))
        rings = _assemble_rings([chains[k] for k in mine], ridges[mine, :2])
        polys = [shapely.Polygon(r) for r in rings]
        depth = [sum(bool(shapely.contains_xy(polys[j], *r[0])) for j in range(len(rings)) if j != i)
                 for i, r in enumerate(rings)]
        outers = [i for i in range(len(rings)) if depth[i] % 2 == 0]
        parts = {i: [_orient(rings[i], True)] for i in outers}
        for i in range(len(rings)):
            if depth[i] % 2:
                hosts = [j for j in outers if shapely.contains_xy(polys[j], *rings[i][0])]
                parts[min(hosts, key=lambda j: polys[j].area)].append(_orient(rings[i], False))
        features.append([parts[i] for i in outers])
    notes = {"countries": len(features), **made, "cells": sites, "box": (width, height)}
    return Scene("mosaic", features, notes)


def check_scene(scene: Scene) -> dict:
    """Checks a scene with shapely and returns a few of its measures; AssertionError if it is broken.

    Every part must be a valid polygon (simple rings, holes inside the outer
    ring and apart from each other), and the parts' interiors must be
    disjoint (their areas add up to the area of their union). Coastline parts
    must not even touch; the countries of a mosaic must cover their box
    except for its lakes.
    """
    import shapely

    polys = np.array([shapely.Polygon(part[0], part[1:]) for part in scene.parts])
    valid = shapely.is_valid(polys)
    if not valid.all():
        bad = int(np.flatnonzero(~valid)[0])
        raise AssertionError(f"{scene.name}: part {bad} is not valid: {shapely.is_valid_reason(polys[bad])}")
    areas = shapely.area(polys)
    union = shapely.union_all(polys)
    if abs(union.area - areas.sum()) > 1e-9 * areas.sum():
        raise AssertionError(f"{scene.name}: parts overlap (union {union.area} vs sum {areas.sum()})")
    tree = shapely.STRtree(polys)
    p, q = tree.query(polys, predicate="intersects")
    touching = int(np.count_nonzero(p < q))
    measures = {"parts": len(polys), "holes": sum(len(part) - 1 for part in scene.parts), "vertices": scene.vertices,
                "touching pairs": touching}
    if "box" in scene.notes:
        # The countries' union is the box with one hole per lake.
        width, height = scene.notes["box"]
        holes = len(union.interiors) if union.geom_type == "Polygon" else -1
        if holes != scene.notes["lakes"] or not np.isclose(shapely.Polygon(union.exterior).area, width * height,
                                                            rtol=1e-9, atol=0.0):
            raise AssertionError(f"{scene.name}: the countries do not tile the box around {scene.notes['lakes']} lakes")
    else:
        if touching:
            raise AssertionError(f"{scene.name}: {touching} pairs of parts touch")
        # The narrowest channel: the least distance between parts whose boxes come within 1.
        lo, hi = shapely.bounds(polys)[:, :2] - 1.0, shapely.bounds(polys)[:, 2:] + 1.0
        p, q = tree.query(shapely.box(lo[:, 0], lo[:, 1], hi[:, 0], hi[:, 1]))
        near = p < q
        gaps = shapely.distance(polys[p[near]], polys[q[near]])
        measures["narrowest gap"] = float(gaps.min()) if len(gaps) else float("inf")
    return measures


SCENES = ("coastline", "mosaic")
SCENE_FORMS = {"multi": "as MultiPolygons", "split": "split into Polygons"}


@lru_cache(maxsize=None)
def scene(name: str) -> Scene:
    """The benchmark's scene ``name`` ("coastline" or "mosaic"), generated once per process."""
    if name == "coastline":
        return fractal_coastline()
    if name == "mosaic":
        return country_mosaic()
    raise ValueError(f"unknown scene {name!r}")


def mainland(coast: Scene) -> Scene:
    """The coastline's mainland with its lakes alone: one polygon of about 10^5 edges."""
    return Scene("mainland", [[coast.features[0][0]]])


def grid_rows(x: np.ndarray, side: int, n: int) -> np.ndarray:
    """About ``n`` points of the side x side raster ``x``: whole rows spread evenly over it.

    Whole rows keep the raster order the full raster is answered in, and
    rows from bottom to top cover the whole scene; all rows when n >= side^2.
    """
    return np.ascontiguousarray(x.reshape(side, side, 2)[grid_row_index(side, n)].reshape(-1, 2))


def grid_row_index(side: int, n: int) -> np.ndarray:
    """The rows :func:`grid_rows` takes: ceil(n / side) of them, each in the middle of an equal band
    of rows, so that a few rows sample the scene rather than the raster's empty top and bottom."""
    r = max(1, min(side, -(-n // side)))
    return ((np.arange(r) + 0.5) * side / r).astype(int)
