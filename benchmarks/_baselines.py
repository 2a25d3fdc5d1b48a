"""Reference implementations the kernels are compared against.

The numpy versions do the same arithmetic as the kernels, vectorised over
(point, segment) or (point, edge) pairs and chunked over the query points so
that no temporary grows past a few tens of megabytes.
"""

from __future__ import annotations

import numpy as np

# Pairs per chunk: a (chunk, S, 2) float64 temporary is 32 MiB; the handful
# of temporaries alive at once stay well under 500 MB.
CHUNK_PAIRS = 1 << 21


def numpy_segment_repulsion_vectors(x, p1, v, vdv, metric, chunk_pairs: int = CHUNK_PAIRS):
    """Brute force over all segments: w = x - p1, t = clip(w.v / vdv, 0, 1), d = x - (p1 + t v),
    q = d^T M d, first argmin over segments."""
    vdv = np.where(vdv > 0.0, vdv, 1.0)
    n, s = len(x), len(p1)
    step = max(1, chunk_pairs // s)
    out = np.empty((n, 2))
    for a in range(0, n, step):
        xc = x[a : a + step, None, :]  # (c, 1, 2)
        w = xc - p1  # (c, s, 2)
        t = np.clip((w[..., 0] * v[:, 0] + w[..., 1] * v[:, 1]) / vdv, 0.0, 1.0)
        d = xc - (p1 + t[..., None] * v)
        q = np.einsum("csi,ij,csj->cs", d, metric, d)
        k = np.argmin(q, axis=1)
        out[a : a + step] = d[np.arange(len(k)), k]
    return out


def _crossings(px, py, ring):
    """(c,) parity of the even-odd crossings of the closed ring for points (c, 1)."""
    xi, yi = ring[:, 0], ring[:, 1]
    xj, yj = np.roll(xi, 1), np.roll(yi, 1)  # edge i runs from vertex i-1 to vertex i
    straddle = (yi > py) != (yj > py)
    with np.errstate(divide="ignore", invalid="ignore"):
        left = px < (xj - xi) * (py - yi) / (yj - yi) + xi
    return (np.count_nonzero(straddle & left, axis=1) & 1).astype(bool)


def numpy_point_in_rings(x, outer, holes, chunk_pairs: int = CHUNK_PAIRS):
    """Even-odd crossing test: inside ``outer`` and inside none of ``holes``."""
    edges = len(outer) + sum(len(h) for h in holes)
    step = max(1, chunk_pairs // max(1, edges))
    out = np.empty(len(x), dtype=bool)
    for a in range(0, len(x), step):
        px = x[a : a + step, 0:1]
        py = x[a : a + step, 1:2]
        inside = _crossings(px, py, outer) if len(outer) >= 3 else np.zeros(len(px), bool)
        for h in holes:
            if len(h) >= 3:
                inside &= ~_crossings(px, py, h)
        out[a : a + step] = inside
    return out


# ---------------------------------------------------------------------------
# Whole scenes


class ShapelySceneIndex:
    """shapely 2 STRtrees over a scene: one over its boundary edges, as two-point linestrings,
    and (``polygons``) one over its prepared Polygon parts for the inside test.

    The squared distance of a point is that to its nearest edge; with
    ``polygons`` it is 0 inside any part, as a Polygon member's is, and
    without it the distance to the boundary even inside, as a MultiPolygon
    member's is.
    """

    def __init__(self, scene, polygons: bool):
        import shapely

        self.shapely = shapely
        start, end = scene.edges()
        self.tree = shapely.STRtree(shapely.linestrings(np.stack([start, end], axis=1)))
        self.parts = self.part_tree = None
        if polygons:
            self.parts = np.array([shapely.Polygon(part[0], part[1:]) for part in scene.parts])
            shapely.prepare(self.parts)
            self.part_tree = shapely.STRtree(self.parts)

    def boundary_squared_distance(self, xy: np.ndarray, points=None) -> np.ndarray:
        """(N,) squared distances from the (N, 2) points to the nearest boundary edge."""
        points = self.shapely.points(xy) if points is None else points
        (_, _), d = self.tree.query_nearest(points, return_distance=True, all_matches=False)
        return d * d

    def squared_distance(self, xy: np.ndarray) -> np.ndarray:
        """(N,) squared distances; 0 inside a part when the index has the parts."""
        points = self.shapely.points(xy)
        d2 = self.boundary_squared_distance(xy, points)
        if self.part_tree is not None:
            # Candidate (point, part) pairs by bounding box, then one vectorised exact test.
            i, k = self.part_tree.query(points)
            inside = self.shapely.contains_xy(self.parts[k], xy[i, 0], xy[i, 1])
            d2[i[inside]] = 0.0
        return d2

    def one_point(self, xy: np.ndarray) -> float:
        """The squared distance of one (2,) point, by single-geometry calls."""
        point = self.shapely.points(xy)
        _, d = self.tree.query_nearest(point, return_distance=True, all_matches=False)
        if self.part_tree is not None:
            k = self.part_tree.query(point)
            if len(k) and self.shapely.contains_xy(self.parts[k], xy[0], xy[1]).any():
                return 0.0
        return float(d[0]) ** 2


class SceneRaster:
    """The scene burnt into the side x side raster over its extent, for a Euclidean distance transform.

    Boundary pixels: the pixel nearest to every sample along every edge,
    samples at most half a pixel apart. Land pixels (``land``): pixel
    centres that shapely's ``contains_xy`` puts inside a part, each part
    tested on the window of its bounding box only.
    ``scipy.ndimage.distance_transform_edt`` of the rest then gives, per
    pixel centre, the distance to the nearest boundary (or land) pixel centre,
    a distance within about a pixel of the exact one.
    """

    def __init__(self, scene, side: int, land: bool):
        import shapely

        self.shapely = shapely
        self.side = side
        self.lo, hi = scene.extent()
        self.step = (hi - self.lo) / (side - 1)  # (dx, dy)
        self.start, self.end = scene.edges()
        self.parts = None
        if land:
            self.parts = [shapely.Polygon(part[0], part[1:]) for part in scene.parts]
            shapely.prepare(self.parts)

    def rasterise(self) -> np.ndarray:
        """(side, side) bool: True on boundary and (with ``land``) land pixels; row i is y_i."""
        side, lo, step = self.side, self.lo, self.step
        mask = np.zeros((side, side), dtype=bool)
        d = (self.end - self.start) / step
        samples = np.ceil(np.hypot(d[:, 0], d[:, 1]) * 2.0).astype(np.intp) + 1
        edge = np.repeat(np.arange(len(d)), samples)
        first = np.cumsum(samples) - samples
        t = (np.arange(len(edge)) - first[edge]) / np.maximum(samples[edge] - 1, 1)
        px = (self.start[edge] - lo) / step + t[:, None] * d[edge]
        cols = np.clip(np.rint(px[:, 0]).astype(np.intp), 0, side - 1)
        rows = np.clip(np.rint(px[:, 1]).astype(np.intp), 0, side - 1)
        mask[rows, cols] = True
        if self.parts is not None:
            xs = lo[0] + step[0] * np.arange(side)
            ys = lo[1] + step[1] * np.arange(side)
            for part in self.parts:
                x0, y0, x1, y1 = part.bounds
                c0, c1 = np.searchsorted(xs, [x0, x1])
                r0, r1 = np.searchsorted(ys, [y0, y1])
                if c1 > c0 and r1 > r0:
                    gx, gy = np.meshgrid(xs[c0:c1], ys[r0:r1])
                    mask[r0:r1, c0:c1] |= self.shapely.contains_xy(part, gx, gy)
        return mask

    def distance(self, mask: np.ndarray) -> np.ndarray:
        """(side * side,) distances of the pixel centres to the nearest True pixel, raster order."""
        from scipy import ndimage

        return ndimage.distance_transform_edt(~mask, sampling=(self.step[1], self.step[0])).ravel()
