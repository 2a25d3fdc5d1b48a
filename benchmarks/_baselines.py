"""Reference implementations the kernels are compared against.

The numpy versions do the same arithmetic as the kernels, vectorised over
(point, segment) or (point, edge) pairs and chunked over the query points so
that no temporary grows past a few tens of megabytes. The grid-path helpers
build the graph ``kernels.grid_path`` searches as a scipy sparse matrix and
price a path of cells by the same step rule.
"""

from __future__ import annotations

import math

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


# ---------------------------------------------------------------------------
# Least-cost grid paths


def _open_cells(cost: np.ndarray) -> np.ndarray:
    """True where a cell can be entered: its cost is a positive finite number."""
    with np.errstate(invalid="ignore"):
        return np.isfinite(cost) & (cost > 0.0)


def grid_graph(cost: np.ndarray):
    """The raster's 8-neighbour graph as a scipy CSR matrix, both directions of every step.

    Node ``row * columns + column`` is a cell. Open cells side by side are
    joined by an edge of weight ``length * (cost_a + cost_b) / 2``, length 1
    along a row or column and sqrt 2 diagonally; a diagonal edge exists only
    when both cells beside the step are open as well, the same steps and
    weights ``kernels.grid_path`` searches.
    """
    from scipy import sparse

    cost = np.asarray(cost, dtype=np.float64)
    rows, cols = cost.shape
    free = _open_cells(cost)
    index = np.arange(rows * cols, dtype=np.int64).reshape(rows, cols)
    heads, tails, weights = [], [], []
    for dr, dc in ((0, 1), (1, 0), (1, 1), (1, -1)):
        # Source cells (r, c) whose neighbour (r + dr, c + dc) lies in the raster.
        r0, r1 = 0, rows - dr
        c0, c1 = max(0, -dc), cols - max(0, dc)
        a = (slice(r0, r1), slice(c0, c1))
        b = (slice(r0 + dr, r1 + dr), slice(c0 + dc, c1 + dc))
        ok = free[a] & free[b]
        if dr and dc:
            ok &= free[r0 + dr : r1 + dr, c0:c1] & free[r0:r1, c0 + dc : c1 + dc]
        length = math.sqrt(2.0) if dr and dc else 1.0
        w = length * (0.5 * (cost[a][ok] + cost[b][ok]))
        i, j = index[a][ok], index[b][ok]
        heads += [i, j]
        tails += [j, i]
        weights += [w, w]
    n = rows * cols
    return sparse.csr_matrix(
        (np.concatenate(weights), (np.concatenate(heads), np.concatenate(tails))), shape=(n, n)
    )


def scipy_grid_distance(graph, start: int, min_only: bool = True) -> np.ndarray:
    """(N,) least path costs from node ``start`` to every node, by scipy's Dijkstra (inf: unreachable)."""
    from scipy.sparse import csgraph

    return np.asarray(csgraph.dijkstra(graph, directed=True, indices=start, min_only=min_only)).reshape(-1)


def grid_path_cost(cost: np.ndarray, cells: np.ndarray) -> float:
    """The cost of a path of flat cell indices under ``kernels.grid_path``'s step rule.

    Raises ValueError when the path enters a blocked cell, makes a step that
    is not to one of the 8 neighbours, or cuts a corner past a blocked cell.
    """
    cost = np.asarray(cost, dtype=np.float64)
    cells = np.asarray(cells, dtype=np.int64)
    rows, cols = cost.shape
    if len(cells) == 0:
        raise ValueError("empty path")
    free = _open_cells(cost)
    r, c = np.divmod(cells, cols)
    if np.any((r < 0) | (r >= rows)) or not free[r, c].all():
        raise ValueError("the path enters a blocked or outside cell")
    dr, dc = np.diff(r), np.diff(c)
    if np.any(np.maximum(np.abs(dr), np.abs(dc)) != 1):
        raise ValueError("a step is not to one of the 8 neighbours")
    diagonal = (dr != 0) & (dc != 0)
    k = np.flatnonzero(diagonal)
    if not (free[r[k] + dr[k], c[k]] & free[r[k], c[k] + dc[k]]).all():
        raise ValueError("a diagonal step cuts past a blocked cell")
    length = np.where(diagonal, math.sqrt(2.0), 1.0)
    flat = cost[r, c]
    return math.fsum(length * (0.5 * (flat[:-1] + flat[1:])))
